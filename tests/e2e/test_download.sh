#!/usr/bin/env bash
# A download-only job (firmware and EEPROM image, no loopback test, no MAC programming)
# by the headless runner against simulated devices inside a private network namespace:
#  1. four devices: every port ends downloaded ("... - Download OK"), exit status 0,
#     every device holds exactly the expected bytes (firmware padded with zeros to whole
#     blocks, the EEPROM image with the port's temporary MAC in bytes 6..11), and every
#     port's log ends with its end entry;
#  2. the same with COM3 silent: COM3 fails with "no response" after its eleven
#     wake-up writes (about 75 s), the other three are downloaded, exit status 1;
#  3. fast download with COM2's loader losing what arrives while it writes a block:
#     COM2's log shows the fall-back to the pause, every image still arrives intact,
#     and storedCfg.txt keeps the choice.
#   test_download.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

# check_downloads <name> <data dir> <downloaded COM numbers> <silent COM numbers>
# (comma-separated, either may be empty)
check_downloads() {
  PYTHONPATH="$PL_E2E_DIR" python3 - "$WORK/$1.out" "$2/report.txt" "$2/sample.vff" "$2/sample.vef" "$3" "$4" <<'EOF' >&2
import re, sys
from devices_report import check_images, last_status as read_status, padded, read_report
out_path, report_path, fw_path, ee_path, good, silent = sys.argv[1:7]
errors = []
reports = read_report(report_path)
last_status = read_status(out_path)

def ports(text):
    return [int(c) for c in text.split(",") if c]

fw = padded(open(fw_path, "rb").read())
ee = padded(open(ee_path, "rb").read())
for n in ports(good):
    com, index = "COM%d" % n, n - 1
    r = reports.get(com)
    if r is None:
        errors.append("%s: not in the devices' report" % com)
        continue
    check_images(errors, r, com, index, fw, ee)
    if r.get("mac-programmed") != "none":
        errors.append("%s: was sent a MAC address (%s)" % (com, r.get("mac-programmed")))
    status = last_status.get(index, "")
    if not re.fullmatch(r"%s: .*%%GLM.* - Download OK" % com, status):
        errors.append("%s: last status '%s', expected the %%GLM line and ' - Download OK'"
                      % (com, status))
for n in ports(silent):
    com, index = "COM%d" % n, n - 1
    r = reports.get(com, {})
    if r.get("eeprom") != "none" or r.get("firmware") != "none":
        errors.append("%s (silent): received an image" % com)
    if last_status.get(index) != "%s: no response" % com:
        errors.append("%s (silent): last status '%s'" % (com, last_status.get(index)))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
}

# check_logs <name> <data dir> <COM numbers>: each downloaded port's log holds both
# transfers and ends with the end entry of a finished download.
check_logs() {
  local n log
  for n in ${3//,/ }; do
    log="$2/logs/logCOM$n.txt"
    if [ ! -s "$log" ]; then
      fail "$1: $log missing"
      continue
    fi
    grep -q "COM$n: Xmodem firmware: 0" "$log" || fail "$1: $log has no firmware transfer"
    grep -q "COM$n: Xmodem eeprom: 0" "$log" || fail "$1: $log has no EEPROM transfer"
    [ "$(tail -n 1 "$log")" = "$(printf 'COM%d: Thread End. recvStatus:0, processFlag:4\r' "$n")" ] \
      && [ "$(tail -c 2 "$log" | od -An -tx1 | tr -d ' ')" = 0d0a ] \
      || fail "$1: $log does not end with the end entry of a finished download"
  done
}

# run <name> <expected exit status> <downloaded ports> <silent ports> [devicesim options]
run() {
  local name="$1" want="$2" good="$3" silent="$4"
  shift 4
  local data="$WORK/$name"
  pl_start "$data" "$PL_POOL" 4 "$@"
  local t0=$SECONDS
  pl_run "$name" "$CLI" --dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" \
    --no-loopback --log "$data/logs" "${CLI_EXTRA[@]}"
  echo "$name: run took $((SECONDS - t0)) s"
  pl_stop_sim
  local before=$failures
  [ "$RC" = "$want" ] || fail "$name: exit status $RC, expected $want"
  [ "$(tail -n 1 "$WORK/$name.out")" = end ] || fail "$name: the last line is not 'end'"
  [ -s "$WORK/$name.err" ] && fail "$name: message boxes: $(cat "$WORK/$name.err")"
  pl_expect_line "$name" "$WORK/$name.out" "mac 1 0 4 COM Port detected\\r\\n"
  grep -q '^status [0-9]* COM[0-9]*: \(loopback\|program MAC\)' "$WORK/$name.out" \
    && fail "$name: a step after the download was started"
  check_downloads "$name" "$data" "$good" "$silent" || fail "$name: devices (see above)"
  check_logs "$name" "$data" "$good"
  # The pool is not touched by a download-only job.
  pl_check_pool "$name" "$data/storedMAC.txt" '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n'
  [ "$failures" = "$before" ] || pl_dump "$name" "$data"
}

CLI_EXTRA=()
run all-good 0 1,2,3,4 ""
run one-silent 1 1,2,4 3 --fault COM3:silent
CLI_EXTRA=(--fast-download)
run fast-loss 0 1,2,3,4 "" --fault COM2:write-loss=50
grep -q "COM2: Xmodem firmware: block [0-9]* refused, 200 ms pause after every packet from here on" \
  "$WORK/fast-loss/logs/logCOM2.txt" || fail "fast-loss: COM2's log does not show the fall-back"
grep -l "refused, 200 ms pause" "$WORK"/fast-loss/logs/logCOM[134].txt \
  && fail "fast-loss: a port without the fault fell back"
grep -q "^FastDownload: 1" "$WORK/fast-loss/storedCfg.txt" || fail "fast-loss: the choice is not kept"
pl_finish "download end to end"
