// One converter per kind of argument, from a Python object to the value the engine takes.
//
// Every converter has the shape `bool to_kind(PyObject* object, T& out)`: true with `out` set, or
// false with the Python error set. The optional kinds accept null (an absent argument) and None.
// Converters never add the "argument '{p}': " prefix themselves; convert_argument() does, so the same
// converter serves parameters, attribute setters and the elements of a list.
//
// Views (std::string_view) point into the converted object and are valid while it lives; a bound
// argument lives until the call returns.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"

namespace wordsieve::py {

// str or subclass -> its UTF-8 text.
bool to_text(PyObject* object, std::string_view& out);
// Absent or None -> no value; otherwise as text.
bool to_optional_text(PyObject* object, std::optional<std::string_view>& out);
// Absent or None -> false; True/False; a numpy bool through its type's __bool__.
bool to_flag(PyObject* object, bool& out);
// Anything PyFloat_AsDouble takes, rounded to single precision.
bool to_number(PyObject* object, float& out);
// Absent or None -> no value; otherwise as number.
bool to_optional_number(PyObject* object, std::optional<float>& out);
// int (or via __index__) in 0 .. 2^64 - 1.
bool to_unsigned(PyObject* object, std::uint64_t& out);
// A str of exactly one code point -> that code point.
bool to_character(PyObject* object, std::uint32_t& out);
// A non-str sequence of one-character strs -> their code points.
bool to_character_list(PyObject* object, std::vector<std::uint32_t>& out);
// One text of a list: a view of a str's UTF-8 form, valid while `owner` (a reference to that str)
// is held. The interpreter keeps a str's UTF-8 form until the str is freed, and strs are
// immutable, so threads that hold no Python state may read the view while the owner is held.
struct TextView {
  PyRef owner;
  std::string_view text;
};
// A non-str sequence of strs -> views of their UTF-8 texts, each holding its str.
bool to_text_list(PyObject* object, std::vector<TextView>& out);
// bytes or subclass -> a view of its contents.
bool to_bytes(PyObject* object, std::string_view& out);

// With an exception pending from converting the value of `name`: a TypeError (exactly) is replaced
// by TypeError "argument '{name}': " + str(original), keeping the original's __cause__; any other
// exception is left as it is.
void prefix_argument_error(const char* name);

// Converts `object` as the value of parameter (or attribute) `name`.
template <class T>
bool convert_argument(const char* name, PyObject* object, bool (*converter)(PyObject*, T&), T& out) {
  if (converter(object, out)) return true;
  prefix_argument_error(name);
  return false;
}

}  // namespace wordsieve::py
