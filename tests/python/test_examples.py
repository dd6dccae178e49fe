"""The scripts in examples/ run and print what they promise; the offset helper maps offsets right."""

import csv
import os
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from wordsieve import KeywordProcessor

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

def run(script, *args, timeout=120):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, encoding="utf-8", timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done


def load_offsets():
    spec = importlib.util.spec_from_file_location("offsets", EXAMPLES / "offsets.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_quickstart_runs():
    assert "KeywordProcessor(num_keywords=" in run("quickstart.py").stdout


def test_clean_csv_column_rewrites_only_the_column(tmp_path):
    out = tmp_path / "clean.csv"
    done = run("clean_csv_column.py", EXAMPLES / "data" / "products.csv", out)
    assert "10 of 10 rows changed" in done.stderr
    with (EXAMPLES / "data" / "products.csv").open(encoding="utf-8", newline="") as f:
        before = list(csv.DictReader(f))
    with out.open(encoding="utf-8", newline="") as f:
        after = list(csv.DictReader(f))
    assert [(r["sku"], r["price"]) for r in after] == [(r["sku"], r["price"]) for r in before]
    cleaned = {r["sku"]: r["description"] for r in after}
    assert cleaned["A-100"] == "Laptop stand, aluminium, USB-C hub built in"
    assert cleaned["A-102"] == 'Monitor 27" 4K UHD, HDMI 2.1 and USB-C input'
    assert cleaned["A-103"] == "Mechanical keyboard (Wi-Fi free; cable: USB-C to USB-A)"
    assert cleaned["A-109"] == "Charger 65 W (USB-C) for laptops"


def test_clean_csv_column_rejects_a_missing_column(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "clean_csv_column.py"), "--column", "colour"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "no column 'colour'" in done.stderr


def test_fuzzy_names_finds_misspelled_names():
    lines = run("fuzzy_names.py").stdout.splitlines()
    assert lines[0] == "624 names, threshold 0.8"
    for expected in ["  'Österreih' -> AT  similarity 0.90", "  'Dänmark' -> DK  similarity 0.88",
                     "  'Färöer Inseln' -> FO  similarity 0.93", "  'Αυστρια' -> AT  similarity 0.87",
                     "  'Ελβετια' -> CH  similarity 0.87", "  'İzlanda' -> IS  similarity 1.00"]:
        assert expected in lines
    assert lines[-1] == "  no country name"


def test_offsets_demo_slices_the_original_text():
    out = run("offsets.py").stdout
    for word in ["'Kältepunkt'", "'İstanbul'", "'IZMIR'", "'café AU LAIT'"]:
        assert word in out


def test_ship_to_processes_matches_local_results():
    out = run("ship_to_processes.py", 200).stdout
    assert "200 texts in 4 chunks on 2 processes" in out
    assert out.splitlines()[-1] == "equal to local results: True"


def test_dask_extract_matches_local_results():
    pytest.importorskip("dask.bag")
    pytest.importorskip("distributed")
    out = run("dask_extract.py", 300, timeout=300).stdout
    assert "300 texts in 6 partitions on 2 worker processes: 600 matches" in out
    assert out.splitlines()[-1] == "equal to local results: True"


# --- the byte-offset helper -------------------------------------------------------------------------

def test_helper_knows_every_character_whose_lowercase_changes_length():
    offsets = load_offsets()
    assert len(offsets.LOWERED_LENGTH) == 27
    processor = KeywordProcessor()
    processor.add_keyword("kelvin")
    for char, size in offsets.LOWERED_LENGTH.items():
        text = f"{char} Kelvin {char}{char} KELVIN"
        matches = processor.extract_keywords(text)
        assert [m.start for m in matches] == [size + 1, 3 * size + 9], hex(ord(char))
        spans = offsets.char_spans(text, matches, case_sensitive=False)
        assert [text[s.start:s.end] for s in spans] == ["Kelvin", "KELVIN"]
        assert all(s.exact for s in spans)


def test_helper_widens_spans_that_end_inside_a_character():
    offsets = load_offsets()
    processor = KeywordProcessor()
    processor.add_keyword("i")  # 'İ' lowercases to 'i' + U+0307: the match ends between the two
    assert offsets.char_spans("x İ", processor.extract_keywords("x İ"), case_sensitive=False) == [
        offsets.CharSpan(2, 3, False)]
    fuzzy = KeywordProcessor()
    fuzzy.add_keyword("ab")
    [match] = fuzzy.extract_keywords("éb", 0.5)  # starts on the second byte of 'é'
    assert (match.start, match.end) == (1, 3)
    assert offsets.char_spans("éb", [match], case_sensitive=False) == [offsets.CharSpan(0, 2, False)]


# Keywords, and ways to write them that a processor ignoring case still finds: other cases, and the
# compatibility characters whose lowercase form is shorter (Kelvin, ohm and angstrom signs, capital ẞ).
KEYWORDS = {
    "kelvin": ["Kelvin", "KELVIN", "\u212aelvin", "\u212aELVIN"],
    "straße": ["Straße", "STRAẞE", "straẞe"],
    "ωmega": ["Ωmega", "\u2126MEGA", "ωMeGa"],
    "åland": ["Åland", "\u212bLAND", "åLaNd"],
    "zoë": ["Zoë", "ZOË"],
}
# Text between the keywords: no ASCII letter, so it never spells a keyword, but every kind of
# character whose UTF-8 length changes when lowercased, and 1- to 4-byte characters.
FILLER = "".join(load_offsets().LOWERED_LENGTH) + "éΣσß中😀!,.09-"


@st.composite
def texts_with_keywords(draw, case_sensitive):
    tokens = draw(st.lists(st.one_of(
        st.text(FILLER, min_size=1, max_size=3).map(lambda t: (None, t)),
        st.sampled_from(sorted(KEYWORDS)).flatmap(
            lambda k: st.just((k, k)) if case_sensitive else st.sampled_from(KEYWORDS[k]).map(
                lambda v: (k, v)))), max_size=12))
    expected, position = [], 0
    for keyword, token in tokens:
        if keyword is not None:
            expected.append((keyword, position, position + len(token)))
        position += len(token) + 1
    return " ".join(token for _, token in tokens), expected


@pytest.mark.parametrize("case_sensitive", [False, True])
def test_helper_maps_every_exact_match_onto_the_original_text(case_sensitive):
    offsets = load_offsets()
    processor = KeywordProcessor(case_sensitive=case_sensitive)
    for keyword in KEYWORDS:
        processor.add_keyword(keyword)

    @settings(max_examples=150, deadline=None)
    @given(texts_with_keywords(case_sensitive))
    def check(case):
        text, expected = case
        matches = processor.extract_keywords(text)
        spans = offsets.char_spans(text, matches, case_sensitive=case_sensitive)
        assert [(m.keyword, s.start, s.end) for m, s in zip(matches, spans)] == expected
        assert all(s.exact for s in spans)

    check()


# The first recipe, kept as the oracle: a table of every character's byte offset, then two bisections
# per match. Slow (a Python step per character) but plainly right.
def oracle_char_spans(text, matches, case_sensitive, lowered_length):
    from bisect import bisect_left, bisect_right
    starts = [0]
    for ch in text:
        size = None if case_sensitive else lowered_length.get(ch)
        starts.append(starts[-1] + (size or len(ch.encode())))
    spans = []
    for m in matches:
        first, last = bisect_right(starts, m.start) - 1, bisect_left(starts, m.end)
        spans.append((first, last, starts[first] == m.start and starts[last] == m.end))
    return spans


CORPUS = Path(os.environ.get("WORDSIEVE_CORPUS", EXAMPLES.parents[1] / "shared" / "corpus"))


@pytest.mark.skipif(not CORPUS.is_dir(), reason=f"no corpus at {CORPUS} (set WORDSIEVE_CORPUS)")
@pytest.mark.parametrize("case_sensitive", [False, True])
def test_helper_agrees_with_the_first_recipe_on_the_corpus(case_sensitive):
    offsets = load_offsets()
    read = lambda name: (CORPUS / name).read_text(encoding="utf-8")  # noqa: E731
    rows = [line.split("\t") for line in read("names_nonascii.tsv").splitlines()]
    changing = list(offsets.LOWERED_LENGTH)
    # Every name once more, after one of the characters whose lowercase has another length.
    names = "\n".join(row[0] for row in rows) + "".join(
        f" {changing[i % 27]}{row[0]}{changing[(i + 5) % 27]}." for i, row in enumerate(rows))
    processor = KeywordProcessor(case_sensitive=case_sensitive)
    for word in read("keywords_en.txt").split("\n")[:20000]:
        processor.add_keyword(word)
    for row in rows:
        processor.add_keyword(row[0], row[1])
    cases = [(read("prose_kjv.txt"), None), (read("prose_jargon.txt"), None), (names, None),
             (read("prose_jargon.txt")[:60_000], 0.8), (names[:20_000] + names[-20_000:], 0.7)]
    for text, threshold in cases:
        matches = processor.extract_keywords(text, threshold)
        expected = oracle_char_spans(text, matches, case_sensitive, offsets.LOWERED_LENGTH)
        assert offsets.char_spans(text, matches, case_sensitive=case_sensitive) == expected
        [converted] = offsets.batch_to_str_offsets([text], [matches], case_sensitive=case_sensitive)
        assert [(m.start, m.end) for m in converted] == [span[:2] for span in expected]
    assert any(not exact for *_, exact in expected), "the fuzzy cases cover widened spans"
