#include "fuzzy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "failure.hpp"
#include "interrupt.hpp"
#include "platform_features.hpp"

namespace wordsieve {

namespace {

// States between two polls for interruption inside one search.
constexpr std::uint64_t kPollStates = 4096;

}  // namespace

FuzzySearch::FuzzySearch(const TrieNode& root, const KeywordStats& stats, const FuzzyShape* shape,
                         std::string_view text, float threshold, Cuts cuts)
    : root_(&root),
      text_(reinterpret_cast<const unsigned char*>(text.data())),
      size_(text.size()),
      threshold_(threshold),
      all_cuts_(cuts != Cuts::kPlain),
      longest_key_(stats.longest_key()),
      shortest_key_(stats.shortest_key()),
      excess_(stats.clean_name_excess()) {
  stack_.reserve(64);
  std::fill(std::begin(gate_opens_), std::end(gate_opens_), kUnknown);
  stretches_ = threshold >= kUsual ? 1 : 12;
  shape_ = cuts == Cuts::kAll ? shape : nullptr;
  std::memcpy(foreign_byte_, stats.foreign_bytes().data(), sizeof foreign_byte_);
  if (all_cuts_) {
    // Cut 9: a candidate inside the stretch needs X + q >= the least `over` whose value with one
    // edit passes; one past it needs the gate of one edit open at q.
    const std::uint64_t over = least_passing_over(1, {threshold, 0.0f}, false);
    foreign_start_reach_ = std::min(over > excess_ ? over - excess_ : 0, first_open(1));
  }
  set_text(text);
}

FuzzySearch::FuzzySearch(const KeywordProcessor& processor, std::string_view text, float threshold,
                         Cuts cuts)
    : FuzzySearch(processor.root, processor.derived.keyword_stats(processor),
                  cuts == Cuts::kAll ? &processor.derived.fuzzy_shape(processor) : nullptr, text,
                  threshold, cuts) {}

void FuzzySearch::set_text(std::string_view text) {
  text_ = reinterpret_cast<const unsigned char*>(text.data());
  size_ = text.size();
  if (!all_cuts_) return;
  const std::uint64_t blocks = size_ / 64;
  // A zero word past the text's last one: foreign_pattern reads two words whatever the offset.
  foreign_.resize(blocks + 2);
  if (size_ < kBlocksFrom) {
    // A short text: a byte at a time, rather than build the tables of the block lookup.
    std::fill(foreign_.begin(), foreign_.end(), 0);
    for (std::uint64_t j = 0; j < size_; ++j) {
      foreign_[j >> 6] |= static_cast<std::uint64_t>(foreign_byte_[text_[j]]) << (j & 63);
    }
  } else {
    if (!blocks_ready_) {
      for (unsigned b = 0; b < 256; ++b) {
        if (foreign_byte_[b]) foreign_set_.assign(static_cast<unsigned char>(b), 1);
      }
      simd_ = best_simd_level();
      blocks_ready_ = true;
    }
    // A block of 64 bytes at a time, 64 blocks between polls; the last block, short, from a copy
    // padded with bytes that are then masked off.
    std::uint64_t unused[64];
    for (std::uint64_t b = 0; b < blocks; b += 64) {
      const std::uint64_t count = std::min<std::uint64_t>(64, blocks - b);
      foreign_set_.classify(text_ + 64 * b, count, foreign_.data() + b, unused, simd_);
      poll_interrupt(64 * count / kBytesPerUnit);
    }
    foreign_[blocks] = foreign_[blocks + 1] = 0;
    if (const std::uint64_t tail = size_ - 64 * blocks; tail != 0) {
      unsigned char last[64] = {};
      std::memcpy(last, text_ + 64 * blocks, tail);
      foreign_set_.classify(last, 1, &foreign_[blocks], unused, simd_);
      foreign_[blocks] &= (std::uint64_t{1} << tail) - 1;
    }
  }
  foreign_before_.clear();  // counted when first needed (rest)
}

void FuzzySearch::learn_more_foreign(std::size_t index, std::uint64_t until) {
  while (ahead_.size() <= index && ahead_known_ < until) {
    // Look for the next foreign byte in [ahead_known_, until), a word of the bitmap at a time.
    const std::uint64_t from = start_ + ahead_known_;
    const std::uint64_t limit = start_ + until;
    std::uint64_t word = from >> 6;
    std::uint64_t bits = foreign_[word] & (~std::uint64_t{0} << (from & 63));
    std::uint64_t at = limit;
    for (;;) {
      if (bits != 0) {
        at = std::min(limit, (word << 6) + static_cast<std::uint64_t>(std::countr_zero(bits)));
        break;
      }
      if (((word + 1) << 6) >= limit) break;
      bits = foreign_[++word];
      poll_interrupt();
    }
    if (at < limit) {
      ahead_.push_back(at - start_);
      ahead_known_ = at - start_ + 1;
    } else {
      ahead_known_ = until;
    }
  }
  bits_read_ = std::max(bits_read_, ahead_known_);
}

// The rest of the stretches, from the `index`-th foreign byte after the start on, bounded
// together: a path that consumes u bytes past `consumed` matches only bytes that are not foreign,
// so with f foreign bytes behind it the ratio is at least (e + f)/(B + u) with u at most the
// offset of that foreign byte plus the bytes after it up to the end of the text that are not
// foreign. Without a horizon only (it reads to the end of the text): with one, infinite.
std::uint64_t FuzzySearch::rest(std::size_t index, std::uint64_t consumed) {
  if (horizon_ != kUnknown || index == 0 || index > ahead_.size()) return kUnknown;
  saw_end_ = true;
  if (foreign_before_.empty()) {
    // Counted once a text needs them: a scan at usual thresholds keeps its searches to windows.
    foreign_before_.resize(foreign_.size() + 1);
    foreign_before_[0] = 0;
    for (std::size_t w = 0; w < foreign_.size(); ++w) {
      foreign_before_[w + 1] = foreign_before_[w] + static_cast<std::uint64_t>(std::popcount(foreign_[w]));
    }
  }
  const std::uint64_t from = start_ + ahead_[index - 1] + 1;
  const std::uint64_t end = start_ + left_;
  const auto foreign_before = [&](std::uint64_t at) {
    const std::uint64_t word = at >> 6, bit = at & 63;
    return foreign_before_[word] +
           (bit == 0 ? 0 : static_cast<std::uint64_t>(std::popcount(foreign_[word] << (64 - bit))));
  };
  const std::uint64_t matchable = (end - from) - (foreign_before(end) - foreign_before(from));
  return (from - start_ - consumed) + matchable;
}

bool FuzzySearch::gate_computed(std::uint64_t edits, std::uint64_t consumed) const noexcept {
  return one_minus_ratio(edits, consumed + 1) >= threshold_;
}

// The gate never fails for a larger consumed count where it passes for a smaller (F2), so for each
// edit count it opens at one least count, found from the guess e/(1-t) - 1 by evaluating the gate
// itself.
std::uint64_t FuzzySearch::first_open(std::uint64_t edits) const noexcept {
  const double guess = std::ceil(static_cast<double>(edits) / (1.0 - threshold_)) - 1.0;
  std::uint64_t i = guess > 0.0 ? static_cast<std::uint64_t>(guess) : 0;
  while (i > 0 && gate_computed(edits, i - 1)) --i;
  while (!gate_computed(edits, i)) ++i;
  return i;
}

// Cut 2 (docs/fuzzy_search.md), for states whose clean names below have at most `base` + u bytes
// after u more bytes consumed and whose keys go at most `height` levels deeper: whether any of them
// may have a similarity that passes `floor`. For stretch f (f foreign bytes consumed before it) the
// ratio (e + f)/(B + u) is taken at the greatest u of the stretch up to h + f and the text's end;
// the stretches end when that cap or the text's end is reached, or at a foreign byte that no path
// can take because the gate of a state with the edits it must have by then fails there; after
// kStretches of them the remaining ones are bounded together by (e + f)/(B + h + f), which no later
// stretch undercuts (its u is at most h + f' with f' >= f, and (e + f')/(B + h + f') grows with f'
// while below 1). The bound is the largest of these values, so the first that passes settles it.
// This is the form for a search kept to a window (set_horizon); bound_computed() the other.
float FuzzySearch::bound_in_window(std::uint64_t names, std::uint64_t height,
                                   std::uint64_t consumed, std::uint64_t edits) {
  const auto value = [this](std::uint64_t e, std::uint64_t over) {
    return bound_value(e, over, exact_counts_);
  };
  const std::uint64_t base = std::max(consumed, names);
  // The loop below, with the window's foreign bytes known (set_horizon) and nothing past it.
  if (consumed >= horizon_) return value(edits, base + height);  // all stretches together
  std::size_t k = 0;
  while (k < window_foreign_.size() && window_foreign_[k] < consumed) ++k;
  float best = -1.0f;
  for (std::uint64_t f = 0;; ++f, ++k) {
    if (f == stretches_) return std::max(best, value(edits + f, base + height + f));
    std::uint64_t cap = consumed + height + f;
    if (cap > left_) {
      cap = left_;
      if (left_ <= horizon_) saw_end_ = true;
    }
    std::uint64_t stop = k < window_foreign_.size() ? window_foreign_[k] : horizon_;
    if (stop >= cap) {
      stop = cap;
    } else if (k >= window_foreign_.size()) {  // the stretch runs on where this search does not look
      return std::max(best, value(edits + f, base + height + f));
    }
    best = std::max(best, value(edits + f, base + (stop - consumed)));
    if (stop == cap || !gate(edits + f, stop)) return best;
  }
}

// The same without a window, looking as far into the text as the stretches need, given B =
// max(consumed, names) in `base`.
float FuzzySearch::bound_computed(std::uint64_t base, std::uint64_t height,
                                  std::uint64_t consumed, std::uint64_t edits) {
  const auto value = [this](std::uint64_t e, std::uint64_t over) {
    return bound_value(e, over, exact_counts_);
  };
  float best = -1.0f;
  if (consumed >= horizon_) {
    best = value(edits, base + height);  // all stretches together
  } else {
    learn_foreign(~std::size_t{0}, consumed);  // every foreign byte before `consumed`
    auto index = static_cast<std::size_t>(
        std::lower_bound(ahead_.begin(), ahead_.end(), consumed) - ahead_.begin());
    for (std::uint64_t f = 0;; ++f, ++index) {
      if (f == stretches_) {  // the rest together
        best = std::max(best, value(edits + f, base + std::min(height + f, rest(index, consumed))));
        break;
      }
      std::uint64_t cap = consumed + height + f;
      if (cap > left_ && left_ <= horizon_) saw_end_ = true;
      cap = std::min(cap, left_);
      const std::uint64_t limit = std::min(cap, horizon_);
      learn_foreign(index, limit);
      std::uint64_t stop = cap;
      if (index < ahead_.size()) {
        stop = std::min(cap, ahead_[index]);
      } else if (limit < cap) {  // the stretch runs on where this search does not look
        best = std::max(best, value(edits + f, base + height + f));
        break;
      }
      best = std::max(best, value(edits + f, base + (stop - consumed)));
      // A path that goes on past the foreign byte at `stop` takes it with an edit, from a state
      // that has consumed `stop` bytes and has at least edits + f edits: its gate must pass.
      if (stop == cap || !gate(edits + f, stop)) break;
    }
  }
  return best;
}

// Cut 4 (docs/fuzzy_search.md): the shortest keyword on the chain of match steps, if any.
bool FuzzySearch::exact_first(FuzzyCandidate& out) {
  if (!exact_first_) return false;
  const TrieNode* node = root_;
  const unsigned char* s = text_ + start_;
  for (std::uint64_t i = 0;;) {
    if (i == left_) {
      saw_end_ = true;
      return false;
    }
    bytes_read_ = std::max(bytes_read_, i + 1);
    node = node->children.find(s[i]);
    if (node == nullptr) return false;
    ++i;
    if (node->clean_name.has_value()) {
      out = {node, i, 1.0f};
      return true;
    }
  }
  return false;
}

void FuzzySearch::set_horizon(std::uint64_t horizon) {
  horizon_ = horizon;
  counts_bound_ = stretches_ == 1;
  window_foreign_.clear();
  const std::uint64_t end = start_ + std::min(horizon, left_);
  for (std::uint64_t at = start_; at < end; ++at) {
    if (foreign_byte_[text_[at]]) window_foreign_.push_back(at - start_);
  }
  bits_read_ = std::max(bits_read_, end - start_);
}

void FuzzySearch::begin(std::uint64_t start) {
  start_ = start;
  left_ = size_ - start;
  horizon_ = ~std::uint64_t{0};
  counts_bound_ = false;
  part_end_ = kUnknown;  // a listing cut short by an interrupt ends here
  part_ = nullptr;
  ++run_;
  bytes_read_ = 0;
  bits_read_ = 0;
  saw_end_ = false;
  const unsigned regime = regime_at(start);
  exact_counts_ = (regime & 1U) != 0;
  exact_first_ = (regime & 2U) != 0;
  ahead_.clear();
  ahead_known_ = 0;
}

bool FuzzySearch::passes(FuzzyCandidate& out, float reached) {
  constexpr std::uint64_t kAnyEdits = ~std::uint64_t{0};
  if (!all_cuts_) return search<Pass::kVisitOrder>({0.0f, 0.0f, kAnyEdits}, out);
  if (!keywords_within_reach(start_)) return false;
  float stop_at = 0.0f;
  if (reached == 0.0f && threshold_ < kUsual) {
    // Below the usual thresholds a pass in S's order needs a similarity to aim at. The pass over
    // the fewest edits first finds one: it stops once the states within one edit hold a candidate
    // (usually the best; a similarity reached), else it goes on to the greatest one.
    FuzzyCandidate best;
    if (!search<Pass::kMaximum>({0.0f, 0.0f, 1}, best)) return false;
    reached = best.similarity;
    if (!settled_early_) stop_at = reached;
  }
  const bool found = search<Pass::kVisitOrder>({reached, stop_at, kAnyEdits}, out);
  if (reached > 0.0f && (!found || (stop_at > 0.0f && out.similarity != stop_at))) {
    fail("fuzzy search: the pass in order did not reach a similarity known to be reached");
  }
  return found;
}

void FuzzySearch::learn_need(std::uint64_t edits) noexcept {
  need_[edits] = least_passing_over(edits, floor_, exact_counts_);
}

void FuzzySearch::set_floor(Floor floor) noexcept {
  floor_ = floor;
  if (counts_bound_) std::fill(std::begin(need_), std::end(need_), kUnknown);
}

// floor_.passed_by(bound_in_window(...)) with one stretch (usual thresholds), without a division:
// the floor passes the largest of the values when it passes any of them, and each is tested as a
// count (passes_floor). What the run is recorded to have read (saw_end_) is as bound_in_window's.
WORDSIEVE_ALWAYS_INLINE bool FuzzySearch::may_pass_in_window(std::uint64_t names,
                                                             std::uint64_t height,
                                                             std::uint64_t consumed,
                                                             std::uint64_t edits) {
  const std::uint64_t base = std::max(consumed, names);
  if (consumed >= horizon_) return passes_floor(edits, base + height);
  std::size_t k = 0;
  while (k < window_foreign_.size() && window_foreign_[k] < consumed) ++k;
  std::uint64_t cap = consumed + height;
  if (cap > left_) {
    cap = left_;
    if (left_ <= horizon_) saw_end_ = true;
  }
  const bool foreign_ahead = k < window_foreign_.size();
  const std::uint64_t stop = foreign_ahead ? window_foreign_[k] : horizon_;
  if (stop >= cap) return passes_floor(edits, base + (cap - consumed));
  if (!foreign_ahead) return passes_floor(edits, base + height);
  return passes_floor(edits, base + (stop - consumed)) ||
         (gate(edits, stop) && passes_floor(edits + 1, base + height + 1));
}

// Cut 2 for the edit steps of one kind from a branching state: the states they lead to have
// `edits` edits and `consumed` bytes consumed, with clean names of at most `depth` + X bytes and
// keys at most `height` levels deeper. None is taken when no state below them may pass `floor`;
// all are (kOpen) when they branch and their own edit steps may lead to such a state; otherwise
// (kForced) each is taken only when it is a candidate or takes its match step: its own edit steps
// lead nowhere, so nothing else below it matters.
FuzzySearch::Step FuzzySearch::step(std::uint64_t depth, std::uint64_t consumed,
                                    std::uint64_t edits, std::uint64_t height) {
  if (!may_pass(depth + excess_, height, consumed, edits)) return Step::kNone;
  if (consumed >= left_ || !gate(edits, consumed)) return Step::kForced;
  const std::uint64_t more = edits + 1;
  const bool edit_steps = may_pass(depth + 1 + excess_, height, consumed + 1, more) ||
                          (height > 0 && may_pass(depth + 1 + excess_, height - 1, consumed, more));
  return edit_steps ? Step::kOpen : Step::kForced;
}

// Cut 6 (docs/fuzzy_search.md). A forced step's state, having consumed `at` bytes with x.edited
// edits, takes no edit before its gate opens at `opens` bytes consumed; until then it leads only to
// candidate tests and to the match step on the next byte. A clean name of k bytes met at i bytes
// consumed passes the threshold exactly when max(i, k) > opens (the similarity and the gate are the
// same expression, F2); before the gate opens, i <= opens, so only names longer than `opens`
// bytes count there. So the state leads somewhere only when its own clean name passes (`own`:
// it may be a candidate at all), or its match steps meet such a name, or they match every byte
// up to where the gate opens (at least the next one), of which kLookAhead are looked at. A
// foreign byte (in no key) or the text's end stops the match steps.

// Those sets among the children of a wide node.
WORDSIEVE_ALWAYS_INLINE void FuzzySearch::forced_sets(const Expansion& x, const ChildIndex::Node& wide,
                                                      std::uint64_t at, bool own, ForcedSets& sets) {
  sets = {};
  const std::uint64_t opens = opens_at(x.edited);
  sets.own_names = own && (at > opens || wide.longest_named > opens);
  if (at >= x.seen_end) {
    if (at < x.left) {
      sets.all = true;  // past the key while its part is listed: kept, to be asked later (cut 8)
    } else {
      saw_end_ = true;
    }
    return;
  }
  const std::uint64_t need = opens > at ? opens - at : 1;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(need, ChildIndex::kLookAhead));
  const unsigned char* const s = x.s + at;
  std::size_t size = 0;
  bool full = true;
  for (; size < want; ++size) {
    if (at + size >= x.seen_end) {
      if (at + size >= x.left) {
        saw_end_ = true;
        full = false;
      }
      break;  // past the key: the children that match up to its end are kept (cut 8)
    }
    if (foreign_byte_[s[size]]) {
      bits_read_ = std::max(bits_read_, at + size + 1);
      full = false;
      break;
    }
  }
  // With one byte to match, a name met on it lies past `opens` and passes, but it is in `reach`.
  const bool names = need > 1 && wide.longest_below > opens;
  // The longest start of those bytes that some child matches: the outcome depends on the bytes up
  // to the first that none matches, not on those after it.
  ChildIndex::Node::Path path;
  std::size_t length = size;
  while (length > 0 && !wide.path(s, length, path)) --length;
  bytes_read_ = std::max(bytes_read_, at + (length < size ? length + 1 : size));
  if (length == 0) return;
  if (length == size && full) sets.reach = path.reach;
  if (names && path.longest > opens) sets.named_on = path.named_on;
}

// The same for one child, walked.
WORDSIEVE_ALWAYS_INLINE bool FuzzySearch::leads_on(const TrieNode* node, const Expansion& x,
                                                   std::uint64_t at, bool own) {
  const std::uint64_t opens = opens_at(x.edited);
  const auto passes = [opens](const TrieNode* named, std::uint64_t consumed) {
    return name_passes(named, consumed, opens);
  };
  if (own && passes(node, at)) return true;
  const std::uint64_t need = opens > at ? opens - at : 1;
  const std::uint64_t want = std::min<std::uint64_t>(need, ChildIndex::kLookAhead);
  for (std::uint64_t j = 0; j < want; ++j) {
    if (at + j >= x.seen_end) {
      if (at + j < x.left) return true;  // past the key while its part is listed (cut 8)
      saw_end_ = true;
      return false;
    }
    const unsigned char c = x.s[at + j];
    if (foreign_byte_[c]) {
      bits_read_ = std::max(bits_read_, at + j + 1);
      return false;
    }
    bytes_read_ = std::max(bytes_read_, at + j + 1);
    node = node->children.find(c);
    if (node == nullptr) return false;
    if (passes(node, at + j + 1)) return true;
  }
  return true;
}

// The replace and keyword-skip steps from a node with at least ChildIndex::kWide children, from its
// entry in the index: all of a kind that branches, and those of a forced kind that lead somewhere.
WORDSIEVE_ALWAYS_INLINE void FuzzySearch::push_wide_child_steps(const Expansion& x,
                                                                const ChildIndex::Node& wide,
                                                                std::vector<State>& out) {
  const State& state = x.state;
  const Step replace = x.replace, keyword_skip = x.keyword_skip;
  const std::uint64_t next = x.next, edited = x.edited;
  const std::size_t words = wide.words;
  ForcedSets by_replace_sets, by_skip_sets;
  if (replace == Step::kForced) forced_sets(x, wide, next, true, by_replace_sets);
  if (keyword_skip == Step::kForced) forced_sets(x, wide, state.consumed, state.consumed != 0, by_skip_sets);
  // Word w of the set a forced step's states must be in.
  const auto forced_word = [&wide](std::size_t w, const ForcedSets& sets) {
    if (sets.all) return ~std::uint64_t{0};
    std::uint64_t word = sets.own_names ? wide.named[w] : 0;
    if (sets.reach != nullptr) word |= sets.reach[w];
    if (sets.named_on != nullptr) word |= sets.named_on[w];
    return word;
  };
  const std::size_t matched_at = wide.position(x.b);  // plus one; 0 when b has no child
  const bool open_kind = replace == Step::kOpen || keyword_skip == Step::kOpen;
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t by_replace = 0, by_skip = 0;
    if (replace == Step::kOpen) {
      by_replace = ~std::uint64_t{0};
    } else if (replace == Step::kForced) {
      by_replace = forced_word(w, by_replace_sets);
    }
    if (matched_at != 0 && (matched_at - 1) >> 6 == w) {
      by_replace &= ~(std::uint64_t{1} << ((matched_at - 1) & 63));
    }
    if (keyword_skip == Step::kOpen) {
      by_skip = ~std::uint64_t{0};
    } else if (keyword_skip == Step::kForced) {
      by_skip = forced_word(w, by_skip_sets);
    }
    std::uint64_t any = by_replace | by_skip;
    const std::size_t limit = wide.children.size() - (w << 6);
    if (limit < 64) any &= (std::uint64_t{1} << limit) - 1;
    while (any != 0) {
      const unsigned bit = static_cast<unsigned>(std::countr_zero(any));
      any &= any - 1;
      const TrieNode* child = wide.children[(w << 6) + bit].child;
      if (open_kind) shape_->prefetch(child);  // its height is read when it branches
      if ((by_replace >> bit) & 1U) {
        out.push_back({child, next, edited, x.deeper, replace == Step::kForced});
      }
      if ((by_skip >> bit) & 1U) {
        out.push_back({child, state.consumed, edited, x.deeper, keyword_skip == Step::kForced});
      }
    }
  }
}

// The replace and keyword-skip steps from a node's child map: a node the index does not hold (fewer
// children, or very many), or any node for a search without the trie's shape (see
// docs/fuzzy_search.md, cut 6: its forced steps' states are walked instead).
WORDSIEVE_ALWAYS_INLINE void FuzzySearch::push_child_steps(const Expansion& x,
                                                           std::vector<State>& out) {
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (x.state.node->children.next(pos, entry)) {
    const TrieNode* child = entry.child;
    if (x.replace != Step::kNone && entry.key != x.b &&
        (x.replace == Step::kOpen || leads_on(child, x, x.next, true))) {
      out.push_back({child, x.next, x.edited, x.deeper, x.replace == Step::kForced});
    }
    if (x.keyword_skip == Step::kOpen ||
        (x.keyword_skip == Step::kForced && leads_on(child, x, x.state.consumed, x.state.consumed != 0))) {
      out.push_back({child, x.state.consumed, x.edited, x.deeper, x.keyword_skip == Step::kForced});
    }
  }
}

// The steps from a popped state that has not consumed the whole text: its match step and, when it
// `branches` (see search), its edit steps, pushed to the stack and to `edited_steps`. True when
// the match step is the only step and has been put in `state` instead, to be followed at once.
WORDSIEVE_ALWAYS_INLINE bool FuzzySearch::expand(State& state, bool branches, std::uint64_t height,
                                                 const unsigned char* s, std::uint64_t left,
                                                 std::vector<State>& edited_steps) {
  const unsigned char b = s[state.consumed];
  const std::uint64_t next = state.consumed + 1;
  if (next > bytes_read_) bytes_read_ = next;
  const TrieNode* const matched = state.node->children.find(b);
  if (matched != nullptr) {
    __builtin_prefetch(matched);
    if (shape_ != nullptr) shape_->prefetch(matched);
  }
  // How the edit steps of each kind are taken: not at all when cut 2 leaves no room below them;
  // all of them when their states branch themselves (their gate passes and cut 2 leaves room
  // below their own edit steps); otherwise (forced) only those whose state is a candidate or
  // takes the match step on its next byte, since such a state leads nowhere else. Text-skip and
  // replace steps are bounded together: the larger depth for the clean names, the larger height.
  Step text_skip = Step::kNone, replace = Step::kNone, keyword_skip = Step::kNone;
  if (branches) {
    const std::uint64_t edited = state.edits + 1;
    const bool has_children = !state.node->children.empty() && height > 0;
    if (!all_cuts_) {
      text_skip = Step::kOpen;
      replace = keyword_skip = has_children ? Step::kOpen : Step::kNone;
    } else {
      text_skip = step(state.depth + 1, next, edited, height);
      if (has_children) {
        replace = text_skip;
        keyword_skip = step(state.depth + 1, state.consumed, edited, height - 1);
      }
    }
  }
  if (text_skip == Step::kNone && replace == Step::kNone && keyword_skip == Step::kNone) {
    if (matched == nullptr) return false;
    state = {matched, next, state.edits, state.depth + 1, 0};
    return true;
  }

  if (matched != nullptr) stack_.push_back({matched, next, state.edits, state.depth + 1, 0});
  const std::uint64_t edited = state.edits + 1;
  // A step of a forced kind is taken only when its state leads somewhere (cut 6).
  const Expansion x{state, s, left, std::min(left, part_end_), b, next, edited, state.depth + 1,
                    replace, keyword_skip};
  if (text_skip == Step::kOpen || (text_skip == Step::kForced && leads_on(state.node, x, next, true))) {
    edited_steps.push_back({state.node, next, edited, state.depth, text_skip == Step::kForced});
  }
  if (replace == Step::kNone && keyword_skip == Step::kNone) return false;
  const ChildIndex::Node* indexed = nullptr;
  if (shape_ != nullptr && state.node->children.size() >= ChildIndex::kWide) {
    indexed = shape_->wide(state.node);
  }
  if (indexed != nullptr) {
    push_wide_child_steps(x, *indexed, edited_steps);
  } else {
    push_child_steps(x, edited_steps);
  }
  return false;
}

// One pass from the current start with cuts 1 to 3. kVisitOrder goes depth first in the order that
// defines S; given a target similarity it stops at the first candidate that reaches it, otherwise
// it keeps the best as S does. kMaximum only needs the best similarity, so it takes states in order
// of their edits (all states with e edits before any with e + 1, depth first among equals): good
// candidates are found before long chains of edits, whose bound then cuts them. Cut 1 stays sound
// in this order: of the states of greatest similarity take one with the fewest edits, Y; were Y lost
// to a dominance cut, the dominating state would lead to an equal similarity with fewer edits, or
// be the same state met again, whose own path to Y is then followed further down.
//
// A state whose edit gate fails (most states at usual thresholds) takes at most the match step,
// and that step is the next state popped in either order; so it is followed at once, without the
// stack. Cuts 1 and 2 are spent only on states that branch: leaving out a cut never changes the
// result, and a chain of match steps is cheaper to follow than the cuts are to test.
template <FuzzySearch::Pass kPass>
bool FuzzySearch::search(Goal goal, FuzzyCandidate& out) {
  const std::uint64_t left = left_;
  const unsigned char* const s = text_ + start_;
  const float t = threshold_;
  const bool cut = all_cuts_;
  float best = 0.0f;
  bool found = false;
  std::uint64_t popped = 0;
  std::uint64_t layer = 0;  // kMaximum: the edit count of the states on stack_
  settled_early_ = false;
  const float least = std::max(t, goal.reached);
  // What a bound must pass to leave room for a candidate that matters to this pass.
  set_floor({least, best});

  seen_.clear();
  stack_.clear();
  later_.clear();
  if (horizon_ == kUnknown && bounds_.empty()) bounds_.resize(kBoundSlots);  // see bound()
  // Where steps that add an edit go.
  std::vector<State>& edited_steps = kPass == Pass::kMaximum ? later_ : stack_;
  if (kPass != Pass::kReplay) stack_.push_back({root_, 0, 0, 0, 0});
  State state;
  bool follow = false;  // `state` is the match step of the previous state
  std::uint64_t polled = 0;
  for (;;) {
    if (++popped - polled >= kPollStates) [[unlikely]] {
      poll_interrupt(popped - polled);
      polled = popped;
    }
    if (!follow) {
      if (kPass == Pass::kReplay && stack_.empty()) {
        if (!replay_next(least, best, out, found)) break;
      } else if (stack_.empty()) {
        // Every state with the current edit count is done.
        if (kPass == Pass::kMaximum && found && layer >= goal.settle_edits) {
          settled_early_ = true;
          break;
        }
        if (later_.empty()) break;
        ++layer;
        stack_.swap(later_);
      }
      state = stack_.back();
      stack_.pop_back();
    }
    follow = false;
    if (kPass == Pass::kKeyPart && state.consumed >= part_end_) {
      // A state past the key: listed in its place, taken by the replays.
      KeyPartEvent& event = part_->emplace_back();
      event = {state.node, {}, static_cast<std::uint32_t>(state.edits), state.depth, 0,
               state.forced != 0 ? KeyPartEvent::kForcedState : KeyPartEvent::kState};
      if (state.forced != 0) {
        if (name_passes(state.node, state.consumed, opens_at(state.edits))) {
          event.next_bytes = ~std::uint32_t{0};
        } else {
          event.next_bytes = 0;
          std::size_t pos = 0;
          ChildMap::Entry entry;
          while (state.node->children.next(pos, entry)) event.next_bytes |= std::uint32_t{1} << (entry.key & 31);
        }
      } else {
        std::uint64_t height = longest_key_ > state.depth ? longest_key_ - state.depth : 0;
        if (shape_ != nullptr && state.depth > 1) height = shape_->height(state.node, height);
        event.height = static_cast<std::uint32_t>(height);
      }
      if (part_->size() > kMaxKeyPartEvents) break;  // too long to keep: the caller searches whole
      continue;
    }
    bool branches = state.forced == 0 && state.consumed < left && gate(state.edits, state.consumed);
    std::uint64_t height = longest_key_ > state.depth ? longest_key_ - state.depth : 0;
    if (branches) {
      if (shape_ != nullptr && state.depth > 1) height = shape_->height(state.node, height);
      if (!seen_.admit(state.node, state.consumed, state.edits)) continue;  // cut 1
      if (cut && state.edits != 0 &&
          !may_pass(state.depth + excess_, height, state.consumed, state.edits)) {
        continue;  // cut 2
      }
    }

    if (state.consumed != 0 && state.node->clean_name.has_value()) {
      const std::uint64_t k = state.node->clean_name.view().size();
      const float sim = one_minus_ratio(state.edits, std::max(state.consumed, k));
      if (sim >= least && sim > best) {
        best = sim;
        set_floor({least, best});
        out = {state.node, state.consumed, sim};
        found = true;
        if (kPass == Pass::kKeyPart) {
          KeyPartEvent& event = part_->emplace_back();
          event = {state.node, {}, 0, 0, static_cast<std::uint16_t>(state.consumed), KeyPartEvent::kCandidate};
          event.similarity = sim;
        }
        if (best >= 1.0f || best == goal.stop_at) break;  // cuts 3 and 5
      }
    }

    if (state.consumed >= left) {
      saw_end_ = true;
      continue;
    }
    // A pass that will settle at the end of this layer takes no steps into the next one.
    if (kPass == Pass::kMaximum && found && layer >= goal.settle_edits) branches = false;
    follow = expand(state, branches, height, s, left, edited_steps);
  }
  poll_interrupt(popped - polled);
  popped_total_ += popped;
  return found;
}

// Cut 8 (docs/fuzzy_search.md).
bool FuzzySearch::record_key_part(std::uint64_t key, float reached, std::vector<KeyPartEvent>& events) {
  events.clear();
  // A state inside the key has fewer than `key` bytes consumed and at most H levels of depth, so
  // its edits (at most their sum) fit the list's 32 bits.
  if (!all_cuts_ || !key_part_applies(key, left_, threshold_) || key > 0xFFFF ||
      longest_key_ > 0xFFFF0000U || horizon_ != key ||
      !foreign_byte_[text_[start_ + key - 1]]) {
    return false;
  }
  constexpr std::uint64_t kAnyEdits = ~std::uint64_t{0};
  part_end_ = key;
  part_ = &events;
  FuzzyCandidate unused;
  search<Pass::kKeyPart>({reached, 0.0f, kAnyEdits}, unused);
  part_end_ = kUnknown;
  part_ = nullptr;
  // What it read lies inside the key (the look-ahead keeps whatever lies past it), and so did
  // every state it took: nothing depends on the text after the key, nor on where the text ends.
  if (saw_end_ || bytes_read_ > key || events.size() > kMaxKeyPartEvents) {
    events.clear();
    return false;
  }
  return true;
}

bool FuzzySearch::replay_key_part(std::uint64_t key, const KeyPartEvent* events, std::size_t count,
                                  float reached, FuzzyCandidate& out) {
  if (!keywords_within_reach(start_)) return false;
  constexpr std::uint64_t kAnyEdits = ~std::uint64_t{0};
  // The look-ahead reads past the key as usual (part_end_ stays unknown): the replay knows the text.
  replay_key_ = key;
  replay_at_ = events;
  replay_end_ = events + count;
  const bool found = search<Pass::kReplay>({reached, 0.0f, kAnyEdits}, out);
  // The list stands for the search of the key's bytes: the result depends on them all (the memo
  // compares them anyway), and on the text going on past them, with a byte at least.
  bytes_read_ = std::max(bytes_read_, key);
  bits_read_ = std::max(bits_read_, key + 1);
  if (reached > 0.0f && !found) {
    fail("fuzzy search: the replay did not reach a similarity known to be reached");
  }
  return found;
}

WORDSIEVE_ALWAYS_INLINE bool FuzzySearch::replay_next(float least, float& best, FuzzyCandidate& out,
                                                      bool& found) {
  const unsigned char* const s = text_ + start_;
  // The bit of the byte after the key in a forced state's entry (the text goes on past the key).
  const unsigned next_bit = s[replay_key_] & 31U;
  while (replay_at_ != replay_end_) {
    const KeyPartEvent& event = *replay_at_++;
    if (event.kind == KeyPartEvent::kForcedState) {
      // The look-ahead of cut 6 that the list left undone, now that the bytes are known; most
      // states fail at the next byte, which their list entry answers without a visit to the node.
      if (bytes_read_ <= replay_key_) bytes_read_ = replay_key_ + 1;
      if (((event.next_bytes >> next_bit) & 1U) == 0) continue;
      const State state{event.node, replay_key_, event.edits, event.depth, 1U};
      const Expansion x{state, s, left_, left_, 0, 0, state.edits, 0, Step::kNone, Step::kNone};
      if (!leads_on(state.node, x, replay_key_, true)) continue;
      stack_.push_back(state);
      return true;
    }
    if (event.kind == KeyPartEvent::kCandidate) {
      if (event.similarity >= least && event.similarity > best) {
        best = event.similarity;
        set_floor({least, best});
        out = {event.node, event.consumed, event.similarity};
        found = true;
        if (best >= 1.0f) return false;  // cut 3
      }
      continue;
    }
    const State state{event.node, replay_key_, event.edits, event.depth, 0U};
    if (state.edits != 0 && gate(state.edits, replay_key_) &&
        !may_pass(state.depth + excess_, event.height, replay_key_, state.edits)) {
      continue;  // cut 2, as the search takes it when it pops the state, before it is pushed
    }
    stack_.push_back(state);
    return true;
  }
  return false;
}

bool fuzzy_end_rule(std::string_view text, std::uint64_t start, std::uint64_t consumed,
                    const WordBytes& words, bool allow_overlaps, std::uint64_t& end) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::uint64_t n = text.size();
  const std::uint64_t m = trimmed_end(s, start + consumed);
  end = m;
  if (allow_overlaps || m == n) return true;
  const std::uint64_t window_end = std::min(n, m + 3);
  for (std::uint64_t j = m; j < window_end; ++j) {
    if (words.is_boundary(s[j])) return true;
  }
  return false;
}

}  // namespace wordsieve
