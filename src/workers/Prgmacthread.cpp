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

}  // namespace

std::unique_ptr<Thread> NewProgramMacWorker(Station& station, int portNumber, int portIndex,
                                            bool logFlag) {
  return std::make_unique<prgMACThread>(station, logFlag, portNumber, portIndex);
}

prgMACThread::prgMACThread(Station& station, bool logFlag, int portNumber, int portIndex)
    : Thread(*station.ui),
      station_(station),
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
  // A pool address is settled once, programmed or failed, however the worker ends.
  bool settled = false;
  auto settle = [&](MacOutcome outcome) {
    if (settled || !macTaken_ || station_.job->assignMac || !station_.pool) return;
    settled = true;
    try {
      Synchronize([&] { station_.pool->Settle(mac_, outcome); });
    } catch (...) {
      // Not settled: the address stays recorded as taken, never handed out again.
    }
  };
  try {
    console_.ShowStatus("%s: program MAC", name);
    const int open = console_.OpenConsolePort();
    if (open != 0) {
      console_.ShowStatus("%s: com init failed: %d", name, open);
      SetStage(StageFailed);
      console_.ClosePort();
      SetRunning(false);
      return;
    }
    const int r = ProgramMac();
    settle(r == 1 ? MacOutcome::Programmed : MacOutcome::Failed);
    if (r == 1) {
      SetStage(StageProgrammed);
    } else {
      console_.ShowStatus("%s: program MAC failed: %d", name, r);
      SetStage(StageFailed);
    }
    SetRunning(false);
    console_.ClosePort();
  } catch (const std::exception& e) {
    settle(MacOutcome::Failed);
    EndWithException(e.what());
  } catch (...) {
    settle(MacOutcome::Failed);
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

void prgMACThread::TakeMac() {
  macTaken_ = 0;
  std::string text;
  const JobState& job = *station_.job;
  if (job.assignMac) {
    text = "assigned MAC: " + job.assignedMacText;
    macTaken_ = 1;
  } else {
    const int r =
        station_.pool ? station_.pool->TakeNextFor(console_.portName, station_.runId, &mac_) : -1;
    if (r != 0) {
      text = "MAC not available: " + std::to_string(r);
    } else {
      macTaken_ = 1;
      std::string next, last;
      if (station_.pool->GetRange(&next, &last)) {
        text = "available " + next + " ~ " + last;
      } else {
        text = "MAC used up";
      }
    }
  }
  if (macTaken_ && station_.records) {
    station_.records->MacTaken(
        console_.portIndex, job.assignMac ? job.assignedMacText : FormatMac(mac_), job.assignMac);
  }
  station_.board->SetMacGridCell(0, 0, text);
}

std::string prgMACThread::BuildCommand() const {
  char command[kCommandSize];
  if (station_.job->assignMac) {
    std::snprintf(command, sizeof(command), "$SYCXXMAC%s\r\n",
                  station_.job->assignedMacText.c_str());
  } else {
    std::snprintf(command, sizeof(command), "$SYCXXMAC%02x:%02x:%02x:%02x:%02x:%02x\r\n", mac_[0],
                  mac_[1], mac_[2], mac_[3], mac_[4], mac_[5]);
  }
  return command;
}

int prgMACThread::ProgramMac() {
  const char* name = console_.portName.c_str();
  bool stopped = false;
  Synchronize([this, &stopped] {
    // On the UI thread, in turn with the Stop handler: once the operator confirmed
    // Stop, no address is taken.
    stopped = Terminated();
    if (!stopped) TakeMac();
  });
  if (stopped) {
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
      if (recvStatus_ == RecvVersionLine && !glmSent_) {
        clock.SleepMs(1000);
        console_.SendBytes("$GLM\r\n", 6);
        glmSent_ = 1;
      } else if (recvStatus_ == RecvGlmReply) {
        return 1;
      }
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

  size_t pos = 0;
  while (pos < held.size()) {
    if (Terminated()) return -1;
    const size_t nl = held.find('\n', pos);
    if (nl == std::string_view::npos) break;  // an unfinished line waits for more bytes
    const std::string_view line = held.substr(pos, nl - pos);
    if (const LineKeyword* k = FindLineKeyword(line, kKeywords)) {
      recvStatus_ = k->status;
      const std::string text(line);
      // Everything held is dropped, the bytes after this line included.
      console_.recvCount = 0;
      buf[0] = '\0';
      if (k->status == RecvGlmReply) {
        console_.ShowStatus("%s: %s OK", console_.portName.c_str(), text.c_str());
      } else {
        console_.ShowStatus("%s: %s", console_.portName.c_str(), text.c_str());
      }
      return 0;
    }
    pos = nl + 1;
  }

  size_t rest = held.size() - pos;
  // A full buffer without any line end can never be completed (nothing more fits into
  // it): drop it, or the worker would wait on it for ever.
  if (rest >= ConsolePort::kRecvCapacity) rest = 0;
  if (rest > 0 && pos > 0) std::memmove(buf, buf + pos, rest);
  buf[rest] = '\0';
  console_.recvCount = static_cast<int32_t>(rest);
  return -2;
}
