#!/usr/bin/env bash
# The loopback test on benches of real interfaces, where every device holds
# 192.168.1.127 and serves the same test port, each in a network namespace of its own
# behind a veth pair with its port's temporary MAC address:
# - flat: four devices on one bridge (a switch), COM3's Ethernet dead. No port passes
#   on another port's device: COM3 fails, the others pass (the station tests one port
#   at a time with the neighbour entry pinned to that port's device).
# - vlan: sixteen devices, each behind an interface of its own (station.conf's
#   test-interface = st%d), tested all at once: COM5's Ethernet is dead and COM9's
#   device answers with COM1's temporary address; those two fail (COM9 naming COM1),
#   the other fourteen pass.
#   test_pipeline_bench.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
if [ -z "${PL_INSIDE:-}" ]; then
  status=0
  me="$(realpath "$0")"
  for phase in flat vlan; do
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
    pl_start "$data" "$PL_POOL" 4
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
  vlan)
    pl_bench vlan 16 COM5:dead COM9:mac=02:5c:3a:ff:ff:ff
    pl_start "$data" "$PL_POOL" 16
    echo 'test-interface = st%d' > "$data/station.conf"
    start=$(date +%s%N)
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware --no-log
    echo "bench vlan: 16 ports in $((($(date +%s%N) - start) / 1000000)) ms"
    pl_stop_sim
    [ "$RC" = 1 ] || fail "exit status $RC, expected 1 (COM5 and COM9 failed)"
    for k in $(seq 16); do
      case $k in
        5) want="COM5: loopback test failed: -6" ;;
        9) want="COM9: loopback test failed: -10" ;;
        *) want="COM$k: loopback test ok" ;;
      esac
      [ "$(last_status $((k - 1)))" = "$want" ] || fail "COM$k: last status '$(last_status $((k - 1)))'"
    done
    pl_expect_line "$name" "$WORK/$name.out" \
      "message COM9: loopback answered by 02:5C:3A:FF:FF:FF (COM1's device)"
    # Not one at a time: at some moment two ports were in their tests together (a shared
    # interface allows only one). COM5's dead link holds its test for the whole time-out,
    # so on any machine, however loaded, another port's test runs inside it.
    most=$(awk '$1 == "status" && / loopback test\.\.\.$/ { open[$2] = 1; n = 0
                  for (p in open) n++; if (n > most) most = n }
                $1 == "status" && / loopback test (ok|failed)/ { delete open[$2] }
                END { print most + 0 }' "$WORK/$name.out")
    [ "$most" -ge 2 ] || fail "at most $most loopback tests ran at once"
    ;;
esac
[ "$failures" -gt 0 ] && pl_dump "$name" "$data"
pl_finish "bench $name"
