#include "factorydb/PgRecordStore.h"

#include <cerrno>

#include "factorydb/FactorySchema.h"
#include "records/RecordText.h"
#include "records/UnitsTable.h"

namespace {

// Every column of the list as text, the time in FormatUtcMs's form.
std::string SelectListOf(const std::vector<UnitsColumn>& columns) {
  std::string s;
  for (const UnitsColumn& column : columns) {
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

// A row of the units columns, in column order (NULL is "").
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
  std::vector<std::string> params;
  // A cursor, read kFetchRows at a time: a factory's records need not fit in memory.
  const std::string sql = "SELECT " + SelectListOf(UnitsColumns()) + " FROM units" +
                          UnitsWhereSql(UnitsSql::kPostgres, filter, &params) +
                          " ORDER BY started_at, id";
  return Fetch(
      sql, params, RecordColumns().size(),
      [&](const std::vector<std::string>& row) { return each(RowToRecord(row)); }, error);
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

bool PgRecordStore::Append(const std::string& function,
                           const std::vector<std::vector<std::optional<std::string>>>& rows,
                           std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  if (rows.empty()) return true;
  const auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  if (link_.ExecScript("BEGIN", deadline) != 0) return Failed("cannot write", error);
  std::string marks;
  for (size_t i = 1; i <= rows[0].size(); i++) {
    marks += (marks.empty() ? "" : ", ") + UnitsPlaceholder(UnitsSql::kPostgres, i);
  }
  const std::string call = "SELECT " + function + "(" + marks + ")";
  for (const auto& row : rows) {
    std::vector<std::string> params;
    std::vector<bool> nulls;
    for (const auto& v : row) {
      params.push_back(v.value_or(""));
      nulls.push_back(!v.has_value());
    }
    if (link_.Exec(call, params, nullptr, deadline, &nulls) != 0) {
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

bool PgRecordStore::WriteEvents(const std::vector<UnitEvent>& events, std::string* error) {
  // Through the database's own function, which adds only the calling role's own
  // station's events (factorydb/FactorySchema.h).
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (const UnitEvent& e : events) rows.push_back(EventValues(e));
  return Append("pt_write_event", rows, error);
}

bool PgRecordStore::WriteAudit(const std::vector<AuditEntry>& entries, std::string* error) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (const AuditEntry& a : entries) rows.push_back(AuditValues(a));
  return Append("pt_write_audit", rows, error);
}

bool PgRecordStore::Fetch(const std::string& select, const std::vector<std::string>& params,
                          size_t columns,
                          const std::function<bool(const std::vector<std::string>&)>& each,
                          std::string* error) {
  if (!open_) {
    if (error) *error = Describe() + " is not open";
    return false;
  }
  auto deadline = PgLink::In(kCallBoundMs);
  if (!Reach(deadline, error)) return false;
  if (link_.ExecScript("BEGIN READ ONLY", deadline) != 0 ||
      link_.Exec("DECLARE rows NO SCROLL CURSOR FOR " + select, params, nullptr, deadline) != 0) {
    Failed("cannot read", error);
    if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
    return false;
  }
  for (bool more = true; more;) {
    deadline = PgLink::In(kCallBoundMs);
    PgRows rows;
    if (link_.Exec("FETCH " + std::to_string(kFetchRows) + " FROM rows", {}, &rows, deadline) !=
        0) {
      Failed("cannot read", error);
      if (link_.Connected()) link_.ExecScript("ROLLBACK", deadline);
      return false;
    }
    more = rows.rows.size() == kFetchRows;
    for (const auto& row : rows.rows) {
      if (row.size() != columns) continue;
      if (!each(row)) {
        more = false;
        break;
      }
    }
  }
  link_.ExecScript("COMMIT", PgLink::In(kCallBoundMs));
  return true;
}

bool PgRecordStore::ReadEvents(const RecordFilter& filter,
                               const std::function<bool(const UnitEvent&)>& each,
                               std::string* error) {
  std::vector<std::string> params;
  const std::string sql = "SELECT " + SelectListOf(EventColumns()) + " FROM unit_events" +
                          EventsWhereSql(UnitsSql::kPostgres, filter, &params) +
                          " ORDER BY done_at, id";
  return Fetch(
      sql, params, EventColumns().size(),
      [&](const std::vector<std::string>& row) {
        return each(EventOfRow([&row](size_t i) { return row[i]; },
                               [&row](size_t i) { return Int(row[i]); }));
      },
      error);
}

bool PgRecordStore::ReadAudit(const RecordFilter& filter,
                              const std::function<bool(const AuditEntry&)>& each,
                              std::string* error) {
  std::vector<std::string> params;
  const std::string sql = "SELECT " + SelectListOf(AuditColumns()) + " FROM audit_trail" +
                          AuditWhereSql(UnitsSql::kPostgres, filter, &params) +
                          " ORDER BY done_at, id";
  return Fetch(
      sql, params, AuditColumns().size(),
      [&](const std::vector<std::string>& row) {
        return each(AuditOfRow([&row](size_t i) { return row[i]; },
                               [&row](size_t i) { return Int(row[i]); }));
      },
      error);
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
