// Port names and the path helpers on Windows: COMn is the system's \\.\COMn, paths are
// UTF-8 and joined with a backslash.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Paths.h"
#include "platform/PortMap.h"

namespace {

TEST(PortMapTest, ComPortsAreTheSystemsDevices) {
  const PortMap map("C:\\station");
  EXPECT_EQ("COM1", PortMap::PortName(1));
  EXPECT_EQ("\\\\.\\COM1", map.DevicePath(1));
  EXPECT_EQ("\\\\.\\COM12", map.DevicePath(12));  // the same form from COM10 on
  EXPECT_EQ("\\\\.\\COM256", map.DevicePath(256));
  EXPECT_EQ("C:\\station", map.DataDir());
}

TEST(PathsTest, JoinsWithABackslashAndTestsUtf8Paths) {
  EXPECT_EQ("a\\b.txt", JoinPath("a", "b.txt"));
  EXPECT_EQ("a\\b.txt", JoinPath("a\\", "b.txt"));
  EXPECT_EQ("a/b.txt", JoinPath("a/", "\\b.txt"));
  EXPECT_EQ("C:\\b.txt", JoinPath("C:\\", "b.txt"));
  EXPECT_EQ("b.txt", JoinPath("", "b.txt"));

  namespace fs = std::filesystem;
  // A directory and a file whose names are not ASCII reach the wide calls intact.
  const fs::path dir = fs::temp_directory_path() / fs::u8path(u8"pt_paths_\u00e9\u4e2d");
  fs::remove_all(dir);
  ASSERT_TRUE(fs::create_directory(dir));
  const std::string dirUtf8 = reinterpret_cast<const char*>(dir.u8string().c_str());
  const std::string file = JoinPath(dirUtf8, "storedCfg.txt");
  std::ofstream(fs::u8path(file)) << "x";

  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FileExists(dirUtf8));
  EXPECT_FALSE(FileExists(JoinPath(dirUtf8, "missing.txt")));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists("\xff\xfe bad utf-8"));
  EXPECT_TRUE(DirectoryExists(dirUtf8));
  EXPECT_TRUE(DirectoryExists(dirUtf8 + "\\"));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(DirectoryExists(""));
  fs::remove_all(dir);
}

TEST(PathsTest, ExecutableDirHoldsTheRunningProgram) {
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_TRUE(DirectoryExists(dir));
  wchar_t self[4096] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, 4095), 0u);
  const std::filesystem::path exe(self);
  EXPECT_TRUE(
      FileExists(JoinPath(dir, reinterpret_cast<const char*>(exe.filename().u8string().c_str()))));
  EXPECT_NE('\\', dir.back());
}

}  // namespace
