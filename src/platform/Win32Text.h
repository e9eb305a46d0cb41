#pragma once
// UTF-8 <-> UTF-16 for the wide-character Windows calls. Paths and texts are UTF-8
// everywhere else in the station. Windows builds only.
#ifndef _WIN32
#error "Win32Text.h is for Windows builds"
#endif
#include <windows.h>

#include <string>

// The UTF-16 form of a UTF-8 text; false (and *out empty) when the text is not UTF-8
// or holds a NUL byte.
inline bool Utf8ToWide(const std::string& in, std::wstring* out) {
  out->clear();
  if (in.empty()) return true;
  if (in.find('\0') != std::string::npos || in.size() > 0x7FFFFFFFu) return false;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(),
                                    static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                          out->data(), n) != n) {
    out->clear();
    return false;
  }
  return true;
}

// The UTF-8 form of a UTF-16 text (unpaired surrogates become U+FFFD).
inline std::string WideToUtf8(const wchar_t* in, size_t len) {
  if (len == 0 || len > 0x7FFFFFFFu) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, in, static_cast<int>(len), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, in, static_cast<int>(len), out.data(), n, nullptr, nullptr);
  return out;
}
