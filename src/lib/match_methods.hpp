// The members of PyKeywordMatch, one entry point each. The tables that register them are in
// match_type.cpp.
#pragma once

#include <Python.h>

namespace wordsieve::py {

// Slots (match_repr.cpp).
PyObject* match_repr(PyObject* self) noexcept;

// Attributes (match_methods.cpp). The closure is unused.
PyObject* match_get_keyword(PyObject* self, void* closure) noexcept;
int match_set_keyword(PyObject* self, PyObject* value, void* closure) noexcept;
PyObject* match_get_similarity(PyObject* self, void* closure) noexcept;
int match_set_similarity(PyObject* self, PyObject* value, void* closure) noexcept;
PyObject* match_get_start(PyObject* self, void* closure) noexcept;
int match_set_start(PyObject* self, PyObject* value, void* closure) noexcept;
PyObject* match_get_end(PyObject* self, void* closure) noexcept;
int match_set_end(PyObject* self, PyObject* value, void* closure) noexcept;

// Pickling and copying (match_methods.cpp).
PyObject* match_getnewargs(PyObject* self, PyObject* unused) noexcept;
PyObject* match_getstate(PyObject* self, PyObject* unused) noexcept;
PyObject* match_setstate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace wordsieve::py
