#pragma once
// The dispatcher of one production run: finds the free serial ports, starts the step
// workers of every port through the worker factory and supervises the port stage
// table every 500 ms until every port has reached the job's last step or failed, or
// until the run is stopped.
//
// Ownership: the dispatcher owns the workers it starts and joins them in its end
// steps; whoever created the dispatcher owns it and releases it once Finished().
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/JobState.h"
#include "base/RunJob.h"
#include "base/SlotTable.h"
#include "base/Station.h"
#include "base/Thread.h"
#include "base/UnitGate.h"
#include "base/WorkerFactory.h"
#include "platform/Files.h"

class StartThread final : public Thread {
 public:
  static constexpr int kHighestPort = 256;
  static constexpr uint32_t kPoolWaitMs = 2000;
  static constexpr uint32_t kScanWaitMs = 3000;
  static constexpr uint32_t kSupervisePassMs = 500;
  // Continuous production: how often the slots are looked at (a slot's next step starts
  // this soon after its last one ended), and how soon a port that could not be opened
  // is tried again.
  static constexpr uint32_t kSlotPassMs = 20;
  static constexpr uint32_t kSlotRetryMs = 1000;
  static constexpr size_t kMaxLogPath = 255;

  // Created running; call Start() to run the thread body. job: the run's job, which
  // outlives the dispatcher (and so every worker it starts).
  StartThread(Station& station, const RunJob& job, WorkerFactory& workers, bool logFlag);
  // Requests termination, joins the thread and then every worker it started.
  ~StartThread() override;

  // Sends a stop request to every worker of this run whose running flag is still set
  // (download, test and programming worker of each detected port, in port order).
  // From then on no worker is started. Safe to call from any thread while the
  // dispatcher runs (not from inside the worker factory).
  void StopWorkers();
  // StopWorkers was called, or termination was requested: no worker starts any more.
  bool StopRequested() const { return stopRequested_.load() || Terminated(); }

  // The dispatcher log could not be created: the run ended before any scan.
  bool LogFailed() const { return logFailed_.load(); }

  // The detected ports (numbers n of COMn) in place order.
  std::vector<int> PortNumbers() const;

  // The stage a port is left at when it went through every step of `job`;
  // StageIdle for a job without steps.
  static Stage FinalStage(const JobState& job);
  // A port is finished when it failed or reached the job's final stage.
  static bool PortFinished(const JobState& job, Stage stage);

 protected:
  void Execute() override;

 private:
  struct PortWorkers {
    std::unique_ptr<Thread> download, test, program;
  };
  // Continuous production: one slot per detected port.
  struct Slot {
    SlotWatch watch;
    std::unique_ptr<Thread> watcher;
    bool retry = false;  // the watcher could not open the port: tried again at retryAt
    uint32_t retryAt = 0;
    bool lastPassed = false;
    bool admitted = false;  // the unit gate let the current unit's steps start
    int passed = 0, failed = 0;
    std::vector<MacAddress> lastUnit;  // the addresses the slot's last unit is known by
  };

  int OpenLog();
  void WriteLog(const std::string& text);
  void CloseLog();
  void ShowScanLine(const std::string& text);
  void WaitForPool();
  void FindPorts();
  int ScanPorts();
  void StartDownloads();
  void Supervise();
  bool AllPortsFinished() const;
  // Continuous production: every slot runs its own cycle until the run is stopped.
  void SuperviseSlots();
  // One look at slot k; false once a stop was requested.
  bool StepSlot(int portIndex);
  // The next step of the unit in slot k, when its last one ended; false once stopped.
  bool NextStep(int portIndex);
  bool BeginCycle(int portIndex, UnitFound found);
  void EndCycle(int portIndex);
  // Starts the slot's watcher for `what`; false once a stop was requested.
  bool StartWatch(int portIndex, WatchFor what);
  // Joins and releases the slot's ended watcher (off the workers' lock: it may be
  // showing a last text through the UI thread).
  void ReapWatcher(int portIndex);
  // Joins and releases the slot's step workers of its last cycle, all ended.
  void ReapWorkers(int portIndex);
  void ShowSlot(int portIndex, const char* state);
  // Writes the running value, then creates the worker; a worker the factory could not
  // make leaves its port failed. False (and nothing written) once a stop was requested.
  bool StartStep(int portIndex, WorkerKind kind, Stage runningStage);
  // Logs and shows a fault of the run; the end steps follow.
  void ReportFault(const std::string& what);
  // Asks the unit gate whether the unit on port k (its cycle) may start, and shows the
  // gate's text in the port's cell when it changed. Go without a gate. A refused unit's
  // port is left failed.
  GateAnswer AdmitUnit(int portIndex, int cycle);
  // Batch run: the first step of a port the gate has just let start.
  bool StartAdmitted(int portIndex);
  void EndSteps();
  void JoinWorkers();

  Station& station_;
  const RunJob& job_;
  WorkerFactory& factory_;
  const bool logFlag_;
  LogFile log_;  // startThread.txt, open while logging

  mutable std::mutex workersMutex_;  // guards portNumbers_, portCount_ and workers_
  std::array<int, kMaxPorts> portNumbers_{};
  int portCount_ = 0;
  std::array<PortWorkers, kMaxPorts> workers_;
  std::array<Slot, kMaxPorts> slots_;
  // Batch run: the gate let the port's unit start / the port's end was told to the gate.
  std::array<bool, kMaxPorts> admitted_{};
  std::array<bool, kMaxPorts> gateTold_{};
  std::array<std::string, kMaxPorts> gateText_;  // the gate's last text shown per port
  std::vector<std::unique_ptr<Thread>> retired_;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> logFailed_{false};
};
