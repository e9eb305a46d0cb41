#!/usr/bin/env bash
# Unit identity end to end on four simulated devices inside a private network
# namespace: each unit's serial given per port, a manufacturing system on 127.0.0.1
# that rejects one of them at check-in, and a label printer on 127.0.0.1.
#  - the rejected unit takes no address and no image, and its record says why;
#  - every passed unit's record carries its serial and its check-out; its PNG label
#    decodes (zbarimg) to its recorded address and serial byte for byte, and the
#    printer got ZPL with the same data;
#  - a reprint from the records decodes the same and is recorded;
#  - a serial that passed is refused in the next run, before any port starts;
#  - in continuous production, queued serials go to the units in the order they come.
#   test_unit_identity.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

if ! command -v zbarimg > /dev/null; then
  fail "zbarimg (zbar-tools) is not installed: the labels cannot be checked"
  pl_finish "unit identity"
fi
CHECK=(python3 "$PL_E2E_DIR/identity_check.py")
REJECT=SN-0003
name=identity
data="$WORK/identity"
pl_make_data "$data" "$PL_POOL"
pl_start_sim "$data" 4
"${CHECK[@]}" serve "$WORK" "$REJECT" > "$WORK/factory.out" 2>&1 &
FACTORY_PID=$!
BENCH_PIDS+=("$FACTORY_PID")
for _ in $(seq 100); do
  [ -f "$WORK/checkin.port" ] && [ -f "$WORK/printer.port" ] && break
  sleep 0.1
done
cat > "$data/station.conf" <<CONF
checkin-url = http://127.0.0.1:$(cat "$WORK/checkin.port")/mes/units
checkin-timeout-ms = 3000
label-printer = 127.0.0.1:$(cat "$WORK/printer.port")
CONF
cat > "$data/unit.lbl" <<'TPL'
title = {mac}
line = SN {serial}
line = {station} {date}
TPL
job=(--dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" --program-mac --scan-serial
     --serial-pattern 'SN-[0-9]{4}' --label-template "$data/unit.lbl"
     --station-name identity-e2e)
pl_run "$name" "$WIDE" "${job[@]}" --serial COM1=SN-0001 --serial COM2=SN-0002 \
  --serial COM3=$REJECT --serial SN-0104
[ "$RC" = 1 ] || { pl_dump "$name" "$data"; fail "first run: exit status $RC, expected 1 (one unit rejected)"; }
"${CHECK[@]}" check "$WORK" "$data" "$REJECT" || { pl_dump "$name" "$data"; fail "first run (see above)"; }
# A reprint from the records: the same label again, kept with the unit's events.
"$BUILD/production-records" --dir "$data" reprint --serial SN-0002 > "$WORK/reprint.out" 2>&1 \
  || fail "reprint: $(cat "$WORK/reprint.out")"
python3 - "$data/records.db" <<'PY' || fail "reprint: not recorded, or its label does not decode to the unit"
import sqlite3, subprocess, sys
db = sqlite3.connect(sys.argv[1])
mac, = db.execute("SELECT mac FROM units WHERE serial = 'SN-0002'").fetchone()
rows = db.execute("SELECT sent_to, ok FROM unit_events WHERE kind = 'reprint' AND serial = 'SN-0002'").fetchall()
pngs = [r[0] for r in rows if r[0].endswith(".png") and r[1]]
assert len(rows) == 2 and len(pngs) == 1, rows
decoded = subprocess.run(["zbarimg", "--quiet", "--raw", pngs[0]], capture_output=True, text=True).stdout
assert sorted(decoded.split("\n")[:3]) == sorted([mac, "SN-0002", mac + " SN-0002"]), decoded
PY
pl_stop_sim
pl_check_devices "$name" "$data" "1,2,4" "04:22:D1,04:22:D2,04:22:D3" || fail "devices (see above)"
awk '/^device COM3$/ { f = 1 } f && /^end$/ { exit } f' "$data/report.txt" > "$WORK/com3.txt"
for line in 'firmware none' 'eeprom none' 'mac-programmed none' 'mac-writes 0'; do
  grep -qxF "$line" "$WORK/com3.txt" || fail "the rejected unit on COM3: no '$line' in its report"
done

# A unit scanned again after it passed is refused unless it is re-worked.
pl_start_sim "$data" 4
pl_run again "$WIDE" "${job[@]}" --serial COM1=SN-0001 --serial COM2=SN-0202 \
  --serial COM3=SN-0203 --serial COM4=SN-0204
[ "$RC" = 2 ] || fail "second run: exit status $RC, expected 2 (a serial that passed)"
grep -q '^message serial refused: SN-0001 has passed before' "$WORK/again.out" \
  || { pl_dump again "$data"; fail "second run: no refusal of SN-0001"; }
pl_stop_sim

# Continuous production: two slots, units swapped in and out; the serials queued for the
# next slot that asks go to the units in the order they come, one each.
name=slots
sdata="$WORK/slots"
pl_start "$sdata" "$PL_POOL" 2 --shift 2000,gap=1500
cp "$data/station.conf" "$data/unit.lbl" "$sdata/"
pl_run "$name" "$WIDE" --dir "$sdata" --eeprom "$sdata/sample.vef" --no-firmware --program-mac \
  --fast-download --continuous --units 3 --scan-serial --label-template "$sdata/unit.lbl" \
  --station-name identity-e2e --serial SN-0301 --serial SN-0302 --serial SN-0303 --serial SN-0304
pl_stop_sim
[ "$RC" = 0 ] || { pl_dump "$name" "$sdata"; fail "continuous: exit status $RC, expected 0"; }
python3 - "$sdata/records.db" <<'PY' || fail "continuous: the units' serials or labels (see above)"
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
units = db.execute("SELECT serial, verdict, mac, started_at FROM units ORDER BY started_at").fetchall()
serials = [u[0] for u in units]
assert serials == ["SN-030%d" % (i + 1) for i in range(len(units))], units
passed = [u for u in units if u[1] == "passed"]
assert len(passed) >= 3 and len({u[2] for u in passed}) == len(passed), units
for serial, _, mac, _ in passed:
    ok = db.execute("SELECT count(*) FROM unit_events WHERE kind = 'label' AND ok AND serial = ? "
                    "AND mac = ?", (serial, mac)).fetchone()[0]
    assert ok == 2, (serial, ok)
PY
pl_finish "unit identity"
