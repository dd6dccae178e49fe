// Lowercasing used when matching ignores case: the Unicode default lowercase conversion (Unicode
// 17.0.0, no language tailoring), including the Final_Sigma rule for capital sigma.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace wordsieve {

// Lowercases UTF-8 text. Bytes that are not part of a valid UTF-8 sequence are copied unchanged.
std::string normalize_text(std::string_view text);

// Where lowercasing changed the UTF-8 length of a character (27 characters do, e.g. U+0130 grows
// from 2 to 3 bytes and U+212A shrinks from 3 to 1), offsets into the lowercased text no longer
// equal offsets into the input. The map records those characters so offsets can be taken back.
//
// A text may change length at every other byte, so each change costs one or two bytes: its two
// lengths and its distance from the change before (the same in input and output, since everything
// in between keeps its length), in blocks that never move once written. Every kCheckpointEvery
// changes a checkpoint holds the positions reached, for lookups in any order.
class OffsetMap {
 public:
  // The input offset of `offset` in the lowercased text. Offsets inside a character whose length
  // changed have no counterpart: nullopt.
  std::optional<std::uint64_t> to_input(std::uint64_t offset) const noexcept;

  bool is_identity() const noexcept { return count_ == 0; }

  struct Change {
    std::uint64_t out_start;  // where the lowercased character starts in the output
    std::uint32_t out_len;    // 1 to 4
    std::uint32_t in_len;     // 1 to 4
    std::uint64_t in_start;   // where the original character starts in the input
  };
  // Changes come in increasing offset order; the bytes between two of them keep their length.
  void record(const Change& change);
  void clear() noexcept;

  // Takes offsets back in non-decreasing order at the cost of one pass over the changes for all
  // of them (an offset below the previous one is looked up from a checkpoint).
  class Cursor {
   public:
    explicit Cursor(const OffsetMap& map) noexcept : map_(&map) {}
    std::optional<std::uint64_t> to_input(std::uint64_t offset) noexcept;

   private:
    friend class OffsetMap;
    void restart(std::uint64_t offset) noexcept;  // at the checkpoint for `offset`
    bool next_change() noexcept;  // decodes the change after the current position

    const OffsetMap* map_;
    std::uint64_t index_ = 0;   // changes passed
    std::uint64_t code_ = 0;    // where the next change's code starts
    std::uint64_t out_ = 0;     // where the last change passed ends, in the output
    std::uint64_t in_ = 0;      // and in the input
    bool pending_ = false;      // the next change is decoded into the fields below
    std::uint64_t next_out_ = 0;
    std::uint64_t next_in_ = 0;
    std::uint32_t next_out_len_ = 0;
    std::uint32_t next_in_len_ = 0;
    std::uint64_t last_query_ = 0;
  };

 private:
  static constexpr std::uint64_t kCheckpointEvery = 64;
  struct Checkpoint {
    std::uint64_t code;  // where the code of change k * kCheckpointEvery starts
    std::uint64_t out;   // where the change before it ends, in the output
    std::uint64_t in;    // and in the input
  };

  std::deque<unsigned char> codes_;
  std::deque<Checkpoint> checkpoints_;
  std::uint64_t count_ = 0;
  std::uint64_t out_end_ = 0;  // where the last change recorded ends
  std::uint64_t in_end_ = 0;
};

// As above, and fills `map` (cleared first) with every length-changing character.
std::string normalize_text(std::string_view text, OffsetMap& map);

// Lowercases `text` into `out`, reusing its storage (filling `map` when it is not null): afterwards
// out[0, returned length) is the lowercased text, followed by at least `padding` more bytes of no
// meaning, for readers that load whole words past its end. `out` is never made shorter.
std::size_t normalize_text_into(std::string_view text, std::string& out, std::size_t padding, OffsetMap* map);

}  // namespace wordsieve
