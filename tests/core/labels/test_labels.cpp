// Labels checked by reading them back: the PNG through an independent decoder
// (zbarimg), the ZPL as it arrives at a printer that is a socket on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "labels/Label.h"
#include "labels/LabelImage.h"
#include "labels/LabelOutput.h"
#include "platform/Network.h"
#include "platform/Process.h"
#include "platform/fake/TempDir.h"

namespace {

// A label printer's port: takes one connection on 127.0.0.1 and keeps what arrives
// until the sender closes.
class FakePrinter {
 public:
  FakePrinter() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd_, 1) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakePrinter() {
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  FakePrinter(const FakePrinter&) = delete;
  FakePrinter& operator=(const FakePrinter&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // What arrived; waits for the sender to close (at most 5 s).
  std::string Received() {
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void Serve() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    char buf[4096];
    for (;;) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 5000) != 1) break;
      const ssize_t n = read(c, buf, sizeof buf);
      if (n <= 0) break;
      received_.append(buf, static_cast<size_t>(n));
    }
    close(c);
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::string received_;
};

// One ^FD ... ^FS field: the command that formats it (^A0, ^BC, ^BQ) and its data with
// the ^FH escapes undone. A raw '^' or '~' in the data ends the field as it would at a
// printer, so the comparisons below also catch a missing escape.
struct ZplField {
  std::string kind;
  std::string data;
};

std::vector<ZplField> ParseZplFields(const std::string& zpl) {
  std::vector<ZplField> fields;
  std::string kind;
  bool hex = false;
  size_t i = 0;
  while ((i = zpl.find('^', i)) != std::string::npos) {
    const std::string cmd = zpl.substr(i + 1, 2);
    if (cmd == "A0" || cmd == "BC" || cmd == "BQ") kind = cmd;
    if (cmd == "FH") hex = true;
    if (cmd != "FD") {
      ++i;
      continue;
    }
    // Like a printer, the data ends at the next command character.
    const size_t end = zpl.find_first_of("^~", i + 3);
    std::string raw = zpl.substr(i + 3, end == std::string::npos ? std::string::npos : end - i - 3);
    std::string data;
    for (size_t k = 0; k < raw.size(); ++k) {
      if (hex && raw[k] == '_' && k + 2 < raw.size() &&
          std::isxdigit(static_cast<unsigned char>(raw[k + 1])) &&
          std::isxdigit(static_cast<unsigned char>(raw[k + 2]))) {
        data += static_cast<char>(std::stoi(raw.substr(k + 1, 2), nullptr, 16));
        k += 2;
      } else {
        data += raw[k];
      }
    }
    fields.push_back({kind, data});
    kind.clear();
    hex = false;
    i = end == std::string::npos ? zpl.size() : end;
  }
  return fields;
}

std::vector<std::string> Decode(const std::string& png) {
  ProcessResult r;
  const int err = RunProcess({"zbarimg", "--nodbus", "--raw", "-q", png}, 20000, 65536, &r);
  EXPECT_EQ(err, 0) << "zbarimg cannot be run (Debian: zbar-tools)";
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < r.output.size()) {
    size_t end = r.output.find('\n', pos);
    if (end == std::string::npos) end = r.output.size();
    if (end > pos) lines.push_back(r.output.substr(pos, end - pos));
    pos = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

LabelTemplate TestTemplate() {
  LabelTemplate tpl;
  std::string error;
  // Command characters of the printer's language in the texts: they must arrive as text.
  EXPECT_TRUE(
      ParseLabelTemplate("# unit label\n"
                         "title = ACME ^XZ ~JA router\r\n"
                         "line  = S/N {serial}  MAC {mac}\n"
                         "line  = {station} {date}\n"
                         "width = 900\n",
                         &tpl, &error))
      << error;
  return tpl;
}

}  // namespace

// For a range of addresses and serials, what a reader decodes from the PNG and what the
// printer receives as ZPL is the address and the serial byte for byte.
TEST(Labels, PngDecodesAndZplArrivesWithTheUnitsDataByteForByte) {
  struct Case {
    const char* mac;
    const char* serial;
    const char* printed;  // the address as the label carries it
  };
  const Case cases[] = {
      {"02:5C:3A:00:00:01", "", "02:5C:3A:00:00:01"},
      {"02:5C:3A:00:00:01", "000123", "02:5C:3A:00:00:01"},
      {"02:5c:3a:04:22:d1", "SN-2026-a7B-0042", "02:5C:3A:04:22:D1"},
      {"00:00:00:00:00:00", "0", "00:00:00:00:00:00"},
      {"02:5C:3A:FF:FF:FF", "AB^C~D_E", "02:5C:3A:FF:FF:FF"},
      {"02:5C:3A:10:00:00", "000000000000000000000000000000000000000000000009",
       "02:5C:3A:10:00:00"},
  };
  const LabelTemplate tpl = TestTemplate();
  TempDir dir("labels");
  using Ms = std::chrono::duration<double, std::milli>;
  Ms renderMs{}, fileMs{}, sendMs{};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mac) + " / " + c.serial);
    LabelData data{c.mac, c.serial, {{"station", "line~3 ^st"}, {"date", "2026-12-09"}}};
    std::string error;
    ASSERT_TRUE(NormalizeLabelData(&data, &error)) << error;
    ASSERT_EQ(data.mac, c.printed);
    const std::string qr = c.serial[0] ? std::string(c.printed) + " " + c.serial : c.printed;

    FakePrinter printer;
    const auto t0 = std::chrono::steady_clock::now();
    std::string zpl, png, message;
    LabelBitmap bitmap;
    ASSERT_TRUE(RenderZpl(tpl, data, &zpl, &error)) << error;
    ASSERT_TRUE(RenderLabelBitmap(data, &bitmap, &error) && EncodePng(bitmap, &png, &error))
        << error;
    const auto t1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteLabelPng(data, dir.File("label.png"), &error)) << error;
    const auto t2 = std::chrono::steady_clock::now();
    ASSERT_TRUE(SendZpl(SystemNetwork(), printer.Address(), zpl, 2000, 2000, &message)) << message;
    sendMs += std::chrono::steady_clock::now() - t2;
    fileMs += t2 - t1;
    renderMs += t1 - t0;

    std::vector<std::string> want{c.printed, qr};
    if (c.serial[0]) want.push_back(c.serial);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(Decode(dir.File("label.png")), want);

    const std::string got = printer.Received();
    EXPECT_EQ(got, zpl);
    std::vector<std::string> bars, qrs, texts;
    for (const ZplField& f : ParseZplFields(got)) {
      (f.kind == "BC" ? bars : f.kind == "BQ" ? qrs : texts).push_back(f.data);
    }
    std::vector<std::string> wantBars{c.printed};
    if (c.serial[0]) wantBars.push_back(c.serial);
    EXPECT_EQ(bars, wantBars);
    EXPECT_EQ(qrs, std::vector<std::string>{"QA," + qr});
    EXPECT_EQ(texts,
              (std::vector<std::string>{"ACME ^XZ ~JA router",
                                        "S/N " + std::string(c.serial) + "  MAC " + c.printed,
                                        "line~3 ^st 2026-12-09"}));
  }
  const double n = static_cast<double>(std::size(cases));
  std::printf(
      "[ label    ] a label, mean of %zu: render ZPL + PNG %.2f ms, PNG file (rendered again, "
      "written durably) %.2f ms, ZPL sent to 127.0.0.1 %.2f ms\n",
      std::size(cases), renderMs.count() / n, fileMs.count() / n, sendMs.count() / n);
}

// Templates and data that are not a label are refused with a reason, never half-used.
TEST(Labels, GarbageIsRefusedCleanly) {
  const std::pair<std::string, const char*> bad[] = {
      {"title = x\ntitle = y\n", "line 2: \"title\" given twice"},
      {"colour = red\n", "line 1: unknown key \"colour\""},
      {"just words\n", "line 1: expected \"key = value\""},
      {"line = {mac\n", "a '{' without its '}'"},
      {"line = mac}\n", "a '}' without its '{'"},
      {"line = {password}\n", "unknown placeholder {password}"},
      {"width = 12\n", "width must be a number of dots from 100 to 4000"},
      {"dpi = 203x\n", "dpi must be a number"},
      {"title = caf\xc3\xa9\n", "line 1: character 0xC3"},
      {std::string("line = a\0b\n", 11), "line 1: character 0x00"},
  };
  for (const auto& [text, why] : bad) {
    LabelTemplate tpl;
    tpl.title = "untouched";
    std::string error;
    EXPECT_FALSE(ParseLabelTemplate(text, &tpl, &error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << error;
    EXPECT_EQ(tpl.title, "untouched");
  }
  std::string lines, error;
  for (int i = 0; i < 9; ++i) lines += "line = x\n";
  LabelTemplate tpl;
  EXPECT_FALSE(ParseLabelTemplate(lines, &tpl, &error));
  EXPECT_NE(error.find("line 9: more than 8 text lines"), std::string::npos) << error;
  EXPECT_FALSE(ParseLabelTemplate(std::string(kMaxTemplateBytes + 1, '#'), &tpl, &error));

  TempDir dir("labels");
  std::mt19937 rng(24);
  std::string noise(20000, '\0');
  for (char& ch : noise) ch = static_cast<char>(rng());
  dir.Write("noise.tpl", noise);
  EXPECT_FALSE(LoadLabelTemplate(dir.File("noise.tpl"), &tpl, &error));
  EXPECT_NE(error.find("larger than 16384 bytes"), std::string::npos) << error;
  for (int round = 0; round < 2000; ++round) {  // never a crash, whatever the bytes
    std::string t(rng() % 200, '\0');
    for (char& ch : t) ch = "title=line{}mac \n\r#0123456789\x01\xff"[rng() % 27];
    ParseLabelTemplate(t, &tpl, &error);
  }

  const std::pair<LabelData, const char*> badData[] = {
      {{"02:5C:3A:04:22", "", {}}, "is not six hex groups"},
      {{"02:5C:3A:04:22:D1 ", "", {}}, "is not six hex groups"},
      {{"02:5C:3A:04:22:D1", "A B", {}}, "serial holds a space"},
      {{"02:5C:3A:04:22:D1", std::string(49, '1'), {}}, "serial longer than 48"},
      {{"02:5C:3A:04:22:D1", "1", {{"station", "a\nb"}}}, "field \"station\" holds"},
  };
  for (const auto& [d, why] : badData) {
    LabelData data = d;
    EXPECT_FALSE(NormalizeLabelData(&data, &error));
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
  LabelData data{"02:5C:3A:04:22:D1", "1", {}};
  ASSERT_TRUE(NormalizeLabelData(&data, &error));
  ASSERT_TRUE(ParseLabelTemplate("width = 300\nheight = 100\n", &tpl, &error));
  EXPECT_FALSE(RenderZpl(tpl, data, &lines, &error));
  EXPECT_NE(error.find("does not fit 300 x 100 dots"), std::string::npos) << error;
}

// The ways out fail with their reason: no printer listening, a spooler that refuses or
// is missing, a destination that would read as an option.
TEST(Labels, OutputFailuresAreReportedWithTheirReason) {
  std::string message;
  uint16_t closedPort = 0;
  {
    FakePrinter gone;  // a port that was free a moment ago
    closedPort = static_cast<uint16_t>(std::stoi(gone.Address().substr(10)));
    ASSERT_TRUE(SendZpl(SystemNetwork(), gone.Address(), "^XA^XZ", 2000, 2000, &message))
        << message;
  }
  EXPECT_FALSE(SendZpl(SystemNetwork(), "127.0.0.1:" + std::to_string(closedPort), "^XA^XZ", 2000,
                       2000, &message));
  EXPECT_NE(message.find("connect failed"), std::string::npos) << message;
  EXPECT_FALSE(SendZpl(SystemNetwork(), "printer.local", "^XA^XZ", 2000, 2000, &message));
  EXPECT_NE(message.find("expected an IPv4 address"), std::string::npos) << message;
  EXPECT_FALSE(SendZpl(SystemNetwork(), "127.0.0.1:99999", "^XA^XZ", 2000, 2000, &message));

  EXPECT_TRUE(PrintWithLp("office_1", "-label.png", 5000, &message, "echo"));
  EXPECT_EQ(message, "-d office_1 ./-label.png");
  EXPECT_FALSE(PrintWithLp("office_1", "label.png", 5000, &message, "false"));
  EXPECT_NE(message.find("failed (exit 1)"), std::string::npos) << message;
  EXPECT_FALSE(PrintWithLp("office_1", "label.png", 5000, &message, "/nonexistent/lp"));
  EXPECT_NE(message.find("cannot be run"), std::string::npos) << message;
  EXPECT_FALSE(PrintWithLp("-o", "label.png", 5000, &message, "echo"));
  EXPECT_NE(message.find("is not a printer name"), std::string::npos) << message;
  const auto t0 = std::chrono::steady_clock::now();
  ProcessResult r;
  ASSERT_EQ(RunProcess({"sleep", "10"}, 300, 100, &r), 0);
  EXPECT_TRUE(r.timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}
