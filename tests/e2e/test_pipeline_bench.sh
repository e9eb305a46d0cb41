#!/usr/bin/env bash
# The loopback test on benches of real interfaces, where every device holds
# 192.168.1.127 and serves the same test port, each in a network namespace of its own
# behind a veth pair with its port's temporary MAC address:
# - flat: four devices on one bridge (a switch), COM3's Ethernet dead. No port passes
#   on another port's device: COM3 fails, the others pass (the station tests one port
#   at a time with the neighbour entry pinned to that port's device; nothing answers
#   COM3, so it fails for want of a connection, -6). Then the same bench with a station
#   that may not pin the entry (no CAP_NET_ADMIN): one device answers for the test
#   address, every other port (COM3 among them) fails with -10 and the message log
#   names the device that answered.
# - vlan: sixteen devices, each behind an interface of its own (station.conf's
#   test-interface = st%d), tested all at once: COM5's Ethernet is dead and COM9's
#   device answers with COM1's temporary address; those two fail (COM9 naming COM1),
#   the other fourteen pass. Then both devices are mended and all sixteen pass at once.
# PL_BENCH_FLAT16=1 adds a timed run of sixteen good devices on one bridge (what a flat
# bench costs).
#   test_pipeline_bench.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
if [ -z "${PL_INSIDE:-}" ]; then
  status=0
  me="$(realpath "$0")"
  phases="flat vlan"
  [ -n "${PL_BENCH_FLAT16:-}" ] && phases="$phases flat16"
  for phase in $phases; do
    pl_netns_run "$BUILD" "$SRC" "$me" --station-ip none --device-ip none "$phase" || status=1
  done
  exit $status
fi
pl_init "$BUILD"
name="$PL_PHASE"
data="$WORK/$name"
last_status() { grep "^status $1 " "$WORK/$name.out" | tail -n 1 | cut -d' ' -f3-; }
# The most loopback tests of run $name that were under way together.
most_at_once() {
  awk '$1 == "status" && / loopback test\.\.\.$/ { open[$2] = 1; n = 0
         for (p in open) n++; if (n > most) most = n }
       $1 == "status" && / loopback test (ok|failed)/ { delete open[$2] }
       END { print most + 0 }' "$WORK/$name.out"
}
# passed_by_own <data dir>: every record that went through every step (passed, or left
# with its temporary address: these jobs program none) was answered at its own port's
# temporary MAC address.
passed_by_own() {
  python3 - "$1/records.db" <<'EOF' >&2
import sqlite3, sys
bad = [(p, a) for p, a in sqlite3.connect(sys.argv[1]).execute(
    "SELECT port, link_address FROM units WHERE verdict IN ('passed', 'temporary-mac')")
       if a != "02:5C:3A:FF:FF:%02X" % (256 - int(p[3:]))]
for p, a in bad:
    print("FAIL: %s passed, answered by %s" % (p, a))
sys.exit(1 if bad else 0)
EOF
}
# The message log line of a port answered by one of the four flat devices but COM3's.
answered_re() { echo "^message COM$1: loopback answered by 02:5C:3A:FF:FF:F[CEF] \\(COM[124]'s device\\)\$"; }

case "$PL_PHASE" in
  flat)
    pl_bench flat 4 COM3:dead
    pl_start "$data" "$PL_POOL" 4
    start=$(date +%s%N)
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware --no-log
    echo "bench flat: 4 ports, one dead, in $((($(date +%s%N) - start) / 1000000)) ms"
    pl_stop_sim
    [ "$RC" = 1 ] || fail "exit status $RC, expected 1 (COM3 failed)"
    for k in 1 2 4; do
      [ "$(last_status $((k - 1)))" = "COM$k: loopback test ok" ] \
        || fail "COM$k: last status '$(last_status $((k - 1)))'"
    done
    # The entry points at COM3's device, whose link is down: no device answers and
    # both connect attempts time out (which leaves nothing in the message log).
    [ "$(last_status 2)" = "COM3: loopback test failed: -6" ] \
      || fail "COM3 (dead Ethernet): last status '$(last_status 2)'"
    grep -qE "^message COM[0-9]+: (loopback answered by|cannot point)" "$WORK/$name.out" \
      && fail "a port was answered by another device, or the entry was not pinned"
    passed_by_own "$data" || fail "a port passed on another device"
    [ "$failures" -gt 0 ] && pl_dump "$name" "$data"

    # The same bench, the station without CAP_NET_ADMIN: the entry stays as ARP left it.
    name=flat-unpinned
    data="$WORK/$name"
    ip neigh flush all
    pl_start "$data" "$PL_POOL" 4
    pl_run "$name" setpriv --bounding-set -net_admin -- "$WIDE" --dir "$data" \
      --eeprom "$data/sample.vef" --no-firmware --no-log
    pl_stop_sim
    [ "$RC" = 1 ] || fail "$name: exit status $RC, expected 1"
    pl_expect_line "$name" "$WORK/$name.out" "message COM1: cannot point 192.168.1.127 on br0 at the port's device (error 1): give each port an interface of its own (test-interface in station.conf)"
    [ "$(last_status 2)" = "COM3: loopback test failed: -10" ] \
      || fail "$name: COM3 (dead Ethernet): last status '$(last_status 2)'"
    grep -qE "$(answered_re 3)" "$WORK/$name.out" \
      || fail "$name: the message log does not name the device that answered for COM3"
    for k in 1 2 4; do
      case "$(last_status $((k - 1)))" in
        "COM$k: loopback test ok")
          grep -q "^message COM$k: loopback answered by" "$WORK/$name.out" \
            && fail "$name: COM$k passed, answered by another device" ;;
        "COM$k: loopback test failed: -10")
          grep -qE "$(answered_re $k)" "$WORK/$name.out" \
            || fail "$name: COM$k failed without naming the device that answered" ;;
        *) fail "$name: COM$k: last status '$(last_status $((k - 1)))'" ;;
      esac
    done
    passed_by_own "$data" || fail "$name: a port passed on another device"
    ;;
  flat16)
    pl_bench flat 16
    pl_start "$data" "$PL_POOL" 16
    start=$(date +%s%N)
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware --no-log
    echo "bench flat: 16 ports in $((($(date +%s%N) - start) / 1000000)) ms"
    pl_stop_sim
    [ "$RC" = 0 ] || fail "exit status $RC"
    for k in $(seq 16); do
      [ "$(last_status $((k - 1)))" = "COM$k: loopback test ok" ] \
        || fail "COM$k: last status '$(last_status $((k - 1)))'"
    done
    [ "$(most_at_once)" = 1 ] || fail "$(most_at_once) loopback tests at once on one bridge"
    passed_by_own "$data" || fail "a port passed on another device"
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
    most=$(most_at_once)
    [ "$most" -ge 2 ] || fail "at most $most loopback tests ran at once"
    [ "$failures" -gt 0 ] && pl_dump "$name" "$data"

    # Both devices mended (COM5's link up, COM9 with its own temporary address): all
    # sixteen pass, their tests under way together.
    nsenter --net="$NSDIR/COM5" ip link set dev5 up
    nsenter --net="$NSDIR/COM9" sh -c 'ip link set dev9 down &&
      ip link set dev9 address 02:5c:3a:ff:ff:f7 && ip link set dev9 up'
    ip neigh flush all
    name=vlan-good
    data="$WORK/$name"
    pl_start "$data" "$PL_POOL" 16
    echo 'test-interface = st%d' > "$data/station.conf"
    start=$(date +%s%N)
    pl_run "$name" "$WIDE" --dir "$data" --eeprom "$data/sample.vef" --no-firmware --no-log
    most=$(most_at_once)
    echo "bench vlan: 16 good ports in $((($(date +%s%N) - start) / 1000000)) ms, $most at once"
    pl_stop_sim
    [ "$RC" = 0 ] || fail "$name: exit status $RC"
    for k in $(seq 16); do
      [ "$(last_status $((k - 1)))" = "COM$k: loopback test ok" ] \
        || fail "$name: COM$k: last status '$(last_status $((k - 1)))'"
    done
    passed_by_own "$data" || fail "$name: a port passed on another device"
    [ "$most" -ge 2 ] || fail "$name: at most $most loopback tests ran at once"
    ;;
esac
[ "$failures" -gt 0 ] && pl_dump "$name" "$data"
pl_finish "bench $PL_PHASE"
