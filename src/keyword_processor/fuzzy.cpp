#include "fuzzy.hpp"

#include <algorithm>

#include "failure.hpp"
#include "interrupt.hpp"

namespace wordsieve {

namespace {

// Below this many bytes of text (and of clean name) every count the search converts to float is
// exact, which the bound and the exact-first shortcut rely on (see fuzzy.hpp).
constexpr std::uint64_t kExactCounts = std::uint64_t{1} << 23;

// The walk may visit this many nodes before the first search, so small tries are measured at once
// while a short text over a large trie does not pay for much of a walk it may never need.
constexpr std::uint64_t kInitialWalk = 512;

// A search without the bound may pop this many states before it first yields to the walk: more
// than a search at a usual threshold needs.
constexpr std::uint64_t kInitialSearchLimit = 4096;

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

// States between two polls for interruption inside one search.
constexpr std::uint64_t kPollStates = 4096;

// Counts stay far below 2^63, so the signed conversion (one instruction) gives the same float as
// the unsigned one.
inline float as_float(std::uint64_t count) noexcept {
  return static_cast<float>(static_cast<std::int64_t>(count));
}

// 1 - edits/over, the form of both the similarity and the edit gate.
inline float one_minus_ratio(std::uint64_t edits, std::uint64_t over) noexcept {
  return 1.0f - as_float(edits) / as_float(over);
}

}  // namespace

FuzzySearch::FuzzySearch(const TrieNode& root, std::string_view text, float threshold,
                         bool measure_trie)
    : root_(&root),
      text_(reinterpret_cast<const unsigned char*>(text.data())),
      size_(text.size()),
      threshold_(threshold),
      shape_(root),
      measure_trie_(measure_trie),
      walk_credit_(kInitialWalk),
      search_limit_(kInitialSearchLimit) {
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (root.children.next(pos, entry)) root_children_.push_back(entry);
  stack_.reserve(64);
}

void FuzzySearch::walk_trie(std::uint64_t nodes) {
  if (!measure_trie_ || shape_.done() || nodes == 0) return;
  if (!shape_.advance(nodes)) return;
  height_ = shape_.height();
  longest_clean_name_ = shape_.longest_clean_name();
  bounded_ = size_ < kExactCounts && longest_clean_name_ < kExactCounts;
}

// Cut 4 of fuzzy.hpp: the shortest keyword on the chain of match steps, if any.
bool FuzzySearch::exact_first(std::uint64_t start, FuzzyCandidate& out) const {
  const TrieNode* node = root_;
  const std::uint64_t left = size_ - start;
  for (std::uint64_t i = 0; i < left;) {
    node = node->children.find(text_[start + i]);
    if (node == nullptr) return false;
    ++i;
    if (node->clean_name.has_value()) {
      out = {node, i, 1.0f};
      return true;
    }
  }
  return false;
}

bool FuzzySearch::run(std::uint64_t start, FuzzyCandidate& out) {
  walk_trie(walk_credit_);
  walk_credit_ = 0;
  while (!bounded_) {
    if (!measure_trie_ || shape_.done()) {
      return search<Pass::kVisitOrder>(start, 0.0f, kNoLimit, out) == Outcome::kFound;
    }
    const Outcome outcome = search<Pass::kVisitOrder>(start, 0.0f, search_limit_, out);
    if (outcome != Outcome::kOverLimit) return outcome == Outcome::kFound;
    walk_trie(search_limit_);
    search_limit_ *= 2;
  }
  if (exact_first(start, out)) return true;
  FuzzyCandidate best;
  if (search<Pass::kMaximum>(start, 0.0f, kNoLimit, best) == Outcome::kNone) return false;
  if (search<Pass::kVisitOrder>(start, best.similarity, kNoLimit, out) != Outcome::kFound ||
      out.similarity != best.similarity) {
    fail("fuzzy search: the second pass did not reach the best similarity of the first");
  }
  return true;
}

bool FuzzySearch::out_of_reach(const State& state, std::uint64_t left, float best,
                               float target) const {
  if (!bounded_) return false;
  const std::uint64_t reach = std::min(left, state.consumed + height_);
  const std::uint64_t over = std::max(longest_clean_name_, reach);
  if (over == 0) return false;
  const float bound = one_minus_ratio(state.edits, over);
  if (target > 0.0f) return bound < target;
  return bound < threshold_ || bound <= best;
}

// One pass from `start` with cuts 1 to 3 (and 2 only when bounded). kVisitOrder goes depth first
// in the order that defines S; given a target similarity it stops at the first candidate that
// reaches it, otherwise it keeps the best as S does. kMaximum only needs the best similarity, so it
// takes states in order of their edits (all states with e edits before any with e + 1, depth first
// among equals): good candidates are found before long chains of edits, whose bound then cuts
// them. A depth-first order would follow the first text-skip chain it met to the end of the text
// before it had a best to compare with. Cut 1 stays sound in this order: of the states of greatest
// similarity take one with the fewest edits, Y; were Y lost to a dominance cut, the dominating
// state would lead to an equal similarity with fewer edits, or be the same state met again, whose
// own path to Y is then followed further down.
//
// A state whose edit gate fails (most states at usual thresholds) takes at most the match step,
// and that step is the next state popped in either order; so it is followed at once, without the
// stack. Cuts 1 and 2 are spent only on states that branch: leaving out a cut never changes the
// result, and a chain of match steps is cheaper to follow than the cuts are to test.
template <FuzzySearch::Pass kPass>
FuzzySearch::Outcome FuzzySearch::search(std::uint64_t start, float target, std::uint64_t limit,
                                         FuzzyCandidate& out) {
  const std::uint64_t left = size_ - start;
  const unsigned char* const s = text_ + start;
  const float t = threshold_;
  float best = 0.0f;
  bool found = false;
  std::uint64_t popped = 0;
  // The loop stops at `pause` to poll for interruption (every kPollStates states) or to give up
  // at the limit: one comparison per state for both.
  std::uint64_t polled = 0;
  std::uint64_t pause = std::min(limit, kPollStates);

  seen_.clear();
  stack_.clear();
  later_.clear();
  // Where steps that add an edit go.
  std::vector<State>& edited_steps = kPass == Pass::kMaximum ? later_ : stack_;
  stack_.push_back({root_, 0, 0});
  State state;
  bool follow = false;  // `state` is the match step of the previous state
  for (;;) {
    if (++popped > pause) [[unlikely]] {
      if (popped > limit) {  // the caller hands these states to the walk
        popped_total_ += limit;
        ++restarts_;
        return Outcome::kOverLimit;
      }
      poll_interrupt(popped - polled);
      polled = popped;
      pause = std::min(limit, popped + kPollStates);
    }
    if (!follow) {
      if (stack_.empty()) {
        if (later_.empty()) break;
        stack_.swap(later_);  // every state with the current edit count is done
      }
      state = stack_.back();
      stack_.pop_back();
    }
    follow = false;
    const bool branches =
        state.consumed < left && one_minus_ratio(state.edits, state.consumed + 1) >= t;  // gate
    if (branches) {
      if (!seen_.admit(state.node, state.consumed, state.edits)) continue;  // cut 1
      if (out_of_reach(state, left, best, target)) continue;                // cut 2
    }

    if (state.consumed != 0 && state.node->clean_name.has_value()) {
      const std::uint64_t k = state.node->clean_name.view().size();
      const float sim = one_minus_ratio(state.edits, std::max(state.consumed, k));
      if (sim >= t && sim > best) {
        best = sim;
        out = {state.node, state.consumed, sim};
        found = true;
        if (best >= 1.0f) break;                                                  // cut 3
        if (kPass == Pass::kVisitOrder && target > 0.0f && best == target) break;  // cut 5
      }
    }

    if (state.consumed >= left) continue;
    const unsigned char b = s[state.consumed];
    const std::uint64_t next = state.consumed + 1;
    const TrieNode* const matched = state.node->children.find(b);
    if (!branches) {
      if (matched != nullptr) {
        state = {matched, next, state.edits};
        follow = true;
      }
      continue;
    }

    if (matched != nullptr) stack_.push_back({matched, next, state.edits});
    const std::uint64_t edited = state.edits + 1;
    edited_steps.push_back({state.node, next, edited});
    auto push_child_steps = [&](const ChildMap::Entry& entry) {
      if (entry.key != b) edited_steps.push_back({entry.child, next, edited});
      edited_steps.push_back({entry.child, state.consumed, edited});
    };
    if (state.node == root_) {
      for (const ChildMap::Entry& entry : root_children_) push_child_steps(entry);
    } else {
      std::size_t pos = 0;
      ChildMap::Entry entry;
      while (state.node->children.next(pos, entry)) push_child_steps(entry);
    }
  }
  poll_interrupt(popped - polled);
  walk_credit_ += popped;
  popped_total_ += popped;
  return found ? Outcome::kFound : Outcome::kNone;
}

bool fuzzy_end_rule(std::string_view text, std::uint64_t start, std::uint64_t consumed,
                    const WordBytes& words, bool allow_overlaps, std::uint64_t& end) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::uint64_t n = text.size();
  const std::uint64_t q = start + consumed;
  const std::uint64_t m = is_trim_byte(s[q - 1]) ? q - 1 : q;
  end = m;
  if (allow_overlaps || m == n) return true;
  const std::uint64_t window_end = std::min(n, m + 3);
  for (std::uint64_t j = m; j < window_end; ++j) {
    if (words.is_boundary(s[j])) return true;
  }
  return false;
}

}  // namespace wordsieve
