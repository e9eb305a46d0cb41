// The termios serial port against real pseudo-terminals.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "PlatformTestUtil.h"
#include "platform/SerialPort.h"

namespace {

// Opens and configures the port the way a worker does; the first failing step's errno.
int OpenAndConfigure(SerialPort& port, const std::string& path, uint32_t baud) {
  if (int e = port.Open(path)) return e;
  if (int e = port.SetQueueSizes(4096, 4096)) return e;
  if (int e = port.SetImmediateReadTimeouts()) return e;
  if (int e = port.GetLineSettings()) return e;
  if (int e = port.SetLineSettings(baud)) return e;
  return port.Purge();
}

// Waits (bounded) until the port has `want` bytes queued; the pty moves bytes from the
// master to the slave asynchronously.
uint32_t WaitQueued(SerialPort& port, uint32_t want) {
  uint32_t n = 0;
  for (int i = 0; i < 2000; ++i) {
    EXPECT_EQ(0, port.QueuedBytes(&n));
    if (n >= want) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return n;
}

TEST(SerialPortTest, OpensAndConfiguresAPtyAsRaw8N1) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = PosixSerialPorts().Create();
  // A pty has no modem lines: raising RTS fails there, and that must not fail the open.
  ASSERT_EQ(0, OpenAndConfigure(*port, pty.slavePath(), 115200));
  EXPECT_TRUE(port->IsOpen());

  // Termios requests on the master act on the slave's settings.
  termios t{};
  ASSERT_EQ(0, tcgetattr(pty.master(), &t));
  EXPECT_EQ(B115200, cfgetospeed(&t));
  EXPECT_EQ(B115200, cfgetispeed(&t));
  EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
  EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_NE(0u, t.c_cflag & CLOCAL);
  EXPECT_NE(0u, t.c_cflag & CREAD);
  EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(0u, t.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INPCK | ISTRIP | INLCR | IGNCR));
  EXPECT_EQ(0u, t.c_oflag & OPOST);
  EXPECT_EQ(0, t.c_cc[VMIN]);
  EXPECT_EQ(0, t.c_cc[VTIME]);
}

TEST(SerialPortTest, BaudIndexSelectsTheLineSpeed) {
  const struct {
    int index;
    speed_t speed;
  } cases[] = {{0, B115200}, {1, B57600}, {2, B38400}, {3, B115200}, {7, B115200}, {-1, B115200}};
  for (const auto& c : cases) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    auto port = PosixSerialPorts().Create();
    ASSERT_EQ(0, OpenAndConfigure(*port, pty.slavePath(), BaudFromIndex(c.index)));
    termios t{};
    ASSERT_EQ(0, tcgetattr(pty.master(), &t));
    EXPECT_EQ(c.speed, cfgetospeed(&t)) << "index " << c.index;
  }

  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = PosixSerialPorts().Create();
  ASSERT_EQ(0, port->Open(pty.slavePath()));
  EXPECT_EQ(EINVAL, port->SetLineSettings(9600));  // not a console speed
}

TEST(SerialPortTest, SecondOpenOfAHeldPortFailsUntilClosed) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto first = PosixSerialPorts().Create();
  auto second = PosixSerialPorts().Create();
  ASSERT_EQ(0, OpenAndConfigure(*first, pty.slavePath(), 115200));

  const int e = second->Open(pty.slavePath());
  EXPECT_TRUE(e == EBUSY || e == EWOULDBLOCK) << "errno " << e;
  EXPECT_FALSE(second->IsOpen());
  // A refused open leaves the holder's port working.
  pty.Send("x");
  EXPECT_EQ(1u, WaitQueued(*first, 1));

  // The same device under another name (a port map link) is the same port.
  ScratchDir dir;
  const std::string link = dir.path() + "/COM3";
  ASSERT_EQ(0, symlink(pty.slavePath().c_str(), link.c_str()));
  const int e2 = second->Open(link);
  EXPECT_TRUE(e2 == EBUSY || e2 == EWOULDBLOCK) << "errno " << e2;

  first->Close();
  first->Close();  // idempotent
  EXPECT_FALSE(first->IsOpen());
  EXPECT_EQ(0, second->Open(link));
  EXPECT_EQ(EBUSY, second->Open(link));  // already open on this object
}

// Runs `body` in a child process without CAP_SYS_ADMIN (the exclusive mode of a
// terminal does not hold against that capability) and returns its exit status.
template <typename Body>
int RunWithoutSysAdmin(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &hdr, data) != 0) _exit(90);
    data[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
    if (syscall(SYS_capset, &hdr, data) != 0) _exit(91);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST(SerialPortTest, ExclusiveModeEndsWithTheClose) {
  // The next worker of a port opens it right after the previous one closed it, while
  // the device side (the pty master here) stays open.
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const std::string path = pty.slavePath();
  auto port = PosixSerialPorts().Create();
  ASSERT_EQ(0, port->Open(path));

  const int whileHeld = RunWithoutSysAdmin([&] {
    auto other = PosixSerialPorts().Create();
    return other->Open(path) == EBUSY ? 0 : 1;
  });
  EXPECT_EQ(0, whileHeld) << "a held port must refuse an unprivileged second open";

  port->Close();
  const int afterClose = RunWithoutSysAdmin([&] {
    auto other = PosixSerialPorts().Create();
    const int e = other->Open(path);
    return e == 0 ? 0 : (e > 0 && e < 80 ? e : 80);
  });
  EXPECT_EQ(0, afterClose) << "open after close failed with errno " << afterClose;
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Programs that share serial ports mark the one they use with a lock file named after
// the device, holding their pid: a live holder's port is busy, a dead holder's file
// is stale. The station marks a port it holds the same way, under the device's own
// name also when it opens it through a port map link.
TEST(SerialPortTest, LockFilesOfOtherProgramsAreHonouredAndOursIsKeptWhileHeld) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  struct stat st {};
  const std::string lockDir = stat("/var/lock", &st) == 0 ? "/var/lock" : "/run/lock";
  std::string name = pty.slavePath().substr(5);  // below /dev
  for (char& c : name) c = c == '/' ? '_' : c;
  const std::string lock = lockDir + "/LCK.." + name;
  auto pidLine = [](pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return std::string(text);
  };
  std::ofstream(lock) << pidLine(getpid());  // a live holder
  if (ReadText(lock).empty()) GTEST_SKIP() << "cannot write " << lock;
  ScratchDir dir;
  const std::string link = dir.path() + "/COM3";
  ASSERT_EQ(0, symlink(pty.slavePath().c_str(), link.c_str()));
  auto port = PosixSerialPorts().Create();
  EXPECT_EQ(EBUSY, port->Open(link));

  const pid_t dead = fork();  // a holder that has ended
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  std::ofstream(lock, std::ios::trunc) << pidLine(dead);
  ASSERT_EQ(0, port->Open(link));
  EXPECT_EQ(pidLine(getpid()), ReadText(lock));
  port->Close();
  EXPECT_NE(0, access(lock.c_str(), F_OK)) << "lock file left behind";
}

TEST(SerialPortTest, ReadsAndWritesRawBytesWithoutBlocking) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = PosixSerialPorts().Create();
  ASSERT_EQ(0, OpenAndConfigure(*port, pty.slavePath(), 115200));

  uint8_t buf[64];
  size_t got = 99;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, port->Read(buf, sizeof buf, &got));
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(0u, got);
  EXPECT_LT(waited, std::chrono::milliseconds(100));
  uint32_t queued = 99;
  EXPECT_EQ(0, port->QueuedBytes(&queued));
  EXPECT_EQ(0u, queued);

  // Control bytes, CR, NUL and 8-bit bytes pass unchanged (no line discipline at work).
  const std::string in("ab\r\n\x03\x11\x13\x00\xff\x7f", 10);
  pty.Send(in);
  EXPECT_EQ(in.size(), WaitQueued(*port, static_cast<uint32_t>(in.size())));
  std::string read;
  for (int i = 0; i < 100 && read.size() < in.size(); ++i) {
    ASSERT_EQ(0, port->Read(buf, 4, &got));  // bounded by max
    EXPECT_LE(got, 4u);
    read.append(reinterpret_cast<char*>(buf), got);
  }
  EXPECT_EQ(in, read);
  EXPECT_EQ(0, port->Read(buf, sizeof buf, &got));
  EXPECT_EQ(0u, got);

  const std::string out("$SES\r\n\n\x00\xfe", 9);
  size_t written = 0;
  ASSERT_EQ(0, port->Write(reinterpret_cast<const uint8_t*>(out.data()), out.size(), &written));
  EXPECT_EQ(out.size(), written);
  EXPECT_EQ(out, pty.Receive(out.size()));
}

TEST(SerialPortTest, PurgeDiscardsQueuedInput) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  auto port = PosixSerialPorts().Create();
  ASSERT_EQ(0, OpenAndConfigure(*port, pty.slavePath(), 57600));
  pty.Send("stale banner\r\n");
  ASSERT_EQ(14u, WaitQueued(*port, 14));
  EXPECT_EQ(0, port->Purge());
  uint32_t queued = 99;
  EXPECT_EQ(0, port->QueuedBytes(&queued));
  EXPECT_EQ(0u, queued);
}

TEST(SerialPortTest, BadPathsAndClosedPortsGiveErrnoNotCrashes) {
  auto port = PosixSerialPorts().Create();
  EXPECT_EQ(ENOENT, port->Open("/nonexistent/COM1"));
  EXPECT_EQ(ENOENT, port->Open(""));
  EXPECT_FALSE(port->IsOpen());

  ScratchDir dir;
  const std::string file = dir.path() + "/COM2";
  std::ofstream(file) << "not a device";
  EXPECT_EQ(ENOTTY, port->Open(file));
  EXPECT_FALSE(port->IsOpen());

  uint8_t buf[8];
  size_t n = 7;
  EXPECT_EQ(EBADF, port->SetLineSettings(115200));
  EXPECT_EQ(EBADF, port->Read(buf, sizeof buf, &n));
  EXPECT_EQ(0u, n);
  port->Close();
}

TEST(SerialPortTest, DeviceGoneReportsReadError) {
  auto pty = std::make_unique<Pty>();
  ASSERT_TRUE(pty->ok());
  auto port = PosixSerialPorts().Create();
  ASSERT_EQ(0, OpenAndConfigure(*port, pty->slavePath(), 115200));
  pty.reset();  // the device side hangs up
  uint8_t buf[8];
  size_t got = 7;
  EXPECT_EQ(EIO, port->Read(buf, sizeof buf, &got));
  EXPECT_EQ(0u, got);
  uint32_t queued = 7;
  EXPECT_NE(0, port->QueuedBytes(&queued));
  size_t written = 7;
  EXPECT_NE(0, port->Write(buf, 1, &written));
  EXPECT_EQ(0u, written);
  port->Close();
}

}  // namespace
