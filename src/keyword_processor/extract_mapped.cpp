#include "extract_mapped.hpp"

#include "keyword_processor/internal/search_text.hpp"

namespace wordsieve {

std::vector<KeywordMatch> extract_keywords_mapped(const KeywordProcessor& processor,
                                                  std::string_view text,
                                                  std::optional<float> threshold, OffsetMap& map,
                                                  ScanScratch* scratch) {
  const float t = validated_threshold(threshold);
  std::vector<KeywordMatch> out;
  if (processor.case_sensitive) {
    map.clear();
    scan_search_text(processor, text, false, t, scratch, out);
    return out;
  }
  const LoweredText search_text(text, &map);
  scan_search_text(processor, search_text.view(), true, t, scratch, out);
  return out;
}

}  // namespace wordsieve
