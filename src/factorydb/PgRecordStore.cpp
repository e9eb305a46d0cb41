#include "factorydb/PgRecordStore.h"

#include <cerrno>

#include "factorydb/FactorySchema.h"
#include "records/RecordText.h"
#include "records/UnitsTable.h"

namespace {

// Every column as text, the times in FormatUtcMs's form.
std::string SelectList() {
  std::string s;
  for (const UnitsColumn& column : UnitsColumns()) {
    const std::string c = column.name;
    s += s.empty() ? "" : ", ";
    s += std::string(column.pgType) == "timestamptz"
             ? "to_char(" + c + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
             : c + "::text";
  }
  return s;
}

// Every event column as text, the time in FormatUtcMs's form.
std::string EventSelectList() {
  std::string s;
  for (const UnitsColumn& column : EventColumns()) {
    const std::string c = column.name;
    s += s.empty() ? "" : ", ";
    s += std::string(column.pgType) == "timestamptz"
             ? "to_char(" + c + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
             : c + "::text";
  }
  return s;
}

// Writes or replaces one record through the database's own function, which writes
// only the calling role's own station's rows (factorydb/FactorySchema.h).
std::string UpsertSql() {
  return "SELECT pt_write_unit(" + UnitsPlaceholders(UnitsSql::kPostgres) + ")";
}

std::optional<int64_t> Int(const std::string& text) {
  if (text.empty()) return std::nullopt;  // NULL
  try {
    return std::stoll(text);
  } catch (...) {
    return std::nullopt;
  }
}

// A row of SelectList's columns, in column order (NULL is "").
UnitRecord RowToRecord(const std::vector<std::string>& v) {
  return UnitsRecordOfRow([&v](size_t i) { return v[i]; }, [&v](size_t i) { return Int(v[i]); });
}

}  // namespace

PgRecordStore::PgRecordStore(const std::string& conninfo)
    : link_(conninfo, "production-tool records", kStatementTimeoutMs) {}

void PgRecordStore::SetNoticeSink(std::function<void(const std::string&)> sink) {
  link_.SetNoticeSink([sink = std::move(sink)](const std::string& text) {
    if (sink) sink("factory database: " + text);
  });
}

std::string PgRecordStore::Describe() const {
  return "PostgreSQL " + link_.Describe();
}

bool PgRecordStore::Failed(const char* what, std::string* error) {
  if (error) *error = std::string(what) + " the records in " + Describe() + ": " + link_.Error();
  return false;
}

bool PgRecordStore::Reach(PgLink::Deadline deadline, std::string* error) {
  if (link_.Connected()) return true;
  if (link_.Connect(deadline) != 0) return Failed("cannot reach", error);
  return true;
}

bool PgRecordStore::Open(bool forWriting, std::string* error) {
  // The table and functions are the administrator's (factory-db init). A station
  // writes through the functions only; reading needs SELECT on units.
  Close();
  const auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  // A table of an older version lacks the columns added since (42703); its writing
  // function has fewer arguments, and what this station writes needs the version of
  // this build.
  PgRows rows;
  if (link_.Exec(forWriting
                     ? "SELECT pt_schema_version()"
                     : "SELECT " + std::string(UnitsColumns().back().name) + " FROM units LIMIT 0",
                 {}, &rows, deadline) != 0) {
    if (link_.SqlState() == "42P01" || link_.SqlState() == "42883" || link_.SqlState() == "42703") {
      if (error) {
        *error = Describe() +
                 " has no records table or functions of this version (create or upgrade them "
                 "with factory-db init)";
      }
      Close();
      return false;
    }
    Failed("cannot read", error);
    Close();
    return false;
  }
  if (forWriting) {
    const auto version =
        rows.rows.size() == 1 && rows.rows[0].size() == 1 ? Int(rows.rows[0][0]) : std::nullopt;
    if (!version || *version < factorydb::kSchemaVersion) {
      if (error) {
        *error = Describe() + " has the records of schema version " +
                 (version ? std::to_string(*version) : std::string("?")) +
                 "; this station writes " + std::to_string(factorydb::kSchemaVersion) +
                 " (upgrade it with factory-db init)";
      }
      Close();
      return false;
    }
  }
  open_ = true;
  return true;
}

void PgRecordStore::Close() {
  link_.Disconnect();
  open_ = false;
}

bool PgRecordStore::Write(const std::vector<UnitRecord>& records, std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  if (records.empty()) return true;
  const auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  if (link_.ExecScript("BEGIN", deadline) != 0) return Failed("cannot write", error);
  static const std::string upsert = UpsertSql();
  for (const UnitRecord& r : records) {
    std::vector<std::string> params;
    std::vector<bool> nulls;
    for (const auto& v : RecordValues(r)) {
      params.push_back(v.value_or(""));
      nulls.push_back(!v.has_value());
    }
    PgRows rows;
    if (link_.Exec(upsert, params, &rows, deadline, &nulls) != 0) {
      Failed("cannot write", error);
      if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
      return false;
    }
  }
  // Committed (synchronous commit) before the writer counts the records as kept.
  if (link_.ExecScript("COMMIT", deadline) != 0) {
    Failed("cannot write", error);
    if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
    return false;
  }
  return true;
}

bool PgRecordStore::Read(const RecordFilter& filter,
                         const std::function<bool(const UnitRecord&)>& each, std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  std::vector<std::string> params;
  const std::string sql = "SELECT " + SelectList() + " FROM units" +
                          UnitsWhereSql(UnitsSql::kPostgres, filter, &params) +
                          " ORDER BY started_at, id";
  // A cursor, read kFetchRows at a time: a factory's records need not fit in memory.
  if (link_.ExecScript("BEGIN READ ONLY", deadline) != 0 ||
      link_.Exec("DECLARE records NO SCROLL CURSOR FOR " + sql, params, nullptr, deadline) != 0) {
    Failed("cannot read", error);
    if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
    return false;
  }
  for (bool more = true; more;) {
    deadline = PgLink::In(kCallBoundMs);
    PgRows rows;
    if (link_.Exec("FETCH " + std::to_string(kFetchRows) + " FROM records", {}, &rows, deadline) !=
        0) {
      Failed("cannot read", error);
      if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
      return false;
    }
    more = rows.rows.size() == kFetchRows;
    for (const auto& row : rows.rows) {
      if (row.size() != RecordColumns().size()) continue;
      if (!each(RowToRecord(row))) {
        more = false;
        break;
      }
    }
  }
  link_.ExecScript("COMMIT", PgLink::In(kCallBoundMs));
  return true;
}

bool PgRecordStore::CountVerdicts(const RecordFilter& filter,
                                  std::map<std::string, int64_t>* counts, std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  const auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  std::vector<std::string> params;
  PgRows rows;
  if (link_.Exec("SELECT verdict, count(*) FROM units" +
                     UnitsWhereSql(UnitsSql::kPostgres, filter, &params) + " GROUP BY verdict",
                 params, &rows, deadline) != 0) {
    return Failed("cannot read", error);
  }
  counts->clear();
  for (const auto& row : rows.rows) (*counts)[row[0]] = Int(row[1]).value_or(0);
  return true;
}

bool PgRecordStore::WriteEvents(const std::vector<UnitEvent>& events, std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  if (events.empty()) return true;
  const auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  if (link_.ExecScript("BEGIN", deadline) != 0) return Failed("cannot write", error);
  std::string marks;
  for (size_t i = 1; i <= EventColumns().size(); i++) {
    marks += (marks.empty() ? "" : ", ") + UnitsPlaceholder(UnitsSql::kPostgres, i);
  }
  // Through the database's own function, which adds only the calling role's own
  // station's events (factorydb/FactorySchema.h).
  const std::string insert = "SELECT pt_write_event(" + marks + ")";
  for (const UnitEvent& e : events) {
    std::vector<std::string> params;
    std::vector<bool> nulls;
    for (const auto& v : EventValues(e)) {
      params.push_back(v.value_or(""));
      nulls.push_back(!v.has_value());
    }
    if (link_.Exec(insert, params, nullptr, deadline, &nulls) != 0) {
      Failed("cannot write", error);
      if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
      return false;
    }
  }
  if (link_.ExecScript("COMMIT", deadline) != 0) {
    Failed("cannot write", error);
    if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
    return false;
  }
  return true;
}

bool PgRecordStore::ReadEvents(const RecordFilter& filter,
                               const std::function<bool(const UnitEvent&)>& each,
                               std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  std::vector<std::string> params;
  const std::string sql = "SELECT " + EventSelectList() + " FROM unit_events" +
                          EventsWhereSql(UnitsSql::kPostgres, filter, &params) +
                          " ORDER BY done_at, id";
  if (link_.ExecScript("BEGIN READ ONLY", deadline) != 0 ||
      link_.Exec("DECLARE events NO SCROLL CURSOR FOR " + sql, params, nullptr, deadline) != 0) {
    Failed("cannot read", error);
    if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
    return false;
  }
  for (bool more = true; more;) {
    deadline = PgLink::In(kCallBoundMs);
    PgRows rows;
    if (link_.Exec("FETCH " + std::to_string(kFetchRows) + " FROM events", {}, &rows, deadline) !=
        0) {
      Failed("cannot read", error);
      if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
      return false;
    }
    more = rows.rows.size() == kFetchRows;
    for (const auto& row : rows.rows) {
      if (row.size() != EventColumns().size()) continue;
      if (!each(EventOfRow([&row](size_t i) { return row[i]; },
                           [&row](size_t i) { return Int(row[i]); }))) {
        more = false;
        break;
      }
    }
  }
  link_.ExecScript("COMMIT", PgLink::In(kCallBoundMs));
  return true;
}

bool PgRecordStore::SerialPassed(const std::string& serial, bool* passed, std::string* error) {
  *passed = false;
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  const auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  PgRows rows;
  if (link_.Exec("SELECT pt_serial_passed($1)", {serial}, &rows, deadline) != 0) {
    return Failed("cannot read", error);
  }
  if (rows.rows.size() != 1 || rows.rows[0].size() != 1) {
    if (error) *error = "cannot read the records in " + Describe() + ": an unexpected answer";
    return false;
  }
  *passed = rows.rows[0][0] == "t";
  return true;
}
