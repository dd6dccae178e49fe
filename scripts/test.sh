#!/usr/bin/env bash
# Runs the whole test suite on this machine: the C++ engine tests, the wheel's stable-ABI check, the
# Python tests against the module installed into a virtual environment, the same with the portable
# paths only and with clang and libc++ (scripts/cross_check.sh, which also compares their extraction
# results and installs clang and libc++ from Debian's packages when they are missing), then the
# sanitized run (scripts/sanitize.sh). Everything else it needs is checked first
# (scripts/prerequisites.sh).
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

echo "== C++ engine tests"
quietly "$venv/bin/cmake" -S "$root" -B "$root/build-tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
quietly "$venv/bin/cmake" --build "$root/build-tests" -j2
"$root/build-tests/engine_tests" --gtest_brief=1

echo "== Wheel: build, check it uses only the stable ABI, install it"
dist=$(mktemp -d)
trap 'rm -rf "$dist"' EXIT
"$venv/bin/python" -m pip wheel -q --no-deps -w "$dist" "$root"
wheel=$(ls "$dist"/wordsieve-*-cp313-abi3-*.whl)
"$venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.13 "$wheel"
"$venv/bin/python" -m pip install -q --force-reinstall "$wheel[test]"

echo "== Python tests"
cd "$root"
"$venv/bin/python" -m pytest -q tests/python

echo "== Portable paths only, and clang with libc++: C++ tests, extraction digests, Python suite"
PYTHON="$python" bash "$root/scripts/cross_check.sh" portable clang

echo "== Sanitized build: address + undefined (+ leaks in the C++ tests)"
PYTHON="$python" bash "$root/scripts/sanitize.sh"
