// Extraction that also tells how offsets in the search text map back to the input, for replacement,
// which edits the input and not the lowercased search text.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "exact_scan.hpp"
#include "match.hpp"
#include "normalize.hpp"
#include "processor.hpp"

namespace wordsieve {

// As extract_keywords. When the processor is not case-sensitive, `map` receives the length changes
// lowercasing made; otherwise it is cleared, and search-text offsets are input offsets.
std::vector<KeywordMatch> extract_keywords_mapped(const KeywordProcessor& processor,
                                                  std::string_view text,
                                                  std::optional<float> threshold, OffsetMap& map,
                                                  ScanScratch* scratch = nullptr);

}  // namespace wordsieve
