#include "records/RecordText.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "base/LineText.h"
#include "records/UnitsTable.h"

namespace {

bool Digits(const std::string& s, size_t at, size_t n, int* value) {
  if (at + n > s.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + n; i++) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

std::string Num(int64_t v) {
  return std::to_string(v);
}

std::optional<std::string> Opt(const std::string& s) {
  if (s.empty()) return std::nullopt;
  return s;
}

std::optional<std::string> Size(int64_t v) {
  if (v < 0) return std::nullopt;
  return Num(v);
}

// Which values are numbers (written bare in JSON).
bool IsNumberColumn(const std::string& name) {
  return name == "port_index" || name == "console_baud" || name == "firmware_size" ||
         name == "firmware_sent" || name == "eeprom_size" || name == "eeprom_sent" ||
         name == "stage" || name == "fail_code" || name == "cycle";
}

std::string CsvField(const std::string& v) {
  bool quote = false;
  for (char c : v) quote = quote || c == ',' || c == '"' || c == '\r' || c == '\n';
  if (!v.empty() && (v.front() == ' ' || v.back() == ' ')) quote = true;
  if (!quote) return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string JsonString(const std::string& v) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      // Texts are single-byte characters: each byte is the code point of its value.
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back: UTC
// needs no time-zone data, so both are computed here the same way on every system.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = yoe + era * 400 + (*m <= 2 ? 1 : 0);
}

int64_t UtcSeconds(const struct tm& t) {
  return DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600 +
         t.tm_min * 60 + t.tm_sec;
}

}  // namespace

std::string FormatUtcMs(int64_t ms) {
  int64_t secs = ms / 1000;
  int64_t frac = ms % 1000;
  if (frac < 0) {
    frac += 1000;
    secs -= 1;
  }
  int64_t days = secs / 86400;
  int64_t rest = secs % 86400;
  if (rest < 0) {
    rest += 86400;
    days -= 1;
  }
  int64_t y = 0, m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  if (y < 0 || y > 9999) return "";
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(y),
                static_cast<int>(m), static_cast<int>(d), static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60),
                static_cast<int>(frac));
  return buf;
}

namespace {

// "YYYY-MM-DD[(T| )HH:MM[:SS[.mmm]]][Z]"
bool ParseTimeText(const std::string& s, bool requireFull, struct tm* out, int* millis, bool* utc) {
  struct tm t {};
  int year, mon, day, hour = 0, min = 0, sec = 0, ms = 0;
  if (!Digits(s, 0, 4, &year) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, &mon) ||
      s[7] != '-' || !Digits(s, 8, 2, &day)) {
    return false;
  }
  size_t at = 10;
  if (at < s.size() && (s[at] == 'T' || s[at] == ' ')) {
    if (!Digits(s, at + 1, 2, &hour) || at + 3 >= s.size() || s[at + 3] != ':' ||
        !Digits(s, at + 4, 2, &min)) {
      return false;
    }
    at += 6;
    if (at < s.size() && s[at] == ':') {
      if (!Digits(s, at + 1, 2, &sec)) return false;
      at += 3;
      if (at < s.size() && s[at] == '.') {
        if (!Digits(s, at + 1, 3, &ms)) return false;
        at += 4;
      }
    }
  } else if (requireFull) {
    return false;
  }
  *utc = at < s.size() && s[at] == 'Z';
  if (*utc) at++;
  if (at != s.size()) return false;
  if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59 || sec > 60) {
    return false;
  }
  // No 30 February: the day must exist in its month.
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[mon - 1] + (mon == 2 && leap ? 1 : 0)) return false;
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  t.tm_isdst = -1;
  *out = t;
  *millis = ms;
  return true;
}

}  // namespace

bool ParseUtcMs(const std::string& text, int64_t* ms) {
  struct tm t {};
  int millis = 0;
  bool utc = false;
  if (text.size() != 24 || !ParseTimeText(text, true, &t, &millis, &utc) || !utc) return false;
  *ms = UtcSeconds(t) * 1000 + millis;
  return true;
}

bool ParseTimeArg(const std::string& text, int64_t* ms) {
  struct tm t {};
  int millis = 0;
  bool utc = false;
  if (!ParseTimeText(text, false, &t, &millis, &utc)) return false;
  if (utc) {
    *ms = UtcSeconds(t) * 1000 + millis;
    return true;
  }
  const time_t secs = std::mktime(&t);
  if (secs == static_cast<time_t>(-1)) return false;
  *ms = static_cast<int64_t>(secs) * 1000 + millis;
  return true;
}

std::string UpperMac(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string WithoutPortName(const std::string& status) {
  if (status.rfind("COM", 0) == 0) {
    size_t i = 3;
    while (i < status.size() && std::isdigit(static_cast<unsigned char>(status[i]))) i++;
    if (i > 3 && status.compare(i, 2, ": ") == 0) return status.substr(i + 2);
  }
  return status;
}

const std::vector<std::string>& RecordColumns() {
  static const std::vector<std::string> columns = [] {
    std::vector<std::string> names;
    for (const UnitsColumn& c : UnitsColumns()) names.push_back(c.name);
    return names;
  }();
  return columns;
}

std::vector<std::optional<std::string>> RecordValues(const UnitRecord& r) {
  std::optional<std::string> confirmed;
  if (r.macConfirmed) confirmed = *r.macConfirmed ? "1" : "0";
  std::optional<std::string> failCode;
  if (r.failCode) failCode = Num(*r.failCode);
  std::optional<std::string> ended;
  if (r.endedMs) ended = FormatUtcMs(*r.endedMs);
  return {r.station,
          r.runId,
          r.port,
          Num(r.portIndex),
          r.portDevice,
          FormatUtcMs(r.startedMs),
          ended,
          r.steps,
          Num(r.consoleBaud),
          Opt(r.firmware.path),
          Size(r.firmware.fileBytes),
          Size(r.firmware.sentBytes),
          Opt(r.firmware.sha256),
          Opt(r.eeprom.path),
          Size(r.eeprom.fileBytes),
          Size(r.eeprom.sentBytes),
          Opt(r.eeprom.sha256),
          Opt(r.tempMac),
          Opt(r.mac),
          Opt(r.macSource),
          Opt(r.macReported),
          confirmed,
          Num(r.stage),
          r.verdict,
          r.lastStatus,
          Opt(r.failStep),
          failCode,
          Opt(r.linkAddress),
          Num(r.cycle),
          Opt(r.serial),
          std::string(r.rework ? "1" : "0"),
          Opt(r.checkIn),
          Opt(r.checkOut),
          Opt(r.jobName),
          Opt(r.jobVersion),
          Opt(r.jobDigest)};
}

std::string CsvHeader() {
  std::string line;
  for (const std::string& c : RecordColumns()) line += (line.empty() ? "" : ",") + c;
  return line;
}

std::string CsvLine(const UnitRecord& r) {
  std::string line;
  bool first = true;
  for (const auto& v : RecordValues(r)) {
    if (!first) line += ',';
    first = false;
    if (v) line += CsvField(*v);
  }
  return line;
}

std::string JsonLine(const UnitRecord& r) {
  const auto& names = RecordColumns();
  const auto values = RecordValues(r);
  std::string line = "{";
  for (size_t i = 0; i < names.size(); i++) {
    if (i > 0) line += ',';
    line += JsonString(names[i]) + ':';
    const auto& v = values[i];
    if (!v) {
      line += "null";
    } else if (names[i] == "mac_confirmed" || names[i] == "rework") {
      line += *v == "1" ? "true" : "false";
    } else if (IsNumberColumn(names[i])) {
      line += *v;
    } else {
      line += JsonString(*v);
    }
  }
  return line + "}";
}

std::string EventCsvHeader() {
  std::string line;
  for (const UnitsColumn& c : EventColumns())
    line += (line.empty() ? "" : ",") + std::string(c.name);
  return line;
}

std::string EventCsvLine(const UnitEvent& e) {
  std::string line;
  bool first = true;
  for (const auto& v : EventValues(e)) {
    if (!first) line += ',';
    first = false;
    if (v) line += CsvField(*v);
  }
  return line;
}

std::string EventJsonLine(const UnitEvent& e) {
  const auto values = EventValues(e);
  std::string line = "{";
  for (size_t i = 0; i < EventColumns().size(); i++) {
    const std::string name = EventColumns()[i].name;
    if (i > 0) line += ',';
    line += JsonString(name) + ':';
    const auto& v = values[i];
    if (!v) {
      line += "null";
    } else if (name == "ok") {
      line += *v == "1" ? "true" : "false";
    } else if (name == "cycle") {
      line += *v;
    } else {
      line += JsonString(*v);
    }
  }
  return line + "}";
}

std::string AuditCsvHeader() {
  std::string line;
  for (const UnitsColumn& c : AuditColumns())
    line += (line.empty() ? "" : ",") + std::string(c.name);
  return line;
}

std::string AuditCsvLine(const AuditEntry& a) {
  std::string line;
  bool first = true;
  for (const auto& v : AuditValues(a)) {
    if (!first) line += ',';
    first = false;
    if (v) line += CsvField(*v);
  }
  return line;
}

std::string AuditJsonLine(const AuditEntry& a) {
  const auto values = AuditValues(a);
  std::string line = "{";
  for (size_t i = 0; i < AuditColumns().size(); i++) {
    const std::string name = AuditColumns()[i].name;
    if (i > 0) line += ',';
    line += JsonString(name) + ':';
    const auto& v = values[i];
    if (!v) {
      line += "null";
    } else if (name == "ok") {
      line += *v == "1" ? "true" : "false";
    } else {
      line += JsonString(*v);
    }
  }
  return line + "}";
}

std::string AuditText(const AuditEntry& a) {
  const auto plain = [](const std::string& t) { return EscapeLineText(t); };
  std::string line = FormatUtcMs(a.atMs) + "  " + plain(a.station) + "  " + plain(a.user) + "  " +
                     plain(a.kind) + "  " + (a.ok ? "ok" : "refused");
  if (!a.jobName.empty() || !a.jobVersion.empty() || !a.jobDigest.empty()) {
    line += "  " + plain(a.jobName.empty() ? "-" : a.jobName) + " " +
            plain(a.jobVersion.empty() ? "-" : a.jobVersion) + " " +
            plain(a.jobDigest.empty() ? "-" : a.jobDigest.substr(0, 12));
  }
  return line + "  " + plain(a.text);
}
