// How exactly the simulated devices keep the line's time over real pseudo-terminals,
// with sixteen devices served at once by one poll loop: at 115200 baud a block's ACK
// can come no sooner than the packet's line time (89.3 ms), the flash write (3 ms) and
// the ACK's own byte (0.09 ms); what the figures show beyond that is the simulator's
// lateness.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sim/model/PtyFarm.h"
#include "sim/model/XmodemReceiver.h"

namespace {
using Clock = std::chrono::steady_clock;

bool ReadUntil(int fd, const std::string& want, int timeoutMs, std::string* got) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[512];
  while (Clock::now() < end) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      got->append(buf, static_cast<size_t>(n));
      if (got->find(want) != std::string::npos) return true;
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  return false;
}

void Write(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    const ssize_t n = ::write(fd, s.data() + off, s.size() - off);
    if (n > 0) off += static_cast<size_t>(n);
  }
}

// One host: wakes the device, enters the loader and sends `blocks` blocks; the
// microseconds from each block's write to its ACK.
std::vector<double> Host(const std::string& path, int blocks) {
  std::vector<double> us;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return us;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::string got;
  Write(fd, "$SES\r\n");
  if (!ReadUntil(fd, "fw =", 3000, &got)) return us;
  Write(fd, "@@");
  if (!ReadUntil(fd, "R) restart", 3000, &got)) return us;
  Write(fd, "U");
  got.clear();
  if (!ReadUntil(fd, "C", 3000, &got)) return us;
  std::string p(1029, '\0');
  for (int i = 1; i <= blocks; ++i) {
    p[0] = 0x02;
    p[1] = static_cast<char>(i & 0xff);
    p[2] = static_cast<char>(255 - (i & 0xff));
    for (int k = 0; k < 1024; ++k) p[3 + k] = static_cast<char>(i + k);
    const uint16_t crc = Crc16Xmodem(reinterpret_cast<const uint8_t*>(p.data()) + 3, 1024);
    p[1027] = static_cast<char>(crc >> 8);
    p[1028] = static_cast<char>(crc & 0xff);
    const auto t0 = Clock::now();
    Write(fd, p);
    got.clear();
    if (!ReadUntil(fd, "\x06", 5000, &got)) break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  Write(fd, "\x04");
  ::close(fd);
  return us;
}
}  // namespace

int main() {
  constexpr int kDevices = 16, kBlocks = 200;
  PtyFarm farm;
  for (int i = 1; i <= kDevices; ++i) {
    SimOptions o;
    o.name = "COM" + std::to_string(i);
    std::string err;
    if (farm.Add(o, 0, 0, &err) != 0) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
  }
  farm.PowerOn();
  farm.Start();
  std::vector<std::vector<double>> results(kDevices);
  std::vector<std::thread> hosts;
  const auto t0 = Clock::now();
  for (int i = 0; i < kDevices; ++i) {
    hosts.emplace_back([&, i] {
      results[static_cast<size_t>(i)] = Host(farm.SlavePath(static_cast<size_t>(i)), kBlocks);
    });
  }
  for (auto& h : hosts) h.join();
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  farm.Close();

  std::vector<double> all;
  for (auto& r : results) all.insert(all.end(), r.begin(), r.end());
  if (all.size() != static_cast<size_t>(kDevices * kBlocks)) {
    std::printf("only %zu of %d blocks acknowledged\n", all.size(), kDevices * kBlocks);
    return 1;
  }
  std::sort(all.begin(), all.end());
  double sum = 0;
  for (double v : all) sum += v;
  std::printf("devices %d, blocks per device %d, wall %.2f s\n", kDevices, kBlocks, wall);
  std::printf("block write -> ACK: mean %.2f ms, median %.2f ms, p99 %.2f ms, max %.2f ms\n",
              sum / static_cast<double>(all.size()) / 1000.0, all[all.size() / 2] / 1000.0,
              all[all.size() * 99 / 100] / 1000.0, all.back() / 1000.0);
  std::printf("throughput %.0f blocks/s in all (the station paces 5 blocks/s per port)\n",
              static_cast<double>(all.size()) / wall);
  return 0;
}
