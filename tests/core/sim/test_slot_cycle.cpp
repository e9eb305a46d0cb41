// Continuous production in virtual time: the dispatcher, the slot watchers and the
// real workers against in-memory units that are swapped in their slots. Units are
// found when they come and when they go, a unit left in its socket is never started
// again, a unit taken out in the middle of its cycle fails it and its slot waits for
// the next, and every passed unit gets an address of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "app/Startthread.h"
#include "base/fake/CountingPool.h"
#include "core/app/AppTestRig.h"
#include "sim/model/SimDevice.h"
#include "workers/Workers.h"

namespace {

class SlotCycle : public ::testing::Test {
 protected:
  SlotCycle() : ports(dir.path()), factory(station) {
    clock.SetRealYieldUs(200);
    station.ui = &ui;
    station.board = &board;
    station.clock = &clock;
    station.serial = &bus;
    station.ports = &ports;
    station.job = &run.steps;
    station.stages = &stages;
    station.pool = &pool;
    station.slotTable = &table;
    pool.SetGateOpen(true);
    std::string eeprom(1024, '\x11');
    dir.Write("ee.vef", eeprom);
    run.steps.jobFlags = kJobEeprom;
    run.steps.programMac = true;
    run.eeprom.path = dir.path() + "/ee.vef";
    run.eeprom.read = ImageRead::Ok;
    run.eeprom.bytes = eeprom;
    run.fastDownload = true;
    run.continuous = true;
  }
  ~SlotCycle() override {
    dispatcher.reset();
    devices.clear();
  }
  SimDevice& AddSlot(int n, SwapPlan plan, const char* fault = nullptr) {
    SimOptions opt;
    opt.name = "COM" + std::to_string(n);
    opt.mac = "02:5C:3A:10:0" + std::to_string(n) + ":00";
    if (fault) {
      std::string err;
      EXPECT_TRUE(ApplyFault(fault, &opt.faults, &err)) << err;
    }
    devices.push_back(std::make_unique<SimDevice>(bus.Line(FallbackPath(n)), clock, opt));
    devices.back()->SetPlan(plan);
    devices.back()->PowerOn();
    return *devices.back();
  }
  void Start() {
    dispatcher = std::make_unique<StartThread>(station, run, factory, false);
    dispatcher->Start();
  }
  void Stop() {
    ui.RunSync([&] {
      dispatcher->StopWorkers();
      dispatcher->Terminate();
    });
    ASSERT_TRUE(WaitFor([&] { return dispatcher->Finished(); }));
  }

  // The board's calls, for a failure's message.
  std::string Events() {
    std::string all = "virtual ms " + std::to_string(clock.TickMs()) + "\n";
    for (const std::string& e : board.Events()) all += e + "\n";
    for (const auto& d : devices) {
      for (const SimReport& u : d->Report().units) {
        all += u.name + " unit " + std::to_string(u.unit) + " " + u.state + " removed=" +
               u.removed + " mac=" + u.currentMac + "\n";
      }
    }
    return all;
  }

  TempDir dir;
  InlineUiThread ui;
  RecordingBoard board;
  FakeClock clock;
  FakeSerialBus bus;
  PortMap ports;
  StageTable stages;
  SlotTable table;
  CountingPool pool;
  Station station;
  StationWorkerFactory factory;
  RunJob run;
  std::vector<std::unique_ptr<SimDevice>> devices;
  std::unique_ptr<StartThread> dispatcher;
};

TEST_F(SlotCycle, EachUnitIsFoundRunOnceAndTakenOut) {
  // COM1: a shift of three units, each taken out 3 s after it was programmed and the
  // next put in 4 s later. COM2: its first unit is pulled out in the middle of its
  // download (silently), a fresh one goes in once that cycle has failed and is left in its
  // socket.
  SwapPlan shift;
  shift.shiftMs = 3000;
  shift.shiftGapMs = 4000;
  shift.shiftUnits = 3;
  SwapPlan pulled;
  pulled.events = {{400000, SwapPlan::What::Insert}};
  SimDevice& com1 = AddSlot(1, shift);
  SimDevice& com2 = AddSlot(2, pulled);
  std::atomic<bool> once{false};
  board.onStatus = [&](const std::string& text) {
    if (text == "COM2: Download EEPROM...1/1" && !once.exchange(true)) com2.Remove(Removal::Silent);
  };
  Start();
  ASSERT_TRUE(WaitFor([&] { return board.Units(0).size() >= 3 && board.Units(1).size() >= 2; },
                      60000))
      << Events();
  // The unit left in COM2's socket answers the probe, for long: it is not started again.
  const uint32_t until = clock.TickMs() + 30000;
  ASSERT_TRUE(WaitFor([&] { return clock.TickMs() > until; }, 60000));
  Stop();

  EXPECT_EQ(board.Units(0), (std::vector<std::string>{"passed", "passed", "passed"})) << Events();
  EXPECT_EQ(board.Units(1), (std::vector<std::string>{"failed", "passed"}));
  EXPECT_EQ(table.Cycle(1), 2);
  std::set<std::string> given;
  for (SimDevice* d : {&com1, &com2}) {
    const SimReport report = d->Report();
    for (const SimReport& unit : report.units) {
      EXPECT_TRUE(unit.violations.empty()) << unit.name << " unit " << unit.unit << ": "
                                           << unit.violations.front() << "\n"
                                           << Events();
      if (unit.macWrites > 0) {
        EXPECT_EQ(unit.macWrites, 1) << unit.name << " unit " << unit.unit;
        EXPECT_TRUE(given.insert(unit.programmedMac).second) << unit.programmedMac;
      }
    }
  }
  EXPECT_EQ(given.size(), 4u);
  EXPECT_EQ(board.PortStatus(0).rfind("COM1: insert unit - 3 passed, 0 failed", 0), 0u)
      << board.PortStatus(0);
  EXPECT_EQ(board.PortStatus(1).rfind("COM2: remove unit - 1 passed, 1 failed", 0), 0u)
      << board.PortStatus(1);
}

}  // namespace
