// The console channel on real pseudo-terminals found through the ports/ map, with
// simulated devices behind them: exclusive opening, port numbers of two digits, the
// console baud rate, and a query and polling reads in real time.
#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/JobState.h"
#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "platform/Clock.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"
#include "sim/model/PtyFarm.h"
#include "workers/ConsolePort.h"
#include "workers/Workers.h"

namespace {

class ConsolePortPty : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pt_console_pty_XXXXXX";
    const char* p = mkdtemp(tmpl);
    ASSERT_NE(nullptr, p);
    dir_ = p;
    for (const char* name : {"COM1", "COM12"}) {
      SimOptions o;
      o.name = name;
      o.bootWindowMs = 50;
      o.bootDelayMs = 10;
      std::string err;
      ASSERT_EQ(0, farm_.Add(o, 0, 0, &err)) << err;
    }
    std::string err;
    ASSERT_EQ(0, farm_.Link(dir_, &err)) << err;
    farm_.PowerOn();
    farm_.Start();
    ports_ = std::make_unique<PortMap>(dir_);
    st_.ui = &ui_;
    st_.board = &board_;
    st_.clock = &SystemClock();
    st_.serial = &PosixSerialPorts();
    st_.ports = ports_.get();
    SystemClock().SleepMs(300);  // the devices have started
  }
  void TearDown() override {
    farm_.Close();
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }

  std::string dir_;
  PtyFarm farm_;
  std::unique_ptr<PortMap> ports_;
  InlineUiThread ui_;
  RecordingBoard board_;
  // The console rate a run takes from cfg_.
  uint32_t RunBaud() const {
    return MakeRunJob(JobState{}, cfg_, TestInterfaces{}, "").consoleBaud;
  }
  StoredConfig cfg_{"/nonexistent-console-pty-dir", "storedCfg.txt"};
  Station st_;
};

}  // namespace

TEST_F(ConsolePortPty, ASecondOpenOfAHeldPortFails) {
  ConsolePort first(st_, 1, 0);
  ASSERT_EQ(0, first.OpenConsolePort(115200));
  EXPECT_EQ("COM1: init finished", board_.PortStatus(0));
  ConsolePort second(st_, 1, 1);
  EXPECT_EQ(-1, second.OpenConsolePort(115200));
  EXPECT_TRUE(std::regex_match(board_.PortStatus(1), std::regex("COM1: open failed: [1-9][0-9]*")))
      << board_.PortStatus(1);
  EXPECT_FALSE(second.IsOpen());
  // Once the holder has closed it, the next worker opens it at once.
  first.ClosePort();
  first.ClosePort();
  EXPECT_EQ(0, second.OpenConsolePort(115200));
}

TEST_F(ConsolePortPty, TwoDigitPortsResolveThroughTheMapLikeOneDigitPorts) {
  for (int n : {1, 12}) {
    ConsolePort cp(st_, n, 0);
    ASSERT_EQ(0, cp.OpenConsolePort(115200)) << board_.PortStatus(0);
    EXPECT_EQ("COM" + std::to_string(n) + ": init finished", board_.PortStatus(0));
    std::string value;
    EXPECT_EQ(0, cp.ConsoleQuery("$GSVPA\r\n", 5, &value)) << n;
    EXPECT_EQ("0", value);  // no echo listener in this test
    // Polling reads gather the device's answer to the wake-up.
    EXPECT_EQ(6u, cp.SendText("$SES\r\n"));
    std::string got;
    for (int i = 0; i < 20 && got.find("fw =") == std::string::npos; ++i) {
      cp.recvCount = 0;
      cp.ReadAvailable();
      got.append(cp.recvBuf, static_cast<size_t>(cp.recvCount));
      if (cp.recvCount == 0) SystemClock().SleepMs(10);
    }
    EXPECT_NE(std::string::npos, got.find("fw =")) << got;
  }
  const auto reports = farm_.Reports();
  EXPECT_EQ((std::vector<std::string>{"$GSVPA", "$SES"}), reports[0].commands);
  EXPECT_EQ((std::vector<std::string>{"$GSVPA", "$SES"}), reports[1].commands);
}

TEST_F(ConsolePortPty, ConsoleBaudFromTheStoredIndex) {
  const int fd = ::open(farm_.SlavePath(0).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  for (auto [index, speed] :
       {std::pair{0, B115200}, {7, B115200}, {-1, B115200}, {1, B57600}, {2, B38400}}) {
    cfg_.consoleBaudIndex = index;
    ConsolePort cp(st_, 1, 0);
    ASSERT_EQ(0, cp.OpenConsolePort(RunBaud()));
    termios t{};
    ASSERT_EQ(0, tcgetattr(fd, &t));
    EXPECT_EQ(speed, cfgetospeed(&t)) << index;
    EXPECT_EQ(speed, cfgetispeed(&t)) << index;
    EXPECT_EQ(CS8, t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB));
  }
  ::close(fd);
}

// The simulated line keeps the time of the rate the port is set to: at 38400 baud a
// command behind 1000 other bytes reaches the device only after 1006 byte times
// (262 ms), and its 24-byte answer takes 23 byte times from its first byte to its last.
// Only lower bounds are checked: a loaded machine may be slower, never faster. A reader
// that was held up past the answer's last byte reads it in one go, so the answer's
// spread counts when any of three tries shows it.
TEST_F(ConsolePortPty, TheSimulatedLineKeepsItsTimeBothWays) {
  cfg_.consoleBaudIndex = 2;
  ConsolePort cp(st_, 1, 0);
  ASSERT_EQ(0, cp.OpenConsolePort(RunBaud()));
  const std::string text = std::string(1000, 'x') + "$SES\r\n";
  Clock& clock = SystemClock();
  uint32_t spread = 0;
  for (int attempt = 0; attempt < 3 && spread < 4; ++attempt) {
    const uint32_t sent = clock.TickMs();
    ASSERT_EQ(text.size(), cp.SendBytes(text.data(), text.size()));
    std::string got;
    uint32_t first = 0, last = 0;
    while (got.find("build 0412\r\n") == std::string::npos &&
           TickDiff(clock.TickMs(), sent) < 5000) {
      uint8_t b[64];
      size_t n = 0;
      ASSERT_EQ(0, cp.port()->Read(b, sizeof b, &n));
      if (n == 0) {
        clock.SleepMs(1);
        continue;
      }
      if (got.empty()) first = clock.TickMs();
      last = clock.TickMs();
      got.append(reinterpret_cast<char*>(b), n);
    }
    ASSERT_NE(std::string::npos, got.find("fw = 2.12.0 build 0412\r\n")) << got;
    EXPECT_GE(TickDiff(first, sent), 262u);
    spread = std::max(spread, TickDiff(last, first));
  }
  // 23 x 260 us, less the poll step and a tick
  EXPECT_GE(spread, 4u);
}

// A station killed while it held a port leaves the terminal in exclusive mode (nobody
// cleared it); the simulator clears it, as a real adapter does on its last close, but
// never under a station that still holds the port.
TEST_F(ConsolePortPty, ExclusiveModeLeftByAKilledStationIsCleared) {
  const std::string path = farm_.SlavePath(0);
  const int held = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(0, ::ioctl(held, TIOCEXCL));
  ASSERT_EQ(0, ::flock(held, LOCK_EX | LOCK_NB));
  SystemClock().SleepMs(700);
  int exclusive = 0;
  ASSERT_EQ(0, ::ioctl(held, TIOCGEXCL, &exclusive));
  EXPECT_EQ(1, exclusive) << "cleared under a station that holds the port";
  ::close(held);  // killed: no TIOCNXCL

  bool cleared = false;
  for (int i = 0; i < 300 && !cleared; ++i) {
    // Root opens an exclusive terminal all the same; others are refused until cleared.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
      exclusive = 1;
      cleared = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
      ::close(fd);
    }
    if (!cleared) SystemClock().SleepMs(10);
  }
  EXPECT_TRUE(cleared);
}

// An adapter pulled out while a worker holds its port: every worker shows the failure
// with its errno at once and ends failed, instead of polling the dead port.
TEST_F(ConsolePortPty, AHungUpPortEndsEveryWorkerFailedWithItsErrno) {
  struct Case {
    WorkerKind kind;
    int port;
    std::string unplugAt, last;
  };
  const Case cases[] = {
      {WorkerKind::Download, 5, "COM5: init finished", "COM5: ReadFile failed: 5"},
      {WorkerKind::LoopbackTest, 6, "COM6: init finished", "COM6: get settings failed: -2"},
      {WorkerKind::ProgramMac, 7, "COM7: reboot device", "COM7: program MAC failed: -2"},
  };
  PtyFarm farm;
  for (const Case& c : cases) {
    SimOptions o;
    o.name = "COM" + std::to_string(c.port);
    o.bootWindowMs = 50;
    o.bootDelayMs = 10;
    std::string err;
    ASSERT_EQ(0, farm.Add(o, 0, 0, &err)) << err;
  }
  std::string err;
  ASSERT_EQ(0, farm.Link(dir_, &err)) << err;
  farm.PowerOn();
  farm.Start();
  SystemClock().SleepMs(300);

  JobState job;
  job.jobFlags = kJobEeprom;
  job.assignMac = true;
  job.assignedMacText = "02:5C:3A:04:22:D1";
  StageTable stages;
  st_.job = &job;
  st_.stages = &stages;
  const RunJob run = MakeRunJob(job, cfg_, TestInterfaces{}, "");
  StationWorkerFactory factory(st_);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.last);
    board_.onStatus = [&farm, &c, i](const std::string& text) {
      if (text == c.unplugAt) farm.Unplug(i);
    };
    const int index = static_cast<int>(i);
    stages.Set(index, StageTesting);
    auto worker = factory.StartWorker(run, c.kind, c.port, index, false);
    ASSERT_NE(nullptr, worker);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stages.Get(index) == StageTesting && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(StageFailed, stages.Get(index)) << "the worker did not end at once";
    worker->Terminate();
    worker->Join();
    const auto history = board_.PortStatusHistory(index);
    EXPECT_NE(std::find(history.begin(), history.end(),
                        "COM" + std::to_string(c.port) + ": ReadFile failed: 5"),
              history.end());
    EXPECT_EQ(c.last, board_.PortStatus(index));
  }
  board_.onStatus = nullptr;
  farm.Close();
}
