#include "factorydb/FactorySchema.h"

#include <cerrno>

#include "records/UnitsTable.h"

namespace factorydb {

namespace {

// @S@ is the schema the tables live in (quoted), @V@ this version; @UNITS@ the table of
// production records, @UNITS_KEY@ its key, @UNITS_UPSERT@ the writing of one,
// @UNIT_ARGS@ its columns' types and @CYCLE_ARG@ the cycle's argument
// (records/UnitsTable.h); @OLDER_WRITERS@ the record writers of older stations,
// @WRITE_UNIT_ALL@ every pt_write_unit and @STATION_FUNCTIONS@ what a station role
// executes; @EVENTS@ and @AUDIT@ the only-added tables, @EVENT_...@ and @AUDIT_...@
// their writers' arguments, columns and placeholders. One transaction.
const char kSchema[] = R"SQL(
CREATE TABLE IF NOT EXISTS pt_schema (version integer NOT NULL);
DO $$
BEGIN
  IF (SELECT max(version) FROM pt_schema) > @V@ THEN
    RAISE EXCEPTION 'the factory database has MAC pool schema version %, newer than this factory-db''s @V@: use a factory-db of that version or newer',
      (SELECT max(version) FROM pt_schema) USING ERRCODE = '55000';
  END IF;
END $$;

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
  state text NOT NULL DEFAULT 'taken'
    CHECK (state IN ('taken', 'programmed', 'failed', 'unverified')),
  settled_at timestamptz
);
CREATE INDEX IF NOT EXISTS mac_address_station ON mac_address (station, taken_at);
CREATE INDEX IF NOT EXISTS mac_address_run ON mac_address (run_id);
-- Version 1 knew three states.
DO $$
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_constraint WHERE conrelid = 'mac_address'::regclass
                 AND conname = 'mac_address_state_check'
                 AND pg_get_constraintdef(oid) LIKE '%unverified%') THEN
    ALTER TABLE mac_address DROP CONSTRAINT IF EXISTS mac_address_state_check;
    ALTER TABLE mac_address ADD CONSTRAINT mac_address_state_check
      CHECK (state IN ('taken', 'programmed', 'failed', 'unverified'));
  END IF;
END $$;

-- Production records of every station (the same columns as a station's own store).
@UNITS@
-- Version 2's key had no cycle: a port had one record per run.
DO $$
DECLARE
  c record;
BEGIN
  IF EXISTS (SELECT 1 FROM pg_constraint WHERE conrelid = 'units'::regclass AND contype = 'u'
             AND pg_get_constraintdef(oid) = 'UNIQUE (@UNITS_KEY@)') THEN
    RETURN;
  END IF;
  FOR c IN SELECT conname FROM pg_constraint WHERE conrelid = 'units'::regclass AND contype = 'u'
             AND pg_get_constraintdef(oid) = 'UNIQUE (station, run_id, port)' LOOP
    EXECUTE format('ALTER TABLE units DROP CONSTRAINT %I', c.conname);
  END LOOP;
  ALTER TABLE units ADD UNIQUE (@UNITS_KEY@);
END $$;
-- What was done for units after their verdicts (labels, check-outs): only ever added.
@EVENTS@
CREATE OR REPLACE FUNCTION pt_event_guard() RETURNS trigger LANGUAGE plpgsql
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  RAISE EXCEPTION 'unit events are only added, never changed or removed';
END $$;
DROP TRIGGER IF EXISTS pt_unit_events_guard ON unit_events;
DROP TRIGGER IF EXISTS pt_unit_events_truncate ON unit_events;
CREATE TRIGGER pt_unit_events_guard BEFORE UPDATE OR DELETE ON unit_events
  FOR EACH ROW EXECUTE FUNCTION pt_event_guard();
CREATE TRIGGER pt_unit_events_truncate BEFORE TRUNCATE ON unit_events
  FOR EACH STATEMENT EXECUTE FUNCTION pt_event_guard();
-- What every station did with its job (packages loaded and verified, modes, passwords,
-- changes of the job): only ever added.
@AUDIT@
CREATE OR REPLACE FUNCTION pt_audit_guard() RETURNS trigger LANGUAGE plpgsql
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  RAISE EXCEPTION 'the audit trail is only added to, never changed or removed';
END $$;
DROP TRIGGER IF EXISTS pt_audit_trail_guard ON audit_trail;
DROP TRIGGER IF EXISTS pt_audit_trail_truncate ON audit_trail;
CREATE TRIGGER pt_audit_trail_guard BEFORE UPDATE OR DELETE ON audit_trail
  FOR EACH ROW EXECUTE FUNCTION pt_audit_guard();
CREATE TRIGGER pt_audit_trail_truncate BEFORE TRUNCATE ON audit_trail
  FOR EACH STATEMENT EXECUTE FUNCTION pt_audit_guard();

-- The station roles (factory grant): a role bound to a station name acts only as that
-- station, and that station only through it; a role without a name (shared by several
-- stations) acts as any station not bound to a role of its own.
CREATE TABLE IF NOT EXISTS pt_station_role (
  role name PRIMARY KEY,
  station text UNIQUE,
  granted_at timestamptz NOT NULL DEFAULT now()
);

-- Every repair of a stuck block (factory-db repair).
CREATE TABLE IF NOT EXISTS mac_block_repair (
  block text NOT NULL REFERENCES mac_block (name),
  old_next integer NOT NULL,
  new_next integer NOT NULL,
  repaired_at timestamptz NOT NULL DEFAULT now(),
  repaired_by name NOT NULL DEFAULT session_user
);

-- "02:5C:3A:04:22:D1" from the prefix and the last three bytes.
CREATE OR REPLACE FUNCTION pt_mac_text(prefix integer, low integer) RETURNS text
LANGUAGE sql IMMUTABLE STRICT AS $$
  SELECT upper(regexp_replace(lpad(to_hex(prefix::bigint * 16777216 + low), 12, '0'),
                              '(..)(?=.)', '\1:', 'g'))
$$;

-- Version 1's guard functions give way to those below. The names stay taken, with
-- another return type, so that an older factory-db's init fails instead of putting
-- its guards back over these.
DROP TRIGGER IF EXISTS pt_mac_block_guard ON mac_block;
DROP TRIGGER IF EXISTS pt_mac_block_truncate ON mac_block;
DROP TRIGGER IF EXISTS pt_mac_address_guard ON mac_address;
DROP TRIGGER IF EXISTS pt_mac_address_truncate ON mac_address;
DROP FUNCTION IF EXISTS pt_mac_block_guard();
DROP FUNCTION IF EXISTS pt_mac_address_guard();
CREATE FUNCTION pt_mac_block_guard() RETURNS text LANGUAGE sql IMMUTABLE AS
  $$ SELECT 'MAC pool schema version @V@ or newer: initialise it with that factory-db'::text $$;
CREATE FUNCTION pt_mac_address_guard() RETURNS text LANGUAGE sql IMMUTABLE AS
  $$ SELECT 'MAC pool schema version @V@ or newer: initialise it with that factory-db'::text $$;

CREATE OR REPLACE FUNCTION pt_block_guard() RETURNS trigger LANGUAGE plpgsql
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  IF TG_OP = 'INSERT' THEN
    IF (NEW.prefix >> 16) & 1 = 1 THEN
      RAISE EXCEPTION 'MAC block %: a group (multicast) address is no device address', NEW.name;
    END IF;
    IF NEW.prefix = 0 AND NEW.first_low = 0 THEN
      RAISE EXCEPTION 'MAC block %: 00:00:00:00:00:00 is no device address', NEW.name;
    END IF;
    IF NEW.prefix = 154682 AND NEW.last_low >= 16776960 THEN
      RAISE EXCEPTION 'MAC block %: 02:5C:3A:FF:FF:xx are the temporary addresses', NEW.name;
    END IF;
    RETURN NEW;
  END IF;
  IF TG_OP <> 'UPDATE' THEN
    RAISE EXCEPTION 'MAC blocks are never removed';
  END IF;
  IF NEW.name <> OLD.name OR NEW.prefix <> OLD.prefix OR NEW.first_low <> OLD.first_low
     OR NEW.next_low < OLD.next_low THEN
    RAISE EXCEPTION 'addresses handed out from MAC block % never come back', OLD.name;
  END IF;
  IF NEW.last_low <> OLD.last_low AND (
       (NEW.prefix = 154682 AND NEW.last_low >= 16776960)
       OR EXISTS (SELECT 1 FROM mac_block o WHERE o.name <> NEW.name AND o.prefix = NEW.prefix
                  AND o.first_low <= NEW.last_low AND o.last_low >= NEW.first_low)) THEN
    RAISE EXCEPTION 'MAC block % would overlap another block or the temporary addresses', OLD.name;
  END IF;
  RETURN NEW;
END $$;

CREATE OR REPLACE FUNCTION pt_address_guard() RETURNS trigger LANGUAGE plpgsql
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  IF TG_OP <> 'UPDATE' OR NEW.mac <> OLD.mac OR NEW.block <> OLD.block
     OR NEW.station <> OLD.station OR NEW.port <> OLD.port OR NEW.run_id <> OLD.run_id
     OR NEW.taken_at <> OLD.taken_at OR (OLD.state <> 'taken' AND NEW.state <> OLD.state) THEN
    RAISE EXCEPTION 'a handed-out MAC address is kept as it was taken';
  END IF;
  RETURN NEW;
END $$;

CREATE TRIGGER pt_mac_block_guard BEFORE INSERT OR UPDATE OR DELETE ON mac_block
  FOR EACH ROW EXECUTE FUNCTION pt_block_guard();
CREATE TRIGGER pt_mac_block_truncate BEFORE TRUNCATE ON mac_block
  FOR EACH STATEMENT EXECUTE FUNCTION pt_block_guard();
CREATE TRIGGER pt_mac_address_guard BEFORE UPDATE OR DELETE ON mac_address
  FOR EACH ROW EXECUTE FUNCTION pt_address_guard();
CREATE TRIGGER pt_mac_address_truncate BEFORE TRUNCATE ON mac_address
  FOR EACH STATEMENT EXECUTE FUNCTION pt_address_guard();

-- The functions below are everything a station role may do (factory-db grant gives
-- EXECUTE on them and nothing else). They run as the administrator who made them, with
-- a fixed search path, and check every argument.

-- Refuses unless the calling login role may act as station p_station.
CREATE OR REPLACE FUNCTION pt_station_check(p_station text) RETURNS void
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, @S@, pg_temp AS $$
DECLARE
  v_bound text;
BEGIN
  IF p_station IS NULL OR p_station = '' OR length(p_station) > 64 THEN
    RAISE EXCEPTION 'a station name is 1 to 64 characters' USING ERRCODE = '22023';
  END IF;
  SELECT r.station INTO v_bound FROM pt_station_role r WHERE r.role = session_user;
  IF FOUND THEN
    IF v_bound IS NOT NULL AND v_bound <> p_station THEN
      RAISE EXCEPTION 'role % acts only as station %, not as %', session_user, v_bound, p_station
        USING ERRCODE = '42501';
    END IF;
    IF v_bound IS NULL AND EXISTS (SELECT 1 FROM pt_station_role r WHERE r.station = p_station) THEN
      RAISE EXCEPTION 'station % has a role of its own; role % cannot act as it', p_station,
        session_user USING ERRCODE = '42501';
    END IF;
    RETURN;
  END IF;
  IF pg_has_role(session_user, current_user, 'USAGE') THEN
    RETURN;  -- the administrator
  END IF;
  RAISE EXCEPTION 'role % is no station role (factory-db grant)', session_user
    USING ERRCODE = '42501';
END $$;

CREATE OR REPLACE FUNCTION pt_check_text(p_what text, p_value text, p_max integer, p_empty boolean)
RETURNS void LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF p_value IS NULL OR length(p_value) > p_max OR (NOT p_empty AND p_value = '')
     OR p_value ~ '[[:cntrl:]]' THEN
    RAISE EXCEPTION '% must be % to % characters without control characters', p_what,
      CASE WHEN p_empty THEN 0 ELSE 1 END, p_max USING ERRCODE = '22023';
  END IF;
END $$;

CREATE OR REPLACE FUNCTION pt_check_range(p_first integer, p_last integer) RETURNS void
LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF p_first IS NULL OR p_last IS NULL OR p_first < 0 OR p_last > 16777215 OR p_first > p_last THEN
    RAISE EXCEPTION 'the permitted block % ~ % is no range of last three bytes', p_first, p_last
      USING ERRCODE = '22023';
  END IF;
END $$;

CREATE OR REPLACE FUNCTION pt_schema_version() RETURNS integer
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, @S@, pg_temp AS $$
  SELECT max(version) FROM pt_schema
$$;

-- The block a station of permitted block p_first..p_last takes from: the first one with
-- addresses left, else the first one.
CREATE OR REPLACE FUNCTION pt_block_for(p_first integer, p_last integer,
  OUT o_prefix integer, OUT o_next integer, OUT o_last integer)
RETURNS SETOF record LANGUAGE plpgsql STABLE SECURITY DEFINER
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  PERFORM pt_check_range(p_first, p_last);
  RETURN QUERY SELECT b.prefix, b.next_low, b.last_low FROM mac_block b
    WHERE b.first_low >= p_first AND b.last_low <= p_last
    ORDER BY b.next_low > b.last_low, b.first_low, b.prefix LIMIT 1;
END $$;

-- Takes the next address for a port: advances the first block with addresses left and
-- records the address as taken. o_prefix/o_low: the address (NULL when every block is
-- used up); o_next_prefix/o_next/o_last: where the next take will come from.
CREATE OR REPLACE FUNCTION pt_take(p_first integer, p_last integer, p_station text,
  p_port text, p_run text, OUT o_prefix integer, OUT o_low integer, OUT o_next_prefix integer,
  OUT o_next integer, OUT o_last integer, OUT o_mac text)
LANGUAGE plpgsql VOLATILE SECURITY DEFINER SET search_path = pg_catalog, @S@, pg_temp AS $$
DECLARE
  b mac_block%ROWTYPE;
  v_tries integer := 0;
BEGIN
  PERFORM pt_check_range(p_first, p_last);
  PERFORM pt_station_check(p_station);
  PERFORM pt_check_text('a port', p_port, 64, true);
  PERFORM pt_check_text('a run', p_run, 64, true);
  LOOP
    -- The block chosen may be used up by another station before its row is ours; the
    -- row's condition is checked again then, and the next block is tried.
    UPDATE mac_block m SET next_low = m.next_low + 1
     WHERE m.name = (SELECT c.name FROM mac_block c WHERE c.first_low >= p_first
                       AND c.last_low <= p_last AND c.next_low <= c.last_low
                     ORDER BY c.first_low, c.prefix LIMIT 1)
       AND m.next_low <= m.last_low AND m.first_low >= p_first AND m.last_low <= p_last
    RETURNING m.* INTO b;
    EXIT WHEN FOUND;
    v_tries := v_tries + 1;
    IF v_tries > 1000 OR NOT EXISTS (SELECT 1 FROM mac_block c WHERE c.first_low >= p_first
                                     AND c.last_low <= p_last AND c.next_low <= c.last_low) THEN
      SELECT c.prefix, c.next_low, c.last_low INTO o_next_prefix, o_next, o_last
        FROM mac_block c WHERE c.first_low >= p_first AND c.last_low <= p_last
        ORDER BY c.first_low, c.prefix LIMIT 1;
      RETURN;
    END IF;
  END LOOP;
  o_prefix := b.prefix;
  o_low := b.next_low - 1;
  o_mac := pt_mac_text(b.prefix, o_low);
  BEGIN
    INSERT INTO mac_address (mac, block, station, port, run_id)
      VALUES (o_mac, b.name, p_station, p_port, p_run);
  EXCEPTION WHEN unique_violation THEN
    RAISE EXCEPTION 'MAC address % of block % is recorded already: the block is stuck (factory-db repair %)',
      o_mac, b.name, b.name USING ERRCODE = '23505';
  END;
  SELECT c.prefix, c.next_low, c.last_low INTO o_next_prefix, o_next, o_last
    FROM mac_block c WHERE c.first_low >= p_first AND c.last_low <= p_last
    ORDER BY c.next_low > c.last_low, c.first_low, c.prefix LIMIT 1;
END $$;

-- Records a device's outcome: only for the station and run that took the address, and
-- only once (the same outcome again is no change).
CREATE OR REPLACE FUNCTION pt_settle(p_mac text, p_state text, p_station text, p_run text)
RETURNS void LANGUAGE plpgsql VOLATILE SECURITY DEFINER
SET search_path = pg_catalog, @S@, pg_temp AS $$
DECLARE
  a mac_address%ROWTYPE;
BEGIN
  PERFORM pt_station_check(p_station);
  IF p_state IS NULL OR p_state NOT IN ('programmed', 'failed', 'unverified') THEN
    RAISE EXCEPTION 'an outcome is programmed, failed or unverified, not %', p_state
      USING ERRCODE = '22023';
  END IF;
  SELECT * INTO a FROM mac_address WHERE mac = p_mac FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'MAC address % was never handed out', p_mac USING ERRCODE = '22023';
  END IF;
  IF a.station <> p_station OR a.run_id IS DISTINCT FROM p_run THEN
    RAISE EXCEPTION 'MAC address % was taken by another station or run', p_mac
      USING ERRCODE = '42501';
  END IF;
  IF a.state = p_state THEN
    RETURN;
  END IF;
  IF a.state <> 'taken' THEN
    RAISE EXCEPTION 'MAC address % is % already', p_mac, a.state USING ERRCODE = '22023';
  END IF;
  UPDATE mac_address SET state = p_state, settled_at = now() WHERE mac = p_mac;
END $$;

-- Writes (or replaces) one production record of the caller's own station; the
-- arguments are the columns of units in their order, from station to cycle.
CREATE OR REPLACE FUNCTION pt_write_unit(@UNIT_ARGS@)
RETURNS void LANGUAGE plpgsql VOLATILE SECURITY DEFINER
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  PERFORM pt_station_check($1);
  PERFORM pt_check_text('a run', $2, 64, false);
  PERFORM pt_check_text('a port', $3, 64, false);
  IF @CYCLE_ARG@ IS NULL OR @CYCLE_ARG@ < 0 THEN
    RAISE EXCEPTION 'a cycle is 0 (a batch run) or a slot''s unit from 1 on, not %', @CYCLE_ARG@
      USING ERRCODE = '22023';
  END IF;
  @UNITS_UPSERT@;
END $$;

-- Adds one unit event of the caller's own station; the arguments are the columns of
-- unit_events in their order. There is no function that changes or removes one.
CREATE OR REPLACE FUNCTION pt_write_event(@EVENT_ARGS@)
RETURNS void LANGUAGE plpgsql VOLATILE SECURITY DEFINER
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  PERFORM pt_station_check($1);
  PERFORM pt_check_text('a run', $2, 64, false);
  PERFORM pt_check_text('a port', $3, 64, false);
  PERFORM pt_check_text('an event''s kind', $8, 32, false);
  IF $4 IS NULL OR $4 < 0 OR $7 IS NULL OR $10 IS NULL THEN
    RAISE EXCEPTION 'an event needs its cycle (from 0), its time and whether it went through'
      USING ERRCODE = '22023';
  END IF;
  INSERT INTO unit_events (@EVENT_NAMES@) VALUES (@EVENT_VALUES@);
END $$;

-- Adds one audit entry of the caller's own station; the arguments are the columns of
-- audit_trail in their order. There is no function that changes or removes one.
CREATE OR REPLACE FUNCTION pt_write_audit(@AUDIT_ARGS@)
RETURNS void LANGUAGE plpgsql VOLATILE SECURITY DEFINER
SET search_path = pg_catalog, @S@, pg_temp AS $$
BEGIN
  PERFORM pt_station_check($1);
  PERFORM pt_check_text('an audit entry''s user', $3, 256, true);
  PERFORM pt_check_text('an audit entry''s kind', $4, 32, false);
  PERFORM pt_check_text('a job package''s name', coalesce($7, ''), 256, true);
  PERFORM pt_check_text('a job package''s version', coalesce($8, ''), 64, true);
  PERFORM pt_check_text('a job package''s digest', coalesce($9, ''), 128, true);
  IF $2 IS NULL OR $5 IS NULL OR $6 IS NULL OR length($6) > 4000 THEN
    RAISE EXCEPTION 'an audit entry needs its time, whether it went through and a text of up to 4000 characters'
      USING ERRCODE = '22023';
  END IF;
  INSERT INTO audit_trail (@AUDIT_NAMES@) VALUES (@AUDIT_VALUES@);
END $$;

-- Whether a unit of this serial passed on any station (a unit scanned a second time),
-- for a station role that may not read the records.
CREATE OR REPLACE FUNCTION pt_serial_passed(p_serial text) RETURNS boolean
LANGUAGE sql STABLE SECURITY DEFINER SET search_path = pg_catalog, @S@, pg_temp AS $$
  SELECT EXISTS (SELECT 1 FROM units WHERE serial = p_serial AND verdict = 'passed')
$$;

-- The writers of older stations: pt_write_unit with the columns up to one added since.
-- They write what such a station knows and the columns added since as NULL or their
-- default (cycle 0: an older station runs batches only, one record per port and run),
-- through the function above, so its checks hold.
@OLDER_WRITERS@

-- The administrator's repair of a stuck block: moves its next address past the address
-- rows already recorded there (rows are never removed), and records the move.
-- o_ahead: address rows still recorded further on in the block.
CREATE OR REPLACE FUNCTION pt_repair_block(p_block text, OUT o_old integer, OUT o_new integer,
  OUT o_ahead bigint)
LANGUAGE plpgsql VOLATILE SET search_path = pg_catalog, @S@, pg_temp AS $$
DECLARE
  b mac_block%ROWTYPE;
BEGIN
  SELECT * INTO b FROM mac_block WHERE name = p_block FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'no MAC block %', p_block USING ERRCODE = '22023';
  END IF;
  o_old := b.next_low;
  o_new := b.next_low;
  WHILE o_new <= b.last_low
        AND EXISTS (SELECT 1 FROM mac_address WHERE mac = pt_mac_text(b.prefix, o_new)) LOOP
    o_new := o_new + 1;
  END LOOP;
  IF o_new <> o_old THEN
    UPDATE mac_block SET next_low = o_new WHERE name = p_block;
    INSERT INTO mac_block_repair (block, old_next, new_next) VALUES (p_block, o_old, o_new);
  END IF;
  SELECT count(*) INTO o_ahead FROM mac_address
    WHERE o_new <= b.last_low AND mac BETWEEN pt_mac_text(b.prefix, o_new)
                                          AND pt_mac_text(b.prefix, b.last_low);
END $$;

REVOKE ALL ON FUNCTION pt_station_check(text), pt_check_text(text, text, integer, boolean),
  pt_check_range(integer, integer), pt_schema_version(), pt_block_for(integer, integer),
  pt_take(integer, integer, text, text, text), pt_settle(text, text, text, text),
  @WRITE_UNIT_ALL@, pt_write_event(@EVENT_ARGS@), pt_write_audit(@AUDIT_ARGS@),
  pt_serial_passed(text), pt_repair_block(text) FROM PUBLIC;

-- From version 1: every role the tables were granted to (the station roles) loses its
-- table privileges and gets the functions instead, as a shared station role.
DO $$
DECLARE
  r record;
BEGIN
  IF (SELECT max(version) FROM pt_schema) IS DISTINCT FROM 1 THEN
    RETURN;
  END IF;
  FOR r IN
    SELECT DISTINCT a.grantee FROM pg_class c, aclexplode(c.relacl) a
     WHERE c.oid IN ('mac_block'::regclass, 'mac_address'::regclass, 'units'::regclass,
                     'pt_schema'::regclass, 'units_id_seq'::regclass)
       AND a.grantee <> c.relowner
    UNION
    SELECT DISTINCT a.grantee FROM pg_attribute t, aclexplode(t.attacl) a
     WHERE t.attrelid IN ('mac_block'::regclass, 'mac_address'::regclass, 'units'::regclass)
  LOOP
    IF r.grantee = 0 THEN
      EXECUTE 'REVOKE ALL ON mac_block, mac_address, units, pt_schema FROM PUBLIC';
      EXECUTE 'REVOKE ALL ON SEQUENCE units_id_seq FROM PUBLIC';
      CONTINUE;
    END IF;
    EXECUTE format('REVOKE ALL ON mac_block, mac_address, units, pt_schema FROM %I',
                   pg_get_userbyid(r.grantee));
    EXECUTE format('REVOKE ALL ON SEQUENCE units_id_seq FROM %I', pg_get_userbyid(r.grantee));
    EXECUTE format('GRANT EXECUTE ON FUNCTION @STATION_FUNCTIONS@ TO %I',
                   pg_get_userbyid(r.grantee));
    INSERT INTO pt_station_role (role) VALUES (pg_get_userbyid(r.grantee))
      ON CONFLICT DO NOTHING;
  END LOOP;
END $$;

-- Every role that may write records through one of the writers (factory-db grant of an
-- earlier version) may through the others too, the one with the columns added since
-- included.
DO $$
DECLARE
  r record;
BEGIN
  FOR r IN
    SELECT DISTINCT a.grantee FROM pg_proc p, aclexplode(p.proacl) a
     WHERE p.proname = 'pt_write_unit'
       AND p.pronamespace = (SELECT n.oid FROM pg_namespace n WHERE n.nspname = current_schema())
       AND a.privilege_type = 'EXECUTE' AND a.grantee <> 0 AND a.grantee <> p.proowner
  LOOP
    EXECUTE format('GRANT EXECUTE ON FUNCTION @STATION_FUNCTIONS@ TO %I',
                   pg_get_userbyid(r.grantee));
  END LOOP;
END $$;

DELETE FROM pt_schema;
INSERT INTO pt_schema (version) VALUES (@V@);
)SQL";

// What a station role may execute (and nothing else), with @WRITE_UNIT_ALL@.
const char kStationFunctions[] =
    "pt_schema_version(), pt_block_for(integer, integer), "
    "pt_take(integer, integer, text, text, text), pt_settle(text, text, text, text), "
    "pt_write_event(@EVENT_ARGS@), pt_write_audit(@AUDIT_ARGS@), pt_serial_passed(text), "
    "@WRITE_UNIT_ALL@";

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// The table of production records (records/UnitsTable.h) and the columns added to it
// since version 1 (NULL in older rows).
std::string UnitsSchemaSql() {
  std::string sql = UnitsCreateTableSql(UnitsSql::kPostgres);
  for (const UnitsColumn& column : UnitsColumns()) {
    if (column.added) sql += UnitsAddColumnSql(UnitsSql::kPostgres, column) + "\n";
  }
  return sql + UnitsCreateIndexesSql();
}

// pt_write_unit's argument types: the first `count` columns of units in their order
// (all of them by default).
std::string WriteUnitArgs(size_t count = UnitsColumns().size()) {
  std::string args;
  for (size_t i = 0; i < count; i++) {
    args += (args.empty() ? "" : ", ") + std::string(UnitsColumns()[i].pgType);
  }
  return args;
}

// How many columns the writers of older stations have: those before each column added
// since the first version.
std::vector<size_t> OlderWriterColumns() {
  std::vector<size_t> counts;
  int group = 0;
  for (size_t i = 0; i < UnitsColumns().size(); i++) {
    if (UnitsColumns()[i].added == group) continue;
    group = UnitsColumns()[i].added;
    counts.push_back(i);
  }
  return counts;
}

std::string OlderWritersSql() {
  std::string sql;
  for (size_t count : OlderWriterColumns()) {
    std::string values;
    for (size_t i = 0; i < UnitsColumns().size(); i++) {
      const UnitsColumn& c = UnitsColumns()[i];
      values += values.empty() ? "" : ", ";
      if (i < count) {
        values += "$" + std::to_string(i + 1);
      } else {
        values += std::string(c.defaultValue ? c.defaultValue : "NULL") + "::" + c.pgType;
      }
    }
    sql += "CREATE OR REPLACE FUNCTION pt_write_unit(" + WriteUnitArgs(count) +
           ")\nRETURNS void LANGUAGE plpgsql VOLATILE SECURITY DEFINER\n"
           "SET search_path = pg_catalog, @S@, pg_temp AS $$\nBEGIN\n  PERFORM pt_write_unit(" +
           values + ");\nEND $$;\n";
  }
  return sql;
}

// Every pt_write_unit: today's and the older stations'.
std::string WriteUnitAll() {
  std::string all = "pt_write_unit(" + WriteUnitArgs() + ")";
  for (size_t count : OlderWriterColumns()) all += ", pt_write_unit(" + WriteUnitArgs(count) + ")";
  return all;
}

// An only-added table's writer (pt_write_event, pt_write_audit): its argument types,
// the columns' names and its placeholders.
std::string ArgsOf(const std::vector<UnitsColumn>& columns) {
  std::string args;
  for (const UnitsColumn& c : columns) args += (args.empty() ? "" : ", ") + std::string(c.pgType);
  return args;
}

std::string NamesOf(const std::vector<UnitsColumn>& columns) {
  std::string names;
  for (const UnitsColumn& c : columns) names += (names.empty() ? "" : ", ") + std::string(c.name);
  return names;
}

std::string ValuesOf(const std::vector<UnitsColumn>& columns) {
  std::string values;
  for (size_t i = 1; i <= columns.size(); i++) {
    values += (values.empty() ? "" : ", ") + UnitsPlaceholder(UnitsSql::kPostgres, i);
  }
  return values;
}

std::string WithUnits(std::string sql) {
  size_t cycle = 0;
  while (std::string(UnitsColumns()[cycle].name) != "cycle") cycle++;
  ReplaceAll(&sql, "@UNITS@", UnitsSchemaSql());
  ReplaceAll(&sql, "@UNITS_KEY@", kUnitsKey);
  ReplaceAll(&sql, "@UNITS_UPSERT@", UnitsUpsertSql(UnitsSql::kPostgres));
  ReplaceAll(&sql, "@OLDER_WRITERS@", OlderWritersSql());
  ReplaceAll(&sql, "@STATION_FUNCTIONS@", kStationFunctions);
  ReplaceAll(&sql, "@WRITE_UNIT_ALL@", WriteUnitAll());
  ReplaceAll(&sql, "@UNIT_ARGS@", WriteUnitArgs());
  ReplaceAll(&sql, "@EVENTS@", EventsCreateSql(UnitsSql::kPostgres));
  ReplaceAll(&sql, "@EVENT_ARGS@", ArgsOf(EventColumns()));
  ReplaceAll(&sql, "@EVENT_NAMES@", NamesOf(EventColumns()));
  ReplaceAll(&sql, "@EVENT_VALUES@", ValuesOf(EventColumns()));
  ReplaceAll(&sql, "@AUDIT@", AuditCreateSql(UnitsSql::kPostgres));
  ReplaceAll(&sql, "@AUDIT_ARGS@", ArgsOf(AuditColumns()));
  ReplaceAll(&sql, "@AUDIT_NAMES@", NamesOf(AuditColumns()));
  ReplaceAll(&sql, "@AUDIT_VALUES@", ValuesOf(AuditColumns()));
  ReplaceAll(&sql, "@CYCLE_ARG@", "$" + std::to_string(cycle + 1));
  return sql;
}

}  // namespace

bool ValidRoleName(const std::string& role, std::string* why) {
  static const char* const kReserved[] = {"public",       "none",         "current_user",
                                          "session_user", "current_role", "user",
                                          "all",          "postgres"};
  bool ok = !role.empty() && role.size() <= 63 && !(role[0] >= '0' && role[0] <= '9');
  for (char c : role) ok = ok && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
  if (!ok) {
    if (why) *why = "a role name is 1 to 63 lower-case letters, digits and _, not starting with a digit";
    return false;
  }
  for (const char* r : kReserved) {
    if (role == r) {
      if (why) *why = "\"" + role + "\" is no station's role";
      return false;
    }
  }
  if (role.rfind("pg_", 0) == 0) {
    if (why) *why = "roles starting with pg_ are the server's own";
    return false;
  }
  return true;
}

bool ValidStationName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

int CreateSchema(PgLink& link, PgLink::Deadline deadline) {
  PgRows rows;
  int rc = link.Exec("SELECT quote_ident(current_schema())", {}, &rows, deadline);
  if (rc != 0) return rc;
  if (rows.rows.size() != 1 || rows.rows[0][0].empty()) return EIO;
  std::string sql = WithUnits(kSchema);
  ReplaceAll(&sql, "@S@", rows.rows[0][0]);
  ReplaceAll(&sql, "@V@", std::to_string(kSchemaVersion));
  // One implicit transaction: the whole schema or nothing. Two administrators at
  // once are kept apart by the advisory lock.
  return link.ExecScript("SELECT pg_advisory_xact_lock(271057);" + sql, deadline);
}

int GrantStation(PgLink& link, const std::string& role, const std::string& station,
                 std::string* why, PgLink::Deadline deadline) {
  if (!ValidRoleName(role, why)) return EINVAL;
  if (!station.empty() && !ValidStationName(station)) {
    if (why) *why = "a station name is 1 to 64 characters without control characters";
    return EINVAL;
  }
  // The administrator's own role (or any superuser) is no station's: taking its table
  // privileges away would lock the administrator out.
  PgRows who;
  int rc = link.Exec(
      "SELECT count(*) FROM pg_roles WHERE rolname = $1 AND (rolsuper OR "
      "pg_has_role(rolname, current_user, 'USAGE'))",
      {role}, &who, deadline);
  if (rc != 0) {
    if (why) *why = link.Error();
    return rc;
  }
  if (who.rows.size() != 1 || who.rows[0][0] != "0") {
    if (why) *why = "role " + role + " is the administrator's, no station's";
    return EINVAL;
  }
  rc = link.ExecScript(
      "BEGIN; SELECT pg_advisory_xact_lock(271057);"
      "REVOKE ALL ON mac_block, mac_address, units, unit_events, audit_trail, pt_schema, "
      "pt_station_role, mac_block_repair FROM " +
          role +
          "; REVOKE ALL ON SEQUENCE units_id_seq, unit_events_id_seq, audit_trail_id_seq FROM " +
          role + "; GRANT EXECUTE ON FUNCTION " + WithUnits(kStationFunctions) + " TO " + role +
          ";",
      deadline);
  PgRows rows;
  if (rc == 0) {
    rc = link.Exec(
        "INSERT INTO pt_station_role (role, station) VALUES ($1, nullif($2, '')) "
        "ON CONFLICT (role) DO UPDATE SET station = excluded.station, granted_at = now()",
        {role, station}, &rows, deadline);
    if (rc == EEXIST) {
      if (why) *why = "station " + station + " has a role of its own already";
      link.ExecScript("ROLLBACK", deadline);
      return rc;
    }
  }
  if (rc == 0) rc = link.ExecScript("COMMIT", deadline);
  if (rc != 0) {
    if (why) *why = link.Error();
    if (link.Connected()) link.ExecScript("ROLLBACK", deadline);
  }
  return rc;
}

int RepairBlock(PgLink& link, const std::string& name, Repair* repair, PgLink::Deadline deadline) {
  PgRows rows;
  const int rc = link.Exec("SELECT * FROM pt_repair_block($1)", {name}, &rows, deadline);
  if (rc != 0) return rc;
  if (rows.rows.size() != 1 || rows.rows[0].size() != 3) return EIO;
  repair->oldNext = static_cast<uint32_t>(std::stoul(rows.rows[0][0]));
  repair->newNext = static_cast<uint32_t>(std::stoul(rows.rows[0][1]));
  repair->ahead = std::stoll(rows.rows[0][2]);
  return 0;
}

std::string BlockProblem(const Block& b) {
  if (!ValidStationName(b.name)) {
    return "a block name is 1 to 64 characters without control characters";
  }
  if (b.first > b.last || b.last > 0xFFFFFF || b.prefix > 0xFFFFFF) {
    return "the block's first address must not lie after its last";
  }
  if ((b.prefix >> 16) & 1) return "a group (multicast or broadcast) address is no device's address";
  if (b.prefix == 0 && b.first == 0) return "00:00:00:00:00:00 is no device's address";
  if (b.prefix == 0x025C3A && b.last >= 0xFFFF00) {
    return "02:5C:3A:FF:FF:00 ~ 02:5C:3A:FF:FF:FF are the ports' temporary addresses";
  }
  return "";
}

int DefineBlock(PgLink& link, const Block& b, std::string* why, PgLink::Deadline deadline) {
  const std::string problem = BlockProblem(b);
  if (!problem.empty()) {
    if (why) *why = problem;
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
