// The loopback test worker against scripted devices and a scripted network.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/fake/FakeNetwork.h"
#include "test_factorytest_rig.h"
#include "workers/Factorytestthread.h"
#include "workers/Workers.h"

namespace {

using Strings = std::vector<std::string>;

class FactoryTest : public ::testing::Test {
 protected:
  // A device on COM<portNumber> that answers "$GSVPA\r\n" with `answer`.
  std::shared_ptr<FakeLine> Device(int portNumber, const std::string& answer) {
    auto line = rig.Line(portNumber);
    std::weak_ptr<FakeLine> weak = line;
    line->SetOnHostWrite([weak, answer](const std::string& bytes) {
      auto l = weak.lock();
      if (l && bytes == "$GSVPA\r\n" && !answer.empty()) l->DeviceSend(answer);
    });
    return line;
  }

  // Runs one worker to its end.
  void Run(int portNumber, int portIndex, bool terminateFirst = false) {
    rig.serial.Watch(portIndex);
    rig.stages.Set(portIndex, StageTesting);
    worker = std::make_unique<FactoryTestThread>(rig.station, false, portNumber, portIndex);
    EXPECT_TRUE(worker->Running());
    if (terminateFirst) worker->Terminate();
    worker->Start();
    worker->Join();
  }

  WorkerRig rig;
  std::unique_ptr<FactoryTestThread> worker;
};

TEST_F(FactoryTest, PassingDeviceIsReleasedBeforeTheStageIsPublished) {
  auto line = Device(3, "%GSVPA 4001\r\n");
  Run(3, 0);

  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(
      rig.board.PortStatusHistory(0),
      (Strings{"COM3: factory test", "COM3: init finished", "COM3: get test port...",
               "COM3: connect to device...", "COM3: loopback test...", "COM3: loopback test ok"}));
  EXPECT_TRUE(rig.board.Messages().empty());
  // The port was closed while the stage still read "testing", so the next worker can
  // open it the moment it sees StageTested.
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<int32_t>{StageTesting}));
  EXPECT_FALSE(line->IsHeld());
  EXPECT_EQ(line->AllHostWrites(), "$GSVPA\r\n");

  ASSERT_EQ(rig.net.connects.size(), 1u);
  EXPECT_EQ(rig.net.connects[0].ip, (192u << 24) | (168u << 16) | (1u << 8) | 127u);
  EXPECT_EQ(rig.net.connects[0].port, 4001);
  EXPECT_EQ(rig.net.connects[0].timeoutMs, 21000u);
  EXPECT_EQ(rig.net.sent, (Strings{"0123456789"}));
  EXPECT_EQ(rig.net.waits, (std::vector<uint32_t>{3000}));
  EXPECT_EQ(rig.net.recvMax, (std::vector<size_t>{128}));
  EXPECT_EQ(rig.net.openSockets, 0);
  EXPECT_EQ(rig.net.closes, 1);
  // The query's 500 ms and the 500 ms before the readiness wait.
  EXPECT_EQ(rig.clock.SleptMs(), 1000u);
  EXPECT_FALSE(worker->Running());
  EXPECT_EQ(worker->testPort(), 4001);
  EXPECT_STREQ(worker->testIp(), "192.168.1.127");
}

TEST_F(FactoryTest, TerminateRequestDoesNotShortenTheTest) {
  Device(3, "%GSVPA 4001\r\n");
  Run(3, 0, /*terminateFirst=*/true);
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test ok");
}

TEST_F(FactoryTest, PortIndexFiveWritesColumnOneRowTwo) {
  Device(12, "%GSVPA 4001\r\n");
  Run(12, 5);
  EXPECT_EQ(rig.board.StatusCell(2, 1), "COM12: loopback test ok");
  EXPECT_EQ(rig.stages.Get(5), StageTested);
  for (int i = 0; i < kMaxPorts; i++) {
    if (i != 5) {
      EXPECT_EQ(rig.stages.Get(i), StageIdle) << i;
    }
  }
}

TEST_F(FactoryTest, TestPortIsTheDecimalNumberAfterTheKey) {
  EXPECT_EQ(FactoryTestThread::ParseDecimal("4001"), 4001);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("  \t4001 x"), 4001);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("+4001"), 4001);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("-12"), -12);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("40a01"), 40);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("=4001"), 0);
  EXPECT_EQ(FactoryTestThread::ParseDecimal(""), 0);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("-"), 0);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(FactoryTestThread::ParseDecimal("-99999999999999999999"), INT32_MIN);
}

TEST_F(FactoryTest, OnlyTheLowSixteenBitsOfTheTestPortAreUsed) {
  Device(3, "%GSVPA 69537\r\n");  // 65536 + 4001
  Run(3, 0);
  EXPECT_EQ(worker->testPort(), 69537);
  ASSERT_EQ(rig.net.connects.size(), 1u);
  EXPECT_EQ(rig.net.connects[0].port, 4001);
}

TEST_F(FactoryTest, EqualsSignGivesPortZeroWhoseConnectionFails) {
  Device(3, "%GSVPA=4001\r\n");
  rig.net.script.connectResults = {ECONNREFUSED};
  Run(3, 0);
  EXPECT_EQ(worker->testPort(), 0);
  ASSERT_EQ(rig.net.connects.size(), 1u);
  EXPECT_EQ(rig.net.connects[0].port, 0);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
}

// Every console failure ends before any connection, with the stage published before
// the port is released.
TEST_F(FactoryTest, ConsoleFailuresEndBeforeTheNetwork) {
  struct Case {
    const char* name;
    std::string answer;
    int failRead;
    std::string status;
  };
  const Case cases[] = {
      {"silent device", "", 0, "COM3: get settings failed: -3"},
      {"wrong key", "%GSVPB 4001\r\n", 0, "COM3: get settings failed: -3"},
      {"FAIL with the key", "%GSVPA 4001\r\nFAIL\r\n", 0, "COM3: get settings failed: -4"},
      {"FAIL without the key", "FAIL\r\n", 0, "COM3: get settings failed: -3"},
      {"read fails", "%GSVPA 4001\r\n", EIO, "COM3: get settings failed: -2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerRig local;
    auto line = local.Line(3);
    std::weak_ptr<FakeLine> weak = line;
    const std::string answer = c.answer;
    line->SetOnHostWrite([weak, answer](const std::string&) {
      if (auto l = weak.lock(); l && !answer.empty()) l->DeviceSend(answer);
    });
    line->failRead = c.failRead;
    local.stages.Set(0, StageTesting);
    FactoryTestThread w(local.station, false, 3, 0);
    w.Start();
    w.Join();
    EXPECT_EQ(local.board.PortStatus(0), c.status);
    EXPECT_EQ(local.stages.Get(0), StageFailed);
    EXPECT_EQ(local.serial.CloseStages(), (std::vector<int32_t>{StageFailed}));
    EXPECT_TRUE(local.net.connects.empty());
    EXPECT_EQ(local.net.creates, 0);
    EXPECT_TRUE(local.board.Messages().empty());
    EXPECT_FALSE(w.Running());
    EXPECT_FALSE(line->IsHeld());
  }
}

TEST_F(FactoryTest, AnswerLaterThanHalfASecondIsNotSeen) {
  auto line = rig.Line(3);
  // The device answers only once 600 ms have passed since the command.
  std::weak_ptr<FakeLine> weak = line;
  uint32_t commandAt = 0;
  bool sent = false;
  std::mutex m;
  line->SetOnHostWrite([&](const std::string&) {
    std::lock_guard<std::mutex> lock(m);
    commandAt = rig.clock.TickMs();
  });
  rig.clock.AddListener([&, weak](uint32_t now) {
    std::lock_guard<std::mutex> lock(m);
    if (commandAt != 0 && !sent && now - commandAt >= 600) {
      sent = true;
      if (auto l = weak.lock()) l->DeviceSend("%GSVPA 4001\r\n");
    }
  });
  Run(3, 0);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: get settings failed: -3");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
}

TEST_F(FactoryTest, PortThatCannotBeOpenedFails) {
  auto line = rig.Line(3);
  line->failOpen = EBUSY;
  Run(3, 0);
  EXPECT_EQ(rig.board.PortStatusHistory(0),
            (Strings{"COM3: factory test", "COM3: open failed: " + std::to_string(EBUSY),
                     "COM3: com init failed: -1"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_FALSE(worker->Running());
  EXPECT_EQ(rig.net.creates, 0);
}

// Data failures: each adds its line to the message log, closes the socket and fails
// the port with its own result.
TEST_F(FactoryTest, LoopbackDataFailures) {
  struct Case {
    const char* name;
    int waitResult;
    std::string reply;
    long recvResult;
    const char* message;
    int result;
  };
  const Case cases[] = {
      {"nothing readable in 3 s", 0, "", 0, "select fail", -8},
      {"wait error", -1, "", 0, "select fail", -8},
      {"pattern with CR LF", 1, "0123456789\r\n", 0, "tcp recv fail", -7},
      {"first piece only", 1, "01234", 0, "tcp recv fail", -7},
      {"connection closed", 1, "", 0, "tcp recv fail", -7},
      {"receive error", 1, "", -1, "tcp recv fail", -7},
      {"last byte differs", 1, "0123456788", 0, "not match", -9},
      {"first byte differs", 1, "x123456789", 0, "not match", -9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerRig local;
    auto line = local.Line(3);
    std::weak_ptr<FakeLine> weak = line;
    line->SetOnHostWrite([weak](const std::string&) {
      if (auto l = weak.lock()) l->DeviceSend("%GSVPA 4001\r\n");
    });
    local.net.script.echo = false;
    local.net.script.waitResult = c.waitResult;
    local.net.script.reply = c.reply;
    local.net.script.recvResult = c.recvResult;
    local.stages.Set(0, StageTesting);
    FactoryTestThread w(local.station, false, 3, 0);
    w.Start();
    w.Join();
    EXPECT_EQ(local.board.Messages(), (Strings{c.message}));
    EXPECT_EQ(local.board.PortStatus(0), "COM3: loopback test failed: " + std::to_string(c.result));
    EXPECT_EQ(local.stages.Get(0), StageFailed);
    EXPECT_EQ(local.net.openSockets, 0);
    EXPECT_EQ(local.net.closes, 1);  // closed once, not again on release
    EXPECT_EQ(local.serial.CloseStages(), (std::vector<int32_t>{StageFailed}));
    // The message is in the log before the failure is shown.
    const Strings events = local.board.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], std::string("message ") + c.message);
  }
}

TEST_F(FactoryTest, RefusedConnectionIsTriedOnceAndLogsItsErrorNumber) {
  Device(3, "%GSVPA 4001\r\n");
  rig.net.script.connectResults = {ECONNREFUSED};
  Run(3, 0);
  EXPECT_EQ(rig.net.connects.size(), 1u);
  EXPECT_EQ(rig.board.Messages(), (Strings{std::to_string(ECONNREFUSED)}));
  EXPECT_EQ(rig.board.Messages()[0], "111");
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_TRUE(rig.net.sent.empty());
  EXPECT_EQ(rig.net.openSockets, 0);
}

TEST_F(FactoryTest, ConnectionTimeOutTwiceFailsWithoutALogLine) {
  Device(3, "%GSVPA 4001\r\n");
  rig.net.script.connectResults = {ETIMEDOUT, ETIMEDOUT, 0};
  Run(3, 0);
  ASSERT_EQ(rig.net.connects.size(), 2u);
  EXPECT_EQ(rig.net.connects[1].timeoutMs, 21000u);
  EXPECT_TRUE(rig.board.Messages().empty());
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(rig.net.openSockets, 0);
  EXPECT_TRUE(rig.net.sent.empty());
}

TEST_F(FactoryTest, SecondAttemptAfterATimeOutCanPass) {
  Device(3, "%GSVPA 4001\r\n");
  rig.net.script.connectResults = {ETIMEDOUT, 0};
  Run(3, 0);
  EXPECT_EQ(rig.net.connects.size(), 2u);
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(rig.net.openSockets, 0);
}

TEST_F(FactoryTest, TimeOutThenAnotherFailureLogsTheOther) {
  Device(3, "%GSVPA 4001\r\n");
  rig.net.script.connectResults = {ETIMEDOUT, EHOSTUNREACH};
  Run(3, 0);
  EXPECT_EQ(rig.net.connects.size(), 2u);
  EXPECT_EQ(rig.board.Messages(), (Strings{std::to_string(EHOSTUNREACH)}));
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
}

TEST_F(FactoryTest, SocketThatCannotBeCreated) {
  Device(3, "%GSVPA 4001\r\n");
  rig.net.script.createResult = EMFILE;
  Run(3, 0);
  EXPECT_EQ(rig.board.Messages(), (Strings{"INVALID_SOCKET"}));
  EXPECT_TRUE(rig.net.connects.empty());
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
}

TEST_F(FactoryTest, ExceptionReleasesShowsAndFails) {
  auto line = Device(3, "%GSVPA 4001\r\n");
  rig.net.throwOnNewSocket = true;
  Run(3, 0);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: Factory Test Exception");
  EXPECT_EQ(rig.board.Exceptions(), (Strings{"socket table broken"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  // Released first, then shown, then the stage.
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<int32_t>{StageTesting}));
  EXPECT_FALSE(line->IsHeld());
  EXPECT_FALSE(worker->Running());
}

TEST(FactoryTestFactory, DispatcherGetsTheRealWorkerWithTheFixedAddress) {
  WorkerRig rig;
  auto line = rig.Line(3);
  line->SetOnHostWrite([&line](const std::string&) { line->DeviceSend("%GSVPA 4001\r\n"); });
  StationWorkerFactory factory(rig.station);
  auto w = factory.StartWorker(WorkerKind::LoopbackTest, 3, 0, true);
  ASSERT_NE(w, nullptr);
  w->Join();
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  ASSERT_EQ(rig.net.connects.size(), 1u);
  EXPECT_EQ(rig.net.connects[0].ip, 0xC0A8017Fu);
  line->SetOnHostWrite(nullptr);
}

}  // namespace

// With the shared in-memory network, whose waits run on the fake clock.
class FactoryTestFakeNet : public ::testing::Test {
 protected:
  FactoryTestFakeNet() : net(&rig.clock) {
    rig.station.net = &net;
    auto line = rig.Line(3);
    std::weak_ptr<FakeLine> weak = line;
    line->SetOnHostWrite([weak](const std::string&) {
      if (auto l = weak.lock()) l->DeviceSend("%GSVPA 4001\r\n");
    });
  }
  void Run() {
    rig.stages.Set(0, StageTesting);
    FactoryTestThread w(rig.station, false, 3, 0);
    w.Start();
    w.Join();
  }
  WorkerRig rig;
  FakeNetwork net;
};

TEST_F(FactoryTestFakeNet, TwoConnectTimeOutsEachWaitTheFullBound) {
  FakePeer peer;
  peer.connects = {ETIMEDOUT, ETIMEDOUT};
  net.SetPeer(4001, peer);
  Run();
  EXPECT_EQ(net.ConnectAttempts(), 2);
  EXPECT_EQ(rig.clock.SleptMs(), 500u + 2u * 21000u);
  EXPECT_TRUE(rig.board.Messages().empty());
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
  EXPECT_EQ(net.OpenSockets(), 0);
  EXPECT_EQ(net.SocketsClosedByDestructor(), 0);
}

TEST_F(FactoryTestFakeNet, EchoFaults) {
  struct Case {
    FakeReply reply;
    const char* message;
    int result;
    uint32_t slept;
  };
  const Case cases[] = {
      {FakeReply::Echo, nullptr, 0, 1000},
      {FakeReply::TwoPieces, "tcp recv fail", -7, 1000},
      {FakeReply::ExtraCrLf, "tcp recv fail", -7, 1000},
      {FakeReply::Close, "tcp recv fail", -7, 1000},
      {FakeReply::WrongByte, "not match", -9, 1000},
      {FakeReply::Nothing, "select fail", -8, 4000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.reply));
    WorkerRig local;
    FakeNetwork localNet(&local.clock);
    FakePeer peer;
    peer.reply = c.reply;
    localNet.SetPeer(peer);
    local.station.net = &localNet;
    auto line = local.Line(3);
    line->SetOnHostWrite([&line](const std::string&) { line->DeviceSend("%GSVPA 4001\r\n"); });
    {
      FactoryTestThread w(local.station, false, 3, 0);
      w.Start();
      w.Join();
    }
    line->SetOnHostWrite(nullptr);
    EXPECT_EQ(local.stages.Get(0), c.result == 0 ? StageTested : StageFailed);
    EXPECT_EQ(local.board.Messages(), c.message ? Strings{c.message} : Strings{});
    EXPECT_EQ(localNet.SentBytes(), "0123456789");
    EXPECT_EQ(local.clock.SleptMs(), c.slept);
    EXPECT_EQ(localNet.OpenSockets(), 0);
    EXPECT_EQ(localNet.SocketsClosedByDestructor(), 0);
  }
}
