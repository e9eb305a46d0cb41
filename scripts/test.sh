#!/usr/bin/env bash
# Builds and runs every test: the normal build (unit, window and end-to-end tests),
# the Windows build (unit and end-to-end tests under Wine),
# the address+undefined sanitizer build (all tests), the thread sanitizer build
# (GUI-free tests) and the fuzzers for a bounded time.
# Usage: scripts/test.sh [--quick]   (--quick: the normal build only)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
bash scripts/setup.sh
JOBS="${JOBS:-$(nproc)}"
FUZZ_SECONDS="${FUZZ_SECONDS:-45}"

build() {  # dir, cmake args...   (warnings are errors in every test build)
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DPT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
runtests() {  # dir, ctest args...
  local dir="$1"; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

status=0
build build/normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
runtests build/normal || status=1
if [ "${1:-}" != "--quick" ]; then
  # Windows: cross-built with mingw-w64, its tests run under Wine (the end-to-end run
  # uses build/normal's simulator and Linux runner).
  SKIP_SETUP=1 PT_WERROR=ON JOBS="$JOBS" bash scripts/build-windows.sh --native build/normal >/dev/null
  JOBS="$JOBS" bash scripts/test-windows.sh build/windows || status=1
  build build/asan -DCMAKE_BUILD_TYPE=Debug -DPT_SANITIZE=address
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    runtests build/asan -LE bench || status=1
  build build/tsan -DCMAKE_BUILD_TYPE=Debug -DPT_SANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 runtests build/tsan -L core || status=1
  build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_FUZZ=ON -DPT_WITH_GUI=OFF \
    -DCMAKE_CXX_COMPILER=clang++-14 -DPT_FUZZ_SECONDS="$FUZZ_SECONDS"
  runtests build/fuzz -L fuzz || status=1
  # The README's install path, as a packager builds it: Release, warnings not errors,
  # then the Debian package, whose contents are checked.
  bash scripts/package.sh build/release || status=1
fi
if [ $status = 0 ]; then echo "ALL TEST BUILDS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
