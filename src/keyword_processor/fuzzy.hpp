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
// Why the faster search returns exactly that candidate
// ----------------------------------------------------
// Call S the sequence of states the stack search above pops. Its result is the first state of S
// with the greatest similarity M among those that pass the candidate test. The passes below walk
// the same tree of states and only leave out some states together with everything below them; the
// result stays the same as long as no left-out state would have replaced the best in S.
// (Following a chain of match steps without the stack, as the code does, changes nothing: the
// single step of such a state is the next one popped anyway.)
//  F1 Every step adds one to i or descends one level in the trie, so no state lies below itself,
//     and everything below a state depends on the state alone.
//  F2 1 - e/x is non-increasing in e and non-decreasing in x, and so is the edit gate in e:
//     int-to-float conversion, division and subtraction are each correctly rounded, hence
//     monotonic, for counts of any size. Where all counts are below 2^24 they convert exactly,
//     and then 1 - a/b <= 1 - c/d in floats whenever a/b >= c/d as fractions.
//  F3 The best similarity never decreases and is replaced only by a strictly greater one; a
//     similarity is never above 1.0, and a similarity <= 0 never beats the initial best of 0.0.
// Figures of the stored keywords, kept by the processor (keyword_stats.hpp): H, the longest key;
// X, the most a clean name is longer than its key (0 when none is); and which bytes occur in some
// key. A text byte that occurs in no key is foreign. Of a node v at depth d, h(v) is the greatest
// depth, counted from v, of a node with a clean name below it (subtree_heights.hpp; H - d serves
// as well). Counts are "exact" for a search from p when r + H + X < 2^23: every count a state
// below it can carry is then below 2^24 (consumed <= r, edits <= consumed + depth, depth <= H,
// clean name <= H + X).
// The cuts:
//  1. Dominated states. When (node, i, e0) was popped before and e >= e0, (node, i, e) is skipped.
//     Any path of steps from it can also be taken from (node, i, e0) (same node, same next byte,
//     and the gate passes with fewer edits, F2), reaching the same node and i with e - e0 fewer
//     edits, hence a similarity at least as high (F2). By F1 those states were all popped before
//     the skipped one, so the best is already at least their similarity (F3). With e = e0 this is
//     the plain visited set.
//  2. Bound. Take X = (v, i, e) with v at depth d, and Y = (y, i', e') below it with a clean name,
//     reached by m match, a text-skip, c replace and s keyword-skip steps. Then i' = i + m + a + c,
//     depth(y) = d + m + c + s and e' = e + a + c + s. A match step consumes a byte equal to the
//     key of the child it enters, a byte of y's key; so each foreign byte among the u = i' - i
//     bytes consumed is taken by a text-skip or a replace, and a + c >= F(u), the foreign bytes
//     among s[p+i, p+i+u). Matches descend towards y, so m <= h(v) and a + c = u - m >= u - h(v).
//     With g(u) = max(F(u), u - h(v)): e' >= e + g(u) + s. The clean name of y has at most
//     depth(y) + X bytes, and m + c <= u, so max(i', k) <= B + u + s with B = max(i, d + X).
//     Hence, when Y's similarity is above 0 (so e' < max(i', k)),
//         e'/max(i', k) >= (e + g(u) + s)/(B + u + s) >= (e + g(u))/(B + u)
//     and sim(Y) <= 1 - (e + g(u))/(B + u) for its u (F2, with exact counts). Within the stretch
//     of u where F(u) = f the right side is largest at the greatest u <= h + f (beyond it g grows
//     with u), its end or the text's end; the bound of X is the largest of these values over the
//     stretches. A path goes past the foreign byte that ends stretch f only by an edit step from
//     a state with at least e + f edits that has consumed up to it, whose gate must pass (F2):
//     where it fails, the later stretches are out of reach. After a few stretches the rest are
//     bounded together: for each of them f' >= f, and u <= h + f' gives (e + f')/(B + h + f'),
//     growing with f' while below 1; and the bytes it matches are not foreign, so u minus the
//     foreign bytes it consumed past stretch f is at most the offset of stretch f plus the bytes
//     after it that are not foreign, N: (e + F(u))/(B + u) >= (e + f)/(B + offset + N). So the
//     rest is bounded by (e + f)/(B + min(h + f, offset + N)). A search told to keep to a window
//     (set_horizon) bounds a stretch that runs past it as the rest, with h + f. A state is cut
//     when its bound fails the pass's floor (see 5): it cannot hold a candidate that matters.
//     The same bound, taken for the kinds of edit step from X, leaves out all steps of a kind at
//     once: keyword-skip with (d+1, i, e+1) and h(v) - 1 (a child's height is at most one less,
//     or nothing with a clean name lies below it); text-skip and replace together with the larger
//     depth d+1 and the larger height h(v), at (i+1, e+1) (the bound grows with both). Foreign
//     bytes are what the text contributes: no stored key contains the space between two words, so
//     a path that runs on into the next word pays an edit for it, and at high thresholds that
//     settles most states before they branch. Without exact counts the bound is the same value
//     computed in double precision and raised by 2^-21: a similarity computed in floats differs
//     from the fraction it rounds by less than 2^-22, so it still bounds every Y.
//  3. Stop at 1.0. Once the best is 1.0 nothing can replace it (F3); the search ends.
//  4. Exact first. With e >= 1 and every count at most 2^24 (r and the longest clean name), e/x
//     >= 2^-24, so the similarity is at most 1 - 2^-24 < 1.0; only edit-free states reach 1.0.
//     They form the chain of match steps from the root, which S visits from the shortest to the
//     longest, so the shortest keyword on that chain is the result whenever the chain holds one.
//  5. Passes. A pass in S's order that records a state when its similarity is at least B (a
//     similarity some state is known to reach, or 0) and greater than the best it recorded, and
//     cuts states whose bound is below B or not above that best, returns S's result Z: S never
//     takes a state of similarity below B as its result (M >= B); the first state of similarity
//     >= B in S is taken by S whatever S held before (less than B) and by the pass (0 before), and
//     from then on both take the same states. A state it cuts holds nothing of similarity >= B, or
//     nothing above the best. When M is known (B = M) the pass also stops at the first candidate
//     of similarity M: that is Z, never cut (a bound cut above it would need a bound below M <=
//     sim(Z); a dominance cut above it would put a state of similarity M before Z in S).
//     At usual thresholds (t >= kUsual) the gate keeps the states near the text's next
//     words, and this pass runs with B = 0, or a similarity reached known from remembered results
//     (fuzzy_memo.hpp). Below, where a pass in S's order would follow text-skip chains to the end
//     of the text before its best grew, a pass over the states with the fewest edits first (cut 1
//     holds in that order too, see FuzzySearch::search) runs first: when the states within one
//     edit hold a candidate, its similarity is a B; otherwise it goes on to find M, or that there
//     is no candidate at all.
//  6. Forced steps. A state Z of an edit step whose own edit steps cannot be taken (its gate
//     fails, or the text ends there) or fail cut 2 leads, beyond its own candidate test, only
//     through its match step on the next byte c. So Z is left out when it has no clean name and
//     no child for c; and when the state after that match step is itself forced by its gate, when
//     Z has no clean name, its child for c none, and no path c, d for the next two bytes. The
//     wide nodes' index (child_index.hpp) answers these questions for all of a node's children at
//     once; it lists them in the same ascending order, so S's order is kept. A search that has
//     spent its allowance for measuring the trie (a short text's) asks each child instead, and only
//     about the next byte: it leaves out fewer states, never one the index would keep.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "keyword_processor/internal/byte_class.hpp"
#include "keyword_processor/internal/child_index.hpp"
#include "keyword_processor/internal/keyword_stats.hpp"
#include "processor.hpp"
#include "keyword_processor/internal/seen_states.hpp"
#include "keyword_processor/internal/subtree_heights.hpp"
#include "keyword_processor/internal/trie_node.hpp"

namespace wordsieve {

struct FuzzyCandidate {
  const TrieNode* node;    // carries the clean name
  std::uint64_t consumed;  // L: bytes of the text consumed from the start position, at least 1
  float similarity;        // unrounded
};

// The search over one text at one threshold, run for any number of start positions. It keeps its
// buffers between start positions so that a call allocates only while they grow.
class FuzzySearch {
 public:
  enum class Cuts {
    kAll,    // every cut
    kPlain,  // one pass in S's order with cuts 1 and 3 only: slow, for comparison in tests
    // Every cut, but the trie's shape (subtree heights, the wide nodes' index) is never measured:
    // what a search over a short text gets once its allowance is spent; for tests.
    kUnmeasured,
  };

  // `threshold` must be in [0, 1). The trie, its figures and the text must outlive the object.
  FuzzySearch(const TrieNode& root, const KeywordStats& stats, std::string_view text,
              float threshold, Cuts cuts = Cuts::kAll);
  // The same for the processor's trie and figures (keyword_stats.hpp), which must not change.
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
  // Whether searches from this start and another one with the same window use the same
  // arithmetic and cuts: a number that differs otherwise.
  unsigned regime() const noexcept { return (exact_counts_ ? 1U : 0U) | (exact_first_ ? 2U : 0U); }
  // Bit k: whether text byte from + k is foreign, for k < count <= 64, all inside the text.
  std::uint64_t foreign_pattern(std::uint64_t from, std::uint64_t count) const noexcept;
  // Whether byte `b` occurs in no stored key.
  bool foreign(unsigned char b) const noexcept { return foreign_byte_[b]; }

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
  };

  // How the edit steps of one kind from a branching state are taken (see step()).
  enum class Step { kNone, kForced, kOpen };

  static constexpr std::uint64_t kGateTable = 64;
  // From this threshold on ("usual" thresholds) the gate keeps states near the text's next
  // words: one pass in S's order suffices (cut 5) and the bound looks only at the next foreign
  // byte; below, the bound and the pass over the fewest edits first decide most of the work.
  static constexpr float kUsual = 0.6f;
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};
  static constexpr std::size_t kBoundSlots = 512;

  // A similarity that matters: at least `at_least` and above `above`.
  struct Floor {
    float at_least, above;
    bool passed_by(float bound) const noexcept { return bound >= at_least && bound > above; }
  };

  // Cut 2: no state below a state that has consumed `consumed` bytes with `edits` edits (itself
  // included) has a similarity above this, when the keys below it go at most `height` levels
  // deeper and their clean names have at most `names` bytes plus those consumed beyond
  // `consumed`. Remembered for the run: the same values come up many times.
  float bound(std::uint64_t names, std::uint64_t height, std::uint64_t consumed,
              std::uint64_t edits);
  struct BoundSlot {
    std::uint64_t key[4];
    std::uint64_t run = 0;  // the run it was computed in; 0: never
    float value;
  };
  Step step(std::uint64_t depth, std::uint64_t consumed, std::uint64_t edits,
            std::uint64_t height, Floor floor);

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

  const TrieNode* root_;
  const unsigned char* text_;
  std::uint64_t size_;
  float threshold_;
  bool all_cuts_;
  std::uint64_t longest_key_;  // H
  std::uint64_t excess_;       // X
  // Stretches between foreign bytes the bound follows before it settles for a coarser value: one
  // at usual thresholds, where the others rarely change the outcome and reading them would make
  // remembered results depend on more of the text; more below, where the bound decides most.
  std::uint64_t stretches_;
  // Whether the bound takes the height of each node's own subtree instead of the whole trie's:
  // below the usual thresholds, where states wander deep into parts of the trie that hold no long
  // key and the bound decides most of the work.
  bool measure_subtrees_;
  SubtreeHeights heights_;
  // What measuring the trie's shape (heights_, children_) may still cost, in nodes visited: a base
  // and a share of every text searched, so that a call on a short text does not walk a large trie,
  // while a long text, or many texts through one scratch, get the figures.
  static constexpr std::uint64_t kShapeBase = 1024;
  static constexpr std::uint64_t kShapePerByte = 4;
  bool measure_shape_;
  std::uint64_t shape_allowance_ = 0;

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
  std::vector<std::uint64_t> foreign_;  // bit j: text byte j is foreign
  std::vector<std::uint64_t> foreign_before_;  // [w]: foreign bytes before byte 64 w
  // [e]: the least consumed count at which the gate of e edits passes, or kUnknown.
  std::uint64_t gate_opens_[kGateTable];
  // The foreign bytes of the current start as offsets from it, ascending: all those before offset
  // ahead_known_, which is as far as this start has looked.
  std::vector<std::uint64_t> ahead_;
  std::uint64_t ahead_known_ = 0;
  std::vector<std::uint64_t> window_foreign_;  // with a horizon: its foreign bytes, ascending
  BoundSlot bounds_[kBoundSlots];
  ChildIndex children_;
  std::vector<State> stack_;
  std::vector<State> later_;  // kMaximum: states with one edit more than those on stack_
  SeenStates seen_;
  std::uint64_t popped_total_ = 0;
  bool settled_early_ = false;
};

// The fuzzy end rule for a candidate that consumed `consumed` (>= 1) bytes from `start`. Trims one
// trailing trim byte, giving m; accepts when overlaps are allowed, when m is the end of the text, or
// when one of the bytes m, m+1, m+2 that lie inside the text is a boundary byte (the end of the text
// inside that window does not count). On acceptance stores m in `end`.
bool fuzzy_end_rule(std::string_view text, std::uint64_t start, std::uint64_t consumed,
                    const WordBytes& words, bool allow_overlaps, std::uint64_t& end) noexcept;

}  // namespace wordsieve
