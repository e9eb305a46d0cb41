#!/usr/bin/env bash
# Builds the 64-bit Windows programs with Debian's mingw-w64 (posix threads, static
# runtime): production-cli.exe, eeprom-tool.exe and the GoogleTest programs, in
# build/windows (or $PT_WINDOWS_BUILD). The windows (Qt) are not built here: see the
# README's Windows section.
#   scripts/build-windows.sh [--native DIR]
# --native DIR names a Linux build of the same sources; its devicesim and runner let
# ctest in build/windows run the end-to-end test under Wine as well.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
NATIVE=""
if [ "${1:-}" = "--native" ]; then NATIVE="$(realpath "$2")"; shift 2; fi
[ "${SKIP_SETUP:-}" = 1 ] || bash scripts/setup.sh
DIR="${PT_WINDOWS_BUILD:-build/windows}"
cmake -S . -B "$DIR" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPT_WITH_GUI=OFF -DPT_NATIVE_BUILD_DIR="$NATIVE" \
  -DPT_WERROR="${PT_WERROR:-OFF}" >/dev/null
cmake --build "$DIR" -j "${JOBS:-$(nproc)}"
echo "build-windows: $DIR/production-cli.exe $DIR/eeprom-tool.exe"
