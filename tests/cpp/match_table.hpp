// Helpers shared by the table-driven extraction and replacement tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "keyword_processor/match.hpp"
#include "keyword_processor/normalize.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve::test_support {

struct Keyword {
  std::string keyword;
  std::optional<std::string> clean_name;
};

struct Store {
  std::vector<Keyword> keywords;
  bool case_sensitive = false;
  bool allow_overlaps = false;
};

inline std::unique_ptr<KeywordProcessor> make_processor(const Store& store) {
  auto kp = std::make_unique<KeywordProcessor>(store.case_sensitive, store.allow_overlaps);
  for (const Keyword& k : store.keywords) {
    if (k.clean_name) {
      kp->add_keyword(k.keyword, std::string_view(*k.clean_name));
    } else {
      kp->add_keyword(k.keyword, std::nullopt);
    }
  }
  return kp;
}

struct Expected {
  std::string keyword;
  float similarity;
  std::uint64_t start;
  std::uint64_t end;
};

// One line per match, so a failing comparison shows both lists in full.
template <typename Match>
std::string describe(const std::vector<Match>& matches) {
  std::ostringstream out;
  for (const Match& m : matches) {
    out << "('" << m.keyword << "', " << m.similarity << ", " << m.start << ", " << m.end << ") ";
  }
  return out.str();
}

inline bool same(const std::vector<KeywordMatch>& got, const std::vector<Expected>& want) {
  if (got.size() != want.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].keyword != want[i].keyword || got[i].similarity != want[i].similarity ||
        got[i].start != want[i].start || got[i].end != want[i].end) {
      return false;
    }
  }
  return true;
}

// Same matches, with views of the same stored clean names (the same trie nodes).
inline bool same(const std::vector<KeywordMatch>& got, const std::vector<KeywordMatch>& want) {
  if (got.size() != want.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].keyword.data() != want[i].keyword.data() ||
        got[i].keyword.size() != want[i].keyword.size() ||
        got[i].similarity != want[i].similarity || got[i].start != want[i].start ||
        got[i].end != want[i].end) {
      return false;
    }
  }
  return true;
}

// A plain restatement of the exact search over the list of stored keywords: at every start the
// rule allows, the longest non-empty key that the text continues with.
inline std::vector<Expected> naive_exact(const KeywordProcessor& kp, const std::string& input) {
  const auto keys = kp.get_all_keywords();
  const std::string s = kp.case_sensitive ? input : normalize_text(input);
  const auto word = [&](std::size_t at) {
    return kp.non_word_boundaries.contains(static_cast<unsigned char>(s[at]));
  };
  std::vector<Expected> out;
  std::size_t p = 0;
  while (p < s.size()) {
    if (p > 0 && !kp.allow_overlaps && word(p - 1)) {
      ++p;
      continue;
    }
    const std::pair<std::string, std::string>* best = nullptr;
    for (const auto& key : keys) {
      if (!key.first.empty() && s.compare(p, key.first.size(), key.first) == 0 &&
          (best == nullptr || key.first.size() > best->first.size())) {
        best = &key;
      }
    }
    const std::size_t q = best ? p + best->first.size() : 0;
    if (best == nullptr || !(q == s.size() || kp.allow_overlaps || !word(q))) {
      ++p;
      continue;
    }
    const char c = s[p];
    const bool trim = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    out.push_back({best->second, 1.0f, trim ? p + 1 : p, q});
    p = q;
  }
  return out;
}

}  // namespace wordsieve::test_support
