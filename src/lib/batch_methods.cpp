// KeywordProcessor's batch methods: one engine call per text on the process-wide worker pool, the
// texts handed out in chunks.
//
// All Python objects are handled on the calling thread: every text is taken (with a reference to
// its str) before the parallel phase, and every result is turned into Python objects during it,
// as soon as its worker is done with it. The workers see only the UTF-8 bytes of those strs, which
// the held references keep alive and unchanged, and the processor, which cannot change meanwhile:
// this thread holds the interpreter lock throughout (it is never released) and shared access to
// the processor.
#include <algorithm>
#include <optional>
#include <span>
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
#include "name_strings.hpp"
#include "native/worker_pool.hpp"
#include "panic.hpp"
#include "processor_methods.hpp"
#include "processor_type.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

namespace {

constexpr Parameters<2> kParallelExtract{
    "KeywordProcessor", "parallel_extract_keywords_from_texts", {"texts", "threshold"}, 1};
constexpr Parameters<2> kParallelReplace{
    "KeywordProcessor", "parallel_replace_keywords_from_texts", {"texts", "threshold"}, 1};

// Texts go to the workers in runs of consecutive texts ("chunks") of some tens of kilobytes, so
// that handing out work, reporting it done and waking the calling thread cost once per chunk
// rather than once per text, which for texts of a few dozen bytes would cost more than searching
// them. Every chunk still leaves room for the pool to balance the load: at least 16 per worker.
constexpr std::size_t kChunkMinBytes = 4096;
constexpr std::size_t kChunkMaxBytes = 65536;
constexpr std::size_t kChunkMaxTexts = 1024;
constexpr std::size_t kChunksPerWorker = 16;
constexpr std::size_t kPerTextBytes = 16;  // what a text costs beyond its bytes, in bytes of search

// The first text of each chunk, and `texts.size()` at the end.
std::vector<std::size_t> chunk_starts(const std::vector<TextView>& texts, std::size_t workers) {
  std::size_t total = 0;
  for (const TextView& t : texts) total += t.text.size() + kPerTextBytes;
  const std::size_t target = std::clamp(total / (workers * kChunksPerWorker), kChunkMinBytes, kChunkMaxBytes);
  std::vector<std::size_t> starts{0};
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    bytes += texts[i].text.size() + kPerTextBytes;
    if ((bytes >= target || i + 1 - starts.back() == kChunkMaxTexts) && i + 1 < texts.size()) {
      starts.push_back(i + 1);
      bytes = 0;
    }
  }
  starts.push_back(texts.size());
  return starts;
}

// One batch call, shared by both methods. `Chunk` holds the engine's results for the texts of one
// chunk; `engine` appends one text's results to it on a worker, and `to_python` turns the k-th
// text's results into a new reference (null with the error set) on the calling thread, while the
// processor is held.
template <class Chunk, class Engine, class ToPython>
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
  if (std::any_of(texts.begin(), texts.end(), [](const TextView& t) { return !t.text.empty(); })) {
    wordsieve::prepare_search(engine_processor, threshold);
  }
  const std::vector<std::size_t> starts = chunk_starts(texts, pool.size());
  // One slot per chunk, each written once by whichever thread processes that chunk, then read and
  // released by this thread, which turns each result into its Python form as soon as the chunk is
  // done, while the workers go on with the rest. The pool rethrows the first failure (an
  // out-of-range threshold fails every text) once all workers are done, so a call fails once and
  // returns nothing partial: the list, with whatever it holds by then, is dropped.
  std::vector<Chunk> chunks(starts.size() - 1);
  // Each thread keeps its exact-search work space from one text to the next (the processor cannot
  // change during the call): short texts then share the remembered walks a long one would have.
  std::vector<wordsieve::ScanScratch> scratches(pool.size() + 1);
  const bool complete = pool.run_collecting(
      chunks.size(),
      [&](std::size_t c) {
        wordsieve::ScanScratch& scratch = scratches[pool.worker_index()];
        for (std::size_t i = starts[c]; i < starts[c + 1]; ++i) {
          engine(engine_processor, texts[i].text, threshold, scratch, chunks[c]);
        }
      },
      [&](std::size_t c) {
        for (std::size_t i = starts[c]; i < starts[c + 1]; ++i) {
          PyRef item = to_python(chunks[c], i - starts[c]);
          if (!item) return false;
          // Steals the reference; it cannot fail for an index inside a list made at this size.
          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        // Each chunk's native results go as soon as they have their Python form.
        chunks[c] = Chunk();
        return true;
      });
  if (!complete) return nullptr;
  return list.release();
}

// The matches of a chunk's texts, one after the other; their keywords stay views into the trie,
// which the calling thread holds until every result has its Python form.
struct ExtractChunk {
  std::vector<wordsieve::KeywordMatch> matches;
  std::vector<std::size_t> ends;  // ends[k]: one past the last match of the chunk's k-th text
};

void extract_one(const wordsieve::KeywordProcessor& processor, std::string_view text,
                 std::optional<float> threshold, wordsieve::ScanScratch& scratch, ExtractChunk& chunk) {
  wordsieve::extract_keywords(processor, text, threshold, &scratch, chunk.matches);
  chunk.ends.push_back(chunk.matches.size());
}

struct ReplaceChunk {
  std::vector<std::string> texts;
};

void replace_one(const wordsieve::KeywordProcessor& processor, std::string_view text,
                 std::optional<float> threshold, wordsieve::ScanScratch& scratch, ReplaceChunk& chunk) {
  chunk.texts.push_back(wordsieve::replace_keywords(processor, text, threshold, &scratch));
}

PyRef text_to_python(ReplaceChunk& chunk, std::size_t k) {
  std::string& text = chunk.texts[k];
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
    // One str per clean name for the whole call, however many texts report it.
    NameStrings names;
    const auto to_python = [&names](ExtractChunk& chunk, std::size_t k) {
      const std::size_t begin = k == 0 ? 0 : chunk.ends[k - 1];
      return match_list(std::span(chunk.matches).subspan(begin, chunk.ends[k] - begin), names);
    };
    return run_batch<ExtractChunk>(kParallelExtract, self, args, kwargs, extract_one, to_python);
  });
}

PyObject* processor_parallel_replace_keywords_from_texts(PyObject* self, PyObject* args,
                                                         PyObject* kwargs) noexcept {
  return entry_point([&] {
    return run_batch<ReplaceChunk>(kParallelReplace, self, args, kwargs, replace_one, text_to_python);
  });
}

}  // namespace wordsieve::py
