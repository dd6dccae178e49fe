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

void SeenStates::make_room() {
  if (slots_.size() < kMaxSlots) {
    grow();
  } else {
    clear();  // full: forget, see the header
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
