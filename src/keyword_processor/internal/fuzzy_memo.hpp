// Results of the fuzzy search remembered by the text they depend on, so that a start position whose
// next bytes were searched before costs a lookup.
//
// The search from p reads the bytes of a window s[p, p+W) and, beyond it, only whether each byte
// of s[p+W, p+W+V) is foreign (the bound looks at where the next words end, not at what they
// spell); it reports W, V and whether its decisions depended on where the text ends
// (FuzzySearch::bytes_read, bits_read, saw_end). Its result is the literal search's, and it is a
// function of what it read: run again where the text continues with the same W bytes and the
// same pattern of foreign bytes after them, without ending inside, it reads the same, takes the
// same decisions and returns the same candidate. Only searches that did not meet the end of the
// text are kept, and a hit needs both parts to be equal and inside the text.
//
// A start position gives, before any search, a key: the bytes up to and including the first
// foreign byte after it (a word and the space that ends it), at most kKeyMax. The memo keeps, per
// key, the pairs (W, V) its searches had (a few), and per window its result; a lookup tries the
// remembered pairs. A memo serves one processor and one threshold, the first it is used with,
// while the processor does not change; it holds at most kMaxEntries windows.
#pragma once

#include <cstdint>
#include <vector>

#include "keyword_processor/fuzzy.hpp"

namespace wordsieve {

class FuzzyMemo {
 public:
  static constexpr std::uint64_t kKeyMax = 24;
  static constexpr std::uint64_t kWindowMax = 64;  // of each part
  static constexpr std::size_t kMaxEntries = std::size_t{1} << 17;  // about 16 MiB
  static constexpr std::size_t kLengthsPerKey = 8;

  struct Result {
    bool found;
    FuzzyCandidate candidate;
  };

  // The result remembered for the text at `text` (absolute position `at` of the search's text, with
  // `left` bytes from there to the end), found under its key of `key_size` bytes; null when there
  // is none. `regime` distinguishes searches whose arithmetic differs (FuzzySearch::regime);
  // `search` tells which bytes are foreign.
  const Result* find(const unsigned char* text, std::uint64_t at, std::uint64_t left,
                     std::uint64_t key_size, unsigned regime, const FuzzySearch& search) const noexcept;

  // Keeps `result` for a search that read the bytes text[0, bytes) and the foreign pattern of
  // text[bytes, bytes + bits), under its key of `key_size` bytes, when there is room.
  void insert(const unsigned char* text, std::uint64_t at, std::uint64_t key_size,
              std::uint64_t bytes, std::uint64_t bits, unsigned regime, const FuzzySearch& search,
              const Result& result);

  // A similarity that some state reaches from any start whose text begins with this key: that of
  // a remembered candidate that consumed fewer bytes than the key, whose path read only the key
  // (0 when there is none).
  float reached(const unsigned char* text, std::uint64_t key_size, unsigned regime) const noexcept;

  void clear() noexcept;
  std::size_t size() const noexcept { return windows_.items.size(); }

 private:
  // A table of byte strings (with a regime) to values, by open addressing over indices.
  template <typename Value>
  struct Table {
    struct Item {
      std::uint64_t hash;
      std::uint32_t bytes;  // offset in bytes_
      std::uint8_t size;
      std::uint8_t regime;
      Value value;
    };
    std::vector<std::uint32_t> slots;  // index into items, plus one; 0 is empty
    std::vector<Item> items;

    // The slot holding this string, or the empty slot where it would go.
    std::size_t slot_of(const std::vector<unsigned char>& bytes, std::uint64_t hash,
                        const unsigned char* text, std::uint64_t size, unsigned regime) const noexcept;
    const Item* find(const std::vector<unsigned char>& bytes, const unsigned char* text,
                     std::uint64_t size, unsigned regime) const noexcept;
    // The item for this string, added with `value` when missing.
    Item& find_or_add(std::vector<unsigned char>& bytes, const unsigned char* text,
                      std::uint64_t size, unsigned regime, const Value& value);
    void clear() noexcept;
  };

  struct Lengths {
    float reached;  // the greatest similarity of a kept candidate inside its key, or 0
    std::uint8_t count;
    std::uint8_t bytes[kLengthsPerKey];
    std::uint8_t bits[kLengthsPerKey];
  };
  // A window's bytes followed by its foreign pattern and the pattern's length: what its entry is
  // found by. Returns the length.
  static std::uint64_t compose(const unsigned char* text, std::uint64_t at, std::uint64_t bytes,
                               std::uint64_t bits, const FuzzySearch& search, unsigned char* out) noexcept;

  Table<Lengths> keys_;
  Table<Result> windows_;
  std::vector<unsigned char> bytes_;  // the keys and windows, one after the other
};

}  // namespace wordsieve
