// The fuzzy scan of fuzzy_scan.cpp written with a search at every start position and nothing
// remembered between them: a judge for the engine's scan on texts too long for the literal search.
#pragma once

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "keyword_processor/fuzzy.hpp"
#include "keyword_processor/internal/byte_class.hpp"
#include "keyword_processor/match.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve::test_support {

// `text` is the search text (lowercased already unless the processor is case-sensitive).
inline std::vector<KeywordMatch> scan_at_every_start(const KeywordProcessor& kp, std::string_view text,
                                                     float t,
                                                     FuzzySearch::Cuts cuts = FuzzySearch::Cuts::kAll) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const WordBytes words(kp.non_word_boundaries);
  std::vector<KeywordMatch> out;
  FuzzySearch search(kp, text, t, cuts);
  for (std::uint64_t p = 0; p < text.size();) {
    FuzzyCandidate c;
    std::uint64_t end = 0;
    if ((p > 0 && !kp.allow_overlaps && words.is_word(s[p - 1])) || !search.run(p, c) ||
        !fuzzy_end_rule(text, p, c.consumed, words, kp.allow_overlaps, end)) {
      ++p;
      continue;
    }
    if (trimmed_start(s, p) <= end) {
      out.push_back({c.node->clean_name.view(), std::roundf(c.similarity * 100.0f) / 100.0f,
                     trimmed_start(s, p), end});
    }
    p += c.consumed;
  }
  return out;
}

}  // namespace wordsieve::test_support
