#include "key_part_memo.hpp"

#include <algorithm>
#include <cstring>

namespace wordsieve {

KeyPartMemo::KeyPartMemo(std::size_t max_events) noexcept
    : max_events_(max_events) {}

KeyPartMemo::Key KeyPartMemo::key_of(const unsigned char* key, std::uint64_t size, unsigned regime) noexcept {
  Key out{{}, size, regime, 0};
  std::memcpy(out.words, key, std::min(size, kKeyMax));
  out.hash = hash_of(out.words, size, regime);
  return out;
}

std::uint64_t KeyPartMemo::hash_of(const std::uint64_t* words, std::uint64_t size, unsigned regime) noexcept {
  std::uint64_t h = (size << 8 | regime) * 0x9E3779B97F4A7C15ULL;
  for (std::size_t i = 0; i < kWords; ++i) h = (h ^ words[i]) * 0xC2B2AE3D27D4EB4FULL;
  return h ^ h >> 29;
}

bool KeyPartMemo::find(const Key& key, Part& out) const noexcept {
  if (slots_.empty() || key.size > kKeyMax || key.regime > 255) return false;
  const Slot* slots = &slots_[2 * (key.hash & (slots_.size() / 2 - 1))];
  for (std::size_t k = 0; k < 2; ++k) {
    const Slot& slot = slots[k];
    if (slot.size == key.size && slot.regime == key.regime &&
        std::equal(key.words, key.words + kWords, slot.words)) {
      out = {events_.data() + slot.offset, slot.count, slot.reached};
      return true;
    }
  }
  return false;
}

void KeyPartMemo::insert(const Key& key, float reached, const std::vector<KeyPartEvent>& events) {
  if (key.size == 0 || key.size > kKeyMax || key.regime > 255 ||
      events.size() > max_events_) {
    return;
  }
  if (events_.size() + events.size() > max_events_) forget_lists();  // the marks stay true
  if (slots_.empty() || (keys_ >= slots_.size() && slots_.size() < 2 * kMaxBuckets)) grow();
  Slot* slots = bucket(key.hash);
  slots[1] = slots[0];
  Slot& slot = slots[0];
  std::copy(key.words, key.words + kWords, slot.words);
  slot.offset = static_cast<std::uint32_t>(events_.size());
  slot.count = static_cast<std::uint32_t>(events.size());
  slot.reached = reached;
  slot.size = static_cast<std::uint8_t>(key.size);
  slot.regime = static_cast<std::uint8_t>(key.regime);
  if (const std::size_t needed = events_.size() + events.size(); needed > events_.capacity()) {
    events_.reserve(std::min(max_events_, std::max(needed, 2 * events_.capacity())));  // not past the bound
  }
  events_.insert(events_.end(), events.begin(), events.end());
  ++keys_;
}

// Doubles the table (or makes its first), keeping the slots that still find a place.
void KeyPartMemo::grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 2 * kMinBuckets : 2 * old.size(), Slot{{}, 0, 0, 0.0f, 0, 0});
  for (auto it = old.rbegin(); it != old.rend(); ++it) {  // the older slot of a bucket first
    if (it->size == 0) continue;
    Slot* slots = bucket(hash_of(it->words, it->size, it->regime));
    slots[1] = slots[0];
    slots[0] = *it;
  }
  keys_ = 0;
}

void KeyPartMemo::want(const Key& key) {
  if (wanted_.empty()) wanted_.assign(kWantedWords, 0);
  wanted_[(key.hash >> 6) & (kWantedWords - 1)] |= std::uint64_t{1} << (key.hash & 63);
}

void KeyPartMemo::forget_lists() noexcept {
  std::vector<Slot>().swap(slots_);
  std::vector<KeyPartEvent>().swap(events_);
  keys_ = 0;
}

void KeyPartMemo::clear() noexcept {
  std::vector<std::uint64_t>().swap(wanted_);
  forget_lists();
}

}  // namespace wordsieve
