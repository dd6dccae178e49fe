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
//      scan reports no match for it and moves on by its one consumed byte (see extract.cpp).
//
// Why the faster search returns exactly that candidate
// ----------------------------------------------------
// Call S the sequence of states the stack search above pops. Its result is the first state of S
// with the greatest similarity among those that pass the candidate test. The passes below in S's
// order walk the same tree of states in the same order and only leave out some states together
// with everything below them; the result stays the same as long as no left-out state would have
// replaced the best in S. (Following a chain of match steps without the stack, as the code does,
// changes nothing: the single step of such a state is the next one popped anyway.)
//  F1 Every step adds one to i or descends one level in the trie, so no state lies below itself,
//     and everything below a state depends on the state alone.
//  F2 While every count is exact in a float (below 2^24), 1 - e/x is non-increasing in e and
//     non-decreasing in x, and the edit gate non-increasing in e: int-to-float conversion,
//     division and subtraction are correctly rounded, hence monotonic.
//  F3 The best similarity never decreases and is replaced only by a strictly greater one; a
//     similarity is never above 1.0, and a similarity <= 0 never beats the initial best of 0.0.
// The cuts:
//  1. Dominated states. When (node, i, e0) was popped before and e >= e0, (node, i, e) is skipped.
//     Any path of steps from it can also be taken from (node, i, e0) (same node, same next byte,
//     and the gate passes with fewer edits, F2), reaching the same node and i with e - e0 fewer
//     edits, hence a similarity at least as high (F2). By F1 those states were all popped before
//     the skipped one, so the best is already at least their similarity (F3). With e = e0 this is
//     the plain visited set.
//  2. Bound. Let X = (node, i, e), H the height of the trie and K its longest clean name. A state
//     Y = (node', i', e') below X has e' >= e, k' <= K, i' <= r, and, since only match steps
//     consume a byte without an edit and each descends one level, i' <= A + e' with
//     A = i + H - e. If x' = max(i', k') = k', then e'/x' >= e/K. Otherwise x' = i'; a similarity
//     above 0 needs i' > e', hence A > 0, and e'/min(r, A + e') grows with e', so
//     e'/i' >= e/min(r, A + e) = e/min(r, i + H). So every Y with a similarity above 0 has
//     e'/x' >= e/D, D = max(K, min(r, i + H)), and a similarity <= 1 - e/D (F2, D being exact
//     too). X is cut when that bound is below t or not above the best so far (F3). (The height and longest clean name
//     of each node's own subtree would give a tighter bound, but on real keyword lists a table of
//     them cost as much to consult as it saved.)
//  3. Stop at 1.0. Once the best is 1.0 nothing can replace it (F3); the search ends.
//  4. Exact first. With e >= 1 and all counts below 2^24, e/x >= 2^-24, so the similarity is at
//     most 1 - 2^-24 < 1.0; only edit-free states reach 1.0. They form the chain of match steps
//     from the root, which S visits from the shortest to the longest, so the shortest keyword on
//     that chain is the result whenever the chain holds one.
//  5. Two passes. The result is the first state of S whose similarity is the maximum M. The first
//     pass finds M in whatever order finds good candidates soonest (fewest edits first), with cuts
//     1 to 3 (why cut 1 holds in that order is shown at FuzzySearch::search). No candidate: the
//     search ends. The second pass walks S's order, cuts states whose bound is below M, and stops
//     at the first candidate of similarity M. That state Z is never cut: a bound cut above it
//     would need a bound below M <= sim(Z), and a dominance cut above it would put a state of
//     similarity >= M, hence = M, before Z in S. Knowing M early is what makes the bound strong:
//     at low thresholds a single pass would follow text-skip chains to the end of the text from
//     every start before its best grew.
// Cuts 2, 4 and 5 need H and K, and exact counts: they apply only after a walk over the whole trie
// (trie_shape.hpp) has finished, and only for texts shorter than 2^23 bytes (so that e <= n + 2 and
// every other count stay below 2^24). Until then the search is one pass in S's order with cuts 1
// and 3. The walk is paid for out of search work: it may visit as many nodes as the searches have
// popped states. A search without the bound can cost far more than the walk (at low thresholds
// with a large trie), so it gives up after a limit of states, which then goes to the walk, and
// starts again with twice the limit; the work thrown away stays within a few walks of the trie.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "byte_class.hpp"
#include "seen_states.hpp"
#include "trie_node.hpp"
#include "trie_shape.hpp"

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
  // `threshold` must be in [0, 1). The trie and the text must outlive the object. Without
  // `measure_trie` the trie's shape is never walked, so every search is the single pass in S's
  // order with cuts 1 and 3 (tests compare the two ways).
  FuzzySearch(const TrieNode& root, std::string_view text, float threshold,
              bool measure_trie = true);

  // The candidate of the search from `start` (< text size). False when there is none.
  bool run(std::uint64_t start, FuzzyCandidate& out);

  // States popped by all runs so far, and how many searches gave up and started again.
  std::uint64_t states_popped() const noexcept { return popped_total_; }
  std::uint64_t restarts() const noexcept { return restarts_; }

 private:
  struct State {
    const TrieNode* node;
    std::uint64_t consumed;
    std::uint64_t edits;
  };

  enum class Pass {
    kMaximum,     // any order (fewest edits first): the greatest similarity of any candidate
    kVisitOrder,  // the order of S: the first candidate of the target similarity, or the best
  };

  enum class Outcome { kFound, kNone, kOverLimit };

  void walk_trie(std::uint64_t nodes);
  bool exact_first(std::uint64_t start, FuzzyCandidate& out) const;
  // Below the target (when one is given) or not above `best`: nothing under `state` can matter.
  bool out_of_reach(const State& state, std::uint64_t left, float best, float target) const;
  // Gives up after `limit` states.
  template <Pass kPass>
  Outcome search(std::uint64_t start, float target, std::uint64_t limit, FuzzyCandidate& out);

  const TrieNode* root_;
  const unsigned char* text_;
  std::uint64_t size_;
  float threshold_;

  std::vector<ChildMap::Entry> root_children_;  // the root's children, listed once per call
  std::vector<State> stack_;
  std::vector<State> later_;  // kMaximum: states with one edit more than those on stack_
  SeenStates seen_;

  TrieShape shape_;
  bool measure_trie_;
  std::uint64_t walk_credit_;    // nodes the walk may visit: as many states as searches popped
  std::uint64_t search_limit_;   // states a search without the bound may pop before it yields
  std::uint64_t popped_total_ = 0;
  std::uint64_t restarts_ = 0;
  bool bounded_ = false;  // cuts 2, 4 and 5 apply
  std::uint64_t height_ = 0;
  std::uint64_t longest_clean_name_ = 0;
};

// The fuzzy end rule for a candidate that consumed `consumed` (>= 1) bytes from `start`. Trims one
// trailing trim byte, giving m; accepts when overlaps are allowed, when m is the end of the text, or
// when one of the bytes m, m+1, m+2 that lie inside the text is a boundary byte (the end of the text
// inside that window does not count). On acceptance stores m in `end`.
bool fuzzy_end_rule(std::string_view text, std::uint64_t start, std::uint64_t consumed,
                    const WordBytes& words, bool allow_overlaps, std::uint64_t& end) noexcept;

}  // namespace wordsieve
