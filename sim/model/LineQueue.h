#pragma once
// One direction of a serial line in real time: bytes put in at any moment come out no
// faster than the line carries them, 10 bits a byte (start bit, 8 data bits, stop bit)
// at the baud rate, one after the other. A byte is "due" once its stop bit has
// arrived. Times are microseconds of any monotonic clock.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

class LineQueue {
 public:
  // The rate for bytes put in from now on; 0 carries them at once.
  void SetBaud(uint32_t baud) { baud_ = baud; }
  uint32_t Baud() const { return baud_; }

  // Queues bytes sent at nowUs. They follow what is still on the line.
  void Put(const char* data, size_t len, uint64_t nowUs);
  // How many bytes at the front have arrived by nowUs.
  size_t Due(uint64_t nowUs) const;
  // Microseconds from nowUs until the front byte arrives: 0 when it has, -1 when
  // nothing is queued.
  int64_t UsUntilNext(uint64_t nowUs) const;
  // The same for the last byte queued.
  int64_t UsUntilLast(uint64_t nowUs) const {
    if (size_ == 0) return -1;
    return lineFreeUs_ <= nowUs ? 0 : static_cast<int64_t>(lineFreeUs_ - nowUs);
  }
  // The first n queued bytes (n at most Size()), then removes them.
  std::string Take(size_t n);
  void Clear() {
    chunks_.clear();
    size_ = 0;
  }
  size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }

  // Line time of n bytes at baud (rounded up to whole microseconds).
  static uint64_t WireUs(uint64_t n, uint32_t baud) {
    return baud == 0 ? 0 : (n * 10'000'000 + baud - 1) / baud;
  }

 private:
  static constexpr size_t kJoinBelow = 4096;
  // Bytes sent back to back: byte i of the chunk arrives at startUs + WireUs(i + 1).
  struct Chunk {
    std::string bytes;
    size_t taken = 0;  // bytes already taken from the front
    uint64_t startUs = 0;
    uint32_t baud = 0;
    uint64_t ArrivalUs(size_t i) const { return startUs + WireUs(i + 1, baud); }
    uint64_t EndUs() const { return startUs + WireUs(bytes.size(), baud); }
  };
  std::deque<Chunk> chunks_;
  size_t size_ = 0;
  uint32_t baud_ = 0;
  uint64_t lineFreeUs_ = 0;  // when the last byte put in has arrived
};
