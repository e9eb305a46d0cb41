#!/usr/bin/env bash
# Runs the Windows build's tests under Wine (64-bit wine64 only: a 32-bit program
# without wine32 would exit 0 without running anything). Wine's server is started here
# with its output sent nowhere, warmed up with one program, and stopped at the end.
#   scripts/test-windows.sh [build dir]    (default build/windows)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DIR="$(realpath "${1:-$ROOT/build/windows}")"
WINE="$(sed -n 's/^PT_WINE:FILEPATH=//p' "$DIR/CMakeCache.txt")"
[ -x "$WINE" ] || { echo "test-windows: no wine64 (scripts/setup.sh installs it)" >&2; exit 1; }
WINESERVER="$(dirname "$WINE")/wineserver"
[ -x "$WINESERVER" ] || WINESERVER="$(command -v wineserver)"
export WINEPREFIX="$DIR/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
t0=$SECONDS
"$WINESERVER" -p >/dev/null 2>&1 </dev/null
# The first program makes the prefix and starts Wine's services: with their output
# sent nowhere too, since a service keeps the output it was started with.
"$WINE" reg query 'HKLM\Software\Wine' >/dev/null 2>&1 </dev/null
echo "test-windows: Wine ready in $((SECONDS - t0)) s"
status=0
(cd "$DIR" && ctest --output-on-failure -j "${JOBS:-$(nproc)}") || status=1
"$WINESERVER" -k >/dev/null 2>&1
echo "test-windows: $((SECONDS - t0)) s"
exit $status
