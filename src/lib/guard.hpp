// The entry-point guard: what every method, slot and accessor wraps itself in.
//
//   * entry_point(body) runs the body and turns any C++ exception into a Python exception, so that
//     none ever crosses into the interpreter; meanwhile the engine polls for the interpreter's
//     signals.
//   * SharedRef / ExclusiveRef check the receiver's type and hold shared or exclusive access to its
//     payload for their lifetime, giving it back on every way out (including exceptions).
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "instance.hpp"
#include "keyword_processor/interrupt.hpp"
#include "messages.hpp"

namespace wordsieve::py {

// Raises the Python exception for the C++ exception being handled. Only valid inside a catch block.
//   wordsieve::InternalFailure -> PanicException(message) (the report was written where it arose);
//   wordsieve::Interrupted     -> the exception a signal handler raised, already set;
//   std::bad_alloc             -> MemoryError: running out of memory in one call is something the
//                                 program may survive, so it is not turned into a panic or an abort;
//   anything else              -> a report on stderr, then PanicException with a fixed message.
void translate_active_exception() noexcept;

// The interrupt check of every entry point (keyword_processor/interrupt.hpp): the engine's long
// loops call it on the calling thread, and it runs the interpreter's signal handlers
// (PyErr_CheckSignals). When a handler raises, such as the default SIGINT handler raising
// KeyboardInterrupt, the engine abandons its work and the entry point returns that exception. A
// PanicException raised by a handler is resumed as any nested one is.
extern const wordsieve::InterruptCheck kPythonSignals;

template <class Body>
auto entry_point(Body&& body) noexcept -> decltype(std::forward<Body>(body)()) {
  using Result = decltype(std::forward<Body>(body)());
  const wordsieve::InterruptScope interrupts(kPythonSignals);
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    translate_active_exception();
  }
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return static_cast<Result>(-1);
  }
}

enum class Access { shared, exclusive };

// Sets the RuntimeError of a refused access: "Already mutably borrowed" when shared access is
// wanted during a change, "Already borrowed" when exclusive access is wanted during any use.
void refuse_access(Access mode) noexcept;

// Takes access through the counter, or sets the error of refuse_access.
inline bool take_access(Py_ssize_t& counter, Access mode) noexcept {
  if (mode == Access::shared ? counter == -1 : counter != 0) {
    refuse_access(mode);
    return false;
  }
  counter = mode == Access::shared ? counter + 1 : -1;
  return true;
}

inline void give_back_access(Py_ssize_t& counter, Access mode) noexcept {
  counter = mode == Access::shared ? counter - 1 : 0;
}

// A Class describes one of the module's classes:
//   using Payload = ...;                        the native record inside each instance
//   static constexpr const char* name = ...;    as it appears in "cannot be converted to '{name}'"
//   static PyTypeObject* type();                the type object
// Returns the instance behind `self`, or null with TypeError set when `self` is not one.
template <class Class>
Instance<typename Class::Payload>* receiver(PyObject* self) {
  PyTypeObject* type = Class::type();
  if (self == nullptr) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  if (!PyObject_TypeCheck(self, type)) {
    raise_cannot_convert(self, Class::name);
    return nullptr;
  }
  return Instance<typename Class::Payload>::from(self);
}

template <class Class, Access mode>
class Borrowed {
  using Payload = typename Class::Payload;
  using View = std::conditional_t<mode == Access::shared, const Payload, Payload>;

 public:
  // Check `explicit operator bool` afterwards: false means the Python error is set.
  explicit Borrowed(PyObject* self) {
    Instance<Payload>* instance = receiver<Class>(self);
    if (instance != nullptr && take_access(instance->access, mode)) instance_ = instance;
  }
  ~Borrowed() {
    if (instance_ != nullptr) give_back_access(instance_->access, mode);
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;

  explicit operator bool() const noexcept { return instance_ != nullptr; }
  View& operator*() const noexcept { return instance_->payload(); }
  View* operator->() const noexcept { return &instance_->payload(); }

 private:
  Instance<Payload>* instance_ = nullptr;
};

template <class Class>
using SharedRef = Borrowed<Class, Access::shared>;
template <class Class>
using ExclusiveRef = Borrowed<Class, Access::exclusive>;

}  // namespace wordsieve::py
