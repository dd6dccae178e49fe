#include "panic.hpp"

#include <cstdio>

#include "keyword_processor/failure.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

namespace {

PyObject* panic_type_cell = nullptr;

constexpr const char kPanicDoc[] =
    "Raised when wordsieve's native code, called from Python, fails unexpectedly.\n\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception, so that it\n"
    "usually travels all the way up the stack and ends the interpreter.";

bool is_panic(PyObject* exception) noexcept {
  // Only the exact type counts, and it can only have been raised if the cell is already filled.
  return panic_type_cell != nullptr &&
         Py_TYPE(exception) == reinterpret_cast<PyTypeObject*>(panic_type_cell);
}

std::string utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  // A text with lone surrogates still deserves to be reported; replace what cannot be encoded.
  PyRef bytes(PyUnicode_AsEncodedString(text, "utf-8", "replace"));
  if (!bytes) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

[[noreturn]] void resume_panic(PyRef exception) {
  std::string message = "Unwrapped panic from Python code";
  if (PyRef text{PyObject_Str(exception.get())}) {
    message = utf8_text(text.get());
  } else {
    PyErr_Clear();
  }
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::fflush(stderr);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  wordsieve::fail(std::move(message));
}

// Takes the pending exception; resumes it if it is a PanicException.
PyRef take_pending() {
  PyRef exception(PyErr_GetRaisedException());
  if (exception && is_panic(exception.get())) resume_panic(std::move(exception));
  return exception;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (panic_type_cell == nullptr) {
    panic_type_cell = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  }
  return panic_type_cell;
}

void forget_panic_exception_type() noexcept { panic_type_cell = nullptr; }

void raise_panic(std::string_view message) noexcept {
  if (message.empty()) message = kGenericFailureMessage;
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void propagate_python_error() {
  PyRef exception = take_pending();
  if (!exception) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return;
  }
  PyErr_SetRaisedException(exception.release());
}

void discard_python_error() { take_pending(); }

std::string take_python_error_text() {
  PyRef exception = take_pending();
  if (!exception) return "no exception was set";
  PyRef text(PyObject_Repr(exception.get()));
  if (!text) {
    PyErr_Clear();
    return "<unprintable exception>";
  }
  return utf8_text(text.get());
}

}  // namespace wordsieve::py
