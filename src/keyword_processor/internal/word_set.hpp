// The set of word characters ("non word boundaries"): one bit per Unicode code point.
#pragma once

#include <array>
#include <cstdint>

namespace wordsieve {

struct WordSet {
  static constexpr std::uint32_t kCodePoints = 0x110000;
  static constexpr std::size_t kWords = kCodePoints / 64;  // 17408

  // Bit k % 64 of word k / 64 is set when code point k is a word character.
  std::array<std::uint64_t, kWords> words{};

  // ASCII letters, digits and '_'.
  static WordSet defaults() noexcept {
    WordSet set;
    set.words[0] = 0x03FF000000000000ULL;  // '0'..'9'
    set.words[1] = 0x07FFFFFE87FFFFFEULL;  // 'A'..'Z', '_', 'a'..'z'
    return set;
  }

  bool contains(std::uint32_t code_point) const noexcept {
    return code_point < kCodePoints && ((words[code_point >> 6] >> (code_point & 63)) & 1U) != 0;
  }
  // Extraction tests bytes, so only the first 256 bits ever take part in matching.
  bool is_word_byte(unsigned char byte) const noexcept {
    return ((words[byte >> 6] >> (byte & 63)) & 1U) != 0;
  }
  void insert(std::uint32_t code_point) noexcept {
    if (code_point < kCodePoints) words[code_point >> 6] |= std::uint64_t{1} << (code_point & 63);
  }
  void clear() noexcept { words.fill(0); }
};

}  // namespace wordsieve
