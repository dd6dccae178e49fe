#!/usr/bin/env bash
# Builds the wheel into dist/, checks that it uses only the stable ABI, installs it (not the source
# tree) into a fresh virtual environment with the test extra, and runs the Python tests there from a
# directory where the source tree is not importable.
#
#   scripts/build_wheel.sh            PYTHON=/path/to/python3.13 scripts/build_wheel.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

find_python() {
  local candidate
  for candidate in "${PYTHON:-}" python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 \
                   /usr/local/bin/python3.13 /usr/bin/python3.13; do
    [ -n "$candidate" ] || continue
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] < (3, 13))' >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
python=$(find_python) || { echo "CPython 3.13 or newer not found (set PYTHON)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q --upgrade pip
"$work/tools/bin/python" -m pip install -q abi3audit

echo "== Build the wheel"
mkdir -p "$root/dist"
rm -f "$root"/dist/wordsieve-*.whl
"$work/tools/bin/python" -m pip wheel -q --no-deps -w "$root/dist" "$root"
wheel=$(ls "$root"/dist/wordsieve-*-cp313-abi3-*.whl)
echo "$wheel"

echo "== Check it uses only the stable ABI of CPython 3.13"
"$work/tools/bin/abi3audit" --strict --summary --assume-minimum-abi3 3.13 "$wheel"

echo "== Install it into a fresh environment"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip
"$work/venv/bin/python" -m pip install -q "$wheel[test]"

echo "== Python tests against the installed wheel"
mkdir "$work/run"
cd "$work/run"
"$work/venv/bin/python" - "$work/venv" <<'EOF'
import sys
import wordsieve
assert wordsieve.__file__.startswith(sys.argv[1]), f"imported {wordsieve.__file__}, not the wheel"
EOF
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
