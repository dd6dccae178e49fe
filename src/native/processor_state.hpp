// The persisted state of a keyword processor: the word-character set, the whole trie and the two
// flags, in one byte record with no header. Stored pickles are read back by later versions, so the
// layout is fixed byte for byte:
//
//   u64 17408 | 17408 u64 words (LE) | root node | case_sensitive | allow_overlaps
//   node = u64 child count, (key as UTF-8 of its code point, child node)*, option tag, [u64 len, bytes]
//
// Writing is two passes (size, then write into a buffer of exactly that size) so the caller can
// allocate its output object once. Reading builds a new processor apart from any existing one; the
// caller swaps it in only when reading succeeded. Both directions use explicit stacks: a trie is as
// deep as its longest keyword, and a hostile state can nest a million levels in a few megabytes.
#pragma once

#include <cstddef>
#include <string_view>

#include "keyword_processor/processor.hpp"

namespace wordsieve {

// The exact length of the state record of `processor`.
std::size_t processor_state_size(const KeywordProcessor& processor);

// Writes the state record into `out`, which holds exactly `size` bytes, the value returned by
// processor_state_size for the unchanged processor.
void write_processor_state(const KeywordProcessor& processor, char* out, std::size_t size);

// Decodes a state record. A malformed record is an internal failure (`fail`) whose message names the
// first fault found reading front to back; bytes after a complete record are ignored.
KeywordProcessor read_processor_state(std::string_view state);

}  // namespace wordsieve
