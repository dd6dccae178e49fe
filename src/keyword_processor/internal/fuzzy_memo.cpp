#include "fuzzy_memo.hpp"

#include <algorithm>
#include <cstring>

namespace wordsieve {

namespace {

std::uint64_t hash_of(const unsigned char* text, std::uint64_t size, unsigned regime) noexcept {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ (size << 8) ^ regime;
  std::uint64_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, 8);
    h = (h ^ word) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
  }
  std::uint64_t word = 0;
  for (; i < size; ++i) word = word << 8 | text[i];
  h = (h ^ word) * 0xC2B2AE3D27D4EB4FULL;
  return h ^ (h >> 32);
}

}  // namespace

template <typename Value>
std::size_t FuzzyMemo::Table<Value>::slot_of(const std::vector<unsigned char>& bytes,
                                             std::uint64_t hash, const unsigned char* text,
                                             std::uint64_t size, unsigned regime) const noexcept {
  const std::size_t mask = slots.size() - 1;
  for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
    const std::uint32_t index = slots[at];
    if (index == 0) return at;
    const Item& item = items[index - 1];
    if (item.hash == hash && item.size == size && item.regime == regime &&
        std::memcmp(bytes.data() + item.bytes, text, size) == 0) {
      return at;
    }
  }
}

template <typename Value>
const typename FuzzyMemo::Table<Value>::Item* FuzzyMemo::Table<Value>::find(
    const std::vector<unsigned char>& bytes, const unsigned char* text, std::uint64_t size,
    unsigned regime) const noexcept {
  if (slots.empty()) return nullptr;
  const std::uint32_t index = slots[slot_of(bytes, hash_of(text, size, regime), text, size, regime)];
  return index == 0 ? nullptr : &items[index - 1];
}

template <typename Value>
typename FuzzyMemo::Table<Value>::Item& FuzzyMemo::Table<Value>::find_or_add(
    std::vector<unsigned char>& bytes, const unsigned char* text, std::uint64_t size,
    unsigned regime, const Value& value) {
  if ((items.size() + 1) * 2 > slots.size()) {  // at most half full
    std::vector<std::uint32_t> old(std::max<std::size_t>(slots.size() * 2, 256), 0);
    old.swap(slots);
    const std::size_t mask = slots.size() - 1;
    for (const std::uint32_t index : old) {
      if (index == 0) continue;
      std::size_t at = static_cast<std::size_t>(items[index - 1].hash) & mask;
      while (slots[at] != 0) at = (at + 1) & mask;
      slots[at] = index;
    }
  }
  const std::uint64_t hash = hash_of(text, size, regime);
  const std::size_t at = slot_of(bytes, hash, text, size, regime);
  if (slots[at] != 0) return items[slots[at] - 1];
  items.push_back({hash, static_cast<std::uint32_t>(bytes.size()), static_cast<std::uint8_t>(size),
                   static_cast<std::uint8_t>(regime), value});
  bytes.insert(bytes.end(), text, text + size);
  slots[at] = static_cast<std::uint32_t>(items.size());
  return items.back();
}

template <typename Value>
void FuzzyMemo::Table<Value>::clear() noexcept {
  slots.clear();
  items.clear();
}

std::uint64_t FuzzyMemo::compose(const unsigned char* text, std::uint64_t at, std::uint64_t bytes,
                                 std::uint64_t bits, const FuzzySearch& search,
                                 unsigned char* out) noexcept {
  std::memcpy(out, text, bytes);
  const std::uint64_t pattern = search.foreign_pattern(at + bytes, bits);
  std::memcpy(out + bytes, &pattern, 8);
  out[bytes + 8] = static_cast<unsigned char>(bits);
  return bytes + 9;
}

const FuzzyMemo::Result* FuzzyMemo::find(const unsigned char* text, std::uint64_t at,
                                         std::uint64_t left, std::uint64_t key_size,
                                         unsigned regime, const FuzzySearch& search) const noexcept {
  const auto* key = keys_.find(bytes_, text, key_size, regime);
  if (key == nullptr) return nullptr;
  unsigned char window[kWindowMax + 9];
  for (std::uint8_t i = 0; i < key->value.count; ++i) {
    const std::uint64_t bytes = key->value.bytes[i], bits = key->value.bits[i];
    if (bytes + bits > left) continue;
    const std::uint64_t size = compose(text, at, bytes, bits, search, window);
    if (const auto* known = windows_.find(bytes_, window, size, regime)) return &known->value;
  }
  return nullptr;
}

void FuzzyMemo::insert(const unsigned char* text, std::uint64_t at, std::uint64_t key_size,
                       std::uint64_t bytes, std::uint64_t bits, unsigned regime,
                       const FuzzySearch& search, const Result& result) {
  if (bytes > kWindowMax || bits > kWindowMax || key_size > kKeyMax ||
      windows_.items.size() >= kMaxEntries) {
    return;
  }
  Lengths& lengths = keys_.find_or_add(bytes_, text, key_size, regime, Lengths{}).value;
  if (result.found && result.candidate.consumed < key_size) {
    lengths.reached = std::max(lengths.reached, result.candidate.similarity);
  }
  bool known = false;
  for (std::uint8_t i = 0; i < lengths.count; ++i) {
    known = known || (lengths.bytes[i] == bytes && lengths.bits[i] == bits);
  }
  if (!known) {
    if (lengths.count == kLengthsPerKey) return;
    lengths.bytes[lengths.count] = static_cast<std::uint8_t>(bytes);
    lengths.bits[lengths.count] = static_cast<std::uint8_t>(bits);
    ++lengths.count;
  }
  unsigned char window[kWindowMax + 9];
  const std::uint64_t size = compose(text, at, bytes, bits, search, window);
  windows_.find_or_add(bytes_, window, size, regime, result);
}

float FuzzyMemo::reached(const unsigned char* text, std::uint64_t key_size,
                         unsigned regime) const noexcept {
  const auto* key = keys_.find(bytes_, text, key_size, regime);
  return key == nullptr ? 0.0f : key->value.reached;
}

void FuzzyMemo::clear() noexcept {
  keys_.clear();
  windows_.clear();
  bytes_.clear();
}

}  // namespace wordsieve
