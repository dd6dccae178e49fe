"""The module object, its init function and the shape of the KeywordProcessor class."""

import _imp
import importlib
import importlib.util
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest

import wordsieve
from wordsieve import KeywordProcessor

# The class's methods in their documented order.
METHOD_ORDER = [
    "add_keyword",
    "remove_keyword",
    "extract_keywords",
    "parallel_extract_keywords_from_texts",
    "replace_keywords",
    "parallel_replace_keywords_from_texts",
    "get_all_keywords",
    "set_non_word_boundaries",
    "add_non_word_boundary",
    "__setstate__",
    "__getstate__",
]

SIGNATURES = {
    "add_keyword": "($self, keyword, clean_name=None)",
    "remove_keyword": "($self, keyword)",
    "extract_keywords": "($self, text, threshold=None)",
    "parallel_extract_keywords_from_texts": "($self, texts, threshold=None)",
    "replace_keywords": "($self, text, threshold=None)",
    "parallel_replace_keywords_from_texts": "($self, texts, threshold=None)",
    "get_all_keywords": "($self)",
    "set_non_word_boundaries": "($self, boundaries)",
    "add_non_word_boundary": "($self, boundary)",
    "__setstate__": "($self, state)",
    "__getstate__": "($self)",
}


def test_module_attributes():
    assert wordsieve.__name__ == "wordsieve"
    assert wordsieve.__doc__ == ""
    expected = ["KeywordProcessor", "PyKeywordMatch"]
    assert wordsieve.__all__ == expected
    for name in expected:
        assert getattr(wordsieve, name).__name__ == name


def test_rerunning_init_returns_the_same_module():
    spec = importlib.util.find_spec("wordsieve")
    again = _imp.create_dynamic(spec)
    assert again is wordsieve
    assert again.KeywordProcessor is KeywordProcessor


def test_reimport_after_removal_from_sys_modules_returns_the_same_module():
    saved = sys.modules.pop("wordsieve")
    try:
        again = importlib.import_module("wordsieve")
        assert again is saved
        assert again.KeywordProcessor is KeywordProcessor
        assert again.__all__ == saved.__all__  # not appended to a second time
    finally:
        sys.modules["wordsieve"] = saved


# Only one interpreter may use the module: its classes, and the strs that searches keep from call
# to call, belong to it. A sub-interpreter is refused whether or not the main interpreter imported
# the module first, and the main interpreter's searches go on finding the right names.
@pytest.mark.parametrize(
    "script",
    [
        """
        import _interpreters
        import wordsieve
        p = wordsieve.KeywordProcessor()
        p.add_keyword("Big Apple", "New York")
        p.extract_keywords("the Big Apple")
        iid = _interpreters.create("legacy")
        failure = _interpreters.exec(iid, "import wordsieve")
        _interpreters.destroy(iid)
        assert [m.keyword for m in p.extract_keywords("big apple")] == ["New York"]
        print(failure.type.__name__)
        print(failure.msg)
        """,
        """
        import _interpreters
        iid = _interpreters.create("legacy")
        failure = _interpreters.exec(iid, SEARCH)
        _interpreters.destroy(iid)
        exec(SEARCH)
        print(failure.type.__name__)
        print(failure.msg)
        """,
    ],
    ids=["main-first", "sub-interpreter-first"],
)
def test_subinterpreter_import_is_refused(script):
    pytest.importorskip("_interpreters")
    search = textwrap.dedent(
        """
        import wordsieve
        p = wordsieve.KeywordProcessor()
        p.add_keyword("Big Apple", "New York")
        assert [m.keyword for m in p.extract_keywords("the big apple, the Big Apple")] == ["New York"] * 2
        """
    )
    script = f"SEARCH = {search!r}\n" + textwrap.dedent(script)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError",
        "PyO3 modules do not yet support subinterpreters, see "
        "https://github.com/wordsieve/wordsieve/issues",
    ]


def test_class_identity():
    assert KeywordProcessor.__module__ == "wordsieve"
    assert KeywordProcessor.__qualname__ == "KeywordProcessor"
    assert KeywordProcessor.__doc__ == ""
    assert str(inspect.signature(KeywordProcessor)) == "(case_sensitive=False, allow_overlaps=False)"


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Sub(KeywordProcessor):
            pass


def test_instances_have_no_dict_and_no_weakrefs():
    p = KeywordProcessor()
    with pytest.raises(AttributeError):
        p.anything = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)


def test_identity_semantics_and_str():
    a, b = KeywordProcessor(), KeywordProcessor()
    assert a != b and a == a
    assert hash(a) == object.__hash__(a)
    assert str(a) == repr(a)


def test_methods_in_documented_order_with_signatures():
    present = [name for name in KeywordProcessor.__dict__ if name in METHOD_ORDER]
    assert present == METHOD_ORDER
    for name in present:
        method = getattr(KeywordProcessor, name)
        assert method.__text_signature__ == SIGNATURES[name]
        assert method.__doc__ is None


def test_instances_give_their_type_reference_back():
    before = sys.getrefcount(KeywordProcessor)
    instances = [KeywordProcessor() for _ in range(50)]
    assert sys.getrefcount(KeywordProcessor) == before + 50
    del instances
    assert sys.getrefcount(KeywordProcessor) == before
