#include "thread_park.hpp"

#include <climits>

#if !defined(WORDSIEVE_PORTABLE_ONLY) && defined(__linux__)
#define WORDSIEVE_PARK_FUTEX 1
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <ctime>
#elif !defined(WORDSIEVE_PORTABLE_ONLY) && defined(_WIN32)
#define WORDSIEVE_PARK_WAIT_ON_ADDRESS 1
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // WaitOnAddress: Windows 8
#endif
#include <windows.h>
#include <synchapi.h>
#elif !defined(WORDSIEVE_PORTABLE_ONLY) && defined(__APPLE__)
#define WORDSIEVE_PARK_ULOCK 1
#else
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <new>
#if defined(__unix__) || defined(__APPLE__)
#define WORDSIEVE_PARK_RENEW_AFTER_FORK 1
#include <pthread.h>
#endif
#endif

namespace wordsieve::park {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the word is slept on by its address, as a plain 32-bit integer");

#if defined(WORDSIEVE_PARK_FUTEX) || defined(WORDSIEVE_PARK_WAIT_ON_ADDRESS) || defined(WORDSIEVE_PARK_ULOCK)

namespace {

// The word's storage as the system calls see it.
void* address_of(const std::atomic<std::uint32_t>& word) noexcept {
  return const_cast<void*>(static_cast<const volatile void*>(&word));
}

}  // namespace

#endif

#if defined(WORDSIEVE_PARK_FUTEX)

namespace {

long futex(const std::atomic<std::uint32_t>& word, int op, std::uint32_t value,
           const timespec* timeout) noexcept {
  return syscall(SYS_futex, address_of(word), op, value, timeout, nullptr, 0);
}

}  // namespace

void wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  futex(word, FUTEX_WAIT_PRIVATE, expected, nullptr);
}

void wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
              std::chrono::nanoseconds timeout) noexcept {
  if (timeout.count() <= 0) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec relative{};
  relative.tv_sec = static_cast<time_t>(seconds.count());
  relative.tv_nsec = static_cast<long>((timeout - seconds).count());
  futex(word, FUTEX_WAIT_PRIVATE, expected, &relative);  // relative to now, on the monotonic clock
}

void wake_one(const std::atomic<std::uint32_t>& word) noexcept {
  futex(word, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

void wake_all(const std::atomic<std::uint32_t>& word) noexcept {
  futex(word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

#elif defined(WORDSIEVE_PARK_WAIT_ON_ADDRESS)

void wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  WaitOnAddress(address_of(word), &expected, sizeof expected, INFINITE);
}

void wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
              std::chrono::nanoseconds timeout) noexcept {
  if (timeout.count() <= 0) return;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
  const DWORD limit = ms >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
  WaitOnAddress(address_of(word), &expected, sizeof expected, limit);
}

void wake_one(const std::atomic<std::uint32_t>& word) noexcept { WakeByAddressSingle(address_of(word)); }

void wake_all(const std::atomic<std::uint32_t>& word) noexcept { WakeByAddressAll(address_of(word)); }

#elif defined(WORDSIEVE_PARK_ULOCK)

// The system's compare-and-wait calls (in libSystem since macOS 10.12, where the C++ library's
// atomic waits are built on them).
extern "C" int __ulock_wait(std::uint32_t operation, void* address, std::uint64_t value,
                            std::uint32_t timeout_us);
extern "C" int __ulock_wake(std::uint32_t operation, void* address, std::uint64_t wake_value);

namespace {

constexpr std::uint32_t kCompareAndWait = 1;  // UL_COMPARE_AND_WAIT: a 32-bit word, this process
constexpr std::uint32_t kWakeAll = 0x100;      // ULF_WAKE_ALL
constexpr std::uint32_t kNoErrno = 0x01000000;  // ULF_NO_ERRNO: errors as return values

}  // namespace

void wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  __ulock_wait(kCompareAndWait | kNoErrno, address_of(word), expected, 0);  // 0: no timeout
}

void wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
              std::chrono::nanoseconds timeout) noexcept {
  if (timeout.count() <= 0) return;
  const auto us = std::chrono::ceil<std::chrono::microseconds>(timeout).count();
  const std::uint32_t limit = us >= static_cast<long long>(UINT32_MAX) ? UINT32_MAX : static_cast<std::uint32_t>(us);
  __ulock_wait(kCompareAndWait | kNoErrno, address_of(word), expected, limit);
}

void wake_one(const std::atomic<std::uint32_t>& word) noexcept {
  __ulock_wake(kCompareAndWait | kNoErrno, address_of(word), 0);
}

void wake_all(const std::atomic<std::uint32_t>& word) noexcept {
  __ulock_wake(kCompareAndWait | kWakeAll | kNoErrno, address_of(word), 0);
}

#else

// Sleepers wait on a condition variable chosen by the word's address. A sleeper checks the word
// with the bucket's mutex held and a waker takes that mutex after changing the word, so the change
// is seen either by the check or by the wake-up. Words share buckets, so every wake-up wakes all
// of a bucket's sleepers, which recheck their own words.
namespace {

struct Bucket {
  std::mutex mutex;
  std::condition_variable changed;
};

constexpr std::size_t kBuckets = 64;
Bucket* table = nullptr;  // never destroyed: workers may outlive statics

#if defined(WORDSIEVE_PARK_RENEW_AFTER_FORK)
// Around fork() every bucket is locked, in order, so that no thread is inside one when the process
// is copied. The child inherits the table with the parent's sleepers registered in its condition
// variables, threads it does not have: waking them would wait for them forever. The child's only
// thread starts from fresh buckets.
void lock_for_fork() noexcept {
  for (std::size_t i = 0; i < kBuckets; ++i) table[i].mutex.lock();
}
void unlock_after_fork() noexcept {
  for (std::size_t i = 0; i < kBuckets; ++i) table[i].mutex.unlock();
}
void renew_after_fork() noexcept {
  for (std::size_t i = 0; i < kBuckets; ++i) ::new (static_cast<void*>(&table[i])) Bucket();
}
#endif

Bucket& bucket_of(const std::atomic<std::uint32_t>& word) noexcept {
  static Bucket* const buckets = [] {
    table = new Bucket[kBuckets];
#if defined(WORDSIEVE_PARK_RENEW_AFTER_FORK)
    pthread_atfork(&lock_for_fork, &unlock_after_fork, &renew_after_fork);
#endif
    return table;
  }();
  return buckets[(std::hash<const void*>{}(&word) >> 6) % kBuckets];
}

}  // namespace

void wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  Bucket& b = bucket_of(word);
  std::unique_lock lock(b.mutex);
  if (word.load(std::memory_order_seq_cst) == expected) b.changed.wait(lock);
}

void wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
              std::chrono::nanoseconds timeout) noexcept {
  if (timeout.count() <= 0) return;
  Bucket& b = bucket_of(word);
  std::unique_lock lock(b.mutex);
  if (word.load(std::memory_order_seq_cst) == expected) b.changed.wait_for(lock, timeout);
}

void wake_one(const std::atomic<std::uint32_t>& word) noexcept { wake_all(word); }

void wake_all(const std::atomic<std::uint32_t>& word) noexcept {
  Bucket& b = bucket_of(word);
  { std::lock_guard lock(b.mutex); }
  b.changed.notify_all();
}

#endif

}  // namespace wordsieve::park
