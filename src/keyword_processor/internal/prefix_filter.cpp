#include "prefix_filter.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "keyword_processor/platform_features.hpp"

#if defined(WORDSIEVE_AVX2)
#include <immintrin.h>
#endif

namespace wordsieve {

namespace {

#if defined(WORDSIEVE_AVX2)

// The group bits of 64 bytes from one 256-entry table, as ByteSets looks up its classes.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i look_up(const __m512i t[4], __m512i v) noexcept {
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), _mm512_permutex2var_epi8(t[0], v, t[1]),
                                _mm512_permutex2var_epi8(t[2], v, t[3]));
}

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void mark_vbmi(const unsigned char (*table)[256],
                                                                      const unsigned char* p, std::size_t blocks,
                                                                      std::uint64_t* pass) noexcept {
  __m512i t[PrefixFilter::kOffsets][4];
  for (std::size_t o = 0; o < PrefixFilter::kOffsets; ++o) {
    for (int q = 0; q < 4; ++q) t[o][q] = _mm512_load_si512(table[o] + 64 * q);
  }
  for (std::size_t k = 0; k < blocks; ++k) {
    const unsigned char* block = p + 64 * k;
    const __m512i g0 = look_up(t[0], _mm512_loadu_si512(block));
    const __m512i g1 = look_up(t[1], _mm512_loadu_si512(block + 1));
    const __m512i g2 = look_up(t[2], _mm512_loadu_si512(block + 2));
    const __m512i g3 = look_up(t[3], _mm512_loadu_si512(block + 3));
    pass[k] = _mm512_test_epi8_mask(_mm512_and_si512(g0, g1), _mm512_and_si512(g2, g3));
  }
}

#endif

}  // namespace

PrefixFilter::PrefixFilter(const TrieNode& root, SimdLevel level) {
  if (level != SimdLevel::kAvx512Vbmi) return;
  // The distinct prefixes: every path of four bytes, and the shorter paths that end a keyword.
  struct Frame {
    const TrieNode* node;
    std::string path;
  };
  std::vector<std::string> prefixes;
  std::vector<Frame> stack{{&root, {}}};
  while (!stack.empty()) {
    Frame frame = std::move(stack.back());
    stack.pop_back();
    if (!frame.path.empty() && (frame.path.size() == kOffsets || frame.node->clean_name.has_value())) {
      prefixes.push_back(frame.path);
      if (prefixes.size() > kMaxPrefixes) return;
    }
    if (frame.path.size() == kOffsets) continue;
    std::size_t pos = 0;
    ChildMap::Entry child;
    while (frame.node->children.next(pos, child)) {
      if (child.key >= 256) continue;  // never equal to a byte of a text
      stack.push_back({child.child, frame.path + static_cast<char>(child.key)});
    }
  }
  // Groups by first byte, the first bytes with the most prefixes placed first, each in the group
  // that holds the fewest prefixes so far.
  std::array<std::size_t, 256> per_first{};
  for (const std::string& prefix : prefixes) ++per_first[static_cast<unsigned char>(prefix[0])];
  std::vector<unsigned char> firsts;
  for (unsigned b = 0; b < 256; ++b) {
    if (per_first[b] != 0) firsts.push_back(static_cast<unsigned char>(b));
  }
  std::stable_sort(firsts.begin(), firsts.end(),
                   [&](unsigned char a, unsigned char b) { return per_first[a] > per_first[b]; });
  for (const unsigned char first : firsts) group_sizes_[group_for(first)] += per_first[first];
  std::fill(std::begin(group_sizes_), std::end(group_sizes_), 0);  // counted again as they are added
  on_ = true;
  for (const std::string& prefix : prefixes) add(prefix);
}

unsigned char PrefixFilter::group_for(unsigned char first) noexcept {
  if (group_of_first_[first] == 0) {
    const auto smallest = std::min_element(std::begin(group_sizes_), std::end(group_sizes_));
    group_of_first_[first] = static_cast<unsigned char>(smallest - std::begin(group_sizes_) + 1);
  }
  return static_cast<unsigned char>(group_of_first_[first] - 1);
}

bool PrefixFilter::add(std::string_view key) noexcept {
  if (!on_ || key.empty()) return on_;
  const unsigned char group = group_for(static_cast<unsigned char>(key[0]));
  const auto bit = static_cast<unsigned char>(1U << group);
  bool known = true;
  for (std::size_t o = 0; o < kOffsets && o < key.size(); ++o) {
    known = known && (table_[o][static_cast<unsigned char>(key[o])] & bit) != 0;
  }
  for (std::size_t o = key.size(); o < kOffsets; ++o) known = known && (any_byte_[o] & bit) != 0;
  if (known) return true;
  if (++prefixes_ > kMaxPrefixes) {
    on_ = false;
    return false;
  }
  ++group_sizes_[group];
  for (std::size_t o = 0; o < kOffsets; ++o) {
    if (o < key.size()) {
      table_[o][static_cast<unsigned char>(key[o])] |= bit;
    } else {
      // A keyword shorter than the offset: any byte may follow it.
      for (unsigned char& entry : table_[o]) entry |= bit;
      any_byte_[o] |= bit;
    }
  }
  return true;
}

void PrefixFilter::mark(const unsigned char* p, std::size_t blocks, std::uint64_t* pass,
                        SimdLevel level) const noexcept {
#if defined(WORDSIEVE_AVX2)
  if (level == SimdLevel::kAvx512Vbmi) {
    mark_vbmi(table_, p, blocks, pass);
    return;
  }
#endif
  (void)level;
  for (std::size_t k = 0; k < blocks; ++k) {
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 64; ++i) {
      const unsigned char* at = p + 64 * k + i;
      const unsigned groups = table_[0][at[0]] & table_[1][at[1]] & table_[2][at[2]] & table_[3][at[3]];
      bits |= static_cast<std::uint64_t>(groups != 0) << i;
    }
    pass[k] = bits;
  }
}

}  // namespace wordsieve
