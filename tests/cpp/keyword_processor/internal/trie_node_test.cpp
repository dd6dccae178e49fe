// Trie nodes: child maps in every representation and through every size where their layout
// changes, against reference containers; clean names; deep tries.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "keyword_processor/internal/node_pool.hpp"
#include "keyword_processor/internal/trie_node.hpp"

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

// A chain a million levels deep is destroyed without running out of call stack, and every node of
// it goes back to the pool.
TEST(ChildMapTest, DestroysDeepChainIteratively) {
  constexpr int kDepth = 1'000'000;
  auto root = std::make_unique<TrieNode>();
  TrieNode* node = root.get();
  for (int depth = 0; depth < kDepth; ++depth) node = &node->children.find_or_create('x');
  node->clean_name.assign("deep");
  int depth = 0;
  for (const TrieNode* at = root.get(); !at->children.empty(); at = at->children.find('x')) ++depth;
  ASSERT_EQ(depth, kDepth);
  wordsieve::node_pool::give_back_if_worthwhile();  // counts from here
  root.reset();
  // A million nodes fill far more than the pages that make giving back worthwhile.
  EXPECT_TRUE(wordsieve::node_pool::give_back_if_worthwhile());
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

// Through every size where the layout changes (1, 2, 16, 17, 18, 32, 33 children, with and without
// keys above 0xFF), both ways.
TEST(ChildMapTest, GrowAndShrinkThroughEveryLayout) {
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
