#!/usr/bin/env bash
# The station on simulated devices: installs what is missing, builds, creates a private
# network namespace with the station's address 192.168.1.10 and the devices' address
# 192.168.1.127, starts the device simulator with 4 devices in a demo data directory
# (sample images and a MAC pool made here) and runs the full three-step job:
# download, loopback test, MAC programming.
# With a display the production window opens (press "Select Files", tick "Program MAC
# address", OK, then Start); without one the headless runner runs the job and prints
# what the board shows.
#   scripts/demo.sh [--count N] [--cli] [--fault SPEC]...
#   --fault SPEC is handed to the simulator, e.g. --fault COM2:refuse (see
#   build/demo/devicesim --help for the faults)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
COUNT=4
FORCE_CLI=0
FAULTS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --count)
      [ $# -ge 2 ] || { echo "demo: --count needs a number" >&2; exit 2; }
      COUNT="$2"; shift 2 ;;
    --cli) FORCE_CLI=1; shift ;;
    --fault)
      [ $# -ge 2 ] || { echo "demo: --fault needs a SPEC such as COM2:refuse" >&2; exit 2; }
      FAULTS+=(--fault "$2"); shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$COUNT" in
  ''|*[!0-9]*) echo "demo: --count must be 1 to 16" >&2; exit 2 ;;
esac
if [ "$COUNT" -lt 1 ] || [ "$COUNT" -gt 16 ]; then
  echo "demo: --count must be 1 to 16 (the station serves 16 ports)" >&2
  exit 2
fi

if [ -z "${PT_DEMO_INSIDE:-}" ]; then
  bash "$ROOT/scripts/setup.sh"
  # The demo build widens the pool's permitted block (04:22:D1 .. 04:22:FF) so that
  # every simulated device gets an address of its own; the product's default block
  # holds the single address 04:22:D1.
  BUILD="$ROOT/build/demo"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPT_MAC_BLOCK_FIRST=271057 -DPT_MAC_BLOCK_LAST=271103 -DBUILD_TESTING=OFF >/dev/null
  GUI=0
  if [ -n "${DISPLAY:-}" ] && [ "$FORCE_CLI" = 0 ]; then GUI=1; fi
  targets=(production-cli devicesim eeprom-tool)
  [ "$GUI" = 1 ] && targets+=(production-tool)
  echo "demo: building ${targets[*]} in $BUILD"
  cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]}"

  DEMO="$BUILD/run"
  rm -rf "$DEMO"
  mkdir -p "$DEMO/logs"
  "$BUILD/eeprom-tool" new "$DEMO/sample.vef" --c-device-name DEMO-DEVICE \
    --c-ip-address 192.168.1.127 --c-net-mask 255.255.255.0 >/dev/null
  head -c 20000 /dev/urandom > "$DEMO/sample.vff"
  printf '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n' > "$DEMO/storedMAC.txt"
  printf 'EEPROM: %s\r\nFirmware: %s\r\nConsole: 0\r\n' "$DEMO/sample.vef" "$DEMO/sample.vff" \
    > "$DEMO/storedCfg.txt"
  rc=0
  env -u PT_IN_NETNS PT_DEMO_INSIDE=1 PT_DEMO_BUILD="$BUILD" PT_DEMO_DIR="$DEMO" \
    PT_DEMO_COUNT="$COUNT" PT_DEMO_GUI="$GUI" \
    bash "$ROOT/scripts/netns.sh" -- bash "$0" "${FAULTS[@]}" || rc=$?
  if [ "$rc" = 97 ]; then
    echo "demo: the devices' network needs a private network namespace (unshare -rn)," \
         "which this machine does not allow" >&2
  fi
  exit "$rc"
fi

# ---- inside the private network namespace ----
BUILD="$PT_DEMO_BUILD"
DEMO="$PT_DEMO_DIR"
SIMOUT="$DEMO/devicesim.out"
SIM=""
stop_sim() {
  [ -n "$SIM" ] || return 0
  kill -TERM "$SIM" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$SIM" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$SIM" 2>/dev/null || true
  wait "$SIM" 2>/dev/null || true
  SIM=""
}
CLI=""
cleanup() {
  if [ -n "$CLI" ]; then
    # SIGTERM is a confirmed Stop for the headless runner: the run ends in order.
    kill -TERM "$CLI" 2>/dev/null || true
    wait "$CLI" 2>/dev/null || true
    CLI=""
  fi
  stop_sim
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$BUILD/devicesim" --dir "$DEMO" --count "$PT_DEMO_COUNT" --ip 192.168.1.127 \
  --report "$DEMO/devices-report.txt" "${FAULTS[@]}" > "$SIMOUT" 2> "$DEMO/devicesim.err" &
SIM=$!
for _ in $(seq 100); do
  grep -q '^ready' "$SIMOUT" 2>/dev/null && break
  kill -0 "$SIM" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^ready' "$SIMOUT" 2>/dev/null; then
  echo "demo: the device simulator did not start:" >&2
  cat "$DEMO/devicesim.err" >&2
  exit 1
fi
echo "demo: $PT_DEMO_COUNT simulated devices on $(cd "$DEMO/ports" && ls | sort -V | tr '\n' ' ')(in $DEMO/ports)"
[ ${#FAULTS[@]} -gt 0 ] && echo "demo: faults: ${FAULTS[*]}"
echo "demo: station 192.168.1.10, devices' loopback echo 192.168.1.127 (private network namespace)"
echo "demo: MAC pool before: $(head -c 17 "$DEMO/storedMAC.txt") .. 02:5C:3A:04:22:FF"
# Devices are powered up before the operator starts the job.
sleep 2

status=0
if [ "$PT_DEMO_GUI" = 1 ]; then
  echo "demo: opening the production window. Press 'Select Files' (the sample images are"
  echo "      preset), tick 'Program MAC address', OK, then 'Start'. Close the window to"
  echo "      end the demo."
  "$BUILD/production-tool" --dir "$DEMO" || status=$?
else
  echo "demo: running the job: download firmware and EEPROM, loopback test, program MAC"
  echo
  # The board as the operator would read it: every status cell change, the MAC line,
  # the port-scan line and the message log, one line each.
  "$BUILD/production-cli" --dir "$DEMO" --eeprom "$DEMO/sample.vef" \
    --firmware "$DEMO/sample.vff" --program-mac --log "$DEMO/logs" \
    > "$DEMO/board.txt" 2> "$DEMO/boxes.txt" &
  CLI=$!
  tail -s 0.2 -n +1 -f --pid="$CLI" "$DEMO/board.txt" | awk '
    function clean(s) { gsub(/\\r/, "", s); gsub(/\\n/, " ", s); sub(/ +$/, "", s); return s }
    function rest(k) { return substr($0, k + 1) }
    $1 == "status" {
      t = clean(rest(length($1) + length($2) + 2)); last[$2] = t
      if (t ~ /Download (Firmware|EEPROM)\.\.\.[0-9]+\/[0-9]+$/) {
        k = t; sub(/.*\.\.\./, "", k); split(k, a, "/")
        if (a[1] != 1 && a[1] != a[2]) next   # progress: first and last block only
      }
      printf "  port %-2d | %s\n", $2, t; next
    }
    $1 == "mac" && $3 == 1 { print "  units   | " clean(rest(length($1 $2 $3) + 3)); next }
    $1 == "mac" && $2 == 0 { print "  MAC     | " clean(rest(length($1 $2 $3) + 3)); next }
    $1 == "mac" { print "  ports   | " clean(rest(length($1 $2 $3) + 3)); next }
    $1 == "message" { print "  log     | " clean(rest(8)); next }
    $1 == "exception" { print "  EXCEPTION | " rest(10); next }
    $1 == "end" {
      print "  -- run ended; last status of each port:"
      for (p = 0; p < 16; p++) if (p in last) printf "  port %-2d | %s\n", p, last[p]
    }
  ' &
  VIEW=$!
  # Waiting in the background keeps the script responsive to SIGINT and SIGTERM.
  wait "$CLI" || status=$?
  CLI=""
  wait "$VIEW" || true
  if [ -s "$DEMO/boxes.txt" ]; then
    echo "demo: message boxes:"
    sed 's/^/  /' "$DEMO/boxes.txt"
  fi
  case "$status" in
    0) echo "demo: every port went through the whole job (exit status 0)" ;;
    1) echo "demo: some ports failed (exit status 1); the others were programmed" ;;
    *) echo "demo: the station refused the job (exit status $status)" ;;
  esac
fi
stop_sim
trap - EXIT
echo "demo: MAC pool after:  $(head -c 17 "$DEMO/storedMAC.txt" | tr -d '\0') .. 02:5C:3A:04:22:FF"
echo "demo: what each device holds now (full report: $DEMO/devices-report.txt):"
awk '
  $1 == "device" { com = $2; fw = ee = mac = "none" }
  $1 == "firmware" { fw = ($2 == "none") ? "none" : $2 " bytes" }
  $1 == "eeprom" { ee = ($2 == "none") ? "none" : $2 " bytes" }
  $1 == "mac-programmed" { mac = $2 }
  $1 == "end" { printf "  %-6s firmware %-12s EEPROM %-12s MAC %s\n", com, fw, ee, mac }
' "$DEMO/devices-report.txt" 2>/dev/null || echo "  (no report)"
echo "demo: logs in $DEMO/logs"
exit $status
