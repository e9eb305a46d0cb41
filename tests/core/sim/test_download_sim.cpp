// The real download worker against the in-memory simulated device, in virtual time:
// the images arrive intact (the EEPROM image with the port's temporary MAC), the
// device sees nothing it would refuse, and its faults end the way a line would.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/JobState.h"
#include "base/SlotTable.h"
#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "sim/model/SimDevice.h"
#include "workers/Rs232thread.h"

namespace {

struct Outcome {
  Stage stage = StageIdle;
  std::string status;
  SimReport report;
  uint32_t virtualMs = 0;
  uint32_t firstWriteMs = 0;  // from the worker's start to its first write
};

class DownloadSim : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pt_download_sim_XXXXXX";
    const char* p = mkdtemp(tmpl);
    ASSERT_NE(nullptr, p);
    dir_ = p;
    firmware_.resize(2500);
    for (size_t i = 0; i < firmware_.size(); ++i) firmware_[i] = static_cast<char>(i * 31 + 7);
    eeprom_.resize(1024);
    for (size_t i = 0; i < eeprom_.size(); ++i) eeprom_[i] = static_cast<char>(i * 5 + 1);
    std::ofstream(dir_ + "/fw.vff", std::ios::binary) << firmware_;
    std::ofstream(dir_ + "/ee.vef", std::ios::binary) << eeprom_;
    cfg_.firmwarePath = dir_ + "/fw.vff";
    cfg_.eepromPath = dir_ + "/ee.vef";
  }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }

  // Runs one download worker on COM3 (port index 1) against a device with `fault`,
  // switched on upMs before the worker starts, and found by a slot watcher as `found`.
  Outcome Run(int32_t jobFlags, const char* fault, uint32_t upMs = 0,
              UnitFound found = UnitFound::Unknown) {
    FakeSerialBus bus;
    FakeClock clock;
    InlineUiThread ui;
    RecordingBoard board;
    PortMap ports("/nonexistent-download-sim-dir");
    JobState job;
    job.jobFlags = jobFlags;
    job.logDirectory = dir_;
    StageTable stages;
    Station st;
    st.ui = &ui;
    st.board = &board;
    st.clock = &clock;
    st.serial = &bus;
    st.ports = &ports;
    st.job = &job;
    st.stages = &stages;
    SlotTable slots;
    if (found != UnitFound::Unknown) {
      slots.SetFound(1, found);
      st.slotTable = &slots;
    }
    const RunJob run = MakeRunJob(job, cfg_, TestInterfaces{}, "");
    SimOptions opt;
    opt.name = "COM3";
    std::string err;
    if (fault) {
      EXPECT_TRUE(ApplyFault(fault, &opt.faults, &err)) << err;
    }
    SimDevice dev(bus.Line(ports.DevicePath(3)), clock, opt);
    dev.PowerOn();
    // A device switched on long before the worker has ended its start-up: the worker
    // has to wake it.
    for (uint32_t ms = 0; ms < upMs; ms += 10) clock.Advance(10);
    stages.Set(1, StageDownloading);
    const uint32_t t0 = clock.TickMs();
    auto line = bus.Line(ports.DevicePath(3));
    uint32_t firstWriteAt = 0;
    clock.AddListener([&, line](uint32_t now) {
      if (firstWriteAt == 0 && !line->AllHostWrites().empty()) firstWriteAt = now;
    });
    {
      RS232Thread w(st, run, log_, 3, 1);
      w.Start();
      w.Join();
    }
    Outcome o;
    o.virtualMs = clock.TickMs() - t0;
    o.firstWriteMs = firstWriteAt - t0;
    o.stage = stages.Get(1);
    o.status = board.PortStatus(1);
    o.report = dev.Report();
    EXPECT_FALSE(bus.Line(ports.DevicePath(3))->IsHeld());
    return o;
  }

  std::vector<uint8_t> Padded(const std::string& s) const {
    std::vector<uint8_t> v(s.begin(), s.end());
    v.resize((v.size() + 1023) / 1024 * 1024, 0);
    return v;
  }
  std::vector<uint8_t> EepromWithTempMac() const {
    std::vector<uint8_t> v(eeprom_.begin(), eeprom_.end());
    const uint8_t mac[6] = {0xFE, 0xFF, 0xFF, 0x3A, 0x5C, 0x02};  // port index 1, last byte first
    std::copy(mac, mac + 6, v.begin() + 6);
    return v;
  }

  std::string PortLog() const {
    std::ifstream f(dir_ + "/logCOM3.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  bool log_ = false;
  std::string dir_;
  std::string firmware_, eeprom_;
  StoredConfig cfg_{"/nonexistent-download-sim-dir", "storedCfg.txt"};
};

}  // namespace

TEST_F(DownloadSim, BothImagesArriveIntactAndTheDeviceReportsTheTemporaryMac) {
  const Outcome o = Run(kJobFirmware | kJobEeprom, nullptr);
  EXPECT_EQ(StageDownloaded, o.stage) << o.status;
  EXPECT_NE(std::string::npos, o.status.find("02:5C:3A:FF:FF:FE")) << o.status;
  EXPECT_NE(std::string::npos, o.status.find("Download OK")) << o.status;
  EXPECT_EQ(Padded(firmware_), o.report.firmware);
  EXPECT_EQ(EepromWithTempMac(), o.report.eeprom);
  EXPECT_EQ("02:5C:3A:FF:FF:FE", o.report.eepromMac);
  EXPECT_EQ("02:5C:3A:FF:FF:FE", o.report.currentMac);
  EXPECT_EQ(1, o.report.firmwareWrites);
  EXPECT_EQ(1, o.report.eepromWrites);
  EXPECT_EQ((std::vector<std::string>{"@@", "U", "E", "R", "$GLM"}), o.report.commands);
  EXPECT_TRUE(o.report.violations.empty()) << o.report.violations.front();
}

TEST_F(DownloadSim, ADeviceThatStartedLongAgoIsWokenFirst) {
  const Outcome o = Run(kJobEeprom, nullptr, 5000);
  EXPECT_EQ(StageDownloaded, o.stage) << o.status;
  EXPECT_EQ(EepromWithTempMac(), o.report.eeprom);
  EXPECT_TRUE(o.report.firmware.empty());
  ASSERT_GE(o.report.commands.size(), 2u);
  EXPECT_EQ("$SES", o.report.commands[0]);
  EXPECT_EQ("@@", o.report.commands[1]);
  EXPECT_TRUE(o.report.violations.empty()) << o.report.violations.front();
}

// A unit the slot watcher found is answered at once: at its boot ROM's "fw =" line
// (just read by the watcher) with "@@", when it is up and quiet with "$SES".
TEST_F(DownloadSim, AFoundUnitIsAnsweredWithoutTheSilenceWait) {
  const Outcome awake = Run(kJobEeprom, nullptr, 5000);
  const Outcome running = Run(kJobEeprom, nullptr, 5000, UnitFound::Running);
  const Outcome atBoot = Run(kJobEeprom, nullptr, 120, UnitFound::AtBoot);
  EXPECT_GE(awake.firstWriteMs, 6000u);
  for (const Outcome* o : {&running, &atBoot}) {
    EXPECT_EQ(StageDownloaded, o->stage) << o->status;
    EXPECT_EQ(EepromWithTempMac(), o->report.eeprom);
    EXPECT_LE(o->firstWriteMs, 20u);
    EXPECT_TRUE(o->report.violations.empty()) << o->report.violations.front();
  }
  EXPECT_EQ((std::vector<std::string>{"$SES", "@@", "E", "R", "$GLM"}), running.report.commands);
  EXPECT_EQ((std::vector<std::string>{"@@", "E", "R", "$GLM"}), atBoot.report.commands);
  EXPECT_GE(awake.virtualMs - running.virtualMs, 6000u);
}

TEST_F(DownloadSim, FaultsTheWorkerRidesOut) {
  for (const bool fast : {false, true}) {
    cfg_.fastDownload = fast;
    for (const char* fault : {"nak-block=2x3", "eot-nak=2", "split", "nul", "prompt", "noise",
                              "mac-mismatch", "slow-flash=3000", "write-loss=150"}) {
      SCOPED_TRACE(std::string(fault) + (fast ? " (fast download)" : ""));
      const Outcome o = Run(kJobFirmware | kJobEeprom, fault);
      EXPECT_EQ(StageDownloaded, o.stage) << o.status;
      EXPECT_EQ(Padded(firmware_), o.report.firmware);
      EXPECT_EQ(EepromWithTempMac(), o.report.eeprom);
      EXPECT_TRUE(o.report.violations.empty()) << o.report.violations.front();
    }
  }
}

// Fast download: the blocks follow the device's replies, not a 200 ms pause. A loader
// that loses what arrives while it writes a block NAKs the lost block; the transfer
// takes the pause from there on, says so in the port's log, and the images arrive.
TEST_F(DownloadSim, FastDownloadFallsBackToThePauseWhenTheLoaderLosesBytes) {
  firmware_.resize(6000);
  std::ofstream(dir_ + "/fw.vff", std::ios::binary) << firmware_;
  const Outcome paced = Run(kJobFirmware, nullptr);
  cfg_.fastDownload = true;
  const Outcome fast = Run(kJobFirmware, nullptr);
  EXPECT_EQ(StageDownloaded, fast.stage) << fast.status;
  EXPECT_EQ(Padded(firmware_), fast.report.firmware);
  // Six blocks: 6 x 200 ms of pauses against 6 x (89 + 3) ms of line and flash.
  EXPECT_GE(paced.virtualMs - fast.virtualMs, 600u);
  // Ten blocks more: each costs its 89.3 ms on the line at 115200 and the loader's
  // 3 ms write, and little more.
  firmware_.resize(16 * 1024);
  std::ofstream(dir_ + "/fw.vff", std::ios::binary | std::ios::trunc) << firmware_;
  const Outcome longer = Run(kJobFirmware, nullptr);
  EXPECT_EQ(Padded(firmware_), longer.report.firmware);
  const double perBlockMs = (longer.virtualMs - fast.virtualMs) / 10.0;
  EXPECT_GE(perBlockMs, 92.3);
  EXPECT_LE(perBlockMs, 1.05 * 92.3);

  // The loader stops listening for 100 ms once a block's last byte is in: a block sent
  // as soon as the ACK is read is lost, one sent 200 ms after the last one was written
  // (89 ms of which the line took) is heard.
  log_ = true;
  const Outcome o = Run(kJobFirmware | kJobEeprom, "write-loss=100");
  EXPECT_EQ(StageDownloaded, o.stage) << o.status;
  EXPECT_EQ(Padded(firmware_), o.report.firmware);
  EXPECT_EQ(EepromWithTempMac(), o.report.eeprom);
  // Block 2 of the firmware, and the EOT that followed the EEPROM image's one block
  // (the next transfer starts out fast again; an EOT's NAK only repeats the EOT).
  EXPECT_EQ(2, o.report.naksSent);
  const std::string log = PortLog();
  EXPECT_NE(std::string::npos,
            log.find("\r\nCOM3: Xmodem firmware: block 2 refused, 200 ms pause after every "
                     "packet from here on\r\n"))
      << log;
  EXPECT_NE(std::string::npos, log.find("COM3: Xmodem firmware: 0\r\n"));
  EXPECT_EQ(std::string::npos, log.find("Xmodem eeprom: block")) << "one block, no loss";
}

TEST_F(DownloadSim, FaultsThatFailThePort) {
  for (const char* fault :
       {"silent", "no-c", "silent-after-block=2", "nak-block=1x12", "no-glm", "no-eot-ack"}) {
    SCOPED_TRACE(fault);
    const Outcome o = Run(kJobFirmware | kJobEeprom, fault);
    EXPECT_EQ(StageFailed, o.stage) << o.status;
  }
}
