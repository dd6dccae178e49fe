#include "trie_shape.hpp"

#include <algorithm>

namespace wordsieve {

TrieShape::TrieShape(const TrieNode& root) { stack_.push_back({&root, 0}); }

bool TrieShape::advance(std::uint64_t budget) {
  while (!stack_.empty() && budget > 0) {
    --budget;
    const Frame frame = stack_.back();
    stack_.pop_back();
    height_ = std::max(height_, frame.depth);
    if (frame.node->clean_name.has_value()) {
      longest_clean_name_ =
          std::max<std::uint64_t>(longest_clean_name_, frame.node->clean_name.view().size());
    }
    std::size_t pos = 0;
    ChildMap::Entry entry;
    while (frame.node->children.next(pos, entry)) stack_.push_back({entry.child, frame.depth + 1});
  }
  if (stack_.empty()) stack_.shrink_to_fit();
  return stack_.empty();
}

}  // namespace wordsieve
