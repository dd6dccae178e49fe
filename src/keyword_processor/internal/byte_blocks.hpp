// Two sets of bytes looked up for a text 64 bytes at a time: bit i of a block's mask tells whether
// byte i of the block is in the set. With AVX-512 VBMI one block takes two table permutations,
// with AVX2 a few nibble shuffles; elsewhere a table lookup per byte gives the same masks. The
// instruction set is chosen once, at run time; every form gives the same masks and the tests
// compare them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wordsieve {

enum class SimdLevel : unsigned char { kPortable, kAvx2, kAvx512Vbmi };

// The widest form this processor can run. Both vector forms also imply the bit instructions
// (BMI1, BMI2, POPCNT) that every processor with AVX2 has.
SimdLevel best_simd_level() noexcept;

// For tests: makes best_simd_level() report at most `level` from now on, for the whole process.
// Structures already built keep the form they were built for (a processor's derived structures
// are rebuilt after `derived.forget()`).
void limit_simd_level(SimdLevel level) noexcept;

// Which of the two sets each byte value belongs to (bit 0: the first, bit 1: the second), in the
// forms the instruction sets look it up in.
class ByteSets {
 public:
  ByteSets() noexcept;

  unsigned char of(unsigned char byte) const noexcept { return classes_[byte]; }
  // Sets the membership of one byte value (bits 0 and 1 of `sets`).
  void assign(unsigned char byte, unsigned char sets) noexcept;

  // Fills first[k] and second[k] for the `blocks` blocks of 64 bytes at p (64 * blocks readable
  // bytes) with the masks of the two sets.
  void classify(const unsigned char* p, std::size_t blocks, std::uint64_t* first, std::uint64_t* second,
                SimdLevel level) const noexcept;

 private:
  alignas(64) unsigned char classes_[256];
  // For AVX2: per set, the bytes below 0x80 and those from 0x80, each as a 16-entry table indexed
  // by the low four bits whose entry holds one bit per value of bits 4-6, twice (both lanes).
  alignas(32) unsigned char low_[2][32];
  alignas(32) unsigned char high_[2][32];
};

// Writes in[0, n) lowercased (A-Z to a-z) to out[0, n) while it is ASCII, a block at a time, and
// returns how many bytes from the start are ASCII (n for an ASCII text): those are written, and
// bytes after them up to the end of their block (never past n) may have been written too, for the
// caller to overwrite.
std::size_t lower_ascii_prefix(const unsigned char* in, std::size_t n, unsigned char* out,
                               SimdLevel level) noexcept;

}  // namespace wordsieve
