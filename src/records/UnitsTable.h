#pragma once
// The units table, where a store keeps the production records: one row per record,
// the same columns in the same order in the embedded store (SQLite) and in the factory
// database (PostgreSQL). Each store's CREATE text, its upsert, its WHERE clauses and
// the reading of a row back into a record are made here from the one column list.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "records/RecordStore.h"

// Which database the text is for: SQLite's placeholders are "?", PostgreSQL's "$1".
enum class UnitsSql { kSqlite, kPostgres };

struct UnitsColumn {
  const char* name;
  const char* sqliteType;  // "TEXT", "INTEGER"
  const char* pgType;      // "text", "integer", "bigint", "timestamptz"
  bool notNull;
  // Added to the table since its first version (0: not added; 1, 2, ...: the columns
  // added together, each group once, in order): an older table gets it (NULL in its
  // rows, or the default) when the store is opened for writing or initialised.
  int added;
  // The column's SQL default, the same in both databases (nullptr: none); a column
  // with one is NOT NULL, and its default is what rows of older tables and writers of
  // older stations get.
  const char* defaultValue;
};

// The key: one record per station, run, port and cycle (the table's UNIQUE constraint
// and the upsert's conflict target). Records version 2 and the factory database's
// version 2 had (station, run_id, port).
constexpr const char* kUnitsKey = "station, run_id, port, cycle";

// Every column but the id, in record order. A column added later goes at the end.
const std::vector<UnitsColumn>& UnitsColumns();

// "CREATE TABLE IF NOT EXISTS units (...);" with every column, for a new store.
std::string UnitsCreateTableSql(UnitsSql sql);
// The table's indexes ("CREATE INDEX IF NOT EXISTS ...;" each on its own line).
std::string UnitsCreateIndexesSql();
// "ALTER TABLE units ADD COLUMN ..." for an added column (PostgreSQL: IF NOT EXISTS);
// SQLite's text has no final semicolon.
std::string UnitsAddColumnSql(UnitsSql sql, const UnitsColumn& column);

// The nth placeholder (1-based).
std::string UnitsPlaceholder(UnitsSql sql, size_t n);
// The placeholders of every column, comma-separated: one record's values.
std::string UnitsPlaceholders(UnitsSql sql);
// Writes one record's values (in column order, as RecordValues gives them), replacing
// the stored record of the same station, run id, port and cycle.
std::string UnitsUpsertSql(UnitsSql sql);
// The WHERE clause of a filter (empty for none, otherwise with a leading blank) and
// its parameters, in order.
std::string UnitsWhereSql(UnitsSql sql, const RecordFilter& filter,
                          std::vector<std::string>* params);

// The unit events table (unit_events), in both databases: one row per event, only
// ever added. Its columns in UnitEvent order, after the id.
const std::vector<UnitsColumn>& EventColumns();
// "CREATE TABLE IF NOT EXISTS unit_events (...);" and its indexes.
std::string EventsCreateSql(UnitsSql sql);
// An event's values in EventColumns order (unset ones nullopt), and a row back.
std::vector<std::optional<std::string>> EventValues(const UnitEvent& e);
UnitEvent EventOfRow(const std::function<std::string(size_t)>& text,
                     const std::function<std::optional<int64_t>(size_t)>& number);
// The WHERE clause of the events of a filter's records: its station, serial, mac and
// time (done_at) only.
std::string EventsWhereSql(UnitsSql sql, const RecordFilter& filter,
                           std::vector<std::string>* params);

// The audit trail (audit_trail), in both databases: what the station did with its job,
// one row per entry, only ever added. Its columns in AuditEntry order, after the id
// (user_name the entry's user, detail its text).
const std::vector<UnitsColumn>& AuditColumns();
// "CREATE TABLE IF NOT EXISTS audit_trail (...);" and its indexes.
std::string AuditCreateSql(UnitsSql sql);
// An entry's values in AuditColumns order (empty package fields nullopt), and a row back.
std::vector<std::optional<std::string>> AuditValues(const AuditEntry& a);
AuditEntry AuditOfRow(const std::function<std::string(size_t)>& text,
                      const std::function<std::optional<int64_t>(size_t)>& number);
// The WHERE clause of a filter's audit entries: its station and time (done_at) only.
std::string AuditWhereSql(UnitsSql sql, const RecordFilter& filter,
                          std::vector<std::string>* params);

// A row of every column, in column order, back into a record: text(i) is the ith
// column's text ("" when NULL), number(i) its number (nullopt when NULL).
UnitRecord UnitsRecordOfRow(const std::function<std::string(size_t)>& text,
                            const std::function<std::optional<int64_t>(size_t)>& number);
