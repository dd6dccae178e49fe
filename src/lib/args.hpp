// Binding positional and keyword arguments to a callable's parameters, with the interpreter-style
// messages for too many, repeated, unknown and missing arguments.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "convert.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

// The constant description of one callable. No callable of the module has positional-only or
// keyword-only parameters, *args or **kwargs, so the names and the number of leading required ones
// say everything.
template <std::size_t N>
struct Parameters {
  const char* class_name;
  const char* callable;  // "__new__" for a constructor
  std::array<const char*, N> names;
  std::size_t required;
};

// Fills `slots` (one per name) from `args` and `kwargs`; false with TypeError set on a binding error.
// Each filled slot holds its own reference, so the values outlive whatever Python code runs while
// they are converted, even if that code empties a caller-supplied keyword dict.
bool bind_arguments(const char* class_name, const char* callable, std::span<const char* const> names,
                    std::size_t required, PyObject* args, PyObject* kwargs, std::span<PyRef> slots);

// The same for a call in the vectorcall form (METH_FASTCALL | METH_KEYWORDS): `given` positional
// arguments at `args`, followed by the values of the keywords named in the tuple `kwnames`.
bool bind_vector_arguments(const char* class_name, const char* callable, std::span<const char* const> names,
                           std::size_t required, PyObject* const* args, std::size_t given, PyObject* kwnames,
                           std::span<PyRef> slots);

template <std::size_t N>
class Arguments {
 public:
  explicit Arguments(const Parameters<N>& parameters) noexcept : parameters_(&parameters) {}

  // The bound value of parameter i, or null when it was not given.
  PyObject* operator[](std::size_t i) const noexcept { return slots_[i].get(); }

  // Converts parameter i with `converter`, applying the "argument '{p}': " rule on failure.
  template <class T>
  bool convert(std::size_t i, bool (*converter)(PyObject*, T&), T& out) const {
    return convert_argument(parameters_->names[i], slots_[i].get(), converter, out);
  }

 private:
  template <std::size_t M>
  friend std::optional<Arguments<M>> bind(const Parameters<M>&, PyObject*, PyObject*);
  template <std::size_t M>
  friend std::optional<Arguments<M>> bind(const Parameters<M>&, PyObject* const*, Py_ssize_t, PyObject*);

  const Parameters<N>* parameters_;
  std::array<PyRef, N> slots_;
};

// Binds a call's arguments to `parameters`; empty with TypeError set when binding fails.
template <std::size_t N>
std::optional<Arguments<N>> bind(const Parameters<N>& parameters, PyObject* args, PyObject* kwargs) {
  std::optional<Arguments<N>> bound(std::in_place, parameters);
  // Most calls pass their arguments by position only, and as many as the callable takes: bound
  // here without the general rules (which give the same result for them).
  if (kwargs == nullptr && args != nullptr && PyTuple_CheckExact(args)) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given >= static_cast<Py_ssize_t>(parameters.required) && given <= static_cast<Py_ssize_t>(N)) {
      for (Py_ssize_t i = 0; i < given; ++i) {
        bound->slots_[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GetItem(args, i));
      }
      return bound;
    }
  }
  if (!bind_arguments(parameters.class_name, parameters.callable, parameters.names,
                      parameters.required, args, kwargs, bound->slots_)) {
    bound.reset();
  }
  return bound;
}

// Binds a call made in the vectorcall form (METH_FASTCALL | METH_KEYWORDS), by the same rules.
template <std::size_t N>
std::optional<Arguments<N>> bind(const Parameters<N>& parameters, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  std::optional<Arguments<N>> bound(std::in_place, parameters);
  const auto given = static_cast<std::size_t>(nargs);
  if (kwnames == nullptr && given >= parameters.required && given <= N) {
    for (std::size_t i = 0; i < given; ++i) bound->slots_[i] = PyRef::borrow(args[i]);
    return bound;
  }
  if (!bind_vector_arguments(parameters.class_name, parameters.callable, parameters.names,
                             parameters.required, args, given, kwnames, bound->slots_)) {
    bound.reset();
  }
  return bound;
}

}  // namespace wordsieve::py
