// Differential fuzzing of extraction and replacement. The input bytes choose a small keyword store
// (keywords and texts over a small alphabet with spaces, '_', multibyte and length-changing
// characters; clean names of every kind, the empty one included), some removals, the flags, the
// word-character set (set before the keywords or after them), a threshold and a text, with
// searches in between the changes (the search's tables then exist and must follow them). Then:
//   * the keyword listing and count equal those of a plain map of the same adds and removes;
//   * the exact search (threshold 1) equals a naive scan that tries every stored key at every
//     allowed start, on short texts and on texts repeated past 4 KiB;
//   * the fuzzy search equals the literal stack search of tests/cpp/fuzzy_oracle.hpp, whenever the
//     literal search finishes within its budget (stores of many short keywords too, and texts that
//     come twice, so that remembered results are taken);
//   * at the usual thresholds, the fuzzy scan of the text repeated past 4 KiB (a long text, whose
//     memo tables are sized for it; texts of 64 bytes or more skip words by a bitmap and guess
//     each next start) equals a search at every allowed start;
//   * extraction through a scratch carried over texts equals extraction without one;
//   * replacement equals the matches applied by hand to the input, with offsets mapped back
//     through a reference lowercasing, and is valid UTF-8 whenever the input is;
//   * a threshold outside 0..1 fails with the internal failure, and nothing else fails.
// Any difference aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../tests/cpp/fuzzy_oracle.hpp"
#include "../tests/cpp/match_table.hpp"
#include "../tests/cpp/scan_at_every_start.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/fuzzy_scan.hpp"
#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/normalize.hpp"
#include "keyword_processor/processor.hpp"
#include "keyword_processor/replace.hpp"
#include "reference_text.hpp"

namespace {

using wordsieve::KeywordMatch;
using wordsieve::KeywordProcessor;
namespace ref = wordsieve::reference;

// Pieces keywords are made of. Uppercase and length-changing characters matter only when case is
// ignored: 'İ' grows when lowercased, the Kelvin sign and 'Ω' (U+2126) shrink.
constexpr std::array<std::string_view, 18> kKeywordPieces = {
    "a", "b", "c", "ab", " ", "_", "-", "\xC3\xA9" /* é */, "\xC3\x89" /* É */,
    "\xC4\xB0" /* İ */, "\xE2\x84\xAA" /* Kelvin */, "\xCE\xA3" /* Σ */, "\xC3\x9F" /* ß */,
    "A", "B", "\t", "\xCE\x9F\xCE\xA3" /* ΟΣ */, "\xE2\x84\xA6" /* Ω */};

// Texts use the same pieces and a few more; the last two are not valid UTF-8 on their own and are
// only drawn when the input asks for invalid text.
constexpr std::array<std::string_view, 10> kTextExtras = {
    "x", "!", ".", "  ", "AB", "\xE1\xBA\x9E" /* ẞ */, "\n", "a b", "\xC3", "\xA9"};
constexpr std::size_t kInvalidExtras = 2;

constexpr std::array<std::optional<std::string_view>, 7> kCleanNames = {
    std::nullopt, "", "X", "New York", "\xC3\xB1" "and\xC3\xBA" /* ñandú */, "\xCE\xA3", "a b"};

constexpr std::array<float, 6> kThresholds = {0.0f, 0.5f, 0.75f, 0.8f, 0.99f, 1.0f};

// Word-character sets, applied both to the processor and to a plain table of 256 flags.
enum WordSetMode : int { kDefault, kEmpty, kDashOnly, kDefaultAndHighBytes, kDefaultAndSpace, kModes };

std::array<bool, 256> word_table(int mode) {
  std::array<bool, 256> table{};
  const auto defaults = [&] {
    for (int c = '0'; c <= '9'; ++c) table[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) table[c] = table[c - 32] = true;
    table['_'] = true;
  };
  switch (mode) {
    case kDefault: defaults(); break;
    case kEmpty: break;
    case kDashOnly: table['-'] = true; break;
    case kDefaultAndHighBytes: defaults(); table[0xA9] = table[0xC3] = true; break;
    case kDefaultAndSpace: defaults(); table[' '] = true; break;
  }
  return table;
}

void apply_word_set(KeywordProcessor& kp, int mode) {
  switch (mode) {
    case kDefault: break;
    case kEmpty: kp.set_non_word_boundaries({}); break;
    case kDashOnly: {
      const std::uint32_t dash[] = {'-'};
      kp.set_non_word_boundaries(dash);
      break;
    }
    case kDefaultAndHighBytes:
      kp.add_non_word_boundary(0xA9);
      kp.add_non_word_boundary(0xC3);
      kp.add_non_word_boundary(0x3A3);  // above 0xFF: stored, never consulted by extraction
      break;
    case kDefaultAndSpace: kp.add_non_word_boundary(' '); break;
  }
}

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stdout, "mismatch: %s\n", what);
  std::fflush(stdout);
  std::abort();
}

bool is_trim(unsigned char b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }

using wordsieve::test_support::Expected;
using wordsieve::test_support::same;

// Equal by content, wherever the clean names are viewed from.
bool same_content(const std::vector<KeywordMatch>& got, const std::vector<KeywordMatch>& want) {
  std::vector<Expected> expected;
  for (const KeywordMatch& m : want) expected.push_back({std::string(m.keyword), m.similarity, m.start, m.end});
  return same(got, expected);
}

// The exact search spelled out: at every allowed start, the longest stored non-empty key that the
// text continues with; accepted when it ends at the end of the text or before a boundary byte.
std::vector<Expected> naive_exact(const std::map<std::string, std::string>& store,
                                  const std::string& s, const std::array<bool, 256>& word,
                                  bool overlaps) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  std::vector<Expected> out;
  const std::size_t n = s.size();
  std::size_t p = 0;
  while (p < n) {
    if (!(p == 0 || overlaps || !word[at(p - 1)])) {
      ++p;
      continue;
    }
    const std::pair<const std::string, std::string>* best = nullptr;
    for (const auto& entry : store) {
      const std::string& key = entry.first;
      if (key.empty() || key.size() > n - p || s.compare(p, key.size(), key) != 0) continue;
      if (best == nullptr || key.size() > best->first.size()) best = &entry;
    }
    if (best == nullptr) {
      ++p;
      continue;
    }
    const std::size_t q = p + best->first.size();
    if (!(q == n || overlaps || !word[at(q)])) {
      ++p;
      continue;
    }
    out.push_back({best->second, 1.0f, is_trim(at(p)) ? p + 1 : p, q});
    p = q;
  }
  return out;
}

bool is_boundary(std::string_view text, std::uint64_t offset) {
  return offset == 0 || offset == text.size() ||
         (offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) != 0x80);
}

// Replacement by hand: every match, from the last to the first, whose offsets map back onto
// character boundaries of the input (in order, not overlapping what was already replaced).
std::string naive_replace(const KeywordProcessor& kp, const std::string& text,
                          const std::vector<KeywordMatch>& matches) {
  const std::optional<ref::Lowered> lowered =
      kp.case_sensitive ? std::nullopt : std::optional<ref::Lowered>(ref::lowercase(text));
  const auto map = [&](std::uint64_t offset) -> std::optional<std::uint64_t> {
    if (!lowered) return offset;
    return ref::to_input(*lowered, text.size(), offset);
  };
  std::string out = text;
  std::uint64_t limit = text.size();
  for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
    const std::optional<std::uint64_t> start = map(it->start);
    const std::optional<std::uint64_t> end = map(it->end);
    if (!start || !end || *start > *end || *end > limit) continue;
    if (!is_boundary(text, *start) || !is_boundary(text, *end)) continue;
    out.replace(*start, *end - *start, it->keyword);
    limit = *start;
  }
  return out;
}

// With FUZZ_EXTRACT_STATS set, how the inputs were checked is printed at exit: how many were
// compared with which reference, and how many the literal search could not finish.
struct Stats {
  std::uint64_t exact = 0, fuzzy = 0, over_budget = 0, invalid = 0, with_matches = 0;
  ~Stats() {
    if (std::getenv("FUZZ_EXTRACT_STATS") == nullptr) return;
    std::fprintf(stdout, "exact compared: %llu, fuzzy compared: %llu, fuzzy over budget: %llu, "
                         "invalid thresholds: %llu, inputs with matches: %llu\n",
                 static_cast<unsigned long long>(exact), static_cast<unsigned long long>(fuzzy),
                 static_cast<unsigned long long>(over_budget), static_cast<unsigned long long>(invalid),
                 static_cast<unsigned long long>(with_matches));
  }
} stats;

std::string take_pieces(FuzzedDataProvider& in, std::size_t max_pieces, bool texts,
                        bool allow_invalid) {
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, max_pieces);
  const std::size_t extras = texts ? kTextExtras.size() - (allow_invalid ? 0 : kInvalidExtras) : 0;
  std::string out;
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, kKeywordPieces.size() + extras - 1);
    out += k < kKeywordPieces.size() ? kKeywordPieces[k] : kTextExtras[k - kKeywordPieces.size()];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool case_sensitive = in.ConsumeBool();
  const bool overlaps = in.ConsumeBool();
  const bool allow_invalid = in.ConsumeBool();
  const int mode = in.ConsumeIntegralInRange<int>(0, kModes - 1);
  // The vector forms of the scan and of lowercasing, or the portable one (never wider than the
  // machine has).
  constexpr wordsieve::SimdLevel kLevels[] = {wordsieve::SimdLevel::kPortable, wordsieve::SimdLevel::kAvx2,
                                              wordsieve::SimdLevel::kAvx512Vbmi};
  wordsieve::limit_simd_level(kLevels[in.ConsumeIntegralInRange<int>(0, 2)]);

  // The threshold: one of the interesting values, absent, any value in [0, 1], or an invalid one.
  std::optional<float> threshold;
  bool invalid_threshold = false;
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: threshold = std::nullopt; break;
    case 1: threshold = in.ConsumeProbability<float>(); break;
    case 2: {
      constexpr float kInvalid[] = {-0.01f, 1.0000001f, std::numeric_limits<float>::quiet_NaN(),
                                    -std::numeric_limits<float>::infinity()};
      threshold = kInvalid[in.ConsumeIntegralInRange<int>(0, 3)];
      invalid_threshold = true;
      break;
    }
    default: threshold = kThresholds[in.ConsumeIntegralInRange<std::size_t>(0, kThresholds.size() - 1)];
  }
  const float t = threshold.value_or(1.0f);
  const bool fuzzy = !invalid_threshold && t < 1.0f;

  KeywordProcessor kp(case_sensitive, overlaps);
  // The word set is applied before the keywords, or after them with the search's tables built
  // already (a search in between), so that it must drop them.
  const bool word_set_late = in.ConsumeBool();
  if (!word_set_late) apply_word_set(kp, mode);
  std::map<std::string, std::string> store;  // key text -> clean name
  std::vector<std::string> added;
  // Fuzzy inputs may ask for many short keywords: nodes with many children, whose index the
  // fuzzy search builds (child_index.hpp).
  const bool wide = fuzzy && in.ConsumeBool();
  const int operations = in.ConsumeIntegralInRange<int>(0, wide ? 24 : fuzzy ? 6 : 12);
  for (int op = 0; op < operations && in.remaining_bytes() > 0; ++op) {
    // A search now and then, so that later changes find the search's tables built and must
    // update or drop them.
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      (void)wordsieve::extract_keywords(kp, "ab a-b", in.ConsumeBool() ? std::nullopt : std::optional<float>(0.5f));
    }
    if (!added.empty() && in.ConsumeIntegralInRange<int>(0, 4) == 0) {
      // Remove a keyword added before (perhaps in another case) or a fresh one.
      std::string keyword = in.ConsumeBool()
                                ? added[in.ConsumeIntegralInRange<std::size_t>(0, added.size() - 1)]
                                : take_pieces(in, 3, false, false);
      const std::string key = case_sensitive ? keyword : ref::lowercase(keyword).text;
      const bool stored = store.erase(key) > 0;
      if (kp.remove_keyword(keyword) != stored) mismatch("remove_keyword result");
      continue;
    }
    std::string keyword = take_pieces(in, wide ? 2 : fuzzy ? 4 : 6, false, false);
    const auto& clean = kCleanNames[in.ConsumeIntegralInRange<std::size_t>(0, kCleanNames.size() - 1)];
    const std::string key = case_sensitive ? keyword : ref::lowercase(keyword).text;
    kp.add_keyword(keyword, clean);
    store[key] = clean ? std::string(*clean) : key;
    added.push_back(std::move(keyword));
  }
  if (word_set_late) {
    (void)wordsieve::extract_keywords(kp, "ab a-b", std::nullopt);
    apply_word_set(kp, mode);
  }
  std::string text = take_pieces(in, fuzzy ? 10 : 48, true, allow_invalid);
  // The exact scan changes method for long texts (a first-two-bytes table from 4 KiB on, blocks of
  // 32 or 64 positions), so exact inputs may repeat their text past that size.
  if (!fuzzy && !text.empty() && in.ConsumeBool()) {
    const std::string once = text;
    while (text.size() < 4100) text += once;
  }
  // A fuzzy text may come twice, so that searches meet windows they searched before and take their
  // remembered results (fuzzy_memo.hpp).
  if (fuzzy && in.ConsumeBool()) text = text + " " + text;

  // The store itself.
  if (kp.num_keywords() != store.size()) mismatch("num_keywords");
  std::vector<std::pair<std::string, std::string>> listed = kp.get_all_keywords();
  std::sort(listed.begin(), listed.end());
  if (listed != std::vector<std::pair<std::string, std::string>>(store.begin(), store.end())) {
    mismatch("get_all_keywords");
  }

  std::vector<KeywordMatch> matches;
  try {
    matches = wordsieve::extract_keywords(kp, text, threshold);
  } catch (const wordsieve::InternalFailure& failure) {
    if (!invalid_threshold || failure.message() != "Threshold must be between 0 and 1") {
      mismatch("unexpected internal failure in extraction");
    }
    try {
      (void)wordsieve::replace_keywords(kp, text, threshold);
    } catch (const wordsieve::InternalFailure&) {
      ++stats.invalid;
      return 0;
    }
    mismatch("replacement accepted an invalid threshold");
  }
  if (invalid_threshold) mismatch("extraction accepted an invalid threshold");

  const std::string search_text = case_sensitive ? text : ref::lowercase(text).text;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    if (matches[i].start > matches[i].end || matches[i].end > search_text.size()) mismatch("range");
    if (i > 0 && matches[i].start < matches[i - 1].end) mismatch("overlap");
  }
  if (fuzzy) {
    try {
      const std::vector<KeywordMatch> literal = wordsieve::oracle::literal_extract(kp, text, t, 200000);
      std::vector<Expected> want;
      for (const KeywordMatch& m : literal) want.push_back({std::string(m.keyword), m.similarity, m.start, m.end});
      if (!same(matches, want)) mismatch("fuzzy extraction differs from the literal search");
      ++stats.fuzzy;
    } catch (const wordsieve::oracle::OverBudget&) {
      // The literal search is exponential at low thresholds; such inputs are only run, not compared.
      ++stats.over_budget;
    }
  } else {
    if (!same(matches, naive_exact(store, search_text, word_table(mode), overlaps))) {
      mismatch("exact extraction differs from the naive scan");
    }
    ++stats.exact;
  }
  stats.with_matches += !matches.empty();

  // A long text, where the scan works otherwise; at the usual thresholds a search at every start
  // stays cheap enough to judge it.
  if (fuzzy && t >= 0.6f && !text.empty() && in.ConsumeBool()) {
    std::string repeated = text;
    while (repeated.size() < 4200) repeated += (repeated.size() % 3 == 0 ? ", " : " ") + text;
    const std::string s = kp.case_sensitive ? repeated : wordsieve::normalize_text(repeated);
    std::vector<KeywordMatch> scanned;
    wordsieve::scan_fuzzy(kp, s, t, nullptr, scanned);
    if (!wordsieve::test_support::same(scanned, wordsieve::test_support::scan_at_every_start(kp, s, t))) {
      mismatch("fuzzy scan of a long text differs from a search at every start");
    }
  }

  // A scratch carried over texts, as batch workers use one: the same text twice, the second time
  // with whatever the first left in it, gives what the search without it gave.
  {
    wordsieve::ScanScratch scratch;
    for (int pass = 0; pass < 2; ++pass) {
      if (!same_content(wordsieve::extract_keywords(kp, text, threshold, &scratch), matches)) {
        mismatch("extraction with a scratch differs");
      }
    }
    // Another text through the same scratch: what it remembers from the first must fit the second.
    const std::string other = text.substr(text.size() / 3) + text.substr(0, text.size() / 3);
    if (!same_content(wordsieve::extract_keywords(kp, other, threshold, &scratch),
              wordsieve::extract_keywords(kp, other, threshold))) {
      mismatch("extraction of another text with a used scratch differs");
    }
  }

  const std::string replaced = wordsieve::replace_keywords(kp, text, threshold);
  if (replaced != naive_replace(kp, text, matches)) mismatch("replacement differs from the edits by hand");
  if (ref::is_valid_utf8(text) && !ref::is_valid_utf8(replaced)) mismatch("replacement is not UTF-8");
  return 0;
}
