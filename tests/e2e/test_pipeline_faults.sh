#!/usr/bin/env bash
# Failing devices fail only their own port: one run of the whole job on seven simulated
# devices inside a private network namespace, where COM2 refuses the loopback
# connection, COM3 echoes a wrong byte and COM4 stays silent, while COM5 puts zero
# bytes into its lines, COM6 prints an unrelated line before every answer and COM7
# prints every line in two pieces. COM1 and COM5..COM7 are programmed, the others end
# with their failure texts, the pool gives out exactly four addresses and the failed
# devices are never sent a MAC address. Each port leaves one production record: the
# failed ones with their failure text, step and code, the others passed. The silent
# device takes the download worker's full handshake (about 70 s).
#   test_pipeline_faults.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

name=faults
data="$WORK/$name"
pl_start "$data" "$PL_POOL" 7 --fault COM2:refuse --fault COM3:echo-wrong --fault COM4:silent \
  --fault COM5:nul --fault COM6:noise --fault COM7:split
pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" \
  --program-mac --log "$data/logs"
pl_stop_sim

[ "$RC" = 1 ] || fail "exit status $RC, expected 1 (some ports failed)"
[ "$(tail -n 1 "$WORK/$name.out")" = end ] || fail "the last line is not 'end'"
last_status() { grep "^status $1 " "$WORK/$name.out" | tail -n 1; }
[ "$(last_status 1)" = "status 1 COM2: loopback test failed: -6" ] \
  || fail "COM2 (refused connection): last status '$(last_status 1)'"
pl_expect_line "refused connection" "$WORK/$name.out" "message 111"
[ "$(last_status 2)" = "status 2 COM3: loopback test failed: -9" ] \
  || fail "COM3 (wrong echo): last status '$(last_status 2)'"
pl_expect_line "wrong echo" "$WORK/$name.out" "message not match"
[ "$(last_status 3)" = "status 3 COM4: no response" ] \
  || fail "COM4 (silent): last status '$(last_status 3)'"
[ "$(grep -c '^status 3 COM4: write \$SES$' "$WORK/$name.out")" = 6 ] \
  || fail "COM4 (silent): $(grep -c '^status 3 COM4: write \$SES$' "$WORK/$name.out") wake-ups with \$SES, expected 6"
grep -q '^status [123] COM[234]: program MAC' "$WORK/$name.out" \
  && fail "a failed port went on to MAC programming"

# COM1 and the devices with odd but valid output went through; only their four
# addresses left the pool.
pl_check_devices "$name" "$data" 1,5,6,7 04:22:D1,04:22:D2,04:22:D3,04:22:D4 \
  || fail "COM1, COM5..COM7 (see above)"
pl_check_pool "$name" "$data/storedMAC.txt" '02:5C:3A:04:22:D5\0\n02:5C:3A:04:22:FF\r\n'
# The failed devices: COM2 and COM3 were downloaded but never got a MAC address; the
# silent COM4 got nothing.
block() { awk -v d="device $1" '$0 == d {p = 1} p && /^end$/ {exit} p' "$data/report.txt"; }
for com in COM2 COM3; do
  block $com | grep -qx 'mac-programmed none' || fail "$com was sent a MAC address"
  block $com | grep -q '^eeprom 1024 ' || fail "$com did not receive its EEPROM image"
done
block COM4 | grep -qx 'state dead' || fail "COM4 is not the silent device"
block COM4 | grep -qx 'eeprom none' || fail "COM4 received an image"

# The records: one per port, the failed ones with the text the operator saw.
PYTHONPATH="$PL_E2E_DIR" python3 - "$data/records.db" <<'EOF' >&2 || fail "records (see above)"
import sys
from devices_report import read_records
want = {
    "COM2": ("failed", "loopback", -6, "COM2: loopback test failed: -6"),
    "COM3": ("failed", "loopback", -9, "COM3: loopback test failed: -9"),
    "COM4": ("failed", "download", None, "COM4: no response"),
}
records = {r["port"]: r for r in read_records(sys.argv[1])}
errors = []
if sorted(records) != ["COM%d" % n for n in range(1, 8)]:
    errors.append("records of %s" % sorted(records))
for com, (verdict, step, code, status) in want.items():
    r = records.get(com, {})
    got = (r.get("verdict"), r.get("fail_step"), r.get("fail_code"), r.get("last_status"))
    if got != (verdict, step, code, status):
        errors.append("%s: record %r, expected %r" % (com, got, (verdict, step, code, status)))
for com in ("COM1", "COM5", "COM6", "COM7"):
    r = records.get(com, {})
    got = (r.get("verdict"), r.get("fail_step"), r.get("last_status"))
    if got != ("passed", None, "%s: %%GLM %s\r OK" % (com, r.get("mac"))):
        errors.append("%s: record %r" % (com, got))
if records.get("COM4", {}).get("eeprom_sha256") is not None:
    errors.append("COM4: an image digest for a device that received nothing")
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF

[ "$failures" = 0 ] || pl_dump "$name" "$data"
pl_finish "pipeline with failing devices"
