// The socket layer on the loopback interface only (127.0.0.1), and the address parser.
// The same tests run against BSD sockets and against Windows Sockets.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Network.h"
#include "platform/fake/FakeNetwork.h"

namespace {

constexpr uint32_t kLoopback = Ipv4(127, 0, 0, 1);

#ifdef _WIN32
using Fd = SOCKET;
constexpr Fd kNoFd = INVALID_SOCKET;
constexpr int kRefused = WSAECONNREFUSED;
constexpr int kNotOpen = WSAENOTSOCK;
constexpr int kNoSignal = 0;
void CloseFd(Fd fd) {
  closesocket(fd);
}
// The test's own sockets need the library started (the station's sockets start it).
const bool kSocketsStarted = [] {
  WSADATA d;
  return WSAStartup(MAKEWORD(2, 2), &d) == 0;
}();
#else
using Fd = int;
constexpr Fd kNoFd = -1;
constexpr int kRefused = ECONNREFUSED;
constexpr int kNotOpen = EBADF;
constexpr int kNoSignal = MSG_NOSIGNAL;
void CloseFd(Fd fd) {
  close(fd);
}
#endif

// A TCP socket bound to 127.0.0.1 on a free port; listening when backlog >= 0.
class LocalSocket {
 public:
  explicit LocalSocket(int backlog) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    if (backlog >= 0 && listen(fd_, backlog) != 0) port_ = 0;
  }
  ~LocalSocket() {
    if (fd_ != kNoFd) CloseFd(fd_);
  }
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;
  Fd fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  Fd fd_ = kNoFd;
  uint16_t port_ = 0;
};

long long MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t0)
      .count();
}

TEST(NetworkTest, ConnectsSendsAndReceivesAnEcho) {
  LocalSocket listener(4);
  ASSERT_NE(0, listener.port());
  std::thread peer([&] {
    const Fd c = accept(listener.fd(), nullptr, nullptr);
    if (c == kNoFd) return;
    char buf[64];
    int have = 0;
    while (have < 10) {
      const int n = static_cast<int>(recv(c, buf + have, static_cast<int>(sizeof buf) - have, 0));
      if (n <= 0) break;
      have += n;
    }
    if (send(c, buf, have, kNoSignal) < 0) {
    }
    CloseFd(c);  // then an orderly close
  });

  auto sock = SystemNetwork().NewSocket();
  ASSERT_EQ(0, sock->Create());
  ASSERT_TRUE(sock->IsOpen());
  ASSERT_EQ(0, sock->Connect(kLoopback, listener.port(), 2000));
  const uint8_t pattern[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(10, sock->Send(pattern, sizeof pattern));
  EXPECT_EQ(1, sock->WaitReadable(3000));
  uint8_t buf[128];
  long got = 0;
  std::string all;
  while ((got = sock->Recv(buf, sizeof buf)) > 0) all.append(reinterpret_cast<char*>(buf), got);
  EXPECT_EQ(0, got);  // orderly close after the echo
  EXPECT_EQ("0123456789", all);
  // End of stream reads as readable, as select reports it.
  EXPECT_EQ(1, sock->WaitReadable(1000));
  peer.join();

  sock->Close();
  sock->Close();
  EXPECT_FALSE(sock->IsOpen());
  EXPECT_EQ(-1, sock->Send(pattern, 1));
  EXPECT_EQ(kNotOpen, sock->LastError());
}

TEST(NetworkTest, WaitReadableTimesOutWhenThePeerIsSilent) {
  LocalSocket listener(4);
  ASSERT_NE(0, listener.port());
  auto sock = SystemNetwork().NewSocket();
  ASSERT_EQ(0, sock->Create());
  ASSERT_EQ(0, sock->Connect(kLoopback, listener.port(), 2000));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, sock->WaitReadable(150));
  const long long ms = MsSince(t0);
  EXPECT_GE(ms, 140);
  EXPECT_LT(ms, 2000);
}

TEST(NetworkTest, RefusedConnectionGivesTheSystemsRefusedError) {
  LocalSocket bound(-1);  // bound but not listening: the kernel answers with a reset
  ASSERT_NE(0, bound.port());
  auto sock = SystemNetwork().NewSocket();
  ASSERT_EQ(0, sock->Create());
  EXPECT_EQ(kRefused, sock->Connect(kLoopback, bound.port(), 2000));
#ifdef _WIN32
  EXPECT_EQ(10061, kRefused);  // the number the message log shows
#else
  EXPECT_EQ(111, kRefused);
#endif
  // Port 0 cannot be connected to either.
  ASSERT_EQ(0, sock->Create());
  EXPECT_NE(0, sock->Connect(kLoopback, 0, 2000));
}

TEST(NetworkTest, SendToAResetPeerFailsWithoutKillingTheProcess) {
  LocalSocket listener(4);
  ASSERT_NE(0, listener.port());
  auto sock = SystemNetwork().NewSocket();
  ASSERT_EQ(0, sock->Create());
  ASSERT_EQ(0, sock->Connect(kLoopback, listener.port(), 2000));
  const Fd c = accept(listener.fd(), nullptr, nullptr);
  ASSERT_NE(kNoFd, c);
  linger l{1, 0};
  setsockopt(c, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  CloseFd(c);  // reset
  const uint8_t b[4] = {1, 2, 3, 4};
  long r = 0;
  for (int i = 0; i < 50 && r >= 0; ++i) {
    r = sock->Send(b, sizeof b);
    if (r >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(-1, r);
#ifdef _WIN32
  EXPECT_TRUE(sock->LastError() == WSAECONNRESET || sock->LastError() == WSAECONNABORTED)
      << sock->LastError();
#else
  EXPECT_TRUE(sock->LastError() == EPIPE || sock->LastError() == ECONNRESET) << sock->LastError();
#endif
}

TEST(NetworkTest, ConnectTimeOutIsBoundedByTheTimeout) {
  // A listener that never accepts, with its accept queue full: the kernel drops further
  // connection requests, so a connect gets no answer at all.
  LocalSocket listener(0);
  ASSERT_NE(0, listener.port());
  std::vector<std::unique_ptr<TcpSocket>> fillers;
  bool full = false;
  for (int i = 0; i < 8 && !full; ++i) {
    auto s = SystemNetwork().NewSocket();
    ASSERT_EQ(0, s->Create());
    const int r = s->Connect(kLoopback, listener.port(), 200);
    if (r == kConnectTimedOut) full = true;
    fillers.push_back(std::move(s));
  }
  if (!full) GTEST_SKIP() << "the kernel completed every connect to a full listener";

  auto sock = SystemNetwork().NewSocket();
  ASSERT_EQ(0, sock->Create());
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The second attempt on the same socket times out too (not EALREADY).
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kConnectTimedOut, sock->Connect(kLoopback, listener.port(), 300)) << attempt;
    const long long ms = MsSince(t0);
    EXPECT_GE(ms, 290) << attempt;
    EXPECT_LT(ms, 1500) << attempt;
  }
}

#ifndef _WIN32
// Binding needs no privilege for a socket's first interface (Linux 5.7 and later).
TEST(NetworkTest, SocketBoundToTheLoopbackInterfaceReachesOnlyThroughIt) {
  LocalSocket listener(4);
  ASSERT_NE(0, listener.port());
  auto sock = SystemNetwork().NewSocket();
  ASSERT_EQ(0, sock->Create());
  EXPECT_EQ(ENODEV, sock->BindToInterface("no-such-if0"));
  ASSERT_EQ(0, sock->BindToInterface("lo"));
  ASSERT_EQ(0, sock->Connect(kLoopback, listener.port(), 2000));
  std::string mac;
  EXPECT_EQ(kNoLinkLayer, sock->PeerLinkAddress(&mac));
  std::vector<uint32_t> table;
  ASSERT_EQ(0, SystemNetwork().InterfaceAddresses("lo", &table));
  EXPECT_NE(std::find(table.begin(), table.end(), kLoopback), table.end());
  EXPECT_EQ(ENODEV, SystemNetwork().InterfaceAddresses("no-such-if0", &table));
  std::string via;
  bool noLinkLayer = false;
  ASSERT_EQ(0, SystemNetwork().RouteInterface(kLoopback, &via, &noLinkLayer));
  EXPECT_EQ("lo", via);
  EXPECT_TRUE(noLinkLayer);
}
#endif

TEST(NetworkTest, AddressTableListsTheLoopbackAddress) {
  std::vector<uint32_t> table{1, 2, 3};
  ASSERT_EQ(0, SystemNetwork().AddressTable(&table));
  EXPECT_NE(std::find(table.begin(), table.end(), kLoopback), table.end());
  EXPECT_EQ(std::find(table.begin(), table.end(), 1u), table.end());  // replaced, not appended
}

TEST(NetworkTest, ParsesOnlyDottedQuads) {
  uint32_t ip = 0;
  ASSERT_TRUE(ParseIpv4("192.168.1.127", &ip));
  EXPECT_EQ(Ipv4(192, 168, 1, 127), ip);
  ASSERT_TRUE(ParseIpv4("0.0.0.0", &ip));
  EXPECT_EQ(0u, ip);
  ASSERT_TRUE(ParseIpv4("255.255.255.255", &ip));
  EXPECT_EQ(0xFFFFFFFFu, ip);
  ASSERT_TRUE(ParseIpv4("010.001.1.9", &ip));  // decimal, never octal
  EXPECT_EQ(Ipv4(10, 1, 1, 9), ip);

  ip = 42;
  for (const char* bad :
       {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "1..2.3", "1.2.3.",
        "1234.1.1.1", "0001.1.1.1", "-1.2.3.4", "1.2.3.4x", "a.b.c.d", "192.168.1.127\n"}) {
    EXPECT_FALSE(ParseIpv4(bad, &ip)) << "'" << bad << "'";
  }
  EXPECT_FALSE(ParseIpv4(nullptr, &ip));
  EXPECT_EQ(42u, ip);  // untouched on failure
}

TEST(NetworkTest, LinkLayerAddressText) {
  uint8_t mac[6] = {};
  ASSERT_TRUE(ParseMacText("02:5c:3A:ff:FF:0e", mac));
  EXPECT_EQ("02:5C:3A:FF:FF:0E", MacText(mac));
  for (const char* bad : {"", "02:5C:3A:FF:FF", "02:5C:3A:FF:FF:0", "02-5C-3A-FF-FF-0E",
                          "02:5C:3A:FF:FF:0G", "02:5C:3A:FF:FF:0E:"}) {
    EXPECT_FALSE(ParseMacText(bad, mac)) << bad;
  }
}

}  // namespace
