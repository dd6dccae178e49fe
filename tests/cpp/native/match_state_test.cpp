#include "native/match_state.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "persisted_bytes.hpp"

namespace wordsieve {
namespace {

using test_support::kDecodePrefix;
using test_support::kEof;
using test_support::kTruncated;
using test_support::u64;

std::string encode(const MatchRecord& record) {
  std::string out(match_state_size(record), '\xAA');
  write_match_state(record, out.data());
  return out;
}

TEST(MatchStateLayout, Examples) {
  EXPECT_EQ(encode({"abc", 1.0f, 0, 3}),
            u64(3) + "abc" + std::string("\x00\x00\x80\x3F", 4) + u64(0) + u64(3));
  const std::string empty = encode({"", 0.5f, 7, 7});
  EXPECT_EQ(empty.size(), 28u);
  EXPECT_EQ(empty, u64(0) + std::string("\x00\x00\x00\x3F", 4) + u64(7) + u64(7));
}

TEST(MatchStateRoundTrip, KeepsEveryBit) {
  const float quiet_nan_with_payload = std::bit_cast<float>(std::uint32_t{0x7FC12345});
  const std::vector<MatchRecord> records = {
      {"Python", 1.0f, 0, 6},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", 0.85f, 12, 3},
      {std::string(1000, 'x'), -0.0f, std::numeric_limits<std::uint64_t>::max(), 0},
      {"", quiet_nan_with_payload, 1, std::numeric_limits<std::uint64_t>::max()},
      {"inf", std::numeric_limits<float>::infinity(), 5, 5},
  };
  for (const MatchRecord& r : records) {
    const std::string state = encode(r);
    ASSERT_EQ(state.size(), 28 + r.keyword.size());
    const MatchRecord back = read_match_state(state + "ignored trailing bytes");
    EXPECT_EQ(back.keyword, r.keyword);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(back.similarity),
              std::bit_cast<std::uint32_t>(r.similarity));
    EXPECT_EQ(back.start, r.start);
    EXPECT_EQ(back.end, r.end);
  }
}

TEST(MatchStateRead, MalformedStates) {
  const std::string& prefix = kDecodePrefix;
  const std::string tail(20, '\0');
  const std::vector<test_support::DecodeCase> cases = {
      {"empty", "", kEof},
      {"cut inside the length", u64(3).substr(0, 7), kEof},
      {"length 100, 10 bytes follow", u64(100) + "0123456789", kTruncated},
      {"length 2^64-1", u64(~std::uint64_t{0}) + tail, kTruncated},
      {"length one past the end", u64(4) + "abc", kTruncated},
      {"keyword then 19 bytes", u64(3) + "abc" + std::string(19, '\0'), kEof},
      {"keyword then nothing", u64(3) + "abc", kEof},
      {"invalid byte in keyword", u64(4) + "ab\xFF" "c" + tail,
       prefix + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {"surrogate in keyword", u64(4) + "a\xED\xA0\x80" + tail,
       prefix + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 1, error_len: Some(1) })"},
      {"keyword ends inside a character", u64(3) + "a\xF0\x9F" + tail,
       prefix + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 1, error_len: None })"},
      {"exactly complete", u64(1) + "a" + tail, "ok"},
  };
  test_support::expect_decode_outcomes(read_match_state, cases);
}

}  // namespace
}  // namespace wordsieve
