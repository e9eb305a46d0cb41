// Check-in and check-out against a small HTTP server on 127.0.0.1 and against
// programs: what the station sends, and how every kind of answer (or none) is read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "app/CheckIn.h"
#include "app/UnitIdentity.h"
#include "base/StationSettings.h"
#include "platform/HttpServer.h"
#include "platform/fake/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

CheckRequest Request(const char* event) {
  CheckRequest r;
  r.event = event;
  r.serial = "SN-0042";
  r.station = "line2-st1";
  r.port = "COM3";
  r.job = "boardA";
  if (r.event == CheckRequest::kCheckOut) {
    r.verdict = "passed";
    r.mac = "04:22:D1:00:00:2A";
  }
  return r;
}

// The manufacturing system: answers by the request's path; /hang answers only when
// the test lets it go.
class FakeMes {
 public:
  FakeMes() {
    HttpServerLimits limits;
    limits.handlerThreads = 4;
    std::string error;
    EXPECT_TRUE(server_->Start(
        "127.0.0.1", 0, limits, [this](const HttpRequest& r) { return Handle(r); }, &error))
        << error;
  }
  ~FakeMes() {
    {
      std::lock_guard<std::mutex> lock(m_);
      release_ = true;
    }
    cv_.notify_all();
    server_->Stop();
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_->Port()) + path;
  }
  HttpRequest Last() {
    std::lock_guard<std::mutex> lock(m_);
    return last_;
  }

 private:
  HttpResponse Handle(const HttpRequest& r) {
    std::unique_lock<std::mutex> lock(m_);
    last_ = r;
    HttpResponse out;
    if (r.path == "/confirmed") out.body = R"({"result":"confirmed"})";
    if (r.path == "/rejected") {
      out.body = R"({"result":"rejected","reason":"no route card\r\nfor\t\u0007this unit"})";
    }
    if (r.path == "/long") {
      out.body = R"({"result":"rejected","reason":")" + std::string(300, 'x') + R"("})";
    }
    if (r.path == "/500") out.status = 500;
    if (r.path == "/garbage") out.body = "<html>busy</html>";
    if (r.path == "/maybe") out.body = R"({"result":"maybe"})";
    if (r.path == "/huge") out.body = std::string(70000, ' ') + R"({"result":"confirmed"})";
    if (r.path == "/hang")
      cv_.wait_for(lock, std::chrono::seconds(20), [this] { return release_; });
    return out;
  }

  std::unique_ptr<HttpServer> server_ = NewHttpServer();
  std::mutex m_;
  std::condition_variable cv_;
  bool release_ = false;
  HttpRequest last_;
};

TEST(CheckIn, HttpAnswersAndWhatWasSent) {
  FakeMes mes;
  const std::string quiet = [] {  // a port nobody listens on
    auto s = NewHttpServer();
    std::string e;
    EXPECT_TRUE(s->Start("127.0.0.1", 0, HttpServerLimits(), nullptr, &e));
    const uint16_t p = s->Port();
    s->Stop();
    return "http://127.0.0.1:" + std::to_string(p) + "/";
  }();
  struct Case {
    std::string url;
    CheckOutcome outcome;
    std::string reason;
  };
  const Case cases[] = {
      {mes.Url("/confirmed"), CheckOutcome::Confirmed, ""},
      {mes.Url("/rejected"), CheckOutcome::Rejected, "no route card for this unit"},
      {mes.Url("/long"), CheckOutcome::Rejected, std::string(kMaxCheckReason - 3, 'x') + "..."},
      {mes.Url("/500"), CheckOutcome::NoAnswer, "HTTP 500"},
      {mes.Url("/garbage"), CheckOutcome::NoAnswer, "answer is not JSON"},
      {mes.Url("/maybe"), CheckOutcome::NoAnswer, "unknown result \"maybe\""},
      {mes.Url("/huge"), CheckOutcome::NoAnswer, "the answer's body is longer than 65536 bytes"},
      {quiet, CheckOutcome::NoAnswer, "connection refused"},
      {"https://127.0.0.1/x", CheckOutcome::NoAnswer,
       "https is not supported: put a TLS proxy on the station and give its http:// URL"},
  };
  for (const Case& c : cases) {
    CheckInSettings s;
    s.url = c.url;
    const CheckAnswer a = RunCheck(s, Request(CheckRequest::kCheckIn), nullptr);
    EXPECT_EQ(a.outcome, c.outcome) << c.url << ": " << a.reason;
    EXPECT_EQ(a.reason, c.reason) << c.url;
    EXPECT_EQ(a.where, c.url);
  }

  // What the system was told: a check-in without verdict and MAC, a check-out with.
  CheckInSettings s;
  s.url = mes.Url("/confirmed?line=2");
  RunCheck(s, Request(CheckRequest::kCheckIn), nullptr);
  HttpRequest got = mes.Last();
  EXPECT_EQ(got.method, "POST");
  EXPECT_EQ(got.query, "line=2");
  EXPECT_EQ(got.Header("content-type"), "application/json");
  EXPECT_EQ(
      got.body,
      R"({"event":"check-in","job":"boardA","port":"COM3","serial":"SN-0042","station":"line2-st1"})");
  RunCheck(s, Request(CheckRequest::kCheckOut), nullptr);
  EXPECT_EQ(
      mes.Last().body,
      R"({"event":"check-out","job":"boardA","mac":"04:22:D1:00:00:2A","port":"COM3","serial":"SN-0042","station":"line2-st1","verdict":"passed"})");

  // No answer: the time-out holds, and a cancel ends the wait sooner.
  s.url = mes.Url("/hang");
  s.timeoutMs = 300;
  auto t0 = Clock::now();
  CheckAnswer a = RunCheck(s, Request(CheckRequest::kCheckIn), nullptr);
  EXPECT_EQ(a.outcome, CheckOutcome::NoAnswer);
  EXPECT_EQ(a.reason, "timed out after 300 ms");
  EXPECT_GE(MsSince(t0), 290);
  EXPECT_LT(MsSince(t0), 1500);
  s.timeoutMs = 20000;
  std::atomic<bool> cancel{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
  });
  t0 = Clock::now();
  a = RunCheck(s, Request(CheckRequest::kCheckOut), &cancel);
  stopper.join();
  EXPECT_EQ(a.outcome, CheckOutcome::NoAnswer);
  EXPECT_EQ(a.reason, "cancelled");
  EXPECT_LT(MsSince(t0), 1500);
}

TEST(CheckIn, CommandAnswers) {
#ifndef _WIN32
  TempDir dir("checkin");
  const auto script = [&](const std::string& name, const std::string& body) {
    dir.Write(name, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(dir.File(name), std::filesystem::perms::owner_all);
    return dir.File(name);
  };
  const std::string args = dir.File("args");
  struct Case {
    std::string program;
    uint32_t timeoutMs;
    CheckOutcome outcome;
    std::string reason;
  };
  const Case cases[] = {
      {script("ok", "printf '%s|' \"$@\" > '" + args + "'; exit 0"), 5000, CheckOutcome::Confirmed,
       ""},
      {script("reject", "printf '\\n  \\nblocked\\tby \\377MES\\nsecond line\\n'; exit 1"), 5000,
       CheckOutcome::Rejected, "blocked by ?MES"},
      {script("three", "echo oops; exit 3"), 5000, CheckOutcome::NoAnswer, "exit status 3: oops"},
      {script("slow", "exec sleep 10"), 300, CheckOutcome::NoAnswer, "timed out after 300 ms"},
      {dir.File("missing"), 5000, CheckOutcome::NoAnswer, "no such program"},
  };
  for (const Case& c : cases) {
    CheckInSettings s;
    s.command = c.program;
    s.timeoutMs = c.timeoutMs;
    const auto t0 = Clock::now();
    const CheckAnswer a = RunCheck(s, Request(CheckRequest::kCheckOut), nullptr);
    EXPECT_EQ(a.outcome, c.outcome) << c.program << ": " << a.reason;
    EXPECT_EQ(a.reason, c.reason) << c.program;
    EXPECT_LT(MsSince(t0), c.timeoutMs + 1000);
  }
  EXPECT_EQ(dir.Read("args"), "check-out|SN-0042|line2-st1|COM3|boardA|passed|04:22:D1:00:00:2A|");
  CheckInSettings s;
  s.command = dir.File("ok");
  RunCheck(s, Request(CheckRequest::kCheckIn), nullptr);
  EXPECT_EQ(dir.Read("args"), "check-in|SN-0042|line2-st1|COM3|boardA|");

  // A Stop does not wait for the program's time-out.
  s.command = dir.File("slow");
  s.timeoutMs = 20000;
  std::atomic<bool> cancel{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel = true;
  });
  const auto t0 = Clock::now();
  const CheckAnswer a = RunCheck(s, Request(CheckRequest::kCheckIn), &cancel);
  stopper.join();
  EXPECT_EQ(a.reason, "cancelled");
  EXPECT_LT(MsSince(t0), 1500);
#else
  CheckInSettings s;
  s.command = "checkin.exe";
  EXPECT_EQ(RunCheck(s, Request(CheckRequest::kCheckIn), nullptr).reason,
            "commands are not supported on this system");
#endif
}

#ifndef _WIN32
// The unit gate of a run: serials bound by port or queued, the pattern, a serial that
// passed refused unless re-worked, and only a confirmed check-in lets a unit start.
TEST(CheckIn, TheGateAdmitsOnlyUnitsWithAGoodSerialAndAConfirmedCheckIn) {
  TempDir dir("gate");
  dir.Write("mes", "#!/bin/sh\n[ \"$2\" = SN-0002 ] && { echo not released; exit 1; }\nexit 0\n");
  std::filesystem::permissions(dir.File("mes"), std::filesystem::perms::owner_all);
  UnitIdentitySettings s;
  s.scanSerial = true;
  s.serialPattern = "SN-[0-9]{4}";
  s.checkIn.command = dir.File("mes");
  UnitIdentityGate gate(s, nullptr, [](const std::string& serial, bool* passed, std::string*) {
    *passed = serial == "SN-0009";
    return true;
  }, nullptr, nullptr);
  std::string error, text;
  ASSERT_TRUE(gate.Setup(&error)) << error;
  EXPECT_FALSE(gate.Bind("", "SN-0001", false, &text)) << "no port known before the scan";
  EXPECT_TRUE(gate.Queue("SN-0003", false, &text)) << text;
  EXPECT_TRUE(gate.Bind("COM2", "SN-0002", false, &text)) << text;
  EXPECT_FALSE(gate.Bind("COM3", "SN-0002", false, &text));
  EXPECT_EQ(text, "SN-0002 is on COM2 already");
  EXPECT_FALSE(gate.Bind("COM1", "SN-12", false, &text));
  EXPECT_EQ(text, "SN-12 does not match the job's serial pattern SN-[0-9]{4}");
  EXPECT_FALSE(gate.Bind("COM1", "SN-0009", false, &text));
  EXPECT_EQ(text, "SN-0009 has passed before: tick rework to program it again");
  EXPECT_TRUE(gate.Bind("COM1", "SN-0009", true, &text)) << text;
  gate.RunStarted({1, 2, 3});
  const auto admit = [&](int k) {
    GateAnswer a = GateAnswer::Wait;
    for (int i = 0; i < 500 && a == GateAnswer::Wait; i++) {
      a = gate.Admit(k, 0, &text);
      if (a == GateAnswer::Wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return a;
  };
  EXPECT_EQ(admit(0), GateAnswer::Go);
  EXPECT_EQ(text, "COM1: SN-0009 (rework)");
  EXPECT_EQ(admit(1), GateAnswer::Refuse);
  EXPECT_EQ(text, "COM2: SN-0002: check-in rejected: not released");
  EXPECT_EQ(admit(2), GateAnswer::Go) << "the queued serial goes to the next port that asks";
  EXPECT_EQ(gate.SerialOf(2), "SN-0003");
  gate.UnitEnded(2, true);
  EXPECT_FALSE(gate.Bind("", "SN-0003", false, &text));
  EXPECT_EQ(text, "SN-0003 has passed before: tick rework to program it again");
  EXPECT_FALSE(gate.Bind("COM3", "SN-0004", false, &text)) << "a batch port asks once";
  gate.RunEnded();
}
#endif

TEST(CheckIn, SettingsFromStationConf) {
  struct Case {
    const char* conf;
    bool ok;
    uint32_t timeoutMs;
  };
  const Case cases[] = {
      {"", true, 5000},
      {"checkin-url = http://[::1]:8080/mes/check # the line's\ncheckin-timeout-ms = 250\n", true,
       250},
      {"checkin-command = /opt/mes/checkin\n", true, 5000},
      {"checkin-url = http://mes/\ncheckin-command = /opt/mes/checkin\n", false, 0},
      {"checkin-url = https://mes/\n", false, 0},
      {"checkin-url = http://mes:0/\n", false, 0},
      {"checkin-url = http://mes/\ncheckin-timeout-ms = 99\n", false, 0},
      {"checkin-url = http://mes/\ncheckin-timeout-ms = 5 s\n", false, 0},
  };
  for (const Case& c : cases) {
    StationSettings station;
    station.Parse(c.conf);
    EXPECT_EQ(station.FailureCode(), 0) << c.conf;
    CheckInSettings s;
    std::string error;
    EXPECT_EQ(CheckInSettingsFrom(station, &s, &error), c.ok) << c.conf << error;
    EXPECT_EQ(c.ok ? s.timeoutMs : 0u, c.timeoutMs) << c.conf;
    EXPECT_EQ(error.empty(), c.ok) << c.conf;
  }
}

}  // namespace
