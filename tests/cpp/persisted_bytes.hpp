// Persisted states written byte by byte, and the decoders' failures read back, for the tests of the
// two persisted formats. The expected messages are spelled out here, apart from the code that makes
// them: stored expectations and callers match on them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "captured_stderr.hpp"
#include "keyword_processor/failure.hpp"

namespace wordsieve::test_support {

// A length or position as the formats write it: eight bytes, little-endian.
inline std::string u64(std::uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
  return out;
}

// The message `read(state)` fails with, or "ok" when it decodes.
template <class Read>
std::string decode_message(Read read, std::string_view state) {
  try {
    (void)read(state);
    return "ok";
  } catch (const InternalFailure& failure) {
    return failure.message();
  }
}

// A state and what decoding it gives: the failure's message, or "ok".
struct DecodeCase {
  const char* name;
  std::string state;
  std::string message;
};

// Each case decoded by `read`, and one report on standard error for each failure.
template <class Read>
void expect_decode_outcomes(Read read, const std::vector<DecodeCase>& cases) {
  CapturedStderr err;
  std::vector<std::string> reported;
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(decode_message(read, c.state), c.message) << c.name;
    if (c.message != "ok") reported.push_back(c.message);
  }
  EXPECT_EQ(err.reports(), reported);
}

// A decoder's failure: this prefix, then the rendering of its error.
inline const std::string kDecodePrefix = "called `Result::unwrap()` on an `Err` value: ";
inline const std::string kEof = kDecodePrefix + "Io(Kind(UnexpectedEof))";
inline const std::string kTruncated = kDecodePrefix + "Io(Custom { kind: UnexpectedEof, error: \"\" })";

}  // namespace wordsieve::test_support
