#include "app/Startthread.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <mutex>

#include "base/AnsweredAddresses.h"
#include "base/Board.h"
#include "base/UnitRecorder.h"
#include "job/Logmac.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"

StartThread::StartThread(Station& station, const RunJob& job, WorkerFactory& workers, bool logFlag)
    : Thread(*station.ui), station_(station), job_(job), factory_(workers), logFlag_(logFlag) {}

StartThread::~StartThread() {
  Terminate();
  Join();
  // Only reached without the end steps when the thread never ran them (never
  // started, or it gave up at its log file and started no worker).
  StopWorkers();
  JoinWorkers();
  CloseLog();
}

Stage StartThread::FinalStage(const JobState& job) {
  return JobFinalStage(job);
}

bool StartThread::PortFinished(const JobState& job, Stage stage) {
  if (stage == StageFailed) return true;
  const Stage last = FinalStage(job);
  return last == StageIdle || stage == last;
}

std::vector<int> StartThread::PortNumbers() const {
  std::lock_guard<std::mutex> lock(workersMutex_);
  return std::vector<int>(portNumbers_.begin(), portNumbers_.begin() + portCount_);
}

// ---- the dispatcher log ----

int StartThread::OpenLog() {
  const std::string path = JoinPath(job_.steps.logDirectory, "startThread.txt");
  if (path.size() > kMaxLogPath) return ENAMETOOLONG;
  // Always a new file, held for this run only, never written through a link.
  return log_.Create(path);
}

void StartThread::WriteLog(const std::string& text) {
  log_.Write(text.data(), text.size());  // a failed write is ignored
}

void StartThread::CloseLog() {
  log_.Close();
}

void StartThread::ShowScanLine(const std::string& text) {
  Synchronize([&] { station_.board->SetMacGridCell(1, 0, text); });
}

// ---- the run ----

void StartThread::Execute() {
  if (logFlag_) {
    const int e = OpenLog();
    if (e != 0) {
      // No end steps: the board keeps "Stop" until the operator presses it.
      logFailed_.store(true);
      SetRunning(false);
      char text[256];
      std::snprintf(text, sizeof text, "startThread: create log file failed: %d", e);
      const std::string line(text);
      Synchronize([&] {
        station_.board->SetMacGridCell(1, 0, line);
        station_.board->DispatcherEnded();
      });
      return;
    }
  }
  try {
    WaitForPool();
    FindPorts();
    if (station_.records && portCount_ > 0) station_.records->RunStarted(PortNumbers());
    if (station_.answered) station_.answered->RunStarted(PortNumbers());
    if (station_.gate && portCount_ > 0) station_.gate->RunStarted(PortNumbers());
    if (job_.continuous) {
      SuperviseSlots();
    } else {
      if (!Terminated()) StartDownloads();
      Supervise();
    }
  } catch (const std::exception& e) {
    ReportFault(e.what());
  } catch (...) {
    ReportFault("unknown exception");
  }
  EndSteps();
}

void StartThread::ReportFault(const std::string& what) {
  if (logFlag_) WriteLog("StartThread exception\r\n");
  try {
    Synchronize([&] { station_.board->ShowException(what); });
  } catch (...) {
    // The box could not be shown; the end steps still run.
  }
}

void StartThread::WaitForPool() {
  const JobState& job = job_.steps;
  // An assigned address does not come from the pool: nothing to wait for.
  if (!job.programMac || job.assignMac) return;
  while (!Terminated()) {
    bool available = false;
    {
      // The pool's own lock, not the UI thread: a slow pool holds up only this wait.
      std::lock_guard<std::mutex> lock(station_.pool->Mutex());
      available = station_.pool->IsAvailable();
    }
    if (available) return;
    station_.clock->SleepMs(kPoolWaitMs);
  }
}

void StartThread::FindPorts() {
  while (!Terminated()) {
    if (ScanPorts() > 0) return;
    station_.clock->SleepMs(kScanWaitMs);
  }
}

int StartThread::ScanPorts() {
  const std::string detecting = "COM Port detect...\r\n";
  ShowScanLine(detecting);
  if (logFlag_) WriteLog(detecting);
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    portCount_ = 0;
  }
  int count = 0;
  std::array<int, kMaxPorts> found{};
  for (int n = 1; n <= kHighestPort && count < kMaxPorts; n++) {
    // An exclusive open that succeeds means the port is there and nobody holds it.
    std::unique_ptr<SerialPort> probe = station_.serial->Create();
    if (probe->Open(station_.ports->DevicePath(n)) != 0) continue;
    probe->Close();
    found[static_cast<size_t>(count++)] = n;
  }
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    portNumbers_ = found;
    portCount_ = count;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%d COM Port detected\r\n", count);
  const std::string detected(text);
  ShowScanLine(detected);
  if (logFlag_) WriteLog(detected);
  return count;
}

void StartThread::StartDownloads() {
  for (int k = 0; k < portCount_; k++) {
    if (AdmitUnit(k, 0) != GateAnswer::Go) continue;
    if (!StartAdmitted(k)) return;
  }
}

bool StartThread::StartAdmitted(int portIndex) {
  admitted_[static_cast<size_t>(portIndex)] = true;
  if (job_.steps.jobFlags == 0) return true;
  if (!StartStep(portIndex, WorkerKind::Download, StageDownloading)) return false;
  if (logFlag_) {
    char text[64];
    std::snprintf(text, sizeof text, "new COM%d Thread\r\n",
                  portNumbers_[static_cast<size_t>(portIndex)]);
    WriteLog(text);
  }
  return true;
}

GateAnswer StartThread::AdmitUnit(int portIndex, int cycle) {
  if (station_.gate == nullptr) return GateAnswer::Go;
  std::string text;
  const GateAnswer answer = station_.gate->Admit(portIndex, cycle, &text);
  if (answer == GateAnswer::Refuse) {
    // No step starts: the unit takes no address and no image.
    station_.stages->Set(portIndex, StageFailed);
  }
  std::string& shown = gateText_[static_cast<size_t>(portIndex)];
  if (!text.empty() && text != shown) {
    shown = text;
    if (logFlag_) WriteLog(text + "\r\n");
    Synchronize([&] { station_.board->ShowPortStatus(portIndex, text); });
  }
  return answer;
}

bool StartThread::StartStep(int portIndex, WorkerKind kind, Stage runningStage) {
  StageTable& stages = *station_.stages;
  const auto slot = static_cast<size_t>(portIndex);
  // The worker is made and listed under the lock that StopWorkers takes: a Stop either
  // comes first, and no worker is started, or it finds this worker and stops it before
  // the worker can ask the UI thread for anything (its MAC address, for one).
  std::lock_guard<std::mutex> lock(workersMutex_);
  if (StopRequested()) return false;
  stages.Set(portIndex, runningStage);
  if (station_.records) station_.records->StepStarted(portIndex, kind);
  std::unique_ptr<Thread> worker =
      factory_.StartWorker(job_, kind, portNumbers_[slot], portIndex, logFlag_);
  if (!worker) {
    stages.Set(portIndex, StageFailed);
    return true;
  }
  PortWorkers& w = workers_[slot];
  std::unique_ptr<Thread>& ref = kind == WorkerKind::Download       ? w.download
                                 : kind == WorkerKind::LoopbackTest ? w.test
                                                                    : w.program;
  // A port runs each step at most once per run; should a slot hold an earlier worker
  // all the same, it is kept (and joined in the end steps), never dropped while it runs.
  if (ref) retired_.push_back(std::move(ref));
  ref = std::move(worker);
  return true;
}

void StartThread::Supervise() {
  const JobState& job = job_.steps;
  StageTable& stages = *station_.stages;
  const Stage beforeMac = job.loopbackTest == 1 ? StageTested
                            : job.jobFlags != 0   ? StageDownloaded
                                                  : StageIdle;
  while (!Terminated()) {
    station_.clock->SleepMs(kSupervisePassMs);
    // A stop that came during the wait starts no new worker.
    if (Terminated()) break;
    // A stop in the middle of the pass starts no further worker.
    for (int k = 0; k < portCount_; k++) {
      const auto i = static_cast<size_t>(k);
      if (admitted_[i] || stages.Get(k) == StageFailed) continue;
      if (AdmitUnit(k, 0) == GateAnswer::Go && !StartAdmitted(k)) return;
    }
    if (job.loopbackTest == 1) {
      // On a shared interface every device answers for the test address: one test at
      // a time (each with the address pinned to its port's device).
      const bool oneAtATime = !job_.sharedTestInterface.empty();
      bool testing = false;
      for (int k = 0; oneAtATime && k < portCount_; k++) testing |= stages.Get(k) == StageTesting;
      for (int k = 0; k < portCount_ && !testing; k++) {
        const Stage s = stages.Get(k);
        if (!admitted_[static_cast<size_t>(k)] || (s != StageIdle && s != StageDownloaded)) continue;
        if (!StartStep(k, WorkerKind::LoopbackTest, StageTesting)) return;
        testing = oneAtATime;
      }
    }
    if (job.programMac) {
      for (int k = 0; k < portCount_; k++) {
        if (admitted_[static_cast<size_t>(k)] && stages.Get(k) == beforeMac &&
            !StartStep(k, WorkerKind::ProgramMac, StageProgramming)) {
          return;
        }
      }
    }
    if (station_.records) station_.records->PortsChecked();
    if (station_.gate) {
      for (int k = 0; k < portCount_; k++) {
        const auto i = static_cast<size_t>(k);
        const Stage s = stages.Get(k);
        if (admitted_[i] && !gateTold_[i] && PortFinished(job, s)) {
          gateTold_[i] = true;
          station_.gate->UnitEnded(k, s != StageFailed);
        }
      }
    }
    if (AllPortsFinished()) break;
  }
}

bool StartThread::AllPortsFinished() const {
  for (int k = 0; k < portCount_; k++) {
    if (!PortFinished(job_.steps, station_.stages->Get(k))) return false;
  }
  return true;
}

void StartThread::StopWorkers() {
  // Before the lock: a worker start waiting for it refuses once it has the lock.
  stopRequested_.store(true);
  std::lock_guard<std::mutex> lock(workersMutex_);
  for (int k = 0; k < portCount_; k++) {
    PortWorkers& w = workers_[static_cast<size_t>(k)];
    for (Thread* t : {w.download.get(), w.test.get(), w.program.get()}) {
      if (t && t->Running()) t->Terminate();
    }
    Thread* watcher = slots_[static_cast<size_t>(k)].watcher.get();
    if (watcher) watcher->Terminate();
  }
  for (auto& t : retired_) {
    if (t->Running()) t->Terminate();
  }
}

void StartThread::JoinWorkers() {
  // Workers may wait in Synchronize: never called on the UI thread while they run.
  // The references stay until the dispatcher goes, so StopWorkers never sees a
  // released worker.
  for (size_t k = 0; k < workers_.size(); k++) {
    Thread* list[4];
    {
      std::lock_guard<std::mutex> lock(workersMutex_);
      list[0] = workers_[k].download.get();
      list[1] = workers_[k].test.get();
      list[2] = workers_[k].program.get();
      list[3] = slots_[k].watcher.get();
    }
    for (Thread* t : list) {
      if (t) t->Join();
    }
  }
  std::vector<Thread*> retired;
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    for (auto& t : retired_) retired.push_back(t.get());
  }
  for (Thread* t : retired) t->Join();
}

void StartThread::EndSteps() {
  if (logFlag_) WriteLog("StartThread end\r\n");
  StopWorkers();
  JoinWorkers();
  // Outcomes the pool could not record yet get a few seconds more (a database that
  // restarted); what still waits is kept and reported.
  // Every worker is joined: the pool is called here under its own lock, off the UI
  // thread, so the window stays responsive while the pool tries.
  try {
    if (station_.pool) {
      std::lock_guard<std::mutex> lock(station_.pool->Mutex());
      station_.pool->FinishRun();
    }
  } catch (...) {
    // The run still ends; the pool keeps what waits.
  }
  if (station_.gate) {
    // Units admitted in a batch run and not finished were stopped.
    for (int k = 0; !job_.continuous && k < portCount_; k++) {
      const auto i = static_cast<size_t>(k);
      if (admitted_[i] && !gateTold_[i]) {
        gateTold_[i] = true;
        station_.gate->UnitEnded(k, false);
      }
    }
    station_.gate->RunEnded();
  }
  // Every port's record is written before its workers can be released.
  if (station_.records) station_.records->RunEnded();
  CloseLog();
  SetRunning(false);
  Synchronize([&] {
    station_.board->SetStartButton(false);
    station_.board->DispatcherEnded();
  });
}

// ---- continuous production ----

void StartThread::ShowSlot(int portIndex, const char* state) {
  const Slot& slot = slots_[static_cast<size_t>(portIndex)];
  char text[128];
  if (slot.passed + slot.failed == 0) {
    std::snprintf(text, sizeof text, "COM%d: %s", portNumbers_[static_cast<size_t>(portIndex)],
                  state);
  } else {
    std::snprintf(text, sizeof text, "COM%d: %s - %d passed, %d failed",
                  portNumbers_[static_cast<size_t>(portIndex)], state, slot.passed, slot.failed);
  }
  const std::string line(text);
  Synchronize([&] { station_.board->ShowPortStatus(portIndex, line); });
}

void StartThread::SuperviseSlots() {
  SlotTable* table = station_.slotTable;
  if (table == nullptr) return;
  for (int k = 0; k < portCount_; k++) {
    table->SetPhase(k, SlotPhase::Empty);
    table->SetCycle(k, 0);
    table->SetFound(k, UnitFound::Unknown);
    ShowSlot(k, "insert unit");
    if (!StartWatch(k, WatchFor::Arrival)) return;
  }
  while (!Terminated()) {
    station_.clock->SleepMs(kSlotPassMs);
    if (Terminated()) break;
    for (int k = 0; k < portCount_; k++) {
      if (!StepSlot(k)) return;
    }
    if (station_.records) station_.records->PortsChecked();
  }
}

bool StartThread::StartWatch(int portIndex, WatchFor what) {
  Slot& slot = slots_[static_cast<size_t>(portIndex)];
  std::lock_guard<std::mutex> lock(workersMutex_);
  if (StopRequested()) return false;
  slot.retry = false;
  SlotWatch& w = slot.watch;
  w.what = what;
  w.lastUnit = slot.lastUnit;
  w.unitUp = what == WatchFor::Removal && slot.lastPassed;
  w.bootStarts = job_.steps.jobFlags != 0;
  w.answered = false;
  w.answer = MacAddress{};
  w.end.store(WatchEnd::Watching);
  slot.watcher = factory_.StartWatcher(job_, portNumbers_[static_cast<size_t>(portIndex)],
                                       portIndex, w);
  return true;
}

void StartThread::ReapWatcher(int portIndex) {
  std::unique_ptr<Thread> ended;
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    ended = std::move(slots_[static_cast<size_t>(portIndex)].watcher);
  }
  if (ended) ended->Join();
}

void StartThread::ReapWorkers(int portIndex) {
  std::unique_ptr<Thread> ended[3];
  {
    std::lock_guard<std::mutex> lock(workersMutex_);
    PortWorkers& w = workers_[static_cast<size_t>(portIndex)];
    ended[0] = std::move(w.download);
    ended[1] = std::move(w.test);
    ended[2] = std::move(w.program);
  }
  for (auto& t : ended) {
    if (t) t->Join();
  }
}

bool StartThread::StepSlot(int portIndex) {
  SlotTable& table = *station_.slotTable;
  Slot& slot = slots_[static_cast<size_t>(portIndex)];
  if (table.Phase(portIndex) == SlotPhase::Unit) return NextStep(portIndex);

  if (slot.retry) {
    if (TickDiff(station_.clock->TickMs(), slot.retryAt) >= 0x80000000u) return true;
    return StartWatch(portIndex, slot.watch.what);
  }
  if (!slot.watcher) return true;  // a factory without watchers
  const WatchEnd end = slot.watch.end.load();
  if (end == WatchEnd::Watching) return true;
  ReapWatcher(portIndex);
  const WatchFor what = slot.watch.what;
  switch (end) {
    case WatchEnd::UnitAtBoot:
      return BeginCycle(portIndex, UnitFound::AtBoot);
    case WatchEnd::UnitRunning:
      return BeginCycle(portIndex, UnitFound::Running);
    case WatchEnd::UnitInLoader:
      return BeginCycle(portIndex, UnitFound::Unknown);
    case WatchEnd::SameUnit:
      // The last unit is still in its socket: it is not a new one.
      if (slot.lastPassed) ShowSlot(portIndex, "remove unit");
      return StartWatch(portIndex, WatchFor::Removal);
    case WatchEnd::Removed:
      if (slot.watch.answered) slot.lastUnit.push_back(slot.watch.answer);
      if (station_.answered) station_.answered->ReleasePort(portIndex);
      // A passed unit's slot is empty now; a failed unit's failure stays in view until
      // the next unit comes (a silent failed unit cannot be told from an empty socket).
      if (slot.lastPassed || table.Phase(portIndex) == SlotPhase::Empty) {
        table.SetPhase(portIndex, SlotPhase::Empty);
        ShowSlot(portIndex, "insert unit");
      }
      return StartWatch(portIndex, WatchFor::Arrival);
    case WatchEnd::PortMissing:
      if (what == WatchFor::Removal) return StartWatch(portIndex, WatchFor::Arrival);
      slot.retry = true;
      slot.retryAt = station_.clock->TickMs() + kSlotRetryMs;
      return true;
    case WatchEnd::Stopped:
    case WatchEnd::Watching:
      return !StopRequested();
  }
  return true;
}

bool StartThread::BeginCycle(int portIndex, UnitFound found) {
  SlotTable& table = *station_.slotTable;
  Slot& slot = slots_[static_cast<size_t>(portIndex)];
  ReapWorkers(portIndex);
  if (StopRequested()) return false;
  const int cycle = table.Cycle(portIndex) + 1;
  table.SetCycle(portIndex, cycle);
  table.SetFound(portIndex, found);
  station_.stages->Set(portIndex, StageIdle);
  table.SetPhase(portIndex, SlotPhase::Unit);
  slot.admitted = false;
  gateText_[static_cast<size_t>(portIndex)].clear();
  slot.lastUnit.clear();
  // Only a unit found by its answer is known by it: behind a boot line the watch's
  // answer, if any, was the unit before.
  if (found == UnitFound::Running && slot.watch.answered) {
    slot.lastUnit.push_back(slot.watch.answer);
  }
  if (station_.answered) station_.answered->ReleasePort(portIndex);
  if (station_.records) station_.records->UnitStarted(portIndex, cycle);
  if (logFlag_) {
    char text[64];
    std::snprintf(text, sizeof text, "COM%d unit %d\r\n",
                  portNumbers_[static_cast<size_t>(portIndex)], cycle);
    WriteLog(text);
  }
  return NextStep(portIndex);
}

bool StartThread::NextStep(int portIndex) {
  // After a Stop a unit's cycle ends with no verdict of the station's: a worker asked to
  // stop ends failed, and its records say stopped.
  if (StopRequested()) return false;
  const JobState& job = job_.steps;
  StageTable& stages = *station_.stages;
  Slot& slot = slots_[static_cast<size_t>(portIndex)];
  if (!slot.admitted) {
    switch (AdmitUnit(portIndex, station_.slotTable->Cycle(portIndex))) {
      case GateAnswer::Wait:
        return true;
      case GateAnswer::Refuse:
        break;  // the port is failed: its cycle ends below
      case GateAnswer::Go:
        slot.admitted = true;
        if (job.jobFlags != 0) return StartStep(portIndex, WorkerKind::Download, StageDownloading);
        break;
    }
  }
  const Stage stage = stages.Get(portIndex);
  if (PortFinished(job, stage)) {
    EndCycle(portIndex);
    return true;
  }
  const Stage beforeTest = job.jobFlags != 0 ? StageDownloaded : StageIdle;
  const Stage beforeMac = job.loopbackTest == 1 ? StageTested : beforeTest;
  if (job.loopbackTest == 1 && stage == beforeTest) {
    if (!job_.sharedTestInterface.empty()) {
      // On a shared interface one test at a time, as in a batch run.
      for (int k = 0; k < portCount_; k++) {
        if (k != portIndex && station_.slotTable->Phase(k) == SlotPhase::Unit &&
            stages.Get(k) == StageTesting) {
          return true;
        }
      }
    }
    return StartStep(portIndex, WorkerKind::LoopbackTest, StageTesting);
  }
  if (job.programMac && stage == beforeMac) {
    return StartStep(portIndex, WorkerKind::ProgramMac, StageProgramming);
  }
  return true;
}

void StartThread::EndCycle(int portIndex) {
  SlotTable& table = *station_.slotTable;
  Slot& slot = slots_[static_cast<size_t>(portIndex)];
  // The last worker shows its last text after its stage: joined first, so the slot's
  // state comes after it.
  ReapWorkers(portIndex);
  const Stage stage = station_.stages->Get(portIndex);
  const bool passed = stage != StageFailed;
  slot.lastPassed = passed;
  (passed ? slot.passed : slot.failed)++;
  table.SetPhase(portIndex, SlotPhase::Done);
  // The unit's record is closed before anything else can happen in its slot.
  if (station_.records) station_.records->PortsChecked();
  const int cycle = table.Cycle(portIndex);
  if (station_.gate && slot.admitted) station_.gate->UnitEnded(portIndex, passed);
  Synchronize([&] { station_.board->UnitEnded(portIndex, cycle, passed); });
  // The unit is known by the temporary address its EEPROM image gave it, too.
  if (job_.steps.jobFlags & kJobEeprom) {
    slot.lastUnit.push_back(
        MacAddress{0x02, 0x5C, 0x3A, 0xFF, 0xFF, static_cast<uint8_t>(255 - portIndex)});
  }
  if (passed) ShowSlot(portIndex, "remove unit");
  StartWatch(portIndex, WatchFor::Removal);
}
