#!/usr/bin/env bash
# devicesim end to end: option errors, sixteen devices linked as ports, a console
# dialogue, an EEPROM download and the loopback echo over the real pseudo-terminals,
# faults per port, the report, and clean-up of the links on SIGTERM (and a stale link
# of a killed simulator replaced on the next start).
#   test_devicesim.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SIM="$BUILD/devicesim"
WORK="$(mktemp -d /tmp/pt_devicesim_e2e.XXXXXX)"
PID=""
cleanup() {
  [ -n "$PID" ] && kill "$PID" 2>/dev/null && wait "$PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

start_sim() {  # args...; sets PID, waits for "ready"
  # Gone before the start, so an earlier run's "ready" is never taken for this one's.
  rm -f "$WORK/out.txt"
  "$SIM" "$@" > "$WORK/out.txt" 2> "$WORK/err.txt" &
  PID=$!
  for _ in $(seq 200); do
    grep -q '^ready' "$WORK/out.txt" 2>/dev/null && return 0
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "devicesim did not get ready:" >&2
  cat "$WORK/err.txt" >&2
  return 1
}
stop_sim() {  # expects a clean exit within 3 s
  kill -TERM "$PID"
  for _ in $(seq 60); do
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$PID" 2>/dev/null; then
    fail "devicesim still running 3 s after SIGTERM"
    kill -KILL "$PID"
  fi
  wait "$PID"
  local rc=$?
  PID=""
  [ "$rc" = 0 ] || fail "devicesim exit status $rc after SIGTERM"
}

# ---- option errors: exit status 2 and a message
for args in "--count 2" "--dir $WORK/d" "--dir $WORK/d --count 0" "--dir $WORK/d --count 65" \
            "--dir $WORK/d --count 2 --fault COM9:silent" "--dir $WORK/d --count 2 --fault COM1:bogus" \
            "--dir $WORK/d --count 2 --fault silent" "--dir $WORK/d --count 2 --ip 300.1.1.1" \
            "--dir $WORK/d --count 2 --first-com 256" "--dir $WORK/d --count 1 --bogus" \
            "--dir $WORK/d --count 2 --swap COM9:remove@1s" "--dir $WORK/d --count 2 --swap COM1:remove@soon" \
            "--dir $WORK/d --count 2 --shift 0"; do
  # shellcheck disable=SC2086
  "$SIM" $args > /dev/null 2> "$WORK/err.txt"
  rc=$?
  [ "$rc" = 2 ] || fail "devicesim $args: exit status $rc, expected 2"
  [ -s "$WORK/err.txt" ] || fail "devicesim $args: no message"
done
[ -e "$WORK/d/ports" ] && fail "a refused start created $WORK/d/ports"

# ---- --help explains every fault
"$SIM" --help > "$WORK/help.txt" || fail "--help exit status"
for f in silent silent-after-ser late fail mac-mismatch no-glm nul split crlf-split prompt noise \
         baud no-c nak-block silent-after-block eot-nak no-eot-ack refuse echo-crlf echo-split \
         echo-wrong echo-none echo-late slow-flash write-loss; do
  grep -q "^  $f" "$WORK/help.txt" || fail "--help does not explain the fault $f"
done
for o in --swap --shift --control; do
  grep -q -- "^  $o" "$WORK/help.txt" || fail "--help does not explain $o"
done

# ---- sixteen devices, COM3..COM18
DATA="$WORK/data"
start_sim --dir "$DATA" --count 16 --first-com 3 --fault COM7:silent --fault COM9:refuse \
  --fault COM4:baud=57600 \
  --fault all:late=50 --report "$WORK/report.txt" || exit 1
grep -qx 'ready 16' "$WORK/out.txt" || fail "ready line: $(cat "$WORK/out.txt")"
links=0
for n in $(seq 3 18); do
  l="$DATA/ports/COM$n"
  if [ -L "$l" ] && [ -c "$(readlink "$l")" ]; then links=$((links + 1)); else fail "$l is not a link to a terminal"; fi
done
[ "$links" = 16 ] || fail "$links links, expected 16"
[ -e "$DATA/ports/COM2" ] || [ -e "$DATA/ports/COM19" ] && fail "links outside COM3..COM18"

# The host side's helpers of both dialogues below: a raw pty port, and reading until a
# text arrives or the time is up.
cat > "$WORK/ptyline.py" <<'EOF'
import os, time, tty

def open_port(ports, name):
    fd = os.open(os.path.join(ports, name), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd

def read_until(fd, want, timeout):
    end = time.time() + timeout
    out = b""
    while time.time() < end:
        try:
            out += os.read(fd, 4096)
        except BlockingIOError:
            time.sleep(0.005)
        if want and want in out:
            break
    return out
EOF
cat > "$WORK/host.py" <<'EOF'
import os, socket, sys, time, tty, hashlib

ports = sys.argv[1]
failures = []

def check(cond, what):
    if not cond:
        failures.append(what)

from ptyline import read_until
import ptyline

def open_port(name):
    return ptyline.open_port(ports, name)

def crc16(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc

# COM3: wake-up, loader, an EEPROM image with the station's temporary MAC, restart.
fd = open_port("COM3")
os.write(fd, b"$SES\r\n")
check(b"fw =" in read_until(fd, b"fw =", 3), "COM3: no fw = line after $SES")
os.write(fd, b"@@")
check(b"Varnix Serial Loader" in read_until(fd, b"Varnix Serial Loader", 3), "COM3: no loader banner")
os.write(fd, b"E")
out = read_until(fd, b"C", 3)
check(b"Downloading" in out and out.endswith(b"C"), "COM3: no Downloading and C: %r" % out)
image = bytearray((i * 7 + 3) & 0xFF for i in range(1024))
image[6:12] = bytes([0xFF, 0xFF, 0xFF, 0x3A, 0x5C, 0x02])
t0 = time.time()
pkt = bytes([2, 1, 254]) + bytes(image) + crc16(image).to_bytes(2, "big")
os.write(fd, pkt)
check(read_until(fd, b"\x06", 2).endswith(b"\x06"), "COM3: block not acknowledged")
os.write(fd, b"\x04")
check(read_until(fd, b"\x06", 2).endswith(b"\x06"), "COM3: EOT not acknowledged")
block_ms = (time.time() - t0) * 1000
out = read_until(fd, b"Varnix Serial Loader", 5)
check(b"save to eeprom" in out and b"-\r" in out and b"|\r" in out, "COM3: no save to eeprom: %r" % out)
os.write(fd, b"R")
check(b"verison" in read_until(fd, b"verison", 5), "COM3: no verison line after R")
time.sleep(0.1)
os.write(fd, b"$GLM\r\n")
out = read_until(fd, b"\r\n%GLM", 2) + read_until(fd, b"\n", 1)
check(b"%GLM 02:5C:3A:FF:FF:FF" in out, "COM3: $GLM answer %r" % out)
os.write(fd, b"$GSVPA\r\n")
out = read_until(fd, b"\r\n", 2)
check(out.startswith(b"%GSVPA"), "COM3: $GSVPA answer %r" % out)
port = int(out[6:].strip() or b"0")
os.close(fd)
s = socket.create_connection(("127.0.0.1", port), timeout=2)
s.sendall(b"0123456789")
check(s.recv(64) == b"0123456789", "COM3: echo")
s.close()
print("sha", len(image), hashlib.sha256(image).hexdigest())
print("block_ms %.0f" % block_ms)

# COM7 is silent; COM9 refuses the echo connection.
fd = open_port("COM7")
os.write(fd, b"$SES\r\n")
check(read_until(fd, None, 0.5) == b"", "COM7 is not silent")
os.close(fd)
fd = open_port("COM9")
os.write(fd, b"$GSVPA\r\n")
out = read_until(fd, b"\r\n", 2)
port9 = int(out[6:].strip() or b"0")
os.close(fd)
try:
    socket.create_connection(("127.0.0.1", port9), timeout=2).close()
    failures.append("COM9: echo connection not refused")
except ConnectionRefusedError:
    pass

# COM4's console runs at 57600 baud: at 115200 nothing is understood, at 57600 it is.
import termios
fd = open_port("COM4")
os.write(fd, b"$SES\r\n")
check(b"fw =" not in read_until(fd, b"fw =", 0.5), "COM4 understood a host at the wrong rate")
attrs = termios.tcgetattr(fd)
attrs[4] = attrs[5] = termios.B57600
termios.tcsetattr(fd, termios.TCSANOW, attrs)
time.sleep(0.1)
os.write(fd, b"$SES\r\n")
check(b"fw =" in read_until(fd, b"fw =", 2), "COM4 silent at its own rate")
os.close(fd)

for f in failures:
    print("FAIL:", f, file=sys.stderr)
sys.exit(1 if failures else 0)
EOF
python3 "$WORK/host.py" "$DATA/ports" > "$WORK/host.out" || fail "host dialogue (see above)"
cat "$WORK/host.out"

# SIGUSR1: the report now, and the devices go on serving
kill -USR1 "$PID"
for _ in $(seq 40); do [ -s "$WORK/report.txt" ] && break; sleep 0.05; done
[ "$(grep -c '^device COM' "$WORK/report.txt" 2>/dev/null)" = 16 ] || fail "no report after SIGUSR1"
kill -0 "$PID" 2>/dev/null || fail "devicesim ended on SIGUSR1"
[ -L "$DATA/ports/COM3" ] || fail "links gone after SIGUSR1"
rm -f "$WORK/report.txt"

stop_sim
left=$(find "$DATA/ports" -mindepth 1 | wc -l)
[ "$left" = 0 ] || fail "$left links left in $DATA/ports after SIGTERM"
[ "$(grep -c '^device COM' "$WORK/report.txt")" = 16 ] || fail "report does not list 16 devices"
sha_line=$(grep '^sha ' "$WORK/host.out" | cut -d' ' -f2-)
awk '/^device COM3$/{p=1} p&&/^end$/{exit} p' "$WORK/report.txt" > "$WORK/com3.txt"
grep -qx "eeprom $sha_line" "$WORK/com3.txt" || fail "COM3 report has no 'eeprom $sha_line'"
for l in "eeprom-mac 02:5C:3A:FF:FF:FF" "eeprom-writes 1" "command \$SES" "command @@" "command E" \
         "command R" "command \$GLM" "firmware none"; do
  grep -qxF "$l" "$WORK/com3.txt" || fail "COM3 report lacks '$l'"
done
grep -q '^violation' "$WORK/com3.txt" && fail "COM3 report lists violations: $(grep '^violation' "$WORK/com3.txt")"
awk '/^device COM7$/{p=1} p&&/^end$/{exit} p' "$WORK/report.txt" | grep -qx 'state dead' \
  || fail "COM7 report is not 'state dead'"
awk '/^device COM4$/{p=1} p&&/^end$/{exit} p' "$WORK/report.txt" | grep -q '^violation host at 115200 baud on a 57600 baud console' \
  || fail "COM4 report does not name the wrong baud rate"

# ---- units swapped: COM1 by command (vanish, then silent), COM2 on a schedule
SWAP="$WORK/swap"
start_sim --dir "$SWAP" --count 2 --control "$WORK/ctl" --report "$WORK/swap.txt" \
  --swap COM2:vanish@300ms,insert@600ms || exit 1
cat > "$WORK/swap.py" <<'EOF'
import errno, os, sys, time, tty

ports, ctl, out_path = sys.argv[1:4]
failures = []

def check(cond, what):
    if not cond:
        failures.append(what)

def wait_for(pred, timeout):
    end = time.time() + timeout
    while time.time() < end:
        if pred():
            return True
        time.sleep(0.02)
    return False

def told(line):
    return wait_for(lambda: line in open(out_path).read().splitlines(), 3)

def command(text):
    with open(ctl, "w") as f:
        f.write(text + "\n")

from ptyline import read_until
import ptyline

def open_port(name):
    return ptyline.open_port(ports, name)

check(told("removed COM2 vanish") and told("inserted COM2 02:5C:3A:01:00:02"),
      "COM2's scheduled swap not told")
fd = open_port("COM1")
read_until(fd, b"MAC address", 6)
os.write(fd, b"$SYCXXMAC02:5C:3A:04:22:D1\r\n")
check(b"%SYCXXMAC OK" in read_until(fd, b"%SYCXXMAC OK", 2), "COM1: address not taken")
command("remove COM1 vanish")
check(told("removed COM1 vanish"), "COM1: vanish not told")
err = None
for _ in range(100):  # the hang-up reaches the open port within moments
    try:
        os.read(fd, 64)
    except BlockingIOError:
        time.sleep(0.01)
        continue
    except OSError as e:
        err = e.errno
    break
check(err == errno.EIO or err is None, "COM1: read after vanish: %s" % err)
check(not os.path.exists(os.path.join(ports, "COM1")), "COM1: link left after vanish")
os.close(fd)
command("insert COM1")
check(told("inserted COM1 02:5C:3A:01:00:01"), "COM1: insertion not told")
fd = open_port("COM1")
out = read_until(fd, b"MAC address 02:5C:3A:01:00:01", 6)
check(b"MAC address 02:5C:3A:01:00:01" in out, "COM1: no start-up of the fresh unit: %r" % out)
command("remove COM1")
check(told("removed COM1 silent"), "COM1: silent removal not told")
os.write(fd, b"$GLM\r\n")
check(read_until(fd, None, 0.5) == b"", "COM1 answered with its unit out")
os.close(fd)
for f in failures:
    print("FAIL:", f, file=sys.stderr)
sys.exit(1 if failures else 0)
EOF
python3 "$WORK/swap.py" "$SWAP/ports" "$WORK/ctl" "$WORK/out.txt" || fail "swap dialogue (see above)"
stop_sim
[ -e "$WORK/ctl" ] && fail "control pipe left after SIGTERM"
awk '/^device COM1$/{p=1} p&&/^end$/{exit} p' "$WORK/swap.txt" > "$WORK/com1.txt"
grep -qx 'state empty' "$WORK/com1.txt" || fail "COM1 report: not 'state empty'"
for l in "unit 1 factory-mac=02:5C:3A:00:00:01 .* removed=vanish mac-programmed=02:5C:3A:04:22:D1 mac-writes=1 " \
         "unit 2 factory-mac=02:5C:3A:01:00:01 .* removed=silent mac-programmed=none "; do
  grep -q "^$l" "$WORK/com1.txt" || fail "COM1 report lacks '$l': $(grep '^unit' "$WORK/com1.txt")"
done
[ "$(grep -c '^unit ' "$WORK/com1.txt")" = 2 ] || fail "COM1 report: not two units"
grep -q '^unit-violation' "$WORK/swap.txt" && fail "violations in the swap run: $(grep '^unit-violation' "$WORK/swap.txt")"

# ---- a killed simulator's stale link is replaced; anything else in the way is refused
start_sim --dir "$DATA" --count 2 || exit 1
kill -KILL "$PID"; wait "$PID" 2>/dev/null; PID=""
[ -L "$DATA/ports/COM1" ] || fail "no stale link after kill -9 (test set-up)"
start_sim --dir "$DATA" --count 2 || fail "start over a stale link"
[ -n "$PID" ] && stop_sim
echo "not a link" > "$DATA/ports/COM2"
"$SIM" --dir "$DATA" --count 2 > /dev/null 2> "$WORK/err.txt"
rc=$?
[ "$rc" = 1 ] || fail "start with a file in the way: exit status $rc, expected 1"
grep -q "COM2" "$WORK/err.txt" || fail "no message naming COM2: $(cat "$WORK/err.txt")"
[ "$(cat "$DATA/ports/COM2")" = "not a link" ] || fail "the file in the way was changed"
[ -e "$DATA/ports/COM1" ] && fail "a refused start left COM1 behind"

if [ "$failures" -gt 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "devicesim e2e: all checks passed"
