#!/usr/bin/env bash
# The window program end to end (offscreen): it refuses bad options and a missing data
# directory, comes up with a data directory, and ends cleanly on SIGTERM and SIGINT.
# No run is started, so it sends no traffic.
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

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "window program: all checks passed"
