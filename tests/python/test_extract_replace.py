"""extract_keywords and replace_keywords end to end: thresholds, byte offsets, exact and fuzzy
matches, replacement, and the independence of results from the processor."""

import json
import math
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from wordsieve import KeywordProcessor, PyKeywordMatch

from stand_ins import Floaty, Index, error_of

THRESHOLD_ERROR = "Threshold must be between 0 and 1"


def processor(keywords, case_sensitive=False, allow_overlaps=False):
    p = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=allow_overlaps)
    for keyword in keywords:
        if isinstance(keyword, tuple):
            p.add_keyword(*keyword)
        else:
            p.add_keyword(keyword)
    return p


def found(p, text, threshold=None):
    return [(m.keyword, round(m.similarity, 2), m.start, m.end)
            for m in p.extract_keywords(text, threshold)]


# --- Thresholds ------------------------------------------------------------------------------

# The exact search reports the longest keyword at a position; the fuzzy one finds the shorter exact
# keyword first and keeps it, whatever its threshold.
SEARCH_MODE = ([("ab", "AB"), ("abc", "ABC")], "abc d")
EXACT = [("ABC", 1.0, 0, 3)]
FUZZY = [("AB", 1.0, 0, 2)]


@pytest.mark.parametrize("threshold", [
    None, 1, 1.0, True, Index(1), Floaty(1.0),
    1.00000005, 0.99999999,  # both narrow to exactly 1.0 in single precision
])
def test_thresholds_that_select_the_exact_search(threshold):
    p = processor(SEARCH_MODE[0])
    assert found(p, SEARCH_MODE[1], threshold) == EXACT
    assert p.replace_keywords(SEARCH_MODE[1], threshold) == "ABC d"


@pytest.mark.parametrize("threshold", [
    0.8, 0, 0.0, False, Floaty(0.5),
    -0.0, -1e-50,  # both narrow to -0.0, which is not below 0
    0.99999994,  # the largest float below 1
])
def test_thresholds_that_select_the_fuzzy_search(threshold):
    p = processor(SEARCH_MODE[0])
    assert found(p, SEARCH_MODE[1], threshold) == FUZZY
    assert p.replace_keywords(SEARCH_MODE[1], threshold) == "ABc d"


@pytest.mark.parametrize("threshold", [
    1.0000001, 1.5, 2, float("inf"), -0.01, -1, float("-inf"), float("nan"), Floaty(-0.5),
])
@pytest.mark.parametrize("method", ["extract_keywords", "replace_keywords"])
@pytest.mark.parametrize("text", ["", "hello world"])
def test_thresholds_out_of_range_panic(method, threshold, text, failure_reports):
    p = processor(["hello"])
    error = error_of(lambda: getattr(p, method)(text, threshold))
    assert type(error).__name__ == "PanicException" and not isinstance(error, Exception)
    assert error.args == (THRESHOLD_ERROR,)
    assert failure_reports() == [THRESHOLD_ERROR]
    # Nothing changed, and the shared access was given back.
    p.add_keyword("world")
    assert found(p, text) == ([] if not text else [("hello", 1.0, 0, 5), ("world", 1.0, 6, 11)])


class FloatFails:
    def __float__(self):
        raise ValueError("no float")


@pytest.mark.parametrize("method", ["extract_keywords", "replace_keywords"])
@pytest.mark.parametrize("call, kind, message", [
    (lambda f: f("x", "0.5"), TypeError, "argument 'threshold': must be real number, not str"),
    (lambda f: f("x", [1]), TypeError, "argument 'threshold': must be real number, not list"),
    (lambda f: f("x", FloatFails()), ValueError, "no float"),
    (lambda f: f(5), TypeError, "argument 'text': 'int' object cannot be converted to 'PyString'"),
    (lambda f: f(b"x"), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    (lambda f: f("\ud800"), UnicodeEncodeError, None),
    (lambda f: f(), TypeError, "missing 1 required positional argument: 'text'"),
    (lambda f: f("x", 1.0, 2), TypeError, "takes from 1 to 2 positional arguments but 3 were given"),
    (lambda f: f("x", limit=1), TypeError, "got an unexpected keyword argument 'limit'"),
])
def test_argument_errors(method, call, kind, message):
    p = processor(["x"])
    error = error_of(lambda: call(getattr(p, method)))
    assert type(error) is kind
    if message is not None:
        assert str(error).endswith(message)
        if kind is TypeError and not message.startswith("argument"):
            assert str(error) == f"KeywordProcessor.{method}() {message}"


def test_arguments_by_keyword():
    p = processor([("york", "York")])
    assert found(p, "new york", 1.0) == [("York", 1.0, 4, 8)]
    assert [repr(m) for m in p.extract_keywords(threshold=None, text="new york")] == [
        "KeywordMatch(keyword='York', similarity=1.00, start=4, end=8)"]
    assert p.replace_keywords(text="new york", threshold=1) == "new York"


def test_threshold_conversion_may_read_but_not_change_the_processor():
    p = processor(["york"])
    outcomes = []

    class Reentrant:
        def __float__(self):
            outcomes.append(len(p.extract_keywords("york")))  # reading alongside is fine
            try:
                p.add_keyword("new")
            except RuntimeError as error:
                outcomes.append(str(error))
            return 1.0

    assert found(p, "new york", Reentrant()) == [("york", 1.0, 4, 8)]
    assert outcomes == [1, "Already borrowed"]
    p.add_keyword("new")  # the access was given back
    assert len(p) == 2


# --- Extraction ------------------------------------------------------------------------------


@pytest.mark.parametrize("keywords, flags, text, expected", [
    (["New York"], {}, "I love New York!", [("new york", 1.0, 7, 15)]),
    ([("New York", "NY")], {}, "I love New York!", [("NY", 1.0, 7, 15)]),
    (["new", "new york"], {}, "new york city", [("new york", 1.0, 0, 8)]),
    (["new", "new york"], {}, "new yorkshire", []),
    (["cat"], {}, "concatenate", []),
    (["cat"], {"allow_overlaps": True}, "concatenate", [("cat", 1.0, 3, 6)]),
    (["abc", "bcd"], {"allow_overlaps": True}, "abcd", [("abc", 1.0, 0, 3)]),
    (["cat"], {}, "cat cat.", [("cat", 1.0, 0, 3), ("cat", 1.0, 4, 7)]),
    (["foo"], {}, "foo_bar", []),
    (["foo"], {}, "foo-bar", [("foo", 1.0, 0, 3)]),
    (["café"], {}, "café au lait", [("café", 1.0, 0, 5)]),
    (["cat"], {}, "écat", [("cat", 1.0, 2, 5)]),
    ([("Cat", "Feline")], {}, "CAT!", [("Feline", 1.0, 0, 3)]),
    ([("Cat", "Feline")], {"case_sensitive": True}, "CAT!", []),
    ([" ok"], {}, " ok", [(" ok", 1.0, 1, 3)]),
    ([("", "empty")], {}, "anything", []),
    (["apple"], {}, "café apple", [("apple", 1.0, 6, 11)]),  # bytes, not characters (5 to 10)
    (["x"], {}, "", []),
])
def test_exact_extraction(keywords, flags, text, expected):
    assert found(processor(keywords, **flags), text) == expected


# The cases of tests/data/fuzzy_cases.json, which the C++ tests run too.
FUZZY_CASES = json.loads((Path(__file__).resolve().parents[1] / "data" / "fuzzy_cases.json")
                         .read_text(encoding="utf-8"))


@pytest.mark.parametrize("case", FUZZY_CASES, ids=[case["name"] for case in FUZZY_CASES])
def test_fuzzy_extraction(case):
    keywords = [keyword if clean is None else (keyword, clean) for keyword, clean in case["keywords"]]
    p = processor(keywords, case.get("case_sensitive", False), case.get("allow_overlaps", False))
    assert found(p, case["text"], case["threshold"]) == [tuple(match) for match in case["expected"]]


def test_similarity_is_the_single_precision_value():
    [m] = processor(["hello"]).extract_keywords("hxello world", 0.8)
    assert m.similarity == 0.8299999833106995


def test_matches_are_independent_of_the_processor():
    p = processor([("New York", "NY"), "paris"])
    matches = p.extract_keywords("new york and paris")
    p.remove_keyword("New York")
    p.add_keyword("paris", "Paris, France")
    p.__setstate__(KeywordProcessor().__getstate__())
    del p
    assert [repr(m) for m in matches] == [
        "KeywordMatch(keyword='NY', similarity=1.00, start=0, end=8)",
        "KeywordMatch(keyword='paris', similarity=1.00, start=13, end=18)",
    ]


def test_extraction_results_give_their_type_reference_back():
    p = processor(["k"])
    before = sys.getrefcount(PyKeywordMatch)
    matches = p.extract_keywords("k " * 30)
    assert len(matches) == 30 and sys.getrefcount(PyKeywordMatch) == before + 30
    del matches
    assert sys.getrefcount(PyKeywordMatch) == before


@pytest.mark.parametrize("method", ["extract_keywords", "parallel_extract_keywords_from_texts"])
def test_matches_of_one_call_share_each_clean_name(method):
    # 400 matches of a 1 MiB clean name: one copy of the name, not 400 (measured in a process of
    # its own, by the peak of its resident memory).
    script = textwrap.dedent(f"""
        import resource
        from wordsieve import KeywordProcessor

        name = "N" * 2**20 + "é"
        p = KeywordProcessor()
        p.add_keyword("ab", name)
        p.parallel_extract_keywords_from_texts(["ab"])  # the worker pool exists before the count
        text = "ab " * 200
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        got = p.{method}(text + text) if "{method}" == "extract_keywords" else p.{method}([text, text])
        matches = got if "{method}" == "extract_keywords" else got[0] + got[1]
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert len(matches) == 400 and all(m.keyword == name for m in matches)
        print(grown)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) < 64 * 1024  # KiB


# --- Replacement -----------------------------------------------------------------------------


@pytest.mark.parametrize("keywords, flags, text, threshold, expected", [
    (["x"], {}, "", None, ""),
    (["x"], {}, "nothing here", None, "nothing here"),
    ([("New York", "NY")], {}, "I love New York!", None, "I love NY!"),
    ([("cat", "feline"), ("dog", "canine")], {}, "cat and dog", None, "feline and canine"),
    ([("apple", "fruit")], {}, "APPLE pie and Apple tart", None, "fruit pie and fruit tart"),
    (["apple"], {}, "Big APPLE", None, "Big apple"),
    ([("apple", "")], {}, "an apple a day", None, "an  a day"),
    ([("a", "a much longer name")], {}, "a b a", None, "a much longer name b a much longer name"),
    ([("cat", "the dog"), "dog"], {}, "cat", None, "the dog"),  # clean names are not searched again
    ([("café", "coffee")], {}, "Café noir", None, "coffee noir"),
    ([("Cat", "Feline")], {"case_sensitive": True}, "Cat CAT", None, "Feline CAT"),
    # The similarity counts against the clean name's length: 1 - 1/8 here, 1 - 1/4 with 'hi'.
    ([("hello", "greeting")], {}, "helo world", 0.8, "greeting world"),
    ([("hello", "hi")], {}, "helo world", 0.8, "helo world"),
    ([("world", "earth")], {}, "hello  world", 0.5, "hello  earth"),
])
def test_replacement(keywords, flags, text, threshold, expected):
    assert processor(keywords, **flags).replace_keywords(text, threshold) == expected


# --- Properties ------------------------------------------------------------------------------

# Letters, separators, multi-byte characters, and characters whose lowercase form has a different
# UTF-8 length (İ grows, ẞ shrinks), so offsets, boundaries and the offset map all get exercised.
ALPHABET = "abAB -_.\té\u00c9\u0130\u1e9e\u03a3\U0001F600"
keywords_strategy = st.lists(
    st.tuples(st.text(ALPHABET, min_size=1, max_size=6), st.none() | st.text(ALPHABET, max_size=4)),
    max_size=5,
)
thresholds = st.sampled_from([None, 1.0, 0.95, 0.8, 0.6, 0.3, 0.0])


@settings(max_examples=300, deadline=None)
@given(keywords=keywords_strategy, text=st.text(ALPHABET, max_size=40), threshold=thresholds,
       case_sensitive=st.booleans(), allow_overlaps=st.booleans())
def test_matches_lie_inside_the_search_text_in_order(keywords, text, threshold, case_sensitive,
                                                     allow_overlaps):
    p = processor(keywords, case_sensitive, allow_overlaps)
    search_text = text if case_sensitive else text.lower()
    length = len(search_text.encode())
    previous_end = 0
    for m in p.extract_keywords(text, threshold):
        assert previous_end <= m.start <= m.end <= length
        assert 0.0 <= m.similarity <= 1.0 and not math.isnan(m.similarity)
        assert m.keyword in p.get_all_keywords().values()
        previous_end = m.end
    replaced = p.replace_keywords(text, threshold)
    assert replaced.encode("utf-8").decode("utf-8") == replaced
    if not p.extract_keywords(text, threshold):
        assert replaced == text
