// The download worker against the in-memory device simulator: the device's own
// loader and XMODEM receiver check what the worker sends.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/model/SimDevice.h"
#include "test_xmodem_rig.h"
#include "workers/Rs232thread.h"

namespace {

class Rs232SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    eeprom = dltest::Pattern(1024, 11);
    firmware = dltest::Pattern(5000, 13);
    rig.cfg.eepromPath = rig.Path("image.vef");
    rig.cfg.firmwarePath = rig.Path("image.vff");
    dltest::WriteFile(rig.cfg.eepromPath, eeprom);
    dltest::WriteFile(rig.cfg.firmwarePath, firmware);
  }

  // Runs the download worker of COM3 at place `index` against a simulated device.
  SimReport Run(int32_t jobFlags, SimFaults faults = {}, int index = 2) {
    rig.job.jobFlags = jobFlags;
    SimOptions opt;
    opt.name = "COM3";
    opt.faults = faults;
    SimDevice dev(rig.Line(3), rig.clock, opt);
    dev.PowerOn();
    rig.stages.Set(index, StageDownloading);
    RS232Thread worker(rig.station, false, 3, index);
    worker.Start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (rig.stages.Get(index) == StageDownloading &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    worker.Join();
    status = rig.board.PortStatusHistory(index);
    return dev.Report();
  }

  static std::string Bytes(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
  }
  static std::string Padded(const std::string& image) {
    return image + std::string((1024 - image.size() % 1024) % 1024, '\0');
  }
  bool Shown(const std::string& text) const {
    return std::find(status.begin(), status.end(), text) != status.end();
  }

  dltest::Rig rig;
  std::string eeprom, firmware;
  std::vector<std::string> status;
};

TEST_F(Rs232SimTest, BothImagesReachTheDeviceExactly) {
  const SimReport r = Run(kJobFirmware | kJobEeprom);
  EXPECT_EQ(rig.stages.Get(2), StageDownloaded);
  EXPECT_TRUE(r.violations.empty()) << r.violations.front();
  EXPECT_EQ(Bytes(r.firmware), Padded(firmware));
  std::string withMac = eeprom;
  withMac.replace(6, 6, "\xFD\xFF\xFF\x3A\x5C\x02");
  EXPECT_EQ(Bytes(r.eeprom), withMac);
  EXPECT_EQ(r.eepromMac, "02:5C:3A:FF:FF:FD");
  EXPECT_EQ(r.firmwareWrites, 1);
  EXPECT_EQ(r.eepromWrites, 1);
  ASSERT_FALSE(status.empty());
  EXPECT_NE(status.back().find(" - Download OK"), std::string::npos) << status.back();
  EXPECT_TRUE(Shown("COM3: Download Firmware...5/5"));
}

TEST_F(Rs232SimTest, EepromOnlyAndFirmwareOnly) {
  {
    const SimReport r = Run(kJobEeprom);
    EXPECT_EQ(rig.stages.Get(2), StageDownloaded);
    EXPECT_TRUE(r.violations.empty());
    EXPECT_TRUE(r.firmware.empty());
    EXPECT_EQ(r.eepromWrites, 1);
  }
  {
    const SimReport r = Run(kJobFirmware, {}, 3);
    EXPECT_EQ(rig.stages.Get(3), StageDownloaded);
    EXPECT_TRUE(r.violations.empty());
    EXPECT_EQ(Bytes(r.firmware), Padded(firmware));
    EXPECT_EQ(r.eepromWrites, 0);
  }
}

TEST_F(Rs232SimTest, LineFaultsAreRidden) {
  // NUL bytes, lines in two pieces, "\r" and "\n" apart, chatter, a prompt, refused
  // blocks and EOTs: the download still succeeds.
  SimFaults f;
  f.nul = true;
  f.splitMs = 150;
  f.noise = true;
  f.nakBlock = 2;
  f.nakTimes = 11;
  f.eotNak = 2;
  const SimReport r = Run(kJobFirmware | kJobEeprom, f);
  EXPECT_EQ(rig.stages.Get(2), StageDownloaded);
  EXPECT_TRUE(r.violations.empty());
  EXPECT_EQ(Bytes(r.firmware), Padded(firmware));
  EXPECT_EQ(r.eepromWrites, 1);
}

TEST_F(Rs232SimTest, DeviceFaultsFailThePort) {
  {
    SimFaults f;
    f.silent = true;
    Run(kJobEeprom, f);
    EXPECT_EQ(rig.stages.Get(2), StageFailed);
    EXPECT_EQ(status.back(), "COM3: no response");
  }
  {
    // A block refused twelve times in every transfer: each failure is shown, the
    // worker goes back to the handshake, and the port fails in the end.
    SimFaults f;
    f.nakBlock = 1;
    f.nakTimes = 12;
    const SimReport r = Run(kJobEeprom, f, 4);
    EXPECT_TRUE(Shown("COM3: Download EEPROM failed: -4"));
    EXPECT_EQ(rig.stages.Get(4), StageFailed);
    EXPECT_EQ(r.eepromWrites, 0);
  }
  {
    SimFaults f;
    f.noGlm = true;
    Run(kJobEeprom, f, 5);
    EXPECT_EQ(rig.stages.Get(5), StageFailed);
    EXPECT_EQ(status.back(), "COM3: timeout: 3");
  }
}

}  // namespace
