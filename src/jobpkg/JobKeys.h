#pragma once
// The Ed25519 keys that sign job packages: an engineer's signing key (a private file),
// its public key, and the public keys a station trusts (<data>/trusted-keys/*.pub).
//
// Files (one line each, lower-case hex, a line end after it):
//   NAME.pub  "ed25519-public <64 hex: the public key>"
//   NAME.key  "ed25519-secret <64 hex: the secret seed> <64 hex: the public key>"
// A key's id is the first 16 hex digits of the SHA-256 of its 32 public bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kEd25519KeyBytes = 32;
constexpr size_t kEd25519SignatureBytes = 64;
constexpr size_t kKeyIdChars = 16;

struct PublicKey {
  std::array<uint8_t, kEd25519KeyBytes> bytes{};
  std::string id;    // KeyIdOf(bytes)
  std::string file;  // where it was read from; empty for a key made in memory
};

struct SigningKey {
  std::array<uint8_t, kEd25519KeyBytes> seed{};
  PublicKey pub;
};

struct TrustedKeys {
  std::vector<PublicKey> keys;
  // The key with this id, or null.
  const PublicKey* Find(const std::string& id) const;
};

std::string KeyIdOf(const std::array<uint8_t, kEd25519KeyBytes>& publicKey);

// A new key pair from the library's strongest random source.
bool GenerateSigningKey(SigningKey* out, std::string* error);
// The key pair of a 32-byte seed (RFC 8032's secret key).
bool SigningKeyFromSeed(const std::array<uint8_t, kEd25519KeyBytes>& seed, SigningKey* out,
                        std::string* error);

// The 64-byte Ed25519 signature of message.
bool SignMessage(const SigningKey& key, const std::string& message, std::string* signature,
                 std::string* error);
// Whether signature (64 bytes) is key's signature of message.
bool VerifyMessage(const PublicKey& key, const std::string& message, const std::string& signature);

// The key files' text, and their strict readers (*error names what is wrong).
std::string PublicKeyText(const PublicKey& key);
std::string SigningKeyText(const SigningKey& key);
bool ParsePublicKeyText(const std::string& text, PublicKey* out, std::string* error);
bool ParseSigningKeyText(const std::string& text, SigningKey* out, std::string* error);

// Writes base + ".key" (owner-only) and base + ".pub"; neither may exist yet.
bool WriteKeyFiles(const SigningKey& key, const std::string& base, std::string* error);
bool ReadSigningKey(const std::string& path, SigningKey* out, std::string* error);
bool ReadPublicKey(const std::string& path, PublicKey* out, std::string* error);

// Where a station keeps the public keys it trusts.
std::string TrustedKeysDir(const std::string& dataDir);
// Every "*.pub" file in dir (sorted by name). A directory that does not exist holds
// no keys; a key file that cannot be read, or two files with one key, fail the whole
// load with the file named, so a station never runs with fewer keys than it was given
// without saying so.
bool LoadTrustedKeys(const std::string& dir, TrustedKeys* out, std::string* error);
