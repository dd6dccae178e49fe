"""Keyword management through Python: construction, counting, adding, removing and listing."""

import pytest

from wordsieve import KeywordProcessor


def test_empty_processor():
    p = KeywordProcessor()
    assert repr(p) == "KeywordProcessor(num_keywords=0)"
    assert len(p) == 0
    assert not p
    assert p.get_all_keywords() == {}


@pytest.mark.parametrize("case_sensitive, additions, expected", [
    (False, [("Apple", None), ("APPLE", "Fruit")], {"apple": "Fruit"}),
    (True, [("Apple", None), ("APPLE", "Fruit")], {"Apple": "Apple", "APPLE": "Fruit"}),
    (False, [("", None)], {"": ""}),
    (False, [("x", "")], {"x": ""}),  # an empty clean name is still a clean name
    (False, [("New York", "NY"), ("new york", None)], {"new york": "new york"}),
    (False, [("ÉCOLE", "École")], {"école": "École"}),
    (False, [("a", "1"), ("ab", "2"), ("abc", "3")], {"a": "1", "ab": "2", "abc": "3"}),
    (True, [("\U0001F600 smile", "emoji")], {"\U0001F600 smile": "emoji"}),
])
def test_add_and_list(case_sensitive, additions, expected):
    p = KeywordProcessor(case_sensitive=case_sensitive)
    for keyword, clean_name in additions:
        assert p.add_keyword(keyword, clean_name) is None
    assert p.get_all_keywords() == expected
    assert len(p) == len(expected)
    assert bool(p)
    assert repr(p) == f"KeywordProcessor(num_keywords={len(expected)})"


def test_keyword_arguments():
    p = KeywordProcessor(allow_overlaps=True, case_sensitive=True)
    p.add_keyword(clean_name="C", keyword="K")
    assert p.get_all_keywords() == {"K": "C"}
    assert p.remove_keyword(keyword="K") is True


@pytest.mark.parametrize("case_sensitive, stored, removed, result, left", [
    (False, ["Apple"], "APPLE", True, {}),
    (True, ["Apple"], "APPLE", False, {"Apple": "Apple"}),
    (False, ["missing"], "miss", False, {"missing": "missing"}),
    (False, ["ab", "abc"], "ab", True, {"abc": "abc"}),
    (False, ["ab", "abc"], "abc", True, {"ab": "ab"}),
    (False, [""], "", True, {}),
    (False, [], "anything", False, {}),
])
def test_remove(case_sensitive, stored, removed, result, left):
    p = KeywordProcessor(case_sensitive)
    for keyword in stored:
        p.add_keyword(keyword)
    assert p.remove_keyword(removed) is result
    assert p.get_all_keywords() == left
    assert p.remove_keyword(removed) is False


def test_results_share_nothing_with_the_processor():
    p = KeywordProcessor()
    p.add_keyword("a", "b")
    listing = p.get_all_keywords()
    listing["c"] = "d"
    p.add_keyword("e")
    assert listing == {"a": "b", "c": "d"}
    assert p.get_all_keywords() == {"a": "b", "e": "e"}
    assert p.get_all_keywords() is not p.get_all_keywords()


def test_many_keywords():
    p = KeywordProcessor()
    for i in range(2000):
        p.add_keyword(f"keyword {i}", str(i))
    assert len(p) == 2000
    assert repr(p) == "KeywordProcessor(num_keywords=2000)"
    assert p.get_all_keywords() == {f"keyword {i}": str(i) for i in range(2000)}


# Every failing call must leave the processor exactly as it was, even when an earlier argument had
# already been converted successfully.
FAILING_CALLS = [
    (lambda p: p.add_keyword("\ud800"), UnicodeEncodeError),
    (lambda p: p.add_keyword("new", "\ud800"), UnicodeEncodeError),
    (lambda p: p.add_keyword("new", 1), TypeError),
    (lambda p: p.add_keyword("new", "x", "y"), TypeError),
    (lambda p: p.add_keyword("new", clean="x"), TypeError),
    (lambda p: p.remove_keyword(b"kept"), TypeError),
    (lambda p: p.remove_keyword("\udc80kept"), UnicodeEncodeError),
    (lambda p: p.add_non_word_boundary("--"), ValueError),
    (lambda p: p.add_non_word_boundary("\ud800"), UnicodeEncodeError),
    (lambda p: p.set_non_word_boundaries(["-", "ab"]), ValueError),
    (lambda p: p.set_non_word_boundaries(["-", 5]), TypeError),
    (lambda p: p.set_non_word_boundaries("-"), TypeError),
]


@pytest.mark.parametrize("call, kind", FAILING_CALLS)
def test_failed_calls_change_nothing(call, kind):
    p = KeywordProcessor()
    p.add_keyword("kept", "K")
    with pytest.raises(kind):
        call(p)
    assert p.get_all_keywords() == {"kept": "K"}
    assert len(p) == 1
    p.add_keyword("after")  # no access was left behind
    assert len(p) == 2


def york_found(p):
    return [m.keyword for m in p.extract_keywords("new-york")] == ["york"]


def test_word_characters_decide_boundaries():
    p = KeywordProcessor()
    p.add_keyword("york")
    assert york_found(p)
    p.add_non_word_boundary("-")
    assert not york_found(p)
    # Replacing the set drops the defaults and earlier additions alike.
    p.set_non_word_boundaries(["x"])
    assert york_found(p)


def test_failed_boundary_update_keeps_the_set():
    p = KeywordProcessor()
    p.add_keyword("york")
    with pytest.raises(ValueError):
        p.set_non_word_boundaries(["-", "ab"])
    with pytest.raises(ValueError):
        p.add_non_word_boundary("-x")
    assert york_found(p)
