#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "keyword_processor/trie_node.hpp"

using wordsieve::ChildMap;
using wordsieve::TrieNode;

namespace {

std::vector<std::uint32_t> keys_of(const ChildMap& map) {
  std::vector<std::uint32_t> keys;
  std::size_t pos = 0;
  ChildMap::Entry entry;
  while (map.next(pos, entry)) keys.push_back(entry.key);
  return keys;
}

}  // namespace

// Random inserts and erasures across every representation (one, small, dense, wide keys), checked
// against std::set: lookups, ascending iteration, size, and that each child stays the same node.
TEST(ChildMapTest, MatchesReferenceAcrossRepresentations) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    ChildMap map;
    std::set<std::uint32_t> reference;
    std::vector<std::pair<std::uint32_t, TrieNode*>> identity;
    const int ops = 1 + static_cast<int>(rng() % 120);
    for (int op = 0; op < ops; ++op) {
      const std::uint32_t key =
          rng() % 8 == 0 ? 0x100 + rng() % 0x10FF00 : static_cast<std::uint32_t>(rng() % 256);
      if (rng() % 3 == 0) {
        map.erase(key);
        reference.erase(key);
      } else {
        TrieNode& child = map.find_or_create(key);
        if (reference.insert(key).second) child.clean_name.assign(std::to_string(key));
      }
      ASSERT_EQ(map.size(), reference.size());
    }
    EXPECT_EQ(keys_of(map), std::vector<std::uint32_t>(reference.begin(), reference.end()));
    for (std::uint32_t key : reference) {
      const TrieNode* child = map.find(key);
      ASSERT_NE(child, nullptr);
      EXPECT_EQ(child->clean_name.view(), std::to_string(key));
    }
    for (std::uint32_t probe = 0; probe < 300; ++probe) {
      EXPECT_EQ(map.find(probe) != nullptr, reference.count(probe) == 1) << probe;
    }
  }
}

TEST(ChildMapTest, InsertReplacesWholeSubtree) {
  ChildMap map;
  map.find_or_create('a').children.find_or_create('b').clean_name.assign("old");
  auto fresh = std::make_unique<TrieNode>();
  fresh->clean_name.assign("new");
  map.insert('a', std::move(fresh));
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.find('a')->clean_name.view(), "new");
  EXPECT_TRUE(map.find('a')->children.empty());
}

TEST(ChildMapTest, MovedFromMapIsEmpty) {
  ChildMap a;
  for (std::uint32_t k = 0; k < 40; ++k) a.find_or_create(k);
  ChildMap b(std::move(a));
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(b.size(), 40u);
  a = std::move(b);
  EXPECT_EQ(a.size(), 40u);
}

// A chain a million levels deep must be destroyed without running out of call stack.
TEST(ChildMapTest, DestroysDeepChainIteratively) {
  auto root = std::make_unique<TrieNode>();
  TrieNode* node = root.get();
  for (int depth = 0; depth < 1'000'000; ++depth) node = &node->children.find_or_create('x');
  node->clean_name.assign("deep");
  root.reset();
  SUCCEED();
}

TEST(CleanNameTest, EmptyIsPresentAndResetIsAbsent) {
  wordsieve::CleanName name;
  EXPECT_FALSE(name.has_value());
  name.assign("");
  EXPECT_TRUE(name.has_value());
  EXPECT_EQ(name.view(), "");
  name.assign(std::string_view("a\0b", 3));
  EXPECT_EQ(name.view(), std::string_view("a\0b", 3));
  name.reset();
  EXPECT_FALSE(name.has_value());
}
