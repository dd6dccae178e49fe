// The least count at which the bound's value passes a floor, against the float comparison it
// stands for: floors from the usual ones to those just below 1.0, both kinds of arithmetic.
#include "keyword_processor/internal/fuzzy_ratio.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace wordsieve {
namespace {

TEST(FuzzyRatioTest, LeastPassingOverIsWhereTheFloatTestTurns) {
  std::mt19937_64 rng(2026);
  const float kFloors[] = {0.0f, 0.3f, 0.5f, 0.6f, 2.0f / 3, 0.7f, 0.75f, 0.8f, 0.9f, 0.95f,
                           std::nextafter(1.0f, 0.0f), 1.0f};
  int checked = 0;
  for (const bool exact : {true, false}) {
    for (const float at_least : kFloors) {
      for (const float above : kFloors) {
        const SimilarityFloor floor{at_least, above};
        for (std::uint64_t edits = 0; edits < 40; ++edits) {
          const auto passes = [&](std::uint64_t over) {
            return floor.passed_by(bound_value(edits, over, exact));
          };
          const std::uint64_t least = least_passing_over(edits, floor, exact);
          if (least == kNoCountPasses) {
            EXPECT_FALSE(passes(std::uint64_t{1} << 61)) << edits << " " << at_least << " " << above;
            continue;
          }
          ASSERT_GE(least, 1U);
          EXPECT_TRUE(passes(least)) << edits << " " << at_least << " " << above << " " << exact;
          EXPECT_FALSE(passes(least - 1)) << edits << " " << at_least << " " << above << " " << exact;
          // The test turns once: a few counts on either side agree.
          for (int k = 0; k < 4; ++k) {
            const std::uint64_t below = least > 1 ? 1 + rng() % (least - 1) : 0;
            const std::uint64_t beyond = least + rng() % (4 * least + 8);
            if (below != 0) {
              EXPECT_FALSE(passes(below)) << edits << " " << below;
            }
            EXPECT_TRUE(passes(beyond)) << edits << " " << beyond;
          }
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 5000);
}

}  // namespace
}  // namespace wordsieve
