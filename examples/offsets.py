"""Turn a match's byte offsets into indexes of the Python string.

wordsieve reports byte offsets into the UTF-8 text it searched. For a case-sensitive processor that is
the text itself. For a processor that ignores case it is the lowercased text. Lowercasing keeps every
character's UTF-8 length except for 27 characters, which are listed in ``LOWERED_LENGTH``, so the
character positions can be computed from the original string alone.

Run this file to see the helper at work.
"""

from bisect import bisect_left, bisect_right
from collections.abc import Iterable
from typing import NamedTuple

from wordsieve import KeywordProcessor, PyKeywordMatch

# The only characters whose lowercase form has a different UTF-8 length, with that length.
LOWERED_LENGTH = {
    "\u0130": 3, "\u023a": 3, "\u023e": 3,  # 2 bytes -> 3 ('İ' becomes 'i' + U+0307)
    "\u212a": 1,  # Kelvin sign, 3 bytes -> 'k'
    **dict.fromkeys(  # 3 bytes -> 2
        "\u1e9e\u2126\u212b\u2c62\u2c64\u2c6d\u2c6e\u2c6f\u2c70\u2c7e\u2c7f\ua78d"
        "\ua7aa\ua7ab\ua7ac\ua7ad\ua7ae\ua7b0\ua7b1\ua7b2\ua7c5\ua7cb\ua7dc", 2),
}


class CharSpan(NamedTuple):
    start: int  # index in the str of the first character of the match
    end: int  # index one past its last character
    exact: bool  # False when an offset fell inside a character and the span was widened


def byte_starts(text: str, *, case_sensitive: bool) -> list[int]:
    """The byte offset in the searched text at which each character of ``text`` begins, then its length."""
    starts = [0]
    for ch in text:
        size = None if case_sensitive else LOWERED_LENGTH.get(ch)
        if size is None:
            code = ord(ch)
            size = 1 if code < 0x80 else 2 if code < 0x800 else 3 if code < 0x10000 else 4
        starts.append(starts[-1] + size)
    return starts


def char_spans(text: str, matches: Iterable[PyKeywordMatch], *, case_sensitive: bool) -> list[CharSpan]:
    """The str span of each match of ``text``; ``case_sensitive`` must be the processor's setting.

    A fuzzy match can start or end inside a character, and a match can end between the two characters
    that 'İ' becomes. Such a span is widened to whole characters of ``text`` and marked not exact.
    """
    starts = byte_starts(text, case_sensitive=case_sensitive)
    spans = []
    for m in matches:
        first = bisect_right(starts, m.start) - 1
        last = bisect_left(starts, m.end)
        spans.append(CharSpan(first, last, starts[first] == m.start and starts[last] == m.end))
    return spans


def main() -> None:
    text = "Der Kältepunkt: 0 \u212a. İstanbul, IZMIR und café AU LAIT!"  # U+212A is the Kelvin sign
    processor = KeywordProcessor()
    for keyword in ("Kältepunkt", "İstanbul", "Izmir", "café au lait"):
        processor.add_keyword(keyword)
    matches = processor.extract_keywords(text)
    for match, span in zip(matches, char_spans(text, matches, case_sensitive=False), strict=True):
        print(f"{match.keyword!r:16} bytes [{match.start}, {match.end})  chars [{span.start}, {span.end})"
              f"  {text[span.start:span.end]!r}")


if __name__ == "__main__":
    main()
