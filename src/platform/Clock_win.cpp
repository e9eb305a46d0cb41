#include <windows.h>

#include "platform/Clock.h"

namespace {
// The system tick (GetTickCount: milliseconds since start-up, wrapping after 49.7
// days) and Sleep.
class Win32Clock final : public Clock {
 public:
  uint32_t TickMs() override { return GetTickCount(); }
  void SleepMs(uint32_t ms) override {
    // Sleep(INFINITE) would never return: sleep the longest wait in two parts.
    if (ms == INFINITE) {
      Sleep(ms - 1);
      ms = 1;
    }
    Sleep(ms);
  }
};
}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}
