// The XMODEM-1K sender against an independent receiver, lrzsz's rx, in real time. The
// sender writes to the master of a pseudo-terminal pair and rx reads the slave (in the
// raw mode it sets itself). rx's replies come back through a pipe: when rx exits it
// flushes its terminal, and on a pseudo-terminal that flush also throws away its last
// reply (the ACK of the EOT) if the kernel has not passed it to the master yet.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "test_xmodem_rig.h"
#include "workers/ConsolePort.h"
#include "workers/Xmodem.h"

extern char** environ;

namespace {

constexpr const char* kRx = "/usr/bin/rx";

// The sender's line: writes go to the pseudo-terminal's master, rx's replies are
// moved from its pipe into a receive queue by a reader thread.
class MasterLink {
 public:
  MasterLink(int masterFd, int replyFd)
      : fd_(masterFd), replyFd_(replyFd), reader_([this] { ReadLoop(); }) {}
  ~MasterLink() {
    stop_.store(true);
    reader_.join();
  }
  size_t Take(uint8_t* buf, size_t max) {
    std::lock_guard<std::mutex> lock(m_);
    const size_t n = std::min(max, queue_.size());
    std::copy_n(queue_.begin(), n, buf);
    queue_.erase(0, n);
    return n;
  }
  size_t Queued() {
    std::lock_guard<std::mutex> lock(m_);
    return queue_.size();
  }
  int fd() const { return fd_; }
  std::atomic<size_t> written{0};  // bytes the sender wrote

 private:
  void ReadLoop() {
    while (!stop_.load()) {
      pollfd p{replyFd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(replyFd_, buf, sizeof buf);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(m_);
      queue_.append(buf, static_cast<size_t>(n));
    }
  }
  int fd_;
  int replyFd_;
  std::mutex m_;
  std::string queue_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// The sender's serial port on the master (no line settings: rx owns the terminal).
class PtyMasterPort final : public SerialPort {
 public:
  explicit PtyMasterPort(MasterLink& link) : link_(link) {}
  int Open(const std::string&) override { return 0; }
  int SetQueueSizes(uint32_t, uint32_t) override { return 0; }
  int SetImmediateReadTimeouts() override { return 0; }
  int GetLineSettings() override { return 0; }
  int SetLineSettings(uint32_t) override { return 0; }
  int Purge() override { return 0; }
  int QueuedBytes(uint32_t* count) override {
    *count = static_cast<uint32_t>(link_.Queued());
    return 0;
  }
  int Read(uint8_t* buf, size_t max, size_t* got) override {
    *got = link_.Take(buf, max);
    return 0;
  }
  int Write(const uint8_t* buf, size_t len, size_t* written) override {
    *written = 0;
    // rx discards its input right after sending a reply; the sender's answer could
    // come before that here. A little line latency keeps it after, as on a real line.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const ssize_t n = ::write(link_.fd(), buf, len);
    if (n < 0) return errno == EAGAIN ? 0 : errno;
    *written = static_cast<size_t>(n);
    link_.written += *written;
    return 0;
  }
  void Close() override {}  // the test owns the descriptor
  bool IsOpen() const override { return true; }

 private:
  MasterLink& link_;
};

class MasterFactory final : public SerialPortFactory {
 public:
  MasterFactory(int masterFd, int replyFd) : link(masterFd, replyFd) {}
  std::unique_ptr<SerialPort> Create() override { return std::make_unique<PtyMasterPort>(link); }
  MasterLink link;
};

class XmodemLrzszTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kRx, X_OK) != 0) GTEST_SKIP() << kRx << " (lrzsz) is not installed";
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    slavePath = ::ptsname(master);
    ASSERT_EQ(::pipe2(replies, O_CLOEXEC), 0);
    factory = std::make_unique<MasterFactory>(master, replies[0]);
    rig.station.serial = factory.get();
    rig.station.clock = &SystemClock();
  }
  void TearDown() override {
    StopRx();
    factory.reset();
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
    for (int fd : replies) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Starts rx receiving into out.bin; extra arguments before the file name.
  void StartRx(const std::vector<std::string>& extra) {
    // The test holds the slave too, so the pair stays up between receivers.
    if (slave < 0) slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    const std::string errPath = rig.Path("rx.err");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, slave, 0);
    posix_spawn_file_actions_adddup2(&fa, replies[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // rx takes only a plain file name (restricted mode): it runs in the test directory.
    posix_spawn_file_actions_addchdir_np(&fa, rig.dir.c_str());
    std::vector<std::string> args = {kRx, "--xmodem", "--with-crc", "--binary"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("out.bin");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&rxPid, kRx, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ASSERT_EQ(rc, 0) << "cannot start " << kRx;
  }

  // Waits for rx to end (at most 30 s); its exit status, or -1 when it had to be
  // stopped.
  int WaitRx() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (rxPid > 0) {
      int st = 0;
      const pid_t r = ::waitpid(rxPid, &st, WNOHANG);
      if (r == rxPid) {
        rxPid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      }
      if (std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    StopRx();
    return -1;
  }
  void StopRx() {
    if (rxPid <= 0) return;
    ::kill(rxPid, SIGKILL);
    ::waitpid(rxPid, nullptr, 0);
    rxPid = -1;
  }

  // Sends content with the sender over the master while rx receives on the slave.
  int Transfer(const std::string& content, XmodemMode mode,
               const std::vector<std::string>& rxArgs) {
    dltest::WriteFile(rig.Path("image.bin"), content);
    StartRx(rxArgs);
    ConsolePort console(rig.station, 1, 0);
    EXPECT_EQ(console.OpenConsolePort(115200), 0);
    const uint8_t mac[6] = {0x02, 0x5C, 0x3A, 0xFF, 0xFF, 0xFF};
    const RunImage image = ReadRunImage(rig.Path("image.bin"), kMaxFirmwareImageSize);
    const int r = XmodemSend(console, mode, image, mac, nullptr, nullptr, pacing);
    rxStatus = WaitRx();
    received = dltest::ReadFile(rig.Path("out.bin"));
    return r;
  }

  // The receiver keeps whole blocks; it may cut trailing padding.
  static void ExpectSentPlusPadding(const std::string& sent, const std::string& got) {
    const size_t padded = (sent.size() + 1023) / 1024 * 1024;
    ASSERT_GE(got.size(), sent.size());
    ASSERT_LE(got.size(), padded);
    EXPECT_TRUE(got.compare(0, sent.size(), sent) == 0) << "received data differs";
    EXPECT_EQ(got.find_first_not_of('\0', sent.size()), std::string::npos) << "padding not zero";
  }

  dltest::Rig rig;
  int master = -1;
  int slave = -1;
  int replies[2] = {-1, -1};  // rx's stdout
  std::string slavePath;
  std::unique_ptr<MasterFactory> factory;
  pid_t rxPid = -1;
  int rxStatus = -1;
  XmodemPacing pacing;
  std::string received;
};

TEST_F(XmodemLrzszTest, FirmwareTwoBlocksAndEepromWithMac) {
  const std::string firmware = dltest::Pattern(1500, 21);
  EXPECT_EQ(Transfer(firmware, XmodemMode::Firmware, {}), kXmodemOk);
  EXPECT_EQ(rxStatus, 0) << dltest::ReadFile(rig.Path("rx.err"));
  ExpectSentPlusPadding(firmware, received);

  std::filesystem::remove(rig.Path("out.bin"));
  const std::string eeprom = dltest::Pattern(1024, 22);
  EXPECT_EQ(Transfer(eeprom, XmodemMode::Eeprom, {}), kXmodemOk);
  EXPECT_EQ(rxStatus, 0) << dltest::ReadFile(rig.Path("rx.err"));
  std::string withMac = eeprom;
  withMac.replace(6, 6, "\xFF\xFF\xFF\x3A\x5C\x02");
  EXPECT_EQ(received, withMac);
}

TEST_F(XmodemLrzszTest, BlocksRefusedByTheReceiverAreSentAgain) {
  // rx reports a CRC error every 2500 bytes and NAKs those blocks.
  const std::string firmware = dltest::Pattern(6 * 1024 - 100, 23);
  EXPECT_EQ(Transfer(firmware, XmodemMode::Firmware, {"--errors", "2500"}), kXmodemOk);
  EXPECT_EQ(rxStatus, 0) << dltest::ReadFile(rig.Path("rx.err"));
  ExpectSentPlusPadding(firmware, received);
  EXPECT_GE(factory->link.written.load(), 7u * kXmodemPacketSize) << "no block was sent again";
}

// ACK-paced: each block follows rx's reply without the pause; a block rx refuses
// brings the pause back, and the image still arrives byte for byte.
TEST_F(XmodemLrzszTest, AckPacedTransfersArriveByteExact) {
  int restored = 0;
  pacing.ackPaced = true;
  pacing.lineBaud = 115200;
  pacing.onPauseRestored = [&](int32_t) { ++restored; };
  const std::string firmware = dltest::Pattern(8 * 1024 - 300, 24);
  EXPECT_EQ(Transfer(firmware, XmodemMode::Firmware, {}), kXmodemOk);
  EXPECT_EQ(rxStatus, 0) << dltest::ReadFile(rig.Path("rx.err"));
  ExpectSentPlusPadding(firmware, received);
  EXPECT_EQ(restored, 0);

  std::filesystem::remove(rig.Path("out.bin"));
  EXPECT_EQ(Transfer(firmware, XmodemMode::Firmware, {"--errors", "2500"}), kXmodemOk);
  EXPECT_EQ(rxStatus, 0) << dltest::ReadFile(rig.Path("rx.err"));
  ExpectSentPlusPadding(firmware, received);
  EXPECT_EQ(restored, 1);
}

}  // namespace
