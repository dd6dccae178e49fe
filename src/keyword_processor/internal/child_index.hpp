// The children of wide trie nodes, listed once with what the fuzzy search asks of them: which
// carry a clean name, and which continue with a given string of the next text bytes. The search
// fans out from the same few nodes near the root at almost every start position; with this it
// takes only the children that can go on, instead of listing all of them and walking each one.
//
// Part of the trie's shape kept on the processor for the fuzzy search (fuzzy_shape.hpp), which
// builds an entry for each node it indexes and then only reads them. An entry records the keys and
// clean names down to kLookAhead + 1 levels below its node (its children and the strings below them).
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
  // The longest string below a child the index answers for.
  static constexpr std::size_t kLookAhead = 2;
  // A clean name's length as recorded: longer ones count as this long, which is longer than any
  // count the search compares them with while it can still read them here.
  static constexpr std::uint32_t kLongName = ~std::uint32_t{0};

  // Sets of children are `words` 64-bit words, one bit per child in ascending key order.
  struct Node {
    std::vector<ChildMap::Entry> children;  // ascending keys
    std::vector<std::uint64_t> named;       // children with a clean name
    std::uint32_t longest_named = 0;        // the longest of their clean names, 0 when none
    // For each string w of 1 to kLookAhead bytes such that x w is a path for some child x: the
    // children x with that path (`reach`), and those with a clean name on it after x (at x w' for
    // a prefix w' of w, w itself included: `named_on`), and the longest of those names. An open
    // table of w's keys (see key_of) to the offset of its sets in `sets`, `words` words each; a
    // slot holds all a lookup reads besides the sets, in one cache line.
    struct PathSlot {
      std::uint64_t key;  // 0: empty
      std::uint32_t offset;
      std::uint32_t longest;
    };
    std::vector<PathSlot> paths;
    std::vector<std::uint64_t> sets;  // per string: reach, then named_on
    std::uint32_t longest_below = 0;  // the longest clean name of any string's named_on
    std::uint64_t child_keys[4];
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

    struct Path {
      const std::uint64_t* reach;     // `words` words
      const std::uint64_t* named_on;  // likewise
      std::uint32_t longest;          // the longest name of named_on's children on the path
    };
    // The sets of the string `bytes` (1 to kLookAhead bytes); false when no child continues with it.
    bool path(const unsigned char* bytes, std::size_t size, Path& out) const noexcept;
  };

  // The table key of a string of 1 to kLookAhead bytes, size << (8 size) | bytes: never 0.
  static std::uint64_t key_of(const unsigned char* bytes, std::size_t size) noexcept {
    std::uint64_t key = size;
    for (std::size_t i = 0; i < size; ++i) key = key << 8 | bytes[i];
    return key;
  }
  // The size of the string a key stands for.
  static std::size_t size_of_key(std::uint64_t key) noexcept {
    std::size_t size = 1;
    while ((key >> (8 * (size + 1))) != 0) ++size;
    return size;
  }

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
