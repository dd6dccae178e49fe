// The fuzzy scan's work space that a processor keeps from one single call to the next: results
// after every kind of change equal those of a processor built afresh with the same keywords and
// settings, which has kept nothing; what is kept stays within its bound; calls from two threads at
// once each get their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "keyword_processor/exact_scan.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/fuzzy_scan.hpp"
#include "keyword_processor/internal/keyword_stats.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve {
namespace {

// A processor with the same keywords and settings as `kp`, and nothing derived from them yet.
std::unique_ptr<KeywordProcessor> afresh(const KeywordProcessor& kp) {
  auto fresh = std::make_unique<KeywordProcessor>(kp.case_sensitive, kp.allow_overlaps);
  fresh->non_word_boundaries = kp.non_word_boundaries;
  for (const auto& [key, clean] : kp.get_all_keywords()) fresh->add_keyword(key, clean);
  return fresh;
}

// Same matches, clean names compared by value: they come from two processors.
bool same(const std::vector<KeywordMatch>& got, const std::vector<KeywordMatch>& want) {
  return std::equal(got.begin(), got.end(), want.begin(), want.end(), [](const KeywordMatch& a, const KeywordMatch& b) {
    return a.keyword == b.keyword && a.similarity == b.similarity && a.start == b.start && a.end == b.end;
  });
}

TEST(KeptFuzzyScratch, EveryChangeAgreesWithAFreshProcessor) {
  std::mt19937 rng(0x4e97);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  const auto word = [&] {
    static const char* kParts[] = {"col", "our", "or", "cen", "tre", "ter", "e", "s", "-", "é"};
    std::string out;
    for (std::size_t k = 1 + pick(3); k > 0; --k) out += kParts[pick(std::size(kParts) - 1)];
    return out;
  };
  const float kThresholds[] = {0.0f, 0.5f, 0.7f, 0.8f, 0.9f};
  int compared = 0;
  for (int round = 0; round < 60; ++round) {
    auto kp = std::make_unique<KeywordProcessor>(pick(1) == 0, pick(3) == 0);
    for (std::size_t k = 2 + pick(6); k > 0; --k) kp->add_keyword(word(), std::nullopt);
    std::string text;
    for (std::size_t w = 4 + pick(30); w > 0; --w) text += word() + (pick(3) == 0 ? ", " : " ");
    float t = kThresholds[pick(std::size(kThresholds) - 1)];
    for (int step = 0; step < 12; ++step) {
      switch (pick(7)) {  // the change before this step's calls
        case 0: kp->add_keyword(word(), std::nullopt); break;
        case 1: {  // another clean name for a stored keyword, shorter or longer
          const auto keys = kp->get_all_keywords();
          if (!keys.empty()) kp->add_keyword(keys[pick(keys.size() - 1)].first, std::string(pick(14), 'N'));
          break;
        }
        case 2: {
          const auto keys = kp->get_all_keywords();
          if (!keys.empty()) kp->remove_keyword(keys[pick(keys.size() - 1)].first);
          break;
        }
        case 3: kp->add_non_word_boundary(pick(1) == 0 ? '-' : ','); break;
        case 4: kp->set_non_word_boundaries(std::vector<std::uint32_t>{'a', 'c', 'e', 'o', 'r', 's', 't'}); break;
        case 5: t = kThresholds[pick(std::size(kThresholds) - 1)]; break;
        default: *kp = std::move(*afresh(*kp)); break;  // as a loaded state replaces a processor
      }
      const auto fresh = afresh(*kp);  // alive while its matches' clean names are compared
      const auto want = extract_keywords(*fresh, text, t);
      for (int call = 0; call < 2; ++call) {  // the second one finds what the first kept
        ASSERT_TRUE(same(extract_keywords(*kp, text, t), want))
            << "round " << round << " step " << step << " call " << call << " threshold " << t;
        ++compared;
      }
    }
  }
  RecordProperty("compared", compared);
}

TEST(KeptFuzzyScratch, StaysWithinItsBound) {
  KeywordProcessor kp(false, false);
  for (int k = 0; k < 300; ++k) kp.add_keyword("w" + std::to_string(k * 7919 % 100000), std::nullopt);
  std::string text;
  for (std::uint64_t w = 0; text.size() < 400'000; ++w) text += "w" + std::to_string(w * 104729 % 100000) + " ";
  for (const float t : {0.9f, 0.0f}) {
    const std::string part = text.substr(0, t > 0.0f ? text.size() : 20'000);
    ScanScratch batch;  // as a batch worker's, which is not trimmed: it holds more than the bound
    extract_keywords(kp, part, t, &batch);
    EXPECT_GT(batch.fuzzy().bytes(), FuzzyScratch::kept_bytes(300)) << "threshold " << t;
    extract_keywords(kp, part, t);
    auto kept = kp.derived.take_fuzzy_scratch();
    ASSERT_NE(kept, nullptr);
    EXPECT_LE(kept->bytes(), FuzzyScratch::kept_bytes(300)) << "threshold " << t;
    kp.derived.keep_fuzzy_scratch(std::move(kept));
  }
}

TEST(KeptFuzzyScratch, CallsFromTwoThreadsAtOnce) {
  KeywordProcessor kp(false, false);
  for (const char* keyword : {"colour", "centre", "theatre", "grey", "favourite"}) kp.add_keyword(keyword, std::nullopt);
  const std::string texts[] = {"the color of the center", "a gray theater, my favorite colors", "centres and colours"};
  const auto fresh = afresh(kp);
  std::vector<std::vector<KeywordMatch>> want;
  for (const std::string& text : texts) want.push_back(extract_keywords(*fresh, text, 0.8f));
  bool all_same[2] = {true, true};
  std::thread threads[2];
  for (int id = 0; id < 2; ++id) {
    threads[id] = std::thread([&, id] {
      for (int i = 0; i < 2000; ++i) {
        const std::size_t k = (i + id) % std::size(texts);
        all_same[id] = all_same[id] && same(extract_keywords(kp, texts[k], 0.8f), want[k]);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(all_same[0] && all_same[1]);
}

}  // namespace
}  // namespace wordsieve
