// Fuzzing of the lowercasing. The first input byte picks how the rest becomes a text:
//   0: the bytes as they are (mostly not UTF-8: invalid bytes must be copied unchanged);
//   1: code points, three bytes each, reduced to scalar values (every table entry is reachable);
//   2: pieces of an alphabet made for the Final_Sigma rule and the characters whose UTF-8 length
//      changes, with ASCII runs long enough for the 16-byte blocks.
// The result must equal a per-code-point lowercasing straight from the generated tables, be valid
// UTF-8 whenever the input is, and the offset map must take every offset of the result back to
// the input: a character boundary to the same boundary, a place inside a character to the same
// place when its length did not change and to nothing when it did.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "keyword_processor/internal/byte_blocks.hpp"
#include "keyword_processor/normalize.hpp"
#include "reference_text.hpp"

namespace {

namespace ref = wordsieve::reference;

[[noreturn]] void mismatch(const char* what) {
  std::fprintf(stdout, "mismatch: %s\n", what);
  std::fflush(stdout);
  std::abort();
}

constexpr std::array<std::string_view, 24> kPieces = {
    "\xCE\xA3",          // Σ capital sigma
    "\xCE\xA3",          // (twice as likely)
    "A",  "b",  "'",  ".",  ":",  " ",
    "\xCC\x81",          // U+0301 combining acute: case-ignorable
    "\xCD\x85",          // U+0345: cased and case-ignorable
    "\xC2\xAD",          // U+00AD soft hyphen: case-ignorable
    "\xC4\xB0",          // İ: 2 bytes to 3
    "\xC8\xBA",          // U+023A: 2 bytes to 3
    "\xE2\x84\xAA",      // Kelvin sign: 3 bytes to 1
    "\xE1\xBA\x9E",      // ẞ: 3 bytes to 2
    "\xEA\x9F\x9C",      // U+A7DC: 3 bytes to 2
    "\xF0\x90\x90\x80",  // U+10400 Deseret: 4 bytes to 4
    "\xE1\xBE\x88",      // U+1F88: titlecase with a simple lowercase
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
    "\xC3",              // a lead byte without its continuation
    "\x80",              // a stray continuation byte
    "\xED\xA0\x80",      // an encoded surrogate: three invalid bytes
    "\xCF\x82",          // ς
    "1",
};

std::string make_text(FuzzedDataProvider& in) {
  const int mode = in.ConsumeIntegralInRange<int>(0, 2);
  if (mode == 0) return in.ConsumeRemainingBytesAsString();
  std::string text;
  if (mode == 1) {
    while (in.remaining_bytes() >= 3) {
      std::uint32_t cp = in.ConsumeIntegral<std::uint32_t>() % 0x110000;
      if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;
      ref::append_utf8(text, cp);
    }
    return text;
  }
  while (in.remaining_bytes() > 0) text += kPieces[in.ConsumeIntegralInRange<std::size_t>(0, kPieces.size() - 1)];
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string text = make_text(in);

  const ref::Lowered want = ref::lowercase(text);
  // Every instruction set the machine has lowercases ASCII in blocks of its own size.
  for (const auto level : {wordsieve::SimdLevel::kPortable, wordsieve::SimdLevel::kAvx2}) {
    wordsieve::limit_simd_level(level);
    if (wordsieve::normalize_text(text) != want.text) mismatch("lowercasing differs from the reference");
  }
  wordsieve::limit_simd_level(wordsieve::SimdLevel::kAvx512Vbmi);
  const std::string got = wordsieve::normalize_text(text);
  if (got != want.text) mismatch("lowercasing differs from the reference");
  std::string storage(text.size() % 7, 'x');  // reused storage, as extraction passes it
  const std::size_t length = wordsieve::normalize_text_into(text, storage, 136, nullptr);
  if (storage.substr(0, length) != got) {
    mismatch("lowercasing into storage differs");
  }
  if (ref::is_valid_utf8(text) && !ref::is_valid_utf8(got)) mismatch("result is not UTF-8");

  wordsieve::OffsetMap map;
  map.record({4, 2, 3, 4});  // stale content must be cleared
  if (wordsieve::normalize_text(text, map) != got) mismatch("the mapping form lowercases differently");

  bool any_change = false;
  for (const ref::Placed& c : want.chars) {
    const bool changed = c.out_len != c.in_len;
    any_change |= changed;
    for (std::size_t k = 0; k < c.out_len; ++k) {
      const std::optional<std::uint64_t> back = map.to_input(c.out_start + k);
      std::optional<std::uint64_t> expected;
      if (k == 0) {
        expected = c.in_start;
      } else if (!changed) {
        expected = c.in_start + k;
      }
      if (back != expected) mismatch("offset map");
    }
  }
  if (map.to_input(got.size()) != std::optional<std::uint64_t>(text.size())) mismatch("offset map at the end");
  if (map.is_identity() == any_change) mismatch("offset map identity");
  return 0;
}
