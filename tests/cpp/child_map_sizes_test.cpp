// Child maps through every size where their layout changes (1, 2, 16, 17, 18, 32, 33 children, with
// and without keys above 0xFF), both ways, against a reference set.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "keyword_processor/trie_node.hpp"

namespace wordsieve {
namespace {

void expect_same(const ChildMap& map, const std::map<std::uint32_t, TrieNode*>& reference) {
  ASSERT_EQ(map.size(), reference.size());
  std::size_t pos = 0;
  ChildMap::Entry entry;
  auto it = reference.begin();
  while (map.next(pos, entry)) {
    ASSERT_NE(it, reference.end());
    EXPECT_EQ(entry.key, it->first);
    EXPECT_EQ(entry.child, it->second);
    ++it;
  }
  EXPECT_EQ(it, reference.end());
  for (std::uint32_t key = 0; key < 300; ++key) {
    const auto found = reference.find(key);
    EXPECT_EQ(map.find(key), found == reference.end() ? nullptr : found->second) << key;
  }
  for (const auto& [key, child] : reference) EXPECT_EQ(map.find(key), child) << key;
  EXPECT_EQ(map.find(0x1F601), nullptr);
}

TEST(ChildMapSizes, GrowAndShrinkThroughEveryLayout) {
  std::mt19937 rng(99);
  for (int round = 0; round < 40; ++round) {
    ChildMap map;
    std::map<std::uint32_t, TrieNode*> reference;
    std::vector<std::uint32_t> keys(256);
    for (std::uint32_t k = 0; k < 256; ++k) keys[k] = k;
    std::shuffle(keys.begin(), keys.end(), rng);
    // Keys above 0xFF (only foreign states have them) take the list form up to 17 children, the
    // table beyond; a single one from 0x10000 up does not fit the one-child form.
    const std::size_t sizes[] = {40, 3, 20, 1};
    keys.resize(sizes[round % 4]);
    if (round % 4 != 1) keys.push_back(0x1F600);
    if (round % 4 == 1 || round % 4 == 2) {
      keys.push_back(0x100);
      keys.push_back(0x10FFFF);
      std::shuffle(keys.begin(), keys.end(), rng);
    }
    for (std::uint32_t key : keys) {
      TrieNode& child = map.find_or_create(key);
      reference[key] = &child;
      expect_same(map, reference);
    }
    std::shuffle(keys.begin(), keys.end(), rng);
    for (std::uint32_t key : keys) {
      map.erase(key);
      reference.erase(key);
      expect_same(map, reference);
    }
    EXPECT_TRUE(map.empty());
  }
}

}  // namespace
}  // namespace wordsieve
