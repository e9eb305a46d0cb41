#pragma once
// SHA-256 of a byte stream, fed in pieces: the digest of the image bytes a transfer
// actually sent, for the unit's production record.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256Digest {
 public:
  Sha256Digest() { Reset(); }
  void Reset();
  void Update(const uint8_t* data, size_t len);
  // Finishes the digest (the object must be Reset before it is fed again).
  std::array<uint8_t, 32> Finish();
  // Finish() as 64 lower-case hex digits.
  std::string FinishHex();

 private:
  void Block(const uint8_t* p);
  std::array<uint32_t, 8> h_{};
  uint8_t buf_[64] = {};
  size_t used_ = 0;
  uint64_t total_ = 0;
};
