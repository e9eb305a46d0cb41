#include "base/TestInterfaces.h"

#include <cstdlib>

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// An interface name as the systems allow it: 1 to 15 characters (Linux), no blanks,
// no '/' or ':'; Windows aliases of at most 255 characters are allowed in the list.
bool UsableName(const std::string& name, size_t maxLen) {
  if (name.empty() || name.size() > maxLen) return false;
  for (char c : name) {
    if (c == ' ' || c == '\t' || c == '/' || c == ',' || static_cast<unsigned char>(c) < 0x20) {
      return false;
    }
  }
  return true;
}

bool ParseNumber(const std::string& text, long lo, long hi, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

bool TestInterfaces::Parse(const std::string& specText, const std::string& baseText,
                           std::string* problem) {
  pattern_.clear();
  ports_.clear();
  base_ = 0;
  const std::string spec = Trim(specText);
  if (spec.empty()) return true;
  auto refuse = [&](const std::string& why) {
    pattern_.clear();
    ports_.clear();
    *problem = "test-interface: " + why;
    return false;
  };
  if (spec.find(':') == std::string::npos) {
    const size_t at = spec.find("%d");
    if (spec.find('%', at == std::string::npos ? 0 : at + 2) != std::string::npos ||
        (at != std::string::npos && spec.find('%') != at)) {
      return refuse("\"" + spec + "\": only one %d may stand in the name");
    }
    if (!UsableName(spec, 255)) return refuse("\"" + spec + "\" is not an interface name");
    long base = 0;
    if (!Trim(baseText).empty() && !ParseNumber(Trim(baseText), 0, 65535, &base)) {
      return refuse("test-interface-base \"" + baseText + "\" is not a number 0 to 65535");
    }
    pattern_ = spec;
    base_ = static_cast<int>(base);
    return true;
  }
  // One entry per port: COM<n>:<name>, separated by commas.
  size_t from = 0;
  while (from <= spec.size()) {
    size_t comma = spec.find(',', from);
    if (comma == std::string::npos) comma = spec.size();
    const std::string entry = Trim(spec.substr(from, comma - from));
    from = comma + 1;
    if (entry.empty()) continue;
    const size_t colon = entry.find(':');
    long com = 0;
    const std::string port = Trim(entry.substr(0, colon));
    const std::string name = colon == std::string::npos ? "" : Trim(entry.substr(colon + 1));
    if (colon == std::string::npos || port.compare(0, 3, "COM") != 0 ||
        !ParseNumber(port.substr(3), 1, 256, &com) || !UsableName(name, 255)) {
      return refuse("\"" + entry + "\" is not COM<n>:<interface>");
    }
    if (!ports_.emplace(static_cast<int>(com), name).second) {
      return refuse(port + " is given twice");
    }
  }
  return true;
}

std::string TestInterfaces::For(int portNumber) const {
  if (!ports_.empty()) {
    auto it = ports_.find(portNumber);
    return it == ports_.end() ? "" : it->second;
  }
  const size_t at = pattern_.find("%d");
  if (at == std::string::npos) return pattern_;
  return pattern_.substr(0, at) + std::to_string(portNumber + base_) + pattern_.substr(at + 2);
}

std::vector<std::string> TestInterfaces::Listed(int highest) const {
  std::vector<std::string> names;
  if (!ports_.empty()) {
    for (const auto& [com, name] : ports_) {
      if (com <= highest) names.push_back(name);
    }
  } else if (pattern_.find("%d") == std::string::npos) {
    if (!pattern_.empty()) names.push_back(pattern_);
  } else {
    for (int com = 1; com <= highest; ++com) names.push_back(For(com));
  }
  return names;
}
