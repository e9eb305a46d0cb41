# Helpers for the pipeline end-to-end scripts (tests/e2e/test_pipeline*.sh): sourced,
# never run by itself. The scripts run the real production-cli against devicesim
# inside a private network namespace made by scripts/netns.sh.
#
# A script runs itself inside a namespace with pl_netns_run (the station at
# 192.168.1.10 unless told otherwise, the devices at 192.168.1.127); "no namespace
# possible" becomes a failure that says so. Inside, PL_INSIDE is set and PL_PHASE
# names the part to run.

# Directory of these helpers (devices_report.py sits beside them).
PL_E2E_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# pl_netns_run <build dir> <source dir> <script> [--station-ip ADDR|none] [phase]:
# runs <script> inside a new namespace; returns its exit status.
pl_netns_run() {
  local build="$1" src="$2" script="$3"
  shift 3
  local station=()
  if [ "${1:-}" = "--station-ip" ]; then
    station=(--station-ip "$2")
    shift 2
  fi
  if [ "${1:-}" = "--device-ip" ]; then
    station+=(--device-ip "$2")
    shift 2
  fi
  local rc=0
  env -u PT_IN_NETNS PL_INSIDE=1 PL_PHASE="${1:-}" \
    bash "$src/scripts/netns.sh" "${station[@]}" -- bash "$script" "$build" "$src" || rc=$?
  if [ "$rc" = 97 ]; then
    echo "FAIL: this machine cannot create a private network namespace (unshare -rn);" \
         "the pipeline tests talk to 192.168.1.x only inside one, so they cannot run here" >&2
    return 1
  fi
  return "$rc"
}

# pl_enter <build dir> <source dir> <script>: outside a namespace, runs <script> inside
# one (pl_netns_run) and exits with its status; inside, pl_init.
pl_enter() {
  if [ -z "${PL_INSIDE:-}" ]; then
    pl_netns_run "$1" "$2" "$3"
    exit $?
  fi
  pl_init "$1"
}

# pl_init <build dir>: work directory, clean-up trap, failure counter.
pl_init() {
  BUILD="$1"
  CLI="$BUILD/production-cli"
  WIDE="$BUILD/tests/production-cli-widepool"
  SIM="$BUILD/devicesim"
  EETOOL="$BUILD/eeprom-tool"
  for b in "$CLI" "$WIDE" "$SIM"; do
    [ -x "$b" ] || { echo "FAIL: $b is not built" >&2; exit 1; }
  done
  WORK="$(mktemp -d /tmp/pt_pipeline_e2e.XXXXXX)"
  SIM_PID=""
  CLI_PID=""
  BENCH_PIDS=()
  failures=0
  trap pl_cleanup EXIT
  trap 'exit 130' INT TERM
}

pl_cleanup() {
  [ -n "$CLI_PID" ] && kill -TERM "$CLI_PID" 2>/dev/null && wait "$CLI_PID" 2>/dev/null
  CLI_PID=""
  pl_stop_sim
  local p
  for p in "${BENCH_PIDS[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$WORK"
}

# pl_bench <flat|vlan> <count> [COM<k>:dead | COM<k>:mac=HH:HH:HH:HH:HH:HH]...: a
# bench of real interfaces (run with pl_netns_run ... --station-ip none --device-ip
# none). Device COM<k> lives in a network namespace of its own at 192.168.1.127, on
# the device end dev<k> of a veth pair whose link-layer address is the temporary MAC
# of place k-1 (02:5C:3A:FF:FF:xx, xx = 256 - k), or the one given. "dead" leaves the
# device's Ethernet link down. flat: the station ends st<k> are ports of one bridge
# br0 (a switch) holding the station's 192.168.1.10; vlan: every st<k> holds
# 192.168.1.10 itself (one VLAN or adapter per device). NSDIR/COM<k> names the
# namespaces for devicesim --netns-dir.
pl_bench() {
  local mode="$1" count="$2" k f mac dead pid
  shift 2
  NSDIR="$WORK/ns"
  mkdir -p "$NSDIR"
  if [ "$mode" = flat ]; then
    ip link add br0 type bridge && ip link set br0 up && ip addr add 192.168.1.10/24 dev br0 \
      || { echo "FAIL: no bridge" >&2; exit 1; }
  fi
  for k in $(seq "$count"); do
    mac="$(printf '02:5c:3a:ff:ff:%02x' $((256 - k)))"
    dead=""
    for f in "$@"; do
      case "$f" in
        "COM$k:dead") dead=1 ;;
        "COM$k:mac="*) mac="${f#*=}" ;;
      esac
    done
    timeout 900 unshare -n sleep 900 &
    pid=$!
    BENCH_PIDS+=("$pid")
    # The namespace is the sleeper's (timeout's child) once it differs from ours.
    local inner=""
    for _ in $(seq 100); do
      inner="$(pgrep -P "$pid" -x sleep || true)"
      [ -n "$inner" ] && [ "$(readlink "/proc/$inner/ns/net")" != "$(readlink /proc/self/ns/net)" ] \
        && break
      inner=""
      sleep 0.05
    done
    [ -n "$inner" ] || { echo "FAIL: no namespace for COM$k" >&2; exit 1; }
    ip link add "st$k" type veth peer name "dev$k" && ip link set "dev$k" netns "$inner" \
      || { echo "FAIL: no veth pair for COM$k" >&2; exit 1; }
    if [ "$mode" = flat ]; then
      ip link set "st$k" master br0 up
    else
      ip link set "st$k" up && ip addr add 192.168.1.10/24 dev "st$k"
    fi
    nsenter -t "$inner" -n sh -c "ip link set lo up && ip link set dev$k address $mac &&
      ip addr add 192.168.1.127/24 dev dev$k && { [ -n '$dead' ] || ip link set dev$k up; }" \
      || { echo "FAIL: COM$k's device network" >&2; exit 1; }
    ln -s "/proc/$inner/ns/net" "$NSDIR/COM$k"
  done
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

pl_finish() {  # name
  if [ "$failures" -gt 0 ]; then
    echo "$1: $failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed"
  exit 0
}

# pl_make_data <dir> <pool text>: a data directory with sample images (an EEPROM image
# from eeprom-tool when it works, else 1024 bytes of its own; 5000 bytes of firmware,
# which go out as five blocks, the last one padded) and the MAC pool.
pl_make_data() {
  local dir="$1" pool="$2"
  mkdir -p "$dir/logs"
  if ! "$EETOOL" new "$dir/sample.vef" --c-device-name PIPELINE --c-ip-address 192.168.1.127 \
      >/dev/null 2>&1 || [ "$(stat -c %s "$dir/sample.vef" 2>/dev/null)" != 1024 ]; then
    python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 13 + 5) & 255 for i in range(1024)))' \
      > "$dir/sample.vef"
  fi
  head -c 5000 /dev/urandom > "$dir/sample.vff"
  printf '%b' "$pool" > "$dir/storedMAC.txt"
}

# pl_start_sim <dir> <count> [devicesim options...]: starts the devices on
# 192.168.1.127 and waits (at most 20 s) for the ready line.
pl_start_sim() {
  local dir="$1" count="$2"
  shift 2
  # Bounded in time, so that devices left behind by a killed test end by themselves
  # (timeout hands SIGTERM on to the simulator).
  local ns=()
  [ -n "${NSDIR:-}" ] && ns=(--netns-dir "$NSDIR")
  timeout -k 10 900 "$SIM" --dir "$dir" --count "$count" --ip 192.168.1.127 "${ns[@]}" \
    --report "$dir/report.txt" "$@" > "$dir/sim.out" 2> "$dir/sim.err" &
  SIM_PID=$!
  for _ in $(seq 200); do
    grep -q '^ready' "$dir/sim.out" 2>/dev/null && return 0
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "FAIL: devicesim did not get ready:" >&2
  cat "$dir/sim.out" "$dir/sim.err" >&2
  exit 1
}

# The pool most runs start from: 04:22:D1 up to 04:22:FF.
# shellcheck disable=SC2034  # used by the scripts that source this file
PL_POOL='02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n'

# pl_start <dir> <pool text> <count> [devicesim options...]: a run's data directory
# (pl_make_data) and its devices, ready (pl_start_sim).
pl_start() {
  local dir="$1" pool="$2"
  shift 2
  pl_make_data "$dir" "$pool"
  pl_start_sim "$dir" "$@"
}

# Stops the devices (SIGTERM, then SIGKILL after 20 s); they write the report.
pl_stop_sim() {
  [ -n "$SIM_PID" ] || return 0
  kill -TERM "$SIM_PID" 2>/dev/null
  for _ in $(seq 200); do
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$SIM_PID" 2>/dev/null; then
    echo "devicesim did not stop within 20 s; killed" >&2
    kill -KILL "$SIM_PID" 2>/dev/null
  fi
  wait "$SIM_PID" 2>/dev/null
  SIM_PID=""
}

# pl_run <name> <binary> <args...>: runs a station (at most 300 s) with its board lines
# in $WORK/<name>.out and its message boxes in $WORK/<name>.err; sets RC.
pl_run() {
  local name="$1" bin="$2"
  shift 2
  timeout -k 10 300 "$bin" "$@" > "$WORK/$name.out" 2> "$WORK/$name.err" &
  CLI_PID=$!
  RC=0
  wait "$CLI_PID" || RC=$?
  CLI_PID=""
  [ "$RC" = 124 ] && fail "$name: the station did not end within 300 s"
}

# pl_dump <name> <data dir>: what a failed run showed.
pl_dump() {
  echo "---- $1: board lines (exit status $RC)" >&2
  cat "$WORK/$1.out" >&2
  echo "---- $1: message boxes" >&2
  cat "$WORK/$1.err" >&2
  echo "---- devices' report" >&2
  cat "$2/report.txt" >&2 2>/dev/null || echo "(none)" >&2
  echo "---- devicesim" >&2
  cat "$2/sim.err" >&2
}

pl_expect_line() {  # name file line
  grep -qxF -- "$3" "$2" || fail "$1: no line '$3'"
}

# pl_check_devices <name> <data dir> <COM numbers, comma-separated> <MAC candidates,
# comma-separated, last three groups>: for every listed port the devices' report holds
# the firmware and the EEPROM image exactly as the station must send them (whole 1024
# byte blocks padded with zeros, the port's temporary MAC in the EEPROM image's bytes
# 6..11) and one MAC from the candidates, no two ports the same; the port's last status
# line shows the "%GLM" answer with that MAC.
pl_check_devices() {
  PYTHONPATH="$PL_E2E_DIR" python3 - "$WORK/$1.out" "$2/report.txt" "$2/sample.vff" "$2/sample.vef" "$3" "$4" <<'EOF' >&2
import sys
from devices_report import check_images, last_status as read_status, padded, read_report
out_path, report_path, fw_path, ee_path, coms, candidates = sys.argv[1:7]
errors = []
reports = read_report(report_path)
last_status = read_status(out_path)
fw = padded(open(fw_path, "rb").read())
ee = padded(open(ee_path, "rb").read())
allowed = {"02:5C:3A:" + c for c in candidates.split(",")}
seen = {}
for n in [int(c) for c in coms.split(",")]:
    com, index = "COM%d" % n, n - 1
    r = reports.get(com)
    if r is None:
        errors.append("%s: not in the devices' report" % com)
        continue
    check_images(errors, r, com, index, fw, ee)
    mac = r.get("mac-programmed")
    if mac not in allowed:
        errors.append("%s: programmed MAC %s is not one of %s" % (com, mac, sorted(allowed)))
    elif mac in seen:
        errors.append("%s: programmed MAC %s was also given to %s" % (com, mac, seen[mac]))
    seen[mac] = com
    if r.get("mac-writes") != "1" or r.get("mac-in-use") != mac:
        errors.append("%s: mac-writes %s, mac-in-use %s" % (com, r.get("mac-writes"), r.get("mac-in-use")))
    want_status = "%s: %%GLM %s\\r OK" % (com, mac)
    if last_status.get(index) != want_status:
        errors.append("%s: last status '%s', expected '%s'" % (com, last_status.get(index), want_status))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
}

# pl_check_records <name> <data dir> <COM numbers, comma-separated> <station name>: the
# records database (records.db in the data directory) holds one passed record per
# listed port of one run, each with the images and the MAC the devices' report shows.
pl_check_records() {
  PYTHONPATH="$PL_E2E_DIR" python3 - "$2/records.db" "$2/report.txt" "$3" "$4" <<'EOF' >&2
import sys
from devices_report import check_passed_records, read_records, read_report
db, report, coms, station = sys.argv[1:5]
errors = []
check_passed_records(errors, read_records(db), read_report(report),
                     ["COM%s" % n for n in coms.split(",")], station)
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
}

# pl_check_pool <name> <pool file> <expected bytes as printf %b text>
pl_check_pool() {
  local want got
  want="$(printf '%b' "$3" | od -An -c | tr -s ' \n' ' ')"
  got="$(od -An -c "$2" | tr -s ' \n' ' ')"
  [ "$got" = "$want" ] || fail "$1: pool file is [$got], expected [$want]"
}
