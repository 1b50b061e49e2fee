#!/bin/sh
# Runs a command in a private network namespace with only a loopback
# interface, so a test can bind the standard portmapper port 111 without
# meeting a system portmapper (rpcbind) or another test doing the same.
# Needs unshare from util-linux and ip from iproute2; root (as in CI), or a
# kernel that lets users create user namespaces, in which case the command
# runs as root of its own user namespace.
#
# Listing a test binary's tests needs no network: that runs directly, so a
# build does not depend on namespaces.
set -eu
if [ "$#" -eq 0 ]; then
  echo "usage: $0 command [argument...]" >&2
  exit 2
fi
for arg in "$@"; do
  [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done
namespaces=--net
[ "$(id -u)" -eq 0 ] || namespaces="--user --map-root-user --net"
# shellcheck disable=SC2086 # the options are meant to split
exec unshare $namespaces -- sh -c 'ip link set lo up && exec "$@"' run_in_netns "$@"
