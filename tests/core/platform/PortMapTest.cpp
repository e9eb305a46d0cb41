// Port names to device paths, and the path helpers the data directory relies on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "PlatformTestUtil.h"
#include "platform/Paths.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"

namespace {

TEST(PortMapTest, ResolvesThroughThePortsDirectory) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_EQ(0, mkdir((dir.path() + "/ports").c_str(), 0755));
  Pty com1, com12;
  ASSERT_TRUE(com1.ok() && com12.ok());
  ASSERT_EQ(0, symlink(com1.slavePath().c_str(), (dir.path() + "/ports/COM1").c_str()));
  ASSERT_EQ(0, symlink(com12.slavePath().c_str(), (dir.path() + "/ports/COM12").c_str()));

  // A trailing slash on the data directory does not double the separator.
  const PortMap map(dir.path() + "/");
  EXPECT_EQ("COM1", PortMap::PortName(1));
  EXPECT_EQ("COM12", PortMap::PortName(12));
  EXPECT_EQ("COM256", PortMap::PortName(256));
  EXPECT_EQ(dir.path() + "/ports/COM1", map.DevicePath(1));
  EXPECT_EQ(dir.path() + "/ports/COM12", map.DevicePath(12));
  EXPECT_EQ(dir.path() + "/ports/COM2", map.DevicePath(2));

  // The links reach the devices; a port without a link is missing, not a fallback device.
  auto port = PosixSerialPorts().Create();
  EXPECT_EQ(0, port->Open(map.DevicePath(12)));
  port->Close();
  EXPECT_EQ(0, port->Open(map.DevicePath(1)));
  port->Close();
  EXPECT_EQ(ENOENT, port->Open(map.DevicePath(2)));
}

TEST(PortMapTest, FallsBackToTheBuiltInSerialPorts) {
  ScratchDir dir;
  const PortMap map(dir.path());
  EXPECT_EQ("/dev/ttyS0", map.DevicePath(1));
  EXPECT_EQ("/dev/ttyS11", map.DevicePath(12));
  EXPECT_EQ("/dev/ttyS255", map.DevicePath(256));
  EXPECT_EQ(dir.path(), map.DataDir());

  // A file named ports is not a port directory.
  std::ofstream(dir.path() + "/ports") << "x";
  EXPECT_EQ("/dev/ttyS2", map.DevicePath(3));
}

TEST(PathsTest, JoinsAndTestsPaths) {
  EXPECT_EQ("a/b.txt", JoinPath("a", "b.txt"));
  EXPECT_EQ("a/b.txt", JoinPath("a/", "b.txt"));
  EXPECT_EQ("a/b.txt", JoinPath("a/", "/b.txt"));
  EXPECT_EQ("/b.txt", JoinPath("/", "b.txt"));
  EXPECT_EQ("b.txt", JoinPath("", "b.txt"));

  ScratchDir dir;
  const std::string file = JoinPath(dir.path(), "storedCfg.txt");
  std::ofstream(file) << "x";
  const std::string fileLink = JoinPath(dir.path(), "link.txt");
  const std::string dirLink = JoinPath(dir.path(), "dirlink");
  ASSERT_EQ(0, symlink(file.c_str(), fileLink.c_str()));
  ASSERT_EQ(0, symlink(dir.path().c_str(), dirLink.c_str()));

  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(fileLink));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(FileExists(JoinPath(dir.path(), "missing.txt")));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists("/dev/null"));  // not a regular file
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_TRUE(DirectoryExists(dirLink));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(DirectoryExists(""));
}

TEST(PathsTest, ExecutableDirHoldsTheRunningProgram) {
  const std::string dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ('/', dir.front());
  EXPECT_NE('/', dir.back());
  EXPECT_TRUE(DirectoryExists(dir));
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  EXPECT_EQ(std::string(self), JoinPath(dir, std::string(self).substr(dir.size() + 1)));
}

}  // namespace
