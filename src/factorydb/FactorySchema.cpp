#include "factorydb/FactorySchema.h"

#include <cerrno>

namespace factorydb {

namespace {

const char kSchema[] = R"SQL(
CREATE TABLE IF NOT EXISTS pt_schema (version integer NOT NULL);
INSERT INTO pt_schema (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM pt_schema);

CREATE TABLE IF NOT EXISTS mac_block (
  name text PRIMARY KEY,
  prefix integer NOT NULL CHECK (prefix BETWEEN 0 AND 16777215),
  first_low integer NOT NULL CHECK (first_low BETWEEN 0 AND 16777215),
  last_low integer NOT NULL CHECK (last_low BETWEEN first_low AND 16777215),
  next_low integer NOT NULL CHECK (next_low BETWEEN first_low AND last_low + 1),
  created_at timestamptz NOT NULL DEFAULT now()
);

CREATE TABLE IF NOT EXISTS mac_address (
  mac text PRIMARY KEY,
  block text NOT NULL REFERENCES mac_block (name),
  station text NOT NULL,
  port text NOT NULL,
  run_id text NOT NULL,
  taken_at timestamptz NOT NULL DEFAULT now(),
  state text NOT NULL DEFAULT 'taken' CHECK (state IN ('taken', 'programmed', 'failed')),
  settled_at timestamptz
);
CREATE INDEX IF NOT EXISTS mac_address_station ON mac_address (station, taken_at);
CREATE INDEX IF NOT EXISTS mac_address_run ON mac_address (run_id);

-- Production records of every station (the same columns as a station's own store).
CREATE TABLE IF NOT EXISTS units (
  id bigserial PRIMARY KEY,
  station text NOT NULL,
  run_id text NOT NULL,
  port text NOT NULL,
  port_index integer NOT NULL,
  port_device text NOT NULL,
  started_at timestamptz NOT NULL,
  ended_at timestamptz,
  steps text NOT NULL,
  console_baud integer NOT NULL,
  firmware_path text,
  firmware_size bigint,
  firmware_sent bigint,
  firmware_sha256 text,
  eeprom_path text,
  eeprom_size bigint,
  eeprom_sent bigint,
  eeprom_sha256 text,
  temp_mac text,
  mac text,
  mac_source text,
  mac_reported text,
  mac_confirmed integer,
  stage integer NOT NULL,
  verdict text NOT NULL,
  last_status text NOT NULL,
  fail_step text,
  fail_code integer,
  UNIQUE (station, run_id, port)
);
CREATE INDEX IF NOT EXISTS units_started ON units (started_at);
CREATE INDEX IF NOT EXISTS units_station_started ON units (station, started_at);
CREATE INDEX IF NOT EXISTS units_mac ON units (mac);

-- "02:5C:3A:04:22:D1" from the prefix and the last three bytes.
CREATE OR REPLACE FUNCTION pt_mac_text(prefix integer, low integer) RETURNS text
LANGUAGE sql IMMUTABLE STRICT AS $$
  SELECT upper(regexp_replace(lpad(to_hex(prefix::bigint * 16777216 + low), 12, '0'),
                              '(..)(?=.)', '\1:', 'g'))
$$;

CREATE OR REPLACE FUNCTION pt_mac_block_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP <> 'UPDATE' THEN
    RAISE EXCEPTION 'MAC blocks are never removed';
  END IF;
  IF NEW.name <> OLD.name OR NEW.prefix <> OLD.prefix OR NEW.first_low <> OLD.first_low
     OR NEW.next_low < OLD.next_low THEN
    RAISE EXCEPTION 'addresses handed out from MAC block % never come back', OLD.name;
  END IF;
  RETURN NEW;
END $$;

CREATE OR REPLACE FUNCTION pt_mac_address_guard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP <> 'UPDATE' OR NEW.mac <> OLD.mac OR NEW.block <> OLD.block
     OR NEW.station <> OLD.station OR NEW.port <> OLD.port OR NEW.run_id <> OLD.run_id
     OR NEW.taken_at <> OLD.taken_at OR (OLD.state <> 'taken' AND NEW.state <> OLD.state) THEN
    RAISE EXCEPTION 'a handed-out MAC address is kept as it was taken';
  END IF;
  RETURN NEW;
END $$;

DROP TRIGGER IF EXISTS pt_mac_block_guard ON mac_block;
CREATE TRIGGER pt_mac_block_guard BEFORE UPDATE OR DELETE ON mac_block
  FOR EACH ROW EXECUTE FUNCTION pt_mac_block_guard();
DROP TRIGGER IF EXISTS pt_mac_block_truncate ON mac_block;
CREATE TRIGGER pt_mac_block_truncate BEFORE TRUNCATE ON mac_block
  FOR EACH STATEMENT EXECUTE FUNCTION pt_mac_block_guard();
DROP TRIGGER IF EXISTS pt_mac_address_guard ON mac_address;
CREATE TRIGGER pt_mac_address_guard BEFORE UPDATE OR DELETE ON mac_address
  FOR EACH ROW EXECUTE FUNCTION pt_mac_address_guard();
DROP TRIGGER IF EXISTS pt_mac_address_truncate ON mac_address;
CREATE TRIGGER pt_mac_address_truncate BEFORE TRUNCATE ON mac_address
  FOR EACH STATEMENT EXECUTE FUNCTION pt_mac_address_guard();
)SQL";

bool ValidRoleName(const std::string& role) {
  if (role.empty() || role.size() > 63) return false;
  for (char c : role) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return !(role[0] >= '0' && role[0] <= '9');
}

}  // namespace

int CreateSchema(PgLink& link, PgLink::Deadline deadline) {
  // One implicit transaction: the whole schema or nothing. Two administrators at
  // once are kept apart by the advisory lock.
  return link.ExecScript(std::string("SELECT pg_advisory_xact_lock(271057);") + kSchema, deadline);
}

int GrantStation(PgLink& link, const std::string& role, PgLink::Deadline deadline) {
  if (!ValidRoleName(role)) return EINVAL;
  const std::string sql = "GRANT SELECT ON pt_schema TO " + role +
                          "; GRANT SELECT, UPDATE ON mac_block TO " + role +
                          "; GRANT SELECT, INSERT ON mac_address TO " + role +
                          "; GRANT UPDATE (state, settled_at) ON mac_address TO " + role +
                          "; GRANT SELECT, INSERT, UPDATE ON units TO " + role +
                          "; GRANT USAGE ON SEQUENCE units_id_seq TO " + role + ";";
  return link.ExecScript(sql, deadline);
}

int DefineBlock(PgLink& link, const Block& b, std::string* why, PgLink::Deadline deadline) {
  if (b.first > b.last || b.last > 0xFFFFFF || b.prefix > 0xFFFFFF || b.name.empty()) {
    if (why) *why = "the block's first address must not lie after its last";
    return EINVAL;
  }
  // The advisory lock keeps two definitions from passing the overlap check at once;
  // the check runs after it, on a fresh snapshot.
  int rc = link.ExecScript("BEGIN; SELECT pg_advisory_xact_lock(271057);", deadline);
  PgRows rows;
  if (rc == 0) {
    rc = link.Exec(
        "WITH clash AS (SELECT name FROM mac_block WHERE name = $1 OR (prefix = $2::integer "
        "AND first_low <= $4::integer AND last_low >= $3::integer)), "
        "ins AS (INSERT INTO mac_block (name, prefix, first_low, last_low, next_low) "
        "SELECT $1, $2::integer, $3::integer, $4::integer, $3::integer "
        "WHERE NOT EXISTS (SELECT 1 FROM clash) RETURNING name) "
        "SELECT (SELECT count(*) FROM ins), "
        "coalesce((SELECT string_agg(name, ', ') FROM clash), '')",
        {b.name, std::to_string(b.prefix), std::to_string(b.first), std::to_string(b.last)}, &rows,
        deadline);
  }
  if (rc == 0) rc = link.ExecScript("COMMIT", deadline);
  if (rc != 0) {
    if (why) *why = link.Error();
    if (link.Connected()) link.ExecScript("ROLLBACK", deadline);
    return rc;
  }
  if (rows.rows.size() != 1 || rows.rows[0][0] != "1") {
    if (why) {
      *why = "the name or the range clashes with block " +
             (rows.rows.empty() ? std::string("?") : rows.rows[0][1]);
    }
    return EEXIST;
  }
  return 0;
}

int ListBlocks(PgLink& link, std::vector<Block>* blocks, PgLink::Deadline deadline) {
  PgRows rows;
  const int rc = link.Exec(
      "SELECT name, prefix, first_low, last_low, next_low FROM mac_block ORDER BY prefix, "
      "first_low",
      {}, &rows, deadline);
  if (rc != 0) return rc;
  blocks->clear();
  for (const auto& r : rows.rows) {
    Block b;
    b.name = r[0];
    b.prefix = static_cast<uint32_t>(std::stoul(r[1]));
    b.first = static_cast<uint32_t>(std::stoul(r[2]));
    b.last = static_cast<uint32_t>(std::stoul(r[3]));
    b.next = static_cast<uint32_t>(std::stoul(r[4]));
    blocks->push_back(b);
  }
  return 0;
}

}  // namespace factorydb
