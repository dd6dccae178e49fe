// KeywordProcessor's single-text extraction and replacement.
#include <optional>
#include <string>
#include <string_view>

#include "args.hpp"
#include "guard.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/replace.hpp"
#include "match_type.hpp"
#include "name_strings.hpp"
#include "panic.hpp"
#include "processor_methods.hpp"
#include "processor_type.hpp"

namespace wordsieve::py {

namespace {

constexpr Parameters<2> kExtractKeywords{"KeywordProcessor", "extract_keywords", {"text", "threshold"}, 1};
constexpr Parameters<2> kReplaceKeywords{"KeywordProcessor", "replace_keywords", {"text", "threshold"}, 1};

// One single-text call, shared by both methods: the text and the threshold bound and converted, the
// processor held for reading while `run(processor, text, threshold)` makes the result (a new
// reference, or null with the error set).
template <class Run>
PyObject* run_on_text(const Parameters<2>& parameters, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Run run) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(parameters, args, nargs, kwnames);
    if (!bound) return nullptr;
    SharedRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    std::string_view text;
    std::optional<float> threshold;
    if (!bound->convert(0, to_text, text) || !bound->convert(1, to_optional_number, threshold)) {
      return nullptr;
    }
    return run(*processor, text, threshold);
  });
}

}  // namespace

PyObject* processor_extract_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  const auto extract = [](const wordsieve::KeywordProcessor& processor, std::string_view text,
                          std::optional<float> threshold) -> PyObject* {
    const auto matches = wordsieve::extract_keywords(processor, text, threshold);
    // The matches' keywords are views into the trie: made into strs before the access is given back.
    NameStrings names;
    return match_list(matches, names).release();
  };
  return run_on_text(kExtractKeywords, self, args, nargs, kwnames, extract);
}

PyObject* processor_replace_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  const auto replace = [](const wordsieve::KeywordProcessor& processor, std::string_view text,
                          std::optional<float> threshold) -> PyObject* {
    const std::string replaced = wordsieve::replace_keywords(processor, text, threshold);
    PyObject* result =
        PyUnicode_FromStringAndSize(replaced.data(), static_cast<Py_ssize_t>(replaced.size()));
    if (result == nullptr) propagate_python_error();
    return result;
  };
  return run_on_text(kReplaceKeywords, self, args, nargs, kwnames, replace);
}

}  // namespace wordsieve::py
