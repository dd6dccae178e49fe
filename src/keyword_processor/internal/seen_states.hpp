// The fewest edits with which the fuzzy search has explored each (trie node, consumed bytes) pair
// from the current start position. An open-addressing table whose slots carry the generation in
// which they were written, so forgetting everything between start positions costs nothing and the
// memory is reused for the whole call.
//
// The table holds at most kMaxSlots slots (16 MiB): a search that admits more pairs than half of
// them forgets all it admitted and starts to record anew. That is always sound (the dominance cut
// only leaves out what was seen; forgetting leaves out less), and keeps the memory of one search
// bounded whatever the trie and the text; only searches that large may then repeat some work.
#pragma once

#include <cstdint>
#include <vector>

#include "trie_node.hpp"

namespace wordsieve {

class SeenStates {
 public:
  SeenStates();

  // Forgets every recorded pair.
  void clear() noexcept;
  std::size_t bytes() const noexcept { return slots_.capacity() * sizeof(Slot); }

  // False when (node, consumed) was admitted before with at most `edits` edits. Otherwise records
  // `edits` as the fewest for the pair and returns true.
  bool admit(const TrieNode* node, std::uint64_t consumed, std::uint64_t edits) {
    for (std::size_t at = slot_of(node, consumed);; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.generation != generation_) {
        slot = {node, consumed, edits, generation_};
        // Kept at most half full, so probe runs stay short.
        if (++used_ * 2 > slots_.size()) make_room();
        return true;
      }
      if (slot.node == node && slot.consumed == consumed) {
        if (slot.edits <= edits) return false;
        slot.edits = edits;
        return true;
      }
    }
  }

 private:
  struct Slot {
    const TrieNode* node;
    std::uint64_t consumed;
    std::uint64_t edits;
    std::uint64_t generation;  // 0: never written
  };

  std::size_t slot_of(const TrieNode* node, std::uint64_t consumed) const noexcept {
    std::uint64_t h = reinterpret_cast<std::uintptr_t>(node) * 0x9E3779B97F4A7C15ULL;
    h ^= consumed * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 32;
    return static_cast<std::size_t>(h) & mask_;
  }
  // Grows the table, or forgets everything once it is as large as it may be (see above).
  void make_room();
  void grow();

  static constexpr std::size_t kMaxSlots = std::size_t{1} << 19;

  std::vector<Slot> slots_;
  std::size_t mask_;
  std::size_t used_ = 0;
  std::uint64_t generation_ = 1;
};

}  // namespace wordsieve
