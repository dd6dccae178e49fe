// Decodes arbitrary bytes as a processor state. Whatever decodes must re-encode to a state that
// decodes again and re-encodes to the very same bytes; anything that does not decode must fail
// through the decoder's internal failure, never by crashing.
//
// A state begins with 139 KB of word set, which random mutation rarely keeps intact. So the first
// input byte picks the mode: odd means "the default word set, then the rest of the input" (the trie
// and flags get all the mutations), even means "the rest of the input is the whole state".
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "keyword_processor/failure.hpp"
#include "native/processor_state.hpp"

namespace {

using wordsieve::KeywordProcessor;

std::string encode(const KeywordProcessor& p) {
  std::string out(wordsieve::processor_state_size(p), '\0');
  wordsieve::write_processor_state(p, out.data(), out.size());
  return out;
}

const std::string& default_set() {
  static const std::string set = [] {
    const std::string full = encode(KeywordProcessor());
    return full.substr(0, 8 + wordsieve::WordSet::kWords * 8);
  }();
  return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string owned;
  std::string_view state = rest;
  if ((data[0] & 1) != 0) {
    owned = default_set();
    owned.append(rest);
    state = owned;
  }

  std::string first;
  try {
    const KeywordProcessor p = wordsieve::read_processor_state(state);
    // The listing and the count walk foreign tries too (keys above 0xFF, bare inner nodes).
    (void)p.num_keywords();
    (void)p.get_all_keywords();
    first = encode(p);
  } catch (const wordsieve::InternalFailure&) {
    return 0;
  }
  // From here on every failure is a bug: an encoded state must always decode.
  try {
    const std::string second = encode(wordsieve::read_processor_state(first));
    if (second != first) std::abort();
  } catch (const wordsieve::InternalFailure&) {
    std::abort();
  }
  return 0;
}
