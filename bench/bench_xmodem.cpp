// XMODEM-1K sender throughput: firmware images of 1, 100 and 1000 blocks (or the block
// counts given as arguments) sent over a pseudo-terminal to the simulated device's
// loader, in real time. For each it prints the seconds taken, the ratio to the floor
// of blocks x 200 ms (the pause after every packet) and the sender's CPU time as a
// share of the wall time.
//
//   bench_xmodem [BLOCKS...]      (1000 blocks take about 200 s)
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/JobState.h"
#include "base/Station.h"
#include "job/Logcfg.h"
#include "platform/Clock.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"
#include "sim/model/PtyFarm.h"
#include "tests/fakes/TestBoard.h"
#include "workers/ConsolePort.h"
#include "workers/Xmodem.h"

namespace {

double Seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A board that shows nothing (the status texts would only cost time here).
class QuietBoard final : public Board {
 public:
  void ShowPortStatus(int, const std::string&) override {}
  void SetMacGridCell(int, int, const std::string&) override {}
  void AppendMessage(const std::string&) override {}
  void ClearMessages() override {}
  void ClearStatusGrid() override {}
  void ShowException(const std::string& m) override {
    std::fprintf(stderr, "exception: %s\n", m.c_str());
  }
  void SetStartButton(bool) override {}
  void DispatcherEnded() override {}
};

// Reads the port one byte at a time until a line containing `key` has been read, so
// that nothing after that line (the receiver's "C") is taken from the queue. False
// after timeoutMs.
bool WaitLine(ConsolePort& console, const char* key, uint32_t timeoutMs) {
  Clock& clock = SystemClock();
  const uint32_t start = clock.TickMs();
  std::string line;
  while (TickDiff(clock.TickMs(), start) < timeoutMs) {
    uint8_t b = 0;
    size_t got = 0;
    if (console.port()->Read(&b, 1, &got) != 0 || got == 0) {
      clock.SleepMs(1);
      continue;
    }
    if (b != '\n') {
      if (line.size() < 4096) line += static_cast<char>(b);
      continue;
    }
    if (line.find(key) != std::string::npos) return true;
    line.clear();
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) {
    const int n = std::atoi(argv[i]);
    if (n < 1 || n > 16000) {
      std::fprintf(stderr, "usage: bench_xmodem [BLOCKS...]   (1 to 16000 blocks each)\n");
      return 2;
    }
    sizes.push_back(n);
  }
  if (sizes.empty()) sizes = {1, 100, 1000};

  std::string dir = (std::filesystem::temp_directory_path() / "pt_bench_xmodem_XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }

  PtyFarm farm;
  std::string error;
  SimOptions opt;
  opt.name = "COM1";
  if (farm.Add(opt, 0, 0, &error) != 0 || farm.Link(dir, &error) != 0) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }

  InlineUiThread ui;
  QuietBoard board;
  JobState job;
  StageTable stages;
  StoredConfig cfg(dir, "storedCfg.txt");
  PortMap ports(dir);
  Station station;
  station.ui = &ui;
  station.board = &board;
  station.clock = &SystemClock();
  station.serial = &PosixSerialPorts();
  station.ports = &ports;
  station.job = &job;
  station.stages = &stages;
  station.cfg = &cfg;

  ConsolePort console(station, 1, 0);
  if (console.OpenConsolePort() != 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", farm.LinkPath(0).c_str(), console.statusText);
    return 1;
  }
  farm.Start();
  farm.PowerOn();

  // Into the loader: the boot line, "@@", the banner.
  if (!WaitLine(console, "fw =", 10000)) {
    std::fprintf(stderr, "the device did not boot\n");
    return 1;
  }
  console.SendText("@@");
  if (!WaitLine(console, "Varnix Serial Loader", 10000)) {
    std::fprintf(stderr, "no loader banner\n");
    return 1;
  }

  std::printf("%8s %10s %14s %10s %10s\n", "blocks", "seconds", "floor (s)", "ratio", "cpu share");
  int status = 0;
  const uint8_t mac[6] = {0x02, 0x5C, 0x3A, 0xFF, 0xFF, 0xFF};
  for (int blocks : sizes) {
    const std::string image = dir + "/image.vff";
    {
      std::ofstream f(image, std::ios::binary | std::ios::trunc);
      std::string data(static_cast<size_t>(blocks) * 1024 - 100, '\0');
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
      f.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    console.SendText("U");
    if (!WaitLine(console, "Downloading", 10000)) {
      std::fprintf(stderr, "the loader did not start a download\n");
      status = 1;
      break;
    }
    const double wall0 = Seconds(CLOCK_MONOTONIC);
    const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
    const int r = XmodemSend(console, XmodemMode::Firmware, image, mac, nullptr);
    const double cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    const double wall = Seconds(CLOCK_MONOTONIC) - wall0;
    const double floor = blocks * 0.2;
    std::printf("%8d %10.2f %14.1f %10.3f %9.2f%%%s\n", blocks, wall, floor, wall / floor,
                100.0 * cpu / wall, r == 0 ? "" : "  (transfer failed)");
    std::fflush(stdout);
    if (r != 0) {
      std::fprintf(stderr, "XmodemSend: %d\n", r);
      status = 1;
      break;
    }
    // Written to flash, the loader shows its banner again.
    if (!WaitLine(console, "Varnix Serial Loader", 30000)) {
      std::fprintf(stderr, "no loader banner after the transfer\n");
      status = 1;
      break;
    }
  }

  console.ClosePort();
  farm.Close();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
