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

# Our VISA library as a shared object, and a benchfw linked against it
# through BENCHFW_VISA_LIBRARY, the way it links against an installed VISA.
shared=${SHARED_VISA_BUILD_DIR:-build-shared-visa}
cmake -S . -B "$shared/lib" "${generator[@]}" -DBENCHFW_WERROR=ON -DBENCHFW_BUILD_TESTS=OFF \
  -DBENCHFW_VISA_SHARED=ON
cmake --build "$shared/lib" -j "$(nproc)" --target benchfw_visa
visa_so=$(cd "$shared/lib/visa" && pwd)/libbenchfw_visa.so
# --no-as-needed: the dependency is recorded even while the entry point
# calls no VISA function, so the check below always means something.
cmake -S . -B "$shared/app" "${generator[@]}" -DBENCHFW_WERROR=ON -DBENCHFW_BUILD_TESTS=OFF \
  -DBENCHFW_VISA_LIBRARY="$visa_so" -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-as-needed
cmake --build "$shared/app" -j "$(nproc)" --target benchfw
# (Output captured first: grep -q would close the pipe early under pipefail.)
needed=$(readelf -d "$shared/app/benchfw")
grep -q 'NEEDED.*\[libbenchfw_visa\.so\]' <<<"$needed"
resolved=$(ldd "$shared/app/benchfw")
grep -qF "libbenchfw_visa.so => $visa_so" <<<"$resolved"
rc=0
"$shared/app/benchfw" 2>"$shared/usage.txt" || rc=$?
if [ "$rc" -ne 1 ] || ! grep -q '^usage' "$shared/usage.txt"; then
  echo "benchfw linked against $visa_so: exit $rc, no usage line" >&2
  exit 1
fi
echo "shared VISA seam: benchfw runs against $visa_so"

ctest --test-dir "$build" --output-on-failure -j "${CTEST_JOBS:-8}"

