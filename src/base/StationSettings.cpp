#include "base/StationSettings.h"

#include <algorithm>
#include <iterator>

#include "platform/Files.h"
#include "platform/Paths.h"

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

}  // namespace

const std::vector<std::string>& StationSettings::KnownKeys() {
  // station-name: the name in every production record (default: the host name)
  // records: the records store ("sqlite" default, "postgresql", "off")
  // records-file: the SQLite database (default records.db in the data directory)
  // pool: the MAC pool ("file" default: storedMAC.txt; "postgresql")
  // database: the PostgreSQL connection string of the factory database
  // test-interface, test-interface-base: the network interface of each port's
  // loopback test (base/TestInterfaces.h)
  // unit-hold-ms: continuous production's hold time, how long a unit must stay
  // silent (or keep answering) before a slot counts it removed (or inserted)
  // service-listen, service-read-token-file, service-control-token-file: the station's
  // service (app/Service.h)
  // checkin-url, checkin-command, checkin-timeout-ms: the check-in of every unit with
  // the manufacturing system (app/CheckIn.h)
  // label-printer, label-queue, label-folder: where passed units' labels go
  // (app/UnitLabels.h)
  // mode ("open" default, "production"), job-package, engineer-password,
  // engineer-minutes, label-template: approved jobs (app/MainLogic.h, docs/job-packages.md)
  static const std::vector<std::string> keys = {
      "station-name",   "records",           "records-file",
      "pool",           "database",          "test-interface",
      "test-interface-base", "unit-hold-ms", "service-listen",
      "service-read-token-file", "service-control-token-file", "checkin-url",
      "checkin-command", "checkin-timeout-ms", "label-printer", "label-queue", "label-folder",
      "mode", "job-package", "engineer-password", "engineer-minutes", "label-template"};
  return keys;
}

bool StationSettings::Load(const std::string& dataDir) {
  values_.clear();
  problems_.clear();
  failure_ = 0;
  const std::string path = JoinPath(dataDir, kFileName);
  // Only a file that is not there at all means "every setting has its default": a
  // directory, a dangling link or a file that cannot be read is a problem.
  if (NothingAt(path)) return true;
  InputFile in;
  std::string text;
  int e = in.Open(path);
  if (e == 0 && in.Size() > kMaxFileBytes) {
    problems_.push_back(path + ": longer than " + std::to_string(kMaxFileBytes) +
                        " bytes, not used");
    failure_ = kNotUnderstood;
    return false;
  }
  if (e == 0) e = in.ReadAll(kMaxFileBytes, &text);
  if (e != 0) {
    problems_.push_back(path + ": could not be read (error " + std::to_string(e) + "), not used");
    failure_ = e;
    return false;
  }
  Parse(text);
  return true;
}

namespace {

// The value without a trailing comment: a '#' at its start or after white space, not
// inside a single-quoted part (libpq's quoting, with backslash escapes).
std::string WithoutComment(const std::string& value) {
  bool quoted = false;
  for (size_t i = 0; i < value.size(); i++) {
    const char c = value[i];
    if (quoted) {
      if (c == '\\') {
        i++;
      } else if (c == '\'') {
        quoted = false;
      }
      continue;
    }
    if (c == '\'') {
      quoted = true;
    } else if (c == '#' && (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t')) {
      return value.substr(0, i);
    }
  }
  return value;
}

}  // namespace

void StationSettings::Parse(const std::string& text) {
  const auto& known = KnownKeys();
  const size_t problemsBefore = problems_.size();
  std::map<std::string, size_t> seenAt;
  size_t lineNo = 0;
  // An editor's byte-order mark is not part of the first key.
  size_t pos = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string raw = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    const std::string where = std::string(kFileName) + " line " + std::to_string(lineNo) + ": ";
    if (raw.size() > kMaxLine) {
      problems_.push_back(where + "longer than " + std::to_string(kMaxLine) + " characters");
      continue;
    }
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      problems_.push_back(where + "no '=' in \"" + line + "\"");
      continue;
    }
    const std::string key = Trim(line.substr(0, eq));
    if (std::find(known.begin(), known.end(), key) == known.end()) {
      problems_.push_back(where + "unknown key \"" + key + "\"");
      continue;
    }
    const auto seen = seenAt.find(key);
    if (seen != seenAt.end()) {
      problems_.push_back(where + "key \"" + key + "\" given again (first on line " +
                          std::to_string(seen->second) + ")");
      continue;
    }
    seenAt[key] = lineNo;
    const std::string value = Trim(WithoutComment(Trim(line.substr(eq + 1))));
    uint32_t ms = 0;
    if (key == "unit-hold-ms" && !ParseUnitHoldMs(value, &ms)) {
      problems_.push_back(where + "unit-hold-ms = " + value.substr(0, 40) +
                          " is not a number of milliseconds from " +
                          std::to_string(kUnitHoldMinMs) + " to " + std::to_string(kUnitHoldMaxMs));
      continue;
    }
    if (key == "mode" && value != "open" && value != "production") {
      problems_.push_back(where + "mode = " + value.substr(0, 40) +
                          " is neither \"open\" nor \"production\"");
      continue;
    }
    if (key == "engineer-minutes" && !ParseEngineerMinutes(value, &ms)) {
      problems_.push_back(where + "engineer-minutes = " + value.substr(0, 40) +
                          " is not a number of minutes from 1 to " +
                          std::to_string(kEngineerMaxMinutes));
      continue;
    }
    values_[key] = value;
  }
  if (problems_.size() > problemsBefore && failure_ == 0) failure_ = kNotUnderstood;
  // The message log shows them at every job set-up: a long list is cut short.
  if (problems_.size() > kMaxProblems) {
    const size_t more = problems_.size() - (kMaxProblems - 1);
    problems_.resize(kMaxProblems - 1);
    problems_.push_back(std::string(kFileName) + ": " + std::to_string(more) +
                        " more problems not listed");
  }
}

bool ParseEngineerMinutes(const std::string& text, uint32_t* minutes) {
  if (text.empty() || text.size() > 3) return false;
  uint32_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v < 1 || v > StationSettings::kEngineerMaxMinutes) return false;
  *minutes = v;
  return true;
}

uint32_t EngineerMinutes(const StationSettings& settings) {
  uint32_t m = StationSettings::kEngineerDefaultMinutes;
  ParseEngineerMinutes(settings.Get("engineer-minutes"), &m);
  return m;
}

std::string StationSettings::Get(const std::string& key, const std::string& fallback) const {
  const auto it = values_.find(key);
  return it == values_.end() ? fallback : it->second;
}

bool StationSettings::ReadDatabaseFile(const std::string& path, std::string* conninfo,
                                       std::string* error) {
  InputFile in;
  std::string text;
  int e = in.Open(path);
  if (e == 0) e = in.ReadAll(kMaxLine, &text);
  if (e != 0) {
    *error = path + ": cannot be read (error " + std::to_string(e) + ")";
    return false;
  }
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  *conninfo = Trim(text.substr(0, text.find('\n')));
  if (conninfo->empty()) {
    *error = path + ": no connection string in its first line";
    return false;
  }
  return true;
}

bool ParseUnitHoldMs(const std::string& text, uint32_t* ms) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v < StationSettings::kUnitHoldMinMs || v > StationSettings::kUnitHoldMaxMs) return false;
  *ms = v;
  return true;
}

uint32_t UnitHoldMs(const StationSettings& settings) {
  uint32_t ms = StationSettings::kUnitHoldDefaultMs;
  if (!ParseUnitHoldMs(settings.Get("unit-hold-ms"), &ms))
    return StationSettings::kUnitHoldDefaultMs;
  return ms;
}
