#!/bin/sh
# Runs a command in a private network namespace with only a loopback
# interface, so a test can bind the standard portmapper port 111 without
# meeting a system portmapper (rpcbind) or another test doing the same.
# Needs root (CI runs as root), unshare from util-linux and ip from iproute2.
set -eu
if [ "$#" -eq 0 ]; then
  echo "usage: $0 command [argument...]" >&2
  exit 2
fi
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' run_in_netns "$@"
