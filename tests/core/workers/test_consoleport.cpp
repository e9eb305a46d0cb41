// The console channel against the fake serial port: the open steps and their texts,
// the polling read with its limits and hex trace, queries, and the per-port log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeSerial.h"
#include "platform/fake/ScratchDir.h"
#include "platform/fake/SystemErrors.h"
#include "workers/ConsolePort.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

struct ScratchLogDir {
  ScratchLogDir() : path(MakeScratchDir("console")) {}
  ~ScratchLogDir() { RemoveScratchDir(path); }
  std::string path;
};

struct Rig {
  Rig() {
    st.ui = &ui;
    st.board = &board;
    st.clock = &clock;
    st.serial = &bus;
    st.ports = &ports;
    line = bus.Line(ports.DevicePath(3));
  }
  std::unique_ptr<ConsolePort> Open(int expect = 0) {
    auto cp = std::make_unique<ConsolePort>(st, 3, 5);
    // At the console rate a run takes from the stored job configuration.
    const RunJob run = MakeRunJob(JobState{}, cfg, TestInterfaces{}, "");
    EXPECT_EQ(expect, cp->OpenConsolePort(run.consoleBaud));
    return cp;
  }
  FakeSerialBus bus;
  FakeClock clock;
  InlineUiThread ui;
  RecordingBoard board;
  PortMap ports{"/nonexistent-console-test-dir"};
  StoredConfig cfg{"/nonexistent-console-test-dir", "storedCfg.txt"};
  Station st;
  std::shared_ptr<FakeLine> line;
};

}  // namespace

TEST(ConsolePortOpen, EachFailedStepShowsItsTextAndLeavesThePortClosed) {
  struct Case {
    int FakeLine::*step;
    const char* text;
  };
  const Case cases[] = {
      {&FakeLine::failOpen, "COM3: open failed: 16"},
      {&FakeLine::failQueueSizes, "COM3: SetupComm failed: 16"},
      {&FakeLine::failTimeouts, "COM3: SetCommTimeouts failed: 16"},
      {&FakeLine::failGetState, "COM3: GetCommState failed: 16"},
      {&FakeLine::failSetState, "COM3: SetCommState failed: 16"},
      {&FakeLine::failPurge, "COM3: PurgeComm failed: 16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Rig r;
    (*r.line).*c.step = 16;
    auto cp = r.Open(-1);
    // Port index 5: column 1, row 2.
    EXPECT_EQ(c.text, r.board.StatusCell(2, 1));
    EXPECT_EQ(c.text, std::string(cp->statusText));
    EXPECT_FALSE(cp->IsOpen());
    EXPECT_FALSE(r.line->IsHeld());
    EXPECT_EQ(0u, cp->SendText("x"));
    cp->ClosePort();  // closing a closed port does nothing
    // The port is free for the next worker once the fault is gone.
    (*r.line).*c.step = 0;
    auto next = r.Open(0);
    EXPECT_EQ("COM3: init finished", r.board.PortStatus(5));
  }
}

TEST(ConsolePortOpen, BaudFromTheStoredConsoleIndexAndQueuesPurged) {
  for (auto [index, baud] :
       {std::pair{1, 57600u}, {2, 38400u}, {0, 115200u}, {7, 115200u}, {-1, 115200u}}) {
    Rig r;
    r.cfg.consoleBaudIndex = index;
    r.line->DeviceSend("stale bytes");
    auto cp = r.Open();
    EXPECT_EQ(baud, r.line->baud()) << index;
    EXPECT_EQ(1, r.line->purgeCount());
    EXPECT_TRUE(r.line->IsHeld());
    uint32_t q = 1;
    cp->port()->QueuedBytes(&q);
    EXPECT_EQ(0u, q);
    cp->ClosePort();
    EXPECT_FALSE(r.line->IsHeld());
  }
}

TEST(ConsolePortRead, TakesAtMost128BytesAndStopsStoringAt1024) {
  Rig r;
  auto cp = r.Open();
  // 1000 bytes held; a 128-byte read with zeros among its bytes stores the first 24
  // non-zero ones and drops the rest of that read.
  cp->recvCount = 1000;
  std::string chunk;
  for (int i = 0; i < 128; ++i) chunk += (i % 3 == 0) ? '\0' : static_cast<char>('a' + i % 26);
  r.line->DeviceSend(chunk);
  r.line->DeviceSend(std::string(50, 'z'));
  cp->ReadAvailable();
  ASSERT_EQ(1024, cp->recvCount);
  std::string expect;
  for (char c : chunk) {
    if (c != '\0' && expect.size() < 24) expect += c;
  }
  EXPECT_EQ(expect, std::string(cp->recvBuf + 1000, 24));
  EXPECT_EQ('\0', cp->recvBuf[1024]);
  // The next read empties another 128 bytes from the driver but stores nothing.
  uint32_t q = 0;
  cp->port()->QueuedBytes(&q);
  EXPECT_EQ(50u, q);
  cp->ReadAvailable();
  EXPECT_EQ(1024, cp->recvCount);

  cp->recvCount = 0;
  r.line->DeviceSend(std::string(300, 'k'));
  cp->ReadAvailable();
  EXPECT_EQ(128, cp->recvCount);
}

TEST(ConsolePortRead, EmptyQueueSleeps300AndFailuresReturnAtOnce) {
  Rig r;
  ScratchLogDir dir;
  PortLog log;
  ASSERT_EQ(0, log.Create(dir.path, "COM3"));
  auto cp = r.Open();
  const uint32_t t0 = r.clock.TickMs();
  EXPECT_EQ(0, cp->ReadAvailable(&log));
  EXPECT_EQ(300u, r.clock.TickMs() - t0);

  // A failed queue state (a hung-up port) is shown with its errno and returned.
  r.line->failQueued = 5;
  EXPECT_EQ(5, cp->ReadAvailable(&log));
  EXPECT_EQ(300u, r.clock.TickMs() - t0);
  EXPECT_EQ("COM3: ReadFile failed: 5", r.board.PortStatus(5));
  r.line->failQueued = 0;

  r.line->DeviceSend("abc");
  r.line->failRead = 4;
  EXPECT_EQ(4, cp->ReadAvailable(&log));
  EXPECT_EQ("COM3: ReadFile failed: 4", r.board.PortStatus(5));
  EXPECT_EQ(0, cp->recvCount);
  log.Close();
  // Nothing but the failure texts in the log: no trace line, no line end.
  EXPECT_EQ("COM3: ReadFile failed: 5COM3: ReadFile failed: 4",
            ReadFile(dir.path + "/logCOM3.txt"));
}

TEST(ConsolePortRead, SkipsZeroBytesAndTracesOnlyWhatItStored) {
  Rig r;
  ScratchLogDir dir;
  PortLog log;
  ASSERT_EQ(0, log.Create(dir.path, "COM3"));
  auto cp = r.Open();
  r.line->DeviceSend(std::string("A\0\x0b\0\xff\r\n", 7));
  cp->ReadAvailable(&log);
  EXPECT_EQ(std::string("A\x0b\xff\r\n"),
            std::string(cp->recvBuf, static_cast<size_t>(cp->recvCount)));
  EXPECT_EQ('\0', cp->recvBuf[cp->recvCount]);
  r.line->DeviceSend(std::string(4, '\0'));
  cp->ReadAvailable(&log);
  cp->ReadAvailable();  // no trace without a log
  r.line->DeviceSend("Z");
  cp->ReadAvailable();
  log.Close();
  EXPECT_EQ("41,0b,ff,0d,0a,\r\n\r\n", ReadFile(dir.path + "/logCOM3.txt"));
}

TEST(ConsolePortQuery, ResultsAndValues) {
  struct Case {
    const char* answer;
    int rc;
    const char* value;
  };
  const Case cases[] = {
      {"%GSVPA4001\r\n", 0, "4001"},
      {"junk\r\n%GSVPA 4001\r\nmore\r\n", 0, " 4001"},
      {"%GSVPA4001", 0, "4001"},  // no line end: the value stops at the bytes read
      {"%GSVPA40\r", 0, "40\r"},
      {"FAIL\r\n", -3, ""},         // "FAIL" without the key
      {"%GSVPA FAIL\r\n", -4, ""},  // with the key
      {"FAIL %GSVPA4001\r\n", -4, ""},
      {"%GSVP4001\r\n", -3, ""},
      {"", -3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    Rig r;
    auto cp = r.Open();
    FakeLine* line = r.line.get();
    const std::string answer = c.answer;
    line->SetOnHostWrite([line, answer](const std::string&) { line->DeviceSend(answer); });
    std::string value = "old";
    EXPECT_EQ(c.rc, cp->ConsoleQuery("$GSVPA\r\n", 5, &value));
    EXPECT_EQ(c.value, value);
    EXPECT_EQ((std::vector<std::string>{"$GSVPA\r\n"}), line->HostWriteLog());
    line->SetOnHostWrite(nullptr);
  }
}

TEST(ConsolePortQuery, ZeroBytesInTheAnswerAreLineNoise) {
  Rig r;
  auto cp = r.Open();
  FakeLine* line = r.line.get();
  line->SetOnHostWrite([line](const std::string&) {
    line->DeviceSend(
        std::string("\0%GS\0VPA40\0"
                    "1\r\n",
                    14));
  });
  std::string v;
  EXPECT_EQ(0, cp->ConsoleQuery("$GSVPA\r\n", 5, &v));
  EXPECT_EQ("401", v);
}

TEST(ConsolePortQuery, LateAnswerStaleBytesLongAnswersAndBadArguments) {
  Rig r;
  auto cp = r.Open();
  FakeLine* line = r.line.get();
  std::string v;
  // Bytes queued before the command are discarded; an answer 700 ms later is not seen.
  uint32_t answerAt = 0;
  r.clock.AddListener([&](uint32_t now) {
    if (answerAt != 0 && now >= answerAt) {
      answerAt = 0;
      line->DeviceSend("%SYCXXMAC OK\r\n");
    }
  });
  line->SetOnHostWrite([&](const std::string&) { answerAt = r.clock.TickMs() + 700; });
  line->DeviceSend("%SYCXXMAC OK\r\n");
  const uint32_t t0 = r.clock.TickMs();
  EXPECT_EQ(-3, cp->ConsoleQuery("$SYCXXMAC02:5c:3a:0a:0b:ff\r\n", 8, &v));
  EXPECT_EQ(500u, r.clock.TickMs() - t0);
  line->SetOnHostWrite(nullptr);
  r.clock.SleepMs(300);

  // Only 128 bytes are read: a key beyond them is not found.
  line->SetOnHostWrite([line](const std::string&) {
    line->DeviceSend(std::string(130, '.') + "%GLM 02:5C:3A:00:00:01\r\n");
  });
  EXPECT_EQ(-3, cp->ConsoleQuery("$GLM\r\n", 3, &v));
  line->SetOnHostWrite(
      [line](const std::string&) { line->DeviceSend("%GLM" + std::string(200, 'x')); });
  EXPECT_EQ(0, cp->ConsoleQuery("$GLM\r\n", 3, &v));
  EXPECT_EQ(std::string(124, 'x'), v);
  line->SetOnHostWrite(nullptr);

  line->failRead = 5;
  EXPECT_EQ(-2, cp->ConsoleQuery("$GLM\r\n", 3, &v));
  line->failRead = 0;

  const size_t writes = line->HostWriteLog().size();
  EXPECT_EQ(-1, cp->ConsoleQuery(nullptr, 3, &v));
  EXPECT_EQ(-1, cp->ConsoleQuery("", 3, &v));
  EXPECT_EQ(-1, cp->ConsoleQuery("$GLM\r\n", 0, &v));
  EXPECT_EQ(-1, cp->ConsoleQuery("$GLM\r\n", 3, nullptr));
  EXPECT_EQ(-1, cp->ConsoleQuery("$G", 5, &v));  // key longer than the command
  EXPECT_EQ("", v);
  EXPECT_EQ(writes, line->HostWriteLog().size());  // nothing was sent
}

TEST(ConsolePortStatus, LongTextsAreCutToTheBuffer) {
  Rig r;
  ConsolePort cp(r.st, 3, 0);
  const std::string longName(600, 'n');
  cp.ShowStatus("%s: %s", cp.portName.c_str(), longName.c_str());
  EXPECT_EQ(511u, std::string(cp.statusText).size());
  EXPECT_EQ(std::string(cp.statusText), r.board.PortStatus(0));
  EXPECT_EQ(0, r.board.PortStatus(0).rfind("COM3: nnn", 0));
}

TEST(PortLogFile, CreatedAnewWrittenRawAndNamedAfterThePort) {
  ScratchLogDir dir;
  const std::string path = dir.path + "/logCOM12.txt";
  {
    std::ofstream f(path);
    f << "old contents of an earlier run";
  }
  PortLog log;
  EXPECT_FALSE(log.IsOpen());
  EXPECT_EQ(kErrNotOpen, log.Write("x"));
  ASSERT_EQ(0, log.Create(dir.path + "/", "COM12"));  // a trailing separator is not doubled
  EXPECT_TRUE(log.IsOpen());
  EXPECT_EQ(0, log.Write("\r\nwrite $SES\r\n"));
  EXPECT_EQ(0, log.Write(std::string("a\0b", 3)));
  log.Close();
  log.Close();
  EXPECT_EQ(std::string("\r\nwrite $SES\r\na\0b", 17), ReadFile(path));

  EXPECT_EQ(kErrNoPath, log.Create(dir.path + "/missing", "COM3"));
  EXPECT_EQ(ENAMETOOLONG, log.Create(dir.path + "/" + std::string(5000, 'd'), "COM3"));
  EXPECT_EQ(ENAMETOOLONG, log.Create(dir.path + "/" + std::string(300, 'd'), "COM3"));
  EXPECT_FALSE(log.IsOpen());
}
