#!/usr/bin/env bash
# Benchmark of the station's service during a 16-port run of the whole job on simulated
# devices, inside a private network namespace. The test-only runner serves on
# 127.0.0.1 and the run is started through the API; each round runs the job three
# times: without subscribers, with N subscribers on /api/v1/events (10 unless told),
# and with the same N and one more that connects and never reads. Prints for each run
# the wall time (Start to the run's end), the station's CPU time (utime + stime from
# /proc) and its share of the wall time, the events each subscriber got, the latency
# from the board call to the event's arrival at a subscriber (median and 99th
# percentile over every event of every subscriber), the spread of one event's arrival
# over the subscribers, and the ports' verdicts; then whether the station closed the
# slow subscriber's connection. The station and its subscribers are set up first, then
# the devices power up and Start comes 2 s after they are ready in every run (where in
# their boot the job starts moves the run's end by 5 s).
#   bench/bench_service.sh [--build DIR] [--rounds N] [--subscribers N]
#                          [--firmware-kb K] [--fast]
#   (default: build/normal, 1 round, 10 subscribers, a 20 KB firmware image, the
#   200 ms pause after every block; --fast: fast download; PT_BENCH_KEEP=1 keeps the
#   runs' files)
# Latency, two ways: "ms clock" is the arrival (the subscriber's wall clock) less the
# event's `time` (the station's wall clock in whole ms at the board call), so it reads
# up to 1 ms high (0.5 ms on average); "line" is the arrival less the moment the
# benchmark read the station's board line for the same call (written and flushed just
# before the event is published), taken with the same clock in microseconds (status,
# mac and message events; progress and unit events have no line).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build/normal"
ROUNDS=1
SUBS=10
FWKB=20
FAST=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) BUILD="$(cd "$2" && pwd)"; shift 2 ;;
    --rounds) ROUNDS="$2"; shift 2 ;;
    --subscribers) SUBS="$2"; shift 2 ;;
    --firmware-kb) FWKB="$2"; shift 2 ;;
    --fast) FAST="--fast-download"; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "bench_service: unknown option $1" >&2; exit 2 ;;
  esac
done
CLI="$BUILD/tests/production-cli-widepool"
SIM="$BUILD/devicesim"
EETOOL="$BUILD/eeprom-tool"
for b in "$CLI" "$SIM" "$EETOOL"; do
  [ -x "$b" ] || { echo "bench_service: $b is not built (build the tests in $BUILD)" >&2; exit 2; }
done

if [ -z "${PT_BENCH_INSIDE:-}" ]; then
  rc=0
  env -u PT_IN_NETNS PT_BENCH_INSIDE=1 bash "$ROOT/scripts/netns.sh" -- \
    bash "$0" --build "$BUILD" --rounds "$ROUNDS" --subscribers "$SUBS" --firmware-kb "$FWKB" \
    ${FAST:+--fast} || rc=$?
  [ "$rc" = 97 ] && echo "bench_service: needs a private network namespace (unshare -rn)" >&2
  exit "$rc"
fi

# ---- inside the namespace ----
WORK="$(mktemp -d /tmp/pt_bench_service.XXXXXX)"
cleanup() {
  if [ -n "${PT_BENCH_KEEP:-}" ]; then echo "bench_service: kept $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

"$EETOOL" new "$WORK/sample.vef" >/dev/null
head -c $((FWKB * 1024 - 100)) /dev/urandom > "$WORK/sample.vff"

# run_once <name> <helper options...>: one 16-port run on fresh devices (the helper
# starts them once the station and its subscribers are set up); its figures are
# appended to $WORK/runs.jsonl.
run_once() {
  local name="$1" data="$WORK/$1"
  shift
  mkdir -p "$data"
  printf '02:5C:3A:04:22:D1\r\n02:5C:3A:04:22:FF\r\n' > "$data/storedMAC.txt"
  local row
  row="$(timeout -k 10 600 python3 "$ROOT/bench/bench_service.py" run --cli "$CLI" --out "$data/run" \
         --sim "$SIM" --sim-dir "$data" "$@" \
         -- --dir "$data" --eeprom "$WORK/sample.vef" --firmware "$WORK/sample.vff" --program-mac \
         --no-log $FAST)" || { echo "run $name failed:" >&2; cat "$data/run/cli.err" >&2; exit 1; }
  echo "$row" >> "$WORK/runs.jsonl"
  echo "  $name done" >&2
}

for ((r = 1; r <= ROUNDS; r++)); do
  run_once "r$r-none" --subscribers 0
  run_once "r$r-subs" --subscribers "$SUBS"
  run_once "r$r-slow" --subscribers "$SUBS" --slow
done

echo
echo "service benchmark: 16 ports, firmware ${FWKB} KB + EEPROM 1 KB, loopback test, MAC programming${FAST:+, fast download}"
echo "(latencies in ms: board call to a subscriber; spread: one event's arrival over the subscribers)"
python3 "$ROOT/bench/bench_service.py" table "$WORK/runs.jsonl"
