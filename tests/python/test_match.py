"""PyKeywordMatch: construction, attributes, repr, its 28 + L byte state, pickling and copying."""

import copy
import ctypes
import inspect
import pickle
import struct
import sys

import pytest

from wordsieve import KeywordProcessor, PyKeywordMatch

from stand_ins import Floaty, Index, error_of

PICKLE_PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def fields(m):
    return (m.keyword, m.similarity, m.start, m.end)


def same_fields(a, b):
    """Field equality that also holds for NaN similarities (compared by their bits)."""
    pack = lambda m: (m.keyword, struct.pack("<d", m.similarity), m.start, m.end)
    return pack(a) == pack(b)


# --- Class shape -----------------------------------------------------------------------------


def test_class_shape():
    assert PyKeywordMatch.__module__ == "wordsieve"
    assert PyKeywordMatch.__doc__ == ""
    assert str(inspect.signature(PyKeywordMatch)) == "(keyword, similarity, start, end)"
    for name in ("keyword", "similarity", "start", "end"):
        assert PyKeywordMatch.__dict__[name].__doc__ == ""
    assert PyKeywordMatch.__setstate__.__text_signature__ == "($self, state)"
    assert PyKeywordMatch.__getstate__.__text_signature__ == "($self)"
    assert PyKeywordMatch.__getnewargs__.__text_signature__ == "($self)"
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (PyKeywordMatch,), {})


def test_identity_semantics():
    m = PyKeywordMatch("a", 1.0, 0, 1)
    twin = PyKeywordMatch("a", 1.0, 0, 1)
    assert m == m and m != twin
    assert hash(m) == object.__hash__(m)
    assert str(m) == repr(m)
    with pytest.raises(AttributeError):
        m.other = 1


# --- Constructor -----------------------------------------------------------------------------


@pytest.mark.parametrize("args, expected", [
    (("Python", 1.0, 0, 6), ("Python", 1.0, 0, 6)),
    (("a", 2, 5, 1), ("a", 2.0, 5, 1)),  # no invariant ties the fields together
    (("a", 0.85, 0, 1), ("a", 0.8500000238418579, 0, 1)),  # the single-precision value
    (("a", 1e40, 0, 1), ("a", float("inf"), 0, 1)),  # narrowing overflows to infinity
    (("a", Floaty(0.25), Index(3), Index(4)), ("a", 0.25, 3, 4)),
    (("a", True, True, False), ("a", 1.0, 1, 0)),
    (("", -1, 0, 2**64 - 1), ("", -1.0, 0, 2**64 - 1)),
    (("é\U0001F600", 0.5, 0, 6), ("é\U0001F600", 0.5, 0, 6)),
])
def test_constructor_accepts(args, expected):
    assert fields(PyKeywordMatch(*args)) == expected


def test_constructor_by_keyword():
    m = PyKeywordMatch(end=3, start=1, similarity=0.5, keyword="k")
    assert fields(m) == ("k", 0.5, 1, 3)


@pytest.mark.parametrize("args, kind, message", [
    ((5, 1.0, 0, 1), TypeError, "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
    (("a", "1", 0, 1), TypeError, "argument 'similarity': must be real number, not str"),
    (("a", None, 0, 1), TypeError, "argument 'similarity': must be real number, not NoneType"),
    (("a", 1.0, 0.0, 1), TypeError,
     "argument 'start': 'float' object cannot be interpreted as an integer"),
    (("a", 1.0, 0, "1"), TypeError, "argument 'end': 'str' object cannot be interpreted as an integer"),
    (("a", 1.0, -1, 0), OverflowError, None),
    (("a", 1.0, 0, 2**64), OverflowError, None),
    (("a", 1.0, Index(-5), 0), OverflowError, None),
    (("\ud800", 1.0, 0, 1), UnicodeEncodeError, None),
])
def test_constructor_rejects(args, kind, message):
    error = error_of(lambda: PyKeywordMatch(*args))
    assert type(error) is kind
    if message is not None:
        assert str(error) == message


def test_constructor_converts_in_parameter_order():
    # The first bad argument decides, even when a later one is bad too.
    error = error_of(lambda: PyKeywordMatch("a", "x", -1, None))
    assert str(error).startswith("argument 'similarity': ")


# --- repr ------------------------------------------------------------------------------------


@pytest.mark.parametrize("args, text", [
    (("Python", 1.0, 0, 6), "KeywordMatch(keyword='Python', similarity=1.00, start=0, end=6)"),
    (("it's", 0.5, 0, 4), "KeywordMatch(keyword='it's', similarity=0.50, start=0, end=4)"),
    (("a\\b\n\t\"", 0.5, 0, 1), "KeywordMatch(keyword='a\\b\n\t\"', similarity=0.50, start=0, end=1)"),
    (("a", 2, 5, 1), "KeywordMatch(keyword='a', similarity=2.00, start=5, end=1)"),
    (("", 0.0, 2**64 - 1, 2**64 - 1),
     "KeywordMatch(keyword='', similarity=0.00, start=18446744073709551615, end=18446744073709551615)"),
])
def test_repr(args, text):
    assert repr(PyKeywordMatch(*args)) == text


@pytest.mark.parametrize("similarity, shown", [
    (0.85, "0.85"),
    (0.125, "0.12"),  # exact binary halves go to the even digit
    (0.375, "0.38"),
    (0.025, "0.03"),  # the float nearest 0.025 lies above it
    (0.015, "0.01"),  # ... and the one nearest 0.015 below it
    (0.995, "1.00"),
    (-0.0, "-0.00"),
    (-0.001, "-0.00"),
    (3.4028234663852886e38, "340282346638528859811704183484516925440.00"),
    (float("nan"), "NaN"),
    (-float("nan"), "NaN"),
    (float("inf"), "inf"),
    (float("-inf"), "-inf"),
])
def test_repr_similarity(similarity, shown):
    assert repr(PyKeywordMatch("k", similarity, 0, 1)) == (
        f"KeywordMatch(keyword='k', similarity={shown}, start=0, end=1)")


# --- Attributes ------------------------------------------------------------------------------


@pytest.mark.parametrize("name, value, stored", [
    ("keyword", "new", "new"),
    ("keyword", "", ""),
    ("similarity", 0.1, 0.10000000149011612),
    ("similarity", 3, 3.0),
    ("similarity", Floaty(0.25), 0.25),
    ("start", True, 1),
    ("start", Index(9), 9),
    ("end", 2**64 - 1, 2**64 - 1),
])
def test_setters(name, value, stored):
    m = PyKeywordMatch("old", 0.5, 4, 5)
    setattr(m, name, value)
    assert getattr(m, name) == stored


@pytest.mark.parametrize("name, value, kind, message", [
    ("keyword", 5, TypeError, "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
    ("keyword", b"x", TypeError, "argument 'keyword': 'bytes' object cannot be converted to 'PyString'"),
    ("keyword", "\udc80", UnicodeEncodeError, None),
    ("similarity", "0.5", TypeError, "argument 'similarity': must be real number, not str"),
    ("start", -1, OverflowError, None),
    ("start", 1.5, TypeError, "argument 'start': 'float' object cannot be interpreted as an integer"),
    ("end", 2**64, OverflowError, None),
    ("end", None, TypeError, "argument 'end': 'NoneType' object cannot be interpreted as an integer"),
])
def test_setter_errors_keep_the_value(name, value, kind, message):
    m = PyKeywordMatch("old", 0.5, 4, 5)
    error = error_of(lambda: setattr(m, name, value))
    assert type(error) is kind
    if message is not None:
        assert str(error) == message
    assert fields(m) == ("old", 0.5, 4, 5)


@pytest.mark.parametrize("name", ["keyword", "similarity", "start", "end"])
def test_attributes_cannot_be_deleted(name):
    m = PyKeywordMatch("old", 0.5, 4, 5)
    error = error_of(lambda: delattr(m, name))
    assert type(error) is AttributeError and str(error) == "can't delete attribute"
    assert fields(m) == ("old", 0.5, 4, 5)


def test_setter_converts_before_taking_access():
    m = PyKeywordMatch("k", 0.5, 4, 5)

    class ReadsTheMatch:
        def __index__(self):
            return m.end + len(repr(m))  # reading the very same match is allowed here

    m.start = ReadsTheMatch()
    assert m.start == 5 + len("KeywordMatch(keyword='k', similarity=0.50, start=4, end=5)")


# --- State -----------------------------------------------------------------------------------


def state_of(keyword, similarity_bits, start, end):
    raw = keyword.encode()
    return struct.pack("<Q", len(raw)) + raw + struct.pack("<IQQ", similarity_bits, start, end)


@pytest.mark.parametrize("args, state", [
    (("abc", 1.0, 0, 3), bytes.fromhex("0300000000000000 616263 0000803f 0000000000000000 0300000000000000")),
    (("", 0.5, 7, 7), bytes.fromhex("0000000000000000 0000003f 0700000000000000 0700000000000000")),
    (("é", 0.85, 1, 2**64 - 1), state_of("é", 0x3F59999A, 1, 2**64 - 1)),
    (("x", -0.0, 0, 0), state_of("x", 0x80000000, 0, 0)),
])
def test_state_layout(args, state):
    m = PyKeywordMatch(*args)
    assert m.__getstate__() == state
    assert len(state) == 28 + len(args[0].encode())
    args = m.__getnewargs__()
    assert args == fields(m) and [type(a) for a in args] == [str, float, int, int]


@pytest.mark.parametrize("state", [
    state_of("new", 0x3F000000, 1, 2),
    state_of("new", 0x3F000000, 1, 2) + b"xyz",  # trailing bytes are ignored
    state_of("", 0x7FC00001, 0, 0),  # a NaN with a payload
])
def test_setstate_accepts(state):
    m = PyKeywordMatch("old", 0.25, 4, 5)
    assert m.__setstate__(state) is None
    assert m.__getstate__() == state[: 28 + len(m.keyword.encode())]


def test_setstate_accepts_a_bytes_subclass_and_keywords():
    class Raw(bytes):
        pass

    m = PyKeywordMatch("old", 0.25, 4, 5)
    m.__setstate__(state=Raw(state_of("k", 0x3F800000, 0, 1)))
    assert fields(m) == ("k", 1.0, 0, 1)


EOF = "called `Result::unwrap()` on an `Err` value: Io(Kind(UnexpectedEof))"
TRUNCATED = 'called `Result::unwrap()` on an `Err` value: Io(Custom { kind: UnexpectedEof, error: "" })'


def utf8_error(valid_up_to, error_len):
    return ("called `Result::unwrap()` on an `Err` value: InvalidUtf8Encoding(Utf8Error { "
            f"valid_up_to: {valid_up_to}, error_len: {error_len} }})")


@pytest.mark.parametrize("state, message", [
    (b"", EOF),
    (b"\x03\x00\x00", EOF),  # inside the length
    (struct.pack("<Q", 100) + b"0123456789", TRUNCATED),
    (struct.pack("<Q", 2**64 - 1) + b"x" * 40, TRUNCATED),  # no allocation for an absurd length
    (struct.pack("<Q", 3) + b"abc" + b"\x00" * 19, EOF),  # one byte short of the numbers
    (struct.pack("<Q", 3) + b"abc", EOF),
    (struct.pack("<Q", 3) + b"a\xffc" + b"\x00" * 20, utf8_error(1, "Some(1)")),
    (struct.pack("<Q", 3) + b"a\xe2\x82" + b"\x00" * 20, utf8_error(1, "None")),
])
def test_setstate_rejects_malformed_states(state, message):
    m = PyKeywordMatch("old", 0.25, 4, 5)
    error = error_of(lambda: m.__setstate__(state))
    assert type(error).__name__ == "PanicException" and not isinstance(error, Exception)
    assert error.args == (message,)
    assert fields(m) == ("old", 0.25, 4, 5)
    m.start = 6  # the exclusive access was given back
    assert m.start == 6


@pytest.mark.parametrize("state, type_name", [
    (bytearray(state_of("k", 0, 0, 0)), "bytearray"),
    (memoryview(state_of("k", 0, 0, 0)), "memoryview"),
    ("text", "str"),
])
def test_setstate_wants_bytes(state, type_name):
    m = PyKeywordMatch("old", 0.25, 4, 5)
    error = error_of(lambda: m.__setstate__(state))
    assert type(error) is TypeError
    assert str(error) == f"argument 'state': '{type_name}' object cannot be converted to 'PyBytes'"
    assert fields(m) == ("old", 0.25, 4, 5)


# --- Pickle and copy -------------------------------------------------------------------------

SAMPLES = [
    ("Python", 1.0, 0, 6),
    ("", 0.1, 2**64 - 1, 0),
    ("it's \U0001F600\n", float("nan"), 3, 1),
    ("x", float("-inf"), 0, 0),
    ("y", -0.0, 1, 1),
]


@pytest.mark.parametrize("protocol", PICKLE_PROTOCOLS)
@pytest.mark.parametrize("args", SAMPLES)
def test_pickle_round_trip(protocol, args):
    m = PyKeywordMatch(*args)
    again = pickle.loads(pickle.dumps(m, protocol))
    assert type(again) is PyKeywordMatch and again is not m
    assert same_fields(again, m)
    assert again.__getstate__() == m.__getstate__()  # bit for bit, NaN and -0.0 included


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("args", SAMPLES)
def test_copies_are_independent(duplicate, args):
    m = PyKeywordMatch(*args)
    twin = duplicate(m)
    assert twin is not m and twin != m and same_fields(twin, m)
    twin.keyword = "changed"
    twin.start = 99
    assert m.keyword == args[0] and m.start == args[2]


# --- Receivers and references ----------------------------------------------------------------


def test_repr_slot_checks_its_receiver():
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    py_tp_repr = 66
    repr_slot = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(get_slot(PyKeywordMatch, py_tp_repr))
    error = error_of(lambda: repr_slot(KeywordProcessor()))
    assert type(error) is TypeError
    assert str(error) == "'KeywordProcessor' object cannot be converted to 'PyKeywordMatch'"


def test_instances_give_their_type_reference_back():
    before = sys.getrefcount(PyKeywordMatch)
    made = [PyKeywordMatch("a", 1.0, 0, 1) for _ in range(20)]
    made += [pickle.loads(pickle.dumps(m)) for m in made[:5]]
    assert sys.getrefcount(PyKeywordMatch) == before + 25
    del made
    assert sys.getrefcount(PyKeywordMatch) == before
