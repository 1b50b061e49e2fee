#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test suite.
# Extra arguments go to the CMake configure step, e.g. -DBENCHFW_SANITIZE=address,undefined.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
generator=("-G" "Unix Makefiles")
command -v ninja >/dev/null 2>&1 && generator=("-G" "Ninja")
cmake -S . -B "$build" "${generator[@]}" -DBENCHFW_WERROR=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "${CTEST_JOBS:-8}"
