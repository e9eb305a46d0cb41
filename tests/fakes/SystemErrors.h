#pragma once
// The error numbers the platform layer reports for common failures, per system:
// errno on POSIX systems, GetLastError and Windows Sockets numbers on Windows.
#include <cerrno>

#ifdef _WIN32
inline constexpr int kErrNoFile = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr int kErrNoPath = 3;       // ERROR_PATH_NOT_FOUND: a directory is missing
inline constexpr int kErrNotOpen = 6;      // ERROR_INVALID_HANDLE
inline constexpr int kErrRefused = 10061;  // WSAECONNREFUSED
#else
inline constexpr int kErrNoFile = ENOENT;
inline constexpr int kErrNoPath = ENOENT;
inline constexpr int kErrNotOpen = EBADF;
inline constexpr int kErrRefused = ECONNREFUSED;
#endif
