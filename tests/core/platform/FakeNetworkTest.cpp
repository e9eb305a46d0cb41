// The scripted network that the loopback test worker is tested against.
#include "platform/fake/FakeNetwork.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/fake/FakeClock.h"

namespace {

const uint8_t kPattern[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

std::string SendAndRecv(FakeNetwork& net, uint16_t port, long* first) {
  auto s = net.NewSocket();
  EXPECT_EQ(0, s->Create());
  EXPECT_EQ(0, s->Connect(Ipv4(192, 168, 1, 127), port, 1000));
  EXPECT_EQ(10, s->Send(kPattern, sizeof kPattern));
  uint8_t buf[128];
  std::string all;
  *first = s->Recv(buf, sizeof buf);
  if (*first > 0) all.assign(reinterpret_cast<char*>(buf), static_cast<size_t>(*first));
  s->Close();
  return all;
}

TEST(FakeNetworkTest, RepliesAsScriptedPerPort) {
  FakeNetwork net;
  net.SetPeer(FakePeer{});  // echo
  FakePeer two;
  two.reply = FakeReply::TwoPieces;
  net.SetPeer(4002, two);
  FakePeer crlf;
  crlf.reply = FakeReply::ExtraCrLf;
  net.SetPeer(4003, crlf);
  FakePeer wrong;
  wrong.reply = FakeReply::WrongByte;
  net.SetPeer(4004, wrong);

  long first = 0;
  EXPECT_EQ("0123456789", SendAndRecv(net, 4001, &first));
  EXPECT_EQ("01234", SendAndRecv(net, 4002, &first));  // only the first piece has arrived
  EXPECT_EQ("0123456789\r\n", SendAndRecv(net, 4003, &first));
  EXPECT_EQ("0123456788", SendAndRecv(net, 4004, &first));
  EXPECT_EQ(40u, net.SentBytes().size());
  EXPECT_EQ(4, net.SocketsCreated());
  EXPECT_EQ(4, net.SocketsClosed());
  EXPECT_EQ(0, net.OpenSockets());
}

TEST(FakeNetworkTest, WaitsRunInVirtualTime) {
  FakeClock clock(1000);
  FakeNetwork net(&clock);
  FakePeer silent;
  silent.connects = {kConnectTimedOut, 0};
  silent.reply = FakeReply::Nothing;
  net.SetPeer(silent);

  auto s = net.NewSocket();
  ASSERT_EQ(0, s->Create());
  EXPECT_EQ(kConnectTimedOut, s->Connect(Ipv4(192, 168, 1, 127), 4001, 20000));
  EXPECT_EQ(21000u, clock.TickMs());
  EXPECT_EQ(0, s->Connect(Ipv4(192, 168, 1, 127), 4001, 20000));
  EXPECT_EQ(21000u, clock.TickMs());
  EXPECT_EQ(10, s->Send(kPattern, sizeof kPattern));
  EXPECT_EQ(0, s->WaitReadable(3000));
  EXPECT_EQ(24000u, clock.TickMs());

  const auto connects = net.Connects();
  ASSERT_EQ(2u, connects.size());
  EXPECT_EQ(Ipv4(192, 168, 1, 127), connects[0].ip);
  EXPECT_EQ(4001, connects[0].port);
  EXPECT_EQ(kConnectTimedOut, connects[0].result);
  EXPECT_EQ(0, connects[1].result);
}

TEST(FakeNetworkTest, SocketsOnSeveralThreadsShareOneRecord) {
  FakeNetwork net;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&net, t] {
      for (int i = 0; i < 50; ++i) {
        long first = 0;
        SendAndRecv(net, static_cast<uint16_t>(4000 + t), &first);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(200, net.ConnectAttempts());
  EXPECT_EQ(200, net.SocketsClosed());
  EXPECT_EQ(2000u, net.SentBytes().size());
}

}  // namespace
