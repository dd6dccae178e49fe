// Structures derived from a processor's keywords and settings, kept on the processor so that the
// searches need not rebuild them on every call.
//
// Every such structure keeps these rules, whatever search it serves:
//   * It is a function of the processor's trie, word-character set and flags alone: a search that
//     uses it gives exactly what the same search would give without it.
//   * It is built by the first search that needs it, not when keywords are added (which would make
//     adding n keywords cost n builds), and is then shared read-only by every search on every
//     thread until the processor changes; a reader pays one atomic load. A batch builds what its
//     searches need on its calling thread before any worker starts (prepare_search, extract.hpp),
//     so that the workers only read.
//   * No lock is held while it is built. One could be left held forever: by a build during which
//     a signal handler (run from the build's interrupt polls) searches the same processor on the
//     same thread, or, in a child forked while another thread was building, by a thread the child
//     does not have. Threads that do ask at once each build one; the first finished is kept, and
//     the others are dropped.
//   * A change to the processor goes through KeywordProcessor's methods, which run while no search
//     is in progress (the binding layer holds the processor exclusively): each either updates the
//     structure in place, when that is cheap and local (one keyword added), or drops it, to be
//     built again by the next search. Code that edits `root` or `non_word_boundaries` directly
//     calls `derived.forget()` afterwards. Moving a processor drops the structures of both sides.
//   * A build that stops half-way (out of memory, interrupted) leaves nothing behind; the next
//     search starts it again. A processor is therefore never left with a stale or partial one.
//
// To add a structure: give it a constructor from the processor (its build) and, if it can follow
// changes in place, `bool keyword_added(const KeywordProcessor&, std::string_view key)` and
// `bool keyword_removed(const KeywordProcessor&, std::string_view key)` returning false when it
// cannot (it is then dropped); add a Lazy<> member to DerivedStructures and a line to each of its
// functions below, and build it in prepare_search (extract.cpp) if the searches of a batch use it.
// A structure that needs the clean name a change replaced or removed takes the KeywordChange as
// well.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace wordsieve {

struct KeywordProcessor;
class ScanIndex;
class KeywordStats;
class FuzzyShape;
class FuzzyScratch;

// What a change to the keyword store replaced: the byte length of the clean name the keyword had
// before it was added again or removed (none when it was not stored).
struct KeywordChange {
  std::optional<std::uint64_t> previous_clean_size;
};

// One structure built on first use; see the rules above.
template <class T>
class Lazy {
 public:
  Lazy() = default;
  ~Lazy() { delete ready_.load(std::memory_order_relaxed); }
  Lazy(const Lazy&) = delete;
  Lazy& operator=(const Lazy&) = delete;

  // The structure, built with `build()` (which returns a std::unique_ptr<T>) if there is none.
  // Safe to call from several threads at once, and again from within `build()` on the same
  // thread, while nothing changes the processor.
  template <class Build>
  const T& get(Build&& build) const {
    if (const T* t = ready_.load(std::memory_order_acquire)) return *t;
    std::unique_ptr<T> built = build();
    T* kept = nullptr;
    if (ready_.compare_exchange_strong(kept, built.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
      return *built.release();
    }
    return *kept;  // another build finished first
  }

  // The structure if it has been built, for updates in place; only while no search runs.
  T* built() noexcept { return ready_.load(std::memory_order_relaxed); }

  // Drops the structure; only while no search runs.
  void forget() noexcept { delete ready_.exchange(nullptr, std::memory_order_relaxed); }

 private:
  mutable std::atomic<T*> ready_{nullptr};
};

// All derived structures of one processor.
class DerivedStructures {
 public:
  DerivedStructures() noexcept;
  // A moved processor has a different trie at the same address, or the same trie at another one:
  // neither side keeps anything.
  DerivedStructures(DerivedStructures&&) noexcept;
  DerivedStructures& operator=(DerivedStructures&&) noexcept;
  ~DerivedStructures();

  // The exact search's tables (scan_index.hpp), built if needed.
  const ScanIndex& scan_index(const KeywordProcessor& processor) const;
  // The keyword figures the fuzzy search bounds its work with (keyword_stats.hpp), built if needed.
  const KeywordStats& keyword_stats(const KeywordProcessor& processor) const;
  // The trie's shape the fuzzy search prunes with (fuzzy_shape.hpp), built if needed.
  const FuzzyShape& fuzzy_shape(const KeywordProcessor& processor) const;

  // The fuzzy scan's work space left by the last single call (fuzzy_scan.cpp), taken out for the
  // next one, which keeps it here again when it is done: its remembered results serve a loop of
  // calls on short texts as they serve one long text. Not one of the structures above (each call
  // takes it for itself, and a call that finds none makes its own), but it follows their rules:
  // it holds results of this processor as it is now and goes with every change.
  std::unique_ptr<FuzzyScratch> take_fuzzy_scratch() const noexcept;
  void keep_fuzzy_scratch(std::unique_ptr<FuzzyScratch> scratch) const noexcept;

  // Called by the processor after each change, with no search in progress.
  void keyword_added(const KeywordProcessor& processor, std::string_view key, KeywordChange change);
  void keyword_removed(const KeywordProcessor& processor, std::string_view key, KeywordChange change);
  void forget() noexcept;

 private:
  Lazy<ScanIndex> scan_;
  Lazy<KeywordStats> stats_;
  Lazy<FuzzyShape> shape_;
  void drop_fuzzy_scratch() noexcept;
  mutable std::atomic<FuzzyScratch*> fuzzy_scratch_{nullptr};
};

}  // namespace wordsieve
