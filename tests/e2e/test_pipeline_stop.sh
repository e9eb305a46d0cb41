#!/usr/bin/env bash
# Stopping a run in the middle of the downloads (SIGTERM to the headless runner is a
# confirmed Stop), on four simulated devices inside a private network namespace: the
# run ends in order within a bounded time, no port is reported as programmed, no
# address leaves the pool and no device is sent a MAC address; every port leaves a
# record that says it was stopped. After the devices are powered off and on, a new run
# programs every one of them and leaves four passed records beside the stopped ones.
# Then continuous production on four slots whose units are swapped as a shift does
# (COM3's units refuse their address), stopped in the middle: every unit the station
# started leaves one record, every passed unit has an address of its own, no address
# went to a unit that never came, and the unit in progress is recorded stopped.
#   test_pipeline_stop.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

name=stopped
data="$WORK/stop"
pool="$PL_POOL"
pl_start "$data" "$pool" 4
job=(--dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" --program-mac)

timeout -k 10 300 "$WIDE" "${job[@]}" > "$WORK/$name.out" 2> "$WORK/$name.err" &
CLI_PID=$!
for _ in $(seq 600); do
  grep -q '^status [0-3] COM[1-4]: Download Firmware\.\.\.2/' "$WORK/$name.out" && break
  kill -0 "$CLI_PID" 2>/dev/null || break
  sleep 0.1
done
grep -q 'Download Firmware\.\.\.2/' "$WORK/$name.out" || fail "the downloads did not start within 60 s"
kill -TERM "$CLI_PID"
t0=$SECONDS
RC=0
wait "$CLI_PID" || RC=$?
CLI_PID=""
echo "$name: the run ended $((SECONDS - t0)) s after SIGTERM"
[ $((SECONDS - t0)) -le 60 ] || fail "$name: the run took $((SECONDS - t0)) s to stop"
[ "$RC" = 1 ] || fail "$name: exit status $RC, expected 1 (ports did not finish)"
pl_expect_line "$name" "$WORK/$name.err" "error Confirm: Realy Stop the process ?"
[ "$(tail -n 1 "$WORK/$name.out")" = end ] || fail "$name: the last line is not 'end'"
grep -q '^status .* OK$' "$WORK/$name.out" && fail "$name: a port was reported programmed"
grep -q '^status [0-3] COM[1-4]: \(factory test\|program MAC\)' "$WORK/$name.out" \
  && fail "$name: a stopped port went on to its next step"
pl_check_pool "$name" "$data/storedMAC.txt" "$pool"
pl_stop_sim
[ "$(grep -c '^mac-programmed none$' "$data/report.txt")" = 4 ] \
  || fail "$name: a device was sent a MAC address"

# The operator powers the devices off and on (a loader left inside a transfer waits
# for its blocks) and starts again: all four are programmed.
cp "$data/report.txt" "$data/report-stopped.txt"
pl_start_sim "$data" 4
pl_run again "$WIDE" "${job[@]}"
pl_stop_sim
[ "$RC" = 0 ] || fail "again: exit status $RC, expected 0"
pl_check_devices again "$data" 1,2,3,4 04:22:D1,04:22:D2,04:22:D3,04:22:D4 \
  || fail "again: devices (see above)"
pl_check_pool again "$data/storedMAC.txt" '02:5C:3A:04:22:D5\0\n02:5C:3A:04:22:FF\r\n'
PYTHONPATH="$PL_E2E_DIR" python3 - "$data/records.db" <<'EOF' >&2 || fail "records (see above)"
import sys
from devices_report import read_records
records = read_records(sys.argv[1])
runs = []
for r in records:
    if r["run_id"] not in runs:
        runs.append(r["run_id"])
errors = []
if len(runs) != 2:
    errors.append("records of %d runs, expected 2" % len(runs))
else:
    for run, verdict in zip(runs, ("stopped", "passed")):
        got = sorted((r["port"], r["verdict"]) for r in records if r["run_id"] == run)
        if got != [("COM%d" % n, verdict) for n in range(1, 5)]:
            errors.append("run %s: %r, expected four %s ports" % (run, got, verdict))
    for r in records[:4]:
        if not r["ended_at"] or r["mac"] is not None or r["fail_step"] != "download":
            errors.append("%s stopped: ended_at %r, mac %r, fail_step %r"
                          % (r["port"], r["ended_at"], r["mac"], r["fail_step"]))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
if [ "$failures" != 0 ]; then
  RC=1 pl_dump "$name" "$data"
  pl_dump again "$data"
fi
# ---- continuous production, stopped in the middle ----
name=continuous
cdata="$WORK/continuous"
# Each unit is taken out 2.5 s after it was programmed, with its port (an adapter built
# into the unit), and the next put in 2 s later, four units a slot; COM3's units refuse
# their address. The --units run below takes units out silently.
pl_start "$cdata" "$pool" 4 --shift 2500,gap=2000,units=4,vanish --fault COM3:fail=SYCXXMAC
timeout -k 10 300 "$WIDE" --dir "$cdata" --eeprom "$cdata/sample.vef" --program-mac \
  --fast-download --continuous > "$WORK/$name.out" 2> "$WORK/$name.err" &
CLI_PID=$!
# Stopped in COM1's fourth unit's cycle, three units passed.
for _ in $(seq 1800); do
  if [ "$(grep -c '^unit 0 [0-9]* passed' "$WORK/$name.out")" -ge 3 ]; then
    grep '^status 0 ' "$WORK/$name.out" | tail -n 1 | grep -q 'insert unit\|remove unit\| OK$' ||
      break
  fi
  kill -0 "$CLI_PID" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$CLI_PID"
RC=0
wait "$CLI_PID" || RC=$?
CLI_PID=""
pl_stop_sim
[ "$RC" = 1 ] || fail "$name: exit status $RC, expected 1 (COM3's units failed)"
grep -q '^status 0 COM1: insert unit$' "$WORK/$name.out" || fail "$name: no 'insert unit'"
grep -q '^status 0 COM1: remove unit - 1 passed, 0 failed$' "$WORK/$name.out" \
  || fail "$name: no 'remove unit' with the slot's count"
PYTHONPATH="$PL_E2E_DIR" python3 - "$cdata/records.db" "$cdata/report.txt" "$WORK/$name.out" \
  "$cdata/storedMAC.txt" <<'EOF' >&2 || fail "$name: records (see above)"
import sys
from devices_report import read_records
records = read_records(sys.argv[1])
errors = []
# The units each slot held, from the devices' report ("unit N key=value ...").
units, com = {}, None
for line in open(sys.argv[2], encoding="latin-1").read().splitlines():
    if line.startswith("device "):
        com = line.split()[1]
    elif line.startswith("unit ") and com:
        fields = dict(f.split("=", 1) for f in line.split()[2:] if "=" in f)
        units.setdefault(com, []).append(fields)
    elif line.startswith("unit-violation ") or line.startswith("violation "):
        errors.append("%s refused something: %s" % (com, line))
board = [l.split() for l in open(sys.argv[3], encoding="latin-1") if l.startswith("unit ")]
for n in range(1, 5):
    com = "COM%d" % n
    mine = [r for r in records if r["port"] == com]
    cycles = [r["cycle"] for r in mine]
    if cycles != list(range(1, len(mine) + 1)):
        errors.append("%s: cycles %r, expected 1.. in order" % (com, cycles))
    held = units.get(com, [])
    # A unit put in just before the Stop may not have been started.
    if not (len(held) - 1 <= len(mine) <= len(held)):
        errors.append("%s: %d records for %d units" % (com, len(mine), len(held)))
    ended = [r for r in mine if r["verdict"] in ("passed", "failed")]
    told = [b for b in board if b[1] == str(n - 1)]
    if len(told) != len(ended):
        errors.append("%s: %d unit lines for %d ended records" % (com, len(told), len(ended)))
    for r in mine:
        if r["verdict"] == "passed":
            got = held[r["cycle"] - 1].get("mac-programmed") if r["cycle"] <= len(held) else None
            if got is None or got.upper() != (r["mac"] or "").upper():
                errors.append("%s unit %d: record mac %r, the unit got %r"
                              % (com, r["cycle"], r["mac"], got))
if sum(1 for r in records if r["port"] == "COM1" and r["verdict"] == "passed") < 3:
    errors.append("COM1: fewer than three passed units")
if any(r["verdict"] == "passed" for r in records if r["port"] == "COM3"):
    errors.append("COM3: a unit that refused its address passed")
if not any(r["verdict"] == "stopped" for r in records):
    errors.append("no unit recorded stopped")
if any(r["verdict"] == "unfinished" for r in records):
    errors.append("records left unfinished")
macs = [r["mac"] for r in records if r["mac"]]
if len(set(macs)) != len(macs):
    errors.append("an address recorded twice: %r" % macs)
# Every address that left the pool went to a unit's record.
nxt = open(sys.argv[4], "rb").read()[:17].decode()
taken = int(nxt.replace(":", ""), 16) - 0x025C3A0422D1
if taken != len(macs):
    errors.append("%d addresses left the pool, %d units recorded with one" % (taken, len(macs)))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
[ "$failures" != 0 ] && RC=1 pl_dump "$name" "$cdata"

# --units N ends the run by itself once N units have passed; every one passed: 0.
name=units
udata="$WORK/units"
pl_start "$udata" "$pool" 2 --shift 2000,gap=1500
pl_run "$name" "$WIDE" --dir "$udata" --eeprom "$udata/sample.vef" --program-mac \
  --fast-download --continuous --units 3
pl_stop_sim
[ "$RC" = 0 ] || fail "$name: exit status $RC, expected 0"
passed="$(grep -c '^unit [01] [0-9]* passed ' "$WORK/$name.out")"
[ "$passed" -ge 3 ] || fail "$name: $passed units passed, expected at least 3"
grep -q '^unit [01] [0-9]* failed' "$WORK/$name.out" && fail "$name: a unit failed"
[ "$failures" != 0 ] && RC=1 pl_dump "$name" "$udata"
pl_finish "pipeline stopped and run again, continuous production stopped"
