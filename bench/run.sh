#!/usr/bin/env bash
# Builds in Release and runs every benchmark; prints one table.
#   bench/run.sh [--runs N] [--markdown FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B build-bench "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBENCHFW_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target benchfw benchfw-sim transfer_bench -j "$(nproc)" >/dev/null
exec /usr/bin/python3 bench/bench.py build-bench "$@"
