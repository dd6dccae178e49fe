// The trie's shape as the fuzzy search bounds and prunes its work with it (fuzzy.hpp, cuts 2 and
// 6): how far below each node the keys go, and the wide nodes' children index (child_index.hpp).
//
// A structure derived from the processor (derived.hpp): built by the first fuzzy search, or by a
// batch before its workers start, with one walk of the trie, and shared read-only by every search
// until the processor changes. So a search over a short text pays nothing for the shape.
//
// A change touches only the figures along the changed key's path and the entries of the nodes up
// to kReach levels above what changed, so it is followed in place, in time proportional to the key
// and the fan-out along it:
//   * A key added: its new nodes, if any, form a chain at the end of its path (one child each, no
//     clean name, the last childless). The longest such chain, which holds them, gets its figures
//     as a chain (the key's end lies n - d below its node at depth d, and nothing else does); each
//     node above takes the larger of its figure and n - d; and the entries of the path's nodes
//     from kReach levels above that chain (or above the key's end) down to the key's end are built
//     again (an entry records the keys and clean names kReach levels below its node). Nothing else
//     reaches a changed node within kReach levels.
//     A stored key given a clean name of another length changes only the entries above it (they
//     record how long the names are); one of the same length changes nothing.
//   * A key removed: the figures of the nodes left on its path are measured again from their
//     children, bottom-up, and the entries of the kReach nodes above the first freed node (or
//     above the key's end) built again, or dropped when their node is no longer wide. The
//     freed nodes' slots stay behind, unread (a node made later at a freed address is a new node
//     of its key and gets its figure anew); once they outnumber the live ones, the structure is
//     built again.
// Every other change (word characters, a loaded state) drops it.
//
// Memory: one 8-byte slot per node of the trie (its address and figure, the table at most three
// quarters full), and one entry per node with kWide to kMaxChildren children; what changes
// leave behind stays below as much again.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "child_index.hpp"
#include "trie_node.hpp"

namespace wordsieve {

struct KeywordProcessor;

class FuzzyShape {
 public:
  explicit FuzzyShape(const KeywordProcessor& processor);

  // In-place updates after the processor changed (derived.hpp); false when the structure must be
  // built again instead.
  // `previous_clean_size`: the length of the clean name an added key had before, when it was stored.
  bool keyword_added(const KeywordProcessor& processor, std::string_view key,
                     std::optional<std::uint64_t> previous_clean_size);
  bool keyword_removed(const KeywordProcessor& processor, std::string_view key);

  // The greatest depth, counted from `node`, of a node with a clean name in its subtree (0 when
  // there is none but itself), or `otherwise` (an upper bound of it) when that is smaller or the
  // figure does not fit 16 bits. `node` must be a node of the processor's trie.
  std::uint64_t height(const TrieNode* node, std::uint64_t otherwise) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(node);
    for (std::size_t at = slot_of(node) & mask;; at = (at + 1) & mask) {
      const std::uint64_t slot = slots_[at];
      if ((slot & kAddress) == address) {
        const std::uint64_t known = slot >> kHeightShift;
        return known == kTooHigh || known > otherwise ? otherwise : known;
      }
      if (slot == 0) return otherwise;
    }
  }
  // Starts loading the slot height(node) reads, for a lookup to come.
  void prefetch(const TrieNode* node) const noexcept {
    __builtin_prefetch(&slots_[slot_of(node) & (slots_.size() - 1)]);
  }
  // The index entry of `node`, or null when it is not indexed (fewer than kWide or more than
  // kMaxChildren children).
  const ChildIndex::Node* wide(const TrieNode* node) const noexcept { return children_.find(node); }

  // Nodes with a figure: the trie's, and freed ones not yet forgotten.
  std::uint64_t nodes() const noexcept { return nodes_; }
  // About what the structure holds, in bytes.
  std::size_t bytes() const noexcept {
    return slots_.size() * sizeof(std::uint64_t) + children_.bytes();
  }

 private:
  // A slot holds a node's address (below 2^48, trie_node.hpp) and its figure in the 16 bits above,
  // so that a lookup reads one word; 0 is empty.
  static constexpr unsigned kHeightShift = 48;
  static constexpr std::uint64_t kAddress = (std::uint64_t{1} << kHeightShift) - 1;
  static constexpr std::uint64_t kTooHigh = 0xFFFF;  // the figure does not fit
  // How far below its node an index entry looks: its children and the strings below them.
  static constexpr std::size_t kReach = ChildIndex::kLookAhead + 1;

  static std::size_t slot_of(const TrieNode* node) noexcept {
    const auto h = reinterpret_cast<std::uintptr_t>(node) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
  // The slot of `node`, or of the empty slot where it would go.
  std::size_t find_slot(const TrieNode* node) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t address = reinterpret_cast<std::uintptr_t>(node);
    std::size_t at = slot_of(node) & mask;
    while (slots_[at] != 0 && (slots_[at] & kAddress) != address) at = (at + 1) & mask;
    return at;
  }
  std::uint64_t figure(std::size_t at) const noexcept { return slots_[at] >> kHeightShift; }
  // Stores the figure of `node`, a node the table may already hold.
  void put(const TrieNode* node, std::uint64_t height);
  // The figure of `node` as its children's figures give it: kTooHigh when one is.
  std::uint64_t measure(const TrieNode* node) const noexcept;
  // Makes room for `more` nodes, keeping the table at most three quarters full.
  void reserve(std::uint64_t more);
  // Builds again, adds or drops the entry of `node`, as its number of children now says.
  void index(const TrieNode* node);

  std::vector<std::uint64_t> slots_;  // open addressing
  std::uint64_t nodes_ = 0;
  std::uint64_t stale_ = 0;  // at most this many slots hold freed nodes
  std::uint64_t live() const noexcept { return nodes_ > stale_ ? nodes_ - stale_ : 0; }
  // Whether what changes left behind (freed nodes' slots, dropped entries) is still no more than
  // what is live.
  bool fresh_enough() const noexcept {
    return stale_ <= live() && children_.dropped() * 2 <= children_.entries() + 64;
  }
  ChildIndex children_;
};

}  // namespace wordsieve
