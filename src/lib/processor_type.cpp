#include "processor_type.hpp"

#include <charconv>
#include <cstdint>
#include <string>

#include "args.hpp"
#include "guard.hpp"
#include "instance.hpp"
#include "processor_methods.hpp"

namespace wordsieve::py {

namespace {

using ProcessorInstance = Instance<wordsieve::KeywordProcessor>;

constexpr Parameters<2> kNew{"KeywordProcessor", "__new__", {"case_sensitive", "allow_overlaps"}, 0};

PyObject* processor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kNew, args, kwargs);
    if (!bound) return nullptr;
    bool case_sensitive = false;
    bool allow_overlaps = false;
    if (!bound->convert(0, to_flag, case_sensitive) || !bound->convert(1, to_flag, allow_overlaps)) {
      return nullptr;
    }
    return new_instance<wordsieve::KeywordProcessor>(type, case_sensitive, allow_overlaps);
  });
}

Py_ssize_t processor_length(PyObject* self) noexcept {
  return entry_point([&]() -> Py_ssize_t {
    SharedRef<ProcessorClass> processor(self);
    if (!processor) return -1;
    const std::uint64_t count = processor->num_keywords();
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "the number of keywords does not fit in a Py_ssize_t");
      return -1;
    }
    return static_cast<Py_ssize_t>(count);
  });
}

PyObject* processor_repr(PyObject* self) noexcept {
  return entry_point([&]() -> PyObject* {
    SharedRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, processor->num_keywords()).ptr;
    std::string text = "KeywordProcessor(num_keywords=";
    text.append(digits, end);
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

void processor_dealloc(PyObject* self) noexcept {
  destroy_instance<wordsieve::KeywordProcessor>(self);
  wordsieve::give_back_trie_memory();  // after a large trie, its memory goes back
}

constexpr int kWithArguments = METH_VARARGS | METH_KEYWORDS;
// The methods called once per document: the interpreter passes their arguments without building a
// tuple (40% fewer instructions for a call on an empty text). Same arguments, same errors.
constexpr int kPerDocument = METH_FASTCALL | METH_KEYWORDS;

// The order of this table is the class's documented member order.
PyMethodDef methods[] = {
    {"add_keyword", as_method(processor_add_keyword), kWithArguments,
     "add_keyword($self, keyword, clean_name=None)\n--\n\n"},
    {"remove_keyword", as_method(processor_remove_keyword), kWithArguments,
     "remove_keyword($self, keyword)\n--\n\n"},
    {"extract_keywords", as_method(processor_extract_keywords), kPerDocument,
     "extract_keywords($self, text, threshold=None)\n--\n\n"},
    {"parallel_extract_keywords_from_texts", as_method(processor_parallel_extract_keywords_from_texts),
     kWithArguments, "parallel_extract_keywords_from_texts($self, texts, threshold=None)\n--\n\n"},
    {"replace_keywords", as_method(processor_replace_keywords), kPerDocument,
     "replace_keywords($self, text, threshold=None)\n--\n\n"},
    {"parallel_replace_keywords_from_texts", as_method(processor_parallel_replace_keywords_from_texts),
     kWithArguments, "parallel_replace_keywords_from_texts($self, texts, threshold=None)\n--\n\n"},
    {"get_all_keywords", as_method(processor_get_all_keywords), METH_NOARGS,
     "get_all_keywords($self)\n--\n\n"},
    {"set_non_word_boundaries", as_method(processor_set_non_word_boundaries), kWithArguments,
     "set_non_word_boundaries($self, boundaries)\n--\n\n"},
    {"add_non_word_boundary", as_method(processor_add_non_word_boundary), kWithArguments,
     "add_non_word_boundary($self, boundary)\n--\n\n"},
    {"__setstate__", as_method(processor_setstate), kWithArguments, "__setstate__($self, state)\n--\n\n"},
    {"__getstate__", as_method(processor_getstate), METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("KeywordProcessor(case_sensitive=False, allow_overlaps=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(processor_new)},
    {Py_mp_length, reinterpret_cast<void*>(processor_length)},
    {Py_tp_repr, reinterpret_cast<void*>(processor_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(processor_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

static_assert(kFitsInterpreterAlignment<wordsieve::KeywordProcessor>);

// No flags of its own: not subclassable, no cyclic GC (a processor holds no Python objects), no
// __dict__, no weak references.
PyType_Spec spec = {"wordsieve.KeywordProcessor", static_cast<int>(sizeof(ProcessorInstance)), 0, 0,
                    slots};

TypeCell cell("KeywordProcessor", &spec);

}  // namespace

TypeCell& processor_type_cell() noexcept { return cell; }

PyTypeObject* ProcessorClass::type() { return cell.get(); }

}  // namespace wordsieve::py
