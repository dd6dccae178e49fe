#include "extract.hpp"

#include "keyword_processor/internal/search_text.hpp"

namespace wordsieve {

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold, ScanScratch* scratch) {
  std::vector<KeywordMatch> out;
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
