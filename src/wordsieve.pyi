"""Find known keywords in texts and replace them.

A :class:`KeywordProcessor` holds a set of keywords, each mapped to a clean name. It finds them in a
text, exactly or approximately, and reports each match as a :class:`PyKeywordMatch`, or returns the
text with every match replaced by its clean name.

Positions are byte offsets. ``start`` and ``end`` count bytes of the UTF-8 text that was searched
(for a processor that ignores case, the lowercased text), never characters of the Python ``str``.

Internal failures raise ``PanicException``. It covers a threshold outside 0..1 and a malformed pickled
state. The type is not an attribute of this module. It derives from ``BaseException``, not from
``Exception``, so ``except Exception`` does not catch it: catch ``BaseException`` and test
``type(exc).__name__ == "PanicException"``.
"""

from collections.abc import Sequence
from typing import Self, final

__all__ = ["KeywordProcessor", "PyKeywordMatch"]

@final
class KeywordProcessor:
    """A keyword store with exact and fuzzy extraction and replacement.

    Keywords live in a byte trie. When the processor ignores case (the default), keywords and
    texts are lowercased with Unicode 17.0.0 data before they are compared. A keyword is found only
    where it starts and ends at a word boundary, unless ``allow_overlaps`` is set.

    ``len(p)`` is the number of stored keywords. The empty keyword counts when it is stored. A
    processor with no keywords is false. ``repr(p)`` is ``"KeywordProcessor(num_keywords=N)"``.
    Processors compare and hash by identity. They can be pickled and copied. The class cannot be
    subclassed.

    Several threads can read a processor at once, such as extraction running on the worker pool.
    A method that changes it needs exclusive use. Python code can run during argument conversion.
    When it tries to change the processor that the outer call is reading, the inner call raises
    ``RuntimeError("Already borrowed")``. When it uses the processor that the outer call is changing,
    the inner call raises ``RuntimeError("Already mutably borrowed")``.
    """

    def __new__(cls, case_sensitive: bool | None = False, allow_overlaps: bool | None = False) -> Self:
        """Create an empty processor with the default word characters.

        Args:
            case_sensitive: False (or None) lowercases keywords and texts before they are compared.
                The reported offsets then point into the lowercased text. True compares them
                byte for byte.
            allow_overlaps: True switches off both word-boundary tests, so keywords are also found
                inside longer words. Matches never overlap: the scan resumes after each match.

        The flags are fixed for the processor's life; only ``__setstate__`` replaces them. Besides
        ``bool``, numpy booleans are accepted. Any other type, ``int`` included, raises
        ``TypeError``.
        """

    def __len__(self) -> int:
        """The number of stored keywords. The empty keyword counts when it is stored."""

    def add_keyword(self, keyword: str, clean_name: str | None = None) -> None:
        """Store ``keyword`` with ``clean_name``, replacing the clean name of an equal keyword.

        Args:
            keyword: the text to find. When the processor ignores case, it is stored lowercased,
                so ``"Apple"`` and ``"APPLE"`` are the same keyword. The empty keyword is stored,
                but the exact search never reports it.
            clean_name: what extraction reports and replacement writes for this keyword. It is
                stored as given and never lowercased; an empty string is a valid clean name and makes
                replacement delete the match. None (or absent) stores the key itself: the lowercased
                keyword when the processor ignores case.
        """

    def remove_keyword(self, keyword: str) -> bool:
        """Remove ``keyword``, lowercased first when the processor ignores case.

        Returns:
            True when a stored keyword was removed. False when no such keyword is stored, which is
            not an error.
        """

    def extract_keywords(self, text: str, threshold: float | None = None) -> list[PyKeywordMatch]:
        """Find the stored keywords in ``text``.

        Args:
            text: the text to search.
            threshold: None or 1.0 selects the exact search. A value below 1 selects the fuzzy
                search. There, inserted, replaced or missing bytes are allowed, and a match is
                reported when its similarity is at least ``threshold``. The value is rounded to
                single precision before use.

        Returns:
            The matches in increasing order of ``start``. They never overlap. At each position where a
            match may start, the exact search takes the longest stored keyword. The fuzzy search takes
            the candidate with the best similarity, and the first one found on a tie, so among keywords
            that match exactly the shortest wins. ``start`` and ``end`` are byte offsets
            into the searched text: the UTF-8 form of ``text``, lowercased when the processor ignores
            case. A leading space, tab, line feed or carriage return is left out of the range.

        Raises:
            PanicException: ``threshold`` is below 0, above 1 or NaN ("Threshold must be between 0
                and 1"). It derives from ``BaseException``.

        A fuzzy match's similarity is ``1 - edits / max(bytes consumed, bytes of the clean name)``,
        rounded to hundredths. An edit is one inserted, replaced or missing byte. Low thresholds can
        make the search very slow on long texts.
        """

    def parallel_extract_keywords_from_texts(
        self, texts: Sequence[str], threshold: float | None = None
    ) -> list[list[PyKeywordMatch]]:
        """Run :meth:`extract_keywords` on every text on the native worker pool.

        Args:
            texts: a list, tuple or other sequence of ``str``. A single ``str`` is refused with
                ``TypeError``.
            threshold: as for :meth:`extract_keywords`, applied to every text.

        Returns:
            One list of matches per text, in input order. Each equals ``extract_keywords(text,
            threshold)``.

        Raises:
            PanicException: ``threshold`` is out of range and ``texts`` is not empty. It is raised
                once, and no partial result is returned.

        The pool is shared by the whole process and starts on the first batch call. Its size comes
        from ``RAYON_NUM_THREADS``, then ``RAYON_RS_NUM_CPUS``, then the number of logical
        processors. The calling thread keeps the interpreter lock until every text is done.
        """

    def replace_keywords(self, text: str, threshold: float | None = None) -> str:
        """Return ``text`` with every match of :meth:`extract_keywords` replaced by its clean name.

        Everything outside the matched ranges is kept as written, case included. Clean names are
        written as stored and never searched again. When lowercasing changed a character's byte
        length before a match, the match is mapped back onto ``text``. A match that cannot be mapped
        onto whole characters of ``text`` is left as it is, so the result is always valid text.

        Raises:
            PanicException: ``threshold`` is below 0, above 1 or NaN.
        """

    def parallel_replace_keywords_from_texts(
        self, texts: Sequence[str], threshold: float | None = None
    ) -> list[str]:
        """Run :meth:`replace_keywords` on every text on the native worker pool.

        Returns:
            One ``str`` per text, in input order. Each equals ``replace_keywords(text, threshold)``.
            See :meth:`parallel_extract_keywords_from_texts` for the arguments, the pool and the
            errors.
        """

    def get_all_keywords(self) -> dict[str, str]:
        """A new dict that maps each stored keyword to its clean name.

        The keys are as stored: lowercased when the processor ignores case. Their order is not
        defined and can change between two calls.
        """

    def set_non_word_boundaries(self, boundaries: Sequence[str]) -> None:
        """Replace the whole set of word characters with ``boundaries``.

        Args:
            boundaries: a list, tuple or other sequence of one-character strings. It replaces every
                default, and an empty sequence leaves no word characters at all. A single ``str`` is
                refused with ``TypeError``. An element of another length raises ``ValueError``
                ("expected a string of length 1"). On any error the set is unchanged.

        Word characters decide where keywords may start and end. The defaults are ASCII letters,
        digits and ``_``. The text is tested byte by byte: a byte ``b`` of the UTF-8 text is a word
        character when the code point ``U+00bb`` of the same value is in the set. So every byte of a
        non-ASCII character is a boundary under the defaults. Characters above U+00FF are stored and
        pickled but never affect matching.
        """

    def add_non_word_boundary(self, boundary: str) -> None:
        """Add one word character to the set; see :meth:`set_non_word_boundaries`.

        Raises:
            ValueError: ``boundary`` is not exactly one character ("expected a string of length 1").
        """

    def __getstate__(self) -> bytes:
        """The processor's whole state as bytes: keywords, clean names, word characters and both flags.

        The format is stable: it has no header or version, and a state stored now is read by later
        releases. Equal processors give equal bytes. An empty processor's state is 139283 bytes,
        because the word-character set is written in full.
        """

    def __setstate__(self, state: bytes) -> None:
        """Replace the whole state with one written by :meth:`__getstate__`, flags included.

        Bytes after the end of the state are ignored.

        Raises:
            TypeError: ``state`` is not ``bytes``. A ``bytearray`` or ``memoryview`` is refused.
            PanicException: ``state`` is malformed. The message names the decoding error, and the
                processor keeps its previous state.
        """

@final
class PyKeywordMatch:
    """One match: the clean name found and where it was found.

    Extraction creates matches, and so can Python code. Each match owns copies of its values and
    keeps no link to its processor. The four attributes can be read and written but not deleted.
    Matches compare and hash by identity, and the class cannot be subclassed. ``repr`` (and ``str``)
    give ``KeywordMatch(keyword='NY', similarity=1.00, start=7, end=15)``. The keyword is shown
    unescaped and the similarity with two decimals. Matches can be pickled and copied.
    """

    keyword: str
    """The clean name of the matched keyword."""

    similarity: float
    """Match quality, 1.0 for exact matches. Fuzzy matches are rounded to hundredths.

    Stored in single precision, so 0.85 reads back as 0.8500000238418579. Any value can be set,
    including values outside 0..1 and NaN.
    """

    start: int
    """Byte offset of the first byte of the match in the searched text, inclusive.

    Any integer from 0 to 2**64 - 1 can be set. A negative value raises ``OverflowError``.
    """

    end: int
    """Byte offset one past the last byte of the match in the searched text, exclusive.

    Any integer from 0 to 2**64 - 1 can be set, even one below ``start``.
    """

    def __new__(cls, keyword: str, similarity: float, start: int, end: int) -> Self:
        """Create a match from its four values. No relation between them is checked."""

    def __getnewargs__(self) -> tuple[str, float, int, int]:
        """The constructor arguments that recreate this match when it is unpickled or copied."""

    def __getstate__(self) -> bytes:
        """The match as 28 bytes plus the keyword's UTF-8 length, all integers little-endian.

        The layout is the keyword length as u64, the keyword bytes, similarity as f32, start as u64
        and end as u64.
        """

    def __setstate__(self, state: bytes) -> None:
        """Replace all four values with those of a state from :meth:`__getstate__`.

        Bytes after the state are ignored.

        Raises:
            TypeError: ``state`` is not ``bytes``.
            PanicException: ``state`` is malformed. The match keeps its values.
        """
