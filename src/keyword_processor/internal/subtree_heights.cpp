#include "subtree_heights.hpp"

#include <algorithm>

#include "keyword_processor/interrupt.hpp"

namespace wordsieve {

void SubtreeHeights::put(const TrieNode* node, std::uint64_t height) {
  // A walk under way keeps the figures it needs in its frames, so forgetting is safe at any time.
  if (heights_.size() >= kMaxNodes) heights_.clear();
  heights_.insert(node, height);
}

std::uint64_t SubtreeHeights::of(const TrieNode* node, std::uint64_t otherwise,
                                 std::uint64_t& allowance) {
  if (const std::uint64_t* known = heights_.find(node)) return *known;
  if (allowance == 0) return otherwise;
  // Depth first, iterative; a child measured before contributes its figure without a walk.
  stack_.assign(1, Frame{node, 0, 0});
  for (std::size_t walked = 0;; ++walked) {
    if (walked == kMaxWalk) {  // too large: the caller's bound stands in, from now on too
      put(node, otherwise);
      return otherwise;
    }
    // Out of allowance: the subtrees finished so far stay measured, the rest waits for more.
    if (allowance == 0) return otherwise;
    --allowance;
    Frame& top = stack_.back();
    ChildMap::Entry entry;
    if (top.node->children.next(top.pos, entry)) {
      if (const std::uint64_t* known = heights_.find(entry.child)) {
        if (*known > 0 || entry.child->clean_name.has_value()) {
          top.height = std::max(top.height, *known + 1);
        }
        continue;
      }
      stack_.push_back({entry.child, 0, 0});
      continue;
    }
    const Frame done = top;
    put(done.node, done.height);
    poll_interrupt();
    stack_.pop_back();
    if (stack_.empty()) return done.height;
    // The child counts when a keyword ends at it or below it.
    if (done.height > 0 || done.node->clean_name.has_value()) {
      stack_.back().height = std::max(stack_.back().height, done.height + 1);
    }
  }
}

void SubtreeHeights::clear() noexcept { heights_.clear(); }

}  // namespace wordsieve
