#!/usr/bin/env bash
# Runs the whole test suite on this machine: the C++ engine tests, then the Python tests against the
# module installed into a virtual environment. Installs what it needs (the venv and its packages;
# GoogleTest from Debian's libgtest-dev when it is missing and apt-get can be used).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3.13}
venv=${VENV:-$root/.venv}

if ! [ -f /usr/include/gtest/gtest.h ] && ! [ -f /usr/local/include/gtest/gtest.h ]; then
  if command -v apt-get >/dev/null 2>&1; then
    sudo=""; [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get update -qq && $sudo apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest headers not found: install libgtest-dev (or your system's GoogleTest package)" >&2
    exit 1
  fi
fi

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q cmake ninja

echo "== C++ engine tests"
"$venv/bin/cmake" -S "$root" -B "$root/build-tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$venv/bin/cmake" --build "$root/build-tests" -j2
"$root/build-tests/engine_tests" --gtest_brief=1

echo "== Wheel: build, check it uses only the stable ABI, install it"
"$venv/bin/python" -m pip install -q abi3audit
dist=$(mktemp -d)
"$venv/bin/python" -m pip wheel -q --no-deps -w "$dist" "$root"
wheel=$(ls "$dist"/wordsieve-*-cp313-abi3-*.whl)
"$venv/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.13 "$wheel"
"$venv/bin/python" -m pip install -q --force-reinstall "$wheel[test]"

echo "== Python tests"
cd "$root"
"$venv/bin/python" -m pytest -q tests/python

echo "== Sanitized build: address + undefined (+ leaks in the C++ tests)"
PYTHON="$python" bash "$root/scripts/sanitize.sh"
