// The fuzzy search's table of explored (node, consumed bytes) pairs against a plain map, through
// growth and through clearing between start positions.
#include "keyword_processor/internal/seen_states.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace wordsieve {
namespace {

TEST(SeenStatesTest, AdmitsWhatNoCheaperVisitCovers) {
  std::vector<TrieNode> nodes(64);  // only their addresses matter
  std::mt19937 rng(11);
  SeenStates seen;
  for (int round = 0; round < 30; ++round) {
    std::map<std::pair<const TrieNode*, std::uint64_t>, std::uint64_t> fewest;
    // From a few pairs to thousands, so the table grows several times within a round.
    const int admits = 1 + static_cast<int>(rng() % 6000);
    int wrong = 0;
    for (int i = 0; i < admits; ++i) {
      const TrieNode* node = &nodes[rng() % nodes.size()];
      const std::uint64_t consumed = rng() % 200;
      const std::uint64_t edits = rng() % 5;
      const auto [at, first] = fewest.try_emplace({node, consumed}, edits);
      const bool expected = first || edits < at->second;
      if (expected) at->second = edits;
      wrong += seen.admit(node, consumed, edits) != expected;
    }
    EXPECT_EQ(wrong, 0) << "round " << round;
    seen.clear();
    // After clearing, nothing recorded before covers anything.
    for (const auto& [pair, edits] : fewest) {
      ASSERT_TRUE(seen.admit(pair.first, pair.second, edits + 5));
      ASSERT_FALSE(seen.admit(pair.first, pair.second, edits + 5));
    }
    seen.clear();
  }
}

}  // namespace
}  // namespace wordsieve
