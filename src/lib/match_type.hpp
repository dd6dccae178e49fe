// The PyKeywordMatch class: each instance owns one match record, a copy of everything it shows, with
// no link back to the processor that produced it.
#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "keyword_processor/match.hpp"
#include "match_state.hpp"
#include "py_ref.hpp"
#include "type_cell.hpp"

namespace wordsieve::py {

struct MatchClass {
  using Payload = wordsieve::MatchRecord;
  static constexpr const char* name = "PyKeywordMatch";
  static PyTypeObject* type();
};

TypeCell& match_type_cell() noexcept;

// Owned copies of engine matches, whose keywords are views into a processor's trie. Must run while
// the processor is still held, before anything can change it.
std::vector<wordsieve::MatchRecord> own_matches(std::span<const wordsieve::KeywordMatch> matches);

// A new list of PyKeywordMatch objects, one per record in order, made at its final size. The records
// are moved into the objects. An object that cannot be allocated is an internal failure.
PyRef match_list(std::vector<wordsieve::MatchRecord>&& records);

// The same list made straight from engine matches, each clean name copied once, into its object.
// Must run while the processor is still held.
PyRef match_list(std::span<const wordsieve::KeywordMatch> matches);

}  // namespace wordsieve::py
