#include "workers/Rs232thread.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <string_view>

#include "base/Board.h"
#include "base/JobState.h"
#include "base/MacPool.h"
#include "base/UiThread.h"
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
    : Thread(*station.ui),
      station_(station),
      job_(job),
      logFlag_(logFlag),
      console_(station, portNumber, portIndex),
      tempMac_{0x02, 0x5C, 0x3A, 0xFF, 0xFF, static_cast<uint8_t>(255 - portIndex)} {}

RS232Thread::~RS232Thread() {
  // The body uses this object's members: it must have returned before they go.
  Terminate();
  Join();
}

// ---------------------------------------------------------------- thread body

void RS232Thread::Execute() {
  bool failed = false;
  bool endStep = true;
  try {
    endStep = [this] {
      const char* name = console_.portName.c_str();
      // 1. The port.
      if (console_.OpenConsolePort(job_.consoleBaud) != 0) {
        console_.ShowFailure(-1, "%s: com init failed: %d", name, -1);
        return false;
      }
      // 2. The per-port log, before any byte is exchanged.
      if (logFlag_) {
        const int rc = portLog_.Create(job_.steps.logDirectory, console_.portName);
        if (rc != 0) {
          console_.ShowFailure(rc, "%s: create log file failed: %d", name, rc);
          return false;
        }
      }
      RunDialogue();
      return true;
    }();
  } catch (const std::exception& e) {
    failed = true;
    endStep = true;
    ReportException(e.what());
  } catch (...) {
    failed = true;
    endStep = true;
    ReportException("unknown exception");
  }

  if (endStep) {
    EndWorker(failed);
  } else {
    // Set-up failed: nothing was exchanged, so there is no end entry to log.
    console_.ClosePort();
    portLog_.Close();
    SetRunning(false);
    station_.stages->Set(console_.portIndex, StageFailed);
  }
}

void RS232Thread::ReportException(const char* what) {
  // Reporting must not keep the port from being closed and its stage written.
  try {
    const char* name = console_.portName.c_str();
    console_.ShowStatus("%s: Thread Exception", name);
    Log("%s: Thread Exception", name);
    const std::string message = what;
    Board* board = station_.board;
    if (board != nullptr) Synchronize([board, &message] { board->ShowException(message); });
  } catch (...) {
  }
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

  while (!Terminated()) {
    clock.SleepMs(kLoopSleepMs);
    // A port that can no longer be read has lost its device: the failure is shown,
    // and the worker ends failed.
    if (console_.ReadAvailable(portLog_.IsOpen() ? &portLog_ : nullptr) != 0) break;

    if (console_.recvCount > 0) {
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
    if (processFlag == ProcFinished || imageFailed_) break;

    if (TickDiff(clock.TickMs(), lastActivity_) <= kSilenceMs) continue;

    if (processFlag == ProcStart) {
      if (silenceCount >= kMaxHandshakeWrites) {
        console_.ShowStatus("%s: no response", name);
        break;
      }
      ++silenceCount;
      clock.SleepMs(kHandshakePauseMs);
      HandshakeWrite();
      Activity();
    } else if (processFlag == ProcDownloaded) {
      if (++timeoutCount > kDownloadedTimeouts) {
        console_.ShowFailure(processFlag, "%s: timeout: %d", name, processFlag);
        Log("%s: timeout: %d", name, processFlag);
        break;
      }
      Activity();
    } else {
      if (++timeoutCount > kStepTimeouts) {
        console_.ShowFailure(processFlag, "%s: timeout: %d", name, processFlag);
        Log("%s: timeout: %d", name, processFlag);
        processFlag = ProcStart;
        recvStatus = RecvNone;
        break;
      }
      Activity();
    }
  }
}

void RS232Thread::EndWorker(bool failed) {
  Log("%s: Thread End. recvStatus:%d, processFlag:%d\r\n", console_.portName.c_str(), recvStatus,
      processFlag);
  const bool downloaded = !failed && processFlag == ProcFinished;
  // Everything is closed before the stage is written: the stage lets the next worker
  // of this port open it.
  console_.ClosePort();
  portLog_.Close();
  SetRunning(false);
  station_.stages->Set(console_.portIndex, downloaded ? StageDownloaded : StageFailed);
}

// ---------------------------------------------------------------- the parser

int RS232Thread::ParseReplies() {
  char* buf = console_.recvBuf;
  int32_t count = console_.recvCount;
  if (count < 0) count = 0;
  if (count > static_cast<int32_t>(ConsolePort::kRecvCapacity)) {
    count = static_cast<int32_t>(ConsolePort::kRecvCapacity);
  }
  buf[count] = '\0';
  const size_t end = static_cast<size_t>(count);

  size_t pos = 0;
  int result = kParsedNothing;
  std::string_view line;
  while (pos < end) {
    if (Terminated()) return kParseTerminated;

    const std::string_view rest(buf + pos, end - pos);
    const size_t nl = rest.find('\n');
    if (nl != std::string_view::npos) {
      const std::string_view candidate = rest.substr(0, nl);
      LogBytes(candidate.data(), candidate.size());
      if (const LineKeyword* k = FindLineKeyword(candidate, kKeywords)) {
        recvStatus = k->status;
        Log("\r\n%s%s\r\n", "recv ", k->text);
        result = kParsedLine;
        line = candidate;
        break;
      }
      pos += nl + 1;
      continue;
    }

    // No line end yet: the flash writer's spinner, or a line ended by "\r" alone.
    size_t at = rest.find("-\r");
    if (at != std::string_view::npos) {
      pos += at + 1;
      console_.ShowStatus("%s: Write to device...-", console_.portName.c_str());
      continue;
    }
    at = rest.find("|\r");
    if (at != std::string_view::npos) {
      pos += at + 1;
      console_.ShowStatus("%s: Write to device...|", console_.portName.c_str());
      continue;
    }
    at = rest.find('\r');
    if (at != std::string_view::npos) {
      pos += at + 1;
      continue;
    }
    break;
  }

  // A line or a "\r" piece was taken: the device is talking, not babbling.
  if (result == kParsedLine || pos > 0) lastLine_ = station_.clock->TickMs();
  if (result != kParsedLine) {
    size_t left = end - pos;
    // A full buffer without any line end can never be completed (nothing more fits
    // into it): drop it, or the worker would wait on it for ever.
    if (left >= ConsolePort::kRecvCapacity) left = 0;
    if (left > 0 && pos > 0) std::memmove(buf, buf + pos, left);
    console_.recvCount = static_cast<int32_t>(left);
    buf[left] = '\0';
    return kParsedNothing;
  }

  // The line is shown from a copy: the buffer is emptied first, everything after the
  // classified line included.
  const std::string text(line);
  console_.recvCount = 0;
  buf[0] = '\0';
  const char* name = console_.portName.c_str();
  if (recvStatus == RecvGlmReply) {
    console_.ShowStatus("%s: %s - Download OK", name, text.c_str());
  } else if (recvStatus == RecvSycReply) {
    console_.ShowStatus("%s: Write MAC OK", name);
  } else {
    console_.ShowStatus("%s: %s", name, text.c_str());
  }
  return kParsedLine;
}

// ---------------------------------------------------------------- the dialogue

void RS232Thread::StepDialogue(int parserResult) {
  if (parserResult != kParsedLine) return;
  Clock& clock = *station_.clock;
  const char* name = console_.portName.c_str();
  const int32_t flags = job_.steps.jobFlags;
  const bool fw = (flags & kJobFirmware) != 0;
  const bool ee = (flags & kJobEeprom) != 0;

  switch (recvStatus) {
    case RecvFwLine:
      if (processFlag == ProcStart) {
        Write("@@");
        Log("\r\n%s\r\n", "write @@");
        if (fw) {
          processFlag = ProcFirmware;
        } else if (ee) {
          processFlag = ProcEeprom;
        }
        Activity();
      } else if (processFlag == ProcDownloaded) {
        Activity();
      }
      break;

    case RecvLoaderBanner:
      if (processFlag == ProcStart || processFlag == ProcFirmware) {
        if (fw) {
          clock.SleepMs(kKeyPauseMs);
          Write("U");
          Log("\r\n%s\r\n", "write U");
          processFlag = ProcFirmware;
          Activity();
        } else if (ee) {
          clock.SleepMs(kKeyPauseMs);
          Write("E");
          Log("\r\n%s\r\n", "write E");
          processFlag = ProcEeprom;
          Activity();
        }
      } else if (processFlag == ProcEeprom) {
        clock.SleepMs(kKeyPauseMs);
        Write("E");
        Log("\r\n%s\r\n", "write E");
        Activity();
      } else if (processFlag == ProcDownloaded) {
        clock.SleepMs(kKeyPauseMs);
        Write("R");
        Log("\r\n%s\r\n", "write R");
        Activity();
      }
      break;

    case RecvDownloading: {
      const bool early = processFlag == ProcStart || processFlag == ProcFirmware;
      if (early && fw) {
        const int r = Transfer(true);
        if (r == kXmodemOk) {
          processFlag = ee ? ProcEeprom : ProcDownloaded;
        } else {
          console_.ShowFailure(r, "%s: Download Firmware failed: %d", name, r);
          processFlag = ProcStart;
        }
        Activity();
      } else if ((early && ee) || processFlag == ProcEeprom) {
        const int r = Transfer(false);
        if (r == kXmodemOk) {
          processFlag = ProcDownloaded;
        } else {
          console_.ShowFailure(r, "%s: Download EEPROM failed: %d", name, r);
          processFlag = ProcStart;
        }
        Activity();
      }
      break;
    }

    case RecvWriteToFlash:
    case RecvSaveToEeprom:
      // The status cell already shows the line.
      break;

    case RecvVersionLine:
      if (processFlag == ProcStart) {
        clock.SleepMs(kConsolePauseMs);
        Write("$SES\r\n");
        Log("\r\n%s: write $SES\r\n", name);
        Activity();
      } else if (processFlag == ProcDownloaded) {
        clock.SleepMs(kConsolePauseMs);
        Write("$GLM\r\n");
        Log("\r\n%s: write $GLM\r\n", name);
        Activity();
      } else if (processFlag == ProcRebooting) {
        Write("$GLM\r\n");
        Log("\r\n%s: write $GLM\r\n", name);
        Activity();
      }
      break;

    case RecvGlmReply:
      processFlag = ProcFinished;
      Activity();
      break;

    case RecvMacMismatch:
      processFlag = ProcStart;
      Activity();
      break;

    case RecvSycReply:
      processFlag = ProcRebooting;
      clock.SleepMs(kConsolePauseMs);
      Write("$SER\r\n");
      Log("\r\n%s: write $SER\r\n", name);
      Activity();
      break;

    default:
      break;
  }
  recvStatus = RecvNone;
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
  const int32_t flags = job_.steps.jobFlags;
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
