#include "exact_scan.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_class.hpp"
#include "failure.hpp"
#include "interrupt.hpp"
#include "platform_features.hpp"

#if defined(WORDSIEVE_AVX2)
#include <immintrin.h>
#endif

namespace wordsieve {

namespace {

// Two sets of bytes tested 64 bytes at a time. Each set is split by the byte's high bit into two
// 16-entry tables indexed by the low four bits, whose entry holds one bit per value of bits 4-6: a
// byte shuffle looks up 32 bytes at once. Used only where the processor has AVX2 (checked at run
// time); elsewhere, and for the last partial block, a table lookup per byte gives the same masks.
struct ByteSetPair {
  alignas(32) unsigned char low[2][32];   // [set][low four bits], bytes below 0x80, twice (both lanes)
  alignas(32) unsigned char high[2][32];  // the same for bytes from 0x80

  ByteSetPair() noexcept : low{}, high{} {}
  ByteSetPair(const unsigned char* classes, unsigned char first_bit, unsigned char second_bit) noexcept
      : low{}, high{} {
    for (unsigned b = 0; b < 256; ++b) {
      const unsigned char bit = static_cast<unsigned char>(1U << ((b >> 4) & 7));
      for (int set = 0; set < 2; ++set) {
        if ((classes[b] & (set == 0 ? first_bit : second_bit)) == 0) continue;
        unsigned char* table = b < 128 ? low[set] : high[set];
        table[b & 15] |= bit;
        table[16 + (b & 15)] |= bit;
      }
    }
  }
};

#if defined(WORDSIEVE_AVX2)

bool cpu_has_avx2() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

// Bit i of `out[set]` is set when byte i of p[0..64) is in the set.
__attribute__((target("avx2"))) void classify64(const unsigned char* p, const ByteSetPair& sets,
                                                std::uint64_t out[2]) noexcept {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i bit_of = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, static_cast<char>(128), 1, 2, 4, 8, 16, 32,
                                          64, static_cast<char>(128), 1, 2, 4, 8, 16, 32, 64,
                                          static_cast<char>(128), 1, 2, 4, 8, 16, 32, 64,
                                          static_cast<char>(128));
  const __m256i low0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(sets.low[0]));
  const __m256i high0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(sets.high[0]));
  const __m256i low1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(sets.low[1]));
  const __m256i high1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(sets.high[1]));
  out[0] = out[1] = 0;
  for (int half = 0; half < 2; ++half) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * half));
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
    const __m256i bit = _mm256_shuffle_epi8(bit_of, hi);  // 1 << (bits 4-6)
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_setzero_si256(), v);  // byte >= 0x80
    const __m256i row0 =
        _mm256_blendv_epi8(_mm256_shuffle_epi8(low0, lo), _mm256_shuffle_epi8(high0, lo), upper);
    const __m256i row1 =
        _mm256_blendv_epi8(_mm256_shuffle_epi8(low1, lo), _mm256_shuffle_epi8(high1, lo), upper);
    const auto in0 = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(row0, bit), bit)));
    const auto in1 = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(row1, bit), bit)));
    out[0] |= std::uint64_t{in0} << (32 * half);
    out[1] |= std::uint64_t{in1} << (32 * half);
  }
}
#endif

// The outcome of walks from earlier start positions, remembered by the bytes each one read. A
// walk from a word start reads the word, usually the byte after it, and rarely more (only where a
// keyword goes on past the word's end); prose repeats a few thousand words over and over, so most
// walks of a long text have already been taken from an earlier occurrence of the same bytes. The
// key is the word and the boundary byte after it, up to 16 bytes, compared in full, so a
// remembered outcome is only ever used for exactly the bytes it was computed from. Direct-mapped:
// a newer word evicts an older one of the same hash.
class WalkMemo {
 public:
  static constexpr std::uint64_t kMaxKey = 16;
  static constexpr std::size_t kMaxSlots = 32768;

  struct Entry {
    std::uint64_t key[2];
    std::uint32_t key_length;  // 0: empty slot
    std::uint32_t match_length;  // the match's length; 0: no match from such a start
    const TrieNode* found;
  };

  // Makes room for the words of `text_size` bytes of text: about one slot per 32 bytes, at least
  // 256 and at most 32,768 (1 MiB). Growing forgets what was remembered.
  void ensure(std::uint64_t text_size) {
    std::size_t slots = 256;
    while (slots < kMaxSlots && slots * 32 < text_size) slots *= 2;
    if (slots <= entries_.size()) return;
    entries_.assign(slots, Entry{{0, 0}, 0, 0, nullptr});
    mask_ = slots - 1;
  }

  // The key of the `length` bytes at `p` (1 <= length <= kMaxKey), zero beyond `length`; `n` is
  // the number of bytes readable from p.
  static void load_key(const unsigned char* p, std::uint64_t length, std::uint64_t n,
                       std::uint64_t key[2]) noexcept {
    unsigned char bytes[kMaxKey] = {};
    std::memcpy(bytes, p, n >= kMaxKey ? kMaxKey : length);
    std::memcpy(&key[0], bytes, 8);
    std::memcpy(&key[1], bytes + 8, 8);
    // Keep exactly `length` bytes.
    if (length < 8) {
      key[0] &= (std::uint64_t{1} << (8 * length)) - 1;
      key[1] = 0;
    } else if (length < 16) {
      key[1] &= (std::uint64_t{1} << (8 * (length - 8))) - 1;
    }
  }

  Entry& slot(const std::uint64_t key[2], std::uint64_t length) noexcept {
    std::uint64_t h = (key[0] ^ length) * 0x9E3779B97F4A7C15ULL;
    h ^= key[1] * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
    return entries_[static_cast<std::size_t>(h) & mask_];
  }

  static bool holds(const Entry& e, const std::uint64_t key[2], std::uint64_t length) noexcept {
    return e.key_length == length && e.key[0] == key[0] && e.key[1] == key[1];
  }

 private:
  std::vector<Entry> entries_;
  std::size_t mask_ = 0;
};

// What the scan needs of the processor, built once per search, or once per scratch. Only positions
// whose byte has a child at the root can start a match, and without overlaps only those after a
// boundary byte. Which positions qualify depends on the text alone, so the scan marks them 64 at a
// time in a bit mask, without a branch per byte, and walks the trie only from the marked ones it
// has not yet passed.
struct ScanTables {
  // Bit 0: a match may start after this byte (boundary byte, or overlaps allowed).
  // Bit 1: the root has a child for this byte.
  enum : unsigned char { kOpensAfter = 1, kFirstByte = 2 };
  static constexpr std::size_t kMemoMinSecondLevel = 128;

  ScanTables(const KeywordProcessor& processor, bool with_pairs) noexcept
      : words(processor.non_word_boundaries), overlaps(processor.allow_overlaps), has_pairs(with_pairs) {
    const TrieNode& root = processor.root;
    for (unsigned b = 0; b < 256; ++b) {
      classes[b] = (overlaps || words.is_boundary(static_cast<unsigned char>(b))) ? kOpensAfter : 0;
    }
    std::size_t pos = 0;
    ChildMap::Entry entry;
    while (root.children.next(pos, entry)) {
      if (entry.key >= 256) continue;
      classes[entry.key] |= kFirstByte;
      first_step[entry.key] = entry.child;
      if (!with_pairs) continue;
      std::uint64_t* row = pairs[entry.key];
      const TrieNode& child = *entry.child;
      const std::uint64_t all = child.clean_name.has_value() ? ~std::uint64_t{0} : 0;
      second_level += child.children.size();
      row[0] = row[1] = row[2] = row[3] = all;
      std::size_t child_pos = 0;
      ChildMap::Entry second;
      while (!all && child.children.next(child_pos, second)) {
        if (second.key < 256) row[second.key >> 6] |= std::uint64_t{1} << (second.key & 63);
      }
    }
#if defined(WORDSIEVE_AVX2)
    avx2 = cpu_has_avx2();
    if (avx2) byte_sets = ByteSetPair(classes, kOpensAfter, kFirstByte);
#endif
  }

  // Walk outcomes are remembered without overlaps (with them every byte is a start, and a word is
  // not the unit that repeats), once the trie is large enough that its walks miss the cache: below
  // about 130 nodes at the second level (some 300 English keywords) a walk costs less than looking
  // up its outcome. The measure comes with the pair table.
  bool remembers() const noexcept { return has_pairs && !overlaps && second_level >= kMemoMinSecondLevel; }

  WordBytes words;
  bool overlaps;
  // A table of the first two bytes a walk can take: row b0 exists when the root has a child for
  // b0, and bit b1 of it is set when that child is a keyword of its own or has a child for b1.
  // Most positions of a prose text fail it, and testing it costs less than the cache misses of a
  // walk that would fail on its second byte. Left out for a single short text, where filling it
  // would cost more than it saves.
  bool has_pairs;
  unsigned char classes[256];
  // The root's children by byte, so that every walk takes its first step with one load whatever
  // form the root's map has.
  const TrieNode* first_step[256] = {};
  std::uint64_t pairs[256][4];
  std::size_t second_level = 0;  // nodes two bytes deep: a cheap measure of the trie's size
#if defined(WORDSIEVE_AVX2)
  bool avx2 = false;
  ByteSetPair byte_sets;
#endif
};

// One instantiation with the memo and one without, so that short keyword lists pay nothing for
// it. `memo` is used only by the first.
template <bool kMemo>
void scan_text(const ScanTables& t, const unsigned char* s, std::uint64_t n, WalkMemo& memo,
               std::vector<KeywordMatch>& out) {
  std::uint64_t p = 0;  // no match may start before p: the end of the last match
  for (std::uint64_t block = 0; block < n; block += 64) {
    if (block % 4096 == 0) poll_interrupt(4096 / kBytesPerUnit);  // the text, in slices
    const std::uint64_t length = std::min<std::uint64_t>(64, n - block);
    if (block + length <= p) continue;
    std::uint64_t opens_after = 0;
    std::uint64_t first = 0;
#if defined(WORDSIEVE_AVX2)
    if (length == 64 && t.avx2) {
      std::uint64_t sets[2];
      classify64(s + block, t.byte_sets, sets);
      opens_after = sets[0];
      first = sets[1];
    } else
#endif
    {
      for (std::uint64_t i = 0; i < length; ++i) {
        const unsigned char cls = t.classes[s[block + i]];
        opens_after |= static_cast<std::uint64_t>(cls & ScanTables::kOpensAfter) << i;
        first |= static_cast<std::uint64_t>((cls >> 1) & 1U) << i;
      }
    }
    const std::uint64_t opens_first =
        block == 0 ? 1 : (t.classes[s[block - 1]] & ScanTables::kOpensAfter);  // the byte before the block
    std::uint64_t starts = first & (opens_after << 1 | opens_first);
    if (p > block) starts &= ~std::uint64_t{0} << (p - block);

    while (starts != 0) {
      const std::uint64_t start = block + static_cast<std::uint64_t>(std::countr_zero(starts));
      starts &= starts - 1;
      if (t.has_pairs && start + 1 < n) {
        const unsigned char second = s[start + 1];
        if (((t.pairs[s[start]][second >> 6] >> (second & 63)) & 1U) == 0) continue;
      }

      // The memo key: the bytes up to and including the first boundary byte from `start`.
      std::uint64_t key[2] = {0, 0};
      std::uint64_t key_length = 0;
      WalkMemo::Entry* slot = nullptr;
      if constexpr (kMemo) {
        const std::uint64_t ahead = opens_after >> (start - block);
        std::uint64_t end = n;
        if (ahead != 0) {
          end = start + static_cast<std::uint64_t>(std::countr_zero(ahead));
        } else {
          for (std::uint64_t k = block + 64; k < n && k < start + WalkMemo::kMaxKey; ++k) {
            if ((t.classes[s[k]] & ScanTables::kOpensAfter) != 0) {
              end = k;
              break;
            }
          }
        }
        if (end < n && end - start < WalkMemo::kMaxKey) {
          key_length = end - start + 1;
          WalkMemo::load_key(s + start, key_length, n - start, key);
          slot = &memo.slot(key, key_length);
          if (WalkMemo::holds(*slot, key, key_length)) {
            if (slot->match_length != 0) {
              const std::uint64_t q = start + slot->match_length;
              out.push_back({slot->found->clean_name.view(), 1.0f, trimmed_start(s, start), q});
              p = q;
              if (p >= block + 64) break;
              starts &= ~std::uint64_t{0} << (p - block);
            }
            continue;
          }
        }
      }

      // Longest stored keyword that is a prefix of s[start..n): one walk, no allocation.
      const TrieNode* node = t.first_step[s[start]];
      const TrieNode* found = node->clean_name.has_value() ? node : nullptr;
      std::uint64_t length_found = found != nullptr ? 1 : 0;
      std::uint64_t i = 1;
      bool read_next = false;  // whether the walk read s[start + i], the byte it failed on
      while (start + i < n && !node->children.empty()) {
        node = node->children.find(s[start + i]);
        if (node == nullptr) {
          read_next = true;
          break;
        }
        ++i;
        if (node->clean_name.has_value()) {
          found = node;
          length_found = i;
        }
      }
      if (i > 64) poll_interrupt(i);  // a long walk; short ones count with their slice

      const std::uint64_t q = start + length_found;
      const bool matched = found != nullptr && (q == n || t.overlaps || t.words.is_boundary(s[q]));
      if (kMemo && slot != nullptr && start + i < n) {
        // Remembered only when the outcome depends on the key's bytes alone: the walk and the
        // end rule read nothing past them, and the walk did not stop at the end of the text.
        std::uint64_t read = read_next ? i + 1 : i;
        if (found != nullptr) read = std::max(read, length_found + 1);
        if (read <= key_length) {
          *slot = WalkMemo::Entry{{key[0], key[1]}, static_cast<std::uint32_t>(key_length),
                                  matched ? static_cast<std::uint32_t>(length_found) : 0U, found};
        }
      }
      if (matched) {
        out.push_back({found->clean_name.view(), 1.0f, trimmed_start(s, start), q});
        p = q;
        // Marked positions inside the match are passed over.
        if (p >= block + 64) break;
        starts &= ~std::uint64_t{0} << (p - block);
      }
    }
  }
}

constexpr std::uint64_t kPairTableMinText = 4096;

}  // namespace

struct ScanScratch::State {
  const KeywordProcessor* processor;
  ScanTables tables;
  WalkMemo memo;
  std::uint64_t bytes_seen = 0;

  explicit State(const KeywordProcessor& p) : processor(&p), tables(p, true) {}
};

ScanScratch::ScanScratch() = default;
ScanScratch::~ScanScratch() = default;
ScanScratch::ScanScratch(ScanScratch&&) noexcept = default;
ScanScratch& ScanScratch::operator=(ScanScratch&&) noexcept = default;

void scan_exact(const KeywordProcessor& processor, std::string_view text, ScanScratch* scratch,
                std::vector<KeywordMatch>& out) {
  if (text.empty() || processor.root.children.empty()) return;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::uint64_t n = text.size();
  if (scratch == nullptr) {
    const ScanTables tables(processor, n >= kPairTableMinText);
    WalkMemo memo;
    if (tables.remembers()) {
      memo.ensure(n);
      scan_text<true>(tables, s, n, memo, out);
    } else {
      scan_text<false>(tables, s, n, memo, out);
    }
    return;
  }
  if (!scratch->state_) scratch->state_ = std::make_unique<ScanScratch::State>(processor);
  ScanScratch::State& state = *scratch->state_;
  if (state.processor != &processor) fail("a scan scratch was used with a second processor");
  if (state.tables.remembers()) {
    // Sized by all the text this scratch has searched, so that many short texts share a table as
    // large as one long text of their total size would have.
    state.bytes_seen += n;
    state.memo.ensure(state.bytes_seen);
    scan_text<true>(state.tables, s, n, state.memo, out);
  } else {
    scan_text<false>(state.tables, s, n, state.memo, out);
  }
}

}  // namespace wordsieve
