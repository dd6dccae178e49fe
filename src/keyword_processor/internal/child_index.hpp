// The children of wide trie nodes, listed once with what the fuzzy search asks of them: which
// carry a clean name, and which have a child for a given byte. The search fans out from the same
// few nodes near the root at almost every start position; with this it takes only the children
// that can go on, instead of listing all of them and looking each one up.
//
// Built on first use of a node and kept for the index's life: the index serves one trie while it
// does not change (the fuzzy search's, for one call or one batch worker). It holds at most about
// kMaxBytes: past that it forgets every node and starts again.
#pragma once

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
  static constexpr std::size_t kMaxBytes = std::size_t{8} << 20;

  // Sets of children are `words` 64-bit words, one bit per child in ascending key order.
  struct Node {
    std::vector<ChildMap::Entry> children;  // ascending keys
    std::vector<std::uint64_t> named;       // children with a clean name
    // For each byte c with an entry (slot[c] - 1): the children that have a child for c, and
    // those whose child for c has a clean name.
    std::uint16_t slot[256];
    std::uint16_t position[256];             // position of the child for a byte key, plus one
    std::vector<std::uint64_t> has_child;    // `words` words per entry
    std::vector<std::uint64_t> named_child;  // likewise
    // For each pair of bytes (c, d): the children with a path c, d below them; an open table of
    // (c << 8 | d) + 1 to the offset of the set in pair_sets.
    std::vector<std::uint32_t> pair_keys;
    std::vector<std::uint32_t> pair_offsets;
    std::vector<std::uint64_t> pair_sets;
    std::size_t words;

    const std::uint64_t* has(unsigned char c) const noexcept {
      return slot[c] == 0 ? nullptr : &has_child[(slot[c] - 1) * words];
    }
    const std::uint64_t* named_under(unsigned char c) const noexcept {
      return slot[c] == 0 ? nullptr : &named_child[(slot[c] - 1) * words];
    }
    const std::uint64_t* has_path(unsigned char c, unsigned char d) const noexcept;
  };

  // The entry of `node` (which has at least kWide children), built when it has none yet.
  const Node& of(const TrieNode* node);
  // The entry of `node` when it has been built, else null.
  const Node* find(const TrieNode* node) const noexcept;
  // Descendants visited by all builds so far: what building entries has cost.
  std::uint64_t work() const noexcept { return work_; }

  void clear() noexcept;

 private:
  void build(const TrieNode* node, Node& out);

  NodeMap<std::uint32_t, 64> positions_;  // of the nodes' entries in nodes_
  std::deque<Node> nodes_;  // stable: entries are handed out by reference
  std::size_t bytes_ = 0;   // about what nodes_ holds
  std::uint64_t work_ = 0;
};

}  // namespace wordsieve
