// Decodes arbitrary bytes as a match state. The format has a single encoding, so whatever decodes
// must re-encode to exactly the bytes it was read from (trailing bytes aside), and decode again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "keyword_processor/failure.hpp"
#include "native/match_state.hpp"

namespace {

std::string encode(const wordsieve::MatchRecord& record) {
  std::string out(wordsieve::match_state_size(record), '\0');
  wordsieve::write_match_state(record, out.data());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view state(reinterpret_cast<const char*>(data), size);
  std::string first;
  try {
    first = encode(wordsieve::read_match_state(state));
  } catch (const wordsieve::InternalFailure&) {
    return 0;
  }
  if (first.size() > state.size() || state.substr(0, first.size()) != first) std::abort();
  try {
    if (encode(wordsieve::read_match_state(first)) != first) std::abort();
  } catch (const wordsieve::InternalFailure&) {
    std::abort();
  }
  return 0;
}
