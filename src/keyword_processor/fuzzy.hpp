// Fuzzy search: the best approximate keyword match from one start position, and the end rule that
// decides whether it may be reported.
//
// What the search computes
// ------------------------
// A state is (node, i, e): a trie node, i bytes of the text consumed from the start position p,
// e edits. From a state with i < r (r = bytes left from p) and b = s[p+i], four kinds of steps:
//   match          (child for b, i+1, e)    whenever the node has a child for b;
//   text-skip      (node, i+1, e+1)         }
//   replace        (child x, i+1, e+1)      } only while the edit gate 1 - e/(i+1) >= t,
//   keyword-skip   (child x, i, e+1)        } replace for every child x whose byte is not b.
// Starting from (root, 0, 0) they are explored depth first with a LIFO stack: the match step is
// pushed first, then text-skip, then replace and keyword-skip for each child in ascending key
// order. A state whose node carries a clean name of k bytes has similarity 1 - e/max(i, k); it
// becomes the candidate when the similarity is >= t and strictly greater than the best so far
// (which starts at 0.0), so among equal similarities the first state in that order wins. All
// arithmetic is single precision: counts converted to float, divided, subtracted from 1.0f.
//
// Settled corner cases:
//  (a) A state that has consumed no byte (i = 0) is never a candidate: not the root's own clean
//      name, not a node reached by keyword-skip steps alone. It neither becomes the candidate nor
//      raises the best similarity, so it cannot block a longer candidate of lower similarity. A
//      match therefore always covers at least one byte and the scan always advances.
//  (b) A candidate that consumed a single trim byte would be reported with start p+1 > end p. The
//      scan reports no match for it and moves on by its one consumed byte (see fuzzy_scan.cpp).
//
// Why the search that runs returns exactly that candidate while it leaves most states out (the
// facts F1 to F3 and the cuts 1 to 9 its code names) is argued in docs/fuzzy_search.md.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/internal/byte_class.hpp"
#include "keyword_processor/internal/child_index.hpp"
#include "keyword_processor/internal/fuzzy_ratio.hpp"
#include "keyword_processor/internal/fuzzy_shape.hpp"
#include "keyword_processor/internal/keyword_stats.hpp"
#include "keyword_processor/internal/seen_states.hpp"
#include "keyword_processor/internal/trie_node.hpp"
#include "keyword_processor/platform_features.hpp"
#include "processor.hpp"

namespace wordsieve {

struct FuzzyCandidate {
  const TrieNode* node;    // carries the clean name
  std::uint64_t consumed;  // L: bytes of the text consumed from the start position, at least 1
  float similarity;        // unrounded
};

// What the part of a search inside its key leaves to the rest (FuzzySearch::record_key_part), in
// the order the search pops it: a candidate found inside the key, or a state that has consumed the
// whole key, whose steps depend on the text after it.
struct KeyPartEvent {
  enum Kind : std::uint8_t { kCandidate, kState, kForcedState };
  const TrieNode* node;
  union {
    float similarity;      // kCandidate
    std::uint32_t height;  // kState: of its subtree, as cut 2 takes it
    // kForcedState: bit b & 31 for each byte b that the node has a child for, or every bit when
    // its own clean name may pass: the replay asks cut 6 only when the next byte's bit is set.
    std::uint32_t next_bytes;
  };
  std::uint32_t edits;     // states
  std::uint32_t depth;     // states
  std::uint16_t consumed;  // kCandidate: fewer bytes than the key (a state has consumed all of it)
  Kind kind;
};

// The search over one text at one threshold, run for any number of start positions. It keeps its
// buffers between start positions so that a call allocates only while they grow.
class FuzzySearch {
 public:
  enum class Cuts {
    kAll,    // every cut
    kPlain,  // one pass in S's order with cuts 1 and 3 only: slow, for comparison in tests
    // Every cut, but without the trie's shape (subtree heights, the wide nodes' index): the whole
    // trie's height stands in for each subtree's, and each child is asked about the next byte
    // alone; for tests.
    kUnmeasured,
  };

  // `threshold` must be in [0, 1). The trie, its figures, its shape (null: unknown) and the text
  // must outlive the object.
  FuzzySearch(const TrieNode& root, const KeywordStats& stats, const FuzzyShape* shape,
              std::string_view text, float threshold, Cuts cuts = Cuts::kAll);
  // The same for the processor's trie, figures and shape (keyword_stats.hpp, fuzzy_shape.hpp),
  // which must not change.
  FuzzySearch(const KeywordProcessor& processor, std::string_view text, float threshold,
              Cuts cuts = Cuts::kAll);

  // Searches another text from now on, keeping every buffer (the trie and threshold stay).
  void set_text(std::string_view text);

  // The candidate of the search from `start` (< text size). False when there is none.
  bool run(std::uint64_t start, FuzzyCandidate& out) {
    begin(start);
    return exact_first(out) || passes(out);
  }
  // run() in three parts, for a caller that looks for a remembered result in between: begin a
  // search from `start`; the candidate of cut 4 when it applies and the chain of match steps holds
  // a keyword; otherwise the candidate of the passes (false when there is none).
  void begin(std::uint64_t start);
  bool exact_first(FuzzyCandidate& out);
  // `reached`: a similarity that some state of this search is known to reach (0 when none is).
  bool passes(FuzzyCandidate& out, float reached = 0.0f);
  // passes() in two parts (cut 8, docs/fuzzy_search.md), for a start whose key (the bytes up to and
  // including the first foreign byte after it, `key` >= 2 of them) lies inside the text with a
  // byte after it, after set_horizon(key), at usual thresholds. record_key_part() searches the
  // states that have consumed fewer than `key` bytes and lists in `events` what they leave to the
  // rest, in the search's order; the list depends on the key's bytes, the regime and `reached`
  // alone, not on the text after the key. False (and no list) when it does not apply or the list
  // would exceed kMaxKeyPartEvents. replay_key_part() finishes the search from the current start,
  // at any start with the same key and regime, given such a list and the `reached` it was made
  // with: passes()'s candidate.
  static constexpr std::size_t kMaxKeyPartEvents = 4096;
  static bool key_part_applies(std::uint64_t key, std::uint64_t left, float threshold) noexcept {
    return threshold >= kUsual && key >= 2 && left > key;
  }
  bool record_key_part(std::uint64_t key, float reached, std::vector<KeyPartEvent>& events);
  bool replay_key_part(std::uint64_t key, const KeyPartEvent* events, std::size_t count,
                       float reached, FuzzyCandidate& out);
  // Keeps the bound of cut 2 from looking at bytes `horizon` or more past the start, for a caller
  // that remembers results by a window of that size; without it, it looks as far as it needs.
  void set_horizon(std::uint64_t horizon);
  // Whether the search gains from a horizon: at usual thresholds, where the bound looks no further
  // than the next foreign byte anyway.
  bool wants_horizon() const noexcept { return threshold_ >= kUsual; }

  // What the last run read: the bytes of s[start, start + bytes_read()), and whether each byte of
  // s[start, start + bits_read()) is foreign; and whether its decisions depended on where the text
  // ends. A run from another start whose text agrees on all of that, without ending inside the
  // larger window, returns the same candidate (fuzzy_memo.hpp).
  std::uint64_t bytes_read() const noexcept { return bytes_read_; }
  std::uint64_t bits_read() const noexcept { return bits_read_; }
  bool saw_end() const noexcept { return saw_end_; }
  // The bytes its buffers hold: the figures of the last text and the states of the last searches.
  std::size_t buffer_bytes() const noexcept {
    return (foreign_.capacity() + foreign_before_.capacity() + ahead_.capacity() + window_foreign_.capacity()) *
               sizeof(std::uint64_t) +
           (stack_.capacity() + later_.capacity()) * sizeof(State) + bounds_.capacity() * sizeof(BoundSlot) +
           seen_.bytes();
  }
  // Whether searches from this start and another one with the same window use the same
  // arithmetic and cuts: a number that differs otherwise.
  unsigned regime() const noexcept { return (exact_counts_ ? 1U : 0U) | (exact_first_ ? 2U : 0U); }
  // The regime with exact counts and cut 4, which a later start (less text left) always keeps.
  static constexpr unsigned kFinalRegime = 3;
  // The regime a search from `start` will have, before it begins.
  unsigned regime_at(std::uint64_t start) const noexcept {
    const std::uint64_t left = size_ - start;
    const bool exact_counts = left + longest_key_ + excess_ < kExactCounts;
    const bool exact_first = all_cuts_ && left <= kExactFirstLimit && longest_key_ + excess_ <= kExactFirstLimit;
    return (exact_counts ? 1U : 0U) | (exact_first ? 2U : 0U);
  }
  // Bit k: whether text byte from + k is foreign, for k < count <= 64, with from at most the text's
  // size; bytes past the text count as not foreign. Without a branch: where the bits lie changes
  // from one start to the next.
  std::uint64_t foreign_pattern(std::uint64_t from, std::uint64_t count) const noexcept {
    const std::uint64_t word = from >> 6, shift = from & 63;
    const std::uint64_t bits = foreign_[word] >> shift | (foreign_[word + 1] << 1) << (63 - shift);
    const std::uint64_t mask =
        ((std::uint64_t{1} << (count & 63)) - 1) | (std::uint64_t{0} - (count >> 6));
    return bits & mask;
  }
  // Cut 7 (docs/fuzzy_search.md): whether some keyword may still give a candidate from `start`;
  // once false, it stays false for every later start.
  bool keywords_within_reach(std::uint64_t start) const noexcept {
    const std::uint64_t left = size_ - start;
    if (shortest_key_ <= left) return true;
    const float bound = one_minus_ratio_above(shortest_key_ - left, std::max(left, longest_key_ + excess_));
    return bound >= threshold_ && bound > 0.0f;
  }
  // Whether byte `b` occurs in no stored key.
  bool foreign(unsigned char b) const noexcept { return foreign_byte_[b]; }
  // Cut 9 (docs/fuzzy_search.md): whether a start at a foreign byte whose next foreign byte lies
  // `next` bytes after it (inside the text) has no candidate.
  bool foreign_start_out_of_reach(std::uint64_t next) const noexcept { return next < foreign_start_reach_; }

  // States popped by all runs so far.
  std::uint64_t states_popped() const noexcept { return popped_total_; }

 private:
  struct State {
    const TrieNode* node;
    std::uint64_t consumed;
    std::uint64_t edits;
    std::uint32_t depth;   // below 2^32: every trie node is a slot of memory
    std::uint32_t forced;  // its edit steps lead nowhere (cut 6): it takes at most its match step
  };

  enum class Pass {
    kMaximum,     // any order (fewest edits first): the greatest similarity of any candidate
    kVisitOrder,  // the order of S: the first candidate of the target similarity, or the best
    kKeyPart,     // kVisitOrder over the states inside the key, listing what they leave (cut 8)
    kReplay,      // kVisitOrder over the states past the key, fed from such a list
  };

  // How the edit steps of one kind from a branching state are taken (see step()).
  enum class Step { kNone, kForced, kOpen };

  // Below this many bytes of text left, key length and clean-name excess together, every count a
  // search converts to float is exact (docs/fuzzy_search.md); up to the other, cut 4 applies.
  static constexpr std::uint64_t kExactCounts = std::uint64_t{1} << 23;
  static constexpr std::uint64_t kExactFirstLimit = std::uint64_t{1} << 24;
  static constexpr std::uint64_t kGateTable = 64;
  // From this threshold on ("usual" thresholds) the gate keeps states near the text's next
  // words: one pass in S's order suffices (cut 5) and the bound looks only at the next foreign
  // byte; below, the bound and the pass over the fewest edits first decide most of the work.
  static constexpr float kUsual = 0.6f;
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  static constexpr unsigned kBoundBits = 12;
  static constexpr std::size_t kBoundSlots = std::size_t{1} << kBoundBits;
  static constexpr std::uint64_t kNeedTable = 32;

  using Floor = SimilarityFloor;

  // Cut 2: no state below a state that has consumed `consumed` bytes with `edits` edits (itself
  // included) has a similarity above this, when the keys below it go at most `height` levels
  // deeper and their clean names have at most `names` bytes plus those consumed beyond
  // `consumed`. Remembered for the run, since the same values come up many times: in a table of
  // kBoundSlots slots (96 KiB, bounds_), whose one word of key compares the four counts at once.
  struct BoundSlot {
    std::uint64_t key = 0;  // the four counts, 16 bits each
    std::uint64_t run = 0;  // the run it was computed in; 0: never
    float value = 0.0f;
  };
  float bound(std::uint64_t names, std::uint64_t height, std::uint64_t consumed,
              std::uint64_t edits) {
    if (horizon_ != kUnknown) return bound_in_window(names, height, consumed, edits);
    // The names count only through B = max(consumed, names): states of several depths share it.
    // The four counts are small and fit one word; larger ones are not remembered.
    const std::uint64_t base = std::max(consumed, names);
    if ((base | height | consumed | edits) >> 16 != 0) return bound_computed(base, height, consumed, edits);
    const std::uint64_t key = base | height << 16 | consumed << 32 | edits << 48;
    BoundSlot& slot = bounds_[(key * 0x9E3779B97F4A7C15ULL) >> (64 - kBoundBits)];
    if (slot.key != key || slot.run != run_) slot = {key, run_, bound_computed(base, height, consumed, edits)};
    return slot.value;
  }
  float bound_in_window(std::uint64_t names, std::uint64_t height, std::uint64_t consumed,
                        std::uint64_t edits);
  float bound_computed(std::uint64_t base, std::uint64_t height, std::uint64_t consumed,
                       std::uint64_t edits);
  // Whether bound(names, height, consumed, edits) passes floor_, the floor of the pass under way.
  // In a window (set_horizon) with one stretch, the bound's few values are compared as counts: for
  // e edits, a value 1 - e/x passes the floor exactly when x is at least need_[e], the least such x
  // (fuzzy_ratio.hpp).
  WORDSIEVE_ALWAYS_INLINE bool may_pass(std::uint64_t names, std::uint64_t height,
                                        std::uint64_t consumed, std::uint64_t edits) {
    if (counts_bound_) return may_pass_in_window(names, height, consumed, edits);
    return floor_.passed_by(bound(names, height, consumed, edits));
  }
  bool may_pass_in_window(std::uint64_t names, std::uint64_t height, std::uint64_t consumed,
                          std::uint64_t edits);
  WORDSIEVE_ALWAYS_INLINE bool passes_floor(std::uint64_t edits, std::uint64_t over) {
    if (edits >= kNeedTable) return floor_.passed_by(bound_value(edits, over, exact_counts_));
    if (need_[edits] == kUnknown) learn_need(edits);
    return over >= need_[edits];
  }
  void learn_need(std::uint64_t edits) noexcept;
  // Sets the floor of the pass under way; forgets need_.
  void set_floor(Floor floor) noexcept;
  Step step(std::uint64_t depth, std::uint64_t consumed, std::uint64_t edits,
            std::uint64_t height);

  // Makes `ahead_` hold its entry `index`, or every foreign byte before offset `until` from the
  // start when there are not that many.
  void learn_foreign(std::size_t index, std::uint64_t until) {
    if (ahead_.size() <= index && ahead_known_ < until) learn_more_foreign(index, until);
  }
  void learn_more_foreign(std::size_t index, std::uint64_t until);
  std::uint64_t rest(std::size_t index, std::uint64_t consumed);

  // Whether a state with `edits` edits and `consumed` bytes consumed passes the edit gate.
  bool gate(std::uint64_t edits, std::uint64_t consumed) noexcept {
    if (edits >= kGateTable) return gate_computed(edits, consumed);
    return consumed >= gate_opens(edits);
  }
  // The least consumed count at which the gate of `edits` (< kGateTable) edits passes.
  std::uint64_t gate_opens(std::uint64_t edits) noexcept {
    std::uint64_t& opens = gate_opens_[edits];
    if (opens == kUnknown) opens = first_open(edits);
    return opens;
  }
  bool gate_computed(std::uint64_t edits, std::uint64_t consumed) const noexcept;
  std::uint64_t first_open(std::uint64_t edits) const noexcept;

  // What a pass looks for. Candidates need a similarity of at least `reached` (one that some
  // state reaches, 0 when none is known); the pass ends at the first of similarity `stop_at`
  // (when it is known to be the greatest, 0 otherwise). kMaximum may also end once every state
  // with `settle_edits` edits or fewer is done and a candidate was found (settled_early_ then
  // tells so): its candidate's similarity is then a similarity reached, not always the greatest.
  struct Goal {
    float reached;
    float stop_at;
    std::uint64_t settle_edits;
  };
  template <Pass kPass>
  bool search(Goal goal, FuzzyCandidate& out);
  // kReplay: pushes the next listed state to take, taking the listed candidates before it; false
  // when the list is done or a candidate ends the search.
  bool replay_next(float least, float& best, FuzzyCandidate& out, bool& found);

  // The steps from one popped state (search's loop body past the cuts and the candidate test).
  struct Expansion {
    const State& state;
    const unsigned char* s;  // the text from the start position
    std::uint64_t left;      // r
    std::uint64_t seen_end;  // the look-ahead stops here: r, or the key's end (cut 8)
    unsigned char b;         // the text byte the state would consume next
    std::uint64_t next;      // consumed after a step that consumes b
    std::uint64_t edited;    // edits after an edit step
    std::uint32_t deeper;    // depth after a step into a child
    Step replace, keyword_skip;
  };
  // The sets of a wide node's children that a forced step's states must meet (null: none).
  struct ForcedSets {
    bool all = false;                            // every child (the bytes ahead are not looked at)
    bool own_names = false;                      // the children with a clean name
    const std::uint64_t* reach = nullptr;        // those that match the bytes ahead
    const std::uint64_t* named_on = nullptr;     // those with a clean name on the way
  };
  bool expand(State& state, bool branches, std::uint64_t height, const unsigned char* s,
              std::uint64_t left, std::vector<State>& edited_steps);
  void push_wide_child_steps(const Expansion& x, const ChildIndex::Node& wide,
                             std::vector<State>& out);
  void push_child_steps(const Expansion& x, std::vector<State>& out);
  void forced_sets(const Expansion& x, const ChildIndex::Node& wide, std::uint64_t at, bool own,
                   ForcedSets& sets);
  bool leads_on(const TrieNode* node, const Expansion& x, std::uint64_t at, bool own);
  // Cut 6: whether the clean name of `node`, met with `consumed` bytes consumed, passes the test of
  // a candidate whose gate opens at `opens` bytes.
  static bool name_passes(const TrieNode* node, std::uint64_t consumed, std::uint64_t opens) noexcept {
    return node->clean_name.has_value() && (consumed > opens || node->clean_name.view().size() > opens);
  }
  // The least consumed count at which the gate of `edits` edits (any count) passes.
  std::uint64_t opens_at(std::uint64_t edits) noexcept {
    return edits < kGateTable ? gate_opens(edits) : first_open(edits);
  }

  const TrieNode* root_;
  const unsigned char* text_;
  std::uint64_t size_;
  float threshold_;
  bool all_cuts_;
  std::uint64_t longest_key_;  // H
  std::uint64_t shortest_key_;
  std::uint64_t excess_;       // X
  // Stretches between foreign bytes the bound follows before it settles for a coarser value: one
  // at usual thresholds, where the others rarely change the outcome and reading them would make
  // remembered results depend on more of the text; more below, where the bound decides most.
  std::uint64_t stretches_;
  // Cut 9: the least distance from a foreign start to the next foreign byte at which the start
  // may have a candidate.
  std::uint64_t foreign_start_reach_ = 0;
  // The height of each node's own subtree, for the bound, instead of the whole trie's, and the
  // wide nodes' index (cut 6), as the processor keeps them (fuzzy_shape.hpp); null: neither.
  const FuzzyShape* shape_;

  // The current run.
  std::uint64_t start_ = 0;
  std::uint64_t left_ = 0;     // r
  std::uint64_t horizon_ = 0;
  std::uint64_t run_ = 0;      // counts the runs begun
  bool exact_counts_ = false;  // r + H + X < 2^23
  bool exact_first_ = false;   // cut 4 applies
  std::uint64_t bytes_read_ = 0;
  std::uint64_t bits_read_ = 0;
  bool saw_end_ = false;

  bool foreign_byte_[256];              // the byte occurs in no key
  // The same as the first set of a block lookup, built for the first text of kBlocksFrom bytes (a
  // block) or more; a shorter one is marked a byte at a time.
  static constexpr std::uint64_t kBlocksFrom = 64;
  ByteSets foreign_set_;
  SimdLevel simd_ = SimdLevel::kPortable;
  bool blocks_ready_ = false;
  std::vector<std::uint64_t> foreign_;  // bit j: text byte j is foreign; a zero word after the last
  std::vector<std::uint64_t> foreign_before_;  // [w]: foreign bytes before byte 64 w; empty: not counted yet
  // [e]: the least consumed count at which the gate of e edits passes, or kUnknown.
  std::uint64_t gate_opens_[kGateTable];
  // The foreign bytes of the current start as offsets from it, ascending: all those before offset
  // ahead_known_, which is as far as this start has looked.
  std::vector<std::uint64_t> ahead_;
  std::uint64_t ahead_known_ = 0;
  std::vector<std::uint64_t> window_foreign_;  // with a horizon: its foreign bytes, ascending
  // Made by the first pass outside a window (search()): below the usual thresholds.
  std::vector<BoundSlot> bounds_;
  Floor floor_{1.0f, 1.0f};
  bool counts_bound_ = false;       // may_pass compares counts (a window, one stretch)
  std::uint64_t need_[kNeedTable];  // see may_pass; kUnknown: not computed for this floor
  std::vector<State> stack_;
  std::vector<State> later_;  // kMaximum: states with one edit more than those on stack_
  SeenStates seen_;
  std::uint64_t popped_total_ = 0;
  bool settled_early_ = false;
  // Cut 8: the key's size while a search lists its part inside the key (kUnknown otherwise), the
  // list; the key's size in a replay, and where it reads in its list.
  std::uint64_t part_end_ = kUnknown;
  std::vector<KeyPartEvent>* part_ = nullptr;
  std::uint64_t replay_key_ = 0;
  const KeyPartEvent* replay_at_ = nullptr;
  const KeyPartEvent* replay_end_ = nullptr;
};

// The fuzzy end rule for a candidate that consumed `consumed` (>= 1) bytes from `start`. Trims one
// trailing trim byte, giving m; accepts when overlaps are allowed, when m is the end of the text, or
// when one of the bytes m, m+1, m+2 that lie inside the text is a boundary byte (the end of the text
// inside that window does not count). On acceptance stores m in `end`.
bool fuzzy_end_rule(std::string_view text, std::uint64_t start, std::uint64_t consumed,
                    const WordBytes& words, bool allow_overlaps, std::uint64_t& end) noexcept;

}  // namespace wordsieve
