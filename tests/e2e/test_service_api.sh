#!/usr/bin/env bash
# The station's service end to end, on sixteen simulated devices inside a private
# network namespace: production-cli --serve with a read and a control token.
#  - rights: no or a wrong token is 401, the read token reads state, events and
#    records and gets 403 for every command;
#  - line-client sets up the job (the firmware and the MAC from the pool, which the
#    station was not started with), presses Start and prints a result for every unit;
#    its lines are the production records, the devices got what they should;
#  - meanwhile requests no line controller would send: malformed JSON, unknown fields,
#    oversized body and head, garbage, a client sending a byte a second, 200
#    connections at once, more subscribers than allowed and one that never reads its
#    stream; every port still passes and the station answers as before;
#  - a second run stopped in the middle through POST /api/v1/stop: the run ends, the
#    pool file gives out no address beyond those the records show were taken;
#  - SIGTERM ends the service with status 0.
#   test_service_api.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

CHECK=(python3 "$PL_E2E_DIR/service_check.py")
RECORDS="$BUILD/production-records"
name=serve
data="$WORK/service"
pl_make_data "$data" "$PL_POOL"
# 100 blocks of firmware with the pause after each: the run lasts long enough for the
# hostile requests and gives a subscriber that never reads thousands of events.
head -c $((100 * 1024)) /dev/urandom > "$data/sample.vff"
pl_start_sim "$data" 16
for t in read control; do
  (umask 077 && python3 -c 'import secrets; print(secrets.token_urlsafe(24))' > "$WORK/$t.token")
done
client() {  # line-client with the control token
  python3 "$SRC/src/tools/line_client.py" --url "$URL" --token-file "$WORK/control.token" "$@"
}

timeout -k 10 600 "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware \
  --station-name service-e2e --serve 127.0.0.1:0 --read-token-file "$WORK/read.token" \
  --control-token-file "$WORK/control.token" > "$WORK/$name.out" 2> "$WORK/$name.err" &
CLI_PID=$!
URL=""
for _ in $(seq 200); do
  URL="$(sed -n 's|^service \(http://127\.0\.0\.1:[0-9]*\)/$|\1|p' "$WORK/$name.out")"
  [ -n "$URL" ] && break
  kill -0 "$CLI_PID" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$URL" ]; then
  RC=none pl_dump "$name" "$data"
  fail "no 'service http://127.0.0.1:PORT/' line within 20 s"
  pl_finish "service API"
fi

# ---- rights ----
"${CHECK[@]}" rights "$URL" "$WORK/read.token" "$WORK/control.token" || fail "rights (see above)"

# ---- a run set up and started by the client, hostile requests beside it ----
client run --firmware "$data/sample.vff" --program-mac > "$WORK/run1.txt" 2> "$WORK/run1.err" &
RUN_PID=$!
for _ in $(seq 100); do
  grep -q 'Download Firmware\.\.\.2/' "$WORK/$name.out" && break
  sleep 0.2
done
"${CHECK[@]}" hostile "$URL" "$WORK/read.token" "$WORK/control.token" || fail "hostile requests (see above)"
RC=0
wait "$RUN_PID" || RC=$?
before=$failures  # the board lines tell about the run, not about the requests beside it
[ "$RC" = 0 ] || fail "run: line-client exit status $RC, expected 0: $(cat "$WORK/run1.err")"
[ "$(tail -n 1 "$WORK/run1.txt")" = "done 16 passed 0 failed" ] \
  || fail "run: last line '$(tail -n 1 "$WORK/run1.txt")'"
[ "$(grep -c '^unit COM[0-9]* 0 passed 02:5C:3A:04:22:[D-E][0-9A-F] download=[0-9.]*s loopback=[0-9.]*s mac=[0-9.]*s$' \
  "$WORK/run1.txt")" = 16 ] || fail "run: not 16 unit lines with the address and the step times"
"${CHECK[@]}" after "$URL" "$WORK/read.token" "$WORK/run1.txt" 02:5C:3A:04:22:E1 \
  || fail "run: the state after it (see above)"
pl_stop_sim  # the devices write their report
pl_check_devices "$name" "$data" "$(seq -s, 16)" \
  "$(printf '04:22:%02X,' $(seq 209 224) | sed 's/,$//')" || fail "run: devices (see above)"
pl_check_records "$name" "$data" "$(seq -s, 16)" service-e2e || fail "run: records (see above)"
"$RECORDS" --dir "$data" export --json > "$WORK/records1.jsonl" || fail "production-records failed"
"${CHECK[@]}" compare "$WORK/run1.txt" "$WORK/records1.jsonl" 1 passed || fail "run: unit lines (see above)"
client records --verdict passed > "$WORK/api-records.txt" || fail "line-client records failed"
"${CHECK[@]}" compare "$WORK/api-records.txt" "$WORK/records1.jsonl" 1 || fail "GET /records (see above)"
pl_check_pool "$name" "$data/storedMAC.txt" '02:5C:3A:04:22:E1\0\n02:5C:3A:04:22:FF\r\n'
[ "$failures" != "$before" ] && { RC=1 pl_dump "$name" "$data"; cat "$WORK/run1.txt" "$WORK/run1.err" >&2; }

# ---- a second run, stopped in the middle through the API ----
pl_start_sim "$data" 16
lines="$(wc -l < "$WORK/$name.out")"
before=$failures
client run > "$WORK/run2.txt" 2> "$WORK/run2.err" &
RUN_PID=$!
for _ in $(seq 300); do
  tail -n +"$lines" "$WORK/$name.out" | grep -q 'Download Firmware\.\.\.2/' && break
  sleep 0.2
done
client stop || fail "stop: line-client exit status $?"
t0=$SECONDS
RC=0
wait "$RUN_PID" || RC=$?
echo "stop: the run ended $((SECONDS - t0)) s after POST /api/v1/stop"
[ $((SECONDS - t0)) -le 60 ] || fail "stop: the run took $((SECONDS - t0)) s to end"
[ "$RC" = 1 ] || fail "stop: line-client exit status $RC, expected 1: $(cat "$WORK/run2.err")"
grep -q '^unit [^ ]* 0 passed' "$WORK/run2.txt" && fail "stop: a unit passed a run stopped in its downloads"
sleep 2
pl_stop_sim
"$RECORDS" --dir "$data" export --json > "$WORK/records2.jsonl" || fail "production-records failed"
"${CHECK[@]}" compare "$WORK/run2.txt" "$WORK/records2.jsonl" 2 || fail "stop: unit lines (see above)"
# Every address that left the pool is in a record, none twice, and the devices were
# sent only the addresses of the second run's records.
PYTHONPATH="$PL_E2E_DIR" python3 - "$WORK/records2.jsonl" "$data/storedMAC.txt" "$data/report.txt" \
  <<'EOF' || fail "stop: pool (see above)"
import json, sys
from devices_report import read_report
records = [json.loads(l) for l in open(sys.argv[1])]
macs = [r["mac"] for r in records if r["mac"]]
taken = int(open(sys.argv[2], "rb").read()[:17].decode().replace(":", ""), 16) - 0x025C3A0422D1
sent = sorted(d.get("mac-programmed") for d in read_report(sys.argv[3]).values()
              if d.get("mac-programmed") != "none")
second = sorted(r["mac"] for r in records if r["mac"] and r["run_id"] == records[-1]["run_id"])
if len(set(macs)) != len(macs) or taken != len(macs) or sent != second:
    print("FAIL: %d addresses left the pool, the records hold %r, the devices got %r"
          % (taken, macs, sent), file=sys.stderr)
    sys.exit(1)
EOF
RC=0
client stop 2> "$WORK/stop2.err" || RC=$?
[ "$RC" = 2 ] || fail "stop without a run: exit status $RC, expected 2 (refused)"
[ "$failures" != "$before" ] && { RC=1 pl_dump "$name" "$data"; cat "$WORK/run2.txt" "$WORK/run2.err" >&2; }

# ---- the end of the service ----
kill -TERM "$CLI_PID"
RC=0
wait "$CLI_PID" || RC=$?
CLI_PID=""
[ "$RC" = 0 ] || fail "production-cli --serve: exit status $RC after SIGTERM, expected 0"
pl_finish "service API"
