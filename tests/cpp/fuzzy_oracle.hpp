// Test oracle: the fuzzy search and its scan written as plainly as possible, a literal work stack
// with no cuts, so the engine's faster search can be checked against it. Slow by design: the work
// grows exponentially as the threshold falls, so callers give it a budget of popped states.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/internal/trie_node.hpp"
#include "keyword_processor/match.hpp"
#include "keyword_processor/normalize.hpp"
#include "keyword_processor/processor.hpp"

namespace wordsieve::oracle {

struct Candidate {
  const TrieNode* node = nullptr;
  std::uint64_t consumed = 0;
  float similarity = 0.0f;
};

// Thrown when a search pops more states than its budget allowed.
struct OverBudget {};

inline bool is_word(const WordSet& set, unsigned char b) { return set.contains(b); }
inline bool is_trim(unsigned char b) { return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20; }

// The search from `p`: pop, candidate test, then push match, text-skip, and for every child in
// iteration order replace (unless its byte is the next text byte) and keyword-skip. States that
// consumed nothing are never candidates.
inline std::optional<Candidate> literal_search(const TrieNode& root, std::string_view text,
                                               std::uint64_t p, float t, std::uint64_t& budget) {
  struct State {
    const TrieNode* node;
    std::uint64_t i;
    std::int32_t e;
  };
  const std::uint64_t r = text.size() - p;
  std::vector<State> stack{{&root, 0, 0}};
  std::optional<Candidate> best;
  float best_sim = 0.0f;
  while (!stack.empty()) {
    if (budget == 0) throw OverBudget{};
    --budget;
    const State st = stack.back();
    stack.pop_back();
    if (st.i > 0 && st.node->clean_name.has_value()) {
      const std::uint64_t k = st.node->clean_name.view().size();
      const float sim = 1.0f - static_cast<float>(st.e) / static_cast<float>(std::max(st.i, k));
      if (sim >= t && sim > best_sim) {
        best_sim = sim;
        best = Candidate{st.node, st.i, sim};
      }
    }
    if (st.i < r) {
      const auto b = static_cast<unsigned char>(text[p + st.i]);
      if (TrieNode* child = st.node->children.find(b)) stack.push_back({child, st.i + 1, st.e});
      const float gate = 1.0f - static_cast<float>(st.e) / static_cast<float>(st.i + 1);
      if (gate < t) continue;
      stack.push_back({st.node, st.i + 1, st.e + 1});
      std::size_t pos = 0;
      ChildMap::Entry entry;
      while (st.node->children.next(pos, entry)) {
        if (entry.key != b) stack.push_back({entry.child, st.i + 1, st.e + 1});
        stack.push_back({entry.child, st.i, st.e + 1});
      }
    }
  }
  return best;
}

// The whole fuzzy extraction (threshold below 1) over `text`, lowercased unless the processor is
// case-sensitive. A candidate of one trim byte (start after end) is not reported.
inline std::vector<KeywordMatch> literal_extract(const KeywordProcessor& kp, std::string_view input,
                                                 float t, std::uint64_t budget) {
  const std::string text = kp.case_sensitive ? std::string(input) : normalize_text(input);
  const auto byte = [&](std::uint64_t at) { return static_cast<unsigned char>(text[at]); };
  const std::uint64_t n = text.size();
  std::vector<KeywordMatch> out;
  std::uint64_t p = 0;
  while (p < n) {
    if (!(p == 0 || kp.allow_overlaps || !is_word(kp.non_word_boundaries, byte(p - 1)))) {
      ++p;
      continue;
    }
    const std::optional<Candidate> cand = literal_search(kp.root, text, p, t, budget);
    if (!cand) {
      ++p;
      continue;
    }
    const std::uint64_t q = p + cand->consumed;
    const std::uint64_t m = is_trim(byte(q - 1)) ? q - 1 : q;
    bool accept = kp.allow_overlaps || m == n;
    for (std::uint64_t j = m; j < m + 3 && j < n; ++j) {
      if (!is_word(kp.non_word_boundaries, byte(j))) accept = true;
    }
    if (!accept) {
      ++p;
      continue;
    }
    const std::uint64_t start = is_trim(byte(p)) ? p + 1 : p;
    if (start <= m) {
      out.push_back({cand->node->clean_name.view(),
                     std::roundf(cand->similarity * 100.0f) / 100.0f, start, m});
    }
    p += cand->consumed;
  }
  return out;
}

}  // namespace wordsieve::oracle
