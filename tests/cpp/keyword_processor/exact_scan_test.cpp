// The exact scan against the naive search: positions marked 64 at a time, the tables kept on the
// processor (the first-word filter, the table of first two bytes, the filter of positions by
// their next four bytes) through every change of the processor, matches that cross a 64-byte
// block, and the outcomes of walks remembered by word (long texts with a trie of more than a few
// hundred keywords).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "captured_stderr.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/interrupt.hpp"
#include "keyword_processor/normalize.hpp"
#include "keyword_processor/replace.hpp"
#include "match_table.hpp"
#include "native/processor_state.hpp"

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

// Texts that repeat a small vocabulary, against tries large enough that the scan remembers walk
// outcomes: keywords that are words, prefixes and extensions of words, that go on past a word's
// end ("ab cd", "ab-"), that begin or end with a boundary byte, words longer than what is
// remembered, matches at the very end of the text, and word sets that make letters boundaries.
class RepeatedVocabulary {
 public:
  explicit RepeatedVocabulary(unsigned seed) : rng_(seed) {
    for (std::size_t k = 0; k < 60; ++k) vocabulary_.push_back(word(pick(5) == 0 ? 20 : 7));
  }

  std::size_t pick(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng_); }

  KeywordProcessor processor() {
    KeywordProcessor kp(pick(3) == 0, pick(7) == 0);
    if (pick(4) == 0) kp.set_non_word_boundaries(std::vector<std::uint32_t>{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'});
    // Most two-letter pairs, so the trie is wide two bytes deep.
    for (const char a : kLetters) {
      for (const char b : kLetters) {
        if (pick(5) != 0) kp.add_keyword(std::string{a, b}, std::string_view("P"));
      }
    }
    for (std::size_t k = 0; k < 300; ++k) {
      std::string keyword = any_word();
      switch (pick(7)) {
        case 0: keyword = keyword.substr(0, 1 + pick(keyword.size() - 1)); break;
        case 1: keyword += kLetters[pick(kLetters.size() - 1)]; break;
        case 2: keyword += " " + any_word(); break;
        case 3: keyword += "-"; break;
        case 4: keyword = " " + keyword; break;
        default: break;
      }
      kp.add_keyword(keyword, std::string_view("K" + std::to_string(k)));
    }
    return kp;
  }

  std::string text(std::size_t min_size, std::size_t max_size) {
    static const std::vector<std::string> separators = {" ", " ", " ", "-", "\n", "_", "é", ", ", "  "};
    std::string out;
    const std::size_t size = min_size + pick(max_size - min_size);
    while (out.size() < size) {
      out += any_word();
      out += separators[pick(separators.size() - 1)];
    }
    if (pick(1) == 0) out += any_word();  // a word at the very end
    return out;
  }

 private:
  static constexpr std::string_view kLetters = "abcdefghijkLM";

  std::string word(std::size_t max_length) {
    std::string out;
    for (std::size_t i = 1 + pick(max_length - 1); i > 0; --i) out += kLetters[pick(kLetters.size() - 1)];
    return out;
  }
  const std::string& any_word() { return vocabulary_[pick(vocabulary_.size() - 1)]; }

  std::mt19937 rng_;
  std::vector<std::string> vocabulary_;
};

TEST(ExactScanLongTexts, RememberedWalksMatchReference) {
  RepeatedVocabulary source(90210);
  for (int round = 0; round < 150; ++round) {
    const KeywordProcessor kp = source.processor();
    const std::string text = source.text(4096, 16096);
    const auto got = extract_keywords(kp, text, std::nullopt);
    const auto want = test_support::naive_exact(kp, text);
    ASSERT_TRUE(test_support::same(got, want))
        << "round " << round << " text of " << text.size() << " bytes, " << got.size() << " matches against "
        << want.size();
  }
}

// A scratch carries tables and remembered walks from one text to the next: short texts (down to
// none at all) searched one after another with it give what each gives alone, for extraction and
// replacement.
TEST(ExactScanScratch, ShortTextsInARowMatchReference) {
  RepeatedVocabulary source(31337);
  for (int round = 0; round < 40; ++round) {
    const KeywordProcessor kp = source.processor();
    ScanScratch scratch;
    for (int t = 0; t < 60; ++t) {
      const std::string text = source.text(0, 300);
      const auto got = extract_keywords(kp, text, std::nullopt, &scratch);
      ASSERT_TRUE(test_support::same(got, test_support::naive_exact(kp, text)))
          << "round " << round << " text " << t << ": '" << text << "'";
      ASSERT_EQ(replace_keywords(kp, text, std::nullopt, &scratch), replace_keywords(kp, text, std::nullopt));
    }
  }
}

// A processor taken through random changes: keywords added (words, phrases, keywords that begin
// or end with a boundary byte, single bytes, bulks of two-letter keywords that make the trie wide
// and overflow the first-word filter) and removed, the word characters extended or replaced, its
// state written and loaded back, and searches and additions interrupted part-way (a search may
// stop a table build). After changes, texts of every length are searched, sometimes by several
// threads at once (each with a scratch, as batch workers search), and compared with the naive
// search. Each round runs with one instruction set, so that the tables built in it are updated in
// place as it goes.
TEST(ExactScanDerived, EveryChangeThenSearchMatchesReference) {
  std::mt19937 rng(4242);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  const std::vector<std::string> pieces = {"a", "b", "c", "d", "ab", "ba", "cd", "A", "B", "\xC3\xA9", " ", "-", "_", "x y"};
  const auto word = [&](std::size_t max_pieces) {
    std::string out;
    for (std::size_t i = 1 + pick(max_pieces - 1); i > 0; --i) out += pieces[pick(8)];
    return out;
  };
  const auto text = [&](std::size_t size) {
    std::string out;
    while (out.size() < size) out += pick(2) == 0 ? pieces[pick(pieces.size() - 1)] : word(4) + " ";
    return out;
  };
  const auto check = [&](const KeywordProcessor& kp, int round, int op, bool threads) {
    const std::vector<std::string> texts = {text(pick(70)), text(200 + pick(200)), text(4100 + pick(2000))};
    std::vector<test_support::Expected> want[3];
    for (int t = 0; t < 3; ++t) want[t] = test_support::naive_exact(kp, texts[t]);

    const auto search_all = [&](ScanScratch* scratch, bool* ok) {
      for (int t = 0; t < 3; ++t) *ok = *ok && test_support::same(extract_keywords(kp, texts[t], std::nullopt, scratch), want[t]);
    };
    if (!threads) {
      bool ok = true;
      search_all(nullptr, &ok);
      ASSERT_TRUE(ok) << "round " << round << " op " << op;
      return;
    }
    bool ok[3] = {true, true, true};
    ScanScratch scratches[3];
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) workers.emplace_back([&, w] { search_all(&scratches[w], &ok[w]); });
    for (std::thread& w : workers) w.join();
    ASSERT_TRUE(ok[0] && ok[1] && ok[2]) << "round " << round << " op " << op << " (threads)";
  };
  const SimdLevel levels[] = {SimdLevel::kPortable, SimdLevel::kAvx2, SimdLevel::kAvx512Vbmi};
  for (int round = 0; round < 90; ++round) {
    limit_simd_level(levels[round % 3]);
    KeywordProcessor kp(pick(2) == 0, pick(5) == 0);
    std::vector<std::string> added;
    for (int op = 0; op < 30; ++op) {
      switch (pick(12)) {
        case 0: {  // many two-letter keywords at once
          for (int k = 0; k < 150; ++k) kp.add_keyword(pieces[pick(8)] + pieces[pick(8)], std::string_view("P"));
          break;
        }
        case 1:
        case 2: {
          if (added.empty()) break;
          const std::string& gone = added[pick(added.size() - 1)];
          kp.remove_keyword(pick(3) == 0 ? word(3) : gone);
          break;
        }
        case 3: {
          const std::uint32_t extra[] = {'-', ' ', 0xA9, 0xC3, 'a', 0x3A3};
          kp.add_non_word_boundary(extra[pick(5)]);
          break;
        }
        case 4: {
          std::vector<std::uint32_t> set;
          for (const char c : std::string("abcdAB-_ ")) {
            if (pick(2) != 0) set.push_back(static_cast<unsigned char>(c));
          }
          kp.set_non_word_boundaries(set);
          break;
        }
        case 5: {
          std::string state(processor_state_size(kp), '\0');
          write_processor_state(kp, state.data(), state.size());
          kp = read_processor_state(state);
          break;
        }
        case 6: {  // a search stopped at its first poll, or a few later, or not at all
          interrupt_detail::budget = static_cast<std::int64_t>(pick(300));
          const InterruptCheck stop{[](void*) { return true; }, nullptr};
          const InterruptScope scope(stop);
          try {
            (void)extract_keywords(kp, text(3000), std::nullopt);
          } catch (const Interrupted&) {
          }
          break;
        }
        case 7: {  // an add_keyword stopped part-way, which leaves the store as it was
          interrupt_detail::budget = static_cast<std::int64_t>(pick(8));
          const InterruptCheck stop{[](void*) { return true; }, nullptr};
          const InterruptScope scope(stop);
          try {
            kp.add_keyword(word(5) + " " + word(5), std::string_view("I"));
          } catch (const Interrupted&) {
          }
          break;
        }
        default: {
          std::string keyword = word(5);
          switch (pick(6)) {
            case 0: keyword += " " + word(3); break;
            case 1: keyword = " " + keyword; break;
            case 2: keyword += "-"; break;
            case 3: keyword = pieces[pick(pieces.size() - 1)]; break;
            default: break;
          }
          if (pick(1) == 0) {
            kp.add_keyword(keyword, std::nullopt);
          } else {
            kp.add_keyword(keyword, std::string_view("K" + std::to_string(op)));
          }
          added.push_back(keyword);
        }
      }
      if (pick(2) == 0) check(kp, round, op, pick(4) == 0);
      if (HasFatalFailure()) break;
    }
    if (HasFatalFailure()) break;
  }
  limit_simd_level(SimdLevel::kAvx512Vbmi);
}

TEST(ExactScanScratch, ServesOneProcessorOnly) {
  KeywordProcessor first;
  KeywordProcessor second;
  first.add_keyword("a", std::nullopt);
  second.add_keyword("a", std::nullopt);
  ScanScratch scratch;
  EXPECT_EQ(extract_keywords(first, "a b a", std::nullopt, &scratch).size(), 2u);
  test_support::CapturedStderr err;
  EXPECT_THROW(extract_keywords(second, "a", std::nullopt, &scratch), InternalFailure);
  EXPECT_EQ(err.reports(), std::vector<std::string>{"a scan scratch was used with a second processor"});
  // Fuzzy searches do not use it.
  EXPECT_EQ(extract_keywords(second, "a", 0.5f, &scratch).size(), 1u);
}

}  // namespace
}  // namespace wordsieve
