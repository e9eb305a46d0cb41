// The dispatcher with scripted workers: the scan, the transition table of every kind
// of job, failures at each step, Stop at each waiting point, its log file.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/Startthread.h"
#include "core/app/AppTestRig.h"
#include "workers/Workers.h"

namespace {

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() : ports(dir.path()), pool(dir.path(), "storedMAC.txt"), factory(station) {
    clock.SetRealYieldUs(50);
    station.ui = &ui;
    station.board = &board;
    station.clock = &clock;
    station.serial = &bus;
    station.ports = &ports;
    station.job = &job;
    station.stages = &stages;
    station.pool = &pool;
    WorkerScript quick;
    quick.delayMs = 200;
    factory.SetDefault(quick);
  }
  ~DispatcherTest() override { dispatcher.reset(); }

  void AddPorts(std::initializer_list<int> numbers) {
    for (int n : numbers) bus.Line(FallbackPath(n));
  }
  void LoadPool(const std::string& bytes) {
    dir.Write("storedMAC.txt", bytes);
    ASSERT_EQ(pool.Load(), 0);
  }
  void Start(bool logFlag = false) {
    dispatcher = std::make_unique<StartThread>(station, Run(), factory, logFlag);
    dispatcher->Start();
  }
  // The run job of job as a Start takes it now; kept while the fixture lives.
  const RunJob& Run() {
    runs.emplace_back();
    runs.back().steps = job;
    return runs.back();
  }
  bool WaitEnded() {
    return WaitFor([&] { return board.EndedCount() > 0; }) &&
           WaitFor([&] { return dispatcher->Finished(); });
  }
  // What the UI thread does on a confirmed Stop.
  void Stop() {
    ui.RunSync([&] {
      dispatcher->StopWorkers();
      dispatcher->Terminate();
    });
  }
  int CountEvent(const std::string& event) const {
    const auto events = board.Events();
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }
  std::vector<int32_t> Stages(int count) const {
    std::vector<int32_t> out;
    for (int k = 0; k < count; k++) out.push_back(static_cast<int32_t>(stages.Get(k)));
    return out;
  }
  // Kinds created for place k, in order.
  std::vector<WorkerKind> KindsAt(int k) const {
    std::vector<WorkerKind> out;
    for (auto& c : factory.CreatedList()) {
      if (c.portIndex == k) out.push_back(c.kind);
    }
    return out;
  }

  TempDir dir;
  InlineUiThread ui;
  RecordingBoard board;
  FakeClock clock;
  FakeSerialBus bus;
  PortMap ports;
  JobState job;
  StageTable stages;
  FileMacPool pool;
  Station station;
  ScriptedWorkerFactory factory;
  std::deque<RunJob> runs;
  std::unique_ptr<StartThread> dispatcher;
};

using K = WorkerKind;

TEST_F(DispatcherTest, DownloadOnlyUsesPortsInScanOrderAndTheirCells) {
  AddPorts({1, 3, 4});
  job.jobFlags = kJobEeprom | kJobFirmware;
  Start();
  ASSERT_TRUE(WaitEnded());

  EXPECT_EQ(dispatcher->PortNumbers(), (std::vector<int>{1, 3, 4}));
  const auto created = factory.CreatedList();
  ASSERT_EQ(created.size(), 3u);
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(created[k].kind, K::Download);
    EXPECT_EQ(created[k].portIndex, k);
    EXPECT_EQ(created[k].portNumber, (std::vector<int>{1, 3, 4})[k]);
    EXPECT_EQ(created[k].stageAtCreation, StageDownloading) << "running value written first";
    EXPECT_FALSE(created[k].logFlag);
  }
  EXPECT_EQ(Stages(3), (std::vector<int32_t>{2, 2, 2}));
  EXPECT_EQ(board.StatusCell(0, 0), "COM1: download ended 2");
  EXPECT_EQ(board.StatusCell(0, 1), "COM3: download ended 2");
  EXPECT_EQ(board.StatusCell(1, 0), "COM4: download ended 2");
  EXPECT_EQ(board.StatusCell(1, 1), "");
  EXPECT_EQ(board.MacCell(1, 0), "3 COM Port detected\r\n");
  EXPECT_EQ(CountEvent("mac 1 0 COM Port detect...\r\n"), 1);
  EXPECT_FALSE(dispatcher->Running());
  EXPECT_FALSE(board.StartRunning());
  EXPECT_EQ(board.EndedCount(), 1);
  // Every probe was closed again.
  for (int n : {1, 3, 4}) EXPECT_FALSE(bus.Line(FallbackPath(n))->IsHeld());
}

TEST_F(DispatcherTest, TestOnlyStartsEveryPortInTheFirstPass) {
  AddPorts({2, 5});
  job.loopbackTest = 1;
  Start();
  ASSERT_TRUE(WaitEnded());
  const auto created = factory.CreatedList();
  ASSERT_EQ(created.size(), 2u);
  for (auto& c : created) {
    EXPECT_EQ(c.kind, K::LoopbackTest);
    EXPECT_EQ(c.stageAtCreation, StageTesting);
  }
  EXPECT_EQ(Stages(2), (std::vector<int32_t>{4, 4}));
}

TEST_F(DispatcherTest, MacOnlyProgramsEachPortOnceAfterThePoolHasAnAddress) {
  AddPorts({1, 2});
  LoadPool(kOneAddressPool);
  job.programMac = true;
  Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(factory.Count(K::ProgramMac), 2);
  EXPECT_EQ(factory.Total(), 2);
  for (auto& c : factory.CreatedList()) EXPECT_EQ(c.stageAtCreation, StageProgramming);
  EXPECT_EQ(Stages(2), (std::vector<int32_t>{6, 6}));
}

TEST_F(DispatcherTest, AllThreeStepsRunInOrderPerPort) {
  AddPorts({1, 2, 3});
  LoadPool(kOneAddressPool);
  job.jobFlags = kJobEeprom;
  job.loopbackTest = 1;
  job.programMac = true;
  // Ports finish their steps at different times.
  factory.Script(K::Download, 1, WorkerScript{StageIdle, 3000});
  factory.Script(K::LoopbackTest, 2, WorkerScript{StageIdle, 5000});
  Start(false);
  ASSERT_TRUE(WaitEnded());
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(KindsAt(k), (std::vector<K>{K::Download, K::LoopbackTest, K::ProgramMac}))
        << "place " << k;
  }
  EXPECT_EQ(Stages(3), (std::vector<int32_t>{6, 6, 6}));
}

TEST_F(DispatcherTest, JobWithoutStepsEndsAfterTheFirstPass) {
  AddPorts({7});
  Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(factory.Total(), 0);
  EXPECT_EQ(stages.Get(0), StageIdle);
  EXPECT_EQ(clock.SleptMs(), 500u) << "one supervising pass, nothing else waited";
  EXPECT_EQ(board.MacCell(1, 0), "1 COM Port detected\r\n");
}

struct FailCase {
  const char* name;
  K failing;
  std::vector<K> expectedAtPort1;
};

class DispatcherFailureTest : public DispatcherTest,
                              public ::testing::WithParamInterface<FailCase> {};

TEST_P(DispatcherFailureTest, AFailedStepEndsOnlyItsPort) {
  AddPorts({1, 2, 3});
  LoadPool(kOneAddressPool);
  job.jobFlags = kJobFirmware;
  job.loopbackTest = 1;
  job.programMac = true;
  factory.Script(GetParam().failing, 1, WorkerScript{StageFailed, 300});
  Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(KindsAt(1), GetParam().expectedAtPort1);
  EXPECT_EQ(Stages(3), (std::vector<int32_t>{6, -1, 6}));
  for (int k : {0, 2}) {
    EXPECT_EQ(KindsAt(k), (std::vector<K>{K::Download, K::LoopbackTest, K::ProgramMac}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, DispatcherFailureTest,
    ::testing::Values(FailCase{"download", K::Download, {K::Download}},
                      FailCase{"test", K::LoopbackTest, {K::Download, K::LoopbackTest}},
                      FailCase{
                          "mac", K::ProgramMac, {K::Download, K::LoopbackTest, K::ProgramMac}}),
    [](const ::testing::TestParamInfo<FailCase>& param) { return std::string(param.param.name); });

TEST_F(DispatcherTest, DownloadThenMacWithoutTestAndDownloadFailureSkipsMac) {
  AddPorts({1, 2});
  LoadPool(kOneAddressPool);
  job.jobFlags = kJobEeprom;
  job.programMac = true;
  factory.Script(K::Download, 0, WorkerScript{StageFailed, 100});
  Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(KindsAt(0), (std::vector<K>{K::Download}));
  EXPECT_EQ(KindsAt(1), (std::vector<K>{K::Download, K::ProgramMac}));
  EXPECT_EQ(Stages(2), (std::vector<int32_t>{-1, 6}));
}

TEST_F(DispatcherTest, StopDuringThePoolWaitScansNothing) {
  AddPorts({1});
  job.programMac = true;  // the pool is not loaded: no address
  Start();
  ASSERT_TRUE(WaitFor([&] { return clock.SleptMs() >= 4000; }));
  EXPECT_EQ(clock.SleptMs() % 2000, 0u) << "waits in steps of 2000 ms";
  Stop();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(CountEvent("mac 1 0 COM Port detect...\r\n"), 0);
  EXPECT_EQ(factory.Total(), 0);
  EXPECT_EQ(bus.Line(FallbackPath(1))->openCount(), 0);
}

// A pool that hangs (a frozen database server) holds up only the dispatcher's wait
// for it: the UI thread stays free meanwhile, and a Stop still ends the run.
TEST_F(DispatcherTest, HangingPoolHoldsUpNeitherTheUiThreadNorStop) {
  struct HangingPool final : FileMacPool {
    using FileMacPool::FileMacPool;
    bool IsAvailable() const override {
      std::unique_lock<std::mutex> lock(m);
      entered = true;
      cv.notify_all();
      cv.wait(lock, [&] { return released; });
      return false;
    }
    mutable std::mutex m;
    mutable std::condition_variable cv;
    mutable bool entered = false;
    bool released = false;
  } hanging(dir.path(), "storedMAC.txt");
  station.pool = &hanging;
  AddPorts({1});
  job.programMac = true;
  Start();
  {
    std::unique_lock<std::mutex> lock(hanging.m);
    ASSERT_TRUE(
        hanging.cv.wait_for(lock, std::chrono::seconds(10), [&] { return hanging.entered; }));
  }
  auto stop = std::async(std::launch::async, [&] { Stop(); });
  EXPECT_EQ(stop.wait_for(std::chrono::seconds(2)), std::future_status::ready)
      << "the UI thread waits for the pool";
  {
    std::lock_guard<std::mutex> lock(hanging.m);
    hanging.released = true;
    hanging.cv.notify_all();
  }
  stop.wait();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(factory.Total(), 0);
  dispatcher.reset();
  station.pool = &pool;
}

TEST_F(DispatcherTest, AssignedMacDoesNotWaitForAUsedUpPool) {
  AddPorts({1});
  LoadPool("02:5C:3A:04:22:D2\r\n02:5C:3A:04:22:D1\r\n");  // every address handed out
  ASSERT_FALSE(pool.IsAvailable());
  job.programMac = true;
  job.assignMac = true;
  job.assignedMacText = "02:5C:3A:04:22:D1";
  Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(KindsAt(0), (std::vector<K>{K::ProgramMac}));
  EXPECT_EQ(stages.Get(0), StageProgrammed);
}

TEST_F(DispatcherTest, StopDuringTheScanWaitStartsNoWorker) {
  job.jobFlags = kJobEeprom;
  job.loopbackTest = 1;
  Start();
  ASSERT_TRUE(WaitFor([&] { return CountEvent("mac 1 0 0 COM Port detected\r\n") >= 2; }));
  EXPECT_GE(clock.SleptMs(), 3000u);
  Stop();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(factory.Total(), 0);
  EXPECT_EQ(dispatcher->PortNumbers().size(), 0u);
  EXPECT_EQ(board.EndedCount(), 1);
}

TEST_F(DispatcherTest, StopWhileSupervisingStopsRunningWorkersAndStartsNoNewOnes) {
  AddPorts({1, 2, 3});
  job.jobFlags = kJobEeprom;
  job.loopbackTest = 1;
  WorkerScript forever;
  forever.untilStopped = true;
  factory.Script(K::Download, 0, forever);
  factory.Script(K::Download, 1, forever);
  factory.Script(K::Download, 2, WorkerScript{StageIdle, 10});  // finishes at once
  Start();
  ASSERT_TRUE(WaitFor([&] { return stages.Get(2) == StageTested; }));
  // Some supervising passes go by with the other download workers still running.
  const uint64_t at = clock.SleptMs();
  ASSERT_TRUE(WaitFor([&] { return clock.SleptMs() > at + 2000; }));
  Stop();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(Stages(3), (std::vector<int32_t>{-1, -1, 4}));
  EXPECT_EQ(factory.Count(K::LoopbackTest), 1);
  EXPECT_EQ(factory.Count(K::Download), 3);
}

TEST_F(DispatcherTest, StopDuringASupervisingWaitStartsNoWorkerInThatPass) {
  AddPorts({1});
  job.loopbackTest = 1;  // the first pass would start the test at once
  std::atomic<bool> stopped{false};
  // Runs on the dispatcher's thread inside its first 500 ms wait (nothing else sleeps).
  clock.AddListener([&](uint32_t) {
    if (!stopped.load() && board.MacCell(1, 0) == "1 COM Port detected\r\n") {
      stopped.store(true);
      dispatcher->StopWorkers();
      dispatcher->Terminate();
    }
  });
  Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(factory.Total(), 0);
  EXPECT_EQ(stages.Get(0), StageIdle);
}

// Calls a hook before it makes each worker (on the dispatcher's thread).
class HookedFactory final : public WorkerFactory {
 public:
  HookedFactory(WorkerFactory& inner, std::function<void()> hook)
      : inner_(inner), hook_(std::move(hook)) {}
  std::unique_ptr<Thread> StartWorker(const RunJob& job, WorkerKind kind, int portNumber,
                                      int portIndex, bool logFlag) override {
    calls++;
    hook_();
    return inner_.StartWorker(job, kind, portNumber, portIndex, logFlag);
  }
  std::atomic<int> calls{0};

 private:
  WorkerFactory& inner_;
  std::function<void()> hook_;
};

// The operator confirms Stop while the dispatcher is inside a supervising pass, making
// the first MAC worker of the pass: that worker is stopped before it takes an address,
// no other worker starts, and the pool file stays as it was.
TEST_F(DispatcherTest, StopInTheMiddleOfAPassTakesNoAddress) {
  AddPorts({1, 2});
  LoadPool(kOneAddressPool);
  const std::string poolBefore = dir.Read("storedMAC.txt");
  job.programMac = true;
  StationWorkerFactory real(station);
  std::thread operatorThread;
  HookedFactory hooked(real, [&] {
    if (operatorThread.joinable()) return;
    operatorThread = std::thread([&] { Stop(); });
    ASSERT_TRUE(WaitFor([&] { return dispatcher->StopRequested(); }));
  });
  dispatcher = std::make_unique<StartThread>(station, Run(), hooked, false);
  dispatcher->Start();
  ASSERT_TRUE(WaitEnded());
  operatorThread.join();
  EXPECT_EQ(hooked.calls.load(), 1);
  EXPECT_EQ(Stages(2), (std::vector<int32_t>{-1, 0}));
  EXPECT_EQ(board.PortStatus(0), "COM1: program MAC failed: -1");
  EXPECT_EQ(dir.Read("storedMAC.txt"), poolBefore);
  EXPECT_TRUE(pool.IsAvailable());
  EXPECT_EQ(board.MacCell(0, 0), "");
}

TEST_F(DispatcherTest, OnlyTheSixteenLowestFreePortsAreUsed) {
  for (int n = 1; n <= 20; n++) bus.Line(FallbackPath(n));
  bus.Line(FallbackPath(5))->present = false;  // unplugged
  FakeSerialPort other(bus);                   // COM2 held by another program
  ASSERT_EQ(other.Open(FallbackPath(2)), 0);
  job.jobFlags = kJobEeprom;
  Start();
  ASSERT_TRUE(WaitEnded());
  std::vector<int> expected = {1, 3, 4};
  for (int n = 6; n <= 18; n++) expected.push_back(n);
  EXPECT_EQ(dispatcher->PortNumbers(), expected);
  EXPECT_EQ(board.MacCell(1, 0), "16 COM Port detected\r\n");
  EXPECT_EQ(bus.Line(FallbackPath(19))->openCount(), 0) << "probing stops at 16 ports";
  EXPECT_TRUE(bus.Line(FallbackPath(2))->IsHeld());
  const auto created = factory.CreatedList();
  ASSERT_EQ(created.size(), 16u);
  for (int k = 0; k < 16; k++) {
    EXPECT_EQ(created[k].portIndex, k);
    EXPECT_EQ(created[k].portNumber, expected[k]);
  }
}

TEST_F(DispatcherTest, LogFileRecordsTheRunAndTheFlagReachesTheWorkers) {
  AddPorts({1, 3});
  job.jobFlags = kJobEeprom;
  job.logEnabled = true;
  job.logDirectory = dir.path();
  dir.Write("startThread.txt", "an old log that is much longer than the new one\r\n");
  Start(true);
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(dir.Read("startThread.txt"),
            "COM Port detect...\r\n2 COM Port detected\r\nnew COM1 Thread\r\nnew COM3 "
            "Thread\r\nStartThread end\r\n");
  for (auto& c : factory.CreatedList()) EXPECT_TRUE(c.logFlag);
}

TEST_F(DispatcherTest, LogFileThatCannotBeCreatedEndsWithoutEndSteps) {
  struct Case {
    std::string directory;
    int error;
  };
  std::vector<Case> cases = {{dir.File("missing"), kErrNoPath},
                             {std::string(250, 'd'), ENAMETOOLONG}};
#ifndef _WIN32
  // A link planted in the log's place is not followed into the file it names.
  mkdir(dir.File("linked").c_str(), 0755);
  dir.Write("victim", "keep me");
  ASSERT_EQ(symlink("../victim", dir.File("linked/startThread.txt").c_str()), 0);
  cases.push_back({dir.File("linked"), ELOOP});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    AddPorts({1});
    job.jobFlags = kJobEeprom;
    job.logDirectory = c.directory;
    RecordingBoard fresh;
    station.board = &fresh;
    Start(true);
    ASSERT_TRUE(WaitFor([&] { return dispatcher->Finished(); }));
    EXPECT_EQ(fresh.MacCell(1, 0),
              "startThread: create log file failed: " + std::to_string(c.error));
    EXPECT_FALSE(dispatcher->Running());
    EXPECT_EQ(factory.Total(), 0);
    const auto events = fresh.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "mac 1 0 COM Port detect...\r\n"), 0);
    EXPECT_EQ(fresh.EndedCount(), 1);
    dispatcher.reset();
    station.board = &board;
  }
#ifndef _WIN32
  EXPECT_EQ(dir.Read("victim"), "keep me");
#endif
}

// Throws when asked for the worker of one place, else creates a scripted one.
class ThrowingFactory final : public WorkerFactory {
 public:
  ThrowingFactory(WorkerFactory& inner, int throwAt, bool returnNull, bool foreign = false)
      : inner_(inner), throwAt_(throwAt), returnNull_(returnNull), foreign_(foreign) {}
  std::unique_ptr<Thread> StartWorker(const RunJob& job, WorkerKind kind, int portNumber,
                                      int portIndex, bool logFlag) override {
    if (portIndex == throwAt_) {
      if (returnNull_) return nullptr;
      if (foreign_) throw 7;
      throw std::runtime_error("no worker for you");
    }
    return inner_.StartWorker(job, kind, portNumber, portIndex, logFlag);
  }

 private:
  WorkerFactory& inner_;
  int throwAt_;
  bool returnNull_;
  bool foreign_;
};

TEST_F(DispatcherTest, FaultInTheRunIsShownAndTheEndStepsStopTheWorkers) {
  AddPorts({1, 2});
  job.jobFlags = kJobEeprom;
  job.logEnabled = true;
  job.logDirectory = dir.path();
  WorkerScript forever;
  forever.untilStopped = true;
  factory.Script(K::Download, 0, forever);
  ThrowingFactory throwing(factory, 1, false);
  dispatcher = std::make_unique<StartThread>(station, Run(), throwing, true);
  dispatcher->Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(board.Exceptions(), (std::vector<std::string>{"no worker for you"}));
  EXPECT_EQ(stages.Get(0), StageFailed) << "the running worker was stopped";
  const std::string log = dir.Read("startThread.txt");
  EXPECT_NE(log.find("new COM1 Thread\r\nStartThread exception\r\nStartThread end\r\n"),
            std::string::npos)
      << log;
}

TEST_F(DispatcherTest, FaultOfAnotherTypeIsShownAndTheRunEnds) {
  AddPorts({1, 2});
  job.jobFlags = kJobEeprom;
  ThrowingFactory throwing(factory, 1, false, true);
  dispatcher = std::make_unique<StartThread>(station, Run(), throwing, false);
  dispatcher->Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(board.Exceptions(), (std::vector<std::string>{"unknown exception"}));
  EXPECT_FALSE(board.StartRunning());

  // The thread base is the last net for a body that does not catch it itself.
  struct Thrower final : Thread {
    using Thread::Thread;
    void Execute() override { throw 7; }
  } thrower(ui);
  thrower.Start();
  thrower.Join();
  EXPECT_TRUE(thrower.Finished());
}

TEST_F(DispatcherTest, PortWithoutAWorkerFailsInsteadOfHangingTheRun) {
  AddPorts({1, 2});
  job.loopbackTest = 1;
  ThrowingFactory nulls(factory, 0, true);
  dispatcher = std::make_unique<StartThread>(station, Run(), nulls, false);
  dispatcher->Start();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(Stages(2), (std::vector<int32_t>{-1, 4}));
}

}  // namespace

// A gate that answers from a script: port 0 waits three passes for its serial, port 1
// is refused, port 2 may start at once.
class ScriptedGate final : public UnitGate {
 public:
  void RunStarted(const std::vector<int>& numbers) override { ports = numbers; }
  GateAnswer Admit(int k, int cycle, std::string* text) override {
    std::lock_guard<std::mutex> lock(m);
    asked.push_back(k);
    EXPECT_EQ(cycle, 0);
    if (k == 1) {
      *text = "COM2: SN2: check-in rejected: not released";
      return GateAnswer::Refuse;
    }
    if (k == 0 && ++waits0 <= 3) {
      *text = "COM1: scan unit serial";
      return GateAnswer::Wait;
    }
    return GateAnswer::Go;
  }
  void UnitEnded(int k, bool passed) override {
    std::lock_guard<std::mutex> lock(m);
    ended.push_back({k, passed});
  }
  void RunEnded() override { runEnded++; }
  std::mutex m;
  std::vector<int> ports, asked;
  std::vector<std::pair<int, bool>> ended;
  int waits0 = 0;
  int runEnded = 0;
};

TEST_F(DispatcherTest, TheUnitGateHoldsBackWaitingUnitsAndARefusedUnitTakesNoStep) {
  AddPorts({1, 2, 3});
  LoadPool(kOneAddressPool);
  job.jobFlags = kJobFirmware;
  job.programMac = true;
  ScriptedGate gate;
  station.gate = &gate;
  Start();
  ASSERT_TRUE(WaitEnded());
  station.gate = nullptr;
  EXPECT_EQ(gate.ports, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(KindsAt(1).empty()) << "a refused unit gets no image and no address";
  EXPECT_EQ(KindsAt(0), (std::vector<K>{K::Download, K::ProgramMac}));
  EXPECT_EQ(KindsAt(2), (std::vector<K>{K::Download, K::ProgramMac}));
  EXPECT_EQ(Stages(3), (std::vector<int32_t>{6, -1, 6}));
  EXPECT_EQ(std::count(gate.asked.begin(), gate.asked.end(), 1), 1) << "refused once, not asked again";
  EXPECT_EQ(std::count(gate.asked.begin(), gate.asked.end(), 0), 4);
  std::sort(gate.ended.begin(), gate.ended.end());
  EXPECT_EQ(gate.ended, (std::vector<std::pair<int, bool>>{{0, true}, {2, true}}));
  EXPECT_EQ(gate.runEnded, 1);
  EXPECT_EQ(board.PortStatus(1), "COM2: SN2: check-in rejected: not released");
  const auto history = board.PortStatusHistory(0);
  EXPECT_EQ(std::count(history.begin(), history.end(), "COM1: scan unit serial"), 1)
      << "shown once, not on every pass";
}
