#include "derived.hpp"

#include "fuzzy_shape.hpp"
#include "keyword_processor/fuzzy_scan.hpp"
#include "keyword_stats.hpp"
#include "scan_index.hpp"

namespace wordsieve {

DerivedStructures::DerivedStructures() noexcept = default;
DerivedStructures::DerivedStructures(DerivedStructures&& other) noexcept { other.forget(); }
DerivedStructures& DerivedStructures::operator=(DerivedStructures&& other) noexcept {
  forget();
  other.forget();
  return *this;
}
DerivedStructures::~DerivedStructures() { drop_fuzzy_scratch(); }

// Its results were the trie's before the change.
void DerivedStructures::drop_fuzzy_scratch() noexcept {
  delete fuzzy_scratch_.exchange(nullptr, std::memory_order_acquire);
}

std::unique_ptr<FuzzyScratch> DerivedStructures::take_fuzzy_scratch() const noexcept {
  return std::unique_ptr<FuzzyScratch>(fuzzy_scratch_.exchange(nullptr, std::memory_order_acquire));
}

void DerivedStructures::keep_fuzzy_scratch(std::unique_ptr<FuzzyScratch> scratch) const noexcept {
  FuzzyScratch* none = nullptr;
  // Another call on another thread may have kept its own meanwhile: then this one goes.
  if (fuzzy_scratch_.compare_exchange_strong(none, scratch.get(), std::memory_order_release,
                                             std::memory_order_relaxed)) {
    scratch.release();
  }
}

const ScanIndex& DerivedStructures::scan_index(const KeywordProcessor& processor) const {
  return scan_.get([&] { return std::make_unique<ScanIndex>(processor); });
}

const KeywordStats& DerivedStructures::keyword_stats(const KeywordProcessor& processor) const {
  return stats_.get([&] { return std::make_unique<KeywordStats>(processor); });
}

const FuzzyShape& DerivedStructures::fuzzy_shape(const KeywordProcessor& processor) const {
  return shape_.get([&] { return std::make_unique<FuzzyShape>(processor); });
}

void DerivedStructures::keyword_added(const KeywordProcessor& processor, std::string_view key,
                                      KeywordChange change) {
  drop_fuzzy_scratch();
  if (ScanIndex* index = scan_.built(); index != nullptr && !index->keyword_added(processor, key)) {
    scan_.forget();
  }
  if (KeywordStats* stats = stats_.built();
      stats != nullptr && !stats->keyword_added(processor, key, change)) {
    stats_.forget();
  }
  if (FuzzyShape* shape = shape_.built();
      shape != nullptr && !shape->keyword_added(processor, key, change.previous_clean_size)) {
    shape_.forget();
  }
}

void DerivedStructures::keyword_removed(const KeywordProcessor& processor, std::string_view key,
                                        KeywordChange change) {
  drop_fuzzy_scratch();
  if (ScanIndex* index = scan_.built(); index != nullptr && !index->keyword_removed(processor, key)) {
    scan_.forget();
  }
  if (KeywordStats* stats = stats_.built();
      stats != nullptr && !stats->keyword_removed(processor, key, change)) {
    stats_.forget();
  }
  if (FuzzyShape* shape = shape_.built(); shape != nullptr && !shape->keyword_removed(processor, key)) {
    shape_.forget();
  }
}

void DerivedStructures::forget() noexcept {
  scan_.forget();
  stats_.forget();
  shape_.forget();
  drop_fuzzy_scratch();
}

}  // namespace wordsieve
