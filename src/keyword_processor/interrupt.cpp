#include "interrupt.hpp"

namespace wordsieve {

namespace {

WORDSIEVE_FAST_THREAD_LOCAL constinit const InterruptCheck* installed = nullptr;

void run_check() {
  const InterruptCheck* check = installed;
  if (check != nullptr && check->stop_requested(check->context)) throw Interrupted();
}

}  // namespace

namespace interrupt_detail {

WORDSIEVE_FAST_THREAD_LOCAL constinit std::int64_t budget = kInterruptStride;

void consult() {
  // Reset first: a check that throws leaves a full budget behind, not a negative one that would
  // call it again on the next poll of an unrelated operation.
  budget = kInterruptStride;
  run_check();
}

}  // namespace interrupt_detail

InterruptScope::InterruptScope(const InterruptCheck& check) noexcept : previous_(installed) {
  installed = &check;
}

InterruptScope::~InterruptScope() { installed = previous_; }

void check_interrupt_now() {
  interrupt_detail::budget = kInterruptStride;
  run_check();
}

}  // namespace wordsieve
