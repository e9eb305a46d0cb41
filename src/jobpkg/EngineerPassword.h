#pragma once
// The engineer's password of a production station, kept in station.conf as a salted
// PBKDF2-HMAC-SHA256 hash (libgcrypt), never in clear. The password opens engineer
// mode, in which the job may be changed.
//
// The stored form:
//   "pbkdf2-sha256$<iterations>$<salt: 32 lower-case hex>$<key: 64 lower-case hex>"
#include <cstddef>
#include <cstdint>
#include <string>

// What MakeEngineerPasswordHash uses by default.
constexpr uint32_t kEngineerPasswordIterations = 600000;
// Stored hashes with fewer are refused as unsafe.
constexpr uint32_t kEngineerPasswordMinIterations = 10000;
// Nor are hashes with more taken: a check would hold the station for many seconds.
constexpr uint32_t kEngineerPasswordMaxIterations = 10000000;
// A password's length in bytes (UTF-8).
constexpr size_t kMaxEngineerPasswordChars = 256;

// A new hash of password with a fresh random salt (gcry_randomize, GCRY_STRONG_RANDOM).
// False with *error (empty or too long password, iterations out of range, library
// failure).
bool MakeEngineerPasswordHash(const std::string& password, std::string* hash, std::string* error,
                              uint32_t iterations = kEngineerPasswordIterations);
// Whether password matches the stored hash (*match, compared in constant time). False
// with *error when the stored text is not a hash this station takes (malformed, unknown
// scheme, iterations out of [min, 10,000,000]): a clear text for the operator naming
// what is wrong, never the hash itself. An empty or too long password matches nothing.
bool CheckEngineerPassword(const std::string& stored, const std::string& password, bool* match,
                           std::string* error);
