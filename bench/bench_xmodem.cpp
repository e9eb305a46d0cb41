// XMODEM-1K sender against the line-true simulated devices: firmware images sent over
// pseudo-terminals whose simulated line carries 10 bits a byte at the console rate,
// to loaders that write each block to flash (3 ms) before they answer. For every
// combination of image size, baud rate, number of ports and pacing it prints the
// seconds the slowest port took, the wire floor (the bytes of all packets at the line
// rate), the ratio of the two, the ratio to the same run on one port, and the senders'
// CPU time as a share of the wall time.
//
//   bench_xmodem [--size 64K|1M|<blocks>]... [--baud 115200|57600|38400]...
//                [--ports 1|16|<n>]... [--mode paced|fast]...
//
// Each option may be repeated; without it every value in the list above is run. The
// whole matrix takes about an hour (1 MB at 38400 baud: 4.6 minutes ACK-paced, 8.5
// minutes with the 200 ms pause), so it is meant to be run in parts.
// Goals: ACK-paced within 1.10 times the wire floor, 16 ports within 1.05 times one
// port, the senders' CPU under 2% of the wall time.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/JobState.h"
#include "base/Station.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/RunJobSetup.h"
#include "platform/Clock.h"
#include "platform/PortMap.h"
#include "platform/SerialPort.h"
#include "sim/model/PtyFarm.h"
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

struct PortResult {
  int result = 0;
  double start = 0, end = 0, cpu = 0;
  int restored = 0;  // transfers that went back to the pause
};

// One port: the loader's "U", then one transfer, then the banner after the flash write.
PortResult RunPort(ConsolePort& console, const RunImage& image, const XmodemPacing& base,
                   std::atomic<int>* ready, int ports) {
  PortResult r;
  XmodemPacing pacing = base;
  pacing.onPauseRestored = [&r](int32_t) { ++r.restored; };
  // All ports start together.
  ready->fetch_add(1);
  while (ready->load() < ports) std::this_thread::yield();
  console.SendText("U");
  if (!WaitLine(console, "Downloading", 10000)) {
    r.result = 1;
    return r;
  }
  const uint8_t mac[6] = {0x02, 0x5C, 0x3A, 0xFF, 0xFF, 0xFF};
  r.start = Seconds(CLOCK_MONOTONIC);
  const double cpu0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
  r.result = XmodemSend(console, XmodemMode::Firmware, image, mac, nullptr, nullptr, pacing);
  r.cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  r.end = Seconds(CLOCK_MONOTONIC);
  // Written to flash, the loader shows its banner again.
  if (r.result == 0 && !WaitLine(console, "Varnix Serial Loader", 30000)) r.result = 2;
  return r;
}

bool ParseSize(const std::string& s, int* blocks) {
  if (s == "64K") {
    *blocks = 64;
  } else if (s == "1M") {
    *blocks = 1024;
  } else {
    *blocks = std::atoi(s.c_str());
  }
  return *blocks >= 1 && *blocks <= 16384;
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_xmodem [--size 64K|1M|BLOCKS]... [--baud 115200|57600|38400]...\n"
               "                    [--ports 1|16|N]... [--mode paced|fast]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes, bauds, portCounts;
  std::vector<bool> modes;  // true: ACK-paced
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string v = argv[++i];
    if (a == "--size") {
      int b = 0;
      if (!ParseSize(v, &b)) return Usage();
      sizes.push_back(b);
    } else if (a == "--baud") {
      const int b = std::atoi(v.c_str());
      if (b != 115200 && b != 57600 && b != 38400) return Usage();
      bauds.push_back(b);
    } else if (a == "--ports") {
      const int n = std::atoi(v.c_str());
      if (n < 1 || n > 16) return Usage();
      portCounts.push_back(n);
    } else if (a == "--mode") {
      if (v != "paced" && v != "fast") return Usage();
      modes.push_back(v == "fast");
    } else {
      return Usage();
    }
  }
  if (sizes.empty()) sizes = {64, 1024};
  if (bauds.empty()) bauds = {115200, 57600, 38400};
  if (portCounts.empty()) portCounts = {1, 16};
  if (modes.empty()) modes = {false, true};
  const int maxPorts = *std::max_element(portCounts.begin(), portCounts.end());

  std::string dir = (std::filesystem::temp_directory_path() / "pt_bench_xmodem_XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }

  PtyFarm farm;
  std::string error;
  for (int k = 1; k <= maxPorts; ++k) {
    SimOptions opt;
    opt.name = "COM" + std::to_string(k);
    if (farm.Add(opt, 0, 0, &error) != 0) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return 1;
    }
  }
  if (farm.Link(dir, &error) != 0) {
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

  farm.Start();
  farm.PowerOn();

  std::printf("%6s %7s %5s %6s %9s %9s %7s %9s %8s\n", "size", "baud", "ports", "pacing", "seconds",
              "floor (s)", "ratio", "vs 1 port", "cpu");
  std::fflush(stdout);
  std::map<std::tuple<int, int, bool>, double> onePort;  // (blocks, baud, fast) -> seconds
  int status = 0;
  bool inLoader = false;
  for (int baud : bauds) {
    cfg.consoleBaudIndex = baud == 57600 ? 1 : baud == 38400 ? 2 : 0;
    std::vector<std::unique_ptr<ConsolePort>> consoles;
    for (int k = 0; k < maxPorts; ++k) {
      consoles.push_back(std::make_unique<ConsolePort>(station, k + 1, k));
      if (consoles.back()->OpenConsolePort(BaudFromIndex(cfg.consoleBaudIndex)) != 0) {
        std::fprintf(stderr, "%s\n", consoles.back()->statusText);
        return 1;
      }
    }
    if (!inLoader) {
      // Into the loader once: the boot line, "@@", the banner.
      for (auto& c : consoles) {
        if (!WaitLine(*c, "fw =", 10000)) {
          std::fprintf(stderr, "%s did not boot\n", c->portName.c_str());
          return 1;
        }
        c->SendText("@@");
      }
      for (auto& c : consoles) {
        if (!WaitLine(*c, "Varnix Serial Loader", 10000)) {
          std::fprintf(stderr, "%s: no loader banner\n", c->portName.c_str());
          return 1;
        }
      }
      inLoader = true;
    }
    for (int blocks : sizes) {
      const std::string image = dir + "/image.vff";
      {
        std::ofstream f(image, std::ios::binary | std::ios::trunc);
        std::string data(static_cast<size_t>(blocks) * 1024, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
        f.write(data.data(), static_cast<std::streamsize>(data.size()));
      }
      const RunImage run = ReadRunImage(image, kMaxFirmwareImageSize);
      const double floor = static_cast<double>(blocks) * kXmodemPacketSize * 10.0 / baud;
      for (int n : portCounts) {
        for (bool fast : modes) {
          XmodemPacing pacing;
          pacing.ackPaced = fast;
          pacing.lineBaud = static_cast<uint32_t>(baud);
          std::atomic<int> ready{0};
          std::vector<PortResult> results(static_cast<size_t>(n));
          std::vector<std::thread> threads;
          for (int k = 0; k < n; ++k) {
            threads.emplace_back([&, k] {
              results[static_cast<size_t>(k)] =
                  RunPort(*consoles[static_cast<size_t>(k)], run, pacing, &ready, n);
            });
          }
          for (auto& t : threads) t.join();
          double start = 1e300, end = 0, cpu = 0;
          int failed = 0, restored = 0;
          for (const auto& r : results) {
            if (r.result != 0) ++failed;
            start = std::min(start, r.start);
            end = std::max(end, r.end);
            cpu += r.cpu;
            restored += r.restored;
          }
          if (failed > 0) {
            std::fprintf(stderr, "%d port(s) failed (size %d blocks, %d baud, %d ports)\n", failed,
                         blocks, baud, n);
            return 1;
          }
          const double wall = end - start;
          if (n == 1) onePort[{blocks, baud, fast}] = wall;
          const auto one = onePort.find({blocks, baud, fast});
          char vsOne[16] = "-";
          if (n > 1 && one != onePort.end())
            std::snprintf(vsOne, sizeof vsOne, "%.3f", wall / one->second);
          const std::string size = blocks == 64     ? "64K"
                                   : blocks == 1024 ? "1M"
                                                    : std::to_string(blocks) + "b";
          std::printf("%6s %7d %5d %6s %9.2f %9.2f %7.3f %9s %7.2f%%%s\n", size.c_str(), baud, n,
                      fast ? "fast" : "paced", wall, floor, wall / floor, vsOne, 100.0 * cpu / wall,
                      restored ? "  (fell back to the pause)" : "");
          std::fflush(stdout);
        }
      }
    }
    for (auto& c : consoles) c->ClosePort();
  }

  farm.Close();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
