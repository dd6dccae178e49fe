// How far below a trie node the keys go, measured on demand and remembered: the fuzzy search bounds
// the similarity a state can still reach by it. A node's figure is the greatest depth, counted
// from the node, of a node with a clean name in its subtree (0 when there is none but itself).
// Each node is measured once, by a walk of the part of its subtree not measured before, so all the
// figures a search asks for cost at most one walk of the trie.
//
// Serves one trie while it does not change (the fuzzy search's, for one call or batch worker).
// Holds at most kMaxNodes figures (8 MiB): past that it forgets them all and measures anew. A
// subtree of more than kMaxWalk nodes not measured before is not measured: the caller's own bound
// (the whole trie's height less the depth) stands in for it. The caller also grants an allowance of
// nodes to walk; once it is spent, unmeasured nodes get the caller's bound, without remembering it,
// so that a search over a short text does not pay for measuring a large trie.
#pragma once

#include <cstdint>
#include <vector>

#include "node_map.hpp"
#include "trie_node.hpp"

namespace wordsieve {

class SubtreeHeights {
 public:
  static constexpr std::size_t kMaxNodes = std::size_t{1} << 18;
  static constexpr std::size_t kMaxWalk = std::size_t{1} << 16;

  // The figure of `node`, or `otherwise` (an upper bound of it) for a subtree too large to walk or
  // when walking it would take more than `allowance` steps. Walking takes from `allowance`.
  std::uint64_t of(const TrieNode* node, std::uint64_t otherwise, std::uint64_t& allowance);
  void clear() noexcept;

 private:
  void put(const TrieNode* node, std::uint64_t height);

  NodeMap<std::uint64_t, 256> heights_;
  struct Frame {
    const TrieNode* node;
    std::size_t pos;
    std::uint64_t height;  // the greatest so far, from this node
  };
  std::vector<Frame> stack_;
};

}  // namespace wordsieve
