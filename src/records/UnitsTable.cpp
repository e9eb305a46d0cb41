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
      {"station", "TEXT", "text", true, false, nullptr},
      {"run_id", "TEXT", "text", true, false, nullptr},
      {"port", "TEXT", "text", true, false, nullptr},
      {"port_index", "INTEGER", "integer", true, false, nullptr},
      {"port_device", "TEXT", "text", true, false, nullptr},
      {"started_at", "TEXT", "timestamptz", true, false, nullptr},
      {"ended_at", "TEXT", "timestamptz", false, false, nullptr},
      {"steps", "TEXT", "text", true, false, nullptr},
      {"console_baud", "INTEGER", "integer", true, false, nullptr},
      {"firmware_path", "TEXT", "text", false, false, nullptr},
      {"firmware_size", "INTEGER", "bigint", false, false, nullptr},
      {"firmware_sent", "INTEGER", "bigint", false, false, nullptr},
      {"firmware_sha256", "TEXT", "text", false, false, nullptr},
      {"eeprom_path", "TEXT", "text", false, false, nullptr},
      {"eeprom_size", "INTEGER", "bigint", false, false, nullptr},
      {"eeprom_sent", "INTEGER", "bigint", false, false, nullptr},
      {"eeprom_sha256", "TEXT", "text", false, false, nullptr},
      {"temp_mac", "TEXT", "text", false, false, nullptr},
      {"mac", "TEXT", "text", false, false, nullptr},
      {"mac_source", "TEXT", "text", false, false, nullptr},
      {"mac_reported", "TEXT", "text", false, false, nullptr},
      {"mac_confirmed", "INTEGER", "integer", false, false, nullptr},
      {"stage", "INTEGER", "integer", true, false, nullptr},
      {"verdict", "TEXT", "text", true, false, nullptr},
      {"last_status", "TEXT", "text", true, false, nullptr},
      {"fail_step", "TEXT", "text", false, false, nullptr},
      {"fail_code", "INTEGER", "integer", false, false, nullptr},
      {"link_address", "TEXT", "text", false, true, nullptr},  // records version 2
      {"cycle", "INTEGER", "integer", true, true, "0"},        // records version 3
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
         "CREATE INDEX IF NOT EXISTS units_mac ON units (mac);\n";
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
  return r;
}
