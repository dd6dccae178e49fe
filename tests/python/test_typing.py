"""The installed type stubs: found by mypy, consistent with the module, strict enough to catch misuse."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import wordsieve

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the 'test' extra)")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                           "--no-error-summary", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stubs_are_installed_beside_the_module_and_as_a_stub_package():
    site = Path(wordsieve.__file__).parent
    beside = site / "wordsieve.pyi"
    package = site / "wordsieve-stubs" / "__init__.pyi"
    assert beside.read_bytes() == package.read_bytes()


def test_stubtest_finds_the_stubs_consistent_with_the_module(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
                           "wordsieve"], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_strict_mypy(tmp_path):
    pytest.importorskip("dask.bag")
    done = mypy(EXAMPLES, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_types_and_misuse(tmp_path):
    (tmp_path / "usage.py").write_text(textwrap.dedent("""\
        from typing import assert_type

        from wordsieve import KeywordProcessor, PyKeywordMatch

        p = KeywordProcessor(case_sensitive=None, allow_overlaps=True)
        assert_type(p.add_keyword("New York", "NY"), None)
        assert_type(p.remove_keyword("x"), bool)
        assert_type(p.extract_keywords("text"), list[PyKeywordMatch])
        assert_type(p.replace_keywords("text", 0.5), str)
        assert_type(p.parallel_extract_keywords_from_texts(("a", "b")), list[list[PyKeywordMatch]])
        assert_type(p.parallel_replace_keywords_from_texts(["a"], threshold=None), list[str])
        assert_type(p.get_all_keywords(), dict[str, str])
        assert_type(len(p), int)
        assert_type(p.__getstate__(), bytes)
        p.set_non_word_boundaries(["-", "_"])
        p.add_non_word_boundary("-")
        m = PyKeywordMatch("NY", 1.0, 0, 8)
        assert_type(m.keyword, str)
        assert_type(m.similarity, float)
        assert_type(m.start, int)
        assert_type(m.__getnewargs__(), tuple[str, float, int, int])
        m.end = 9

        p.add_keyword(5)                          # E: int is not str
        p.extract_keywords("t", threshold="0.5")  # E: str is not a threshold
        p.parallel_replace_keywords_from_texts([b"bytes"])  # E: bytes are not str
        KeywordProcessor(True, True, True)        # E: two parameters
        m.start = "0"                             # E: str is not int
        PyKeywordMatch("a", 1.0, 0)               # E: end is missing
        p.no_such_method()                        # E: no such attribute
        """))
    done = mypy(tmp_path / "usage.py", cwd=tmp_path)
    flagged = sorted(int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line)
    source = (tmp_path / "usage.py").read_text().splitlines()
    expected = [n for n, line in enumerate(source, 1) if "# E:" in line]
    assert flagged == expected, done.stdout
