#!/usr/bin/env bash
# The real main window, offscreen, running the whole job on a simulated device: the Qt
# Test program gui_test_gui_pipeline, run inside a private network namespace (the
# device's loopback echo is at 192.168.1.127).
#   test_gui_pipeline.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
if [ "${PT_WITH_GUI:-1}" = 0 ]; then
  echo "skipped: no GUI in this build"
  exit 0
fi
BIN="$BUILD/tests/gui_test_gui_pipeline"
[ -x "$BIN" ] || { echo "FAIL: $BIN is not built" >&2; exit 1; }
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
OUT="$(mktemp /tmp/pt_gui_pipeline.XXXXXX)"
trap 'rm -f "$OUT"' EXIT
rc=0
env -u PT_IN_NETNS timeout -k 10 400 bash "$SRC/scripts/netns.sh" -- "$BIN" > "$OUT" 2>&1 || rc=$?
cat "$OUT"
if [ "$rc" = 97 ]; then
  echo "FAIL: this machine cannot create a private network namespace (unshare -rn);" \
       "the window's run talks to 192.168.1.127 only inside one, so it cannot run here" >&2
  exit 1
fi
[ "$rc" = 124 ] && echo "FAIL: the window's run did not end within 400 s" >&2
[ "$rc" = 0 ] || exit 1
grep -q '^PASS   : TestGuiPipeline::wholeJobOnOneDevice()' "$OUT" \
  || { echo "FAIL: the window's run did not pass (skipped?)" >&2; exit 1; }
echo "window pipeline end to end: passed"
