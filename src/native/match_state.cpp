#include "match_state.hpp"

#include <bit>
#include <cstring>

#include "state_codec.hpp"

namespace wordsieve {

using state_codec::Cursor;
using state_codec::store_u64;

void write_match_state(const MatchFields& record, char* out) noexcept {
  const std::size_t length = record.keyword.size();
  store_u64(out, length);
  if (length != 0) std::memcpy(out + 8, record.keyword.data(), length);
  // The float's bits go out unchanged (NaN payloads included), so a round trip is exact.
  const auto bits = std::bit_cast<std::uint32_t>(record.similarity);
  for (int i = 0; i < 4; ++i) out[8 + length + i] = static_cast<char>(bits >> (8 * i));
  store_u64(out + 12 + length, record.start);
  store_u64(out + 20 + length, record.end);
}

MatchRecord read_match_state(std::string_view state) {
  Cursor in(state);
  MatchRecord record;
  record.keyword = std::string(in.text());
  if (in.remaining() < 20) state_codec::unexpected_end();
  const std::string_view similarity = in.take(4);
  std::uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    bits |= std::uint32_t{static_cast<unsigned char>(similarity[i])} << (8 * i);
  }
  record.similarity = std::bit_cast<float>(bits);
  record.start = in.u64();
  record.end = in.u64();
  return record;
}

}  // namespace wordsieve
