#include "subtree_heights.hpp"

#include <algorithm>

#include "keyword_processor/interrupt.hpp"

namespace wordsieve {

namespace {

std::size_t hash_of(const TrieNode* node) noexcept {
  const auto h = reinterpret_cast<std::uintptr_t>(node) * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace

const std::uint64_t* SubtreeHeights::find(const TrieNode* node) const noexcept {
  if (keys_.empty()) return nullptr;
  const std::size_t mask = keys_.size() - 1;
  for (std::size_t at = hash_of(node) & mask; keys_[at] != nullptr; at = (at + 1) & mask) {
    if (keys_[at] == node) return &values_[at];
  }
  return nullptr;
}

void SubtreeHeights::put(const TrieNode* node, std::uint64_t height) {
  // A walk under way keeps the figures it needs in its frames, so forgetting is safe at any time.
  if (used_ >= kMaxNodes) clear();
  if ((used_ + 1) * 2 > keys_.size()) {  // at most half full
    std::vector<const TrieNode*> old_keys(std::max<std::size_t>(keys_.size() * 2, 256), nullptr);
    std::vector<std::uint64_t> old_values(old_keys.size(), 0);
    old_keys.swap(keys_);
    old_values.swap(values_);
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t i = 0; i < old_keys.size(); ++i) {
      if (old_keys[i] == nullptr) continue;
      std::size_t at = hash_of(old_keys[i]) & mask;
      while (keys_[at] != nullptr) at = (at + 1) & mask;
      keys_[at] = old_keys[i];
      values_[at] = old_values[i];
    }
  }
  const std::size_t mask = keys_.size() - 1;
  std::size_t at = hash_of(node) & mask;
  while (keys_[at] != nullptr) at = (at + 1) & mask;
  keys_[at] = node;
  values_[at] = height;
  ++used_;
}

std::uint64_t SubtreeHeights::of(const TrieNode* node, std::uint64_t otherwise,
                                 std::uint64_t& allowance) {
  if (const std::uint64_t* known = find(node)) return *known;
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
      if (const std::uint64_t* known = find(entry.child)) {
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

void SubtreeHeights::clear() noexcept {
  keys_.clear();
  values_.clear();
  used_ = 0;
}

}  // namespace wordsieve
