#include "worker_pool.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>

#include "keyword_processor/failure.hpp"
#include "keyword_processor/interrupt.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define WORDSIEVE_FORK_HANDLERS 1
#endif
#include "keyword_processor/platform_features.hpp"
#include "thread_park.hpp"

namespace wordsieve {

static_assert(sizeof(std::size_t) == 8, "shares are packed into 64-bit words");

namespace {

// The engine walks tries with explicit stacks and never recurses deeply, so a small stack is
// plenty, and it keeps a pool of tens of thousands of threads cheap in address space.
constexpr std::size_t kStackSize = 256 * 1024;

// A woken worker wakes the next workers itself, so the caller makes at most this many wake-up calls
// however large the pool is, and a big pool is fully awake after a few hops.
constexpr std::size_t kWakeFanOut = 8;

// Set on the pool's own threads, so that a call made from inside a worker runs inline instead of
// waiting for the pool it is part of.
WORDSIEVE_FAST_THREAD_LOCAL const WorkerPool* current_pool = nullptr;
WORDSIEVE_FAST_THREAD_LOCAL std::size_t current_worker = 0;
// Set while this thread is the caller of a call running on that pool: a call it makes meanwhile
// (from a signal handler its interrupt check runs) must not wait for the pool it holds.
WORDSIEVE_FAST_THREAD_LOCAL const WorkerPool* calling_pool = nullptr;

std::optional<std::uint64_t> parse_number(const char* text) {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

constexpr std::uint64_t pack(std::uint64_t begin, std::uint64_t end) { return begin << 32 | end; }
constexpr std::uint64_t share_begin(std::uint64_t share) { return share >> 32; }
constexpr std::uint64_t share_end(std::uint64_t share) { return share & 0xFFFF'FFFFu; }

std::size_t size_from_environment() {
  return pool_size(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                   logical_processor_count());
}

}  // namespace

std::size_t pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                      std::size_t logical_cpus) {
  std::uint64_t size = 0;
  if (const auto threads = parse_number(rayon_num_threads)) {
    size = *threads;  // 0 selects the default without consulting the other variable
  } else if (const auto cpus = parse_number(rayon_rs_num_cpus)) {
    size = *cpus;
  }
  if (size == 0) size = std::max<std::size_t>(logical_cpus, 1);
  return static_cast<std::size_t>(std::min<std::uint64_t>(size, WorkerPool::kMaxThreads));
}

struct alignas(64) WorkerPool::Worker {
  // The worker's unprocessed share of the current call, [begin, end) relative to `base_`, packed as
  // begin << 32 | end. The owner takes indices from the front; a thief cuts off the upper half.
  std::atomic<std::uint64_t> share{0};
  // Bumped once per call the worker takes part in, and once to stop it.
  std::atomic<std::uint32_t> wake{0};
  WorkerPool* pool = nullptr;
  std::size_t index = 0;
  os_thread::Handle thread;
};

WorkerPool::WorkerPool(std::size_t threads, std::size_t max_block)
    : size_(std::clamp<std::size_t>(threads, 1, kMaxThreads)),
      max_block_(std::clamp<std::size_t>(max_block, 1, kMaxBlock)),
      workers_(new Worker[size_]),
      process_(os_thread::process_id()) {
  for (std::size_t i = 0; i < size_; ++i) {
    workers_[i].pool = this;
    workers_[i].index = i;
  }

  std::size_t started = 0;
  std::error_code error;
  for (; started < size_; ++started) {
    error = os_thread::start(workers_[started].thread, kStackSize, &WorkerPool::thread_entry,
                             &workers_[started]);
    if (error) break;
  }

  if (error) {
    stop_started(started);
    fail(std::string(kPoolNotInitialized) + " Could not start worker thread " +
         std::to_string(started + 1) + " of " + std::to_string(size_) + ": " + error.message());
  }
}

WorkerPool::~WorkerPool() {
  std::lock_guard lock(call_mutex_);
  stop_started(size_);
}

void WorkerPool::stop_started(std::size_t started) noexcept {
  stopping_.store(true, std::memory_order_release);
  for (std::size_t i = 0; i < started; ++i) {
    workers_[i].wake.fetch_add(1, std::memory_order_release);
    park::wake_one(workers_[i].wake);
  }
  for (std::size_t i = 0; i < started; ++i) os_thread::join(workers_[i].thread);
}

void WorkerPool::thread_entry(void* worker) {
  auto* self = static_cast<Worker*>(worker);
  char name[16];
  std::snprintf(name, sizeof name, "wordsieve-%zu", self->index);
  os_thread::set_current_name(name);
  self->pool->worker_main(self->index);
}

std::size_t WorkerPool::worker_index() const noexcept { return current_pool == this ? current_worker : size_; }

void WorkerPool::worker_main(std::size_t self) {
  current_pool = this;
  current_worker = self;
  Worker& me = workers_[self];
  std::uint32_t seen = 0;
  for (;;) {
    std::uint32_t now;
    while ((now = me.wake.load(std::memory_order_acquire)) == seen) {
      park::wait(me.wake, seen);
    }
    seen = now;
    if (stopping_.load(std::memory_order_acquire)) return;
    take_part(self);
  }
}

void WorkerPool::wake_children(std::size_t first) {
  const std::size_t last = std::min(first + kWakeFanOut, participants_);
  for (std::size_t child = first; child < last; ++child) {
    workers_[child].wake.fetch_add(1, std::memory_order_release);
    park::wake_one(workers_[child].wake);
  }
}

bool WorkerPool::call_failed(void* pool) {
  return static_cast<WorkerPool*>(pool)->failed_.load(std::memory_order_relaxed);
}

void WorkerPool::take_part(std::size_t self) {
  wake_children((self + 1) * kWakeFanOut);
  // Engine work on this thread stops at its next poll once the call has failed.
  const InterruptCheck check{&WorkerPool::call_failed, this};
  const InterruptScope interrupts(check);
  Worker& me = workers_[self];
  std::size_t done = 0;
  for (;;) {
    try {
      std::uint64_t share = me.share.load(std::memory_order_relaxed);
      while (!failed_.load(std::memory_order_relaxed)) {
        const std::uint64_t begin = share_begin(share);
        const std::uint64_t end = share_end(share);
        if (begin >= end) break;
        if (!me.share.compare_exchange_weak(share, pack(begin + 1, end), std::memory_order_relaxed)) {
          continue;  // a thief cut the share; `share` holds its new value
        }
        fn_(context_, base_ + begin);
        ++done;
        if (collecting_) publish_finished(begin);
        share = me.share.load(std::memory_order_relaxed);
      }
    } catch (...) {
      bool expected = false;
      if (failed_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        error_ = std::current_exception();
      }
    }
    if (failed_.load(std::memory_order_relaxed)) break;
    finished_.fetch_add(done, std::memory_order_relaxed);
    done = 0;
    if (!steal(self)) break;
  }
  const bool collecting = collecting_;
  // Nothing of the call may be touched after this: the caller may already be setting up the next.
  if (active_.fetch_sub(1, std::memory_order_seq_cst) == 1) park::wake_one(active_);
  if (collecting) {
    // The caller of a collecting call sleeps on `progress_`, so the departure is counted there
    // too. It comes after the decrement, so that a caller that saw this worker still active is
    // woken. The count may already belong to the caller's next call, where it only decides when
    // that caller wakes.
    progress_.fetch_add(1, std::memory_order_seq_cst);
    park::wake_one(progress_);
  }
}

void WorkerPool::publish_finished(std::size_t offset) noexcept {
  std::size_t head = finished_head_.load(std::memory_order_relaxed);
  do {
    finished_links_[offset] = head;
  } while (!finished_head_.compare_exchange_weak(head, offset, std::memory_order_seq_cst,
                                                 std::memory_order_relaxed));
  const std::uint32_t now = progress_.fetch_add(1, std::memory_order_seq_cst) + 1;
  if (now % wake_every_ == 0) park::wake_one(progress_);
}

bool WorkerPool::collect_finished(void* collect_context, CollectFn collect) {
  std::size_t offset = finished_head_.exchange(kNoIndex, std::memory_order_acquire);
  while (offset != kNoIndex) {
    const std::size_t next = finished_links_[offset];
    if (!collect(collect_context, base_ + offset)) return false;
    offset = next;
  }
  return true;
}

bool WorkerPool::collect_while_running(void* collect_context, CollectFn collect) {
  bool collected = true;
  std::exception_ptr collect_error;
  try {
    for (;;) {
      if (!collect_finished(collect_context, collect)) {
        collected = false;
        break;
      }
      // Read before the checks below: an index finished or a worker leaving after them changes
      // it, so the wait returns at once instead of missing the event.
      const std::uint32_t seen = progress_.load(std::memory_order_seq_cst);
      if (active_.load(std::memory_order_seq_cst) == 0) {
        // Every worker has published all it finished before leaving.
        collected = collect_finished(collect_context, collect);
        break;
      }
      if (finished_head_.load(std::memory_order_seq_cst) != kNoIndex) continue;
      park::wait_for(progress_, seen, kCallerPollInterval);
      check_interrupt_now();
      fail_if_forked();
    }
  } catch (...) {
    collect_error = std::current_exception();
    collected = false;
  }
  if (!collected) {
    if (!forked()) stop_and_wait();
    error_ = nullptr;  // the caller's failure is the one reported
    if (collect_error) std::rethrow_exception(collect_error);
  }
  return collected;
}

void WorkerPool::wait_while_running() {
  try {
    std::uint32_t active;
    while ((active = active_.load(std::memory_order_acquire)) != 0) {
      park::wait_for(active_, active, kCallerPollInterval);
      check_interrupt_now();
      fail_if_forked();
    }
  } catch (...) {
    if (!forked()) stop_and_wait();
    error_ = nullptr;  // the caller's failure is the one reported
    throw;
  }
}

bool WorkerPool::forked() const noexcept { return os_thread::process_id() != process_; }

// The caller's interrupt check may run code that forks (a signal handler). In the child, the workers
// that were running the call do not exist: the call cannot finish there, and nothing waits for them.
void WorkerPool::fail_if_forked() const {
  if (forked()) {
    fail("The process was forked while a batch call was running: the call cannot finish in the "
         "child process");
  }
}

// Stops the workers taking indices (and their engine work, at its next poll), and lets them leave
// before the call's state goes away.
void WorkerPool::stop_and_wait() noexcept {
  failed_.store(true, std::memory_order_relaxed);
  std::uint32_t active;
  while ((active = active_.load(std::memory_order_acquire)) != 0) park::wait(active_, active);
}

bool WorkerPool::steal(std::size_t self) {
  const std::size_t participants = participants_;
  for (std::size_t step = 1; step < participants; ++step) {
    // With many workers a full scan is long; stop early once nothing is left to do.
    if (step % 64 == 0 && (failed_.load(std::memory_order_relaxed) ||
                           finished_.load(std::memory_order_relaxed) == count_)) {
      return false;
    }
    Worker& victim = workers_[(self + step) % participants];
    std::uint64_t share = victim.share.load(std::memory_order_relaxed);
    for (;;) {
      const std::uint64_t begin = share_begin(share);
      const std::uint64_t end = share_end(share);
      if (begin >= end || end - begin < 2) break;  // a single index is never split
      const std::uint64_t mid = begin + (end - begin) / 2;
      if (victim.share.compare_exchange_weak(share, pack(begin, mid), std::memory_order_relaxed)) {
        // Our own share is empty, and no thief can succeed on an empty share, so a plain store is
        // enough. The indices cut off are unclaimed, so the new value cannot equal any value a
        // thief read earlier.
        workers_[self].share.store(pack(mid, end), std::memory_order_relaxed);
        return true;
      }
    }
  }
  return false;
}

bool WorkerPool::run_erased(std::size_t n, void* context, IndexFn fn, void* collect_context,
                            CollectFn collect) {
  if (n == 0) return true;
  std::unique_lock lock(call_mutex_, std::defer_lock);
  if (n == 1 || current_pool == this || calling_pool == this || !lock.try_lock()) {
    for (std::size_t i = 0; i < n; ++i) {
      fn(context, i);
      if (collect != nullptr && !collect(collect_context, i)) return false;
    }
    return true;
  }
  struct Calling {
    const WorkerPool* outer = calling_pool;
    explicit Calling(const WorkerPool* pool) noexcept { calling_pool = pool; }
    ~Calling() { calling_pool = outer; }
  } calling(this);
  for (std::size_t base = 0; base < n;) {
    const std::size_t count = std::min(max_block_, n - base);
    if (!run_block(base, count, context, fn, collect_context, collect)) return false;
    base += count;
  }
  return true;
}

bool WorkerPool::run_block(std::size_t base, std::size_t count, void* context, IndexFn fn,
                           void* collect_context, CollectFn collect) {
  std::unique_ptr<std::size_t[]> links;
  collecting_ = collect != nullptr;
  if (collecting_) {
    links.reset(new std::size_t[count]);
    finished_links_ = links.get();
    finished_head_.store(kNoIndex, std::memory_order_relaxed);
    progress_.store(0, std::memory_order_relaxed);
    // About 32 wake-ups per call, each collecting what finished since the last.
    wake_every_ = static_cast<std::uint32_t>(std::clamp<std::size_t>(count / 32, 1, 1024));
  }
  const std::size_t participants = std::min(size_, count);
  fn_ = fn;
  context_ = context;
  base_ = base;
  count_ = count;
  participants_ = participants;
  finished_.store(0, std::memory_order_relaxed);
  failed_.store(false, std::memory_order_relaxed);
  error_ = nullptr;
  for (std::size_t k = 0; k < participants; ++k) {
    workers_[k].share.store(pack(k * count / participants, (k + 1) * count / participants),
                            std::memory_order_relaxed);
  }
  active_.store(static_cast<std::uint32_t>(participants), std::memory_order_relaxed);
  wake_children(0);

  if (collecting_) {
    if (!collect_while_running(collect_context, collect)) return false;
  } else {
    wait_while_running();
  }
  if (error_) {
    std::exception_ptr error = std::move(error_);
    error_ = nullptr;
    std::rethrow_exception(error);
  }
  return true;
}

namespace {

detail::LazyPool* global_pool = nullptr;

}  // namespace

WorkerPool& WorkerPool::global() {
  // Leaked on purpose, like the pool it holds.
  static detail::LazyPool* lazy = [] {
    global_pool = new detail::LazyPool(&size_from_environment);
#if defined(WORDSIEVE_FORK_HANDLERS)
    // A fork() from another thread while this one starts the pool must not leave the child with
    // the start's lock held: it is taken around fork(). (No other lock of the module is taken
    // while it is held.)
    pthread_atfork(+[] { global_pool->lock_for_fork(); }, +[] { global_pool->unlock_after_fork(); },
                   +[] { global_pool->unlock_after_fork(); });
#endif
    return global_pool;
  }();
  return lazy->get();
}

namespace detail {

WorkerPool& LazyPool::get() {
  std::lock_guard lock(mutex_);
  if (!error_.empty()) fail(error_);
  const std::uint64_t process = os_thread::process_id();
  if (pool_ != nullptr && owner_ == process) return *pool_;
  // First use, or first use in a forked child: the threads of an inherited pool do not exist in
  // this process, so that pool is abandoned untouched and a new one started.
  if (pool_ == nullptr) size_ = decide_size_();
  pool_ = nullptr;
  try {
    pool_ = new WorkerPool(size_);
  } catch (const InternalFailure& failure) {
    error_ = failure.message();
    throw;
  }
  owner_ = process;
  return *pool_;
}

}  // namespace detail

}  // namespace wordsieve
