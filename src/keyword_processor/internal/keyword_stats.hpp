// Figures about the stored keywords that bound the fuzzy search (fuzzy.hpp): the longest and the
// shortest key, how far a clean name may outrun its key, and which bytes occur in keys at all.
//
// A structure derived from the processor (derived.hpp): built by the first fuzzy search, then
// kept exact by every change to the keyword store. Each figure is the maximum, the minimum or the
// union over a multiset of per-keyword values, so it is held as counts and follows an added or
// removed keyword in constant time per key byte.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string_view>

#include "derived.hpp"
#include "trie_node.hpp"

namespace wordsieve {

class KeywordStats {
 public:
  // The figures of every keyword of the processor's trie (a path from the root to a node with a
  // clean name). Keys above 0xFF (foreign states only) count in the key length but are no byte of
  // any key: no text byte can match them.
  explicit KeywordStats(const KeywordProcessor& processor);

  // Updates in place after a change (derived.hpp); always possible.
  bool keyword_added(const KeywordProcessor& processor, std::string_view key, KeywordChange change);
  bool keyword_removed(const KeywordProcessor& processor, std::string_view key, KeywordChange change);

  // The byte length of the longest stored key: the depth of the deepest node with a clean name.
  std::uint64_t longest_key() const noexcept { return lengths_.max(); }
  // The byte length of the shortest stored key (0 when there is none).
  std::uint64_t shortest_key() const noexcept { return lengths_.min(); }
  // The most a clean name is longer than its key, or 0 when none is longer.
  std::uint64_t clean_name_excess() const noexcept { return excesses_.max(); }
  // For each byte, whether it occurs in no stored key: a search copies it at once.
  const std::array<bool, 256>& foreign_bytes() const noexcept { return foreign_; }
  bool empty() const noexcept { return keywords_ == 0; }
  std::uint64_t keywords() const noexcept { return keywords_; }

  bool operator==(const KeywordStats&) const = default;

 private:
  // A multiset of counts with a constant-time maximum and minimum: small values in an array, the
  // rest (keys or clean names of 256 bytes and more) in an ordered map.
  class Multiset {
   public:
    void insert(std::uint64_t value);
    void erase(std::uint64_t value);
    std::uint64_t max() const noexcept { return max_; }
    std::uint64_t min() const noexcept { return min_; }  // 0 when empty
    bool operator==(const Multiset&) const = default;

   private:
    static constexpr std::uint64_t kSmall = 256;
    std::array<std::uint64_t, kSmall> small_{};
    std::map<std::uint64_t, std::uint64_t> large_;
    std::uint64_t max_ = 0;
    std::uint64_t min_ = 0;
    std::uint64_t size_ = 0;
  };

  void count(std::string_view key, std::uint64_t clean_size, bool added);
  void measure(const TrieNode& root);

  Multiset lengths_;   // key lengths
  Multiset excesses_;  // clean name length minus key length, where positive
  std::array<std::uint64_t, 256> byte_counts_{};  // occurrences of each byte in the stored keys
  std::array<bool, 256> foreign_{};                // byte_counts_[b] == 0
  std::uint64_t keywords_ = 0;
};

}  // namespace wordsieve
