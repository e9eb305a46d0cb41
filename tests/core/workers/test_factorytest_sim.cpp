// The loopback test worker against the in-memory device simulator, whose TCP echo
// listens on 127.0.0.1 (the worker is aimed there through its test-only address).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/model/SimDevice.h"
#include "test_factorytest_rig.h"
#include "workers/Factorytestthread.h"

namespace {

using Strings = std::vector<std::string>;

struct SimOutcome {
  Stage stage = StageIdle;
  std::string status;
  Strings messages;
  int connections = 0;
  Strings violations;
};

SimOutcome RunWithFaults(const SimFaults& faults) {
  WorkerRig rig;
  rig.station.net = &PosixNetwork();
  SimOptions options;
  options.name = "COM3";
  options.faults = faults;
  SimDevice device(rig.Line(3), rig.clock, options);
  SimOutcome out;
  if (device.StartEcho() != 0) {
    ADD_FAILURE() << "the simulator cannot listen on 127.0.0.1";
    return out;
  }
  device.PowerOn();
  for (int i = 0; i < 50; i++) rig.clock.Advance(100);  // start-up lines done, console ready
  rig.stages.Set(0, StageTesting);
  {
    FactoryTestThread w(rig.station, rig.Run(), false, 3, 0, "127.0.0.1");
    w.Start();
    w.Join();
  }
  out.stage = rig.stages.Get(0);
  out.status = rig.board.PortStatus(0);
  out.messages = rig.board.Messages();
  out.connections = device.Echo().Connections();
  out.violations = device.Report().violations;
  EXPECT_FALSE(rig.Line(3)->IsHeld());
  return out;
}

TEST(FactoryTestSim, HealthyDevicePasses) {
  const SimOutcome o = RunWithFaults(SimFaults{});
  EXPECT_EQ(o.stage, StageTested);
  EXPECT_EQ(o.status, "COM3: loopback test ok");
  EXPECT_TRUE(o.messages.empty());
  EXPECT_EQ(o.connections, 1);
  EXPECT_TRUE(o.violations.empty());
}

TEST(FactoryTestSim, EchoFaults) {
  struct Case {
    const char* name;
    SimFaults faults;
    int result;
    Strings messages;
  };
  SimFaults refuse, crlf, split, wrong;
  refuse.refuse = true;
  crlf.echoCrLf = true;
  split.echoSplit = true;
  wrong.echoWrong = true;
  const Case cases[] = {
      {"refused", refuse, -6, {"111"}},
      {"extra CR LF", crlf, -7, {"tcp recv fail"}},
      {"two pieces", split, -7, {"tcp recv fail"}},
      {"wrong byte", wrong, -9, {"not match"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SimOutcome o = RunWithFaults(c.faults);
    EXPECT_EQ(o.stage, StageFailed);
    EXPECT_EQ(o.status, "COM3: loopback test failed: " + std::to_string(c.result));
    EXPECT_EQ(o.messages, c.messages);
  }
}

// Waits the full three seconds in real time.
TEST(FactoryTestSim, EchoThatNeverComesIsASelectFailure) {
  SimFaults none;
  none.echoNone = true;
  const SimOutcome o = RunWithFaults(none);
  EXPECT_EQ(o.status, "COM3: loopback test failed: -8");
  EXPECT_EQ(o.messages, (Strings{"select fail"}));
}

TEST(FactoryTestSim, ConsoleFaults) {
  struct Case {
    const char* name;
    SimFaults faults;
    int result;
  };
  SimFaults fail, late, silent, noisy, nul;
  fail.fail = true;
  fail.failKey = "GSVPA";
  late.lateMs = 700;
  silent.silent = true;
  noisy.noise = true;
  nul.nul = true;
  const Case cases[] = {
      {"FAIL in the answer", fail, -4},    {"late answer", late, -3},
      {"silent device", silent, -3},       {"chatter before the answer", noisy, 0},
      {"NUL bytes in the answer", nul, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SimOutcome o = RunWithFaults(c.faults);
    if (c.result == 0) {
      EXPECT_EQ(o.stage, StageTested);
      EXPECT_EQ(o.status, "COM3: loopback test ok");
    } else {
      EXPECT_EQ(o.stage, StageFailed);
      EXPECT_EQ(o.status, "COM3: get settings failed: " + std::to_string(c.result));
      EXPECT_EQ(o.connections, 0);
    }
  }
}

}  // namespace
