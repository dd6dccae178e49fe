// The process-wide pool of native worker threads behind the batch methods.
//
// The pool runs a callable over an index range [0, n) and blocks the calling thread until every
// index is done. The range is divided evenly among the workers that take part; a worker whose share
// runs out takes over the upper half of another worker's remaining share, so a few slow indices do
// not hold the rest back. Each share is processed in increasing index order by one thread.
//
// Workers never touch Python. They sleep (thread_park.hpp) while there is no work and, for the
// global pool, live until the process ends.
//
// Interruption (keyword_processor/interrupt.hpp): while the workers run, the calling thread wakes
// at least every kCallerPollInterval and calls its own interrupt check. When the check stops the
// call (or anything else makes it fail), the workers take no further indices, and engine work
// already under way on them stops at its next poll: each worker runs its indices under a check
// that asks to stop once the call has failed. The caller waits for them to leave, then rethrows.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "cpu_count.hpp"
#include "os_thread.hpp"

namespace wordsieve {

// The pool size from the two environment values (null when unset) and the number of logical
// processors. A value is a number when it is an optional '+' and one or more ASCII digits that fit
// in 64 bits. RAYON_NUM_THREADS >= 1 is the size, 0 selects the default, anything else falls through
// to RAYON_RS_NUM_CPUS (>= 1 is the size, anything else the default). The default is the number of
// logical processors, at least 1. The result is capped at 65535.
std::size_t pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                      std::size_t logical_cpus);

// Every message about a pool that could not be started begins with this sentence.
inline constexpr const char kPoolNotInitialized[] = "The global thread pool has not been initialized.";

class WorkerPool {
 public:
  static constexpr std::size_t kMaxThreads = 65535;
  // Shares are packed as two 32-bit halves of one atomic word; longer ranges run in blocks.
  static constexpr std::size_t kMaxBlock = 0xFFFF'FFFF;

  // Starts `threads` workers (at least 1, at most kMaxThreads). If a thread cannot be created, the
  // ones already started are stopped and joined, and the constructor fails with an InternalFailure
  // whose message begins with kPoolNotInitialized. `max_block` bounds the indices handed out in
  // one round; only tests lower it.
  explicit WorkerPool(std::size_t threads, std::size_t max_block = kMaxBlock);
  // Stops and joins the workers. Must not run while a call is in progress. The global pool is never
  // destroyed.
  ~WorkerPool();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The process-wide pool, started on first use with the size from the environment. A failed start
  // is not retried: every later call fails with the same InternalFailure. A child process created by
  // fork() gets a pool of its own on first use, of the size decided in the parent.
  static WorkerPool& global();

  std::size_t size() const noexcept { return size_; }

  // The calling thread's index among this pool's workers, or size() on any other thread (a caller
  // running indices itself). For work space of one thread in a run's callable.
  std::size_t worker_index() const noexcept;

  // The longest the calling thread sleeps between two calls of its interrupt check.
  static constexpr std::chrono::milliseconds kCallerPollInterval{5};

  // Calls f(i) once for every i in [0, n), from several threads at once, and returns when all calls
  // are done. The calls run on the calling thread instead when n <= 1, when called from one of
  // this pool's own workers, and when the pool is busy with another call: from another thread, or
  // from code that this thread runs while it waits (its interrupt check may run a signal handler).
  // A caller that waited for a busy pool could hold what the running call needs to finish (the
  // interpreter lock, for the binding). The first exception thrown by any call, or by the
  // caller's interrupt check, is rethrown here after every worker has left the call; once it is
  // thrown the remaining indices may be skipped. The pool stays usable.
  template <class F>
  void run(std::size_t n, F&& f) {
    using Fn = std::remove_reference_t<F>;
    run_erased(n, const_cast<void*>(static_cast<const void*>(std::addressof(f))),
               [](void* context, std::size_t index) { (*static_cast<Fn*>(context))(index); }, nullptr,
               nullptr);
  }

  // Like run(), and meanwhile the calling thread calls collect(i) once for every i whose f(i) has
  // returned, in no particular order, as the calls finish: the caller's share of the work (turning
  // results into its own form) overlaps the workers' instead of following it. collect(i) returns
  // false to stop the call: the workers take no further indices, and false is returned once they
  // have left. An exception from collect stops the call the same way and is rethrown. When f
  // throws, collect is not called for that index, remaining indices may be skipped, and the
  // exception is rethrown after every worker has left. Returns true when every index was collected.
  template <class F, class C>
  bool run_collecting(std::size_t n, F&& f, C&& collect) {
    using Fn = std::remove_reference_t<F>;
    using Cn = std::remove_reference_t<C>;
    return run_erased(
        n, const_cast<void*>(static_cast<const void*>(std::addressof(f))),
        [](void* context, std::size_t index) { (*static_cast<Fn*>(context))(index); },
        const_cast<void*>(static_cast<const void*>(std::addressof(collect))),
        [](void* context, std::size_t index) { return static_cast<bool>((*static_cast<Cn*>(context))(index)); });
  }

 private:
  using IndexFn = void (*)(void* context, std::size_t index);
  using CollectFn = bool (*)(void* context, std::size_t index);
  struct Worker;

  bool run_erased(std::size_t n, void* context, IndexFn fn, void* collect_context, CollectFn collect);
  bool run_block(std::size_t base, std::size_t count, void* context, IndexFn fn, void* collect_context,
                 CollectFn collect);
  bool collect_while_running(void* collect_context, CollectFn collect);
  void wait_while_running();
  void stop_and_wait() noexcept;
  bool forked() const noexcept;  // this process is a child forked since the pool started
  void fail_if_forked() const;
  static bool call_failed(void* pool);
  bool collect_finished(void* collect_context, CollectFn collect);
  void publish_finished(std::size_t offset) noexcept;
  void worker_main(std::size_t self);
  void take_part(std::size_t self);
  bool steal(std::size_t self);
  void wake_children(std::size_t parent_slot);
  void stop_started(std::size_t started) noexcept;

  static void thread_entry(void* worker);

  std::size_t size_;
  std::size_t max_block_;
  std::unique_ptr<Worker[]> workers_;
  std::uint64_t process_;  // the process whose threads these are

  std::mutex call_mutex_;  // one call at a time
  std::atomic<bool> stopping_{false};

  // State of the call in progress. Written by the caller before it wakes the workers and read by
  // them afterwards; the wake-up and the `active_` count order those accesses.
  IndexFn fn_ = nullptr;
  void* context_ = nullptr;
  std::size_t base_ = 0;
  std::size_t count_ = 0;
  std::size_t participants_ = 0;
  std::atomic<std::size_t> finished_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
  std::atomic<std::uint32_t> active_{0};

  // Collecting calls only. Finished indices (offsets from `base_`) form a stack that workers push
  // onto and the caller empties at once: `finished_links_[k]` is the offset pushed before k.
  // `progress_` counts finished indices and departed workers; the caller sleeps on it and is woken
  // every `wake_every_` indices and when a worker leaves, not once per index.
  static constexpr std::size_t kNoIndex = ~std::size_t{0};
  bool collecting_ = false;
  std::size_t* finished_links_ = nullptr;  // `count_` entries, owned by the call
  std::atomic<std::size_t> finished_head_{kNoIndex};
  std::atomic<std::uint32_t> progress_{0};
  std::uint32_t wake_every_ = 1;
};

namespace detail {

// Lazy, process-wide start of a pool, as used by WorkerPool::global(). Kept separate so that the
// start-once and after-fork behaviour can be tested with a size of the test's choosing.
class LazyPool {
 public:
  explicit LazyPool(std::size_t (*decide_size)()) : decide_size_(decide_size) {}
  WorkerPool& get();

  // For fork handlers: the child must not inherit the lock held by a thread starting the pool.
  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }

 private:
  std::size_t (*decide_size_)();
  std::mutex mutex_;
  WorkerPool* pool_ = nullptr;  // leaked on purpose: no destructor may run at process exit
  std::uint64_t owner_ = 0;      // the process whose threads the pool holds
  std::size_t size_ = 0;         // decided once, also for forked children
  std::string error_;            // a failed start, repeated on every later call
};

}  // namespace detail

}  // namespace wordsieve
