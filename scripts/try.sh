#!/usr/bin/env bash
# Rehearses a firmware update: builds everything, starts the simulated
# instrument (benchfw-sim) on a free loopback port, runs benchfw against it,
# stops the simulator and exits with benchfw's status. About 15 s, most of
# it the updater's own waits after each restart.
#
#   scripts/try.sh [benchfw-sim options...]   e.g. scripts/try.sh --app sub
#                                              or   scripts/try.sh --error-at 4
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
generator=()
[[ -f $build/CMakeCache.txt ]] || { command -v ninja >/dev/null 2>&1 && generator=(-G Ninja); }
cmake -S . -B "$build" "${generator[@]}" >/dev/null
cmake --build "$build" -j 2 --target benchfw benchfw-sim >/dev/null

work=$(mktemp -d)
sim_pid=
stop_sim() {
  if [[ -n $sim_pid ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_sim EXIT INT TERM

"$build/benchfw-sim" --port 0 --log "$work/sim.log" "$@" 2>"$work/sim.err" &
sim_pid=$!
port=
for _ in $(seq 200); do  # up to 10 s for the simulator to listen
  port=$(sed -n 's/^benchfw-sim: listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$work/sim.err")
  [[ -n $port ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
if [[ -z $port ]]; then
  echo "benchfw-sim did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi

resource="TCPIP0::127.0.0.1::$port::SOCKET"
# Everything goes to standard error, where benchfw writes, so that the
# lines stay in order.
echo "\$ $build/benchfw $resource" >&2
status=0
"$build/benchfw" "$resource" || status=$?
echo "benchfw exit status: $status" >&2
echo "-- what the instrument did:" >&2
grep -E 'stored|refused|restarting|up, running|error queued|dropping' "$work/sim.log" >&2 || true
exit "$status"
