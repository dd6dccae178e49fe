// Exact extraction and the scan shared with the fuzzy search.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "captured_stderr.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/normalize.hpp"
#include "match_table.hpp"

namespace wordsieve {
namespace {

using test_support::Expected;
using test_support::naive_exact;
using test_support::Keyword;
using test_support::Store;

TEST(ExtractThreshold, OutOfRangeFailsBeforeAnythingElse) {
  KeywordProcessor kp;
  kp.add_keyword("cat", std::nullopt);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  test_support::CapturedStderr err;
  for (float t : {-0.01f, 1.01f, nan, inf, -inf, std::nextafter(1.0f, 2.0f)}) {
    for (const char* text : {"", "cat"}) {
      try {
        extract_keywords(kp, text, t);
        ADD_FAILURE() << "threshold " << t << " accepted";
      } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "Threshold must be between 0 and 1");
      }
    }
  }
  EXPECT_EQ(err.reports(), std::vector<std::string>(12, "Threshold must be between 0 and 1"));
  for (float t : {0.0f, -0.0f, 0.5f, 1.0f}) {
    EXPECT_NO_THROW(extract_keywords(kp, "", t)) << t;
  }
}

TEST(ExtractThreshold, AbsentMeansExact) {
  KeywordProcessor kp;
  kp.add_keyword("cat", std::nullopt);
  const auto absent = extract_keywords(kp, "a cat, cats", std::nullopt);
  const auto one = extract_keywords(kp, "a cat, cats", 1.0f);
  ASSERT_EQ(absent.size(), 1u);
  EXPECT_TRUE(test_support::same(absent, one));
  // Just below 1 is the fuzzy search, which finds more.
  EXPECT_EQ(extract_keywords(kp, "a cat, cats", std::nextafter(1.0f, 0.0f)).size(), 1u);
}

struct ExactCase {
  const char* name;
  Store store;
  std::string text;
  std::vector<Expected> expected;
};

TEST(ExtractExact, Cases) {
  const Store new_york{{{"new", {}}, {"new york", {}}}};
  const Store cat{{{"cat", {}}}};
  const Store cat_overlaps{{{"cat", {}}}, false, true};
  const std::vector<ExactCase> cases = {
      {"longest keyword wins", new_york, "new york city", {{"new york", 1.0f, 0, 8}}},
      {"longest fails end rule, shorter not tried", new_york, "new yorkshire", {}},
      {"longest, where the fuzzy search takes the shortest",
       {{{"ab", {}}, {"abc", {}}}},
       "abc d",
       {{"abc", 1.0f, 0, 3}}},
      {"inside a word", cat, "concatenate", {}},
      {"inside a word with overlaps", cat_overlaps, "concatenate", {{"cat", 1.0f, 3, 6}}},
      {"scan resumes after a match",
       {{{"abc", {}}, {"bcd", {}}}, false, true},
       "abcd",
       {{"abc", 1.0f, 0, 3}}},
      {"two matches in order", cat, "cat cat.", {{"cat", 1.0f, 0, 3}, {"cat", 1.0f, 4, 7}}},
      {"underscore is a word byte", {{{"foo", {}}}}, "foo_bar", {}},
      {"hyphen is a boundary", {{{"foo", {}}}}, "foo-bar", {{"foo", 1.0f, 0, 3}}},
      {"offsets count bytes", {{{"café", {}}}}, "café au lait", {{"café", 1.0f, 0, 5}}},
      {"byte of a multi-byte character is a boundary", cat, "écat", {{"cat", 1.0f, 2, 5}}},
      {"clean name and lowercasing",
       {{{"Cat", "Feline"}}},
       "CAT!",
       {{"Feline", 1.0f, 0, 3}}},
      {"case-sensitive processor", {{{"Cat", "Feline"}}, true}, "CAT!", {}},
      {"leading trim byte is skipped, end is not trimmed",
       {{{" ok", {}}}},
       " ok",
       {{" ok", 1.0f, 1, 3}}},
      {"tab is a trim byte", {{{"\tok", {}}}}, "\tok", {{"\tok", 1.0f, 1, 3}}},
      {"vertical tab is not a trim byte", {{{"\vok", {}}}}, "\vok", {{"\vok", 1.0f, 0, 3}}},
      {"trailing space stays in the match", {{{"ok ", {}}}}, "ok -", {{"ok ", 1.0f, 0, 3}}},
      {"empty keyword never reported", {{{"", "ROOT"}, {"a", {}}}}, "b a", {{"a", 1.0f, 2, 3}}},
      {"match at the end of the text", cat, "a cat", {{"cat", 1.0f, 2, 5}}},
      {"empty text", cat, "", {}},
      {"empty clean name", {{{"cat", ""}}}, "cat", {{"", 1.0f, 0, 3}}},
      {"no keywords", {}, "anything at all", {}},
      {"adjacent multi-byte matches", {{{"é", {}}}}, "éé", {{"é", 1.0f, 0, 2}, {"é", 1.0f, 2, 4}}},
      {"single space keyword gives an empty range",
       {{{" ", "S"}, {"-", "D"}}},
       " -",
       {{"S", 1.0f, 1, 1}, {"D", 1.0f, 1, 2}}},
      {"no start right after a match that ends in a word byte",
       {{{"ab", {}}, {"-", {}}}},
       "ab-",
       {{"ab", 1.0f, 0, 2}}},
  };
  for (const ExactCase& c : cases) {
    const auto kp = test_support::make_processor(c.store);
    const auto got = extract_keywords(*kp, c.text, std::nullopt);
    EXPECT_TRUE(test_support::same(got, c.expected))
        << c.name << "\n  got:  " << test_support::describe(got)
        << "\n  want: " << test_support::describe(c.expected);
  }
}

TEST(ExtractExact, WordSetIsTestedPerByte) {
  KeywordProcessor kp;
  kp.add_keyword("cat", std::nullopt);
  // The byte A9 of 'é' counts as U+00A9, so adding that code point makes it a word byte.
  kp.add_non_word_boundary(0xA9);
  EXPECT_TRUE(extract_keywords(kp, "écat", std::nullopt).empty());
  // A code point above 0xFF never takes part in matching.
  kp.set_non_word_boundaries(std::vector<std::uint32_t>{0x100 + 'x'});
  const auto got = extract_keywords(kp, "xcatx", std::nullopt);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].start, 1u);
  // With no word characters at all every byte is a boundary.
  kp.set_non_word_boundaries({});
  EXPECT_EQ(extract_keywords(kp, "concatenate", std::nullopt).size(), 1u);
}

TEST(ExtractExact, KeywordViewsPointIntoTheTrie) {
  KeywordProcessor kp;
  kp.add_keyword("cat", "Feline");
  const auto a = extract_keywords(kp, "cat", std::nullopt);
  const auto b = extract_keywords(kp, "a cat", std::nullopt);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0].keyword.data(), b[0].keyword.data());
}

TEST(ExtractExact, DeepTrieAndLongText) {
  // A keyword a million bytes long: the walk is a loop, not a recursion.
  KeywordProcessor kp;
  const std::string deep(1'000'000, 'a');
  kp.add_keyword(deep, "DEEP");
  kp.add_keyword("a", "ONE");
  const auto got = extract_keywords(kp, deep + " a", std::nullopt);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].keyword, "DEEP");
  EXPECT_EQ(got[0].end, deep.size());
  EXPECT_EQ(got[1].keyword, "ONE");
}

TEST(ExtractExact, MatchesNaiveSearchOnRandomInputs) {
  std::mt19937 rng(20251208);
  const std::vector<std::string> symbols = {"a", "b", "c", " ", "-", "_", "é", "è", "A", "\t"};
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  const auto random_text = [&](std::size_t max_symbols) {
    std::string out;
    for (std::size_t i = pick(max_symbols); i > 0; --i) out += symbols[pick(symbols.size() - 1)];
    return out;
  };
  for (int round = 0; round < 3000; ++round) {
    KeywordProcessor kp(pick(1) == 1, pick(1) == 1);
    if (pick(3) == 0) kp.set_non_word_boundaries(std::vector<std::uint32_t>{'a', ' ', 0xC3});
    for (std::size_t k = pick(6); k > 0; --k) {
      const std::string keyword = random_text(4);
      if (pick(1) == 1) {
        kp.add_keyword(keyword, std::nullopt);
      } else {
        kp.add_keyword(keyword, std::string_view("K" + std::to_string(k)));
      }
    }
    const std::string text = random_text(24);
    const auto got = extract_keywords(kp, text, std::nullopt);
    const auto want = naive_exact(kp, text);
    ASSERT_TRUE(test_support::same(got, want))
        << "round " << round << " text '" << text << "'\n  got:  " << test_support::describe(got)
        << "\n  want: " << test_support::describe(want);
  }
}

}  // namespace
}  // namespace wordsieve
