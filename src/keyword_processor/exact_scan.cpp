#include "exact_scan.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "failure.hpp"
#include "fuzzy_scan.hpp"
#include "interrupt.hpp"
#include "keyword_processor/internal/byte_class.hpp"
#include "keyword_processor/internal/scan_index.hpp"
#include "platform_features.hpp"

namespace wordsieve {

namespace {

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

  // Lets the table grow to hold the words of `text_size` bytes of text: about one slot per 32
  // bytes, at least 256 and at most 32,768 (1 MiB). It starts at 256 slots when first used and
  // doubles whenever it has been looked up four times as often as it has slots, so a text whose
  // filter leaves few walks does not pay for a large table.
  void allow(std::uint64_t text_size) noexcept {
    while (limit_ < kMaxSlots && limit_ * 32 < text_size) limit_ *= 2;
  }

  // The key of the `length` bytes at `p` (1 <= length <= kMaxKey), zero beyond `length`.
  static void load_key(const unsigned char* p, std::uint64_t length, std::uint64_t key[2]) noexcept {
    unsigned char bytes[kMaxKey] = {};
    std::memcpy(bytes, p, length);
    std::memcpy(&key[0], bytes, 8);
    std::memcpy(&key[1], bytes + 8, 8);
  }

  Entry& slot(const std::uint64_t key[2], std::uint64_t length) {
    if (++lookups_ > 4 * entries_.size()) grow();
    std::uint64_t h = (key[0] ^ length) * 0x9E3779B97F4A7C15ULL;
    h ^= key[1] * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
    return entries_[static_cast<std::size_t>(h) & mask_];
  }

  static bool holds(const Entry& e, const std::uint64_t key[2], std::uint64_t length) noexcept {
    return e.key_length == length && e.key[0] == key[0] && e.key[1] == key[1];
  }

 private:
  // Growing forgets what was remembered.
  void grow() {
    lookups_ = 0;
    if (entries_.size() >= limit_) return;
    entries_.assign(entries_.empty() ? kMinSlots : 2 * entries_.size(), Entry{{0, 0}, 0, 0, nullptr});
    mask_ = entries_.size() - 1;
  }

  static constexpr std::size_t kMinSlots = 256;
  std::vector<Entry> entries_;
  std::size_t mask_ = 0;
  std::size_t limit_ = kMinSlots;
  std::uint64_t lookups_ = 0;
};

// Walk outcomes are remembered without overlaps (with them every byte is a start, and a word is
// not the unit that repeats), once the trie is large enough that its walks miss the cache: below
// about 130 nodes at the second level (some 300 English keywords) a walk costs less than looking
// up its outcome.
constexpr std::size_t kMemoMinSecondLevel = 128;
// A table made for one text costs its allocation and a lookup per walk; a text shorter than this
// (some 700 English words) repeats too few of them to win that back. A scratch keeps its table
// from text to text, so with one (the workers of a batch) short texts are remembered too.
constexpr std::uint64_t kMemoMinText = 4096;

bool remembers(const ScanIndex& t) noexcept {
  return !t.overlaps() && t.second_level() >= kMemoMinSecondLevel;
}

// The scan marks, 64 positions at a time and without a branch per byte, the positions where a
// match may start (after a boundary byte, with the root having a child for the byte), keeps those
// that pass a filter (the first-word filter for starts at a word byte, the table of first two
// bytes for the others, scan_index.hpp), and walks the trie only from those. Blocks are classified
// a chunk at a time, one block ahead of the one being searched, so that a word running into the
// next block has its end at hand.
constexpr std::uint64_t kChunkBlocks = 32;
// What searching block b reads: its bytes and the next block's (word ends), plus 8 for a word's
// head read whole. kScanPadding covers it.
constexpr std::uint64_t kBlockReach = 128;
static_assert(kBlockReach + 8 <= kScanPadding);

class Scan {
 public:
  Scan(const ScanIndex& t, const unsigned char* s, std::uint64_t n, bool padded, std::vector<KeywordMatch>& out)
      : t_(t), s_(s), n_(n), blocks_((n + 63) / 64), out_(out) {
    // Blocks read in place: all of them in a padded text, else those whose reach stays inside it;
    // the rest (at most two blocks of text) are read from a copy followed by zeros.
    in_place_ = padded ? blocks_ : (n >= kBlockReach ? (n - kBlockReach) / 64 + 1 : 0);
    if (in_place_ < blocks_) {
      const std::uint64_t rest = n - 64 * in_place_;
      std::memcpy(tail_, s + 64 * in_place_, rest);
      std::memset(tail_ + rest, 0, std::min<std::uint64_t>(sizeof tail_ - rest, kBlockReach + 8));
    }
  }

  template <bool kMemo>
  [[gnu::always_inline]] void run(WalkMemo& memo);

 private:
  // Where the bytes of block b are read from.
  const unsigned char* block_bytes(std::uint64_t b) const noexcept {
    return b < in_place_ ? s_ + 64 * b : tail_ + 64 * (b - in_place_);
  }

  // Masks of blocks [b, b + count) (count >= 1, blocks past the text included) into opens_, first_.
  void classify(std::uint64_t b, std::uint64_t count) noexcept {
    std::uint64_t done = 0;
    const std::uint64_t in_text = b < blocks_ ? std::min(count, blocks_ - b) : 0;
    if (b < in_place_) {
      done = std::min(in_text, in_place_ - b);
      t_.sets().classify(s_ + 64 * b, done, opens_, first_, t_.simd());
    }
    if (done < in_text) {
      t_.sets().classify(block_bytes(b + done), in_text - done, opens_ + done, first_ + done, t_.simd());
    }
    if (t_.prefixes().on()) {
      if (b < in_place_) t_.prefixes().mark(s_ + 64 * b, done, prefix_, t_.simd());
      if (done < in_text) {
        t_.prefixes().mark(block_bytes(b + done), in_text - done, prefix_ + done, t_.simd());
      }
      for (std::uint64_t k = 0; k < in_text; ++k) first_[k] &= prefix_[k];
    }
    // The end of the text ends a word; nothing starts past it.
    const std::uint64_t last_bits = n_ % 64;
    if (last_bits != 0 && b + in_text == blocks_) {
      opens_[in_text - 1] |= ~std::uint64_t{0} << last_bits;
      first_[in_text - 1] &= (std::uint64_t{1} << last_bits) - 1;
    }
    for (std::uint64_t k = in_text; k < count; ++k) {
      opens_[k] = ~std::uint64_t{0};
      first_[k] = 0;
    }
  }

  // Of `starts` (positions at boundary bytes, or any with overlaps) in block b, those whose first
  // two bytes a walk can take.
  [[gnu::always_inline]] std::uint64_t pair_filter(std::uint64_t b, const unsigned char* bytes, std::uint64_t starts) const noexcept {
    std::uint64_t pass = 0;
    for (; starts != 0; starts &= starts - 1) {
      const auto i = static_cast<unsigned>(std::countr_zero(starts));
      const bool last = 64 * b + i + 1 == n_;  // nothing after it: only the first step matters
      pass |= static_cast<std::uint64_t>(last || t_.pair_may_match(bytes[i], bytes[i + 1])) << i;
    }
    return pass;
  }

  // Of `starts` (positions at word bytes) in a block whose byte masks are `opens` and, for the
  // next block, `opens_next`, those whose word may be a keyword's first word.
  [[gnu::always_inline]] std::uint64_t word_filter(const unsigned char* bytes, std::uint64_t starts,
                                                   std::uint64_t opens, std::uint64_t opens_next) const noexcept {
    const ScanIndex::WordFilter filter = t_.word_filter();
    std::uint64_t pass = 0;
    for (; starts != 0; starts &= starts - 1) {
      const auto i = static_cast<unsigned>(std::countr_zero(starts));
      // The 64 positions from i, those of the next block included (none when i is 0).
      const std::uint64_t ahead = (opens >> i) | ((opens_next << 1) << (63 - i));
      const auto length = static_cast<std::uint64_t>(std::countr_zero(ahead));  // bit 0 clear: a word byte
      if (length == 64) {
        pass |= std::uint64_t{1} << i;  // a word of 64 bytes or more: walked without the filter
        continue;
      }
      pass |= static_cast<std::uint64_t>(filter.may_hold(bytes + i, length)) << i;
    }
    return pass;
  }

  // Walks the trie from `start` and records a match when the end rule accepts it; returns the
  // position the scan resumes at (the end of the match, or `start`).
  template <bool kMemo>
  std::uint64_t search_from(std::uint64_t start, WalkMemo& memo) {
    const unsigned char* s = s_;
    const std::uint64_t n = n_;
    // The memo key: the bytes up to and including the first boundary byte from `start`.
    std::uint64_t key[2] = {0, 0};
    std::uint64_t key_length = 0;
    WalkMemo::Entry* slot = nullptr;
    if constexpr (kMemo) {
      std::uint64_t end = start;
      while (end < n && end - start < WalkMemo::kMaxKey && t_.words().is_word(s[end])) ++end;
      if (end < n && end - start < WalkMemo::kMaxKey) {
        key_length = end - start + 1;
        WalkMemo::load_key(s + start, key_length, key);
        slot = &memo.slot(key, key_length);
        if (WalkMemo::holds(*slot, key, key_length)) {
          if (slot->match_length == 0) return start;
          const std::uint64_t q = start + slot->match_length;
          out_.push_back({slot->found->clean_name.view(), 1.0f, trimmed_start(s, start), q});
          return q;
        }
      }
    }

    // Longest stored keyword that is a prefix of s[start..n): one walk, no allocation.
    const TrieNode* node = t_.first_step(s[start]);
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
    if (i > 64) {
      poll_interrupt(i);  // a long walk at once
    } else {
      walked_ += i;  // short ones with their chunk: 2 KiB of text can hold a thousand of them
    }

    const std::uint64_t q = start + length_found;
    const bool matched = found != nullptr && (q == n || t_.overlaps() || t_.words().is_boundary(s[q]));
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
    if (!matched) return start;
    out_.push_back({found->clean_name.view(), 1.0f, trimmed_start(s, start), q});
    return q;
  }

  const ScanIndex& t_;
  const unsigned char* s_;
  std::uint64_t n_;
  std::uint64_t blocks_;
  std::uint64_t in_place_;
  std::vector<KeywordMatch>& out_;
  std::uint64_t walked_ = 0;  // steps of short walks not yet counted by a poll
  std::uint64_t opens_[kChunkBlocks + 1];
  std::uint64_t first_[kChunkBlocks + 1];
  std::uint64_t prefix_[kChunkBlocks + 1];
  alignas(64) unsigned char tail_[2 * 64 + kScanPadding];
};

template <bool kMemo>
[[gnu::always_inline]] inline void Scan::run(WalkMemo& memo) {
  std::uint64_t p = 0;               // no match may start before p: the end of the last match
  std::uint64_t opens_before = 1;    // whether a match may start after the byte before the block
  for (std::uint64_t chunk = 0; chunk < blocks_; chunk += kChunkBlocks) {
    const std::uint64_t count = std::min(kChunkBlocks, blocks_ - chunk);
    poll_interrupt(64 * count / kBytesPerUnit + walked_);  // the text and its short walks, a chunk at a time
    walked_ = 0;
    classify(chunk, count + 1);
    // The start positions of every block of the chunk first, then only the blocks that have any:
    // with the filters most blocks have none, and a branch per block on that would often guess
    // wrong.
    std::uint64_t busy = 0;
    for (std::uint64_t k = 0; k < count; ++k) {
      first_[k] &= opens_[k] << 1 | opens_before;
      opens_before = opens_[k] >> 63;
      busy |= static_cast<std::uint64_t>(first_[k] != 0) << k;
    }
    for (; busy != 0; busy &= busy - 1) {
      const auto k = static_cast<std::uint64_t>(std::countr_zero(busy));
      const std::uint64_t b = chunk + k;
      const std::uint64_t base = 64 * b;
      if (p >= base + 64) continue;
      const std::uint64_t opens = opens_[k];
      std::uint64_t starts = first_[k];
      if (p > base) starts &= ~std::uint64_t{0} << (p - base);

      const unsigned char* bytes = block_bytes(b);
      std::uint64_t candidates;
      if (t_.overlaps()) {
        candidates = pair_filter(b, bytes, starts);
      } else {
        candidates = pair_filter(b, bytes, starts & opens) |
                     word_filter(bytes, starts & ~opens, opens, opens_[k + 1]);
      }
      while (candidates != 0) {
        const std::uint64_t start = base + static_cast<std::uint64_t>(std::countr_zero(candidates));
        candidates &= candidates - 1;
        const std::uint64_t q = search_from<kMemo>(start, memo);
        if (q == start) continue;
        // Candidates inside the match are passed over.
        p = q;
        if (p >= base + 64) break;
        candidates &= ~std::uint64_t{0} << (p - base);
      }
    }
  }
}

// The loop compiled twice: for any x86-64 (or other) processor, and with the bit instructions of
// the processors that have AVX2 (variable shifts and bit counts in one instruction each), which
// the scan uses at every start position.
template <bool kMemo>
void run_portable(Scan& scan, WalkMemo& memo) {
  scan.run<kMemo>(memo);
}

#if defined(WORDSIEVE_AVX2)
template <bool kMemo>
__attribute__((target("bmi,bmi2,popcnt"))) void run_bmi2(Scan& scan, WalkMemo& memo) {
  scan.run<kMemo>(memo);
}
#endif

template <bool kMemo>
void run(const ScanIndex& index, Scan& scan, WalkMemo& memo) {
#if defined(WORDSIEVE_AVX2)
  if (index.simd() != SimdLevel::kPortable) {
    run_bmi2<kMemo>(scan, memo);
    return;
  }
#endif
  (void)index;
  run_portable<kMemo>(scan, memo);
}

}  // namespace

struct ScanScratch::State {
  const KeywordProcessor* processor;
  WalkMemo memo;
  std::uint64_t bytes_seen = 0;

  explicit State(const KeywordProcessor& p) : processor(&p) {}
};

ScanScratch::ScanScratch() = default;
ScanScratch::~ScanScratch() = default;
ScanScratch::ScanScratch(ScanScratch&&) noexcept = default;
ScanScratch& ScanScratch::operator=(ScanScratch&&) noexcept = default;

FuzzyScratch& ScanScratch::fuzzy() {
  if (fuzzy_ == nullptr) fuzzy_ = std::make_unique<FuzzyScratch>();
  return *fuzzy_;
}

void scan_exact(const KeywordProcessor& processor, std::string_view text, bool padded,
                ScanScratch* scratch, std::vector<KeywordMatch>& out) {
  if (text.empty() || processor.root.children.empty()) return;
  const ScanIndex& index = processor.derived.scan_index(processor);
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::uint64_t n = text.size();
  Scan scan(index, s, n, padded, out);
  if (scratch == nullptr) {
    WalkMemo memo;
    if (remembers(index) && n >= kMemoMinText) {
      memo.allow(n);
      run<true>(index, scan, memo);
    } else {
      run<false>(index, scan, memo);
    }
    return;
  }
  if (!scratch->state_) scratch->state_ = std::make_unique<ScanScratch::State>(processor);
  ScanScratch::State& state = *scratch->state_;
  if (state.processor != &processor) fail("a scan scratch was used with a second processor");
  if (remembers(index)) {
    // Sized by all the text this scratch has searched, so that many short texts share a table as
    // large as one long text of their total size would have.
    state.bytes_seen += n;
    state.memo.allow(state.bytes_seen);
    run<true>(index, scan, state.memo);
  } else {
    run<false>(index, scan, state.memo);
  }
}

}  // namespace wordsieve
