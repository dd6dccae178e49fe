// Results of the fuzzy search remembered by the text they depend on, so that a start position whose
// next bytes were searched before costs a lookup.
//
// The search from p reads the bytes of a window s[p, p+W) and, beyond it, only whether each byte
// of s[p+W, p+W+V) is foreign (the bound looks at where the next words end, not at what they
// spell); it reports W, V and whether its decisions depended on where the text ends
// (FuzzySearch::bytes_read, bits_read, saw_end). Its result is the literal search's, and it is a
// function of what it read: run again where the text continues with the same W bytes and the
// same pattern of foreign bytes after them, without ending inside, it reads the same, takes the
// same decisions and returns the same candidate. Only searches that did not meet the end of the
// text are kept, and a hit needs both parts to be equal and inside the text. The search kept is
// the whole of FuzzySearch::run after the walk of the exact chain found nothing (W covers that
// walk's bytes too), so a hit also stands for that walk.
//
// The scan gives the memos the text with every foreign byte replaced by one marker byte (the search
// cannot tell foreign bytes apart; fuzzy_scan.cpp), so what is compared here as "the bytes" is
// that form of them.
//
// A start position gives, before any search, a key: the bytes up to and including the first
// foreign byte after it (a word and the space that ends it), at most kKeyMax. The memo is one
// set-associative table of ways of one cache line each, found by a hash of the first max(W, key)
// bytes of their window, and a way holds everything a lookup compares and returns (those bytes,
// the foreign pattern, the result). A directory of one entry per two ways lists, per key, the
// last kPairs (W, V) pairs its searches had (a frequent word's searches read on into the next
// word by as many different lengths as its followers need); a lookup tries them in turn, each a
// read of one bucket's tags (a part of the hash, kept apart, 16 bytes a bucket) and of the ways
// whose tag is the hash's, so a hit reads a directory entry, the tags and one way. The directory
// is only a hint (an entry is known by a hash, and a newer key takes its place): the ways are
// compared in full. A key way in the table
// keeps the similarity reached(). A hit and a new way go to the front of their bucket, and a new
// way pushes the last one out; windows longer than a way holds are not kept.
//
// The table starts small and doubles as results come in, up to kMaxWays by default, so a short
// text pays for little and a long one for a bounded amount; a long text's scan makes it at once at
// about the size the text will fill (reserve): each doubling would move every way over again, out
// of megabytes that no cache holds. A memo serves one processor and one
// threshold, the first it is used with, while the processor does not change.
#pragma once

#include <cstdint>
#include <vector>

#include "keyword_processor/fuzzy.hpp"

namespace wordsieve {

class FuzzyMemo {
 public:
  static constexpr std::uint64_t kKeyMax = 24;
  static constexpr std::size_t kWays = 4;
  static constexpr std::size_t kInline = 32;  // window bytes a way holds
  static constexpr std::size_t kPairs = 11;  // (W, V) pairs a directory entry lists
  static constexpr std::size_t kMinBuckets = 16;
  // 4 MiB of ways, and 1.1 MiB of directory and tags
  static constexpr std::size_t kMaxWays = std::size_t{1} << 16;

  // A memo of at most `max_ways` ways (a power of two, at least kWays).
  explicit FuzzyMemo(std::size_t max_ways = kMaxWays) noexcept : max_ways_(max_ways) {}

  struct Result {
    bool found;
    FuzzyCandidate candidate;
    // find(): what the result depends on, W bytes and the foreign pattern of V bytes after them
    std::uint64_t window = 0, bits = 0, pattern = 0;
  };

  // What a lookup and the insertion after it share: the text's first bytes from the start, the key.
  struct Probe {
    std::uint64_t words[kInline / 8];  // the first kInline bytes (fewer near the end, zeros after)
    std::uint64_t key_size;
    unsigned regime;
    std::uint64_t key_hash;
  };

  // The probe for the key of `key_size` (1..kKeyMax) bytes at `text`, which has `left` bytes to
  // the end of the search's text; `regime` distinguishes searches whose arithmetic differs
  // (FuzzySearch::regime).
  static Probe probe(const unsigned char* text, std::uint64_t left, std::uint64_t key_size,
                     unsigned regime) noexcept;

  // Whether a result is remembered for the text under `probe` (absolute position `at` of the
  // search's text, with `left` bytes from there to the end); it goes to `out`. `search` tells which
  // bytes are foreign.
  bool find(const Probe& probe, std::uint64_t at, std::uint64_t left, const FuzzySearch& search,
            Result& out) noexcept;

  // A similarity that some state reaches from any start whose text begins with the probe's key:
  // that of a remembered candidate that consumed fewer bytes than the key, whose path read only
  // the key (0 when none is known).
  float reached(const Probe& probe) noexcept;

  // Keeps `result` for a search under `probe` that read the bytes [0, bytes) from the start and the
  // foreign pattern of [bytes, bytes + bits), after find() missed.
  void insert(const Probe& probe, std::uint64_t at, std::uint64_t bytes, std::uint64_t bits,
              const FuzzySearch& search, const Result& result);

  // Makes room for about `ways` ways (at most the table's limit) at once, so that a long text's
  // table does not move its ways over again and again while it grows.
  void reserve(std::size_t ways);
  void clear() noexcept;
  // Ways held, and the bytes the table takes.
  std::size_t size() const noexcept;
  std::size_t capacity_bytes() const noexcept {
    return ways_.size() * sizeof(Way) + tags_.size() * sizeof(std::uint32_t) +
           directory_.size() * sizeof(Entry);
  }

 private:
  enum Kind : std::uint8_t { kEmpty, kResult, kFound, kKey };  // kFound: a result with a candidate

  struct alignas(64) Way {
    const TrieNode* node;   // kFound
    std::uint64_t pattern;  // results: bit k, whether the byte at `window` + k is foreign
    float value;            // kFound: the similarity; kKey: the similarity reached
    Kind kind;
    std::uint8_t key_size;
    std::uint8_t regime;
    std::uint8_t window;    // results: W
    std::uint8_t bits;      // results: V
    std::uint8_t consumed;  // kFound
    std::uint64_t words[kInline / 8];  // the first max(W, key) bytes (kKey: the key), zeros after
  };
  struct Entry {
    std::uint32_t tag;  // of the key's hash
    std::uint8_t count;
    std::uint8_t window[kPairs];
    std::uint8_t bits[kPairs];
  };
  static_assert(sizeof(Way) == 64);

  std::size_t bucket_of(std::uint64_t hash) const noexcept { return (hash & mask_) * kWays; }
  static std::uint32_t tag_of(std::uint64_t hash) noexcept {
    return static_cast<std::uint32_t>(hash >> 32);
  }
  Entry& entry(std::uint64_t key_hash) noexcept { return directory_[key_hash & (directory_.size() - 1)]; }
  void list(const Way& way, std::uint64_t key_hash) noexcept;
  Way* key_way(const Probe& probe, bool add) noexcept;
  void to_front(std::size_t bucket, std::size_t k) noexcept;
  Way& push_front(std::uint64_t hash) noexcept;
  void resize(std::size_t buckets);

  std::vector<Way> ways_;     // buckets of kWays ways; empty until the first insertion
  // [i]: the tag (of the hash) of ways_[i], compared before the way is read: a bucket's tags share
  // a cache line, its ways take one each.
  std::vector<std::uint32_t> tags_;
  std::vector<Entry> directory_;  // by the key's hash, one per two ways
  std::size_t max_ways_;
  std::uint64_t mask_ = 0;    // buckets - 1
  std::size_t inserted_ = 0;  // since the table last grew
};

}  // namespace wordsieve
