// The keyword strs of one call's matches: each clean name becomes one str, shared by all the
// matches of the call that report it. A str is immutable, so sharing it changes no value a match
// shows, and a name matched thousands of times costs its bytes once instead of once per match.
//
// Short names are also looked up in a small cache of recent names that lasts from call to call, so
// that a loop over many short texts makes the str of a frequent keyword once rather than once per
// text. An entry is only used for a name of exactly the same bytes (compared in full), so a
// cached str is never one of another name, whatever has happened to the processor since.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

namespace wordsieve::py {

// Empties the cache of recent names without touching its strs, once their interpreter is finalized
// (module.cpp): an interpreter initialized after it may have the same id.
void forget_recent_names() noexcept;

class NameStrings {
 public:
  NameStrings() noexcept = default;
  ~NameStrings();
  NameStrings(const NameStrings&) = delete;
  NameStrings& operator=(const NameStrings&) = delete;

  // The str of `name`, a clean name as the engine reports it (a view into the processor's trie,
  // which the call holds unchanged): a borrowed reference, valid while this object lives. Names
  // are told apart by where the trie stores them. Null with the interpreter's error set when the
  // str cannot be made.
  PyObject* get(std::string_view name);

 private:
  struct Entry {
    const char* where;  // null: a free slot of the table
    PyObject* str;
  };
  // The first few names are looked up in a row of their own; a call with more names (a batch, or
  // a long text) moves them to an open-addressing table.
  static constexpr std::size_t kRow = 8;

  PyObject* add(std::string_view name);
  void grow();

  Entry row_[kRow];
  std::size_t in_row_ = 0;
  std::vector<Entry> table_;  // empty until the row is full
  std::size_t used_ = 0;      // entries in the table
};

}  // namespace wordsieve::py
