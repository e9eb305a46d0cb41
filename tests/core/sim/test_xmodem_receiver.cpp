// The loader's XMODEM-1K receiver: a correct sender gets every block taken; each kind
// of broken packet is refused with NAK and recorded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/model/XmodemReceiver.h"

namespace {
constexpr char kAck = 0x06, kNak = 0x15;

std::vector<uint8_t> Image(size_t len, uint8_t seed) {
  std::vector<uint8_t> v(len);
  for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

// One block as a correct sender frames it (short data padded with 0x00).
std::string Packet(int index, const std::vector<uint8_t>& image) {
  std::string p(1029, '\0');
  p[0] = 0x02;
  p[1] = static_cast<char>(index & 0xff);
  p[2] = static_cast<char>(255 - (index & 0xff));
  const size_t from = static_cast<size_t>(index - 1) * 1024;
  for (size_t i = 0; i < 1024 && from + i < image.size(); ++i)
    p[3 + i] = static_cast<char>(image[from + i]);
  const uint16_t crc = Crc16Xmodem(reinterpret_cast<const uint8_t*>(p.data()) + 3, 1024);
  p[1027] = static_cast<char>(crc >> 8);
  p[1028] = static_cast<char>(crc & 0xff);
  return p;
}

std::string Feed(XmodemReceiver& rx, const std::string& bytes) {
  std::string reply;
  rx.Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &reply);
  return reply;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> v) {
  v.resize((v.size() + 1023) / 1024 * 1024, 0);
  return v;
}
}  // namespace

TEST(Crc16Xmodem, KnownCheckValue) {
  const std::string s = "123456789";
  EXPECT_EQ(0x31C3, Crc16Xmodem(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

TEST(XmodemReceiver, TakesACorrectSenderAcrossTheBlockNumberWrap) {
  // 257 blocks: block 256 goes as number 0 with complement 0xFF; the last one is short.
  const auto image = Image(256 * 1024 + 476, 3);
  XmodemReceiver rx;
  for (int i = 1; i <= 257; ++i) {
    ASSERT_EQ(std::string(1, kAck), Feed(rx, Packet(i, image))) << "block " << i;
  }
  EXPECT_EQ(std::string(1, kAck), Feed(rx, "\x04"));
  EXPECT_TRUE(rx.Done());
  EXPECT_EQ(257, rx.BlocksAccepted());
  EXPECT_EQ(Padded(image), rx.Data());
  EXPECT_TRUE(rx.Violations().empty());
}

TEST(XmodemReceiver, AssemblesBlocksFedOneByteAtATime) {
  const auto image = Image(2048, 9);
  XmodemReceiver rx;
  std::string all = Packet(1, image) + Packet(2, image) + "\x04";
  std::string replies;
  for (char c : all) replies += Feed(rx, std::string(1, c));
  EXPECT_EQ(std::string(3, kAck), replies);
  EXPECT_EQ(image, rx.Data());
}

TEST(XmodemReceiver, RefusesEachKindOfBrokenPacket) {
  const auto image = Image(3 * 1024, 1);
  struct Case {
    const char* what;
    void (*spoil)(std::string&);
    const char* violation;
  };
  const Case cases[] = {
      {"wrong CRC", [](std::string& p) { p[1028] = static_cast<char>(p[1028] ^ 1); }, "CRC"},
      {"data changed after the CRC",
       [](std::string& p) { p[500] = static_cast<char>(p[500] ^ 0x80); }, "CRC"},
      {"bad complement", [](std::string& p) { p[2] = 0; }, "complement"},
      {"block number skipped",
       [](std::string& p) {
         p[1] = 3;
         p[2] = static_cast<char>(252);
       },
       "out of sequence"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XmodemReceiver rx;
    ASSERT_EQ(std::string(1, kAck), Feed(rx, Packet(1, image)));
    std::string bad = Packet(2, image);
    c.spoil(bad);
    EXPECT_EQ(std::string(1, kNak), Feed(rx, bad));
    ASSERT_EQ(1u, rx.Violations().size());
    EXPECT_NE(std::string::npos, rx.Violations()[0].find(c.violation)) << rx.Violations()[0];
    // The good block sent again is taken; nothing of the bad one was kept.
    EXPECT_EQ(std::string(1, kAck), Feed(rx, Packet(2, image)));
    EXPECT_EQ(std::string(1, kAck), Feed(rx, Packet(3, image)));
    EXPECT_EQ(std::string(1, kAck), Feed(rx, "\x04"));
    EXPECT_EQ(image, rx.Data());
  }
}

TEST(XmodemReceiver, RepeatedBlockIsAcknowledgedButKeptOnce) {
  const auto image = Image(2048, 5);
  XmodemReceiver rx;
  Feed(rx, Packet(1, image));
  EXPECT_EQ(std::string(1, kAck), Feed(rx, Packet(1, image)));
  Feed(rx, Packet(2, image));
  Feed(rx, "\x04");
  EXPECT_EQ(image, rx.Data());
  EXPECT_TRUE(rx.Violations().empty());
}

TEST(XmodemReceiver, IncompleteBlockOrStrayBytesAreRefusedOnceTheLineIsQuiet) {
  const auto image = Image(1024, 2);
  XmodemReceiver rx;
  std::string p = Packet(1, image);
  EXPECT_EQ("", Feed(rx, p.substr(0, 700)));
  std::string reply;
  EXPECT_TRUE(rx.Resync(&reply));
  EXPECT_EQ(std::string(1, kNak), reply);
  // A 128-byte SOH block is not something this loader takes.
  EXPECT_EQ("", Feed(rx, std::string("\x01\x01\xfe") + std::string(130, 'x')));
  reply.clear();
  EXPECT_TRUE(rx.Resync(&reply));
  EXPECT_EQ(std::string(1, kNak), reply);
  EXPECT_EQ(std::string(1, kAck), Feed(rx, p));
  EXPECT_FALSE(rx.Resync(&reply));  // nothing pending
  EXPECT_EQ(2u, rx.Violations().size());
  EXPECT_EQ(image, rx.Data());
}

TEST(XmodemReceiver, FaultsRefuseAGoodBlockAndTheEotAsOftenAsTold) {
  const auto image = Image(3 * 1024, 4);
  XmodemReceiver::Options o;
  o.nakBlock = 2;
  o.nakTimes = 3;
  o.eotNak = 2;
  XmodemReceiver rx(o);
  EXPECT_EQ(std::string(1, kAck), Feed(rx, Packet(1, image)));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(std::string(1, kNak), Feed(rx, Packet(2, image)));
  EXPECT_EQ(std::string(1, kAck), Feed(rx, Packet(2, image)));
  EXPECT_EQ(std::string(1, kAck), Feed(rx, Packet(3, image)));
  EXPECT_EQ(std::string(1, kNak), Feed(rx, "\x04"));
  EXPECT_EQ(std::string(1, kNak), Feed(rx, "\x04"));
  EXPECT_EQ(std::string(1, kAck), Feed(rx, "\x04"));
  EXPECT_EQ(image, rx.Data());
  EXPECT_EQ(5, rx.NaksSent());
  EXPECT_TRUE(rx.Violations().empty());
}
