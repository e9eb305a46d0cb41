// Sixteen MAC programming workers taking addresses from one pool at the same time.
// Built with a permitted block of 02:5C:3A:0A:0B:F0 .. 0A:0C:0F (see extra.cmake).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/workers/test_factorytest_rig.h"
#include "core/workers/test_prgmac_device.h"
#include "job/Logmac.h"
#include "workers/Prgmacthread.h"

namespace {

using Strings = std::vector<std::string>;

static_assert(MacBlockFirst == 0x0A0BF0 && MacBlockLast == 0x0A0C0F,
              "this test needs its own pool block");

// One station per port sharing the UI thread, board, pool, job, stage table and serial
// bus, each with a clock of its own so that one worker's sleeps do not age another's
// time-outs.
struct PortStation {
  PortStation(WorkerRig& rig, int portNumber) {
    station = rig.station;
    station.clock = &clock;
    device = std::make_unique<MacDevice>(clock, rig.Line(portNumber));
  }
  FakeClock clock;
  Station station;
  std::unique_ptr<MacDevice> device;
};

class WidePool : public ::testing::Test {
 protected:
  WidePool() : pool(rig.dataDir, "storedMAC.txt") { rig.station.pool = &pool; }
  void LoadPool(const std::string& next, const std::string& last) {
    WritePoolFile(pool.FilePath(), next, last);
    ASSERT_EQ(pool.Load(), 0);
  }
  // Starts one worker per port at once, then waits for all of them.
  void RunPorts(int count, int firstPortNumber = 1) {
    std::vector<std::unique_ptr<PortStation>> stations;
    std::vector<std::unique_ptr<prgMACThread>> workers;
    const RunJob& run = rig.Run();
    for (int i = 0; i < count; i++) {
      stations.push_back(std::make_unique<PortStation>(rig, firstPortNumber + i));
      rig.stages.Set(i, StageProgramming);
      workers.push_back(std::make_unique<prgMACThread>(stations.back()->station, run, false,
                                                       firstPortNumber + i, i));
    }
    for (auto& w : workers) w->Start();
    for (auto& w : workers) w->Join();
    for (int i = 0; i < count; i++) commands.push_back(stations[i]->device->Commands());
  }
  Strings MacLineHistory() {
    Strings out;
    for (const std::string& e : rig.board.Events()) {
      if (e.rfind("mac 0 0 ", 0) == 0) out.push_back(e.substr(8));
    }
    return out;
  }

  WorkerRig rig;
  FileMacPool pool;
  std::vector<Strings> commands;  // per port
};

TEST_F(WidePool, SixteenPortsGetSixteenDifferentAddressesAndTheLastUsesThePoolUp) {
  LoadPool("02:5C:3A:0A:0B:F0", "02:5C:3A:0A:0B:FF");  // exactly sixteen addresses
  RunPorts(16);

  std::set<std::string> sent;
  for (int i = 0; i < 16; i++) {
    EXPECT_EQ(rig.stages.Get(i), StageProgrammed) << i;
    ASSERT_EQ(commands[i].size(), 1u) << i;
    sent.insert(commands[i][0]);
  }
  // No address went out twice, and every address of the pool went out once, in
  // lower-case hex.
  std::set<std::string> expected;
  const char* hex = "0123456789abcdef";
  for (int k = 0; k < 16; k++) {
    expected.insert(std::string("$SYCXXMAC02:5c:3a:0a:0b:f") + hex[k] + "\r\n");
  }
  EXPECT_EQ(sent, expected);
  EXPECT_NE(sent.count("$SYCXXMAC02:5c:3a:0a:0b:ff\r\n"), 0u);

  // The MAC line followed the pool: ranges shrinking by one, then used up; never back to
  // an older range (a text that reaches the window after a newer one is not shown).
  const Strings line = MacLineHistory();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), "MAC used up");
  std::string previous;
  for (size_t k = 0; k + 1 < line.size(); k++) {
    EXPECT_EQ(line[k].substr(0, 26), "available 02:5C:3A:0A:0B:F") << k;
    EXPECT_EQ(line[k].substr(27), " ~ 02:5C:3A:0A:0B:FF") << k;
    EXPECT_GT(line[k], previous) << k;
    previous = line[k];
  }
  // The file moved past the last address.
  EXPECT_EQ(ReadFileBytes(pool.FilePath()).substr(0, 18), std::string("02:5C:3A:0A:0C:00\0", 18));
  EXPECT_TRUE(rig.board.Messages().empty());

  // A port after the pool ran out gets no address.
  PortStation late(rig, 17);
  prgMACThread w(late.station, rig.Run(), false, 17, 0);
  w.Start();
  w.Join();
  EXPECT_EQ(rig.board.MacCell(0, 0), "MAC not available: -1");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_TRUE(late.device->Commands().empty());
}

TEST_F(WidePool, MorePortsThanAddressesFailOnlyTheLatecomers) {
  LoadPool("02:5C:3A:0A:0B:FE", "02:5C:3A:0A:0C:01");  // four addresses, across a carry
  RunPorts(6);
  std::set<std::string> sent;
  int programmed = 0, failed = 0;
  for (int i = 0; i < 6; i++) {
    if (rig.stages.Get(i) == StageProgrammed) {
      programmed++;
      ASSERT_EQ(commands[i].size(), 1u);
      sent.insert(commands[i][0]);
    } else {
      failed++;
      EXPECT_EQ(rig.stages.Get(i), StageFailed);
      EXPECT_TRUE(commands[i].empty());
      EXPECT_EQ(rig.board.PortStatus(i),
                "COM" + std::to_string(i + 1) + ": program MAC failed: -1");
    }
  }
  EXPECT_EQ(programmed, 4);
  EXPECT_EQ(failed, 2);
  EXPECT_EQ(sent, (std::set<std::string>{
                      "$SYCXXMAC02:5c:3a:0a:0b:fe\r\n", "$SYCXXMAC02:5c:3a:0a:0b:ff\r\n",
                      "$SYCXXMAC02:5c:3a:0a:0c:00\r\n", "$SYCXXMAC02:5c:3a:0a:0c:01\r\n"}));
  // The MAC line follows the takes' order; a text that reaches the window after a newer
  // one is not shown, so the line never goes back to an older range.
  const Strings takes = {"available 02:5C:3A:0A:0B:FF ~ 02:5C:3A:0A:0C:01",
                         "available 02:5C:3A:0A:0C:00 ~ 02:5C:3A:0A:0C:01",
                         "available 02:5C:3A:0A:0C:01 ~ 02:5C:3A:0A:0C:01",
                         "MAC used up",
                         "MAC not available: -1",
                         "MAC not available: -1"};
  const Strings line = MacLineHistory();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), "MAC not available: -1");
  size_t at = 0;
  for (const std::string& shown : line) {
    while (at < takes.size() && takes[at] != shown) at++;
    ASSERT_LT(at, takes.size()) << "shown out of the takes' order: " << shown;
    at++;
  }
  const Strings messages = rig.board.Messages();
  EXPECT_EQ(messages, (Strings{"get MAC failed\r\n", "get MAC failed\r\n"}));
}

}  // namespace
