"""Clean one column of a CSV file: write every product feature the same way in every row.

All the rows of the column go to the native worker pool in one call, and the other columns are
copied unchanged.

Usage: python clean_csv_column.py [INPUT] [OUTPUT] [--column NAME]
  INPUT defaults to data/products.csv beside this file, OUTPUT to standard output ('-').
"""

import argparse
import csv
import sys
from pathlib import Path

from wordsieve import KeywordProcessor

PRODUCTS = Path(__file__).parent / "data" / "products.csv"

# The way to write each feature, and the ways it was written (matched ignoring case).
SPELLINGS = {
    "USB-C": ["usb c", "usb-c", "type c", "typec"],
    "Wi-Fi": ["wifi", "wi fi", "wi-fi", "wlan"],
    "Bluetooth": ["bluetooth", "bt"],
    "HDMI": ["hdmi"],
    "4K UHD": ["4k", "uhd", "ultra hd"],
}


def build_processor() -> KeywordProcessor:
    processor = KeywordProcessor()
    for clean_name, variants in SPELLINGS.items():
        for variant in variants:
            processor.add_keyword(variant, clean_name)
    return processor


def clean_column(rows: list[dict[str, str]], column: str, processor: KeywordProcessor) -> int:
    """Replace the column's text in place; returns how many rows changed."""
    before = [row[column] for row in rows]
    after = processor.parallel_replace_keywords_from_texts(before)
    for row, text in zip(rows, after, strict=True):
        row[column] = text
    return sum(old != new for old, new in zip(before, after, strict=True))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", type=Path, default=PRODUCTS)
    parser.add_argument("output", nargs="?", default="-")
    parser.add_argument("--column", default="description")
    args = parser.parse_args(argv)

    with args.input.open(encoding="utf-8", newline="") as f:
        reader = csv.DictReader(f)
        fields = list(reader.fieldnames or [])
        rows = list(reader)
    if args.column not in fields:
        parser.error(f"{args.input} has no column {args.column!r} (it has {', '.join(fields)})")

    changed = clean_column(rows, args.column, build_processor())

    out = sys.stdout if args.output == "-" else open(args.output, "w", encoding="utf-8", newline="")
    try:
        writer = csv.DictWriter(out, fieldnames=fields, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    finally:
        if out is not sys.stdout:
            out.close()
    print(f"cleaned {args.column!r}: {changed} of {len(rows)} rows changed", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
