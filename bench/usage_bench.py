"""The figures quoted in the user documentation, measured on the developer corpus.

    python bench/usage_bench.py [offsets|thresholds|lock|dask ...] [--corpus DIR] [--repeat R]

- offsets: examples/offsets.py against the extraction it serves (docs/recipes.md, docs/guide.md).
- thresholds: time and matches of fuzzy extraction at 0.9, 0.8 and 0.7 (docs/recipes.md).
- lock: how long a Python thread that wants to run every 50 ms waits during long calls (docs/guide.md).
- dask: a processor passed to every task against one scattered, and matches collected on the client
  against counts reduced on the workers (docs/distributed.md).
Each figure is the median of R runs. Extraction and its conversion run in turns, and each percentage
is the median of the run-by-run ratios, so that load on the machine affects both sides alike.
"""

import argparse
import os
import pickle
import re
import statistics
import sys
import threading
import time
from collections import Counter
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "examples"))

from offsets import char_spans, to_str_offsets  # noqa: E402

from wordsieve import KeywordProcessor  # noqa: E402

DEFAULT_CORPUS = Path(os.environ.get("WORDSIEVE_CORPUS", REPO.parent / "shared" / "corpus"))


def median_ms(samples):
    return statistics.median(samples) * 1000


def load(corpus):
    words = (corpus / "keywords_en.txt").read_text(encoding="utf-8").split("\n")[:20000]
    english = KeywordProcessor()
    for word in words:
        english.add_keyword(word)
    rows = [line.split("\t") for line in (corpus / "names_nonascii.tsv").read_text(encoding="utf-8").splitlines()]
    gazetteer = KeywordProcessor()
    for name, code, _locale in rows:
        gazetteer.add_keyword(name, code)
    names = "\n".join(name for name, _code, _locale in rows)
    return {
        "kjv": (corpus / "prose_kjv.txt").read_text(encoding="utf-8"),
        "jargon": (corpus / "prose_jargon.txt").read_text(encoding="utf-8"),
        "names": names,
        "english": english,
        "gazetteer": gazetteer,
    }


def bench_offsets(data, repeat):
    cases = [
        ("prose_kjv.txt (ASCII), 20,000 English words", data["english"], data["kjv"]),
        ("prose_jargon.txt (1,473 of 2,307 lines not ASCII)", data["english"], data["jargon"]),
        ("names_nonascii.tsv names x10, 20,000 English words", data["english"], data["names"] * 10),
        ("names_nonascii.tsv names x10, the names as gazetteer", data["gazetteer"], data["names"] * 10),
    ]
    print("offsets: median ms of extract_keywords, to_str_offsets, char_spans (median percent of extraction)")
    for label, processor, text in cases:
        extract, convert, spans = [], [], []
        for _ in range(repeat):
            t0 = time.perf_counter()
            matches = processor.extract_keywords(text)
            t1 = time.perf_counter()
            char_spans(text, matches, case_sensitive=False)
            t2 = time.perf_counter()
            to_str_offsets(text, matches, case_sensitive=False)
            t3 = time.perf_counter()
            extract.append(t1 - t0)
            spans.append(t2 - t1)
            convert.append(t3 - t2)
        e, c, s = median_ms(extract), median_ms(convert), median_ms(spans)
        rc = 100 * statistics.median(b / a for a, b in zip(extract, convert))
        rs = 100 * statistics.median(b / a for a, b in zip(extract, spans))
        print(f"  {label}: {len(text.encode()):,} bytes, {len(matches):,} matches: extract {e:.1f} ms,"
              f" to_str_offsets {c:.2f} ms ({rc:.0f}%), char_spans {s:.1f} ms ({rs:.0f}%)")


def bench_thresholds(data, repeat):
    text = data["kjv"][:200_000]
    processor = data["english"]
    print(f"thresholds: 20,000 English words on the first {len(text):,} bytes of prose_kjv.txt")
    exact = {(m.start, m.end) for m in processor.extract_keywords(text)}
    for threshold in (None, 0.9, 0.8, 0.7):
        times = []
        for _ in range(max(1, repeat // 2)):
            t0 = time.perf_counter()
            matches = processor.extract_keywords(text, threshold)
            times.append(time.perf_counter() - t0)
        inexact = [m for m in matches if m.similarity < 1]
        prefixes = [m for m in matches if m.similarity == 1 and (m.start, m.end) not in exact]
        data = text.encode()
        shown = lambda found: Counter(  # noqa: E731
            (data[m.start:m.end].decode(errors="replace"), m.keyword) for m in found).most_common(4)
        print(f"  threshold {threshold}: {median_ms(times):.0f} ms, {len(matches):,} matches;"
              f" {len(inexact):,} below 1.0, most often {shown(inexact)};"
              f" {len(prefixes):,} at 1.00 that the exact search does not report, most often {shown(prefixes)}")


def bench_lock(data, repeat):
    stalls = []
    stop = threading.Event()

    def heartbeat():
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(0.05)
            now = time.perf_counter()
            stalls.append(now - last - 0.05)
            last = now

    calls = [
        ("extract_keywords, prose_kjv.txt, exact", lambda: data["english"].extract_keywords(data["kjv"])),
        ("extract_keywords, 200 KB of prose_kjv.txt, threshold 0.8",
         lambda: data["english"].extract_keywords(data["kjv"][:200_000], 0.8)),
        ("extract_keywords, prose_kjv.txt, threshold 0.7",
         lambda: data["english"].extract_keywords(data["kjv"], 0.7)),
        ("parallel_extract_keywords_from_texts, prose_kjv.txt's 1,189 chapters, exact",
         lambda: data["english"].parallel_extract_keywords_from_texts(data["kjv"].split("\n"))),
    ]
    print("lock: the longest wait of a thread that sleeps 50 ms in a loop, during one call")
    for label, call in calls:
        worst = []
        for _ in range(max(1, repeat // 4)):
            stalls.clear()
            stop.clear()
            thread = threading.Thread(target=heartbeat)
            thread.start()
            time.sleep(0.2)
            t0 = time.perf_counter()
            call()
            took = time.perf_counter() - t0
            time.sleep(0.2)
            stop.set()
            thread.join()
            worst.append((max(stalls), took))
        stall, took = statistics.median(w[0] for w in worst), statistics.median(w[1] for w in worst)
        print(f"  {label}: call {took * 1000:.0f} ms, heartbeat late by up to {stall * 1000:.0f} ms")


def _extract_partition(texts, processor):
    return [[(m.keyword, m.start, m.end) for m in found]
            for found in processor.parallel_extract_keywords_from_texts(texts)]


def _timed(func, *args):
    t0 = time.perf_counter()
    func(*args)
    return time.perf_counter() - t0


def _copies(texts, processor):
    return [(os.getpid(), id(processor))]


def _count_partition(texts, processor):
    counts = Counter()
    for found in processor.parallel_extract_keywords_from_texts(texts):
        counts.update(m.keyword for m in found)
    return [counts]


def bench_dask(data, repeat):
    import dask.bag as db
    from dask.distributed import Client, LocalCluster

    pieces = [s for s in re.split(r"(?<=[.;:?!]) ", data["kjv"].replace("\n", " ")) if s]
    sentences = (pieces * (100_000 // len(pieces) + 1))[:100_000]
    processor = data["english"]
    state = pickle.dumps(processor)
    size = len(state)
    unpickle = median_ms([_timed(pickle.loads, state) for _ in range(repeat)])
    print(f"dask: {len(sentences):,} sentences, 20,000 keywords (pickled: {size:,} bytes),"
          " 2 worker processes x 1 thread;"
          f" unpickling the processor takes {unpickle:.0f} ms")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        bag = db.from_sequence(sentences, npartitions=122)  # Dask makes 123 of them
        print(f"  {bag.npartitions} partitions")
        shared = client.scatter(processor, broadcast=True)
        runs = {"matches collected, processor passed to each task": [],
                "matches collected, processor scattered": [],
                "counts reduced on the workers, processor passed to each task": [],
                "counts reduced on the workers, processor scattered": []}
        plans = [bag.map_partitions(_extract_partition, processor),
                 bag.map_partitions(_extract_partition, shared)]
        for each in (processor, shared):
            plans.append(bag.map_partitions(_count_partition, each).fold(lambda a, b: a + b, initial=Counter()))
        for _ in range(max(1, repeat // 2)):
            for times, plan in zip(runs.values(), plans):
                t0 = time.perf_counter()
                plan.compute()
                times.append(time.perf_counter() - t0)
        total = sum(plans[-1].compute().values())
        print(f"  {total:,} matches")
        passed = len(set(bag.map_partitions(_copies, processor).compute()))
        scattered = len(set(bag.map_partitions(_copies, shared).compute()))
        print(f"  processor objects seen by the tasks: {passed} passed to each task, {scattered} scattered")
        for label, times in runs.items():
            print(f"  {label}: {median_ms(times):.0f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("parts", nargs="*", default=["offsets", "thresholds", "lock", "dask"])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    data = load(args.corpus)
    for part in args.parts:
        globals()[f"bench_{part}"](data, args.repeat)


if __name__ == "__main__":
    main()
