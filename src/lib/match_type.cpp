#include "match_type.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "guard.hpp"
#include "instance.hpp"
#include "keyword_processor/failure.hpp"
#include "keyword_processor/interrupt.hpp"
#include "match_methods.hpp"
#include "panic.hpp"

namespace wordsieve::py {

namespace {

using MatchInstance = Instance<MatchPayload>;

constexpr Parameters<4> kNew{"PyKeywordMatch", "__new__", {"keyword", "similarity", "start", "end"}, 4};

PyObject* match_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry_point([&]() -> PyObject* {
    auto bound = bind(kNew, args, kwargs);
    if (!bound) return nullptr;
    std::string_view keyword;
    MatchPayload payload{};
    if (!bound->convert(0, to_text, keyword) || !bound->convert(1, to_number, payload.similarity) ||
        !bound->convert(2, to_unsigned, payload.start) || !bound->convert(3, to_unsigned, payload.end)) {
      return nullptr;
    }
    payload.keyword = PyRef(exact_str((*bound)[0], keyword));
    if (!payload.keyword) {
      propagate_python_error();
      return nullptr;
    }
    return new_instance<MatchPayload>(type, std::move(payload));
  });
}

void match_dealloc(PyObject* self) noexcept { destroy_instance<MatchPayload>(self); }

PyMethodDef methods[] = {
    {"__setstate__", as_method(match_setstate), METH_VARARGS | METH_KEYWORDS,
     "__setstate__($self, state)\n--\n\n"},
    {"__getstate__", as_method(match_getstate), METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__getnewargs__", as_method(match_getnewargs), METH_NOARGS, "__getnewargs__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef attributes[] = {
    {"keyword", match_get_keyword, match_set_keyword, "", nullptr},
    {"similarity", match_get_similarity, match_set_similarity, "", nullptr},
    {"start", match_get_start, match_set_start, "", nullptr},
    {"end", match_get_end, match_set_end, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("PyKeywordMatch(keyword, similarity, start, end)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(match_new)},
    {Py_tp_repr, reinterpret_cast<void*>(match_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(match_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, attributes},
    {0, nullptr},
};

static_assert(kFitsInterpreterAlignment<MatchPayload>);

// No flags of its own: not subclassable, no cyclic GC (a match holds no Python objects), no
// __dict__, no weak references, and no comparison or hash beyond identity.
PyType_Spec spec = {"wordsieve.PyKeywordMatch", static_cast<int>(sizeof(MatchInstance)), 0, 0, slots};

TypeCell cell("PyKeywordMatch", &spec);

}  // namespace

TypeCell& match_type_cell() noexcept { return cell; }

PyTypeObject* MatchClass::type() { return cell.get(); }

PyObject* exact_str(PyObject* value, std::string_view text) {
  if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyRef match_list(std::span<const wordsieve::KeywordMatch> matches, NameStrings& names) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  if (!list) {
    propagate_python_error();
    return list;
  }
  if (matches.empty()) return list;
  PyTypeObject* type = MatchClass::type();
  const allocfunc alloc = instance_allocator(type);
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const wordsieve::KeywordMatch& match = matches[i];
    wordsieve::poll_interrupt();
    PyObject* keyword = names.get(match.keyword);
    PyObject* object =
        keyword == nullptr
            ? nullptr
            : new_instance_with<MatchPayload>(
                  alloc, type, MatchPayload{PyRef::borrow(keyword), match.similarity, match.start, match.end});
    if (object == nullptr) {
      wordsieve::fail(std::string(wordsieve::kErrorValuePrefix) + take_python_error_text());
    }
    // Steals the reference; it cannot fail for an index inside a list made at this size.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list;
}

}  // namespace wordsieve::py
