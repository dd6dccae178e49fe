#!/usr/bin/env bash
# Runs the tests against builds instrumented with AddressSanitizer and UndefinedBehaviorSanitizer:
#   1. the C++ engine tests, with LeakSanitizer on (every allocation of the engine, the codecs and
#      the pool must be released);
#   2. the extension module built sanitized into its own virtual environment, and the whole Python
#      suite run against it with the sanitizer runtimes preloaded into the interpreter. The
#      interpreter itself is not instrumented and keeps some memory until exit on purpose, so leak
#      detection is off there (scripts/leak_check.py covers leaks of the module).
# Any sanitizer report ends its process with an error, so a report fails this script. Both builds
# are optimised at -O1 with line tables only for debug information: reports keep their file and
# line, and the build takes half the time it takes at -O2 with full debug information, for tests
# that run about a fifth longer.
#
# Environment: PYTHON (default: found as scripts/prerequisites.sh says), SAN_BUILD (default
# build-san), SAN_VENV (default build-san/venv), and PYTEST_ARGS to pass extra options to pytest.
# Uses GCC: the preloaded runtimes must be the compiler's own. Everything it needs is checked first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/prerequisites.sh"
python=$(find_python)
build=${SAN_BUILD:-$root/build-san}
venv=${SAN_VENV:-$build/venv}
export CC=${CC:-gcc} CXX=${CXX:-g++}
check_prerequisites "$python" sanitizers || { echo "sanitize.sh: prerequisites missing (above)" >&2; exit 1; }

elapsed() { echo "   ($(( $(date +%s) - $1 )) s)"; }
t_all=$(date +%s)

asan=$("$CXX" -print-file-name=libasan.so)
ubsan=$("$CXX" -print-file-name=libubsan.so)
# halt_on_error: a report is a failure, never a warning that scrolls by.
ubsan_options="print_stacktrace=1:halt_on_error=1"
flags="-O1 -g1 -DNDEBUG"

t=$(date +%s)
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q cmake ninja "scikit-build-core>=1.0"
echo "== Tools ready"; elapsed "$t"

echo "== C++ engine tests, address + undefined sanitizers, leak detection on"
t=$(date +%s)
quietly "$venv/bin/cmake" -S "$root" -B "$build/tests" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DWORDSIEVE_PYTHON=OFF -DWORDSIEVE_TESTS=ON -DWORDSIEVE_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags"
ASAN_OPTIONS=detect_leaks=0 quietly "$venv/bin/cmake" --build "$build/tests" -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=$ubsan_options \
  "$build/tests/engine_tests" --gtest_brief=1
elapsed "$t"

echo "== Extension module, address + undefined sanitizers"
t=$(date +%s)
"$venv/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
  --config-settings=cmake.define.WORDSIEVE_SANITIZE=address,undefined \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings="cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=$flags" \
  --config-settings="build-dir=$build/module" "$root"
# The test dependencies, without reinstalling the module just built.
"$venv/bin/python" - "$root/pyproject.toml" <<'EOF' > "$build/test-requirements.txt"
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
EOF
"$venv/bin/python" -m pip install -q -r "$build/test-requirements.txt"
elapsed "$t"

echo "== Python tests against the sanitized module"
t=$(date +%s)
cd "$root"
# A pool that cannot start is provoked with an address-space limit, which the sanitizer's shadow
# memory exceeds from the start: that one test cannot run here. The documentation's scripts (pandas,
# Dask, Spark in subprocesses) test the pages, not the module's memory handling: they run in the
# plain suite only.
LD_PRELOAD="$asan $ubsan" ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=$ubsan_options \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python \
  --deselect tests/python/test_batch.py::test_pool_that_cannot_start_fails_every_call \
  --deselect tests/python/test_docs.py::test_page_scripts_run_as_written \
  ${PYTEST_ARGS:-}
elapsed "$t"

echo "== Sanitized run finished"; elapsed "$t_all"
