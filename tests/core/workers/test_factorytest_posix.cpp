// The loopback test worker over real sockets: an echo listener on 127.0.0.1 stands
// for the device's test port (the worker is aimed at it through its test-only address).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_factorytest_rig.h"
#include "workers/Factorytestthread.h"

namespace {

using Strings = std::vector<std::string>;

// A TCP listener on 127.0.0.1 that takes one connection, reads what arrives and
// answers it according to its mode, then waits for the peer to close.
class EchoListener {
 public:
  enum class Mode { Echo, WrongLastByte, ExtraCrLf };

  explicit EchoListener(Mode mode) : mode_(mode) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          ::listen(fd_, 4) == 0 &&
          ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    port_ = ntohs(addr.sin_port);
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~EchoListener() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  // Waits at most ~10 s for fd to become ready, giving up early when stopped.
  bool WaitFor(int fd, short events) {
    for (int i = 0; i < 200 && !stop_.load(); i++) {
      pollfd p{fd, events, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  void Serve() {
    if (!WaitFor(fd_, POLLIN)) return;
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    accepted_++;
    char buf[256];
    if (WaitFor(c, POLLIN)) {
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n > 0) {
        std::string reply(buf, static_cast<size_t>(n));
        if (mode_ == Mode::WrongLastByte) reply.back() = 'x';
        if (mode_ == Mode::ExtraCrLf) reply += "\r\n";
        if (::send(c, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
        }
        // Until the worker closes its end.
        while (WaitFor(c, POLLIN) && ::recv(c, buf, sizeof buf, 0) > 0) {
        }
      }
    }
    ::close(c);
  }

  Mode mode_;
  int fd_ = -1;
  bool ok_ = false;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// A 127.0.0.1 port with nothing listening on it.
uint16_t ClosedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

struct Outcome {
  int32_t stage;
  std::string status;
  Strings messages;
};

// Runs one worker on COM3 whose device reports `port` and whose network is real.
Outcome RunAgainst(uint16_t port) {
  WorkerRig rig;
  rig.station.net = &PosixNetwork();
  auto line = rig.Line(3);
  std::weak_ptr<FakeLine> weak = line;
  const std::string answer = "%GSVPA " + std::to_string(port) + "\r\n";
  line->SetOnHostWrite([weak, answer](const std::string&) {
    if (auto l = weak.lock()) l->DeviceSend(answer);
  });
  rig.stages.Set(0, StageTesting);
  {
    FactoryTestThread w(rig.station, false, 3, 0, "127.0.0.1");
    w.Start();
    w.Join();
    EXPECT_FALSE(w.Running());
    EXPECT_STREQ(w.testIp(), "127.0.0.1");
  }
  EXPECT_FALSE(line->IsHeld());
  return Outcome{rig.stages.Get(0), rig.board.PortStatus(0), rig.board.Messages()};
}

TEST(FactoryTestPosix, EchoPasses) {
  EchoListener echo(EchoListener::Mode::Echo);
  ASSERT_TRUE(echo.ok()) << "cannot listen on 127.0.0.1";
  const Outcome o = RunAgainst(echo.port());
  EXPECT_EQ(o.stage, StageTested);
  EXPECT_EQ(o.status, "COM3: loopback test ok");
  EXPECT_TRUE(o.messages.empty());
  EXPECT_EQ(echo.accepted(), 1);
}

TEST(FactoryTestPosix, WrongEchoIsNotAMatch) {
  EchoListener echo(EchoListener::Mode::WrongLastByte);
  ASSERT_TRUE(echo.ok());
  const Outcome o = RunAgainst(echo.port());
  EXPECT_EQ(o.stage, StageFailed);
  EXPECT_EQ(o.status, "COM3: loopback test failed: -9");
  EXPECT_EQ(o.messages, (Strings{"not match"}));
}

TEST(FactoryTestPosix, EchoWithLineEndIsTheWrongLength) {
  EchoListener echo(EchoListener::Mode::ExtraCrLf);
  ASSERT_TRUE(echo.ok());
  const Outcome o = RunAgainst(echo.port());
  EXPECT_EQ(o.stage, StageFailed);
  EXPECT_EQ(o.status, "COM3: loopback test failed: -7");
  EXPECT_EQ(o.messages, (Strings{"tcp recv fail"}));
}

TEST(FactoryTestPosix, RefusedConnectionLogsTheSystemErrorNumber) {
  const uint16_t port = ClosedLoopbackPort();
  ASSERT_NE(port, 0);
  const Outcome o = RunAgainst(port);
  EXPECT_EQ(o.stage, StageFailed);
  EXPECT_EQ(o.status, "COM3: loopback test failed: -6");
  EXPECT_EQ(o.messages, (Strings{"111"}));
}

}  // namespace
