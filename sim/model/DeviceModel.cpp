#include "sim/model/DeviceModel.h"

#include <algorithm>
#include <cstdio>

#include "base/Sha256.h"

namespace {
std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (out.size() > 80) {
      out += "...";
      break;
    }
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      char t[8];
      std::snprintf(t, sizeof t, "\\x%02x", c);
      out += t;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

const char* StateName(int s) {
  static const char* const kNames[] = {"off",     "dead",   "restarting", "booting",
                                       "running", "loader", "receiving",  "writing"};
  return kNames[s];
}
}  // namespace

bool NormaliseMac(const std::string& text, std::string* out) {
  if (text.size() != 17) return false;
  std::string r;
  for (size_t i = 0; i < 17; ++i) {
    const char c = text[i];
    if (i % 3 == 2) {
      if (c != ':') return false;
      r += ':';
      continue;
    }
    if (c >= '0' && c <= '9') {
      r += c;
    } else if (c >= 'a' && c <= 'f') {
      r += static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'F') {
      r += c;
    } else {
      return false;
    }
  }
  *out = r;
  return true;
}

DeviceModel::DeviceModel(SimOptions options, Sink sink)
    : opt_(std::move(options)), sink_(std::move(sink)) {
  if (!NormaliseMac(opt_.mac, &currentMac_)) currentMac_ = "02:5C:3A:00:00:01";
  factoryMac_ = currentMac_;
  macMismatchLeft_ = opt_.faults.macMismatch;
}

// ---------------------------------------------------------------- time and output

void DeviceModel::SetTime(uint32_t nowMs) {
  if (!timeSet_) {
    timeSet_ = true;
    lastTick_ = nowMs;
    now_ = 1;
    return;
  }
  const uint32_t d = nowMs - lastTick_;
  // A tick read on another thread just before a newer one arrived: time never runs back.
  if (static_cast<int32_t>(d) <= 0) return;
  lastTick_ = nowMs;
  now_ += d;
}

void DeviceModel::RunDue() {
  while (!pending_.empty() && pending_.begin()->first.first <= now_) {
    Action fn = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    fn();
  }
}

void DeviceModel::At(uint64_t when, Action fn) {
  pending_.emplace(std::make_pair(when, ++seq_), std::move(fn));
}

void DeviceModel::AfterInState(uint32_t delayMs, Action fn) {
  const uint64_t gen = gen_;
  At(now_ + delayMs, [this, gen, fn = std::move(fn)] {
    if (gen == gen_) fn();
  });
}

uint64_t DeviceModel::Print(const std::string& bytes, uint32_t delayMs) {
  // The delay counts from the end of what is already queued, so the lines of one
  // burst (a spinner, a menu) go out paced as a device prints them, not all at once.
  const uint64_t when = std::max(now_, cursor_) + delayMs;
  cursor_ = when;
  At(when, [this, bytes] { Send(bytes); });
  return when;
}

uint64_t DeviceModel::PrintLine(const std::string& text, uint32_t delayMs) {
  const SimFaults& f = opt_.faults;
  std::string line = text + "\r\n";
  if (f.nul) {
    const size_t half = line.size() / 2;
    line = std::string(1, '\0') + line.substr(0, half) + std::string(1, '\0') + line.substr(half);
  }
  size_t cut = 0;
  uint32_t gap = 0;
  if (f.crlfSplitMs > 0) {
    cut = line.rfind('\n');
    gap = f.crlfSplitMs;
  } else if (f.splitMs > 0) {
    cut = line.size() / 2;
    gap = f.splitMs;
  }
  if (cut == 0) return Print(line, delayMs);
  // The second piece follows the first by the gap, whatever else is queued.
  const uint64_t first = Print(line.substr(0, cut), delayMs);
  const std::string rest = line.substr(cut);
  const uint64_t when = first + gap;
  cursor_ = std::max(cursor_, when);
  At(when, [this, rest] { Send(rest); });
  return when;
}

void DeviceModel::Send(const std::string& bytes) {
  if (bytes.empty()) return;
  if (state_ == State::Dead || state_ == State::Off) return;
  if (!sink_) return;
  if (BaudMismatch()) {
    // What a UART at the wrong rate makes of it: framing noise, never a readable text.
    std::string noise(bytes.size(), '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
      noise[i] = static_cast<char>(0x80 | (bytes[i] ^ 0x55));
    sink_(noise);
    return;
  }
  sink_(bytes);
}

void DeviceModel::NewState(State s) {
  state_ = s;
  ++gen_;
}

void DeviceModel::ClearPending() {
  pending_.clear();
  cursor_ = now_;
}

void DeviceModel::Record(std::vector<std::string>* list, std::string text) {
  if (list->size() < kMaxRecords) list->push_back(std::move(text));
}

int64_t DeviceModel::MsUntilNext(uint32_t nowMs) {
  SetTime(nowMs);
  if (pending_.empty()) return -1;
  const uint64_t due = pending_.begin()->first.first;
  return due <= now_ ? 0 : static_cast<int64_t>(due - now_);
}

void DeviceModel::Tick(uint32_t nowMs) {
  SetTime(nowMs);
  RunDue();
}

// ---------------------------------------------------------------- life cycle

void DeviceModel::PowerOn(uint32_t nowMs) {
  SetTime(nowMs);
  RunDue();
  if (opt_.faults.silent) {
    NewState(State::Dead);
    return;
  }
  Boot(opt_.bootDelayMs);
}

void DeviceModel::GoDead() {
  ClearPending();
  NewState(State::Dead);
}

void DeviceModel::Boot(uint32_t delayMs) {
  const bool restart = state_ != State::Off;
  ClearPending();
  if (restart) {
    ++restarts_;
    PrintLine("restarting", 10);
  }
  NewState(State::Restarting);
  versionShown_ = false;
  windowUntil_ = 0;
  inCmd_ = false;
  prevAt_ = false;
  if (!nextMac_.empty()) {
    currentMac_ = nextMac_;
    nextMac_.clear();
  }
  PrintLine("", delayMs);
  const uint64_t rom = PrintLine("Boot ROM 1.04", opt_.lineGapMs);
  // Powered on just now: nothing is heard before the boot ROM speaks (the empty line
  // goes out while it starts), so a probe sent before any output is simply lost.
  listenAt_ = restart ? 0 : rom;
  const uint64_t fw = PrintLine("fw = " + opt_.firmwareVersion + " build 0412", opt_.lineGapMs);
  At(fw, [this] {
    NewState(State::Booting);
    windowUntil_ = now_ + opt_.bootWindowMs;
    AfterInState(opt_.bootWindowMs, [this] { StartFirmware(); });
  });
}

void DeviceModel::StartFirmware() {
  PrintLine("Loading firmware", 0);
  if (macMismatchLeft_ > 0) {
    --macMismatchLeft_;
    PrintLine("MAC don't match", opt_.lineGapMs);
  }
  const uint64_t v =
      PrintLine("Serial device server firmware verison " + opt_.firmwareVersion, opt_.lineGapMs);
  const uint64_t gen = gen_;
  At(v, [this, gen] {
    if (gen != gen_) return;
    versionShown_ = true;
    startedSinceGiven_ = true;
    NewState(State::Running);
  });
  PrintLine("MAC address " + currentMac_, opt_.lineGapMs);
  if (opt_.faults.prompt) Print("cmd> ", opt_.lineGapMs);
}

void DeviceModel::EnterLoader() {
  NewState(State::Loader);
  windowUntil_ = 0;
  loaderSkipLine_ = false;
  PrintLine("", 20);
  PrintLine("Varnix Serial Loader 1.3", opt_.lineGapMs);
  PrintLine("  U) firmware upgrade", opt_.lineGapMs);
  PrintLine("  E) EEPROM upgrade", opt_.lineGapMs);
  PrintLine("  R) restart", opt_.lineGapMs);
  if (opt_.faults.prompt) Print("select> ", opt_.lineGapMs);
}

// ---------------------------------------------------------------- loader and XMODEM

void DeviceModel::StartReceive(bool firmware) {
  NewState(State::Receiving);
  rxFirmware_ = firmware;
  XmodemReceiver::Options o;
  o.nakBlock = opt_.faults.nakBlock;
  o.nakTimes = opt_.faults.nakTimes;
  o.eotNak = opt_.faults.eotNak;
  o.noEotAck = opt_.faults.noEotAck;
  rx_ = XmodemReceiver(o);
  rxViolationsTaken_ = 0;
  rxLastByte_ = now_;
  cTries_ = 0;
  flashing_ = false;
  held_.clear();
  deafUntil_ = 0;
  lossResync_ = false;
  resyncArmed_ = false;
  partialAt_ = 0;
  const uint64_t line = PrintLine(
      std::string("Downloading ") + (firmware ? "firmware" : "EEPROM") + " image (XMODEM-1K)", 10);
  const uint64_t gen = gen_;
  At(line + 150, [this, gen] {
    if (gen == gen_) SendC();
  });
  AfterInState(5000, [this] { ReceiveWatch(); });
}

void DeviceModel::SendC() {
  if (rx_.Started()) return;
  if (cTries_ >= 30) {
    AbortReceive("no transfer");
    return;
  }
  ++cTries_;
  if (!opt_.faults.noC) Send(std::string(1, static_cast<char>(XmodemReceiver::kC)));
  AfterInState(1000, [this] { SendC(); });
}

void DeviceModel::ReceiveWatch() {
  if (now_ - rxLastByte_ >= 30000) {
    AbortReceive("time-out");
    return;
  }
  AfterInState(5000, [this] { ReceiveWatch(); });
}

void DeviceModel::ReceiveBytes(const uint8_t* data, size_t len) {
  const SimFaults& f = opt_.faults;
  if (lossResync_ || now_ < deafUntil_) {
    LoseBytes(len);
    return;
  }
  auto hold = [this](const uint8_t* p, size_t n) {
    const size_t room = kMaxHeld - std::min(kMaxHeld, held_.size());
    if (n > room) {
      Violation("xmodem: " + std::to_string(n - room) +
                " bytes sent while a block was written to flash and before its reply overran"
                " the receive buffer");
      n = room;
    }
    held_.append(reinterpret_cast<const char*>(p), n);
  };
  if (flashing_) {
    hold(data, len);
    return;
  }
  while (len > 0 && state_ == State::Receiving) {
    std::string reply;
    const int acceptedBefore = rx_.BlocksAccepted();
    const size_t used = rx_.Feed(data, len, &reply, true);
    data += used;
    len -= used;
    const bool accepted = rx_.BlocksAccepted() != acceptedBefore;
    // Only progress keeps the receiver waiting: a station that gave up mid-transfer
    // and now sends its wake-up text must not hold the loader here for ever.
    if (accepted || rx_.Done()) rxLastByte_ = now_;
    TakeXmodemViolations();
    if (f.silentAfterBlock > 0 && rx_.BlocksAccepted() >= f.silentAfterBlock) {
      GoDead();
      return;
    }
    if (accepted && f.writeLossMs > 0) {
      // A loader without a receive buffer during the write: it answers first, then
      // writes, and hears nothing meanwhile.
      Send(reply);
      deafUntil_ = now_ + f.writeLossMs;
      if (len > 0) LoseBytes(len);
      return;
    }
    const uint32_t writeMs = f.slowFlashMs > 0 ? f.slowFlashMs : opt_.flashWriteMs;
    if (accepted && writeMs > 0) {
      flashing_ = true;
      hold(data, len);
      AfterInState(writeMs, [this, reply] {
        flashing_ = false;
        Send(reply);
        std::string held;
        held.swap(held_);
        if (!held.empty()) ReceiveBytes(reinterpret_cast<const uint8_t*>(held.data()), held.size());
      });
      return;
    }
    Send(reply);
    if (rx_.Done()) {
      FinishReceive();
      return;
    }
    if (used == 0) break;
  }
  if (state_ == State::Receiving && rx_.Partial()) {
    partialAt_ = now_;
    if (!resyncArmed_) {
      resyncArmed_ = true;
      ArmResync(1000);
    }
  }
}

void DeviceModel::LoseBytes(size_t len) {
  if (len == 0) return;
  lossResync_ = true;
  lastLoss_ = now_;
  if (!resyncArmed_) {
    resyncArmed_ = true;
    ArmResync(1000);
  }
}

void DeviceModel::ArmResync(uint32_t delayMs) {
  AfterInState(delayMs, [this] {
    if (!lossResync_ && !rx_.Partial()) {
      resyncArmed_ = false;
      return;
    }
    const uint64_t last = std::max(partialAt_, lossResync_ ? lastLoss_ : 0);
    const uint64_t quiet = now_ - last;
    if (quiet < 1000) {
      ArmResync(static_cast<uint32_t>(1000 - quiet));
      return;
    }
    resyncArmed_ = false;
    std::string nak;
    if (lossResync_) {
      // What was lost was the start of the next block (or the EOT): ask for it again.
      lossResync_ = false;
      ++naks_;
      nak.push_back(static_cast<char>(XmodemReceiver::kNak));
      Send(nak);
      return;
    }
    if (rx_.Resync(&nak)) {
      TakeXmodemViolations();
      Send(nak);
    }
  });
}

void DeviceModel::TakeXmodemViolations() {
  const auto& v = rx_.Violations();
  for (; rxViolationsTaken_ < v.size(); ++rxViolationsTaken_) Violation(v[rxViolationsTaken_]);
}

void DeviceModel::AbortReceive(const std::string& why) {
  TakeXmodemViolations();
  naks_ += rx_.NaksSent();
  PrintLine("Download aborted: " + why, 0);
  const uint64_t gen = gen_;
  At(cursor_, [this, gen] {
    if (gen == gen_) EnterLoader();
  });
  NewState(State::Writing);
}

void DeviceModel::FinishReceive() {
  TakeXmodemViolations();
  naks_ += rx_.NaksSent();
  const std::vector<uint8_t>& data = rx_.Data();
  NewState(State::Writing);
  if (rxFirmware_) {
    firmware_ = data;
    ++firmwareWrites_;
    Took(Given::Firmware);
    PrintLine("Write to Flash ...", 300);
  } else {
    eeprom_ = data;
    if (eeprom_.size() > 1024) {
      Violation("EEPROM image of " + std::to_string(eeprom_.size()) +
                " bytes; the EEPROM holds 1024");
      eeprom_.resize(1024);
    }
    ++eepromWrites_;
    Took(Given::Eeprom);
    if (eeprom_.size() >= 12) {
      char t[24];
      std::snprintf(t, sizeof t, "%02X:%02X:%02X:%02X:%02X:%02X", eeprom_[11], eeprom_[10],
                    eeprom_[9], eeprom_[8], eeprom_[7], eeprom_[6]);
      eepromMac_ = t;
      nextMac_ = eepromMac_;
    }
    PrintLine("save to eeprom ...", 300);
  }
  // Writing takes its time: a host reads the classified line above on its own before
  // the banner comes (a host that takes a line may drop whatever arrived with it).
  for (int i = 0; i < 3; ++i) {
    Print("-\r", kSpinMs);
    Print("|\r", kSpinMs);
  }
  PrintLine(rxFirmware_ ? "flash updated, " + std::to_string(data.size()) + " bytes"
                        : std::string("EEPROM updated"),
            kSpinMs);
  if (!rxFirmware_ && macMismatchLeft_ > 0) {
    --macMismatchLeft_;
    PrintLine("MAC don't match", opt_.lineGapMs);
    Print("", kSpinMs * 4);
  }
  const uint64_t gen = gen_;
  At(cursor_, [this, gen] {
    if (gen == gen_) EnterLoader();
  });
}

void DeviceModel::LoaderByte(uint8_t b) {
  // A "$..." line sent to the loader (a console command, for example the station's
  // wake-up) is not a menu choice: its letters are skipped up to its line end.
  if (loaderSkipLine_) {
    if (b == '\n') loaderSkipLine_ = false;
    return;
  }
  switch (b) {
    case '$':
      loaderSkipLine_ = true;
      return;
    case 'U':
    case 'E':
      Record(&commands_, std::string(1, static_cast<char>(b)));
      StartReceive(b == 'U');
      return;
    case 'R':
      Record(&commands_, "R");
      Boot(200);
      return;
    default:
      return;
  }
}

// ---------------------------------------------------------------- console

void DeviceModel::ConsoleByte(uint8_t b) {
  if (!inCmd_) {
    if (b == '@') {
      if (prevAt_) {
        prevAt_ = false;
        if ((state_ == State::Booting || state_ == State::Running) && now_ <= windowUntil_) {
          Record(&commands_, "@@");
          EnterLoader();
        } else if (!atViolation_) {
          atViolation_ = true;
          Violation("\"@@\" without a \"fw =\" line before it");
        }
        return;
      }
      prevAt_ = true;
      return;
    }
    prevAt_ = false;
    if (b != '$') return;  // stray keys (the handshake's "U" and "E") are not commands
    inCmd_ = true;
    cmdCr_ = false;
    cmd_ = "$";
    const uint64_t serial = ++cmdSerial_;
    At(now_ + 1000, [this, serial] {
      if (inCmd_ && serial == cmdSerial_) {
        Violation("command without \"\\r\\n\": " + Printable(cmd_));
        inCmd_ = false;
      }
    });
    return;
  }
  if (cmdCr_ && b != '\n') {
    Violation("command ended by \"\\r\" without \"\\n\": " + Printable(cmd_));
    inCmd_ = false;
    ConsoleByte(b);
    return;
  }
  if (b == '$') {
    Violation("command without \"\\r\\n\": " + Printable(cmd_));
    inCmd_ = false;
    ConsoleByte(b);
    return;
  }
  cmd_.push_back(static_cast<char>(b));
  if (b == '\r') {
    cmdCr_ = true;
  } else if (b == '\n') {
    inCmd_ = false;
    if (!cmdCr_) {
      Violation("command ended by \"\\n\" without \"\\r\": " + Printable(cmd_));
      return;
    }
    Execute(cmd_.substr(0, cmd_.size() - 2));
    return;
  }
  if (cmd_.size() > 128) {
    Violation("command longer than 128 bytes: " + Printable(cmd_));
    inCmd_ = false;
  }
}

void DeviceModel::Answer(const std::string& key, const std::string& value) {
  const SimFaults& f = opt_.faults;
  const uint32_t delay = f.lateMs > 0 ? f.lateMs : opt_.answerDelayMs;
  if (f.noise) PrintLine("link 100M full duplex", delay);
  const bool fail = f.fail && (f.failKey.empty() || f.failKey == key);
  PrintLine("%" + key + (fail ? " FAIL" : value), f.noise ? opt_.lineGapMs : delay);
}

void DeviceModel::Execute(const std::string& command) {
  Record(&commands_, command);
  if (state_ != State::Running) {
    if (command == "$SES" && state_ == State::Booting) {
      const uint64_t fw =
          PrintLine("fw = " + opt_.firmwareVersion + " build 0412", opt_.answerDelayMs);
      At(fw, [this] { windowUntil_ = std::max(windowUntil_, now_ + opt_.bootWindowMs); });
      return;
    }
    Violation(command + " before the \"verison\" line");
    return;
  }
  if (command == "$GSVPA") {
    Answer("GSVPA", std::to_string(opt_.tcpPort));
  } else if (command.compare(0, 9, "$SYCXXMAC") == 0) {
    std::string mac;
    if (!NormaliseMac(command.substr(9), &mac)) {
      Violation("malformed MAC address: " + Printable(command));
      Answer("SYCXXMAC", " ERROR bad address");
      return;
    }
    const bool fail =
        opt_.faults.fail && (opt_.faults.failKey.empty() || opt_.faults.failKey == "SYCXXMAC");
    if (!fail) {
      programmedMac_ = mac;
      nextMac_ = mac;
      ++macWrites_;
      Took(Given::Mac);
    }
    Answer("SYCXXMAC", " OK");
  } else if (command == "$GLM") {
    if (!opt_.faults.noGlm) Answer("GLM", " " + currentMac_);
  } else if (command == "$SER") {
    if (opt_.faults.silentAfterSer) {
      GoDead();
      return;
    }
    Boot(opt_.bootDelayMs);
  } else if (command == "$SES") {
    const uint64_t fw =
        PrintLine("fw = " + opt_.firmwareVersion + " build 0412", opt_.answerDelayMs);
    const uint64_t gen = gen_;
    At(fw, [this, gen] {
      if (gen == gen_) windowUntil_ = now_ + opt_.bootWindowMs;
    });
  } else {
    Violation("unknown command: " + Printable(command));
  }
}

void DeviceModel::HostBytes(const uint8_t* data, size_t len, uint32_t nowMs) {
  SetTime(nowMs);
  RunDue();
  if (state_ == State::Restarting && now_ < listenAt_) return;  // not listening yet
  if (BaudMismatch()) {
    if (baudViolationAt_ != hostBaud_ && state_ != State::Dead && state_ != State::Off) {
      baudViolationAt_ = hostBaud_;
      Violation("host at " + std::to_string(hostBaud_) + " baud on a " +
                std::to_string(opt_.faults.baud) + " baud console: input unreadable");
    }
    return;
  }
  for (size_t i = 0; i < len; ++i) {
    switch (state_) {
      case State::Off:
      case State::Dead:
      case State::Writing:
        break;
      case State::Restarting:
      case State::Booting:
      case State::Running:
        ConsoleByte(data[i]);
        break;
      case State::Loader:
        LoaderByte(data[i]);
        break;
      case State::Receiving:
        ReceiveBytes(data + i, len - i);
        i = len;
        break;
    }
  }
}

SimReport DeviceModel::Report() const {
  SimReport r;
  r.name = opt_.name;
  r.state = StateName(static_cast<int>(state_));
  r.factoryMac = factoryMac_;
  r.firmware = firmware_;
  r.firmwareWrites = firmwareWrites_;
  r.eeprom = eeprom_;
  r.eepromWrites = eepromWrites_;
  r.eepromMac = eepromMac_;
  r.programmedMac = programmedMac_;
  r.macWrites = macWrites_;
  r.currentMac = currentMac_;
  r.restarts = restarts_;
  r.naksSent = naks_ + (state_ == State::Receiving ? rx_.NaksSent() : 0);
  r.commands = commands_;
  r.violations = violations_;
  auto digest = [](const std::vector<uint8_t>& v) {
    if (v.empty()) return std::string("none");
    return std::to_string(v.size()) + " " + Sha256::Hex(v.data(), v.size());
  };
  r.firmwareDigest = digest(firmware_);
  r.eepromDigest = digest(eeprom_);
  return r;
}
