// The UTF-8 helpers against literal cases: where validation stops and why, the encoding of every
// code point, and the replacement of invalid sequences.
#include "keyword_processor/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wordsieve {
namespace {

TEST(Utf8Test, CheckStopsAtTheFirstInvalidSequence) {
  struct Case {
    std::string bytes;
    std::size_t valid_up_to;
    std::size_t error_len;  // 0: the bytes end inside a sequence
    bool ok;
  };
  const std::vector<Case> cases = {
      {"", 0, 0, true},
      {"plain ascii", 11, 0, true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", 14, 0, true},
      {"\x80", 0, 1, false},                    // a continuation byte alone
      {"a\xC0\x80", 1, 1, false},               // C0 and C1 start only overlong forms
      {"\xC2", 0, 0, false},                    // cut after the lead byte
      {"\xE0\x80\x80", 0, 1, false},            // overlong three-byte form
      {"\xE0\xA0", 0, 0, false},
      {"\xED\xA0\x80", 0, 1, false},            // a surrogate
      {"\xF0\x8F\xBF\xBF", 0, 1, false},        // overlong four-byte form
      {"\xF4\x90\x80\x80", 0, 1, false},        // above U+10FFFF
      {"\xF5\x80\x80\x80", 0, 1, false},
      {"\xF0\x9F\x98", 0, 0, false},
      {"\xF0\x9F\x98" "A", 0, 3, false},        // the maximal valid prefix is the error
      {"\xE2\x82" "A", 0, 2, false},
      {"abcdefghij\xFF", 10, 1, false},         // past a run checked eight bytes at a time
      {"abcdefgh\xC3\xA9ijklmnop\xC3", 18, 0, false},
      {std::string("nul\0byte", 8), 8, 0, true},
  };
  for (const Case& c : cases) {
    const Utf8Check check = check_utf8(c.bytes);
    EXPECT_EQ(check.valid_up_to, c.valid_up_to) << testing::PrintToString(c.bytes);
    EXPECT_EQ(check.error_len, c.error_len) << testing::PrintToString(c.bytes);
    EXPECT_EQ(check.ok, c.ok) << testing::PrintToString(c.bytes);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.ok);
  }
}

// Every code point: the length its range gives, the same order as the code points (which UTF-8
// keeps), the literal forms at the ends of each range, and valid exactly outside the surrogates.
TEST(Utf8Test, AppendEncodesEveryCodePoint) {
  const std::vector<std::pair<std::uint32_t, std::string>> literal = {
      {0x0, std::string(1, '\0')}, {0x7F, "\x7F"},           {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},         {0x800, "\xE0\xA0\x80"},  {0xD7FF, "\xED\x9F\xBF"},
      {0xD800, "\xED\xA0\x80"},    {0xFFFF, "\xEF\xBF\xBF"}, {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& [cp, bytes] : literal) {
    std::string out = "x";
    append_utf8(out, cp);
    EXPECT_EQ(out, "x" + bytes) << cp;
  }
  std::string previous;
  int wrong = 0;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    std::string out;
    append_utf8(out, cp);
    const std::size_t length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    wrong += out.size() != length || (cp > 0 && !(previous < out)) || is_valid_utf8(out) == surrogate;
    previous = std::move(out);
  }
  EXPECT_EQ(wrong, 0);
}

TEST(Utf8Test, ToValidReplacesEachInvalidSequenceOnce) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF" "b", "a" + r + "b"},
      {"\xE2\x82", r},                        // one replacement for a cut sequence at the end
      {"\xE2\x82" "A", r + "A"},
      {"\xC0\x80", r + r},                    // neither byte can start a sequence
      {"\xED\xA0\x80", r + r + r},            // a surrogate: its lead byte, then two strays
      {"\xF0\x9F\x98\x80\xF0\x9F", "\xF0\x9F\x98\x80" + r},
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(to_valid_utf8(bytes), expected) << testing::PrintToString(bytes);
  }
}

TEST(Utf8Test, CharBoundaries) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a, é, €
  std::vector<std::size_t> boundaries;
  for (std::size_t offset = 0; offset <= text.size() + 1; ++offset) {
    if (is_char_boundary(text, offset)) boundaries.push_back(offset);
  }
  EXPECT_EQ(boundaries, (std::vector<std::size_t>{0, 1, 3, 6}));
}

}  // namespace
}  // namespace wordsieve
