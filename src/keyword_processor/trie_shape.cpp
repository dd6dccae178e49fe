#include "trie_shape.hpp"

#include <algorithm>

namespace wordsieve {

namespace {

// 2^18 recorded nodes take 6 MiB of table; nodes beyond fall back to the whole trie's shape.
constexpr std::size_t kMaxRecorded = std::size_t{1} << 18;

SubtreeShape own_shape(const TrieNode& node) {
  return {0, node.clean_name.has_value() ? node.clean_name.view().size() : 0};
}

}  // namespace

TrieShape::TrieShape(const TrieNode& root) : slots_(256, Slot{nullptr, {0, 0}}), mask_(255) {
  stack_.push_back({&root, 0, own_shape(root)});
}

std::size_t TrieShape::slot_of(const TrieNode* node) const noexcept {
  std::uint64_t h = reinterpret_cast<std::uintptr_t>(node) * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h ^ (h >> 32)) & mask_;
}

void TrieShape::record(const TrieNode* node, const SubtreeShape& shape) {
  if (used_ >= kMaxRecorded) return;
  if ((used_ + 1) * 2 > slots_.size()) {
    std::vector<Slot> old(slots_.size() * 2, Slot{nullptr, {0, 0}});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.node == nullptr) continue;
      std::size_t at = slot_of(slot.node);
      while (slots_[at].node != nullptr) at = (at + 1) & mask_;
      slots_[at] = slot;
    }
  }
  std::size_t at = slot_of(node);
  while (slots_[at].node != nullptr) at = (at + 1) & mask_;
  slots_[at] = {node, shape};
  ++used_;
}

const SubtreeShape& TrieShape::of(const TrieNode* node) const noexcept {
  for (std::size_t at = slot_of(node);; at = (at + 1) & mask_) {
    const Slot& slot = slots_[at];
    if (slot.node == node) return slot.shape;
    if (slot.node == nullptr) return whole_;
  }
}

// Post-order without recursion: a node's frame stays on the stack while its children are walked,
// and folds its finished shape into its parent's frame when it leaves.
bool TrieShape::advance(std::uint64_t budget) {
  while (!stack_.empty() && budget > 0) {
    Frame& top = stack_.back();
    ChildMap::Entry entry;
    if (top.node->children.next(top.pos, entry)) {
      stack_.push_back({entry.child, 0, own_shape(*entry.child)});
      --budget;
      continue;
    }
    const Frame done = top;
    stack_.pop_back();
    record(done.node, done.shape);
    if (stack_.empty()) {
      whole_ = done.shape;
    } else {
      SubtreeShape& parent = stack_.back().shape;
      parent.height = std::max(parent.height, done.shape.height + 1);
      parent.longest_clean_name = std::max(parent.longest_clean_name, done.shape.longest_clean_name);
    }
  }
  if (stack_.empty()) stack_.shrink_to_fit();
  return stack_.empty();
}

}  // namespace wordsieve
