#include "keyword_stats.hpp"

#include <iterator>
#include <vector>

#include "keyword_processor/interrupt.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve {

void KeywordStats::Multiset::insert(std::uint64_t value) {
  if (value < kSmall) {
    ++small_[value];
  } else {
    ++large_[value];
  }
  if (value > max_) max_ = value;
  if (size_ == 0 || value < min_) min_ = value;
  ++size_;
}

void KeywordStats::Multiset::erase(std::uint64_t value) {
  --size_;
  const bool last = value < kSmall ? small_[value] == 1 : large_.find(value)->second == 1;
  if (last && value == min_) {
    // The last copy of the minimum goes: the next value up, if any.
    std::uint64_t next = value + 1;
    while (next < kSmall && small_[next] == 0) ++next;
    if (next >= kSmall) {
      const auto above = value < kSmall ? large_.begin() : std::next(large_.find(value));
      next = above != large_.end() ? above->first : 0;
    }
    min_ = size_ == 0 ? 0 : next;
  }
  if (value < kSmall) {
    --small_[value];
    if (small_[value] != 0 || value != max_) return;
  } else {
    const auto it = large_.find(value);
    if (--it->second != 0) return;
    large_.erase(it);
    if (value != max_) return;
  }
  // The last copy of the maximum is gone.
  if (!large_.empty()) {
    max_ = large_.rbegin()->first;
    return;
  }
  max_ = value < kSmall ? value : kSmall - 1;
  while (max_ > 0 && small_[max_] == 0) --max_;
}

void KeywordStats::count(std::string_view key, std::uint64_t clean_size, bool added) {
  const std::uint64_t excess = clean_size > key.size() ? clean_size - key.size() : 0;
  if (added) {
    lengths_.insert(key.size());
    excesses_.insert(excess);
    ++keywords_;
  } else {
    lengths_.erase(key.size());
    excesses_.erase(excess);
    --keywords_;
  }
  for (const char c : key) {
    std::uint64_t& n = byte_counts_[static_cast<unsigned char>(c)];
    n = added ? n + 1 : n - 1;
    foreign_[static_cast<unsigned char>(c)] = n == 0;
  }
}

KeywordStats::KeywordStats(const KeywordProcessor& processor) { measure(processor.root); }

bool KeywordStats::keyword_added(const KeywordProcessor& processor, std::string_view key,
                                 KeywordChange change) {
  const TrieNode* node = &processor.root;
  for (const char c : key) node = node->children.find(static_cast<unsigned char>(c));
  if (change.previous_clean_size) count(key, *change.previous_clean_size, false);
  count(key, node->clean_name.view().size(), true);
  return true;
}

bool KeywordStats::keyword_removed(const KeywordProcessor&, std::string_view key,
                                   KeywordChange change) {
  count(key, change.previous_clean_size.value_or(0), false);
  return true;
}

void KeywordStats::measure(const TrieNode& root) {
  KeywordStats& stats = *this;
  // Depth first and iterative (a key may be a million bytes long). A byte's count is the number of
  // keywords whose key passes through an edge with that key, summed over its edges: each edge
  // counts the clean names in the subtree below it, added up as the walk leaves that subtree, so
  // the walk is linear in the trie however long or nested the keys are. Keys above 0xFF are no
  // byte of a key that a text byte could match and are left out of the counts.
  struct Frame {
    const TrieNode* node;
    std::uint32_t key;        // of the edge into node (unused for the root)
    std::size_t pos;          // next child to visit
    std::uint64_t keywords;   // clean names found so far in node's subtree
  };
  std::vector<Frame> stack{{&root, 0, 0, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    ChildMap::Entry entry;
    if (top.pos == 0 && top.node->clean_name.has_value()) {
      const std::uint64_t depth = stack.size() - 1;
      const std::uint64_t clean = top.node->clean_name.view().size();
      stats.lengths_.insert(depth);
      stats.excesses_.insert(clean > depth ? clean - depth : 0);
      ++stats.keywords_;
      ++top.keywords;
    }
    if (top.node->children.next(top.pos, entry)) {
      stack.push_back({entry.child, entry.key, 0, 0});
      continue;
    }
    const Frame done = top;
    stack.pop_back();
    if (stack.empty()) break;
    if (done.key < 256) stats.byte_counts_[done.key] += done.keywords;
    stack.back().keywords += done.keywords;
    poll_interrupt();
  }
  for (unsigned b = 0; b < 256; ++b) foreign_[b] = byte_counts_[b] == 0;
}

}  // namespace wordsieve
