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
  static const std::vector<std::string> keys = {"station-name", "records",        "records-file",
                                                "pool",         "database",       "test-interface",
                                                "test-interface-base"};
  return keys;
}

bool StationSettings::Load(const std::string& dataDir) {
  values_.clear();
  problems_.clear();
  const std::string path = JoinPath(dataDir, kFileName);
  if (!FileExists(path)) return true;  // no file: every setting has its default
  InputFile in;
  std::string text;
  if (in.Open(path) != 0 || in.Size() > kMaxFileBytes || in.ReadAll(kMaxFileBytes, &text) != 0) {
    if (in.IsOpen() && in.Size() > kMaxFileBytes) {
      problems_.push_back(path + ": longer than " + std::to_string(kMaxFileBytes) +
                          " bytes, not used");
    } else {
      problems_.push_back(path + ": could not be read, not used");
    }
    return false;
  }
  Parse(text);
  return true;
}

void StationSettings::Parse(const std::string& text) {
  const auto& known = KnownKeys();
  size_t lineNo = 0;
  size_t pos = 0;
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
    values_[key] = Trim(line.substr(eq + 1));
  }
}

std::string StationSettings::Get(const std::string& key, const std::string& fallback) const {
  const auto it = values_.find(key);
  return it == values_.end() ? fallback : it->second;
}
