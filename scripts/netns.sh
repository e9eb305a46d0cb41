#!/usr/bin/env bash
# Runs a command inside a private network namespace in which the workstation has the
# address 192.168.1.10 and the devices' test address 192.168.1.127 lives on the
# loopback interface. Nothing leaves the namespace.
#   scripts/netns.sh [--station-ip ADDR|none] [--device-ip none] -- command args...
# The station's address is added first, so it is the first 192.168 entry of the
# address table; "none" leaves only the devices' address. "--device-ip none" leaves
# 192.168.1.127 off the loopback interface, for a command that builds a bench of its
# own (devices in namespaces of their own, behind veth pairs).
set -euo pipefail
station_ip=192.168.1.10
device_ip=192.168.1.127
if [ "${1:-}" = "--station-ip" ]; then station_ip="$2"; shift 2; fi
if [ "${1:-}" = "--device-ip" ]; then device_ip="$2"; shift 2; fi
[ "${1:-}" = "--" ] && shift
if [ -z "${PT_IN_NETNS:-}" ]; then
  if ! unshare -rn true 2>/dev/null; then
    echo "netns: cannot create a private network namespace (unshare -rn failed);" \
         "the station's network runs need one" >&2
    exit 97
  fi
  export PT_IN_NETNS=1
  exec unshare -rn bash "$0" --station-ip "$station_ip" --device-ip "$device_ip" -- "$@"
fi
ip link set lo up
[ "$station_ip" != none ] && ip addr add "$station_ip/24" dev lo
[ "$device_ip" != none ] && ip addr add "$device_ip/24" dev lo
exec "$@"
