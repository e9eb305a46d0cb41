#pragma once
// Scripted step workers for dispatcher tests: a WorkerFactory whose workers show one
// status line, wait a chosen (virtual) time on the station's clock and then write a
// chosen final stage, or StageFailed when they were asked to stop. The factory
// records every worker it made, with the stage the port was at when it was made.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Board.h"
#include "base/JobState.h"
#include "base/Station.h"
#include "base/Thread.h"
#include "base/UnitRecorder.h"
#include "base/WorkerFactory.h"
#include "platform/Clock.h"

struct WorkerScript {
  Stage finalStage = StageIdle;  // StageIdle: the step's success value
  uint32_t delayMs = 1000;         // virtual time before the worker ends
  bool untilStopped = false;       // runs until a stop request (then fails its port)
  // When given, a worker that was asked to stop ends only once *holdStop is true
  // (a worker that needs a while to wind down).
  const std::atomic<bool>* holdStop = nullptr;
  // A loopback worker not stopped tells the records this answering address (unless
  // empty) before it ends, as the real one does after its echo, pass or fail.
  std::string linkAddress;
  // A worker that fails (not stopped) tells the records this failure code, if given.
  std::optional<int> failCode;
};

inline Stage SuccessStage(WorkerKind kind) {
  switch (kind) {
    case WorkerKind::Download:
      return StageDownloaded;
    case WorkerKind::LoopbackTest:
      return StageTested;
    case WorkerKind::ProgramMac:
      return StageProgrammed;
  }
  return StageFailed;
}

inline const char* KindName(WorkerKind kind) {
  switch (kind) {
    case WorkerKind::Download:
      return "download";
    case WorkerKind::LoopbackTest:
      return "test";
    case WorkerKind::ProgramMac:
      return "mac";
  }
  return "?";
}

class ScriptedWorker final : public Thread {
 public:
  ScriptedWorker(Station& station, WorkerKind kind, int portNumber, int portIndex,
                 WorkerScript script)
      : Thread(*station.ui),
        station_(station),
        kind_(kind),
        portNumber_(portNumber),
        portIndex_(portIndex),
        script_(script) {}
  ~ScriptedWorker() override { Join(); }
  bool SawStop() const { return sawStop_.load(); }

 protected:
  void Execute() override {
    const std::string name = "COM" + std::to_string(portNumber_) + ": " + KindName(kind_);
    Synchronize([&] { station_.board->ShowPortStatus(portIndex_, name + " started"); });
    Clock& clock = *station_.clock;
    const uint32_t start = clock.TickMs();
    while (script_.untilStopped || TickDiff(clock.TickMs(), start) < script_.delayMs) {
      if (Terminated()) {
        sawStop_.store(true);
        break;
      }
      clock.SleepMs(10);
    }
    if (sawStop_.load() && script_.holdStop) {
      while (!script_.holdStop->load()) clock.SleepMs(10);
    }
    Stage result = script_.finalStage == StageIdle ? SuccessStage(kind_) : script_.finalStage;
    if (sawStop_.load()) result = StageFailed;
    if (kind_ == WorkerKind::LoopbackTest && !sawStop_.load() && !script_.linkAddress.empty() &&
        station_.records) {
      station_.records->LinkAddressSeen(portIndex_, script_.linkAddress);
    }
    if (result == StageFailed && !sawStop_.load() && script_.failCode && station_.records) {
      station_.records->StepFailed(portIndex_, *script_.failCode);
    }
    Synchronize([&] {
      station_.board->ShowPortStatus(portIndex_, name + " ended " + std::to_string(static_cast<int>(result)));
    });
    station_.stages->Set(portIndex_, result);
    SetRunning(false);
  }

 private:
  Station& station_;
  WorkerKind kind_;
  int portNumber_;
  int portIndex_;
  WorkerScript script_;
  std::atomic<bool> sawStop_{false};
};

class ScriptedWorkerFactory final : public WorkerFactory {
 public:
  struct Created {
    WorkerKind kind;
    int portNumber;
    int portIndex;
    bool logFlag;
    Stage stageAtCreation;
    uint32_t tick;
    ScriptedWorker* worker;  // owned by the dispatcher: read only while it exists
  };

  explicit ScriptedWorkerFactory(Station& station) : station_(station) {}

  // The script of the worker of `kind` at place portIndex (default: success after
  // the default delay).
  void Script(WorkerKind kind, int portIndex, WorkerScript script) {
    std::lock_guard<std::mutex> lock(m_);
    scripts_[{kind, portIndex}] = script;
  }
  void SetDefault(WorkerScript script) {
    std::lock_guard<std::mutex> lock(m_);
    default_ = script;
  }

  std::unique_ptr<Thread> StartWorker(const RunJob& /*job*/, WorkerKind kind, int portNumber,
                                      int portIndex, bool logFlag) override {
    WorkerScript script;
    {
      std::lock_guard<std::mutex> lock(m_);
      auto it = scripts_.find({kind, portIndex});
      script = it == scripts_.end() ? default_ : it->second;
    }
    auto worker = std::make_unique<ScriptedWorker>(station_, kind, portNumber, portIndex, script);
    {
      std::lock_guard<std::mutex> lock(m_);
      created_.push_back(Created{kind, portNumber, portIndex, logFlag,
                                 station_.stages->Get(portIndex), station_.clock->TickMs(),
                                 worker.get()});
    }
    worker->Start();
    return worker;
  }

  std::vector<Created> CreatedList() const {
    std::lock_guard<std::mutex> lock(m_);
    return created_;
  }
  int Count(WorkerKind kind) const {
    std::lock_guard<std::mutex> lock(m_);
    int n = 0;
    for (auto& c : created_) n += c.kind == kind ? 1 : 0;
    return n;
  }
  int Total() const {
    std::lock_guard<std::mutex> lock(m_);
    return static_cast<int>(created_.size());
  }
  // Places of the workers of `kind`, in creation order.
  std::vector<int> Places(WorkerKind kind) const {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<int> out;
    for (auto& c : created_) {
      if (c.kind == kind) out.push_back(c.portIndex);
    }
    return out;
  }

 private:
  Station& station_;
  mutable std::mutex m_;
  std::map<std::pair<WorkerKind, int>, WorkerScript> scripts_;
  WorkerScript default_;
  std::vector<Created> created_;
};
