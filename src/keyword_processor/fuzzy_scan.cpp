#include "fuzzy_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "interrupt.hpp"
#include "keyword_processor/internal/byte_class.hpp"

namespace wordsieve {

namespace {

// The most of the search's own buffers a kept scratch holds: those of texts of some thousands of
// bytes. Larger ones (a long text's figures, the states of a search at a low threshold) go.
constexpr std::size_t kKeptSearchBytes = std::size_t{1} << 18;
// Starts that went past the table of short windows before it is filled.
constexpr std::uint64_t kSlowStartsBeforeTable = 128;
// Bytes of text per way of the memo made at the start of a scan.
constexpr std::uint64_t kBytesPerMemoWay = 64;
// Texts of a block (64 bytes) or more skip words by a bitmap of their boundary bytes, made a
// block at a time, and guess each next start from it; shorter ones step a byte at a time. The
// block lookup's tables are made once per scratch, which a batch worker and the processor's kept
// scratch carry from text to text, so a text of a few hundred bytes gains as a long one does
// (docs/benchmarks.md, "Lines on the bitmap path").
constexpr std::uint64_t kBoundaryBitmapFrom = 64;

// Byte k of the entry for bits b is 0xFF when bit k of b is set, as a word loaded from memory
// holds its bytes.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
  std::array<std::uint64_t, 256> spread{};
  for (unsigned bits = 0; bits < 256; ++bits) {
    for (unsigned k = 0; k < 8; ++k) {
      if (((bits >> k) & 1U) == 0) continue;
      const unsigned shift = std::endian::native == std::endian::little ? 8 * k : 56 - 8 * k;
      spread[bits] |= std::uint64_t{0xFF} << shift;
    }
  }
  return spread;
}();

// The search never tells one foreign byte from another: no key holds one, so no match step takes
// it and every replace step does, and the look-ahead and the bound ask only whether a byte is
// foreign (docs/fuzzy_search.md, the last section). So the memos know the text with each foreign
// byte replaced by one marker, itself a foreign byte: a word followed by a comma and the same word
// followed by a space share their results and the lists of their keys' parts.
//
// `word`, 8 text bytes as loaded from memory, with those that `foreign` marks (bit k: byte k)
// replaced by the marker of `markers` (8 copies of it).
std::uint64_t marked(std::uint64_t word, std::uint64_t foreign, std::uint64_t markers) noexcept {
  const std::uint64_t mask = kSpread[foreign & 0xFF];
  return (word & ~mask) | (markers & mask);
}

// The first min(left, kInline) bytes of the text at `at` as the memos know them, zeros after.
void marked_window(const unsigned char* s, std::uint64_t at, std::uint64_t left,
                   const FuzzySearch& search, std::uint64_t markers,
                   unsigned char (&window)[FuzzyMemo::kInline]) noexcept {
  std::memset(window, 0, sizeof window);
  std::memcpy(window, s + at, std::min<std::uint64_t>(left, FuzzyMemo::kInline));
  for (std::uint64_t i = 0; i < FuzzyMemo::kInline && i < left; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, window + i, 8);
    const std::uint64_t count = std::min<std::uint64_t>(8, left - i);
    word = marked(word, search.foreign_pattern(at + i, count), markers);
    std::memcpy(window + i, &word, 8);
  }
}

// roundf(similarity * 100) / 100, without the library call: a candidate's similarity lies in
// [0, 1], so the scaled value lies in [0, 100], where truncation through an int is exact and so is
// the fraction it leaves; halves round up, as roundf rounds them away from zero (checked for every
// float of [0, 1]).
float rounded_similarity(float similarity) noexcept {
  const float scaled = similarity * 100.0f;
  const float whole = static_cast<float>(static_cast<int>(scaled));
  return (scaled - whole >= 0.5f ? whole + 1.0f : whole) / 100.0f;
}

// fuzzy_end_rule without overlaps, from the bitmap of boundary bytes (mark_boundaries: a bit for
// each boundary byte and one at the text's end, which does not count here).
bool ends_at_boundary(const unsigned char* s, std::uint64_t n, const std::uint64_t* boundaries,
                      std::uint64_t start, std::uint64_t consumed, std::uint64_t& end) noexcept {
  const std::uint64_t m = trimmed_end(s, start + consumed);
  end = m;
  if (m == n) return true;
  const std::uint64_t word = m >> 6, shift = m & 63;
  std::uint64_t bits = boundaries[word] >> shift;
  if (shift > 61) bits |= boundaries[word + 1] << (64 - shift);  // the bitmap has a word past n's
  const std::uint64_t inside = std::min<std::uint64_t>(3, n - m);  // bytes m, m+1, m+2 in the text
  return (bits & ((std::uint64_t{1} << inside) - 1)) != 0;
}

// The byte after the first boundary byte at or after `from`, in the bitmap of mark_boundaries
// (which has a bit at the text's size n, so there is one): n at most.
WORDSIEVE_ALWAYS_INLINE std::uint64_t after_boundary(const std::uint64_t* boundaries, std::uint64_t n,
                                                     std::uint64_t from) noexcept {
  std::uint64_t at = from >> 6;
  std::uint64_t bits = boundaries[at] & (~std::uint64_t{0} << (from & 63));
  while (bits == 0) bits = boundaries[++at];
  return std::min(n, (at << 6) + static_cast<std::uint64_t>(std::countr_zero(bits)) + 1);
}

// What a lookup of a start takes from the text: the memo's key (the bytes up to and including
// the first foreign byte after the start, at most FuzzyMemo::kKeyMax), whether such a byte lies
// inside that limit, and the table of short windows' first bytes (0 with fewer than its window
// left).
struct StartBytes {
  std::uint64_t at;
  std::uint64_t key;
  std::uint64_t head;
  bool foreign_after;
};

WORDSIEVE_ALWAYS_INLINE void start_bytes(const FuzzySearch& search, const unsigned char* s,
                                         std::uint64_t n, std::uint64_t p, std::uint64_t markers,
                                         StartBytes& out) noexcept {
  const std::uint64_t left = n - p;
  const std::uint64_t key_limit = std::min(left, FuzzyMemo::kKeyMax);
  out.at = p;
  out.key = key_limit;
  out.foreign_after = false;
  if (key_limit > 1) {
    const std::uint64_t after = search.foreign_pattern(p + 1, key_limit - 1);
    if (after != 0) {
      out.key = static_cast<std::uint64_t>(std::countr_zero(after)) + 2;
      out.foreign_after = true;
    }
  }
  out.head = left >= ShortKeyMemo::kWindowMax
                 ? marked(ShortKeyMemo::head(s + p), search.foreign_pattern(p, 8), markers)
                 : 0;
}

}  // namespace

FuzzyScratch::FuzzyScratch(std::size_t memo_ways, std::size_t short_buckets,
                           std::size_t key_part_events)
    : memo_(memo_ways), short_windows_(short_buckets), key_parts_(key_part_events) {}
FuzzyScratch::~FuzzyScratch() = default;

void FuzzyScratch::mark_boundaries(const KeywordProcessor& processor, const unsigned char* s,
                                   std::uint64_t n) {
  if (!boundary_set_ready_) {
    const WordBytes words(processor.non_word_boundaries);
    for (unsigned b = 0; b < 256; ++b) {
      if (!words.is_word(static_cast<unsigned char>(b))) boundary_set_.assign(static_cast<unsigned char>(b), 1);
    }
    simd_ = best_simd_level();
    boundary_set_ready_ = true;
  }
  const std::uint64_t blocks = n / 64;
  boundaries_.resize(blocks + 2);
  std::uint64_t unused[64];
  for (std::uint64_t b = 0; b < blocks; b += 64) {
    const std::uint64_t count = std::min<std::uint64_t>(64, blocks - b);
    boundary_set_.classify(s + 64 * b, count, boundaries_.data() + b, unused, simd_);
    poll_interrupt(64 * count / kBytesPerUnit);
  }
  boundaries_[blocks] = boundaries_[blocks + 1] = 0;
  if (const std::uint64_t tail = n - 64 * blocks; tail != 0) {
    unsigned char last[64] = {};
    std::memcpy(last, s + 64 * blocks, tail);
    boundary_set_.classify(last, 1, &boundaries_[blocks], unused, simd_);
    boundaries_[blocks] &= (std::uint64_t{1} << tail) - 1;
  }
  boundaries_[n >> 6] |= std::uint64_t{1} << (n & 63);
}

std::size_t FuzzyScratch::bytes() const noexcept {
  return boundaries_.capacity() * sizeof(std::uint64_t) + (search_ ? search_->buffer_bytes() : 0) +
         memo_.capacity_bytes() + short_windows_.capacity_bytes() + key_parts_.capacity_bytes() +
         part_events_.capacity() * sizeof(KeyPartEvent);
}

void FuzzyScratch::trim_to_keep(std::size_t limit) noexcept {
  // What grows with the text goes first, then the states of the last searches, then the
  // searches' parts inside their keys, then the remembered results; the next scan makes again
  // what it needs.
  std::vector<std::uint64_t>().swap(boundaries_);
  std::vector<KeyPartEvent>().swap(part_events_);
  std::size_t search_bytes = search_ ? search_->buffer_bytes() : 0;
  if (search_bytes > kKeptSearchBytes) {
    search_.reset();
    search_bytes = 0;
  }
  const std::size_t results = memo_.capacity_bytes() + short_windows_.capacity_bytes();
  if (search_bytes + results + key_parts_.capacity_bytes() > limit) key_parts_.clear();
  if (search_bytes + results > limit) {
    memo_.clear();
    short_windows_.clear();
    slow_starts_ = 0;
  }
}

// The search after the memo missed and the walk of the exact chain found nothing: from the part
// inside the key remembered for the key, or listed now when a search of the key read past it
// before; else whole. `key_bytes`: the key as the memos know it (foreign bytes marked).
bool FuzzyScratch::search_rest(FuzzySearch& search, const unsigned char* key_bytes,
                               std::uint64_t key, std::uint64_t left, unsigned regime,
                               float reached, FuzzyCandidate& candidate) {
  if (key > KeyPartMemo::kKeyMax || !FuzzySearch::key_part_applies(key, left, threshold_)) {
    return search.passes(candidate, reached);
  }
  const KeyPartMemo::Key listed = KeyPartMemo::key_of(key_bytes, key, regime);
  KeyPartMemo::Part part;
  if (!key_parts_.find(listed, part)) {
    if (!key_parts_.wanted(listed) || !search.record_key_part(key, reached, part_events_)) {
      const bool found = search.passes(candidate, reached);
      if (search.bytes_read() > key || search.bits_read() > key) key_parts_.want(listed);
      return found;
    }
    key_parts_.insert(listed, reached, part_events_);
    part = {part_events_.data(), part_events_.size(), reached};
  }
  return search.replay_key_part(key, part.events, part.count, part.reached, candidate);
}

void scan_fuzzy(const KeywordProcessor& processor, std::string_view text, float threshold,
                FuzzyScratch* scratch, std::vector<KeywordMatch>& out) {
  if (scratch != nullptr) {
    scratch->scan(processor, text, threshold, out);
    return;
  }
  // A single call: the processor's kept scratch, or a new one. A scan that fails (an interrupt,
  // no memory) drops it, since its search stopped half-way.
  std::unique_ptr<FuzzyScratch> kept = processor.derived.take_fuzzy_scratch();
  if (kept == nullptr) kept = std::make_unique<FuzzyScratch>();
  kept->scan(processor, text, threshold, out);
  // The bound grows with the keywords only past its floor, which a call that searched little
  // stays under (and then the keyword figures need not be asked for, nor built).
  const std::size_t floor = FuzzyScratch::kept_bytes(0);
  kept->trim_to_keep(kept->bytes() <= floor ? floor
                                            : FuzzyScratch::kept_bytes(processor.derived.keyword_stats(processor).keywords()));
  processor.derived.keep_fuzzy_scratch(std::move(kept));
}

void FuzzyScratch::scan(const KeywordProcessor& processor, std::string_view text, float threshold,
                        std::vector<KeywordMatch>& out) {
  const std::uint64_t n = text.size();
  const TrieNode& root = processor.root;
  if (n == 0 || (root.children.empty() && !root.clean_name.has_value())) return;  // no candidates
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const WordBytes words(processor.non_word_boundaries);
  const bool overlaps = processor.allow_overlaps;

  if (threshold_ != threshold) {
    threshold_ = threshold;
    search_.reset();
    memo_.clear();
    short_windows_.clear();
    key_parts_.clear();
    slow_starts_ = 0;
  }
  if (!search_) {
    search_.emplace(processor, text, threshold);
  } else {
    search_->set_text(text);
  }
  FuzzySearch& search = *search_;
  FuzzyMemo& memo = memo_;
  // A long text fills the memo: its table is made at the size it will reach, about a way per 64
  // bytes of text (4 MiB of ways for 4 MB, at most), rather than grown to it.
  memo.reserve(n / kBytesPerMemoWay);
  const bool by_bitmap = !overlaps && n >= kBoundaryBitmapFrom;
  if (by_bitmap) mark_boundaries(processor, s, n);
  const std::uint64_t* boundaries = boundaries_.data();
  unsigned marker = 0;  // the least foreign byte (any byte when none is foreign: nothing is marked)
  while (marker < 255 && !search.foreign(static_cast<unsigned char>(marker))) ++marker;
  const std::uint64_t markers = marker * 0x0101010101010101ULL;
  unsigned char window[FuzzyMemo::kInline];

  std::uint64_t p = 0;
  unsigned regime = search.regime_at(0);
  StartBytes guessed{n, 0, 0, false};  // at no start yet
  while (p < n) {
    std::uint64_t units = 1;  // for the interrupt poll: the start, and the bytes skipped to it
    if (p > 0 && !overlaps && words.is_word(s[p - 1])) {
      // Inside a word: skip to the byte after the next boundary byte.
      const std::uint64_t word = p;
      if (by_bitmap && p <= guessed.at) {
        // The last start found the first boundary byte at or after itself; p - 1 lies between.
        p = guessed.at;
      } else if (by_bitmap) {
        p = after_boundary(boundaries, n, p - 1);
      } else {
        while (p < n && words.is_word(s[p - 1])) ++p;
      }
      units += (p - word) / kBytesPerUnit;
      if (p == n) {
        poll_interrupt(units);
        return;
      }
    }
    poll_interrupt(units);
    // No keyword is within reach of this start, nor of any later one (cut 7).
    if (!search.keywords_within_reach(p)) return;
    FuzzyCandidate candidate;
    bool found;
    const std::uint64_t left = n - p;
    // The start's key and first bytes, made by the start before when it guessed this one.
    StartBytes here = guessed;
    if (p != here.at) start_bytes(search, s, n, p, markers, here);
    const std::uint64_t key = here.key;
    const std::uint64_t head = here.head;
    if (by_bitmap) {
      // The next start is most likely the byte after the next boundary byte, whatever this one
      // finds (the word skip above then goes there at once). Its key and first bytes are made
      // now, and its bucket of the table of short windows is asked for while this start is looked
      // up: the bucket is a read from a table larger than the first-level cache.
      const std::uint64_t next = after_boundary(boundaries, n, p);
      guessed.at = next;
      if (next < n) {
        start_bytes(search, s, n, next, markers, guessed);
        short_windows_.prefetch(guessed.head, std::min(guessed.key, ShortKeyMemo::kLongKey));
      }
    }
    // A start at a foreign byte (after punctuation) before a short word (cut 9).
    if (here.foreign_after && search.foreign(s[p]) && search.foreign_start_out_of_reach(key - 1)) {
      ++p;
      continue;
    }
    // The table of short windows takes any start with a window's bytes left; of a long key, it
    // keeps only the results whose windows fit.
    const bool short_table = left >= ShortKeyMemo::kWindowMax;
    const std::uint64_t short_size = std::min(key, ShortKeyMemo::kLongKey);
    if (regime != FuzzySearch::kFinalRegime) regime = search.regime_at(p);
    if (!short_table ||
        !short_windows_.find(head, short_size, left, regime, p, search, found, candidate)) {
      search.begin(p);
      marked_window(s, p, left, search, markers, window);
      const FuzzyMemo::Probe probe = FuzzyMemo::probe(window, left, key, regime);
      // A remembered result comes from a start whose walk of the exact chain found nothing, and
      // its window covers what that walk read: the memo goes first, and a hit spares both.
      FuzzyMemo::Result known;
      ShortKeyMemo::Entry kept{false, {}, ~std::uint64_t{0}, 0, 0};  // by default, not kept
      if (memo.find(probe, p, left, search, known)) {
        found = known.found;
        candidate = known.candidate;
        kept = {found, candidate, known.window, known.bits, known.pattern};
      } else if ((found = search.exact_first(candidate))) {
        kept = {true, candidate, search.bytes_read(), 0, 0};
      } else {
        if (search.wants_horizon()) search.set_horizon(key);
        found = search_rest(search, window, key, left, regime, memo.reached(probe), candidate);
        if (!search.saw_end()) {
          const std::uint64_t bytes = search.bytes_read();
          const std::uint64_t bits = search.bits_read() > bytes ? search.bits_read() - bytes : 0;
          memo.insert(probe, p, bytes, bits, search, {found, candidate});
          if (bits <= 64) kept = {found, candidate, bytes, bits, search.foreign_pattern(p + bytes, bits)};
        }
      }
      // A short text would pay more for the table than it gains: it starts after some searches.
      if (short_table && ++slow_starts_ >= kSlowStartsBeforeTable) {
        short_windows_.insert(head, short_size, regime, kept);
      }
    }
    std::uint64_t end = 0;
    if (!found || !(by_bitmap ? ends_at_boundary(s, n, boundaries, p, candidate.consumed, end)
                              : fuzzy_end_rule(text, p, candidate.consumed, words, overlaps, end))) {
      ++p;
      continue;
    }
    const std::uint64_t start = trimmed_start(s, p);
    // A candidate of one trim byte would have its start after its end; it is not reported.
    if (start <= end) {
      out.push_back({candidate.node->clean_name.view(), rounded_similarity(candidate.similarity),
                     start, end});
    }
    p += candidate.consumed;
  }
}

}  // namespace wordsieve
