#!/usr/bin/env bash
# Builds and tests wordsieve in the ways this Linux x86-64 machine can check besides its default
# build, and records the results:
#
#   native    g++ and libstdc++, every fast path: C++ tests, and the reference extraction digest
#   clang     clang++ and libc++: C++ tests, digest, the module built with them and the Python suite
#   portable  every platform-specific fast path off (WORDSIEVE_PORTABLE_ONLY): C++ tests, digest,
#             the module built that way and the Python suite
#   aarch64   g++ for aarch64 Linux: C++ tests and digest run under qemu-user
#   windows   MinGW-w64 for x86-64 Windows: C++ tests and digest run under wine, and the module
#             linked against an import library of python3.dll (the stable ABI)
#   zig       the module compiled and linked with zig's clang for macOS arm64 and x86-64, Windows
#             x86-64 and musl Linux aarch64 and x86-64; the musl x86-64 digest runs here
#
#   scripts/cross_check.sh [CHECK...]        (default: all of them, in this order)
#
# Every build that runs the engine prints bench/extract_digest's lines for the shared corpus; they
# must equal the native build's. The module builds check that PyInit_wordsieve is the only symbol
# of ours that leaves the module. Installs what it needs: Debian packages through apt-get, cmake,
# ninja and ziglang from PyPI into a venv of its own.
#
# Environment: PYTHON (CPython 3.13), CROSS_BUILD (default build-cross), CORPUS (default: the
# shared corpus beside the checkout), JOBS (default 2), ZIG_TARGETS (the zig check's targets).
# Results: $CROSS_BUILD/results.txt (check, PASS/FAIL, seconds) and $CROSS_BUILD/digest-*.txt.
set -uo pipefail
# No grep -q at the end of a pipe: it stops reading at the first match, the writer may then die of
# SIGPIPE, and pipefail reports the check as failed (ldd | grep -q did so about once in 300 runs).
root=$(cd "$(dirname "$0")/.." && pwd)
out=${CROSS_BUILD:-$root/build-cross}
jobs=${JOBS:-2}
corpus=${CORPUS:-}
if [ -z "$corpus" ]; then
  for candidate in "$root/../shared/corpus" /work/shared/corpus; do
    [ -f "$candidate/prose_kjv.txt" ] && { corpus=$(cd "$candidate" && pwd); break; }
  done
fi
[ -n "$corpus" ] || echo "shared corpus not found (set CORPUS): no extraction digests" >&2

. "$root/scripts/prerequisites.sh"
python=$(find_python) || exit 1

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(native clang portable aarch64 windows zig)

# --- tools -------------------------------------------------------------------------------------

apt_packages=(libgtest-dev)
for check in "${checks[@]}"; do
  case $check in
    clang) apt_packages+=(clang libc++-dev libc++abi-dev) ;;
    aarch64) apt_packages+=(g++-aarch64-linux-gnu qemu-user) ;;
    windows) apt_packages+=(mingw-w64 wine64) ;;
    zig) apt_packages+=(mingw-w64 llvm) ;;  # dlltool for the import library, llvm-nm for Mach-O
  esac
done
missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep "ok installed" >/dev/null || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== Installing ${missing[*]}"
  sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null \
    || { echo "could not install ${missing[*]}" >&2; exit 1; }
fi

mkdir -p "$out"
tools="$out/tools"
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
quietly "$tools/bin/python" -m pip install -q --upgrade pip
quietly "$tools/bin/python" -m pip install -q cmake ninja
export PATH="$tools/bin:$PATH"
cmake_common=(-G Ninja -DCMAKE_MAKE_PROGRAM="$tools/bin/ninja" -Wno-deprecated)

results="$out/results.txt"
: > "$results"
: > "$out/digests-this-run"
failed=0

# A build, its output shown only when it fails.
build() { quietly cmake --build "$@"; }

# Runs check function $1 in a subshell that stops at its first failure, and records the outcome.
run_check() {
  local name=$1 start=$SECONDS
  echo "== $name"
  rm -f "$out/digest-$name.txt"
  # Not in an if: set -e is ignored inside a condition.
  ( set -e; "check_$name" )
  if [ $? = 0 ]; then
    echo "$name PASS $((SECONDS - start))s" | tee -a "$results"
  else
    echo "$name FAIL $((SECONDS - start))s" | tee -a "$results"
    failed=1
  fi
}

# Digest of the shared corpus from one build: the command that runs extract_digest is given.
digest() {
  local name=$1; shift
  [ -n "$corpus" ] || return 0
  {
    "$@" "$corpus/keywords_en.txt" "$corpus/prose_kjv.txt"
    "$@" "$corpus/jargon_terms.txt" "$corpus/prose_jargon.txt"
    "$@" "$corpus/names_nonascii.tsv" "$corpus/prose_jargon.txt"
  } | tr -d '\r' > "$out/digest-$name.txt"
  echo "$name" >> "$out/digests-this-run"
  echo "   digest: $(md5sum < "$out/digest-$name.txt" | cut -c1-12)"
}

# The Python suite against the module built into venv $1 with the extra pip options that follow.
python_suite() {
  local venv=$1; shift
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  quietly "$venv/bin/python" -m pip install -q --upgrade pip
  quietly "$venv/bin/python" -m pip install -q --force-reinstall "$@" "$root[test]"
  (cd "$root" && "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python)
}

# --- checks ------------------------------------------------------------------------------------

check_native() {
  quietly cmake -S "$root" -B "$out/native" "${cmake_common[@]}" -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON \
    -DWORDSIEVE_BENCH=ON -DCMAKE_BUILD_TYPE=Release
  build "$out/native" -j"$jobs" --target engine_tests extract_digest
  "$out/native/engine_tests" --gtest_brief=1
  digest native "$out/native/extract_digest"
}

check_clang() {
  export CC=clang CXX=clang++ CXXFLAGS="-stdlib=libc++" LDFLAGS="-stdlib=libc++"
  quietly cmake -S "$root" -B "$out/clang" "${cmake_common[@]}" -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON \
    -DWORDSIEVE_BENCH=ON -DWORDSIEVE_GTEST_SOURCE=/usr/src/googletest -DCMAKE_BUILD_TYPE=Release
  build "$out/clang" -j"$jobs" --target engine_tests extract_digest
  "$out/clang/engine_tests" --gtest_brief=1
  digest clang "$out/clang/extract_digest"
  python_suite "$out/venv-clang" --config-settings=build-dir="$out/module-clang"
  # The module must use libc++, not the system's libstdc++.
  ldd "$out"/venv-clang/lib/python3*/site-packages/wordsieve*.so | grep 'libc++' >/dev/null
}

check_portable() {
  quietly cmake -S "$root" -B "$out/portable" "${cmake_common[@]}" -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON \
    -DWORDSIEVE_BENCH=ON -DWORDSIEVE_PORTABLE_ONLY=ON -DCMAKE_BUILD_TYPE=Release
  build "$out/portable" -j"$jobs" --target engine_tests extract_digest
  "$out/portable/engine_tests" --gtest_brief=1
  digest portable "$out/portable/extract_digest"
  python_suite "$out/venv-portable" --config-settings=build-dir="$out/module-portable" \
    --config-settings=cmake.define.WORDSIEVE_PORTABLE_ONLY=ON
}

check_aarch64() {
  local sysroot=/usr/aarch64-linux-gnu
  quietly cmake -S "$root" -B "$out/aarch64" "${cmake_common[@]}" -DCMAKE_SYSTEM_NAME=Linux \
    -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc \
    -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-aarch64;-L;$sysroot" \
    -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON -DWORDSIEVE_BENCH=ON \
    -DWORDSIEVE_GTEST_SOURCE=/usr/src/googletest -DCMAKE_BUILD_TYPE=Release
  build "$out/aarch64" -j"$jobs" --target engine_tests extract_digest
  file "$out/aarch64/engine_tests" | grep aarch64 >/dev/null
  # An address-space limit set inside the emulator limits the emulator itself: the test of a pool
  # that cannot start is left out there.
  qemu-aarch64 -L "$sysroot" "$out/aarch64/engine_tests" --gtest_brief=1 \
    --gtest_filter=-WorkerPoolGlobal.AFailedStartIsReportedAndNotRetried
  digest aarch64 qemu-aarch64 -L "$sysroot" "$out/aarch64/extract_digest"
}

# An include directory with the interpreter's headers and the configuration of the target.
windows_python() {
  local dir=$out/python-windows
  mkdir -p "$dir/include"
  cp -r "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')"/. "$dir/include/"
  cp "$root/scripts/cross/windows-pyconfig.h" "$dir/include/pyconfig.h"
  # python3.dll's import library, for the functions and data the module uses: their names are the
  # stable-ABI symbols the Linux build imports (abi3audit checks that list in scripts/test.sh),
  # marked as data where the Linux interpreter defines them as data.
  local module=$dir/linux-module
  quietly cmake -S "$root" -B "$module" "${cmake_common[@]}" -DPython_EXECUTABLE="$python" \
    -DCMAKE_BUILD_TYPE=Release
  build "$module" -j"$jobs"
  local libpython
  libpython=$("$python" -c 'import sysconfig, os; print(os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDLIBRARY")))')
  {
    echo "LIBRARY python3.dll"
    echo "EXPORTS"
    nm -D --undefined-only "$module"/wordsieve*.so | awk '{print $2}' | sed 's/@.*//' | grep -E '^_?Py' | sort -u |
      while read -r symbol; do
        if nm -D --defined-only "$libpython" | grep -E " [DBR] $symbol\$" >/dev/null; then
          echo "  $symbol DATA"
        else
          echo "  $symbol"
        fi
      done
  } > "$dir/python3.def"
  x86_64-w64-mingw32-dlltool -d "$dir/python3.def" -l "$dir/libpython3.a" -D python3.dll
}

# Checks that module $1 (PE) imports only python3.dll and system DLLs and exports PyInit_wordsieve.
check_windows_module() {
  local dump
  dump=$(x86_64-w64-mingw32-objdump -p "$1")
  echo "$dump" | grep 'DLL Name' | sed 's/^\s*/   imports /'
  ! echo "$dump" | grep 'DLL Name' | grep -viE 'python3\.dll|kernel32|msvcrt|ucrt|api-ms-win|ntdll|advapi32' >/dev/null
  ! echo "$dump" | grep 'python313\.dll' >/dev/null
  local exports
  exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}')
  echo "   exports $exports"
  [ "$exports" = PyInit_wordsieve ]
}

check_windows() {
  export WINEPREFIX="$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  local toolchain=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix
    -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres)
  # Linked statically, so that wine needs none of MinGW's DLLs.
  quietly cmake -S "$root" -B "$out/windows" "${cmake_common[@]}" "${toolchain[@]}" \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
    -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON -DWORDSIEVE_BENCH=ON \
    -DWORDSIEVE_GTEST_SOURCE=/usr/src/googletest -DCMAKE_BUILD_TYPE=Release
  build "$out/windows" -j"$jobs" --target engine_tests extract_digest
  wine "$out/windows/engine_tests.exe" --gtest_brief=1 2>/dev/null | tr -d '\r'
  digest windows wine "$out/windows/extract_digest.exe"

  windows_python
  quietly cmake -S "$root" -B "$out/windows-module" "${cmake_common[@]}" "${toolchain[@]}" \
    -DPython_EXECUTABLE="$python" -DPython_INCLUDE_DIR="$out/python-windows/include" \
    -DPython_SABI_LIBRARY="$out/python-windows/libpython3.a" -DCMAKE_BUILD_TYPE=Release
  build "$out/windows-module" -j"$jobs"
  check_windows_module "$out/windows-module/wordsieve.pyd"
}

# A compiler wrapper running zig's clang for one target. zig's linker has no -bundle (the Mach-O
# type Apple's ld gives modules); a shared library is loaded by the interpreter the same way. Its
# MinGW libraries have no libsynchronization, only the API set that holds the same functions.
zig_wrapper() {
  local target=$1 tool=$2 path="$out/zig-bin/$1-$2" flags=""
  case $tool in cc|c++) flags="-target $target" ;; esac
  mkdir -p "$out/zig-bin"
  cat > "$path" <<WRAP
#!/bin/sh
for a in "\$@"; do
  shift
  case "\$a" in
    -bundle) a=-shared ;;
    -lsynchronization) a=-lapi-ms-win-core-synch-l1-2-0 ;;
  esac
  set -- "\$@" "\$a"
done
exec "$tools/bin/python" -m ziglang $tool $flags "\$@"
WRAP
  chmod +x "$path"
  echo "$path"
}

check_zig() {
  quietly "$tools/bin/python" -m pip install -q ziglang
  windows_python
  local include
  include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  local target system processor
  rm -f "$out/digest-musl.txt"
  for target in ${ZIG_TARGETS:-aarch64-macos x86_64-macos x86_64-windows-gnu aarch64-linux-musl x86_64-linux-musl}; do
    echo "-- $target"
    case $target in
      *-macos) system=Darwin ;;
      *-windows-gnu) system=Windows ;;
      *) system=Linux ;;
    esac
    processor=${target%%-*}
    local python_args=(-DPython_EXECUTABLE="$python" -DPython_INCLUDE_DIR="$include")
    [ $system = Windows ] && python_args=(-DPython_EXECUTABLE="$python"
      -DPython_INCLUDE_DIR="$out/python-windows/include" -DPython_SABI_LIBRARY="$out/python-windows/libpython3.a")
    local build="$out/zig-$target"
    quietly cmake -S "$root" -B "$build" "${cmake_common[@]}" -DCMAKE_SYSTEM_NAME=$system \
      -DCMAKE_SYSTEM_PROCESSOR="$processor" -DCMAKE_CXX_COMPILER="$(zig_wrapper "$target" c++)" -DCMAKE_AR="$(zig_wrapper "$target" ar)" \
      -DCMAKE_RANLIB="$(zig_wrapper "$target" ranlib)" -DCMAKE_OSX_DEPLOYMENT_TARGET=11.0 \
      -DWORDSIEVE_BENCH=$([ "$target" = x86_64-linux-musl ] && echo ON || echo OFF) \
      "${python_args[@]}" -DCMAKE_BUILD_TYPE=Release
    build "$build" -j"$jobs"
    case $system in
      Windows) check_windows_module "$build/wordsieve.pyd" ;;
      Darwin)
        file "$build/wordsieve.abi3.so" | grep Mach-O >/dev/null
        llvm-nm -gU "$build/wordsieve.abi3.so" | grep ' _PyInit_wordsieve$' >/dev/null
        # zig links its own C++ runtime in, whose operators are exported; none of our names is.
        ! llvm-nm -gU "$build/wordsieve.abi3.so" | grep 'wordsieve[0-9]' >/dev/null ;;
      Linux)
        file "$build/wordsieve.abi3.so" | grep "ELF 64-bit" >/dev/null
        [ "$(nm -D --defined-only "$build/wordsieve.abi3.so" | awk '$2 != "A" {print $3}')" = PyInit_wordsieve ] ;;
    esac
    if [ "$target" = x86_64-linux-musl ]; then
      build "$build" -j"$jobs" --target extract_digest
      digest musl "$build/extract_digest"
    fi
  done
}

for check in "${checks[@]}"; do
  if declare -F "check_$check" >/dev/null; then
    run_check "$check"
  else
    echo "unknown check: $check" >&2
    failed=1
  fi
done

# Every build that ran the engine in this run must report the same extraction results as the
# native build (or, without it, as the first of them).
mapfile -t produced < "$out/digests-this-run"
if [ ${#produced[@]} -gt 0 ]; then
  reference=${produced[0]}
  for name in "${produced[@]}"; do [ "$name" = native ] && reference=native; done
  for name in "${produced[@]}"; do
    [ "$name" = "$reference" ] && continue
    if cmp -s "$out/digest-$name.txt" "$out/digest-$reference.txt"; then
      echo "digest $name = $reference" | tee -a "$results"
    else
      echo "digest $name DIFFERS from $reference" | tee -a "$results"
      diff "$out/digest-$reference.txt" "$out/digest-$name.txt" || true
      failed=1
    fi
  done
fi

echo "== Results ($results)"
cat "$results"
exit $failed
