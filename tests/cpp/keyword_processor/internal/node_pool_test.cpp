#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keyword_processor/internal/node_pool.hpp"
#include "keyword_processor/internal/trie_node.hpp"

namespace pool = wordsieve::node_pool;
using wordsieve::CleanName;
using wordsieve::TrieNode;

// Slots of every size are distinct, aligned, writable over their whole size, and can be handed
// out again once released, across more than one page.
TEST(NodePoolTest, SlotsAreDistinctAndReusable) {
  for (std::size_t bytes : {1, 16, 17, 32, 40, 48, 64, 80, 100, 144}) {
    std::vector<void*> slots;
    for (int i = 0; i < 5'000; ++i) {
      void* slot = pool::allocate(bytes);
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(slot) % pool::kSlotAlign, 0u);
      std::fill_n(static_cast<unsigned char*>(slot), bytes, static_cast<unsigned char>(i));
      slots.push_back(slot);
    }
    EXPECT_EQ(std::set<void*>(slots.begin(), slots.end()).size(), slots.size());
    for (int i = 0; i < 5'000; ++i) {
      const auto* b = static_cast<const unsigned char*>(slots[i]);
      ASSERT_TRUE(std::all_of(b, b + bytes, [&](unsigned char x) { return x == static_cast<unsigned char>(i); }))
          << bytes;
    }
    pool::release_many(slots.data(), slots.size() / 2);
    for (std::size_t i = slots.size() / 2; i < slots.size(); ++i) pool::release(slots[i]);
    pool::release(nullptr);
    void* again = pool::allocate(bytes);
    EXPECT_NE(again, nullptr);
    pool::release(again);
  }
}

#if defined(__SANITIZE_ADDRESS__)
// A released slot is poisoned, so that a use of a freed node is reported as with any allocator.
TEST(NodePoolDeathTest, UseOfReleasedSlotIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto* node = new TrieNode();
        delete node;
        volatile bool empty = node->children.empty();  // read of a freed node
        static_cast<void>(empty);
      },
      "use-after-poison");
}
#endif

// Tries built, pruned and destroyed on several threads at once share the pool safely: each thread
// finds in its trie exactly what it stored, whatever the others do meanwhile.
TEST(NodePoolTest, ConcurrentTries) {
  constexpr int kThreads = 4;
  std::vector<int> wrong(kThreads, 0);  // one counter per thread, read after the join
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      const auto holds = [](const TrieNode& root, const std::string& key) {
        const TrieNode* node = &root;
        for (char c : key) {
          node = node->children.find(static_cast<unsigned char>(c));
          if (node == nullptr) return false;
        }
        return node->clean_name.view() == "x";
      };
      for (int round = 0; round < 20; ++round) {
        TrieNode root;
        std::vector<std::string> keys;
        for (int k = 0; k < 500; ++k) {
          keys.push_back(std::to_string(k * 7919 + t));
          TrieNode* node = &root;
          for (char c : keys.back()) node = &node->children.find_or_create(static_cast<unsigned char>(c));
          node->clean_name.assign("x");
        }
        for (const auto& key : keys) wrong[t] += !holds(root, key);
        for (char digit : {'0', '2', '4', '6', '8'}) root.children.erase(static_cast<unsigned char>(digit));
        for (const auto& key : keys) wrong[t] += holds(root, key) != ((key[0] - '0') % 2 == 1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

// Names of every length up to and past the ones held in the name's own word keep their bytes,
// through moves and reassignment.
TEST(CleanNameTest, ShortAndLongNamesKeepTheirBytes) {
  for (std::size_t length : {0, 1, 2, 3, 6, 7, 8, 9, 12, 13, 20, 139, 140, 141, 200, 5000}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(i == 3 ? 0 : 'a' + i % 26));
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
