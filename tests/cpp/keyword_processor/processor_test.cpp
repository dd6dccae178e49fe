#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "keyword_processor/processor.hpp"

using wordsieve::KeywordProcessor;

namespace {

std::map<std::string, std::string> listing(const KeywordProcessor& p) {
  std::map<std::string, std::string> out;
  for (auto& [key, clean] : p.get_all_keywords()) EXPECT_TRUE(out.emplace(key, clean).second);
  return out;
}

std::size_t count_nodes(const wordsieve::TrieNode& root) {
  std::size_t n = 0;
  std::vector<const wordsieve::TrieNode*> stack{&root};
  while (!stack.empty()) {
    const auto* node = stack.back();
    stack.pop_back();
    ++n;
    std::size_t pos = 0;
    wordsieve::ChildMap::Entry e;
    while (node->children.next(pos, e)) stack.push_back(e.child);
  }
  return n;
}

}  // namespace

TEST(ProcessorStoreTest, NewProcessorIsEmptyWithDefaultWordCharacters) {
  KeywordProcessor p;
  EXPECT_EQ(p.num_keywords(), 0u);
  EXPECT_TRUE(p.get_all_keywords().empty());
  std::string word_chars;
  for (std::uint32_t cp = 0; cp < wordsieve::WordSet::kCodePoints; ++cp) {
    if (p.non_word_boundaries.contains(cp)) word_chars.push_back(static_cast<char>(cp));
  }
  EXPECT_EQ(word_chars, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz");
}

TEST(ProcessorStoreTest, CaseHandlingAndCleanNames) {
  KeywordProcessor insensitive(false, false);
  insensitive.add_keyword("Apple", std::nullopt);
  EXPECT_EQ(listing(insensitive), (std::map<std::string, std::string>{{"apple", "apple"}}));
  insensitive.add_keyword("APPLE", "Fruit");
  EXPECT_EQ(insensitive.num_keywords(), 1u);
  EXPECT_EQ(listing(insensitive), (std::map<std::string, std::string>{{"apple", "Fruit"}}));
  EXPECT_TRUE(insensitive.remove_keyword("aPpLe"));

  KeywordProcessor sensitive(true, false);
  sensitive.add_keyword("Apple", std::nullopt);
  sensitive.add_keyword("apple", std::nullopt);
  EXPECT_EQ(listing(sensitive),
            (std::map<std::string, std::string>{{"Apple", "Apple"}, {"apple", "apple"}}));
}

TEST(ProcessorStoreTest, EmptyKeywordLivesOnRoot) {
  KeywordProcessor p;
  p.add_keyword("", "nothing");
  EXPECT_EQ(p.num_keywords(), 1u);
  EXPECT_EQ(listing(p), (std::map<std::string, std::string>{{"", "nothing"}}));
  EXPECT_TRUE(p.remove_keyword(""));
  EXPECT_FALSE(p.remove_keyword(""));
  EXPECT_EQ(p.num_keywords(), 0u);
}

TEST(ProcessorStoreTest, RemovalPrunesOnlyWhatTheKeywordNeeded) {
  struct Case {
    std::vector<std::string> stored;
    std::string removed;
    bool result;
    std::size_t nodes_after;  // root included
  };
  const std::vector<Case> cases = {
      {{"abc", "abcd"}, "abcd", true, 4},  // only 'd' goes
      {{"abc", "abcd"}, "abc", true, 5},   // 'c' still has a child
      {{"abc"}, "ab", false, 4},           // a prefix is not a keyword
      {{"abc"}, "abx", false, 4},
      {{"abc", "axe"}, "abc", true, 4},    // prunes up to the shared 'a'
      {{"abc"}, "abc", true, 1},
  };
  for (const Case& c : cases) {
    KeywordProcessor p;
    for (const auto& k : c.stored) p.add_keyword(k, std::nullopt);
    EXPECT_EQ(p.remove_keyword(c.removed), c.result) << c.removed;
    EXPECT_EQ(count_nodes(p.root), c.nodes_after) << c.removed;
  }
}

TEST(ProcessorStoreTest, ListingDecodesForeignPathsSoundly) {
  KeywordProcessor p;
  // A node path that is not valid UTF-8 only arises from a foreign persisted state.
  p.root.children.find_or_create(0xC3).clean_name.assign("cut");
  p.root.children.find_or_create(0x263A).clean_name.assign("wide");
  EXPECT_EQ(listing(p), (std::map<std::string, std::string>{{"\xEF\xBF\xBD", "cut"},
                                                            {"\xE2\x98\xBA", "wide"}}));
}

TEST(ProcessorStoreTest, WordCharacterSetOperations) {
  KeywordProcessor p;
  const std::uint32_t only_dash[] = {'-'};
  p.set_non_word_boundaries(only_dash);
  EXPECT_TRUE(p.non_word_boundaries.contains('-'));
  EXPECT_FALSE(p.non_word_boundaries.contains('a'));
  p.set_non_word_boundaries({});
  EXPECT_FALSE(p.non_word_boundaries.contains('-'));
  p.add_non_word_boundary(0x10FFFF);
  p.add_non_word_boundary(0xE9);
  EXPECT_TRUE(p.non_word_boundaries.contains(0x10FFFF));
  EXPECT_TRUE(p.non_word_boundaries.is_word_byte(0xE9));
}

TEST(ProcessorStoreTest, MillionByteKeywordAddCountListRemove) {
  KeywordProcessor p;
  const std::string keyword(1'000'000, 'k');
  p.add_keyword(keyword, "long");
  EXPECT_EQ(p.num_keywords(), 1u);
  EXPECT_EQ(p.get_all_keywords().at(0).first.size(), keyword.size());
  EXPECT_TRUE(p.remove_keyword(keyword));
  EXPECT_EQ(count_nodes(p.root), 1u);
}
