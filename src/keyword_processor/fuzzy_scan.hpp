// The fuzzy scan: the fuzzy search (fuzzy.hpp) at every position where a match may start, with the
// fuzzy end rule, remembering search results by the text they depend on (fuzzy_memo.hpp, and
// short_key_memo.hpp in front of it) and the parts of searches that lie inside their keys
// (key_part_memo.hpp).
#pragma once

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzzy.hpp"
#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/internal/fuzzy_memo.hpp"
#include "keyword_processor/internal/key_part_memo.hpp"
#include "keyword_processor/internal/short_key_memo.hpp"
#include "match.hpp"
#include "processor.hpp"

namespace wordsieve {

// Work space carried from one fuzzy scan to the next by a caller that scans many texts with one
// processor and one threshold (a batch worker): the search's buffers and the remembered results,
// so that short texts get what one long text would. A scratch serves one processor, the first it
// is used with, and only while that processor does not change; one thread at a time. Used with
// another threshold, it starts afresh. A scan given none takes the one the processor keeps from
// the last such scan (derived.hpp), and leaves it there again for the next, trimmed to at most
// kept_bytes().
class FuzzyScratch {
 public:
  // At most `memo_ways` remembered results in the memo, `short_buckets` buckets in the table of
  // short windows in front of it (both powers of two), `key_part_events` events in the lists of
  // the searches' parts inside their keys.
  explicit FuzzyScratch(std::size_t memo_ways = FuzzyMemo::kMaxWays,
                        std::size_t short_buckets = ShortKeyMemo::kMaxBuckets,
                        std::size_t key_part_events = KeyPartMemo::kMaxEvents);
  ~FuzzyScratch();
  FuzzyScratch(const FuzzyScratch&) = delete;
  FuzzyScratch& operator=(const FuzzyScratch&) = delete;

  // The most a processor of `keywords` keywords keeps between calls: 1 MiB, or about what its
  // own tables take (320 bytes per keyword) when that is more, which holds all the remembered
  // results a scratch may have (some 6 MiB) from 20,000 keywords on. A scratch that holds more is
  // trimmed: its remembered results and buffers go, not its settings.
  static std::size_t kept_bytes(std::uint64_t keywords) noexcept {
    constexpr std::uint64_t kAtLeast = std::uint64_t{1} << 20, kPerKeyword = 320;
    return static_cast<std::size_t>(std::max(kAtLeast, std::min(keywords, kAtLeast) * kPerKeyword));
  }
  // What it holds in blocks of its own, of the kinds trimming drops.
  std::size_t bytes() const noexcept;

 private:
  friend void scan_fuzzy(const KeywordProcessor&, std::string_view, float, FuzzyScratch*,
                         std::vector<KeywordMatch>&);
  // The scan itself, with this work space.
  void scan(const KeywordProcessor& processor, std::string_view text, float threshold,
            std::vector<KeywordMatch>& out);
  bool search_rest(FuzzySearch& search, const unsigned char* key_bytes, std::uint64_t key,
                   std::uint64_t left, unsigned regime, float reached, FuzzyCandidate& candidate);
  // Trims this scratch to at most `limit` bytes, to be kept on the processor.
  void trim_to_keep(std::size_t limit) noexcept;

  float threshold_ = -1.0f;
  // Held in place: a block of its own would cost a short text's call an aligned allocation.
  std::optional<FuzzySearch> search_;
  FuzzyMemo memo_;
  ShortKeyMemo short_windows_;  // in front of memo_
  KeyPartMemo key_parts_;       // behind memo_
  std::vector<KeyPartEvent> part_events_;  // the list of the last part searched
  std::uint64_t slow_starts_ = 0;  // starts looked up in memo_
  // Bit j: byte j of the text is a boundary byte, and bit n (the text's size) is set. Made for
  // long texts only; the set it is looked up in, for the processor, when first needed.
  void mark_boundaries(const KeywordProcessor& processor, const unsigned char* s, std::uint64_t n);
  std::vector<std::uint64_t> boundaries_;
  ByteSets boundary_set_;
  SimdLevel simd_ = SimdLevel::kPortable;
  bool boundary_set_ready_ = false;
};

// Appends the fuzzy matches in `text` (the search text) at `threshold` (in [0, 1)) to `out`.
// `scratch` may be null.
void scan_fuzzy(const KeywordProcessor& processor, std::string_view text, float threshold,
                FuzzyScratch* scratch, std::vector<KeywordMatch>& out);

}  // namespace wordsieve
