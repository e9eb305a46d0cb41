// The MAC programming worker against scripted devices, the real MAC pool and the
// recording board.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "job/Logmac.h"
#include "test_factorytest_rig.h"
#include "test_prgmac_device.h"
#include "workers/Prgmacthread.h"
#include "workers/Workers.h"

namespace {

using Strings = std::vector<std::string>;

// The pool's one permitted address in this build.
const char* const kPoolAddress = "02:5C:3A:04:22:D1";

using Outcomes = std::vector<MacOutcome>;

// The real file pool, noting every outcome settled; its takes can be held up, as by a
// store that hangs.
class SpyPool final : public FileMacPool {
 public:
  using FileMacPool::FileMacPool;
  int Settle(const MacAddress& address, MacOutcome outcome) override {
    (void)address;
    std::lock_guard<std::mutex> lock(m_);
    outcomes_.push_back(outcome);
    return 0;
  }
  int TakeNextFor(const std::string& port, const std::string& run, MacAddress* address) override {
    {
      std::unique_lock<std::mutex> lock(m_);
      ++takes_;
      cv_.notify_all();
      cv_.wait(lock, [&] { return !hold_; });
    }
    return FileMacPool::TakeNextFor(port, run, address);
  }
  void Hold(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    hold_ = on;
    cv_.notify_all();
  }
  bool WaitTakes(int n) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return takes_ >= n; });
  }
  int Takes() const {
    std::lock_guard<std::mutex> lock(m_);
    return takes_;
  }
  Outcomes Settled() const {
    std::lock_guard<std::mutex> lock(m_);
    return outcomes_;
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool hold_ = false;
  int takes_ = 0;
  Outcomes outcomes_;
};

class PrgMac : public ::testing::Test {
 protected:
  PrgMac() : pool(rig.dataDir, "storedMAC.txt") { rig.station.pool = &pool; }

  void LoadPool(const std::string& next, const std::string& last) {
    WritePoolFile(pool.FilePath(), next, last);
    ASSERT_EQ(pool.Load(), 0);
  }

  // Runs one worker on COM<portNumber> at place portIndex to its end.
  void Run(int portNumber = 3, int portIndex = 0) {
    rig.serial.Watch(portIndex);
    rig.stages.Set(portIndex, StageProgramming);
    worker = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, portNumber, portIndex);
    worker->Start();
    worker->Join();
  }

  Strings HostWrites(int portNumber = 3) { return rig.Line(portNumber)->HostWriteLog(); }

  WorkerRig rig;
  SpyPool pool;
  std::unique_ptr<prgMACThread> worker;
};

TEST_F(PrgMac, PoolAddressIsProgrammedAndTheDeviceConfirmsAfterReboot) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice device(rig.clock, rig.Line(3));
  Run();

  EXPECT_EQ(rig.stages.Get(0), StageProgrammed);
  EXPECT_EQ(HostWrites(), (Strings{"$SYCXXMAC02:5c:3a:04:22:d1\r\n", "$SER\r\n", "$GLM\r\n"}));
  EXPECT_EQ(
      rig.board.PortStatusHistory(0),
      (Strings{"COM3: program MAC", "COM3: init finished", "COM3: reboot device",
               "COM3: fw = 1.0.3\r", "COM3: verison 2.12\r", "COM3: %GLM 02:5C:3A:04:22:D1\r OK"}));
  // The last address of the pool was taken.
  EXPECT_EQ(rig.board.MacCell(0, 0), "MAC used up");
  EXPECT_TRUE(rig.board.Messages().empty());
  // The pool file was advanced before the address went out.
  EXPECT_EQ(ReadFileBytes(pool.FilePath()).substr(0, 18), std::string("02:5C:3A:04:22:D2\0", 18));
  EXPECT_FALSE(pool.IsAvailable());
  // Closed before the stage is written, as by every worker.
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageProgramming}));
  EXPECT_FALSE(rig.Line(3)->IsHeld());
  EXPECT_FALSE(worker->Running());
  EXPECT_TRUE(worker->glmSent());
  EXPECT_EQ(worker->recvStatus(), prgMACThread::RecvGlmReply);
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Programmed});
}

// The device's start-up lines arriving in one read are each classified: the "verison"
// after the "fw =" line is answered.
TEST_F(PrgMac, StartUpLinesInOneReadAreAllSeen) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.bootLines = {{100, "fw = 1.0.3\r\nverison 2.12\r\n"}};
  MacDevice device(rig.clock, rig.Line(3), script);
  Run();
  EXPECT_EQ(rig.stages.Get(0), StageProgrammed);
  EXPECT_EQ(HostWrites(), (Strings{"$SYCXXMAC02:5c:3a:04:22:d1\r\n", "$SER\r\n", "$GLM\r\n"}));
}

// A device whose programming did not take reports another address (its temporary one,
// or none): the port fails with its own code, the log names what the device reported,
// and the address, which the device accepted, is never handed out again.
TEST_F(PrgMac, DeviceReportingAnotherAddressFails) {
  const std::pair<const char*, const char*> cases[] = {
      {"%GLM 02:5C:3A:FF:FF:FF\r\n", "02:5C:3A:FF:FF:FF"},
      {"%GLM 02:5C:3A:04:22:D1x\r\n", "02:5C:3A:04:22:D1x"},
      {"%GLM\r\n", "no address"},
  };
  int portIndex = 0;
  for (const auto& [line, reported] : cases) {
    SCOPED_TRACE(line);
    LoadPool(kPoolAddress, kPoolAddress);
    const int port = 3 + portIndex;
    const std::string name = "COM" + std::to_string(port);
    MacDevice::Script script;
    script.glmLines = {{50, line}};
    MacDevice device(rig.clock, rig.Line(port), script);
    rig.board.ClearMessages();
    Run(port, portIndex);
    const std::string glm(line, std::strlen(line) - 1);
    const Strings history = rig.board.PortStatusHistory(portIndex);
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history[history.size() - 2], name + ": " + glm) << "no OK for another address";
    EXPECT_EQ(history.back(), name + ": program MAC failed: -6");
    EXPECT_EQ(rig.stages.Get(portIndex), StageFailed);
    EXPECT_EQ(rig.board.Messages(),
              (Strings{std::string("program mac: the device reports ") + reported +
                       ", not the address written 02:5C:3A:04:22:D1\r\n"}));
    ++portIndex;
  }
  EXPECT_EQ(pool.Settled(), Outcomes(3, MacOutcome::Unverified));
}

TEST_F(PrgMac, AssignedAddressIsSentAsTypedAndThePoolIsNotTouched) {
  LoadPool(kPoolAddress, kPoolAddress);
  rig.job.assignMac = true;
  rig.job.assignedMacText = "02:5C:3A:04:21:0F";
  MacDevice::Script script;
  script.glmLines = {{50, "%GLM 02:5c:3a:04:21:0f\r\n"}};  // compared without case
  MacDevice device(rig.clock, rig.Line(3), script);
  Run();
  EXPECT_EQ(rig.stages.Get(0), StageProgrammed);
  EXPECT_TRUE(pool.Settled().empty()) << "an assigned address is not the pool's";
  EXPECT_EQ(device.Commands(), (Strings{"$SYCXXMAC02:5C:3A:04:21:0F\r\n"}));
  EXPECT_EQ(rig.board.MacCell(0, 0), "assigned MAC: 02:5C:3A:04:21:0F");
  EXPECT_TRUE(pool.IsAvailable());
}

TEST_F(PrgMac, EmptyPoolFailsWithoutTalkingToTheDevice) {
  LoadPool("02:5C:3A:04:22:D2", kPoolAddress);  // used up
  MacDevice device(rig.clock, rig.Line(3));
  Run();
  EXPECT_EQ(rig.board.MacCell(0, 0), "MAC not available: -1");
  EXPECT_EQ(rig.board.PortStatusHistory(0),
            (Strings{"COM3: program MAC", "COM3: init finished", "COM3: get MAC failed",
                     "COM3: program MAC failed: -1"}));
  EXPECT_EQ(rig.board.Messages(), (Strings{"get MAC failed\r\n"}));
  EXPECT_TRUE(HostWrites().empty());
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageProgramming}));
}

// A pool file whose writes or syncs fail.
class FaultyFile : public LockedFile {
 public:
  int writeError = 0;
  int syncError = 0;
  int WriteAt(uint64_t offset, const void* data, size_t len) override {
    return writeError != 0 ? writeError : LockedFile::WriteAt(offset, data, len);
  }
  int Sync() override { return syncError != 0 ? syncError : LockedFile::Sync(); }
};

// The pool's write-back failing (a write or a sync error) or its file replaced since it
// was loaded: no address reaches the device and the port fails as with any pool
// failure; a replaced file is also explained in the message log.
TEST_F(PrgMac, PoolFailuresFailThePortWithoutAnAddress) {
  struct Case {
    int writeError, syncError;
    bool replace;
    int result;
  };
  const Case cases[] = {
      {ENOSPC, 0, false, ENOSPC}, {0, EIO, false, EIO}, {0, 0, true, FileMacPool::kReplaced}};
  const std::string path = rig.dataDir + "/storedMAC.txt";
  int portIndex = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    auto file = std::make_unique<FaultyFile>();
    file->writeError = c.writeError;
    file->syncError = c.syncError;
    FileMacPool failing(rig.dataDir, "storedMAC.txt", std::move(file));
    failing.SetMessageSink([&](const std::string& m) { rig.board.AppendMessage(m); });
    WritePoolFile(path, kPoolAddress, kPoolAddress);
    ASSERT_EQ(failing.Load(), 0);
    if (c.replace) {
#ifdef _WIN32
      continue;  // Windows does not let a held file be replaced
#endif
      WritePoolFile(path + ".new", kPoolAddress, kPoolAddress);
      ASSERT_EQ(RenameOver(path + ".new", path), 0);
    }
    rig.station.pool = &failing;
    const int port = 3 + portIndex;
    const std::string name = "COM" + std::to_string(port);
    MacDevice device(rig.clock, rig.Line(port));
    Run(port, portIndex);
    EXPECT_EQ(rig.board.MacCell(0, 0), "MAC not available: " + std::to_string(c.result));
    EXPECT_EQ(rig.board.PortStatusHistory(portIndex),
              (Strings{name + ": program MAC", name + ": init finished", name + ": get MAC failed",
                       name + ": program MAC failed: -1"}));
    EXPECT_TRUE(HostWrites(port).empty());
    EXPECT_EQ(rig.stages.Get(portIndex), StageFailed);
    rig.station.pool = &pool;
    ++portIndex;
  }
#ifndef _WIN32
  EXPECT_EQ(rig.board.Messages(),
            (Strings{"get MAC failed\r\n", "get MAC failed\r\n",
                     "storedMAC.txt was replaced while in use: no address was taken. Set up the "
                     "job again with Select Files.",
                     "get MAC failed\r\n"}));
#endif
}

// A failed query read: the command and its result go to the message log; no reboot.
// (Missing key and "FAIL" answers are covered against the simulator.)
TEST_F(PrgMac, QueryReadFailure) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice device(rig.clock, rig.Line(3));
  rig.Line(3)->failRead = EIO;
  Run();
  EXPECT_EQ(rig.board.Messages(),
            (Strings{"$SYCXXMAC02:5c:3a:04:22:d1\r\n", "cmd_process ret: -2\r\n"}));
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -2");
  EXPECT_EQ(HostWrites(), (Strings{"$SYCXXMAC02:5c:3a:04:22:d1\r\n"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  // The address stays taken; the device never accepted it.
  EXPECT_FALSE(pool.IsAvailable());
  EXPECT_FALSE(worker->Running());
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Failed});
}

TEST_F(PrgMac, AnswerWithoutOkFailsWithMinusFiveAndNoLogLines) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.sycAnswer = "%SYCXXMAC ERR\r\n";
  MacDevice device(rig.clock, rig.Line(3), script);
  Run();
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -5");
  EXPECT_TRUE(rig.board.Messages().empty());
  EXPECT_EQ(HostWrites().size(), 1u);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Failed});
}

TEST_F(PrgMac, OkOnlyAfterTheLineEndDoesNotCount) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.sycAnswer = "%SYCXXMAC done\r\nOK\r\n";
  MacDevice device(rig.clock, rig.Line(3), script);
  Run();
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -5");
}

TEST_F(PrgMac, DeviceSilentAfterRebootFailsAfterFiveSeconds) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.bootLines = {{100, "fw = 1.0.3\r\n"}};  // never says "verison"
  MacDevice device(rig.clock, rig.Line(3), script);
  const uint32_t start = rig.clock.TickMs();
  Run();
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -2");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(HostWrites(), (Strings{"$SYCXXMAC02:5c:3a:04:22:d1\r\n", "$SER\r\n"}));
  // 500 ms query, 1000 ms after the reboot command, then more than 5 s of silence
  // after the last line, and not much more.
  const uint32_t elapsed = rig.clock.TickMs() - start;
  EXPECT_GT(elapsed, 1500u + 5000u);
  EXPECT_LT(elapsed, 1500u + 5000u + 1000u);
  EXPECT_TRUE(rig.board.Messages().empty());
  // The device accepted the address: it may hold it.
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Unverified});
}

TEST_F(PrgMac, SecondVersionLineIsNotAnsweredTwice) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.bootLines = {{100, "verison 2.12\r\n"}};
  // After "$GLM": another version line first, then the answer.
  script.glmLines = {
      {50, "verison 2.12\r\n"}, {400, "MAC don't match\r\n"}, {800, "%GLM 02:5C:3A:04:22:D1\r\n"}};
  MacDevice device(rig.clock, rig.Line(3), script);
  Run();
  EXPECT_EQ(rig.stages.Get(0), StageProgrammed);
  const Strings writes = HostWrites();
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "$GLM\r\n"), 1);
  const Strings history = rig.board.PortStatusHistory(0);
  // The mismatch line is shown and changes nothing.
  EXPECT_NE(std::find(history.begin(), history.end(), "COM3: MAC don't match\r"), history.end());
  EXPECT_EQ(history.back(), "COM3: %GLM 02:5C:3A:04:22:D1\r OK");
}

TEST_F(PrgMac, TalkativeDeviceWaitsUntilTerminated) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.bootLines = {};
  script.chatterEveryMs = 2000;
  MacDevice device(rig.clock, rig.Line(3), script);
  // Stop the worker from its own clock once 60 s of virtual time have passed.
  const uint32_t start = rig.clock.TickMs();
  prgMACThread* target = nullptr;
  std::mutex m;
  rig.clock.AddListener([&](uint32_t now) {
    std::lock_guard<std::mutex> lock(m);
    if (target && now - start > 60000) target->Terminate();
  });
  rig.stages.Set(0, StageProgramming);
  worker = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 3, 0);
  {
    std::lock_guard<std::mutex> lock(m);
    target = worker.get();
  }
  worker->Start();
  worker->Join();
  {
    std::lock_guard<std::mutex> lock(m);
    target = nullptr;
  }
  EXPECT_GT(rig.clock.TickMs() - start, 60000u);
  const Strings messages = rig.board.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "program mac Terminated\r\n");
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -1");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_FALSE(rig.Line(3)->IsHeld());
  // Stopped during the reboot check: the device holds the address it accepted.
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Unverified});
}

TEST_F(PrgMac, HeldPartialLineCountsAsActivity) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.bootLines = {{100, "login: "}};  // no line end, ever
  MacDevice device(rig.clock, rig.Line(3), script);
  const uint32_t start = rig.clock.TickMs();
  std::atomic<prgMACThread*> target{nullptr};
  rig.clock.AddListener([&](uint32_t now) {
    if (auto* t = target.load(); t && now - start > 30000) t->Terminate();
  });
  worker = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 3, 0);
  target = worker.get();
  worker->Start();
  worker->Join();
  target = nullptr;
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -1");
  EXPECT_EQ(rig.board.Messages().back(), "program mac Terminated\r\n");
}

// 1024 bytes without a line end can never become a line: they are dropped, and the
// worker goes on to the device's next lines instead of waiting on them for ever.
TEST_F(PrgMac, FullBufferWithoutLineEndIsDroppedAndTheWorkerGoesOn) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice::Script script;
  script.bootLines = {{100, std::string(1100, 'x')}, {300, "verison 2.12\r\n"}};
  MacDevice device(rig.clock, rig.Line(3), script);
  std::atomic<prgMACThread*> target{nullptr};
  const uint32_t start = rig.clock.TickMs();
  rig.clock.AddListener([&](uint32_t now) {
    if (auto* t = target.load(); t && now - start > 60000) t->Terminate();
  });
  worker = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 3, 0);
  target = worker.get();
  worker->Start();
  worker->Join();
  target = nullptr;
  EXPECT_EQ(rig.stages.Get(0), StageProgrammed);
  EXPECT_EQ(HostWrites(), (Strings{"$SYCXXMAC02:5c:3a:04:22:d1\r\n", "$SER\r\n", "$GLM\r\n"}));
}

TEST_F(PrgMac, TerminateBeforeTheRebootLoop) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice device(rig.clock, rig.Line(3));
  worker = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 3, 0);
  worker->Terminate();
  worker->Start();
  worker->Join();
  EXPECT_EQ(rig.board.Messages(), (Strings{"program mac Terminated\r\n"}));
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC failed: -1");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  // A stopped worker takes no address and sends nothing.
  EXPECT_TRUE(pool.IsAvailable());
  EXPECT_EQ(rig.board.MacCell(0, 0), "");
  EXPECT_TRUE(HostWrites().empty());
}

TEST_F(PrgMac, PortThatCannotBeOpened) {
  LoadPool(kPoolAddress, kPoolAddress);
  rig.Line(3)->present = false;
  Run();
  EXPECT_EQ(rig.board.PortStatusHistory(0),
            (Strings{"COM3: program MAC", "COM3: open failed: " + std::to_string(ENOENT),
                     "COM3: com init failed: -1"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_TRUE(pool.IsAvailable());  // nothing taken
  EXPECT_FALSE(worker->Running());
}

// A board whose MAC line breaks: the exception ends the worker in its own words.
TEST_F(PrgMac, ExceptionIsShownAndFailsThePort) {
  LoadPool(kPoolAddress, kPoolAddress);
  TripBoard trip(rig.board);
  trip.throwOnMacLine = true;
  rig.station.board = &trip;
  MacDevice device(rig.clock, rig.Line(3));
  Run();
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC Exception");
  EXPECT_EQ(rig.board.Exceptions(), (Strings{"grid gone"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageProgramming}));
  EXPECT_FALSE(worker->Running());
  EXPECT_TRUE(HostWrites().empty());
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Failed});

  // An exception after the device accepted the address leaves it the device's.
  trip.throwOnMacLine = false;
  trip.throwOnStatus = {"COM4: reboot device"};
  MacDevice second(rig.clock, rig.Line(4));
  LoadPool(kPoolAddress, kPoolAddress);
  Run(4, 1);
  EXPECT_EQ(rig.board.PortStatus(1), "COM4: program MAC Exception");
  EXPECT_EQ(rig.stages.Get(1), StageFailed);
  EXPECT_EQ(pool.Settled(), (Outcomes{MacOutcome::Failed, MacOutcome::Unverified}));
}

// A pool that hangs (a frozen database server) is called on the worker's own thread:
// the UI thread stays free meanwhile, and a Stop confirmed during the take lets no
// further address out and no command reach a device.
TEST_F(PrgMac, SlowPoolHoldsUpNeitherTheUiThreadNorStop) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice first(rig.clock, rig.Line(3));
  MacDevice second(rig.clock, rig.Line(4));
  pool.Hold(true);
  auto w1 = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 3, 0);
  auto w2 = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 4, 1);
  w1->Start();
  ASSERT_TRUE(pool.WaitTakes(1));
  w2->Start();
  auto ui = std::async(std::launch::async, [&] { rig.ui.RunSync([] {}); });
  const bool uiFree = ui.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  EXPECT_TRUE(uiFree) << "the UI thread waits for the pool";
  // The Stop handler: every worker is asked to stop, then the gate closes under the
  // pool's lock (after the take under way).
  w1->Terminate();
  w2->Terminate();
  auto stop = std::async(std::launch::async, [&] {
    rig.ui.RunSync([&] {
      std::lock_guard<std::mutex> lock(pool.Mutex());
      pool.SetGateOpen(false);
    });
  });
  pool.Hold(false);
  ui.wait();
  stop.wait();
  w1->Join();
  w2->Join();
  EXPECT_EQ(pool.Takes(), 1) << "no take after the Stop";
  EXPECT_TRUE(first.Commands().empty());
  EXPECT_TRUE(second.Commands().empty());
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(rig.stages.Get(1), StageFailed);
  EXPECT_EQ(pool.Settled(), Outcomes{MacOutcome::Failed}) << "taken, never sent";
  // A closed gate refuses the next worker too.
  rig.Line(5);
  auto w3 = std::make_unique<prgMACThread>(rig.station, rig.Run(), false, 5, 2);
  w3->Start();
  w3->Join();
  EXPECT_EQ(pool.Takes(), 1);
  EXPECT_EQ(rig.board.PortStatus(2), "COM5: program MAC failed: -1");
}

TEST_F(PrgMac, FaultOfAnotherTypeIsCaughtWithTheSameTexts) {
  LoadPool(kPoolAddress, kPoolAddress);
  TripBoard trip(rig.board);
  trip.throwOnMacLine = true;
  trip.foreign = true;
  rig.station.board = &trip;
  MacDevice device(rig.clock, rig.Line(3));
  Run();
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: program MAC Exception");
  EXPECT_EQ(rig.board.Exceptions(), (Strings{"unknown exception"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_FALSE(rig.Line(3)->IsHeld());
}

TEST_F(PrgMac, DispatcherGetsTheRealWorker) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice device(rig.clock, rig.Line(3));
  StationWorkerFactory factory(rig.station);
  auto w = factory.StartWorker(rig.Run(), WorkerKind::ProgramMac, 3, 0, false);
  ASSERT_NE(w, nullptr);
  w->Join();
  EXPECT_EQ(rig.stages.Get(0), StageProgrammed);
}

TEST_F(PrgMac, PortIndexFiveWritesColumnOneRowTwo) {
  LoadPool(kPoolAddress, kPoolAddress);
  MacDevice device(rig.clock, rig.Line(9));
  Run(9, 5);
  EXPECT_EQ(rig.board.StatusCell(2, 1), "COM9: %GLM 02:5C:3A:04:22:D1\r OK");
  EXPECT_EQ(rig.stages.Get(5), StageProgrammed);
}

// ---- the reply parser on its own ----

class MacParser : public ::testing::Test {
 protected:
  MacParser() : w(rig.station, rig.Run(), false, 3, 0) {}
  void Hold(const std::string& bytes) {
    ASSERT_LE(bytes.size(), ConsolePort::kRecvCapacity);
    std::memcpy(w.console().recvBuf, bytes.data(), bytes.size());
    w.console().recvCount = static_cast<int32_t>(bytes.size());
  }
  std::string Held() {
    return std::string(w.console().recvBuf, static_cast<size_t>(w.console().recvCount));
  }
  WorkerRig rig;
  prgMACThread w;
};

TEST_F(MacParser, EveryLineIsClassifiedAndTheUnfinishedRestStays) {
  Hold("noise\r\nfw = 1.0 verison 2\r\nverison 3\r\n%GLM 02:5C\r\nrest");
  EXPECT_EQ(w.ParseMacReplies(), 0);
  EXPECT_EQ(w.recvStatus(), prgMACThread::RecvGlmReply);  // the last line classified
  EXPECT_EQ(Held(), "rest");
  // "fw =" is tested before "verison".
  EXPECT_EQ(rig.board.PortStatusHistory(0),
            (Strings{"COM3: fw = 1.0 verison 2\r", "COM3: verison 3\r", "COM3: %GLM 02:5C\r"}));
}

TEST_F(MacParser, KeywordClasses) {
  const std::pair<const char*, RecvStatus> cases[] = {
      {"U-Boot verison 1\n", prgMACThread::RecvVersionLine},
      {"%GLM 02:5C:3A:04:22:D1\r\n", prgMACThread::RecvGlmReply},
      {"MAC don't match\r\n", prgMACThread::RecvMacMismatch},
  };
  for (const auto& [line, status] : cases) {
    Hold(line);
    EXPECT_EQ(w.ParseMacReplies(), 0) << line;
    EXPECT_EQ(w.recvStatus(), status) << line;
  }
  // Matching is case-sensitive and byte for byte.
  Hold("version 2.12\r\n%glm x\r\nFW = 1\r\n");
  EXPECT_EQ(w.ParseMacReplies(), -2);
  EXPECT_EQ(w.console().recvCount, 0);
}

TEST_F(MacParser, UnfinishedLineStaysAtTheFront) {
  Hold("boot 1\r\nboot 2\r\nverf");
  EXPECT_EQ(w.ParseMacReplies(), -2);
  EXPECT_EQ(Held(), "verf");
  EXPECT_EQ(w.console().recvBuf[4], '\0');
  // Completed by the next read.
  Hold(Held() + "x verison 3\r\n");
  EXPECT_EQ(w.ParseMacReplies(), 0);
  EXPECT_EQ(w.recvStatus(), prgMACThread::RecvVersionLine);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: verfx verison 3\r");
}

TEST_F(MacParser, CarriageReturnWithoutLineFeedIsKept) {
  Hold("-\r|\rverison");
  EXPECT_EQ(w.ParseMacReplies(), -2);
  EXPECT_EQ(Held(), "-\r|\rverison");
  EXPECT_TRUE(rig.board.PortStatusHistory(0).empty());
}

TEST_F(MacParser, TerminationLeavesTheBufferAlone) {
  Hold("verison 2\r\n");
  w.Terminate();
  EXPECT_EQ(w.ParseMacReplies(), -1);
  EXPECT_EQ(Held(), "verison 2\r\n");
  EXPECT_EQ(w.recvStatus(), prgMACThread::RecvNone);
}

TEST_F(MacParser, LongLineIsShownTruncatedToTheStatusBuffer) {
  Hold(std::string(1000, 'a') + " verison\n");
  EXPECT_EQ(w.ParseMacReplies(), 0);
  EXPECT_EQ(rig.board.PortStatus(0).size(), sizeof(w.console().statusText) - 1);
}

}  // namespace
