#include "fuzzy_shape.hpp"

#include <algorithm>

#include "keyword_processor/interrupt.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve {

namespace {

// Nodes of the subtree of `root`, itself included; the walk polls for interruption.
std::uint64_t count_nodes(const TrieNode& root) {
  std::uint64_t count = 0;
  std::vector<const TrieNode*> stack{&root};
  while (!stack.empty()) {
    const TrieNode* node = stack.back();
    stack.pop_back();
    ++count;
    std::size_t pos = 0;
    ChildMap::Entry entry;
    while (node->children.next(pos, entry)) stack.push_back(entry.child);
    if ((count & 1023) == 0) poll_interrupt();
  }
  return count;
}

}  // namespace

FuzzyShape::FuzzyShape(const KeywordProcessor& processor) {
  const TrieNode& root = processor.root;
  reserve(count_nodes(root));

  // Depth first, children after their parent, figures as each subtree is done.
  struct Frame {
    const TrieNode* node;
    std::size_t pos;
    std::uint64_t height;  // the greatest so far, from this node
  };
  std::vector<Frame> stack{{&root, 0, 0}};
  std::uint64_t walked = 0;
  while (!stack.empty()) {
    Frame& top = stack.back();
    ChildMap::Entry entry;
    if (top.node->children.next(top.pos, entry)) {
      stack.push_back({entry.child, 0, 0});
      continue;
    }
    const Frame done = top;
    stack.pop_back();
    put(done.node, done.height);
    index(done.node);
    if ((++walked & 1023) == 0) poll_interrupt();
    // The child counts when a keyword ends at it or below it.
    if (!stack.empty() && (done.height > 0 || done.node->clean_name.has_value())) {
      stack.back().height = std::max(stack.back().height, done.height + 1);
    }
  }
}

void FuzzyShape::reserve(std::uint64_t more) {
  std::size_t count = std::max<std::size_t>(slots_.size(), 16);
  while (count / 4 * 3 < nodes_ + more) count *= 2;
  if (count == slots_.size()) return;
  std::vector<std::uint64_t> old(count, 0);
  old.swap(slots_);
  for (const std::uint64_t slot : old) {
    if (slot == 0) continue;
    const std::size_t at = find_slot(reinterpret_cast<const TrieNode*>(static_cast<std::uintptr_t>(slot & kAddress)));
    slots_[at] = slot;
  }
}

void FuzzyShape::put(const TrieNode* node, std::uint64_t height) {
  std::size_t at = find_slot(node);
  if (slots_[at] == 0) {
    reserve(1);
    at = find_slot(node);
    ++nodes_;
  }
  const std::uint64_t figure = height < kTooHigh ? height : kTooHigh;
  slots_[at] = reinterpret_cast<std::uintptr_t>(node) | figure << kHeightShift;
}

std::uint64_t FuzzyShape::measure(const TrieNode* node) const noexcept {
  std::uint64_t height = 0;
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (node->children.next(pos, entry)) {
    const std::uint64_t below = figure(find_slot(entry.child));
    if (below == kTooHigh) return kTooHigh;
    // The child counts when a keyword ends at it or below it.
    if (below > 0 || entry.child->clean_name.has_value()) height = std::max(height, below + 1);
  }
  return height;
}

void FuzzyShape::index(const TrieNode* node) {
  const std::size_t children = node->children.size();
  if (children >= ChildIndex::kWide && children <= ChildIndex::kMaxChildren) {
    children_.add(node);
  } else {
    children_.remove(node);
  }
}

namespace {

// The nodes along `key` from the root, as many as exist.
std::vector<const TrieNode*> path_of(const TrieNode& root, std::string_view key) {
  std::vector<const TrieNode*> path{&root};
  path.reserve(key.size() + 1);
  for (const char byte : key) {
    const TrieNode* child = path.back()->children.find(static_cast<unsigned char>(byte));
    if (child == nullptr) break;
    path.push_back(child);
    poll_interrupt();
  }
  return path;
}

}  // namespace

bool FuzzyShape::keyword_added(const KeywordProcessor& processor, std::string_view key,
                               std::optional<std::uint64_t> previous_clean_size) {
  const std::vector<const TrieNode*> path = path_of(processor.root, key);
  const std::size_t n = key.size();
  if (path.size() != n + 1 || !path.back()->clean_name.has_value()) return false;
  if (previous_clean_size == path.back()->clean_name.view().size()) return fresh_enough();
  // The new nodes, if any, are a chain at the path's end: each has one child and no clean name,
  // and the last has no child. Those from `chain` on may be new; the nodes above were there.
  std::size_t chain = n + 1;
  if (n > 0 && path[n]->children.empty()) {
    chain = n;
    while (chain > 1 && path[chain - 1]->children.size() == 1 && !path[chain - 1]->clean_name.has_value()) {
      --chain;
    }
  }
  for (std::size_t d = 0; d <= n; ++d) {
    if (d >= chain) {
      put(path[d], n - d);  // the chain below ends at the key's end
    } else if (d < n) {
      const std::uint64_t known = figure(find_slot(path[d]));
      if (known != kTooHigh && known < n - d) put(path[d], n - d);
    }
  }
  // The entries of the nodes within kReach levels above a possibly new node or the key's end.
  const std::size_t from = chain <= n ? chain : n;
  for (std::size_t d = from >= kReach ? from - kReach : 0; d < n; ++d) index(path[d]);
  return fresh_enough();
}

bool FuzzyShape::keyword_removed(const KeywordProcessor& processor, std::string_view key) {
  const std::vector<const TrieNode*> path = path_of(processor.root, key);
  const std::size_t n = key.size();
  if (n == 0) return fresh_enough();  // the root's clean name counts for no figure or entry
  const std::size_t last = path.size() - 1;  // the deepest node left on the key's path
  // The freed nodes' slots stay behind: a node made later at one of their addresses is a new node
  // of its key, whose figure is stored anew.
  stale_ += n - last;
  for (std::size_t d = last + 1; d-- > 0;) {
    if (d < n) put(path[d], measure(path[d]));
  }
  // The entries within kReach levels above the first freed node, or above the key's end.
  const std::size_t to = last < n ? last : n - 1;
  for (std::size_t d = to >= kReach - 1 ? to - (kReach - 1) : 0; d <= to; ++d) index(path[d]);
  return fresh_enough();
}

}  // namespace wordsieve
