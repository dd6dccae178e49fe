// Fuzzy results of short windows, in a table small enough to stay in the nearer cache levels.
//
// Most start positions of a long text begin a frequent short word, and the result from most of
// them depends on a few bytes: the walk of the exact chain stops at the key's foreign byte (the
// key of fuzzy_memo.hpp) at the latest, and at usual thresholds a search reads little more than
// the key and the first bytes of the next word. The large memo keeps those results among its
// longer windows, but a lookup there reads a directory entry, a bucket's tags and a way out of
// megabytes. Here a result whose window fits in kWindowMax bytes is kept in a slot of 32 bytes:
// the first max(W, key) bytes from its start as one word (all kWindowMax of them when the key is
// longer), and the foreign pattern of the V bytes after the window (fuzzy_memo.hpp says why these
// decide the result). A start whose key and first bytes are the same, with the same pattern after
// them inside the text, in the same regime (FuzzySearch::regime), has the same result. Long keys
// matter too: a long word that begins with a keyword, such as "therefore", ends the walk of the
// exact chain within a few bytes.
//
// A bucket of two slots per hash of the bytes a slot compares: the key's bytes for a result whose
// window lies inside its key, else the window's. A search from a frequent word that is no keyword
// often reads a byte or two of the next word, so its results differ by what follows; each of them
// has a bucket of its own, and a slot in the key's bucket lists the windows (longer than the key)
// its results have, so that a lookup asks for those buckets only, and all at once. A new result
// and a hit go to the front of their bucket, and the slot behind leaves for a new one. The table
// starts small and doubles as results come in, up to kMaxBuckets (512 KiB), so that a short text
// pays for little. It serves one processor and one threshold, like the memo it stands in front of.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "keyword_processor/fuzzy.hpp"

namespace wordsieve {

class ShortKeyMemo {
 public:
  static constexpr std::uint64_t kWindowMax = 8;
  // The key size a caller gives for any key longer than kWindowMax bytes. Such a key's results
  // are kept only when their windows fit (a word that starts with a keyword: the walk of the exact
  // chain read its bytes alone), and a lookup compares all kWindowMax bytes.
  static constexpr std::uint64_t kLongKey = kWindowMax + 1;
  static constexpr std::size_t kMinBuckets = 32;
  static constexpr std::size_t kMaxBuckets = 8192;

  // A table of at most `max_buckets` buckets (a power of two).
  explicit ShortKeyMemo(std::size_t max_buckets = kMaxBuckets) noexcept : max_buckets_(max_buckets) {}

  // The first kWindowMax bytes at `text` (which must be readable) as the table compares them.
  static std::uint64_t head(const unsigned char* text) noexcept {
    std::uint64_t word;
    std::memcpy(&word, text, sizeof word);
    return word;
  }

  // A result and what it depends on: the first `window` bytes, the `bits` foreign flags after them.
  struct Entry {
    bool found;
    FuzzyCandidate candidate;
    std::uint64_t window;
    std::uint64_t bits;
    std::uint64_t pattern;
  };

  // The result kept for a start whose first bytes are `head`, with a key of `key` bytes (at most
  // kLongKey) and `left` (>= kWindowMax) bytes to the end of the text, if any.
  bool find(std::uint64_t head, std::uint64_t key, std::uint64_t left, unsigned regime,
            std::uint64_t at, const FuzzySearch& search, bool& found, FuzzyCandidate& candidate) noexcept {
    if (slots_.empty()) return false;
    const std::uint64_t tag = tag_of(key, regime);
    const std::uint64_t key_bytes = head & first(key);
    Slot* bucket = &slots_[bucket_of(key_bytes)];
    std::uint64_t windows = 0;  // bit w: results of this key have windows of w bytes
    for (std::size_t k = 0; k < 2; ++k) {
      const Slot& slot = bucket[k];
      if (slot.tag == (tag | kWindowsTag) && slot.head == key_bytes) {
        windows = slot.pattern;
      } else if (slot.tag == tag && slot.window <= key &&
                 take(slot, head, key, left, at, search, found, candidate)) {
        if (k != 0) std::swap(bucket[0], bucket[1]);
        return true;
      }
    }
    // Only windows longer than the key are listed; take() turns down one past the text's end.
    Slot* buckets[kWindowMax + 1];
    for (std::uint64_t rest = windows; rest != 0; rest &= rest - 1) {
      const auto w = static_cast<unsigned>(std::countr_zero(rest));
      buckets[w] = &slots_[bucket_of(head & first(w))];
#if defined(__GNUC__)
      __builtin_prefetch(buckets[w]);
#endif
    }
    for (std::uint64_t rest = windows; rest != 0; rest &= rest - 1) {
      const auto w = static_cast<unsigned>(std::countr_zero(rest));
      for (std::size_t k = 0; k < 2; ++k) {
        const Slot& slot = buckets[w][k];
        if (slot.tag == tag && slot.window == w &&
            take(slot, head, key, left, at, search, found, candidate)) {
          if (k != 0) std::swap(buckets[w][0], buckets[w][1]);
          return true;
        }
      }
    }
    return false;
  }

  // Asks for the bucket a lookup of a start with these first bytes and key size would read first.
  void prefetch(std::uint64_t head, std::uint64_t key) const noexcept {
    if (slots_.empty()) return;
#if defined(__GNUC__)
    __builtin_prefetch(&slots_[bucket_of(head & first(key))]);
#endif
  }

  // Keeps `entry` for a start whose first bytes are `head` and whose key has `key` bytes (at most
  // kLongKey), when what it depends on fits (else nothing).
  void insert(std::uint64_t head, std::uint64_t key, unsigned regime, const Entry& entry) {
    if (key > kLongKey || entry.window > kWindowMax || entry.bits > 64 || regime > kMaxRegime) return;
    if (slots_.empty() || (inserted_ >= slots_.size() / 2 && slots_.size() < 2 * max_buckets_)) grow();
    const std::uint64_t tag = tag_of(key, regime);
    if (entry.window > key) {
      // The key's bucket lists the window, in its own slot or in a new one at the front.
      const std::uint64_t key_bytes = head & first(key);
      Slot* bucket = &slots_[bucket_of(key_bytes)];
      std::size_t k = 0;
      while (k < 2 && !(bucket[k].tag == (tag | kWindowsTag) && bucket[k].head == key_bytes)) ++k;
      if (k == 2) {
        const auto listing = static_cast<std::uint8_t>(tag | kWindowsTag);
        push_front(bucket, {key_bytes, 0, nullptr, 0.0f, listing, 0, 0, 0});
        k = 0;
      }
      bucket[k].pattern |= std::uint64_t{1} << entry.window;
    }
    const std::uint64_t n = std::max(entry.window, key);
    push_front(&slots_[bucket_of(head & first(n))],
               {head & first(n),
                entry.pattern,
                entry.found ? entry.candidate.node : nullptr,
                entry.found ? entry.candidate.similarity : 0.0f,
                static_cast<std::uint8_t>(tag),
                static_cast<std::uint8_t>(entry.window),
                static_cast<std::uint8_t>(entry.bits),
                static_cast<std::uint8_t>(entry.found ? entry.candidate.consumed : 0)});
    ++inserted_;
  }

  void clear() noexcept {
    std::vector<Slot>().swap(slots_);
    inserted_ = 0;
  }
  std::size_t capacity_bytes() const noexcept { return slots_.size() * sizeof(Slot); }

 private:
  struct alignas(32) Slot {
    std::uint64_t head;     // the first max(window, key) bytes, zeros after (the key's: its bucket)
    std::uint64_t pattern;  // bit k: whether the byte at window + k is foreign, k < bits (the
                            // slot listing a key's windows: bit w, a window of w bytes)
    const TrieNode* node;  // of the candidate; null: none
    float similarity;
    std::uint8_t tag;      // the key's size and the regime (tag_of), kWindowsTag; 0: empty
    std::uint8_t window;
    std::uint8_t bits;
    std::uint8_t consumed;  // at most the window
  };
  static_assert(sizeof(Slot) == 32);

  // The mask that keeps the first `n` (<= kWindowMax, or all of them for kLongKey) bytes of a word
  // loaded from memory.
  static std::uint64_t first(std::uint64_t n) noexcept { return kFirst[n]; }
  static constexpr std::array<std::uint64_t, kLongKey + 1> kFirst = [] {
    std::array<std::uint64_t, kLongKey + 1> masks{};
    masks[kLongKey] = ~std::uint64_t{0};
    for (std::uint64_t n = 1; n <= kWindowMax; ++n) {
      masks[n] = std::endian::native == std::endian::little ? ~std::uint64_t{0} >> (64 - 8 * n)
                                                            : ~(~std::uint64_t{0} >> (8 * n));
    }
    return masks;
  }();

  // Keys have 1 to 9 (kLongKey) bytes and regimes are below 8: one byte that is never 0, whose
  // top bit marks the slot that lists a key's windows.
  static constexpr unsigned kMaxRegime = 7;
  static constexpr std::uint64_t kWindowsTag = 0x80;
  static std::uint64_t tag_of(std::uint64_t key, unsigned regime) noexcept { return key | regime << 4; }

  // Whether result `slot` holds for the start at `at` (first bytes `head`, key of `key` bytes,
  // `left` bytes to the text's end); if so, its result goes to `found` and `candidate`.
  static bool take(const Slot& slot, std::uint64_t head, std::uint64_t key, std::uint64_t left,
                   std::uint64_t at, const FuzzySearch& search, bool& found,
                   FuzzyCandidate& candidate) noexcept {
    if ((head & first(std::max<std::uint64_t>(slot.window, key))) != slot.head ||
        slot.window + slot.bits > left ||
        (slot.bits != 0 && search.foreign_pattern(at + slot.window, slot.bits) != slot.pattern)) {
      return false;
    }
    found = slot.node != nullptr;
    candidate = {slot.node, slot.consumed, slot.similarity};
    return true;
  }

  static void push_front(Slot* bucket, const Slot& slot) noexcept {
    bucket[1] = bucket[0];
    bucket[0] = slot;
  }

  std::size_t bucket_of(std::uint64_t key_bytes) const noexcept {
    return static_cast<std::size_t>(((key_bytes * 0x9E3779B97F4A7C15ULL) >> 40) & mask_) * 2;
  }

  // A table of twice the buckets (kMinBuckets at first, or max_buckets_ when fewer), with the kept
  // results moved over (the older of two that meet in one bucket behind).
  void grow() {
    const std::size_t buckets = slots_.empty() ? std::min(kMinBuckets, max_buckets_) : slots_.size();
    std::vector<Slot> old(2 * buckets, Slot{});
    old.swap(slots_);
    mask_ = buckets - 1;
    for (std::size_t i = old.size(); i-- > 0;) {
      const Slot& slot = old[i];
      if (slot.tag == 0) continue;
      push_front(&slots_[bucket_of(slot.head)], slot);
    }
    inserted_ = 0;
  }

  std::vector<Slot> slots_;  // buckets of two slots
  std::size_t max_buckets_;
  std::uint64_t mask_ = 0;  // buckets - 1: at most 2^24 buckets
  std::size_t inserted_ = 0;  // since the table last grew
};

}  // namespace wordsieve
