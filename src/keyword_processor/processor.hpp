// The processor record and the operations that manage its keyword store and word-character set.
// Extraction and replacement only read the record (extract.hpp, replace.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keyword_processor/internal/derived.hpp"
#include "keyword_processor/internal/trie_node.hpp"
#include "keyword_processor/internal/word_set.hpp"

namespace wordsieve {

struct KeywordProcessor {
  WordSet non_word_boundaries = WordSet::defaults();
  TrieNode root;
  bool case_sensitive = false;
  bool allow_overlaps = false;
  // Tables the searches build from the fields above and keep until they change (derived.hpp).
  DerivedStructures derived;

  KeywordProcessor() = default;
  KeywordProcessor(bool case_sensitive_, bool allow_overlaps_)
      : case_sensitive(case_sensitive_), allow_overlaps(allow_overlaps_) {}

  // The bytes under which a keyword is stored: lowercased unless the processor is case-sensitive.
  std::string key_text(std::string_view keyword) const;

  // Stores `keyword` with `clean_name`, or with its own key text when no clean name is given
  // (an empty clean name is a clean name). Re-adding a keyword replaces its clean name.
  void add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);

  // Removes a stored keyword and prunes the nodes that only it needed. False when none was stored.
  bool remove_keyword(std::string_view keyword);

  std::uint64_t num_keywords() const;

  // (key text, clean name) of every stored keyword, in trie order. A path that is not valid UTF-8
  // (possible only in a foreign persisted state) is decoded with U+FFFD for each invalid sequence,
  // and keys above 0xFF contribute the UTF-8 form of their code point.
  std::vector<std::pair<std::string, std::string>> get_all_keywords() const;

  void add_non_word_boundary(std::uint32_t code_point);
  void set_non_word_boundaries(std::span<const std::uint32_t> code_points);
};

// For owners of processors, after dropping one (destroyed, or replaced by a decoded state): once
// enough trie memory has been freed since the last call, gives it back to the system and returns
// true; cheap otherwise. Tries live in a pool shared by every processor, which keeps freed memory
// for reuse until asked.
bool give_back_trie_memory() noexcept;

}  // namespace wordsieve
