#include "guard.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "keyword_processor/failure.hpp"
#include "panic.hpp"

namespace wordsieve::py {

namespace {

void report_unexpected(const char* what) noexcept {
  std::fprintf(stderr, "wordsieve: unexpected native exception reached an entry point: %s\n", what);
  std::fflush(stderr);
}

bool python_signal_raised(void* /*unused*/) {
  if (PyErr_CheckSignals() == 0) return false;
  propagate_python_error();
  return true;
}

}  // namespace

const wordsieve::InterruptCheck kPythonSignals{&python_signal_raised, nullptr};

void translate_active_exception() noexcept {
  try {
    throw;
  } catch (const wordsieve::Interrupted&) {
    // The check that stopped the engine set the exception; a stop without one is still a failure.
    if (PyErr_Occurred() == nullptr) raise_panic("operation interrupted without an exception");
  } catch (const wordsieve::InternalFailure& failure) {
    raise_panic(failure.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    report_unexpected(exception.what());
    raise_panic(kGenericFailureMessage);
  } catch (...) {
    report_unexpected("(not a std::exception)");
    raise_panic(kGenericFailureMessage);
  }
}

void refuse_access(Access mode) noexcept {
  PyErr_SetString(PyExc_RuntimeError, mode == Access::shared ? "Already mutably borrowed" : "Already borrowed");
}

}  // namespace wordsieve::py
