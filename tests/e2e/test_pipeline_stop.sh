#!/usr/bin/env bash
# Stopping a run in the middle of the downloads (SIGTERM to the headless runner is a
# confirmed Stop), on four simulated devices inside a private network namespace: the
# run ends in order within a bounded time, no port is reported as programmed, no
# address leaves the pool and no device is sent a MAC address; every port leaves a
# record that says it was stopped. After the devices are powered off and on, a new run
# programs every one of them and leaves four passed records beside the stopped ones.
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
pl_finish "pipeline stopped and run again"
