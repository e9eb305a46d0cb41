#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/fake/TestBoard.h"
#include "eeprom/EepromChecks.h"
#include "eeprom/EepromImage.h"
#include "platform/fake/TempDir.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

// The non-zero bytes of one record of the built-in default image.
std::map<size_t, uint8_t> DefaultRecordBytes() {
  std::map<size_t, uint8_t> m;
  auto put = [&m](size_t off, std::vector<uint8_t> bytes) {
    for (size_t i = 0; i < bytes.size(); i++) m[off + i] = bytes[i];
  };
  put(0, {0x21, 0xBC});
  put(4, {0x30});
  put(6, {0xFF, 0xFF, 0xFF, 0x61, 0xA7, 0x02});
  put(12, {0xF2, 0x05, 0x10, 0xE0, 0x1D, 0x19, 0x87});
  put(20, {0xFF, 0xFF, 0xFF, 0xFF, 0x10});
  put(25, {0xA8, 0xC0, 0xA8, 0xC0});
  put(30, {0xFF, 0xFF, 0xFF, 0x04});
  const std::string sx = "SX-4210QB";
  put(128, std::vector<uint8_t>(sx.begin(), sx.end()));
  put(144, {0x23, 0x8C});
  put(162, std::vector<uint8_t>(sx.begin(), sx.end()));
  return m;
}

void ExpectDefaultImage(const uint8_t* image) {
  auto rec = DefaultRecordBytes();
  for (size_t i = 0; i < EepromImage::kFileSize; i++) {
    size_t off = i % 256;
    uint8_t want = (i < 512 && rec.count(off)) ? rec[off] : 0;
    ASSERT_EQ(image[i], want) << "offset " << i;
  }
}

}  // namespace

TEST(EepromImage, BuiltInDefaultImageHoldsExactlyTheTableBytes) {
  RecordingBoxes boxes;
  EepromImage img(boxes);
  img.BuildImage(EepromFields{});
  ExpectDefaultImage(img.buffer().data());
  for (size_t i = EepromImage::kFileSize; i < EepromImage::kBufferSize; i++)
    ASSERT_EQ(img.buffer()[i], 0) << i;

  TempDir dir("eeprom");
  ASSERT_EQ(img.SaveImageFile(dir.File("a.vef"), EepromFields{}), 0);
  auto bytes = ReadFile(dir.File("a.vef"));
  ASSERT_EQ(bytes.size(), 1024u);
  ExpectDefaultImage(bytes.data());
  EXPECT_TRUE(boxes.Boxes().empty());
}

TEST(EepromImage, FieldEncodingsAndByteOrder) {
  RecordingBoxes boxes;
  EepromImage img(boxes);
  EepromFields f;
  ASSERT_TRUE(ParseIpAddress("10.0.0.5", &f.custom.ipAddress));
  ASSERT_TRUE(ParseIpAddress("10.0.0.1", &f.custom.gateway));
  ASSERT_TRUE(ParseIpAddress("255.255.0.0", &f.defaults.netMask));
  f.defaults.gateway = 0xC0A80101;
  f.custom.tcpListenPort = "65535";
  f.defaults.tcpListenPort = "";
  f.custom.ipConfig = 1;
  f.defaults.ipConfig = -1;
  f.custom.pingConfig = true;
  img.BuildImage(f);
  const auto& b = img.buffer();
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 25, b.begin() + 29),
            (std::vector<uint8_t>{0x05, 0x00, 0x00, 0x0A}));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 146, b.begin() + 150),
            (std::vector<uint8_t>{0x0A, 0x00, 0x00, 0x01}));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 285, b.begin() + 289),
            (std::vector<uint8_t>{0x00, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(std::vector<uint8_t>(b.begin() + 402, b.begin() + 406),
            (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x01}));
  EXPECT_EQ(b[144], 0xFF);
  EXPECT_EQ(b[145], 0xFF);
  EXPECT_EQ(b[400], 0x00);
  EXPECT_EQ(b[401], 0x00);
  EXPECT_EQ(b[150], 1);
  EXPECT_EQ(b[406], 0xFF);  // nothing selected
  EXPECT_EQ(b[151], 1);
  EXPECT_EQ(b[407], 0);

  // Decoding gives the values back.
  EepromFields d = img.Decode();
  EXPECT_EQ(FormatIpAddress(d.custom.ipAddress), "10.0.0.5");
  EXPECT_EQ(FormatIpAddress(d.custom.gateway), "10.0.0.1");
  EXPECT_EQ(FormatIpAddress(d.defaults.netMask), "255.255.0.0");
  EXPECT_EQ(FormatIpAddress(d.defaults.gateway), "192.168.1.1");
  EXPECT_EQ(d.custom.tcpListenPort, "65535");
  EXPECT_EQ(d.defaults.tcpListenPort, "0");
  EXPECT_EQ(d.custom.ipConfig, 1);
  EXPECT_EQ(d.defaults.ipConfig, -1);
  EXPECT_TRUE(d.custom.pingConfig);
  EXPECT_FALSE(d.defaults.pingConfig);
}

TEST(EepromImage, PortTextUsesTheEditorsConversion) {
  EXPECT_EQ(TcpPortValue("9100"), 9100);
  EXPECT_EQ(TcpPortValue("x10"), 16);
  EXPECT_EQ(TcpPortValue("$FF"), 255);
  EXPECT_EQ(TcpPortValue(""), 0);
  EXPECT_EQ(TcpPortValue("abc"), 0);
}

TEST(EepromImage, FullWidthTextsHaveNoTerminatorAndModelNameReadsBack14) {
  RecordingBoxes boxes;
  EepromImage img(boxes);
  EepromFields f;
  f.custom.deviceName = "ABCDEFGHIJKLMNOP";      // 16
  f.custom.password = "12345678";                // 8
  f.custom.modelName = "MODEL-NAME-16CHR";       // 16
  f.defaults.deviceName = std::string(40, 'Z');  // longer than the field: clipped
  f.defaults.password = std::string(20, 'p');
  f.defaults.modelName = std::string(30, 'm');
  img.BuildImage(f);
  const auto& b = img.buffer();
  EXPECT_EQ(std::string(b.begin() + 128, b.begin() + 144), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(b[144], 0x23);  // port high byte follows directly
  EXPECT_EQ(std::string(b.begin() + 154, b.begin() + 162), "12345678");
  EXPECT_EQ(std::string(b.begin() + 162, b.begin() + 178), "MODEL-NAME-16CHR");
  EXPECT_EQ(b[178], 0);
  EXPECT_EQ(b[256 + 178], 0);
  EXPECT_EQ(b[256 + 179], 0);

  EepromFields d = img.Decode();
  EXPECT_EQ(d.custom.deviceName, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(d.custom.password, "12345678");
  EXPECT_EQ(d.custom.modelName, "MODEL-NAME-16C");
  EXPECT_EQ(d.defaults.deviceName, std::string(16, 'Z'));
  EXPECT_EQ(d.defaults.password, std::string(8, 'p'));
  EXPECT_EQ(ModelNameCutNote(img.ModelNameCut(true), img.ModelNameCut(false)),
            "Model Name of Custom settings and Default settings cut to 14 characters");
  f.custom.modelName = std::string(14, 'M');  // exactly what is read: nothing cut
  img.BuildImage(f);
  EXPECT_FALSE(img.ModelNameCut(true));

  // Texts given as UTF-8 become the image's single-byte characters.
  std::string bytes, refused;
  EXPECT_TRUE(ImageTextFromUtf8("M\xC3\xBCller", &bytes, &refused));
  EXPECT_EQ(bytes, "M\xFCller");
  EXPECT_EQ(ImageTextToUtf8(bytes), "M\xC3\xBCller");
  EXPECT_FALSE(ImageTextFromUtf8("1\xE2\x82\xAC", &bytes, &refused));  // the euro sign
  EXPECT_EQ(refused, "\xE2\x82\xAC");
  for (const char* bad : {"\xFC", "\xC3", "\xC0\xBC", "\xED\xA0\x80"}) {
    EXPECT_FALSE(ImageTextFromUtf8(bad, &bytes, &refused)) << bad;
    EXPECT_EQ(refused, "");
  }
}

TEST(EepromImage, LoadAndSaveResetsTemplateAndUnknownBytes) {
  TempDir dir("eeprom");
  std::vector<uint8_t> junk(1100);
  for (size_t i = 0; i < junk.size(); i++) junk[i] = static_cast<uint8_t>(0x5A ^ (i * 7));
  // Recognisable fields so decoding has something sane.
  const std::string name = "DEV";
  for (size_t r : {0u, 256u}) {
    std::copy(name.begin(), name.end(), junk.begin() + r + 128);
    junk[r + 131] = 0;
    junk[r + 150] = 7;  // neither Static nor DHCP
  }
  WriteFile(dir.File("in.vef"), junk);
  RecordingBoxes boxes;
  EepromImage img(boxes);
  ASSERT_EQ(img.LoadImageFile(dir.File("in.vef")), 0);
  EepromFields f = img.Decode();
  EXPECT_EQ(f.custom.deviceName, "DEV");
  EXPECT_EQ(f.custom.ipConfig, -1);
  ASSERT_EQ(img.SaveImageFile(dir.File("out.vef"), f), 0);
  auto out = ReadFile(dir.File("out.vef"));
  ASSERT_EQ(out.size(), 1024u);
  auto rec = DefaultRecordBytes();
  // Every byte outside the edited fields is template or zero.
  auto isField = [](size_t off) {
    return (off >= 25 && off < 33) || (off >= 128 && off < 162 + 17);
  };
  for (size_t i = 0; i < 1024; i++) {
    size_t off = i % 256;
    if (i < 512 && isField(off)) continue;
    uint8_t want = (i < 512 && rec.count(off)) ? rec[off] : 0;
    ASSERT_EQ(out[i], want) << "offset " << i;
  }
  EXPECT_EQ(out[150], 0xFF);
  EXPECT_EQ(out[406], 0xFF);
  EXPECT_EQ(std::string(out.begin() + 128, out.begin() + 132), std::string("DEV\0", 4));
}

TEST(EepromImage, LoadSizeRules) {
  TempDir dir("eeprom");
  RecordingBoxes boxes;
  EepromImage img(boxes);

  WriteFile(dir.File("1152.vef"), std::vector<uint8_t>(1152, 0x11));
  ASSERT_EQ(img.LoadImageFile(dir.File("1152.vef")), 0);
  EXPECT_EQ(img.buffer()[1151], 0x11);
  EXPECT_EQ(img.buffer()[1152], 0x00);
  EXPECT_TRUE(boxes.Boxes().empty());

  // Refused files leave the buffer as it was.
  WriteFile(dir.File("1153.vef"), std::vector<uint8_t>(1153, 0x22));
  EXPECT_EQ(img.LoadImageFile(dir.File("1153.vef")), -2);
  EXPECT_EQ(img.buffer()[0], 0x11);
  ASSERT_EQ(boxes.Boxes().size(), 1u);
  EXPECT_EQ(boxes.Boxes()[0].caption, "Error");
  EXPECT_EQ(boxes.Boxes()[0].text, "File can't be recognized.");

  boxes.Clear();
  EXPECT_EQ(img.LoadImageFile(dir.File("missing.vef")), -1);
  fs::create_directory(dir.File("dir.vef"));
  EXPECT_EQ(img.LoadImageFile(dir.File("dir.vef")), -1) << "a directory cannot be read either";
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(img.buffer()[0], 0x11);

  WriteFile(dir.File("empty.vef"), {});
  EXPECT_EQ(img.LoadImageFile(dir.File("empty.vef")), -4);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"File can't be recognized."});
  for (uint8_t b : img.buffer()) ASSERT_EQ(b, 0);

  // A 1-byte file: everything but its first byte reads as zero.
  boxes.Clear();
  WriteFile(dir.File("one.vef"), {0x41});
  ASSERT_EQ(img.LoadImageFile(dir.File("one.vef")), 0);
  EepromFields f = img.Decode();
  EXPECT_EQ(f.custom.deviceName, "");
  EXPECT_EQ(f.custom.modelName, "");
  EXPECT_EQ(f.custom.ipAddress, 0u);
  EXPECT_EQ(f.custom.netMask, 0u);
  EXPECT_EQ(f.custom.gateway, 0u);
  EXPECT_EQ(f.custom.tcpListenPort, "0");
  EXPECT_EQ(f.custom.ipConfig, 0);
  EXPECT_FALSE(f.custom.pingConfig);
  EXPECT_EQ(img.buffer()[0], 0x41);
  for (size_t i = 1; i < img.buffer().size(); i++) ASSERT_EQ(img.buffer()[i], 0);
  EXPECT_TRUE(boxes.Boxes().empty());

  // In-memory loading keeps the same rules.
  std::vector<uint8_t> big(1153, 1);
  EXPECT_EQ(img.LoadImageBytes(big.data(), 1153), -2);
  EXPECT_EQ(img.LoadImageBytes(big.data(), 1152), 0);
  EXPECT_EQ(img.LoadImageBytes(big.data(), 0), -4);
}

TEST(EepromImage, SaveReplacesAndAFailedSaveKeepsTheOldFile) {
  TempDir dir("eeprom");
  RecordingBoxes boxes;
  EepromImage img(boxes);
  std::string target = dir.File("keep.vef");
  WriteFile(target, std::vector<uint8_t>(3000, 0x77));  // longer than an image
#ifndef _WIN32
  ::chmod(target.c_str(), 0600);  // an image holds passwords
#endif
  ASSERT_EQ(img.SaveImageFile(target, EepromFields{}), 0);
  EXPECT_EQ(ReadFile(target).size(), 1024u);
#ifndef _WIN32
  // POSIX permissions (Windows files take the directory's access rights); names up to
  // the POSIX limit.
  EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // A new file edited from it takes its permissions; the temporary name does not
  // depend on the target's, so a name of the longest legal length saves too.
  const std::string longName = dir.File(std::string(251, 'n') + ".vef");
  ASSERT_EQ(img.SaveImageFile(longName, EepromFields{}, kGroupAll, target), 0);
  EXPECT_EQ(fs::status(longName).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  fs::remove(longName);
#endif

  WriteFile(target, std::vector<uint8_t>(1024, 0x33));

  // A directory in the way of the rename: refused, nothing left behind.
  boxes.Clear();
  fs::create_directory(dir.File("dir.vef"));
  EXPECT_EQ(img.SaveImageFile(dir.File("dir.vef"), EepromFields{}), -1);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"create file failed"});
  EXPECT_TRUE(fs::is_directory(dir.File("dir.vef")));

  // No directory at all.
  boxes.Clear();
  EXPECT_EQ(img.SaveImageFile(dir.File("nodir/x.vef"), EepromFields{}), -1);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"create file failed"});

#ifndef _WIN32
  // A write that stops short (the file size limit): the old file stays.
  {
    boxes.Clear();
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 512;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int rc = img.SaveImageFile(target, EepromFields{});
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"write eeprom failed"});
  }
#endif
  // Only the target and the refused directory remain: no temporary files.
  int count = 0;
  for (auto& e : fs::directory_iterator(dir.File(""))) {
    (void)e;
    count++;
  }
  EXPECT_EQ(count, 2);
  EXPECT_EQ(ReadFile(target), std::vector<uint8_t>(1024, 0x33));
}

TEST(EepromChecks, IntegerConversion) {
  long long v = 0;
  struct Case {
    const char* text;
    bool ok;
    long long value;
  } cases[] = {
      {"0", true, 0},
      {"65535", true, 65535},
      {"  42", true, 42},
      {"+7", true, 7},
      {"-1", true, -1},
      {"x10", true, 16},
      {"X10", true, 16},
      {"0x1f", true, 31},
      {"$FF", true, 255},
      {"-$10", true, -16},
      {"2147483647", true, 2147483647LL},
      {"2147483648", false, 0},
      {"-2147483648", true, -2147483648LL},
      {"0xFFFFFFFF", true, 0xFFFFFFFFLL},
      {"0x100000000", false, 0},
      {"-$80000000", true, -2147483648LL},
      {"-Xffffffff", false, 0},  // a negative value still has to fit 32 bits
      {"", false, 0},
      {" ", false, 0},
      {"12 ", false, 0},
      {"1a", false, 0},
      {"x", false, 0},
      {"0x", false, 0},
      {"$", false, 0},
      {"--1", false, 0},
      {"0xG1", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    v = -12345;
    EXPECT_EQ(ConvertInteger(c.text, &v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(EepromChecks, RangeAndHexByteMessages) {
  RecordingBoxes boxes;
  EXPECT_EQ(CheckRange(boxes, "App", "", 65535), 0);
  EXPECT_EQ(CheckRange(boxes, "App", "65535", 65535), 0);
  EXPECT_EQ(CheckRange(boxes, "App", "x10", 65535), 0);
  EXPECT_TRUE(boxes.Boxes().empty());
  EXPECT_EQ(CheckRange(boxes, "App", "70000", 65535), -1);
  EXPECT_EQ(CheckRange(boxes, "App", "1025", 1024), -1);
  EXPECT_EQ(CheckRange(boxes, "App", "-1", 99), -1);
  EXPECT_EQ(CheckRange(boxes, "App", "9a", 65535), -1);
  auto b = boxes.Boxes();
  ASSERT_EQ(b.size(), 4u);
  EXPECT_EQ(b[0].caption, "Error");
  EXPECT_EQ(b[0].text, "0~65535 is valid");
  EXPECT_EQ(b[1].text, "0~1024 is valid");
  EXPECT_EQ(b[2].text, "0~99 is valid");
  EXPECT_EQ(b[3].caption, "App");
  EXPECT_EQ(b[3].icon, BoxIcon::Stop);
  EXPECT_EQ(b[3].text, "'9a' is not a valid integer value.");

  boxes.Clear();
  EXPECT_EQ(CheckHexByte(boxes, "App", "1F"), 0);
  EXPECT_EQ(CheckHexByte(boxes, "App", "ff"), 0);
  EXPECT_EQ(CheckHexByte(boxes, "App", ""), 0);
  EXPECT_EQ(CheckHexByte(boxes, "App", "G1"), -1);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"'0xG1' is not a valid integer value."});
}

TEST(EepromChecks, ValidateFieldsOrder) {
  EepromFields f;
  EXPECT_EQ(ValidateFieldsMessage(f), "");
  f.defaults.modelName = "";
  f.defaults.netMask = 0;
  f.custom.ipAddress = 0x00010203;  // 0.1.2.3
  EXPECT_EQ(ValidateFieldsMessage(f), "Model Name can't be blank");
  f.defaults.deviceName = "";
  EXPECT_EQ(ValidateFieldsMessage(f), "Device Name can't be blank");
  f.defaults.deviceName = "x";
  f.defaults.modelName = "x";
  EXPECT_EQ(ValidateFieldsMessage(f), "invalid IP address");
  EXPECT_EQ(ValidateFieldsMessage(f, kGroupSysInfo | kGroupOperation), "");
  f.custom.ipAddress = 0x0A000000;  // 10.0.0.0 passes
  EXPECT_EQ(ValidateFieldsMessage(f), "invalid netmask");
  f.defaults.netMask = 0xFF000000;
  f.custom.gateway = 0;
  EXPECT_EQ(ValidateFieldsMessage(f), "");
}

TEST(EepromImage, IpAddressText) {
  uint32_t v = 0;
  EXPECT_TRUE(ParseIpAddress("192.168.1.127", &v));
  EXPECT_EQ(v, 0xC0A8017Fu);
  EXPECT_TRUE(ParseIpAddress("10...1", &v));  // blank fields count as 0
  EXPECT_EQ(v, 0x0A000001u);
  for (const char* bad :
       {"256.0.0.0", "1.2.3", "1.2.3.4.5", "1.2.3.4 ", "a.b.c.d", "1234.1.1.1", ""})
    EXPECT_FALSE(ParseIpAddress(bad, &v)) << bad;
  EXPECT_EQ(FormatIpAddress(0xFFFFFF00u), "255.255.255.0");
}
