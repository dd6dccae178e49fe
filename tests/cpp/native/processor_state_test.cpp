#include "native/processor_state.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "captured_stderr.hpp"
#include "persisted_bytes.hpp"

namespace wordsieve {
namespace {

using test_support::kEof;
using test_support::kTruncated;
using test_support::u64;

const std::string& kPrefix = test_support::kDecodePrefix;
const std::string kBadChar = kPrefix + "InvalidCharEncoding";

std::string encode(const KeywordProcessor& p) {
  std::string out(processor_state_size(p), '\xAA');
  write_processor_state(p, out.data(), out.size());
  return out;
}

std::string decode_message(std::string_view state) {
  return test_support::decode_message(read_processor_state, state);
}

// The word count and the default word set, as every state starts.
const std::string& set_header() {
  static const std::string header = [] {
    std::string s = u64(17408);
    const WordSet set = WordSet::defaults();
    for (std::uint64_t word : set.words) s += u64(word);
    return s;
  }();
  return header;
}

// A state whose root record is `root` and whose two flag bytes are `flags`.
std::string state_with(const std::string& root, const std::string& flags = std::string(2, '\0')) {
  return set_header() + root + flags;
}

// A leaf record with an optional clean name.
std::string leaf(const char* clean = nullptr) {
  std::string s = u64(0);
  if (clean == nullptr) return s + '\0';
  return s + '\1' + u64(std::char_traits<char>::length(clean)) + clean;
}

// A node record with the given (key bytes, child record) entries and no clean name.
std::string node(const std::vector<std::pair<std::string, std::string>>& children,
                 const char* clean = nullptr) {
  std::string s = u64(children.size());
  for (const auto& [key, child] : children) s += key + child;
  if (clean == nullptr) return s + '\0';
  return s + '\1' + u64(std::char_traits<char>::length(clean)) + clean;
}

TEST(ProcessorStateLayout, EmptyProcessor) {
  const std::string state = encode(KeywordProcessor());
  ASSERT_EQ(state.size(), 139283u);
  EXPECT_EQ(state.substr(0, 8), u64(17408));
  EXPECT_EQ(state.substr(8, 8), std::string("\0\0\0\0\0\0\xFF\x03", 8));
  EXPECT_EQ(state.substr(16, 8), std::string("\xFE\xFF\xFF\x87\xFE\xFF\xFF\x07", 8));
  EXPECT_EQ(state.substr(24, 139248), std::string(139248, '\0'));
  EXPECT_EQ(state.substr(139272), std::string(11, '\0'));
}

TEST(ProcessorStateLayout, WorkedExample) {
  KeywordProcessor p;
  p.add_keyword("ab", "x");
  const std::string state = encode(p);
  ASSERT_EQ(state.size(), 139312u);
  EXPECT_EQ(state.substr(0, 139272), encode(KeywordProcessor()).substr(0, 139272));
  const std::string trie = u64(1) + "a" + u64(1) + "b" + u64(0) + "\x01" + u64(1) + "x" +
                           std::string("\0\0\0\0", 4);
  EXPECT_EQ(state.substr(139272), trie);
}

TEST(ProcessorStateLayout, HighBytesAreWrittenAsTwoByteKeysAndFlagsAtTheEnd) {
  KeywordProcessor p(true, true);
  p.add_keyword("\xC3\xA9", std::nullopt);  // 'é': path U+00C3 -> U+00A9
  const std::string state = encode(p);
  const std::string trie = u64(1) + "\xC3\x83" + u64(1) + "\xC2\xA9" + u64(0) + "\x01" + u64(2) +
                           "\xC3\xA9" + std::string("\0\0", 2) + "\x01\x01";
  EXPECT_EQ(state.substr(139272), trie);
  EXPECT_EQ(state.size(), processor_state_size(p));
}

TEST(ProcessorStateRead, MalformedStates) {
  const std::string header = set_header();
  const std::string good = state_with(node({{"a", leaf("x")}}));
  const std::vector<test_support::DecodeCase> cases = {
      {"empty", "", kEof},
      {"cut inside word count", u64(17408).substr(0, 5), kEof},
      {"cut inside the words", header.substr(0, 8 + 8 * 100 + 3), kEof},
      {"one word", u64(1) + u64(7) + std::string(20, '\0'),
       kPrefix + "Custom(\"Expected 17408 elements, got 1\")"},
      {"17409 words", u64(17409) + std::string(17409 * 8, '\0') + std::string(11, '\0'),
       kPrefix + "Custom(\"Expected 17408 elements, got 17409\")"},
      {"zero words", u64(0) + std::string(11, '\0'),
       kPrefix + "Custom(\"Expected 17408 elements, got 0\")"},
      {"huge word count", u64(~std::uint64_t{0}) + std::string(12, '\0'), kEof},
      {"17409 words announced, 17408 present", u64(17409) + header.substr(8), kEof},
      {"no root", header, kEof},
      {"cut inside root child count", header + u64(1).substr(0, 7), kEof},
      {"no key", header + u64(1), kEof},
      {"cut inside child's count", header + u64(1) + "a" + u64(0).substr(0, 3), kEof},
      {"no option tag", header + u64(0), kEof},
      {"cut inside clean name length", header + u64(0) + "\x01" + u64(3).substr(0, 4), kEof},
      {"no case_sensitive", header + leaf(), kEof},
      {"no allow_overlaps", header + leaf() + '\0', kEof},
      {"huge child count", header + u64(std::uint64_t{1} << 63) + "a" + leaf(), kEof},
      {"case_sensitive 2", state_with(leaf(), std::string("\x02\x00", 2)),
       kPrefix + "InvalidBoolEncoding(2)"},
      {"allow_overlaps 255", state_with(leaf(), std::string("\x01\xFF", 2)),
       kPrefix + "InvalidBoolEncoding(255)"},
      {"root tag 2", state_with(u64(0) + '\x02'), kPrefix + "InvalidTagEncoding(2)"},
      {"nested tag 255", state_with(node({{"a", u64(0) + '\xFF'}})),
       kPrefix + "InvalidTagEncoding(255)"},
      {"clean name longer than the rest", header + u64(0) + '\x01' + u64(100) + "0123456789",
       kTruncated},
      {"clean name of 2^64-1 bytes", header + u64(0) + '\x01' + u64(~std::uint64_t{0}) + "ab",
       kTruncated},
      {"clean name with an invalid byte", state_with(leaf("ab\xFF" "cd")),
       kPrefix + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(1) })"},
      {"clean name with a bad second byte", state_with(leaf("\xE2\x82\x41")),
       kPrefix + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(2) })"},
      {"clean name ending inside a character", header + u64(0) + '\x01' + u64(4) + "ab\xE2\x82",
       kPrefix + "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: None })"},
      {"key 0x80", state_with(node({{"\x80", leaf()}})), kBadChar},
      {"key 0xFF", state_with(node({{"\xFF", leaf()}})), kBadChar},
      {"key 0xF5", state_with(node({{"\xF5\x80\x80\x80", leaf()}})), kBadChar},
      {"key C3 at the very end", header + u64(1) + "\xC3", kBadChar},
      {"key E2 82 at the very end", header + u64(1) + "\xE2\x82", kBadChar},
      {"key C3 with a bad continuation", state_with(node({{"\xC3\x41", leaf()}})), kBadChar},
      {"overlong C0 80", state_with(node({{"\xC0\x80", leaf()}})), kBadChar},
      {"overlong E0 80 80", state_with(node({{"\xE0\x80\x80", leaf()}})), kBadChar},
      {"surrogate ED A0 80", state_with(node({{"\xED\xA0\x80", leaf()}})), kBadChar},
      {"above U+10FFFF", state_with(node({{"\xF4\x90\x80\x80", leaf()}})), kBadChar},
      {"the first fault wins", header + u64(1) + "\x80" + u64(0) + '\x02', kBadChar},
      {"well formed", good, "ok"},
      {"trailing bytes", good + "trailing garbage \xFF", "ok"},
  };
  test_support::expect_decode_outcomes(read_processor_state, cases);
}

std::string reencode(std::string_view state) { return encode(read_processor_state(state)); }

TEST(ProcessorStateRoundTrip, FlagsWordSetsAndKeywords) {
  std::vector<KeywordProcessor> processors;
  for (int flags = 0; flags < 4; ++flags) {
    KeywordProcessor p((flags & 1) != 0, (flags & 2) != 0);
    p.add_keyword("New York", "NY");
    p.add_keyword("new", std::nullopt);
    p.add_keyword("", "root name");
    p.add_keyword("empty clean", "");
    processors.push_back(std::move(p));
  }
  {
    KeywordProcessor p;
    const std::uint32_t points[] = {'-', 0xE9, 0x20AC, 0x10FFFF};
    p.set_non_word_boundaries(points);
    processors.push_back(std::move(p));
  }
  {
    // Every byte 0x80..0xFF as a key, at several depths.
    KeywordProcessor p(true, false);
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b) high.push_back(static_cast<char>(b));
    p.add_keyword(high, "high");
    for (int b = 0x80; b <= 0xFF; ++b) p.add_keyword(std::string(1, static_cast<char>(b)), "one");
    processors.push_back(std::move(p));
  }
  for (const KeywordProcessor& p : processors) {
    const std::string state = encode(p);
    const KeywordProcessor back = read_processor_state(state);
    EXPECT_EQ(back.case_sensitive, p.case_sensitive);
    EXPECT_EQ(back.allow_overlaps, p.allow_overlaps);
    EXPECT_EQ(back.non_word_boundaries.words, p.non_word_boundaries.words);
    EXPECT_EQ(back.get_all_keywords(), p.get_all_keywords());
    EXPECT_EQ(encode(back), state);
  }
}

TEST(ProcessorStateRoundTrip, ForeignKeysAboveByteRangeAreKept) {
  const std::string state =
      state_with(node({{"a", leaf("ascii")},
                       {"\xE2\x82\xAC", leaf("euro")},
                       {"\xF4\x8F\xBF\xBF", node({{"\xDF\xBF", leaf("deep")}})}},
                      "on root"),
                 std::string("\x01\x00", 2));
  const KeywordProcessor p = read_processor_state(state);
  ASSERT_NE(p.root.children.find(0x20AC), nullptr);
  EXPECT_EQ(p.root.children.find(0x20AC)->clean_name.view(), "euro");
  const TrieNode* top = p.root.children.find(0x10FFFF);
  ASSERT_NE(top, nullptr);
  ASSERT_NE(top->children.find(0x7FF), nullptr);
  EXPECT_EQ(p.root.clean_name.view(), "on root");
  EXPECT_TRUE(p.case_sensitive);
  EXPECT_EQ(encode(p), state);
}

TEST(ProcessorStateRoundTrip, RepeatedKeyKeepsTheLaterSubtree) {
  const std::string state = state_with(node({{"a", node({{"x", leaf("earlier child")}}, "first")},
                                             {"b", leaf("b")},
                                             {"a", leaf("second")}}));
  const KeywordProcessor p = read_processor_state(state);
  const TrieNode* a = p.root.children.find('a');
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->clean_name.view(), "second");
  EXPECT_TRUE(a->children.empty());
  EXPECT_EQ(p.root.children.size(), 2u);
  EXPECT_EQ(p.num_keywords(), 2u);
}

TEST(ProcessorStateRoundTrip, AnyChildOrderIsAccepted) {
  // A reader sees children in whatever order another writer produced; keys above 0xFF arriving in
  // descending order must not cost quadratic time either.
  std::string children;
  std::uint64_t count = 0;
  for (std::uint32_t cp = 0x8FFFF; cp >= 0x10000; --cp) {
    std::string key;
    key.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    key.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    key.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    key.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    children += key + leaf();
    ++count;
  }
  children += "z" + leaf("z") + "a" + leaf("a");
  count += 2;
  const auto started = std::chrono::steady_clock::now();
  const KeywordProcessor p = read_processor_state(state_with(u64(count) + children + '\0'));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(p.root.children.size(), count);
  EXPECT_NE(p.root.children.find(0x10000), nullptr);
  EXPECT_NE(p.root.children.find(0x8FFFF), nullptr);
  EXPECT_EQ(p.root.children.find(0x90000), nullptr);
  EXPECT_EQ(p.root.children.find('a')->clean_name.view(), "a");
  // Nodes with neither children nor a clean name are taken as they are.
  EXPECT_FALSE(p.root.children.find(0x10000)->clean_name.has_value());
  EXPECT_EQ(reencode(encode(p)), encode(p));
}

TEST(ProcessorStateDepth, MillionByteKeywordRoundTrip) {
  KeywordProcessor p(true, false);
  const std::string keyword(1'000'000, 'k');
  p.add_keyword(keyword, "long");
  const std::string state = encode(p);
  EXPECT_EQ(state.size(), 139283u + 1'000'000u * 10u + 8u + 4u);
  const KeywordProcessor back = read_processor_state(state);
  EXPECT_EQ(back.num_keywords(), 1u);
  EXPECT_EQ(encode(back), state);
}

TEST(ProcessorStateDepth, MillionLevelMalformedNesting) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string nested = set_header();
  nested.reserve(nested.size() + kDepth * 9 + 16);
  for (std::size_t i = 0; i < kDepth; ++i) nested += u64(1) + "a";
  test_support::CapturedStderr err;
  // Cut off where the deepest node's child count should be.
  EXPECT_EQ(decode_message(nested), kEof);
  // A complete deepest node whose tag is bad.
  EXPECT_EQ(decode_message(nested + u64(0) + '\x07'), kPrefix + "InvalidTagEncoding(7)");
  // Complete, but the levels above it are never closed.
  EXPECT_EQ(decode_message(nested + leaf()), kEof);
  EXPECT_EQ(err.reports(), (std::vector<std::string>{kEof, kPrefix + "InvalidTagEncoding(7)", kEof}));
}

}  // namespace
}  // namespace wordsieve
