// The children of wide trie nodes, listed once with what the fuzzy search asks of them: which
// carry a clean name, and which have a child for a given byte. The search fans out from the same
// few nodes near the root at almost every start position; with this it takes only the children
// that can go on, instead of listing all of them and looking each one up.
//
// Part of the trie's shape kept on the processor for the fuzzy search (fuzzy_shape.hpp), which
// builds an entry for each node it indexes and then only reads them.
#pragma once

#include <bit>
#include <cstdint>
#include <deque>
#include <vector>

#include "node_map.hpp"
#include "trie_node.hpp"

namespace wordsieve {

class ChildIndex {
 public:
  // Nodes with fewer children are cheaper to walk than to look up here.
  static constexpr std::size_t kWide = 4;
  // Nodes with more (children under keys above 0xFF, from foreign states only) are not indexed:
  // the sets would grow with their square.
  static constexpr std::size_t kMaxChildren = 256;

  // Sets of children are `words` 64-bit words, one bit per child in ascending key order.
  struct Node {
    std::vector<ChildMap::Entry> children;  // ascending keys
    std::vector<std::uint64_t> named;       // children with a clean name
    // The byte keys of the children, and the bytes some child has a child for: a byte's rank in
    // a set (the members below it) is where its data lies.
    std::uint64_t child_keys[4];
    std::uint64_t grand_keys[4];
    // For each byte c of grand_keys, by rank: the children that have a child for c, and those
    // whose child for c has a clean name.
    std::vector<std::uint64_t> has_child;    // `words` words per entry
    std::vector<std::uint64_t> named_child;  // likewise
    // For each pair of bytes (c, d): the children with a path c, d below them; an open table of
    // (c << 8 | d) + 1 to the offset of the set in pair_sets.
    std::vector<std::uint32_t> pair_keys;
    std::vector<std::uint32_t> pair_offsets;
    std::vector<std::uint64_t> pair_sets;
    std::size_t words;

    static bool member(const std::uint64_t* set, unsigned char c) noexcept {
      return ((set[c >> 6] >> (c & 63)) & 1U) != 0;
    }
    static std::size_t rank(const std::uint64_t* set, unsigned char c) noexcept {
      std::size_t below = 0;
      for (unsigned w = 0; w < (c >> 6); ++w) below += static_cast<std::size_t>(std::popcount(set[w]));
      const std::uint64_t low = (std::uint64_t{1} << (c & 63)) - 1;
      return below + static_cast<std::size_t>(std::popcount(set[c >> 6] & low));
    }
    // Position of the child for byte `c` among the children, plus one; 0 when there is none.
    std::size_t position(unsigned char c) const noexcept {
      return member(child_keys, c) ? rank(child_keys, c) + 1 : 0;
    }
    const std::uint64_t* has(unsigned char c) const noexcept {
      return member(grand_keys, c) ? &has_child[rank(grand_keys, c) * words] : nullptr;
    }
    const std::uint64_t* named_under(unsigned char c) const noexcept {
      return member(grand_keys, c) ? &named_child[rank(grand_keys, c) * words] : nullptr;
    }
    const std::uint64_t* has_path(unsigned char c, unsigned char d) const noexcept;
  };

  // Builds the entry of `node` (kWide to kMaxChildren children), or builds it again.
  void add(const TrieNode* node);
  // Drops the entry of `node`, if any.
  void remove(const TrieNode* node);
  // The entry of `node` when it has been built, else null.
  const Node* find(const TrieNode* node) const noexcept;
  // Entries built, and those of them dropped since.
  std::size_t entries() const noexcept { return nodes_.size(); }
  std::size_t dropped() const noexcept { return dropped_; }
  // About what the entries hold, in bytes.
  std::size_t bytes() const noexcept { return bytes_ + positions_.slots() * (sizeof(void*) + 4); }

 private:
  void build(const TrieNode* node, Node& out);
  static std::size_t size_of(const Node& entry) noexcept;

  NodeMap<std::uint32_t, 64> positions_;  // of the nodes' entries in nodes_
  std::deque<Node> nodes_;  // stable: entries are handed out by reference
  std::size_t bytes_ = 0;   // about what nodes_ holds
  std::size_t dropped_ = 0;
};

}  // namespace wordsieve
