#!/usr/bin/env bash
# Benchmark of the whole three-step job (firmware and EEPROM download, loopback test,
# MAC programming) on 1 and on 16 simulated devices, inside a private network
# namespace. Prints for each size the wall time, the station's CPU time as a share of
# the wall time and its peak memory (max RSS), then the ratio of the two wall times.
# Goals: 16 devices take at most 1.1 times as long as one; CPU under 2% of the wall
# time. For 16 devices it also prints the units per hour of one station running the
# job back to back.
#   bench/bench_pipeline.sh [--build DIR] [--runs N] [--firmware-kb K] [--fast]
#                           [--devices "1 16"]
#   (default: build/normal, 3 runs per size, a 32 KB firmware image, the 200 ms pause
#   after every block (--fast: fast download), 1 and 16 devices; the median run of
#   each size is shown. The demo job is --firmware-kb 20.)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build/normal"
RUNS=3
FWKB=32
FAST=""
DEVICES="1 16"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD="$(cd "$2" && pwd)"; shift 2 ;;
    --runs) RUNS="$2"; shift 2 ;;
    --firmware-kb) FWKB="$2"; shift 2 ;;
    --fast) FAST="--fast-download"; shift ;;
    --devices) DEVICES="$2"; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "bench_pipeline: unknown option $1" >&2; exit 2 ;;
  esac
done
CLI="$BUILD/tests/production-cli-widepool"
SIM="$BUILD/devicesim"
EETOOL="$BUILD/eeprom-tool"
for b in "$CLI" "$SIM" "$EETOOL"; do
  [ -x "$b" ] || { echo "bench_pipeline: $b is not built (build the tests in $BUILD)" >&2; exit 2; }
done

if [ -z "${PT_BENCH_INSIDE:-}" ]; then
  rc=0
  env -u PT_IN_NETNS PT_BENCH_INSIDE=1 bash "$ROOT/scripts/netns.sh" -- \
    bash "$0" --build "$BUILD" --runs "$RUNS" --firmware-kb "$FWKB" ${FAST:+--fast} \
    --devices "$DEVICES" || rc=$?
  [ "$rc" = 97 ] && echo "bench_pipeline: needs a private network namespace (unshare -rn)" >&2
  exit "$rc"
fi

# ---- inside the namespace ----
WORK="$(mktemp -d /tmp/pt_bench_pipeline.XXXXXX)"
SIM_PID=""
cleanup() {
  if [ -n "$SIM_PID" ]; then
    kill -TERM "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

"$EETOOL" new "$WORK/sample.vef" >/dev/null
head -c $((FWKB * 1024 - 100)) /dev/urandom > "$WORK/sample.vff"

# Runs the station once; prints "wall_s cpu_s maxrss_kb exit_status downloaded_s tested_s"
# (the last two: when the last port finished its download and its loopback test).
cat > "$WORK/measure.py" <<'PY'
import os, sys, time
t0 = time.monotonic()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(r)
    os.dup2(w, 1)
    os.dup2(w, 2)
    os.execv(sys.argv[2], sys.argv[2:])
os.close(w)
downloaded, tested = {}, {}
with open(sys.argv[1], "wb") as out, os.fdopen(r, "rb") as pipe:
    for line in pipe:
        out.write(line)
        f = line.split(b" ", 2)
        if f[0] == b"status" and len(f) == 3:
            now = time.monotonic() - t0
            if f[2].endswith(b": factory test\n"):
                downloaded.setdefault(f[1], now)
            elif f[2].endswith(b": loopback test ok\n"):
                tested.setdefault(f[1], now)
_, status, ru = os.wait4(pid, 0)
wall = time.monotonic() - t0
print("%.3f %.3f %d %d %.3f %.3f" % (wall, ru.ru_utime + ru.ru_stime, ru.ru_maxrss,
      os.waitstatus_to_exitcode(status), max(downloaded.values(), default=0),
      max(tested.values(), default=0)))
PY

# run_once <count> <run>: one run; sets ROW to "wall cpu rss".
run_once() {
  local count="$1" data="$WORK/run$1-$2"
  mkdir -p "$data"
  printf '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n' > "$data/storedMAC.txt"
  "$SIM" --dir "$data" --count "$count" --ip 192.168.1.127 > "$data/sim.out" 2> "$data/sim.err" &
  SIM_PID=$!
  for _ in $(seq 200); do
    grep -q '^ready' "$data/sim.out" 2>/dev/null && break
    sleep 0.05
  done
  grep -q '^ready' "$data/sim.out" || { echo "devicesim did not start" >&2; cat "$data/sim.err" >&2; exit 1; }
  # The devices are powered up before the job starts, as on the line.
  sleep 2
  local m
  m="$(timeout -k 10 600 python3 "$WORK/measure.py" "$data/cli.out" "$CLI" --dir "$data" \
        --eeprom "$WORK/sample.vef" --firmware "$WORK/sample.vff" --program-mac --no-log $FAST)"
  kill -TERM "$SIM_PID"
  wait "$SIM_PID" || true
  SIM_PID=""
  local f=($m)
  if [ "${f[3]:-x}" != 0 ]; then
    echo "run with $count device(s) failed (exit status ${f[3]:-none}):" >&2
    cat "$data/cli.out" >&2
    exit 1
  fi
  ROW="${f[0]} ${f[1]} ${f[2]} ${f[4]} ${f[5]}"
}

median() { sort -n | awk '{a[NR] = $0} END {print a[int((NR + 1) / 2)]}'; }

declare -A WALL CPU RSS
for count in $DEVICES; do
  rows=()
  for ((r = 1; r <= RUNS; r++)); do
    run_once "$count" "$r"
    rows+=("$ROW")
    f=($ROW)
    printf '  %2d device(s), run %d: wall %s s (downloads done %s s, loopback tests done %s s), cpu %s s, max RSS %s KB\n' \
      "$count" "$r" "${f[0]}" "${f[3]}" "${f[4]}" "${f[1]}" "${f[2]}"
  done
  WALL[$count]="$(printf '%s\n' "${rows[@]}" | awk '{print $1}' | median)"
  CPU[$count]="$(printf '%s\n' "${rows[@]}" | awk -v w="${WALL[$count]}" '$1 == w {print $2; exit}')"
  RSS[$count]="$(printf '%s\n' "${rows[@]}" | awk '{print $3}' | sort -n | tail -n 1)"
done

echo
echo "pipeline benchmark: firmware ${FWKB} KB + EEPROM 1 KB, loopback test, MAC programming," \
  "${FAST:+fast download, }median of $RUNS run(s)"
for count in $DEVICES; do
  awk -v n="$count" -v w="${WALL[$count]}" -v c="${CPU[$count]}" -v r="${RSS[$count]}" \
    'BEGIN {printf "  %2d device(s): wall %6.2f s   cpu %6.3f s (%.2f%% of wall)   max RSS %6.1f MB   %.0f units/hour\n", n, w, c, 100 * c / w, r / 1024, n * 3600 / w}'
done
if [ -n "${WALL[1]:-}" ] && [ -n "${WALL[16]:-}" ]; then
  awk -v a="${WALL[1]}" -v b="${WALL[16]}" \
    'BEGIN {printf "  ratio 16/1: %.3f (goal at most 1.1)\n", b / a}'
fi
