#!/usr/bin/env bash
# The loopback test on benches of real interfaces, where every device holds
# 192.168.1.127 and serves the same test port, each in a network namespace of its own
# behind a veth pair with its port's temporary MAC address:
# - flat: four devices on one bridge (a switch), COM3's Ethernet dead. No port passes
#   on another port's device: COM3 fails, the others pass (the station tests one port
#   at a time with the neighbour entry pinned to that port's device).
# - wrong: COM2's device answers with COM1's temporary address on a bridge: COM2
#   fails, naming COM1.
#   test_pipeline_bench.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
if [ -z "${PL_INSIDE:-}" ]; then
  status=0
  me="$(realpath "$0")"
  for phase in flat wrong; do
    pl_netns_run "$BUILD" "$SRC" "$me" --station-ip none --device-ip none "$phase" || status=1
  done
  exit $status
fi
pl_init "$BUILD"
name="$PL_PHASE"
data="$WORK/$name"
last_status() { grep "^status $1 " "$WORK/$name.out" | tail -n 1 | cut -d' ' -f3-; }

case "$PL_PHASE" in
  flat)
    pl_bench flat 4 COM3:dead
    pl_make_data "$data" '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n'
    pl_start_sim "$data" 4
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware --no-log
    pl_stop_sim
    [ "$RC" = 1 ] || fail "exit status $RC, expected 1 (COM3 failed)"
    for k in 1 2 4; do
      [ "$(last_status $((k - 1)))" = "COM$k: loopback test ok" ] \
        || fail "COM$k: last status '$(last_status $((k - 1)))'"
    done
    case "$(last_status 2)" in
      "COM3: loopback test failed: "*) ;;
      *) fail "COM3 (dead Ethernet): last status '$(last_status 2)'" ;;
    esac
    ;;
  wrong)
    pl_bench flat 2 COM2:mac=02:5c:3a:ff:ff:ff COM1:dead
    pl_make_data "$data" '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n'
    pl_start_sim "$data" 2
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware --no-log
    pl_stop_sim
    [ "$(last_status 1)" = "COM2: loopback test failed: -10" ] \
      || fail "COM2 (COM1's address): last status '$(last_status 1)'"
    pl_expect_line "$name" "$WORK/$name.out" \
      "message COM2: loopback answered by 02:5C:3A:FF:FF:FF (COM1's device)"
    ;;
esac
[ "$failures" -gt 0 ] && pl_dump "$name" "$data"
pl_finish "bench $name"
