// Small UTF-8 helpers shared by the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wordsieve {

// Appends the UTF-8 form of a code point (any value up to 0x10FFFF, surrogates included as-is).
void append_utf8(std::string& out, std::uint32_t code_point);

// The length of the valid UTF-8 prefix of `bytes`, and how the first invalid sequence ends:
// `error_len` is the length of the invalid sequence (1..3), or 0 when the bytes end inside an
// incomplete sequence.
struct Utf8Check {
  std::size_t valid_up_to;
  std::size_t error_len;
  bool ok;
};
Utf8Check check_utf8(std::string_view bytes) noexcept;

inline bool is_valid_utf8(std::string_view bytes) noexcept { return check_utf8(bytes).ok; }

// Replaces every invalid sequence with U+FFFD.
std::string to_valid_utf8(std::string_view bytes);

// True when `offset` is 0, the length, or the offset of a byte that starts a UTF-8 character.
inline bool is_char_boundary(std::string_view text, std::size_t offset) noexcept {
  return offset == 0 || offset == text.size() ||
         (offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) != 0x80);
}

}  // namespace wordsieve
