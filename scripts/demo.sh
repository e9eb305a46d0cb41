#!/usr/bin/env bash
# The station on simulated devices: installs what is missing, builds, creates a private
# network namespace with the station's address 192.168.1.10 and the devices' address
# 192.168.1.127, starts the device simulator with 4 devices in a demo data directory
# (sample images and a MAC pool made here) and runs the full three-step job:
# download, loopback test, MAC programming.
# With a display the production window opens (press "Select Files", OK, then Start);
# without one the headless runner runs the job and prints what the board shows.
#   scripts/demo.sh [--count N] [--cli] [--fault SPEC]...
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
COUNT=4
FORCE_CLI=0
FAULTS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --count) COUNT="$2"; shift 2 ;;
    --cli) FORCE_CLI=1; shift ;;
    --fault) FAULTS+=(--fault "$2"); shift 2 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1" >&2; exit 2 ;;
  esac
done

if [ -z "${PT_IN_NETNS:-}" ]; then
  bash "$ROOT/scripts/setup.sh"
  # The demo build widens the pool's permitted block (04:22:D1 .. 04:22:FF) so that
  # every simulated device gets an address of its own; the product's default block
  # holds the single address 04:22:D1.
  BUILD="$ROOT/build/demo"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPT_MAC_BLOCK_FIRST=271057 -DPT_MAC_BLOCK_LAST=271103 -DBUILD_TESTING=OFF >/dev/null
  targets=(production-cli devicesim eeprom-tool)
  if [ -n "${DISPLAY:-}" ] && [ $FORCE_CLI = 0 ]; then targets+=(production-tool); fi
  cmake --build "$BUILD" -j "$(nproc)" --target "${targets[@]}"

  DEMO="$BUILD/run"
  rm -rf "$DEMO"
  mkdir -p "$DEMO/logs"
  "$BUILD/eeprom-tool" new "$DEMO/sample.vef" --c-device-name DEMO-DEVICE --c-ip-address 192.168.1.127 \
    --c-net-mask 255.255.255.0 >/dev/null
  head -c 20000 /dev/urandom > "$DEMO/sample.vff"
  printf '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n' > "$DEMO/storedMAC.txt"
  printf 'EEPROM: %s\r\nFirmware: %s\r\nConsole: 0\r\n' "$DEMO/sample.vef" "$DEMO/sample.vff" \
    > "$DEMO/storedCfg.txt"
  export PT_DEMO_BUILD="$BUILD" PT_DEMO_DIR="$DEMO" PT_DEMO_COUNT="$COUNT" PT_DEMO_CLI="$FORCE_CLI"
  exec bash "$ROOT/scripts/netns.sh" -- bash "$0" "${FAULTS[@]}"
fi

# ---- inside the private network namespace ----
BUILD="$PT_DEMO_BUILD"
DEMO="$PT_DEMO_DIR"
SIMOUT="$DEMO/devicesim.out"
"$BUILD/devicesim" --dir "$DEMO" --count "$PT_DEMO_COUNT" --ip 192.168.1.127 \
  --report "$DEMO/devices-report.txt" "${FAULTS[@]}" > "$SIMOUT" 2>&1 &
SIM=$!
trap 'kill -TERM $SIM 2>/dev/null; wait $SIM 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^ready' "$SIMOUT" 2>/dev/null && break
  sleep 0.1
done
echo "demo: $PT_DEMO_COUNT simulated devices on $(ls "$DEMO/ports" | tr '\n' ' ')"
echo "demo: pool before: $(head -c 17 "$DEMO/storedMAC.txt")"

status=0
if [ -n "${DISPLAY:-}" ] && [ "$PT_DEMO_CLI" = 0 ]; then
  echo "demo: opening the production window. Press 'Select Files' (the sample images are preset),"
  echo "      tick 'Program MAC address', OK, then 'Start'. Close the window to end the demo."
  "$BUILD/production-tool" --dir "$DEMO" || status=$?
else
  "$BUILD/production-cli" --dir "$DEMO" --eeprom "$DEMO/sample.vef" --firmware "$DEMO/sample.vff" \
    --program-mac --log "$DEMO/logs" || status=$?
  echo "demo: production-cli exit status $status"
fi
kill -TERM $SIM 2>/dev/null; wait $SIM 2>/dev/null || true
trap - EXIT
echo "demo: pool after:  $(head -c 17 "$DEMO/storedMAC.txt")"
echo "demo: what the devices received ($DEMO/devices-report.txt):"
cat "$DEMO/devices-report.txt" 2>/dev/null || echo "(no report)"
exit $status
