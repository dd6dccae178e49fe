"""KeywordProcessor pickling: the byte record of __getstate__, __setstate__, pickle and copy."""

import copy
import pickle
import struct

import pytest

from wordsieve import KeywordProcessor

PICKLE_PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
WORDS_END = 8 + 17408 * 8  # the root node starts here

DEFAULT_WORDS = (0x03FF000000000000).to_bytes(8, "little") + (0x07FFFFFE87FFFFFE).to_bytes(8, "little")
WORD_SET = struct.pack("<Q", 17408) + DEFAULT_WORDS + bytes(17406 * 8)


def node(children=(), clean_name=None):
    """A node record: children as (key bytes, child record) pairs, then the optional clean name."""
    record = struct.pack("<Q", len(children)) + b"".join(key + child for key, child in children)
    if clean_name is None:
        return record + b"\x00"
    return record + b"\x01" + struct.pack("<Q", len(clean_name)) + clean_name


def state(root=None, flags=b"\x00\x00", words=WORD_SET):
    return words + (node() if root is None else root) + flags


def snapshot(p):
    """Everything a processor holds, independent of the order in which the trie is written."""
    raw = p.__getstate__()
    return raw[:WORDS_END], p.get_all_keywords(), raw[-2:]


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# --- The byte record -------------------------------------------------------------------------


def test_empty_processor_state():
    raw = KeywordProcessor().__getstate__()
    assert type(raw) is bytes and len(raw) == 139283
    assert raw == state()


def test_worked_example_byte_for_byte():
    p = KeywordProcessor()
    p.add_keyword("ab", "x")
    expected = (
        bytes.fromhex("0044000000000000")
        + bytes.fromhex("000000000000ff03")
        + bytes.fromhex("feffff87feffff07")
        + bytes(139248)
        + bytes.fromhex("0100000000000000 61 0100000000000000 62 0000000000000000")
        + bytes.fromhex("01 0100000000000000 78")
        + bytes.fromhex("00 00 00 00")
    )
    assert len(expected) == 139312
    assert p.__getstate__() == expected


def test_keys_above_0x7f_are_written_as_two_byte_code_points():
    p = KeywordProcessor()
    p.add_keyword("é", "e")  # UTF-8 C3 A9: the path U+00C3, U+00A9
    assert p.__getstate__() == state(node([(b"\xc3\x83", node([(b"\xc2\xa9", node(clean_name=b"e"))]))]))
    again = KeywordProcessor()
    again.__setstate__(p.__getstate__())
    assert again.get_all_keywords() == {"é": "e"}
    assert [m.keyword for m in again.extract_keywords("café é")] == ["e"]


# --- Round trips -----------------------------------------------------------------------------


def filled(case_sensitive, allow_overlaps, boundaries):
    p = KeywordProcessor(case_sensitive=case_sensitive, allow_overlaps=allow_overlaps)
    for keyword, clean_name in [("New York", "NY"), ("new", None), ("Café", "coffee"), ("", "empty"),
                                ("\U0001F600 smile", "emoji"), ("x", ""), ("ÉCOLE", None)]:
        p.add_keyword(keyword, clean_name)
    if boundaries is not None:
        p.set_non_word_boundaries(boundaries)
    return p


PROCESSORS = [
    pytest.param(False, False, None, id="defaults"),
    pytest.param(True, False, None, id="case-sensitive"),
    pytest.param(False, True, ["-", "é", "\U0001F600"], id="overlaps-custom-words"),
    pytest.param(True, True, [], id="both-flags-no-words"),
]
TEXT = "I love New York, café ÉCOLE new-york x \U0001F600 smile"


def duplicators():
    for protocol in PICKLE_PROTOCOLS:
        yield pytest.param(lambda p, protocol=protocol: pickle.loads(pickle.dumps(p, protocol)),
                           id=f"pickle-{protocol}")
    yield pytest.param(copy.copy, id="copy")
    yield pytest.param(copy.deepcopy, id="deepcopy")


@pytest.mark.parametrize("duplicate", list(duplicators()))
@pytest.mark.parametrize("case_sensitive, allow_overlaps, boundaries", PROCESSORS)
def test_round_trip(duplicate, case_sensitive, allow_overlaps, boundaries):
    p = filled(case_sensitive, allow_overlaps, boundaries)
    twin = duplicate(p)
    assert type(twin) is KeywordProcessor and twin is not p
    assert snapshot(twin) == snapshot(p)
    assert len(twin) == len(p)
    for threshold in (None, 0.7):
        assert list(map(repr, twin.extract_keywords(TEXT, threshold))) == list(
            map(repr, p.extract_keywords(TEXT, threshold)))
    # The copy is a processor of its own.
    twin.add_keyword("only in the copy")
    twin.add_non_word_boundary("!")
    assert "only in the copy" not in p.get_all_keywords()
    assert snapshot(p) == snapshot(filled(case_sensitive, allow_overlaps, boundaries))


def test_reduction_is_the_default_one():
    for name in ("__reduce__", "__reduce_ex__", "__getnewargs__", "__getnewargs_ex__"):
        assert name not in KeywordProcessor.__dict__
    assert KeywordProcessor().__reduce_ex__(2)[1][0] is KeywordProcessor


def test_setstate_replaces_everything():
    p = filled(True, True, ["-"])
    source = KeywordProcessor()
    source.add_keyword("Paris")
    p.__setstate__(source.__getstate__())
    assert snapshot(p) == snapshot(source)
    assert [m.keyword for m in p.extract_keywords("PARIS")] == ["paris"]  # case-insensitive again


def test_setstate_ignores_trailing_bytes_and_accepts_a_bytes_subclass():
    class Raw(bytes):
        pass

    source = filled(False, True, None)
    p = KeywordProcessor()
    p.__setstate__(state=Raw(source.__getstate__() + b"trailing"))
    assert snapshot(p) == snapshot(source)


def test_deep_tries_survive_a_round_trip():
    keyword = "k" * 200_000
    p = KeywordProcessor()
    p.add_keyword(keyword, "deep")
    twin = pickle.loads(pickle.dumps(p))
    assert twin.get_all_keywords() == {keyword: "deep"}
    assert [m.end for m in twin.extract_keywords(keyword)] == [200_000]


# --- Malformed states ------------------------------------------------------------------------

PREFIX = "called `Result::unwrap()` on an `Err` value: "
EOF = PREFIX + "Io(Kind(UnexpectedEof))"
a_child = node([(b"a", node(clean_name=b"A"))])


@pytest.mark.parametrize("raw, message", [
    pytest.param(b"", EOF, id="empty"),
    pytest.param(state()[:-1], EOF, id="cut-before-last-flag"),
    pytest.param(WORD_SET[:5000], EOF, id="cut-inside-the-words"),
    pytest.param(struct.pack("<Q", 2**63) + bytes(64), EOF, id="huge-word-count"),
    pytest.param(struct.pack("<Q", 17409) + bytes(17409 * 8) + node() + b"\x00\x00",
                 PREFIX + 'Custom("Expected 17408 elements, got 17409")', id="word-count-17409"),
    pytest.param(struct.pack("<Q", 1) + bytes(8) + node() + b"\x00\x00",
                 PREFIX + 'Custom("Expected 17408 elements, got 1")', id="word-count-1"),
    pytest.param(state(flags=b"\x00\x02"), PREFIX + "InvalidBoolEncoding(2)", id="flag-2"),
    pytest.param(state(root=struct.pack("<Q", 0) + b"\x02"), PREFIX + "InvalidTagEncoding(2)", id="tag-2"),
    pytest.param(state(root=node([(b"\x80", node())])), PREFIX + "InvalidCharEncoding", id="key-0x80"),
    pytest.param(WORD_SET + struct.pack("<Q", 1) + b"\xc3", PREFIX + "InvalidCharEncoding",
                 id="key-cut-off"),
    pytest.param(WORD_SET + struct.pack("<Q", 0) + b"\x01" + struct.pack("<Q", 50) + b"abc",
                 PREFIX + 'Io(Custom { kind: UnexpectedEof, error: "" })', id="clean-name-too-long"),
    pytest.param(state(root=node([(b"a", node(clean_name=b"ok\xe2\x82"))])),
                 PREFIX + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: None })",
                 id="clean-name-not-utf8"),
])
def test_malformed_states_change_nothing(raw, message, failure_reports):
    p = filled(True, False, ["-"])
    before = snapshot(p)
    failure_reports()
    error = error_of(lambda: p.__setstate__(raw))
    assert type(error).__name__ == "PanicException" and not isinstance(error, Exception)
    assert error.args == (message,)
    assert failure_reports() == [message]
    assert snapshot(p) == before
    # The exclusive access was given back.
    p.add_keyword("still usable")
    assert "still usable" in p.get_all_keywords()


@pytest.mark.parametrize("raw, type_name", [
    (bytearray(state()), "bytearray"),
    (memoryview(state()), "memoryview"),
    (None, "NoneType"),
])
def test_setstate_wants_bytes(raw, type_name):
    p = filled(False, False, None)
    before = snapshot(p)
    error = error_of(lambda: p.__setstate__(raw))
    assert type(error) is TypeError
    assert str(error) == f"argument 'state': '{type_name}' object cannot be converted to 'PyBytes'"
    assert snapshot(p) == before


def test_setstate_during_a_read_is_refused():
    p = KeywordProcessor()
    p.add_keyword("kept")
    outcomes = []

    class Reentrant:
        def __float__(self):
            try:
                p.__setstate__(state())
            except RuntimeError as error:
                outcomes.append(str(error))
            outcomes.append(len(p.__getstate__()))  # reading alongside a read is fine
            return 1.0

    p.extract_keywords("kept", Reentrant())
    # Four keys, four more nodes of count and tag, and the clean name with its length.
    assert outcomes == ["Already borrowed", 139283 + 4 + 4 * 9 + 8 + 4]
    assert p.get_all_keywords() == {"kept": "kept"}
