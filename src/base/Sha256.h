#pragma once
// SHA-256 of a byte string, fed in pieces: the digest of the image bytes a transfer
// sent (for the unit's production record) and of what a simulated device received.
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t len);
  // The 64-character lower-case hex digest; the object is spent afterwards.
  std::string HexDigest();

  static std::string Hex(const void* data, size_t len);
  static std::string Hex(const std::string& bytes) { return Hex(bytes.data(), bytes.size()); }

 private:
  void Block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t bufLen_ = 0;
  uint64_t total_ = 0;
};
