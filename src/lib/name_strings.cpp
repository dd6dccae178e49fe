#include "name_strings.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "keyword_processor/interrupt.hpp"
#include "panic.hpp"

namespace wordsieve::py {

namespace {

std::size_t slot_of(const char* where, std::size_t mask) noexcept {
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(where));
  return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> 40) & mask;
}

// The cache of recent names, shared by the calls of the process: all of them hold the
// interpreter lock, which also orders the cache's reads and writes (no Python code runs between
// them). Direct-mapped by where the name is stored; each entry holds a reference to its str, so at
// most kRecent strs of at most kRecentLength bytes each are kept alive by it.
//
// The strs belong to one interpreter. The module refuses every interpreter but the first to import
// it (module.cpp), and the cache is tied to an interpreter all the same: a call from another one
// finds it empty, so a str is never handed to an interpreter it was not made in. The entries left
// behind are not released: their interpreter may be gone.
constexpr std::size_t kRecent = 1024;
constexpr std::size_t kRecentLength = 48;

struct Recent {
  const char* where;
  PyObject* str;
};
Recent recent[kRecent];
std::int64_t recent_interpreter = -1;  // the interpreter whose strs `recent` holds

PyObject* new_str(std::string_view name) {
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// Whether `recent` may be used by the calling interpreter; empties it for a new one.
bool recent_usable() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    discard_python_error();
    return false;
  }
  if (interpreter != recent_interpreter) {
    std::fill(std::begin(recent), std::end(recent), Recent{nullptr, nullptr});
    recent_interpreter = interpreter;
  }
  return true;
}

// A new reference to the str of `name`: the cached one when its bytes are the name's.
PyObject* recent_str(std::string_view name) {
  if (name.size() > kRecentLength || !recent_usable()) return new_str(name);
  Recent& entry = recent[slot_of(name.data(), kRecent - 1)];
  if (entry.where == name.data()) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(entry.str, &size);
    if (bytes != nullptr && static_cast<std::size_t>(size) == name.size() &&
        std::memcmp(bytes, name.data(), name.size()) == 0) {
      return Py_NewRef(entry.str);
    }
    if (bytes == nullptr) discard_python_error();
  }
  PyObject* str = new_str(name);
  if (str == nullptr) return nullptr;
  PyObject* old = entry.str;
  entry = {name.data(), Py_NewRef(str)};
  Py_XDECREF(old);
  return str;
}

}  // namespace

void forget_recent_names() noexcept {
  std::fill(std::begin(recent), std::end(recent), Recent{nullptr, nullptr});
  recent_interpreter = -1;
}

NameStrings::~NameStrings() {
  for (std::size_t i = 0; i < in_row_; ++i) Py_DECREF(row_[i].str);
  for (const Entry& entry : table_) Py_XDECREF(entry.str);
}

PyObject* NameStrings::get(std::string_view name) {
  if (table_.empty()) {
    for (std::size_t i = 0; i < in_row_; ++i) {
      if (row_[i].where == name.data()) return row_[i].str;
    }
    return add(name);
  }
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = slot_of(name.data(), mask);; i = (i + 1) & mask) {
    if (table_[i].where == name.data()) return table_[i].str;
    if (table_[i].where == nullptr) return add(name);
  }
}

PyObject* NameStrings::add(std::string_view name) {
  wordsieve::poll_interrupt(1 + name.size() / wordsieve::kBytesPerUnit);  // the name is copied
  if (table_.empty() && in_row_ == kRow) grow();
  PyObject* str = recent_str(name);
  if (str == nullptr) return nullptr;
  if (table_.empty()) {
    row_[in_row_++] = {name.data(), str};
    return str;
  }
  const std::size_t mask = table_.size() - 1;
  std::size_t i = slot_of(name.data(), mask);
  while (table_[i].where != nullptr) i = (i + 1) & mask;
  table_[i] = {name.data(), str};
  if (++used_ * 2 > table_.size()) grow();
  return str;
}

// Moves the row, or the table, into a table twice as large (at least 32 slots).
void NameStrings::grow() {
  std::vector<Entry> bigger(table_.empty() ? 4 * kRow : 2 * table_.size(), Entry{nullptr, nullptr});
  const std::size_t mask = bigger.size() - 1;
  const auto place = [&](const Entry& entry) {
    std::size_t j = slot_of(entry.where, mask);
    while (bigger[j].where != nullptr) j = (j + 1) & mask;
    bigger[j] = entry;
  };
  for (std::size_t i = 0; i < in_row_; ++i) place(row_[i]);
  for (const Entry& entry : table_) {
    if (entry.where != nullptr) place(entry);
  }
  used_ += in_row_;
  in_row_ = 0;
  table_ = std::move(bigger);
}

}  // namespace wordsieve::py
