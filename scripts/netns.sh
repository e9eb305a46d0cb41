#!/usr/bin/env bash
# Runs a command inside a private network namespace in which the workstation has the
# address 192.168.1.10 and the devices' test address 192.168.1.127 lives on the
# loopback interface. Nothing leaves the namespace.
#   scripts/netns.sh [--station-ip ADDR|none] -- command args...
# The station's address is added first, so it is the first 192.168 entry of the
# address table; "none" leaves only the devices' address.
set -euo pipefail
station_ip=192.168.1.10
if [ "${1:-}" = "--station-ip" ]; then station_ip="$2"; shift 2; fi
[ "${1:-}" = "--" ] && shift
if [ -z "${PT_IN_NETNS:-}" ]; then
  if ! unshare -rn true 2>/dev/null; then
    echo "netns: cannot create a private network namespace (unshare -rn failed);" \
         "the station's network runs need one" >&2
    exit 97
  fi
  export PT_IN_NETNS=1
  exec unshare -rn bash "$0" --station-ip "$station_ip" -- "$@"
fi
ip link set lo up
[ "$station_ip" != none ] && ip addr add "$station_ip/24" dev lo
ip addr add 192.168.1.127/24 dev lo
exec "$@"
