#pragma once
// The cryptographic library (libgcrypt: SHA-256, Ed25519, random numbers), started
// once per process. Every use goes through CryptoLibraryReady() first.
#include <string>

// True when the library is started (the first call starts it; thread-safe). False
// when the library found at run time is older than the one built against:
// CryptoLibraryProblem() then says so.
bool CryptoLibraryReady();
std::string CryptoLibraryProblem();
