#pragma once
// A station for dispatcher and main-logic tests: inline UI thread, recording board,
// virtual clock, in-memory serial bus and network, a fresh data directory.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "base/JobState.h"
#include "base/Station.h"
#include "base/fake/ScriptedWorkers.h"
#include "base/fake/TestBoard.h"
#include "job/Logcfg.h"
#include "job/Logmac.h"
#include "platform/PortMap.h"
#include "platform/fake/FakeClock.h"
#include "platform/fake/FakeNetwork.h"
#include "platform/fake/FakeSerial.h"
#include "platform/fake/ScratchDir.h"
#include "platform/fake/SystemErrors.h"
#include "platform/fake/TempDir.h"

// Polls cond (real time) until it holds or the time-out passes.
inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A 38-byte pool file with one address (the whole permitted block) left.
inline const char* kOneAddressPool = "02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D1\r\n";

// The device path the port map gives COMn in a data directory without ports/.
inline std::string FallbackPath(int n) {
#ifdef _WIN32
  return "\\\\.\\COM" + std::to_string(n);
#else
  return "/dev/ttyS" + std::to_string(n - 1);
#endif
}

inline uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}
