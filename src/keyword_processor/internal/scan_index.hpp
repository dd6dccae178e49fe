// The exact search's tables, built from a processor and kept on it (derived.hpp): which bytes may
// start a match, the root's children by byte, the first two bytes a walk can take, and a filter of
// the words keywords begin with.
//
// The word filter is what lets the scan pass over most of a text without walking the trie. Without
// overlaps, a match that starts at a word byte must cover the whole word that starts there: the
// end rule rejects a match that ends inside a word, and the search never falls back to a shorter
// keyword. The walk can only get past the word's last byte if the keyword goes on with a boundary
// byte there or ends there; either way that word is the keyword's first word, its bytes up to its
// first boundary byte. So a start whose word is the first word of no keyword gives no match. The
// filter holds a hash of every keyword's first word (two bits out of a 64-bit word, as a Bloom
// filter does; words longer than 8 bytes by their first 8 bytes and their length): a word whose bits are not all set is the first word of no keyword and is passed
// over; the others are walked as before. It answers "maybe" for words no keyword begins with at
// a rate of about one in a hundred, and never answers "no" for one that a keyword begins with.
// Keywords removed leave their bits behind (more "maybe", never a wrong "no") until the filter is
// rebuilt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "byte_blocks.hpp"
#include "byte_class.hpp"
#include "prefix_filter.hpp"
#include "trie_node.hpp"

namespace wordsieve {

struct KeywordProcessor;

class ScanIndex {
 public:
  // Byte sets of `sets`: a match may start after the byte (a boundary byte, or any byte with
  // overlaps); the root has a child for the byte.
  enum : unsigned char { kOpensAfter = 1, kFirstByte = 2 };

  explicit ScanIndex(const KeywordProcessor& processor);

  // In-place updates after the processor changed (see derived.hpp); false when the index must be
  // rebuilt instead.
  bool keyword_added(const KeywordProcessor& processor, std::string_view key);
  bool keyword_removed(const KeywordProcessor& processor, std::string_view key);

  // The first-word filter, as a scan reads it: whether it may hold the word w[0..length)
  // (length >= 1). `w` must have 8 readable bytes; bytes past the word are not looked at.
  struct WordFilter {
    const std::uint64_t* words;
    unsigned slot_shift;  // the slot: the top 64 - slot_shift bits of a hash
    unsigned bit_shift;   // the two bits: the 12 bits below those

    bool may_hold(const unsigned char* w, std::uint64_t length) const noexcept {
      const std::uint64_t h = word_hash(w, length);
      const std::uint64_t word = words[h >> slot_shift];
      return ((word >> ((h >> bit_shift) & 63)) & (word >> ((h >> (bit_shift - 6)) & 63)) & 1U) != 0;
    }
  };
  WordFilter word_filter() const noexcept { return {filter_.data(), filter_shift_, bit_shift_}; }
  bool may_start_keyword(const unsigned char* w, std::uint64_t length) const noexcept {
    return word_filter().may_hold(w, length);
  }

  // Whether a walk from a position holding `first`, `second` can take its second step (or stop
  // with a keyword after the first).
  bool pair_may_match(unsigned char first, unsigned char second) const noexcept {
    return ((pairs_[first][second >> 6] >> (second & 63)) & 1U) != 0;
  }

  const TrieNode* first_step(unsigned char byte) const noexcept { return first_step_[byte]; }
  bool opens_after(unsigned char byte) const noexcept { return (sets_.of(byte) & kOpensAfter) != 0; }
  const ByteSets& sets() const noexcept { return sets_; }
  // The filter of positions by their next three bytes, when it is on (prefix_filter.hpp).
  const PrefixFilter& prefixes() const noexcept { return prefixes_; }
  const WordBytes& words() const noexcept { return words_; }
  bool overlaps() const noexcept { return overlaps_; }
  // Nodes two bytes deep: a cheap measure of how far walks reach into memory.
  std::size_t second_level() const noexcept { return second_level_; }
  SimdLevel simd() const noexcept { return simd_; }

  // The hash of a word, as the filter stores it: of its first 8 bytes and its length. The filter
  // takes the word's slot from the top bits and its two bits from the next ones, the well-mixed
  // part of a product. `w` must have 8 readable bytes; bytes past the word are masked off.
  static std::uint64_t word_hash(const unsigned char* w, std::uint64_t length) noexcept {
    std::uint64_t head;
    __builtin_memcpy(&head, w, 8);
    head &= ~std::uint64_t{0} >> (64 - 8 * (length < 8 ? length : 8));
    return (head ^ (length * 0x9E3779B97F4A7C15ULL)) * 0xBF58476D1CE4E5B9ULL;
  }

 private:
  void set_first_byte_row(const KeywordProcessor& processor, unsigned char byte);
  template <class Visit>
  void for_each_first_word(const TrieNode& root, Visit&& visit) const;
  void size_filter(std::size_t words);
  bool insert_hash(std::uint64_t h) noexcept;  // false when its bits were all set already
  bool insert_key(std::string_view key);       // false when the filter is full

  WordBytes words_;
  bool overlaps_;
  SimdLevel simd_;
  ByteSets sets_;
  PrefixFilter prefixes_;
  const TrieNode* first_step_[256] = {};
  std::uint64_t pairs_[256][4] = {};
  std::uint32_t row_sizes_[256] = {};  // children of first_step_[b], as counted in second_level_
  std::size_t second_level_ = 0;

  std::vector<std::uint64_t> filter_;
  unsigned filter_shift_ = 58;  // the slot: the top 64 - filter_shift_ bits of a hash
  unsigned bit_shift_ = 52;     // the two bits: the 12 bits below those
  std::size_t filter_words_ = 0;     // words inserted
  std::size_t filter_capacity_ = 0;  // inserted words beyond which the filter is rebuilt larger
  std::size_t removed_ = 0;          // keywords removed since the build
};

}  // namespace wordsieve
