// Interrupting long engine operations.
//
// An extraction over a long text, a fuzzy search at a low threshold, the walk over a large trie:
// engine operations can run for seconds, and whoever runs them may need them to stop early (a user
// pressing Ctrl-C, a batch whose other texts already failed). The engine knows nothing of its
// callers, so the caller installs a check on its own thread (InterruptScope), and the engine's long
// loops consult it as they go (poll_interrupt). When the check asks to stop, the poll throws
// `Interrupted`, which unwinds the operation like any other exception. No report is written: the
// check knows why it stopped (the Python binding, for one, has its exception already set).
//
// Contract for engine code
// ------------------------
//  * Every loop whose work is not bounded by a small constant calls poll_interrupt(units). A unit
//    is one step of up to about 30 ns: a state popped, a node created or visited, a match
//    written, a trie step; bulk byte work (lowercasing, copying, scanning blocks) counts its bytes
//    divided by kBytesPerUnit. A block of steps passes their count in one call.
//  * A poll costs a decrement of a thread-local counter and a branch. Once kInterruptStride units
//    have been counted it calls the installed check: about every millisecond of work. In a hot
//    loop, poll once per slice of work rather than once per step (say every 4 KiB of text, or
//    every few thousand states, or after a walk longer than a few dozen steps): a call inside the
//    innermost loop, even one never taken, can cost the loop registers.
//  * A poll may throw, so it goes only where abandoning the operation is safe: the records being
//    changed are consistent, and whatever the operation has changed so far is undone as the
//    exception unwinds (or nothing has changed yet). Read-only operations can poll anywhere.
//  * Interrupted is never swallowed: code that catches it undoes its work and rethrows.
//
// Who installs checks: the Python binding, on the calling thread of every entry point (it runs the
// interpreter's signal handlers); the worker pool, on its threads while they run a call (it asks to
// stop once the call has failed or its caller was interrupted). Without an installed check a poll
// does nothing but count, so engine code and tests that install none behave as if polls were
// absent.
#pragma once

#include <cstdint>
#include <exception>

#include "platform_features.hpp"

namespace wordsieve {

// Thrown by a poll when the installed check asks the operation to stop.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "operation interrupted"; }
};

// What a caller installs: `stop_requested(context)` returns true to stop the running operation.
// It runs on the thread that polls, inside the operation; it may also throw, which abandons the
// operation the same way with that exception.
struct InterruptCheck {
  bool (*stop_requested)(void* context);
  void* context;
};

// Installs `check` for the calling thread while the scope lives, then restores the one before
// (scopes nest). The check must outlive the scope.
class InterruptScope {
 public:
  explicit InterruptScope(const InterruptCheck& check) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  const InterruptCheck* previous_;
};

// Units between two consultations of the check.
inline constexpr std::int64_t kInterruptStride = std::int64_t{1} << 15;
inline constexpr std::uint64_t kBytesPerUnit = 16;

namespace interrupt_detail {
// Units left before the next consultation.
extern WORDSIEVE_FAST_THREAD_LOCAL constinit std::int64_t budget;
WORDSIEVE_NOINLINE void consult();
}  // namespace interrupt_detail

// Counts `units` of work; every kInterruptStride units, calls the thread's check, if one is
// installed, and throws Interrupted when it asks to stop.
inline void poll_interrupt(std::uint64_t units = 1) {
  interrupt_detail::budget -= static_cast<std::int64_t>(units);
  if (interrupt_detail::budget < 0) [[unlikely]] interrupt_detail::consult();
}

// Calls the thread's check now, whatever has been counted (for a thread that waits rather than
// works), and throws Interrupted when it asks to stop.
void check_interrupt_now();

}  // namespace wordsieve
