// The PyKeywordMatch class: each instance holds its keyword as a str and the other three fields,
// with no link back to the processor that produced it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "keyword_processor/match.hpp"
#include "name_strings.hpp"
#include "py_ref.hpp"
#include "type_cell.hpp"

namespace wordsieve::py {

// What an instance holds. The keyword is an exact str (never a subclass) that the instance owns a
// reference to; matches made by one call share the str of each clean name (name_strings.hpp),
// which is safe because a str never changes. Setting the attribute replaces the reference.
struct MatchPayload {
  PyRef keyword;
  float similarity;
  std::uint64_t start;
  std::uint64_t end;
};

struct MatchClass {
  using Payload = MatchPayload;
  static constexpr const char* name = "PyKeywordMatch";
  static PyTypeObject* type();
};

TypeCell& match_type_cell() noexcept;

// `value` as an exact str: itself when it is one (a new reference), else a new str of the same
// UTF-8 text (which `text` holds). Null with the error set when it cannot be made.
PyObject* exact_str(PyObject* value, std::string_view text);

// A new list of PyKeywordMatch objects, one per engine match in order, made at its final size.
// Each keyword's str comes from `names`. Must run while the processor is still held, since the
// matches' keywords are views into its trie. An object that cannot be allocated is an internal
// failure.
PyRef match_list(std::span<const wordsieve::KeywordMatch> matches, NameStrings& names);

}  // namespace wordsieve::py
