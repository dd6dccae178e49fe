// repr(PyKeywordMatch): "KeywordMatch(keyword='...', similarity=X.XX, start=S, end=E)".
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>

#include "guard.hpp"
#include "match_methods.hpp"
#include "match_type.hpp"
#include "panic.hpp"

namespace wordsieve::py {

namespace {

// Two decimals of the exact single-precision value, ties to the even digit. std::to_chars rounds
// the exact binary value (0.125 -> "0.12", 0.375 -> "0.38") and, unlike printf, ignores the locale
// that Python code may have set, so a decimal comma can never appear.
void append_similarity(std::string& out, float similarity) {
  if (std::isnan(similarity)) {
    out += "NaN";
    return;
  }
  if (std::isinf(similarity)) {
    out += similarity < 0 ? "-inf" : "inf";
    return;
  }
  // The largest float has 39 integer digits; sign, point and two decimals fit easily.
  char digits[64];
  const auto result = std::to_chars(digits, digits + sizeof digits, static_cast<double>(similarity),
                                    std::chars_format::fixed, 2);
  if (result.ec != std::errc()) throw std::system_error(std::make_error_code(result.ec));
  out.append(digits, result.ptr);
}

void append_unsigned(std::string& out, std::uint64_t value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace

PyObject* match_repr(PyObject* self) noexcept {
  return entry_point([&]() -> PyObject* {
    SharedRef<MatchClass> match(self);
    if (!match) return nullptr;
    // The keyword goes in as stored, without escaping: quotes and control characters stay as they are.
    Py_ssize_t keyword_size = 0;
    const char* keyword = PyUnicode_AsUTF8AndSize(match->keyword.get(), &keyword_size);
    if (keyword == nullptr) {
      propagate_python_error();
      return nullptr;
    }
    std::string text = "KeywordMatch(keyword='";
    text.append(keyword, static_cast<std::size_t>(keyword_size));
    text += "', similarity=";
    append_similarity(text, match->similarity);
    text += ", start=";
    append_unsigned(text, match->start);
    text += ", end=";
    append_unsigned(text, match->end);
    text += ")";
    PyObject* repr = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (repr == nullptr) propagate_python_error();
    return repr;
  });
}

}  // namespace wordsieve::py
