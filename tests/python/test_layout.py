"""The source folders are layers, each using only those below it: the engine (src/keyword_processor/)
uses nothing of the other two, the native library (src/native/) nothing of the binding, and only
the binding (src/lib/) includes Python."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
MAY_USE = {"keyword_processor": {"keyword_processor"}, "native": {"keyword_processor", "native"}}


def included_files(path):
    """The repository files `path` includes, found as the build finds them, and whether it includes
    Python."""
    files, python = [], False
    for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
        python |= name == "Python.h"
        for base in (path.parent, SRC):
            if (base / name).is_file():
                files.append((base / name).resolve())
                break
    return files, python


@pytest.mark.parametrize("layer", sorted(MAY_USE))
def test_each_layer_uses_only_the_layers_below(layer):
    sources = sorted((SRC / layer).rglob("*.[ch]pp"))
    assert sources, f"no sources under src/{layer}"
    wrong = []
    for path in sources:
        files, python = included_files(path)
        if python:
            wrong.append(f"{path.relative_to(SRC)} includes Python.h")
        for target in files:
            if target.relative_to(SRC.resolve()).parts[0] not in MAY_USE[layer]:
                wrong.append(f"{path.relative_to(SRC)} includes {target.relative_to(SRC.resolve())}")
    assert wrong == []
