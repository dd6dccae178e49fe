"""Turn a match's byte offsets into indexes of the Python string.

wordsieve reports byte offsets into the UTF-8 text it searched. For a case-sensitive processor that is
the text itself. For a processor that ignores case it is the lowercased text. Lowercasing keeps every
character's UTF-8 length except for 27 characters, which are listed in ``LOWERED_LENGTH``, so the
character positions can be computed from the original string alone.

Copy this file next to your code (it needs nothing but wordsieve), then:

    from offsets import to_str_offsets, char_spans

- ``to_str_offsets(text, matches, case_sensitive=...)`` rewrites the matches' ``start`` and ``end``
  as str indexes, in place. On ASCII text (``text.isascii()``, which Python answers without reading
  the text) offsets already are str indexes and it returns at once.
- ``char_spans(text, matches, case_sensitive=...)`` leaves the matches alone and returns a
  ``CharSpan(start, end, exact)`` per match; ``exact`` is False when a fuzzy match began or ended
  inside a character and its span was widened to whole characters.
- ``batch_to_str_offsets`` and ``batch_char_spans`` do the same for the results of a batch call.

On other text both make one pass over the text's UTF-8 bytes in native code (encode, translate) and
one pass over the matches, counting the characters between consecutive offsets with ``bytes.count``.

Run this file to see the helper at work.
"""

import re
from collections.abc import Iterable, Sequence
from functools import partial
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

# In the searched text each of those characters has its lowercased length. Writing one character of
# that length in its place keeps one character per character of the str, so the UTF-8 below has the
# searched text's byte layout: the same offsets fall on the same characters.
_STAND_IN = {1: b"k", 2: b"\xc2\x80", 3: b"\xe0\xa0\x80"}
_LOWERED_BYTES = {ch.encode(): _STAND_IN[size] for ch, size in LOWERED_LENGTH.items()}
_LENGTH_CHANGES = re.compile(b"|".join(map(re.escape, _LOWERED_BYTES)))
_ASCII = bytes(range(0x80))

# 1 for the bytes that continue a UTF-8 sequence (0x80 to 0xBF), 0 for the bytes that begin a character.
_CONTINUATION = bytes(int(0x80 <= b < 0xC0) for b in range(256))


class CharSpan(NamedTuple):
    start: int  # index in the str of the first character of the match
    end: int  # index one past its last character
    exact: bool  # False when an offset fell inside a character and the span was widened


# CharSpan((start, end, exact)), skipping the NamedTuple's Python-level __new__, which would cost
# more than all the rest.
_new_span = partial(tuple.__new__, CharSpan)


def searched_utf8(text: str, *, case_sensitive: bool) -> bytes:
    """UTF-8 bytes with the byte layout of the text the processor searched (see _STAND_IN)."""
    data = text.encode()
    if not case_sensitive:
        # Searched among the non-ASCII bytes only (still whole characters), usually a small part.
        for utf8 in set(_LENGTH_CHANGES.findall(data.translate(None, _ASCII))):
            data = data.replace(utf8, _LOWERED_BYTES[utf8])
    return data


def char_spans(text: str, matches: Iterable[PyKeywordMatch], *, case_sensitive: bool) -> list[CharSpan]:
    """The str span of each match of ``text``; ``case_sensitive`` must be the processor's setting.

    A fuzzy match can start or end inside a character, and a match can end between the two characters
    that 'İ' becomes. Such a span is widened to whole characters of ``text`` and marked not exact.
    """
    if text.isascii():  # lowercasing keeps ASCII ASCII: every byte is one character
        return [_new_span((m.start, m.end, True)) for m in matches]
    flags = searched_utf8(text, case_sensitive=case_sensitive).translate(_CONTINUATION)
    size, count = len(flags), flags.count
    spans: list[CharSpan] = []
    append = spans.append
    # chars: how many characters begin before byte pos. Matches come in increasing order, so each
    # byte is counted once; an offset behind pos (matches in another order) counts again from 0.
    pos = chars = 0
    for m in matches:
        start, end = m.start, m.end
        if start < pos:
            pos = chars = 0
        chars += start - pos - count(1, pos, start)
        inside = start < size and flags[start]  # the character began before start
        first = chars - inside
        chars += end - start - count(1, start, end)
        pos = end
        append(_new_span((first, chars, not inside and (end >= size or not flags[end]))))
    return spans


def to_str_offsets(text: str, matches: Iterable[PyKeywordMatch], *,
                   case_sensitive: bool) -> list[PyKeywordMatch]:
    """Rewrites each match's ``start`` and ``end`` as str indexes of ``text``, in place; returns the matches.

    Call it once, on matches fresh from an extraction: the offsets it reads must be byte offsets. On
    ASCII text it has nothing to do. Spans that begin or end inside a character are widened as in
    ``char_spans``, which also says which were.
    """
    matches = matches if isinstance(matches, list) else list(matches)
    if text.isascii():
        return matches
    flags = searched_utf8(text, case_sensitive=case_sensitive).translate(_CONTINUATION)
    size, count = len(flags), flags.count
    pos = chars = 0
    for m in matches:
        start, end = m.start, m.end
        if start < pos:
            pos = chars = 0
        chars += start - pos - count(1, pos, start)
        m.start = chars - (start < size and flags[start])
        chars += end - start - count(1, start, end)
        m.end = chars
        pos = end
    return matches


def batch_char_spans(texts: Sequence[str], results: Iterable[Iterable[PyKeywordMatch]], *,
                     case_sensitive: bool) -> list[list[CharSpan]]:
    """``char_spans`` for each text of a batch call and its list of matches, in order."""
    return [char_spans(text, matches, case_sensitive=case_sensitive)
            for text, matches in zip(texts, results, strict=True)]


def batch_to_str_offsets(texts: Sequence[str], results: Iterable[Iterable[PyKeywordMatch]], *,
                      case_sensitive: bool) -> list[list[PyKeywordMatch]]:
    """``to_str_offsets`` for each text of a batch call and its list of matches, in order."""
    return [to_str_offsets(text, matches, case_sensitive=case_sensitive)
            for text, matches in zip(texts, results, strict=True)]


def main() -> None:
    text = "Der Kältepunkt: 0 \u212a. İstanbul, IZMIR und café AU LAIT!"  # U+212A is the Kelvin sign
    processor = KeywordProcessor()
    for keyword in ("Kältepunkt", "İstanbul", "Izmir", "café au lait"):
        processor.add_keyword(keyword)
    matches = processor.extract_keywords(text)
    spans = char_spans(text, matches, case_sensitive=False)
    for match, span in zip(matches, spans, strict=True):
        print(f"{match.keyword!r:16} bytes [{match.start}, {match.end})  chars [{span.start}, {span.end})"
              f"  {text[span.start:span.end]!r}")
    for match in to_str_offsets(text, matches, case_sensitive=False):  # now in str indexes
        assert text[match.start:match.end].lower() == match.keyword


if __name__ == "__main__":
    main()
