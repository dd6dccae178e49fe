// Many threads running batches over one shared processor through worker pools at once: the
// workers only read the processor, so every result must equal the one computed alone, and a
// failing batch (a bad threshold) must not disturb the others. Built with ThreadSanitizer this is
// the race check of the batch path; in normal builds it stays a short test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "captured_stderr.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/replace.hpp"
#include "native/worker_pool.hpp"

namespace wordsieve {
namespace {

constexpr int kRounds = 4;

struct Batch {
  std::vector<std::string> texts;
  std::optional<float> threshold;
};

struct Expected {
  std::vector<std::vector<KeywordMatch>> matches;
  std::vector<std::string> replaced;
};

KeywordProcessor make_processor() {
  KeywordProcessor kp;
  const char* words[] = {"new york", "york", "new", "café", "Straße", "ΟΔΟΣ", "İstanbul", "kelvin",
                         "big apple", "apple", "a", "ab", "abc", "data", "database", "base"};
  for (const char* w : words) kp.add_keyword(w, std::nullopt);
  kp.add_keyword("ny", "New York City");
  kp.add_keyword("empty", "");
  // Wide enough two bytes deep that exact searches remember walks (in each worker's scratch).
  for (char a = 'c'; a <= 'r'; ++a) {
    for (char b = 'a'; b <= 'z'; b += 2) kp.add_keyword(std::string{a, b, 'q'}, std::nullopt);
  }
  return kp;
}

std::vector<std::string> make_texts(std::uint32_t seed, std::size_t count) {
  const char* pieces[] = {"new", " ", "york", "NEW YORK", "café", "STRASSE", "straße", "οδος",
                          "İSTANBUL", ("\xE2\x84\xAA" "elvin"), "big", "apple", "abc", "ab", "data",
                          "base", "-", ",", "x", "ny", "empty", "\n"};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(0, 40);
  std::vector<std::string> texts(count);
  for (std::string& text : texts) {
    for (int i = length(rng); i > 0; --i) text += pieces[piece(rng)];
  }
  return texts;
}

Expected expected_for(const KeywordProcessor& kp, const Batch& batch) {
  Expected e;
  for (const std::string& text : batch.texts) {
    e.matches.push_back(extract_keywords(kp, text, batch.threshold));
    e.replaced.push_back(replace_keywords(kp, text, batch.threshold));
  }
  return e;
}

bool same(const std::vector<KeywordMatch>& a, const std::vector<KeywordMatch>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // The views point into the one shared trie, so equal matches have equal views.
    if (a[i].keyword.data() != b[i].keyword.data() || a[i].keyword.size() != b[i].keyword.size() ||
        a[i].similarity != b[i].similarity || a[i].start != b[i].start || a[i].end != b[i].end) {
      return false;
    }
  }
  return true;
}

TEST(BatchStress, ManyCallersShareOneProcessorThroughThePools) {
  const KeywordProcessor kp = make_processor();
  const std::vector<Batch> batches = {
      {make_texts(1, 300), std::nullopt},
      {make_texts(2, 300), 1.0f},
      {make_texts(3, 60), 0.8f},
      {make_texts(4, 40), 0.5f},
  };
  std::vector<Expected> expected;
  for (const Batch& b : batches) expected.push_back(expected_for(kp, b));

  // Two pools, each shared by several callers, and the process-wide one.
  WorkerPool small(2);
  WorkerPool wide(5);
  WorkerPool* pools[] = {&small, &wide, &WorkerPool::global()};

  std::atomic<int> wrong{0};
  std::atomic<int> failures_seen{0};
  test_support::CapturedStderr err;
  std::vector<std::thread> callers;
  for (int c = 0; c < 6; ++c) {
    callers.emplace_back([&, c] {
      WorkerPool& pool = *pools[c % 3];
      for (int round = 0; round < kRounds; ++round) {
        const std::size_t which = static_cast<std::size_t>(c + round) % batches.size();
        const Batch& batch = batches[which];
        const std::size_t n = batch.texts.size();
        std::vector<std::vector<KeywordMatch>> matches(n);
        std::vector<std::string> replaced(n);
        // Each worker's exact-search work space, carried from one text to the next, as the batch
        // methods do.
        std::vector<ScanScratch> scratches(pool.size() + 1);
        pool.run(n, [&](std::size_t i) {
          ScanScratch& scratch = scratches[pool.worker_index()];
          matches[i] = extract_keywords(kp, batch.texts[i], batch.threshold, &scratch);
          replaced[i] = replace_keywords(kp, batch.texts[i], batch.threshold, &scratch);
        });
        for (std::size_t i = 0; i < n; ++i) {
          if (!same(matches[i], expected[which].matches[i]) || replaced[i] != expected[which].replaced[i]) {
            ++wrong;
          }
        }
        // A batch that fails on every text, in between: one failure comes back, nothing else moves.
        try {
          pool.run(n, [&](std::size_t i) { (void)extract_keywords(kp, batch.texts[i], 1.5f); });
        } catch (const InternalFailure& failure) {
          if (failure.message() == "Threshold must be between 0 and 1") ++failures_seen;
        }
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failures_seen.load(), 6 * kRounds);
  // Each failing batch reports at least one text's failure (the others may stop first).
  const std::vector<std::string> reports = err.reports();
  EXPECT_GE(reports.size(), 6u * kRounds);
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "Threshold must be between 0 and 1"),
            static_cast<std::ptrdiff_t>(reports.size()));
}

}  // namespace
}  // namespace wordsieve
