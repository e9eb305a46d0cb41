#include "records/SqliteRecordStore.h"

#include <sqlite3.h>

#include <utility>

#include "records/RecordText.h"
#include "records/UnitsTable.h"

namespace {

// A prepared statement, finalized on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool BindText(sqlite3_stmt* s, int i, const std::string& v) {
  return sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) ==
         SQLITE_OK;
}

std::string ColumnText(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  if (t == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(t),
                     static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

std::optional<int64_t> ColumnInt(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, i);
}

UnitRecord RowToRecord(sqlite3_stmt* s) {
  return UnitsRecordOfRow([s](size_t i) { return ColumnText(s, static_cast<int>(i)); },
                          [s](size_t i) { return ColumnInt(s, static_cast<int>(i)); });
}

}  // namespace

bool SqliteRecordStore::InThisBuild(std::string*) {
  return true;
}

SqliteRecordStore::SqliteRecordStore(std::string path, std::string vfs)
    : path_(std::move(path)), vfs_(std::move(vfs)) {}

SqliteRecordStore::~SqliteRecordStore() {
  Close();
}

std::string SqliteRecordStore::Failure(const std::string& what) const {
  const char* msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
  return what + " " + path_ + ": " + (msg ? msg : "unknown error");
}

bool SqliteRecordStore::Exec(const char* sql, std::string* error) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  *error = "cannot use " + path_ + ": " + (msg ? msg : sqlite3_errmsg(db_));
  sqlite3_free(msg);
  return false;
}

bool SqliteRecordStore::Open(bool forWriting, std::string* error) {
  Close();
  const char* vfs = vfs_.empty() ? nullptr : vfs_.c_str();
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (forWriting) flags |= SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(path_.c_str(), &db_, flags, vfs);
  if (rc != SQLITE_OK && !forWriting) {
    // A reader without write access to the directory still reads what is there.
    Close();
    rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, vfs);
  }
  if (rc != SQLITE_OK) {
    *error = Failure("cannot open");
    Close();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  if (forWriting) {
    // WAL: readers (the records tool, plain SQL) never block the station's commits.
    bool wal = false;
    {
      Statement mode(db_, "PRAGMA journal_mode = WAL");
      wal = mode && sqlite3_step(mode.get()) == SQLITE_ROW && ColumnText(mode.get(), 0) == "wal";
    }
    if (!wal) {
      *error = Failure("cannot use WAL mode for");
      Close();
      return false;
    }
    // Each commit is on disk before it returns.
    if (!Exec("PRAGMA synchronous = FULL", error) || !CreateSchema(error) || !ReadColumns(error)) {
      Close();
      return false;
    }
    const int e = FileIdOf(path_, &opened_);
    if (e != 0) {
      *error = "cannot use " + path_ + ": it cannot be told apart from another file (error " +
               std::to_string(e) + ")";
      Close();
      return false;
    }
    writing_ = true;
    return true;
  }
  bool found = false;
  {
    Statement check(db_,
                    "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'units'");
    found =
        check && sqlite3_step(check.get()) == SQLITE_ROW && sqlite3_column_int(check.get(), 0) == 1;
  }
  if (!found) {
    *error = path_ + " holds no production records";
    Close();
    return false;
  }
  if (!ReadColumns(error)) {
    Close();
    return false;
  }
  return true;
}

bool SqliteRecordStore::ReadColumns(std::string* error) {
  columns_.clear();
  Statement info(db_, "PRAGMA table_info(units)");
  if (!info) {
    *error = Failure("cannot read");
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) columns_.insert(ColumnText(info.get(), 1));
  if (rc != SQLITE_DONE) {
    *error = Failure("cannot read");
    return false;
  }
  // A file from before unit events has none to read.
  Statement events(db_,
                   "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
                   "'unit_events'");
  if (!events || sqlite3_step(events.get()) != SQLITE_ROW) {
    *error = Failure("cannot read");
    return false;
  }
  events_ = sqlite3_column_int(events.get(), 0) == 1;
  // Nor one from before the audit trail an audit entry.
  Statement audit(db_,
                  "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
                  "'audit_trail'");
  if (!audit || sqlite3_step(audit.get()) != SQLITE_ROW) {
    *error = Failure("cannot read");
    return false;
  }
  audit_ = sqlite3_column_int(audit.get(), 0) == 1;
  return true;
}

std::string SqliteRecordStore::SelectList() const {
  // A file of an older records version, only read, lacks the columns added since:
  // their values are NULL.
  std::string s;
  for (const std::string& c : RecordColumns()) {
    s += (s.empty() ? "" : ", ") + (columns_.count(c) ? c : "NULL");
  }
  return s;
}

bool SqliteRecordStore::CreateSchema(std::string* error) {
  int v = 0;
  {
    Statement version(db_, "PRAGMA user_version");
    if (!version || sqlite3_step(version.get()) != SQLITE_ROW) {
      *error = Failure("cannot read");
      return false;
    }
    v = sqlite3_column_int(version.get(), 0);
  }
  if (v > kSchemaVersion) {
    *error = path_ + " was made by a newer station (records version " + std::to_string(v) + ")";
    return false;
  }
  if (v == kSchemaVersion) return true;
  // A new file gets the whole table; a file of an older version keeps its rows and
  // gets the columns added since (NULL in its rows, or the column's default). The key
  // changed with cycle, and SQLite cannot change a table's UNIQUE constraint: a table
  // without cycle is made anew. One transaction: all or nothing, and a second station
  // opening the file at the same time waits for it.
  auto fail = [&] {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  };
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  const std::string create = UnitsCreateTableSql(UnitsSql::kSqlite);
  if (!Exec(create.c_str(), error) || !ReadColumns(error)) return fail();
  if (!columns_.count("cycle")) {
    if (!RebuildTable(error) || !ReadColumns(error)) return fail();
  }
  for (const UnitsColumn& column : UnitsColumns()) {
    if (!column.added || columns_.count(column.name)) continue;
    const std::string alter = UnitsAddColumnSql(UnitsSql::kSqlite, column);
    if (!Exec(alter.c_str(), error)) return fail();
  }
  // The indexes once every column they name is there; the events, only ever added.
  const std::string rest = UnitsCreateIndexesSql() + EventsCreateSql(UnitsSql::kSqlite) +
                           "CREATE TRIGGER IF NOT EXISTS unit_events_kept BEFORE UPDATE ON "
                           "unit_events BEGIN SELECT RAISE(ABORT, 'unit events are only added'); "
                           "END;\n"
                           "CREATE TRIGGER IF NOT EXISTS unit_events_kept_too BEFORE DELETE ON "
                           "unit_events BEGIN SELECT RAISE(ABORT, 'unit events are only added'); "
                           "END;\n" +
                           AuditCreateSql(UnitsSql::kSqlite) +
                           "CREATE TRIGGER IF NOT EXISTS audit_trail_kept BEFORE UPDATE ON "
                           "audit_trail BEGIN SELECT RAISE(ABORT, 'the audit trail is only "
                           "added to'); END;\n"
                           "CREATE TRIGGER IF NOT EXISTS audit_trail_kept_too BEFORE DELETE ON "
                           "audit_trail BEGIN SELECT RAISE(ABORT, 'the audit trail is only "
                           "added to'); END;\n";
  if (!Exec(rest.c_str(), error) || !ReadColumns(error)) return fail();
  const std::string version = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
  if (!Exec(version.c_str(), error) || !Exec("COMMIT", error)) return fail();
  return true;
}

bool SqliteRecordStore::RebuildTable(std::string* error) {
  // The old table moves aside under another name (its indexes with it) and goes once
  // its rows are copied. In the legacy renaming mode the views that name units are
  // left as they are, so that a reader's own view of units reads the new table.
  std::string copied = "id";
  for (const UnitsColumn& column : UnitsColumns()) {
    if (columns_.count(column.name)) copied += std::string(", ") + column.name;
  }
  const std::string sql =
      "PRAGMA legacy_alter_table = ON;"
      "ALTER TABLE units RENAME TO units_before_cycle;" +
      UnitsCreateTableSql(UnitsSql::kSqlite) + "INSERT INTO units (" + copied + ") SELECT " +
      copied + " FROM units_before_cycle ORDER BY id;" + "DROP TABLE units_before_cycle;" +
      UnitsCreateIndexesSql();
  const bool done = Exec(sql.c_str(), error);
  sqlite3_exec(db_, "PRAGMA legacy_alter_table = OFF", nullptr, nullptr, nullptr);
  return done;
}

bool SqliteRecordStore::Answerable(RecordFilter* filter) const {
  // A file from before serials has no unit with one.
  if (!filter->serial.empty() && !columns_.count("serial")) return false;
  if (!filter->cycle || columns_.count("cycle")) return true;
  const bool batch = *filter->cycle == 0;
  filter->cycle.reset();
  return batch;
}

void SqliteRecordStore::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  writing_ = false;
  events_ = false;
  audit_ = false;
  columns_.clear();
}

bool SqliteRecordStore::StillAtPath(std::string* error) const {
  if (!writing_) return true;
  FileId now;
  if (FileIdOf(path_, &now) == 0 && now == opened_) return true;
  *error = path_ + " was replaced, moved away or removed while the station wrote to it";
  return false;
}

bool SqliteRecordStore::Write(const std::vector<UnitRecord>& records, std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  if (records.empty()) return true;
  if (!StillAtPath(error)) return false;
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  {
    Statement upsert(db_, UnitsUpsertSql(UnitsSql::kSqlite));
    if (!upsert) {
      *error = Failure("cannot write to");
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    for (const UnitRecord& r : records) {
      sqlite3_stmt* s = upsert.get();
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
      int i = 1;
      bool bound = true;
      for (const auto& v : RecordValues(r)) {
        bound = bound && (v ? BindText(s, i, *v) : sqlite3_bind_null(s, i) == SQLITE_OK);
        i++;
      }
      if (!bound || sqlite3_step(s) != SQLITE_DONE) {
        *error = Failure("cannot write to");
        sqlite3_reset(s);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
      }
    }
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = Failure("cannot write to");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  // Committed into a file no longer at the path: not kept where anyone looks.
  return StillAtPath(error);
}

bool SqliteRecordStore::Read(const RecordFilter& filter,
                             const std::function<bool(const UnitRecord&)>& each,
                             std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  RecordFilter f = filter;
  if (!Answerable(&f)) return true;
  std::vector<std::string> params;
  const std::string sql = "SELECT " + SelectList() + " FROM units" +
                          UnitsWhereSql(UnitsSql::kSqlite, f, &params) + " ORDER BY started_at, id";
  Statement select(db_, sql);
  if (!select) {
    *error = Failure("cannot read");
    return false;
  }
  for (size_t i = 0; i < params.size(); i++)
    BindText(select.get(), static_cast<int>(i + 1), params[i]);
  for (;;) {
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = Failure("cannot read");
      return false;
    }
    if (!each(RowToRecord(select.get()))) return true;
  }
}

bool SqliteRecordStore::CountVerdicts(const RecordFilter& filter,
                                      std::map<std::string, int64_t>* counts, std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  counts->clear();
  RecordFilter f = filter;
  if (!Answerable(&f)) return true;
  std::vector<std::string> params;
  const std::string sql = "SELECT verdict, count(*) FROM units" +
                          UnitsWhereSql(UnitsSql::kSqlite, f, &params) + " GROUP BY verdict";
  Statement select(db_, sql);
  if (!select) {
    *error = Failure("cannot read");
    return false;
  }
  for (size_t i = 0; i < params.size(); i++)
    BindText(select.get(), static_cast<int>(i + 1), params[i]);
  for (;;) {
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = Failure("cannot read");
      return false;
    }
    (*counts)[ColumnText(select.get(), 0)] = sqlite3_column_int64(select.get(), 1);
  }
}

bool SqliteRecordStore::Append(const std::string& table, const std::vector<UnitsColumn>& columns,
                               const std::vector<std::vector<std::optional<std::string>>>& rows,
                               std::string* error) {
  if (!StillAtPath(error)) return false;
  std::string names, marks;
  for (const UnitsColumn& c : columns) {
    names += (names.empty() ? "" : ", ") + std::string(c.name);
    marks += marks.empty() ? "?" : ", ?";
  }
  if (!Exec("BEGIN IMMEDIATE", error)) return false;
  {
    Statement insert(db_, "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")");
    if (!insert) {
      *error = Failure("cannot write to");
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    for (const auto& row : rows) {
      sqlite3_stmt* s = insert.get();
      sqlite3_reset(s);
      sqlite3_clear_bindings(s);
      int i = 1;
      bool bound = true;
      for (const auto& v : row) {
        bound = bound && (v ? BindText(s, i, *v) : sqlite3_bind_null(s, i) == SQLITE_OK);
        i++;
      }
      if (!bound || sqlite3_step(s) != SQLITE_DONE) {
        *error = Failure("cannot write to");
        sqlite3_reset(s);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
      }
    }
  }
  if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = Failure("cannot write to");
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  return StillAtPath(error);
}

bool SqliteRecordStore::WriteEvents(const std::vector<UnitEvent>& events, std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  if (events.empty()) return true;
  if (!events_) {
    *error = path_ + " keeps no unit events (open it for writing to upgrade it)";
    return false;
  }
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (const UnitEvent& e : events) rows.push_back(EventValues(e));
  return Append("unit_events", EventColumns(), rows, error);
}

bool SqliteRecordStore::WriteAudit(const std::vector<AuditEntry>& entries, std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  if (entries.empty()) return true;
  if (!audit_) {
    *error = path_ + " keeps no audit trail (open it for writing to upgrade it)";
    return false;
  }
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (const AuditEntry& a : entries) rows.push_back(AuditValues(a));
  return Append("audit_trail", AuditColumns(), rows, error);
}

bool SqliteRecordStore::ReadEvents(const RecordFilter& filter,
                                   const std::function<bool(const UnitEvent&)>& each,
                                   std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  if (!events_) return true;  // a file from before unit events
  std::string names;
  for (const UnitsColumn& c : EventColumns())
    names += (names.empty() ? "" : ", ") + std::string(c.name);
  std::vector<std::string> params;
  const std::string sql = "SELECT " + names + " FROM unit_events" +
                          EventsWhereSql(UnitsSql::kSqlite, filter, &params) +
                          " ORDER BY done_at, id";
  Statement select(db_, sql);
  if (!select) {
    *error = Failure("cannot read");
    return false;
  }
  for (size_t i = 0; i < params.size(); i++)
    BindText(select.get(), static_cast<int>(i + 1), params[i]);
  for (;;) {
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = Failure("cannot read");
      return false;
    }
    sqlite3_stmt* s = select.get();
    if (!each(EventOfRow([s](size_t i) { return ColumnText(s, static_cast<int>(i)); },
                         [s](size_t i) { return ColumnInt(s, static_cast<int>(i)); }))) {
      return true;
    }
  }
}

bool SqliteRecordStore::ReadAudit(const RecordFilter& filter,
                                  const std::function<bool(const AuditEntry&)>& each,
                                  std::string* error) {
  if (db_ == nullptr) {
    *error = path_ + " is not open";
    return false;
  }
  if (!audit_) return true;  // a file from before the audit trail
  std::string names;
  for (const UnitsColumn& c : AuditColumns())
    names += (names.empty() ? "" : ", ") + std::string(c.name);
  std::vector<std::string> params;
  const std::string sql = "SELECT " + names + " FROM audit_trail" +
                          AuditWhereSql(UnitsSql::kSqlite, filter, &params) +
                          " ORDER BY done_at, id";
  Statement select(db_, sql);
  if (!select) {
    *error = Failure("cannot read");
    return false;
  }
  for (size_t i = 0; i < params.size(); i++)
    BindText(select.get(), static_cast<int>(i + 1), params[i]);
  for (;;) {
    const int rc = sqlite3_step(select.get());
    if (rc == SQLITE_DONE) return true;
    if (rc != SQLITE_ROW) {
      *error = Failure("cannot read");
      return false;
    }
    sqlite3_stmt* s = select.get();
    if (!each(AuditOfRow([s](size_t i) { return ColumnText(s, static_cast<int>(i)); },
                         [s](size_t i) { return ColumnInt(s, static_cast<int>(i)); }))) {
      return true;
    }
  }
}
