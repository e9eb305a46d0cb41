#include "workers/Prgmacthread.h"

#include <cstdio>
#include <cstring>
#include <exception>
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
    : Thread(*station.ui),
      station_(station),
      job_(job),
      console_(station, portNumber, portIndex),
      logFlag_(logFlag) {
  SetRunning(true);
}

prgMACThread::~prgMACThread() {
  // The body uses members of this class: stop it and wait for it before they go.
  Terminate();
  Join();
}

void prgMACThread::AppendMessage(const std::string& text) {
  Synchronize([&] { station_.board->AppendMessage(text); });
}

void prgMACThread::SetStage(int32_t stage) {
  station_.stages->Set(console_.portIndex, stage);
  stageWritten_ = true;
}

void prgMACThread::Execute() {
  const char* name = console_.portName.c_str();
  // A pool address is settled once however the worker ends: programmed when the
  // device confirmed it, unverified when the device accepted it without confirming it
  // (it may hold it), failed when the device never accepted it.
  bool settled = false;
  auto settle = [&](bool confirmed) {
    if (settled || !macTaken_ || job_.steps.assignMac || !station_.pool) return;
    settled = true;
    const MacOutcome outcome = confirmed   ? MacOutcome::Programmed
                               : accepted_ ? MacOutcome::Unverified
                                           : MacOutcome::Failed;
    try {
      std::lock_guard<std::mutex> lock(station_.pool->Mutex());
      station_.pool->Settle(mac_, outcome);
    } catch (...) {
      // Not settled: the address stays recorded as taken, never handed out again.
    }
  };
  try {
    console_.ShowStatus("%s: program MAC", name);
    const int open = console_.OpenConsolePort(job_.consoleBaud);
    if (open != 0) {
      console_.ShowFailure(open, "%s: com init failed: %d", name, open);
      SetStage(StageFailed);
      console_.ClosePort();
      SetRunning(false);
      return;
    }
    const int r = ProgramMac();
    settle(r == 1);
    if (r == 1) {
      SetStage(StageProgrammed);
    } else {
      console_.ShowFailure(r, "%s: program MAC failed: %d", name, r);
      SetStage(StageFailed);
    }
    SetRunning(false);
    console_.ClosePort();
  } catch (const std::exception& e) {
    settle(false);
    EndWithException(e.what());
  } catch (...) {
    settle(false);
    EndWithException("unknown exception");
  }
}

void prgMACThread::EndWithException(const std::string& what) {
  try {
    console_.ShowStatus("%s: program MAC Exception", console_.portName.c_str());
    Synchronize([&] { station_.board->ShowException(what); });
  } catch (...) {
    // The board itself failed; the port must still end failed and closed.
  }
  if (!stageWritten_) SetStage(StageFailed);
  console_.ClosePort();
  SetRunning(false);
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
  clock.SleepMs(1000);
  console_.recvCount = 0;
  uint32_t lastActivity = clock.TickMs();
  int parsed = -2;

  while (!Terminated()) {
    // A port that can no longer be read has lost its device (the failure is shown).
    if (console_.ReadAvailable() != 0) return -2;
    if (console_.recvCount > 0) {
      lastActivity = clock.TickMs();
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
        clock.SleepMs(1000);
        console_.SendBytes("$GLM\r\n", 6);
        glmSent_ = 1;
      }
      parsed = -2;  // each parse's lines are acted on once
    }
    if (TickDiff(clock.TickMs(), lastActivity) > kSilenceLimitMs) return -2;
    clock.SleepMs(1);
  }
  AppendMessage("program mac Terminated\r\n");
  return -1;
}

int prgMACThread::ParseMacReplies() {
  char* buf = console_.recvBuf;
  int32_t count = console_.recvCount;
  if (count < 0) count = 0;
  if (count > static_cast<int32_t>(ConsolePort::kRecvCapacity)) {
    count = static_cast<int32_t>(ConsolePort::kRecvCapacity);
  }
  buf[count] = '\0';
  const std::string_view held(buf, static_cast<size_t>(count));
  versionSeen_ = false;
  glmSeen_ = false;
  glmMatches_ = false;
  glmReported_.clear();

  // Every complete line is classified: one read can bring several (the device's "fw ="
  // and "verison" lines, for one).
  bool classified = false;
  size_t pos = 0;
  while (pos < held.size()) {
    if (Terminated()) return -1;
    const size_t nl = held.find('\n', pos);
    if (nl == std::string_view::npos) break;  // an unfinished line waits for more bytes
    const std::string_view line = held.substr(pos, nl - pos);
    pos = nl + 1;
    const LineKeyword* k = FindLineKeyword(line, kKeywords);
    if (!k) continue;
    classified = true;
    recvStatus_ = k->status;
    const std::string text(line);
    if (k->status == RecvGlmReply) {
      if (glmSeen_) continue;  // the first answer decides
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
    } else {
      if (k->status == RecvVersionLine) versionSeen_ = true;
      console_.ShowStatus("%s: %s", console_.portName.c_str(), text.c_str());
    }
  }

  size_t rest = held.size() - pos;
  // A full buffer without any line end can never be completed (nothing more fits into
  // it): drop it, or the worker would wait on it for ever.
  if (rest >= ConsolePort::kRecvCapacity) rest = 0;
  if (rest > 0 && pos > 0) std::memmove(buf, buf + pos, rest);
  buf[rest] = '\0';
  console_.recvCount = static_cast<int32_t>(rest);
  return classified ? 0 : -2;
}
