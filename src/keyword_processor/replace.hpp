// Keyword replacement: extraction followed by in-place edits of one copy of the input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "processor.hpp"

namespace wordsieve {

// The input with every match of extract_keywords(text, threshold) replaced by its clean name.
// Offsets of matches point into the search text; where that differs from the input (lowercasing
// changed the length of a character before the match) they are mapped back, and a match whose range
// cannot be mapped onto character boundaries of the input is left out, so the result is always
// valid UTF-8 and nothing outside the matched words changes.
std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold);

}  // namespace wordsieve
