#!/usr/bin/env bash
# The product's own runner and the workstation's address, each in a private network
# namespace of its own:
# - a workstation without an address in 192.168.1.x (none at all, or 192.168.2.5) is
#   refused at Start: no device is touched and the pool stays as it was;
# - production-cli with the product's single permitted address programs it into one
#   device ("MAC used up"), and a second run is refused with "MAC not available".
#   test_pipeline_station.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
if [ -z "${PL_INSIDE:-}" ]; then
  status=0
  me="$(realpath "$0")"
  pl_netns_run "$BUILD" "$SRC" "$me" --station-ip none no-station || status=1
  pl_netns_run "$BUILD" "$SRC" "$me" --station-ip 192.168.2.5 other-network || status=1
  pl_netns_run "$BUILD" "$SRC" "$me" product || status=1
  exit $status
fi
pl_init "$BUILD"
data="$WORK/$PL_PHASE"
block() { awk -v d="device $1" '$0 == d {p = 1} p && /^end$/ {exit} p' "$data/report.txt"; }

case "$PL_PHASE" in
  no-station | other-network)
    name="$PL_PHASE"
    pool="$PL_POOL"
    pl_start "$data" "$pool" 1
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" \
      --program-mac
    pl_stop_sim
    [ "$RC" = 2 ] || fail "$name: exit status $RC, expected 2 (Start refused)"
    pl_expect_line "$name" "$WORK/$name.err" \
      'error Error: System IP should be 192.168.1.1~192.168.1.126\r\n or 192.168.1.128~192.168.1.254'
    grep -q '^status ' "$WORK/$name.out" && fail "$name: a worker ran"
    grep -q '^mac 1 0 ' "$WORK/$name.out" && fail "$name: ports were scanned"
    block COM1 | grep -q '^command ' && fail "$name: the device was sent commands"
    pl_check_pool "$name" "$data/storedMAC.txt" "$pool"
    [ "$failures" = 0 ] || pl_dump "$name" "$data"
    ;;
  product)
    pl_start "$data" '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:D1\r\n' 1
    job=(--dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff" --program-mac)
    pl_run first "$CLI" "${job[@]}"
    [ "$RC" = 0 ] || fail "first run: exit status $RC, expected 0"
    pl_expect_line "first run" "$WORK/first.out" "mac 0 0 MAC used up"
    pl_check_pool "first run" "$data/storedMAC.txt" '02:5C:3A:04:22:D2\0\n02:5C:3A:04:22:D1\r\n'
    pl_run second "$CLI" "${job[@]}"
    pl_stop_sim
    pl_check_devices first "$data" 1 04:22:D1 || fail "first run: device (see above)"
    [ "$RC" = 2 ] || fail "second run: exit status $RC, expected 2 (set-up refused)"
    pl_expect_line "second run" "$WORK/second.out" "mac 0 0 MAC not available"
    grep -q '^status ' "$WORK/second.out" && fail "second run: a worker ran"
    pl_check_pool "second run" "$data/storedMAC.txt" '02:5C:3A:04:22:D2\0\n02:5C:3A:04:22:D1\r\n'
    block COM1 | grep -qx 'mac-writes 1' || fail "second run: the device was programmed again"
    if [ "$failures" != 0 ]; then
      pl_dump first "$data"
      RC=2 pl_dump second "$data"
    fi
    ;;
  *)
    echo "unknown phase '$PL_PHASE'" >&2
    exit 2
    ;;
esac
pl_finish "pipeline station checks ($PL_PHASE)"
