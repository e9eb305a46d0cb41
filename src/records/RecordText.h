#pragma once
// Production records as text: times and the export formats (CSV, JSON lines).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/RecordStore.h"

// "2026-12-08T05:08:08.123Z" (UTC, fixed width, so text order is time order).
std::string FormatUtcMs(int64_t ms);
// The exact form FormatUtcMs writes; false for anything else.
bool ParseUtcMs(const std::string& text, int64_t* ms);
// An operator's time: "YYYY-MM-DD", optionally followed by "T" or a blank and
// "HH:MM", "HH:MM:SS" or "HH:MM:SS.mmm"; a final "Z" means UTC, otherwise local time.
bool ParseTimeArg(const std::string& text, int64_t* ms);

// Upper-case hex digits of a MAC text (other characters unchanged).
std::string UpperMac(const std::string& text);
// The failure text of a status line without its port name ("COM3: no response" ->
// "no response").
std::string WithoutPortName(const std::string& status);

// Column names, in the order of the CSV columns and the JSON keys: the names of the
// units table's columns (records/UnitsTable.h). A column added later goes at the end,
// so that what older stations wrote (spool lines, CSV files) is a prefix of today's
// columns.
const std::vector<std::string>& RecordColumns();
// The record's values in RecordColumns order; unset values are nullopt.
std::vector<std::optional<std::string>> RecordValues(const UnitRecord& r);
std::string CsvHeader();
std::string CsvLine(const UnitRecord& r);
std::string JsonLine(const UnitRecord& r);
// Unit events the same ways (the columns of the unit events table, records/UnitsTable.h).
std::string EventCsvHeader();
std::string EventCsvLine(const UnitEvent& e);
std::string EventJsonLine(const UnitEvent& e);
// Audit entries the same ways (the columns of the audit trail, records/UnitsTable.h),
// and as one line to read: time (UTC), station, user, kind, ok or refused, the
// package's name, version and the first 12 digits of its digest (when one is named),
// and the text (control characters escaped).
std::string AuditCsvHeader();
std::string AuditCsvLine(const AuditEntry& a);
std::string AuditJsonLine(const AuditEntry& a);
std::string AuditText(const AuditEntry& a);
