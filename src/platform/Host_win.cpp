#include "platform/Host.h"

#include "platform/Win32Text.h"

std::string HostName() {
  wchar_t buf[256] = {};
  DWORD size = static_cast<DWORD>(sizeof buf / sizeof buf[0]);
  if (!GetComputerNameExW(ComputerNameDnsHostname, buf, &size)) return "";
  return WideToUtf8(buf, size);
}

std::string UserName() {
  wchar_t buf[257] = {};
  DWORD size = static_cast<DWORD>(sizeof buf / sizeof buf[0]);
  if (!GetUserNameW(buf, &size) || size == 0) return "";
  return WideToUtf8(buf, size - 1);  // size counts the terminator
}

// COMn is the Windows device itself: there are no port links to follow.
std::string LinkTarget(const std::string&) {
  return "";
}
