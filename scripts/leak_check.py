#!/usr/bin/env python3
"""Repeats every public operation of the module, its error paths included, many thousands of times
and checks that the process's resident memory stops growing.

    python scripts/leak_check.py              # full run: 20000 calls of each operation
    python scripts/leak_check.py --quick      # a few seconds: 1000 calls, a looser bound
    python scripts/leak_check.py --self-test  # adds an operation that leaks on purpose: must fail

Every operation first runs a warm-up round (caches, free lists and allocator pools fill up), then
the resident set size is read from /proc/self/statm, then every operation runs its remaining
calls, and the size is read again. Each operation is also measured on its own, so a failure names
the operation that leaks. An operation that is expected to fail must fail with the expected
exception, so the error paths are really taken. Standard error is silenced while the operations
run: every internal failure writes a one-line report there by design.
"""

import argparse
import contextlib
import copy
import ctypes
import gc
import os
import pickle
import struct
import sys

from wordsieve import KeywordProcessor, PyKeywordMatch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "python"))
from odd_sequences import HugeLen, Sequenceish  # noqa: E402  (the tests' shared oddities)
from stand_ins import Floaty, Index  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


# --- Building blocks -------------------------------------------------------------------------


@contextlib.contextmanager
def stderr_silenced():
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


def panic_type():
    try:
        with stderr_silenced():
            KeywordProcessor().extract_keywords("x", 2.0)
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        return type(error)
    raise AssertionError("no PanicException")


PANIC = panic_type()


def expect(kind, call, *args, **kwargs):
    """Runs one call that must fail with `kind` (exactly that type)."""
    try:
        call(*args, **kwargs)
    except BaseException as error:  # noqa: B902
        if type(error) is not kind:
            raise AssertionError(f"expected {kind.__name__}, got {type(error).__name__}: {error}") from error
        return
    raise AssertionError(f"expected {kind.__name__}, nothing raised")


class FloatFails:
    def __float__(self):
        raise ValueError("no float")


class FailingIteration(list):
    """Yields its items, then raises what `exception_factory` makes."""

    def __init__(self, exception_factory, items=("-", "+")):
        super().__init__()
        self.exception_factory = exception_factory
        self.items = items

    def __iter__(self):
        yield from self.items
        raise self.exception_factory()


failing_iteration = FailingIteration


def type_error_with_cause():
    error = TypeError("plain")
    error.__cause__ = KeyError("root")
    return error


def numpy_like(name="bool_", **members):
    return type(name, (), {"__module__": "numpy", **members})


NumpyTrue = numpy_like(__bool__=lambda self: True)
NumpyNoBool = numpy_like()
NumpyNotBool = numpy_like(__bool__=lambda self: 1)


def method_with_receiver(name, receiver):
    """The method's native function bound to an arbitrary receiver (reaches the receiver check)."""
    descriptor = KeywordProcessor.__dict__[name]
    method_def = ctypes.c_void_p.from_address(id(descriptor) + 40).value
    if ctypes.c_char_p.from_address(method_def).value != name.encode():
        return None
    new = ctypes.pythonapi.PyCMethod_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.py_object, ctypes.c_void_p]
    return new(method_def, receiver, None, None)


WORDS = struct.pack("<Q", 17408) + KeywordProcessor().__getstate__()[8:8 + 17408 * 8]


def node(children=(), clean_name=None):
    record = struct.pack("<Q", len(children)) + b"".join(key + child for key, child in children)
    if clean_name is None:
        return record + b"\x00"
    return record + b"\x01" + struct.pack("<Q", len(clean_name)) + clean_name


def deep_chain(depth, tail):
    """A chain of `depth` nested one-child nodes whose innermost record is `tail`."""
    return struct.pack("<Q", 1) + b"a" + b"".join([struct.pack("<Q", 1) + b"a"] * (depth - 1)) + tail


MALFORMED_STATES = {
    "empty": b"",
    "cut in the count": b"\x00\x44",
    "wrong count": struct.pack("<Q", 1) + bytes(8),
    "huge count, few bytes": struct.pack("<Q", 2**63) + bytes(64),
    "invalid flag": WORDS + node() + b"\x00\x02",
    "invalid tag": WORDS + struct.pack("<Q", 0) + b"\x02",
    "invalid key": WORDS + struct.pack("<Q", 1) + b"\x80" + node() + node() + b"\x00\x00",
    "truncated clean name": WORDS + struct.pack("<Q", 0) + b"\x01" + struct.pack("<Q", 100) + b"abc",
    "clean name not UTF-8": WORDS + struct.pack("<Q", 0) + b"\x01" + struct.pack("<Q", 2) + b"\xc3(",
    # Thousands of nodes built before the input runs out: all of them must be released.
    "deep trie cut off": WORDS + deep_chain(5000, b""),
    "deep trie, bad tag at the bottom": WORDS + deep_chain(5000, struct.pack("<Q", 0) + b"\x07"),
}


def processor():
    p = KeywordProcessor()
    for keyword, clean in [("new york", "NY"), ("york", None), ("café", "Cafe"), ("ΟΔΟΣ", None),
                           ("apple", "fruit"), ("big apple", "")]:
        p.add_keyword(keyword, clean)
    return p


P = processor()
STATE = P.__getstate__()
TEXT = "I love New York and the BIG APPLE, a café on ΟΔΟΣ street; new yrok, aple. " * 4
TEXTS = [TEXT[i:] for i in range(0, 60, 3)]
MATCH = PyKeywordMatch("abc", 0.5, 1, 4)
MATCH_STATE = MATCH.__getstate__()


class ReentrantThreshold:
    """A threshold whose conversion tries to change the processor being read."""

    def __init__(self, p):
        self.p = p

    def __float__(self):
        expect(RuntimeError, self.p.add_keyword, "x")
        return 0.9


class ReentrantBoundaries(list):
    """A boundary list whose iteration reads the processor being changed."""

    def __init__(self, p):
        super().__init__(["-"])
        self.p = p

    def __iter__(self):
        expect(RuntimeError, len, self.p)
        expect(RuntimeError, self.p.extract_keywords, "york")
        return super().__iter__()


OTHER = KeywordProcessor()


class NestedPanicBoundaries(list):
    """A boundary list whose iteration raises PanicException from a nested call."""

    def __iter__(self):
        OTHER.extract_keywords("x", 2.0)
        return super().__iter__()


def fresh_match():
    return PyKeywordMatch("keyword", 0.75, 0, 7)


def setters(m):
    m.keyword = "other"
    m.similarity = Floaty(0.25)
    m.start = Index(3)
    m.end = 2**64 - 1


def delete_attribute(m):
    del m.start


def operations():
    p = processor()
    ops = {
        # Constructors.
        "KeywordProcessor()": lambda: KeywordProcessor(),
        "KeywordProcessor(flags)": lambda: KeywordProcessor(True, allow_overlaps=NumpyTrue()),
        "KeywordProcessor: too many arguments": lambda: expect(TypeError, KeywordProcessor, True, False, 1),
        "KeywordProcessor: unexpected keyword": lambda: expect(TypeError, KeywordProcessor, allow=True),
        "KeywordProcessor: flag of the wrong type": lambda: expect(TypeError, KeywordProcessor, 1),
        "KeywordProcessor: numpy flag without __bool__":
            lambda: expect(TypeError, KeywordProcessor, NumpyNoBool()),
        "KeywordProcessor: numpy flag __bool__ not bool":
            lambda: expect(TypeError, KeywordProcessor, NumpyNotBool()),
        # Keyword store.
        "add_keyword + remove_keyword": lambda: (p.add_keyword("Transient Keyword", "TK"),
                                                 p.remove_keyword("transient keyword")),
        "add_keyword replacing a clean name": lambda: p.add_keyword("york", "York" * 10),
        "remove_keyword of a missing keyword": lambda: p.remove_keyword("never added"),
        "add_keyword: keyword not str": lambda: expect(TypeError, p.add_keyword, 5),
        "add_keyword: keyword with a surrogate": lambda: expect(UnicodeEncodeError, p.add_keyword, "\ud800"),
        "add_keyword: clean name not str": lambda: expect(TypeError, p.add_keyword, "a", 1.5),
        "add_keyword: missing argument": lambda: expect(TypeError, p.add_keyword),
        "add_keyword: multiple values": lambda: expect(TypeError, p.add_keyword, "a", keyword="b"),
        "remove_keyword: surrogate": lambda: expect(UnicodeEncodeError, p.remove_keyword, "\udfff"),
        "len + repr": lambda: (len(p), repr(p)),
        "get_all_keywords": lambda: p.get_all_keywords(),
        # Word characters.
        "add_non_word_boundary": lambda: p.add_non_word_boundary("_"),
        "add_non_word_boundary: empty": lambda: expect(ValueError, p.add_non_word_boundary, ""),
        "add_non_word_boundary: two characters": lambda: expect(ValueError, p.add_non_word_boundary, "ab"),
        "add_non_word_boundary: not str": lambda: expect(TypeError, p.add_non_word_boundary, 45),
        "add_non_word_boundary: surrogate":
            lambda: expect(UnicodeEncodeError, p.add_non_word_boundary, "\ud800"),
        "set_non_word_boundaries": lambda: p.set_non_word_boundaries(
            [chr(c) for c in range(ord("0"), ord("9") + 1)] + list("ABCDEFGHIJKLMNOPQRSTUVWXYZ_")
            + list("abcdefghijklmnopqrstuvwxyz")),
        "set_non_word_boundaries: sequence protocol": lambda: KeywordProcessor().set_non_word_boundaries(
            Sequenceish(["-", "+", "é"])),
        "set_non_word_boundaries: absurd length": lambda: KeywordProcessor().set_non_word_boundaries(
            HugeLen(["-"])),
        "set_non_word_boundaries: str": lambda: expect(TypeError, p.set_non_word_boundaries, "ab"),
        "set_non_word_boundaries: set": lambda: expect(TypeError, p.set_non_word_boundaries, {"a"}),
        "set_non_word_boundaries: bad element after good ones":
            lambda: expect(ValueError, p.set_non_word_boundaries, ["-", "+", "bc"]),
        "set_non_word_boundaries: element not str":
            lambda: expect(TypeError, p.set_non_word_boundaries, ["-", 5]),
        "set_non_word_boundaries: iteration raises TypeError with a cause":
            lambda: expect(TypeError, p.set_non_word_boundaries, failing_iteration(type_error_with_cause)),
        "set_non_word_boundaries: iteration raises ValueError":
            lambda: expect(ValueError, p.set_non_word_boundaries, failing_iteration(lambda: ValueError("v"))),
        # Extraction and replacement.
        "extract_keywords": lambda: p.extract_keywords(TEXT),
        "extract_keywords fuzzy": lambda: p.extract_keywords(TEXT[:120], Floaty(0.8)),
        "replace_keywords": lambda: p.replace_keywords(TEXT),
        "replace_keywords fuzzy": lambda: p.replace_keywords(TEXT[:120], 0.75),
        "extract_keywords: threshold out of range": lambda: expect(PANIC, p.extract_keywords, TEXT, 1.5),
        "replace_keywords: threshold NaN": lambda: expect(PANIC, p.replace_keywords, TEXT, float("nan")),
        "extract_keywords: threshold str": lambda: expect(TypeError, p.extract_keywords, "x", "0.5"),
        "replace_keywords: __float__ raises": lambda: expect(ValueError, p.replace_keywords, "x", FloatFails()),
        "extract_keywords: text not str": lambda: expect(TypeError, p.extract_keywords, b"x"),
        "replace_keywords: text with a surrogate": lambda: expect(UnicodeEncodeError, p.replace_keywords, "\ud800"),
        # Batches.
        "parallel_extract_keywords_from_texts": lambda: p.parallel_extract_keywords_from_texts(TEXTS),
        "parallel_replace_keywords_from_texts": lambda: p.parallel_replace_keywords_from_texts(tuple(TEXTS), 1),
        "parallel_extract: one text": lambda: p.parallel_extract_keywords_from_texts(TEXTS[:1]),
        "parallel_replace: empty list, bad threshold": lambda: p.parallel_replace_keywords_from_texts([], 2.0),
        "parallel_extract: texts is a str":
            lambda: expect(TypeError, p.parallel_extract_keywords_from_texts, "abc"),
        "parallel_extract: texts is a set":
            lambda: expect(TypeError, p.parallel_extract_keywords_from_texts, {"a"}),
        "parallel_replace: item not str after good ones":
            lambda: expect(TypeError, p.parallel_replace_keywords_from_texts, TEXTS + [1]),
        "parallel_replace: item with a surrogate":
            lambda: expect(UnicodeEncodeError, p.parallel_replace_keywords_from_texts, TEXTS + ["\ud800"]),
        "parallel_extract: iteration raises":
            lambda: expect(ValueError, p.parallel_extract_keywords_from_texts,
                           failing_iteration(lambda: ValueError("v"), TEXTS)),
        "parallel_extract: threshold not a number":
            lambda: expect(TypeError, p.parallel_extract_keywords_from_texts, TEXTS, "x"),
        "parallel_replace: threshold out of range":
            lambda: expect(PANIC, p.parallel_replace_keywords_from_texts, TEXTS, 1.5),
        "parallel_extract: threshold out of range, one text":
            lambda: expect(PANIC, p.parallel_extract_keywords_from_texts, TEXTS[:1], -1),
        # Pickling.
        "__getstate__": lambda: p.__getstate__(),
        "__setstate__": lambda: KeywordProcessor().__setstate__(STATE),
        "pickle round trip": lambda: pickle.loads(pickle.dumps(P)),
        "copy.copy + deepcopy": lambda: (copy.copy(P), copy.deepcopy(P)),
        "__setstate__: bytearray": lambda: expect(TypeError, p.__setstate__, bytearray(b"x")),
        **{f"__setstate__: {name}": (lambda raw=raw: expect(PANIC, KeywordProcessor().__setstate__, raw))
           for name, raw in MALFORMED_STATES.items()},
        # Re-entry and nested failures.
        "re-entry: threshold changes the processor": lambda: p.extract_keywords("york", ReentrantThreshold(p)),
        "re-entry: boundaries read the processor":
            lambda: p.set_non_word_boundaries(ReentrantBoundaries(p)),
        "nested PanicException resumed": lambda: expect(PANIC, p.set_non_word_boundaries, NestedPanicBoundaries(["-"])),
        # Matches.
        "PyKeywordMatch()": fresh_match,
        "PyKeywordMatch: missing arguments": lambda: expect(TypeError, PyKeywordMatch, "a", 1.0),
        "PyKeywordMatch: keyword not str": lambda: expect(TypeError, PyKeywordMatch, 1, 1.0, 0, 1),
        "PyKeywordMatch: similarity str": lambda: expect(TypeError, PyKeywordMatch, "a", "1", 0, 1),
        "PyKeywordMatch: negative start": lambda: expect(OverflowError, PyKeywordMatch, "a", 1.0, -1, 0),
        "PyKeywordMatch: start float": lambda: expect(TypeError, PyKeywordMatch, "a", 1.0, 0.0, 1),
        "match getters + repr": lambda: (MATCH.keyword, MATCH.similarity, MATCH.start, MATCH.end, repr(MATCH)),
        "match setters": lambda: setters(fresh_match()),
        "match setter: keyword not str": lambda: expect(TypeError, setattr, MATCH, "keyword", 5),
        "match setter: end too large": lambda: expect(OverflowError, setattr, MATCH, "end", 2**64),
        "match: delete attribute": lambda: expect(AttributeError, delete_attribute, MATCH),
        "match __getstate__ + __getnewargs__": lambda: (MATCH.__getstate__(), MATCH.__getnewargs__()),
        "match __setstate__": lambda: fresh_match().__setstate__(MATCH_STATE + b"extra"),
        "match pickle + copies": lambda: (pickle.loads(pickle.dumps(MATCH)), copy.deepcopy(MATCH)),
        "match __setstate__: empty": lambda: expect(PANIC, MATCH.__setstate__, b""),
        "match __setstate__: truncated keyword": lambda: expect(PANIC, MATCH.__setstate__,
                                                                struct.pack("<Q", 100) + bytes(10)),
        "match __setstate__: keyword not UTF-8": lambda: expect(PANIC, MATCH.__setstate__,
                                                                struct.pack("<Q", 1) + b"\xff" + bytes(20)),
        "match __setstate__: bytearray": lambda: expect(TypeError, MATCH.__setstate__, bytearray(MATCH_STATE)),
    }
    wrong_receiver = method_with_receiver("add_keyword", 5)
    if wrong_receiver is not None:
        ops["receiver of the wrong type"] = lambda: expect(TypeError, wrong_receiver, "x")
    return ops


# --- The check -------------------------------------------------------------------------------


def run(calls, warmup, total_bound, op_bound, self_test=False):
    ops = operations()
    if self_test:
        # Just over the detection bound: a leak this size per call must be caught.
        kept, size = [], max(16, 2 * op_bound // calls)
        ops["leaks on purpose (self-test)"] = lambda: kept.append(bytes(size))
    growth = {}
    with stderr_silenced():
        for op in ops.values():
            for _ in range(warmup):
                op()
        gc.collect()
        start = rss()
        for name, op in ops.items():
            # Cycles (an exception and its traceback) wait for the collector; they are no leak.
            before = rss()
            for _ in range(calls):
                op()
            gc.collect()
            growth[name] = rss() - before
        gc.collect()
        end = rss()

    worst = sorted(growth.items(), key=lambda item: -item[1])
    print(f"{len(ops)} operations, {warmup} warm-up + {calls} measured calls each "
          f"({len(ops) * (warmup + calls)} calls)")
    print(f"resident set after warm-up: {start / 2**20:.1f} MiB, at the end: {end / 2**20:.1f} MiB, "
          f"growth {(end - start) / 2**10:.0f} KiB (bound {total_bound / 2**10:.0f} KiB)")
    print("largest growth during one operation's calls:")
    for name, grown in worst[:5]:
        print(f"  {grown / 2**10:8.0f} KiB  {name}")
    failed = [name for name, grown in growth.items() if grown > op_bound]
    if end - start > total_bound or failed:
        print(f"FAILED: memory grew; operations over {op_bound / 2**10:.0f} KiB: {failed}")
        return 1
    print("OK: resident memory stopped growing")
    return 0


# glibc keeps freed buffers above its mmap threshold in the heap once the threshold has adapted to
# them, so the resident size would move by a few hundred KiB with no leak at all. A fixed threshold
# (which also turns the adaptation off) and one arena make the size follow the live memory.
MALLOC_ENV = {"MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_ARENA_MAX": "1"}


def main(argv=None):
    if any(os.environ.get(k) != v for k, v in MALLOC_ENV.items()) and "LEAK_CHECK_REEXEC" not in os.environ:
        os.environ.update(MALLOC_ENV, LEAK_CHECK_REEXEC="1")
        os.execv(sys.executable, [sys.executable, os.path.abspath(__file__), *(argv or sys.argv[1:])])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="1000 calls per operation")
    parser.add_argument("--calls", type=int, help="measured calls per operation")
    parser.add_argument("--self-test", action="store_true", help="add an operation that leaks")
    args = parser.parse_args(argv)
    calls = args.calls or (1000 if args.quick else 20000)
    warmup = max(500, calls // 4)
    # A leak of even 16 bytes a call adds 20000 * 16 = 320 KiB in one operation's calls; the
    # bounds leave room for allocator noise (pools and arenas of a few hundred KiB) but not more.
    op_bound = 256 * 2**10 if not args.quick else 512 * 2**10
    total_bound = 2 * 2**20
    return run(calls, warmup, total_bound, op_bound, args.self_test)


if __name__ == "__main__":
    sys.exit(main())
