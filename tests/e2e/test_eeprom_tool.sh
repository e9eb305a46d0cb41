#!/usr/bin/env bash
# eeprom-tool end to end: builds, shows and edits images and checks their bytes.
# Usage: test_eeprom_tool.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
BUILD="${1:?build dir}"
TOOL="$BUILD/eeprom-tool"
[ -x "$TOOL" ] || { echo "FAIL: $TOOL not built"; exit 1; }
WORK="$(mktemp -d /tmp/eeprom_tool_e2e.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The bytes of a file at an offset, as lower-case hex without spaces.
bytes_at() {  # file offset count
  od -An -v -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'
}
# Runs the tool expecting exit status 2 and one stderr line.
expect_error() {  # expected-line args...
  local want="$1"; shift
  local err rc
  err="$("$TOOL" "$@" 2>&1 >/dev/null)"; rc=$?
  [ "$rc" = 2 ] || fail "$* exited $rc, wanted 2"
  [ "$err" = "$want" ] || fail "$*: stderr '$err', wanted '$want'"
}

# --- the built-in image (its bytes are checked by the unit tests) ---
out="$("$TOOL" new "$WORK/default.vef")" || fail "new default"
[ "$out" = "wrote $WORK/default.vef (1024 bytes)" ] || fail "new says: $out"
[ "$(stat -c %s "$WORK/default.vef")" = 1024 ] || fail "default image is not 1024 bytes"

# --- show prints both records as the editor shows them ---
out="$("$TOOL" show "$WORK/default.vef")" || fail "show default"
expected_record() {  # caption
  printf '%s\n' "$1" "  Device Name: SX-4210QB" "  Model Name: SX-4210QB" "  Password: " \
    "  IP Configuration: Static" "  IP Address: 192.168.192.168" "  NetMask: 255.255.255.0" \
    "  Gateway: 0.0.0.0" "  Ping Configurate Enable: off" "  TCP Listen Port: 9100"
}
[ "$out" = "$(expected_record "Custom settings"; expected_record "Default settings")" ] ||
  fail "show output: $out"

# --- options of both records, byte order of every field ---
"$TOOL" new "$WORK/a.vef" --c-ip-address 10.0.0.5 --c-gateway 10.0.0.1 --c-net-mask 255.0.0.0 \
  --c-device-name ABCDEFGHIJKLMNOP --c-password 12345678 --c-model-name MODEL-NAME-16CHR \
  --c-tcp-listen-port 65535 --c-ip-config DHCP --c-ping on \
  --d-tcp-listen-port= --d-ip-address=192.168.1.127 --d-device-name=dev || fail "new with options"
[ "$(bytes_at "$WORK/a.vef" 25 4)" = "0500000a" ] || fail "ip address bytes"
[ "$(bytes_at "$WORK/a.vef" 29 4)" = "000000ff" ] || fail "net mask bytes"
[ "$(bytes_at "$WORK/a.vef" 146 4)" = "0a000001" ] || fail "gateway bytes"
[ "$(bytes_at "$WORK/a.vef" 128 18)" = "4142434445464748494a4b4c4d4e4f50ffff" ] ||
  fail "16-character device name and port"
[ "$(bytes_at "$WORK/a.vef" 150 2)" = "0101" ] || fail "ip config and ping"
[ "$(bytes_at "$WORK/a.vef" 154 8)" = "3132333435363738" ] || fail "8-character password"
[ "$(bytes_at "$WORK/a.vef" 162 17)" = "4d4f44454c2d4e414d452d313643485200" ] ||
  fail "16-character model name"
[ "$(bytes_at "$WORK/a.vef" 400 2)" = "0000" ] || fail "empty default port"
[ "$(bytes_at "$WORK/a.vef" 281 4)" = "7f01a8c0" ] || fail "default ip address"
out="$("$TOOL" show "$WORK/a.vef")"
grep -qx "  Model Name: MODEL-NAME-16C" <<<"$out" || fail "model name reads back as 14 characters"
grep -qx "  Device Name: dev" <<<"$out" || fail "default device name"
grep -qx "  TCP Listen Port: 0" <<<"$out" || fail "empty port shows 0"
# Loading cuts the 16-character model name, and says so.
"$TOOL" show "$WORK/a.vef" 2>&1 >/dev/null | grep -qx "warning Warning: Model Name of Custom settings cut to 14 characters" ||
  fail "show does not say the model name was cut"

# --- texts count the image's single-byte characters; others are refused ---
"$TOOL" new "$WORK/u.vef" --c-device-name "Müller-Straße-16" >/dev/null || fail "16 Latin-1 characters"
[ "$(bytes_at "$WORK/u.vef" 128 16)" = "4dfc6c6c65722d53747261df652d3136" ] || fail "Latin-1 bytes"
"$TOOL" show "$WORK/u.vef" | grep -qx "  Device Name: Müller-Straße-16" || fail "show prints Latin-1 text"
expect_error "error Error: Password can't hold '€': the image takes single-byte (Latin-1) characters only" \
  new "$WORK/x.vef" --c-password "1€"

# --- edit: in place, or to another file; the editor's checks and texts ---
# An image holds passwords: its permissions stay, and a new output file takes them.
cp "$WORK/a.vef" "$WORK/b.vef"
chmod 600 "$WORK/b.vef"
out="$("$TOOL" edit "$WORK/b.vef" --d-gateway 1.2.3.4 -o "$WORK/c.vef")" || fail "edit -o"
[ "$out" = "wrote $WORK/c.vef (1024 bytes); Model Name of Custom settings cut to 14 characters" ] ||
  fail "edit says: $out"
cmp -s "$WORK/a.vef" "$WORK/b.vef" || fail "edit -o changed its input"
[ "$(bytes_at "$WORK/c.vef" 402 4)" = "01020304" ] || fail "edited default gateway"
[ "$(stat -c %a "$WORK/c.vef")" = 600 ] || fail "edit -o: mode $(stat -c %a "$WORK/c.vef")"
"$TOOL" edit "$WORK/b.vef" --c-tcp-listen-port x10 || fail "edit in place"
[ "$(bytes_at "$WORK/b.vef" 144 2)" = "0010" ] || fail "x10 is 16"
[ "$(stat -c %a "$WORK/b.vef")" = 600 ] || fail "edit in place: mode $(stat -c %a "$WORK/b.vef")"

cp "$WORK/b.vef" "$WORK/keep.vef"
expect_error "error Error: 0~65535 is valid" edit "$WORK/b.vef" --c-tcp-listen-port 70000
expect_error "error Error: 'G1' is not a valid integer value." edit "$WORK/b.vef" --d-tcp-listen-port G1
expect_error "error Error: Device Name can't be blank" edit "$WORK/b.vef" --d-device-name ""
expect_error "error Error: Model Name can't be blank" edit "$WORK/b.vef" --c-model-name ""
expect_error "error Error: invalid IP address" edit "$WORK/b.vef" --c-ip-address 0.1.2.3
expect_error "error Error: invalid netmask" edit "$WORK/b.vef" --d-net-mask 0.0.0.0
expect_error "error Error: Password can't be longer than 8 characters" edit "$WORK/b.vef" --c-password 123456789
expect_error "error Error: '1.2.3' is not a valid IP address" edit "$WORK/b.vef" --c-gateway 1.2.3
cmp -s "$WORK/b.vef" "$WORK/keep.vef" || fail "a refused edit changed the file"

# --- loading failures are reported ---
head -c 1153 /dev/zero >"$WORK/1153.vef"
expect_error "error Error: File can't be recognized." show "$WORK/1153.vef"
: >"$WORK/empty.vef"
expect_error "error Error: File can't be recognized." show "$WORK/empty.vef"
expect_error "error Error: cannot open $WORK/none.vef: No such file or directory" show "$WORK/none.vef"

# --- usage ---
"$TOOL" --help | grep -q -- "--d-tcp-listen-port" || fail "--help lists the options"
"$TOOL" >/dev/null 2>&1; [ $? = 2 ] || fail "no arguments: status 2"
expect_error "error Error: unknown option --c-colour" new "$WORK/x.vef" --c-colour red
[ ! -e "$WORK/x.vef" ] || fail "a refused new wrote a file"

if [ "$failures" = 0 ]; then echo "eeprom-tool: all checks passed"; exit 0; fi
echo "eeprom-tool: $failures check(s) failed"
exit 1
