#include "records/UnitsTable.h"

#include "records/RecordText.h"

namespace {

// The key of a record: one row per station, run, port and cycle.
bool IsKey(const std::string& column) {
  return column == "station" || column == "run_id" || column == "port" || column == "cycle";
}

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

const std::vector<UnitsColumn>& UnitsColumns() {
  static const std::vector<UnitsColumn> columns = {
      {"station", "TEXT", "text", true, 0, nullptr},
      {"run_id", "TEXT", "text", true, 0, nullptr},
      {"port", "TEXT", "text", true, 0, nullptr},
      {"port_index", "INTEGER", "integer", true, 0, nullptr},
      {"port_device", "TEXT", "text", true, 0, nullptr},
      {"started_at", "TEXT", "timestamptz", true, 0, nullptr},
      {"ended_at", "TEXT", "timestamptz", false, 0, nullptr},
      {"steps", "TEXT", "text", true, 0, nullptr},
      {"console_baud", "INTEGER", "integer", true, 0, nullptr},
      {"firmware_path", "TEXT", "text", false, 0, nullptr},
      {"firmware_size", "INTEGER", "bigint", false, 0, nullptr},
      {"firmware_sent", "INTEGER", "bigint", false, 0, nullptr},
      {"firmware_sha256", "TEXT", "text", false, 0, nullptr},
      {"eeprom_path", "TEXT", "text", false, 0, nullptr},
      {"eeprom_size", "INTEGER", "bigint", false, 0, nullptr},
      {"eeprom_sent", "INTEGER", "bigint", false, 0, nullptr},
      {"eeprom_sha256", "TEXT", "text", false, 0, nullptr},
      {"temp_mac", "TEXT", "text", false, 0, nullptr},
      {"mac", "TEXT", "text", false, 0, nullptr},
      {"mac_source", "TEXT", "text", false, 0, nullptr},
      {"mac_reported", "TEXT", "text", false, 0, nullptr},
      {"mac_confirmed", "INTEGER", "integer", false, 0, nullptr},
      {"stage", "INTEGER", "integer", true, 0, nullptr},
      {"verdict", "TEXT", "text", true, 0, nullptr},
      {"last_status", "TEXT", "text", true, 0, nullptr},
      {"fail_step", "TEXT", "text", false, 0, nullptr},
      {"fail_code", "INTEGER", "integer", false, 0, nullptr},
      {"link_address", "TEXT", "text", false, 1, nullptr},  // records version 2
      {"cycle", "INTEGER", "integer", true, 2, "0"},        // records version 3
      // Records version 4 (the factory database's 4): the unit's identity.
      {"serial", "TEXT", "text", false, 3, nullptr},
      {"rework", "INTEGER", "integer", true, 3, "0"},
      {"check_in", "TEXT", "text", false, 3, nullptr},
      {"check_out", "TEXT", "text", false, 3, nullptr},
      // Records version 5 (the factory database's 5): the job package.
      {"job_name", "TEXT", "text", false, 4, nullptr},
      {"job_version", "TEXT", "text", false, 4, nullptr},
      {"job_digest", "TEXT", "text", false, 4, nullptr},
  };
  return columns;
}

std::string UnitsCreateTableSql(UnitsSql sql) {
  // SQLite keeps this text in the file (sqlite_master): its layout stays as the first
  // stations wrote it, names and types in aligned columns.
  const bool lite = sql == UnitsSql::kSqlite;
  std::string s = "CREATE TABLE IF NOT EXISTS units (\n";
  s += lite ? "  id              INTEGER PRIMARY KEY,\n" : "  id bigserial PRIMARY KEY,\n";
  for (const UnitsColumn& c : UnitsColumns()) {
    const std::string type = lite ? c.sqliteType : c.pgType;
    s += "  " + (lite ? Padded(c.name, 16) : std::string(c.name) + " ");
    if (c.notNull) {
      s += (lite ? Padded(type, 8) : type + " ") + "NOT NULL";
    } else {
      s += type;
    }
    if (c.defaultValue) s += std::string(" DEFAULT ") + c.defaultValue;
    s += ",\n";
  }
  return s + "  UNIQUE (" + kUnitsKey + ")\n);\n";
}

std::string UnitsCreateIndexesSql() {
  return "CREATE INDEX IF NOT EXISTS units_started ON units (started_at);\n"
         "CREATE INDEX IF NOT EXISTS units_station_started ON units (station, started_at);\n"
         "CREATE INDEX IF NOT EXISTS units_mac ON units (mac);\n"
         "CREATE INDEX IF NOT EXISTS units_serial ON units (serial);\n";
}

std::string UnitsAddColumnSql(UnitsSql sql, const UnitsColumn& column) {
  // A column with a default is NOT NULL, its default in every older row.
  const std::string fill =
      column.defaultValue ? std::string(" NOT NULL DEFAULT ") + column.defaultValue : "";
  if (sql == UnitsSql::kSqlite) {
    return std::string("ALTER TABLE units ADD COLUMN ") + column.name + " " + column.sqliteType +
           fill;
  }
  return std::string("ALTER TABLE units ADD COLUMN IF NOT EXISTS ") + column.name + " " +
         column.pgType + fill + ";";
}

std::string UnitsPlaceholder(UnitsSql sql, size_t n) {
  return sql == UnitsSql::kSqlite ? "?" : "$" + std::to_string(n);
}

std::string UnitsPlaceholders(UnitsSql sql) {
  std::string values;
  for (size_t i = 1; i <= UnitsColumns().size(); ++i) {
    values += (values.empty() ? "" : ", ") + UnitsPlaceholder(sql, i);
  }
  return values;
}

std::string UnitsUpsertSql(UnitsSql sql) {
  std::string names, updates;
  for (const UnitsColumn& c : UnitsColumns()) {
    names += (names.empty() ? "" : ", ") + std::string(c.name);
    if (IsKey(c.name)) continue;
    updates += (updates.empty() ? "" : ", ") + std::string(c.name) + " = excluded." + c.name;
  }
  return "INSERT INTO units (" + names + ") VALUES (" + UnitsPlaceholders(sql) + ") ON CONFLICT (" +
         kUnitsKey + ") DO UPDATE SET " + updates;
}

std::string UnitsWhereSql(UnitsSql sql, const RecordFilter& f, std::vector<std::string>* params) {
  std::string where;
  auto add = [&](const std::string& cond, const std::string& value) {
    params->push_back(value);
    where +=
        (where.empty() ? " WHERE " : " AND ") + cond + " " + UnitsPlaceholder(sql, params->size());
  };
  if (f.fromMs) add("started_at >=", FormatUtcMs(*f.fromMs));
  if (f.toMs) add("started_at <", FormatUtcMs(*f.toMs));
  if (!f.mac.empty()) add("upper(mac) =", UpperMac(f.mac));  // any letter case stored
  if (!f.station.empty()) add("station =", f.station);
  if (!f.verdict.empty()) add("verdict =", f.verdict);
  if (f.cycle) add("cycle =", std::to_string(*f.cycle));
  if (!f.serial.empty()) add("serial =", f.serial);
  return where;
}

UnitRecord UnitsRecordOfRow(const std::function<std::string(size_t)>& text,
                            const std::function<std::optional<int64_t>(size_t)>& number) {
  UnitRecord r;
  size_t i = 0;
  r.station = text(i++);
  r.runId = text(i++);
  r.port = text(i++);
  r.portIndex = static_cast<int>(number(i++).value_or(0));
  r.portDevice = text(i++);
  int64_t ms = 0;
  if (ParseUtcMs(text(i++), &ms)) r.startedMs = ms;
  if (ParseUtcMs(text(i++), &ms)) r.endedMs = ms;
  r.steps = text(i++);
  r.consoleBaud = static_cast<int>(number(i++).value_or(0));
  for (ImageRecord* image : {&r.firmware, &r.eeprom}) {
    image->path = text(i++);
    image->fileBytes = number(i++).value_or(-1);
    image->sentBytes = number(i++).value_or(-1);
    image->sha256 = text(i++);
  }
  r.tempMac = text(i++);
  r.mac = text(i++);
  r.macSource = text(i++);
  r.macReported = text(i++);
  if (auto c = number(i++)) r.macConfirmed = *c != 0;
  r.stage = static_cast<int>(number(i++).value_or(0));
  r.verdict = text(i++);
  r.lastStatus = text(i++);
  r.failStep = text(i++);
  if (auto c = number(i++)) r.failCode = static_cast<int>(*c);
  r.linkAddress = text(i++);
  r.cycle = static_cast<int>(number(i++).value_or(0));  // NULL: a file from before cycles
  // NULL: a file from before unit identities.
  r.serial = text(i++);
  r.rework = number(i++).value_or(0) != 0;
  r.checkIn = text(i++);
  r.checkOut = text(i++);
  // NULL: a file from before job packages, or a job that is no package.
  r.jobName = text(i++);
  r.jobVersion = text(i++);
  r.jobDigest = text(i++);
  return r;
}

const std::vector<UnitsColumn>& EventColumns() {
  static const std::vector<UnitsColumn> columns = {
      {"station", "TEXT", "text", true, 0, nullptr},
      {"run_id", "TEXT", "text", true, 0, nullptr},
      {"port", "TEXT", "text", true, 0, nullptr},
      {"cycle", "INTEGER", "integer", true, 0, nullptr},
      {"serial", "TEXT", "text", false, 0, nullptr},
      {"mac", "TEXT", "text", false, 0, nullptr},
      {"done_at", "TEXT", "timestamptz", true, 0, nullptr},
      {"kind", "TEXT", "text", true, 0, nullptr},
      {"sent_to", "TEXT", "text", true, 0, nullptr},
      {"ok", "INTEGER", "integer", true, 0, nullptr},
      {"answer", "TEXT", "text", true, 0, nullptr},
  };
  return columns;
}

namespace {
// "CREATE TABLE IF NOT EXISTS table (id ..., the columns);" in the store's dialect.
template <typename Columns>
std::string CreateTableSql(const char* table, const Columns& columns, UnitsSql sql) {
  const bool lite = sql == UnitsSql::kSqlite;
  std::string s = std::string("CREATE TABLE IF NOT EXISTS ") + table + " (\n";
  s += lite ? "  id INTEGER PRIMARY KEY" : "  id bigserial PRIMARY KEY";
  for (const UnitsColumn& c : columns) {
    s += std::string(",\n  ") + c.name + " " + (lite ? c.sqliteType : c.pgType) +
         (c.notNull ? " NOT NULL" : "");
  }
  return s + "\n);\n";
}
}  // namespace

std::string EventsCreateSql(UnitsSql sql) {
  return CreateTableSql("unit_events", EventColumns(), sql) +
         "CREATE INDEX IF NOT EXISTS unit_events_unit ON unit_events (station, run_id, port, "
         "cycle);\n"
         "CREATE INDEX IF NOT EXISTS unit_events_serial ON unit_events (serial);\n"
         "CREATE INDEX IF NOT EXISTS unit_events_done ON unit_events (done_at);\n";
}

std::vector<std::optional<std::string>> EventValues(const UnitEvent& e) {
  auto opt = [](const std::string& s) -> std::optional<std::string> {
    if (s.empty()) return std::nullopt;
    return s;
  };
  return {e.station,           e.runId, e.port,  std::to_string(e.cycle), opt(e.serial), opt(e.mac),
          FormatUtcMs(e.atMs), e.kind,  e.where, e.ok ? "1" : "0",        e.text};
}

UnitEvent EventOfRow(const std::function<std::string(size_t)>& text,
                     const std::function<std::optional<int64_t>(size_t)>& number) {
  UnitEvent e;
  size_t i = 0;
  e.station = text(i++);
  e.runId = text(i++);
  e.port = text(i++);
  e.cycle = static_cast<int>(number(i++).value_or(0));
  e.serial = text(i++);
  e.mac = text(i++);
  int64_t ms = 0;
  if (ParseUtcMs(text(i++), &ms)) e.atMs = ms;
  e.kind = text(i++);
  e.where = text(i++);
  e.ok = number(i++).value_or(0) != 0;
  e.text = text(i++);
  return e;
}

std::string EventsWhereSql(UnitsSql sql, const RecordFilter& f, std::vector<std::string>* params) {
  std::string where;
  auto add = [&](const std::string& cond, const std::string& value) {
    params->push_back(value);
    where +=
        (where.empty() ? " WHERE " : " AND ") + cond + " " + UnitsPlaceholder(sql, params->size());
  };
  if (f.fromMs) add("done_at >=", FormatUtcMs(*f.fromMs));
  if (f.toMs) add("done_at <", FormatUtcMs(*f.toMs));
  if (!f.mac.empty()) add("upper(mac) =", UpperMac(f.mac));
  if (!f.station.empty()) add("station =", f.station);
  if (!f.serial.empty()) add("serial =", f.serial);
  return where;
}

const std::vector<UnitsColumn>& AuditColumns() {
  static const std::vector<UnitsColumn> columns = {
      {"station", "TEXT", "text", true, 0, nullptr},
      {"done_at", "TEXT", "timestamptz", true, 0, nullptr},
      {"user_name", "TEXT", "text", true, 0, nullptr},
      {"kind", "TEXT", "text", true, 0, nullptr},
      {"ok", "INTEGER", "integer", true, 0, nullptr},
      {"detail", "TEXT", "text", true, 0, nullptr},
      {"job_name", "TEXT", "text", false, 0, nullptr},
      {"job_version", "TEXT", "text", false, 0, nullptr},
      {"job_digest", "TEXT", "text", false, 0, nullptr},
  };
  return columns;
}

std::string AuditCreateSql(UnitsSql sql) {
  return CreateTableSql("audit_trail", AuditColumns(), sql) +
         "CREATE INDEX IF NOT EXISTS audit_trail_station ON audit_trail (station, done_at);\n"
         "CREATE INDEX IF NOT EXISTS audit_trail_done ON audit_trail (done_at);\n";
}

std::vector<std::optional<std::string>> AuditValues(const AuditEntry& a) {
  auto opt = [](const std::string& s) -> std::optional<std::string> {
    if (s.empty()) return std::nullopt;
    return s;
  };
  return {a.station,      FormatUtcMs(a.atMs), a.user,          a.kind, a.ok ? "1" : "0", a.text,
          opt(a.jobName), opt(a.jobVersion),   opt(a.jobDigest)};
}

AuditEntry AuditOfRow(const std::function<std::string(size_t)>& text,
                      const std::function<std::optional<int64_t>(size_t)>& number) {
  AuditEntry a;
  size_t i = 0;
  a.station = text(i++);
  int64_t ms = 0;
  if (ParseUtcMs(text(i++), &ms)) a.atMs = ms;
  a.user = text(i++);
  a.kind = text(i++);
  a.ok = number(i++).value_or(0) != 0;
  a.text = text(i++);
  a.jobName = text(i++);
  a.jobVersion = text(i++);
  a.jobDigest = text(i++);
  return a;
}

std::string AuditWhereSql(UnitsSql sql, const RecordFilter& f, std::vector<std::string>* params) {
  std::string where;
  auto add = [&](const std::string& cond, const std::string& value) {
    params->push_back(value);
    where +=
        (where.empty() ? " WHERE " : " AND ") + cond + " " + UnitsPlaceholder(sql, params->size());
  };
  if (f.fromMs) add("done_at >=", FormatUtcMs(*f.fromMs));
  if (f.toMs) add("done_at <", FormatUtcMs(*f.toMs));
  if (!f.station.empty()) add("station =", f.station);
  return where;
}
