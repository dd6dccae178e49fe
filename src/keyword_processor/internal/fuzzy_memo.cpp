#include "fuzzy_memo.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace wordsieve {

namespace {

constexpr std::size_t kWords = FuzzyMemo::kInline / 8;

// Copies the first `n` (<= kInline) bytes of the string whose words are `from` to `to`, zeros
// after: a window of kInline bytes of the table below, n bytes of ones and then zeros, masks all
// words at once, without a branch per word.
constexpr auto kOnes = [] {
  std::array<unsigned char, 2 * FuzzyMemo::kInline> ones{};
  for (std::size_t i = 0; i < FuzzyMemo::kInline; ++i) ones[i] = 0xFF;
  return ones;
}();

void first_bytes(const std::uint64_t* from, std::uint64_t n, std::uint64_t* to) noexcept {
  std::uint64_t mask[kWords];
  std::memcpy(mask, kOnes.data() + FuzzyMemo::kInline - n, sizeof mask);
  for (std::size_t i = 0; i < kWords; ++i) to[i] = from[i] & mask[i];
}

// The hash of the string of `n` bytes whose words are `words` (zeros past `n`), kept for a key of
// `key_size` bytes in `regime`.
std::uint64_t hash_of(const std::uint64_t* words, std::uint64_t n, std::uint64_t key_size,
                      unsigned regime) noexcept {
  std::uint64_t h = (words[0] * 0x9E3779B97F4A7C15ULL) ^ (words[1] * 0xC2B2AE3D27D4EB4FULL) ^
                    (words[2] * 0x165667B19E3779F9ULL) ^ (words[3] * 0x85EBCA77C2B2AE63ULL) ^
                    ((n << 16 | key_size << 8 | regime) * 0x27D4EB2F165667C5ULL);
  h ^= h >> 32;
  h *= 0x9E3779B97F4A7C15ULL;
  return h ^ (h >> 29);
}

}  // namespace

FuzzyMemo::Probe FuzzyMemo::probe(const unsigned char* text, std::uint64_t left,
                                  std::uint64_t key_size, unsigned regime) noexcept {
  Probe probe{{}, key_size, regime, 0};
  if (left >= kInline) {
    std::memcpy(probe.words, text, kInline);
  } else {
    std::memcpy(probe.words, text, left);
  }
  std::uint64_t key[kWords];
  first_bytes(probe.words, key_size, key);
  probe.key_hash = hash_of(key, key_size, key_size, regime);
  return probe;
}

void FuzzyMemo::to_front(std::size_t bucket, std::size_t k) noexcept {
  if (k == 0) return;
  Way* ways = &ways_[bucket];
  std::uint32_t* tags = &tags_[bucket];
  const Way way = ways[k];
  const std::uint32_t tag = tags[k];
  std::memmove(ways + 1, ways, k * sizeof(Way));
  std::memmove(tags + 1, tags, k * sizeof(std::uint32_t));
  ways[0] = way;
  tags[0] = tag;
}

FuzzyMemo::Way& FuzzyMemo::push_front(std::uint64_t hash) noexcept {
  const std::size_t bucket = bucket_of(hash);
  Way* ways = &ways_[bucket];
  std::uint32_t* tags = &tags_[bucket];
  std::memmove(ways + 1, ways, (kWays - 1) * sizeof(Way));
  std::memmove(tags + 1, tags, (kWays - 1) * sizeof(std::uint32_t));
  ways[0] = Way{};
  tags[0] = tag_of(hash);
  ++inserted_;
  return ways[0];
}

bool FuzzyMemo::find(const Probe& probe, std::uint64_t at, std::uint64_t left,
                     const FuzzySearch& search, Result& out) noexcept {
  if (ways_.empty()) return false;
  const std::uint64_t key = probe.key_size;
#if defined(__GNUC__)
  __builtin_prefetch(&tags_[bucket_of(probe.key_hash)]);  // windows inside the key: read meanwhile
#endif
  const Entry& listed = entry(probe.key_hash);
  if (listed.tag == tag_of(probe.key_hash)) {
    for (std::size_t p = 0; p < listed.count; ++p) {
      const std::uint64_t window = listed.window[p], bits = listed.bits[p];
      if (window + bits > left) continue;
      const std::uint64_t n = std::max(window, key);
      std::uint64_t words[kWords];
      first_bytes(probe.words, n, words);
      const std::uint64_t hash = n == key ? probe.key_hash : hash_of(words, n, key, probe.regime);
      const std::size_t bucket = bucket_of(hash);
      const std::uint32_t tag = tag_of(hash);
      for (std::size_t k = 0; k < kWays; ++k) {
        if (tags_[bucket + k] != tag) continue;
        const Way& way = ways_[bucket + k];
        if (way.window != window ||
            way.bits != bits || way.key_size != key || way.regime != probe.regime ||
            way.kind == kKey) {
          continue;
        }
        std::uint64_t diff = 0;
        for (std::size_t i = 0; i < kWords; ++i) diff |= words[i] ^ way.words[i];
        if (diff != 0 || (bits != 0 && search.foreign_pattern(at + window, bits) != way.pattern)) {
          continue;
        }
        out.found = way.kind == kFound;
        out.candidate = {way.node, way.consumed, way.value};
        out.window = window;
        out.bits = bits;
        out.pattern = way.pattern;
        to_front(bucket, k);
        return true;
      }
    }
  }
  return false;
}

float FuzzyMemo::reached(const Probe& probe) noexcept {
  if (ways_.empty()) return 0.0f;
  const Way* way = key_way(probe, false);
  return way == nullptr ? 0.0f : way->value;
}

// The key way of the probe's key, or null; with `add`, made when missing.
FuzzyMemo::Way* FuzzyMemo::key_way(const Probe& probe, bool add) noexcept {
  const std::uint32_t tag = tag_of(probe.key_hash);
  std::uint64_t words[kWords];
  first_bytes(probe.words, probe.key_size, words);
  const std::size_t bucket = bucket_of(probe.key_hash);
  Way* ways = &ways_[bucket];
  for (std::size_t k = 0; k < kWays; ++k) {
    if (tags_[bucket + k] != tag) continue;
    const Way& way = ways[k];
    if (way.kind != kKey || way.key_size != probe.key_size ||
        way.regime != probe.regime) {
      continue;
    }
    std::uint64_t diff = 0;
    for (std::size_t i = 0; i < kWords; ++i) diff |= words[i] ^ way.words[i];
    if (diff == 0) return &ways[k];
  }
  if (!add) return nullptr;
  Way& way = push_front(probe.key_hash);
  way.kind = kKey;
  way.key_size = static_cast<std::uint8_t>(probe.key_size);
  way.regime = static_cast<std::uint8_t>(probe.regime);
  std::copy(words, words + kWords, way.words);
  return &way;
}

// Lists the window of result `way` under its key's entry, which a newer key takes over; when the
// entry is full, the oldest pair leaves.
void FuzzyMemo::list(const Way& way, std::uint64_t key_hash) noexcept {
  Entry& listed = entry(key_hash);
  const std::uint32_t tag = tag_of(key_hash);
  if (listed.tag != tag) listed = Entry{tag, 0, {}, {}};
  for (std::size_t p = 0; p < listed.count; ++p) {
    if (listed.window[p] == way.window && listed.bits[p] == way.bits) return;
  }
  if (listed.count == kPairs) {
    std::copy(listed.window + 1, listed.window + kPairs, listed.window);
    std::copy(listed.bits + 1, listed.bits + kPairs, listed.bits);
    --listed.count;
  }
  listed.window[listed.count] = way.window;
  listed.bits[listed.count] = way.bits;
  ++listed.count;
}

void FuzzyMemo::insert(const Probe& probe, std::uint64_t at, std::uint64_t bytes,
                       std::uint64_t bits, const FuzzySearch& search, const Result& result) {
  const std::uint64_t key = probe.key_size;
  const std::uint64_t n = std::max(bytes, key);
  if (n > kInline || bits > 64 || probe.regime > 255 ||
      (result.found && result.candidate.consumed > 255)) {
    return;
  }
  if (ways_.empty()) {
    resize(std::min(kMinBuckets, std::max<std::size_t>(max_ways_ / kWays, 1)));
  } else if (inserted_ * 4 >= ways_.size() && ways_.size() < max_ways_) {
    resize(ways_.size() / kWays * 2);
  }

  if (result.found && result.candidate.consumed < key) {
    Way& known = *key_way(probe, true);
    known.value = std::max(known.value, result.candidate.similarity);
  }
  std::uint64_t words[kWords];
  first_bytes(probe.words, n, words);
  Way& way = push_front(n == key ? probe.key_hash : hash_of(words, n, key, probe.regime));
  if (result.found) {
    way.kind = kFound;
    way.node = result.candidate.node;
    way.value = result.candidate.similarity;
    way.consumed = static_cast<std::uint8_t>(result.candidate.consumed);
  } else {
    way.kind = kResult;
  }
  way.pattern = search.foreign_pattern(at + bytes, bits);
  way.key_size = static_cast<std::uint8_t>(key);
  way.regime = static_cast<std::uint8_t>(probe.regime);
  way.window = static_cast<std::uint8_t>(bytes);
  way.bits = static_cast<std::uint8_t>(bits);
  std::copy(words, words + kWords, way.words);
  list(way, probe.key_hash);
}

// A table of `buckets` buckets and its directory, the ways moved over oldest first so that each
// bucket keeps its newest ways in front.
void FuzzyMemo::resize(std::size_t buckets) {
  std::vector<Way> old(buckets * kWays);
  old.swap(ways_);
  tags_.assign(buckets * kWays, 0);
  directory_.assign(buckets * kWays / 2, Entry{});
  mask_ = buckets - 1;
  for (std::size_t b = 0; b < old.size(); b += kWays) {
    for (std::size_t k = kWays; k-- > 0;) {
      const Way& way = old[b + k];
      if (way.kind == kEmpty) continue;
      const std::uint64_t n = way.kind == kKey ? way.key_size : std::max(way.window, way.key_size);
      push_front(hash_of(way.words, n, way.key_size, way.regime)) = way;
      if (way.kind == kKey) continue;
      std::uint64_t key[kWords];
      first_bytes(way.words, way.key_size, key);
      list(way, hash_of(key, way.key_size, way.key_size, way.regime));
    }
  }
  inserted_ = 0;
}

void FuzzyMemo::reserve(std::size_t ways) {
  if (ways <= kMinBuckets * kWays) return;  // the first table will do: made on the first insertion
  const std::size_t wanted = std::min(max_ways_, std::bit_ceil(ways));
  if (ways_.size() < wanted) resize(std::max<std::size_t>(wanted / kWays, 1));
}

std::size_t FuzzyMemo::size() const noexcept {
  return static_cast<std::size_t>(
      std::count_if(ways_.begin(), ways_.end(), [](const Way& way) { return way.kind != kEmpty; }));
}

void FuzzyMemo::clear() noexcept {
  std::vector<Way>().swap(ways_);
  std::vector<std::uint32_t>().swap(tags_);
  std::vector<Entry>().swap(directory_);
  mask_ = 0;
  inserted_ = 0;
}

}  // namespace wordsieve
