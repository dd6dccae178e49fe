// A filter of the positions where a keyword may begin, by the next four bytes, 64 positions at a
// time, for tries of a few hundred keywords at most.
//
// The keywords' first four bytes (fewer for shorter keywords) are put in eight groups by their
// first byte. For each of the four offsets a table gives, per byte value, the groups that have a
// keyword with that byte there (and every group with a keyword shorter than the offset). A
// position passes when some group has its bytes at all four offsets: with AVX-512 VBMI that is
// four table lookups and three ANDs for 64 positions, against a hash per word start otherwise. It
// never rejects a position where a keyword begins; with 100 English keywords it passes about one
// word start in eight of an English text. With more keywords the groups fill up and it would pass
// almost everything, so it is only built up to kMaxPrefixes prefixes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "byte_blocks.hpp"
#include "trie_node.hpp"

namespace wordsieve {

class PrefixFilter {
 public:
  static constexpr std::size_t kMaxPrefixes = 256;
  static constexpr std::size_t kOffsets = 4;

  // Built from the trie; off when the trie has more distinct prefixes than kMaxPrefixes or the
  // processor cannot run the filter's instructions.
  PrefixFilter(const TrieNode& root, SimdLevel level);

  bool on() const noexcept { return on_; }

  // Adds a key's prefix; turns the filter off when that makes too many prefixes (false).
  bool add(std::string_view key) noexcept;

  // Fills pass[k] for the `blocks` blocks of 64 positions at p (64 * blocks + 3 readable bytes).
  void mark(const unsigned char* p, std::size_t blocks, std::uint64_t* pass, SimdLevel level) const noexcept;

 private:
  unsigned char group_for(unsigned char first) noexcept;

  bool on_ = false;
  std::size_t prefixes_ = 0;
  std::uint32_t group_sizes_[8] = {};
  alignas(64) unsigned char table_[kOffsets][256] = {};
  unsigned char group_of_first_[256] = {};  // 0: no group yet, else group + 1
  unsigned char any_byte_[kOffsets] = {};    // groups with a keyword shorter than the offset
};

}  // namespace wordsieve
