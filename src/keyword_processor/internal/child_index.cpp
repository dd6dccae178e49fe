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
         (entry.named.capacity() + entry.sets.capacity()) * 8 +
         entry.paths.capacity() * sizeof(Node::PathSlot);
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

namespace {

std::size_t slot_of(std::uint64_t key, std::size_t mask) noexcept {
  const std::uint64_t h = key * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h >> 40) & mask;
}

std::uint32_t name_length(const TrieNode& node) noexcept {
  if (!node.clean_name.has_value()) return 0;
  const std::size_t size = node.clean_name.view().size();
  // An empty clean name counts as present: the search's figures take it as one byte at least.
  if (size == 0) return 1;
  return size < ChildIndex::kLongName ? static_cast<std::uint32_t>(size) : ChildIndex::kLongName;
}

}  // namespace

bool ChildIndex::Node::path(const unsigned char* bytes, std::size_t size, Path& out) const noexcept {
  if (paths.empty()) return false;
  const std::uint64_t key = key_of(bytes, size);
  const std::size_t mask = paths.size() - 1;
  for (std::size_t at = slot_of(key, mask); paths[at].key != 0; at = (at + 1) & mask) {
    if (paths[at].key == key) {
      const std::uint64_t* sets_at = &sets[paths[at].offset];
      out = {sets_at, sets_at + words, paths[at].longest};
      return true;
    }
  }
  return false;
}

void ChildIndex::build(const TrieNode* node, Node& out) {
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (node->children.next(pos, entry)) out.children.push_back(entry);
  out.children.shrink_to_fit();
  const std::size_t count = out.children.size();
  const std::size_t words = (count + 63) / 64;
  out.words = words;
  out.named.assign(words, 0);
  std::memset(out.child_keys, 0, sizeof out.child_keys);

  // Every path of 1 to kLookAhead bytes below each child, with the length of the clean name where
  // it ends (0: none); laid out once their number is known.
  struct Step {
    std::uint64_t key;
    std::uint32_t child;
    std::uint32_t name;
  };
  std::vector<Step> steps;
  struct Frame {
    const TrieNode* node;
    std::size_t depth;  // below the child
    std::uint64_t bytes;
  };
  std::vector<Frame> stack;
  for (std::size_t i = 0; i < count; ++i) {
    const ChildMap::Entry& child = out.children[i];
    if (child.key < 256) out.child_keys[child.key >> 6] |= std::uint64_t{1} << (child.key & 63);
    const std::uint32_t own = name_length(*child.child);
    if (own != 0) {
      out.named[i >> 6] |= std::uint64_t{1} << (i & 63);
      out.longest_named = std::max(out.longest_named, own);
    }
    stack.push_back({child.child, 0, 0});
    while (!stack.empty()) {
      const Frame frame = stack.back();
      stack.pop_back();
      if (frame.depth == kLookAhead) continue;
      std::size_t below_pos = 0;
      ChildMap::Entry below;
      while (frame.node->children.next(below_pos, below)) {
        if (below.key >= 256) continue;  // no text byte matches it
        const std::size_t depth = frame.depth + 1;
        const std::uint64_t bytes = frame.bytes << 8 | below.key;
        steps.push_back({std::uint64_t{depth} << (8 * depth) | bytes, static_cast<std::uint32_t>(i),
                         name_length(*below.child)});
        stack.push_back({below.child, depth, bytes});
      }
      poll_interrupt();
    }
  }
  if (steps.empty()) return;
  // Keys order strings by length first, so a string's prefixes are laid out before it.
  std::sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.key < b.key; });
  std::size_t distinct = 0;
  for (std::size_t k = 0; k < steps.size(); ++k) distinct += k == 0 || steps[k].key != steps[k - 1].key;
  out.sets.reserve(distinct * 2 * words);
  std::size_t table = 16;
  while (table / 4 * 3 < distinct) table *= 2;  // at most three quarters full
  out.paths.assign(table, Node::PathSlot{0, 0, 0});
  const std::size_t mask = table - 1;
  const auto slot = [&](std::uint64_t key) {
    std::size_t at = slot_of(key, mask);
    while (out.paths[at].key != 0 && out.paths[at].key != key) at = (at + 1) & mask;
    return at;
  };
  std::size_t at = 0;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const Step& step = steps[k];
    if (k == 0 || step.key != steps[k - 1].key) {
      at = slot(step.key);
      out.paths[at].key = step.key;
      out.paths[at].offset = static_cast<std::uint32_t>(out.sets.size());
      out.sets.resize(out.sets.size() + 2 * words, 0);
      // Names on the way: those of the string's prefix, laid out already.
      const std::size_t size = size_of_key(step.key);
      if (size > 1) {
        const std::uint64_t bytes = step.key & ((std::uint64_t{1} << (8 * size)) - 1);
        const std::uint64_t prefix = std::uint64_t{size - 1} << (8 * (size - 1)) | bytes >> 8;
        const std::size_t before = slot(prefix);
        const std::uint64_t* from = &out.sets[out.paths[before].offset + words];
        std::copy(from, from + words, &out.sets[out.paths[at].offset + words]);
        out.paths[at].longest = out.paths[before].longest;
      }
    }
    std::uint64_t* reach = &out.sets[out.paths[at].offset];
    const std::uint64_t bit = std::uint64_t{1} << (step.child & 63);
    reach[step.child >> 6] |= bit;
    if (step.name != 0) {
      reach[words + (step.child >> 6)] |= bit;
      out.paths[at].longest = std::max(out.paths[at].longest, step.name);
      out.longest_below = std::max(out.longest_below, step.name);
    }
  }
}

}  // namespace wordsieve
