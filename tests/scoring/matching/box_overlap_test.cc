#include "scoring/matching/box_overlap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tests/test_support.h"

using talmira_test::box;

namespace {

constexpr float kThreshold = 0.2f;

int32_t score(const QuorTarget& g, const QuorTarget& s) {
  return scorePair(g, s, kThreshold, false, false);
}

TEST(BoxOverlapTest, WorkedRatiosAgainstTheEnclosingRectangle) {
  // I = 50, E = 150: 0.333 passes.
  EXPECT_EQ(score(box(0, 0, 10, 10), box(5, 0, 15, 10)), 1);
  // I = 36, E = 196: 0.1837 fails, although 36 / 164 of the union would pass.
  EXPECT_EQ(score(box(0, 0, 10, 10), box(4, 4, 14, 14)), 0);
  // Identical boxes: ratio 1 passes every threshold up to 1.
  EXPECT_EQ(scorePair(box(3, 4, 50, 60), box(3, 4, 50, 60), 1.0f, false, false), 1);
}

TEST(BoxOverlapTest, RatioEqualToThresholdPassesInSinglePrecision) {
  // I = 20, E = 100: 0.2 as a double is below 0.2f, but rounded to float it equals it.
  EXPECT_EQ(score(box(0, 0, 10, 10), box(0, 0, 10, 2)), 1);
  // I = 19, E = 100: just below.
  EXPECT_EQ(score(box(0, 0, 100, 1), box(0, 0, 19, 1)), 0);
}

TEST(BoxOverlapTest, TouchingAndEmptyRectanglesNeverMatch) {
  EXPECT_EQ(score(box(0, 0, 10, 10), box(10, 0, 20, 10)), 0);   // shared edge: I = 0
  EXPECT_EQ(score(box(0, 0, 10, 10), box(10, 10, 20, 20)), 0);  // shared corner
  EXPECT_EQ(score(box(0, 0, 10, 10), box(11, 0, 20, 10)), 0);   // apart
  // Two zero-width boxes on one line: E = 0, the NaN ratio fails.
  EXPECT_EQ(score(box(5, 0, 5, 10), box(5, 0, 5, 10)), 0);
  // A threshold of 0 still fails the NaN ratio but passes a zero intersection.
  EXPECT_EQ(scorePair(box(5, 0, 5, 10), box(5, 0, 5, 10), 0.0f, false, false), 0);
  EXPECT_EQ(scorePair(box(0, 0, 10, 10), box(10, 0, 20, 10), 0.0f, false, false), 1);
}

TEST(BoxOverlapTest, ScoreIsSymmetric) {
  const QuorTarget boxes[] = {box(0, 0, 10, 10), box(5, 0, 15, 10), box(4, 4, 14, 14),
                              box(0, 0, 10, 2),  box(-5, -5, 3, 3), box(2, 2, 2, 9)};
  for (const QuorTarget& a : boxes) {
    for (const QuorTarget& b : boxes) EXPECT_EQ(score(a, b), score(b, a));
  }
}

TEST(BoxOverlapTest, FlagsSetPassingPairsAsideUnlessKept) {
  const QuorTarget plain = box(0, 0, 10, 10);
  const QuorTarget flaggedB = box(0, 0, 10, 10, "Car", 1.0f, false, true);
  const QuorTarget flaggedA = box(0, 0, 10, 10, "Car", 1.0f, true, false);
  EXPECT_EQ(scorePair(plain, flaggedB, kThreshold, false, false), -1);
  EXPECT_EQ(scorePair(flaggedB, plain, kThreshold, false, false), -1);
  EXPECT_EQ(scorePair(plain, flaggedB, kThreshold, false, true), 1);
  EXPECT_EQ(scorePair(flaggedA, plain, kThreshold, false, true), -1);
  EXPECT_EQ(scorePair(flaggedA, plain, kThreshold, true, false), 1);
  // A failing pair scores 0 whatever the flags.
  EXPECT_EQ(scorePair(box(50, 50, 60, 60), flaggedA, kThreshold, false, false), 0);
}

TEST(BoxOverlapTest, TurnedBoxesUseTheirBoundingRectangle) {
  // A diamond within (0, 0)-(10, 10) scores like that square.
  const QuorTarget diamond = makeTarget(5, 0, 10, 5, 5, 10, 0, 5, "Car", false, 1.0f, false);
  EXPECT_EQ(score(diamond, box(5, 0, 15, 10)), 1);
  EXPECT_EQ(score(diamond, box(4, 4, 14, 14)), 0);
}

TEST(BoxOverlapTest, RegionCoverUsesTheTargetsOwnSides) {
  // Sides 10 and 30 (A = 300); a region to (9, 11) gives I = 99, 0.33 passes.
  const QuorTarget target = box(0, 0, 10, 30);
  EXPECT_TRUE(regionCovers(target, box(0, 0, 9, 11)));
  EXPECT_FALSE(regionCovers(target, box(0, 0, 9, 10)));  // I = 90
  // A diamond has A = 50 against its 100-pixel bounding rectangle: I = 20 gives 0.4.
  const QuorTarget diamond = makeTarget(5, 0, 10, 5, 5, 10, 0, 5, "Car", false, 1.0f, false);
  EXPECT_TRUE(regionCovers(diamond, box(0, 0, 10, 2)));
  // Only the target's size is the denominator, so the test is not symmetric.
  EXPECT_TRUE(regionCovers(box(0, 0, 10, 10), box(0, 0, 100, 100)));
  EXPECT_FALSE(regionCovers(box(0, 0, 100, 100), box(0, 0, 10, 10)));
}

TEST(BoxOverlapTest, RegionCoverEdgeCases) {
  EXPECT_FALSE(regionCovers(box(0, 0, 10, 10), box(10, 0, 20, 10)));  // touching: I = 0
  EXPECT_FALSE(regionCovers(box(0, 0, 10, 10), box(20, 0, 30, 10)));  // apart
  // A zero-size target: 0 / 0 covers nothing, a positive area over 0 covers.
  EXPECT_FALSE(regionCovers(box(5, 0, 5, 10), box(0, 0, 10, 10)));
  const QuorTarget degenerate = makeTarget(0, 0, 0, 0, 10, 10, 10, 10, "Car", false, 1.0f, false);
  EXPECT_TRUE(regionCovers(degenerate, box(0, 0, 10, 10)));  // side1 = 0, I = 100
}

TEST(BoxOverlapTest, ExtremeCoordinatesStayDefined) {
  constexpr int32_t lo = std::numeric_limits<int32_t>::min();
  constexpr int32_t hi = std::numeric_limits<int32_t>::max();
  // Widths of 2^32 - 1 and areas near 1.8e19 would overflow 32- and signed 64-bit products.
  const QuorTarget whole = box(lo, lo, hi, hi);
  EXPECT_EQ(score(whole, whole), 1);
  EXPECT_EQ(score(whole, box(lo, lo, 0, 0)), 1);            // a quarter
  EXPECT_EQ(score(whole, box(lo, lo, lo / 2, lo / 2)), 0);  // a sixteenth
  EXPECT_TRUE(regionCovers(box(lo, lo, hi, hi), whole));
  EXPECT_TRUE(regionCovers(box(0, 0, 100, 100), whole));
}

}  // namespace
