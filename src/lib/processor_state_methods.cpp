// KeywordProcessor's pickling methods. Pickle and copy use the interpreter's default reduction:
// a processor made by __new__ with no arguments, then __setstate__ with the bytes of __getstate__.
#include <memory>
#include <string_view>

#include "args.hpp"
#include "guard.hpp"
#include "native/processor_state.hpp"
#include "panic.hpp"
#include "processor_methods.hpp"
#include "processor_type.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

namespace {

constexpr Parameters<1> kSetState{"KeywordProcessor", "__setstate__", {"state"}, 1};

}  // namespace

PyObject* processor_getstate(PyObject* self, PyObject* /*unused*/) noexcept {
  return entry_point([&]() -> PyObject* {
    SharedRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    const std::size_t size = processor_state_size(*processor);
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      PyErr_NoMemory();
      return nullptr;
    }
    // Sized first so the bytes object is allocated once and written in place.
    PyRef state(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!state) {
      propagate_python_error();
      return nullptr;
    }
    write_processor_state(*processor, PyBytes_AsString(state.get()), size);
    return state.release();
  });
}

PyObject* processor_setstate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kSetState, args, kwargs);
    if (!bound) return nullptr;
    ExclusiveRef<ProcessorClass> processor(self);
    if (!processor) return nullptr;
    std::string_view state;
    if (!bound->convert(0, to_bytes, state)) return nullptr;
    // Whether the old trie goes or the new one is refused half read, a large one's memory goes
    // back to the system once it is freed.
    struct GiveBack {
      ~GiveBack() { wordsieve::give_back_trie_memory(); }
    } give_back;
    // Decoded into a processor of its own (on the heap: its word set alone is 136 KiB). A malformed
    // state fails here, before the instance is touched; only a complete decode replaces the set, the
    // trie and both flags, in one step.
    std::unique_ptr<wordsieve::KeywordProcessor> decoded(
        new wordsieve::KeywordProcessor(read_processor_state(state)));
    *processor = std::move(*decoded);
    Py_RETURN_NONE;
  });
}

}  // namespace wordsieve::py
