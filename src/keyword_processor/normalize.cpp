// Lowercasing of whole texts. Most texts are mostly ASCII, so ASCII is converted a block at a time
// (byte_blocks.hpp) with no tables; only characters outside ASCII reach the Unicode tables.
#include "normalize.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "failure.hpp"
#include "interrupt.hpp"
#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/internal/unicode_tables.hpp"

namespace wordsieve {
namespace {

namespace ut = unicode_tables;

constexpr std::uint32_t kCapitalSigma = 0x03A3;
constexpr char kSmallSigma[2] = {'\xCF', '\x83'};  // U+03C3
constexpr char kFinalSigma[2] = {'\xCF', '\x82'};  // U+03C2

// ---- ASCII ---------------------------------------------------------------------------------

inline char lower_ascii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// One character's bytes: short enough that a library call would cost more than the copy.
template <typename Byte>
inline void copy_small(char* dst, const Byte* src, std::uint32_t len) noexcept {
  for (std::uint32_t k = 0; k < len; ++k) dst[k] = static_cast<char>(src[k]);
}

// ---- UTF-8 decoding -------------------------------------------------------------------------

struct Decoded {
  std::uint32_t cp;
  std::uint32_t len;  // 0: not a well-formed sequence
};

// Decodes the character at the start of `s` (`avail` > 0 bytes) by the well-formed byte sequences
// of the Unicode standard; never reads beyond `avail`.
inline Decoded decode(const unsigned char* s, std::size_t avail) noexcept {
  const unsigned char b = s[0];
  if (b < 0x80) return {b, 1};
  if (b >= 0xC2 && b <= 0xDF) {
    if (avail < 2 || (s[1] & 0xC0) != 0x80) return {0, 0};
    return {(std::uint32_t{b} & 0x1F) << 6 | (s[1] & 0x3Fu), 2};
  }
  if (b >= 0xE0 && b <= 0xEF) {
    if (avail < 3) return {0, 0};
    const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b == 0xED ? 0x9F : 0xBF;
    if (s[1] < lo || s[1] > hi || (s[2] & 0xC0) != 0x80) return {0, 0};
    return {(std::uint32_t{b} & 0x0F) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu), 3};
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (avail < 4) return {0, 0};
    const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < lo || s[1] > hi || (s[2] & 0xC0) != 0x80 || (s[3] & 0xC0) != 0x80) return {0, 0};
    return {(std::uint32_t{b} & 0x07) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 |
                (s[3] & 0x3Fu),
            4};
  }
  return {0, 0};
}

// Decodes the character that ends right before `end` (> 0). A byte that is not the end of a
// well-formed sequence counts as one invalid byte, exactly as the forward scan would see it:
// forward decoding starts anew at every byte that is not a continuation byte.
inline Decoded decode_before(const unsigned char* s, std::size_t end) noexcept {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && (s[start] & 0xC0) == 0x80) --start;
  const Decoded d = decode(s + start, end - start);
  if (d.len == end - start) return d;
  return {0, 0};
}

// ---- Unicode tables -------------------------------------------------------------------------

inline bool in_ranges(const ut::CodeRange* ranges, std::size_t count, std::uint32_t cp) noexcept {
  const ut::CodeRange* end = ranges + count;
  const ut::CodeRange* r =
      std::partition_point(ranges, end, [cp](const ut::CodeRange& x) { return x.last < cp; });
  return r != end && r->first <= cp;
}

inline bool is_cased(std::uint32_t cp) noexcept {
  if (cp < 0x80) return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  return in_ranges(ut::kCased, ut::kCasedCount, cp);
}

inline bool is_case_ignorable(std::uint32_t cp) noexcept {
  if (cp < 0x80) return cp == '\'' || cp == '.' || cp == ':' || cp == '^' || cp == '`';
  return in_ranges(ut::kCaseIgnorable, ut::kCaseIgnorableCount, cp);
}

inline const ut::LowerForm* find_lower(std::uint32_t cp) noexcept {
  const std::uint32_t page = cp >> 8;
  if (page >= ut::kLowerPageCount) return nullptr;
  const std::uint32_t* first = ut::kLowerFrom + ut::kLowerPageStart[page];
  const std::uint32_t* const end = ut::kLowerFrom + ut::kLowerPageStart[page + 1];
  // Branch-free lower bound: the comparisons on text of a cased script are unpredictable.
  for (std::size_t len = static_cast<std::size_t>(end - first); len > 1;) {
    const std::size_t half = len / 2;
    first = first[half] < cp ? first + half : first;
    len -= half;
  }
  if (first != end && *first < cp) ++first;
  if (first == end || *first != cp) return nullptr;
  return &ut::kLowerForms[first - ut::kLowerFrom];
}

// The Final_Sigma condition for the capital sigma occupying [start, start + 2) of the whole input.
// It is only evaluated at a capital sigma, and each scan stops at the first character that is not
// Case_Ignorable, so over a whole text every byte is scanned a bounded number of times. A byte
// that is not valid UTF-8 counts as a character that is neither Cased nor Case_Ignorable.
bool final_sigma_holds(const unsigned char* s, std::size_t n, std::size_t start) noexcept {
  std::size_t p = start;
  for (;;) {
    if (p == 0) return false;
    const Decoded d = decode_before(s, p);
    if (d.len == 0) return false;
    if (!is_case_ignorable(d.cp)) {
      if (!is_cased(d.cp)) return false;
      break;
    }
    p -= d.len;
  }
  for (p = start + 2; p < n;) {
    const Decoded d = decode(s + p, n - p);
    if (d.len == 0) return true;
    if (!is_case_ignorable(d.cp)) return !is_cased(d.cp);
    p += d.len;
  }
  return true;
}

// ---- Characters that lowercasing changes -------------------------------------------------------

// The (lead byte, second byte) pairs that begin a character which lowercasing changes, or the
// capital sigma, whose form depends on what surrounds it: 8 KiB, made once from the lowercase
// table. A character whose first two bytes are not among them comes out as it went in, and so do
// bytes that are not valid UTF-8, so such a character is copied without being decoded. Most
// non-ASCII characters of a text (punctuation, symbols, scripts without case, lowercase letters)
// take this way.
class ChangingPairs {
 public:
  ChangingPairs() noexcept {
    for (std::size_t i = 0; i < ut::kLowerCount; ++i) add(ut::kLowerFrom[i]);
    add(kCapitalSigma);
  }

  bool may_change(unsigned char lead, unsigned char second) const noexcept {
    const unsigned pair = unsigned{lead} << 8 | second;
    return ((bits_[pair >> 6] >> (pair & 63)) & 1U) != 0;
  }

 private:
  void add(std::uint32_t cp) noexcept {
    unsigned lead;
    unsigned second;
    if (cp < 0x800) {
      lead = 0xC0 | (cp >> 6);
      second = 0x80 | (cp & 0x3F);
    } else if (cp < 0x10000) {
      lead = 0xE0 | (cp >> 12);
      second = 0x80 | ((cp >> 6) & 0x3F);
    } else {
      lead = 0xF0 | (cp >> 18);
      second = 0x80 | ((cp >> 12) & 0x3F);
    }
    const unsigned pair = lead << 8 | second;
    bits_[pair >> 6] |= std::uint64_t{1} << (pair & 63);
  }

  std::uint64_t bits_[65536 / 64] = {};
};

const ChangingPairs& changing_pairs() noexcept {
  static const ChangingPairs pairs;
  return pairs;
}

// ---- The conversion -------------------------------------------------------------------------

// Writes into a buffer that is kept at least as long as the output so far plus the input not yet
// read. Every ASCII block and every character that does not grow therefore fits without a check;
// only the three characters that grow (2 to 3 bytes) ask for room.
class Lowercaser {
 public:
  static constexpr std::size_t kSlice = 64 * 1024;
  static constexpr std::size_t kRoomForGrowth = 1 << 20;

  // Writes into `storage`, grown to the input's length plus `padding` when it is shorter. With
  // `done`, the first `done` bytes are ASCII and already written.
  Lowercaser(std::string_view text, OffsetMap* map, std::string&& storage = {}, std::size_t padding = 0,
             std::size_t done = 0)
      : in_(reinterpret_cast<const unsigned char*>(text.data())), n_(text.size()), map_(map), padding_(padding),
        out_(std::move(storage)), i_(done), o_(done) {
    // A long text gets room for the longest possible output (a character grows by half at most,
    // 2 bytes to 3), so that growing never copies what is written: the room past the input's length
    // is only address space until a growing character needs it.
    if (n_ >= kRoomForGrowth && out_.capacity() < n_ + n_ / 2 + padding_) {
      out_.reserve(n_ + n_ / 2 + padding_);
    }
    if (out_.size() < n_ + padding_) out_.resize(n_ + padding_);
    dst_ = out_.data();
  }

  // The output's length; `out_` holds it and at least `padding_` more bytes.
  std::size_t run_into() {
    run_loop();
    make_room(o_ + padding_);
    return o_;
  }

  std::string run() && {
    run_loop();
    out_.resize(o_);
    return std::move(out_);
  }

  std::string take() && { return std::move(out_); }

 private:
  void run_loop() {
    std::size_t next_poll = 0;  // a poll for interruption every kSlice bytes
    while (i_ < n_) {
      if (i_ >= next_poll) {
        poll_interrupt(kSlice / kBytesPerUnit);
        next_poll = i_ + kSlice;
      }
      if (in_[i_] >= 0x80) {
        if (i_ + 1 < n_ && !changing_.may_change(in_[i_], in_[i_ + 1])) {
          // Unchanged: the lead byte and the continuation bytes after it, as they are.
          std::size_t k = 1;
          while (k < 4 && i_ + k < n_ && (in_[i_ + k] & 0xC0) == 0x80) ++k;
          copy_small(dst_ + o_, in_ + i_, static_cast<std::uint32_t>(k));
          i_ += k;
          o_ += k;
        } else {
          convert_non_ascii();
        }
      } else if (n_ - i_ >= 16) {
        // ASCII a block at a time, up to the next poll. The first byte is ASCII, so this always
        // advances.
        const std::size_t span = std::min(n_ - i_, std::max<std::size_t>(next_poll - i_, 16));
        const std::size_t k =
            lower_ascii_prefix(in_ + i_, span, reinterpret_cast<unsigned char*>(dst_ + o_), simd_);
        i_ += k;
        o_ += k;
      } else {
        dst_[o_++] = lower_ascii(static_cast<char>(in_[i_++]));
      }
    }
  }

  // The byte at i_ is not ASCII.
  void convert_non_ascii() {
    const Decoded d = decode(in_ + i_, n_ - i_);
    if (d.len == 0) {
      dst_[o_++] = static_cast<char>(in_[i_++]);
      return;
    }
    if (d.cp == kCapitalSigma) {
      std::memcpy(dst_ + o_, final_sigma_holds(in_, n_, i_) ? kFinalSigma : kSmallSigma, 2);
    } else if (const ut::LowerForm* form = find_lower(d.cp)) {
      write_changed(*form, d.len);
      return;
    } else {
      copy_small(dst_ + o_, in_ + i_, d.len);
    }
    o_ += d.len;
    i_ += d.len;
  }

  void write_changed(const ut::LowerForm& form, std::uint32_t in_len) {
    if (form.len != in_len) {
      if (form.len > in_len) make_room(o_ + form.len + (n_ - i_ - in_len));
      if (map_ != nullptr) map_->record({o_, form.len, in_len, i_});
    }
    copy_small(dst_ + o_, form.bytes, form.len);
    o_ += form.len;
    i_ += in_len;
  }

  void make_room(std::size_t needed) {
    if (needed <= out_.size()) return;
    // Geometric growth keeps a text made only of growing characters linear; within the room
    // reserved, nothing moves.
    out_.resize(std::max(needed, std::min(out_.capacity(), out_.size() + out_.size() / 4 + 16)));
    dst_ = out_.data();
  }

  const unsigned char* in_;
  std::size_t n_;
  OffsetMap* map_;
  std::size_t padding_;
  std::string out_;
  char* dst_ = nullptr;
  SimdLevel simd_ = best_simd_level();
  const ChangingPairs& changing_ = changing_pairs();
  std::size_t i_;  // read position in the input
  std::size_t o_;  // write position in the output
};

}  // namespace

std::string normalize_text(std::string_view text) { return Lowercaser(text, nullptr).run(); }

std::string normalize_text(std::string_view text, OffsetMap& map) {
  map.clear();
  return Lowercaser(text, &map).run();
}

std::size_t normalize_text_into(std::string_view text, std::string& out, std::size_t padding, OffsetMap* map) {
  if (map != nullptr) map->clear();
  // Most short texts are ASCII: lowercased in one pass, up to a slice between two polls.
  if (out.size() < text.size() + padding) out.resize(text.size() + padding);
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t done = lower_ascii_prefix(in, std::min(text.size(), Lowercaser::kSlice),
                                              reinterpret_cast<unsigned char*>(out.data()), best_simd_level());
  if (done == text.size()) return done;
  Lowercaser lowercaser(text, map, std::move(out), padding, done);
  std::size_t length = 0;
  try {
    length = lowercaser.run_into();
  } catch (...) {
    out = std::move(lowercaser).take();
    throw;
  }
  out = std::move(lowercaser).take();
  return length;
}

// A change's code: its two lengths less one in the low four bits, the low three bits of its
// distance from the change before, and in the top bit whether the rest of the distance follows,
// seven bits a byte, lowest first, each but the last with its top bit set.
void OffsetMap::record(const Change& change) {
  const std::uint64_t gap = change.out_start - out_end_;
  if (change.out_start < out_end_ || change.in_start < in_end_ || change.in_start - in_end_ != gap ||
      change.out_len - 1 > 3 || change.in_len - 1 > 3) {
    fail("offset map: a change out of order or of an impossible length");
  }
  if (count_ % kCheckpointEvery == 0) checkpoints_.push_back({codes_.size(), out_end_, in_end_});
  codes_.push_back(static_cast<unsigned char>((change.in_len - 1) | (change.out_len - 1) << 2 |
                                              (gap & 7) << 4 | (gap > 7 ? 0x80 : 0)));
  for (std::uint64_t rest = gap >> 3; rest != 0; rest >>= 7) {
    codes_.push_back(static_cast<unsigned char>((rest & 0x7F) | (rest > 0x7F ? 0x80 : 0)));
  }
  ++count_;
  out_end_ = change.out_start + change.out_len;
  in_end_ = change.in_start + change.in_len;
}

void OffsetMap::clear() noexcept {
  codes_.clear();
  checkpoints_.clear();
  count_ = 0;
  out_end_ = 0;
  in_end_ = 0;
}

std::optional<std::uint64_t> OffsetMap::to_input(std::uint64_t offset) const noexcept {
  Cursor cursor(*this);
  cursor.last_query_ = offset;
  cursor.restart(offset);
  return cursor.to_input(offset);
}

void OffsetMap::Cursor::restart(std::uint64_t offset) noexcept {
  // The last checkpoint at or before `offset`: every change before it ends at or before `offset`.
  const auto& checkpoints = map_->checkpoints_;
  const auto after = std::upper_bound(checkpoints.begin(), checkpoints.end(), offset,
                                      [](std::uint64_t o, const Checkpoint& c) { return o < c.out; });
  pending_ = false;
  if (after == checkpoints.begin()) {
    index_ = code_ = out_ = in_ = 0;
    return;
  }
  const Checkpoint& c = *(after - 1);
  index_ = static_cast<std::uint64_t>(after - 1 - checkpoints.begin()) * kCheckpointEvery;
  code_ = c.code;
  out_ = c.out;
  in_ = c.in;
}

bool OffsetMap::Cursor::next_change() noexcept {
  if (pending_) return true;
  if (index_ >= map_->count_) return false;
  const auto& codes = map_->codes_;
  std::uint64_t at = code_;
  const unsigned char head = codes[at++];
  std::uint64_t gap = (head >> 4) & 7;
  if ((head & 0x80) != 0) {
    std::uint64_t rest = 0;
    int shift = 0;
    unsigned char byte;
    do {
      byte = codes[at++];
      rest |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      shift += 7;
    } while ((byte & 0x80) != 0);
    gap |= rest << 3;
  }
  next_in_len_ = (head & 3U) + 1;
  next_out_len_ = ((head >> 2) & 3U) + 1;
  next_out_ = out_ + gap;
  next_in_ = in_ + gap;
  code_ = at;
  pending_ = true;
  return true;
}

std::optional<std::uint64_t> OffsetMap::Cursor::to_input(std::uint64_t offset) noexcept {
  if (offset < last_query_) restart(offset);
  last_query_ = offset;
  // Passes the changes that start before `offset`; the last of them decides.
  while (next_change() && next_out_ < offset) {
    if (offset < next_out_ + next_out_len_) return std::nullopt;  // inside a changed character
    out_ = next_out_ + next_out_len_;
    in_ = next_in_ + next_in_len_;
    ++index_;
    pending_ = false;
  }
  const std::uint64_t rest = offset - out_;
  if (rest > std::numeric_limits<std::uint64_t>::max() - in_) return std::nullopt;
  return in_ + rest;
}

}  // namespace wordsieve
