#include "eeprom/EepromChecks.h"

#include <cstdint>

#include "base/Hex.h"

bool ConvertInteger(const std::string& text, long long* value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') i++;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    i++;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    i++;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  // Values must fit 32 bits: a signed integer, or up to FFFFFFFF when hexadecimal
  // and not negative.
  const long long limit = negative ? 0x80000000LL : (hex ? 0xFFFFFFFFLL : 0x7FFFFFFFLL);
  long long v = 0;
  for (; i < text.size(); i++) {
    int d = hex ? HexDigitValue(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (d < 0) return false;
    v = v * (hex ? 16 : 10) + d;
    if (v > limit) return false;
  }
  *value = negative ? -v : v;
  return true;
}

std::string NotIntegerMessage(const std::string& text) {
  return "'" + text + "' is not a valid integer value.";
}

std::string RangeMessage(int maximum) {
  return "0~" + std::to_string(maximum) + " is valid";
}

int CheckRange(MessageBoxes& boxes, const std::string& appTitle, const std::string& text,
               int maximum) {
  if (text.empty()) return 0;
  long long v = 0;
  if (!ConvertInteger(text, &v)) {
    boxes.Show(appTitle, NotIntegerMessage(text), BoxButtons::Ok, BoxIcon::Stop);
    return -1;
  }
  if (v < 0 || v > maximum) {
    ShowError(boxes, RangeMessage(maximum));
    return -1;
  }
  return 0;
}

int CheckHexByte(MessageBoxes& boxes, const std::string& appTitle, const std::string& text) {
  if (text.empty()) return 0;
  std::string hex = "0x" + text;
  long long v = 0;
  if (!ConvertInteger(hex, &v)) {
    boxes.Show(appTitle, NotIntegerMessage(hex), BoxButtons::Ok, BoxIcon::Stop);
    return -1;
  }
  return 0;
}

FieldCheck ValidateFieldsCheck(const EepromFields& f, unsigned groups) {
  struct Check {
    unsigned group;
    EepromField field;
    const char* message;
    bool (*fails)(const EepromRecord&);
  };
  static const Check kChecks[] = {
      {kGroupSysInfo, EepromField::DeviceName, "Device Name can't be blank",
       [](const EepromRecord& r) { return r.deviceName.empty(); }},
      {kGroupSysInfo, EepromField::ModelName, "Model Name can't be blank",
       [](const EepromRecord& r) { return r.modelName.empty(); }},
      {kGroupNetwork, EepromField::IpAddress, "invalid IP address",
       [](const EepromRecord& r) { return (r.ipAddress >> 24) == 0; }},
      {kGroupNetwork, EepromField::NetMask, "invalid netmask",
       [](const EepromRecord& r) { return (r.netMask >> 24) == 0; }},
  };
  for (const Check& c : kChecks) {
    if ((groups & c.group) == 0) continue;
    for (bool custom : {true, false})
      if (c.fails(custom ? f.custom : f.defaults)) return FieldCheck{c.message, custom, c.field};
  }
  return FieldCheck{};
}

std::string ValidateFieldsMessage(const EepromFields& f, unsigned groups) {
  return ValidateFieldsCheck(f, groups).message;
}
