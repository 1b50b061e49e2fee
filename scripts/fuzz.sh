#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, libraries instrumented for coverage) in
# build-fuzz and runs each one for SECONDS on a copy of its seed corpus.
# Fails when a target finds a crash, a leak, a hang (-timeout) or runs out of
# memory; the input that did it is left in the printed artifact directory.
#
#   scripts/fuzz.sh SECONDS [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
((${#targets[@]})) || targets=(reply_read_fuzzer vxi11_reply_fuzzer program_parser_fuzzer)

build=${FUZZ_BUILD_DIR:-build-fuzz}
generator=("-G" "Unix Makefiles")
command -v ninja >/dev/null 2>&1 && generator=("-G" "Ninja")
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DBENCHFW_SANITIZE=address,undefined \
  -DBENCHFW_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

# Longest input per target: replies beyond the 1023 characters a reply
# buffer keeps, a few VXI-11 records, several program messages with blocks.
declare -A max_len=([reply_read]=70000 [vxi11_reply]=16384 [program_parser]=16384)

work=$(mktemp -d "${TMPDIR:-/tmp}/benchfw-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
  name=${target%_fuzzer}
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  cp tests/fuzz/corpus/"$name"/* "$work/$name/corpus/"
  echo "== $target for ${seconds}s"
  # -timeout: one input that takes this long is a hang; nothing here waits.
  if ! "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="${max_len[$name]:-4096}" \
      -print_final_stats=1 -artifact_prefix="$work/$name/artifacts/" \
      "$work/$name/corpus" 2>"$work/$name/log"; then
    tail -n 60 "$work/$name/log"
    failed+=("$target")
    keep=$(mktemp -d "${TMPDIR:-/tmp}/benchfw-fuzz-crash.XXXXXX")
    cp -r "$work/$name/artifacts" "$keep/"
    echo "$target failed; its artifacts are in $keep/artifacts"
    continue
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/$name/log" || true
done
if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without a fault"
