// Remembered fuzzy results: the fuzzy scan with its memo against the same scan that searches at
// every start, on texts whose words come back with different continuations.
#include "keyword_processor/internal/fuzzy_memo.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "keyword_processor/fuzzy.hpp"
#include "keyword_processor/fuzzy_scan.hpp"
#include "keyword_processor/normalize.hpp"
#include "match_table.hpp"
#include "scan_at_every_start.hpp"

namespace wordsieve {
namespace {

// Keywords over a few letters, and texts drawn from a small vocabulary of them, changed ones and
// their prefixes, joined by separators some of which occur in no keyword ('x', '-', 'é'), so that
// the same key comes back followed by other bytes, by the same bytes with other foreign bytes among
// them, and at the end of the text. Every memo size, from one bucket (every insertion evicts) to
// the default, the table of short windows in front of it from one bucket to the default, and the
// lists of the searches' parts inside their keys from none to the default, with one scratch across
// several texts as a batch keeps it.
TEST(FuzzyMemoTest, ScanWithMemoEqualsScanWithout) {
  std::mt19937 rng(0x3e30);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  const auto letters = [&](std::size_t count) {
    static const char* kLetters[] = {"a", "b", "c", "d", "ab", "é", "x"};
    std::string out;
    while (out.size() < count) out += kLetters[pick(std::size(kLetters) - 2)];  // no 'x'
    return out;
  };
  const float kThresholds[] = {0.0f, 0.3f, 0.5f, 0.6f, 0.7f, 0.75f, 0.8f, 0.85f, 0.9f, 0.95f};
  const std::size_t kMemoWays[] = {4, 64, 1024, FuzzyMemo::kMaxWays};
  const std::size_t kShortBuckets[] = {1, 4, ShortKeyMemo::kMaxBuckets};
  const std::size_t kKeyPartEvents[] = {0, 16, KeyPartMemo::kMaxEvents};
  int compared = 0;
  for (int round = 0; round < 300; ++round) {
    auto kp = std::make_unique<KeywordProcessor>(pick(1) == 0, pick(3) == 0);
    std::vector<std::string> keywords;
    for (std::size_t k = 1 + pick(12); k > 0; --k) {
      std::string keyword = letters(1 + pick(9));
      if (pick(5) == 0) keyword += " " + letters(1 + pick(4));  // a phrase
      kp->add_keyword(keyword, pick(3) == 0 ? std::optional<std::string>(std::string(pick(12), 'N'))
                                            : std::nullopt);
      keywords.push_back(keyword);
    }
    std::vector<std::string> vocabulary;
    for (std::size_t v = 2 + pick(8); v > 0; --v) {
      std::string word = keywords[pick(keywords.size() - 1)];
      switch (pick(4)) {
        case 0: word[pick(word.size() - 1)] = 'c'; break;
        case 1: word.insert(pick(word.size()), 1, 'x'); break;  // a foreign byte inside
        case 2: word = word.substr(0, 1 + pick(word.size() - 1)); break;
        default: break;
      }
      vocabulary.push_back(word);
    }
    const float t = kThresholds[pick(std::size(kThresholds) - 1)];
    // Long texts at times: the scan then skips words by a bitmap of the text.
    const std::size_t length = t < 0.5f ? 200 : pick(3) == 0 ? 5000 : 2000;
    FuzzyScratch scratch(kMemoWays[pick(std::size(kMemoWays) - 1)],
                         kShortBuckets[pick(std::size(kShortBuckets) - 1)],
                         kKeyPartEvents[pick(std::size(kKeyPartEvents) - 1)]);
    std::string previous;
    for (int text_round = 0; text_round < 4; ++text_round) {
      std::string text;
      if (!previous.empty() && pick(2) == 0) {
        text = previous.substr(0, pick(previous.size()));  // ends inside windows seen before
      } else {
        static const char* kSeparators[] = {" ", " ", " ", "  ", "x", "-", "\n", ", ", "é"};
        while (text.size() < length) {
          text += vocabulary[pick(vocabulary.size() - 1)];
          text += kSeparators[pick(std::size(kSeparators) - 1)];
        }
        text.resize(length - pick(20));
      }
      previous = text;
      const std::string s = kp->case_sensitive ? text : normalize_text(text);
      std::vector<KeywordMatch> got;
      scan_fuzzy(*kp, s, t, &scratch, got);
      ASSERT_TRUE(test_support::same(got, test_support::scan_at_every_start(*kp, s, t)))
          << "round " << round << " text " << text_round << " t=" << t << "\n" << s;
      ++compared;
    }
  }
  RecordProperty("compared", compared);
}

}  // namespace
}  // namespace wordsieve
