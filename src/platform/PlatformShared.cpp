// The helpers of the platform headers that are the same on every system.
#include <atomic>
#include <chrono>
#include <ctime>

#ifdef _WIN32
#include <winerror.h>
static constexpr int kFileTooLarge = ERROR_FILE_TOO_LARGE;
#else
#include <cerrno>
static constexpr int kFileTooLarge = EFBIG;
#endif

#include "platform/Files.h"
#include "platform/Host.h"
#include "platform/Network.h"
#include "platform/SerialPort.h"

uint32_t BaudFromIndex(int consoleBaudIndex) {
  switch (consoleBaudIndex) {
    case 1:
      return 57600;
    case 2:
      return 38400;
    default:
      return 115200;
  }
}

bool ParseIpv4(const char* text, uint32_t* out) {
  if (!text || !out) return false;
  uint32_t value = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return false;
      ++p;
    }
    uint32_t octet = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
      octet = octet * 10 + static_cast<uint32_t>(*p - '0');
      ++p;
    }
    if (digits == 0 || octet > 255) return false;
    value = (value << 8) | octet;
  }
  if (*p != '\0') return false;
  *out = value;
  return true;
}

std::string MacText(const uint8_t mac[6]) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) text += ':';
    text += kHex[mac[i] >> 4];
    text += kHex[mac[i] & 0x0F];
  }
  return text;
}

bool ParseMacText(const std::string& text, uint8_t mac[6]) {
  if (text.size() != 17) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[i * 3 - 1] != ':') return false;
    const int hi = nibble(text[i * 3]), lo = nibble(text[i * 3 + 1]);
    if (hi < 0 || lo < 0) return false;
    mac[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

int64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t LocalDayStartMs(int64_t ms) {
  const time_t secs = static_cast<time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  struct tm local {};
#ifdef _WIN32
  const bool converted = localtime_s(&local, &secs) == 0;
#else
  const bool converted = localtime_r(&secs, &local) != nullptr;
#endif
  if (!converted) return ms - ((ms % 86400000) + 86400000) % 86400000;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;  // midnight may fall on the other side of a daylight-saving change
  const time_t midnight = std::mktime(&local);
  if (midnight == static_cast<time_t>(-1)) return ms - ((ms % 86400000) + 86400000) % 86400000;
  return static_cast<int64_t>(midnight) * 1000;
}

int InputFile::ReadAll(size_t maxBytes, std::string* data) {
  data->clear();
  char buf[4096];
  for (;;) {
    size_t got = 0;
    const int e = Read(buf, sizeof buf, &got);
    if (e != 0) {
      data->clear();
      return e;
    }
    if (got == 0) return 0;
    if (got > maxBytes - data->size()) {
      data->clear();
      return kFileTooLarge;
    }
    data->append(buf, got);
  }
}

std::string TemporaryFileName(uint64_t seed) {
  static std::atomic<uint64_t> counter{0};
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  uint64_t v = seed + counter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
  std::string name = ".pt";
  for (int i = 0; i < 6; ++i) {
    name += kChars[v % 36];
    v /= 36;
  }
  return name;
}
