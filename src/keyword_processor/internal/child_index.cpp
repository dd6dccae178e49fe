#include "child_index.hpp"

#include <algorithm>
#include <cstring>

#include "keyword_processor/interrupt.hpp"

namespace wordsieve {

const ChildIndex::Node& ChildIndex::of(const TrieNode* node) {
  if (bytes_ > kMaxBytes) clear();
  if (const std::uint32_t* known = positions_.find(node)) return nodes_[*known];
  positions_.insert(node, static_cast<std::uint32_t>(nodes_.size()));
  Node& built = nodes_.emplace_back();
  build(node, built);
  bytes_ += sizeof(Node) + built.children.size() * sizeof(ChildMap::Entry) +
            (built.named.size() + built.has_child.size() + built.named_child.size() +
             built.pair_sets.size()) * 8 + (built.pair_keys.size() + built.pair_offsets.size()) * 4;
  return built;
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
  std::memset(out.slot, 0, sizeof out.slot);
  std::memset(out.position, 0, sizeof out.position);
  // Pairs are gathered first and laid out once their number is known.
  std::vector<std::pair<std::uint32_t, std::size_t>> pairs;  // (c << 8 | d, child)
  for (std::size_t i = 0; i < count; ++i) {
    const ChildMap::Entry& child = out.children[i];
    const std::uint64_t bit = std::uint64_t{1} << (i & 63);
    if (child.key < 256) out.position[child.key] = static_cast<std::uint16_t>(i + 1);
    if (child.child->clean_name.has_value()) out.named[i >> 6] |= bit;
    std::size_t grand_pos = 0;
    ChildMap::Entry grand;
    while (child.child->children.next(grand_pos, grand)) {
      ++work_;
      if (grand.key >= 256) continue;  // no text byte matches it
      std::uint16_t& slot = out.slot[grand.key];
      if (slot == 0) {
        out.has_child.resize(out.has_child.size() + words, 0);
        out.named_child.resize(out.named_child.size() + words, 0);
        slot = static_cast<std::uint16_t>(out.has_child.size() / words);
      }
      out.has_child[(slot - 1) * words + (i >> 6)] |= bit;
      if (grand.child->clean_name.has_value()) out.named_child[(slot - 1) * words + (i >> 6)] |= bit;
      std::size_t great_pos = 0;
      ChildMap::Entry great;
      while (grand.child->children.next(great_pos, great)) {
        ++work_;
        if (great.key < 256) pairs.emplace_back(grand.key << 8 | great.key, i);
      }
      poll_interrupt();
    }
  }
  if (pairs.empty()) return;
  std::size_t table = 16;
  while (table < pairs.size() * 2) table *= 2;
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

void ChildIndex::clear() noexcept {
  positions_.clear();
  nodes_.clear();
  bytes_ = 0;
}

}  // namespace wordsieve
