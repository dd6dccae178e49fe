#!/usr/bin/env python3
"""Stress runs at the limits, by hand (never by CI): each scenario runs in a fresh interpreter and
reports its times and its peak resident memory.

    python bench/stress.py                 # every scenario, one after the other
    python bench/stress.py big_text deep   # some of them
    python bench/stress.py --list

Scenarios (the figures recorded on the development machine are in docs/limits.md):
    big_text        a 1 GiB text: extraction and replacement, case-insensitive and case-sensitive
    many_keywords   1,000,000 keywords: build, memory, pickle size, pickling both ways, a search
    long_keyword    one 1,000,000-byte keyword: add, extract, pickle, copy, remove, destroy
    many_texts      1,000,000 texts in one batch, both batch methods
    huge_pool       RAYON_NUM_THREADS=100000: the pool of 65535 threads, or the documented failure
    fuzzy_zero      fuzzy extraction at threshold 0 over 100 KB
    deep            every walk over a trie 1,000,000 levels deep, and a malformed state as deep:
                    no recursion, so no stack overflow
    wide_state      a state of 1,000,000 nodes with keys above U+FFFF: memory per state byte
    refused_state   large states refused at their last byte: what is left resident
    replace_growing replacement in 90 MiB of 'İ' (every character grows when lowercased) and of 'é'
    interrupt       SIGINT during each kind of long call: the time to KeyboardInterrupt (the cases of
                    tests/python/test_interrupt.py)
Texts are generated from a fixed seed; nothing outside this repository is read.
"""

import json
import os
import random
import resource
import subprocess
import sys
import time

GIB = 2**30
MIB = 2**20


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / MIB


class Timer:
    def __init__(self, figures, name):
        self.figures, self.name = figures, name

    def __enter__(self):
        self.start = time.perf_counter()

    def __exit__(self, *exc):
        self.figures[self.name + " s"] = round(time.perf_counter() - self.start, 3)


def vocabulary(seed=7):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    return ["".join(rng.choice(letters) for _ in range(rng.randint(2, 10))) for _ in range(20000)]


def block_of_text(size, seed=1, ascii_only=False):
    """About `size` characters of words, some capitalised, some accented, with punctuation."""
    rng = random.Random(seed)
    words = vocabulary() + ["New York"] + ([] if ascii_only else ["café", "ÉCOLE", "Straße", "İstanbul"])
    parts, length = [], 0
    while length < size:
        word = rng.choice(words)
        if rng.random() < 0.1:
            word = word.capitalize()
        part = word + rng.choice([" ", " ", " ", ", ", ". ", "\n"])
        parts.append(part)
        length += len(part)
    return "".join(parts)[:size]


def keyword_processor(case_sensitive=False, count=2000):
    from wordsieve import KeywordProcessor

    p = KeywordProcessor(case_sensitive)
    for i, word in enumerate(vocabulary()[:count]):
        p.add_keyword(word, word.upper() if i % 2 else None)
    p.add_keyword("new york", "NYC")
    return p


# --- Scenarios ---------------------------------------------------------------------------------


def big_text(figures):
    """1 GiB of ASCII text (so the str's own bytes are its UTF-8 form, and nothing but the engine
    copies it). The engine holds one search copy (the lowercased text when case is ignored); the
    case-sensitive search works on the caller's own bytes."""
    text = block_of_text(MIB, ascii_only=True) * 1024
    figures["text bytes"] = len(text)
    figures["rss with the text MiB"] = round(rss_mib())
    for case_sensitive in (False, True):
        p = keyword_processor(case_sensitive)
        label = "case-sensitive" if case_sensitive else "ignoring case"
        base = rss_mib()
        with Timer(figures, f"extract ({label})"):
            matches = p.extract_keywords(text)
        figures[f"matches ({label})"] = len(matches)
        figures[f"rss holding the matches MiB ({label})"] = round(rss_mib() - base)
        del matches
        with Timer(figures, f"replace ({label})"):
            replaced = p.replace_keywords(text)
        figures[f"replaced length ({label})"] = len(replaced)
        del replaced
        figures[f"peak so far MiB ({label})"] = round(peak_mib())


def many_keywords(figures):
    from wordsieve import KeywordProcessor
    import pickle

    rng = random.Random(3)
    letters = "abcdefghijklmnopqrstuvwxyz"
    distinct = set()
    while len(distinct) < 1_000_000:
        distinct.add("".join(rng.choice(letters) for _ in range(rng.randint(4, 16))))
    keywords = sorted(distinct)
    rng.shuffle(keywords)
    base = rss_mib()
    p = KeywordProcessor()
    with Timer(figures, "add 1,000,000 keywords"):
        for i, keyword in enumerate(keywords):
            p.add_keyword(keyword, keyword.upper() if i % 3 == 0 else None)
    figures["keywords stored"] = len(p)
    figures["trie memory MiB"] = round(rss_mib() - base)
    with Timer(figures, "get_all_keywords"):
        listed = p.get_all_keywords()
    assert len(listed) == len(p)
    del listed
    with Timer(figures, "pickle.dumps"):
        raw = pickle.dumps(p)
    figures["pickle bytes"] = len(raw)
    with Timer(figures, "pickle.loads"):
        q = pickle.loads(raw)
    assert len(q) == len(p)
    text = " ".join(rng.choice(keywords) for _ in range(200_000))
    with Timer(figures, "extract from 200,000 stored words"):
        figures["matches"] = len(p.extract_keywords(text))
    with Timer(figures, "fuzzy 0.8 over 2,000 words"):
        figures["fuzzy matches"] = len(p.extract_keywords(" ".join(text.split()[:2000]), 0.8))
    with Timer(figures, "destroy two processors"):
        del p, q
    figures["peak MiB"] = round(peak_mib())


def long_keyword(figures):
    from wordsieve import KeywordProcessor
    import copy
    import pickle

    keyword = "ab" * 500_000
    p = KeywordProcessor()
    base = rss_mib()
    with Timer(figures, "add a 1,000,000-byte keyword"):
        p.add_keyword(keyword, "LONG")
    figures["trie memory MiB"] = round(rss_mib() - base)
    text = "x " + keyword + " y"
    with Timer(figures, "extract exact"):
        assert [(m.start, m.end) for m in p.extract_keywords(text)] == [(2, 1_000_002)]
    with Timer(figures, "extract fuzzy 0.9 over 10 kB"):
        p.extract_keywords(text[:10_000], 0.9)
    with Timer(figures, "replace"):
        assert p.replace_keywords(text) == "x LONG y"
    with Timer(figures, "get_all_keywords"):
        assert p.get_all_keywords() == {keyword: "LONG"}
    with Timer(figures, "pickle.dumps"):
        raw = pickle.dumps(p)
    figures["pickle bytes"] = len(raw)
    with Timer(figures, "pickle.loads"):
        q = pickle.loads(raw)
    with Timer(figures, "deepcopy"):
        r = copy.deepcopy(q)
    with Timer(figures, "remove"):
        assert p.remove_keyword(keyword) and len(p) == 0
    with Timer(figures, "destroy"):
        del q, r
    figures["peak MiB"] = round(peak_mib())


def many_texts(figures):
    p = keyword_processor()
    block = block_of_text(60 * MIB)
    texts = [block[i:i + 60] for i in range(0, 60_000_000, 60)]
    del block
    assert len(texts) == 1_000_000
    base = rss_mib()
    with Timer(figures, "parallel_extract 1,000,000 texts"):
        results = p.parallel_extract_keywords_from_texts(texts)
    figures["matches"] = sum(map(len, results))
    figures["result memory MiB"] = round(rss_mib() - base)
    del results
    with Timer(figures, "parallel_replace 1,000,000 texts"):
        replaced = p.parallel_replace_keywords_from_texts(texts)
    assert len(replaced) == len(texts)
    del replaced
    with Timer(figures, "the same one by one (extract)"):
        for text in texts:
            p.extract_keywords(text)
    figures["peak MiB"] = round(peak_mib())


def huge_pool(figures):
    p = keyword_processor()
    figures["RAYON_NUM_THREADS"] = os.environ.get("RAYON_NUM_THREADS")
    for attempt in (1, 2):
        start = time.perf_counter()
        try:
            p.parallel_extract_keywords_from_texts(["new york"] * 10)
            figures[f"call {attempt}"] = "ok"
        except BaseException as error:  # noqa: B902 - PanicException
            figures[f"call {attempt}"] = f"{type(error).__name__}: {error}"
        figures[f"call {attempt} s"] = round(time.perf_counter() - start, 3)
    with open("/proc/self/status") as status:
        figures["threads now"] = next(int(l.split()[1]) for l in status if l.startswith("Threads"))
    figures["single-text methods still work"] = len(p.extract_keywords("new york")) == 1
    for name in ("vm/max_map_count", "kernel/threads-max"):
        with open(f"/proc/sys/{name}") as value:
            figures[name] = int(value.read())


def fuzzy_zero(figures):
    p = keyword_processor()
    text = block_of_text(100_000)
    for size in (1_000, 10_000, 100_000):
        with Timer(figures, f"threshold 0 over {size} bytes"):
            figures[f"matches over {size}"] = len(p.extract_keywords(text[:size], 0.0))
    from wordsieve import KeywordProcessor

    empty = KeywordProcessor()
    with Timer(figures, "threshold 0, no keywords, 100 kB"):
        assert empty.extract_keywords(text, 0.0) == []


def deep(figures):
    """Every walk over a trie one million levels deep, and malformed states as deep."""
    from wordsieve import KeywordProcessor
    import copy
    import pickle
    import struct

    depth = 1_000_000
    p = KeywordProcessor()
    with Timer(figures, "add"):
        p.add_keyword("a" * depth)
        p.add_keyword("a" * (depth // 2), "half")
    with Timer(figures, "len + repr"):
        assert len(p) == 2 and "2" in repr(p)
    with Timer(figures, "get_all_keywords"):
        assert len(p.get_all_keywords()) == 2
    with Timer(figures, "extract exact + fuzzy"):
        p.extract_keywords("a" * depth)
        p.extract_keywords("a" * 1000, 0.5)
    with Timer(figures, "pickle round trip + deepcopy"):
        q = pickle.loads(pickle.dumps(p))
        r = copy.deepcopy(q)
        assert len(r) == 2
    with Timer(figures, "remove (prunes 500,000 nodes)"):
        assert p.remove_keyword("a" * depth)
    with Timer(figures, "destroy"):
        del p, q, r

    panic = None
    words = KeywordProcessor().__getstate__()[:8 + 17408 * 8]
    chain = (struct.pack("<Q", 1) + b"a") * depth
    for name, tail in [("cut off", b""), ("bad tag at the bottom", struct.pack("<Q", 0) + b"\x09"),
                       ("then complete", struct.pack("<Q", 0) + b"\x00" * (depth + 1) + b"\x00\x00")]:
        target = KeywordProcessor()
        with Timer(figures, f"malformed state {depth} deep, {name}"):
            try:
                target.__setstate__(words + chain + tail)
                figures[f"state {name}"] = f"accepted, {len(target)} keywords"
            except BaseException as error:  # noqa: B902 - PanicException
                panic = error
                figures[f"state {name}"] = str(error)
    assert panic is not None
    figures["peak MiB"] = round(peak_mib())


def resident_growth(figures, name, call, per_bytes):
    """The resident set's peak and lasting growth over one call (Linux: the peak is reset first)."""
    before = rss_mib()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    with Timer(figures, name):
        try:
            result = call()
        except BaseException as error:  # noqa: B902 - PanicException
            result = error
    with open("/proc/self/status") as status:
        peak = next(int(l.split()[1]) / 1024 for l in status if l.startswith("VmHWM:"))
    figures[name + " peak +MiB"] = round(peak - before)
    figures[name + " peak B per input byte"] = round((peak - before) * MIB / per_bytes, 2)
    figures[name + " lasting +MiB"] = round(rss_mib() - before)
    return result


def state_of(trie):
    from wordsieve import KeywordProcessor
    return KeywordProcessor().__getstate__()[:8 + 17408 * 8] + trie + b"\0\0"


def wide_state(figures):
    """A state of 1,000,000 nodes each with one key above U+FFFF (only foreign states have them)."""
    import struct
    from wordsieve import KeywordProcessor

    depth = 1_000_000
    state = state_of((struct.pack("<Q", 1) + "\U0001F600".encode()) * depth + struct.pack("<Q", 0)
                     + b"\0" * (depth + 1))
    figures["state MiB"] = round(len(state) / MIB, 1)
    p = KeywordProcessor()
    resident_growth(figures, "load", lambda: p.__setstate__(state), len(state))
    resident_growth(figures, "replace by an empty state",
                    lambda: p.__setstate__(KeywordProcessor().__getstate__()), len(state))


def refused_state(figures):
    """Large states refused at their last byte: what their tries held goes back."""
    import struct
    from wordsieve import KeywordProcessor

    u64 = lambda n: struct.pack("<Q", n)  # noqa: E731
    depth = 300_000
    wide = state_of((u64(1) + "\U0001F600".encode()) * depth + u64(0) + b"\0" * (depth + 1))
    leaves = b"".join(bytes([65 + k]) + u64(0) + b"\1" + u64(2) + b"ab" for k in range(39))
    tables = state_of((u64(40) + leaves + b"z") * 40_000 + u64(0) + b"\0" * 40_001)
    for name, state in (("300,000 wide nodes", wide), ("40,000 nodes of 40 children", tables)):
        refused = state[:-2] + b"\2\0"
        resident_growth(figures, f"refuse {name} ({len(state) / MIB:.1f} MiB)",
                        lambda: KeywordProcessor().__setstate__(refused), len(state))
    figures["resident MiB at the end"] = round(rss_mib())


def replace_growing(figures):
    """Replacement in 90 MiB of text whose every character changes length when lowercased, and in
    as much text of a character that keeps its length."""
    from wordsieve import KeywordProcessor

    p = KeywordProcessor()
    p.add_keyword("zzz")
    for char in ("\u0130", "\u00e9"):
        text = char * (45 * MIB)
        p.remove_keyword(text)  # the str's UTF-8 form, which the interpreter keeps with the str
        result = resident_growth(figures, f"replace_keywords, {char!r}", lambda: p.replace_keywords(text),
                                 len(text.encode()))
        assert result == text
        del result, text


def interrupt(figures):
    """Ctrl-C during long calls: the time from SIGINT to KeyboardInterrupt, seen from outside."""
    import signal

    tests = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python")
    sys.path.insert(0, tests)
    from test_interrupt import CASES, CHILD

    child = subprocess.Popen([sys.executable, "-c", CHILD, *CASES], stdout=subprocess.PIPE, text=True)
    for name in CASES:
        assert child.stdout.readline() == "start\n", name
        time.sleep(0.3)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline().strip()
        figures[f"{name} ms"] = round((time.perf_counter() - sent) * 1000, 1) if outcome == "interrupted" else outcome
        assert child.stdout.readline() == "unchanged\n", name
    child.wait()


SCENARIOS = {f.__name__: f for f in (big_text, many_keywords, long_keyword, many_texts, huge_pool,
                                     fuzzy_zero, deep, wide_state, refused_state, replace_growing,
                                     interrupt)}
ENV = {"huge_pool": {"RAYON_NUM_THREADS": "100000"}}


def run_one(name):
    figures = {"baseline rss MiB": round(rss_mib())}
    start = time.perf_counter()
    SCENARIOS[name](figures)
    figures["total s"] = round(time.perf_counter() - start, 1)
    figures["peak rss MiB"] = round(peak_mib())
    print(json.dumps(figures))


def main(argv):
    if argv[:1] == ["--child"]:
        run_one(argv[1])
        return 0
    if argv[:1] == ["--list"]:
        print("\n".join(SCENARIOS))
        return 0
    names = argv or list(SCENARIOS)
    status = 0
    for name in names:
        env = {**os.environ, **ENV.get(name, {})}
        start = time.perf_counter()
        done = subprocess.run([sys.executable, __file__, "--child", name], env=env, capture_output=True,
                              text=True)
        print(f"== {name} (exit {done.returncode}, {time.perf_counter() - start:.1f} s)")
        if done.returncode == 0 and done.stdout.strip():
            for key, value in json.loads(done.stdout.strip().splitlines()[-1]).items():
                print(f"   {key}: {value}")
        else:
            status = 1
            print(done.stdout[-2000:], done.stderr[-4000:])
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
