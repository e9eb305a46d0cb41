#include "platform/Host.h"

#include <chrono>
#include <ctime>

#include "platform/Win32Text.h"

std::string HostName() {
  wchar_t buf[256] = {};
  DWORD size = static_cast<DWORD>(sizeof buf / sizeof buf[0]);
  if (!GetComputerNameExW(ComputerNameDnsHostname, buf, &size)) return "";
  return WideToUtf8(buf, size);
}

int64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t LocalDayStartMs(int64_t ms) {
  const time_t secs = static_cast<time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  struct tm local {};
  if (localtime_s(&local, &secs) != 0) return ms - ((ms % 86400000) + 86400000) % 86400000;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // midnight may fall on the other side of a daylight-saving change
  const time_t midnight = mktime(&local);
  if (midnight == static_cast<time_t>(-1)) return ms - ((ms % 86400000) + 86400000) % 86400000;
  return static_cast<int64_t>(midnight) * 1000;
}

// COMn is the Windows device itself: there are no port links to follow.
std::string LinkTarget(const std::string&) {
  return "";
}
