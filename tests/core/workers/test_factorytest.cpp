// The loopback test worker against scripted devices and the in-memory network (whose
// waits run on the fake clock).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/fake/SystemErrors.h"
#include "test_factorytest_rig.h"
#include "workers/Factorytestthread.h"
#include "workers/Workers.h"

namespace {

using Strings = std::vector<std::string>;

// A device on COM<portNumber> of `rig` that answers "$GSVPA\r\n" with `answer`.
std::shared_ptr<FakeLine> GsvpaDevice(WorkerRig& rig, int portNumber, const std::string& answer) {
  auto line = rig.Line(portNumber);
  std::weak_ptr<FakeLine> weak = line;
  line->SetOnHostWrite([weak, answer](const std::string& bytes) {
    auto l = weak.lock();
    if (l && bytes == "$GSVPA\r\n" && !answer.empty()) l->DeviceSend(answer);
  });
  return line;
}

// Runs one worker to its end.
std::unique_ptr<FactoryTestThread> RunWorker(WorkerRig& rig, int portNumber, int portIndex,
                                             bool terminateFirst = false) {
  rig.serial.Watch(portIndex);
  rig.stages.Set(portIndex, StageTesting);
  auto w =
      std::make_unique<FactoryTestThread>(rig.station, rig.Run(), false, portNumber, portIndex);
  EXPECT_TRUE(w->Running());
  if (terminateFirst) w->Terminate();
  w->Start();
  w->Join();
  return w;
}

TEST(FactoryTest, PassingDeviceIsReleasedBeforeTheStageIsPublished) {
  WorkerRig rig;
  auto line = GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  auto w = RunWorker(rig, 3, 0);

  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(
      rig.board.PortStatusHistory(0),
      (Strings{"COM3: factory test", "COM3: init finished", "COM3: get test port...",
               "COM3: connect to device...", "COM3: loopback test...", "COM3: loopback test ok"}));
  EXPECT_TRUE(rig.board.Messages().empty());
  // The port was closed while the stage still read "testing", so the next worker can
  // open it the moment it sees StageTested.
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageTesting}));
  EXPECT_FALSE(line->IsHeld());
  EXPECT_EQ(line->AllHostWrites(), "$GSVPA\r\n");

  const auto connects = rig.net.Connects();
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].ip, Ipv4(192, 168, 1, 127));
  EXPECT_EQ(connects[0].port, 4001);
  EXPECT_EQ(connects[0].timeoutMs, 21000u);
  EXPECT_EQ(rig.net.SendLog(), (Strings{"0123456789"}));
  EXPECT_EQ(rig.net.OpenSockets(), 0);
  EXPECT_EQ(rig.net.SocketsClosedByDestructor(), 0);
  // The query's 500 ms and the 500 ms before the readiness wait.
  EXPECT_EQ(rig.clock.SleptMs(), 1000u);
  EXPECT_FALSE(w->Running());
  EXPECT_EQ(w->testPort(), 4001);
  EXPECT_STREQ(w->testIp(), "192.168.1.127");
  // Over the loopback interface there is no link-layer address to check.
  EXPECT_EQ(w->answeredBy(), "loopback");
}

TEST(FactoryTest, TerminateRequestDoesNotShortenTheTest) {
  WorkerRig rig;
  GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  RunWorker(rig, 3, 0, /*terminateFirst=*/true);
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test ok");
}

TEST(FactoryTest, PortIndexFiveWritesColumnOneRowTwo) {
  WorkerRig rig;
  GsvpaDevice(rig, 12, "%GSVPA 4001\r\n");
  RunWorker(rig, 12, 5);
  EXPECT_EQ(rig.board.StatusCell(2, 1), "COM12: loopback test ok");
  EXPECT_EQ(rig.stages.Get(5), StageTested);
  for (int i = 0; i < kMaxPorts; i++) {
    if (i != 5) {
      EXPECT_EQ(rig.stages.Get(i), StageIdle) << i;
    }
  }
}

TEST(FactoryTest, TestPortIsTheDecimalNumberAfterTheKey) {
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

TEST(FactoryTest, TestPortFromTheAnswerDecidesTheConnection) {
  struct Case {
    const char* answer;
    int32_t testPort;
    uint16_t connectPort;
  };
  const Case cases[] = {
      {"%GSVPA4001\r\n", 4001, 4001},
      {"%GSVPA 69537\r\n", 69537, 4001},  // only the low 16 bits count
      {"%GSVPA=4001\r\n", 0, 0},          // no number: port 0, which is refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    WorkerRig rig;
    FakePeer refusing;
    refusing.thenConnect = ECONNREFUSED;
    rig.net.SetPeer(0, refusing);
    GsvpaDevice(rig, 3, c.answer);
    auto w = RunWorker(rig, 3, 0);
    EXPECT_EQ(w->testPort(), c.testPort);
    const auto connects = rig.net.Connects();
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].port, c.connectPort);
    EXPECT_EQ(rig.board.PortStatus(0),
              c.connectPort == 0 ? "COM3: loopback test failed: -6" : "COM3: loopback test ok");
  }
}

// Every console failure ends before any connection, with the stage published before
// the port is released.
TEST(FactoryTest, ConsoleFailuresEndBeforeTheNetwork) {
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
    WorkerRig rig;
    auto line = GsvpaDevice(rig, 3, c.answer);
    line->failRead = c.failRead;
    auto w = RunWorker(rig, 3, 0);
    EXPECT_EQ(rig.board.PortStatus(0), c.status);
    EXPECT_EQ(rig.stages.Get(0), StageFailed);
    EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageTesting}));
    EXPECT_EQ(rig.net.CreateCalls(), 0);
    EXPECT_TRUE(rig.board.Messages().empty());
    EXPECT_FALSE(w->Running());
    EXPECT_FALSE(line->IsHeld());
  }
}

TEST(FactoryTest, AnswerLaterThanHalfASecondIsNotSeen) {
  WorkerRig rig;
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
  RunWorker(rig, 3, 0);
  line->SetOnHostWrite(nullptr);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: get settings failed: -3");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
}

TEST(FactoryTest, PortThatCannotBeOpenedFails) {
  WorkerRig rig;
  rig.Line(3)->failOpen = EBUSY;
  auto w = RunWorker(rig, 3, 0);
  EXPECT_EQ(rig.board.PortStatusHistory(0),
            (Strings{"COM3: factory test", "COM3: open failed: " + std::to_string(EBUSY),
                     "COM3: com init failed: -1"}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_FALSE(w->Running());
  EXPECT_EQ(rig.net.CreateCalls(), 0);
}

// Data failures: each adds its line to the message log, closes the socket and fails
// the port with its own result.
TEST(FactoryTest, LoopbackDataFailures) {
  struct Case {
    const char* name;
    FakePeer peer;
    const char* message;
    int result;
    uint32_t slept;
  };
  FakePeer none, waitError, crlf, pieces, closed, recvError, wrong, nine, first;
  none.reply = FakeReply::Nothing;
  waitError.waitError = EBADF;
  crlf.reply = FakeReply::ExtraCrLf;
  pieces.reply = FakeReply::TwoPieces;
  closed.reply = FakeReply::Close;
  recvError.recvError = ECONNRESET;
  wrong.reply = FakeReply::WrongByte;
  nine.responder = [](const std::string& sent) { return sent.substr(0, sent.size() - 1); };
  first.responder = [](const std::string& sent) { return "x" + sent.substr(1); };
  const Case cases[] = {
      {"nothing readable in 3 s", none, "select fail", -8, 4000},
      {"wait error", waitError, "select fail", -8, 1000},
      {"pattern with CR LF", crlf, "tcp recv fail", -7, 1000},
      {"first piece only", pieces, "tcp recv fail", -7, 1000},
      {"connection closed", closed, "tcp recv fail", -7, 1000},
      {"receive error", recvError, "tcp recv fail", -7, 1000},
      {"last byte differs", wrong, "not match", -9, 1000},
      {"one byte short", nine, "tcp recv fail", -7, 1000},
      {"first byte differs", first, "not match", -9, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerRig rig;
    rig.net.SetPeer(c.peer);
    GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
    RunWorker(rig, 3, 0);
    EXPECT_EQ(rig.board.Messages(), (Strings{c.message}));
    EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: " + std::to_string(c.result));
    EXPECT_EQ(rig.stages.Get(0), StageFailed);
    EXPECT_EQ(rig.clock.SleptMs(), c.slept);
    EXPECT_EQ(rig.net.OpenSockets(), 0);
    EXPECT_EQ(rig.net.SocketsClosed(), 1);  // closed once, not again on release
    EXPECT_EQ(rig.net.SocketsClosedByDestructor(), 0);
    EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageTesting}));
    // The message is in the log before the failure is shown.
    const Strings events = rig.board.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], std::string("message ") + c.message);
  }
}

// Connection failures: at most two attempts, the second only after a time-out; any
// other failure's error number goes to the message log.
TEST(FactoryTest, ConnectionFailures) {
  struct Case {
    const char* name;
    std::vector<int> connects;
    int attempts;
    Strings messages;
    Stage stage;
    uint32_t slept;
  };
  const Case cases[] = {
      {"refused", {kErrRefused}, 1, {std::to_string(kErrRefused)}, StageFailed, 500},
      {"time-out twice",
       {kConnectTimedOut, kConnectTimedOut, 0},
       2,
       {},
       StageFailed,
       500 + 2 * 21000},
      {"time-out, then through", {kConnectTimedOut, 0}, 2, {}, StageTested, 21000 + 1000},
      {"time-out, then unreachable",
       {kConnectTimedOut, EHOSTUNREACH},
       2,
       {std::to_string(EHOSTUNREACH)},
       StageFailed,
       500 + 21000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerRig rig;
    FakePeer peer;
    peer.connects = c.connects;
    rig.net.SetPeer(peer);
    GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
    RunWorker(rig, 3, 0);
    EXPECT_EQ(rig.net.ConnectAttempts(), c.attempts);
    EXPECT_EQ(rig.board.Messages(), c.messages);
    EXPECT_EQ(rig.stages.Get(0), c.stage);
    EXPECT_EQ(rig.clock.SleptMs(), c.slept);
    EXPECT_EQ(rig.net.OpenSockets(), 0);
    if (c.stage == StageFailed) {
      EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
      EXPECT_TRUE(rig.net.SendLog().empty());
    }
  }
}

// After a good echo the link-layer address that answered decides: with the EEPROM
// image downloaded it must be the port's temporary address.
TEST(FactoryTest, AnsweringDeviceMustBeThePortsOwn) {
  struct Case {
    const char* name;
    int linkResult;
    const char* linkAddress;
    std::string message;  // "" for a pass
  };
  const Case cases[] = {
      {"own temporary address", 0, "02:5C:3A:FF:FF:FE", ""},
      {"another port's device", 0, "02:5C:3A:FF:FF:FF",
       "COM2: loopback answered by 02:5C:3A:FF:FF:FF (COM1's device)"},
      {"a temporary address of no port of the run", 0, "02:5C:3A:FF:FF:F0",
       "COM2: loopback answered by 02:5C:3A:FF:FF:F0 (expected 02:5C:3A:FF:FF:FE)"},
      {"a device with its own address", 0, "02:5C:3A:04:22:D1",
       "COM2: loopback answered by 02:5C:3A:04:22:D1 (expected 02:5C:3A:FF:FF:FE)"},
      {"no neighbour entry", ENOENT, "",
       "COM2: loopback answered by an unknown link-layer address (error " +
           std::to_string(ENOENT) + ")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerRig rig;
    rig.job.jobFlags = kJobEeprom;
    rig.answered.RunStarted({1, 2});
    FakePeer peer;
    peer.linkResult = c.linkResult;
    peer.linkAddress = c.linkAddress;
    rig.net.SetPeer(peer);
    GsvpaDevice(rig, 2, "%GSVPA 4001\r\n");
    auto w = RunWorker(rig, 2, 1);
    const bool pass = c.message.empty();
    EXPECT_EQ(rig.board.Messages(), pass ? Strings{} : Strings{c.message});
    EXPECT_EQ(rig.board.PortStatus(1),
              pass ? "COM2: loopback test ok" : "COM2: loopback test failed: -10");
    EXPECT_EQ(rig.stages.Get(1), pass ? StageTested : StageFailed);
    EXPECT_EQ(w->answeredBy(), c.linkAddress);
    EXPECT_EQ(rig.net.OpenSockets(), 0);
  }
}

// Without the EEPROM download the devices keep addresses of their own: one device
// cannot pass for two ports of a run, and a new run starts afresh.
TEST(FactoryTest, OneDevicePassesForOnePortOfARun) {
  WorkerRig rig;
  rig.job.jobFlags = kJobFirmware;
  rig.answered.RunStarted({3, 4});
  FakePeer peer;
  peer.linkResult = 0;
  peer.linkAddress = "00:11:22:33:44:55";
  rig.net.SetPeer(peer);
  GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  GsvpaDevice(rig, 4, "%GSVPA 4001\r\n");
  RunWorker(rig, 3, 0);
  RunWorker(rig, 4, 1);
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(rig.stages.Get(1), StageFailed);
  EXPECT_EQ(rig.board.PortStatus(1), "COM4: loopback test failed: -10");
  EXPECT_EQ(rig.board.Messages(),
            (Strings{"COM4: loopback answered by 00:11:22:33:44:55 (already answered for COM3)"}));
  rig.answered.RunStarted({3, 4});
  RunWorker(rig, 4, 1);
  EXPECT_EQ(rig.stages.Get(1), StageTested);
}

TEST(FactoryTest, SocketThatCannotBeCreated) {
  WorkerRig rig;
  rig.net.SetCreateError(EMFILE);
  GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  RunWorker(rig, 3, 0);
  EXPECT_EQ(rig.board.Messages(), (Strings{"INVALID_SOCKET"}));
  EXPECT_TRUE(rig.net.Connects().empty());
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: loopback test failed: -6");
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
}

TEST(FactoryTest, ExceptionReleasesShowsAndFails) {
  WorkerRig rig;
  TripBoard trip(rig.board);
  trip.throwOnStatus = {"COM3: loopback test..."};
  rig.station.board = &trip;
  auto line = GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  auto w = RunWorker(rig, 3, 0);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: Factory Test Exception");
  EXPECT_EQ(rig.board.Exceptions(), (Strings{"board broke at: COM3: loopback test..."}));
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  // Shown, released, then the stage.
  EXPECT_EQ(rig.serial.CloseStages(), (std::vector<Stage>{StageTesting}));
  EXPECT_EQ(rig.net.OpenSockets(), 0);
  EXPECT_FALSE(line->IsHeld());
  EXPECT_FALSE(w->Running());
}

TEST(FactoryTest, ExceptionAfterThePublishedStageLeavesTheStageAlone) {
  WorkerRig rig;
  TripBoard trip(rig.board);
  trip.throwOnStatus = {"COM3: loopback test ok"};
  rig.station.board = &trip;
  GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  rig.serial.Watch(0);
  rig.stages.Set(0, StageTesting);
  FactoryTestThread w(rig.station, rig.Run(), false, 3, 0);
  w.Start();
  w.Join();
  // By now the port's entry belongs to its next worker.
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  EXPECT_EQ(rig.board.PortStatus(0), "COM3: Factory Test Exception");
}

// With a fault that is no std::exception, in the test and again in its report.
TEST(FactoryTest, BoardFailingInTheExceptionPathStillFailsThePort) {
  WorkerRig rig;
  TripBoard trip(rig.board);
  trip.throwOnStatus = {"COM3: loopback test...", "COM3: Factory Test Exception"};
  trip.foreign = true;
  rig.station.board = &trip;
  auto line = GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  auto w = RunWorker(rig, 3, 0);
  // Not left at "testing" for the dispatcher to wait on forever.
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_FALSE(line->IsHeld());
  EXPECT_FALSE(w->Running());
}

TEST(FactoryTest, DispatcherGetsTheRealWorkerWithTheFixedAddress) {
  WorkerRig rig;
  GsvpaDevice(rig, 3, "%GSVPA 4001\r\n");
  StationWorkerFactory factory(rig.station);
  auto w = factory.StartWorker(rig.Run(), WorkerKind::LoopbackTest, 3, 0, true);
  ASSERT_NE(w, nullptr);
  w->Join();
  EXPECT_EQ(rig.stages.Get(0), StageTested);
  const auto connects = rig.net.Connects();
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].ip, 0xC0A8017Fu);
}

}  // namespace
