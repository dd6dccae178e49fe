#include "extract.hpp"

#include <algorithm>

#include "keyword_processor/internal/search_text.hpp"

namespace wordsieve {

namespace {
constexpr std::size_t kReserveFrom = std::size_t{64} << 10;
constexpr std::size_t kBytesPerReservedMatch = 6;
constexpr std::size_t kMostReservedMatches = (std::size_t{40} << 20) / sizeof(KeywordMatch);
}  // namespace

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold, ScanScratch* scratch) {
  // A long text's matches go into a block reserved at a size that prose seldom passes (a match per
  // six bytes), up to 40 MiB, instead of a block that doubles, each doubling copying every match
  // and touching fresh pages: a third of an exact extraction of 4 MB of prose went on that. Pages
  // the matches never reach are never touched. A short text allocates only for the matches it has.
  std::vector<KeywordMatch> out;
  if (text.size() >= kReserveFrom) {
    out.reserve(std::min<std::size_t>(text.size() / kBytesPerReservedMatch, kMostReservedMatches));
  }
  extract_keywords(processor, text, threshold, scratch, out);
  return out;
}

void extract_keywords(const KeywordProcessor& processor, std::string_view text,
                      std::optional<float> threshold, ScanScratch* scratch, std::vector<KeywordMatch>& out) {
  const float t = validated_threshold(threshold);
  if (processor.case_sensitive || text.empty()) {
    scan_search_text(processor, text, false, t, scratch, out);
    return;
  }
  const LoweredText search_text(text, nullptr);
  scan_search_text(processor, search_text.view(), true, t, scratch, out);
}

void prepare_search(const KeywordProcessor& processor, std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  const TrieNode& root = processor.root;
  if (t == 1.0f) {
    if (!root.children.empty()) processor.derived.scan_index(processor);
  } else if (t >= 0.0f && t < 1.0f && (!root.children.empty() || root.clean_name.has_value())) {
    processor.derived.keyword_stats(processor);
    processor.derived.fuzzy_shape(processor);
  }
}

}  // namespace wordsieve
