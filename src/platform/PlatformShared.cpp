// The helpers of the platform headers that are the same on every system.
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
