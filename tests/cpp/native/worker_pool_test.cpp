#include "native/worker_pool.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "captured_stderr.hpp"
#include "keyword_processor/failure.hpp"
#include "native/thread_park.hpp"

namespace wordsieve {
namespace {

TEST(WorkerPoolSize, FollowsTheEnvironmentRule) {
  struct Case {
    const char* threads;
    const char* cpus;
    std::size_t expected;
  };
  constexpr std::size_t kLogical = 6;
  const Case cases[] = {
      {"3", nullptr, 3},
      {"3", "5", 3},
      {"0", "5", kLogical},  // 0 is the default, not a fall-through
      {"+4", nullptr, 4},
      {"100000", nullptr, 65535},
      {"18446744073709551615", nullptr, 65535},
      {"abc", "5", 5},
      {"-2", "5", 5},
      {" 4", "5", 5},
      {"4 ", "5", 5},
      {"", "5", 5},
      {"+", "5", 5},
      {"++4", "5", 5},
      {"18446744073709551616", "5", 5},
      {nullptr, "7", 7},
      {nullptr, "+2", 2},
      {nullptr, "0", kLogical},
      {nullptr, "x", kLogical},
      {nullptr, "99999999999999999999", kLogical},
      {nullptr, "70000", 65535},
      {nullptr, nullptr, kLogical},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pool_size(c.threads, c.cpus, kLogical), c.expected)
        << (c.threads ? c.threads : "<unset>") << " / " << (c.cpus ? c.cpus : "<unset>");
  }
  EXPECT_EQ(pool_size(nullptr, nullptr, 0), 1u);
  EXPECT_EQ(pool_size(nullptr, nullptr, 100000), 65535u);
  EXPECT_GE(logical_processor_count(), 1u);
}

// A lost wake-up or a timed wait that never times out shows as a hang.
TEST(ThreadPark, WakesSleepersAndEndsTimedWaits) {
  using namespace std::chrono_literals;
  std::atomic<std::uint32_t> word{0};
  park::wait(word, 1);  // the word already differs: returns at once
  const auto start = std::chrono::steady_clock::now();
  park::wait_for(word, 0, 20ms);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

  for (const bool all : {false, true}) {
    std::atomic<int> awake{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < 3; ++i) {
      sleepers.emplace_back([&] {
        while (word.load() == 0) park::wait(word, 0);
        ++awake;
      });
    }
    std::this_thread::sleep_for(10ms);  // let some of them fall asleep
    word.store(1);
    if (all) {
      park::wake_all(word);
    } else {
      for (int i = 0; i < 3; ++i) park::wake_one(word);
    }
    for (std::thread& t : sleepers) t.join();
    EXPECT_EQ(awake.load(), 3);
    word.store(0);
  }
}

// Runs `n` indices and checks that every one was called exactly once.
void expect_each_index_once(WorkerPool& pool, std::size_t n) {
  std::unique_ptr<std::atomic<int>[]> calls(new std::atomic<int>[n + 1]());
  pool.run(n, [&](std::size_t i) { calls[i].fetch_add(1, std::memory_order_relaxed); });
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) wrong += calls[i].load() != 1;
  EXPECT_EQ(wrong, 0u) << "pool of " << pool.size() << ", n = " << n;
  EXPECT_EQ(calls[n].load(), 0);
}


TEST(WorkerPoolRun, OneIndexStaysOnTheCallerMoreGoToWorkers) {
  WorkerPool pool(2);
  const auto caller = std::this_thread::get_id();
  std::thread::id seen;
  pool.run(1, [&](std::size_t) { seen = std::this_thread::get_id(); });
  EXPECT_EQ(seen, caller);
  std::atomic<int> on_caller{0};
  pool.run(100, [&](std::size_t) { on_caller += std::this_thread::get_id() == caller; });
  EXPECT_EQ(on_caller.load(), 0);
}

TEST(WorkerPoolRun, IdleWorkersTakeOverASlowWorkersShare) {
  // Worker 0 owns [0, 500) and is stuck on index 0; the rest of its share must move elsewhere.
  WorkerPool pool(2);
  std::vector<std::thread::id> ran_on(1000);
  pool.run(1000, [&](std::size_t i) {
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ran_on[i] = std::this_thread::get_id();
  });
  std::size_t moved = 0;
  for (std::size_t i = 1; i < 500; ++i) moved += ran_on[i] != ran_on[0];
  EXPECT_GT(moved, 400u);

  // Several slow indices spread over a bigger pool still finish, each exactly once.
  WorkerPool wide(8);
  std::vector<std::atomic<int>> calls(3000);
  wide.run(calls.size(), [&](std::size_t i) {
    if (i % 700 == 3) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++calls[i];
  });
  for (auto& c : calls) ASSERT_EQ(c.load(), 1);
}

TEST(WorkerPoolRun, RethrowsTheFirstFailureAndStaysUsable) {
  struct Case {
    std::size_t threads, n, max_block;
    bool (*throws)(std::size_t);
  };
  const Case cases[] = {
      {4, 1000, WorkerPool::kMaxBlock, [](std::size_t i) { return i == 0; }},
      {4, 1000, WorkerPool::kMaxBlock, [](std::size_t i) { return i == 999; }},
      {4, 1000, WorkerPool::kMaxBlock, [](std::size_t) { return true; }},
      {1, 50, WorkerPool::kMaxBlock, [](std::size_t i) { return i == 25; }},
      {3, 100, 10, [](std::size_t i) { return i == 55; }},  // in a later block
      {3, 1, WorkerPool::kMaxBlock, [](std::size_t) { return true; }},  // inline
  };
  for (const Case& c : cases) {
    WorkerPool pool(c.threads, c.max_block);
    try {
      pool.run(c.n, [&](std::size_t i) {
        if (c.throws(i)) throw std::runtime_error("index " + std::to_string(i));
      });
      ADD_FAILURE() << "no exception for n = " << c.n;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("index ", 0), 0u);
    }
    expect_each_index_once(pool, c.n);
  }

  WorkerPool pool(2);
  EXPECT_THROW(pool.run(10, [](std::size_t i) {
    if (i == 7) throw InternalFailure("Threshold must be between 0 and 1");
  }),
               InternalFailure);
}

TEST(WorkerPoolRun, ManyCallsAndCallersInARow) {
  WorkerPool pool(8);
  for (std::size_t round = 0; round < 2000; ++round) expect_each_index_once(pool, 2 + round % 9);

  WorkerPool shared(3);
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 20; ++round) expect_each_index_once(shared, 1000);
    });
  }
  for (auto& t : callers) t.join();

  // A call made from inside a worker runs inline instead of waiting for itself.
  std::atomic<int> inner{0};
  shared.run(6, [&](std::size_t) { shared.run(5, [&](std::size_t) { ++inner; }); });
  EXPECT_EQ(inner.load(), 30);
}

// Every index is collected exactly once, on the calling thread, after its work is done.
void expect_each_index_collected(WorkerPool& pool, std::size_t n) {
  std::vector<std::atomic<int>> done(n);
  std::vector<int> collected(n, 0);
  const auto caller = std::this_thread::get_id();
  std::size_t off_caller = 0, early = 0;
  const bool complete = pool.run_collecting(
      n, [&](std::size_t i) { done[i].store(1, std::memory_order_relaxed); },
      [&](std::size_t i) {
        off_caller += std::this_thread::get_id() != caller;
        early += done[i].load(std::memory_order_relaxed) != 1;
        ++collected[i];
        return true;
      });
  EXPECT_TRUE(complete);
  EXPECT_EQ(off_caller, 0u);
  EXPECT_EQ(early, 0u);
  std::size_t wrong = 0;
  for (int c : collected) wrong += c != 1;
  EXPECT_EQ(wrong, 0u) << "pool of " << pool.size() << ", n = " << n;
}

TEST(WorkerPoolRun, CoversEveryIndexOnce) {
  for (std::size_t threads : {1, 2, 3, 8}) {
    WorkerPool pool(threads);
    for (std::size_t n : {0, 1, 2, 3, 7, 1000, 100000}) {
      expect_each_index_once(pool, n);
      expect_each_index_collected(pool, n);
    }
  }
  // Ranges longer than one block are handed out block by block.
  WorkerPool blocked(3, 5);
  for (std::size_t n : {2, 5, 6, 7, 1000}) {
    expect_each_index_once(blocked, n);
    expect_each_index_collected(blocked, n);
  }
}

TEST(WorkerPoolCollecting, SlowIndicesAreStillCollected) {
  // The caller sleeps between wake-ups and still sees every index.
  WorkerPool pool(2);
  std::vector<int> collected(300, 0);
  EXPECT_TRUE(pool.run_collecting(
      300,
      [](std::size_t i) {
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      },
      [&](std::size_t i) { return ++collected[i] == 1; }));
  EXPECT_EQ(std::count(collected.begin(), collected.end(), 1), 300);
}

TEST(WorkerPoolCollecting, StopsOnACollectFailureAndStaysUsable) {
  struct Case {
    std::size_t threads, n, max_block, stop_after;
    bool throws;
  };
  const Case cases[] = {
      {2, 1000, WorkerPool::kMaxBlock, 0, false}, {2, 1000, WorkerPool::kMaxBlock, 500, false},
      {4, 1000, WorkerPool::kMaxBlock, 10, true}, {3, 100, 10, 35, false},  // in a later block
      {2, 1, WorkerPool::kMaxBlock, 0, true},                               // inline
  };
  for (const Case& c : cases) {
    WorkerPool pool(c.threads, c.max_block);
    std::atomic<std::size_t> worked{0};
    std::size_t calls = 0;
    const auto run = [&] {
      return pool.run_collecting(
          c.n, [&](std::size_t) { ++worked; },
          [&](std::size_t) {
            if (calls++ < c.stop_after) return true;
            if (c.throws) throw std::runtime_error("collect");
            return false;
          });
    };
    if (c.throws) {
      EXPECT_THROW(run(), std::runtime_error);
    } else {
      EXPECT_FALSE(run());
    }
    EXPECT_EQ(calls, c.stop_after + 1) << "collect was called after it failed";
    EXPECT_LE(worked.load(), c.n);
    expect_each_index_collected(pool, c.n);
  }
}

TEST(WorkerPoolCollecting, AWorkFailureIsRethrownAndItsIndexNotCollected) {
  for (std::size_t threads : {1, 2, 4}) {
    WorkerPool pool(threads, 64);
    std::vector<int> collected(1000, 0);
    EXPECT_THROW(pool.run_collecting(
                     1000,
                     [](std::size_t i) {
                       if (i == 700) throw InternalFailure("Threshold must be between 0 and 1");
                     },
                     [&](std::size_t i) { return ++collected[i] == 1; }),
                 InternalFailure);
    EXPECT_EQ(collected[700], 0);
    EXPECT_EQ(std::count(collected.begin(), collected.end(), 2), 0);
    expect_each_index_collected(pool, 1000);
  }
}

TEST(WorkerPoolGlobal, IsStartedOnceAndReused) {
  WorkerPool& pool = WorkerPool::global();
  EXPECT_EQ(&pool, &WorkerPool::global());
  EXPECT_EQ(pool.size(), pool_size(std::getenv("RAYON_NUM_THREADS"),
                                   std::getenv("RAYON_RS_NUM_CPUS"), logical_processor_count()));
  expect_each_index_once(pool, 10000);
}

#if !defined(_WIN32)  // the child-process tests: there is no fork() on Windows

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Runs `body` in a forked child and returns its exit status (0 when it returned true).
template <class Body>
int in_child(Body body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);  // a hang becomes a failure
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool is_start_failure(const InternalFailure& failure) {
  return failure.message().rfind(kPoolNotInitialized, 0) == 0 &&
         failure.message().size() > sizeof kPoolNotInitialized;
}

TEST(WorkerPoolGlobal, AForkedChildGetsWorkingThreads) {
  if (kSanitized) GTEST_SKIP() << "sanitizers do not support threads after fork";
  static detail::LazyPool lazy([]() -> std::size_t { return 3; });
  expect_each_index_once(lazy.get(), 1000);
  EXPECT_EQ(in_child([] {
              WorkerPool& pool = lazy.get();
              std::vector<std::atomic<int>> calls(1000);
              pool.run(calls.size(), [&](std::size_t i) { ++calls[i]; });
              for (auto& c : calls) if (c.load() != 1) return false;
              return pool.size() == 3;
            }),
            0);
}

TEST(WorkerPoolGlobal, AFailedStartIsReportedAndNotRetried) {
  if (kSanitized) GTEST_SKIP() << "sanitizers reserve address space beyond any tight limit";
  test_support::CapturedStderr err;  // the child's standard error too
  EXPECT_EQ(in_child([] {
              rlimit original{};
              getrlimit(RLIMIT_AS, &original);
              long pages = 0;
              if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
                std::fclose(statm);
              }
              if (pages <= 0) return false;
              // Room for the bookkeeping, not for thousands of thread stacks.
              rlimit tight = original;
              tight.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (2 << 20);
              if (setrlimit(RLIMIT_AS, &tight) != 0) return false;

              bool direct = false;
              try {
                WorkerPool pool(5000);
              } catch (const InternalFailure& f) {
                direct = is_start_failure(f);
              }
              detail::LazyPool lazy([]() -> std::size_t { return 5000; });
              std::string first;
              try {
                lazy.get();
              } catch (const InternalFailure& f) {
                if (is_start_failure(f)) first = f.message();
              }
              setrlimit(RLIMIT_AS, &original);
              std::string again;
              try {
                lazy.get();
              } catch (const InternalFailure& f) {
                again = f.message();
              }
              return direct && !first.empty() && again == first;
            }),
            0);
  // The pool made directly, the lazy start, and its failure repeated.
  const std::vector<std::string> reports = err.reports();
  ASSERT_EQ(reports.size(), 3u);
  for (const std::string& report : reports) EXPECT_EQ(report.rfind(kPoolNotInitialized, 0), 0u) << report;
}

#endif  // !_WIN32

}  // namespace
}  // namespace wordsieve
