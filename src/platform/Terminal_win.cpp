// The Windows console: echo is switched off in the console's input mode; Ctrl+C or
// Ctrl+Break while it waits switches it back on before the program ends.
#include "platform/Terminal.h"

#include <atomic>
#include <cstdio>

#include "platform/Win32Text.h"

namespace {

std::atomic<HANDLE> quietInput{nullptr};
std::atomic<DWORD> savedMode{0};

BOOL WINAPI RestoreModeOnControl(DWORD) {
  const HANDLE in = quietInput.load();
  if (in != nullptr) SetConsoleMode(in, savedMode.load());
  return FALSE;  // the next handler (by default: the program ends)
}

}  // namespace

bool StandardInputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int ReadLineWithoutEcho(const std::string& prompt, size_t maxBytes, HiddenLine* out) {
  *out = HiddenLine();
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(in, &mode)) return static_cast<int>(GetLastError());
  savedMode.store(mode);
  quietInput.store(in);
  SetConsoleCtrlHandler(RestoreModeOnControl, TRUE);
  if (!SetConsoleMode(in, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                              ENABLE_PROCESSED_INPUT)) {
    const int e = static_cast<int>(GetLastError());
    quietInput.store(nullptr);
    SetConsoleCtrlHandler(RestoreModeOnControl, FALSE);
    return e;
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  // Each UTF-16 unit is at least one byte of UTF-8: more than maxBytes units are too many.
  std::wstring wide;
  int result = 0;
  bool done = false;
  while (!done) {
    wchar_t buf[128];
    DWORD got = 0;
    if (!ReadConsoleW(in, buf, static_cast<DWORD>(sizeof buf / sizeof buf[0]), &got, nullptr)) {
      result = static_cast<int>(GetLastError());
      break;
    }
    if (got == 0) {
      out->ended = true;
      break;
    }
    for (DWORD i = 0; i < got && !done; ++i) {
      const wchar_t c = buf[i];
      if (c == L'\n') {
        done = true;
      } else if (c == L'\x1a' && wide.empty() && !out->tooLong) {
        out->ended = true;  // Ctrl+Z at the start of the line: the end of the input
      } else if (c != L'\r') {
        if (wide.size() < maxBytes) {
          wide.push_back(c);
        } else {
          out->tooLong = true;
        }
      }
    }
  }
  SetConsoleMode(in, mode);
  quietInput.store(nullptr);
  SetConsoleCtrlHandler(RestoreModeOnControl, FALSE);
  std::fputs("\n", stderr);
  std::fflush(stderr);
  if (!out->tooLong && !out->ended) {
    out->text = WideToUtf8(wide.data(), wide.size());
    if (out->text.size() > maxBytes) {
      out->tooLong = true;
      out->text.clear();
    }
  }
  return result;
}
