"""Share one processor with a pool of worker processes by pickling it.

The processor goes to each worker once, as an argument of the pool's initializer, and is unpickled
there into a module-level variable. The tasks then send only texts. The 'spawn' start method makes
the pickling explicit: nothing is inherited from the parent's memory.

Usage: python ship_to_processes.py [NUMBER_OF_TEXTS]   (default 400)
"""

import multiprocessing
import os
import random
import sys

from country_names import load_country_names
from worker_errors import ordinary_errors
from wordsieve import KeywordProcessor, PyKeywordMatch

Match = tuple[str, float, int, int]

_processor: KeywordProcessor | None = None  # one per worker process


def _init_worker(processor: KeywordProcessor) -> None:
    global _processor
    # Each process has its own native pool. One thread per process avoids running more threads than
    # there are cores; the variable is read when this process makes its first batch call.
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    _processor = processor


def _as_tuples(matches: list[PyKeywordMatch]) -> list[Match]:
    # Matches compare by identity, so they are compared by their values.
    return [(m.keyword, m.similarity, m.start, m.end) for m in matches]


@ordinary_errors  # a PanicException would leave pool.map waiting forever
def extract_chunk(texts: list[str]) -> list[list[Match]]:
    assert _processor is not None, "the pool's initializer did not run"
    return [_as_tuples(found) for found in _processor.parallel_extract_keywords_from_texts(texts)]


def make_texts(names: list[str], count: int, seed: int = 2026) -> list[str]:
    rng = random.Random(seed)
    templates = ["Orders from {} and {} are late.", "{} ships to {} on Monday.", "No news from {}, nor {}."]
    texts = []
    for _ in range(count):
        first, second = rng.sample(names, 2)
        texts.append(rng.choice(templates).format(first, second.upper() if rng.random() < 0.3 else second))
    return texts


def main() -> int:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 400
    processor, names = load_country_names()
    texts = make_texts(names, count)

    chunks = [texts[i:i + 50] for i in range(0, len(texts), 50)]
    context = multiprocessing.get_context("spawn")
    with context.Pool(2, initializer=_init_worker, initargs=(processor,)) as pool:
        remote = [matches for chunk in pool.map(extract_chunk, chunks) for matches in chunk]

    local = [_as_tuples(processor.extract_keywords(text)) for text in texts]
    print(f"{len(texts)} texts in {len(chunks)} chunks on 2 processes: "
          f"{sum(map(len, remote))} matches")
    print("first text:", texts[0], remote[0])
    print("equal to local results:", remote == local)
    return 0 if remote == local else 1


if __name__ == "__main__":
    sys.exit(main())
