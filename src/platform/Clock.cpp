#include "platform/Clock.h"

#include <time.h>

namespace {
class PosixClock final : public Clock {
 public:
  uint32_t TickMs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
  }
  void SleepMs(uint32_t ms) override {
    timespec req{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    while (nanosleep(&req, &req) != 0) {
    }
  }
};
}  // namespace

Clock& SystemClock() {
  static PosixClock clock;
  return clock;
}
