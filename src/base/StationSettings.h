#pragma once
// The station's own settings, station.conf in the data directory: which MAC pool the
// station uses, where its production records go and what the station is called. The
// file is optional; a station without it uses storedMAC.txt and the embedded records
// database. Command-line options of production-cli override single keys.
//
// Format: one "key = value" per line; blank lines and lines starting with '#' are
// skipped; a '#' after white space ends the value (a trailing comment; inside a
// single-quoted part of a value, as libpq quotes, it does not); white space around
// keys and values is dropped; a leading UTF-8 byte-order mark is skipped.
//
// The file is understood whole or not at all: an unreadable or oversized file, a line
// longer than kMaxLine, a line without '=', an unknown key, a key given twice or a
// unit-hold-ms that is not a number of milliseconds in its range is a problem (the
// caller shows them in the message log), and a station whose settings have a problem
// sets up no job (FailureCode), so a misread file never leads to a MAC pool or records
// other than the ones meant.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class StationSettings {
 public:
  static constexpr const char* kFileName = "station.conf";
  static constexpr size_t kMaxLine = 1024;
  static constexpr size_t kMaxFileBytes = 64 * 1024;
  static constexpr size_t kMaxProblems = 20;  // listed; more are counted
  // unit-hold-ms: continuous production's hold time, in milliseconds.
  static constexpr uint32_t kUnitHoldDefaultMs = 2000;
  static constexpr uint32_t kUnitHoldMinMs = 200;
  static constexpr uint32_t kUnitHoldMaxMs = 60000;
  // engineer-minutes: how long the engineer's password opens engineer mode.
  static constexpr uint32_t kEngineerDefaultMinutes = 15;
  static constexpr uint32_t kEngineerMaxMinutes = 480;

  // Keys known to the station (each documented in the README).
  static const std::vector<std::string>& KnownKeys();

  // Reads dataDir/station.conf. A missing file is no problem (all defaults); an
  // unreadable or oversized file is one. Returns false when the file exists but could
  // not be read.
  bool Load(const std::string& dataDir);
  // Parses file text (for tests and for Load).
  void Parse(const std::string& text);

  // 0 when the settings were understood whole (or there is no file); otherwise the
  // error number of the failed read (positive) or kNotUnderstood.
  static constexpr int kNotUnderstood = -1;
  int FailureCode() const { return failure_; }

  // The value of key, or fallback when the key is not set.
  std::string Get(const std::string& key, const std::string& fallback = "") const;
  bool Has(const std::string& key) const { return values_.count(key) != 0; }
  void Set(const std::string& key, const std::string& value) { values_[key] = value; }

  // A connection string kept in a file of its own (--database-file FILE), so that it
  // is not on a command line that `ps` shows: the file's first line, white space
  // around it dropped. False with *error set when it cannot be read or is empty.
  static bool ReadDatabaseFile(const std::string& path, std::string* conninfo,
                               std::string* error);

  // What could not be used, one text per problem, for the message log.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> problems_;
  int failure_ = 0;
};

// Continuous production's hold time: how long a slot's unit must stay silent before it
// counts as removed, and keep answering before it counts as inserted. station.conf's
// unit-hold-ms (a decimal from kUnitHoldMinMs to kUnitHoldMaxMs; Parse reports any
// other value as a problem), else kUnitHoldDefaultMs.
uint32_t UnitHoldMs(const StationSettings& settings);
// The value of a unit-hold-ms text, or false when it is not a decimal in the range.
bool ParseUnitHoldMs(const std::string& text, uint32_t* ms);

// How long engineer mode lasts: station.conf's engineer-minutes (1 to kEngineerMaxMinutes;
// Parse reports any other value as a problem), else kEngineerDefaultMinutes.
uint32_t EngineerMinutes(const StationSettings& settings);
bool ParseEngineerMinutes(const std::string& text, uint32_t* minutes);
