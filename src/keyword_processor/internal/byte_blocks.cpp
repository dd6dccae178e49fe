#include "byte_blocks.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>

#include "keyword_processor/platform_features.hpp"

#if defined(WORDSIEVE_AVX2)
#include <immintrin.h>
#endif

namespace wordsieve {

namespace {

#if defined(WORDSIEVE_AVX2)

__attribute__((target("avx2"))) void classify_avx2(const unsigned char* p, std::size_t blocks,
                                                   const unsigned char (*low)[32],
                                                   const unsigned char (*high)[32], std::uint64_t* first,
                                                   std::uint64_t* second) noexcept {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i bit_of = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, static_cast<char>(128), 1, 2, 4, 8, 16,
                                          32, 64, static_cast<char>(128), 1, 2, 4, 8, 16, 32, 64,
                                          static_cast<char>(128), 1, 2, 4, 8, 16, 32, 64,
                                          static_cast<char>(128));
  const __m256i low0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(low[0]));
  const __m256i high0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(high[0]));
  const __m256i low1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(low[1]));
  const __m256i high1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(high[1]));
  for (std::size_t k = 0; k < blocks; ++k) {
    std::uint64_t in0 = 0;
    std::uint64_t in1 = 0;
    for (int half = 0; half < 2; ++half) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 64 * k + 32 * half));
      const __m256i lo = _mm256_and_si256(v, nibble);
      const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
      const __m256i bit = _mm256_shuffle_epi8(bit_of, hi);  // 1 << (bits 4-6)
      const __m256i upper = _mm256_cmpgt_epi8(_mm256_setzero_si256(), v);  // byte >= 0x80
      const __m256i row0 =
          _mm256_blendv_epi8(_mm256_shuffle_epi8(low0, lo), _mm256_shuffle_epi8(high0, lo), upper);
      const __m256i row1 =
          _mm256_blendv_epi8(_mm256_shuffle_epi8(low1, lo), _mm256_shuffle_epi8(high1, lo), upper);
      const auto m0 = static_cast<std::uint32_t>(
          _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(row0, bit), bit)));
      const auto m1 = static_cast<std::uint32_t>(
          _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(row1, bit), bit)));
      in0 |= std::uint64_t{m0} << (32 * half);
      in1 |= std::uint64_t{m1} << (32 * half);
    }
    first[k] = in0;
    second[k] = in1;
  }
}

// The 256 class bytes are four 64-byte tables: one permutation looks a block up in the lower two
// (the byte's low seven bits index them), one in the upper two, and the byte's high bit chooses.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void classify_vbmi(
    const unsigned char* p, std::size_t blocks, const unsigned char* classes, std::uint64_t* first,
    std::uint64_t* second) noexcept {
  const __m512i t0 = _mm512_load_si512(classes);
  const __m512i t1 = _mm512_load_si512(classes + 64);
  const __m512i t2 = _mm512_load_si512(classes + 128);
  const __m512i t3 = _mm512_load_si512(classes + 192);
  const __m512i bit0 = _mm512_set1_epi8(1);
  const __m512i bit1 = _mm512_set1_epi8(2);
  for (std::size_t k = 0; k < blocks; ++k) {
    const __m512i v = _mm512_loadu_si512(p + 64 * k);
    const __m512i lower = _mm512_permutex2var_epi8(t0, v, t1);
    const __m512i upper = _mm512_permutex2var_epi8(t2, v, t3);
    const __m512i cls = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), lower, upper);
    first[k] = _mm512_test_epi8_mask(cls, bit0);
    second[k] = _mm512_test_epi8_mask(cls, bit1);
  }
}

__attribute__((target("avx2"))) std::size_t lower_ascii_avx2(const unsigned char* in, std::size_t n,
                                                              unsigned char* out) noexcept {
  // Bytes A-Z are those that, shifted by 128 - 'A', fall below -128 + 26 as signed bytes.
  const __m256i shift = _mm256_set1_epi8(static_cast<char>(128 - 'A'));
  const __m256i limit = _mm256_set1_epi8(static_cast<char>(-128 + 26));
  const __m256i case_bit = _mm256_set1_epi8(0x20);
  std::size_t done = 0;
  for (; n - done >= 32; done += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
    const __m256i upper = _mm256_cmpgt_epi8(limit, _mm256_add_epi8(v, shift));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done),
                        _mm256_or_si256(v, _mm256_and_si256(upper, case_bit)));
    const auto high = static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
    if (high != 0) return done + static_cast<std::size_t>(__builtin_ctz(high));
  }
  return done;
}

__attribute__((target("avx512f,avx512bw"))) std::size_t lower_ascii_avx512(const unsigned char* in, std::size_t n,
                                                                           unsigned char* out) noexcept {
  const __m512i a = _mm512_set1_epi8('A');
  const __m512i letters = _mm512_set1_epi8(26);
  const __m512i case_bit = _mm512_set1_epi8(0x20);
  std::size_t done = 0;
  for (; n - done >= 64; done += 64) {
    const __m512i v = _mm512_loadu_si512(in + done);
    const __mmask64 upper = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, a), letters);
    _mm512_storeu_si512(out + done, _mm512_mask_add_epi8(v, upper, v, case_bit));
    const __mmask64 high = _mm512_movepi8_mask(v);
    if (high != 0) return done + static_cast<std::size_t>(__builtin_ctzll(high));
  }
  if (done == n) return n;
  // The last bytes, read and written under a mask.
  const __mmask64 tail = (__mmask64{1} << (n - done)) - 1;
  const __m512i v = _mm512_maskz_loadu_epi8(tail, in + done);
  const __mmask64 upper = _mm512_cmplt_epu8_mask(_mm512_sub_epi8(v, a), letters) & tail;
  _mm512_mask_storeu_epi8(out + done, tail, _mm512_mask_add_epi8(v, upper, v, case_bit));
  const __mmask64 high = _mm512_movepi8_mask(v) & tail;
  return high != 0 ? done + static_cast<std::size_t>(__builtin_ctzll(high)) : n;
}

#endif

// Eight bytes at a time with plain integer arithmetic.
std::size_t lower_ascii_portable(const unsigned char* in, std::size_t n, unsigned char* out) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::size_t done = 0;
  for (; n - done >= 8; done += 8) {
    std::uint64_t w;
    std::memcpy(&w, in + done, 8);
    // The high bits are cleared before adding so that no sum carries into the next byte.
    const std::uint64_t low7 = w & ~kHigh;
    const std::uint64_t upper = (low7 + kOnes * (0x80 - 'A')) & ~(low7 + kOnes * (0x80 - 'Z' - 1)) & ~w & kHigh;
    const std::uint64_t lowered = w | (upper >> 2);
    std::memcpy(out + done, &lowered, 8);
    if ((w & kHigh) != 0) {
      std::size_t k = 0;
      while (in[done + k] < 0x80) ++k;
      return done + k;
    }
  }
  for (; done < n && in[done] < 0x80; ++done) {
    const unsigned char c = in[done];
    out[done] = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
  }
  return done;
}

}  // namespace

std::size_t lower_ascii_prefix(const unsigned char* in, std::size_t n, unsigned char* out,
                               SimdLevel level) noexcept {
  std::size_t done = 0;
#if defined(WORDSIEVE_AVX2)
  if (level == SimdLevel::kAvx512Vbmi) {
    done = lower_ascii_avx512(in, n, out);
  } else if (level == SimdLevel::kAvx2) {
    done = lower_ascii_avx2(in, n, out);
  }
  if (done < n && in[done] >= 0x80) return done;
#else
  (void)level;
#endif
  return done + lower_ascii_portable(in + done, n - done, out + done);
}

namespace {

SimdLevel detected_simd_level() noexcept {
#if defined(WORDSIEVE_AVX2)
  __builtin_cpu_init();
  const bool bits = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
                    __builtin_cpu_supports("popcnt");
  if (bits && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi")) {
    return SimdLevel::kAvx512Vbmi;
  }
  if (bits && __builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
#endif
  return SimdLevel::kPortable;
}

std::atomic<SimdLevel> simd_limit{SimdLevel::kAvx512Vbmi};

}  // namespace

SimdLevel best_simd_level() noexcept {
  static const SimdLevel detected = detected_simd_level();
  return std::min(detected, simd_limit.load(std::memory_order_relaxed));
}

void limit_simd_level(SimdLevel level) noexcept { simd_limit.store(level, std::memory_order_relaxed); }

ByteSets::ByteSets() noexcept : classes_{}, low_{}, high_{} {}

void ByteSets::assign(unsigned char byte, unsigned char sets) noexcept {
  classes_[byte] = sets & 3U;
  const auto bit = static_cast<unsigned char>(1U << ((byte >> 4) & 7));
  for (int set = 0; set < 2; ++set) {
    unsigned char* table = byte < 0x80 ? low_[set] : high_[set];
    for (const int lane : {0, 16}) {
      unsigned char& entry = table[lane + (byte & 15)];
      entry = ((sets >> set) & 1U) != 0 ? static_cast<unsigned char>(entry | bit)
                                        : static_cast<unsigned char>(entry & ~bit);
    }
  }
}

void ByteSets::classify(const unsigned char* p, std::size_t blocks, std::uint64_t* first,
                        std::uint64_t* second, SimdLevel level) const noexcept {
#if defined(WORDSIEVE_AVX2)
  if (level == SimdLevel::kAvx512Vbmi) {
    classify_vbmi(p, blocks, classes_, first, second);
    return;
  }
  if (level == SimdLevel::kAvx2) {
    classify_avx2(p, blocks, low_, high_, first, second);
    return;
  }
#else
  (void)level;
#endif
  for (std::size_t k = 0; k < blocks; ++k) {
    std::uint64_t in0 = 0;
    std::uint64_t in1 = 0;
    for (unsigned i = 0; i < 64; ++i) {
      const unsigned cls = classes_[p[64 * k + i]];
      in0 |= static_cast<std::uint64_t>(cls & 1U) << i;
      in1 |= static_cast<std::uint64_t>((cls >> 1) & 1U) << i;
    }
    first[k] = in0;
    second[k] = in1;
  }
}

}  // namespace wordsieve
