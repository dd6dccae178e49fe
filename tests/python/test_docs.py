"""The documentation runs: every example in the guide, and the reference covers every public member."""

import doctest
import importlib.metadata
import re
from pathlib import Path

import pytest

import wordsieve

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"

pytestmark = pytest.mark.skipif(not DOCS.is_dir(), reason="the docs are not beside the tests")


def python_blocks(path):
    return re.findall(r"^```python\n(.*?)^```", path.read_text(encoding="utf-8"), re.S | re.M)


def test_guide_examples_run_and_print_what_they_show():
    guide = DOCS / "guide.md"
    names = {}
    for block in python_blocks(guide):
        exec(compile(block, str(guide), "exec"), names)
    result = doctest.testfile(str(guide), module_relative=False, globs=names, report=False,
                              optionflags=doctest.ELLIPSIS)
    assert result.attempted > 50
    assert result.failed == 0, "the guide shows other output than its examples print (see stdout)"


def test_guide_offset_recipe_is_the_tested_example_helper():
    [recipe] = [block for block in python_blocks(DOCS / "guide.md") if "def char_spans" in block]
    assert recipe in (ROOT / "examples" / "offsets.py").read_text(encoding="utf-8")


def test_api_reference_covers_every_public_member():
    api = (DOCS / "api.md").read_text(encoding="utf-8")
    for cls in (wordsieve.KeywordProcessor, wordsieve.PyKeywordMatch):
        assert f"## `class {cls.__name__}`" in api
        members = [name for name in vars(cls)
                   if not name.startswith("_") or name in ("__getstate__", "__setstate__", "__getnewargs__")]
        for name in members:
            assert re.search(rf"`{name}[`(: ]", api), f"{cls.__name__}.{name} is not documented"


def test_changelog_has_an_entry_for_the_installed_version():
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert f"## {importlib.metadata.version('wordsieve')} " in changelog


def test_guide_lists_the_same_decisions_as_the_readme():
    def section(path, heading):
        text = path.read_text(encoding="utf-8")
        if heading not in text:
            return None
        return text.split(heading, 1)[1].split("\n## ", 1)[0].strip()

    readme = section(ROOT / "README.md", "## Decisions where behaviour was left open")
    if readme is None:
        pytest.skip("the README has no list of decisions")
    assert section(DOCS / "guide.md", "## Choices made where behaviour was left open") == readme
