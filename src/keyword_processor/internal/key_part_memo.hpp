// The parts of fuzzy searches that lie inside their keys, remembered per key (cut 8 of
// docs/fuzzy_search.md).
//
// At usual thresholds most of a search's states have consumed less than its key (a word and the
// foreign byte after it), yet many of its results depend on the next word too, so the memo keeps
// them per continuation and a frequent word is searched anew after each new one. Here the part
// inside the key is kept once per key: the list FuzzySearch::record_key_part makes, which a
// replay at any later start with the same key finishes against that start's next word.
//
// A key is listed from its second search on, and only when its first search read past it: most
// keys are searched once, or have results that the memo holds whatever follows them. A bitmap by
// the key's hash marks the keys whose search read past them (a collision costs a list).
//
// A table of buckets of two slots, found by a hash of the key's bytes, and one pool the lists are
// appended to. A slot holds the key's bytes, the regime and the similarity its list was made
// with, and where its list lies in the pool. A new key goes to the front of its bucket and the
// slot behind leaves (its list stays in the pool, unreferenced); when the pool would pass
// kMaxEvents, everything is forgotten and the table starts again. The table starts small and
// doubles as keys come in, up to kMaxBuckets. It serves one processor and one threshold, like
// the memo beside it.
#pragma once

#include <cstdint>
#include <vector>

#include "keyword_processor/fuzzy.hpp"
#include "keyword_processor/internal/fuzzy_memo.hpp"

namespace wordsieve {

class KeyPartMemo {
 public:
  static constexpr std::uint64_t kKeyMax = FuzzyMemo::kKeyMax;  // the scan's longest key
  static_assert(kKeyMax % 8 == 0);
  static constexpr std::size_t kMinBuckets = 64;
  static constexpr std::size_t kMaxBuckets = 8192;                   // 640 KiB of slots
  static constexpr std::size_t kMaxEvents = std::size_t{1} << 18;  // 6 MiB of lists

  // A table of at most `max_events` listed events in all.
  explicit KeyPartMemo(std::size_t max_events = kMaxEvents) noexcept;

  struct Part {
    const KeyPartEvent* events;
    std::size_t count;
    float reached;
  };

  // What the table knows a key by: its `size` (1 to kKeyMax) bytes at `key`, and the regime.
  struct Key {
    std::uint64_t words[kKeyMax / 8];  // the bytes, zeros after them
    std::uint64_t size;
    unsigned regime;
    std::uint64_t hash;
  };
  static Key key_of(const unsigned char* key, std::uint64_t size, unsigned regime) noexcept;

  // The list kept for `key`, if any; valid until the next insert() or clear().
  bool find(const Key& key, Part& out) const noexcept;
  // Keeps `events`, made with similarity `reached` for `key`, after find() missed.
  void insert(const Key& key, float reached, const std::vector<KeyPartEvent>& events);
  // Marks `key` as one whose search read past it; whether it is marked.
  void want(const Key& key);
  bool wanted(const Key& key) const noexcept {
    return !wanted_.empty() && ((wanted_[(key.hash >> 6) & (kWantedWords - 1)] >> (key.hash & 63)) & 1U) != 0;
  }

  void clear() noexcept;
  std::size_t capacity_bytes() const noexcept {
    return slots_.capacity() * sizeof(Slot) + events_.capacity() * sizeof(KeyPartEvent) +
           wanted_.capacity() * sizeof(std::uint64_t);
  }

 private:
  static constexpr std::size_t kWords = kKeyMax / 8;
  struct Slot {
    std::uint64_t words[kWords];  // the key's bytes, zeros after them
    std::uint32_t offset;         // of the list in events_
    std::uint32_t count;
    float reached;
    std::uint8_t size;            // 0: empty
    std::uint8_t regime;
  };

  static constexpr std::size_t kWantedWords = 1024;  // 64 Kibit
  static std::uint64_t hash_of(const std::uint64_t* words, std::uint64_t size, unsigned regime) noexcept;
  Slot* bucket(std::uint64_t hash) noexcept { return &slots_[2 * (hash & (slots_.size() / 2 - 1))]; }
  void grow();
  void forget_lists() noexcept;  // clear() but for the marks

  std::vector<Slot> slots_;  // buckets of two; empty until the first insertion
  std::vector<KeyPartEvent> events_;
  std::vector<std::uint64_t> wanted_;  // empty until the first want()
  std::size_t max_events_;
  std::size_t keys_ = 0;  // inserted since the table last grew or was cleared
};

}  // namespace wordsieve
