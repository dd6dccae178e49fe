#include "child_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "keyword_processor/interrupt.hpp"

namespace wordsieve {

void ChildIndex::add(const TrieNode* node) {
  if (const std::uint32_t* known = positions_.find(node)) {
    Node& entry = nodes_[*known];
    bytes_ -= size_of(entry);
    entry = Node{};
    build(node, entry);
    bytes_ += size_of(entry);
    return;
  }
  positions_.insert(node, static_cast<std::uint32_t>(nodes_.size()));
  Node& built = nodes_.emplace_back();
  build(node, built);
  bytes_ += size_of(built);
}

std::size_t ChildIndex::size_of(const Node& entry) noexcept {
  return sizeof(Node) + entry.children.capacity() * sizeof(ChildMap::Entry) +
         (entry.named.capacity() + entry.has_child.capacity() + entry.named_child.capacity() +
          entry.pair_sets.capacity()) * 8 +
         (entry.pair_keys.capacity() + entry.pair_offsets.capacity()) * 4;
}

void ChildIndex::remove(const TrieNode* node) {
  const std::uint32_t* known = positions_.find(node);
  if (known == nullptr) return;
  Node& entry = nodes_[*known];
  bytes_ -= size_of(entry);
  entry = Node{};
  bytes_ += size_of(entry);
  positions_.erase(node);
  ++dropped_;
}

const ChildIndex::Node* ChildIndex::find(const TrieNode* node) const noexcept {
  const std::uint32_t* known = positions_.find(node);
  return known != nullptr ? &nodes_[*known] : nullptr;
}

const std::uint64_t* ChildIndex::Node::has_path(unsigned char c, unsigned char d) const noexcept {
  if (pair_keys.empty()) return nullptr;
  const std::uint32_t key = (std::uint32_t{c} << 8 | d) + 1;
  const std::size_t mask = pair_keys.size() - 1;
  for (std::size_t at = (key * 0x9E3779B1U) & mask; pair_keys[at] != 0; at = (at + 1) & mask) {
    if (pair_keys[at] == key) return &pair_sets[pair_offsets[at]];
  }
  return nullptr;
}

void ChildIndex::build(const TrieNode* node, Node& out) {
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (node->children.next(pos, entry)) out.children.push_back(entry);
  const std::size_t count = out.children.size();
  const std::size_t words = (count + 63) / 64;
  out.words = words;
  out.named.assign(words, 0);
  std::memset(out.child_keys, 0, sizeof out.child_keys);
  std::memset(out.grand_keys, 0, sizeof out.grand_keys);
  for (const ChildMap::Entry& child : out.children) {
    if (child.key < 256) out.child_keys[child.key >> 6] |= std::uint64_t{1} << (child.key & 63);
    std::size_t grand_pos = 0;
    ChildMap::Entry grand;
    while (child.child->children.next(grand_pos, grand)) {
      if (grand.key < 256) out.grand_keys[grand.key >> 6] |= std::uint64_t{1} << (grand.key & 63);
    }
  }
  std::size_t grand_bytes = 0;
  for (const std::uint64_t set : out.grand_keys) grand_bytes += static_cast<std::size_t>(std::popcount(set));
  out.has_child.assign(grand_bytes * words, 0);
  out.named_child.assign(grand_bytes * words, 0);
  // Pairs are gathered first and laid out once their number is known.
  std::vector<std::pair<std::uint32_t, std::size_t>> pairs;  // (c << 8 | d, child)
  for (std::size_t i = 0; i < count; ++i) {
    const ChildMap::Entry& child = out.children[i];
    const std::uint64_t bit = std::uint64_t{1} << (i & 63);
    if (child.child->clean_name.has_value()) out.named[i >> 6] |= bit;
    std::size_t grand_pos = 0;
    ChildMap::Entry grand;
    while (child.child->children.next(grand_pos, grand)) {
      if (grand.key >= 256) continue;  // no text byte matches it
      const std::size_t at = Node::rank(out.grand_keys, static_cast<unsigned char>(grand.key)) * words + (i >> 6);
      out.has_child[at] |= bit;
      if (grand.child->clean_name.has_value()) out.named_child[at] |= bit;
      std::size_t great_pos = 0;
      ChildMap::Entry great;
      while (grand.child->children.next(great_pos, great)) {
        if (great.key < 256) pairs.emplace_back(grand.key << 8 | great.key, i);
      }
      poll_interrupt();
    }
  }
  out.children.shrink_to_fit();
  if (pairs.empty()) return;
  std::sort(pairs.begin(), pairs.end());
  std::size_t distinct = 0;
  for (std::size_t k = 0; k < pairs.size(); ++k) distinct += k == 0 || pairs[k].first != pairs[k - 1].first;
  out.pair_sets.reserve(distinct * words);
  std::size_t table = 16;
  while (table < distinct * 2) table *= 2;
  out.pair_keys.assign(table, 0);
  out.pair_offsets.assign(table, 0);
  const std::size_t mask = table - 1;
  for (const auto& [pair, child] : pairs) {
    const std::uint32_t key = pair + 1;
    std::size_t at = (key * 0x9E3779B1U) & mask;
    while (out.pair_keys[at] != 0 && out.pair_keys[at] != key) at = (at + 1) & mask;
    if (out.pair_keys[at] == 0) {
      out.pair_keys[at] = key;
      out.pair_offsets[at] = static_cast<std::uint32_t>(out.pair_sets.size());
      out.pair_sets.resize(out.pair_sets.size() + words, 0);
    }
    out.pair_sets[out.pair_offsets[at] + (child >> 6)] |= std::uint64_t{1} << (child & 63);
  }
}

}  // namespace wordsieve
