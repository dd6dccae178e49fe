// Byte classes used by the scan: word bytes, boundary bytes and trim bytes.
#pragma once

#include <cstdint>

#include "word_set.hpp"

namespace wordsieve {

// Extraction tests single bytes against the word-character set, so only its first 256 bits matter.
// A copy of those four words keeps every test to one load and one bit test, independent of where
// the processor's 136 KiB set lives.
struct WordBytes {
  std::uint64_t bits[4];

  explicit WordBytes(const WordSet& set) noexcept
      : bits{set.words[0], set.words[1], set.words[2], set.words[3]} {}

  bool is_word(unsigned char byte) const noexcept { return ((bits[byte >> 6] >> (byte & 63)) & 1U) != 0; }
  bool is_boundary(unsigned char byte) const noexcept { return !is_word(byte); }
};

// Tab, line feed, carriage return and space: the only bytes trimmed off the edges of a match
// (vertical tab and form feed are not).
inline bool is_trim_byte(unsigned char byte) noexcept {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// Where a match starting at p is reported to start: after a leading trim byte.
inline std::uint64_t trimmed_start(const unsigned char* s, std::uint64_t p) noexcept {
  return is_trim_byte(s[p]) ? p + 1 : p;
}

// Where a match ending before q (> 0) is reported to end: before a trailing trim byte.
inline std::uint64_t trimmed_end(const unsigned char* s, std::uint64_t q) noexcept {
  return is_trim_byte(s[q - 1]) ? q - 1 : q;
}

}  // namespace wordsieve
