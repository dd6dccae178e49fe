// Lowercasing checked against the Unicode data files themselves: the expected mappings and
// properties are parsed here at run time, independently of the generated tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/normalize.hpp"

namespace wordsieve {
namespace {

constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;

bool is_surrogate(std::uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

std::string utf8(std::uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// The data files in the checkout this test was compiled from: the nearest folder above it that
// holds tools/ucd.
std::filesystem::path ucd_file(const char* name) {
  const auto ucd = std::filesystem::path("tools") / "ucd" / "17.0.0";
  auto root = std::filesystem::path(__FILE__).parent_path();
  while (!std::filesystem::is_directory(root / ucd) && root.has_relative_path()) root = root.parent_path();
  return root / ucd / name;
}

std::vector<std::string> read_lines(const char* name) {
  std::ifstream in(ucd_file(name));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct UnicodeData {
  // Expected lowercase of each character standing alone (capital sigma alone is not final).
  std::vector<std::string> lower_alone;
  std::vector<bool> cased;
  std::vector<bool> case_ignorable;
};

const UnicodeData& unicode_data() {
  static const UnicodeData data = [] {
    UnicodeData d;
    d.lower_alone.resize(kMaxCodePoint + 1);
    d.cased.resize(kMaxCodePoint + 1);
    d.case_ignorable.resize(kMaxCodePoint + 1);
    for (std::uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
      if (!is_surrogate(cp)) d.lower_alone[cp] = utf8(cp);
    }
    const auto unicode_data_lines = read_lines("UnicodeData.txt");
    EXPECT_GT(unicode_data_lines.size(), 30000u) << "cannot read " << ucd_file("UnicodeData.txt");
    for (const std::string& line : unicode_data_lines) {
      std::vector<std::string> fields;
      std::stringstream ss(line);
      for (std::string f; std::getline(ss, f, ';');) fields.push_back(f);
      if (fields.size() < 14 || fields[13].empty()) continue;
      const auto cp = static_cast<std::uint32_t>(std::stoul(fields[0], nullptr, 16));
      d.lower_alone[cp] = utf8(static_cast<std::uint32_t>(std::stoul(fields[13], nullptr, 16)));
    }
    d.lower_alone[0x130] = "i\xCC\x87";

    const auto property_lines = read_lines("DerivedCoreProperties.txt");
    EXPECT_GT(property_lines.size(), 10000u) << "cannot read DerivedCoreProperties.txt";
    for (const std::string& line : property_lines) {
      const std::string data = line.substr(0, line.find('#'));
      const auto semi = data.find(';');
      if (semi == std::string::npos) continue;
      std::string prop = data.substr(semi + 1);
      prop.erase(0, prop.find_first_not_of(' '));
      prop.erase(prop.find_last_not_of(' ') + 1);
      std::vector<bool>* target = prop == "Cased"            ? &d.cased
                                  : prop == "Case_Ignorable" ? &d.case_ignorable
                                                             : nullptr;
      if (target == nullptr) continue;
      const std::string range = data.substr(0, semi);
      const auto dots = range.find("..");
      const auto first = std::stoul(range, nullptr, 16);
      const auto last = dots == std::string::npos ? first : std::stoul(range.substr(dots + 2), nullptr, 16);
      for (auto cp = first; cp <= last; ++cp) (*target)[cp] = true;
    }
    return d;
  }();
  return data;
}

TEST(NormalizeUnicode, EveryCodePointAloneMatchesUnicodeData) {
  const UnicodeData& d = unicode_data();
  std::size_t mismatches = 0;
  for (std::uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    if (is_surrogate(cp)) continue;
    const std::string got = normalize_text(utf8(cp));
    if (got != d.lower_alone[cp] && ++mismatches <= 10) {
      ADD_FAILURE() << "U+" << std::hex << cp << " lowercased wrongly";
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(NormalizeUnicode, AllCodePointsInOneTextWithOffsetMap) {
  // One long text mixes ASCII runs with characters of every length, so the ASCII blocks are cut
  // at every kind of boundary; every changed length must be in the map.
  const UnicodeData& d = unicode_data();
  std::string text, expected;
  std::vector<std::pair<std::size_t, std::size_t>> starts;  // (output offset, input offset)
  for (std::uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    if (is_surrogate(cp) || cp == 0x3A3) continue;
    starts.emplace_back(expected.size(), text.size());
    text += utf8(cp);
    expected += d.lower_alone[cp];
  }
  OffsetMap map;
  ASSERT_EQ(normalize_text(text, map), expected);
  ASSERT_EQ(normalize_text(text), expected);
  for (const auto& [out, in] : starts) ASSERT_EQ(map.to_input(out), in) << out;
  EXPECT_EQ(map.to_input(expected.size()), text.size());
}

TEST(NormalizeUnicode, ExactlyTheKnownCharactersChangeLength) {
  const UnicodeData& d = unicode_data();
  std::vector<std::uint32_t> expected = {0x0130, 0x023A, 0x023E, 0x1E9E, 0x2126, 0x212A, 0x212B,
                                         0x2C62, 0x2C64, 0x2C6D, 0x2C6E, 0x2C6F, 0x2C70, 0x2C7E,
                                         0x2C7F, 0xA78D, 0xA7AA, 0xA7AB, 0xA7AC, 0xA7AD, 0xA7AE,
                                         0xA7B0, 0xA7B1, 0xA7B2, 0xA7C5, 0xA7CB, 0xA7DC};
  std::vector<std::uint32_t> changed, mapped;
  for (std::uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    if (is_surrogate(cp)) continue;
    const std::string in = utf8(cp);
    OffsetMap map;
    const std::string out = normalize_text(in, map);
    if (out.size() != in.size()) changed.push_back(cp);
    if (!map.is_identity()) mapped.push_back(cp);
  }
  EXPECT_EQ(changed, expected);
  EXPECT_EQ(mapped, expected);
  std::size_t table_size = 0;
  for (std::uint32_t cp = 0x80; cp <= kMaxCodePoint; ++cp) {
    if (!is_surrogate(cp) && d.lower_alone[cp] != utf8(cp)) ++table_size;
  }
  EXPECT_EQ(table_size, 1462u);
}

// "cΣ" ends in a final sigma exactly when c is Cased and not Case_Ignorable; "aΣc" does exactly
// when c is Case_Ignorable or not Cased. Together they pin both property tables down.
TEST(NormalizeUnicode, FinalSigmaFollowsThePropertiesOfEveryCodePoint) {
  const UnicodeData& d = unicode_data();
  const std::string sigma = "\xCE\xA3", small = "\xCF\x83", final = "\xCF\x82";
  std::size_t mismatches = 0;
  for (std::uint32_t cp = 0; cp <= kMaxCodePoint; ++cp) {
    if (is_surrogate(cp) || cp == 0x3A3) continue;
    const bool before_final = d.cased[cp] && !d.case_ignorable[cp];
    const bool after_final = d.case_ignorable[cp] || !d.cased[cp];
    const std::string before = normalize_text(utf8(cp) + sigma);
    const std::string after = normalize_text("a" + sigma + utf8(cp));
    if (before != d.lower_alone[cp] + (before_final ? final : small) && ++mismatches <= 10) {
      ADD_FAILURE() << "sigma after U+" << std::hex << cp;
    }
    if (after != "a" + (after_final ? final : small) + d.lower_alone[cp] && ++mismatches <= 10) {
      ADD_FAILURE() << "sigma before U+" << std::hex << cp;
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(NormalizeFinalSigma, Contexts) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"\xCE\xA3", "\xCF\x83"},                                  // lone Σ
      {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},  // ΟΔΟΣ
      {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1"},                  // word-initial ΣΑ
      {"\xCE\x91\xCE\xA3\xCE\x91", "\xCE\xB1\xCF\x83\xCE\xB1"},  // between letters
      {"A\xCE\xA3 b", "a\xCF\x82 b"},                            // word-final, then a space
      {"A\xCE\xA3.", "a\xCF\x82."},                              // ignorable then end
      {"A\xCE\xA3'b", "a\xCF\x83'b"},                            // ignorable then a letter
      {"A'\xCE\xA3", "a'\xCF\x82"},                              // apostrophe skipped backwards
      {"A'.:^`\xCE\xA3", "a'.:^`\xCF\x82"},                      // all ASCII ignorables
      {" '\xCE\xA3", " '\xCF\x83"},                              // nothing Cased before
      {"'\xCE\xA3", "'\xCF\x83"},                                // only ignorables before
      {"A\xCC\x81\xCE\xA3", "a\xCC\x81\xCF\x82"},                // combining acute skipped back
      {"A\xCE\xA3\xCC\x81", "a\xCF\x82\xCC\x81"},                // ... and forwards
      {"A\xCE\xA3\xCC\x81x", "a\xCF\x83\xCC\x81x"},              // acute then a letter
      {"\xCA\xB0\xCE\xA3", "\xCA\xB0\xCF\x83"},                  // ʰ is Cased but skipped
      {"A\xCA\xB0\xCE\xA3", "a\xCA\xB0\xCF\x82"},                // ... so A decides
      {"A\xCE\xA3\xCA\xB0", "a\xCF\x82\xCA\xB0"},                // skipped forwards too
      {"A\xCE\xA3\xCE\xA3", "a\xCF\x83\xCF\x82"},                // ΣΣ: only the last is final
      {"1\xCE\xA3", "1\xCF\x83"},                                // digit is not Cased
      {"\xCE\xB1\xCE\xA3 \xCE\xB2", "\xCE\xB1\xCF\x82 \xCE\xB2"},  // context is the whole input
      {"A\xFF\xCE\xA3", "a\xFF\xCF\x83"},                        // invalid byte before: not Cased
      {"A\xCE\xA3\xFF", "a\xCF\x82\xFF"},                        // invalid byte after: not Cased
      {"A\xCC\xCE\xA3", "a\xCC\xCF\x83"},                        // truncated sequence before
      {"\xE2\x84\xCE\xA3", "\xE2\x84\xCF\x83"},
  };
  for (const Case& c : cases) EXPECT_EQ(normalize_text(c.in), c.out) << c.in;
}

TEST(NormalizeFinalSigma, LongIgnorableRunsAreScannedOnce) {
  // Σ'''...'''Σ'''...''' repeated: each scan stops at the neighbouring sigma, so this is linear.
  std::string text = "A", expected = "a";
  const std::string run(2000, '\'');
  for (int i = 0; i < 2000; ++i) {
    text += "\xCE\xA3" + run;
    expected += (i == 1999 ? "\xCF\x82" : "\xCF\x83") + run;
  }
  // Every sigma but the last has a Cased sigma after the run; the first has A before it.
  EXPECT_EQ(normalize_text(text), expected);
}

// ASCII is lowercased a block at a time (64, 32 or 8 bytes, by the instruction set): every
// alignment of a character that leaves the block path, at each instruction set, and into reused
// storage as extraction does.
TEST(NormalizeAscii, BlocksAtEveryAlignment) {
  const std::string upper = "THE Quick, BROWN fox @[`{ JUMPS over 0123456789 LAZY dogs AZaz";
  const std::string lower = "the quick, brown fox @[`{ jumps over 0123456789 lazy dogs azaz";
  const std::string upper3 = upper + upper + upper;
  const std::string lower3 = lower + lower + lower;
  const std::pair<const char*, const char*> middles[] = {
      {"", ""},
      {"\xC3\x89", "\xC3\xA9"},                  // É
      {"\xE2\x84\xAA", "k"},                     // Kelvin sign shrinks
      {"\xC4\xB0", "i\xCC\x87"},                 // İ grows
      {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},  // Deseret
      {"\xE4\xB8\xAD", "\xE4\xB8\xAD"},          // CJK, unchanged
      {"\x80", "\x80"},                          // stray continuation byte
  };
  std::string storage;
  for (const SimdLevel level : {SimdLevel::kPortable, SimdLevel::kAvx2, SimdLevel::kAvx512Vbmi}) {
    limit_simd_level(level);
    for (std::size_t head = 0; head <= 140; ++head) {
      for (std::size_t tail = 0; tail <= 70; tail += 1 + tail / 8) {
        for (const auto& [mid_in, mid_out] : middles) {
          const std::string in = upper3.substr(0, head) + mid_in + upper3.substr(0, tail) + mid_in;
          const std::string out = lower3.substr(0, head) + mid_out + lower3.substr(0, tail) + mid_out;
          ASSERT_EQ(normalize_text(in), out) << head << ' ' << tail << ' ' << mid_in;
          const std::size_t length = normalize_text_into(in, storage, 136, nullptr);
          ASSERT_EQ(storage.substr(0, length), out) << head << ' ' << tail << ' ' << mid_in;
          ASSERT_GE(storage.size(), length + 136);
        }
      }
    }
  }
  limit_simd_level(SimdLevel::kAvx512Vbmi);
  std::string all_bytes;
  for (int c = 0; c < 0x80; ++c) all_bytes += static_cast<char>(c);
  std::string all_lower = all_bytes;
  for (char& c : all_lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  EXPECT_EQ(normalize_text(all_bytes + all_bytes), all_lower + all_lower);
}

TEST(NormalizeInvalid, BytesCopiedUnchanged) {
  const std::pair<std::string, std::string> cases[] = {
      {"\x80", "\x80"},
      {"A\xBF" "B", "a\xBF" "b"},
      {"\xC0\xAF" "A", "\xC0\xAF" "a"},                    // overlong
      {"\xE0\x80\xAF", "\xE0\x80\xAF"},                    // overlong, 3 bytes
      {"\xED\xA0\x80" "A", "\xED\xA0\x80" "a"},            // surrogate
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},            // above U+10FFFF
      {"\xF5\x80\x80\x80", "\xF5\x80\x80\x80"},
      {"\xFF\xFE" "AB", "\xFF\xFE" "ab"},
      {"\xC3\xC3\x89", "\xC3\xC3\xA9"},                    // truncated, then É
      {"\xE2\x84\xC4\xB0", "\xE2\x84i\xCC\x87"},           // truncated, then İ
      {"AB\xC3", "ab\xC3"},                                // truncated at the end
      {"AB\xE2\x84", "ab\xE2\x84"},
      {"AB\xF0\x90\x90", "ab\xF0\x90\x90"},
      {std::string("\xC3\x00" "A", 3), std::string("\xC3\x00" "a", 3)},
      {"0123456789ABCDE\xC3", "0123456789abcde\xC3"},      // block boundary right after
      {"0123456789ABCDEF\xC3\x89", "0123456789abcdef\xC3\xA9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normalize_text(in), out) << in;

  // The view ends inside a character whose remaining bytes lie just beyond it in memory.
  const std::string buffer = "AB\xC3\x89\xE2\x84\xAA";
  EXPECT_EQ(normalize_text(std::string_view(buffer).substr(0, 3)), "ab\xC3");
  EXPECT_EQ(normalize_text(std::string_view(buffer).substr(0, 6)), "ab\xC3\xA9\xE2\x84");
  EXPECT_EQ(normalize_text(std::string_view(buffer).substr(3, 4)), "\x89k");
}

TEST(NormalizeOffsetMap, MapsOffsetsBackToTheInput) {
  using Offsets = std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>>;
  const auto none = std::nullopt;
  struct Case {
    const char* in;
    const char* out;
    Offsets offsets;  // (offset in the output, expected offset in the input)
  };
  const Case cases[] = {
      // a İ b: İ (2 bytes at 1) becomes i + U+0307 (3 bytes at 1).
      {"a\xC4\xB0" "b", "ai\xCC\x87" "b", {{0, 0}, {1, 1}, {2, none}, {3, none}, {4, 3}, {5, 4}}},
      // x K y with the Kelvin sign (3 bytes) becoming k (1 byte): nothing lies inside.
      {"x\xE2\x84\xAAy", "xky", {{0, 0}, {1, 1}, {2, 4}, {3, 5}}},
      // ẞ (3 bytes) becomes ß (2 bytes).
      {"\xE1\xBA\x9E" "a", "\xC3\x9F" "a", {{0, 0}, {1, none}, {2, 3}, {3, 4}}},
      // Several changes in a row; inside É, which keeps its length, offsets map one to one.
      {"\xC4\xB0\xE2\x84\xAA\xC3\x89\xE1\xBA\x9E!",
       "i\xCC\x87k\xC3\xA9\xC3\x9F!",
       {{0, 0}, {1, none}, {2, none}, {3, 2}, {4, 5}, {5, 6}, {6, 7}, {7, none}, {8, 10},
        {9, 11}}},
      // Offsets beyond the text keep their distance from the end.
      {"\xE2\x84\xAA", "k", {{1, 3}, {11, 13}}},
  };
  for (const Case& c : cases) {
    OffsetMap map;
    ASSERT_EQ(normalize_text(c.in, map), c.out) << c.in;
    EXPECT_FALSE(map.is_identity());
    for (const auto& [out, in] : c.offsets) EXPECT_EQ(map.to_input(out), in) << c.in << " @" << out;
  }
}

TEST(NormalizeOffsetMap, IdentityWithoutLengthChanges) {
  OffsetMap map;
  normalize_text("\xE2\x84\xAA", map);
  ASSERT_FALSE(map.is_identity());
  // Reusing the map clears it; same-length changes (É, Σ, invalid bytes) record nothing.
  EXPECT_EQ(normalize_text("\xC3\x89\xCE\xA3 ABC \xFF", map), "\xC3\xA9\xCF\x82 abc \xFF");
  EXPECT_TRUE(map.is_identity());
  EXPECT_EQ(map.to_input(3), 3u);
  EXPECT_EQ(map.to_input(~std::uint64_t{0}), ~std::uint64_t{0});
}

TEST(NormalizeOffsetMap, HugeOffsetsDoNotWrap) {
  OffsetMap map;
  normalize_text("\xC4\xB0", map);  // grows, so input offsets lie below output offsets
  EXPECT_EQ(map.to_input(~std::uint64_t{0}), ~std::uint64_t{0} - 1);
  map.clear();
  normalize_text("\xE2\x84\xAA", map);  // shrinks: the input offset would pass 2^64
  EXPECT_EQ(map.to_input(~std::uint64_t{0}), std::nullopt);
}

TEST(NormalizeOffsetMap, CursorAndLookupsAgreeWithTheCharacters) {
  // Thousands of changes at every kind of distance (distances that need more code bytes, spans
  // between checkpoints), asked at every offset front to back with a cursor, then in any order.
  struct Piece {
    const char* in;
    std::size_t out_len;
  };
  const Piece pieces[] = {{"\xC4\xB0", 3}, {"\xE2\x84\xAA", 1}, {"\xE1\xBA\x9E", 2},
                          {"\xC3\x89", 2}, {"A", 1}};
  const std::size_t runs[] = {0, 0, 0, 1, 7, 8, 9, 1000, 70000};
  std::mt19937 rng(5);
  std::string text;
  std::vector<std::optional<std::uint64_t>> expected;  // by output offset
  for (int i = 0; i < 3000; ++i) {
    const std::size_t run = runs[rng() % std::size(runs)];
    for (std::size_t k = 0; k < run; ++k) expected.push_back(text.size() + k);
    text.append(run, 'x');
    const Piece& piece = pieces[rng() % std::size(pieces)];
    const std::size_t in_len = std::strlen(piece.in);
    for (std::size_t k = 0; k < piece.out_len; ++k) {
      if (in_len == piece.out_len || k == 0) {
        expected.push_back(text.size() + k);
      } else {
        expected.push_back(std::nullopt);
      }
    }
    text += piece.in;
  }
  expected.push_back(text.size());
  OffsetMap map;
  ASSERT_EQ(normalize_text(text, map).size() + 1, expected.size());
  OffsetMap::Cursor cursor(map);
  for (std::uint64_t out = 0; out < expected.size(); ++out) {
    ASSERT_EQ(cursor.to_input(out), expected[out]) << out;
  }
  OffsetMap::Cursor jumping(map);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t out = rng() % expected.size();
    ASSERT_EQ(map.to_input(out), expected[out]) << out;
    ASSERT_EQ(jumping.to_input(out), expected[out]) << out;
  }
}

TEST(NormalizeText, GrowsBeyondTheInputLength) {
  // Only growing characters: the buffer has to be enlarged again and again.
  std::string in, out;
  for (int i = 0; i < 10000; ++i) {
    in += (i % 3 == 0) ? "\xC4\xB0" : (i % 3 == 1) ? "\xC8\xBA" : "\xC8\xBE";
    out += (i % 3 == 0) ? "i\xCC\x87" : (i % 3 == 1) ? "\xE2\xB1\xA5" : "\xE2\xB1\xA6";
  }
  OffsetMap map;
  EXPECT_EQ(normalize_text(in, map), out);
  EXPECT_EQ(map.to_input(out.size()), in.size());
  EXPECT_EQ(normalize_text(""), "");
}

}  // namespace
}  // namespace wordsieve
