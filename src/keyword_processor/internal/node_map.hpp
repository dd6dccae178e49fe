// A map from trie nodes to values, for the fuzzy search's figures about nodes (child_index.hpp):
// open addressing on the node's address with linear probing, kept at most half full.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "trie_node.hpp"

namespace wordsieve {

template <class Value, std::size_t kFirstSlots>
class NodeMap {
 public:
  // The value stored for `node`, or null.
  const Value* find(const TrieNode* node) const noexcept {
    if (keys_.empty()) return nullptr;
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t at = hash_of(node) & mask; keys_[at] != nullptr; at = (at + 1) & mask) {
      if (keys_[at] == node) return &values_[at];
    }
    return nullptr;
  }

  // Stores `value` for `node`, which the map must not hold yet.
  void insert(const TrieNode* node, Value value) {
    if ((used_ + 1) * 2 > keys_.size()) grow();
    const std::size_t mask = keys_.size() - 1;
    std::size_t at = hash_of(node) & mask;
    while (keys_[at] != nullptr) at = (at + 1) & mask;
    keys_[at] = node;
    values_[at] = value;
    ++used_;
  }

  // Removes `node`, if the map holds it: the entries after it in its run move back into the gap,
  // so that every entry stays reachable from its home slot.
  void erase(const TrieNode* node) noexcept {
    if (keys_.empty()) return;
    const std::size_t mask = keys_.size() - 1;
    std::size_t gap = hash_of(node) & mask;
    while (keys_[gap] != node) {
      if (keys_[gap] == nullptr) return;
      gap = (gap + 1) & mask;
    }
    for (std::size_t at = (gap + 1) & mask; keys_[at] != nullptr; at = (at + 1) & mask) {
      // The entry at `at` may fill the gap when its home slot is not strictly between the gap and
      // it (cyclically): its probe from home passes the gap.
      const std::size_t home = hash_of(keys_[at]) & mask;
      if (((at - home) & mask) >= ((at - gap) & mask)) {
        keys_[gap] = keys_[at];
        values_[gap] = values_[at];
        gap = at;
      }
    }
    keys_[gap] = nullptr;
    values_[gap] = Value{};
    --used_;
  }

  std::size_t size() const noexcept { return used_; }
  std::size_t slots() const noexcept { return keys_.size(); }

  void clear() noexcept {
    keys_.clear();
    values_.clear();
    used_ = 0;
  }

 private:
  static std::size_t hash_of(const TrieNode* node) noexcept {
    const auto h = reinterpret_cast<std::uintptr_t>(node) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }

  void grow() {
    std::vector<const TrieNode*> old_keys(std::max(keys_.size() * 2, kFirstSlots), nullptr);
    std::vector<Value> old_values(old_keys.size(), Value{});
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

  std::vector<const TrieNode*> keys_;  // null is empty
  std::vector<Value> values_;
  std::size_t used_ = 0;
};

}  // namespace wordsieve
