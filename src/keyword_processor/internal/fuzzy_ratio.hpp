// The fuzzy search's one piece of arithmetic, 1 - edits/over in single precision (the similarity,
// the edit gate and every value of the bound have this form), and the inverse the bound's test
// needs: for a given edit count, the least `over` whose value passes a floor of similarities.
//
// The value never falls as `over` grows (each step is correctly rounded, hence monotonic), so
// "the value passes the floor" holds exactly from one least count on; a search that compares counts
// with that least count decides as the float comparison would, without a division.
#pragma once

#include <cmath>
#include <cstdint>

namespace wordsieve {

// Counts stay far below 2^63, so the signed conversion (one instruction) gives the same float as
// the unsigned one.
inline float as_float(std::uint64_t count) noexcept {
  return static_cast<float>(static_cast<std::int64_t>(count));
}

// 1 - edits/over, the form of both the similarity and the edit gate.
inline float one_minus_ratio(std::uint64_t edits, std::uint64_t over) noexcept {
  return 1.0f - as_float(edits) / as_float(over);
}

// The same value for counts that may not convert exactly, raised so that it is never below what
// single precision gives for these counts or for any pair with a smaller ratio
// (docs/fuzzy_search.md, cut 2).
inline float one_minus_ratio_above(std::uint64_t edits, std::uint64_t over) noexcept {
  const double value = 1.0 - static_cast<double>(edits) / static_cast<double>(over) + 0x1p-21;
  const auto rounded = static_cast<float>(value);
  return rounded < value ? std::nextafter(rounded, 2.0f) : rounded;
}

// A similarity that matters: at least `at_least` and above `above`.
struct SimilarityFloor {
  float at_least, above;
  bool passed_by(float value) const noexcept { return value >= at_least && value > above; }
};

// The value the bound takes for these counts: one_minus_ratio when every count converts exactly,
// else one_minus_ratio_above; -1 (below every floor) when `over` is 0.
inline float bound_value(std::uint64_t edits, std::uint64_t over, bool exact_counts) noexcept {
  if (over == 0) return -1.0f;
  return exact_counts ? one_minus_ratio(edits, over) : one_minus_ratio_above(edits, over);
}

// Above every count a search meets: the answer when no count passes.
inline constexpr std::uint64_t kNoCountPasses = ~std::uint64_t{0} - 1;

// The least over >= 1 for which floor.passed_by(bound_value(edits, over, exact_counts)), or
// kNoCountPasses when none up to 2^61 does. Bracketed from the fraction's guess, then halved, with
// the value itself as the judge: a few divisions.
inline std::uint64_t least_passing_over(std::uint64_t edits, SimilarityFloor floor,
                                        bool exact_counts) noexcept {
  const auto passes = [&](std::uint64_t over) {
    return floor.passed_by(bound_value(edits, over, exact_counts));
  };
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 61;
  const double target = floor.at_least > floor.above ? floor.at_least : floor.above;
  const double guess = target < 1.0 ? std::ceil(static_cast<double>(edits) / (1.0 - target)) : 0x1p60;
  std::uint64_t pass = guess < 1.0 ? 1 : guess > 0x1p60 ? kLimit / 2 : static_cast<std::uint64_t>(guess);
  std::uint64_t fail = 0;  // bound_value is -1 there
  if (passes(pass)) {
    for (std::uint64_t gap = 1; pass - fail > gap; gap *= 2) {
      if (!passes(pass - gap)) {
        fail = pass - gap;
        break;
      }
      pass -= gap;
    }
  } else {
    fail = pass;
    for (std::uint64_t gap = 1;; gap *= 2) {
      if (fail > kLimit) return kNoCountPasses;
      if (passes(fail + gap)) {
        pass = fail + gap;
        break;
      }
      fail += gap;
    }
  }
  while (pass - fail > 1) {  // passes(pass), not passes(fail)
    const std::uint64_t middle = fail + (pass - fail) / 2;
    (passes(middle) ? pass : fail) = middle;
  }
  return pass;
}

}  // namespace wordsieve
