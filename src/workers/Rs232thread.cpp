#include "workers/Rs232thread.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string_view>

#include "base/JobState.h"
#include "base/MacPool.h"
#include "base/SlotTable.h"
#include "base/UnitRecorder.h"
#include "job/Logcfg.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "workers/Workers.h"
#include "workers/Xmodem.h"

namespace {

// Line keywords in the order they are tried; the first one a line contains wins.
constexpr LineKeyword kKeywords[] = {
    {"fw =", RS232Thread::RecvFwLine},
    {"Varnix Serial Loader", RS232Thread::RecvLoaderBanner},
    {"verison", RS232Thread::RecvVersionLine},
    {"Downloading", RS232Thread::RecvDownloading},
    {"Write to Flash", RS232Thread::RecvWriteToFlash},
    {"save to eeprom", RS232Thread::RecvSaveToEeprom},
    {"%GLM", RS232Thread::RecvGlmReply},
    {"%SYCXX", RS232Thread::RecvSycReply},
    {"MAC don't match", RS232Thread::RecvMacMismatch},
};

constexpr uint32_t kLoopSleepMs = 10;
constexpr uint32_t kHandshakePauseMs = 1000;
constexpr uint32_t kKeyPauseMs = 300;
constexpr uint32_t kConsolePauseMs = 1000;

}  // namespace

RS232Thread::RS232Thread(Station& station, const RunJob& job, bool logFlag, int portNumber,
                         int portIndex)
    : PortWorker(station, job, portNumber, portIndex),
      logFlag_(logFlag),
      tempMac_{0x02, 0x5C, 0x3A, 0xFF, 0xFF, static_cast<uint8_t>(255 - portIndex)} {}

RS232Thread::~RS232Thread() {
  // The body uses this object's members: it must have returned before they go.
  Terminate();
  Join();
}

// ---------------------------------------------------------------- thread body

Stage RS232Thread::Run() {
  const char* name = console_.portName.c_str();
  // 1. The port.
  if (console_.OpenConsolePort(job_.consoleBaud) != 0) {
    console_.ShowFailure(-1, "%s: com init failed: %d", name, -1);
    return StageFailed;
  }
  // 2. The per-port log, before any byte is exchanged.
  if (logFlag_) {
    const int rc = portLog_.Create(job_.steps.logDirectory, console_.portName);
    if (rc != 0) {
      console_.ShowFailure(rc, "%s: create log file failed: %d", name, rc);
      return StageFailed;
    }
  }
  RunDialogue();
  return processFlag_ == ProcFinished ? StageDownloaded : StageFailed;
}

void RS232Thread::ShowExceptionText() {
  const char* name = console_.portName.c_str();
  console_.ShowStatus("%s: Thread Exception", name);
  Log("%s: Thread Exception", name);
}

void RS232Thread::Release() {
  // Set-up that failed exchanged nothing: there is no log, so no end entry either.
  Log("%s: Thread End. recvStatus:%d, processFlag:%d\r\n", console_.portName.c_str(),
      static_cast<int>(recvStatus_), static_cast<int>(processFlag_));
  // Everything is closed before the stage is written: the stage lets the next worker
  // of this port open it.
  console_.ClosePort();
  portLog_.Close();
}

void RS232Thread::RunDialogue() {
  Clock& clock = *station_.clock;
  const char* name = console_.portName.c_str();

  console_.recvCount = 0;
  int parserResult = kParsedNothing;
  nextIsSes_ = true;
  Activity();
  int silenceCount = 0;
  int timeoutCount = 0;
  // A unit the slot watcher has just found needs no silence to be woken by: its boot
  // ROM's window for "@@" is open, or its firmware is up and quiet.
  const UnitFound found =
      station_.slotTable ? station_.slotTable->Found(console_.portIndex) : UnitFound::Unknown;
  // The "@@" of a found unit may come too late for its window (the unit was found
  // just as the window closed): a unit that then says nothing is woken as any other.
  bool bootKeyUnanswered = found == UnitFound::AtBoot;
  if (found == UnitFound::AtBoot) {
    OnFwLine();
  } else if (found == UnitFound::Running) {
    ++silenceCount;  // the first of the handshake writes a silent device is given
    HandshakeWrite();
    Activity();
  }

  while (!Terminated()) {
    clock.SleepMs(kLoopSleepMs);
    // A port that can no longer be read has lost its device: the failure is shown,
    // and the worker ends failed.
    if (console_.ReadAvailable(portLog_.IsOpen() ? &portLog_ : nullptr) != 0) break;

    if (console_.recvCount > 0) {
      bootKeyUnanswered = false;
      // Bytes held (a partial line or a prompt, too) count as activity.
      lastActivity_ = clock.TickMs();
      parserResult = ParseReplies();
      if (parserResult == kParseTerminated) break;
      // ... but not for ever: a device whose bytes never make a line is not answering.
      if (TickDiff(clock.TickMs(), lastLine_) > kNoLineLimitMs) {
        console_.ShowStatus("%s: no response", name);
        break;
      }
    }

    StepDialogue(parserResult);
    if (processFlag_ == ProcFinished || imageFailed_) break;

    if (TickDiff(clock.TickMs(), lastActivity_) <= kSilenceMs) continue;
    if (bootKeyUnanswered) {
      bootKeyUnanswered = false;
      processFlag_ = ProcStart;
    }

    if (processFlag_ == ProcStart) {
      if (silenceCount >= kMaxHandshakeWrites) {
        console_.ShowStatus("%s: no response", name);
        break;
      }
      ++silenceCount;
      clock.SleepMs(kHandshakePauseMs);
      HandshakeWrite();
      Activity();
    } else if (processFlag_ == ProcDownloaded) {
      if (++timeoutCount > kDownloadedTimeouts) {
        const int step = static_cast<int>(processFlag_);
        console_.ShowFailure(step, "%s: timeout: %d", name, step);
        Log("%s: timeout: %d", name, step);
        break;
      }
      Activity();
    } else {
      if (++timeoutCount > kStepTimeouts) {
        const int step = static_cast<int>(processFlag_);
        console_.ShowFailure(step, "%s: timeout: %d", name, step);
        Log("%s: timeout: %d", name, step);
        processFlag_ = ProcStart;
        recvStatus_ = RecvNone;
        break;
      }
      Activity();
    }
  }
}

// ---------------------------------------------------------------- the parser

int RS232Thread::ParseReplies() {
  const char* name = console_.portName.c_str();
  // The first classified line is acted on; the rest of the read goes with it.
  const LineKeyword* classified = nullptr;
  std::string text;
  const ConsolePort::LinesTaken taken = console_.TakeLines(
      kKeywords, [this] { return Terminated(); },
      [&](std::string_view line, const LineKeyword* k) {
        LogBytes(line.data(), line.size());
        if (k == nullptr) return true;
        classified = k;
        text = line;
        // What came after the line in this read goes with it, but the receiver's first
        // "C" behind a "Downloading" line is its start request: the transfer must not
        // wait a second for the next one.
        const char* after = line.data() + line.size() + 1;
        const char* end = console_.recvBuf + console_.recvCount;
        startHeld_ = k->status == RecvDownloading && after < end &&
                     std::memchr(after, 'C', static_cast<size_t>(end - after)) != nullptr;
        return false;
      },
      [&](std::string_view rest) -> size_t {
        // No line end yet: the flash writer's spinner, or a line ended by "\r" alone.
        size_t at = rest.find("-\r");
        if (at != std::string_view::npos) {
          console_.ShowStatus("%s: Write to device...-", name);
          return at + 1;
        }
        at = rest.find("|\r");
        if (at != std::string_view::npos) {
          console_.ShowStatus("%s: Write to device...|", name);
          return at + 1;
        }
        at = rest.find('\r');
        return at == std::string_view::npos ? 0 : at + 1;
      });
  if (taken.stopped) return kParseTerminated;
  // A line or a "\r" piece was taken: the device is talking, not babbling.
  if (taken.tookBytes) lastLine_ = station_.clock->TickMs();
  if (classified == nullptr) return kParsedNothing;

  recvStatus_ = classified->status;
  Log("\r\n%s%s\r\n", "recv ", classified->text);
  if (recvStatus_ == RecvGlmReply) {
    console_.ShowStatus("%s: %s - Download OK", name, text.c_str());
  } else if (recvStatus_ == RecvSycReply) {
    console_.ShowStatus("%s: Write MAC OK", name);
  } else {
    console_.ShowStatus("%s: %s", name, text.c_str());
  }
  return kParsedLine;
}

// ---------------------------------------------------------------- the dialogue

void RS232Thread::StepDialogue(int parserResult) {
  if (parserResult != kParsedLine) return;
  // One handler per line class, in the order of the classes' numbers; a class without
  // one needs nothing (the status cell already shows its line).
  static constexpr void (RS232Thread::*kHandlers[])() = {
      nullptr,                       // RecvNone
      &RS232Thread::OnFwLine,        // RecvFwLine
      &RS232Thread::OnLoaderBanner,  // RecvLoaderBanner
      &RS232Thread::OnDownloading,   // RecvDownloading
      nullptr,                       // RecvWriteToFlash
      nullptr,                       // RecvSaveToEeprom
      &RS232Thread::OnVersionLine,   // RecvVersionLine
      &RS232Thread::OnGlmReply,      // RecvGlmReply
      &RS232Thread::OnMacMismatch,   // RecvMacMismatch
      &RS232Thread::OnSycReply,      // RecvSycReply
  };
  static_assert(std::size(kHandlers) == static_cast<size_t>(RecvSycReply) + 1);
  const auto line = static_cast<size_t>(recvStatus_);
  if (line < std::size(kHandlers) && kHandlers[line] != nullptr) (this->*kHandlers[line])();
  recvStatus_ = RecvNone;
}

int32_t RS232Thread::JobFlags() const {
  return job_.steps.jobFlags;
}

void RS232Thread::WriteKey(const char* key, const char* logText) {
  Write(key);
  Log("\r\n%s\r\n", logText);
}

void RS232Thread::WriteCommand(const char* command, const char* logText) {
  Write(command);
  Log("\r\n%s: %s\r\n", console_.portName.c_str(), logText);
}

void RS232Thread::PauseAndWrite(uint32_t pauseMs, Sent kind, const char* text,
                                const char* logText) {
  if (pauseMs > 0) console_.PauseForDevice(pauseMs);
  if (kind == Sent::Key) {
    WriteKey(text, logText);
  } else {
    WriteCommand(text, logText);
  }
  Activity();
}

// "fw =": the boot ROM's window for "@@", the loader's key.
void RS232Thread::OnFwLine() {
  const int32_t flags = JobFlags();
  if (processFlag_ == ProcStart) {
    PauseAndWrite(0, Sent::Key, "@@", "write @@");
    if (flags & kJobFirmware) {
      processFlag_ = ProcFirmware;
    } else if (flags & kJobEeprom) {
      processFlag_ = ProcEeprom;
    }
  } else if (processFlag_ == ProcDownloaded) {
    Activity();
  }
}

// The loader's menu: the next image's download key, or the restart once both are in.
void RS232Thread::OnLoaderBanner() {
  const int32_t flags = JobFlags();
  if (processFlag_ == ProcStart || processFlag_ == ProcFirmware) {
    if (flags & kJobFirmware) {
      PauseAndWrite(kKeyPauseMs, Sent::Key, "U", "write U");
      processFlag_ = ProcFirmware;
    } else if (flags & kJobEeprom) {
      PauseAndWrite(kKeyPauseMs, Sent::Key, "E", "write E");
      processFlag_ = ProcEeprom;
    }
  } else if (processFlag_ == ProcEeprom) {
    PauseAndWrite(kKeyPauseMs, Sent::Key, "E", "write E");
  } else if (processFlag_ == ProcDownloaded) {
    PauseAndWrite(kKeyPauseMs, Sent::Key, "R", "write R");
  }
}

// The loader waits for an image: firmware first when the job has it.
void RS232Thread::OnDownloading() {
  const char* name = console_.portName.c_str();
  const int32_t flags = JobFlags();
  const bool fw = (flags & kJobFirmware) != 0;
  const bool ee = (flags & kJobEeprom) != 0;
  const bool early = processFlag_ == ProcStart || processFlag_ == ProcFirmware;
  if (early && fw) {
    const int r = Transfer(true);
    if (r == kXmodemOk) {
      processFlag_ = ee ? ProcEeprom : ProcDownloaded;
    } else {
      console_.ShowFailure(r, "%s: Download Firmware failed: %d", name, r);
      processFlag_ = ProcStart;
    }
    Activity();
  } else if ((early && ee) || processFlag_ == ProcEeprom) {
    const int r = Transfer(false);
    if (r == kXmodemOk) {
      processFlag_ = ProcDownloaded;
    } else {
      console_.ShowFailure(r, "%s: Download EEPROM failed: %d", name, r);
      processFlag_ = ProcStart;
    }
    Activity();
  }
}

// The firmware's version line: its console is up.
void RS232Thread::OnVersionLine() {
  if (processFlag_ == ProcStart) {
    PauseAndWrite(kConsolePauseMs, Sent::Command, "$SES\r\n", "write $SES");
  } else if (processFlag_ == ProcDownloaded) {
    PauseAndWrite(kConsolePauseMs, Sent::Command, "$GLM\r\n", "write $GLM");
  } else if (processFlag_ == ProcRebooting) {
    PauseAndWrite(0, Sent::Command, "$GLM\r\n", "write $GLM");
  }
}

void RS232Thread::OnGlmReply() {
  processFlag_ = ProcFinished;
  Activity();
}

void RS232Thread::OnMacMismatch() {
  processFlag_ = ProcStart;
  Activity();
}

void RS232Thread::OnSycReply() {
  processFlag_ = ProcRebooting;
  PauseAndWrite(kConsolePauseMs, Sent::Command, "$SER\r\n", "write $SER");
}

// ---------------------------------------------------------------- helpers

void RS232Thread::HandshakeWrite() {
  const char* name = console_.portName.c_str();
  if (nextIsSes_) {
    Write("$SES\r\n");
    console_.ShowStatus("%s: write $SES", name);
    Log("\r\n%s\r\n", "write $SES");
    nextIsSes_ = false;
    return;
  }
  const int32_t flags = JobFlags();
  if (flags & kJobFirmware) {
    Write("U");
    console_.ShowStatus("%s: write U", name);
    Log("\r\n%s\r\n", "write U");
  } else if (flags & kJobEeprom) {
    Write("E");
    console_.ShowStatus("%s: write E", name);
    Log("\r\n%s\r\n", "write E");
  }
  nextIsSes_ = true;
}

int RS232Thread::Transfer(bool firmware) {
  const RunImage& image = firmware ? job_.firmware : job_.eeprom;
  XmodemSent sent;
  const XmodemPacing pacing = Pacing(firmware);
  const int r = XmodemSend(
      console_, firmware ? XmodemMode::Firmware : XmodemMode::Eeprom, image, tempMac_,
      [this] { return Terminated(); }, &sent, pacing);
  Log("\r\n%s: Xmodem %s: %d\r\n", console_.portName.c_str(), firmware ? "firmware" : "eeprom", r);
  PacingAfter(firmware, pacing, r);
  if (station_.records) ReportImage(firmware, image.path, sent, r);
  // An image that cannot be read whole, or breaks the size rules, would fail the same way
  // at every new attempt: the port fails (after the failure text) instead.
  if (r == kXmodemOpenFailed || r == kXmodemBadImage || r == kXmodemReadFailed) {
    imageFailed_ = true;
  }
  return r;
}

XmodemPacing RS232Thread::Pacing(bool firmware) {
  XmodemPacing p;
  p.ackPaced = job_.fastDownload && !pauseForced_;
  p.lineBaud = job_.consoleBaud;
  p.startHeld = startHeld_;
  startHeld_ = false;
  p.onPauseRestored = [this, firmware](int32_t block) {
    Log("\r\n%s: Xmodem %s: block %d refused, 200 ms pause after every packet from here on\r\n",
        console_.portName.c_str(), firmware ? "firmware" : "eeprom", block);
  };
  return p;
}

void RS232Thread::PacingAfter(bool firmware, const XmodemPacing& pacing, int result) {
  const bool lineFailed = result == kXmodemNoReply || result == kXmodemTooManyNaks ||
                          result == kXmodemWriteTimeout || result == kXmodemEotTimeout;
  if (!pacing.ackPaced || !lineFailed) return;
  // The device did not keep up (or went quiet): what it is sent again gets the pause.
  pauseForced_ = true;
  Log("\r\n%s: Xmodem %s failed: 200 ms pause after every packet from here on\r\n",
      console_.portName.c_str(), firmware ? "firmware" : "eeprom");
}

void RS232Thread::ReportImage(bool firmware, const std::string& path, const XmodemSent& sent,
                              int result) {
  SentImage image;
  image.firmware = firmware;
  image.path = path;
  image.fileBytes = sent.fileBytes;
  image.sentBytes = sent.bytes;
  image.sha256 = sent.sha256;
  image.result = result;
  if (!firmware) {
    MacAddress mac;
    std::copy(std::begin(tempMac_), std::end(tempMac_), mac.begin());
    image.tempMac = FormatMac(mac);
  }
  station_.records->ImageSent(console_.portIndex, image);
}

void RS232Thread::Write(const char* text) {
  console_.SendBytes(text, std::strlen(text));
}

void RS232Thread::Activity() {
  lastActivity_ = station_.clock->TickMs();
  lastLine_ = lastActivity_;
}

void RS232Thread::Log(const char* fmt, ...) {
  if (!portLog_.IsOpen()) return;
  char text[640];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (n <= 0) return;
  const size_t len =
      static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  portLog_.Write(text, len);
}

void RS232Thread::LogBytes(const char* data, size_t len) {
  if (portLog_.IsOpen() && len > 0) portLog_.Write(data, len);
}

// ---------------------------------------------------------------- factory

std::unique_ptr<Thread> NewDownloadWorker(Station& station, const RunJob& job, int portNumber,
                                          int portIndex, bool logFlag) {
  return std::make_unique<RS232Thread>(station, job, logFlag, portNumber, portIndex);
}
