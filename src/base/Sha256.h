#pragma once
// SHA-256 of a byte string, fed in pieces: the digest of the image bytes a transfer
// sent (for the unit's production record), of what a simulated device received and of
// job packages. Computed by the cryptographic library (base/CryptoLibrary.h).
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t len);
  // The 64-character lower-case hex digest; the object is spent afterwards. Empty only
  // when the library could not be started (base/CryptoLibrary.h says why).
  std::string HexDigest();
  // The 32 bytes of the digest, under the same terms.
  std::string Digest();

  static std::string Hex(const void* data, size_t len);
  static std::string Hex(const std::string& bytes) { return Hex(bytes.data(), bytes.size()); }

 private:
  void* md_ = nullptr;  // the library's hash context
  bool spent_ = false;
};

// Lower-case hex of bytes.
std::string HexOf(const void* data, size_t len);
