#!/usr/bin/env bash
# Stations of a factory sharing one MAC pool on a real PostgreSQL server (started here
# by scripts/pgtest.sh, Unix socket only). Each station has its own data directory and
# its simulated devices in a private network namespace of its own.
#  1. four stations program four devices each at once (one device fails after taking
#     its address): every address handed out once, the block advanced by exactly the
#     number taken, every address's outcome recorded;
#  2. a station killed (kill -9) in the middle of MAC programming: its taken addresses
#     stay recorded as taken, none is handed out again; its next run programs again;
#  3. the database stopped in the middle of a run: the ports that had taken an address
#     keep it, the others fail with "MAC not available: N" and take none; after the
#     database is back the next run programs again;
#  4. the database restarted in the middle of a run: every address taken is settled,
#     every record written before the station ends, and the exit status is the ports';
#  5. a station in continuous production killed in the middle of a unit: a record per
#     unit, the killed unit's unfinished, its address kept taken.
# The stations keep their production records in the same database: one record per port
# and run with the right verdict, and a record for every address taken (the killed
# station's unfinished), read back with production-records. The stations' role can
# neither forge, resize nor lock (it holds no table privileges).
#   test_factory_pool.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"

# ---- inside a station's namespace: one run of production-cli ----
# STATION, RESULT (where the run's files go), FAULTS, LOOPBACK=1, KILL_AT (a board
# text at which the station is killed).
if [ -n "${PL_INSIDE:-}" ]; then
  pl_init "$BUILD"
  data="$WORK/$STATION"
  # CONF: "bom" (the file saved with a byte-order mark), "typo" (a misspelt key) or
  # "unreadable" (mode 000, the station without the capabilities that let root read it
  # anyway); each beside an old storedMAC.txt whose addresses the factory block hands
  # out too.
  old_pool=''
  [ -n "${CONF:-}" ] && old_pool='02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D3\r\n'
  faults=()
  for f in ${FAULTS:-}; do faults+=(--fault "$f"); done
  [ -n "${SHIFT:-}" ] && faults+=(--shift "$SHIFT")
  pl_start "$data" "$old_pool" 4 "${faults[@]}"
  pool_key=pool bom=''
  [ "${CONF:-}" = typo ] && pool_key=Pool
  [ "${CONF:-}" = bom ] && bom=$'\xEF\xBB\xBF'
  printf '%s%s = postgresql\nrecords = postgresql\ndatabase = %s\nstation-name = %s\n' \
    "$bom" "$pool_key" "$PGT_STATION" "$STATION" > "$data/station.conf"
  as=()
  if [ "${CONF:-}" = unreadable ]; then
    chmod 000 "$data/station.conf"
    as=(setpriv --bounding-set -dac_override,-dac_read_search --)
  fi
  sleep 4  # the devices are past their loader's start-up window
  job=(--dir "$data" --no-eeprom --no-firmware --program-mac)
  [ "${LOOPBACK:-0}" = 1 ] || job+=(--no-loopback)
  mkdir -p "$RESULT"
  if [ "${CONTINUOUS:-0}" = 1 ]; then
    job+=(--continuous --fast-download)
    touch "$RESULT/continuous"
  fi
  date -u +%Y-%m-%dT%H:%M:%S.%3NZ > "$RESULT/start"
  if [ -n "${KILL_AT:-}" ]; then
    "$WIDE" "${job[@]}" > "$WORK/run.out" 2> "$WORK/run.err" &
    pid=$!
    for _ in $(seq 1200); do
      grep -qF -- "$KILL_AT" "$WORK/run.out" && break
      sleep 0.05
    done
    kill -KILL "$pid"
    wait "$pid"
    RC=killed
  else
    pl_run run "${as[@]}" "$WIDE" "${job[@]}"
  fi
  sleep 0.1
  date -u +%Y-%m-%dT%H:%M:%S.%3NZ > "$RESULT/end"
  pl_stop_sim
  cp "$WORK/run.out" "$WORK/run.err" "$data/report.txt" "$data/storedMAC.txt" "$RESULT/"
  echo "$RC" > "$RESULT/rc"
  exit 0
fi

# ---- outside: the server, the block, the stations ----
source "$SRC/scripts/pgtest.sh"
OUT="$(mktemp -d /tmp/pt_factory_e2e.XXXXXX)"
chmod 755 "$OUT"
trap 'pgt_cleanup; rm -rf "$OUT"' EXIT
trap 'exit 130' INT TERM
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
ADMIN_TOOL="$BUILD/factory-db"
pgt_start || exit 1
"$ADMIN_TOOL" --database "$PGT_ADMIN" init > /dev/null || exit 1
"$ADMIN_TOOL" --database "$PGT_ADMIN" define-block line1 02:5C:3A:04:22:D1 02:5C:3A:04:23:D0 \
  > /dev/null || exit 1
"$ADMIN_TOOL" --database "$PGT_ADMIN" grant station > /dev/null || exit 1
export PGT_STATION
# The role every station.conf carries holds no table privileges: it cannot forge the
# block's next address, resize the block or lock its table.
as_station() { "$PGT_BIN/psql" -X -q -At -v ON_ERROR_STOP=1 "$PGT_STATION" -c "$1" 2>/dev/null; }
as_station "INSERT INTO mac_address (mac, block, station, port, run_id)
  VALUES ('02:5C:3A:04:22:D1', 'line1', 'x', 'COM1', 'r')" && fail "the station role forged a row"
as_station "UPDATE mac_block SET last_low = last_low + 4096" && fail "the station role resized"
as_station "BEGIN; LOCK TABLE mac_block IN ACCESS EXCLUSIVE MODE; COMMIT" &&
  fail "the station role locked mac_block"
"$ADMIN_TOOL" --database "$PGT_ADMIN" addresses --state bogus > /dev/null 2>&1
[ $? = 2 ] || fail "addresses --state bogus was not refused"
"$ADMIN_TOOL" --database "$PGT_ADMIN" grant public > /dev/null 2>&1 && fail "grant public accepted"
me="$(realpath "$0")"

station() {  # name result mode [VAR=value...]: runs one station in its own namespace
  local name="$1" result="$OUT/$2" mode="$3"
  shift 3
  mkdir -p "$result"
  echo "$mode" > "$result/mode"
  env STATION="$name" RESULT="$result" "$@" \
    bash -c 'source "$1/tests/e2e/lib_pipeline.bash"; pl_netns_run "$2" "$1" "$3"' _ \
    "$SRC" "$BUILD" "$me" || fail "$2: the station's script failed"
}
dump() {  # result dir
  echo "---- $1: board lines (exit status $(cat "$OUT/$1/rc" 2>/dev/null))" >&2
  cat "$OUT/$1/run.out" >&2
  cat "$OUT/$1/run.err" >&2
}
count() { pgt_sql "SELECT count(*) FROM mac_address WHERE $1"; }

# 1. Four stations at once.
pids=()
for s in 1 2 3 4; do
  faults=""
  [ "$s" = 4 ] && faults="COM2:silent-after-ser"
  station "st$s" "st$s" done FAULTS="$faults" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p"; done
for s in 1 2 3; do
  [ "$(cat "$OUT/st$s/rc")" = 0 ] || { fail "st$s: exit status $(cat "$OUT/st$s/rc")"; dump "st$s"; }
  [ "$(count "station = 'st$s' AND state = 'programmed'")" = 4 ] || fail "st$s: not 4 programmed"
done
[ "$(cat "$OUT/st4/rc")" = 1 ] || fail "st4: exit status $(cat "$OUT/st4/rc"), expected 1"
[ "$(count "station = 'st4' AND state = 'programmed'")" = 3 ] || fail "st4: not 3 programmed"
# The device accepted the address before it fell silent: it may hold it.
[ "$(count "station = 'st4' AND state = 'unverified' AND port = 'COM2'")" = 1 ] ||
  fail "st4: COM2's address not recorded as unverified"
grep -q '^message MAC pool: PostgreSQL database factory on .* as station, station st1$' \
  "$OUT/st1/run.out" || fail "st1: the message log does not name the pool"
grep -q 'password' "$OUT/st1/run.out" && fail "st1: the password is shown"

# 2. A station killed while its devices are being programmed, then its next run.
station st5 st5.killed killed KILL_AT="reboot device"
[ "$(count "station = 'st5'")" -ge 1 ] || fail "st5: the killed run took no address"
killed_taken="$(count "station = 'st5' AND state = 'taken'")"
[ "$killed_taken" -ge 1 ] || fail "st5: no address left taken by the killed run"
station st5 st5.rerun done
[ "$(cat "$OUT/st5.rerun/rc")" = 0 ] || { fail "st5: the run after the kill failed"; dump st5.rerun; }
[ "$(count "station = 'st5' AND state = 'taken'")" = "$killed_taken" ] ||
  fail "st5: the killed run's addresses changed"

# 3. The database stopped once two ports have taken their addresses (the other two
# reach MAC programming 2.5 s later: their loopback echo comes late).
station st6 st6.dbstop dbstop LOOPBACK=1 FAULTS="COM3:echo-late=2500 COM4:echo-late=2500" &
runner=$!
stopped=""
for _ in $(seq 400); do
  if [ "$(count "station = 'st6'" 2>/dev/null)" = 2 ]; then
    pgt_stop && stopped=1
    break
  fi
  sleep 0.05
done
wait "$runner"
[ -n "$stopped" ] || fail "st6: the database was not stopped in the run"
pgt_run_server || exit 1
[ "$(cat "$OUT/st6.dbstop/rc")" = 1 ] || fail "st6: exit status $(cat "$OUT/st6.dbstop/rc"), expected 1"
grep -qE '^mac 0 0 MAC not available: [0-9]+$' "$OUT/st6.dbstop/run.out" ||
  fail "st6: no 'MAC not available: N' after the database stopped"
for i in 2 3; do
  grep -qE "^status $i COM$((i + 1)): program MAC failed: -1$" "$OUT/st6.dbstop/run.out" ||
    fail "st6: COM$((i + 1)) did not fail for want of an address"
done
grep -q '^message factory database: ' "$OUT/st6.dbstop/run.out" ||
  fail "st6: the message log does not say what the database did"
[ "$(count "station = 'st6'")" = 2 ] || fail "st6: not exactly the two addresses taken"
[ "$failures" = 0 ] || dump st6.dbstop
station st6 st6.rerun done
[ "$(cat "$OUT/st6.rerun/rc")" = 0 ] || { fail "st6: the run after recovery failed"; dump st6.rerun; }

# 4. The database restarted once two ports have taken their addresses, before their
# devices confirm them (the other two ports come to MAC programming 2.5 s later).
station st7 st7.restart done LOOPBACK=1 FAULTS="COM3:echo-late=2500 COM4:echo-late=2500" &
runner=$!
restarted=""
for _ in $(seq 400); do
  if [ "$(count "station = 'st7'" 2>/dev/null)" = 2 ]; then
    pending="$(count "station = 'st7' AND state = 'taken'")"
    pgt_stop && sleep 0.5 && pgt_run_server && restarted=1
    break
  fi
  sleep 0.05
done
wait "$runner"
[ -n "$restarted" ] || fail "st7: the database was not restarted in the run"
ok="$(grep -cE '^status [0-3] COM[1-4]: %GLM .* OK$' "$OUT/st7.restart/run.out")"
[ "$(cat "$OUT/st7.restart/rc")" = "$([ "$ok" = 4 ] && echo 0 || echo 1)" ] ||
  fail "st7: exit status $(cat "$OUT/st7.restart/rc") with $ok ports OK"
[ "$ok" -ge 2 ] || fail "st7: only $ok ports OK"
echo "st7: database restarted with $pending address(es) not yet settled, $ok of 4 ports OK, exit status $(cat "$OUT/st7.restart/rc")"
[ "$(count "station = 'st7' AND state = 'taken'")" = 0 ] || fail "st7: addresses left taken"
[ "$(pgt_sql "SELECT count(*) FROM units WHERE station = 'st7' AND verdict <> 'unfinished'")" = 4 ] ||
  fail "st7: not every record written"
st7_taken="$(count "station = 'st7'")"
[ "$failures" = 0 ] || dump st7.restart

# 5. Continuous production killed (kill -9) in the middle of a slot's third unit: the
# units before it keep their records and addresses, the one in progress its record
# unfinished and its address taken.
station st8 st8.killed killed CONTINUOUS=1 SHIFT=1500,gap=1500 KILL_AT="unit 0 2 passed"
st8_taken="$(count "station = 'st8'")"
[ "$(pgt_sql "SELECT count(*) FROM units WHERE station = 'st8' AND cycle = 0")" = 0 ] ||
  fail "st8: a continuous run's record without its unit number"
[ "$(pgt_sql "SELECT count(*) FROM units WHERE station = 'st8' AND port = 'COM1' AND verdict = 'passed'")" -ge 2 ] ||
  fail "st8: COM1's first two units not recorded passed"
[ "$(pgt_sql "SELECT count(*) FROM units WHERE station = 'st8' AND verdict = 'unfinished'")" -le 4 ] ||
  fail "st8: more units unfinished than slots"
[ "$(pgt_sql "SELECT count(*) FROM (SELECT port, cycle FROM units WHERE station = 'st8'
  GROUP BY port, cycle HAVING count(*) > 1) d")" = 0 ] || fail "st8: a unit with two records"
[ "$failures" = 0 ] || dump st8.killed

# Every address handed out once, the block advanced by exactly the number taken, and
# every address accounted for in what the stations showed and the devices hold.
taken="$(count "true")"
[ "$taken" = $((16 + killed_taken + 4 + 2 + 4 + st7_taken + st8_taken)) ] || fail "$taken addresses recorded"
[ "$(pgt_sql "SELECT next_low - first_low FROM mac_block WHERE name = 'line1'")" = "$taken" ] ||
  fail "the block's next address did not advance by the $taken addresses taken"
# The records: one per port and run; each taken address in its port's record.
records() { pgt_sql "SELECT count(*) FROM units WHERE $1"; }
for s in 1 2 3; do
  [ "$(records "station = 'st$s' AND verdict = 'passed'")" = 4 ] || fail "st$s: not 4 passed records"
done
[ "$(records "station = 'st4' AND verdict = 'passed'")" = 3 ] || fail "st4: not 3 passed records"
[ "$(records "station = 'st4' AND port = 'COM2' AND verdict = 'failed' AND fail_step = 'mac'")" = 1 ] ||
  fail "st4: COM2's record does not say its MAC programming failed"
[ "$(records "station = 'st5' AND verdict = 'unfinished'")" = 4 ] ||
  fail "st5: the killed run's records are not left unfinished"
[ "$(records "station = 'st5' AND verdict = 'passed'")" = 4 ] || fail "st5: the rerun's records"
[ "$(records "station = 'st6' AND verdict = 'passed'")" = 4 ] || fail "st6: the rerun's records"
[ "$(records "station <> 'st8'")" = 36 ] ||
  fail "$(records "station <> 'st8'") batch records, expected 36 (9 runs of 4 ports)"
[ "$(records "cycle = 0")" = 36 ] || fail "batch runs' records not all cycle 0"
unaccounted="$(pgt_sql "SELECT a.station || ' ' || a.port || ' ' || a.mac FROM mac_address a
  WHERE NOT EXISTS (SELECT 1 FROM units u WHERE u.station = a.station AND u.run_id = a.run_id
                    AND u.port = a.port AND (u.mac = a.mac OR u.verdict = 'unfinished'))")"
[ -z "$unaccounted" ] || fail "taken addresses without their port's record: $unaccounted"
passed_without="$(pgt_sql "SELECT u.station || ' ' || u.port FROM units u WHERE u.verdict = 'passed'
  AND NOT EXISTS (SELECT 1 FROM mac_address a WHERE a.mac = u.mac AND a.station = u.station
                  AND a.port = u.port AND a.state = 'programmed')")"
[ -z "$passed_without" ] || fail "passed records without a programmed address: $passed_without"
# The tools read the connection string from the environment (PT_DATABASE) or a file
# (--database-file) as well, and never show its password, not even when it fails.
PT_DATABASE="$PGT_ADMIN" "$BUILD/production-records" summary > "$OUT/summary.txt" ||
  fail "production-records could not read the factory database (PT_DATABASE)"
grep -qx "records: $(records "true")" "$OUT/summary.txt" ||
  fail "production-records: $(cat "$OUT/summary.txt")"
(umask 077 && echo "$PGT_ADMIN" > "$OUT/admin.conn" && echo "${PGT_ADMIN/dbname=factory/dbname=nodb}" \
  > "$OUT/bad.conn")
"$ADMIN_TOOL" --database-file "$OUT/admin.conn" addresses > "$OUT/addresses.csv" 2> "$OUT/tools.err" ||
  fail "addresses (--database-file)"
PT_DATABASE="$PGT_ADMIN" "$ADMIN_TOOL" status >> "$OUT/tools.out" 2>> "$OUT/tools.err" ||
  fail "factory-db status (PT_DATABASE)"
"$BUILD/production-records" --database-file "$OUT/admin.conn" summary >> "$OUT/tools.out" \
  2>> "$OUT/tools.err" || fail "production-records --database-file"
"$ADMIN_TOOL" --database-file "$OUT/bad.conn" status >> "$OUT/tools.out" 2>> "$OUT/tools.err" &&
  fail "factory-db reached a database that does not exist"
"$BUILD/production-records" --database-file "$OUT/bad.conn" summary >> "$OUT/tools.out" \
  2>> "$OUT/tools.err" && fail "production-records reached a database that does not exist"
grep -q 'nodb' "$OUT/tools.err" || fail "the tools did not say which database failed: $(cat "$OUT/tools.err")"
admin_pw="${PGT_ADMIN##*password=}"
cat "$OUT/summary.txt" "$OUT/addresses.csv" "$OUT/tools.out" "$OUT/tools.err" | grep -qF "$admin_pw" &&
  fail "a tool showed the password"
PYTHONPATH="$SRC/tests/e2e" python3 "$SRC/tests/e2e/factory_pool_check.py" "$OUT/addresses.csv" \
  "$OUT"/st* || fail "the addresses do not match the stations and devices (see above)"

# 5. station.conf as editors save it: a byte-order mark is understood (the factory pool,
# not the old storedMAC.txt beside it); a misspelt key or a file the station cannot read
# sets up no job and takes nothing from either pool.
station conf-bom conf.bom done CONF=bom
[ "$(cat "$OUT/conf.bom/rc")" = 0 ] || { fail "conf-bom: exit status $(cat "$OUT/conf.bom/rc")"; dump conf.bom; }
[ "$(count "station = 'conf-bom' AND state = 'programmed'")" = 4 ] ||
  fail "conf-bom: not 4 addresses programmed from the factory pool"
station conf-typo conf.typo done CONF=typo
[ "$(cat "$OUT/conf.typo/rc")" = 0 ] && fail "conf-typo: a misspelt key ran the job"
[ "$(count "station = 'conf-typo'")" = 0 ] || fail "conf-typo: took addresses"
grep -q '^mac 0 0 MAC initialize failed: ' "$OUT/conf.typo/run.out" ||
  fail "conf-typo: no 'MAC initialize failed' in the MAC line"
grep -q 'unknown key "Pool"' "$OUT/conf.typo/run.out" || fail "conf-typo: the message log does not name the key"
grep -q 'SYCXXMAC' "$OUT/conf.typo/report.txt" && fail "conf-typo: a device was programmed"
station conf-unreadable conf.unreadable done CONF=unreadable
[ "$(cat "$OUT/conf.unreadable/rc")" = 0 ] && fail "conf-unreadable: an unreadable station.conf ran the job"
[ "$(count "station = 'conf-unreadable'")" = 0 ] || fail "conf-unreadable: took addresses"
grep -q '^mac 0 0 MAC initialize failed: ' "$OUT/conf.unreadable/run.out" ||
  fail "conf-unreadable: no 'MAC initialize failed' in the MAC line"
grep -q '^message .*station.conf: could not be read (error 13), not used' "$OUT/conf.unreadable/run.out" ||
  fail "conf-unreadable: the message log does not say station.conf could not be read"
grep -q 'SYCXXMAC' "$OUT/conf.unreadable/report.txt" && fail "conf-unreadable: a device was programmed"
for r in conf.bom conf.typo conf.unreadable; do
  [ "$(head -c 17 "$OUT/$r/storedMAC.txt")" = 02:5C:3A:04:22:D1 ] || fail "$r: storedMAC.txt was used"
done

if [ "$failures" -gt 0 ]; then
  echo "factory pool: $failures check(s) failed" >&2
  exit 1
fi
echo "factory pool: all checks passed"
