#!/usr/bin/env bash
# Builds the libFuzzer targets into fuzz/out/ (git-ignored), straight from the engine's and the native
# library's sources, with address and undefined-behaviour sanitizers.
#
#   fuzz/build.sh
#   fuzz/out/fuzz_processor_state -max_total_time=180 fuzz/out/corpus/processor_state fuzz/corpus/processor_state
#   fuzz/out/fuzz_match_state     -max_total_time=180 fuzz/out/corpus/match_state     fuzz/corpus/match_state
#   fuzz/out/fuzz_extract         -max_total_time=600 -close_fd_mask=2 fuzz/out/corpus/extract fuzz/corpus/extract
#   fuzz/out/fuzz_normalize       -max_total_time=600 fuzz/out/corpus/normalize fuzz/corpus/normalize
#
# A rejected input prints a one-line failure report on standard error, hence -close_fd_mask=2 for
# the targets that provoke them on purpose (fuzz_extract: invalid thresholds); a mismatch prints
# its reason on standard output before aborting.
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

targets=(fuzz_processor_state fuzz_match_state fuzz_extract fuzz_normalize)
mkdir -p "$out/obj"
for target in "${targets[@]}"; do mkdir -p "$out/corpus/${target#fuzz_}"; done

# The engine and the native library, as CMakeLists.txt gathers them (every source below their folders).
mapfile -t sources < <(find "$root/src/keyword_processor" "$root/src/native" -name '*.cpp' | sort)
objects=()
for src in "${sources[@]}"; do
  rel=${src#"$root/src/"}
  rel=${rel%.cpp}
  objects+=("$out/obj/${rel//\//_}.o")
done

# The code under test gets coverage instrumentation without libFuzzer's main.
for i in "${!sources[@]}"; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer-no-link -c "${sources[$i]}" -o "${objects[$i]}" &
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n; done
done
for pid in $(jobs -p); do wait "$pid"; done
# One library of them, as CMake makes: each fuzzer links only the objects it uses.
rm -f "$out/libwordsieve.a"
"${AR:-ar}" rcs "$out/libwordsieve.a" "${objects[@]}"

for target in "${targets[@]}"; do
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "$here/$target.cpp" "$out/libwordsieve.a" -o "$out/$target"
  echo "built $out/$target"
done
