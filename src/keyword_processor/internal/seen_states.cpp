#include "seen_states.hpp"

namespace wordsieve {

namespace {
constexpr std::size_t kInitialSlots = 256;
}

SeenStates::SeenStates() : slots_(kInitialSlots, Slot{nullptr, 0, 0, 0}), mask_(kInitialSlots - 1) {}

void SeenStates::clear() noexcept {
  used_ = 0;
  ++generation_;  // 64 bits: never wraps
}

std::size_t SeenStates::slot_of(const TrieNode* node, std::uint64_t consumed) const noexcept {
  std::uint64_t h = reinterpret_cast<std::uintptr_t>(node) * 0x9E3779B97F4A7C15ULL;
  h ^= consumed * 0xC2B2AE3D27D4EB4FULL;
  h ^= h >> 32;
  return static_cast<std::size_t>(h) & mask_;
}

bool SeenStates::admit(const TrieNode* node, std::uint64_t consumed, std::uint64_t edits) {
  for (std::size_t at = slot_of(node, consumed);; at = (at + 1) & mask_) {
    Slot& slot = slots_[at];
    if (slot.generation != generation_) {
      slot = {node, consumed, edits, generation_};
      // Kept at most half full, so probe runs stay short.
      if (++used_ * 2 > slots_.size()) {
        if (slots_.size() < kMaxSlots) {
          grow();
        } else {
          clear();  // full: forget, see the header
        }
      }
      return true;
    }
    if (slot.node == node && slot.consumed == consumed) {
      if (slot.edits <= edits) return false;
      slot.edits = edits;
      return true;
    }
  }
}

void SeenStates::grow() {
  std::vector<Slot> old(slots_.size() * 2, Slot{nullptr, 0, 0, 0});
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.generation != generation_) continue;
    std::size_t at = slot_of(slot.node, slot.consumed);
    while (slots_[at].generation == generation_) at = (at + 1) & mask_;
    slots_[at] = slot;
  }
}

}  // namespace wordsieve
