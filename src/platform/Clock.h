#pragma once
// Millisecond tick and sleep. Production code measures time only through a Clock,
// so tests can run long time-outs in virtual time (see fake/FakeClock.h).
#include <cstdint>

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start; wraps modulo 2^32. Take differences as
  // uint32_t subtraction.
  virtual uint32_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The real clock (CLOCK_MONOTONIC and nanosleep; GetTickCount and Sleep on Windows).
Clock& SystemClock();

// Milliseconds from `since` to `now`, modulo 2^32.
inline uint32_t TickDiff(uint32_t now, uint32_t since) {
  return now - since;
}
