#include "records/RecordStore.h"

bool RecordStore::SerialPassed(const std::string& serial, bool* passed, std::string* error) {
  RecordFilter filter;
  filter.serial = serial;
  filter.verdict = kVerdictPassed;
  std::map<std::string, int64_t> counts;
  if (!CountVerdicts(filter, &counts, error)) return false;
  const auto it = counts.find(kVerdictPassed);
  *passed = it != counts.end() && it->second > 0;
  return true;
}

UnitEvent EventOfUnit(const UnitRecord& unit, const char* kind) {
  UnitEvent e;
  e.station = unit.station;
  e.runId = unit.runId;
  e.port = unit.port;
  e.cycle = unit.cycle;
  e.serial = unit.serial;
  e.mac = unit.mac;
  e.kind = kind;
  return e;
}

bool SerialPassed(RecordStore& store, const std::string& serial, bool* passed, std::string* error) {
  *passed = false;
  if (serial.empty()) return true;  // no serial: no unit to tell apart
  return store.SerialPassed(serial, passed, error);
}
