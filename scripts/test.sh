#!/usr/bin/env bash
# Runs the whole test suite on this machine: the C++ engine tests, the wheel's stable-ABI check, the
# Python tests against the module installed into a virtual environment, then the sanitized run
# (scripts/sanitize.sh); and at the same time the same tests with the portable paths only and with
# clang and libc++ (scripts/cross_check.sh, which also compares their extraction results and
# installs clang and libc++ from Debian's packages when they are missing). Everything else it needs
# is checked first (scripts/prerequisites.sh).
#
# Environment: PYTHON (default: found as scripts/prerequisites.sh says), VENV (default
# build-tests/venv, an environment of its own; name another to test in it), CXX.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/prerequisites.sh"
python=$(find_python)
venv=${VENV:-$root/build-tests/venv}
check_prerequisites "$python" sanitizers || { echo "test.sh: prerequisites missing (above)" >&2; exit 1; }

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q cmake ninja abi3audit

logs="$root/build-tests/logs"
mkdir -p "$logs"

# The default build: C++ engine tests, the wheel and its stable-ABI check, the Python suite; then
# the sanitized run. Line tables only for debug information: enough for any report, and much
# cheaper to compile.
default_and_sanitized() {
  echo "== C++ engine tests"
  quietly "$venv/bin/cmake" -S "$root" -B "$root/build-tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
  quietly "$venv/bin/cmake" --build "$root/build-tests" -j2
  "$root/build-tests/engine_tests" --gtest_brief=1

  echo "== Wheel: build, check it uses only the stable ABI, install it"
  dist=$(mktemp -d)  # this runs in a subshell of its own: the trap is its own
  trap 'rm -rf "$dist"' EXIT
  "$venv/bin/python" -m pip wheel -q --no-deps -w "$dist" "$root"
  local wheel
  wheel=$(ls "$dist"/wordsieve-*-cp313-abi3-*.whl)
  "$venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.13 "$wheel"
  "$venv/bin/python" -m pip install -q --force-reinstall "$wheel[test]"

  echo "== Python tests"
  (cd "$root" && "$venv/bin/python" -m pytest -q tests/python)

  echo "== Sanitized build: address + undefined (+ leaks in the C++ tests)"
  PYTHON="$python" bash "$root/scripts/sanitize.sh"
}

# The other builds: every platform-specific fast path off, and clang with libc++.
portable_and_clang() {
  echo "== Portable paths only, and clang with libc++: C++ tests, extraction digests, Python suite"
  PYTHON="$python" bash "$root/scripts/cross_check.sh" portable clang
}

# The two run at once, each on its own build directories and environments: a build keeps both
# CPUs busy only part of the time, and each test run uses one. Each prints its log when it ends.
echo "== Two runs at once (logs in $logs): default and sanitized builds; portable and clang builds"
( set -e; default_and_sanitized ) > "$logs/default_and_sanitized.log" 2>&1 &
first=$!
( set -e; portable_and_clang ) > "$logs/portable_and_clang.log" 2>&1 &
second=$!
status=0
wait "$first" || status=1
cat "$logs/default_and_sanitized.log"
wait "$second" || status=1
cat "$logs/portable_and_clang.log"
if [ "$status" = 0 ]; then
  echo "== Every test passed"
else
  echo "== FAILED (the logs above say where)" >&2
fi
exit "$status"
