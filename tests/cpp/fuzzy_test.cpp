// Fuzzy extraction: the documented cases, and the product's search against the literal one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>

#include "fuzzy_oracle.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/fuzzy.hpp"
#include "keyword_processor/normalize.hpp"
#include "match_table.hpp"

namespace wordsieve {
namespace {

using test_support::Expected;
using test_support::Store;

struct FuzzyCase {
  const char* name;
  Store store;
  std::string text;
  float threshold;
  std::vector<Expected> expected;
};

TEST(FuzzyExtract, Cases) {
  const Store hello{{{"hello", {}}}};
  const Store keyword{{{"keyword", {}}}};
  const Store abcd{{{"abcd", {}}}};
  const Store ab_abc{{{"ab", {}}, {"abc", {}}}};
  const Store world{{{"world", {}}}};
  const std::vector<FuzzyCase> cases = {
      {"keyword-skip", hello, "helo world", 0.8f, {{"hello", 0.8f, 0, 4}}},
      {"replace", hello, "hallo world", 0.8f, {{"hello", 0.8f, 0, 5}}},
      {"text-skip", hello, "hxello world", 0.8f, {{"hello", 0.83f, 0, 6}}},
      {"leading extra byte is part of the match", hello, "xhello", 0.8f, {{"hello", 0.83f, 0, 6}}},
      {"exact candidate wins, window finds the space",
       hello,
       "helloo world",
       0.8f,
       {{"hello", 1.0f, 0, 5}}},
      {"window of two word bytes", keyword, "keywordss are here", 0.8f, {{"keyword", 1.0f, 0, 7}}},
      {"three word bytes after the end", keyword, "keywordsss are here", 0.8f, {}},
      {"cut off by the end of the text (0.7)", abcd, "abc", 0.7f, {}},
      {"cut off by the end of the text (0.5)", abcd, "abc", 0.5f, {}},
      {"missing last byte", abcd, "abc x", 0.7f, {{"abcd", 0.75f, 0, 3}}},
      {"shortest exact keyword first (0.5)", ab_abc, "abc d", 0.5f, {{"ab", 1.0f, 0, 2}}},
      {"shortest exact keyword first (0.99)", ab_abc, "abc d", 0.99f, {{"ab", 1.0f, 0, 2}}},
      {"shortest exact keyword fails the end rule", ab_abc, "abc", 0.5f, {}},
      {"doubled space absorbed, start trimmed", world, "hello  world", 0.5f, {{"world", 0.83f, 7, 12}}},
      {"doubled space at 0.9", world, "hello  world", 0.9f, {{"world", 1.0f, 7, 12}}},
      {"keyword-skips before replaces", {{{"python", {}}}}, "I love pytohn!", 0.6f,
       {{"python", 0.67f, 7, 11}}},
      {"similarity against the clean name", {{{"NY", "New York"}}}, "nz x", 0.5f,
       {{"New York", 0.88f, 0, 1}}},
      {"similarity against the stored keyword", {{{"ny", {}}}}, "nz x", 0.5f, {{"ny", 0.5f, 0, 1}}},
      {"threshold 0 covers the whole text", {{{"cat", {}}}}, "the cat", 0.0f, {{"cat", 0.43f, 0, 7}}},
      {"match inside a multi-byte character", {{{"ab", {}}}}, "éb", 0.5f, {{"ab", 0.5f, 1, 3}}},
      {"threshold 0 without keywords", {}, "some text here", 0.0f, {}},
      // Decision (a): states that consumed nothing are never candidates. The empty keyword's clean
      // name would otherwise score 1.0 at every position and block every real match.
      {"root clean name never a candidate", {{{"", "ROOT"}, {"hello", {}}}}, "helo world", 0.8f,
       {{"hello", 0.8f, 0, 4}}},
      // A keyword-skip to 'q' scores 1 - 1/5 without consuming; the replace step consumes 'x'.
      {"keyword-skip alone never a candidate", {{{"q", "QQQQQ"}}}, "x", 0.5f, {{"QQQQQ", 0.8f, 0, 1}}},
      // Decision (b): one consumed trim byte would give start 1 > end 0; nothing is reported.
      {"single trim byte not reported", {{{" a", {}}}}, " b", 0.5f, {}},
      {"overlaps accept any end", {{{"cat", {}}}, false, true}, "cats", 0.7f, {{"cat", 1.0f, 0, 3}}},
      {"case-sensitive fuzzy", {{{"Cat", {}}}, true}, "cat", 0.6f, {{"Cat", 0.67f, 0, 3}}},
  };
  for (const FuzzyCase& c : cases) {
    const auto kp = test_support::make_processor(c.store);
    const auto got = extract_keywords(*kp, c.text, c.threshold);
    EXPECT_TRUE(test_support::same(got, c.expected))
        << c.name << "\n  got:  " << test_support::describe(got)
        << "\n  want: " << test_support::describe(c.expected);
  }
}

TEST(FuzzyEndRule, Window) {
  const WordBytes words(WordSet::defaults());
  struct Case {
    const char* text;
    std::uint64_t start, consumed;
    bool overlaps;
    bool accepted;
    std::uint64_t end;
  };
  const Case cases[] = {
      {"abcdef", 0, 3, false, false, 0},  // d, e, f are word bytes
      {"abcde", 0, 3, false, false, 0},   // end of text inside the window is no boundary
      {"abcde", 0, 4, false, false, 0},
      {"abcde", 0, 5, false, true, 5},    // m = n
      {"abcd f", 0, 3, false, true, 3},   // space two bytes later
      {"abc def", 0, 4, false, true, 3},  // trailing space trimmed, s[m] is that space
      {"abcdef", 0, 3, true, true, 3},
      {"abc\vd", 0, 3, false, true, 3},   // vertical tab is a boundary
      {"ab\vcde", 0, 3, false, false, 0}, // but it is not trimmed
  };
  for (const Case& c : cases) {
    std::uint64_t end = 99;
    EXPECT_EQ(fuzzy_end_rule(c.text, c.start, c.consumed, words, c.overlaps, end), c.accepted)
        << c.text << " " << c.consumed;
    if (c.accepted) {
      EXPECT_EQ(end, c.end) << c.text << " " << c.consumed;
    }
  }
}

// ---- differential tests ----------------------------------------------------------------------

struct RandomInput {
  std::unique_ptr<KeywordProcessor> kp;
  std::string text;
  float threshold;
};

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  std::size_t pick(std::size_t bound) {  // 0..bound
    return std::uniform_int_distribution<std::size_t>(0, bound)(rng_);
  }

  float threshold() {
    static const float kListed[] = {0.0f, 0.1f,  0.2f, 0.25f, 0.3f, 1.0f / 3, 0.4f, 0.5f,  0.6f,
                                    2.0f / 3, 0.7f, 0.75f, 0.8f, 0.85f, 0.9f, 0.95f, 0.99f};
    if (pick(3) == 0) return std::uniform_real_distribution<float>(0.0f, 0.99f)(rng_);
    return kListed[pick(std::size(kListed) - 1)];
  }

  // Few symbols, so keywords share prefixes; two-byte letters share their lead byte.
  std::string symbols(std::size_t max, bool for_text) {
    static const char* kKeyword[] = {"a", "b", " ", "é", "ü", "a"};
    static const char* kText[] = {"a", "b", " ", "é", "ü", "É", "A", "x", "\t", "b"};
    std::string out;
    for (std::size_t i = pick(max); i > 0; --i) {
      out += for_text ? kText[pick(std::size(kText) - 1)] : kKeyword[pick(std::size(kKeyword) - 1)];
    }
    return out;
  }

  std::unique_ptr<KeywordProcessor> processor(std::size_t max_keywords) {
    auto kp = std::make_unique<KeywordProcessor>(pick(3) == 0, pick(2) == 0);
    switch (pick(5)) {
      case 0:
        kp->set_non_word_boundaries({});
        break;
      case 1:
        kp->set_non_word_boundaries(std::vector<std::uint32_t>{' ', 'b'});
        break;
      case 2:
        kp->add_non_word_boundary(0xC3);
        kp->add_non_word_boundary(0xA9);
        break;
      default:
        break;
    }
    for (std::size_t k = 1 + pick(max_keywords - 1); k > 0; --k) {
      std::string keyword = symbols(4, false);
      if (keyword.empty() && pick(2) != 0) keyword = "b";
      if (pick(1) == 0) {
        kp->add_keyword(keyword, std::nullopt);
      } else {
        kp->add_keyword(keyword, std::string_view(std::string(pick(9), 'Z')));
      }
    }
    return kp;
  }

 private:
  std::mt19937 rng_;
};

bool same_candidate(bool found_a, const FuzzyCandidate& a, const std::optional<oracle::Candidate>& b) {
  if (found_a != b.has_value()) return false;
  return !found_a ||
         (a.node == b->node && a.consumed == b->consumed && a.similarity == b->similarity);
}

std::string show(bool found, const FuzzyCandidate& c) {
  if (!found) return "none";
  return "'" + std::string(c.node->clean_name.view()) + "' L=" + std::to_string(c.consumed) +
         " sim=" + std::to_string(c.similarity);
}

std::string dump(const KeywordProcessor& kp) {
  std::string out = kp.case_sensitive ? "[case-sensitive]" : "";
  if (kp.allow_overlaps) out += "[overlaps]";
  for (const auto& [key, clean] : kp.get_all_keywords()) out += " '" + key + "'->'" + clean + "'";
  return out;
}

std::string show(const std::optional<oracle::Candidate>& c) {
  if (!c) return "none";
  return "'" + std::string(c->node->clean_name.view()) + "' L=" + std::to_string(c->consumed) +
         " sim=" + std::to_string(c->similarity);
}

// Every start position, with the cuts that need the trie's shape and without them, in fresh
// searches and in one search reused across positions; then the whole extraction.
TEST(FuzzyDifferential, MatchesLiteralSearch) {
  Generator gen(0x5eed2025);
  int compared = 0;
  int over_budget = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
  for (int round = 0; round < 40000 && std::chrono::steady_clock::now() < deadline; ++round) {
    const auto kp = gen.processor(7);
    const float t = gen.threshold();
    const std::size_t max_symbols = t >= 0.6f ? 18 : t >= 0.3f ? 11 : 7;
    const std::string text = gen.symbols(max_symbols, true);
    const std::string s = kp->case_sensitive ? text : normalize_text(text);
    std::uint64_t budget = 400'000;
    try {
      FuzzySearch reused(kp->root, kp->derived.keyword_stats(*kp), s, t);
      for (std::uint64_t p = 0; p < s.size(); ++p) {
        const auto want = oracle::literal_search(kp->root, s, p, t, budget);
        FuzzyCandidate got{};
        FuzzySearch unbounded(kp->root, kp->derived.keyword_stats(*kp), s, t, FuzzySearch::Cuts::kPlain);
        bool found = unbounded.run(p, got);
        ASSERT_TRUE(same_candidate(found, got, want))
            << "round " << round << " unbounded p=" << p << " t=" << t << " text '" << s
            << "': " << show(found, got) << " vs " << show(want) << "\n" << dump(*kp);
        FuzzySearch bounded(kp->root, kp->derived.keyword_stats(*kp), s, t);
        found = bounded.run(p, got);
        ASSERT_TRUE(same_candidate(found, got, want))
            << "round " << round << " bounded p=" << p << " t=" << t << " text '" << s
            << "': " << show(found, got) << " vs " << show(want) << "\n" << dump(*kp);
        found = reused.run(p, got);
        ASSERT_TRUE(same_candidate(found, got, want))
            << "round " << round << " reused p=" << p << " t=" << t << " text '" << s
            << "': " << show(found, got) << " vs " << show(want) << "\n" << dump(*kp);
      }
      const auto want = oracle::literal_extract(*kp, text, t, budget);
      const auto got = extract_keywords(*kp, text, t);
      ASSERT_TRUE(test_support::same(got, want))
          << "round " << round << " t=" << t << " text '" << text
          << "'\n  got:  " << test_support::describe(got) << "\n  want: " << test_support::describe(want);
      ++compared;
    } catch (const oracle::OverBudget&) {
      ++over_budget;
    }
  }
  std::printf("compared %d inputs, %d over the oracle's budget\n", compared, over_budget);
  EXPECT_GT(compared, 2000);
  EXPECT_LT(over_budget, compared / 10);
}

// Longer texts, where the literal search is out of reach: the cuts that need the trie's shape must
// not change what the search with the plain visited cut finds.
TEST(FuzzyDifferential, ShapeCutsOnLongerTexts) {
  Generator gen(77);
  for (int round = 0; round < 300; ++round) {
    const auto kp = gen.processor(12);
    const float t = gen.threshold();
    const std::string s = gen.symbols(60, true);
    FuzzySearch reused(kp->root, kp->derived.keyword_stats(*kp), s, t);
    for (std::uint64_t p = 0; p < s.size(); ++p) {
      FuzzyCandidate a{}, b{};
      FuzzySearch unbounded(kp->root, kp->derived.keyword_stats(*kp), s, t, FuzzySearch::Cuts::kPlain);
      const bool found_a = unbounded.run(p, a);
      const bool found_b = reused.run(p, b);
      ASSERT_EQ(found_a, found_b) << "round " << round << " p=" << p;
      if (found_a) {
        ASSERT_EQ(a.node, b.node) << "round " << round << " p=" << p;
        ASSERT_EQ(a.consumed, b.consumed) << "round " << round << " p=" << p;
        ASSERT_EQ(a.similarity, b.similarity) << "round " << round << " p=" << p;
      }
    }
  }
}

TEST(FuzzySearch, LowThresholdStaysNearLinear) {
  // At threshold 0 the literal search follows text-skip chains to the end of the text from every
  // start; knowing the best similarity early lets the bound stop them after a few bytes.
  KeywordProcessor kp;
  for (const char* k : {"alpha", "beta", "gamma", "delta"}) kp.add_keyword(k, std::nullopt);
  std::string text;
  for (int i = 0; i < 500; ++i) text += "alpah bet gamm deltaa ";
  FuzzySearch search(kp.root, kp.derived.keyword_stats(kp), text, 0.0f);
  FuzzyCandidate candidate;
  for (std::uint64_t p = 0; p < text.size(); ++p) search.run(p, candidate);
  EXPECT_LT(search.states_popped(), 2000 * text.size());
}

}  // namespace
}  // namespace wordsieve
