# mypy: untyped-calls-exclude="dask,distributed"
"""Extract keywords from a partitioned collection of texts on a local Dask cluster.

The processor is pickled once by ``client.scatter(..., broadcast=True)`` and sent to every worker,
which unpickles it once and keeps it in memory. Each partition of the bag is then handed to a task
together with that one shared processor. Needs the 'dask' extra: pip install 'wordsieve[dask]'.

Usage: python dask_extract.py [NUMBER_OF_TEXTS]   (default 300)
"""

import os
import random
import sys

import dask.bag as db
from dask.distributed import Client, LocalCluster

from country_names import load_country_names
from worker_errors import ordinary_errors
from wordsieve import KeywordProcessor

Match = tuple[str, float, int, int]


@ordinary_errors  # a PanicException would leave compute() waiting forever
def extract_partition(texts: list[str], processor: KeywordProcessor) -> list[list[Match]]:
    """Runs on a worker: one batch call per partition, results as plain tuples."""
    return [[(m.keyword, m.similarity, m.start, m.end) for m in found]
            for found in processor.parallel_extract_keywords_from_texts(texts)]


def make_texts(names: list[str], count: int, seed: int = 7) -> list[str]:
    rng = random.Random(seed)
    return [f"Freight from {rng.choice(names)} reached {rng.choice(names)} today." for _ in range(count)]


def main() -> int:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    processor, names = load_country_names()
    texts = make_texts(names, count)

    # Two worker processes with one thread each; each worker's native pool gets one thread too.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        shared = client.scatter(processor, broadcast=True)
        bag = db.from_sequence(texts, npartitions=6)
        remote: list[list[Match]] = bag.map_partitions(extract_partition, shared).compute()
        assert os.getpid() not in client.run(os.getpid).values(), "the workers are separate processes"

    local = [[(m.keyword, m.similarity, m.start, m.end) for m in processor.extract_keywords(text)]
             for text in texts]
    print(f"{len(texts)} texts in {bag.npartitions} partitions on 2 worker processes: "
          f"{sum(map(len, remote))} matches")
    print("equal to local results:", remote == local)
    return 0 if remote == local else 1


if __name__ == "__main__":
    sys.exit(main())
