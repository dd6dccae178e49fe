"""Throughput of the Python API on the developer corpus: exact and fuzzy extraction, replacement and
batches. Run by hand; prints one line per workload (median of several runs).

    python bench/bench_python.py [--corpus DIR] [--keywords N] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from pathlib import Path

from wordsieve import KeywordProcessor

DEFAULT_CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def median_seconds(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", type=Path, default=Path(os.environ.get("WORDSIEVE_CORPUS", DEFAULT_CORPUS)))
    parser.add_argument("--keywords", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--fuzzy-bytes", type=int, default=200_000)
    args = parser.parse_args()

    words = (args.corpus / "keywords_en.txt").read_text(encoding="utf-8").split("\n")
    words = [w for w in words if w][: args.keywords]
    prose = (args.corpus / "prose_kjv.txt").read_text(encoding="utf-8")
    prose += (args.corpus / "prose_jargon.txt").read_text(encoding="utf-8")
    size_mb = len(prose.encode()) / 1e6

    def build(case_sensitive: bool) -> KeywordProcessor:
        p = KeywordProcessor(case_sensitive=case_sensitive)
        for w in words:
            p.add_keyword(w, w.upper())
        return p

    t_build = median_seconds(lambda: build(False), 3)
    print(f"build {len(words)} keywords: {t_build * 1e6 / len(words):.2f} us/keyword")

    ci, cs = build(False), build(True)
    n_matches = len(ci.extract_keywords(prose))
    for name, p in (("case-insensitive", ci), ("case-sensitive", cs)):
        t = median_seconds(lambda: p.extract_keywords(prose), args.repeat)
        print(f"extract exact {name}: {size_mb / t:8.1f} MB/s ({n_matches} matches in {size_mb:.1f} MB)")
    t = median_seconds(lambda: ci.replace_keywords(prose), args.repeat)
    print(f"replace exact: {size_mb / t:8.1f} MB/s")

    fuzzy_text = prose[: args.fuzzy_bytes]
    fuzzy_mb = len(fuzzy_text.encode()) / 1e6
    for threshold in (0.9, 0.8, 0.6):
        t = median_seconds(lambda: ci.extract_keywords(fuzzy_text, threshold), max(1, args.repeat // 2))
        print(f"extract fuzzy {threshold}: {fuzzy_mb / t:8.2f} MB/s on {fuzzy_mb:.2f} MB")

    lines = [line for line in prose.split("\n") if line]
    t_loop = median_seconds(lambda: [ci.extract_keywords(line) for line in lines], args.repeat)
    t_batch = median_seconds(lambda: ci.parallel_extract_keywords_from_texts(lines), args.repeat)
    print(f"batch extract of {len(lines)} texts: loop {t_loop * 1e3:.1f} ms, batch {t_batch * 1e3:.1f} ms,"
          f" ratio {t_loop / t_batch:.2f}x")
    t_one = median_seconds(lambda: [ci.parallel_extract_keywords_from_texts(["x"]) for _ in range(10_000)], 3)
    t_zero = median_seconds(lambda: [ci.parallel_extract_keywords_from_texts([]) for _ in range(10_000)], 3)
    print(f"batch call overhead: 1 text {t_one * 1e2:.2f} us/call, 0 texts {t_zero * 1e2:.2f} us/call")


if __name__ == "__main__":
    main()
