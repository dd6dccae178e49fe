// The methods of KeywordProcessor, one entry point each. The method table that registers them (in
// the class's documented order) is in processor_type.cpp.
#pragma once

#include <Python.h>

namespace wordsieve::py {

// Keyword store and word characters (keyword_store_methods.cpp).
PyObject* processor_add_keyword(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* processor_remove_keyword(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* processor_get_all_keywords(PyObject* self, PyObject* unused) noexcept;
PyObject* processor_set_non_word_boundaries(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* processor_add_non_word_boundary(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace wordsieve::py
