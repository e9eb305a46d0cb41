#include "platform/fake/FakeClock.h"

#include <chrono>
#include <thread>

void FakeClock::SleepMs(uint32_t ms) {
  slept_.fetch_add(ms);
  const uint32_t us = realYieldUs_.load();
  if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
  Advance(ms);
}

void FakeClock::Advance(uint32_t ms) {
  const uint32_t now = now_.fetch_add(ms) + ms;
  Notify(now);
}

void FakeClock::AddListener(Listener l) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_.push_back(std::move(l));
}

void FakeClock::Notify(uint32_t now) {
  std::vector<Listener> copy;
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    copy = listeners_;
  }
  for (auto& l : copy) l(now);
}
