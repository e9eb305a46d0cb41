#!/usr/bin/env bash
# production-cli end to end, inside a private network namespace: bad options, the
# workstation address check, a job without steps on three pseudo-terminal ports, the
# dispatcher log, Start pressed when the dialog left no job, and SIGTERM and SIGHUP as
# a confirmed Stop.
#   test_cli_run.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
CLI="$BUILD/production-cli"

if [ -z "${PT_CLI_E2E_NETNS:-}" ]; then
  if ! unshare -rn true 2>/dev/null; then
    echo "FAIL: cannot create a private network namespace (unshare -rn failed);" \
         "this test runs the station's address check inside one" >&2
    exit 1
  fi
  export PT_CLI_E2E_NETNS=1
  exec unshare -rn bash "$0" "$@"
fi

ip link set lo up
WORK="$(mktemp -d /tmp/pt_cli_e2e.XXXXXX)"
HOLDER=""
cleanup() {
  [ -n "$HOLDER" ] && kill "$HOLDER" 2>/dev/null && wait "$HOLDER" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_status() {  # name expected actual
  [ "$3" = "$2" ] || fail "$1: exit status $3, expected $2"
}
expect_line() {  # name file line
  grep -qxF -- "$3" "$2" || { fail "$1: no line '$3' in $2:"; cat "$2" >&2; }
}

# Three pseudo-terminals as COM1..COM3, held open (master side) by a small holder.
DATA="$WORK/data"
mkdir -p "$DATA/ports" "$WORK/logs"
cat > "$WORK/holdptys.py" <<'EOF'
import os, sys, time
ports_dir, count = sys.argv[1], int(sys.argv[2])
masters = []
for n in range(1, count + 1):
    master, slave = os.openpty()
    os.symlink(os.ttyname(slave), os.path.join(ports_dir, "COM%d" % n))
    os.close(slave)
    masters.append(master)
print("ready", flush=True)
while True:
    time.sleep(1)
EOF
python3 "$WORK/holdptys.py" "$DATA/ports" 3 > "$WORK/holder.out" 2>&1 &
HOLDER=$!
for _ in $(seq 100); do
  grep -q '^ready' "$WORK/holder.out" 2>/dev/null && break
  sleep 0.05
done
grep -q '^ready' "$WORK/holder.out" || { echo "FAIL: pseudo-terminal holder did not start" >&2; exit 1; }

NOSTEPS=(--dir "$DATA" --no-eeprom --no-firmware --no-loopback)

# ---- bad command lines: exit 2 before anything runs ----
for args in "--bogus" "--baud 9600" "--eeprom a.vef --no-eeprom" "--log /tmp --no-log" \
            "--program-mac --assign-mac 4:22:D1" "--eeprom" "--dir" "--dir $WORK/missing" \
            "--continuous --no-continuous" "--units 0" "--units 3x" "--units"; do
  # shellcheck disable=SC2086
  "$CLI" $args > "$WORK/out" 2> "$WORK/err"
  expect_status "options '$args'" 2 $?
  [ -s "$WORK/out" ] && fail "options '$args' printed board lines"
done
"$CLI" --help > "$WORK/out" 2>&1
expect_status "--help" 0 $?
grep -q -- "--assign-mac HH:HH:HH" "$WORK/out" || fail "--help shows no usage"
grep -q -- "--units N" "$WORK/out" || fail "--help does not show --units"

# ---- no 192.168.1.x address: Start is refused ----
"$CLI" "${NOSTEPS[@]}" > "$WORK/out" 2> "$WORK/err"
expect_status "no station address" 2 $?
expect_line "no station address" "$WORK/err" \
  'error Error: System IP should be 192.168.1.1~192.168.1.126\r\n or 192.168.1.128~192.168.1.254'
grep -q '^mac 1 0' "$WORK/out" && fail "no station address: ports were scanned"

ip addr add 192.168.1.10/24 dev lo

# ---- a job without steps: scan, three ports, end ----
timeout 60 "$CLI" "${NOSTEPS[@]}" > "$WORK/out" 2> "$WORK/err"
expect_status "job without steps" 0 $?
expect_line "job without steps" "$WORK/out" 'mac 1 0 COM Port detect...\r\n'
expect_line "job without steps" "$WORK/out" 'mac 1 0 3 COM Port detected\r\n'
expect_line "job without steps" "$WORK/out" 'message EEPROM: '
[ "$(tail -n 1 "$WORK/out")" = "end" ] || fail "job without steps: last line is not 'end'"
[ -s "$WORK/err" ] && { fail "job without steps: unexpected error lines"; cat "$WORK/err" >&2; }
grep -q '^Console: 0' "$DATA/storedCfg.txt" 2>/dev/null || fail "the confirmed job was not saved"

# ---- the same with the dispatcher log ----
timeout 60 "$CLI" "${NOSTEPS[@]}" --log "$WORK/logs" > "$WORK/out" 2> "$WORK/err"
expect_status "job with log" 0 $?
expect_line "job with log" "$WORK/out" "message Log file: $WORK/logs"
printf 'COM Port detect...\r\n3 COM Port detected\r\nStartThread end\r\n' > "$WORK/expected.log"
cmp -s "$WORK/expected.log" "$WORK/logs/startThread.txt" || fail "startThread.txt differs"

# ---- set-up refusals ----
"$CLI" --dir "$DATA" --eeprom "$WORK/none.vef" > "$WORK/out" 2> "$WORK/err"
expect_status "missing image" 2 $?
expect_line "missing image" "$WORK/err" "error Error: $WORK/none.vef not exists"
"$CLI" "${NOSTEPS[@]}" --log "$WORK/no-such-dir" > "$WORK/out" 2> "$WORK/err"
expect_status "bad log dir" 2 $?
expect_line "bad log dir" "$WORK/err" "error Error: invalid log file directory"
"$CLI" "${NOSTEPS[@]}" --program-mac > "$WORK/out" 2> "$WORK/err"
expect_status "no pool" 2 $?
expect_line "no pool" "$WORK/out" "mac 0 0 MAC initialize failed: -1"
expect_line "no pool" "$WORK/err" \
  'error Error: get MAC from storedMAC.txt failed\r\nPlease put the right file and try again'
# The dialog left no job: Start is pressed all the same and says why it refuses.
expect_line "no pool" "$WORK/err" 'error Error: Please Select Files first.'
printf '02:5C:3A:04:22:D2\r\n02:5C:3A:04:22:D1\r\n' > "$DATA/storedMAC.txt"
"$CLI" "${NOSTEPS[@]}" --program-mac > "$WORK/out" 2> "$WORK/err"
expect_status "used-up pool" 2 $?
expect_line "used-up pool" "$WORK/out" "mac 0 0 MAC not available"
expect_line "used-up pool" "$WORK/err" 'error Error: Please Select Files first.'
rm -f "$DATA/storedMAC.txt"

# ---- the dispatcher cannot create its log file: nothing scanned, exit 2 ----
mkdir -p "$WORK/badlog/startThread.txt"
timeout 60 "$CLI" "${NOSTEPS[@]}" --log "$WORK/badlog" > "$WORK/out" 2> "$WORK/err"
expect_status "dispatcher log" 2 $?
expect_line "dispatcher log" "$WORK/out" 'mac 1 0 startThread: create log file failed: 21'
grep -q 'COM Port detect' "$WORK/out" && fail "dispatcher log: ports were scanned"

# ---- SIGTERM or SIGHUP while waiting for a free port: a confirmed Stop, the run ends ----
EMPTY="$WORK/empty"
mkdir -p "$EMPTY/ports"
for sig in TERM HUP; do
  "$CLI" --dir "$EMPTY" --no-eeprom --no-firmware > "$WORK/out" 2> "$WORK/err" &
  CLI_PID=$!
  for _ in $(seq 100); do
    grep -q '^mac 1 0 0 COM Port detected' "$WORK/out" 2>/dev/null && break
    sleep 0.05
  done
  kill -"$sig" "$CLI_PID"
  status=0
  wait "$CLI_PID" || status=$?
  expect_status "stopped by SIG$sig" 1 "$status"
  expect_line "stopped by SIG$sig" "$WORK/err" "error Confirm: Realy Stop the process ?"
  [ "$(tail -n 1 "$WORK/out")" = "end" ] || fail "stopped by SIG$sig: last line is not 'end'"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "production-cli end to end: all checks passed"
