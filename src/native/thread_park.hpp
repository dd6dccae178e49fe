// Sleeping until a 32-bit word changes, and waking the threads that sleep on it: what the worker
// pool's threads and its caller block on.
//
// Each system's own primitive where it has one (Linux futex, Windows WaitOnAddress, the macOS
// ulock that its C++ library uses for atomic waits), else a table of condition variables that
// works anywhere. Unlike std::atomic::wait, a wait can end after a timeout.
//
// The protocol is the futex one: a waker changes the word first and wakes afterwards; a sleeper
// goes to sleep only if the word still holds the value it expects, checked atomically with going
// to sleep, so no wake-up is lost. Every wait may also return early (spuriously): callers wait in
// a loop that reloads the word.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace wordsieve::park {

// Sleeps while `word` holds `expected`.
void wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// Sleeps while `word` holds `expected`, at most about `timeout` (rounded up to whole microseconds
// or milliseconds, as the system counts them).
void wait_for(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
              std::chrono::nanoseconds timeout) noexcept;

// Wakes one thread (or all threads) sleeping on `word`. Call after changing it.
void wake_one(const std::atomic<std::uint32_t>& word) noexcept;
void wake_all(const std::atomic<std::uint32_t>& word) noexcept;

}  // namespace wordsieve::park
