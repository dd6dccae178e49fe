// The engine's match record.
#pragma once

#include <cstdint>
#include <string_view>

namespace wordsieve {

struct KeywordMatch {
  std::string_view keyword;  // view of the clean name stored in the trie: valid until the store changes
  float similarity;          // rounded to hundredths; 1.0 for exact matches
  std::uint64_t start;       // byte offset into the search text, inclusive
  std::uint64_t end;         // byte offset into the search text, exclusive
};

}  // namespace wordsieve
