// Byte-level helpers shared by the two persisted formats (processor state, match state): little-endian
// integers, and a cursor that fails with the decoder's error renderings. Both formats must report a
// malformed input with the same texts, so those texts live here and nowhere else.
//
// No Python here: the C++ tests and the fuzzers use the codecs directly.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "keyword_processor/failure.hpp"
#include "keyword_processor/utf8.hpp"

namespace wordsieve::state_codec {

inline void store_u64(char* out, std::uint64_t value) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &value, 8);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
  }
}

inline std::uint64_t load_u64(const char* in) noexcept {
  std::uint64_t value;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, in, 8);
  } else {
    value = 0;
    for (int i = 0; i < 8; ++i) {
      value |= std::uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
    }
  }
  return value;
}

// Every decoding failure is an internal failure whose message is kErrorValuePrefix and the
// rendering of the decoder's error. The renderings are part of the persisted format's contract:
// callers and stored expectations match on them.
[[noreturn]] inline void decode_error(std::string_view rendering) {
  std::string message(kErrorValuePrefix);
  message.append(rendering);
  fail(std::move(message));
}

[[noreturn]] inline void unexpected_end() { decode_error("Io(Kind(UnexpectedEof))"); }

[[noreturn]] inline void truncated_text() {
  decode_error("Io(Custom { kind: UnexpectedEof, error: \"\" })");
}

[[noreturn]] inline void invalid_text(const Utf8Check& check) {
  std::string rendering = "InvalidUtf8Encoding(Utf8Error { valid_up_to: ";
  rendering += std::to_string(check.valid_up_to);
  rendering += ", error_len: ";
  if (check.error_len == 0) {
    rendering += "None";
  } else {
    rendering += "Some(";
    rendering += std::to_string(check.error_len);
    rendering += ")";
  }
  rendering += " })";
  decode_error(rendering);
}

// Reads a state front to back. Every read checks the remaining length first, so no announced count
// or length is trusted before the bytes behind it have been seen to exist.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) noexcept : bytes_(bytes) {}

  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }

  std::uint64_t u64() {
    if (remaining() < 8) unexpected_end();
    const std::uint64_t value = load_u64(bytes_.data() + pos_);
    pos_ += 8;
    return value;
  }

  unsigned char byte() {
    if (remaining() < 1) unexpected_end();
    return static_cast<unsigned char>(bytes_[pos_++]);
  }

  // `n` bytes; the caller has checked that they exist.
  std::string_view take(std::size_t n) noexcept {
    const std::string_view out = bytes_.substr(pos_, n);
    pos_ += n;
    return out;
  }

  // A u64 byte count and that many bytes of UTF-8. The count is compared with what remains before
  // anything is copied, so a huge count in a short input costs nothing.
  std::string_view text() {
    const std::uint64_t length = u64();
    if (length > remaining()) truncated_text();
    const std::string_view out = take(static_cast<std::size_t>(length));
    const Utf8Check check = check_utf8(out);
    if (!check.ok) invalid_text(check);
    return out;
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

}  // namespace wordsieve::state_codec
