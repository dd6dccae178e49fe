// Fuzzy extraction: the documented cases, and the fuzzy search against the literal one.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

#include "case_file.hpp"
#include "fuzzy_oracle.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/fuzzy.hpp"
#include "keyword_processor/internal/fuzzy_shape.hpp"
#include "keyword_processor/internal/keyword_stats.hpp"
#include "keyword_processor/normalize.hpp"
#include "native/processor_state.hpp"
#include "match_table.hpp"
#include "scan_at_every_start.hpp"

namespace wordsieve {
namespace {

using test_support::Expected;
using test_support::Store;

// The cases of tests/data/fuzzy_cases.json, which the Python tests run too.
TEST(FuzzyExtract, Cases) {
  const test_support::Json cases = test_support::read_case_file("fuzzy_cases.json");
  ASSERT_GT(cases.items.size(), 20u);
  for (const test_support::Json& c : cases.items) {
    Store store{{}, c["case_sensitive"].boolean, c["allow_overlaps"].boolean};
    for (const test_support::Json& k : c["keywords"].items) {
      store.keywords.push_back({k.items[0].string, k.items[1].kind == test_support::Json::kString
                                                       ? std::optional<std::string>(k.items[1].string)
                                                       : std::nullopt});
    }
    std::vector<Expected> expected;
    for (const test_support::Json& m : c["expected"].items) {
      expected.push_back({m.items[0].string, static_cast<float>(m.items[1].number),
                          static_cast<std::uint64_t>(m.items[2].number),
                          static_cast<std::uint64_t>(m.items[3].number)});
    }
    const auto kp = test_support::make_processor(store);
    const auto got = extract_keywords(*kp, c["text"].string, static_cast<float>(c["threshold"].number));
    EXPECT_TRUE(test_support::same(got, expected))
        << c["name"].string << "\n  got:  " << test_support::describe(got)
        << "\n  want: " << test_support::describe(expected);
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

// Random processors of several shapes and texts made from their keywords, so that the fuzzy search
// meets what it must handle: wide nodes near the root, long keys, clean names longer and shorter
// than their keys, the root's own clean name, multi-byte and foreign bytes, and texts whose words
// come back (remembered results).
class Generator {
 public:
  enum Shape { kFew, kWide, kLong, kOddNames, kShapes };

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

  // `count` symbols of an alphabet; two-byte letters share their lead byte.
  std::string symbols(std::size_t count, Shape shape) {
    static const char* kFewLetters[] = {"a", "b", " ", "é", "ü", "a"};
    static const char* kManyLetters[] = {"a", "b", "c", "d", "e", "f", "g", "h", "é", "ü", "-"};
    std::string out;
    for (; count > 0; --count) {
      out += shape == kFew ? kFewLetters[pick(std::size(kFewLetters) - 1)]
                           : kManyLetters[pick(std::size(kManyLetters) - 1)];
    }
    return out;
  }

  std::unique_ptr<KeywordProcessor> processor(Shape shape) {
    auto kp = std::make_unique<KeywordProcessor>(pick(3) == 0, pick(2) == 0);
    switch (pick(5)) {
      case 0: kp->set_non_word_boundaries({}); break;
      case 1: kp->set_non_word_boundaries(std::vector<std::uint32_t>{' ', 'b'}); break;
      case 2: kp->add_non_word_boundary(0xC3); kp->add_non_word_boundary(0xA9); break;
      default: break;
    }
    const std::size_t count = shape == kFew ? 1 + pick(6) : shape == kWide ? 20 + pick(60) : 1 + pick(8);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t length = shape == kLong ? 5 + pick(25) : shape == kWide ? 1 + pick(3) : pick(4);
      std::string keyword = symbols(length, shape);
      if (shape == kLong && !keywords_.empty() && pick(1) == 0) {  // share a prefix
        keyword = keywords_[pick(keywords_.size() - 1)].substr(0, pick(12)) + keyword;
      }
      if (keyword.empty() && pick(2) != 0) keyword = "b";
      std::optional<std::string> clean;
      if (shape == kOddNames || pick(3) == 0) {
        clean = std::string(shape == kOddNames ? pick(30) : pick(9), 'Z');
      }
      kp->add_keyword(keyword, clean);
      keywords_.push_back(kp->key_text(keyword));
    }
    return kp;
  }

  // Fragments of the keywords, some changed by a byte, between separators; some fragments come
  // back. `words` fragments at most.
  std::string text(std::size_t words) {
    static const char* kSeparators[] = {" ", " ", ", ", "\t", "É", "x", "\n", "  "};
    std::vector<std::string> used;
    std::string out;
    for (std::size_t w = pick(words); w > 0; --w) {
      std::string word;
      if (!used.empty() && pick(2) == 0) {
        word = used[pick(used.size() - 1)];
      } else if (!keywords_.empty() && pick(4) != 0) {
        word = keywords_[pick(keywords_.size() - 1)];
        if (!word.empty() && pick(1) == 0) {
          const std::size_t at = pick(word.size() - 1);
          switch (pick(2)) {
            case 0: word.erase(at, 1); break;
            case 1: word[at] = 'q'; break;
            default: word.insert(at, 1, 'a'); break;
          }
        }
        used.push_back(word);
      } else {
        word = symbols(pick(4), kFew);
      }
      out += word;
      out += kSeparators[pick(std::size(kSeparators) - 1)];
    }
    return out;
  }

  void forget_keywords() { keywords_.clear(); }

 private:
  std::mt19937 rng_;
  std::vector<std::string> keywords_;
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

std::string show(const std::optional<oracle::Candidate>& c) {
  if (!c) return "none";
  return "'" + std::string(c->node->clean_name.view()) + "' L=" + std::to_string(c->consumed) +
         " sim=" + std::to_string(c->similarity);
}

std::string dump(const KeywordProcessor& kp) {
  std::string out = kp.case_sensitive ? "[case-sensitive]" : "";
  if (kp.allow_overlaps) out += "[overlaps]";
  for (const auto& [key, clean] : kp.get_all_keywords()) out += " '" + key + "'->'" + clean + "'";
  return out;
}

// The fuzzy scan with the search in its plain form (cuts 1 and 3 only, no remembered results): the
// judge for texts too long for the literal search.
std::vector<KeywordMatch> plain_extract(const KeywordProcessor& kp, std::string_view input, float t) {
  const std::string text = kp.case_sensitive ? std::string(input) : normalize_text(input);
  return test_support::scan_at_every_start(kp, text, t, FuzzySearch::Cuts::kPlain);
}

std::string failure(const char* what, int round, float t, const std::string& text,
                    const KeywordProcessor& kp) {
  return std::string(what) + ", round " + std::to_string(round) + ", t=" + std::to_string(t) +
         ", text '" + text + "'\n" + dump(kp);
}

// Every start position (a fresh search and one reused across positions) and the whole extraction
// against the literal search, then the extraction of several texts through one scratch (results
// remembered from text to text, as a batch worker keeps them) and after changes to the store.
TEST(FuzzyDifferential, MatchesLiteralSearch) {
  Generator gen(0x5eed2025);
  int compared = 0, over_budget = 0;
  int per_shape[Generator::kShapes][2] = {};  // compared at thresholds below and from 0.5
  for (int round = 0; round < 4000; ++round) {
    const auto shape = static_cast<Generator::Shape>(round % Generator::kShapes);
    gen.forget_keywords();
    const auto kp = gen.processor(shape);
    const float t = gen.threshold();
    // Texts as long as the literal search can take (its work grows steeply as t falls).
    std::size_t words = t >= 0.6f ? 6 : t >= 0.3f ? 3 : 2;
    if (shape == Generator::kWide || (shape == Generator::kLong && t < 0.5f)) words /= 2;
    std::uint64_t budget = 400'000;
    try {
      const std::string text = gen.text(words);
      const std::string s = kp->case_sensitive ? text : normalize_text(text);
      FuzzySearch reused(*kp, s, t);
      FuzzySearch unmeasured(*kp, s, t, FuzzySearch::Cuts::kUnmeasured);
      for (std::uint64_t p = 0; p < s.size(); ++p) {
        const auto want = oracle::literal_search(kp->root, s, p, t, budget);
        FuzzyCandidate got{};
        FuzzySearch fresh(*kp, s, t);
        ASSERT_TRUE(same_candidate(fresh.run(p, got), got, want))
            << failure("fresh search", round, t, s, *kp) << "\np=" << p << ": " << show(fresh.run(p, got), got)
            << " vs " << show(want);
        ASSERT_TRUE(same_candidate(reused.run(p, got), got, want))
            << failure("reused search", round, t, s, *kp) << "\np=" << p << ": " << show(want);
        // Without the trie's shape: the whole trie's height for every subtree, no children index.
        ASSERT_TRUE(same_candidate(unmeasured.run(p, got), got, want))
            << failure("unmeasured search", round, t, s, *kp) << "\np=" << p << ": " << show(want);
      }
      ScanScratch scratch;
      for (int pass = 0; pass < 3; ++pass) {
        const std::string next = pass == 0 ? text : gen.text(words);
        const auto want = oracle::literal_extract(*kp, next, t, budget);
        ASSERT_TRUE(test_support::same(extract_keywords(*kp, next, t), want))
            << failure("extraction", round, t, next, *kp);
        ASSERT_TRUE(test_support::same(extract_keywords(*kp, next, t, &scratch), want))
            << failure("extraction with a scratch", round, t, next, *kp);
      }
      // A change to the store, then the same text again.
      if (gen.pick(1) == 0) {
        const auto keys = kp->get_all_keywords();
        if (!keys.empty()) kp->remove_keyword(keys[gen.pick(keys.size() - 1)].first);
      } else {
        kp->add_keyword(gen.symbols(1 + gen.pick(3), shape), std::string(gen.pick(12), 'Y'));
      }
      ASSERT_TRUE(test_support::same(extract_keywords(*kp, text, t),
                                     oracle::literal_extract(*kp, text, t, budget)))
          << failure("extraction after a change", round, t, text, *kp);
      ++compared;
      ++per_shape[shape][t >= 0.5f ? 1 : 0];
    } catch (const oracle::OverBudget&) {
      ++over_budget;
    }
  }
  // Kept in the test's XML record (--gtest_output=xml) rather than printed: a passing run is quiet.
  RecordProperty("compared", compared);
  RecordProperty("over_budget", over_budget);
  for (const auto& counts : per_shape) {
    EXPECT_GT(counts[0], 100);  // every shape, at low thresholds and at high ones
    EXPECT_GT(counts[1], 200);
  }
  EXPECT_LT(over_budget, compared / 3);
}

// The part of a search inside its key, listed at one start, finishes the search at the start of
// texts that go on after the same key with other words, as the literal search does there.
TEST(FuzzyDifferential, KeyPartReplayedAfterOtherWords) {
  Generator gen(0x6b657970);
  int compared = 0, over_budget = 0;
  for (int round = 0; round < 2000; ++round) {
    const auto shape = static_cast<Generator::Shape>(round % Generator::kShapes);
    gen.forget_keywords();
    const auto kp = gen.processor(shape);
    const float t = std::max(0.6f, gen.threshold());
    const auto search_text = [&](const std::string& text) {
      return kp->case_sensitive ? text : normalize_text(text);
    };
    const std::string s = search_text(gen.text(6));
    FuzzySearch search(*kp, s, t);
    std::uint64_t budget = 400'000;
    try {
      for (std::uint64_t p = 0; p < s.size(); ++p) {
        // The key as the scan takes it: up to and including the first foreign byte after p.
        const std::uint64_t left = s.size() - p;
        std::uint64_t key = std::min<std::uint64_t>(left, 24);
        if (const std::uint64_t after = key > 1 ? search.foreign_pattern(p + 1, key - 1) : 0; after != 0) {
          key = static_cast<std::uint64_t>(std::countr_zero(after)) + 2;
        }
        FuzzyCandidate got{};
        if (!FuzzySearch::key_part_applies(key, left, t)) continue;
        search.begin(p);
        if (search.exact_first(got)) continue;
        search.set_horizon(key);
        std::vector<KeyPartEvent> events;
        if (!search.record_key_part(key, 0.0f, events)) continue;
        for (int j = 0; j < 4; ++j) {
          const std::string other = j == 0 ? s.substr(p) : s.substr(p, key) + search_text(gen.text(3));
          if (other.size() <= key) continue;
          FuzzySearch there(*kp, other, t);
          there.begin(0);
          ASSERT_FALSE(there.exact_first(got));
          there.set_horizon(key);
          const bool found = there.replay_key_part(key, events.data(), events.size(), 0.0f, got);
          const auto want = oracle::literal_search(kp->root, other, 0, t, budget);
          ASSERT_TRUE(same_candidate(found, got, want))
              << failure("replayed key part", round, t, other, *kp) << "\nkey " << key << " from '"
              << s.substr(p) << "': " << show(found, got) << " vs " << show(want);
          ++compared;
        }
      }
    } catch (const oracle::OverBudget&) {
      ++over_budget;
    }
  }
  RecordProperty("compared", compared);
  EXPECT_GT(compared, 5000);
  EXPECT_LT(over_budget, 200);
}

// Keys longer than what is left of the text: whether any is still within reach turns on the
// shortest key, the text left and the longest clean name, so the thresholds are taken at and just
// around 1 - (shortest - left) / max(left, longest name) for every length left, and the texts are
// the keys' own prefixes (with a byte changed at times), which come closest to them.
TEST(FuzzyDifferential, KeysLongerThanTheTextLeft) {
  std::mt19937 rng(0x7e57);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  int compared = 0;
  int over_budget = 0;
  for (int round = 0; round < 200; ++round) {
    KeywordProcessor kp(true, false);
    std::vector<std::string> keys;
    const std::size_t shortest = 3 + pick(9);
    for (std::size_t k = 1 + pick(3); k > 0; --k) {
      std::string key;
      for (std::size_t n = shortest + (keys.empty() ? 0 : pick(6)); n > 0; --n) key += "ab"[pick(1)];
      kp.add_keyword(key, pick(2) == 0 ? std::optional<std::string>(std::string(key.size() + pick(8), 'N'))
                                       : std::nullopt);
      keys.push_back(key);
    }
    const auto& stats = kp.derived.keyword_stats(kp);
    ASSERT_EQ(stats.shortest_key(), shortest);
    const std::uint64_t names = stats.longest_key() + stats.clean_name_excess();
    std::string text = keys[pick(keys.size() - 1)].substr(0, 1 + pick(shortest - 1));
    if (pick(2) == 0) text[pick(text.size() - 1)] = 'c';
    if (pick(3) == 0) text = "x " + text;
    for (std::uint64_t left = 1; left < shortest; ++left) {
      const float turn = 1.0f - static_cast<float>(shortest - left) / static_cast<float>(std::max(left, names));
      for (const float t : {std::nextafter(turn, 0.0f), turn, std::nextafter(turn, 1.0f), 0.0f}) {
        if (!(t >= 0.0f && t < 1.0f)) continue;
        try {
          for (std::uint64_t p = 0; p < text.size(); ++p) {
            std::uint64_t budget = 200'000;
            const auto want = oracle::literal_search(kp.root, text, p, t, budget);
            FuzzyCandidate got{};
            FuzzySearch search(kp, text, t);
            ASSERT_TRUE(same_candidate(search.run(p, got), got, want))
                << failure("search", round, t, text, kp) << "\np=" << p << ": " << show(want);
          }
          std::uint64_t budget = 2'000'000;
          ASSERT_TRUE(test_support::same(extract_keywords(kp, text, t),
                                         oracle::literal_extract(kp, text, t, budget)))
              << failure("extraction", round, t, text, kp);
          ++compared;
        } catch (const oracle::OverBudget&) {
          ++over_budget;
        }
      }
    }
  }
  RecordProperty("compared", compared);
  RecordProperty("over_budget", over_budget);
  EXPECT_LT(over_budget, compared / 4);
}

// Below the usual thresholds the search remembers the bounds it computes by their counts, which it
// packs into one word when each is below 2^16. A key of 70,000 bytes puts the subtree heights past
// that, so both ways are taken in one search; the gate keeps the literal search small all the same.
TEST(FuzzyDifferential, KeysDeeperThanTheRememberedBounds) {
  std::mt19937 rng(0xb0d);
  const auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound)(rng); };
  int compared = 0;
  for (int round = 0; round < 60; ++round) {
    KeywordProcessor kp(true, false);
    std::string deep(70'000, 'a');
    for (std::size_t k = 0; k < 8; ++k) deep[pick(deep.size() - 1)] = 'b';
    kp.add_keyword(deep, std::nullopt);
    for (std::size_t k = 1 + pick(4); k > 0; --k) {
      std::string key = deep.substr(0, 1 + pick(5));
      key[pick(key.size() - 1)] = "abc"[pick(2)];
      kp.add_keyword(key, pick(3) == 0 ? std::optional<std::string>("N") : std::nullopt);
    }
    std::string text;
    for (std::size_t n = 1 + pick(11); n > 0; --n) text += "aabc "[pick(4)];
    for (const float t : {0.3f, 0.45f, 0.5f, 0.58f}) {
      std::uint64_t budget = 2'000'000;
      ASSERT_TRUE(test_support::same(extract_keywords(kp, text, t), oracle::literal_extract(kp, text, t, budget)))
          << failure("extraction", round, t, text, kp);
      ++compared;
    }
  }
  RecordProperty("compared", compared);
}

// Longer texts, where the literal search is out of reach, against the search in its plain form;
// and the keyword figures kept through changes against figures measured afresh.
TEST(FuzzyDifferential, LongerTextsAndChangedStores) {
  Generator gen(77);
  for (int round = 0; round < 400; ++round) {
    const auto shape = static_cast<Generator::Shape>(round % Generator::kShapes);
    gen.forget_keywords();
    const auto kp = gen.processor(shape);
    const float t = gen.threshold();
    (void)kp->derived.keyword_stats(*kp);  // built now, so that the changes below update it
    for (int change = 0; change < 4; ++change) {
      const auto keys = kp->get_all_keywords();
      if (gen.pick(2) == 0 && !keys.empty()) {
        kp->remove_keyword(keys[gen.pick(keys.size() - 1)].first);
      } else {
        kp->add_keyword(gen.symbols(gen.pick(6), shape), std::string(gen.pick(20), 'W'));
      }
      ASSERT_TRUE(kp->derived.keyword_stats(*kp) == KeywordStats(*kp)) << "round " << round;
    }
    const std::string text = gen.text(t >= 0.5f ? 40 : 12);
    ASSERT_TRUE(test_support::same(extract_keywords(*kp, text, t), plain_extract(*kp, text, t)))
        << failure("longer text", round, t, text, *kp);
  }
}

// Texts of a block (64 bytes) or more are scanned by the bitmap of their boundary bytes, with each
// next start guessed from it; shorter ones a byte at a time. Every length across the first two
// block edges, each text scanned alone and through one scratch carried from length to length.
TEST(FuzzyDifferential, TextsAcrossTheBlockEdges) {
  Generator gen(0xb10c);
  for (int round = 0; round < 60; ++round) {
    const auto shape = static_cast<Generator::Shape>(round % Generator::kShapes);
    gen.forget_keywords();
    const auto kp = gen.processor(shape);
    const float t = std::max(0.6f, gen.threshold());
    std::string text = gen.text(12);
    while (text.size() < 140) text += " " + gen.text(4);
    ScanScratch scratch;
    for (std::size_t n = 56; n <= 136; ++n) {
      if ((static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) continue;  // inside a character
      const std::string part = text.substr(0, n);
      const auto want = plain_extract(*kp, part, t);
      ASSERT_TRUE(test_support::same(extract_keywords(*kp, part, t), want))
          << failure("text across a block edge", round, t, part, *kp);
      ASSERT_TRUE(test_support::same(extract_keywords(*kp, part, t, &scratch), want))
          << failure("the same through a scratch", round, t, part, *kp);
    }
  }
}

bool same_entry(const ChildIndex::Node& a, const ChildIndex::Node& b) {
  const auto same_children = std::equal(a.children.begin(), a.children.end(), b.children.begin(),
                                        b.children.end(), [](const auto& x, const auto& y) {
                                          return x.key == y.key && x.child == y.child;
                                        });
  if (!same_children || a.words != b.words || a.named != b.named ||
      a.longest_named != b.longest_named || a.longest_below != b.longest_below ||
      !std::equal(a.child_keys, a.child_keys + 4, b.child_keys)) {
    return false;
  }
  const auto paths = [](const ChildIndex::Node& x) {
    return std::count_if(x.paths.begin(), x.paths.end(), [](const auto& slot) { return slot.key != 0; });
  };
  if (paths(a) != paths(b)) return false;
  for (const auto& slot : a.paths) {
    const std::uint64_t key = slot.key;
    if (key == 0) continue;
    const std::size_t size = ChildIndex::size_of_key(key);
    unsigned char bytes[8];
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(key >> (8 * (size - 1 - i)));
    ChildIndex::Node::Path x, y;
    if (!a.path(bytes, size, x) || !b.path(bytes, size, y) || x.longest != y.longest ||
        !std::equal(x.reach, x.reach + a.words, y.reach) ||
        !std::equal(x.named_on, x.named_on + a.words, y.named_on)) {
      return false;
    }
  }
  return true;
}

// The shape kept on `kp` against one built afresh: every node's figure and index entry.
::testing::AssertionResult same_shape(const KeywordProcessor& kp) {
  const FuzzyShape fresh(kp);
  const FuzzyShape& kept = kp.derived.fuzzy_shape(kp);
  if (kept.nodes() < fresh.nodes()) return ::testing::AssertionFailure() << "nodes missing";
  std::vector<const TrieNode*> nodes{&kp.root};
  while (!nodes.empty()) {
    const TrieNode* node = nodes.back();
    nodes.pop_back();
    if (kept.height(node, ~std::uint64_t{0}) != fresh.height(node, ~std::uint64_t{0})) {
      return ::testing::AssertionFailure() << "heights differ";
    }
    const ChildIndex::Node *a = kept.wide(node), *b = fresh.wide(node);
    if ((a == nullptr) != (b == nullptr) || (a != nullptr && !same_entry(*a, *b))) {
      return ::testing::AssertionFailure() << "index entries differ";
    }
    std::size_t pos = 0;
    ChildMap::Entry entry;
    while (node->children.next(pos, entry)) nodes.push_back(entry.child);
  }
  return ::testing::AssertionSuccess();
}

std::optional<std::string> some_key(const KeywordProcessor& kp, Generator& gen) {
  const auto keys = kp.get_all_keywords();
  if (keys.empty()) return std::nullopt;
  return keys[gen.pick(keys.size() - 1)].first;
}

// The trie's shape kept on the processor, through sequences of every kind of change made after a
// fuzzy search built it: after each, extraction against the literal search and the kept shape
// against a fresh one; then a batch (the structures built on the calling thread, two workers with
// a scratch each).
TEST(FuzzyDifferential, KeptShapeFollowsEveryChange) {
  using Change = void (*)(KeywordProcessor&, Generator&, Generator::Shape);
  const std::pair<const char*, Change> changes[] = {
      {"add a new key", [](KeywordProcessor& kp, Generator& gen, Generator::Shape shape) {
         kp.add_keyword(gen.symbols(1 + gen.pick(4), shape), std::string(gen.pick(12), 'Y'));
       }},
      {"extend a stored key", [](KeywordProcessor& kp, Generator& gen, Generator::Shape shape) {
         if (const auto key = some_key(kp, gen)) kp.add_keyword(*key + gen.symbols(1 + gen.pick(3), shape), std::nullopt);
       }},
      {"add a prefix of a stored key", [](KeywordProcessor& kp, Generator& gen, Generator::Shape) {
         if (const auto key = some_key(kp, gen)) kp.add_keyword(key->substr(0, gen.pick(key->size())), std::nullopt);
       }},
      {"give a stored key another clean name", [](KeywordProcessor& kp, Generator& gen, Generator::Shape) {
         if (const auto key = some_key(kp, gen)) kp.add_keyword(*key, std::string(gen.pick(20), 'N'));
       }},
      {"remove a key", [](KeywordProcessor& kp, Generator& gen, Generator::Shape) {
         if (const auto key = some_key(kp, gen)) kp.remove_keyword(*key);
       }},
      {"remove a key that others extend", [](KeywordProcessor& kp, Generator& gen, Generator::Shape shape) {
         if (const auto key = some_key(kp, gen)) {
           kp.add_keyword(*key + gen.symbols(1, shape), std::nullopt);
           kp.remove_keyword(*key);
         }
       }},
      {"remove keys and add them back", [](KeywordProcessor& kp, Generator& gen, Generator::Shape shape) {
         // Freed nodes' addresses are taken again by the nodes added next.
         const auto keys = kp.get_all_keywords();
         for (std::size_t k = 0; k < keys.size(); k += 2) kp.remove_keyword(keys[k].first);
         for (std::size_t k = 0; k < keys.size(); k += 2) {
           kp.add_keyword(gen.pick(1) == 0 ? keys[k].first : gen.symbols(1 + gen.pick(4), shape), std::nullopt);
         }
       }},
      {"remove every key", [](KeywordProcessor& kp, Generator&, Generator::Shape) {
         for (const auto& key : kp.get_all_keywords()) kp.remove_keyword(key.first);
       }},
      {"a byte becomes a word character", [](KeywordProcessor& kp, Generator& gen, Generator::Shape) {
         kp.add_non_word_boundary(gen.pick(1) == 0 ? ' ' : 0xC3);
       }},
      {"word characters replaced", [](KeywordProcessor& kp, Generator&, Generator::Shape) {
         kp.set_non_word_boundaries(std::vector<std::uint32_t>{'a', '-'});
       }},
      {"state loaded", [](KeywordProcessor& kp, Generator& gen, Generator::Shape shape) {
         KeywordProcessor other(kp.case_sensitive, kp.allow_overlaps);
         for (std::size_t k = gen.pick(8); k > 0; --k) other.add_keyword(gen.symbols(1 + gen.pick(5), shape), std::nullopt);
         std::string state(processor_state_size(other), '\0');
         write_processor_state(other, state.data(), state.size());
         kp = read_processor_state(state);
       }},
  };
  Generator gen(0x5ba9e);
  int compared = 0;
  for (int round = 0; round < 600; ++round) {
    const auto shape = static_cast<Generator::Shape>(round % Generator::kShapes);
    gen.forget_keywords();
    const auto kp = gen.processor(shape);
    const float t = std::max(gen.threshold(), 0.4f);
    const std::uint64_t budget = 400'000;
    try {
      const std::string text = gen.text(shape == Generator::kWide ? 3 : 6);
      (void)extract_keywords(*kp, text, t);  // builds the kept structures
      std::string done;
      for (int step = 0; step < 6; ++step) {
        const auto& [what, change] = changes[gen.pick(std::size(changes) - 1)];
        change(*kp, gen, shape);
        done += std::string(what) + "; ";
        ASSERT_TRUE(test_support::same(extract_keywords(*kp, text, t),
                                       oracle::literal_extract(*kp, text, t, budget)))
            << failure(done.c_str(), round, t, text, *kp);
        ASSERT_TRUE(same_shape(*kp)) << done << "round " << round;
      }
      const auto& [what, change] = changes[gen.pick(std::size(changes) - 1)];
      change(*kp, gen, shape);
      done += std::string(what) + "; then a batch";
      prepare_search(*kp, t);
      const auto once = oracle::literal_extract(*kp, text, t, budget);
      std::vector<std::vector<KeywordMatch>> got(2);
      std::vector<std::thread> workers;
      for (auto& out : got) {
        workers.emplace_back([&kp, &text, t, &out] {
          ScanScratch scratch;
          for (int copy = 0; copy < 2; ++copy) extract_keywords(*kp, text, t, &scratch, out);
        });
      }
      for (std::thread& worker : workers) worker.join();
      std::vector<KeywordMatch> twice = once;
      twice.insert(twice.end(), once.begin(), once.end());
      for (const auto& out : got) {
        ASSERT_TRUE(test_support::same(out, twice)) << failure(done.c_str(), round, t, text, *kp);
      }
      ++compared;
    } catch (const oracle::OverBudget&) {
    }
  }
  EXPECT_GT(compared, 450);
}

TEST(FuzzySearch, LowThresholdStaysNearLinear) {
  // At threshold 0 the literal search follows text-skip chains to the end of the text from every
  // start; knowing the best similarity early lets the bound stop them after a few bytes.
  KeywordProcessor kp;
  for (const char* k : {"alpha", "beta", "gamma", "delta"}) kp.add_keyword(k, std::nullopt);
  std::string text;
  for (int i = 0; i < 500; ++i) text += "alpah bet gamm deltaa ";
  FuzzySearch search(kp, text, 0.0f);
  FuzzyCandidate candidate;
  for (std::uint64_t p = 0; p < text.size(); ++p) search.run(p, candidate);
  EXPECT_LT(search.states_popped(), 2000 * text.size());
}

}  // namespace
}  // namespace wordsieve
