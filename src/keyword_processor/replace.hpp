// Keyword replacement: extraction followed by the edits, written into one copy of the input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "exact_scan.hpp"
#include "processor.hpp"

namespace wordsieve {

// The input with every match of extract_keywords(text, threshold) replaced by its clean name.
// Everything outside the matched ranges is copied byte for byte, with its case as given.
//
// Match offsets point into the search text. When the processor is not case-sensitive and
// lowercasing changed the UTF-8 length of a character before a match, they are mapped back to the
// input. A match is left as it is (not replaced) when its range cannot be edited safely:
//   * an offset falls inside a character whose length lowercasing changed (no input counterpart);
//   * its start, or its end, is not on a character boundary of the input (a fuzzy match may begin or
//     end inside a multi-byte character);
//   * its start is after its end.
// So the result is valid UTF-8 whenever the input is. Matches are applied from the last to the
// first; a match of no bytes followed by one that starts at the same offset gives both clean names
// in that order.
// `scratch` (may be null) carries work from one exact search to the next; see exact_scan.hpp.
std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, ScanScratch* scratch = nullptr);

}  // namespace wordsieve
