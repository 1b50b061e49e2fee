#!/usr/bin/env bash
# image_options.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# Tiny images with odd lengths, a NUL and a line feed inside.
printf 'MAIN\0image\nbytes' > main.bin    # 16 bytes
printf 'sub\n\0x' > sub.bin               # 6 bytes

fails_naming() {  # fails_naming WHAT FILE ARGS...
  local what=$1 file=$2
  shift 2
  if cmake -S "$src" -B "bad-$what" -DBENCHFW_BUILD_TESTS=OFF "$@" > "bad-$what.log" 2>&1; then
    echo "configure with $what image did not fail"; exit 1
  fi
  grep -q "$file" "bad-$what.log" || { echo "message does not name $file:"; cat "bad-$what.log"; exit 1; }
  echo "ok: $what image refused: $(grep -m1 "$file" "bad-$what.log")"
}

fails_naming missing /nonexistent/main.bin -DBENCHFW_MAIN_IMAGE=/nonexistent/main.bin
truncate -s 1000000000 huge.bin   # sparse: one byte more than nine digits can count
fails_naming oversize huge.bin -DBENCHFW_SUB_IMAGE="$work/huge.bin"

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S "$src" -B small "${generator[@]}" -DBENCHFW_MAIN_IMAGE="$work/main.bin" \
      -DBENCHFW_SUB_IMAGE="$work/sub.bin" > small-configure.log
cmake --build small --target unit_tests benchfw -j "$(nproc)" > small-build.log
# The unit tests compare the embedded blocks with the files and check that
# every announced size, header count and byte count follows the image.
./small/unit_tests --gtest_brief=1 --gtest_filter='Images.*:Download.*'
