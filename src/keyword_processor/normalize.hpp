// Lowercasing used when matching ignores case: the Unicode default lowercase conversion (Unicode
// 17.0.0, no language tailoring), including the Final_Sigma rule for capital sigma.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wordsieve {

// Lowercases UTF-8 text. Bytes that are not part of a valid UTF-8 sequence are copied unchanged.
std::string normalize_text(std::string_view text);

// Where lowercasing changed the UTF-8 length of a character (27 characters do, e.g. U+0130 grows
// from 2 to 3 bytes and U+212A shrinks from 3 to 1), offsets into the lowercased text no longer
// equal offsets into the input. The map records those characters so offsets can be taken back.
class OffsetMap {
 public:
  // The input offset of `offset` in the lowercased text. Offsets inside a character whose length
  // changed have no counterpart: nullopt.
  std::optional<std::uint64_t> to_input(std::uint64_t offset) const noexcept;

  bool is_identity() const noexcept { return changes_.empty(); }

  struct Change {
    std::uint64_t out_start;  // where the lowercased character starts in the output
    std::uint32_t out_len;
    std::uint32_t in_len;
    std::uint64_t in_start;   // where the original character starts in the input
  };
  void record(const Change& change) { changes_.push_back(change); }
  void clear() noexcept { changes_.clear(); }

 private:
  std::vector<Change> changes_;  // in increasing offset order
};

// As above, and fills `map` (cleared first) with every length-changing character.
std::string normalize_text(std::string_view text, OffsetMap& map);

// Lowercases `text` into `out`, reusing its storage (filling `map` when it is not null): afterwards
// out[0, returned length) is the lowercased text, followed by at least `padding` more bytes of no
// meaning, for readers that load whole words past its end. `out` is never made shorter.
std::size_t normalize_text_into(std::string_view text, std::string& out, std::size_t padding, OffsetMap* map);

}  // namespace wordsieve
