// PanicException: how an internal failure reaches Python, and how one that comes back from Python
// (raised by a nested call into this module) is resumed instead of being treated as an ordinary error.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace wordsieve::py {

// Used when a failure carries no text of its own.
inline constexpr std::string_view kGenericFailureMessage =
    "wordsieve's native code failed unexpectedly";

// The exception type, created on first use and kept for the life of the interpreter. Null with the
// interpreter's error set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Drops the exception type without touching it, once its interpreter is finalized (module.cpp).
void forget_panic_exception_type() noexcept;

// Sets PanicException(message); an empty message becomes kGenericFailureMessage. If the type or the
// message cannot be created, the interpreter's error from that attempt is left set instead.
void raise_panic(std::string_view message) noexcept;

// To be called right after an interpreter call reported failure:
//   * no exception pending: sets SystemError "attempted to fetch exception but none was set";
//   * an ordinary exception: leaves it pending, for the caller to return as a failure;
//   * a PanicException: writes the resume lines and its traceback to stderr and throws
//     wordsieve::InternalFailure, so that the running entry point raises a new PanicException.
void propagate_python_error();

// For failures that are deliberately ignored: clears the pending exception (if any), except that a
// PanicException is resumed exactly as above.
void discard_python_error();

// Takes the pending exception (resuming a PanicException as above) and returns its repr, for the
// text of an internal failure.
std::string take_python_error_text();

}  // namespace wordsieve::py
