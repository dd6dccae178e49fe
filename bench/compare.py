"""wordsieve next to the libraries a user would pick instead, on the same inputs, in one process.

    python bench/compare.py --out bench/results          # about fifteen minutes on two cores
    python bench/compare.py --out bench/results --quick  # a smoke run of every section
    python bench/compare.py --out bench/results --cpu-time --wait-quiet 60   # on a shared machine
    python bench/compare.py --only extract,documents --before OLD/wordsieve.abi3.so   # against another build

The first run also compiles hyperscan databases of 100,000 patterns (some 20 minutes); they are
kept in OUT/hyperscan-cache for the next runs.

Needs the `bench` extra (`pip install ".[bench]"`): pyahocorasick, hyperscan, regex, matplotlib.
A peer that cannot be imported is recorded as missing and its rows are left out. The C++ part (raw
scan next to memcpy and memchr, fuzzy search next to the literal work-stack search) is built with
CMake into --cpp-build unless --skip-cpp is given.

Writes OUT/results.json (every figure), OUT/results.md (the tables) and OUT/throughput.png
(extraction throughput against keyword count). Every figure is a median of several runs; ratios are
taken between figures of the same run, so background load hits both sides alike.
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import pickle
import platform
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = Path(os.environ.get("WORDSIEVE_CORPUS", REPO.parent / "shared" / "corpus"))

# The engine's default word characters; every peer gets the same whole-word rule.
WORD_CHARS = frozenset("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz")
RE_WORD = "0-9A-Za-z_"
KEYWORD_COUNTS = (100, 10_000, 100_000)


# --------------------------------------------------------------------------------------------
# Inputs


def load_inputs(corpus: Path, text_bytes: int) -> dict:
    words = [w for w in (corpus / "keywords_en.txt").read_text(encoding="utf-8").split("\n") if w]
    kjv = (corpus / "prose_kjv.txt").read_text(encoding="utf-8")
    jargon = (corpus / "prose_jargon.txt").read_text(encoding="utf-8")
    # Half plain ASCII scripture, half technical prose with non-ASCII punctuation, cut at lines.
    half = text_bytes // 2
    text = cut_lines(kjv, half) + "\n" + cut_lines(jargon, half)
    text_words = set(re.findall(f"[{RE_WORD}]+", text.lower()))
    rng = random.Random(20251207)
    shuffled = words[:]
    rng.shuffle(shuffled)
    absent = [w for w in shuffled if w.lower() not in text_words]
    return {
        "words": shuffled,
        "absent": absent,
        "pseudo": pseudo_words(100_000, {w.lower() for w in words} | text_words),
        "text": text,
        "ascii_sample": cut_lines(kjv, 200_000),
        "lines": [line for line in text.split("\n") if line],
        "documents": {"entries": dictionary_entries(jargon), "sentences": sentences(kjv)[:30_000]},
    }


def dictionary_entries(jargon: str, size: int = 250) -> list[str]:
    """The Jargon File's entries cut into dictionary-style entries of about `size` bytes (at a space,
    an entry of up to 1.4 times the size is kept whole): 5,601 documents of 233 bytes on average."""
    out = []
    for line in jargon.split("\n"):
        while line:
            if len(line.encode()) <= size * 1.4:
                out.append(line)
                break
            cut = line.rfind(" ", 0, size)
            if cut <= 0:
                cut = size
            out.append(line[:cut])
            line = line[cut + 1:]
    return out


def sentences(kjv: str, least: int = 45) -> list[str]:
    """Short sentences of the King James Bible: its clauses (cut after , . ; : ? !) joined until they
    reach `least` characters, 67 bytes on average."""
    out, current = [], ""
    for piece in re.split(r"(?<=[,.;:?!])\s+", kjv):
        current = f"{current} {piece}" if current else piece
        if len(current) >= least:
            out.append(current)
            current = ""
    return out


def cut_lines(text: str, limit_bytes: int) -> str:
    out, size = [], 0
    for line in text.split("\n"):
        n = len(line.encode()) + 1
        if size + n > limit_bytes and out:
            break
        out.append(line)
        size += n
    return "\n".join(out)


def pseudo_words(count: int, taken: set[str]) -> list[str]:
    """Pronounceable lower-case words that are neither keywords nor words of the text: the same
    seed gives the same list on every machine."""
    rng = random.Random(17)
    onsets = ["b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w",
              "z", "br", "cr", "dr", "fl", "gr", "pl", "pr", "sk", "sl", "st", "tr", "ch", "sh", "th"]
    vowels = ["a", "e", "i", "o", "u", "ai", "ea", "io", "ou"]
    codas = ["", "", "", "n", "r", "s", "l", "m", "nd", "rt", "st", "x"]
    out, seen = [], set(taken)
    while len(out) < count:
        w = "".join(rng.choice(onsets) + rng.choice(vowels) for _ in range(rng.randint(2, 4)))
        w += rng.choice(codas)
        if w not in seen:
            seen.add(w)
            out.append(w)
    return out


def keyword_set(inputs: dict, count: int, matches: str) -> list[str]:
    """`count` keywords. "many": English words (a quarter of them occur in the prose) topped up with
    pseudo-words past the 20,000 of the list; "few": words that do not occur in the text, then
    pseudo-words."""
    base = inputs["words"] if matches == "many" else inputs["absent"]
    if count <= len(base):
        return base[:count]
    return base + inputs["pseudo"][: count - len(base)]


def slice_text(text: str, limit_bytes: int) -> str:
    if limit_bytes >= len(text.encode()):
        return text
    cut = text.encode()[:limit_bytes].decode("utf-8", "ignore")
    space = cut.rfind(" ")
    return cut[:space] if space > 0 else cut


# --------------------------------------------------------------------------------------------
# Timing

# What the timings read: the wall clock, or with --cpu-time the CPU time of the calling thread, which
# other processes on a shared machine do not inflate (they still share its caches). The batch
# figures always use the wall clock: their point is the workers' parallelism.
clock = time.perf_counter


def median_time(fn, repeat: int, min_seconds: float = 0.0) -> float:
    """Median seconds of one call, over `repeat` runs (more while they add up to less than
    `min_seconds`, for calls that take microseconds). What the call returns is dropped after the
    clock stops, so freeing a result is not counted."""
    kept = fn()
    times = []
    start = clock()
    while len(times) < repeat or (clock() - start < min_seconds and len(times) < 10_000):
        kept = None
        t0 = clock()
        kept = fn()
        times.append(clock() - t0)
    del kept
    return statistics.median(times)


def throughput(make_run, text: str, repeat: int, budget: float) -> dict:
    """MB/s of `make_run(text_slice)()`: probes a small slice, then times a slice that takes about
    `budget` seconds per run (the whole text when that is fast enough)."""
    size = len(text.encode())
    probe = slice_text(text, min(size, 32_768))
    run = make_run(probe)
    t0 = clock()
    run()
    probe_t = max(clock() - t0, 1e-6)
    want = int(len(probe.encode()) * budget / probe_t)
    part = slice_text(text, max(min(size, want), 16_384))
    run = make_run(part)
    t = median_time(run, repeat)
    part_bytes = len(part.encode())
    return {"mb_s": part_bytes / t / 1e6, "seconds": t, "bytes": part_bytes}


def interleaved_times(calls: dict, repeat: int, warm_each_turn: bool = False) -> dict:
    """Median seconds of each call in `calls` (name -> function), the calls taken in turns after one
    warm-up each (with `warm_each_turn`, an untimed run before every timed one); what a call returns
    is dropped after the clock stops."""
    for fn in calls.values():
        kept = fn()
        del kept
    times = {name: [] for name in calls}
    for _ in range(repeat):
        for name, fn in calls.items():
            if warm_each_turn:
                kept = fn()
                del kept
            t0 = clock()
            kept = fn()
            times[name].append(clock() - t0)
            del kept
    return {name: statistics.median(t) for name, t in times.items()}


def interleaved_throughput(contestants, text: str, repeat: int) -> dict:
    """MB/s of each contestant, `contestants` being (name, run_of, budget) with run_of(text_slice)
    doing the work once. Each gets a slice that takes about its budget per run, then the runs are
    taken in turns (one run of each, `repeat` times), so that load from other processes falls on
    every contestant alike and the ratios between them hold even when the machine is busy."""
    size = len(text.encode())
    runs = {}
    for name, run_of, budget in contestants:
        probe = slice_text(text, min(size, 32_768))
        t0 = clock()
        run_of(probe)
        probe_t = max(clock() - t0, 1e-6)
        part = slice_text(text, max(min(size, int(len(probe.encode()) * budget / probe_t)), 16_384))
        runs[name] = (part, run_of)
        run_of(part)  # warm-up
    times = {name: [] for name in runs}
    for _ in range(repeat):
        for name, (part, run_of) in runs.items():
            t0 = clock()
            kept = run_of(part)
            times[name].append(clock() - t0)
            del kept
    out = {}
    for name, (part, _) in runs.items():
        t = statistics.median(times[name])
        out[name] = {"mb_s": len(part.encode()) / t / 1e6, "seconds": t, "bytes": len(part.encode())}
    return out


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --------------------------------------------------------------------------------------------
# The libraries, each answering the same question: the whole-word occurrences of the keywords,
# longest first, with the clean name and the position of each.


def others_busy_share(interval: float = 0.5) -> float:
    """CPU time other processes used over `interval`, in cores (Linux /proc; 0.0 elsewhere)."""
    def ticks() -> dict:
        out, me = {}, os.getpid()
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == me:
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                out[entry] = int(fields[11]) + int(fields[12])  # utime, stime
            except (OSError, IndexError, ValueError):
                continue
        return out
    if not os.path.isdir("/proc"):
        return 0.0
    before = ticks()
    time.sleep(interval)
    after = ticks()
    used = sum(max(0, t - before[pid]) for pid, t in after.items() if pid in before)
    return used / os.sysconf("SC_CLK_TCK") / interval


def wait_until_quiet(limit_seconds: float) -> float:
    """Waits (up to `limit_seconds`) until other processes use less than a fifth of a core; returns
    the share seen last."""
    deadline = time.monotonic() + limit_seconds
    share = others_busy_share()
    while share > 0.2 and time.monotonic() < deadline:
        share = others_busy_share()
    return share


def optional_import(name: str):
    try:
        return __import__(name)
    except Exception as exc:  # a wheel that does not install here is recorded, not fatal
        return exc


class Peers:
    def __init__(self):
        self.modules = {name: optional_import(name) for name in ("ahocorasick", "hyperscan", "regex")}

    def get(self, name):
        m = self.modules[name]
        return None if isinstance(m, Exception) else m

    def status(self) -> dict:
        out = {}
        for name, m in self.modules.items():
            if isinstance(m, Exception):
                out[name] = f"missing: {type(m).__name__}: {m}"
            else:
                out[name] = getattr(m, "__version__", None) or getattr(m, "VERSION", None) or "installed"
                if not isinstance(out[name], str):
                    out[name] = str(out[name])
        return out


def build_wordsieve(keywords, case_sensitive):
    from wordsieve import KeywordProcessor

    p = KeywordProcessor(case_sensitive=case_sensitive)
    for w in keywords:
        p.add_keyword(w)
    return p


def keyword_workloads(inputs, counts, label):
    """The keyword sets a section measures, for many and few matches, ignoring case and not, at each
    count: (matches, case_sensitive, count, workload label, keywords, wordsieve processor). The
    processor is handed over, not kept, so the caller can free it before the next is built."""
    for matches in ("many", "few"):
        for case_sensitive in (False, True):
            wl = f"{label}{'case-sens.' if case_sensitive else 'case-insens.'}, {matches} matches"
            for count in counts:
                kws = keyword_set(inputs, count, matches)
                yield matches, case_sensitive, count, wl, kws, build_wordsieve(kws, case_sensitive)


def clean_names(keywords, case_sensitive):
    """key text -> clean name, as the engine stores them without an explicit clean name."""
    return {(w if case_sensitive else w.lower()): (w if case_sensitive else w.lower()) for w in keywords}


def wordsieve_extract(p):
    return lambda text: p.extract_keywords(text)


def aho_build(ahocorasick, keywords, case_sensitive):
    a = ahocorasick.Automaton()
    for key, name in clean_names(keywords, case_sensitive).items():
        a.add_word(key, (name, len(key)))
    a.make_automaton()
    return a


def aho_extract(a, case_sensitive, longest=True):
    """pyahocorasick plus the cheapest whole-word filter: the characters on either side of a hit
    must not be word characters. iter_long gives leftmost-longest hits; iter gives every hit."""
    word = WORD_CHARS

    def run(text):
        s = text if case_sensitive else text.lower()
        n = len(s)
        out = []
        hits = a.iter_long(s) if longest else a.iter(s)
        for end, (name, length) in hits:
            start = end - length + 1
            if (start == 0 or s[start - 1] not in word) and (end + 1 == n or s[end + 1] not in word):
                out.append((name, start, end + 1))
        return out

    return run


def re_alternation(keywords, case_sensitive):
    names = clean_names(keywords, case_sensitive)
    alts = "|".join(re.escape(k) for k in sorted(names, key=len, reverse=True))
    flags = 0 if case_sensitive else re.IGNORECASE
    return re.compile(f"(?<![{RE_WORD}])(?:{alts})(?![{RE_WORD}])", flags), names


def re_prefix_tree(keywords, case_sensitive):
    """The keywords as one pattern shaped like their trie: (?:a(?:b|c)?|d...), greedy, so that the
    longest keyword is tried first at each position."""
    names = clean_names(keywords, case_sensitive)
    root: dict = {}
    for k in names:
        node = root
        for ch in k:
            node = node.setdefault(ch, {})
        node[""] = True

    def emit(node) -> str:
        # Iterative post-order, so that long keywords cannot exhaust the Python stack.
        done: dict[int, str] = {}
        stack = [(node, False)]
        while stack:
            n, expanded = stack.pop()
            children = sorted((c, sub) for c, sub in n.items() if c != "")
            if not expanded:
                stack.append((n, True))
                stack.extend((sub, False) for _, sub in children)
                continue
            parts = [re.escape(c) + done.pop(id(sub)) for c, sub in children]
            if not parts:
                done[id(n)] = ""
            elif "" in n:
                done[id(n)] = "(?:" + "|".join(parts) + ")?"
            elif len(parts) == 1:
                done[id(n)] = parts[0]
            else:
                done[id(n)] = "(?:" + "|".join(parts) + ")"
        return done[id(node)]

    flags = 0 if case_sensitive else re.IGNORECASE
    return re.compile(f"(?<![{RE_WORD}])(?:{emit(root)})(?![{RE_WORD}])", flags), names


def re_extract(compiled, case_sensitive):
    pattern, names = compiled

    def run(text):
        if case_sensitive:
            return [(names[m.group()], m.start(), m.end()) for m in pattern.finditer(text)]
        return [(names[m.group().lower()], m.start(), m.end()) for m in pattern.finditer(text)]

    return run


HS_CACHE: Path | None = None  # where compiled hyperscan databases are kept between runs
BEFORE = None  # with --before, another build of the module, timed in turns with this one


def load_before(path: Path):
    """The module built into `path` (a wordsieve.abi3.so of another commit), loaded beside the
    installed one without taking its place in sys.modules."""
    import importlib.util

    import wordsieve as installed

    spec = importlib.util.spec_from_file_location("wordsieve", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["wordsieve"] = installed  # loading an extension module registers it under its name
    assert module.KeywordProcessor is not installed.KeywordProcessor
    return module


def build_before(keywords, case_sensitive):
    p = BEFORE.KeywordProcessor(case_sensitive=case_sensitive)
    for w in keywords:
        p.add_keyword(w)
    return p


def hs_build(hyperscan, keywords, case_sensitive):
    names = list(clean_names(keywords, case_sensitive).items())
    flags = hyperscan.HS_FLAG_SOM_LEFTMOST | (0 if case_sensitive else hyperscan.HS_FLAG_CASELESS)
    exprs = [b"\\b" + re.escape(k).encode() + b"\\b" for k, _ in names]
    # 100,000 patterns take minutes to compile: the database is kept, by its patterns and flags.
    key = hashlib.sha256(b"\n".join(exprs) + str(flags).encode() + hyperscan.__version__.encode()).hexdigest()
    cached = HS_CACHE / f"{key[:24]}.hsdb" if HS_CACHE is not None else None
    if cached is not None and cached.exists():
        db = hyperscan.loadb(cached.read_bytes(), hyperscan.HS_MODE_BLOCK)
        db.scratch = hyperscan.Scratch(db)  # a loaded database comes without one
        return db, [name for _, name in names]
    db = hyperscan.Database()
    db.compile(expressions=exprs, ids=list(range(len(exprs))), elements=len(exprs),
               flags=[flags] * len(exprs))
    if cached is not None and len(exprs) > 1_000:
        cached.parent.mkdir(parents=True, exist_ok=True)
        cached.write_bytes(hyperscan.dumpb(db))
    return db, [name for _, name in names]


def hs_extract(built, case_sensitive):
    db, names = built

    def run(text):
        out = []
        append = out.append

        def on_match(i, start, end, flags, context):
            append((names[i], start, end))

        db.scan(text.encode(), match_event_handler=on_match)
        out.sort(key=lambda m: m[1])
        return out

    return run


def regex_fuzzy(regex, keywords, errors=1):
    names = clean_names(keywords, False)
    alts = "|".join(regex.escape(k) for k in sorted(names, key=len, reverse=True))
    pattern = regex.compile(f"(?<![{RE_WORD}])(?:{alts}){{e<={errors}}}(?![{RE_WORD}])")

    def make(text):
        low = text.lower()
        return lambda: [(m.group(), m.start(), m.end()) for m in pattern.finditer(low)]

    return make


# --------------------------------------------------------------------------------------------
# Sections


class Results:
    def __init__(self):
        self.rows: list[dict] = []
        self.notes: list[str] = []

    def add(self, section, workload, keywords, library, value, unit, **extra):
        row = {"section": section, "workload": workload, "keywords": keywords, "library": library,
               "value": value, "unit": unit, **extra}
        self.rows.append(row)
        shown = f"{value:,.3f}" if isinstance(value, float) else f"{value:,}"
        print(f"  {section:<10} {workload:<34} {keywords:>7} {library:<28} {shown:>14} {unit}", flush=True)
        return row

    def note(self, text):
        if text in self.notes:
            return
        self.notes.append(text)
        print("  note:", text, flush=True)


def same_answer(ours, theirs) -> dict:
    a = [(m.keyword, m.start, m.end) for m in ours]
    b = [(m.keyword, m.start, m.end) if hasattr(m, "keyword") else m for m in theirs]  # or another build's
    common = len(set(a) & set(b))
    return {"ours": len(a), "theirs": len(b), "common": common, "identical": a == b}


def section_exact(res: Results, inputs, peers: Peers, counts, repeat, budget):
    ahocorasick, hyperscan = peers.get("ahocorasick"), peers.get("hyperscan")
    text = inputs["text"]
    sample = inputs["ascii_sample"]
    for matches, case_sensitive, count, wl, kws, p in keyword_workloads(inputs, counts, "exact "):
        contestants = [("wordsieve", p.extract_keywords, budget)]
        if BEFORE is not None:
            contestants.append(("wordsieve (before)", build_before(kws, case_sensitive).extract_keywords, budget))
        if ahocorasick is not None:
            a = aho_build(ahocorasick, kws, case_sensitive)
            contestants.append(("pyahocorasick iter_long+filter", aho_extract(a, case_sensitive, True), budget))
            contestants.append(("pyahocorasick iter+filter", aho_extract(a, case_sensitive, False), budget))
        if hyperscan is not None and count <= 10_000:
            t0 = time.perf_counter()
            built = hs_build(hyperscan, kws, case_sensitive)
            res.add("build", f"hyperscan compile, {matches}", count, "hyperscan",
                    (time.perf_counter() - t0) * 1e6 / count, "us/keyword")
            contestants.append(("hyperscan", hs_extract(built, case_sensitive), budget))
        if count <= 10_000:
            contestants.append(("re prefix tree", re_extract(re_prefix_tree(kws, case_sensitive),
                                                              case_sensitive), budget))
            # The plain alternation costs time per keyword at every word start.
            contestants.append(("re alternation", re_extract(re_alternation(kws, case_sensitive),
                                                              case_sensitive), budget / 2))
        got = interleaved_throughput(contestants, text, repeat)
        ours = got["wordsieve"]
        res.add("extract", wl, count, "wordsieve", ours["mb_s"], "MB/s",
                matches=len(p.extract_keywords(text)), bytes=ours["bytes"])
        truth = p.extract_keywords(sample)
        for name, run_of, _ in contestants[1:]:
            res.add("extract", wl, count, name, got[name]["mb_s"], "MB/s", bytes=got[name]["bytes"],
                    ratio=ours["mb_s"] / got[name]["mb_s"], agreement=same_answer(truth, run_of(sample)))
        del p, contestants
        gc.collect()


def section_replace(res: Results, inputs, peers: Peers, counts, repeat, budget):
    ahocorasick = peers.get("ahocorasick")
    text = inputs["text"]
    sample = inputs["ascii_sample"]

    def splice(find):
        def run(t):
            pieces, last = [], 0
            for name, start, end in find(t):
                pieces.append(t[last:start])
                pieces.append(name)
                last = end
            pieces.append(t[last:])
            return "".join(pieces)
        return run

    for count in counts:
        kws = keyword_set(inputs, count, "many")
        p = build_wordsieve(kws, False)
        contestants = [("wordsieve", p.replace_keywords, budget)]
        if ahocorasick is not None:
            contestants.append(("pyahocorasick iter_long+filter",
                                splice(aho_extract(aho_build(ahocorasick, kws, False), False)), budget))
        if count <= 10_000:
            pat, names = re_prefix_tree(kws, False)
            contestants.append(("re prefix tree (sub)",
                                lambda t, pat=pat, names=names: pat.sub(lambda m: names[m.group().lower()], t), budget))
        got = interleaved_throughput(contestants, text, repeat)
        ours = got["wordsieve"]
        res.add("replace", "replace case-insens., many", count, "wordsieve", ours["mb_s"], "MB/s")
        truth = p.replace_keywords(sample)
        for name, run_of, _ in contestants[1:]:
            res.add("replace", "replace case-insens., many", count, name, got[name]["mb_s"], "MB/s",
                    ratio=ours["mb_s"] / got[name]["mb_s"], identical=run_of(sample) == truth)


def section_build(res: Results, inputs, peers: Peers, counts, repeat):
    ahocorasick = peers.get("ahocorasick")
    from wordsieve import KeywordProcessor

    for count in counts:
        kws = keyword_set(inputs, count, "many")
        lowered = [w.lower() for w in kws]

        def ours():
            p = KeywordProcessor()
            for w in kws:
                p.add_keyword(w)
            return p

        def theirs():
            a = ahocorasick.Automaton()
            for w in lowered:
                a.add_word(w, w)
            a.make_automaton()
            return a

        calls = {"wordsieve": ours}
        if ahocorasick is not None:
            calls["pyahocorasick add_word+make_automaton"] = theirs
        got = interleaved_times(calls, max(3, repeat if count < 100_000 else 3))
        res.add("build", "add_keyword (+ finalize)", count, "wordsieve", got["wordsieve"] * 1e6 / count, "us/keyword")
        if ahocorasick is not None:
            t = got["pyahocorasick add_word+make_automaton"]
            res.add("build", "add_keyword (+ finalize)", count, "pyahocorasick add_word+make_automaton",
                    t * 1e6 / count, "us/keyword", ratio=t / got["wordsieve"])
        gc.collect()


def section_memory(res: Results, inputs, counts):
    """Resident memory added by building (and, for wordsieve, a first search, which builds the tables it
    keeps), in a fresh process per library and size: the keyword
    list is read first, so only the structure itself is counted."""
    with tempfile.TemporaryDirectory() as tmp:
        for count in counts:
            if count < 10_000:
                continue  # a few pages of noise per hundred keywords
            kw_file = Path(tmp) / f"kw{count}.txt"
            kw_file.write_text("\n".join(w.lower() for w in keyword_set(inputs, count, "many")), encoding="utf-8")
            for library in ("wordsieve", "pyahocorasick"):
                out = child(["memory", library, str(kw_file)])
                if out is None:
                    continue
                res.add("memory", "resident bytes per keyword", count, library, out["per_keyword"], "bytes",
                        rss_delta=out["delta"])
    by = {(r["keywords"], r["library"]): r for r in res.rows if r["section"] == "memory"}
    for count in counts:
        ours, theirs = by.get((count, "wordsieve")), by.get((count, "pyahocorasick"))
        if ours and theirs:
            ours["ratio"] = ours["value"] / theirs["value"]


def section_pickle(res: Results, inputs, counts, repeat):
    from wordsieve import KeywordProcessor

    for count in counts:
        kws = keyword_set(inputs, count, "many")
        p = build_wordsieve(kws, False)
        blob = pickle.dumps(p)

        def rebuild():
            q = KeywordProcessor()
            for w in kws:
                q.add_keyword(w)
            return q

        got = interleaved_times({"dumps": lambda: pickle.dumps(p), "loads": lambda: pickle.loads(blob),
                                 "rebuild": rebuild}, max(3, repeat))
        res.add("pickle", "dumps", count, "wordsieve", got["dumps"] * 1e3, "ms", size=len(blob))
        res.add("pickle", "loads", count, "wordsieve", got["loads"] * 1e3, "ms", ratio=got["rebuild"] / got["loads"])
        res.add("pickle", "rebuild with add_keyword", count, "wordsieve", got["rebuild"] * 1e3, "ms")
        res.add("pickle", "pickle size per keyword", count, "wordsieve", len(blob) / count, "bytes")


def section_fuzzy(res: Results, inputs, peers: Peers, repeat, budget, quick):
    regex = peers.get("regex")
    text = inputs["text"]
    for count in (100, 1_000):
        kws = keyword_set(inputs, count, "many")
        p = build_wordsieve(kws, False)
        for t in (0.9, 0.8, 0.6):
            contestants = [("wordsieve", lambda s, t=t: p.extract_keywords(s, t), budget)]
            if regex is not None and (count == 100 or t == 0.8) and not (quick and count > 100):
                make = regex_fuzzy(regex, kws)
                contestants.append(("regex {e<=1}", lambda s, make=make: make(s)(), budget / 2))
            got = interleaved_throughput(contestants, text, max(3, repeat // 2))
            ours = got["wordsieve"]
            res.add("fuzzy", f"fuzzy threshold {t}", count, "wordsieve", ours["mb_s"], "MB/s", bytes=ours["bytes"])
            if "regex {e<=1}" in got:
                slow = got["regex {e<=1}"]
                res.add("fuzzy", f"fuzzy threshold {t}", count, "regex {e<=1}", slow["mb_s"], "MB/s",
                        bytes=slow["bytes"], ratio=ours["mb_s"] / slow["mb_s"])


def section_documents(res: Results, inputs, peers: Peers, counts, repeat, quick):
    """A Python loop over short documents, one call per document, each library answering the same
    question; the per-call cost of wordsieve's extract_keywords; and the batch method against the
    loop (in subprocesses, with 1 and 2 workers)."""
    ahocorasick, hyperscan = peers.get("ahocorasick"), peers.get("hyperscan")
    for kind, docs in inputs["documents"].items():
        docs = docs[:1_000] if quick else docs
        size = sum(len(d.encode()) for d in docs)
        for matches, case_sensitive, count, wl, kws, p in keyword_workloads(inputs, counts, f"{kind}, "):
            ours = p.extract_keywords
            calls = {"wordsieve": lambda ours=ours: [ours(d) for d in docs]}
            if BEFORE is not None:
                old = build_before(kws, case_sensitive).extract_keywords
                calls["wordsieve (before)"] = lambda old=old: [old(d) for d in docs]
            if ahocorasick is not None:
                a = aho_build(ahocorasick, kws, case_sensitive)
                for name, longest in (("pyahocorasick iter_long+filter", True), ("pyahocorasick iter+filter", False)):
                    run = aho_extract(a, case_sensitive, longest)
                    calls[name] = lambda run=run: [run(d) for d in docs]
            if hyperscan is not None:
                hs = hs_extract(hs_build(hyperscan, kws, case_sensitive), case_sensitive)
                calls["hyperscan"] = lambda hs=hs: [hs(d) for d in docs]
            got = interleaved_times(calls, repeat)
            found = sum(len(m) for m in calls["wordsieve"]())
            res.add("documents", wl, count, "wordsieve", size / got["wordsieve"] / 1e6, "MB/s",
                    documents=len(docs), bytes=size, matches=found)
            truth = [[(m.keyword, m.start, m.end) for m in ours(d)] for d in docs if d.isascii()]
            ascii_docs = [d for d in docs if d.isascii()]
            if BEFORE is not None:
                res.add("documents", wl, count, "wordsieve (before)", size / got["wordsieve (before)"] / 1e6,
                        "MB/s", ratio=got["wordsieve (before)"] / got["wordsieve"])
            for name in calls:
                if name.startswith("wordsieve"):
                    continue
                theirs = (hs if name == "hyperscan" else aho_extract(a, case_sensitive, "long" in name))
                res.add("documents", wl, count, name, size / got[name] / 1e6, "MB/s",
                        ratio=got[name] / got["wordsieve"],
                        identical=[theirs(d) for d in ascii_docs] == truth)
            del p, calls
            gc.collect()
    # The cost of one call, 10,000 keywords: an empty text, a 64-byte sentence with no match, and
    # one with matches.
    kws = keyword_set(inputs, 10_000, "many")
    p = build_wordsieve(kws, False)
    kjv = [s for s in inputs["documents"]["sentences"] if len(s.encode()) == 64]
    quiet = next(s for s in kjv if not p.extract_keywords(s))
    busy = next(s for s in kjv if len(p.extract_keywords(s)) >= 3)
    n = 20_000 if quick else 200_000

    def per_call(ex, text):
        def loop():
            for _ in range(n):
                ex(text)
        return loop

    builds = {"wordsieve": p.extract_keywords}
    if BEFORE is not None:
        builds["wordsieve (before)"] = build_before(kws, False).extract_keywords
    calls = {}
    for library, ex in builds.items():
        for case, text in (("empty", ""), ("quiet", quiet), ("busy", busy)):
            calls[(library, case)] = per_call(ex, text)
    got = interleaved_times(calls, repeat)
    for library in builds:
        res.add("per call", "empty text", 10_000, library, got[(library, "empty")] / n * 1e9, "ns")
        res.add("per call", "64-byte sentence, no match", 10_000, library, got[(library, "quiet")] / n * 1e9, "ns",
                text=quiet)
        res.add("per call", f"64-byte sentence, {len(p.extract_keywords(busy))} matches", 10_000, library,
                got[(library, "busy")] / n * 1e9, "ns", text=busy)
    # Batches of the same documents against the loop.
    for kind in inputs["documents"]:
        for count in (100, 10_000):
            for matches in ("many", "few"):
                for workers in (1, 2):
                    out = child(["batch-documents", kind, str(count), matches] + (["quick"] if quick else []),
                                {"RAYON_NUM_THREADS": str(workers)})
                    if out is None:
                        continue
                    load = os.getloadavg()[0]
                    res.add("batch", f"batch extract, {kind}, {matches} matches, {workers} worker(s)", count,
                            "wordsieve", out["loop"] / out["batch"], "x loop", loop_ms=out["loop"] * 1e3,
                            batch_ms=out["batch"] * 1e3, texts=out["texts"], load_average=load,
                            caller_bound=out["loop_cpu"] / out["batch_caller_cpu"])
                    if workers > 1 and load > 1.5:
                        res.note(f"batch with {workers} workers ran at a load average of {load:.1f}: other "
                                 "processes held CPUs, so the parallel speed-up is understated")


def section_fuzzy_goals(res: Results, args):
    """The fuzzy search's own goals (bench/fuzzy_goals.py, in a child process): the first 20,000
    words of keywords_en.txt against prose_kjv.txt."""
    cmd = [sys.executable, str(REPO / "bench" / "fuzzy_goals.py"), "--corpus", str(args.corpus)]
    if args.quick:
        cmd.append("--quick")
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        res.note(f"fuzzy goals failed: {proc.stderr[-500:]}")
        return
    for line in proc.stdout.splitlines():
        row = json.loads(line)
        section = row.pop("section")
        if section == "ratios":
            res.add("fuzzy goals", f"fuzzy {row['threshold']}, whole text", 20_000, "wordsieve",
                    row["x_exact"], "x exact", **row)
        elif section == "low":
            res.add("fuzzy goals", f"fuzzy {row['threshold']}, first 100 KB", 20_000, "wordsieve",
                    row["seconds"], "s", **row)
        elif section == "zero":
            res.add("fuzzy goals", f"fuzzy 0, first {row['bytes']:,} bytes", 20_000, "wordsieve",
                    row["us_per_byte"], "us/byte", **row)
        elif section == "batch":
            if row["workers"] == 1:
                res.add("fuzzy goals", "batch of lines 0.9, 1 worker", 20_000, "wordsieve",
                        row["batch_vs_one_call"], "x one call", **row)
            else:
                res.add("fuzzy goals", "batch of lines 0.9, 2 workers", 20_000, "wordsieve",
                        row["loop_vs_batch"], "x loop", **row)
        elif section == "memory":
            res.add("fuzzy goals", f"memory of one call, {row['case']}", 20_000, "wordsieve",
                    row["extra_bytes"] / row["limit_bytes"], "of the limit", **row)


def section_batch(res: Results, counts):
    for count in counts:
        if count != 10_000:
            continue
        for matches in ("many", "few"):
            for workers in (1, 2):
                out = child(["batch", str(count), matches], {"RAYON_NUM_THREADS": str(workers)})
                if out is None:
                    continue
                load = os.getloadavg()[0]
                res.add("batch", f"batch extract, {matches} matches, {workers} worker(s)", count, "wordsieve",
                        out["loop"] / out["batch"], "x loop", loop_ms=out["loop"] * 1e3,
                        batch_ms=out["batch"] * 1e3, texts=out["texts"], load_average=load)
                if workers > 1 and load > 1.5:
                    res.note(f"batch with {workers} workers ran at a load average of {load:.1f}: other "
                             "processes held CPUs, so the parallel speed-up is understated")


# --------------------------------------------------------------------------------------------
# C++ benchmarks


def section_cpp(res: Results, inputs, args):
    build = Path(args.cpp_build)
    if not args.skip_cpp_build:
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DWORDSIEVE_PYTHON=OFF",
                        "-DWORDSIEVE_TESTS=OFF", "-DWORDSIEVE_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build), "--target", "scan_bench", "fuzzy_bench"], check=True,
                       stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as tmp:
        text_file = Path(tmp) / "text.txt"
        text_file.write_text(inputs["text"], encoding="utf-8")
        for count in (100, 10_000):
            kw_file = Path(tmp) / f"kw{count}.txt"
            kw_file.write_text("\n".join(keyword_set(inputs, count, "many")) + "\n", encoding="utf-8")
            out = subprocess.run([str(build / "scan_bench"), str(kw_file), str(text_file), "0"],
                                 env={**os.environ, "SCAN_BENCH_ONLY": "", "SCAN_BENCH_EXACT_ONLY": "1"},
                                 check=True, capture_output=True, text=True).stdout
            figures = {}
            for line in out.splitlines():
                m = re.match(r"(.+?)\s{2,}([0-9.]+) MB/s", line)
                if m:
                    figures[m.group(1).strip()] = float(m.group(2))
            memcpy = figures.get("memcpy")
            for name, mbs in figures.items():
                res.add("raw scan", name, count, "C++ engine" if name not in ("memcpy", "memchr (absent byte)")
                        else "libc", mbs, "MB/s", of_memcpy=(mbs / memcpy) if memcpy else None)
        kw_file = Path(tmp) / "kw1000.txt"
        kw_file.write_text("\n".join(keyword_set(inputs, 1_000, "many")) + "\n", encoding="utf-8")
        fuzzy_bytes = "4096" if args.quick else "16384"
        out = subprocess.run([str(build / "fuzzy_bench"), str(kw_file), str(text_file), fuzzy_bytes,
                              "0.9", "0.8", "0.6"], check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("{"):
                row = json.loads(line)
                row.pop("keywords", None)
                res.add("fuzzy C++", f"fuzzy threshold {row['threshold']}", 1_000, "search vs literal",
                        row["literal_s"] / row["fast_s"] if row.get("fast_s") else 0.0, "x literal", **row)


# --------------------------------------------------------------------------------------------
# Children: measurements that need a fresh process


def child(argv, env=None):
    proc = subprocess.run([sys.executable, __file__, "--child", *argv], capture_output=True, text=True,
                          env={**os.environ, **(env or {})})
    if proc.returncode != 0:
        print(proc.stderr, file=sys.stderr)
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_child(argv, corpus: Path):
    kind = argv[0]
    if kind == "memory":
        library, path = argv[1], argv[2]
        if library == "wordsieve":
            from wordsieve import KeywordProcessor as build
        else:
            from ahocorasick import Automaton as build
        kws = Path(path).read_text(encoding="utf-8").split("\n")
        gc.collect()
        before = rss_bytes()
        built = build()
        if library == "wordsieve":
            for w in kws:
                built.add_keyword(w)
            built.extract_keywords("a first search builds the search's tables")
        else:
            for w in kws:
                built.add_word(w, w)  # the value is the string the caller already holds
            built.make_automaton()
        gc.collect()
        delta = rss_bytes() - before
        print(json.dumps({"delta": delta, "per_keyword": delta / len(kws)}))
    elif kind == "batch":
        count, matches = int(argv[1]), argv[2]
        inputs = load_inputs(corpus, 2_000_000)
        p = build_wordsieve(keyword_set(inputs, count, matches), False)
        lines = inputs["lines"]
        assert p.parallel_extract_keywords_from_texts(lines[:50]) is not None
        # Each turn runs its contestant twice and times the second run: the worker threads sit on
        # other cores, whose caches the loop does not warm, and repeated batches keep them warm.
        got = interleaved_times({"loop": lambda: [p.extract_keywords(t) for t in lines],
                                 "batch": lambda: p.parallel_extract_keywords_from_texts(lines)}, 9,
                                warm_each_turn=True)
        loop, batch = got["loop"], got["batch"]
        print(json.dumps({"loop": loop, "batch": batch, "texts": len(lines)}))
    elif kind == "batch-documents":
        documents, count, matches = argv[1], int(argv[2]), argv[3]
        inputs = load_inputs(corpus, 2_000_000)
        docs = inputs["documents"][documents][:1_000 if "quick" in argv else None]
        p = build_wordsieve(keyword_set(inputs, count, matches), False)
        assert p.parallel_extract_keywords_from_texts(docs[:50]) is not None
        calls = {"loop": lambda: [p.extract_keywords(t) for t in docs],
                 "batch": lambda: p.parallel_extract_keywords_from_texts(docs)}
        got = interleaved_times(calls, 9, warm_each_turn=True)
        # The part of a batch no number of workers shortens: the calling thread takes every text and
        # makes every result's Python objects. Its CPU time against the loop's bounds the speed-up.
        global clock
        clock = time.thread_time
        cpu = interleaved_times(calls, 9, warm_each_turn=True)
        print(json.dumps({"loop": got["loop"], "batch": got["batch"], "texts": len(docs),
                          "loop_cpu": cpu["loop"], "batch_caller_cpu": cpu["batch"]}))


# --------------------------------------------------------------------------------------------
# Report


def goals(res: Results) -> list[dict]:
    """The performance goals, each with the figures of this run it is judged on."""
    def value(section, workload, keywords, library):
        for r in res.rows:
            if (r["section"], r["workload"], r["keywords"], r["library"]) == (section, workload, keywords, library):
                return r["value"]
        return None

    def ratio(a, b):
        return None if a is None or b is None or b == 0 else a / b

    out = []

    def goal(name, measured, target, higher_is_better=True, detail=""):
        met = None if measured is None else (measured >= target if higher_is_better else measured <= target)
        out.append({"goal": name, "measured": measured, "target": target, "met": met, "detail": detail,
                    "sign": ">=" if higher_is_better else "<="})

    wl = "exact case-insens., many matches"
    ours = value("extract", wl, 10_000, "wordsieve")
    aho = [value("extract", wl, 10_000, n) for n in ("pyahocorasick iter_long+filter", "pyahocorasick iter+filter")]
    aho = [a for a in aho if a is not None]
    goal("extract 10,000 kw, case-insens., vs pyahocorasick pipeline (best variant)",
         ratio(ours, max(aho) if aho else None), 2.0)
    goal("extract 10,000 kw vs re alternation", ratio(ours, value("extract", wl, 10_000, "re alternation")), 100.0)
    goal("extract 10,000 kw vs re prefix tree", ratio(ours, value("extract", wl, 10_000, "re prefix tree")), 10.0)
    goal("extract 10,000 kw vs hyperscan", ratio(ours, value("extract", wl, 10_000, "hyperscan")), 1.0)
    wl_few = "exact case-insens., few matches"
    goal("extract 10,000 kw vs hyperscan, few matches (not a stated goal)",
         ratio(value("extract", wl_few, 10_000, "wordsieve"), value("extract", wl_few, 10_000, "hyperscan")), 1.0)
    for count, target in ((10_000, 0.1), (100, 0.25)):
        scan = value("raw scan", "exact, case-insensitive", count, "C++ engine")
        goal(f"raw scan {count:,} kw, share of memcpy", ratio(scan, value("raw scan", "memcpy", count, "libc")), target)
    fuzzy = [r for r in res.rows if r["section"] == "fuzzy C++" and r["workload"] == "fuzzy threshold 0.8"]
    if fuzzy:
        goal("fuzzy 0.8, 1,000 kw, vs literal work-stack search (identical output: "
             f"{fuzzy[0].get('identical')})", fuzzy[0]["value"], 100.0)
    def fuzzy_goal(workload, target, higher_is_better=False):
        goal(f"fuzzy goals: {workload}", value("fuzzy goals", workload, 20_000, "wordsieve"), target,
             higher_is_better)

    for t, target in ((0.9, 3.0), (0.8, 5.0), (0.7, 15.0)):
        fuzzy_goal(f"fuzzy {t}, whole text", target)
    fuzzy_goal("fuzzy 0.5, first 100 KB", 0.1)
    fuzzy_goal("fuzzy 0.3, first 100 KB", 0.5)
    zero = {r["bytes"]: r["value"] for r in res.rows if r["section"] == "fuzzy goals"
            and r["workload"].startswith("fuzzy 0, first")}
    if len(zero) >= 2:
        goal("fuzzy goals: fuzzy 0, time per byte at the longest text / at the shortest",
             zero[max(zero)] / zero[min(zero)], 1.5, False)
    fuzzy_goal("batch of lines 0.9, 1 worker", 1.2)
    fuzzy_goal("batch of lines 0.9, 2 workers", 1.8, True)
    for case in ("kjv-0.7", "kjv100k-0.3", "long-keyword-0"):
        fuzzy_goal(f"memory of one call, {case}", 1.0)
    goal("fuzzy 0.8, 1,000 kw, vs regex {e<=1}",
         ratio(value("fuzzy", "fuzzy threshold 0.8", 1_000, "wordsieve"),
               value("fuzzy", "fuzzy threshold 0.8", 1_000, "regex {e<=1}")), 1.0)
    for matches in ("many", "few"):
        goal(f"batch, 2 workers, {matches} matches, vs Python loop",
             value("batch", f"batch extract, {matches} matches, 2 worker(s)", 10_000, "wordsieve"), 1.8)
    goal("memory 100,000 kw, share of pyahocorasick",
         ratio(value("memory", "resident bytes per keyword", 100_000, "wordsieve"),
               value("memory", "resident bytes per keyword", 100_000, "pyahocorasick")), 0.5, False)
    # Short documents: the worst case over kinds, cases, match sets and keyword counts.
    docs = [r for r in res.rows if r["section"] == "documents" and r.get("ratio") is not None]
    for peer, target in (("hyperscan", 1.5), ("pyahocorasick", 3.0)):
        worst = {}
        for r in docs:
            if r["library"].startswith(peer):
                key = (r["workload"], r["keywords"])
                # Against pyahocorasick, its faster variant.
                worst[key] = min(worst.get(key, float("inf")), r["ratio"])
        if worst:
            (wl, count), least = min(worst.items(), key=lambda kv: kv[1])
            goal(f"short documents vs {peer}, worst case ({wl}, {count:,} kw)", least, target)
    for label, workload, target in (("empty text", "empty text", 100.0),
                                    ("64-byte sentence without match", "64-byte sentence, no match", 250.0)):
        goal(f"per call, {label}, 10,000 kw (ns)", value("per call", workload, 10_000, "wordsieve"), target, False)
    batches = [r for r in res.rows if r["section"] == "batch" and ", 2 worker" in r["workload"] and
               ("entries" in r["workload"] or "sentences" in r["workload"])]
    if batches:
        worst = min(batches, key=lambda r: r["value"])
        goal(f"batch vs loop over short documents, 2 workers, worst case ({worst['workload']}, "
             f"{worst['keywords']:,} kw)", worst["value"], 1.8)
    # With --before: this build against the other one on the long text, at 10,000 keywords and more.
    for count in (10_000, 100_000):
        slowest = [(r["ratio"], r["workload"]) for r in res.rows if r["section"] == "extract" and
                   r["library"] == "wordsieve (before)" and r["keywords"] == count]
        if slowest:
            least, wl = min(slowest)
            goal(f"one long text, {count:,} kw, against the build before, worst case ({wl})", least, 1.0)
    long_text = []
    for matches in ("many", "few"):
        for case in ("case-insens.", "case-sens."):
            wl = f"exact {case}, {matches} matches"
            long_text.append((ratio(value("extract", wl, 100, "wordsieve"), value("extract", wl, 100, "hyperscan")), wl))
    long_text = [(r, wl) for r, wl in long_text if r is not None]
    if long_text:
        least, wl = min(long_text)
        goal(f"one long text, 100 kw vs hyperscan, worst case ({wl})", least, 1.0)
    for count in (10_000, 100_000):
        goal(f"build {count:,} kw, pyahocorasick time / ours",
             ratio(value("build", "add_keyword (+ finalize)", count, "pyahocorasick add_word+make_automaton"),
                   value("build", "add_keyword (+ finalize)", count, "wordsieve")), 1.0)
    goal("pickle loads 100,000 kw vs rebuilding",
         ratio(value("pickle", "rebuild with add_keyword", 100_000, "wordsieve"),
               value("pickle", "loads", 100_000, "wordsieve")), 5.0)
    return out


def write_report(res: Results, out: Path, meta: dict):
    out.mkdir(parents=True, exist_ok=True)
    judged = goals(res)
    print("\ngoals:")
    for g in judged:
        shown = "n/a" if g["measured"] is None else f"{g['measured']:.3g}"
        verdict = {True: "met", False: "NOT met", None: "not measured"}[g["met"]]
        print(f"  {verdict:<12} {shown:>8} (target {g['sign']} {g['target']}) {g['goal']}")
    (out / "results.json").write_text(json.dumps({"meta": meta, "notes": res.notes, "goals": judged,
                                                  "rows": res.rows}, indent=1))
    lines = ["| section | workload | keywords | library | median | unit | wordsieve is |",
             "|---|---|---:|---|---:|---|---|"]
    for r in res.rows:
        ratio = r.get("ratio")
        if ratio is None:
            rel = ""
        elif r["section"] in ("memory",):
            rel = f"{ratio:.2f}x its memory"
        elif r["section"] == "pickle":
            rel = f"loads in {1 / ratio:.2f} of the rebuilding time"
        else:
            rel = f"{ratio:.2f}x as fast"
        if r.get("of_memcpy") is not None and r["library"] != "libc":
            rel = f"{r['of_memcpy']:.3f} of memcpy"
        if r.get("caller_bound") is not None:
            rel = f"at most {r['caller_bound']:.2f}x (the calling thread's share)"
        v = r["value"]
        shown = f"{v:,.2f}" if isinstance(v, float) else f"{v:,}"
        lines.append(f"| {r['section']} | {r['workload']} | {r['keywords']:,} | {r['library']} | {shown} | "
                     f"{r['unit']} | {rel} |")
    glines = ["| goal | measured | target | met |", "|---|---:|---:|---|"]
    for g in judged:
        shown = "n/a" if g["measured"] is None else f"{g['measured']:.3g}"
        glines.append(f"| {g['goal']} | {shown} | {g['sign']} {g['target']} | "
                      f"{ {True: 'yes', False: 'no', None: 'not measured'}[g['met']] } |")
    (out / "results.md").write_text("\n".join(glines) + "\n\n" + "\n".join(lines) + "\n\n"
                                    + "\n".join(f"- {n}" for n in res.notes) + "\n")
    chart(res, out / "throughput.png")


# One colour per library in every panel.
COLORS = {"wordsieve": "black", "pyahocorasick iter_long+filter": "tab:green", "pyahocorasick iter+filter": "tab:olive",
          "hyperscan": "tab:blue", "re prefix tree": "tab:orange", "re alternation": "tab:red"}


def chart(res: Results, path: Path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as exc:
        res.note(f"no chart: matplotlib unavailable ({exc})")
        return
    panels = [("exact case-insens., many matches", "extract"), ("exact case-insens., few matches", "extract"),
              ("replace case-insens., many", "replace")]
    fig, axes = plt.subplots(1, len(panels), figsize=(5.2 * len(panels), 4.4))
    for ax, (workload, section) in zip(axes, panels):
        libs: dict[str, list] = {}
        for r in res.rows:
            if r["section"] == section and r["workload"] == workload:
                libs.setdefault(r["library"], []).append((r["keywords"], r["value"]))
        for lib, pts in sorted(libs.items()):
            pts.sort()
            ax.plot([k for k, _ in pts], [v for _, v in pts], marker="o", color=COLORS.get(lib.split(" (")[0]),
                    linewidth=2.5 if lib == "wordsieve" else 1.2, label=lib)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("keywords")
        ax.set_ylabel("MB/s (from Python, median)")
        ax.set_title(workload, fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        if libs:
            ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=REPO / "bench" / "results")
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--quick", action="store_true", help="small inputs, one pass of every section")
    parser.add_argument("--only", default="", help="comma-separated sections to run (default: all)")
    parser.add_argument("--cpp-build", default=str(REPO / "build-bench"))
    parser.add_argument("--skip-cpp", action="store_true", help="leave out the C++ benchmarks")
    parser.add_argument("--skip-cpp-build", action="store_true", help="use the binaries already in --cpp-build")
    parser.add_argument("--cpu-time", action="store_true",
                        help="time single-threaded runs by the thread's CPU time (for a shared machine)")
    parser.add_argument("--wait-quiet", type=float, default=0.0, metavar="SECONDS",
                        help="before each section, wait up to SECONDS for other processes to leave the CPUs")
    parser.add_argument("--before", type=Path, metavar="MODULE",
                        help="another build's wordsieve.abi3.so, timed in turns with the installed one "
                             "(one long text, short documents, the cost of a call)")
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(args.child, args.corpus)
        return

    global HS_CACHE, clock, BEFORE
    HS_CACHE = args.out / "hyperscan-cache"
    if args.before is not None:
        BEFORE = load_before(args.before)
    if args.cpu_time:
        clock = time.thread_time
    t_start = time.perf_counter()
    repeat = 3 if args.quick else 7
    budget = 0.02 if args.quick else 0.15
    counts = (100, 10_000) if args.quick else KEYWORD_COUNTS
    inputs = load_inputs(args.corpus, 400_000 if args.quick else 2_000_000)
    peers = Peers()
    import wordsieve

    meta = {
        "python": sys.version.split()[0], "machine": platform.machine(), "cpus": os.cpu_count(),
        "processor": platform.processor(), "wordsieve": getattr(wordsieve, "__file__", "?"),
        "peers": peers.status(), "text_bytes": len(inputs["text"].encode()), "quick": args.quick,
        "clock": "thread CPU time" if args.cpu_time else "wall clock",
        "keyword_sets": "shuffled keywords_en.txt (20,000 English words); past 20,000, deterministic "
                        "pseudo-words (seeded generator in this script)",
    }
    res = Results()
    for name, status in meta["peers"].items():
        if status.startswith("missing"):
            res.note(f"{name} {status}")
    print(f"text: {meta['text_bytes']:,} bytes of English prose; peers: {meta['peers']}", flush=True)
    only = set(filter(None, args.only.split(",")))
    sections = [
        ("build", lambda: section_build(res, inputs, peers, counts, repeat)),
        ("memory", lambda: section_memory(res, inputs, counts)),
        ("extract", lambda: section_exact(res, inputs, peers, counts, repeat, budget)),
        ("replace", lambda: section_replace(res, inputs, peers, counts, repeat, budget)),
        ("fuzzy", lambda: section_fuzzy(res, inputs, peers, repeat, budget, args.quick)),
        ("fuzzy_goals", lambda: section_fuzzy_goals(res, args)),
        ("batch", lambda: section_batch(res, counts)),
        ("documents", lambda: section_documents(res, inputs, peers, counts, repeat, args.quick)),
        ("pickle", lambda: section_pickle(res, inputs, counts, repeat)),
        ("cpp", lambda: None if args.skip_cpp else section_cpp(res, inputs, args)),
    ]
    for name, run in sections:
        if only and name not in only:
            continue
        busy = wait_until_quiet(args.wait_quiet) if args.wait_quiet > 0 else others_busy_share(0.2)
        meta.setdefault("others_busy_cores", {})[name] = round(busy, 2)
        if busy > 0.2:
            res.note(f"[{name}] other processes were using {busy:.1f} cores when it started")
        t0 = time.perf_counter()
        print(f"[{name}]", flush=True)
        run()
        print(f"[{name}] {time.perf_counter() - t0:.1f} s", flush=True)
    meta["seconds"] = time.perf_counter() - t_start
    write_report(res, args.out, meta)
    print(f"done in {meta['seconds']:.0f} s; wrote {args.out}/results.json, results.md, throughput.png")


if __name__ == "__main__":
    main()
