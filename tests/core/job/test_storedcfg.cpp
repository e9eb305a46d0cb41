// storedCfg.txt: reading token pairs, writing the fixed line order, bounded fields
// and a save that never loses the old file.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "job/Logcfg.h"
#include "platform/fake/TempDir.h"

namespace {

#ifdef _WIN32
const char kSep[] = "\\";
#else
const char kSep[] = "/";
#endif

struct CfgFixture : ::testing::Test {
  TempDir dir;
  std::vector<std::string> log;
  StoredConfig cfg{dir.path(), "storedCfg.txt"};
  void SetUp() override {
    cfg.SetMessageSink([this](const std::string& m) { log.push_back(m); });
  }
  int LoadText(const std::string& text) {
    dir.Write("storedCfg.txt", text);
    return cfg.Load();
  }
};

TEST_F(CfgFixture, FilePathIsDirectoryPlusName) {
  EXPECT_EQ(cfg.filePath, dir.File("storedCfg.txt"));
  StoredConfig slash(dir.path() + kSep, "storedCfg.txt");
  EXPECT_EQ(slash.filePath, dir.File("storedCfg.txt"));
  EXPECT_EQ(cfg.consoleBaudIndex, 0);
  EXPECT_FALSE(dir.Exists("storedCfg.txt"));  // nothing read or written at construction
}

TEST_F(CfgFixture, JobWithBothImagesSavesExactlyThreeLines) {
  cfg.eepromPath = "/images/dev.vef";
  cfg.firmwarePath = "/images/dev.vff";
  cfg.consoleBaudIndex = 0;
  ASSERT_EQ(cfg.Save(), 0);
  EXPECT_EQ(dir.Read("storedCfg.txt"),
            "EEPROM: /images/dev.vef\r\nFirmware: /images/dev.vff\r\nConsole: 0\r\n");
  EXPECT_EQ(dir.CountEntries(), 1);  // no temporary file left behind

  StoredConfig again(dir.path(), "storedCfg.txt");
  ASSERT_EQ(again.Load(), 0);
  EXPECT_EQ(again.eepromPath, "/images/dev.vef");
  EXPECT_EQ(again.firmwarePath, "/images/dev.vff");
  EXPECT_EQ(again.consoleBaudIndex, 0);
}

TEST_F(CfgFixture, CarriedKeysComeBackInFixedOrder) {
  ASSERT_EQ(LoadText("Console: 1\nLoader: ldr-2.bin\nServerIP: 10.0.0.9\r\nbogus: x\n"
                     "Number: 0042\nVendor: acme\nFirmware: f.vff\n"),
            0);
  EXPECT_EQ(cfg.vendor, "acme");
  EXPECT_EQ(cfg.number, "0042");
  EXPECT_EQ(cfg.serverIp, "10.0.0.9");
  EXPECT_EQ(cfg.loader, "ldr-2.bin");
  EXPECT_EQ(cfg.eepromPath, "");
  ASSERT_EQ(cfg.Save(), 0);
  EXPECT_EQ(dir.Read("storedCfg.txt"),
            "Vendor: acme\r\nNumber: 0042\r\nServerIP: 10.0.0.9\r\nLoader: ldr-2.bin\r\n"
            "Firmware: f.vff\r\nConsole: 1\r\n");
}

// The fast-download and continuous-production choices are each one extra key/value
// pair just before "Console:", written only when on. A reader that knows only the old
// keys and takes the file as white-space separated pairs, skipping unknown keys, reads
// every old key exactly as from the same job saved without them; the old lines are
// byte for byte the same.
TEST_F(CfgFixture, FastDownloadIsOneExtraPairThatAnOldReaderSkips) {
  auto oldReader = [](const std::string& text) {
    std::map<std::string, std::string> kept;
    std::istringstream in(text);
    std::string key, value;
    while (in >> key) {
      value.clear();
      in >> value;
      for (const char* k :
           {"Vendor:", "Number:", "ServerIP:", "Loader:", "EEPROM:", "Firmware:", "Console:"}) {
        if (key == k) kept[key] = value;
      }
    }
    return kept;
  };
  ASSERT_EQ(LoadText("Vendor: acme\r\nNumber: 7\r\nEEPROM: e.vef\r\nFirmware: f.vff\r\n"
                     "Console: 2\r\n"),
            0);
  EXPECT_FALSE(cfg.fastDownload);
  const std::string without = cfg.Compose();
  cfg.fastDownload = true;
  ASSERT_EQ(cfg.Save(), 0);
  const std::string with = dir.Read("storedCfg.txt");
  EXPECT_EQ(with,
            "Vendor: acme\r\nNumber: 7\r\nEEPROM: e.vef\r\nFirmware: f.vff\r\n"
            "FastDownload: 1\r\nConsole: 2\r\n");
  EXPECT_EQ(oldReader(with), oldReader(without));
  EXPECT_EQ(oldReader(with).size(), 5u);

  StoredConfig again(dir.path(), "storedCfg.txt");
  ASSERT_EQ(again.Load(), 0);
  EXPECT_TRUE(again.fastDownload);
  EXPECT_EQ(again.Compose(), with);
  EXPECT_FALSE(again.continuous);

  again.continuous = true;
  ASSERT_EQ(again.Save(), 0);
  const std::string both = dir.Read("storedCfg.txt");
  EXPECT_EQ(both,
            "Vendor: acme\r\nNumber: 7\r\nEEPROM: e.vef\r\nFirmware: f.vff\r\n"
            "FastDownload: 1\r\nContinuous: 1\r\nConsole: 2\r\n");
  EXPECT_EQ(oldReader(both), oldReader(without));
  ASSERT_EQ(cfg.Load(), 0);
  EXPECT_TRUE(cfg.continuous);
  EXPECT_TRUE(cfg.fastDownload);
  EXPECT_EQ(cfg.Compose(), both);

  // Off, or a file without the lines: nothing of them is written.
  EXPECT_EQ(LoadText("FastDownload: 0\r\nContinuous: 0\r\nConsole: 1\r\n"), 0);
  EXPECT_FALSE(cfg.fastDownload);
  EXPECT_FALSE(cfg.continuous);
  EXPECT_EQ(cfg.Compose(), "Console: 1\r\n");
  EXPECT_EQ(LoadText("Continuous: 1\r\nEEPROM: e.vef\r\n"), 0);  // any place in the file
  EXPECT_TRUE(cfg.continuous);
  EXPECT_EQ(cfg.Compose(), "EEPROM: e.vef\r\nContinuous: 1\r\nConsole: 0\r\n");
  cfg.continuous = false;
  EXPECT_EQ(cfg.Compose(), "EEPROM: e.vef\r\nConsole: 0\r\n");

  // The unit identity choices: three more pairs before "Console:", skipped alike.
  cfg.scanSerial = true;
  cfg.serialPattern = "^SN[0-9]{6}$";
  cfg.labelTemplate = "/labels/unit.lbl";
  ASSERT_EQ(cfg.Save(), 0);
  const std::string identity = dir.Read("storedCfg.txt");
  EXPECT_EQ(identity,
            "EEPROM: e.vef\r\nScanSerial: 1\r\nSerialPattern: ^SN[0-9]{6}$\r\n"
            "LabelTemplate: /labels/unit.lbl\r\nConsole: 0\r\n");
  EXPECT_EQ(oldReader(identity), oldReader("EEPROM: e.vef\r\nConsole: 0\r\n"));
  StoredConfig third(dir.path(), "storedCfg.txt");
  ASSERT_EQ(third.Load(), 0);
  EXPECT_TRUE(third.scanSerial);
  EXPECT_EQ(third.serialPattern, "^SN[0-9]{6}$");
  EXPECT_EQ(third.labelTemplate, "/labels/unit.lbl");
  EXPECT_EQ(third.Compose(), identity);
  // A value that would not read back as itself is not written at all: a blank would
  // cut it and shift the pairs after it, a cut pattern would be another pattern.
  third.serialPattern = "SN [0-9]+";
  third.labelTemplate = "/my labels/unit.lbl";
  EXPECT_EQ(third.Compose(), "EEPROM: e.vef\r\nScanSerial: 1\r\nConsole: 0\r\n");
  third.serialPattern = std::string(StoredConfig::kLongField + 1, 'A');
  EXPECT_EQ(third.Compose(), "EEPROM: e.vef\r\nScanSerial: 1\r\nConsole: 0\r\n");
  // A pattern in the file longer than the dialog takes is kept whole for its check.
  EXPECT_EQ(LoadText("SerialPattern: " + std::string(100, 'A') + "\r\n"), 0);
  EXPECT_EQ(cfg.serialPattern.size(), 100u);
  EXPECT_FALSE(cfg.scanSerial);
  EXPECT_EQ(cfg.labelTemplate, "");
}

TEST_F(CfgFixture, ConsoleValues) {
  ASSERT_EQ(LoadText("Console: 2\r\n"), 0);
  EXPECT_EQ(cfg.eepromPath, "");
  EXPECT_EQ(cfg.firmwarePath, "");
  EXPECT_EQ(cfg.consoleBaudIndex, 2);

  ASSERT_EQ(LoadText("Console: 7"), 0);  // no range check, no final line end
  EXPECT_EQ(cfg.consoleBaudIndex, 7);
  ASSERT_EQ(LoadText("Console: -1\r\n"), 0);
  EXPECT_EQ(cfg.consoleBaudIndex, -1);
  ASSERT_EQ(LoadText("Console: fast\r\n"), 0);
  EXPECT_EQ(cfg.consoleBaudIndex, 0);
  ASSERT_EQ(LoadText("Console: 99999999999999999999999\r\n"), 0);  // saturates, no overflow
  EXPECT_EQ(cfg.consoleBaudIndex, 2147483647);
  ASSERT_EQ(LoadText("Console: 2\r\nConsole: 1\r\n"), 0);  // the later value wins
  EXPECT_EQ(cfg.consoleBaudIndex, 1);
  ASSERT_EQ(LoadText("console: 2\r\n"), 0);  // keys are case-sensitive
  EXPECT_EQ(cfg.consoleBaudIndex, 0);
}

// A "Number:" value that is not a positive number fails the load, but nothing of the
// file is lost: the keys after it are read, and the next save writes them all back.
TEST_F(CfgFixture, BadNumberFailsTheLoadButKeepsTheFile) {
  for (const char* bad : {"0", "word", "-5", "+0"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(LoadText(std::string("EEPROM: a.vef\r\nNumber: ") + bad +
                       "\r\nServerIP: 10.0.0.9\r\nLoader: ldr.bin\r\nFirmware: b.vff\r\n"),
              -1);
    EXPECT_EQ(cfg.number, bad);
    EXPECT_EQ(cfg.serverIp, "10.0.0.9");
    EXPECT_EQ(cfg.loader, "ldr.bin");
    EXPECT_EQ(cfg.firmwarePath, "b.vff");
    ASSERT_EQ(cfg.Save(), 0);
    EXPECT_EQ(dir.Read("storedCfg.txt"), std::string("Number: ") + bad +
                                             "\r\nServerIP: 10.0.0.9\r\nLoader: ldr.bin\r\n"
                                             "EEPROM: a.vef\r\nFirmware: b.vff\r\nConsole: 0\r\n");
  }
  EXPECT_EQ(LoadText("Number: 12abc\r\n"), 0);  // digits up to the first non-digit
  EXPECT_EQ(cfg.number, "12abc");
  // A long value is judged as it is kept: 40 zeros and a 7 keep only zeros.
  EXPECT_EQ(LoadText("Number: " + std::string(40, '0') + "7\r\n"), -1);
  EXPECT_EQ(cfg.number, std::string(31, '0'));
}

TEST_F(CfgFixture, UnknownKeyIsSkippedWithItsValue) {
  ASSERT_EQ(LoadText("Colour: blue\r\nEEPROM: e.vef\r\nConsole: 2\r\n"), 0);
  EXPECT_EQ(cfg.eepromPath, "e.vef");
  EXPECT_EQ(cfg.consoleBaudIndex, 2);
}

TEST_F(CfgFixture, PathWithBlankIsCutAndShiftsThePairs) {
  ASSERT_EQ(LoadText("EEPROM: /my dir/a.vef\r\nFirmware: /x.vff\r\nConsole: 1\r\n"), 0);
  // "/my" is the value; "dir/a.vef" pairs with "Firmware:", "/x.vff" with "Console:",
  // and "1" with nothing.
  EXPECT_EQ(cfg.eepromPath, "/my");
  EXPECT_EQ(cfg.firmwarePath, "");
  EXPECT_EQ(cfg.consoleBaudIndex, 0);
}

TEST_F(CfgFixture, EmptyFileAndTrailingKeyWithoutValue) {
  cfg.eepromPath = "old.vef";
  cfg.consoleBaudIndex = 2;
  ASSERT_EQ(LoadText(""), 0);
  EXPECT_EQ(cfg.eepromPath, "");
  EXPECT_EQ(cfg.consoleBaudIndex, 0);

  ASSERT_EQ(LoadText("Console: 2\r\nEEPROM:"), 0);
  EXPECT_EQ(cfg.eepromPath, "");
  EXPECT_EQ(cfg.consoleBaudIndex, 2);
  ASSERT_EQ(LoadText("Console: 2\r\nConsole:\r\n"), 0);
  EXPECT_EQ(cfg.consoleBaudIndex, 0);
  EXPECT_EQ(LoadText("EEPROM: e.vef\r\nNumber:"), -1);
  EXPECT_TRUE(log.empty());
}

TEST_F(CfgFixture, MissingFileReportsAndKeepsTheObject) {
  cfg.eepromPath = "keep.vef";
  cfg.consoleBaudIndex = 1;
  EXPECT_EQ(cfg.Load(), -1);
  ASSERT_EQ(log, std::vector<std::string>{"fopen failed"});
  EXPECT_EQ(cfg.eepromPath, "keep.vef");
  EXPECT_EQ(cfg.consoleBaudIndex, 1);

  // A directory or a pipe in its place cannot be read as the file either (and the
  // pipe does not block the load).
  const auto asPath = std::filesystem::u8path(dir.File("storedCfg.txt"));
  ASSERT_TRUE(std::filesystem::create_directory(asPath));
  EXPECT_EQ(cfg.Load(), -1);
  std::filesystem::remove(asPath);
#ifndef _WIN32
  ASSERT_EQ(mkfifo(dir.File("storedCfg.txt").c_str(), 0644), 0);
  EXPECT_EQ(cfg.Load(), -1);
  EXPECT_EQ(log.size(), 3u);
#endif
  EXPECT_EQ(cfg.eepromPath, "keep.vef");
}

TEST_F(CfgFixture, OverlongTokensAreCutAndNeverSpill) {
  const std::string longKey(100, 'K');
  const std::string longPath = "/" + std::string(299, 'p');
  const std::string longVendor(40, 'v');
  ASSERT_EQ(LoadText(longKey + ": x\r\nEEPROM: " + longPath + "\r\nVendor: " + longVendor +
                     "\r\nFirmware: f.vff\r\nConsole: 2\r\n"),
            0);
  // The overlong key and its value are skipped as one pair; the overlong path is
  // consumed whole, so its tail is not read as the next key.
  EXPECT_EQ(cfg.eepromPath, longPath.substr(0, 255));
  EXPECT_EQ(cfg.vendor, longVendor.substr(0, 31));
  EXPECT_EQ(cfg.firmwarePath, "f.vff");
  EXPECT_EQ(cfg.consoleBaudIndex, 2);

  // A key that matches only in its first 63 characters is still not a known key.
  ASSERT_EQ(LoadText("EEPROM:" + std::string(80, 'x') + " a.vef\r\n"), 0);
  EXPECT_EQ(cfg.eepromPath, "");

  // Fields set in memory beyond their limit are cut the same way on saving.
  cfg.vendor = std::string(50, 'V');
  cfg.eepromPath = std::string(400, 'e');
  cfg.consoleBaudIndex = 0;
  ASSERT_EQ(cfg.Save(), 0);
  EXPECT_EQ(dir.Read("storedCfg.txt"), "Vendor: " + std::string(31, 'V') + "\r\nEEPROM: " +
                                           std::string(255, 'e') + "\r\nConsole: 0\r\n");
}

TEST_F(CfgFixture, ZeroByteEndsAFieldLikeAText) {
  ASSERT_EQ(LoadText(std::string("EEPROM: a.vef\0junk\r\nConsole: 1\r\n", 30)), 0);
  EXPECT_EQ(cfg.eepromPath, "a.vef");
  EXPECT_EQ(cfg.consoleBaudIndex, 1);
}

TEST_F(CfgFixture, EmptyFieldsWriteNoLine) {
  cfg.eepromPath = "only.vef";
  cfg.consoleBaudIndex = -1;
  ASSERT_EQ(cfg.Save(), 0);
  EXPECT_EQ(dir.Read("storedCfg.txt"), "EEPROM: only.vef\r\nConsole: -1\r\n");
  cfg.firmwarePath = "stale.vff";
  ASSERT_EQ(cfg.Load(), 0);
  EXPECT_EQ(cfg.firmwarePath, "");
  EXPECT_EQ(cfg.consoleBaudIndex, -1);
}

TEST_F(CfgFixture, FailedSaveKeepsTheOldFile) {
  dir.Write("storedCfg.txt", "EEPROM: old.vef\r\nConsole: 1\r\n");
  cfg.eepromPath = std::string(200, 'n');
#ifndef _WIN32
  // Let the write fail half-way: files may not grow beyond 20 bytes.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 20;
  auto prev = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int r = cfg.Save();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, prev);
  EXPECT_NE(r, 0);
  EXPECT_EQ(dir.Read("storedCfg.txt"), "EEPROM: old.vef\r\nConsole: 1\r\n");
  EXPECT_EQ(dir.CountEntries(), 1);  // the temporary file is removed
#endif

  StoredConfig nowhere(dir.File("missing-dir"), "storedCfg.txt");
#ifdef _WIN32
  EXPECT_EQ(nowhere.Save(), 3);  // ERROR_PATH_NOT_FOUND
#else
  EXPECT_EQ(nowhere.Save(), ENOENT);
#endif
}

// storedCfg.txt as a link: the file it names is replaced, in that file's directory,
// with its permissions; the link stays. A link to something that is not a regular
// file is refused and left alone.
#ifndef _WIN32
TEST_F(CfgFixture, SaveThroughALinkWritesItsTarget) {
  mkdir(dir.File("real").c_str(), 0755);
  dir.Write("real/cfg.txt", "Console: 1\r\n");
  chmod(dir.File("real/cfg.txt").c_str(), 0600);
  ASSERT_EQ(symlink("real/cfg.txt", dir.File("storedCfg.txt").c_str()), 0);
  cfg.consoleBaudIndex = 2;
  ASSERT_EQ(cfg.Save(), 0);
  struct stat st {};
  ASSERT_EQ(lstat(dir.File("storedCfg.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(dir.Read("real/cfg.txt"), "Console: 2\r\n");
  ASSERT_EQ(stat(dir.File("real/cfg.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  unlink(dir.File("storedCfg.txt").c_str());
  ASSERT_EQ(symlink("/dev/zero", dir.File("storedCfg.txt").c_str()), 0);
  EXPECT_EQ(cfg.Save(), EINVAL);
  ASSERT_EQ(lstat(dir.File("storedCfg.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(dir.CountEntries(), 2);  // the link and real/: no temporary file left
}
#endif

}  // namespace
