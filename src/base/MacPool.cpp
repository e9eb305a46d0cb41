#include "base/MacPool.h"

#include <cstdio>

#include "base/Hex.h"

std::string FormatMac(const MacAddress& a) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4],
                a[5]);
  return std::string(buf, 17);
}

int MacPool::ParseMac(const char* text, size_t len, MacAddress* address) {
  for (size_t i = 0; i < 6; ++i) {
    if (3 * i + 1 >= len) return -1;
    int hi = HexDigitValue(text[3 * i]);
    int lo = HexDigitValue(text[3 * i + 1]);
    if (hi < 0 || lo < 0) return -1;
    (*address)[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return 0;
}

const char* MacOutcomeName(MacOutcome outcome) {
  switch (outcome) {
    case MacOutcome::Programmed:
      return "programmed";
    case MacOutcome::Failed:
      return "failed";
    case MacOutcome::Unverified:
      return "unverified";
  }
  return "failed";
}

bool MacOutcomeFromName(const std::string& name, MacOutcome* outcome) {
  for (MacOutcome o : {MacOutcome::Programmed, MacOutcome::Failed, MacOutcome::Unverified}) {
    if (name == MacOutcomeName(o)) {
      *outcome = o;
      return true;
    }
  }
  return false;
}
