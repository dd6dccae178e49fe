// The exact scan over texts long enough for every shortcut it takes: positions marked 64 at a time,
// the table of first two bytes (texts of 4 KiB and more), matches that cross a 64-byte block.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "keyword_processor/normalize.hpp"
#include "match_table.hpp"

namespace wordsieve {
namespace {

using test_support::Expected;

TEST(ExactScanLongTexts, MatchesReference) {
  std::mt19937 rng(7741);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  const std::vector<std::string> symbols = {"a", "b", "c", "d", " ", " ", "-", "_", "é", "A", "B", "\n", "x y"};
  const auto random_text = [&](std::size_t min_symbols, std::size_t max_symbols) {
    std::string out;
    for (std::size_t i = min_symbols + pick(max_symbols - min_symbols); i > 0; --i) {
      out += symbols[pick(symbols.size() - 1)];
    }
    return out;
  };
  for (int round = 0; round < 300; ++round) {
    KeywordProcessor kp(pick(1) == 1, pick(3) == 0);
    if (pick(4) == 0) kp.set_non_word_boundaries(std::vector<std::uint32_t>{'a', 'b', ' ', 0xC3});
    for (std::size_t k = 1 + pick(40); k > 0; --k) {
      // One-byte keywords make whole rows of the two-byte table pass; long ones cross blocks.
      const std::string keyword = pick(5) == 0 ? random_text(1, 1) : random_text(1, pick(3) == 0 ? 40 : 5);
      if (pick(1) == 1) {
        kp.add_keyword(keyword, std::nullopt);
      } else {
        kp.add_keyword(keyword, std::string_view("K" + std::to_string(k)));
      }
    }
    // Around the 4 KiB threshold, and well past it.
    const std::string text = random_text(pick(1) == 0 ? 1500 : 3000, 6000);
    const auto got = extract_keywords(kp, text, std::nullopt);
    const auto want = test_support::naive_exact(kp, text);
    ASSERT_TRUE(test_support::same(got, want))
        << "round " << round << " text of " << text.size() << " bytes\n  got:  "
        << test_support::describe(got) << "\n  want: " << test_support::describe(want);
  }
}

}  // namespace
}  // namespace wordsieve
