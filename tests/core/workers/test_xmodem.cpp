// The XMODEM-1K sender against a scripted receiver on a fake line, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "test_xmodem_rig.h"
#include "workers/ConsolePort.h"
#include "workers/Xmodem.h"

using dltest::Pattern;
using dltest::Receiver;

namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

class XmodemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line = rig.Line(1);
    ASSERT_EQ(console.OpenConsolePort(115200), 0);
  }

  // Sends the file holding `content` (written as image.bin).
  int Send(const std::string& content, XmodemMode mode = XmodemMode::Firmware) {
    dltest::WriteFile(rig.Path("image.bin"), content);
    return SendPath(rig.Path("image.bin"), mode);
  }
  // The image is read as a run's set-up reads it.
  int SendPath(const std::string& path, XmodemMode mode = XmodemMode::Firmware) {
    const RunImage image = ReadRunImage(
        path, mode == XmodemMode::Eeprom ? kMaxEepromImageSize : kMaxFirmwareImageSize);
    start = rig.clock.TickMs();
    const int r = XmodemSend(
        console, mode, image, mac, [this] { return stopAfter-- == 0; }, nullptr, pacing);
    elapsed = rig.clock.TickMs() - start;
    return r;
  }
  // Drops whatever is left on the line from an earlier transfer.
  void Reset() {
    console.port()->Purge();
    line->DeviceTakeReceived();
  }
  std::vector<std::string> Status() const { return rig.board.PortStatusHistory(2); }

  dltest::Rig rig;
  ConsolePort console{rig.station, 1, 2};
  std::shared_ptr<FakeLine> line;
  uint8_t mac[6] = {0x02, 0x5C, 0x3A, 0xFF, 0xFF, 0xFD};
  long stopAfter = -1;  // the terminate request turns true after this many checks
  XmodemPacing pacing;
  uint32_t start = 0, elapsed = 0;
};

TEST(Crc16XmodemTest, CheckValueAndEmpty) {
  const std::string check = "123456789";
  EXPECT_EQ(XmodemCrc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x31C3);
  EXPECT_EQ(XmodemCrc16(nullptr, 0), 0);
}

TEST_F(XmodemTest, EepromImageCarriesTemporaryMacAndFileStaysUnchanged) {
  Receiver rx(line, rig.clock);
  rx.SendStart();
  const std::string image = Pattern(1024);
  ASSERT_EQ(Send(image, XmodemMode::Eeprom), kXmodemOk);

  ASSERT_EQ(rx.packets.size(), 1u);
  const auto& p = rx.packets[0];
  EXPECT_EQ(p.number, 1);
  EXPECT_EQ(p.complement, 0xFE);
  EXPECT_TRUE(p.crcOk) << "the CRC must cover the replaced MAC bytes";
  std::string expected = image;
  const std::string macBytes = "\xFD\xFF\xFF\x3A\x5C\x02";
  expected.replace(6, 6, macBytes);
  EXPECT_EQ(p.data, expected);
  EXPECT_EQ(rx.eotTimes.size(), 1u);
  EXPECT_TRUE(rx.stray.empty());
  EXPECT_EQ(dltest::ReadFile(rig.Path("image.bin")), image);

  const auto status = Status();
  ASSERT_GE(status.size(), 2u);
  EXPECT_EQ(status[status.size() - 2], "COM1: Download EEPROM...");
  EXPECT_EQ(status.back(), "COM1: Download EEPROM...1/1");
}

TEST_F(XmodemTest, FirmwareIsSentUnchangedWithZeroPadding) {
  Receiver rx(line, rig.clock);
  rx.SendStart();
  const std::string image = Pattern(1500);
  ASSERT_EQ(Send(image), kXmodemOk);

  ASSERT_EQ(rx.packets.size(), 2u);
  EXPECT_EQ(rx.packets[0].data, image.substr(0, 1024)) << "no MAC in firmware";
  EXPECT_EQ(rx.packets[1].data, image.substr(1024) + std::string(548, '\0'));
  EXPECT_EQ(rx.packets[1].number, 2);
  EXPECT_EQ(rx.packets[1].complement, 0xFD);
  for (const auto& p : rx.packets) EXPECT_TRUE(p.crcOk);
  const auto status = Status();
  ASSERT_GE(status.size(), 3u);
  EXPECT_EQ(status[1], "COM1: Download Firmware...") << "after the port's init text";
  EXPECT_EQ(status.back(), "COM1: Download Firmware...2/2");
  // One write per packet and the EOT, nothing else.
  const auto writes = line->HostWriteLog();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[2], "\x04");
}

// Images the job does not accept are refused before anything is sent: the file may
// have changed since the job was set up.
TEST_F(XmodemTest, ImagesThatCannotBeRightAreNotSent) {
  Receiver rx(line, rig.clock);
  rx.SendStart();
  EXPECT_EQ(Send(""), kXmodemBadImage);
  EXPECT_EQ(Send("", XmodemMode::Eeprom), kXmodemBadImage);
  EXPECT_EQ(Send(Pattern(1153), XmodemMode::Eeprom), kXmodemBadImage);
  EXPECT_TRUE(rx.packets.empty());
  EXPECT_TRUE(rx.eotTimes.empty());
  // The editor's rule: up to 1152 bytes are an EEPROM image.
  ASSERT_EQ(Send(Pattern(1152), XmodemMode::Eeprom), kXmodemOk);
  EXPECT_EQ(rx.packets.size(), 2u);
}

// The sender reads no file: the image rewritten in place half-way, the device still
// gets exactly the image as the run's set-up read it.
TEST_F(XmodemTest, ImageChangedDuringTheTransferIsSentAsRead) {
  Receiver rx(line, rig.clock);
  const std::string image = Pattern(40 * 1024);
  rx.packetReply = [&](size_t k, const Receiver::Packet&) {
    if (k == 10) dltest::WriteFile(rig.Path("image.bin"), Pattern(20 * 1024, 9));
    return uint8_t{kAck};
  };
  rx.SendStart();
  ASSERT_EQ(Send(image), kXmodemOk);
  EXPECT_EQ(rx.Received(), image);
  EXPECT_EQ(Status().back(), "COM1: Download Firmware...40/40");
}

TEST_F(XmodemTest, BlockNumberWrapsAt256) {
  Receiver rx(line, rig.clock);
  rx.SendStart();
  const std::string image = Pattern(257 * 1024 - 10);
  ASSERT_EQ(Send(image), kXmodemOk);
  ASSERT_EQ(rx.packets.size(), 257u);
  EXPECT_EQ(rx.packets[254].number, 255);
  EXPECT_EQ(rx.packets[254].complement, 0x00);
  EXPECT_EQ(rx.packets[255].number, 0);
  EXPECT_EQ(rx.packets[255].complement, 0xFF);
  EXPECT_EQ(rx.packets[256].number, 1);
  EXPECT_EQ(rx.Received(), image + std::string(10, '\0'));
  const auto status = Status();
  EXPECT_NE(std::find(status.begin(), status.end(), "COM1: Download Firmware...256/257"),
            status.end());
  // 257 packets, each followed by the 200 ms pause.
  EXPECT_GE(elapsed, 257u * 200u);
}

TEST_F(XmodemTest, StartsOnlyOnCAndIgnoresOtherBytes) {
  Receiver rx(line, rig.clock);
  // A NAK (checksum mode request) and a CAN before the "C" are ignored.
  line->DeviceSend("\x15\x18xyz");
  rig.clock.AddListener([&, sent = false](uint32_t now) mutable {
    if (!sent && now - start >= 5000) {
      sent = true;
      rx.SendStart();
    }
  });
  ASSERT_EQ(Send(Pattern(100)), kXmodemOk);
  ASSERT_EQ(rx.packets.size(), 1u);
  EXPECT_GE(rx.packets[0].at - start, 5000u);
}

TEST_F(XmodemTest, RetransmitsElevenTimesThenGivesUp) {
  {
    // Eleven NAKs and an ACK for each block: the transfer goes through, the NAK
    // count starting again for block 2.
    Receiver rx(line, rig.clock);
    rx.packetReply = [](size_t k, const Receiver::Packet&) { return k % 12 == 11 ? kAck : kNak; };
    rx.SendStart();
    ASSERT_EQ(Send(Pattern(2048)), kXmodemOk);
    ASSERT_EQ(rx.packets.size(), 24u);
    for (size_t k = 0; k < 24; ++k) EXPECT_EQ(rx.packets[k].number, k < 12 ? 1 : 2);
    // The same packet again after the 200 ms pause.
    EXPECT_EQ(rx.packets[1].at - rx.packets[0].at, 200u);
  }
  Reset();
  {
    Receiver rx(line, rig.clock);
    rx.packetReply = [](size_t, const Receiver::Packet&) { return kNak; };
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(2048)), kXmodemTooManyNaks);
    EXPECT_EQ(rx.packets.size(), 12u) << "the first send and 11 retransmissions";
    EXPECT_TRUE(rx.eotTimes.empty());
  }
}

TEST_F(XmodemTest, NoStartRequestOrNoReplyTimesOutAfter20s) {
  {
    Receiver rx(line, rig.clock);
    EXPECT_EQ(Send(Pattern(100)), kXmodemNoReply);
    EXPECT_GT(elapsed, 20000u);
    EXPECT_LE(elapsed, 20400u);
    EXPECT_TRUE(rx.packets.empty());
  }
  {
    // The block was written, the receiver keeps silent; "C" is no reply.
    Receiver rx(line, rig.clock);
    rx.packetReply = [](size_t, const Receiver::Packet&) { return uint8_t{'C'}; };
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(100)), kXmodemNoReply);
    ASSERT_EQ(rx.packets.size(), 1u);
    const uint32_t waited = rig.clock.TickMs() - rx.packets[0].at - 200;
    EXPECT_GT(waited, 20000u);
    EXPECT_LE(waited, 20400u);
  }
}

TEST_F(XmodemTest, PartialWritesContinueFromTheOffsetOrTimeOut) {
  {
    // 100 bytes a write: 11 writes of one packet in 2.2 s.
    line->writeLimit = 100;
    Receiver rx(line, rig.clock);
    rx.SendStart();
    ASSERT_EQ(Send(Pattern(1024)), kXmodemOk);
    ASSERT_EQ(rx.packets.size(), 1u);
    EXPECT_TRUE(rx.packets[0].crcOk);
    EXPECT_EQ(rx.packets[0].data, Pattern(1024));
    const auto status = Status();
    EXPECT_EQ(std::count(status.begin(), status.end(), "COM1: Download Firmware...1/1"), 11);
  }
  {
    // 50 bytes a write would take 4.2 s: the packet is given up after 3 s.
    line->writeLimit = 50;
    Reset();
    Receiver rx(line, rig.clock);
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(1024)), kXmodemWriteTimeout);
    EXPECT_TRUE(rx.packets.empty());
  }
  {
    line->writeLimit = 0;
    line->writeBlocked = true;
    Receiver rx(line, rig.clock);
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(1024)), kXmodemWriteTimeout);
    EXPECT_GT(elapsed, 3000u);
    EXPECT_LE(elapsed, 3800u);
  }
}

TEST_F(XmodemTest, EotIsRepeatedOnNakUntilAckOrThreeSeconds) {
  {
    Receiver rx(line, rig.clock);
    rx.eotReply = [](size_t k) { return k < 2 ? kNak : kAck; };
    rx.SendStart();
    ASSERT_EQ(Send(Pattern(10)), kXmodemOk);
    EXPECT_EQ(rx.eotTimes.size(), 3u);
  }
  {
    // Always NAK: EOT after EOT until 3 s after the end of the file was met.
    Receiver rx(line, rig.clock);
    rx.eotReply = [](size_t) { return kNak; };
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(10)), kXmodemEotTimeout);
    ASSERT_GE(rx.eotTimes.size(), 2u);
    EXPECT_GT(rx.eotTimes.back() - rx.eotTimes.front(), 2800u);
  }
  {
    // No answer at all.
    Receiver rx(line, rig.clock);
    rx.eotReply = [](size_t) { return uint8_t{0}; };
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(10)), kXmodemEotTimeout);
    EXPECT_EQ(rx.eotTimes.size(), 1u);
    const uint32_t waited = rig.clock.TickMs() - rx.eotTimes[0];
    EXPECT_GT(waited, 3000u);
    EXPECT_LE(waited, 3200u);
  }
}

TEST_F(XmodemTest, AckPacedSendsOnTheReplyAndANakBringsThePauseBack) {
  std::vector<int32_t> restored;
  pacing.ackPaced = true;
  pacing.lineBaud = 115200;
  pacing.onPauseRestored = [&](int32_t block) { restored.push_back(block); };
  {
    Receiver rx(line, rig.clock);
    rx.packetReply = [](size_t k, const Receiver::Packet&) { return k == 2 ? kNak : kAck; };
    rx.SendStart();
    const std::string image = Pattern(5 * 1024 - 10);
    ASSERT_EQ(Send(image), kXmodemOk);
    EXPECT_EQ(rx.Received(), image + std::string(10, '\0'));
    ASSERT_EQ(rx.packets.size(), 6u);
    EXPECT_EQ(restored, std::vector<int32_t>{3});
    // A packet's line time at 115200 baud (89 ms), then the reply is taken at once;
    // the refused block goes again at once, and from then on every packet is paused.
    EXPECT_EQ(rx.packets[1].at - rx.packets[0].at, 89u);
    EXPECT_EQ(rx.packets[2].at - rx.packets[1].at, 89u);
    EXPECT_EQ(rx.packets[3].at - rx.packets[2].at, 89u);
    EXPECT_EQ(rx.packets[4].at - rx.packets[3].at, 200u);
    EXPECT_EQ(rx.packets[5].at - rx.packets[4].at, 200u);
  }
  // The limits stay: no reply within 20 s, the EOT refused for 3 s.
  Reset();
  {
    Receiver rx(line, rig.clock);
    rx.packetReply = [](size_t, const Receiver::Packet&) { return uint8_t{0}; };
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(100)), kXmodemNoReply);
    const uint32_t waited = rig.clock.TickMs() - rx.packets.at(0).at;
    EXPECT_GT(waited, 20000u);
    EXPECT_LE(waited, 20100u);
  }
  Reset();
  {
    Receiver rx(line, rig.clock);
    rx.eotReply = [](size_t) { return kNak; };
    rx.SendStart();
    EXPECT_EQ(Send(Pattern(10)), kXmodemEotTimeout);
    EXPECT_GT(rx.eotTimes.back() - rx.eotTimes.front(), 2800u);
  }
  EXPECT_EQ(restored.size(), 1u) << "only a block's NAK brings the pause back";
}

TEST_F(XmodemTest, FileErrorsAndTerminationCloseTheFile) {
  const size_t fds = dltest::OpenFdCount();
  Receiver rx(line, rig.clock);

  EXPECT_EQ(SendPath(rig.Path("missing.bin")), kXmodemOpenFailed);
  EXPECT_EQ(SendPath(""), kXmodemOpenFailed);
  EXPECT_EQ(SendPath(rig.dir), kXmodemOpenFailed) << "a directory is no image";
  EXPECT_EQ(Status().back(), "COM1: Download Firmware...");
  EXPECT_EQ(dltest::OpenFdCount(), fds);

  // A file that opens but cannot be read (its size reads as 0).
  rx.SendStart();
  EXPECT_EQ(SendPath("/proc/self/mem"), kXmodemBadImage);
  EXPECT_EQ(dltest::OpenFdCount(), fds);

  // Termination at the first check, before the second block is read, and between EOTs.
  for (long after : {0L, 4L, 7L}) {
    Reset();
    rx.eotReply = [](size_t) { return kNak; };
    rx.SendStart();
    stopAfter = after;
    EXPECT_EQ(Send(Pattern(10)), kXmodemTerminated) << after;
    EXPECT_EQ(dltest::OpenFdCount(), fds);
    stopAfter = -1;
  }
  EXPECT_TRUE(rx.stray.empty());
}

}  // namespace
