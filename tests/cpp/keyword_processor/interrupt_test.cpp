// Interrupting long operations: every long operation stops at the check's request, from any of
// its polls, and leaves the processor exactly as it was (compared through its persisted bytes).
#include "keyword_processor/interrupt.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "keyword_processor/replace.hpp"
#include "native/processor_state.hpp"
#include "native/worker_pool.hpp"

namespace wordsieve {
namespace {

std::string encode(const KeywordProcessor& p) {
  std::string out(processor_state_size(p), '\0');
  write_processor_state(p, out.data(), out.size());
  return out;
}

// Asks to stop at its `stop_at`-th consultation.
struct StopAt {
  int stop_at;
  int calls = 0;
  static bool stop_requested(void* self) {
    auto* s = static_cast<StopAt*>(self);
    return ++s->calls >= s->stop_at;
  }
};

// Runs `operation` under a check that stops at its `stop_at`-th consultation; true when it was
// interrupted, false when it finished first.
bool interrupted_at(int stop_at, const std::function<void()>& operation) {
  check_interrupt_now();  // no check yet: only gives a full budget, so each run stops at the same polls
  StopAt state{stop_at};
  const InterruptCheck check{&StopAt::stop_requested, &state};
  const InterruptScope scope(check);
  try {
    operation();
  } catch (const Interrupted&) {
    return true;
  }
  return false;
}

KeywordProcessor sample_processor(bool case_sensitive) {
  KeywordProcessor kp(case_sensitive, false);
  for (const char* w : {"abc", "ab", "a b", "the", "then", "café", "ΟΔΟΣ", "İstanbul"}) {
    kp.add_keyword(w, std::nullopt);
  }
  kp.add_keyword("xyz", "Clean");
  return kp;
}

std::string repeated(std::string_view unit, std::size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST(Interrupt, EveryLongOperationStopsAndLeavesTheProcessorAsItWas) {
  // Texts and keys long enough to reach many polls. The huge keys share their first bytes with
  // stored keywords, so an interrupted insertion has to take away new nodes below an old one.
  const std::string long_key = "ab" + repeated("Xy", 150000);
  const std::string prose = repeated("The café then ΟΔΟΣ a b abc İstanbul xyz thenabc, ", 20000);
  const std::string fuzzy_text = prose.substr(0, 60000);
  struct Case {
    const char* name;
    std::function<void(KeywordProcessor&)> operation;
  };
  const Case cases[] = {
      {"add_keyword", [&](KeywordProcessor& kp) { kp.add_keyword(long_key, std::nullopt); }},
      {"add_keyword, clean name", [&](KeywordProcessor& kp) { kp.add_keyword(long_key, "clean"); }},
      {"remove_keyword", [&](KeywordProcessor& kp) { (void)kp.remove_keyword(long_key); }},
      {"num_keywords", [](KeywordProcessor& kp) { (void)kp.num_keywords(); }},
      {"get_all_keywords", [](KeywordProcessor& kp) { (void)kp.get_all_keywords(); }},
      {"exact extraction", [&](KeywordProcessor& kp) { (void)extract_keywords(kp, prose, std::nullopt); }},
      {"fuzzy extraction", [&](KeywordProcessor& kp) { (void)extract_keywords(kp, fuzzy_text, 0.7f); }},
      {"exact replacement", [&](KeywordProcessor& kp) { (void)replace_keywords(kp, prose, 1.0f); }},
      {"fuzzy replacement", [&](KeywordProcessor& kp) { (void)replace_keywords(kp, fuzzy_text, 0.7f); }},
      {"state size and writing", [](KeywordProcessor& kp) { (void)encode(kp); }},
      {"state reading", [](KeywordProcessor& kp) { (void)read_processor_state(encode(kp)); }},
  };
  for (const bool case_sensitive : {false, true}) {
    for (const Case& c : cases) {
      KeywordProcessor kp = sample_processor(case_sensitive);
      // A large trie below the stored keywords, so that walks over the whole trie poll too.
      for (int i = 0; i < 20000; ++i) kp.add_keyword("w" + std::to_string(i) + " " + std::to_string(i * 7), std::nullopt);
      kp.add_keyword(long_key.substr(0, 100000), "prefix");
      const std::string before = encode(kp);
      int interruptions = 0;
      for (int stop_at = 1;; ++stop_at) {
        const bool interrupted = interrupted_at(stop_at, [&] { c.operation(kp); });
        if (!interrupted) break;  // finished before the check asked
        ++interruptions;
        ASSERT_EQ(encode(kp), before) << c.name << ", stopped at check " << stop_at;
        if (stop_at == 4) break;
      }
      EXPECT_GE(interruptions, 1) << c.name << ": never consulted the check";
    }
  }
}

// Polls count the work, not only the bytes passed: where a walk of up to 64 steps starts at every
// byte or every word, the exact scan consults the check about once per kInterruptStride steps.
TEST(Interrupt, TheExactScanCountsItsShortWalks) {
  struct Case {
    bool overlaps;
    std::string keyword;
    std::string_view unit;
  };
  for (const Case& c : {Case{true, repeated("a", 63) + "b", "a"}, Case{false, repeated("a ", 31) + "b", "a "}}) {
    KeywordProcessor kp(true, c.overlaps);
    kp.add_keyword(c.keyword, std::nullopt);
    const std::string text = repeated(c.unit, (std::size_t{1} << 20) / c.unit.size());
    std::uint64_t consultations = 0;
    const InterruptCheck check{+[](void* n) { return ++*static_cast<std::uint64_t*>(n) == 0; }, &consultations};
    const InterruptScope scope(check);
    EXPECT_TRUE(extract_keywords(kp, text, std::nullopt).empty());
    // About 31 steps per byte of text in both cases.
    EXPECT_GE(consultations, text.size() * 15 / kInterruptStride) << "overlaps " << c.overlaps;
  }
}

TEST(Interrupt, WithoutACheckPollsOnlyCount) {
  KeywordProcessor kp = sample_processor(false);
  const std::string text = repeated("abc the xyz ", 50000);
  const auto expected = extract_keywords(kp, text, std::nullopt);
  EXPECT_NO_THROW(check_interrupt_now());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(extract_keywords(kp, text, std::nullopt).size(), expected.size());
}

// A batch whose caller is told to stop: long engine work already running on the workers stops at
// its next poll, the call rethrows at once, and the pool runs the next call completely.
TEST(Interrupt, ABatchStopsItsWorkersAndThePoolStaysUsable) {
  KeywordProcessor kp = sample_processor(false);
  for (int i = 0; i < 2000; ++i) kp.add_keyword("w" + std::to_string(i), std::nullopt);
  // Each text alone takes seconds at threshold 0: a long keyword against a text that matches it
  // only in part, everywhere different (no search result can be taken from an earlier start).
  kp.add_keyword(std::string(300, 'a'), std::nullopt);
  std::string text;
  for (std::uint32_t x = 12345; text.size() < 3000;) {
    x = x * 1103515245U + 12345U;
    text += (x >> 16) % 2 == 0 ? 'a' : 'b';
  }
  const std::vector<std::string> texts(4, text);
  WorkerPool pool(2);
  const auto start = std::chrono::steady_clock::now();
  const bool interrupted = interrupted_at(3, [&] {
    pool.run(texts.size(), [&](std::size_t i) { (void)extract_keywords(kp, texts[i], 0.0f); });
  });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(interrupted);
  // The caller consults its check every few milliseconds, and the workers stop within their
  // next poll; seconds would mean that the work ran to its end.
  EXPECT_LT(took, std::chrono::seconds(2));

  std::vector<int> done(100, 0);
  pool.run(done.size(), [&](std::size_t i) { done[i] = 1; });
  for (int d : done) ASSERT_EQ(d, 1);
}

// A check may search the processor whose tables a search is building on first use (a signal
// handler run by the check can): that search builds its own instead of waiting for the build it
// is called from, and the first build finished is the one kept.
TEST(Interrupt, ACheckSearchesTheProcessorWhoseTablesAreBeingBuilt) {
  KeywordProcessor kp(false, false);
  for (int i = 0; i < 50000; ++i) kp.add_keyword("k" + std::to_string(i) + " w", std::nullopt);
  struct Nested {
    const KeywordProcessor* kp;
    int calls = 0;
    std::size_t found = 0;
  } nested{&kp};
  const InterruptCheck check{+[](void* context) {
                               auto& n = *static_cast<Nested*>(context);
                               if (n.calls++ == 0) n.found = extract_keywords(*n.kp, "k1 w, k7 w", std::nullopt).size();
                               return false;
                             },
                             &nested};
  check_interrupt_now();  // a full budget: the first consultation comes inside the build
  const InterruptScope scope(check);
  EXPECT_EQ(extract_keywords(kp, "k2 w", std::nullopt).size(), 1U);
  EXPECT_GE(nested.calls, 1);
  EXPECT_EQ(nested.found, 2U);
}

}  // namespace
}  // namespace wordsieve
