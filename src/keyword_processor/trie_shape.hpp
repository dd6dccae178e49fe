// How deep a trie goes and how long its clean names are, for the whole trie and below each node,
// measured by a walk that can stop and resume. The fuzzy search uses them to bound the similarity
// a state can still reach; it pays for the walk in slices out of its own work, so a short text over
// a huge trie never waits for a walk over the whole trie.
#pragma once

#include <cstdint>
#include <vector>

#include "trie_node.hpp"

namespace wordsieve {

// Of the subtree below one node (the node included): the depth of its deepest node counted from
// that node, and the byte length of its longest clean name.
struct SubtreeShape {
  std::uint64_t height;
  std::uint64_t longest_clean_name;
};

class TrieShape {
 public:
  explicit TrieShape(const TrieNode& root);

  // Visits up to `budget` more nodes. True once every node has been visited.
  bool advance(std::uint64_t budget);
  bool done() const noexcept { return stack_.empty(); }

  // Valid once done(). `of` gives the node's own subtree when it was recorded, else the whole
  // trie's, which bounds every subtree as well. Nodes are recorded up to a fixed number, so that the
  // table stays small for huge tries.
  const SubtreeShape& whole() const noexcept { return whole_; }
  const SubtreeShape& of(const TrieNode* node) const noexcept;

 private:
  struct Frame {
    const TrieNode* node;
    std::size_t pos;  // in the node's child map
    SubtreeShape shape;
  };
  struct Slot {
    const TrieNode* node;  // null: empty
    SubtreeShape shape;
  };

  void record(const TrieNode* node, const SubtreeShape& shape);
  std::size_t slot_of(const TrieNode* node) const noexcept;

  std::vector<Frame> stack_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
  SubtreeShape whole_{0, 0};
};

}  // namespace wordsieve
