#include "extract.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "keyword_processor/internal/byte_class.hpp"
#include "exact_scan.hpp"
#include "extract_mapped.hpp"
#include "failure.hpp"
#include "fuzzy_scan.hpp"
#include "interrupt.hpp"
#include "normalize.hpp"
#include "platform_features.hpp"

namespace wordsieve {

namespace {

float validated_threshold(std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) fail("Threshold must be between 0 and 1");  // NaN fails too
  return t;
}

// The lowercased search text of a call, in storage that the calling thread keeps for its next call
// (up to 4 MiB; a thread holds at most that much, freed when the thread ends): the search text of
// a short text then costs no allocation, and that of a long one no zero-filling and no fresh pages.
// A nested use (none exists; the engine calls no one back) would only find no storage.
constexpr std::size_t kKeptStorage = std::size_t{4} << 20;

struct KeptStorage {
  std::string* storage = nullptr;
  ~KeptStorage() { delete storage; }
};
thread_local KeptStorage kept_holder;
// The hot path reads the pointer in the initial-exec model: one load instead of a call.
WORDSIEVE_FAST_THREAD_LOCAL std::string* kept_storage = nullptr;

class LoweredText {
 public:
  LoweredText(std::string_view text, OffsetMap* map) {
    if (kept_storage != nullptr) storage_ = std::move(*kept_storage);
    length_ = normalize_text_into(text, storage_, kScanPadding, map);
  }
  ~LoweredText() {
    if (storage_.capacity() > kKeptStorage) return;
    if (kept_storage == nullptr) {
      try {
        kept_holder.storage = kept_storage = new std::string();
      } catch (...) {
        return;
      }
    }
    *kept_storage = std::move(storage_);
  }
  LoweredText(const LoweredText&) = delete;
  LoweredText& operator=(const LoweredText&) = delete;

  // The search text; kScanPadding bytes after it may be read.
  std::string_view view() const noexcept { return {storage_.data(), length_}; }

 private:
  std::string storage_;
  std::size_t length_ = 0;
};

// `padded`: kScanPadding bytes after the search text may be read.
void scan(const KeywordProcessor& processor, std::string_view search_text, bool padded, float threshold,
          ScanScratch* scratch, std::vector<KeywordMatch>& out) {
  if (threshold == 1.0f) {
    scan_exact(processor, search_text, padded, scratch, out);
  } else {
    scan_fuzzy(processor, search_text, threshold, scratch != nullptr ? &scratch->fuzzy() : nullptr,
               out);
  }
}

std::vector<KeywordMatch> scan(const KeywordProcessor& processor, std::string_view search_text,
                               bool padded, float threshold, ScanScratch* scratch) {
  std::vector<KeywordMatch> out;
  scan(processor, search_text, padded, threshold, scratch, out);
  return out;
}

}  // namespace

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold, ScanScratch* scratch) {
  const float t = validated_threshold(threshold);
  if (processor.case_sensitive || text.empty()) return scan(processor, text, false, t, scratch);
  const LoweredText search_text(text, nullptr);
  return scan(processor, search_text.view(), true, t, scratch);
}

void extract_keywords(const KeywordProcessor& processor, std::string_view text,
                      std::optional<float> threshold, ScanScratch* scratch, std::vector<KeywordMatch>& out) {
  const float t = validated_threshold(threshold);
  if (processor.case_sensitive || text.empty()) return scan(processor, text, false, t, scratch, out);
  const LoweredText search_text(text, nullptr);
  scan(processor, search_text.view(), true, t, scratch, out);
}

std::vector<KeywordMatch> extract_keywords_mapped(const KeywordProcessor& processor,
                                                  std::string_view text,
                                                  std::optional<float> threshold, OffsetMap& map,
                                                  ScanScratch* scratch) {
  const float t = validated_threshold(threshold);
  if (processor.case_sensitive) {
    map.clear();
    return scan(processor, text, false, t, scratch);
  }
  const LoweredText search_text(text, &map);
  return scan(processor, search_text.view(), true, t, scratch);
}

void prepare_search(const KeywordProcessor& processor, std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  const TrieNode& root = processor.root;
  if (t == 1.0f) {
    if (!root.children.empty()) processor.derived.scan_index(processor);
  } else if (t >= 0.0f && t < 1.0f && (!root.children.empty() || root.clean_name.has_value())) {
    processor.derived.keyword_stats(processor);
  }
}

}  // namespace wordsieve
