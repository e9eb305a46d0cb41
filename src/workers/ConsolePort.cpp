#include "workers/ConsolePort.h"

#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Board.h"
#include "base/UiThread.h"
#include "base/UnitRecorder.h"
#include "job/Logcfg.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/PortMap.h"

// ---------------------------------------------------------------- PortLog

int PortLog::Create(const std::string& logDirectory, const std::string& portName) {
  const std::string path = JoinPath(logDirectory, "log" + portName + ".txt");
  if (path.size() >= PATH_MAX) return ENAMETOOLONG;
  return file_.Create(path);
}

int PortLog::Write(const void* data, size_t len) {
  return file_.Write(data, len);
}

void PortLog::Close() {
  file_.Close();
}

// ---------------------------------------------------------------- ConsolePort

ConsolePort::ConsolePort(Station& station, int portNumber_, int portIndex_)
    : portNumber(portNumber_), portIndex(portIndex_), station_(station) {
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", portNumber);
  portName = name;
}

int ConsolePort::OpenConsolePort(uint32_t baud) {
  ClosePort();
  port_ = station_.serial->Create();
  const char* name = portName.c_str();

  int rc = port_->Open(station_.ports->DevicePath(portNumber));
  if (rc != 0) {
    port_->Close();
    ShowFailure(rc, "%s: open failed: %d", name, rc);
    return -1;
  }

  // Each configuration step in order; the first failure closes the port and names
  // the step.
  const char* failText = nullptr;
  if ((rc = port_->SetQueueSizes(4096, 0)) != 0) {
    failText = "%s: SetupComm failed: %d";
  } else if ((rc = port_->SetImmediateReadTimeouts()) != 0) {
    failText = "%s: SetCommTimeouts failed: %d";
  } else if ((rc = port_->GetLineSettings()) != 0) {
    failText = "%s: GetCommState failed: %d";
  } else if ((rc = port_->SetLineSettings(baud)) != 0) {
    failText = "%s: SetCommState failed: %d";
  } else if ((rc = port_->Purge()) != 0) {
    // A port whose queues cannot be discarded is not usable: stale bytes would be
    // taken for the device's answers.
    failText = "%s: PurgeComm failed: %d";
  }
  if (failText != nullptr) {
    port_->Close();
    ShowFailure(rc, failText, name, rc);
    return -1;
  }

  recvCount = 0;
  recvBuf[0] = '\0';
  ShowStatus("%s: init finished", name);
  return 0;
}

int ConsolePort::ReadFailed(int error, PortLog* trace) {
  if (quiet) return error;
  ShowFailure(error, "%s: ReadFile failed: %d", portName.c_str(), error);
  if (trace != nullptr) trace->Write(statusText, std::strlen(statusText));
  return error;
}

int ConsolePort::ReadAvailable(PortLog* trace) {
  const int rc = ReadChunk(trace);
  if (rc == 1) {
    station_.clock->SleepMs(300);
    return 0;
  }
  return rc;
}

int ConsolePort::ReadQueued() {
  const bool wasQuiet = quiet;
  quiet = true;
  const int rc = ReadChunk(nullptr);
  quiet = wasQuiet;
  return rc == 1 ? 0 : rc;
}

int ConsolePort::ReadChunk(PortLog* trace) {
  if (!port_) return 0;
  uint32_t queued = 0;
  // A port whose queue state cannot be read is gone (a hung-up terminal fails every
  // call at once): the caller ends instead of polling it in a tight loop.
  if (const int rc = port_->QueuedBytes(&queued)) return ReadFailed(rc, trace);
  if (queued == 0) return 1;

  uint8_t chunk[kReadChunk];
  size_t got = 0;
  if (const int rc = port_->Read(chunk, sizeof chunk, &got)) return ReadFailed(rc, trace);
  if (got == 0) return 0;
  if (got > sizeof chunk) got = sizeof chunk;

  // Three characters per byte plus the line end.
  char line[kReadChunk * 3 + 3];
  size_t lineLen = 0;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < got; ++i) {
    if (recvCount < 0) recvCount = 0;
    if (static_cast<size_t>(recvCount) >= kRecvCapacity) break;
    const uint8_t b = chunk[i];
    if (b == 0) continue;
    recvBuf[recvCount++] = static_cast<char>(b);
    if (trace != nullptr) {
      line[lineLen++] = kHex[b >> 4];
      line[lineLen++] = kHex[b & 0x0f];
      line[lineLen++] = ',';
    }
  }
  recvBuf[recvCount] = '\0';
  if (trace != nullptr) {
    line[lineLen++] = '\r';
    line[lineLen++] = '\n';
    trace->Write(line, lineLen);
  }
  return 0;
}

size_t ConsolePort::SendBytes(const void* data, size_t len) {
  if (!port_ || !port_->IsOpen() || data == nullptr || len == 0) return 0;
  size_t written = 0;
  if (port_->Write(static_cast<const uint8_t*>(data), len, &written) != 0) return 0;
  return written > len ? len : written;
}

size_t ConsolePort::SendText(const char* text) {
  if (text == nullptr) return 0;
  return SendBytes(text, std::strlen(text));
}

int ConsolePort::ConsoleQuery(const char* command, int keyLength, std::string* value) {
  if (value != nullptr) value->clear();
  if (command == nullptr || command[0] == '\0' || keyLength <= 0 || value == nullptr) return -1;
  const size_t cmdLen = std::strlen(command);
  // The key is taken from the command itself; a key longer than the command is a
  // caller's mistake, not something to read past the command for.
  if (static_cast<size_t>(keyLength) > cmdLen - 1) return -1;
  if (!port_) return -2;

  std::string key = "%";
  key.append(command + 1, static_cast<size_t>(keyLength));
  port_->Purge();
  SendBytes(command, cmdLen);
  std::string answer;
  if (const int rc = ReadAnswer(key, &answer)) {
    ReadFailed(rc, nullptr);
    return -2;
  }

  const size_t at = answer.find(key);
  if (at == std::string::npos) return -3;
  if (answer.find("FAIL") != std::string::npos) return -4;

  const size_t from = at + key.size();
  const size_t end = answer.find("\r\n", from);
  *value = answer.substr(from, end == std::string::npos ? std::string::npos : end - from);
  return 0;
}

int ConsolePort::ReadAnswer(const std::string& key, std::string* answer) {
  constexpr uint32_t kAnswerMs = 500;
  Clock& clock = *station_.clock;
  uint8_t raw[kReadChunk];
  // 0x00 bytes are line noise for the console, never part of an answer.
  auto take = [answer, &raw](size_t got) {
    for (size_t i = 0; i < got; ++i) {
      if (raw[i] != 0) answer->push_back(static_cast<char>(raw[i]));
    }
  };
  if (!endWaitsOnAnswer) {
    clock.SleepMs(kAnswerMs);
    size_t got = 0;
    if (const int rc = port_->Read(raw, sizeof raw, &got)) return rc;
    take(std::min(got, sizeof raw));
    return 0;
  }
  // The same bytes the single read would take, read as they come: the answer is in
  // once its key's line has ended and nothing has followed it for kAnswerQuietMs (a
  // "FAIL" after it in the same burst is still seen).
  const uint32_t start = clock.TickMs();
  uint32_t lastByte = start;
  size_t total = 0;
  bool lineIn = false;
  for (;;) {
    const uint32_t waited = TickDiff(clock.TickMs(), start);
    if (waited >= kAnswerMs) break;
    clock.SleepMs(std::min<uint32_t>(5, kAnswerMs - waited));
    size_t got = 0;
    if (const int rc = port_->Read(raw, sizeof raw - total, &got)) return rc;
    got = std::min(got, sizeof raw - total);
    if (got > 0) {
      total += got;
      take(got);
      lastByte = clock.TickMs();
    }
    if (total >= sizeof raw) break;
    if (!lineIn) {
      const size_t at = answer->find(key);
      lineIn =
          at != std::string::npos && answer->find("\r\n", at + key.size()) != std::string::npos;
    }
    if (lineIn && TickDiff(clock.TickMs(), lastByte) >= kAnswerQuietMs) break;
  }
  return 0;
}

void ConsolePort::PauseForDevice(uint32_t maxMs) {
  Clock& clock = *station_.clock;
  if (!endWaitsOnAnswer || !port_) {
    clock.SleepMs(maxMs);
    return;
  }
  const uint32_t start = clock.TickMs();
  uint32_t quietSince = start;
  uint32_t seen = 0;
  if (port_->QueuedBytes(&seen) != 0) return;  // the next read reports the port
  for (;;) {
    const uint32_t now = clock.TickMs();
    const uint32_t waited = TickDiff(now, start);
    if (waited >= maxMs || TickDiff(now, quietSince) >= kQuietMs) return;
    clock.SleepMs(std::min<uint32_t>(5, maxMs - waited));
    uint32_t queued = 0;
    if (port_->QueuedBytes(&queued) != 0) return;
    if (queued != seen) {
      seen = queued;
      quietSince = clock.TickMs();
    }
  }
}

ConsolePort::LinesTaken ConsolePort::TakeLines(std::span<const LineKeyword> table,
                                               const std::function<bool()>& stop,
                                               const LineHandler& onLine,
                                               const PieceHandler& onUnended) {
  LinesTaken taken;
  if (recvCount < 0) recvCount = 0;
  if (recvCount > static_cast<int32_t>(kRecvCapacity))
    recvCount = static_cast<int32_t>(kRecvCapacity);
  recvBuf[recvCount] = '\0';
  const std::string_view held(recvBuf, static_cast<size_t>(recvCount));

  size_t pos = 0;
  bool dropRest = false;
  while (pos < held.size()) {
    if (stop && stop()) {
      taken.stopped = true;
      return taken;
    }
    const std::string_view rest = held.substr(pos);
    const size_t nl = rest.find('\n');
    if (nl != std::string_view::npos) {
      const std::string_view line = rest.substr(0, nl);
      pos += nl + 1;
      taken.tookBytes = true;
      const LineKeyword* k = FindLineKeyword(line, table);
      if (k != nullptr) ++taken.classified;
      if (!onLine(line, k)) {
        dropRest = true;
        break;
      }
      continue;
    }
    const size_t piece = onUnended ? std::min(onUnended(rest), rest.size()) : 0;
    if (piece == 0) break;
    pos += piece;
    taken.tookBytes = true;
  }

  size_t left = dropRest ? 0 : held.size() - pos;
  if (left >= kRecvCapacity) left = 0;
  if (left > 0 && pos > 0) std::memmove(recvBuf, recvBuf + pos, left);
  recvCount = static_cast<int32_t>(left);
  recvBuf[left] = '\0';
  return taken;
}

void ConsolePort::ClosePort() {
  if (port_) port_->Close();
}

void ConsolePort::ShowStatus(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  ShowStatusV(fmt, ap);
  va_end(ap);
}

void ConsolePort::ShowFailure(int code, const char* fmt, ...) {
  if (quiet) return;
  if (station_.records) station_.records->StepFailed(portIndex, code);
  va_list ap;
  va_start(ap, fmt);
  ShowStatusV(fmt, ap);
  va_end(ap);
}

void ConsolePort::ShowProgress(int block, int blocks, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  ShowStatusV(fmt, ap, block, blocks);
  va_end(ap);
}

void ConsolePort::ShowStatusV(const char* fmt, va_list ap, int block, int blocks) {
  const int n = std::vsnprintf(statusText, sizeof statusText, fmt, ap);
  if (n < 0) statusText[0] = '\0';
  statusText[sizeof statusText - 1] = '\0';
  if (quiet || station_.ui == nullptr || station_.board == nullptr) return;
  Board* board = station_.board;
  const int index = portIndex;
  const char* text = statusText;
  station_.ui->RunSync([board, index, text, block, blocks] {
    if (blocks > 0) board->ShowPortProgress(index, block, blocks);
    board->ShowPortStatus(index, text);
  });
}
