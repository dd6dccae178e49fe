#include "name_strings.hpp"

#include <cstdint>
#include <utility>

#include "keyword_processor/interrupt.hpp"

namespace wordsieve::py {

namespace {

std::size_t slot_of(const char* where, std::size_t mask) noexcept {
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(where));
  return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ULL) >> 40) & mask;
}

}  // namespace

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
  PyObject* str = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
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
