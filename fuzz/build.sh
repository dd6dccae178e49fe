#!/usr/bin/env bash
# Builds the libFuzzer targets into fuzz/out/ (git-ignored), straight from the engine and codec
# sources, with address and undefined-behaviour sanitizers.
#
#   fuzz/build.sh
#   fuzz/out/fuzz_processor_state -max_total_time=180 fuzz/out/corpus/processor_state fuzz/corpus/processor_state
#   fuzz/out/fuzz_match_state     -max_total_time=180 fuzz/out/corpus/match_state     fuzz/corpus/match_state
#
# Pass the writable corpus directory first: libFuzzer adds new inputs to it and only reads the seeds.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out="$here/out"
CXX=${CXX:-clang++}
JOBS=${JOBS:-2}

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer
       -fsanitize=address,undefined -fno-sanitize-recover=undefined
       -I "$root/src")

mkdir -p "$out/obj" "$out/corpus/processor_state" "$out/corpus/match_state"

sources=("$root"/src/keyword_processor/*.cpp "$root/src/lib/processor_state.cpp"
         "$root/src/lib/match_state.cpp")
objects=()
for src in "${sources[@]}"; do
  objects+=("$out/obj/$(basename "${src%.cpp}").o")
done

# The code under test gets coverage instrumentation without libFuzzer's main.
printf '%s\n' "${sources[@]}" | xargs -P "$JOBS" -I{} sh -c \
  'src="$1"; shift; obj="$1/obj/$(basename "${src%.cpp}").o"; shift; exec "$@" -c "$src" -o "$obj"' \
  _ {} "$out" "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link

for target in fuzz_processor_state fuzz_match_state; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "$here/$target.cpp" "${objects[@]}" -o "$out/$target"
  echo "built $out/$target"
done
