// How far below a trie node the keys go, measured on demand and remembered: the fuzzy search bounds
// the similarity a state can still reach by it. A node's figure is the greatest depth, counted
// from the node, of a node with a clean name in its subtree (0 when there is none but itself).
// Each node is measured once, by a walk of the part of its subtree not measured before, so all the
// figures a search asks for cost at most one walk of the trie.
//
// Serves one trie while it does not change (the fuzzy search's, for one call or batch worker).
#pragma once

#include <cstdint>
#include <vector>

#include "trie_node.hpp"

namespace wordsieve {

class SubtreeHeights {
 public:
  std::uint64_t of(const TrieNode* node);
  void clear() noexcept;

 private:
  // The remembered figure of `node`, or null.
  const std::uint64_t* find(const TrieNode* node) const noexcept;
  void put(const TrieNode* node, std::uint64_t height);

  std::vector<const TrieNode*> keys_;  // open addressing; null is empty
  std::vector<std::uint64_t> values_;
  std::size_t used_ = 0;
  struct Frame {
    const TrieNode* node;
    std::size_t pos;
    std::uint64_t height;  // the greatest so far, from this node
  };
  std::vector<Frame> stack_;
};

}  // namespace wordsieve
