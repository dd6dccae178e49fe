// Replacement: clean names written over matched ranges of the input.
#include <gtest/gtest.h>

#include <random>

#include "captured_stderr.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/replace.hpp"
#include "keyword_processor/utf8.hpp"
#include "match_table.hpp"

namespace wordsieve {
namespace {

using test_support::Store;

struct ReplaceCase {
  const char* name;
  Store store;
  std::string text;
  std::optional<float> threshold;
  std::string expected;
};

TEST(Replace, Cases) {
  const Store pets{{{"cat", "feline"}, {"dog", "canine"}}};
  const Store apple{{{"apple", "fruit"}}};
  const std::vector<ReplaceCase> cases = {
      {"nothing found", pets, "a bird", {}, "a bird"},
      {"empty text", pets, "", {}, ""},
      {"two matches", pets, "cat and dog", {}, "feline and canine"},
      {"other words keep their case", apple, "APPLE pie and Apple tart", {}, "fruit pie and fruit tart"},
      {"stored name is the lowercased keyword", {{{"apple", {}}}}, "Big APPLE", {}, "Big apple"},
      {"empty clean name deletes", {{{"very", ""}}}, "a very big cat", {}, "a  big cat"},
      {"at both ends, one space between", {{{"cat", "C"}, {"dog", "D"}}}, "cat dog", {}, "C D"},
      {"clean name containing a keyword is not searched again",
       {{{"cat", "dog cat"}, {"dog", "DOG"}}},
       "cat",
       {},
       "dog cat"},
      {"fuzzy match replaced whole", {{{"hello", "HELLO"}}}, "helo world", 0.8f, "HELLO world"},
      {"start trim keeps the space", {{{" ok", "OK"}}}, "say, ok", {}, "say, OK"},
      // A match of no bytes followed by one at the same offset: both names, in text order.
      {"empty range then a match at the same start", {{{" ", "S"}, {"-", "D"}}}, " -", {}, " SD"},
      // Fuzzy match [1, 3) starts inside 'é': left as it is.
      {"fuzzy match inside a multi-byte character", {{{"ab", "X"}}}, "éb", 0.5f, "éb"},
      {"case-sensitive offsets are input offsets", {{{"Apple", "fruit"}}, true}, "ÉAPPLE Apple", {},
       "ÉAPPLE fruit"},
  };
  for (const ReplaceCase& c : cases) {
    const auto kp = test_support::make_processor(c.store);
    EXPECT_EQ(replace_keywords(*kp, c.text, c.threshold), c.expected) << c.name;
  }
}

TEST(Replace, GrowingAndShrinkingMixed) {
  KeywordProcessor kp;
  kp.add_keyword("a", "AAAAAAAA");
  kp.add_keyword("bbbbbbbb", "b");
  std::string text, expected;
  for (int i = 0; i < 2000; ++i) {
    text += i % 3 == 0 ? "a " : "bbbbbbbb x ";
    expected += i % 3 == 0 ? "AAAAAAAA " : "b x ";
  }
  EXPECT_EQ(replace_keywords(kp, text, std::nullopt), expected);
}

TEST(Replace, ThresholdFailureComesFromExtraction) {
  KeywordProcessor kp;
  kp.add_keyword("cat", std::nullopt);
  test_support::CapturedStderr err;
  try {
    replace_keywords(kp, "cat", 1.5f);
    ADD_FAILURE() << "accepted";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(failure.message(), "Threshold must be between 0 and 1");
  }
  EXPECT_EQ(err.reports(), std::vector<std::string>{"Threshold must be between 0 and 1"});
}

// Characters whose lowercase form has another UTF-8 length move the search-text offsets of every
// match after them, or stretch the match that holds them; replacement maps them back to the input.
TEST(Replace, LengthChangingCharacters) {
  KeywordProcessor kp;
  kp.add_keyword("apple", "fruit");
  kp.add_keyword("i", "I");
  kp.add_keyword("stra\u00DFe", "street");
  struct Case {
    const char* name;
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"Kelvin sign, 3 bytes to 1", "\u212A apple", "\u212A fruit"},
      {"capital I with dot, 2 bytes to 3", "\u0130 apple", "\u0130 fruit"},
      {"capital sharp s, 3 bytes to 2", "\u1E9E apple", "\u1E9E fruit"},
      {"changed character inside the match", "STRA\u1E9EE \u212A", "street \u212A"},
      {"several before, several after", "\u212A\u0130 apple \u1E9E apple \u0130\u0130 APPLE",
       "\u212A\u0130 fruit \u1E9E fruit \u0130\u0130 fruit"},
      // 'İ' lowercases to 'i' U+0307: the keyword 'i' matches the first byte of that, an end
      // inside the changed character, which has no place in the input.
      {"match ending inside a changed character", "\u0130 x", "\u0130 x"},
  };
  for (const Case& c : cases) {
    const std::string got = replace_keywords(kp, c.text, std::nullopt);
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_TRUE(is_valid_utf8(got)) << c.name;
  }
}

// Whatever extraction reports, the result is valid UTF-8 and every byte outside the replaced
// ranges survives in order: with clean names that cannot occur in the input, deleting them from
// the result gives back the input with the matched ranges removed.
TEST(Replace, RandomInputsStayValid) {
  std::mt19937 rng(4242);
  const std::vector<std::string> symbols = {"a", "b", " ", "é", "\u0130", "\u212A", "\u1E9E", "A",
                                            "\u00C9", "k", "i"};
  const auto pick = [&](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound)(rng);
  };
  const auto random_text = [&](std::size_t max) {
    std::string out;
    for (std::size_t i = pick(max); i > 0; --i) out += symbols[pick(symbols.size() - 1)];
    return out;
  };
  const float thresholds[] = {1.0f, 0.9f, 0.75f, 0.5f};
  for (int round = 0; round < 2000; ++round) {
    KeywordProcessor kp(pick(2) == 0, pick(2) == 0);
    for (std::size_t k = 1 + pick(4); k > 0; --k) kp.add_keyword(random_text(3), "#");
    const std::string text = random_text(16);
    const float t = thresholds[pick(3)];
    const std::string got = replace_keywords(kp, text, t);
    ASSERT_TRUE(is_valid_utf8(got)) << "round " << round;
    std::string without_names;
    for (char c : got) {
      if (c != '#') without_names += c;
    }
    // Each kept byte of the input appears in order: the stripped result is a subsequence of it.
    std::size_t at = 0;
    for (char c : without_names) {
      while (at < text.size() && text[at] != c) ++at;
      ASSERT_LT(at, text.size()) << "round " << round << " text '" << text << "' got '" << got << "'";
      ++at;
    }
  }
}

}  // namespace
}  // namespace wordsieve
