// What extraction and extraction for replacement share: the checked threshold, the lowercased text
// the searches read, and the choice between the exact and the fuzzy search.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/exact_scan.hpp"
#include "keyword_processor/match.hpp"
#include "keyword_processor/normalize.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve {

// The threshold a search runs at: an absent one is 1.0. Fails with "Threshold must be between 0
// and 1" when it is below 0, above 1 or NaN.
float validated_threshold(std::optional<float> threshold);

// The lowercased search text of a call, in storage that the calling thread keeps for its next call
// (up to 4 MiB; a thread holds at most that much, freed when the thread ends): the search text of
// a short text then costs no allocation, and that of a long one no zero-filling and no fresh pages.
// A nested use (none exists; the engine calls no one back) would only find no storage.
class LoweredText {
 public:
  // `map`, when given, receives the length changes lowercasing made.
  LoweredText(std::string_view text, OffsetMap* map);
  ~LoweredText();
  LoweredText(const LoweredText&) = delete;
  LoweredText& operator=(const LoweredText&) = delete;

  // The search text; kScanPadding bytes after it may be read.
  std::string_view view() const noexcept { return {storage_.data(), length_}; }

 private:
  std::string storage_;
  std::size_t length_ = 0;
};

// Appends the matches in `search_text` to `out`: the exact search at threshold 1, the fuzzy search
// below. `padded`: kScanPadding bytes after the search text may be read.
void scan_search_text(const KeywordProcessor& processor, std::string_view search_text, bool padded,
                      float threshold, ScanScratch* scratch, std::vector<KeywordMatch>& out);

}  // namespace wordsieve
