// KeywordProcessor's batch methods: one engine call per text on the process-wide worker pool.
//
// All Python objects are handled on the calling thread: every text is taken (with a reference to
// its str) before the parallel phase, and every result is turned into Python objects during it,
// as soon as its worker is done with it. The workers see only the UTF-8 bytes of those strs, which
// the held references keep alive and unchanged, and the processor, which cannot change meanwhile:
// this thread holds the interpreter lock throughout (it is never released) and shared access to
// the processor.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "guard.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/replace.hpp"
#include "match_type.hpp"
#include "panic.hpp"
#include "processor_methods.hpp"
#include "processor_type.hpp"
#include "py_ref.hpp"
#include "worker_pool.hpp"

namespace wordsieve::py {

namespace {

constexpr Parameters<2> kParallelExtract{
    "KeywordProcessor", "parallel_extract_keywords_from_texts", {"texts", "threshold"}, 1};
constexpr Parameters<2> kParallelReplace{
    "KeywordProcessor", "parallel_replace_keywords_from_texts", {"texts", "threshold"}, 1};

// One batch call, shared by both methods. `Result` is the engine's result for one text and
// `to_python` turns one result into a new reference (null with the error set).
template <class Result, class Engine, class ToPython>
PyObject* run_batch(const Parameters<2>& parameters, PyObject* self, PyObject* args, PyObject* kwargs,
                    Engine engine, ToPython to_python) {
  auto bound = bind(parameters, args, kwargs);
  if (!bound) return nullptr;
  SharedRef<ProcessorClass> processor(self);
  if (!processor) return nullptr;
  std::vector<TextView> texts;
  std::optional<float> threshold;
  if (!bound->convert(0, to_text_list, texts) || !bound->convert(1, to_optional_number, threshold)) {
    return nullptr;
  }
  // Started by the first batch call, whether or not it has texts, so a pool that cannot start is
  // reported on that call.
  WorkerPool& pool = WorkerPool::global();

  const wordsieve::KeywordProcessor& engine_processor = *processor;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) {
    propagate_python_error();
    return nullptr;
  }
  // One slot per text, each written once by whichever thread processes that text, then read and
  // released by this thread, which turns each result into its Python form as soon as it is done,
  // while the workers go on with the rest. The pool rethrows the first failure (an out-of-range
  // threshold fails every text) once all workers are done, so a call fails once and returns
  // nothing partial: the list, with whatever it holds by then, is dropped.
  std::vector<Result> results(texts.size());
  // Each thread keeps its exact-search work space from one text to the next (the processor cannot
  // change during the call): short texts then share the tables and remembered walks a long one
  // would have.
  std::vector<wordsieve::ScanScratch> scratches(pool.size() + 1);
  const bool complete = pool.run_collecting(
      texts.size(),
      [&](std::size_t i) {
        wordsieve::ScanScratch& scratch = scratches[pool.worker_index()];
        results[i] = engine(engine_processor, texts[i].text, threshold, scratch);
      },
      [&](std::size_t i) {
        PyRef item = to_python(results[i]);
        if (!item) return false;
        // Steals the reference; it cannot fail for an index inside a list made at this size.
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
        return true;
      });
  if (!complete) return nullptr;
  return list.release();
}

// The clean names are copied out of the trie here, on the worker, while the calling thread holds
// the processor: what is left for the calling thread is only to wrap each record in an object.
std::vector<wordsieve::MatchRecord> extract_one(const wordsieve::KeywordProcessor& processor,
                                                std::string_view text, std::optional<float> threshold,
                                                wordsieve::ScanScratch& scratch) {
  return own_matches(wordsieve::extract_keywords(processor, text, threshold, &scratch));
}

std::string replace_one(const wordsieve::KeywordProcessor& processor, std::string_view text,
                        std::optional<float> threshold, wordsieve::ScanScratch& scratch) {
  return wordsieve::replace_keywords(processor, text, threshold, &scratch);
}

PyRef matches_to_python(std::vector<wordsieve::MatchRecord>& records) {
  return match_list(std::move(records));
}

PyRef text_to_python(std::string& text) {
  PyRef result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!result) propagate_python_error();
  // Each native result goes as soon as it has its Python form.
  std::string().swap(text);
  return result;
}

}  // namespace

PyObject* processor_parallel_extract_keywords_from_texts(PyObject* self, PyObject* args,
                                                         PyObject* kwargs) noexcept {
  return entry_point([&] {
    return run_batch<std::vector<wordsieve::MatchRecord>>(kParallelExtract, self, args, kwargs,
                                                          extract_one, matches_to_python);
  });
}

PyObject* processor_parallel_replace_keywords_from_texts(PyObject* self, PyObject* args,
                                                         PyObject* kwargs) noexcept {
  return entry_point([&] {
    return run_batch<std::string>(kParallelReplace, self, args, kwargs, replace_one, text_to_python);
  });
}

}  // namespace wordsieve::py
