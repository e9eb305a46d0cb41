#pragma once
// What the station could not hand to its database is kept on disk until it can: a
// spool file in the data directory, one entry per line, replaced atomically whenever
// what waits changes, read again when the station (or production-records replay)
// starts. Two spools, each written by one owner: the production records the records
// writer could not write, and the MAC outcomes the factory pool could not record.
//
// A line is tab-separated fields, each escaped: "\\" a backslash, "\t" a tab, "\n" and
// "\r" the line ends, and a field "\N" alone is a NULL. The first line names the
// format; a file longer than kMaxSpoolBytes is refused.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "records/RecordStore.h"

constexpr size_t kMaxSpoolBytes = 4 * 1024 * 1024;
constexpr const char* kRecordsSpoolName = "spool-records.txt";
constexpr const char* kOutcomesSpoolName = "spool-outcomes.txt";

using SpoolFields = std::vector<std::optional<std::string>>;

std::string SpoolLine(const SpoolFields& fields);
bool ParseSpoolLine(const std::string& line, SpoolFields* fields);

// The entries of the spool at path (none when there is no file). 0, or an error number
// (EINVAL for a file that is not a spool or has a damaged line: it is left as it is).
int ReadSpool(const std::string& path, std::vector<SpoolFields>* entries);
// Replaces the spool at path by these entries, atomically (an empty list leaves an
// empty spool). More than kMaxSpoolBytes keeps the newest entries that fit; *dropped
// (when given) counts the ones left out. 0 or an error number.
int WriteSpool(const std::string& path, const std::vector<SpoolFields>& entries,
               size_t* dropped = nullptr);

// A production record as spool fields (RecordColumns order) and back; a line of an
// older station, without the fields added at the end since, reads with them unset
// (link_address NULL, cycle 0, no serial, no package).
SpoolFields RecordFields(const UnitRecord& record);
bool RecordFromFields(const SpoolFields& fields, UnitRecord* record);
// A unit event as spool fields and back: its line starts with a NULL field and "event"
// (a record's with its station), so an older station's reading counts it as an entry
// it could not use.
SpoolFields EventFields(const UnitEvent& event);
bool IsEventFields(const SpoolFields& fields);
bool EventFromFields(const SpoolFields& fields, UnitEvent* event);
// An audit entry as spool fields and back: its line starts with a NULL field and
// "audit" (an older station's reading counts it as an entry it could not use).
SpoolFields AuditFields(const AuditEntry& entry);
bool IsAuditFields(const SpoolFields& fields);
bool AuditFromFields(const SpoolFields& fields, AuditEntry* entry);
