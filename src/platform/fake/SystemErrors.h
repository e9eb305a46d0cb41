#pragma once
// The error numbers the platform layer reports for common failures, per system:
// errno on POSIX systems, GetLastError and Windows Sockets numbers on Windows.
#include <cerrno>
#ifdef _WIN32
#include <windows.h>
#endif

#ifdef _WIN32
inline constexpr int kErrNoFile = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr int kErrNoPath = 3;       // ERROR_PATH_NOT_FOUND: a directory is missing
inline constexpr int kErrNotOpen = 6;      // ERROR_INVALID_HANDLE
inline constexpr int kErrIsDirectory = 5;  // ERROR_ACCESS_DENIED: a directory in a file's place
inline constexpr int kErrRefused = 10061;  // WSAECONNREFUSED
#else
inline constexpr int kErrNoFile = ENOENT;
inline constexpr int kErrNoPath = ENOENT;
inline constexpr int kErrNotOpen = EBADF;
inline constexpr int kErrIsDirectory = EISDIR;
inline constexpr int kErrRefused = ECONNREFUSED;
#endif

// Wine cannot show every Windows behaviour (it does not report a held file as deleted:
// DeletePending stays false). True when the test runs under Wine.
inline bool RunningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}
