// An owned reference to a Python object, released when it goes out of scope. Every path out of an
// entry point (including a C++ exception) must give back what it took, and this is what makes that
// automatic.
#pragma once

#include <Python.h>

#include <utility>

namespace wordsieve::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null, e.g. the result of a failed call).
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace wordsieve::py
