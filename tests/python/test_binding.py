"""The shared conventions of every entry point: binding, conversion, receivers, access and panics."""

import ctypes
import sys

import pytest

import wordsieve
from wordsieve import KeywordProcessor

from odd_sequences import HugeLen, LenFails, LenLies, Sequenceish

RESUME_LINES = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# --- Binding -----------------------------------------------------------------------------------

P = KeywordProcessor()

BINDING_ERRORS = [
    (lambda: KeywordProcessor(True, False, 1),
     "KeywordProcessor.__new__() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: P.remove_keyword("a", "b"),
     "KeywordProcessor.remove_keyword() takes 1 positional arguments but 2 were given"),
    (lambda: P.add_keyword("a", "b", "c", "d"),
     "KeywordProcessor.add_keyword() takes from 1 to 2 positional arguments but 4 were given"),
    (lambda: P.add_keyword("a", keyword="b"),
     "KeywordProcessor.add_keyword() got multiple values for argument 'keyword'"),
    (lambda: P.add_keyword("a", cleanname="b"),
     "KeywordProcessor.add_keyword() got an unexpected keyword argument 'cleanname'"),
    (lambda: P.add_keyword(),
     "KeywordProcessor.add_keyword() missing 1 required positional argument: 'keyword'"),
    (lambda: P.add_keyword(clean_name="x"),
     "KeywordProcessor.add_keyword() missing 1 required positional argument: 'keyword'"),
    (lambda: KeywordProcessor(case_sensitive=True, allow=True),
     "KeywordProcessor.__new__() got an unexpected keyword argument 'allow'"),
    # Keywords are visited in the order given: the first bad one decides.
    (lambda: P.add_keyword("x", zz=1, keyword="y"),
     "KeywordProcessor.add_keyword() got an unexpected keyword argument 'zz'"),
    (lambda: P.add_keyword("x", keyword="y", zz=1),
     "KeywordProcessor.add_keyword() got multiple values for argument 'keyword'"),
    # A name that is not valid UTF-8 matches nothing and is shown as given.
    (lambda: P.add_keyword("x", **{"\ud800": 1}),
     "KeywordProcessor.add_keyword() got an unexpected keyword argument '\ud800'"),
    # Too many positional arguments is reported before anything about keywords.
    (lambda: P.remove_keyword("a", "b", bogus=1),
     "KeywordProcessor.remove_keyword() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    error = error_of(call)
    assert type(error) is TypeError
    assert str(error) == message


@pytest.mark.parametrize("args, message", [
    (("a", 1.0, 0), "missing 1 required positional argument: 'end'"),
    (("a", 1.0), "missing 2 required positional arguments: 'start' and 'end'"),
    (("a",), "missing 3 required positional arguments: 'similarity', 'start', and 'end'"),
    ((), "missing 4 required positional arguments: 'keyword', 'similarity', 'start', and 'end'"),
    (("a", 1.0, 0, 1, 2), "takes 4 positional arguments but 5 were given"),
])
def test_missing_argument_lists(args, message):
    error = error_of(lambda: wordsieve.PyKeywordMatch(*args))
    assert str(error) == "PyKeywordMatch.__new__() " + message


class ShownAs(str):
    def __str__(self):
        return "shown"


def test_keyword_names_compare_by_text_and_print_through_str():
    p = KeywordProcessor()
    # A str subclass key still names its parameter by its text ...
    p.add_keyword(**{ShownAs("keyword"): "k"})
    assert p.get_all_keywords() == {"k": "k"}
    # ... and an unknown one is reported through str().
    error = error_of(lambda: p.add_keyword("a", **{ShownAs("other"): 1}))
    assert str(error) == "KeywordProcessor.add_keyword() got an unexpected keyword argument 'shown'"


def call_with_raw_kwargs(function, args, kwargs):
    """Calls with a keyword dict exactly as given (non-string keys included), as C callers can."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, args, kwargs)


def test_non_string_keyword_is_unknown():
    p = KeywordProcessor()
    error = error_of(lambda: call_with_raw_kwargs(p.add_keyword, ("a",), {1: "x"}))
    assert str(error) == "KeywordProcessor.add_keyword() got an unexpected keyword argument '1'"
    assert len(p) == 0


def test_bound_values_survive_a_caller_emptying_the_keyword_dict():
    p = KeywordProcessor()
    kwargs = {}

    class Clearing(list):
        def __iter__(self):
            kwargs.clear()
            return iter(["-"])

    kwargs["boundaries"] = Clearing()
    assert call_with_raw_kwargs(p.set_non_word_boundaries, (), kwargs) is None


# --- Conversion kinds ------------------------------------------------------------------------


class NoQualname:
    pass


NoQualname.__qualname__ = "\ud800"


CONVERSION_ERRORS = [
    # text
    (lambda: P.add_keyword(5), TypeError,
     "argument 'keyword': 'int' object cannot be converted to 'PyString'"),
    (lambda: P.add_keyword(b"a"), TypeError,
     "argument 'keyword': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: P.add_keyword(NoQualname()), TypeError,
     "argument 'keyword': '<failed to extract type name>' object cannot be converted to 'PyString'"),
    (lambda: P.add_keyword("\ud800"), UnicodeEncodeError, None),
    # optional text
    (lambda: P.add_keyword("a", 1.5), TypeError,
     "argument 'clean_name': 'float' object cannot be converted to 'PyString'"),
    (lambda: P.add_keyword("a", "\udfff"), UnicodeEncodeError, None),
    # flag
    (lambda: KeywordProcessor(case_sensitive=1), TypeError,
     "argument 'case_sensitive': 'int' object cannot be converted to 'PyBool'"),
    (lambda: KeywordProcessor(False, "yes"), TypeError,
     "argument 'allow_overlaps': 'str' object cannot be converted to 'PyBool'"),
    # character
    (lambda: P.add_non_word_boundary(""), ValueError, "expected a string of length 1"),
    (lambda: P.add_non_word_boundary("ab"), ValueError, "expected a string of length 1"),
    (lambda: P.add_non_word_boundary("e\u0301"), ValueError, "expected a string of length 1"),
    (lambda: P.add_non_word_boundary(45), TypeError,
     "argument 'boundary': 'int' object cannot be converted to 'PyString'"),
    (lambda: P.add_non_word_boundary("\ud800"), UnicodeEncodeError, None),
    # character list
    (lambda: P.set_non_word_boundaries("ab"), TypeError,
     "argument 'boundaries': Can't extract `str` to `Vec`"),
    (lambda: P.set_non_word_boundaries({"a"}), TypeError,
     "argument 'boundaries': 'set' object cannot be converted to 'Sequence'"),
    (lambda: P.set_non_word_boundaries({"a": 1}), TypeError,
     "argument 'boundaries': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: P.set_non_word_boundaries(x for x in "ab"), TypeError,
     "argument 'boundaries': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: P.set_non_word_boundaries(None), TypeError,
     "argument 'boundaries': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda: P.set_non_word_boundaries(b"ab"), TypeError,
     "argument 'boundaries': 'int' object cannot be converted to 'PyString'"),
    (lambda: P.set_non_word_boundaries(["a", "bc"]), ValueError, "expected a string of length 1"),
    (lambda: P.set_non_word_boundaries(["a", "\ud800"]), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, kind, message", CONVERSION_ERRORS)
def test_conversion_errors(call, kind, message):
    error = error_of(call)
    assert type(error) is kind
    if message is not None:
        assert str(error) == message


@pytest.mark.parametrize("boundaries", [
    [], ["-"], ("-", "_"), [ShownAs("-")], ["é", "\U0001F600"], Sequenceish(["-", "+"]),
    # The reported length is only a hint: failing, absurd or wrong lengths change nothing.
    LenFails(["-"]), HugeLen(["-"]), LenLies(["-", "+"]),
])
def test_character_lists_accepted(boundaries):
    assert KeywordProcessor().set_non_word_boundaries(boundaries) is None


class Root(KeyError):
    pass


class TypeErrorSubclass(TypeError):
    pass


def failing_iteration(exception):
    class Failing(list):
        def __iter__(self):
            yield "-"
            raise exception

    return Failing()


def test_prefix_keeps_the_cause_of_the_original_type_error():
    root = Root("root")
    original = TypeError("boom")
    original.__cause__ = root
    error = error_of(lambda: P.set_non_word_boundaries(failing_iteration(original)))
    assert type(error) is TypeError and error is not original
    assert str(error) == "argument 'boundaries': boom"
    assert error.__cause__ is root


def test_prefix_without_cause():
    error = error_of(lambda: P.set_non_word_boundaries(failing_iteration(TypeError("plain"))))
    assert str(error) == "argument 'boundaries': plain"
    assert error.__cause__ is None


@pytest.mark.parametrize("exception", [TypeErrorSubclass("sub"), ValueError("value"), KeyError("k")])
def test_errors_other_than_exactly_type_error_pass_unchanged(exception):
    error = error_of(lambda: P.set_non_word_boundaries(failing_iteration(exception)))
    assert error is exception


# A stand-in for numpy's boolean scalars: the flag rule goes by the type's module and name.
def numpy_like(name="bool_", module="numpy", **members):
    return type(name, (), {"__module__": module, **members})


class CallableBool:
    """A __bool__ that is not a descriptor, so it is called without being bound."""

    def __call__(self):
        return True


NumpyTrue = numpy_like(__bool__=lambda self: True)
NumpyFalse = numpy_like("bool", __bool__=lambda self: False)


@pytest.mark.parametrize("value, expected", [
    (None, False), (True, True), (False, False),
    (NumpyTrue(), True), (NumpyFalse(), False),
    (numpy_like(__bool__=CallableBool())(), True),
])
def test_flags_accepted(value, expected):
    # case_sensitive is observable through the keyword count.
    p = KeywordProcessor(case_sensitive=value)
    p.add_keyword("A")
    p.add_keyword("a")
    assert len(p) == (2 if expected else 1)


def raising_bool(exception):
    def __bool__(self):
        raise exception
    return __bool__


BOOL_ROOT = Root("root")


def type_error_with_cause():
    error = TypeError("from bool")
    error.__cause__ = BOOL_ROOT
    return error


@pytest.mark.parametrize("value, kind, message", [
    (numpy_like()(), TypeError,
     "argument 'case_sensitive': object of type '<class 'numpy.bool_'>' "
     "does not define a '__bool__' conversion"),
    (numpy_like(__bool__=lambda self: 1)(), TypeError,
     "argument 'case_sensitive': 'int' object cannot be converted to 'PyBool'"),
    (numpy_like(__bool__=raising_bool(ValueError("bad")))(), ValueError, "bad"),
    (numpy_like(__bool__=raising_bool(type_error_with_cause()))(), TypeError,
     "argument 'case_sensitive': from bool"),
    (numpy_like("bool_", "numpyx", __bool__=lambda self: True)(), TypeError,
     "argument 'case_sensitive': 'bool_' object cannot be converted to 'PyBool'"),
    (numpy_like("boolean", __bool__=lambda self: True)(), TypeError,
     "argument 'case_sensitive': 'boolean' object cannot be converted to 'PyBool'"),
    (numpy_like("bool_", 5, __bool__=lambda self: True)(), TypeError,
     "argument 'case_sensitive': 'bool_' object cannot be converted to 'PyBool'"),
])
def test_flag_errors(value, kind, message):
    error = error_of(lambda: KeywordProcessor(case_sensitive=value))
    assert type(error) is kind
    assert str(error) == message
    if "from bool" in message:
        assert error.__cause__ is BOOL_ROOT


# --- Receivers and access --------------------------------------------------------------------


def method_with_receiver(name, receiver):
    """The method's native function bound to an arbitrary receiver, which the interpreter's own
    descriptor check would refuse: this reaches the module's receiver check."""
    descriptor = KeywordProcessor.__dict__[name]
    # PyMethodDescrObject: object header (16), d_type, d_name, d_qualname, then d_method.
    method_def = ctypes.c_void_p.from_address(id(descriptor) + 40).value
    if ctypes.c_char_p.from_address(method_def).value != name.encode():
        pytest.skip("unexpected method descriptor layout")
    new = ctypes.pythonapi.PyCMethod_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    return new(method_def, receiver, None, None)


def slot_with_receiver(slot_id, restype, receiver):
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    function = ctypes.PYFUNCTYPE(restype, ctypes.py_object)(get_slot(KeywordProcessor, slot_id))
    return lambda: function(receiver)


PY_MP_LENGTH, PY_TP_REPR = 4, 66


@pytest.mark.parametrize("call, type_name", [
    (lambda: method_with_receiver("add_keyword", 5)("x"), "int"),
    (lambda: method_with_receiver("remove_keyword", "p")("x"), "str"),
    (lambda: method_with_receiver("get_all_keywords", None)(), "NoneType"),
    (lambda: method_with_receiver("set_non_word_boundaries", [])(["-"]), "list"),
    (lambda: method_with_receiver("add_non_word_boundary", 1.5)("-"), "float"),
    (lambda: slot_with_receiver(PY_MP_LENGTH, ctypes.c_ssize_t, 5)(), "int"),
    (lambda: slot_with_receiver(PY_TP_REPR, ctypes.py_object, object())(), "object"),
])
def test_receiver_of_the_wrong_type(call, type_name):
    error = error_of(call)
    assert type(error) is TypeError
    assert str(error) == f"'{type_name}' object cannot be converted to 'KeywordProcessor'"


def test_binding_errors_come_before_the_receiver_check():
    error = error_of(lambda: method_with_receiver("add_keyword", 5)())
    assert "missing 1 required positional argument" in str(error)


def reentrant_boundaries(callbacks):
    """A boundary list that runs `callbacks` while it is being converted and records the outcomes."""
    outcomes = []

    class Reentrant(list):
        def __iter__(self):
            for callback in callbacks:
                try:
                    outcomes.append(("ok", callback()))
                except RuntimeError as error:
                    outcomes.append(("error", str(error)))
            return super().__iter__()

    return Reentrant(["-"]), outcomes


def test_reentry_during_a_change_is_refused_and_access_is_given_back():
    p = KeywordProcessor()
    p.add_keyword("kept")
    other = KeywordProcessor()
    boundaries, outcomes = reentrant_boundaries([
        lambda: p.add_keyword("x"),
        lambda: p.remove_keyword("kept"),
        lambda: p.set_non_word_boundaries([]),
        lambda: p.add_non_word_boundary("-"),
        lambda: len(p),
        lambda: repr(p),
        lambda: p.get_all_keywords(),
        lambda: other.add_keyword("fine"),
    ])
    assert p.set_non_word_boundaries(boundaries) is None
    assert outcomes == [("error", "Already borrowed")] * 4 + [
        ("error", "Already mutably borrowed")] * 3 + [("ok", None)]
    # Every access was given back: the processor is fully usable again and unchanged.
    assert p.get_all_keywords() == {"kept": "kept"}
    p.add_keyword("after")
    assert len(p) == 2 and len(other) == 1


def test_reentry_error_propagates_and_access_is_given_back():
    p = KeywordProcessor()

    class Reentrant(list):
        def __iter__(self):
            p.add_keyword("x")
            return super().__iter__()

    error = error_of(lambda: p.set_non_word_boundaries(Reentrant(["-"])))
    assert type(error) is RuntimeError and str(error) == "Already borrowed"
    p.add_keyword("y")
    assert p.get_all_keywords() == {"y": "y"}


def test_failed_calls_keep_argument_references_balanced():
    keyword = "a unique keyword text"
    bad = object()
    before = (sys.getrefcount(keyword), sys.getrefcount(bad))
    p = KeywordProcessor()
    for _ in range(100):
        p.add_keyword(keyword)
        p.remove_keyword(keyword=keyword)
        with pytest.raises(TypeError):
            p.add_keyword(keyword, bad)
        with pytest.raises(TypeError):
            p.set_non_word_boundaries([bad])
        with pytest.raises(TypeError):
            p.add_keyword(keyword, zz=bad)
    assert (sys.getrefcount(keyword), sys.getrefcount(bad)) == before


# --- PanicException --------------------------------------------------------------------------


def threshold_panic():
    """A genuine internal failure, caught as an instance of the module's PanicException."""
    return error_of(lambda: KeywordProcessor().extract_keywords("x", 2.0))


def test_panic_exception_type():
    panic = threshold_panic()
    kind = type(panic)
    assert kind.__module__ == "pyo3_runtime" and kind.__name__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert panic.args == ("Threshold must be between 0 and 1",)
    assert kind.__doc__
    assert not hasattr(wordsieve, "PanicException")
    assert type(threshold_panic()) is kind  # created once


def raising_boundaries(action):
    class Raising(list):
        def __iter__(self):
            action()
            return super().__iter__()

    return Raising(["-"])


def test_nested_panic_is_resumed(capfd):
    p, other = KeywordProcessor(), KeywordProcessor()
    p.add_keyword("york")
    before = p.extract_keywords("new-york")
    assert before
    error = error_of(lambda: p.set_non_word_boundaries(
        raising_boundaries(lambda: other.extract_keywords("x", 2.0))))
    assert type(error) is type(threshold_panic())
    assert str(error) == "Threshold must be between 0 and 1"
    err = capfd.readouterr().err
    assert RESUME_LINES in err
    assert "Traceback" in err[err.index(RESUME_LINES):]
    # The set was not replaced and the processor is usable.
    assert list(map(repr, p.extract_keywords("new-york"))) == list(map(repr, before))


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("argument, message", [
    ("raised from Python", "raised from Python"),
    (Unprintable(), "Unwrapped panic from Python code"),
])
def test_panic_raised_by_python_code_is_resumed(capfd, argument, message):
    panic_type = type(threshold_panic())
    capfd.readouterr()

    def raise_panic():
        raise panic_type(argument)

    error = error_of(lambda: KeywordProcessor().set_non_word_boundaries(raising_boundaries(raise_panic)))
    assert type(error) is panic_type and str(error) == message
    assert RESUME_LINES in capfd.readouterr().err


def test_panic_subclass_is_an_ordinary_error(capfd):
    class Sub(type(threshold_panic())):
        pass

    capfd.readouterr()
    raised = Sub("sub")

    def raise_sub():
        raise raised

    error = error_of(lambda: KeywordProcessor().set_non_word_boundaries(raising_boundaries(raise_sub)))
    assert error is raised
    assert RESUME_LINES not in capfd.readouterr().err
