#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keyword_processor/node_pool.hpp"
#include "keyword_processor/trie_node.hpp"

namespace pool = wordsieve::node_pool;
using wordsieve::CleanName;
using wordsieve::TrieNode;

// Slots are distinct, aligned, writable over their whole size, and can be handed out again once
// released, across more than one page.
TEST(NodePoolTest, SlotsAreDistinctAndReusable) {
  std::vector<void*> slots;
  for (int i = 0; i < 20'000; ++i) {
    void* slot = pool::allocate();
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(slot) % pool::kSlotAlign, 0u);
    std::fill_n(static_cast<unsigned char*>(slot), pool::kSlotSize, static_cast<unsigned char>(i));
    slots.push_back(slot);
  }
  EXPECT_EQ(std::set<void*>(slots.begin(), slots.end()).size(), slots.size());
  for (int i = 0; i < 20'000; ++i) {
    const auto* bytes = static_cast<const unsigned char*>(slots[i]);
    ASSERT_TRUE(std::all_of(bytes, bytes + pool::kSlotSize,
                            [&](unsigned char b) { return b == static_cast<unsigned char>(i); }));
  }
  pool::release_many(slots.data(), slots.size() / 2);
  for (std::size_t i = slots.size() / 2; i < slots.size(); ++i) pool::release(slots[i]);
  pool::release(nullptr);
  void* again = pool::allocate();
  EXPECT_NE(again, nullptr);
  pool::release(again);
}

// Tries built and destroyed on several threads at once share the pool safely.
TEST(NodePoolTest, ConcurrentTries) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int round = 0; round < 20; ++round) {
        TrieNode root;
        for (int k = 0; k < 500; ++k) {
          TrieNode* node = &root;
          for (char c : std::to_string(k * 7919 + t)) node = &node->children.find_or_create(c);
          node->clean_name.assign("x");
        }
        for (int k = 0; k < 500; k += 2) root.children.erase('0' + k % 10);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  SUCCEED();
}

// Names of every length up to and past the ones held in the name's own word keep their bytes,
// through moves and reassignment.
TEST(CleanNameTest, ShortAndLongNamesKeepTheirBytes) {
  for (std::size_t length = 0; length <= 20; ++length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(i == 3 ? 0 : 'a' + i));
    CleanName name;
    name.assign(text);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name.view(), text);
    CleanName moved(std::move(name));
    EXPECT_FALSE(name.has_value());
    EXPECT_EQ(moved.view(), text);
    CleanName target;
    target.assign("something else entirely");
    target = std::move(moved);
    EXPECT_EQ(target.view(), text);
    target.assign("ab");
    EXPECT_EQ(target.view(), "ab");
  }
}
