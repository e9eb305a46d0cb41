#!/usr/bin/env bash
# The Windows station under Wine against simulated devices, inside a private network
# namespace: the devices' pseudo-terminals become Wine COM ports through
# HKLM\Software\Wine\Ports. First the serial port tests of test_platform.exe run against
# one device (COM9); then the whole job (firmware and EEPROM download, loopback test,
# MAC programming from the pool) runs on 4 devices with production-cli-widepool.exe,
# and again with the Linux build's runner on 4 fresh devices. Both runs must end well,
# every device must hold exactly the images meant for it, and the two runs' devices
# must report the same images port by port and the same MAC addresses. The Windows
# station is served on 127.0.0.1 with token files: a Linux client is refused without
# the token (and Start with the read token), starts the run through the service and
# follows its events to the end, where the 4 units must have passed.
#   test_wine_pipeline.sh <windows build dir> <source dir> <linux build dir> <wine>
set -uo pipefail
WINBUILD="$(realpath "$1")"
SRC="$(realpath "$2")"
NATIVE="$(realpath "$3")"
WINE="$4"
# shellcheck source=../e2e/lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
if [ -z "${PL_INSIDE:-}" ]; then
  rc=0
  env -u PT_IN_NETNS PL_INSIDE=1 bash "$SRC/scripts/netns.sh" -- \
    bash "$(realpath "$0")" "$WINBUILD" "$SRC" "$NATIVE" "$WINE" || rc=$?
  if [ "$rc" = 97 ]; then
    echo "FAIL: no private network namespace (unshare -rn); the Wine run needs one" >&2
    exit 1
  fi
  exit "$rc"
fi
# Wine maps the machine's own serial devices (/dev/ttyS0, ...) as further COM ports,
# which the scan would find. A mount namespace of this run's own hides them: /dev is
# a fresh tmpfs with only what the run needs.
if [ -z "${PT_WINE_OWN_DEV:-}" ] && { [ -e /dev/ttyS0 ] || [ -e /dev/ttyUSB0 ] || [ -e /dev/ttyACM0 ]; }; then
  export PT_WINE_OWN_DEV=1
  exec unshare -m --propagation private bash "$(realpath "$0")" "$@"
fi
if [ "${PT_WINE_OWN_DEV:-}" = 1 ]; then
  export PT_WINE_OWN_DEV=done
  olddev="$(mktemp -d /tmp/pt_olddev.XXXXXX)"
  mount --rbind /dev "$olddev" && mount -t tmpfs -o mode=755 tmpfs /dev || {
    echo "FAIL: cannot give the Wine run a /dev of its own" >&2
    exit 1
  }
  for n in null zero full random urandom tty; do
    [ -e "$olddev/$n" ] && touch "/dev/$n" && mount --bind "$olddev/$n" "/dev/$n"
  done
  mkdir /dev/pts /dev/shm
  mount --rbind "$olddev/pts" /dev/pts
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  ln -s pts/ptmx /dev/ptmx
  ln -s /proc/self/fd /dev/fd
fi

pl_init "$NATIVE"
WINESERVER="$(dirname "$WINE")/wineserver"
[ -x "$WINESERVER" ] || WINESERVER="$(command -v wineserver)"
WINCLI="$WINBUILD/tests/production-cli-widepool.exe"
for b in "$WINCLI" "$WINBUILD/tests/test_platform.exe" "$EETOOL"; do
  [ -e "$b" ] || { echo "FAIL: $b is not built" >&2; exit 1; }
done
# A Wine prefix of this run's own: its services (the address table among them) start
# inside this namespace.
export WINEPREFIX="$WORK/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
CONTRACT_PID=""
wine_cleanup() {
  [ -n "$CONTRACT_PID" ] && kill -TERM "$CONTRACT_PID" 2>/dev/null && wait "$CONTRACT_PID" 2>/dev/null
  "$WINESERVER" -k >/dev/null 2>&1
  pl_cleanup
}
trap wine_cleanup EXIT

# Z:\... for a Unix path.
winpath() { local p="${1//\//\\}"; echo "Z:$p"; }

# pl_make_data with fixed firmware bytes, so both runs send the same images.
make_data() {
  pl_make_data "$1" '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n'
  if [ -n "${2:-}" ]; then cp "$2/sample.vff" "$2/sample.vef" "$1/"; fi
}

t0=$SECONDS
WIN="$WORK/win"
make_data "$WIN"
pl_start_sim "$WIN" 4
# One more device on COM9 for the serial port tests.
mkdir -p "$WORK/contract"
timeout -k 10 300 "$SIM" --dir "$WORK/contract" --count 1 --first-com 9 --ip 192.168.1.127 \
  > "$WORK/contract/sim.out" 2>&1 &
CONTRACT_PID=$!
for _ in $(seq 200); do
  grep -q '^ready' "$WORK/contract/sim.out" 2>/dev/null && break
  sleep 0.1
done

# Wine's output goes nowhere: a server or service started with a test's output would
# hold that output open after the test ended.
for n in 1 2 3 4; do
  "$WINE" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$WIN/ports/COM$n" /f \
    >/dev/null 2>&1 || fail "reg add COM$n"
done
"$WINE" reg add 'HKLM\Software\Wine\Ports' /v COM9 /t REG_SZ /d "$WORK/contract/ports/COM9" /f \
  >/dev/null 2>&1 || fail "reg add COM9"
# The ports are read when Wine starts: start it again, with one warm-up program.
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w >/dev/null 2>&1
"$WINESERVER" -p >/dev/null 2>&1
"$WINE" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1
echo "wine: prefix ready in $((SECONDS - t0)) s"

# The serial port through the communications functions, on a pseudo-terminal.
PT_TEST_COM=COM9 timeout 120 "$WINE" "$WINBUILD/tests/test_platform.exe" \
  --gtest_filter='SerialPortTest.*' > "$WORK/contract.out" 2>&1 </dev/null
rc=$?
if [ "$rc" != 0 ] || grep -q '^\[  SKIPPED' "$WORK/contract.out"; then
  fail "serial port tests on COM9 (exit status $rc)"
  cat "$WORK/contract.out" >&2
fi
kill -TERM "$CONTRACT_PID" 2>/dev/null
wait "$CONTRACT_PID" 2>/dev/null
CONTRACT_PID=""
# COM9 goes again, so that the job finds the 4 devices only.
"$WINE" reg delete 'HKLM\Software\Wine\Ports' /v COM9 /f >/dev/null 2>&1 || fail "reg delete COM9"
"$WINESERVER" -k >/dev/null 2>&1
"$WINESERVER" -w >/dev/null 2>&1
"$WINESERVER" -p >/dev/null 2>&1
"$WINE" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1

# serve_station <name> <runner and options...>: the station served on 127.0.0.1 with
# the token files in $WORK; the client (service_client.py) starts the run and follows
# it to its end, then Ctrl+C ends the station. Sets RC.
serve_station() {
  local name="$1" url=""
  shift
  timeout -k 10 300 "$@" --serve 127.0.0.1:0 --read-token-file "$(winpath "$WORK/read.token")" \
    --control-token-file "$(winpath "$WORK/control.token")" \
    > "$WORK/$name.out" 2> "$WORK/$name.err" </dev/null &
  CLI_PID=$!
  for _ in $(seq 600); do
    # (the board lines file may not be there yet)
    url="$(tr -d '\r' 2>/dev/null < "$WORK/$name.out" | sed -n 's/^service \(http:[^ ]*\)$/\1/p')"
    [ -n "$url" ] && break
    kill -0 "$CLI_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$url" ]; then
    fail "$name: the station did not serve"
  else
    timeout 240 python3 "$WORK/service_client.py" "$url" "$WORK/read.token" "$WORK/control.token" \
      || fail "$name: the service (see above)"
  fi
  kill -INT "$CLI_PID" 2>/dev/null
  RC=0
  wait "$CLI_PID" || RC=$?
  CLI_PID=""
}

# run_station <name> <data dir> <runner...>: the whole job on the data directory's
# devices (the Windows runner served, its run started by the client); the board lines
# without Windows' line ends.
run_station() {
  local name="$1" data="$2" d l e f
  shift 2
  d="$data" l="$data/logs" e="$data/sample.vef" f="$data/sample.vff"
  local t=$SECONDS
  if [ "$1" = "$WINE" ]; then
    d="$(winpath "$d")" l="$(winpath "$l")" e="$(winpath "$e")" f="$(winpath "$f")"
    serve_station "$name" "$@" --dir "$d" --eeprom "$e" --firmware "$f" --program-mac --log "$l"
  else
    pl_run "$name" "$@" --dir "$d" --eeprom "$e" --firmware "$f" --program-mac --log "$l" </dev/null
  fi
  sed -i 's/\r$//' "$WORK/$name.out" "$WORK/$name.err"
  echo "$name: 4 devices in $((SECONDS - t)) s, exit status $RC"
  pl_stop_sim  # the devices write their report
  [ "$RC" = 0 ] || fail "$name: exit status $RC, expected 0"
  [ "$(tail -n 1 "$WORK/$name.out")" = end ] || fail "$name: the last line is not 'end'"
  [ -s "$WORK/$name.err" ] && fail "$name: message boxes: $(cat "$WORK/$name.err")"
  pl_expect_line "$name" "$WORK/$name.out" "mac 1 0 4 COM Port detected\\r\\n"
  pl_check_pool "$name" "$data/storedMAC.txt" "02:5C:3A:04:22:D5\\0\\n02:5C:3A:04:22:FF\\r\\n"
  pl_check_devices "$name" "$data" 1,2,3,4 04:22:D1,04:22:D2,04:22:D3,04:22:D4 \
    || fail "$name: devices (see above)"
  for n in 1 2 3 4; do
    grep -q "COM$n: Xmodem eeprom: 0" "$data/logs/logCOM$n.txt" 2>/dev/null \
      || fail "$name: logCOM$n.txt has no EEPROM transfer"
  done
  grep -q 'StartThread end' "$data/logs/startThread.txt" 2>/dev/null \
    || fail "$name: startThread.txt missing or unfinished"
}

# The service's tokens (Windows does not check the files' permissions) and its client.
head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$WORK/read.token"
head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$WORK/control.token"
chmod 600 "$WORK/read.token" "$WORK/control.token"
cat > "$WORK/service_client.py" <<'EOF'
import json, sys, urllib.error, urllib.request
url, read, control = sys.argv[1], open(sys.argv[2]).read().strip(), open(sys.argv[3]).read().strip()
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # 127.0.0.1 only
errors = []
def call(path, token=None, method="GET", stream=False):
    req = urllib.request.Request(url + path, method=method, data=b"" if method == "POST" else None)
    if token:
        req.add_header("Authorization", "Bearer " + token)
    try:
        r = opener.open(req, timeout=120)
    except urllib.error.HTTPError as e:
        return e.code, e.read()
    return r.status, (r if stream else r.read())
def expect(what, got, want):
    if got != want:
        errors.append("%s: HTTP %s, expected %s" % (what, got, want))
expect("state without a token", call("api/v1/state")[0], 401)
expect("state with a wrong token", call("api/v1/state", "x" * len(read))[0], 401)
status, body = call("api/v1/state", read)
expect("state", status, 200)
if status == 200 and not json.loads(body)["job"]["set"]:
    errors.append("state: the job is not set up")
status, events = call("api/v1/events", read, stream=True)
expect("events", status, 200)
expect("start with the read token", call("api/v1/start", read, "POST")[0], 403)
expect("start", call("api/v1/start", control, "POST")[0], 202)
units, verdicts, seen, name = [], {}, [], None
for raw in (events if status == 200 else []):
    line = raw.decode().rstrip("\r\n")
    if line.startswith("event: "):
        name = line[7:]
        seen.append(name)
    elif line.startswith("data: ") and name in ("unit", "status"):
        d = json.loads(line[6:])
        if name == "unit":
            units.append(d)
        else:
            verdicts[d["port"]] = d["verdict"]
    elif line == "" and name == "end":
        break
else:
    errors.append("the event stream ended before the run's end: %s" % seen[-5:])
if verdicts != {k: "passed" for k in range(4)}:
    errors.append("the ports' verdicts at the end: %s, expected 4 passed" % verdicts)
# One result per unit (this build keeps no records: the results come from the board).
got = sorted((u["port"], u["name"], u["verdict"]) for u in units)
want = [(k, "COM%d" % (k + 1), "passed") for k in range(4)]
if got != want:
    errors.append("unit events %s, expected %s" % (got, want))
print("service: %d events, verdicts %s, units %s" % (
    len(seen), verdicts, [(u["name"], u["verdict"], u["mac"]) for u in units]))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF

before=$failures
run_station windows "$WIN" "$WINE" "$WINCLI"
[ "$failures" = "$before" ] || pl_dump windows "$WIN"

LIN="$WORK/lin"
make_data "$LIN" "$WIN"
pl_start_sim "$LIN" 4
before=$failures
run_station linux "$LIN" "$WIDE"
[ "$failures" = "$before" ] || pl_dump linux "$LIN"

# Port by port the same images; the same MAC addresses handed out (which device gets
# which address follows the order in which the ports reach MAC programming).
PYTHONPATH="$PL_E2E_DIR" python3 - "$WIN/report.txt" "$LIN/report.txt" <<'EOF' >&2 || fail "the Windows and Linux runs differ (see above)"
import sys
from devices_report import read_report
win, lin = read_report(sys.argv[1]), read_report(sys.argv[2])
errors = []
for com in ["COM1", "COM2", "COM3", "COM4"]:
    for key in ["firmware", "eeprom", "eeprom-mac", "mac-writes"]:
        a, b = win.get(com, {}).get(key), lin.get(com, {}).get(key)
        if a is None or a != b:
            errors.append("%s %s: Windows %s, Linux %s" % (com, key, a, b))
macs = lambda r: sorted(r.get(c, {}).get("mac-programmed", "-") for c in ["COM1", "COM2", "COM3", "COM4"])
if macs(win) != macs(lin):
    errors.append("MACs: Windows %s, Linux %s" % (macs(win), macs(lin)))
for com in ["COM1", "COM2", "COM3", "COM4"]:
    print("%s firmware %s | eeprom %s | MAC %s (Linux %s)" % (
        com, win.get(com, {}).get("firmware", "-")[:20], win.get(com, {}).get("eeprom", "-")[:20],
        win.get(com, {}).get("mac-programmed"), lin.get(com, {}).get("mac-programmed")))
for e in errors:
    print("FAIL:", e)
sys.exit(1 if errors else 0)
EOF
echo "wine pipeline: $((SECONDS - t0)) s in all"
pl_finish "Windows station under Wine"
