"""Find misspelled country names in English, German, Turkish and Greek and map them to ISO codes.

The processor is built from data/country_names.tsv (name, ISO 3166-1 code, locale). Each name is a
keyword whose clean name is its code. A threshold below 1 lets a few bytes differ. Byte offsets are
turned into str indexes with the helper from offsets.py.

Usage: python fuzzy_names.py [THRESHOLD]   (default 0.8)
"""

import sys

from country_names import load_country_names
from offsets import char_spans

TEXTS = [
    # One byte missing or replaced in each name.
    "Shipped from Österreih to Dänmark, then on to the Färöer Inseln.",
    # 'ί' written without its accent is one replaced byte. Every byte of a Greek letter is a word
    # boundary, so a search also starts at the space before each name and takes that space as one
    # more edit: the match is reported from there, its start moved past the space, with 0.87.
    "Οι πτήσεις για Αυστρια και Ελβετια ακυρώθηκαν.",
    # 'Türkiye' matches exactly, and an exact match beats the longer, approximate 'Türkiye
    # Cumhuriyeti'. 'Izlanda' is not found: 'İ' lowercases to 'i' plus U+0307, two bytes that the text
    # lacks, and two edits so early fail the edit gate.
    "Türkiye Cumhuriyet ve İzlanda arasında; Izlanda yazımı da görülür.",
    "Nothing to find here.",
]


def main() -> None:
    threshold = float(sys.argv[1]) if len(sys.argv) > 1 else 0.8
    processor, _names = load_country_names()  # ignores case: names and texts are lowercased
    print(f"{len(processor)} names, threshold {threshold}")
    for text in TEXTS:
        print(text)
        matches = processor.extract_keywords(text, threshold)
        for match, span in zip(matches, char_spans(text, matches, case_sensitive=False), strict=True):
            note = "" if span.exact else "  (widened to whole characters)"
            print(f"  {text[span.start:span.end]!r} -> {match.keyword}"
                  f"  similarity {match.similarity:.2f}{note}")
        if not matches:
            print("  no country name")


if __name__ == "__main__":
    main()
