// Plain reference versions of the text handling that the fuzz targets compare the engine against:
// UTF-8 decoding by the well-formed sequences of the Unicode standard, one code point at a time,
// and lowercasing straight from the generated tables. Written for obviousness, not speed: no ASCII
// blocks, no page index, no backward decoding.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/internal/unicode_tables.hpp"

namespace wordsieve::reference {

namespace ut = unicode_tables;

// One character of the input, or one byte that is not part of a well-formed sequence.
struct Char {
  bool valid;
  std::uint32_t cp;  // meaningful when valid
  std::size_t start;
  std::size_t len;
};

// Table 3-7 of the Unicode standard: the ranges of the second byte depend on the first.
inline std::vector<Char> decode_all(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::vector<Char> out;
  std::size_t i = 0;
  const auto cont = [&](std::size_t at, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return at < n && s[at] >= lo && s[at] <= hi;
  };
  while (i < n) {
    const unsigned b = s[i];
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) {
      len = 1;
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF && cont(i + 1)) {
      len = 2;
      cp = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
    } else if (b >= 0xE0 && b <= 0xEF &&
               cont(i + 1, b == 0xE0 ? 0xA0 : 0x80, b == 0xED ? 0x9F : 0xBF) && cont(i + 2)) {
      len = 3;
      cp = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
    } else if (b >= 0xF0 && b <= 0xF4 &&
               cont(i + 1, b == 0xF0 ? 0x90 : 0x80, b == 0xF4 ? 0x8F : 0xBF) && cont(i + 2) &&
               cont(i + 3)) {
      len = 4;
      cp = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
    }
    if (len == 0) {
      out.push_back({false, 0, i, 1});
      ++i;
    } else {
      out.push_back({true, cp, i, len});
      i += len;
    }
  }
  return out;
}

inline bool is_valid_utf8(std::string_view text) {
  for (const Char& c : decode_all(text)) {
    if (!c.valid) return false;
  }
  return true;
}

// Written apart from the engine's encoder, as the general rule (a lead byte carrying the top bits,
// then six bits per continuation byte), so that the oracle shares no mistake with what it checks.
inline void append_utf8(std::string& out, std::uint32_t cp) {
  static constexpr unsigned char kLeadMarks[] = {0x00, 0xC0, 0xE0, 0xF0};
  const int continuations = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  out.push_back(static_cast<char>(kLeadMarks[continuations] | (cp >> (6 * continuations))));
  for (int k = continuations - 1; k >= 0; --k) {
    out.push_back(static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F)));
  }
}

inline bool in_ranges(const ut::CodeRange* ranges, std::size_t count, std::uint32_t cp) {
  return std::any_of(ranges, ranges + count,
                     [cp](const ut::CodeRange& r) { return r.first <= cp && cp <= r.last; });
}

inline bool is_cased(const Char& c) { return c.valid && in_ranges(ut::kCased, ut::kCasedCount, c.cp); }
inline bool is_case_ignorable(const Char& c) {
  return c.valid && in_ranges(ut::kCaseIgnorable, ut::kCaseIgnorableCount, c.cp);
}

// The Final_Sigma condition for chars[k], over the whole input.
inline bool final_sigma(const std::vector<Char>& chars, std::size_t k) {
  bool cased_before = false;
  for (std::size_t j = k; j-- > 0;) {
    if (is_case_ignorable(chars[j])) continue;
    cased_before = is_cased(chars[j]);
    break;
  }
  if (!cased_before) return false;
  for (std::size_t j = k + 1; j < chars.size(); ++j) {
    if (is_case_ignorable(chars[j])) continue;
    return !is_cased(chars[j]);
  }
  return true;
}

// Where one input character went in the lowercased text.
struct Placed {
  std::size_t in_start, in_len;
  std::size_t out_start, out_len;
};

struct Lowered {
  std::string text;
  std::vector<Placed> chars;  // one per input character (or invalid byte), in order
};

inline Lowered lowercase(std::string_view text) {
  const std::vector<Char> chars = decode_all(text);
  Lowered out;
  out.chars.reserve(chars.size());
  for (std::size_t k = 0; k < chars.size(); ++k) {
    const Char& c = chars[k];
    const std::size_t out_start = out.text.size();
    if (!c.valid) {
      out.text.push_back(text[c.start]);
    } else if (c.cp < 0x80) {
      out.text.push_back(static_cast<char>(c.cp >= 'A' && c.cp <= 'Z' ? c.cp + 32 : c.cp));
    } else if (c.cp == 0x03A3) {
      append_utf8(out.text, final_sigma(chars, k) ? 0x03C2 : 0x03C3);
    } else {
      const std::uint32_t* end = ut::kLowerFrom + ut::kLowerCount;
      const std::uint32_t* at = std::lower_bound(ut::kLowerFrom, end, c.cp);
      if (at != end && *at == c.cp) {
        const ut::LowerForm& form = ut::kLowerForms[at - ut::kLowerFrom];
        out.text.append(form.bytes, form.len);
      } else {
        out.text.append(text.substr(c.start, c.len));
      }
    }
    out.chars.push_back({c.start, c.len, out_start, out.text.size() - out_start});
  }
  return out;
}

// The input offset of an offset into the lowercased text: a character boundary maps to the same
// boundary; a place inside a character maps inside it only when its length did not change.
inline std::optional<std::size_t> to_input(const Lowered& lowered, std::size_t input_size,
                                           std::size_t offset) {
  if (offset == lowered.text.size()) return input_size;
  for (const Placed& c : lowered.chars) {
    if (offset < c.out_start || offset >= c.out_start + c.out_len) continue;
    if (offset == c.out_start) return c.in_start;
    if (c.out_len != c.in_len) return std::nullopt;
    return c.in_start + (offset - c.out_start);
  }
  return std::nullopt;  // beyond the text
}

}  // namespace wordsieve::reference
