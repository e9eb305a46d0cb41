#!/usr/bin/env bash
# The window programs end to end (offscreen): production-tool refuses bad options and a
# missing data directory, comes up with a data directory, and ends cleanly on SIGTERM
# and SIGINT; eeprom-editor comes up with its Configuration dialog; cmake --install
# puts the programs, launchers and icons in place. No run is started: no traffic.
#   test_window_program.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
TOOL="$BUILD/production-tool"
if [ "${PT_WITH_GUI:-1}" = "0" ] || [ ! -x "$TOOL" ]; then
  echo "window program not built; nothing to test"
  exit 0
fi
export QT_QPA_PLATFORM=offscreen

WORK="$(mktemp -d /tmp/pt_window_e2e.XXXXXX)"
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$TOOL" --bogus >"$WORK/out" 2>&1
st=$?
[ "$st" = 2 ] || fail "unknown option: exit status $st, expected 2"
grep -q "unknown option: --bogus" "$WORK/out" || fail "unknown option not named: $(cat "$WORK/out")"

"$TOOL" --dir "$WORK/missing" >"$WORK/out" 2>&1
st=$?
[ "$st" = 2 ] || fail "missing data directory: exit status $st, expected 2"
grep -q "data directory not found" "$WORK/out" || fail "missing directory not reported"

"$TOOL" --dir >"$WORK/out" 2>&1
st=$?
[ "$st" = 2 ] || fail "--dir without a value: exit status $st, expected 2"

mkdir -p "$WORK/data"
for sig in TERM INT; do
  "$TOOL" --dir "$WORK/data" >"$WORK/out" 2>&1 &
  pid=$!
  # Up and still running after a moment: the window came up.
  sleep 1.5
  if ! kill -0 "$pid" 2>/dev/null; then
    fail "SIG$sig: the program ended on its own: $(cat "$WORK/out")"
    continue
  fi
  kill -"$sig" "$pid"
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    fail "SIG$sig: the program did not end"
    kill -KILL "$pid"
  fi
  wait "$pid"
  st=$?
  [ "$st" = 0 ] || fail "SIG$sig: exit status $st, expected 0 (a closed window)"
done
# Nothing was written into the data directory by merely starting and closing.
[ -z "$(ls -A "$WORK/data")" ] || fail "data directory changed: $(ls -A "$WORK/data")"

EDITOR="$BUILD/eeprom-editor"
"$EDITOR" --help >/dev/null 2>&1 || fail "eeprom-editor --help failed"
"$EDITOR" --bogus >"$WORK/out" 2>&1
st=$?
[ "$st" = 2 ] || fail "eeprom-editor unknown option: exit status $st, expected 2"
"$EDITOR" >"$WORK/out" 2>&1 &
pid=$!
sleep 1.5
if kill -0 "$pid" 2>/dev/null; then
  kill -TERM "$pid"
  wait "$pid"
else
  wait "$pid"
  fail "eeprom-editor ended without its dialog being answered: $(cat "$WORK/out")"
fi

# An installed station: programs, launchers (the station's names its data directory)
# and icons.
SRC="$2"
if cmake --install "$BUILD" --prefix "$WORK/inst" >"$WORK/out" 2>&1; then
  for f in bin/production-tool bin/production-cli bin/eeprom-tool bin/eeprom-editor \
           share/applications/production-tool.desktop share/applications/eeprom-editor.desktop \
           share/icons/hicolor/scalable/apps/production-tool.svg \
           share/icons/hicolor/48x48/apps/eeprom-editor.png share/doc/production-tool/README.md; do
    [ -e "$WORK/inst/$f" ] || fail "not installed: $f"
  done
  grep -qx 'Exec=production-tool --dir /var/lib/production-tool' \
    "$WORK/inst/share/applications/production-tool.desktop" || fail "station launcher: wrong Exec"
  grep -qx 'Icon=eeprom-editor' "$WORK/inst/share/applications/eeprom-editor.desktop" \
    || fail "editor launcher: wrong Icon"
  cmp -s "$SRC/README.md" "$WORK/inst/share/doc/production-tool/README.md" || fail "README differs"
else
  fail "cmake --install failed: $(tail -3 "$WORK/out")"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "window program: all checks passed"
