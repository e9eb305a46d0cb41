#!/usr/bin/env bash
# production-cli and the job files end to end: the job dialog's checks and the
# stored job file, a pool that another process holds (flock), and the same pool
# once released. Runs inside a private network namespace without a 192.168.1.x
# address, so no run ever starts (the address check refuses it).
#   test_macpool_held.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
CLI="$BUILD/production-cli"

if [ -z "${PT_MACPOOL_E2E_NETNS:-}" ]; then
  if ! unshare -rn true 2>/dev/null; then
    echo "FAIL: cannot create a private network namespace (unshare -rn failed);" \
         "this test runs production-cli inside one" >&2
    exit 1
  fi
  export PT_MACPOOL_E2E_NETNS=1
  exec unshare -rn bash "$0" "$@"
fi
ip link set lo up

WORK="$(mktemp -d /tmp/pt_macpool_e2e.XXXXXX)"
trap 'exec 9>&- 2>/dev/null; rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

POOL="$WORK/storedMAC.txt"
POOL_BYTES='02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D1\r\n'
printf "$POOL_BYTES" > "$POOL"
printf 'Vendor: acme\r\nConsole: 1\r\n' > "$WORK/storedCfg.txt"
printf x > "$WORK/dev.vef"  # images the job accepts (not empty)
printf x > "$WORK/dev.vff"

# 1. A failed check of the dialog: its message, exit 2, storedCfg.txt untouched.
"$CLI" --dir "$WORK" --eeprom "$WORK/dev.bin" >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" = 2 ] || fail "bad eeprom ending: exit $rc, expected 2"
grep -qx 'error Error: eeprom need .vef' "$WORK/err" || fail "no 'eeprom need .vef' on stderr: $(cat "$WORK/err")"
[ "$(od -An -c "$WORK/storedCfg.txt" | tr -d ' \n')" = 'Vendor:acme\r\nConsole:1\r\n' ] ||
  fail "storedCfg.txt changed by a failed check"

# 2. The pool held by another process: the load fails, the pool file is untouched.
exec 9<>"$POOL"
flock -n 9 || fail "could not lock the pool file for the test"
"$CLI" --dir "$WORK" --eeprom "$WORK/dev.vef" --firmware "$WORK/dev.vff" --baud 38400 \
  --program-mac >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" = 2 ] || fail "held pool: exit $rc, expected 2"
grep -q 'MAC initialize failed: -1' "$WORK/out" || fail "held pool: no 'MAC initialize failed: -1': $(cat "$WORK/out")"
grep -q 'get MAC from storedMAC.txt failed' "$WORK/err" || fail "held pool: no error box: $(cat "$WORK/err")"
cmp -s "$POOL" <(printf "$POOL_BYTES") || fail "held pool: the pool file changed"
# The dialog's OK passed before the pool was needed: the job file is saved, byte for byte.
cmp -s "$WORK/storedCfg.txt" \
  <(printf 'Vendor: acme\r\nEEPROM: %s\r\nFirmware: %s\r\nConsole: 2\r\n' "$WORK/dev.vef" "$WORK/dev.vff") ||
  fail "storedCfg.txt after OK: $(od -c "$WORK/storedCfg.txt" | head -5)"

# 3. Released: the same job shows the pool's range (and stops at the address check).
exec 9>&-
"$CLI" --dir "$WORK" --no-eeprom --no-firmware --program-mac >"$WORK/out" 2>"$WORK/err"
rc=$?
[ "$rc" = 2 ] || fail "released pool: exit $rc, expected 2 (refused by the address check)"
grep -q 'available 02:5C:3A:04:22:D1 ~ 02:5C:3A:04:22:D1' "$WORK/out" ||
  fail "released pool: no range line: $(cat "$WORK/out")"
grep -q 'System IP should be' "$WORK/err" || fail "released pool: the address check did not refuse"
cmp -s "$POOL" <(printf "$POOL_BYTES") || fail "released pool: no address may be taken without a run"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "PASS"
