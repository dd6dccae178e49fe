"""The documentation runs: every example in the guide, every script of the recipes and distributed
pages, and the reference covers every public member."""

import doctest
import importlib.metadata
import importlib.util
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

import wordsieve

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"

def python_blocks(path):
    return re.findall(r"^```python\n(.*?)^```", path.read_text(encoding="utf-8"), re.S | re.M)


def test_guide_examples_run_and_print_what_they_show(monkeypatch):
    guide = DOCS / "guide.md"
    monkeypatch.syspath_prepend(str(ROOT / "examples"))  # the guide imports the offsets helper
    names = {}
    for block in python_blocks(guide):
        exec(compile(block, str(guide), "exec"), names)
    result = doctest.testfile(str(guide), module_relative=False, globs=names, report=False,
                              optionflags=doctest.ELLIPSIS)
    assert result.attempted > 50
    assert result.failed == 0, "the guide shows other output than its examples print (see stdout)"


# Every python block of these pages is a file named on its first line ("# name.py: ..."). Scripts run
# from the root of the checkout, beside the page's other files and examples/offsets.py, with what they
# need installed; the others are modules that the scripts import.
def needs(*modules, java=False):
    missing = [m for m in modules if importlib.util.find_spec(m.split(".")[0]) is None
               or (m == "dask.dataframe" and importlib.util.find_spec("pyarrow") is None)]
    if java and shutil.which("java") is None:
        missing.append("a Java runtime")
    return pytest.mark.skipif(bool(missing), reason=f"needs {', '.join(missing)}")


SCRIPTS = [
    ("recipes.md", "tag_countries.py", "'İzlanda' -> IS", []),
    ("recipes.md", "fuzzy_thresholds.py", "'pnuemonia' -> pneumonia (0.78)", []),
    pytest.param("recipes.md", "clean_column.py", "Bluetooth 5.0", [], marks=needs("pandas")),
    ("recipes.md", "ship_to_processes.py", "20,000 texts, 40,000 matches", []),
    ("distributed.md", "pool_extract.py", "as a local loop finds", []),
    pytest.param("distributed.md", "dask_bag_extract.py", "'durian': 20000", [], marks=needs("distributed")),
    pytest.param("distributed.md", "dask_frame_replace.py", "the color of the center", [],
                 marks=needs("distributed", "dask.dataframe")),
    pytest.param("distributed.md", "spark_job.py", "ML in NY", [], marks=needs("pyspark", "pandas", java=True)),
    # A threshold outside 0..1 raises PanicException in the workers: the pools report it at once.
    ("recipes.md", "ship_to_processes.py", "WordsieveError: Threshold must be between 0 and 1", ["1.5"]),
    ("distributed.md", "pool_extract.py", "WordsieveError: Threshold must be between 0 and 1", ["1.5"]),
    pytest.param("distributed.md", "dask_bag_extract.py", "WordsieveError: Threshold must be between 0 and 1",
                 ["1.5"], marks=needs("distributed")),
]


def test_worker_wrapper_is_the_same_in_the_docs_and_the_examples():
    [block] = [b for b in python_blocks(DOCS / "distributed.md") if b.startswith("# worker_errors.py")]
    assert block == (ROOT / "examples" / "worker_errors.py").read_text(encoding="utf-8")
    wrapper = block[block.index("class WordsieveError"):]
    assert wrapper in (DOCS / "recipes.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("page, script, expected, args", SCRIPTS)
def test_page_scripts_run_as_written(tmp_path, page, script, expected, args):
    for block in python_blocks(DOCS / page):
        name = re.match(r"# (\w+\.py): ", block)
        assert name, f"a block of {page} does not start with '# name.py: '"
        (tmp_path / name[1]).write_text(block, encoding="utf-8")
    shutil.copy(ROOT / "examples" / "offsets.py", tmp_path)
    began = time.monotonic()
    done = subprocess.run([sys.executable, str(tmp_path / script), *args], cwd=ROOT, capture_output=True,
                          text=True, encoding="utf-8", timeout=180)
    if args:  # made to fail: it must, within seconds, with the ordinary exception
        assert done.returncode != 0 and expected in done.stderr, done.stderr[-2000:]
        assert time.monotonic() - began < 60
    else:
        assert done.returncode == 0, done.stderr[-2000:]
        assert expected in done.stdout


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
    heading = "## At the edges: what the library does and why"

    def section(path):
        text = path.read_text(encoding="utf-8")
        assert heading in text, f"{path.name} has no section {heading!r}"
        return text.split(heading, 1)[1].split("\n## ", 1)[0].strip()

    readme = section(ROOT / "README.md")
    assert readme.startswith("- ")
    assert section(DOCS / "guide.md") == readme
