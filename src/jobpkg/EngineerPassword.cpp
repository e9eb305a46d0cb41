#include "jobpkg/EngineerPassword.h"

#include <gcrypt.h>

#include <array>
#include <vector>

#include "base/CryptoLibrary.h"
#include "base/Hex.h"

namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr const char* kForm = "pbkdf2-sha256$ITERATIONS$SALT$KEY";

using Key = std::array<uint8_t, kKeyBytes>;

// Overwrites bytes the compiler may not drop as dead stores.
void Wipe(void* p, size_t n) {
  volatile uint8_t* b = static_cast<volatile uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) b[i] = 0;
}

std::string LowerHex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[p[i] >> 4]);
    out.push_back(kDigits[p[i] & 15]);
  }
  return out;
}

// Lower-case hex of exactly bytes bytes (one spelling only).
bool DecodeLowerHex(const std::string& text, uint8_t* out, size_t bytes) {
  if (text.size() != 2 * bytes) return false;
  for (size_t i = 0; i < bytes; ++i) {
    const char hc = text[2 * i], lc = text[2 * i + 1];
    if ((hc >= 'A' && hc <= 'F') || (lc >= 'A' && lc <= 'F')) return false;
    const int hi = HexDigitValue(hc), lo = HexDigitValue(lc);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

// Plain decimal digits without a leading zero; more than 8 of them read as the largest
// 8-digit number (beyond every limit, no overflow).
bool ParseIterations(const std::string& text, uint32_t* out) {
  if (text.empty() || text[0] == '0') return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (v < 10000000) v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *out = text.size() > 8 ? 99999999 : v;
  return true;
}

std::string IterationsRange() {
  return std::to_string(kEngineerPasswordMinIterations) + " to " +
         std::to_string(kEngineerPasswordMaxIterations);
}

bool Derive(const std::string& password, const uint8_t* salt, uint32_t iterations, Key* key,
            std::string* error) {
  if (!CryptoLibraryReady()) {
    *error = CryptoLibraryProblem();
    return false;
  }
  const gcry_error_t e =
      gcry_kdf_derive(password.data(), password.size(), GCRY_KDF_PBKDF2, GCRY_MD_SHA256, salt,
                      kSaltBytes, iterations, key->size(), key->data());
  if (e != 0) {
    *error = std::string("the password hash cannot be computed: ") + gcry_strerror(e);
    return false;
  }
  return true;
}

bool EqualInConstantTime(const Key& a, const Key& b) {
  uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
  const volatile uint8_t result = diff;
  return result == 0;
}

}  // namespace

bool MakeEngineerPasswordHash(const std::string& password, std::string* hash, std::string* error,
                              uint32_t iterations) {
  if (password.empty()) {
    *error = "the engineer password is empty";
    return false;
  }
  if (password.size() > kMaxEngineerPasswordChars) {
    *error = "the engineer password is longer than " + std::to_string(kMaxEngineerPasswordChars) +
             " bytes";
    return false;
  }
  if (iterations < kEngineerPasswordMinIterations || iterations > kEngineerPasswordMaxIterations) {
    *error = "the iterations must be " + IterationsRange() + ", not " + std::to_string(iterations);
    return false;
  }
  if (!CryptoLibraryReady()) {
    *error = CryptoLibraryProblem();
    return false;
  }
  std::array<uint8_t, kSaltBytes> salt{};
  gcry_randomize(salt.data(), salt.size(), GCRY_STRONG_RANDOM);
  Key key{};
  if (!Derive(password, salt.data(), iterations, &key, error)) return false;
  *hash = std::string(kScheme) + "$" + std::to_string(iterations) + "$" +
          LowerHex(salt.data(), salt.size()) + "$" + LowerHex(key.data(), key.size());
  Wipe(key.data(), key.size());
  return true;
}

bool CheckEngineerPassword(const std::string& stored, const std::string& password, bool* match,
                           std::string* error) {
  *match = false;
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    const size_t sep = stored.find('$', at);
    parts.push_back(stored.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
    if (sep == std::string::npos || parts.size() > 4) break;
    at = sep + 1;
  }
  if (parts.size() != 4) {
    *error = "the engineer password hash is not of the form " + std::string(kForm) +
             (stored.empty() ? " (it is empty)" : "");
    return false;
  }
  if (parts[0] != kScheme) {
    // The text itself is never repeated: a password put there in clear would be shown.
    *error = "the engineer password hash is of an unknown kind (this station takes " +
             std::string(kScheme) + ")";
    return false;
  }
  uint32_t iterations = 0;
  if (!ParseIterations(parts[1], &iterations)) {
    *error = "the engineer password hash's iterations are not a number from " + IterationsRange();
    return false;
  }
  if (iterations < kEngineerPasswordMinIterations) {
    *error = "the engineer password hash is unsafe: " + std::to_string(iterations) +
             " iterations, fewer than " + std::to_string(kEngineerPasswordMinIterations) +
             " (make a new one with job-tool password)";
    return false;
  }
  if (iterations > kEngineerPasswordMaxIterations) {
    *error = "the engineer password hash's iterations are more than " +
             std::to_string(kEngineerPasswordMaxIterations);
    return false;
  }
  std::array<uint8_t, kSaltBytes> salt{};
  Key want{};
  if (!DecodeLowerHex(parts[2], salt.data(), salt.size())) {
    *error = "the engineer password hash's salt is not " + std::to_string(2 * kSaltBytes) +
             " lower-case hex digits";
    return false;
  }
  if (!DecodeLowerHex(parts[3], want.data(), want.size())) {
    *error = "the engineer password hash's key is not " + std::to_string(2 * kKeyBytes) +
             " lower-case hex digits";
    return false;
  }
  // No stored hash is of an empty or too long password: such a one matches nothing.
  if (password.empty() || password.size() > kMaxEngineerPasswordChars) return true;
  Key got{};
  if (!Derive(password, salt.data(), iterations, &got, error)) return false;
  *match = EqualInConstantTime(got, want);
  Wipe(got.data(), got.size());
  return true;
}
