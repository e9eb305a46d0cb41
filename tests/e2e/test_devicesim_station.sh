#!/usr/bin/env bash
# The headless station against devicesim in real time, inside a private network
# namespace (the devices' echo on 192.168.1.127): sixteen ports download the firmware
# and the EEPROM image and pass the loopback test; the report shows every image
# intact, each EEPROM image with its port's temporary MAC, and no refused input. Then
# one device is given the pool's address, and a device refusing the test connection
# fails its port.
#   test_devicesim_station.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
if [ -z "${PT_IN_NETNS:-}" ]; then
  if ! unshare -rn true 2>/dev/null; then
    echo "FAIL: cannot create a private network namespace (unshare -rn failed);" \
         "this test runs the loopback test against 192.168.1.127 inside one" >&2
    exit 1
  fi
  exec bash "$SRC/scripts/netns.sh" -- bash "$0" "$@"
fi

WORK="$(mktemp -d /tmp/pt_devicesim_station.XXXXXX)"
SIM_PID=""
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for t in devicesim production-cli eeprom-tool; do
  [ -x "$BUILD/$t" ] || { echo "FAIL: $BUILD/$t is not built" >&2; exit 1; }
done

# run <dir> <count> <sim args...> -- <cli args...>: devicesim, then the station; the
# station's exit status in $WORK/<dir>.rc, the report in <dir>/report.txt.
run() {
  local d="$WORK/$1" count="$2"
  shift 2
  local simargs=() cliargs=()
  while [ "$1" != "--" ]; do simargs+=("$1"); shift; done
  shift
  cliargs=("$@")
  "$BUILD/devicesim" --dir "$d" --count "$count" --ip 192.168.1.127 --report "$d/report.txt" \
    "${simargs[@]}" > "$d/sim.out" 2> "$d/sim.err" &
  SIM_PID=$!
  for _ in $(seq 200); do
    grep -q '^ready' "$d/sim.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q '^ready' "$d/sim.out" || { fail "devicesim not ready: $(cat "$d/sim.err")"; return; }
  # Until every device has finished its start-up lines and takes commands (asked
  # through the report SIGUSR1 writes).
  for _ in $(seq 100); do
    kill -USR1 "$SIM_PID"
    sleep 0.1
    [ "$(grep -c '^state running$' "$d/report.txt" 2>/dev/null)" = "$count" ] && break
  done
  [ "$(grep -c '^state running$' "$d/report.txt" 2>/dev/null)" = "$count" ] || fail "devices did not start"
  timeout 300 "$BUILD/production-cli" --dir "$d" "${cliargs[@]}" > "$d/cli.out" 2> "$d/cli.err"
  echo $? > "$d.rc"
  kill -TERM "$SIM_PID"
  wait "$SIM_PID" || fail "devicesim exit status $? ($1)"
  SIM_PID=""
  [ -z "$(ls -A "$d/ports")" ] || fail "links left in $d/ports"
}
block() {  # report COMn: the device's block of lines
  awk -v dev="device $2" '$0==dev{p=1} p&&/^end$/{exit} p' "$1"
}
setup_dir() {  # dir: images, job file and pool
  local d="$WORK/$1"
  mkdir -p "$d/logs"
  "$BUILD/eeprom-tool" new "$d/sample.vef" --c-device-name E2E > /dev/null || fail "eeprom-tool new"
  head -c 20000 /dev/urandom > "$d/sample.vff"
  printf 'EEPROM: %s\r\nFirmware: %s\r\nConsole: 0\r\n' "$d/sample.vef" "$d/sample.vff" > "$d/storedCfg.txt"
  printf '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D1\r\n' > "$d/storedMAC.txt"
}

# ---- sixteen ports: both images and the loopback test
setup_dir many
start=$(date +%s)
run many 16 -- --eeprom "$WORK/many/sample.vef" --firmware "$WORK/many/sample.vff" --log "$WORK/many/logs"
elapsed=$(( $(date +%s) - start ))
echo "sixteen ports: ${elapsed} s"
[ "$(cat "$WORK/many.rc")" = 0 ] || { fail "station exit status $(cat "$WORK/many.rc") with 16 devices"; tail -20 "$WORK/many/cli.out" >&2; }
fw=$(python3 -c 'import hashlib,sys; d=open(sys.argv[1],"rb").read(); d+=bytes(-len(d)%1024); print(len(d), hashlib.sha256(d).hexdigest())' "$WORK/many/sample.vff")
for i in $(seq 0 15); do
  n=$((i + 1))
  block "$WORK/many/report.txt" "COM$n" > "$WORK/b.txt"
  ee=$(python3 -c 'import hashlib,sys; d=bytearray(open(sys.argv[1],"rb").read()); i=int(sys.argv[2]); d[6:12]=bytes([255-i,255,255,0x3a,0x5c,2]); print(len(d), hashlib.sha256(bytes(d)).hexdigest())' "$WORK/many/sample.vef" "$i")
  mac=$(printf '02:5C:3A:FF:FF:%02X' $((255 - i)))
  grep -qx "firmware $fw" "$WORK/b.txt" || fail "COM$n: firmware not intact: $(grep '^firmware ' "$WORK/b.txt")"
  grep -qx "eeprom $ee" "$WORK/b.txt" || fail "COM$n: EEPROM image not the one sent with $mac"
  grep -qx "eeprom-mac $mac" "$WORK/b.txt" || fail "COM$n: no 'eeprom-mac $mac'"
  grep -qx "mac-in-use $mac" "$WORK/b.txt" || fail "COM$n: not using $mac after the restart"
  grep -q '^command \$GSVPA$' "$WORK/b.txt" || fail "COM$n: never asked for its test port"
  grep '^violation' "$WORK/b.txt" && fail "COM$n: the device refused input"
done

# ---- one device given the pool's address
setup_dir mac
run mac 1 -- --no-eeprom --no-firmware --no-loopback --program-mac
[ "$(cat "$WORK/mac.rc")" = 0 ] || fail "station exit status $(cat "$WORK/mac.rc") programming a MAC"
block "$WORK/mac/report.txt" COM1 > "$WORK/b.txt"
for l in "mac-programmed 02:5C:3A:04:22:D1" "mac-in-use 02:5C:3A:04:22:D1" "mac-writes 1" \
         'command $SYCXXMAC02:5c:3a:04:22:d1' 'command $SER' 'command $GLM'; do
  grep -qxF "$l" "$WORK/b.txt" || fail "MAC run: no '$l' in the report"
done
grep '^violation' "$WORK/b.txt" && fail "MAC run: the device refused input"

# ---- a device that refuses the test connection fails its port; the others pass
setup_dir refuse
run refuse 3 --fault COM2:refuse -- --eeprom "$WORK/refuse/sample.vef" --no-firmware
[ "$(cat "$WORK/refuse.rc")" = 1 ] || fail "station exit status $(cat "$WORK/refuse.rc") with a refusing device, expected 1"
grep -q 'COM2: loopback test failed: -6' "$WORK/refuse/cli.out" || fail "no 'COM2: loopback test failed: -6' from the station"
for n in 1 3; do
  grep -q "COM$n: loopback test ok" "$WORK/refuse/cli.out" || fail "COM$n did not pass the loopback test"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "devicesim station e2e: all checks passed"
