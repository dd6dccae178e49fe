// How deep a trie goes and how long its clean names are, measured by a walk that can stop and
// resume. The fuzzy search uses both to bound the similarity a state can still reach; it pays for
// the walk in slices out of its own work, so a short text over a huge trie never waits for a walk
// over the whole trie.
#pragma once

#include <cstdint>
#include <vector>

#include "trie_node.hpp"

namespace wordsieve {

class TrieShape {
 public:
  explicit TrieShape(const TrieNode& root);

  // Visits up to `budget` more nodes. True once every node has been visited.
  bool advance(std::uint64_t budget);
  bool done() const noexcept { return stack_.empty(); }

  // Valid once done(): the depth of the deepest node (the root has depth 0), and the byte length
  // of the longest clean name, the root's included (text-skip steps reach the root with bytes
  // consumed, which makes its clean name a candidate).
  std::uint64_t height() const noexcept { return height_; }
  std::uint64_t longest_clean_name() const noexcept { return longest_clean_name_; }

 private:
  struct Frame {
    const TrieNode* node;
    std::uint64_t depth;
  };
  std::vector<Frame> stack_;
  std::uint64_t height_ = 0;
  std::uint64_t longest_clean_name_ = 0;
};

}  // namespace wordsieve
