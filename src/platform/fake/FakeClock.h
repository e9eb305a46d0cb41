#pragma once
// A clock whose sleep advances virtual time, so a 20 s time-out passes in
// microseconds. Listeners run after each advance (the in-memory device simulator
// uses this to act "while" a worker sleeps).
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t start = 1000) : now_(start) {}
  uint32_t TickMs() override { return now_.load(); }
  // Advances virtual time by ms (at least 1 ms when realYieldUs is set, a real
  // microsecond pause lets other threads run) and then runs the listeners.
  void SleepMs(uint32_t ms) override;
  // Moves time without running listeners.
  void Set(uint32_t now) { now_.store(now); }
  void Advance(uint32_t ms);
  // Listener called with the new time after every SleepMs/Advance. Not reentrant.
  using Listener = std::function<void(uint32_t now)>;
  void AddListener(Listener l);
  // Total virtual milliseconds slept through SleepMs.
  uint64_t SleptMs() const { return slept_.load(); }
  // With a value above 0 every SleepMs also sleeps that many real microseconds, so
  // tests with several threads on one fake clock give the others a chance to run.
  void SetRealYieldUs(uint32_t us) { realYieldUs_.store(us); }

 private:
  void Notify(uint32_t now);
  std::atomic<uint32_t> now_;
  std::atomic<uint64_t> slept_{0};
  std::atomic<uint32_t> realYieldUs_{0};
  std::mutex listenersMutex_;
  std::vector<Listener> listeners_;
};
