"""The country names of data/country_names.tsv (name, ISO code, locale), loaded as keywords whose
clean name is the code, for the examples that search texts for them."""

import csv
from pathlib import Path

from wordsieve import KeywordProcessor

NAMES = Path(__file__).parent / "data" / "country_names.tsv"


def load_country_names(path: Path = NAMES) -> tuple[KeywordProcessor, list[str]]:
    """A processor (ignoring case) that maps each name to its code, and the names as written."""
    processor = KeywordProcessor()
    names = []
    with path.open(encoding="utf-8", newline="") as f:
        for name, code, _locale in csv.reader(f, delimiter="\t"):
            processor.add_keyword(name, code)
            names.append(name)
    return processor, names
