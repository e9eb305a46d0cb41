#pragma once
// A MAC pool for tests and benchmarks of many units: it hands out 02:5C:3A:20:00:01,
// :02, ... one address after the other (the build's permitted block may hold only one),
// and nothing once its stop gate is closed.
#include <cstdint>
#include <string>

#include "base/MacPool.h"

class CountingPool final : public MacPool {
 public:
  int Load() override { return 0; }
  void Close() override {}
  bool IsLoaded() const override { return true; }
  bool IsAvailable() const override { return true; }
  bool GetRange(std::string* next, std::string* last) const override {
    *next = "02:5C:3A:20:00:01";
    *last = "02:5C:3A:2F:FF:FF";
    return true;
  }
  int TakeNext(MacAddress* address) override {
    if (!GateOpen()) return -1;
    const uint32_t n = ++taken_;
    *address = MacAddress{0x02,
                          0x5C,
                          0x3A,
                          static_cast<uint8_t>(0x20 + ((n >> 16) & 0x0f)),
                          static_cast<uint8_t>(n >> 8),
                          static_cast<uint8_t>(n)};
    return 0;
  }
  int GetAssignState(std::string* text) const override {
    text->clear();
    return 0;
  }
  std::string Describe() const override { return "counting pool"; }

 private:
  uint32_t taken_ = 0;
};
