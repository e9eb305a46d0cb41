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
FUZZ_SECONDS="${FUZZ_SECONDS:-30}"
# Compiler outputs are kept by ccache (its own directory, ~/.cache/ccache unless
# CCACHE_DIR says otherwise), so a run rebuilds only what changed since the last one.
if command -v ccache > /dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
fi

build() {  # dir, cmake args...   (warnings are errors in every test build)
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DPT_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
# build_only <dir> <ctest label> <cmake args...>: configures, then builds only the
# programs of the label's tests (each test is named after its program).
build_only() {
  local dir="$1" label="$2"; shift 2
  cmake -S . -B "$dir" -G Ninja -DPT_WERROR=ON "$@" >/dev/null
  local targets
  targets="$(cd "$dir" && ctest -N -L "$label" | sed -n 's/^ *Test *#[0-9]*: //p')"
  # shellcheck disable=SC2086  # one target per word
  cmake --build "$dir" -j "$JOBS" --target $targets
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
  build_only build/tsan core -DCMAKE_BUILD_TYPE=Debug -DPT_SANITIZE=thread -DPT_WITH_GUI=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 runtests build/tsan -L core || status=1
  build_only build/fuzz fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_FUZZ=ON -DPT_WITH_GUI=OFF \
    -DCMAKE_CXX_COMPILER=clang++-14 -DPT_FUZZ_SECONDS="$FUZZ_SECONDS"
  runtests build/fuzz -L fuzz || status=1
  # The README's install path, as a packager builds it: Release, warnings not errors,
  # then the Debian package, whose contents are checked.
  bash scripts/package.sh build/release || status=1
fi
if [ $status = 0 ]; then echo "ALL TEST BUILDS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
