// KeywordProcessor methods that manage the keyword store and the word-character set.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "guard.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/interrupt.hpp"
#include "panic.hpp"
#include "processor_methods.hpp"
#include "processor_type.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

namespace {

constexpr Parameters<2> kAddKeyword{"KeywordProcessor", "add_keyword", {"keyword", "clean_name"}, 1};
constexpr Parameters<1> kRemoveKeyword{"KeywordProcessor", "remove_keyword", {"keyword"}, 1};
constexpr Parameters<1> kSetNonWordBoundaries{
    "KeywordProcessor", "set_non_word_boundaries", {"boundaries"}, 1};
constexpr Parameters<1> kAddNonWordBoundary{
    "KeywordProcessor", "add_non_word_boundary", {"boundary"}, 1};

PyObject* new_str(const std::string& text) {
  PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (object == nullptr) propagate_python_error();
  return object;
}

}  // namespace

PyObject* processor_add_keyword(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kAddKeyword, args, kwargs);
    if (!bound) return nullptr;
    ExclusiveRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    std::string_view keyword;
    std::optional<std::string_view> clean_name;
    if (!bound->convert(0, to_text, keyword) || !bound->convert(1, to_optional_text, clean_name)) {
      return nullptr;
    }
    processor->add_keyword(keyword, clean_name);
    Py_RETURN_NONE;
  });
}

PyObject* processor_remove_keyword(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kRemoveKeyword, args, kwargs);
    if (!bound) return nullptr;
    ExclusiveRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    std::string_view keyword;
    if (!bound->convert(0, to_text, keyword)) return nullptr;
    return PyBool_FromLong(processor->remove_keyword(keyword) ? 1 : 0);
  });
}

PyObject* processor_get_all_keywords(PyObject* self, PyObject* /*unused*/) noexcept {
  return entry_point([&]() -> PyObject* {
    SharedRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    const auto keywords = processor->get_all_keywords();
    PyRef dict(PyDict_New());
    if (!dict) {
      propagate_python_error();
      return nullptr;
    }
    for (const auto& [key_text, clean_name] : keywords) {
      wordsieve::poll_interrupt(1 + (key_text.size() + clean_name.size()) / wordsieve::kBytesPerUnit);
      PyRef key(new_str(key_text));
      if (!key) return nullptr;
      PyRef value(new_str(clean_name));
      if (!value) return nullptr;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
        wordsieve::fail("Failed to set_item on dict: " + take_python_error_text());
      }
    }
    return dict.release();
  });
}

PyObject* processor_set_non_word_boundaries(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kSetNonWordBoundaries, args, kwargs);
    if (!bound) return nullptr;
    ExclusiveRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    // Converted completely before anything changes, so a bad element leaves the set as it was.
    std::vector<std::uint32_t> boundaries;
    if (!bound->convert(0, to_character_list, boundaries)) return nullptr;
    processor->set_non_word_boundaries(boundaries);
    Py_RETURN_NONE;
  });
}

PyObject* processor_add_non_word_boundary(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kAddNonWordBoundary, args, kwargs);
    if (!bound) return nullptr;
    ExclusiveRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    std::uint32_t boundary = 0;
    if (!bound->convert(0, to_character, boundary)) return nullptr;
    processor->add_non_word_boundary(boundary);
    Py_RETURN_NONE;
  });
}

}  // namespace wordsieve::py
