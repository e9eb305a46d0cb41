#include "workers/Prgmacthread.h"

#include <cstdio>
#include <string_view>

#include "base/Board.h"
#include "base/JobState.h"
#include "base/UnitRecorder.h"
#include "platform/Clock.h"
#include "workers/Workers.h"

namespace {

// Searched in this order; the first keyword a line contains decides its class.
constexpr LineKeyword kKeywords[] = {
    {"fw =", prgMACThread::RecvFwLine},
    {"verison", prgMACThread::RecvVersionLine},
    {"%GLM", prgMACThread::RecvGlmReply},
    {"MAC don't match", prgMACThread::RecvMacMismatch},
};

std::string UpperText(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// "HH:HH:HH:HH:HH:HH" at the start of text.
bool ColonMac(std::string_view text, MacAddress* mac) {
  if (text.size() < 17) return false;
  for (size_t i = 2; i < 17; i += 3) {
    if (text[i] != ':') return false;
  }
  return MacPool::ParseMac(text.data(), 17, mac) == 0;
}

}  // namespace

std::unique_ptr<Thread> NewProgramMacWorker(Station& station, const RunJob& job, int portNumber,
                                            int portIndex, bool logFlag) {
  return std::make_unique<prgMACThread>(station, job, logFlag, portNumber, portIndex);
}

prgMACThread::prgMACThread(Station& station, const RunJob& job, bool logFlag, int portNumber,
                           int portIndex)
    : PortWorker(station, job, portNumber, portIndex), logFlag_(logFlag) {}

prgMACThread::~prgMACThread() {
  // The body uses members of this class: stop it and wait for it before they go.
  Terminate();
  Join();
}

void prgMACThread::Settle(bool confirmed) {
  if (settled_ || !macTaken_ || job_.steps.assignMac || !station_.pool) return;
  settled_ = true;
  const MacOutcome outcome = confirmed   ? MacOutcome::Programmed
                             : accepted_ ? MacOutcome::Unverified
                                         : MacOutcome::Failed;
  try {
    std::lock_guard<std::mutex> lock(station_.pool->Mutex());
    station_.pool->Settle(mac_, outcome);
  } catch (...) {
    // Not settled: the address stays recorded as taken, never handed out again.
  }
}

Stage prgMACThread::Run() {
  const char* name = console_.portName.c_str();
  console_.ShowStatus("%s: program MAC", name);
  const int open = console_.OpenConsolePort(job_.consoleBaud);
  if (open != 0) {
    console_.ShowFailure(open, "%s: com init failed: %d", name, open);
    return StageFailed;
  }
  const int r = ProgramMac();
  Settle(r == 1);
  if (r == 1) return StageProgrammed;
  console_.ShowFailure(r, "%s: program MAC failed: %d", name, r);
  return StageFailed;
}

void prgMACThread::ShowExceptionText() {
  console_.ShowStatus("%s: program MAC Exception", console_.portName.c_str());
}

bool prgMACThread::TakeMac() {
  macTaken_ = 0;
  std::string text;
  uint64_t lineNumber = 0;  // 0: not a pool's text, always shown
  const JobState& job = job_.steps;
  if (job.assignMac) {
    if (Terminated()) return false;
    text = "assigned MAC: " + job.assignedMacText;
    macTaken_ = 1;
  } else if (!station_.pool) {
    if (Terminated()) return false;
    text = "MAC not available: -1";
  } else {
    MacPool& pool = *station_.pool;
    // Under the pool's lock, in turn with the Stop handler, which closes the gate under
    // it: once the operator confirmed Stop, no address is taken.
    std::lock_guard<std::mutex> lock(pool.Mutex());
    if (!pool.GateOpen() || Terminated()) return false;
    const int r = pool.TakeNextFor(console_.portName, station_.runId, &mac_);
    lineNumber = pool.NextLineNumber();
    if (r != 0) {
      text = "MAC not available: " + std::to_string(r);
    } else {
      macTaken_ = 1;
      std::string next, last;
      if (pool.GetRange(&next, &last)) {
        text = "available " + next + " ~ " + last;
      } else {
        text = "MAC used up";
      }
    }
  }
  if (macTaken_ && station_.records) {
    const MacAddress written = job.assignMac ? job_.assignedMac.value_or(MacAddress{}) : mac_;
    station_.records->MacTaken(console_.portIndex, written, job.assignMac);
  }
  Synchronize([&] {
    if (lineNumber == 0 || station_.pool->IsNewerLine(lineNumber)) {
      station_.board->SetMacGridCell(0, 0, text);
    }
  });
  return true;
}

bool prgMACThread::ReportsAddressWritten(std::string_view glmLine, std::string* reported) const {
  reported->clear();
  size_t p = glmLine.find("%GLM");
  if (p == std::string_view::npos) return false;
  p += 4;
  while (p < glmLine.size() && glmLine[p] == ' ') p++;
  std::string_view rest = glmLine.substr(p);
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.remove_suffix(1);
  *reported = std::string(rest.substr(0, 32));
  MacAddress got{};
  if (!ColonMac(rest, &got)) return false;
  // Past the address only the end of the line (or a space and more words) may follow.
  if (rest.size() > 17 && rest[17] != ' ') return false;
  MacAddress written = mac_;
  if (job_.steps.assignMac) {
    if (job_.steps.assignedMacText.size() != 17 || !job_.assignedMac) return false;
    written = *job_.assignedMac;
  }
  *reported = FormatMac(got);
  return got == written;
}

std::string prgMACThread::BuildCommand() const {
  char command[kCommandSize];
  if (job_.steps.assignMac) {
    std::snprintf(command, sizeof(command), "$SYCXXMAC%s\r\n", job_.steps.assignedMacText.c_str());
  } else {
    std::snprintf(command, sizeof(command), "$SYCXXMAC%02x:%02x:%02x:%02x:%02x:%02x\r\n", mac_[0],
                  mac_[1], mac_[2], mac_[3], mac_[4], mac_[5]);
  }
  return command;
}

int prgMACThread::ProgramMac() {
  const char* name = console_.portName.c_str();
  if (!TakeMac() || (macTaken_ && Terminated())) {
    // Stopped before the address went out: nothing reaches the device.
    AppendMessage("program mac Terminated\r\n");
    return -1;
  }
  if (!macTaken_) {
    console_.ShowStatus("%s: get MAC failed", name);
    AppendMessage("get MAC failed\r\n");
    return -1;
  }

  const std::string command = BuildCommand();
  std::string value;
  const int q = console_.ConsoleQuery(command.c_str(), 8, &value);
  if (q != 0) {
    AppendMessage(command);
    AppendMessage("cmd_process ret: " + std::to_string(q) + "\r\n");
    return q;
  }
  if (value.find("OK") == std::string::npos) return -5;
  accepted_ = true;

  Clock& clock = *station_.clock;
  console_.SendBytes("$SER\r\n", 6);
  console_.ShowStatus("%s: reboot device", name);
  // The restart's first second: slept through, or, when waits end on answers, read
  // from the start with the silence counted as if it had been slept through.
  uint32_t silenceLimit = kSilenceLimitMs;
  if (console_.endWaitsOnAnswer) {
    silenceLimit += kRebootPauseMs;
  } else {
    clock.SleepMs(kRebootPauseMs);
  }
  console_.recvCount = 0;
  uint32_t lastActivity = clock.TickMs();
  int parsed = -2;

  while (!Terminated()) {
    // A port that can no longer be read has lost its device (the failure is shown).
    if (console_.ReadAvailable() != 0) return -2;
    if (console_.recvCount > 0) {
      lastActivity = clock.TickMs();
      silenceLimit = kSilenceLimitMs;
      parsed = ParseMacReplies();
      if (parsed == -1) {
        AppendMessage("program mac parse_data failed\r\n");
        break;
      }
    }
    if (parsed == 0) {
      if (glmSeen_) {
        if (glmMatches_) return 1;
        AppendMessage(
            "program mac: the device reports " +
            (glmReported_.empty() ? std::string("no address") : glmReported_) +
            ", not the address written " +
            (job_.steps.assignMac ? UpperText(job_.steps.assignedMacText) : FormatMac(mac_)) +
            "\r\n");
        return kOtherAddress;
      }
      if (versionSeen_ && !glmSent_) {
        console_.PauseForDevice(kVersionPauseMs);
        console_.SendBytes("$GLM\r\n", 6);
        glmSent_ = 1;
      }
      parsed = -2;  // each parse's lines are acted on once
    }
    if (TickDiff(clock.TickMs(), lastActivity) > silenceLimit) return -2;
    clock.SleepMs(1);
  }
  AppendMessage("program mac Terminated\r\n");
  return -1;
}

int prgMACThread::ParseMacReplies() {
  versionSeen_ = false;
  glmSeen_ = false;
  glmMatches_ = false;
  glmReported_.clear();
  // Every complete line is classified: one read can bring several (the device's "fw ="
  // and "verison" lines, for one). An unfinished line waits for more bytes.
  const ConsolePort::LinesTaken taken = console_.TakeLines(
      kKeywords, [this] { return Terminated(); },
      [this](std::string_view line, const LineKeyword* k) {
        if (k != nullptr) OnMacLine(line, *k);
        return true;
      });
  if (taken.stopped) return -1;
  return taken.classified > 0 ? 0 : -2;
}

void prgMACThread::OnMacLine(std::string_view line, const LineKeyword& k) {
  recvStatus_ = k.status;
  const std::string text(line);
  if (k.status == RecvGlmReply) {
    if (glmSeen_) return;  // the first answer decides
    glmSeen_ = true;
    glmMatches_ = ReportsAddressWritten(line, &glmReported_);
    MacAddress reported{};
    if (station_.records && ColonMac(glmReported_, &reported)) {
      station_.records->MacReported(console_.portIndex, reported, glmMatches_);
    }
    // "OK" only for the address written.
    if (glmMatches_) {
      console_.ShowStatus("%s: %s OK", console_.portName.c_str(), text.c_str());
    } else {
      console_.ShowStatus("%s: %s", console_.portName.c_str(), text.c_str());
    }
    return;
  }
  if (k.status == RecvVersionLine) versionSeen_ = true;
  console_.ShowStatus("%s: %s", console_.portName.c_str(), text.c_str());
}
