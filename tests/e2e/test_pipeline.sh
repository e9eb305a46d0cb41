#!/usr/bin/env bash
# The whole three-step job (firmware and EEPROM download, loopback test, MAC
# programming from the pool) by the headless runner against simulated devices inside a
# private network namespace: 4 devices, then 16. Every port ends programmed, the pool
# advances by the number of devices, every device holds exactly the images it was
# meant to get and a MAC address of its own, and the logs are written. The 16 devices
# leave 16 production records that name the same images and addresses as the devices'
# report; the 4 devices run with the records in a read-only directory, which the
# station reports and which costs no device and no address.
#   test_pipeline.sh <build dir> <source dir>
set -uo pipefail
BUILD="$1"
SRC="$2"
# shellcheck source=lib_pipeline.bash
source "$SRC/tests/e2e/lib_pipeline.bash"
pl_enter "$BUILD" "$SRC" "$(realpath "$0")"

# run_job <count> <next free address (last group)> <records: rw or ro>
run_job() {
  local count="$1" next="$2" records="$3" name="job$1"
  local data="$WORK/$name"
  pl_start "$data" "$PL_POOL" "$count"
  local t0=$SECONDS
  local job=(--dir "$data" --eeprom "$data/sample.vef" --firmware "$data/sample.vff"
             --program-mac --log "$data/logs" --station-name "e2e-line-$count")
  if [ "$records" = ro ]; then
    # A read-only bind mount in a mount namespace of the run's own: even root cannot
    # write there.
    mkdir -p "$data/ro"
    pl_run "$name" unshare -m --propagation private bash -c \
      'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"' _ \
      "$data/ro" "$WIDE" "${job[@]}" --records "$data/ro/records.db"
  else
    pl_run "$name" "$WIDE" "${job[@]}"
  fi
  echo "$name: $count devices programmed in $((SECONDS - t0)) s"
  pl_stop_sim
  local before=$failures
  # Records that could not be written are kept and make the run end with 1, so an
  # unattended station is noticed; the devices are programmed all the same.
  local want=0
  [ "$records" = ro ] && want=1
  [ "$RC" = "$want" ] || fail "$name: exit status $RC, expected $want"
  [ "$(tail -n 1 "$WORK/$name.out")" = end ] || fail "$name: the last line is not 'end'"
  [ -s "$WORK/$name.err" ] && fail "$name: message boxes: $(cat "$WORK/$name.err")"
  pl_expect_line "$name" "$WORK/$name.out" "mac 1 0 $count COM Port detected\\r\\n"
  # The last MAC line shows the pool after the last address was taken.
  [ "$(grep '^mac 0 0 ' "$WORK/$name.out" | tail -n 1)" = \
    "mac 0 0 available 02:5C:3A:04:22:$next ~ 02:5C:3A:04:22:FF" ] \
    || fail "$name: last MAC line '$(grep '^mac 0 0 ' "$WORK/$name.out" | tail -n 1)'"
  grep -q '^message \(select fail\|tcp recv fail\|not match\|get MAC failed\)' "$WORK/$name.out" \
    && fail "$name: failure lines in the message log"
  # The pool's first address is overwritten in place (17 characters and a zero byte);
  # the rest of the file stays as it was.
  pl_check_pool "$name" "$data/storedMAC.txt" "02:5C:3A:04:22:$next\\0\\n02:5C:3A:04:22:FF\\r\\n"
  local coms candidates=""
  coms="$(seq -s, 1 "$count")"
  for ((k = 0; k < count; k++)); do
    candidates+="$(printf '04:22:%02X' $((0xD1 + k))),"
  done
  pl_check_devices "$name" "$data" "$coms" "${candidates%,}" || fail "$name: devices (see above)"
  if [ "$records" = ro ]; then
    pl_expect_line "$name" "$WORK/$name.out" \
      "message production records: cannot open $data/ro/records.db: unable to open database file"
    [ -e "$data/ro/records.db" ] && fail "$name: a records file in the read-only directory"
    grep -Eq "^message production records: $count record\(s\)( and [0-9]+ audit entr\(ies\))? not written yet, kept in $data/spool-records.txt" \
      "$WORK/$name.out" || fail "$name: the waiting records are not reported"
    [ "$(wc -l < "$data/spool-records.txt")" -ge "$count" ] || fail "$name: records not spooled"
    grep -q '^mac 0 1 this run: '"$count"' passed, 0 failed$' "$WORK/$name.out" \
      || fail "$name: MACGrid column 1 does not count $count passed units"
  else
    grep -q '^message production records' "$WORK/$name.out" && fail "$name: records problems"
    pl_check_records "$name" "$data" "$coms" "e2e-line-$count" || fail "$name: records (see above)"
  fi
  # Logs: the dispatcher's and one per port with both transfers in it.
  grep -q 'StartThread end' "$data/logs/startThread.txt" 2>/dev/null \
    || fail "$name: startThread.txt missing or unfinished"
  for ((n = 1; n <= count; n++)); do
    local log="$data/logs/logCOM$n.txt"
    if [ ! -s "$log" ]; then
      fail "$name: $log missing"
      continue
    fi
    grep -q "COM$n: Xmodem firmware: 0" "$log" || fail "$name: $log has no firmware transfer"
    grep -q "COM$n: Xmodem eeprom: 0" "$log" || fail "$name: $log has no EEPROM transfer"
  done
  [ "$failures" = "$before" ] || pl_dump "$name" "$data"
}

run_job 4 D5 ro
run_job 16 E1 rw
pl_finish "pipeline end to end"
