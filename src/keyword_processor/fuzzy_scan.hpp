// The fuzzy scan: the fuzzy search (fuzzy.hpp) at every position where a match may start, with the
// fuzzy end rule, remembering search results by the text they depend on (fuzzy_memo.hpp, and
// short_key_memo.hpp in front of it).
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "fuzzy.hpp"
#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/internal/fuzzy_memo.hpp"
#include "keyword_processor/internal/short_key_memo.hpp"
#include "match.hpp"
#include "processor.hpp"

namespace wordsieve {

// Work space carried from one fuzzy scan to the next by a caller that scans many texts with one
// processor and one threshold (a batch worker): the search's buffers and the remembered results,
// so that short texts get what one long text would. A scratch serves one processor, the first it
// is used with, and only while that processor does not change; one thread at a time. Used with
// another threshold, it starts afresh.
class FuzzyScratch {
 public:
  // At most `memo_ways` remembered results in the memo, `short_buckets` buckets in the table of
  // short windows in front of it (both powers of two).
  explicit FuzzyScratch(std::size_t memo_ways = FuzzyMemo::kMaxWays,
                        std::size_t short_buckets = ShortKeyMemo::kMaxBuckets);
  ~FuzzyScratch();
  FuzzyScratch(const FuzzyScratch&) = delete;
  FuzzyScratch& operator=(const FuzzyScratch&) = delete;

 private:
  friend void scan_fuzzy(const KeywordProcessor&, std::string_view, float, FuzzyScratch*,
                         std::vector<KeywordMatch>&);
  float threshold_ = -1.0f;
  // Held in place: a single call's scratch lives on its stack, and a separate block for the
  // search would cost a short text an aligned allocation.
  std::optional<FuzzySearch> search_;
  FuzzyMemo memo_;
  ShortKeyMemo short_windows_;  // in front of memo_
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
