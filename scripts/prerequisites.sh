# Shared by the test scripts and CI, sourced: `. scripts/prerequisites.sh`.
#
#   find_python              prints the path of a CPython 3.13 or newer: $PYTHON when set (it must
#                            be one), else the first that answers of python3.13 on the PATH,
#                            pyenv's 3.13 builds, /usr/local/bin and /usr/bin. A pyenv shim for a
#                            version that is not installed exists but does not answer.
#   check_prerequisites PY [sanitizers]
#                            checks, before any long step, what the tests need: the interpreter
#                            with venv and its C headers, a C++20 compiler, GoogleTest (installed
#                            from Debian's libgtest-dev when apt-get can), and with `sanitizers`
#                            GCC's AddressSanitizer and UndefinedBehaviorSanitizer runtimes.
#                            Prints every missing piece and returns 1 if any is missing.
#   quietly CMD...           runs CMD with its output kept aside, shown only when it fails.

python_answers() {
  "$1" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info[:2] < (3, 13))' \
    >/dev/null 2>&1
}

find_python() {
  local candidate
  if [ -n "${PYTHON:-}" ]; then
    if python_answers "$PYTHON"; then
      command -v "$PYTHON"
      return 0
    fi
    echo "PYTHON=$PYTHON is not a working CPython 3.13 or newer" >&2
    return 1
  fi
  for candidate in python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 \
                   /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if python_answers "$candidate"; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "CPython 3.13 not found: install it, or set PYTHON to its interpreter" >&2
  return 1
}

have_gtest() {
  [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]
}

check_prerequisites() {
  local python=$1 sanitizers=${2:-} missing=0 cxx=${CXX:-c++} probe
  if ! "$python" -c 'import venv, ensurepip' >/dev/null 2>&1; then
    echo "missing: the venv and ensurepip modules of $python (Debian: python3.13-venv)" >&2
    missing=1
  fi
  if ! "$python" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' >/dev/null 2>&1; then
    echo "missing: the C headers of $python (Debian: python3.13-dev)" >&2
    missing=1
  fi
  probe=$(mktemp -d)
  printf '#include <bit>\n#include <span>\nint main() { int a[1] = {1}; return std::span<int>(a).size() == std::bit_width(1u) ? 0 : 1; }\n' \
    > "$probe/probe.cpp"
  if ! "$cxx" -std=c++20 "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
    echo "missing: a C++20 compiler ($cxx; set CXX to another)" >&2
    missing=1
  fi
  rm -rf "$probe"
  if [ "$sanitizers" = sanitizers ]; then
    local gxx=${CXX:-g++} runtime
    for runtime in libasan.so libubsan.so; do
      if ! [ -f "$("$gxx" -print-file-name=$runtime 2>/dev/null)" ]; then
        echo "missing: GCC's $runtime for the sanitized run (Debian: the gcc package's libasan, libubsan)" >&2
        missing=1
      fi
    done
  fi
  if ! have_gtest; then
    if command -v apt-get >/dev/null 2>&1; then
      local sudo=""
      [ "$(id -u)" = 0 ] || sudo="sudo"
      echo "installing GoogleTest (libgtest-dev)" >&2
      $sudo apt-get update -qq >/dev/null && $sudo apt-get install -y -qq libgtest-dev >/dev/null || true
    fi
    if ! have_gtest; then
      echo "missing: GoogleTest headers (Debian: libgtest-dev)" >&2
      missing=1
    fi
  fi
  return $missing
}

quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" = 0 ] || cat "$log" >&2
  rm -f "$log"
  return "$status"
}
