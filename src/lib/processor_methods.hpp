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

// Single-text extraction and replacement (extract_replace_methods.cpp), in the vectorcall form:
// they are called once per document, and the interpreter then passes the arguments without
// building a tuple for them.
PyObject* processor_extract_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;
PyObject* processor_replace_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;

// The same over a list of texts, on the worker pool (batch_methods.cpp).
PyObject* processor_parallel_extract_keywords_from_texts(PyObject* self, PyObject* args,
                                                         PyObject* kwargs) noexcept;
PyObject* processor_parallel_replace_keywords_from_texts(PyObject* self, PyObject* args,
                                                         PyObject* kwargs) noexcept;

// Pickling and copying (processor_state_methods.cpp).
PyObject* processor_setstate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
PyObject* processor_getstate(PyObject* self, PyObject* unused) noexcept;

}  // namespace wordsieve::py
