// The MAC programming worker against the in-memory device simulator and the real pool.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "job/Logmac.h"
#include "platform/Network.h"
#include "sim/model/SimDevice.h"
#include "test_factorytest_rig.h"
#include "test_prgmac_device.h"
#include "workers/Factorytestthread.h"
#include "workers/Prgmacthread.h"
#include "workers/Rs232thread.h"

namespace {

using Strings = std::vector<std::string>;

struct MacOutcome {
  Stage stage = StageIdle;
  std::string status;
  Strings statusHistory;
  Strings messages;
  std::string macLine;
  SimReport report;
  uint32_t elapsedMs = 0;
};

MacOutcome RunWithFaults(const SimFaults& faults) {
  WorkerRig rig;
  FileMacPool pool(rig.dataDir, "storedMAC.txt");
  WritePoolFile(pool.FilePath(), "02:5C:3A:04:22:D1", "02:5C:3A:04:22:D1");
  EXPECT_EQ(pool.Load(), 0);
  rig.station.pool = &pool;
  SimOptions options;
  options.name = "COM3";
  options.faults = faults;
  SimDevice device(rig.Line(3), rig.clock, options);
  device.PowerOn();
  for (int i = 0; i < 50; i++) rig.clock.Advance(100);  // start-up lines done, console ready
  rig.stages.Set(0, StageProgramming);
  const uint32_t start = rig.clock.TickMs();
  {
    prgMACThread w(rig.station, rig.Run(), false, 3, 0);
    w.Start();
    w.Join();
  }
  MacOutcome out;
  out.elapsedMs = rig.clock.TickMs() - start;
  out.stage = rig.stages.Get(0);
  out.status = rig.board.PortStatus(0);
  out.statusHistory = rig.board.PortStatusHistory(0);
  out.messages = rig.board.Messages();
  out.macLine = rig.board.MacCell(0, 0);
  out.report = device.Report();
  EXPECT_FALSE(rig.Line(3)->IsHeld());
  return out;
}

bool Has(const Strings& list, const std::string& text) {
  return std::find(list.begin(), list.end(), text) != list.end();
}

TEST(PrgMacSim, DeviceTakesThePoolAddressAndReportsItAfterRestart) {
  const MacOutcome o = RunWithFaults(SimFaults{});
  EXPECT_EQ(o.stage, StageProgrammed);
  EXPECT_EQ(o.report.programmedMac, "02:5C:3A:04:22:D1");
  EXPECT_EQ(o.report.macWrites, 1);
  EXPECT_EQ(o.report.currentMac, "02:5C:3A:04:22:D1");
  EXPECT_TRUE(o.report.violations.empty());
  EXPECT_TRUE(Has(o.report.commands, "$SYCXXMAC02:5c:3a:04:22:d1"));
  EXPECT_EQ(std::count(o.report.commands.begin(), o.report.commands.end(), "$GLM"), 1);
  EXPECT_EQ(o.macLine, "MAC used up");
  EXPECT_EQ(o.status.rfind("COM3: %GLM", 0), 0u) << o.status;
  EXPECT_NE(o.status.find("02:5C:3A:04:22:D1"), std::string::npos) << o.status;
  EXPECT_EQ(o.status.substr(o.status.size() - 3), " OK");
  EXPECT_TRUE(o.messages.empty());
}

// Line faults the worker copes with.
TEST(PrgMacSim, UntidyConsolesStillProgram) {
  struct Case {
    const char* name;
    SimFaults faults;
  };
  SimFaults noisy, nul, split, crlf, mismatch;
  noisy.noise = true;
  nul.nul = true;
  split.splitMs = 200;
  crlf.crlfSplitMs = 200;
  mismatch.macMismatch = 1;
  const Case cases[] = {{"chatter", noisy},
                        {"NUL bytes", nul},
                        {"lines in two pieces", split},
                        {"CR and LF apart", crlf},
                        {"MAC don't match line", mismatch}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MacOutcome o = RunWithFaults(c.faults);
    EXPECT_EQ(o.stage, StageProgrammed) << o.status;
    EXPECT_EQ(o.report.programmedMac, "02:5C:3A:04:22:D1");
    EXPECT_TRUE(o.report.violations.empty());
  }
}

TEST(PrgMacSim, DeviceFaultsFailThePort) {
  struct Case {
    const char* name;
    SimFaults faults;
    int result;
    Strings messages;
  };
  SimFaults fail, late, deadAfterSer, noGlm, silent;
  fail.fail = true;
  late.lateMs = 700;
  deadAfterSer.silentAfterSer = true;
  noGlm.noGlm = true;
  silent.silent = true;
  const std::string command = "$SYCXXMAC02:5c:3a:04:22:d1\r\n";
  const Case cases[] = {
      {"FAIL in the answer", fail, -4, {command, "cmd_process ret: -4\r\n"}},
      {"late answer", late, -3, {command, "cmd_process ret: -3\r\n"}},
      {"silent device", silent, -3, {command, "cmd_process ret: -3\r\n"}},
      {"dead after the reboot command", deadAfterSer, -2, {}},
      {"no answer to $GLM", noGlm, -2, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MacOutcome o = RunWithFaults(c.faults);
    EXPECT_EQ(o.stage, StageFailed);
    EXPECT_EQ(o.status, "COM3: program MAC failed: " + std::to_string(c.result));
    EXPECT_EQ(o.messages, c.messages);
    if (c.result != -2) {
      EXPECT_FALSE(Has(o.report.commands, "$SER"));
    }
    // Silence ends the wait after five seconds, not much later.
    EXPECT_LT(o.elapsedMs, 30000u);
  }
}

// The whole job on one device (both images, the loopback test, the address): with
// fast download the waits that only let the device's answer arrive end once it has,
// and the device still sees nothing it would refuse.
TEST(PrgMacSim, FastDownloadShortensTheWholeJobWithoutAViolation) {
  uint32_t jobMs[2] = {0, 0};
  for (const bool fast : {false, true}) {
    SCOPED_TRACE(fast ? "fast download" : "default pacing");
    WorkerRig rig;
    rig.station.net = &PosixNetwork();
    FileMacPool pool(rig.dataDir, "storedMAC.txt");
    WritePoolFile(pool.FilePath(), "02:5C:3A:04:22:D1", "02:5C:3A:04:22:D1");
    ASSERT_EQ(pool.Load(), 0);
    rig.station.pool = &pool;
    rig.cfg.firmwarePath = rig.dataDir + "/fw.vff";
    rig.cfg.eepromPath = rig.dataDir + "/ee.vef";
    std::ofstream(rig.cfg.firmwarePath, std::ios::binary) << std::string(3000, '\x5a');
    std::ofstream(rig.cfg.eepromPath, std::ios::binary) << std::string(1024, '\x11');
    rig.cfg.fastDownload = fast;
    rig.job.jobFlags = kJobFirmware | kJobEeprom;
    SimOptions options;
    options.name = "COM3";
    SimDevice device(rig.Line(3), rig.clock, options);
    ASSERT_EQ(device.StartEcho(), 0);
    device.PowerOn();
    const RunJob& run = rig.Run();
    const uint32_t start = rig.clock.TickMs();
    rig.stages.Set(0, StageDownloading);
    {
      RS232Thread w(rig.station, run, false, 3, 0);
      w.Start();
      w.Join();
    }
    ASSERT_EQ(rig.stages.Get(0), StageDownloaded) << rig.board.PortStatus(0);
    rig.stages.Set(0, StageTesting);
    {
      FactoryTestThread w(rig.station, run, false, 3, 0, "127.0.0.1");
      w.Start();
      w.Join();
    }
    ASSERT_EQ(rig.stages.Get(0), StageTested) << rig.board.PortStatus(0);
    rig.stages.Set(0, StageProgramming);
    {
      prgMACThread w(rig.station, run, false, 3, 0);
      w.Start();
      w.Join();
    }
    EXPECT_EQ(rig.stages.Get(0), StageProgrammed) << rig.board.PortStatus(0);
    const SimReport r = device.Report();
    EXPECT_EQ(r.currentMac, "02:5C:3A:04:22:D1");
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    jobMs[fast] = rig.clock.TickMs() - start;
  }
  // About 18 s against 11 s of virtual time for this job.
  EXPECT_LT(jobMs[1] + 3000, jobMs[0]) << jobMs[1] << " ms against " << jobMs[0] << " ms";
}

}  // namespace
