#pragma once
// A passed unit's label, made from its record: the job's template, ZPL to the label
// printer station.conf names, the PNG kept in the station's label folder and, when
// station.conf names a print queue, sent there. Each way out gives one unit event for
// the records.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "records/RecordStore.h"

class Network;
class StationSettings;

struct LabelSettings {
  std::string templatePath;  // the job's template; empty: no labels
  std::string printer;       // label-printer: "a.b.c.d[:port]"; empty: none
  std::string lpQueue;       // label-queue: a print queue for the PNG; empty: none
  std::string folder;        // label-folder: where the PNGs are kept (default: data/labels)
  uint32_t timeoutMs = 5000;
};

// station.conf's label keys (label-printer, label-queue, label-folder) for a job
// whose labels use templatePath. False with *error when a key's value cannot be used.
bool LabelSettingsFrom(const StationSettings& settings, const std::string& dataDir,
                       const std::string& templatePath, LabelSettings* out, std::string* error);

class UnitLabels {
 public:
  virtual ~UnitLabels() = default;
  // Reads the template. False with *error (the template's problem, or "labels are not
  // part of this build").
  virtual bool Load(std::string* error) = 0;
  // The label of the unit of `record` (its mac, serial, station and end time), sent to
  // every way out. kind: kEventLabel or kEventReprint. One event per way out; an event
  // whose ok is false says what failed.
  virtual std::vector<UnitEvent> Print(const UnitRecord& record, const char* kind) = 0;
};

// net: the printer's connection (the system network on a station).
std::unique_ptr<UnitLabels> NewUnitLabels(const LabelSettings& settings, Network& net);
