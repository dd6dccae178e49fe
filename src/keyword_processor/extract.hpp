// Keyword extraction: the threshold checked, the text lowercased unless the processor is
// case-sensitive, and the exact or the fuzzy scan over it (exact_scan.hpp, fuzzy_scan.hpp).
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "exact_scan.hpp"
#include "match.hpp"
#include "processor.hpp"

namespace wordsieve {

// Fails with "Threshold must be between 0 and 1" when the threshold is below 0, above 1 or NaN,
// before anything else is done. An absent threshold is 1.0, which selects the exact search; any
// smaller value selects the fuzzy search. Matches come in increasing start order, never overlap, and
// their offsets point into the search text (the lowercased text unless the processor is
// case-sensitive).
// `scratch` (may be null) carries work from one exact search to the next; see exact_scan.hpp.
std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold,
                                           ScanScratch* scratch = nullptr);

// The same matches, appended to `out`.
void extract_keywords(const KeywordProcessor& processor, std::string_view text,
                      std::optional<float> threshold, ScanScratch* scratch, std::vector<KeywordMatch>& out);

// Builds, on the calling thread, the structures that searches at `threshold` keep on the processor
// (derived.hpp), so that the threads of a batch only read them. A threshold the search refuses
// builds nothing: every text reports it.
void prepare_search(const KeywordProcessor& processor, std::optional<float> threshold);

}  // namespace wordsieve
