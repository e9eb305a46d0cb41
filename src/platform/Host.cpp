#include "platform/Host.h"

#include <limits.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

std::string HostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return std::string(buf);
}

int64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t LocalDayStartMs(int64_t ms) {
  const time_t secs = static_cast<time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  struct tm local {};
  if (::localtime_r(&secs, &local) == nullptr) return ms - ((ms % 86400000) + 86400000) % 86400000;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // midnight may fall on the other side of a daylight-saving change
  const time_t midnight = ::mktime(&local);
  if (midnight == static_cast<time_t>(-1)) return ms - ((ms % 86400000) + 86400000) % 86400000;
  return static_cast<int64_t>(midnight) * 1000;
}

std::string LinkTarget(const std::string& path) {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
    if (buf.size() >= 65536) return "";
    buf.resize(buf.size() * 2);
  }
}
