"""The batch methods: results equal to the single-text methods, in input order, computed on the
process-wide worker pool, with the conversion, threshold and pool-start failures of one call."""

import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings, strategies as st

from wordsieve import KeywordProcessor, PyKeywordMatch

from conftest import report_messages
from odd_sequences import HugeLen, LenFails, Sequenceish

METHODS = ["parallel_extract_keywords_from_texts", "parallel_replace_keywords_from_texts"]
THRESHOLD_ERROR = "Threshold must be between 0 and 1"


def sample_processor():
    p = KeywordProcessor()
    for keyword, clean_name in [("New York", "NY"), ("new", None), ("café", "coffee"), ("york", None),
                                ("hello", "greeting"), ("\U0001F600", "smile")]:
        p.add_keyword(keyword, clean_name)
    return p


def shown(results):
    """Batch or single results in a comparable form (match objects compare by identity)."""
    if isinstance(results, str):
        return results
    if isinstance(results, list):
        return [shown(r) for r in results]
    return repr(results)


def single_results(p, method, texts, threshold):
    single = getattr(p, method.replace("parallel_", "").replace("_from_texts", ""))
    return [shown(single(text, threshold)) for text in texts]


def error_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


# --- Results ---------------------------------------------------------------------------------

words = st.sampled_from(["new", "york", "New York", "café", "hello", "helo", "hxello", "\U0001F600",
                         "-", " ", "  ", "x", "NEW-YORK", "yorkshire"])
texts_strategy = st.lists(st.lists(words, max_size=8).map(" ".join), max_size=40)


@settings(max_examples=60, deadline=None)
@given(texts=texts_strategy, threshold=st.sampled_from([None, 1, 1.0, 0.9, 0.8, 0.5]),
       method=st.sampled_from(METHODS))
def test_equal_to_the_single_text_methods(texts, threshold, method):
    p = sample_processor()
    results = getattr(p, method)(texts, threshold)
    assert type(results) is list and len(results) == len(texts)
    assert shown(results) == single_results(p, method, texts, threshold)


@pytest.mark.parametrize("method", METHODS)
def test_long_lists_keep_input_order(method):
    p = sample_processor()
    texts = [f"{i} new york {'café ' * (i % 7)}{i}" for i in range(5000)]
    assert shown(getattr(p, method)(texts, 0.9)) == single_results(p, method, texts, 0.9)


def test_result_types():
    p = sample_processor()
    extracted = p.parallel_extract_keywords_from_texts(["new york", "", "new york"])
    assert [type(r) for r in extracted] == [list, list, list]
    assert extracted[0] is not extracted[2] and extracted[0][0] is not extracted[2][0]
    assert type(extracted[0][0]) is PyKeywordMatch and extracted[1] == []
    assert p.parallel_replace_keywords_from_texts(["new york", ""]) == ["NY", ""]


@pytest.mark.parametrize("method", METHODS)
def test_large_keyword_lists_over_many_short_texts(method):
    # Enough keywords that each worker carries remembered walks from one text to the next.
    rng = random.Random(5)
    letters = "abcdefghijklm"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(1, 8))) for _ in range(400)]
    p = KeywordProcessor()
    for a in letters:
        for b in letters:
            p.add_keyword(a + b, "P")
    for i, w in enumerate(words[:300]):
        p.add_keyword(w + rng.choice(["", " " + rng.choice(words), "-"]), f"K{i}")
    texts = [rng.choice(["", " ", "-"]).join(rng.choice(words) for _ in range(rng.randint(0, 40))).title()
             for _ in range(3000)]
    assert shown(getattr(p, method)(texts)) == single_results(p, method, texts, None)


def test_each_change_reaches_the_next_batch():
    # The search's tables live on the processor, built by the first search after a change and
    # shared by the workers. After each change below, a batch must find what a processor loaded
    # from the same state (whose tables are new) finds.
    rng = random.Random(11)
    p = sample_processor()
    other = KeywordProcessor(case_sensitive=True)
    other.add_keyword("York", "Y")
    steps = [
        lambda: p.add_keyword("yorkshire pudding", "dish"),
        lambda: p.add_keyword("-new", "dash"),
        lambda: p.remove_keyword("new"),
        lambda: p.remove_keyword("New York"),
        lambda: p.add_non_word_boundary("-"),
        lambda: p.set_non_word_boundaries(["a", "b", "c", "é"]),
        lambda: [p.add_keyword(a + b) for a in "abcdefgh" for b in "abcdefgh"],
        lambda: p.__setstate__(other.__getstate__()),
        lambda: p.add_keyword("york"),
    ]
    pieces = ["new", "york", "New-York", "yorkshire", "pudding", "café", "-new", "ab", "cd", "York", " ", "-"]
    texts = [" ".join(rng.choice(pieces) for _ in range(rng.randint(0, 12))) for _ in range(2000)]
    for step in steps:
        p.parallel_extract_keywords_from_texts(texts)
        step()
        fresh = KeywordProcessor()
        fresh.__setstate__(p.__getstate__())
        assert shown(p.parallel_extract_keywords_from_texts(texts)) == single_results(
            fresh, "parallel_extract_keywords_from_texts", texts, None)


class Text(str):
    pass


@pytest.mark.parametrize("texts", [
    ("new york", "café"),
    Sequenceish(["new york", "café"]),
    [Text("new york"), "café"],
    # The reported length is only a capacity hint.
    HugeLen(["new york", "café"]),
    LenFails(["new york", "café"]),
])
@pytest.mark.parametrize("method", METHODS)
def test_accepted_sequences(method, texts):
    p = sample_processor()
    assert shown(getattr(p, method)(texts)) == single_results(p, method, ["new york", "café"], None)


class FreshTexts:
    """Makes a new str on every access, so the batch holds the only reference to each text."""

    def __init__(self, count):
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, i):
        if i >= self.count:
            raise IndexError(i)
        return "".join(["café ", "new ", "york ", str(i), " \U0001F600" * (i % 3)])


@pytest.mark.parametrize("method", METHODS)
def test_texts_referenced_only_by_the_call(method):
    p = sample_processor()
    expected = single_results(p, method, list(FreshTexts(3000)), None)
    assert shown(getattr(p, method)(FreshTexts(3000))) == expected


def test_arguments_by_keyword():
    p = sample_processor()
    assert p.parallel_replace_keywords_from_texts(threshold=None, texts=["new york"]) == ["NY"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("threshold", [None, 2.0, float("nan"), -1])
def test_empty_list_runs_no_engine(method, threshold):
    assert getattr(sample_processor(), method)([], threshold) == []


# --- Failures --------------------------------------------------------------------------------


def failing_iteration(exception):
    class Failing(list):
        def __iter__(self):
            yield "new york"
            raise exception

    return Failing()


VALUE_ERROR = ValueError("from iteration")

CONVERSION_ERRORS = [
    (lambda f: f("abc"), TypeError, "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda f: f(Text("abc")), TypeError, "argument 'texts': Can't extract `str` to `Vec`"),
    (lambda f: f({"a"}), TypeError, "argument 'texts': 'set' object cannot be converted to 'Sequence'"),
    (lambda f: f({"a": 1}), TypeError, "argument 'texts': 'dict' object cannot be converted to 'Sequence'"),
    (lambda f: f(t for t in ["a"]), TypeError,
     "argument 'texts': 'generator' object cannot be converted to 'Sequence'"),
    (lambda f: f(5), TypeError, "argument 'texts': 'int' object cannot be converted to 'Sequence'"),
    (lambda f: f(["a", 1]), TypeError, "argument 'texts': 'int' object cannot be converted to 'PyString'"),
    (lambda f: f(b"ab"), TypeError, "argument 'texts': 'int' object cannot be converted to 'PyString'"),
    (lambda f: f(["a", "\ud800"]), UnicodeEncodeError, None),
    (lambda f: f(failing_iteration(TypeError("boom"))), TypeError, "argument 'texts': boom"),
    (lambda f: f(failing_iteration(VALUE_ERROR)), ValueError, "from iteration"),
    (lambda f: f([], "x"), TypeError, "argument 'threshold': must be real number, not str"),
    (lambda f: f(["a"], "x"), TypeError, "argument 'threshold': must be real number, not str"),
    # texts is converted first: its error wins over the threshold's.
    (lambda f: f(5, "x"), TypeError, "argument 'texts': 'int' object cannot be converted to 'Sequence'"),
    (lambda f: f(), TypeError, "missing 1 required positional argument: 'texts'"),
    (lambda f: f([], None, 1), TypeError, "takes from 1 to 2 positional arguments but 3 were given"),
]


@pytest.mark.parametrize("call, kind, message", CONVERSION_ERRORS)
@pytest.mark.parametrize("method", METHODS)
def test_conversion_errors(method, call, kind, message):
    p = sample_processor()
    error = error_of(lambda: call(getattr(p, method)))
    assert type(error) is kind
    if message is not None:
        assert str(error).endswith(message)
    if kind is ValueError:
        assert error is VALUE_ERROR
    assert len(p) == 6


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("count", [1, 2, 1000])
def test_threshold_out_of_range_fails_once(method, count, failure_reports):
    p = sample_processor()
    error = error_of(lambda: getattr(p, method)(["new york"] * count, 1.5))
    assert type(error).__name__ == "PanicException" and not isinstance(error, Exception)
    assert error.args == (THRESHOLD_ERROR,)
    # Each text that ran wrote a report (where it failed, on its worker); the others were skipped.
    reports = failure_reports()
    assert 1 <= len(reports) <= count and set(reports) == {THRESHOLD_ERROR}
    # The processor, the pool and the shared access all remain usable.
    p.add_keyword("after")
    assert shown(getattr(p, method)(["after", "new york"] * 50)) == single_results(
        p, method, ["after", "new york"] * 50, None)


def test_a_conversion_may_read_but_not_change_the_processor():
    p = sample_processor()
    outcomes = []

    class Reentrant(list):
        def __iter__(self):
            outcomes.append(p.parallel_replace_keywords_from_texts(["new york"]))
            try:
                p.remove_keyword("new")
            except RuntimeError as error:
                outcomes.append(str(error))
            return super().__iter__()

    assert p.parallel_replace_keywords_from_texts(Reentrant(["new"])) == ["new"]
    assert outcomes == [["NY"], "Already borrowed"]


def test_calls_from_several_python_threads():
    p = sample_processor()
    texts = [f"new york {i}" for i in range(200)]
    expected = single_results(p, METHODS[1], texts, None)
    failures = []

    def work():
        for _ in range(20):
            if p.parallel_replace_keywords_from_texts(texts) != expected:
                failures.append("mismatch")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


# --- The pool, in fresh processes ------------------------------------------------------------

needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")

POOL_SCRIPT = textwrap.dedent("""
    import os, threading, time
    from wordsieve import KeywordProcessor

    def others():
        # The threads of this process besides this one: the pool's workers.
        me = str(threading.get_native_id())
        return [task for task in os.listdir("/proc/self/task") if task != me]

    def name(task):
        with open(f"/proc/self/task/{task}/comm") as comm:
            return comm.read().strip()

    p = KeywordProcessor()
    p.add_keyword("new york", "NY")
    assert others() == []
    texts = [f"{i} new york" for i in range(300)]
    results = p.parallel_replace_keywords_from_texts(texts)
    assert results == [p.replace_keywords(t) for t in texts]
    workers = others()
    # A worker names itself when it first runs, which on a loaded machine can be after the call
    # that started the pool: the other threads may have done all the work.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not all(name(t).startswith("wordsieve-") for t in workers):
        time.sleep(0.01)
    assert sorted(map(name, workers)) == sorted(f"wordsieve-{i}" for i in range(len(workers)))
    print(len(workers))
""")


def run_python(script, env_changes):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                          timeout=120)


@needs_proc
@pytest.mark.parametrize("env, size", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "+4"}, 4),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "2"}, None),  # 0: the processor count
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_RS_NUM_CPUS": "abc"}, None),
    ({}, None),
])
def test_pool_size_from_the_environment(env, size):
    result = run_python(POOL_SCRIPT, env)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == (size if size is not None else len(os.sched_getaffinity(0)))


def test_pool_that_cannot_start_fails_every_call():
    script = textwrap.dedent("""
        import resource
        from wordsieve import KeywordProcessor

        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
        # Room for some worker stacks, not for 2000 of them.
        resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 2**20, resource.RLIM_INFINITY))
        p = KeywordProcessor()
        p.add_keyword("a")
        for texts in ([], ["a", "b"]):
            try:
                p.parallel_extract_keywords_from_texts(texts)
            except BaseException as error:
                print(type(error).__name__, str(error).startswith(
                    "The global thread pool has not been initialized."))
        print(len(p.extract_keywords("a")))
    """)
    if not os.path.exists("/proc/self/status"):
        pytest.skip("reads the process size from /proc")
    # One malloc arena: a new worker must not need fresh address space for its thread-local data.
    result = run_python(script, {"RAYON_NUM_THREADS": "2000", "MALLOC_ARENA_MAX": "1"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException True", "PanicException True", "1"]
    # Reported where it failed, and again on the second call.
    reports = report_messages(result.stderr)
    assert len(reports) == 2 and reports[0] == reports[1]
    assert reports[0].startswith("The global thread pool has not been initialized. Could not start")
