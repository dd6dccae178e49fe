// PyKeywordMatch's four attributes and its pickling methods.
#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <string_view>

#include "args.hpp"
#include "guard.hpp"
#include "match_methods.hpp"
#include "match_type.hpp"
#include "native/match_state.hpp"
#include "panic.hpp"
#include "py_ref.hpp"

namespace wordsieve::py {

namespace {

constexpr Parameters<1> kSetState{"PyKeywordMatch", "__setstate__", {"state"}, 1};

PyObject* checked(PyObject* result) {
  if (result == nullptr) propagate_python_error();
  return result;
}

// The UTF-8 text of a keyword str (always encodable: it was made from UTF-8 or checked by the text
// conversion); nothing with the error set when the interpreter cannot provide it.
std::optional<std::string_view> utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) {
    propagate_python_error();
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

PyObject* new_float(float value) { return checked(PyFloat_FromDouble(static_cast<double>(value))); }

PyObject* new_int(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

// The shape of every setter: refuse deletion, convert the value under the attribute's name, and only
// then take exclusive access, so Python code run by the conversion (__index__, __float__) may still
// read this very match.
template <class T, class Store>
int set_attribute(PyObject* self, PyObject* value, const char* name, bool (*converter)(PyObject*, T&),
                  Store store) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  T converted{};
  if (!convert_argument(name, value, converter, converted)) return -1;
  ExclusiveRef<MatchClass> match(self);
  if (!match) return -1;
  store(*match, converted);
  return 0;
}

template <class Read>
PyObject* get_attribute(PyObject* self, Read read) {
  SharedRef<MatchClass> match(self);
  if (!match) return nullptr;
  return read(*match);
}

}  // namespace

PyObject* match_get_keyword(PyObject* self, void* /*closure*/) noexcept {
  return entry_point([&] {
    return get_attribute(self, [](const MatchPayload& match) { return Py_NewRef(match.keyword.get()); });
  });
}

int match_set_keyword(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  return entry_point([&]() -> int {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      return -1;
    }
    std::string_view text;
    if (!convert_argument("keyword", value, to_text, text)) return -1;
    PyRef keyword(exact_str(value, text));
    if (!keyword) {
      propagate_python_error();
      return -1;
    }
    ExclusiveRef<MatchClass> match(self);
    if (!match) return -1;
    match->keyword = std::move(keyword);
    return 0;
  });
}

PyObject* match_get_similarity(PyObject* self, void* /*closure*/) noexcept {
  return entry_point([&] {
    return get_attribute(self, [](const MatchPayload& match) { return new_float(match.similarity); });
  });
}

int match_set_similarity(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  return entry_point([&] {
    return set_attribute(self, value, "similarity", to_number,
                         [](MatchPayload& match, float similarity) { match.similarity = similarity; });
  });
}

PyObject* match_get_start(PyObject* self, void* /*closure*/) noexcept {
  return entry_point([&] {
    return get_attribute(self, [](const MatchPayload& match) { return new_int(match.start); });
  });
}

int match_set_start(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  return entry_point([&] {
    return set_attribute(self, value, "start", to_unsigned,
                         [](MatchPayload& match, std::uint64_t start) { match.start = start; });
  });
}

PyObject* match_get_end(PyObject* self, void* /*closure*/) noexcept {
  return entry_point([&] {
    return get_attribute(self, [](const MatchPayload& match) { return new_int(match.end); });
  });
}

int match_set_end(PyObject* self, PyObject* value, void* /*closure*/) noexcept {
  return entry_point([&] {
    return set_attribute(self, value, "end", to_unsigned,
                         [](MatchPayload& match, std::uint64_t end) { match.end = end; });
  });
}

PyObject* match_getnewargs(PyObject* self, PyObject* /*unused*/) noexcept {
  return entry_point([&]() -> PyObject* {
    SharedRef<MatchClass> match(self);
    if (!match) return nullptr;
    PyRef keyword = PyRef::borrow(match->keyword.get());
    PyRef similarity(new_float(match->similarity));
    if (!similarity) return nullptr;
    PyRef start(new_int(match->start));
    if (!start) return nullptr;
    PyRef end(new_int(match->end));
    if (!end) return nullptr;
    return checked(PyTuple_Pack(4, keyword.get(), similarity.get(), start.get(), end.get()));
  });
}

PyObject* match_getstate(PyObject* self, PyObject* /*unused*/) noexcept {
  return entry_point([&]() -> PyObject* {
    SharedRef<MatchClass> match(self);
    if (!match) return nullptr;
    const std::optional<std::string_view> keyword = utf8_of(match->keyword.get());
    if (!keyword) return nullptr;
    const MatchFields fields{*keyword, match->similarity, match->start, match->end};
    // The bytes object is made at its final size and written in place: one allocation, no copy.
    PyRef state(checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(match_state_size(fields)))));
    if (!state) return nullptr;
    write_match_state(fields, PyBytes_AsString(state.get()));
    return state.release();
  });
}

PyObject* match_setstate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kSetState, args, kwargs);
    if (!bound) return nullptr;
    ExclusiveRef<MatchClass> match(self);
    if (!match) return nullptr;
    std::string_view state;
    if (!bound->convert(0, to_bytes, state)) return nullptr;
    // Decoded apart from the instance: a malformed state fails here and leaves every field as it was.
    const MatchRecord record = read_match_state(state);
    PyRef keyword(checked(
        PyUnicode_FromStringAndSize(record.keyword.data(), static_cast<Py_ssize_t>(record.keyword.size()))));
    if (!keyword) return nullptr;
    *match = MatchPayload{std::move(keyword), record.similarity, record.start, record.end};
    Py_RETURN_NONE;
  });
}

}  // namespace wordsieve::py
