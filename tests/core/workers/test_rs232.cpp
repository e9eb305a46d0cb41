// The loader download worker: its line parser, every row of its dialogue table, and
// whole runs against a scripted device loader in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/SystemErrors.h"
#include "test_rs232_rig.h"
#include "test_xmodem_rig.h"
#include "workers/Rs232thread.h"

using dltest::LoaderScript;
using dltest::Trace;
using R = RS232Thread;

namespace {

std::string Count(const std::vector<std::string>& v, const std::string& s) {
  return std::to_string(std::count(v.begin(), v.end(), s));
}

bool Contains(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

// ---------------------------------------------------------------- parser

class Rs232ParseTest : public ::testing::Test {
 protected:
  void Load(const std::string& bytes) {
    w.console().recvCount = 0;
    Append(bytes);
  }
  void Append(const std::string& bytes) {
    ConsolePort& c = w.console();
    ASSERT_LE(c.recvCount + bytes.size(), ConsolePort::kRecvCapacity);
    std::memcpy(c.recvBuf + c.recvCount, bytes.data(), bytes.size());
    c.recvCount += static_cast<int32_t>(bytes.size());
  }
  std::string Held() { return std::string(w.console().recvBuf, w.console().recvCount); }
  std::string LastStatus() { return rig.board.PortStatus(0); }

  dltest::Rig rig;
  RS232Thread w{rig.station, rig.Run(), false, 1, 0};
};

TEST_F(Rs232ParseTest, ClassifiesTheFirstMatchingLineAndDropsEverythingAfterIt) {
  Load("boot noise\r\nfw = 1.0 verison 2\r\nVarnix Serial Loader\r\ntail");
  EXPECT_EQ(w.ParseReplies(), 0);
  EXPECT_EQ(w.recvStatus(), R::RecvFwLine) << "\"fw =\" is tried before \"verison\"";
  EXPECT_EQ(w.console().recvCount, 0);
  EXPECT_EQ(LastStatus(), "COM1: fw = 1.0 verison 2\r");
}

TEST_F(Rs232ParseTest, KeywordsAreTriedInTableOrderCaseSensitively) {
  const struct {
    const char* line;
    RecvStatus status;
  } cases[] = {
      {"Varnix Serial Loader verison\n", R::RecvLoaderBanner},
      {"verison Downloading\n", R::RecvVersionLine},
      {"Downloading Write to Flash\n", R::RecvDownloading},
      {"Write to Flash save to eeprom\n", R::RecvWriteToFlash},
      {"save to eeprom %GLM\n", R::RecvSaveToEeprom},
      {"%GLM %SYCXX\n", R::RecvGlmReply},
      {"%SYCXX MAC don't match\n", R::RecvSycReply},
      {"MAC don't match\n", R::RecvMacMismatch},
      {"FW = 1.0\n", R::RecvNone},
      {"firmware version 1.0\n", R::RecvNone},
      {"fw=1.0\n", R::RecvNone},
  };
  for (const auto& c : cases) {
    Load(c.line);
    EXPECT_EQ(w.ParseReplies(), c.status == R::RecvNone ? -2 : 0) << c.line;
    if (c.status != R::RecvNone) {
      EXPECT_EQ(w.recvStatus(), c.status) << c.line;
    }
    EXPECT_EQ(w.console().recvCount, 0) << c.line;
  }
}

TEST_F(Rs232ParseTest, IncompleteLinesAndLoneCarriageReturns) {
  // A partial line stays and is completed by the next read.
  Load("Varnix Ser");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(Held(), "Varnix Ser");
  Append("ial Loader\r\n");
  EXPECT_EQ(w.ParseReplies(), 0);
  EXPECT_EQ(w.recvStatus(), R::RecvLoaderBanner);

  // A line whose "\r" and "\n" come in different reads is consumed at the "\r".
  Load("Varnix Serial Loader\r");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(w.console().recvCount, 0);
  Load("\n");
  EXPECT_EQ(w.ParseReplies(), -2);

  // Unmatched complete lines go, a prompt without line end stays.
  Load("chatter\r\nSelect> ");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(Held(), "Select> ");
}

TEST_F(Rs232ParseTest, SpinnerIsShownAndConsumed) {
  Load("-\r");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(LastStatus(), "COM1: Write to device...-");
  EXPECT_EQ(w.console().recvCount, 0);

  Load("|\r");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(LastStatus(), "COM1: Write to device...|");

  // "-" shown, the "\r" after it consumed, a "|" without its "\r" kept.
  Load("12%-\r|");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(LastStatus(), "COM1: Write to device...-");
  EXPECT_EQ(Held(), "|");
}

TEST_F(Rs232ParseTest, ReplyTextsTerminationAndAFullBuffer) {
  Load("%GLM 02:5C:3A:FF:FF:FF\r\n");
  EXPECT_EQ(w.ParseReplies(), 0);
  EXPECT_EQ(LastStatus(), "COM1: %GLM 02:5C:3A:FF:FF:FF\r - Download OK");
  Load("%SYCXXMAC OK\r\n");
  EXPECT_EQ(w.ParseReplies(), 0);
  EXPECT_EQ(LastStatus(), "COM1: Write MAC OK");

  // 1024 bytes without any line end can never become a line: dropped. One byte
  // less still waits for its line end.
  Load(std::string(1023, 'a'));
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(w.console().recvCount, 1023);
  Append("b");
  EXPECT_EQ(w.ParseReplies(), -2);
  EXPECT_EQ(w.console().recvCount, 0);

  // A stop request leaves the buffer as it was.
  w.Terminate();
  Load("fw = 1.0\r\n");
  EXPECT_EQ(w.ParseReplies(), -1);
  EXPECT_EQ(Held(), "fw = 1.0\r\n");
  EXPECT_EQ(w.recvStatus(), R::RecvSycReply) << "the last class stays";
}

// ---------------------------------------------------------------- dialogue table

// The step a row starts in, reached through the device's lines alone: "fw =" (the job
// decides between the firmware and the EEPROM step), an EEPROM transfer to a receiver,
// or the "%SYCXX" answer.
enum class From { Start, Firmware, Eeprom, Downloaded, Rebooting };

std::string LineOf(RecvStatus s) {
  switch (s) {
    case R::RecvFwLine: return "fw = 1.0\r\n";
    case R::RecvLoaderBanner: return "Varnix Serial Loader\r\n";
    case R::RecvDownloading: return "Downloading\r\n";
    case R::RecvWriteToFlash: return "Write to Flash\r\n";
    case R::RecvSaveToEeprom: return "save to eeprom\r\n";
    case R::RecvVersionLine: return "verison 1.0\r\n";
    case R::RecvGlmReply: return "%GLM 02:5C:3A:FF:FF:FF\r\n";
    case R::RecvMacMismatch: return "MAC don't match\r\n";
    case R::RecvSycReply: return "%SYCXXMAC OK\r\n";
    case R::RecvNone: break;
  }
  return "chatter\r\n";
}

TEST(Rs232DialogueTest, EveryRowOfTheTransitionTable) {
  constexpr int32_t fw = kJobFirmware, ee = kJobEeprom;
  using F = From;
  const struct Row {
    RecvStatus recv;
    From from;
    int32_t job;
    std::vector<std::string> writes;
    R::ProcessFlag newFlag;
    uint64_t sleptMs;
    const char* status;  // shown by the step, or nullptr
    bool renews;         // writes, transfers or changes the step: last activity := now
  } rows[] = {
      {R::RecvFwLine, F::Start, fw | ee, {"@@"}, R::ProcFirmware, 0, nullptr, true},
      {R::RecvFwLine, F::Start, ee, {"@@"}, R::ProcEeprom, 0, nullptr, true},
      {R::RecvFwLine, F::Downloaded, ee, {}, R::ProcDownloaded, 0, nullptr, true},
      {R::RecvFwLine, F::Eeprom, ee, {}, R::ProcEeprom, 0, nullptr, false},
      {R::RecvLoaderBanner, F::Start, fw, {"U"}, R::ProcFirmware, 300, nullptr, true},
      {R::RecvLoaderBanner, F::Firmware, fw | ee, {"U"}, R::ProcFirmware, 300, nullptr, true},
      {R::RecvLoaderBanner, F::Start, ee, {"E"}, R::ProcEeprom, 300, nullptr, true},
      {R::RecvLoaderBanner, F::Eeprom, ee, {"E"}, R::ProcEeprom, 300, nullptr, true},
      {R::RecvLoaderBanner, F::Downloaded, ee, {"R"}, R::ProcDownloaded, 300, nullptr, true},
      {R::RecvLoaderBanner, F::Rebooting, ee, {}, R::ProcRebooting, 0, nullptr, false},
      {R::RecvDownloading, F::Start, fw | ee, {}, R::ProcStart, 0,
       "COM1: Download Firmware failed: -1", true},
      {R::RecvDownloading, F::Start, ee, {}, R::ProcStart, 0, "COM1: Download EEPROM failed: -1",
       true},
      {R::RecvDownloading, F::Eeprom, ee, {}, R::ProcStart, 0, "COM1: Download EEPROM failed: -1",
       true},
      {R::RecvDownloading, F::Downloaded, ee, {}, R::ProcDownloaded, 0, nullptr, false},
      {R::RecvWriteToFlash, F::Firmware, fw, {}, R::ProcFirmware, 0, nullptr, false},
      {R::RecvSaveToEeprom, F::Eeprom, ee, {}, R::ProcEeprom, 0, nullptr, false},
      {R::RecvVersionLine, F::Start, ee, {"$SES\r\n"}, R::ProcStart, 1000, nullptr, true},
      {R::RecvVersionLine, F::Downloaded, ee, {"$GLM\r\n"}, R::ProcDownloaded, 1000, nullptr, true},
      {R::RecvVersionLine, F::Rebooting, ee, {"$GLM\r\n"}, R::ProcRebooting, 0, nullptr, true},
      {R::RecvVersionLine, F::Eeprom, ee, {}, R::ProcEeprom, 0, nullptr, false},
      {R::RecvGlmReply, F::Start, ee, {}, R::ProcFinished, 0, nullptr, true},
      {R::RecvGlmReply, F::Firmware, fw, {}, R::ProcFinished, 0, nullptr, true},
      {R::RecvMacMismatch, F::Downloaded, ee, {}, R::ProcStart, 0, nullptr, true},
      {R::RecvSycReply, F::Start, ee, {"$SER\r\n"}, R::ProcRebooting, 1000, nullptr, true},
  };
  constexpr R::ProcessFlag kFromFlag[] = {R::ProcStart, R::ProcFirmware, R::ProcEeprom,
                                          R::ProcDownloaded, R::ProcRebooting};
  int n = 0;
  for (const Row& row : rows) {
    const std::string what = "row " + std::to_string(n++);
    dltest::Rig rig;
    rig.job.jobFlags = row.job;
    rig.cfg.eepromPath = rig.Path("missing.vef");
    rig.cfg.firmwarePath = rig.Path("missing.vff");
    if (row.from == F::Downloaded) {
      rig.cfg.eepromPath = rig.Path("image.vef");
      dltest::WriteFile(rig.cfg.eepromPath, dltest::Pattern(1024, 3));
    }
    auto line = rig.Line(1);
    std::optional<dltest::Receiver> receiver;
    RS232Thread w(rig.station, rig.Run(), false, 1, 0);
    ASSERT_EQ(w.console().OpenConsolePort(115200), 0);
    // One read of what the device printed, parsed and answered; `before` runs between
    // the parse and the answer.
    auto feed = [&](const std::string& bytes, const std::function<void()>& before = nullptr) {
      line->DeviceSend(bytes);
      ASSERT_EQ(w.console().ReadAvailable(), 0);
      const int parsed = w.ParseReplies();
      if (before) before();
      w.StepDialogue(parsed);
    };
    if (row.from == F::Firmware || row.from == F::Eeprom) feed(LineOf(R::RecvFwLine));
    if (row.from == F::Rebooting) feed(LineOf(R::RecvSycReply));
    if (row.from == F::Downloaded) {
      receiver.emplace(line, rig.clock);
      feed(LineOf(R::RecvFwLine));
      feed(LineOf(R::RecvDownloading), [&] { receiver->SendStart(); });
    }
    ASSERT_EQ(w.processFlag(), kFromFlag[static_cast<int>(row.from)]) << what;

    const size_t writesBefore = line->HostWriteLog().size();
    rig.clock.Set(rig.clock.TickMs() + 1);  // a renewal shows as a new time
    const uint32_t activityBefore = w.lastActivity();
    const uint64_t slept = rig.clock.SleptMs();
    feed(LineOf(row.recv));
    const auto writes = line->HostWriteLog();
    EXPECT_EQ(std::vector<std::string>(writes.begin() + static_cast<long>(writesBefore), writes.end()),
              row.writes)
        << what;
    EXPECT_EQ(w.processFlag(), row.newFlag) << what;
    EXPECT_EQ(w.recvStatus(), R::RecvNone) << what;
    EXPECT_EQ(rig.clock.SleptMs() - slept, row.sleptMs) << what;
    if (row.status) {
      EXPECT_EQ(rig.board.PortStatus(0), row.status) << what;
    }
    EXPECT_EQ(w.lastActivity(), row.renews ? rig.clock.TickMs() : activityBefore) << what;
  }

  // Without a complete line nothing happens.
  dltest::Rig rig;
  rig.job.jobFlags = ee;
  auto line = rig.Line(1);
  RS232Thread w(rig.station, rig.Run(), false, 1, 0);
  ASSERT_EQ(w.console().OpenConsolePort(115200), 0);
  line->DeviceSend("Varnix Serial Loader");
  ASSERT_EQ(w.console().ReadAvailable(), 0);
  w.StepDialogue(w.ParseReplies());
  EXPECT_TRUE(line->HostWriteLog().empty());
  EXPECT_EQ(w.processFlag(), R::ProcStart);
  EXPECT_EQ(w.recvStatus(), R::RecvNone);
}

// ---------------------------------------------------------------- whole runs

// Throws from the status cell when a text contains `trigger`.
class ThrowingBoard final : public Board {
 public:
  explicit ThrowingBoard(RecordingBoard& inner, std::string trigger)
      : inner_(inner), trigger_(std::move(trigger)) {}
  void ShowPortStatus(int portIndex, const std::string& text) override {
    inner_.ShowPortStatus(portIndex, text);
    if (text.find(trigger_) != std::string::npos) throw std::runtime_error("board failed");
  }
  void SetMacGridCell(int r, int c, const std::string& t) override {
    inner_.SetMacGridCell(r, c, t);
  }
  void AppendMessage(const std::string& t) override { inner_.AppendMessage(t); }
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string& m) override { inner_.ShowException(m); }
  void SetStartButton(bool) override {}
  void DispatcherEnded() override {}

 private:
  RecordingBoard& inner_;
  std::string trigger_;
};

class Rs232RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.job.logEnabled = true;
    rig.job.logDirectory = rig.dir;
    eeprom = dltest::Pattern(1024, 3);
    firmware = dltest::Pattern(2500, 5);
    rig.cfg.eepromPath = rig.Path("image.vef");
    rig.cfg.firmwarePath = rig.Path("image.vff");
    dltest::WriteFile(rig.cfg.eepromPath, eeprom);
    dltest::WriteFile(rig.cfg.firmwarePath, firmware);
  }

  // Runs the worker of COM1 at place 0 to its end, for the run job taken now (or `run`).
  void Run(LoaderScript& dev, int32_t jobFlags, bool log = true, const RunJob* run = nullptr) {
    rig.job.jobFlags = jobFlags;
    dev.PowerOn();
    start = rig.clock.TickMs();
    rig.stages.Set(0, StageDownloading);
    worker = std::make_unique<RS232Thread>(rig.station, run ? *run : rig.Run(), log, 1, 0);
    worker->Start();
    // The stage is the worker's last word: by then the port, its image file and its
    // log must be closed and `running` cleared.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (rig.stages.Get(0) == StageDownloading && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_NE(rig.stages.Get(0), StageDownloading) << "the worker did not end";
    EXPECT_FALSE(line->IsHeld()) << "port still open when the stage was written";
    EXPECT_FALSE(worker->Running());
    worker->Join();
    elapsed = rig.clock.TickMs() - start;
  }

  std::string Log() { return dltest::ReadFile(rig.dir + "/logCOM1.txt"); }
  std::vector<std::string> Status() { return rig.board.PortStatusHistory(0); }
  std::string WithMac(std::string image) {
    image.replace(6, 6, "\xFF\xFF\xFF\x3A\x5C\x02");
    return image;
  }
  static std::string Padded(const std::string& image) {
    return image + std::string((1024 - image.size() % 1024) % 1024, '\0');
  }

  dltest::Rig rig;
  std::shared_ptr<FakeLine> line = rig.Line(1);
  std::unique_ptr<RS232Thread> worker;
  std::string eeprom, firmware;
  uint32_t start = 0, elapsed = 0;
};

// "\r\n<text>\r\n", the form of most log entries.
std::string Entry(const std::string& text) {
  return "\r\n" + text + "\r\n";
}
// A received line as logged: its trace, its bytes without the "\n", and its class.
std::string Line(const std::string& line, const char* keyword) {
  return Trace(line) + line.substr(0, line.size() - 1) + Entry(std::string("recv ") + keyword);
}

TEST_F(Rs232RunTest, EepromOnlyRunAndItsLogByteForByte) {
  LoaderScript dev(line, rig.clock);
  Run(dev, kJobEeprom);

  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  EXPECT_EQ(Status().back(), "COM1: %GLM 02:5C:3A:FF:FF:FF\r - Download OK");
  EXPECT_EQ(dev.keys, (std::vector<std::string>{"@@", "E", "R", "$GLM\r\n"}));
  ASSERT_EQ(dev.transfers.size(), 1u);
  EXPECT_FALSE(dev.transfers[0].firmware);
  EXPECT_TRUE(dev.transfers[0].complete);
  EXPECT_EQ(dev.transfers[0].data, WithMac(eeprom));
  EXPECT_EQ(dltest::ReadFile(rig.cfg.eepromPath), eeprom);
  EXPECT_TRUE(Contains(Status(), "COM1: Download EEPROM...1/1"));

  const std::string expected =
      Line(dltest::kFwLine, "fw =") + Entry("write @@") +                 //
      Line(dltest::kBanner, "Varnix Serial Loader") + Entry("write E") +  //
      Line(dltest::kDownloading, "Downloading") + Entry("COM1: Xmodem eeprom: 0") +
      Line(dltest::kSaveEeprom, "save to eeprom") +                       //
      Line(dltest::kBanner, "Varnix Serial Loader") + Entry("write R") +  //
      Line(dltest::kFwLine, "fw =") +                                     //
      Line(dltest::kVersion, "verison") + Entry("COM1: write $GLM") +     //
      Line(dltest::kGlm, "%GLM") +                                        //
      "COM1: Thread End. recvStatus:0, processFlag:4\r\n";
  EXPECT_EQ(Log(), expected);
}

// The receiver's first "C" read together with the "Downloading" line starts the
// transfer; a receiver that asks only once is not left waiting.
TEST_F(Rs232RunTest, StartRequestReadWithTheDownloadingLineStartsTheTransfer) {
  LoaderScript dev(line, rig.clock);
  dev.startWithLine = true;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  ASSERT_EQ(dev.transfers.size(), 1u);
  EXPECT_EQ(dev.transfers[0].data, WithMac(eeprom));
}

TEST_F(Rs232RunTest, FirmwareOnlyRun) {
  LoaderScript dev(line, rig.clock);
  Run(dev, kJobFirmware, false);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  EXPECT_EQ(dev.keys, (std::vector<std::string>{"@@", "U", "R", "$GLM\r\n"}));
  ASSERT_EQ(dev.transfers.size(), 1u);
  EXPECT_TRUE(dev.transfers[0].firmware);
  EXPECT_EQ(dev.transfers[0].data, Padded(firmware)) << "firmware goes unchanged";
  const auto status = Status();
  EXPECT_TRUE(Contains(status, "COM1: Download Firmware...3/3"));
  EXPECT_TRUE(Contains(status, "COM1: Write to device...-"));
  EXPECT_TRUE(Contains(status, "COM1: Write to device...|"));
  EXPECT_FALSE(dltest::FileExists(rig.dir + "/logCOM1.txt")) << "no log without the log flag";
}

// The images go out as they were read at Start: files replaced since do not count.
TEST_F(Rs232RunTest, BothImagesFirmwareFirst) {
  LoaderScript dev(line, rig.clock);
  rig.job.jobFlags = kJobFirmware | kJobEeprom;
  const RunJob& run = rig.Run();
  dltest::WriteFile(rig.cfg.firmwarePath, dltest::Pattern(700, 8));
  dltest::WriteFile(rig.cfg.eepromPath, dltest::Pattern(1024, 9));
  Run(dev, kJobFirmware | kJobEeprom, true, &run);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  EXPECT_EQ(dev.keys, (std::vector<std::string>{"@@", "U", "E", "R", "$GLM\r\n"}));
  ASSERT_EQ(dev.transfers.size(), 2u);
  EXPECT_TRUE(dev.transfers[0].firmware);
  EXPECT_EQ(dev.transfers[0].data, Padded(firmware));
  EXPECT_FALSE(dev.transfers[1].firmware);
  EXPECT_EQ(dev.transfers[1].data, WithMac(eeprom));
  const std::string log = Log();
  EXPECT_LT(log.find("COM1: Xmodem firmware: 0"), log.find("COM1: Xmodem eeprom: 0"));
}

// The download key of the handshake follows the job: "U" whenever the firmware is
// downloaded, "E" for a job with the EEPROM image alone.
class Rs232SilentTest : public Rs232RunTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(Rs232SilentTest, SilentDeviceGetsElevenHandshakeWritesThenNoResponse) {
  const std::string key = (GetParam() & kJobFirmware) ? "U" : "E";
  LoaderScript dev(line, rig.clock);
  dev.silent = true;
  std::vector<uint32_t> times;
  dev.onWrite = [&](const std::string&) { times.push_back(rig.clock.TickMs() - start); };
  Run(dev, GetParam());

  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  std::vector<std::string> expectedWrites;
  std::string expectedLog;
  std::vector<uint32_t> expectedTimes;
  for (int i = 0; i < 11; ++i) {
    expectedWrites.push_back(i % 2 == 0 ? "$SES\r\n" : key);
    expectedLog += Entry(i % 2 == 0 ? "write $SES" : "write " + key);
    // 17 silent passes of 10 + 300 ms (more than 5 s), then the 1 s pause.
    expectedTimes.push_back(static_cast<uint32_t>(i + 1) * 6270u);
  }
  EXPECT_EQ(line->HostWriteLog(), expectedWrites);
  EXPECT_EQ(times, expectedTimes);
  EXPECT_EQ(elapsed, 11u * 6270u + 5270u);
  const auto status = Status();
  EXPECT_EQ(status.back(), "COM1: no response");
  EXPECT_EQ(Count(status, "COM1: write $SES"), "6");
  EXPECT_EQ(Count(status, "COM1: write " + key), "5");
  EXPECT_EQ(Log(), expectedLog + "COM1: Thread End. recvStatus:0, processFlag:0\r\n");
}

INSTANTIATE_TEST_SUITE_P(Jobs, Rs232SilentTest,
                         ::testing::Values(kJobFirmware | kJobEeprom, kJobFirmware, kJobEeprom));

// A device at another baud rate: its bytes never make a line. It is given as long as
// a silent device, then the port ends with "no response" (no handshake goes out, since
// the line never falls silent).
TEST_F(Rs232RunTest, BytesThatNeverMakeALineEndWithNoResponse) {
  LoaderScript dev(line, rig.clock);
  dev.silent = true;
  for (int i = 0; i < 500; ++i) dev.Say(std::string(16, '\x85'), 200);  // 100 s of noise
  std::atomic<RS232Thread*> target{nullptr};
  rig.clock.AddListener([&](uint32_t now) {
    if (auto* t = target.load(); t && now - start > 300000) t->Terminate();
  });
  rig.job.jobFlags = kJobEeprom;
  start = rig.clock.TickMs();
  worker = std::make_unique<RS232Thread>(rig.station, rig.Run(), false, 1, 0);
  target = worker.get();
  worker->Start();
  worker->Join();
  target = nullptr;
  elapsed = rig.clock.TickMs() - start;
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: no response");
  EXPECT_TRUE(line->HostWriteLog().empty());
  EXPECT_GT(elapsed, RS232Thread::kNoLineLimitMs);
  EXPECT_LT(elapsed, RS232Thread::kNoLineLimitMs + 1000);
}

TEST_F(Rs232RunTest, SilenceAfterTheDownloadsTimesOutWithStep3) {
  LoaderScript dev(line, rig.clock);
  dev.deadAfterTransfer = true;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: timeout: 3");
  const std::string log = Log();
  const std::string tail = "COM1: timeout: 3COM1: Thread End. recvStatus:0, processFlag:3\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  // Eleven silences of more than 5 s after the transfer.
  EXPECT_GT(elapsed, 11u * 5000u);
  EXPECT_LT(elapsed, 11u * 5400u + 10000u);
}

TEST_F(Rs232RunTest, SilenceInAnotherStepTimesOutAfterTwentyOneSilences) {
  LoaderScript dev(line, rig.clock);
  dev.ignoreAt = true;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: timeout: 2");
  EXPECT_EQ(dev.keys, std::vector<std::string>{"@@"}) << "no handshake outside ProcStart";
  const std::string log = Log();
  const std::string tail = "COM1: timeout: 2COM1: Thread End. recvStatus:0, processFlag:0\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_GT(elapsed, 21u * 5000u);
  EXPECT_LT(elapsed, 21u * 5400u + 2000u);
}

TEST_F(Rs232RunTest, MacMismatchGoesBackToTheHandshakeAndDownloadsAgain) {
  LoaderScript dev(line, rig.clock);
  dev.glmMismatches = 1;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  EXPECT_TRUE(Contains(Status(), "COM1: MAC don't match\r"));
  EXPECT_EQ(dev.keys, (std::vector<std::string>{"@@", "E", "R", "$GLM\r\n", "$SES\r\n", "@@", "E",
                                                "R", "$GLM\r\n"}));
  ASSERT_EQ(dev.transfers.size(), 2u);
  EXPECT_EQ(dev.transfers[1].data, WithMac(eeprom));
}

TEST_F(Rs232RunTest, FailedTransferIsShownAndTheHandshakeResumes) {
  LoaderScript dev(line, rig.clock);
  dev.nakTransfers = 1;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  const auto status = Status();
  EXPECT_TRUE(Contains(status, "COM1: Download EEPROM failed: -4"));
  EXPECT_TRUE(Contains(status, "COM1: write $SES"));
  EXPECT_EQ(dev.keys,
            (std::vector<std::string>{"@@", "E", "$SES\r\n", "@@", "E", "R", "$GLM\r\n"}));
  const std::string log = Log();
  EXPECT_NE(log.find(Entry("COM1: Xmodem eeprom: -4") + Entry("write $SES")), std::string::npos);
  EXPECT_NE(log.find(Entry("COM1: Xmodem eeprom: 0")), std::string::npos);
}

// An EOT that is never acknowledged is no delivered image: the transfer fails and the
// image is sent again.
TEST_F(Rs232RunTest, UnacknowledgedEotIsNotADeliveredImage) {
  LoaderScript dev(line, rig.clock);
  dev.eotUnanswered = 1;
  Run(dev, kJobEeprom);
  EXPECT_TRUE(Contains(Status(), "COM1: Download EEPROM failed: -9"));
  ASSERT_EQ(dev.transfers.size(), 2u) << "the image must go again";
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  EXPECT_NE(Log().find(Entry("COM1: Xmodem eeprom: -9")), std::string::npos);
}

// An adapter pulled out in the middle of a transfer ends it at once, not at the 20 s
// block time-out, and the port fails with the read's errno.
TEST_F(Rs232RunTest, AdapterPulledOutDuringATransferEndsItAtOnce) {
  LoaderScript dev(line, rig.clock);
  int packets = 0;
  uint32_t pulledAt = 0;
  dev.onWrite = [&](const std::string& bytes) {
    if (bytes.empty() || static_cast<uint8_t>(bytes[0]) != 0x02 || ++packets != 2) return;
    pulledAt = rig.clock.TickMs();
    line->failQueued = EIO;
    line->failRead = EIO;
  };
  Run(dev, kJobFirmware);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  const auto status = Status();
  EXPECT_TRUE(Contains(status, "COM1: Download Firmware failed: -5"));
  EXPECT_EQ(status.back(), "COM1: ReadFile failed: " + std::to_string(EIO));
  ASSERT_NE(pulledAt, 0u);
  EXPECT_LT(rig.clock.TickMs() - pulledAt, 2000u) << "noticed only at the block time-out";
}

// Fast download: the first NAK brings the pause back for that transfer; a transfer
// that then fails on the line leaves the pause on for the worker's next one.
TEST_F(Rs232RunTest, FastDownloadThatFailsOnTheLineSendsTheRestWithThePause) {
  rig.cfg.fastDownload = true;
  LoaderScript dev(line, rig.clock);
  dev.nakTransfers = 1;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  const std::string log = Log();
  const std::string restored =
      Entry("COM1: Xmodem eeprom: block 1 refused, 200 ms pause after every packet from here on");
  EXPECT_NE(log.find(restored), std::string::npos) << log;
  EXPECT_NE(log.find(Entry("COM1: Xmodem eeprom: -4") +
                     Entry("COM1: Xmodem eeprom failed: 200 ms pause after every packet from "
                           "here on")),
            std::string::npos);
  EXPECT_NE(log.find(Entry("COM1: Xmodem eeprom: 0")), std::string::npos);
}

// An image that cannot be sent (here empty when the run was set up) fails the port at
// once, when its transfer comes, instead of being tried again at every banner.
TEST_F(Rs232RunTest, ImageThatCannotBeSentFailsThePort) {
  dltest::WriteFile(rig.cfg.firmwarePath, "");
  LoaderScript dev(line, rig.clock);
  Run(dev, kJobFirmware | kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: Download Firmware failed: -3");
  ASSERT_EQ(dev.transfers.size(), 1u);
  EXPECT_TRUE(dev.transfers[0].data.empty());
  EXPECT_EQ(dev.keys, (std::vector<std::string>{"@@", "U"}));
  const std::string log = Log();
  const std::string tail =
      Entry("COM1: Xmodem firmware: -3") + "COM1: Thread End. recvStatus:0, processFlag:0\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(Rs232RunTest, GlmReplyEndsTheDialogueInAnyStep) {
  LoaderScript dev(line, rig.clock);
  dev.glmOnAt = true;  // answered while the worker waits for the loader banner
  Run(dev, kJobFirmware);
  EXPECT_EQ(rig.stages.Get(0), StageDownloaded);
  EXPECT_TRUE(dev.transfers.empty());
  EXPECT_EQ(Status().back(), "COM1: %GLM 02:5C:3A:FF:FF:FF\r - Download OK");
  const std::string log = Log();
  const std::string tail = "COM1: Thread End. recvStatus:0, processFlag:4\r\n";
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

// A stop request at the write named by the parameter: the worker ends failed, with
// everything closed.
class Rs232StopTest : public Rs232RunTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(Rs232StopTest, StopRequestEndsTheWorkerFailed) {
  const std::string at = GetParam();
  LoaderScript dev(line, rig.clock);
  int handshakes = 0;
  dev.onWrite = [&](const std::string& bytes) {
    const bool packet = !bytes.empty() && bytes[0] == '\x02';
    if (at == "handshake" && bytes == "$SES\r\n" && ++handshakes == 2) worker->Terminate();
    if (at == "packet" && packet) worker->Terminate();
    if (bytes == at) worker->Terminate();
  };
  if (at == "handshake") dev.silent = true;
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  const std::string log = Log();
  const std::string tail = "COM1: Thread End. recvStatus:0, processFlag:";
  EXPECT_NE(log.rfind(tail), std::string::npos) << log;
  if (at == "packet") {
    EXPECT_TRUE(Contains(Status(), "COM1: Download EEPROM failed: -2"));
    EXPECT_NE(log.find(Entry("COM1: Xmodem eeprom: -2")), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Points, Rs232StopTest,
                         ::testing::Values("handshake", "@@", "E", "packet", "R", "$GLM\r\n"));

TEST_F(Rs232RunTest, ExceptionIsShownLoggedAndFailsThePort) {
  ThrowingBoard throwing(rig.board, "Download OK");
  rig.station.board = &throwing;
  LoaderScript dev(line, rig.clock);
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: Thread Exception");
  EXPECT_EQ(rig.board.Exceptions(), std::vector<std::string>{"board failed"});
  const std::string log = Log();
  const std::string tail =
      "COM1: Thread ExceptionCOM1: Thread End. recvStatus:7, processFlag:3\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST_F(Rs232RunTest, PortThatCannotBeOpenedFailsAtOnce) {
  line->failOpen = EACCES;
  LoaderScript dev(line, rig.clock);
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status(),
            (std::vector<std::string>{"COM1: open failed: 13", "COM1: com init failed: -1"}));
  EXPECT_FALSE(dltest::FileExists(rig.dir + "/logCOM1.txt"));
}

TEST_F(Rs232RunTest, LogThatCannotBeCreatedFailsThePort) {
  rig.job.logDirectory = rig.dir + "/no/such/dir";
  LoaderScript dev(line, rig.clock);
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: create log file failed: " + std::to_string(kErrNoPath));
  EXPECT_TRUE(line->HostWriteLog().empty()) << "nothing is exchanged without the log";

#ifndef _WIN32
  // A link planted in the log's place is not followed into the file it names.
  rig.job.logDirectory = rig.dir;
  dltest::WriteFile(rig.Path("victim"), "keep me");
  ASSERT_EQ(::symlink("victim", rig.Path("logCOM1.txt").c_str()), 0);
  Run(dev, kJobEeprom);
  EXPECT_EQ(rig.stages.Get(0), StageFailed);
  EXPECT_EQ(Status().back(), "COM1: create log file failed: " + std::to_string(ELOOP));
  EXPECT_EQ(dltest::ReadFile(rig.Path("victim")), "keep me");
#endif
}

}  // namespace
