"""Fuzzy extraction against exact extraction, on the workloads its goals are stated for.

    python bench/fuzzy_goals.py                  # every section, about ten minutes
    python bench/fuzzy_goals.py --quick          # smaller texts, one run of each
    python bench/fuzzy_goals.py --only ratios,memory
    python bench/fuzzy_goals.py --cpu-time --repeat 3   # on a shared machine

The keywords are the first 20,000 words of keywords_en.txt, the text prose_kjv.txt, case
ignored, as a user would pass them. Sections (one JSON object per line on standard output):

- ratios: exact and fuzzy extraction (0.9, 0.8, 0.7) over the whole text, taken in turns, medians;
  each threshold as a multiple of the exact time of the same turns, and of the exact time in a loop
  of its own right after them (the exact call's time depends on the allocator's state).
- low: thresholds 0.5 and 0.3 over the first 100 KB.
- zero: threshold 0 over the first 10 KB, 100 KB and 1 MB: time per byte.
- batch: the text split into lines, threshold 0.9, in a child process per worker count: the batch
  against one call on the whole text (one worker) and against a loop of single calls (two). Each
  is timed as the first fuzzy work of the processor since a change: the results a processor keeps
  from one single call to the next would otherwise serve the repeated text.
- memory: peak resident memory added by one call, in a child process each: the text at 0.7 and
  0.3 (first 100 KB), and a 1 KB keyword ("a" * 1000) against a 10 KB text ("b" * 10000) at
  threshold 0.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DEFAULT_CORPUS = Path(os.environ.get("WORDSIEVE_CORPUS", REPO.parent / "shared" / "corpus"))


def load(corpus: Path):
    from wordsieve import KeywordProcessor

    words = [w for w in (corpus / "keywords_en.txt").read_text(encoding="utf-8").split("\n") if w]
    p = KeywordProcessor()
    for w in words[:20_000]:
        p.add_keyword(w)
    return p, (corpus / "prose_kjv.txt").read_text(encoding="utf-8")


def head(text: str, size: int) -> str:
    return text.encode()[:size].decode("utf-8", "ignore")


# The clock of the single-threaded sections: the wall clock, or with --cpu-time the CPU time of the
# calling thread, which other processes on a shared machine do not inflate. The batch section always
# reads the wall clock (its work runs on other threads).
clock = time.perf_counter


def forget_kept(p):
    """Drops what a processor keeps from one single fuzzy call for the next (any change does), so
    that a timed call starts as the first call on a new text would."""
    p.add_keyword("\x00forget")
    p.remove_keyword("\x00forget")


def turns(calls: dict, repeat: int, timer=None, before=None) -> dict:
    """Median seconds of each call, the calls taken in turns after one warm-up each; `before` runs
    untimed before each call."""
    timer = timer or clock
    for fn in calls.values():
        fn()
    times = {name: [] for name in calls}
    for _ in range(repeat):
        for name, fn in calls.items():
            if before is not None:
                before()
            t0 = timer()
            kept = fn()
            times[name].append(timer() - t0)
            del kept
    return {name: statistics.median(t) for name, t in times.items()}


def emit(row: dict):
    print(json.dumps(row), flush=True)


def section_ratios(p, text, repeat):
    got = turns({"exact": lambda: p.extract_keywords(text),
                 **{f"{t}": (lambda t=t: p.extract_keywords(text, t)) for t in (0.9, 0.8, 0.7)}},
                repeat)
    # The exact extraction's time depends on whether the allocator has memory to hand back (after a
    # larger call it does; calls of its own size alone may take fresh pages every time), so it is
    # also timed in a loop of its own, after the fuzzy calls: both yardsticks are reported.
    alone = turns({"exact": lambda: p.extract_keywords(text)}, repeat)["exact"]
    for t in (0.9, 0.8, 0.7):
        emit({"section": "ratios", "threshold": t, "bytes": len(text.encode()), "seconds": got[f"{t}"],
              "exact_seconds": got["exact"], "x_exact": got[f"{t}"] / got["exact"],
              "exact_alone_seconds": alone, "x_exact_alone": got[f"{t}"] / alone})


def section_low(p, text, repeat):
    part = head(text, 100_000)
    got = turns({f"{t}": (lambda t=t: p.extract_keywords(part, t)) for t in (0.5, 0.3)}, repeat)
    for t in (0.5, 0.3):
        emit({"section": "low", "threshold": t, "bytes": len(part.encode()), "seconds": got[f"{t}"]})


def section_zero(p, text, sizes):
    for size in sizes:
        part = head(text, size)
        t0 = clock()
        p.extract_keywords(part, 0.0)
        seconds = clock() - t0
        emit({"section": "zero", "bytes": len(part.encode()), "seconds": seconds,
              "us_per_byte": seconds * 1e6 / len(part.encode())})


def child(args: list[str], env: dict | None = None) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", *args], capture_output=True, text=True,
                         env={**os.environ, **(env or {})}, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def section_batch(corpus: Path, quick: bool):
    for workers in (1, 2):
        got = child(["batch", str(corpus), "1" if quick else "0"], {"RAYON_NUM_THREADS": str(workers)})
        if workers == 1:
            emit({"section": "batch", "workers": 1, "threshold": 0.9, **got,
                  "batch_vs_one_call": got["batch"] / got["one_call"]})
        else:
            emit({"section": "batch", "workers": 2, "threshold": 0.9, **got,
                  "loop_vs_batch": got["loop"] / got["batch"]})


def section_memory(corpus: Path):
    for case in ("kjv-0.7", "kjv100k-0.3", "long-keyword-0"):
        emit({"section": "memory", "case": case, **child(["memory", str(corpus), case])})


def resident_mark():
    """The resident bytes now, and a function that gives the peak since. On Linux the peak is reset
    first (/proc/self/clear_refs), so loading the inputs, whose peak may lie above the call's,
    does not hide the call's own; elsewhere it is the process's peak so far (ru_maxrss)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")

        def status(field: str) -> int:
            with open("/proc/self/status") as lines:
                return next(int(l.split()[1]) * 1024 for l in lines if l.startswith(field))

        return status("VmRSS:"), lambda: status("VmHWM:")
    except OSError:
        scale = 1 if sys.platform == "darwin" else 1024  # bytes on macOS, KiB elsewhere
        peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * scale  # noqa: E731
        return peak(), peak


def run_child(argv: list[str]):
    kind, corpus = argv[0], Path(argv[1])
    if kind == "batch":
        p, text = load(corpus)
        if argv[2] == "1":
            text = head(text, 400_000)
        lines = [line for line in text.split("\n") if line]
        whole = "\n".join(lines)
        p.parallel_extract_keywords_from_texts(lines[:20], 0.9)
        got = turns({"one_call": lambda: p.extract_keywords(whole, 0.9),
                     "loop": lambda: [p.extract_keywords(line, 0.9) for line in lines],
                     "batch": lambda: p.parallel_extract_keywords_from_texts(lines, 0.9)}, 3,
                time.perf_counter, before=lambda: forget_kept(p))
        print(json.dumps({**got, "texts": len(lines)}))
    elif kind == "memory":
        case = argv[2]
        from wordsieve import KeywordProcessor

        if case == "long-keyword-0":
            p = KeywordProcessor()
            p.add_keyword("a" * 1000)
            text = "b" * 10_000
            threshold = 0.0
        else:
            p, text = load(corpus)
            if case == "kjv100k-0.3":
                text, threshold = head(text, 100_000), 0.3
            else:
                threshold = 0.7
        before, peak_since = resident_mark()
        t0 = time.perf_counter()
        p.extract_keywords(text, threshold)
        seconds = time.perf_counter() - t0
        extra = max(0, peak_since() - before)
        size = len(text.encode())
        print(json.dumps({"bytes": size, "threshold": threshold, "seconds": seconds, "extra_bytes": extra,
                          "limit_bytes": 64 * 2**20 + 32 * size}))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--repeat", type=int, default=0, help="turns of each timed section (default 5, 1 with --quick)")
    parser.add_argument("--zero-sizes", default="", help="text sizes of the threshold-0 section, comma-separated")
    parser.add_argument("--cpu-time", action="store_true", help="time single-threaded calls by the thread's CPU time")
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run_child(args.child)
        return
    only = set(filter(None, args.only.split(",")))
    repeat = args.repeat or (1 if args.quick else 5)
    if args.cpu_time:
        global clock
        clock = time.thread_time
    zero_sizes = tuple(int(x) for x in args.zero_sizes.split(",") if x) or \
        ((10_000, 100_000) if args.quick else (10_000, 100_000, 1_000_000))
    p, text = load(args.corpus)
    if args.quick:
        text = head(text, 400_000)
    sections = {
        "ratios": lambda: section_ratios(p, text, repeat),
        "low": lambda: section_low(p, text, repeat),
        "zero": lambda: section_zero(p, text, zero_sizes),
        "batch": lambda: section_batch(args.corpus, args.quick),
        "memory": lambda: section_memory(args.corpus),
    }
    for name, run in sections.items():
        if not only or name in only:
            run()


if __name__ == "__main__":
    main()
