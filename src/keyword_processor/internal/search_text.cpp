#include "search_text.hpp"

#include "keyword_processor/failure.hpp"
#include "keyword_processor/fuzzy_scan.hpp"
#include "keyword_processor/platform_features.hpp"

namespace wordsieve {

namespace {

constexpr std::size_t kKeptStorage = std::size_t{4} << 20;

struct KeptStorage {
  std::string* storage = nullptr;
  ~KeptStorage() { delete storage; }
};
thread_local KeptStorage kept_holder;
// The hot path reads the pointer in the initial-exec model: one load instead of a call.
WORDSIEVE_FAST_THREAD_LOCAL std::string* kept_storage = nullptr;

}  // namespace

float validated_threshold(std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) fail("Threshold must be between 0 and 1");  // NaN fails too
  return t;
}

LoweredText::LoweredText(std::string_view text, OffsetMap* map) {
  if (kept_storage != nullptr) storage_ = std::move(*kept_storage);
  length_ = normalize_text_into(text, storage_, kScanPadding, map);
}

LoweredText::~LoweredText() {
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

void scan_search_text(const KeywordProcessor& processor, std::string_view search_text, bool padded,
                      float threshold, ScanScratch* scratch, std::vector<KeywordMatch>& out) {
  if (threshold == 1.0f) {
    scan_exact(processor, search_text, padded, scratch, out);
  } else {
    scan_fuzzy(processor, search_text, threshold, scratch != nullptr ? &scratch->fuzzy() : nullptr,
               out);
  }
}

}  // namespace wordsieve
