#include "scoring/matching/frame_matching.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "scoring/matching/box_overlap.h"
#include "tests/test_support.h"

using talmira_test::box;
using talmira_test::countsOf;
using Counts = talmira_test::FrameCounts;

namespace {

// Builds frames over target vectors that outlive them.
struct FramePair {
  std::vector<QuorTarget> truths, systems, regions;
  bool withSystemFrame = true;

  Counts match(bool keepMarkA = false, bool keepMarkB = false) const {
    QuorFrame truthFrame(1);
    for (const QuorTarget& t : truths) truthFrame.targets.push_back(&t);
    for (const QuorTarget& r : regions) truthFrame.regions.push_back(&r);
    QuorFrame systemFrame(1);
    for (const QuorTarget& s : systems) systemFrame.targets.push_back(&s);
    // Counts left over from an earlier match must not leak into this one.
    truthFrame.gtExcluded = truthFrame.detExcluded = 99;
    evaluateFrame(truthFrame, withSystemFrame ? &systemFrame : nullptr, keepMarkA, keepMarkB);
    return countsOf(truthFrame);
  }
};

QuorTarget flagged(QuorTarget t, bool a, bool b) {
  t.markA = a;
  t.markB = b;
  return t;
}

TEST(FrameMatchingTest, WithoutSystemFrameEveryKeptTruthIsAMiss) {
  FramePair frames;
  frames.truths = {box(0, 0, 40, 40), flagged(box(100, 0, 140, 40), false, true),
                   box(200, 0, 240, 40)};
  frames.withSystemFrame = false;
  EXPECT_EQ(frames.match(), (Counts{3, 1, 0, 0, 0, 2}));
  EXPECT_EQ(frames.match(false, true), (Counts{3, 0, 0, 0, 0, 3}));
}

TEST(FrameMatchingTest, EmptyOrFullyCoveredSystemFrameCountsLikeNone) {
  FramePair frames;
  frames.truths = {box(0, 0, 40, 40), box(100, 0, 140, 40)};
  EXPECT_EQ(frames.match(), (Counts{2, 0, 0, 0, 0, 2}));
  frames.systems = {box(0, 0, 40, 40), box(300, 300, 340, 340)};
  frames.regions = {box(-10, -10, 400, 400)};
  EXPECT_EQ(frames.match(), (Counts{2, 0, 0, 0, 0, 2}));
  // Nothing on either side: a solver of dimension 0 and no counts.
  frames.truths.clear();
  EXPECT_EQ(frames.match(), (Counts{0, 0, 0, 0, 0, 0}));
}

TEST(FrameMatchingTest, EmptyTruthFrameMakesEveryKeptDetectionAFalseAlarm) {
  FramePair frames;
  frames.systems = {box(0, 0, 40, 40), flagged(box(100, 0, 140, 40), true, true)};
  EXPECT_EQ(frames.match(), (Counts{0, 0, 2, 0, 2, 0}));
}

TEST(FrameMatchingTest, OneToOnePairing) {
  FramePair frames;
  // One truth passing with two detections: one pair and one false alarm.
  frames.truths = {box(0, 0, 40, 40)};
  frames.systems = {box(0, 0, 40, 40), box(2, 2, 42, 42)};
  EXPECT_EQ(frames.match(), (Counts{1, 0, 2, 0, 1, 0}));
  // One detection passing with two truths: one pair and one miss.
  std::swap(frames.truths, frames.systems);
  EXPECT_EQ(frames.match(), (Counts{2, 0, 1, 0, 0, 1}));
}

TEST(FrameMatchingTest, PairingIsOptimalNotGreedy) {
  // x passes with A and B, y only with A, z with neither: x-B and y-A.
  const QuorTarget a = box(0, 0, 100, 100);
  const QuorTarget b = box(60, 0, 160, 100);
  const QuorTarget x = box(30, 0, 130, 100);  // with A: 70/130, with B: 70/130
  const QuorTarget y = box(-20, 0, 80, 100);  // with A: 80/120, with B: 20/180
  const QuorTarget z = box(500, 500, 600, 600);
  ASSERT_EQ(scorePair(b, y, 0.2f, false, false), 0);
  const std::vector<std::vector<QuorTarget>> truthOrders = {{a, b}, {b, a}};
  const std::vector<std::vector<QuorTarget>> systemOrders = {{x, y, z}, {x, z, y}, {y, x, z},
                                                             {y, z, x}, {z, x, y}, {z, y, x}};
  for (const auto& truths : truthOrders) {
    for (const auto& systems : systemOrders) {
      FramePair frames;
      frames.truths = truths;
      frames.systems = systems;
      EXPECT_EQ(frames.match(), (Counts{2, 0, 3, 0, 1, 0}));
    }
  }
}

TEST(FrameMatchingTest, DetectionOverlappingAnExcludedTruthIsSetAside) {
  FramePair frames;
  // The detection passes with the flagged truth and with the plain one; it is
  // set aside, and the plain truth becomes a miss.
  frames.truths = {flagged(box(0, 0, 40, 40), true, false), box(5, 0, 45, 40)};
  frames.systems = {box(2, 0, 42, 40)};
  EXPECT_EQ(frames.match(), (Counts{2, 1, 1, 1, 0, 1}));
  // A second detection that overlaps the flagged truth is set aside as well.
  frames.systems.push_back(box(6, 0, 46, 40));
  EXPECT_EQ(frames.match(), (Counts{2, 1, 2, 2, 0, 1}));
  // One that passes only with the plain truth (15/65; 10/70 with the flagged) pairs with it.
  frames.systems.back() = box(30, 0, 70, 40);
  EXPECT_EQ(frames.match(), (Counts{2, 1, 2, 1, 0, 0}));
  // Both switches on: nothing is excluded or set aside.
  EXPECT_EQ(frames.match(true, true).gtExcluded, 0);
  EXPECT_EQ(frames.match(true, true).detExcluded, 0);
}

TEST(FrameMatchingTest, FlaggedDetectionIsSetAsideOnlyWhenItOverlaps) {
  FramePair frames;
  // Passes with both truths but is set aside once.
  frames.truths = {box(0, 0, 100, 40), box(40, 0, 140, 40)};
  frames.systems = {flagged(box(0, 0, 140, 40), false, true)};
  EXPECT_EQ(frames.match(), (Counts{2, 0, 1, 1, 0, 2}));
  // Overlapping nothing, it is a false alarm.
  frames.systems = {flagged(box(500, 0, 540, 40), false, true)};
  EXPECT_EQ(frames.match(), (Counts{2, 0, 1, 0, 1, 2}));
}

TEST(FrameMatchingTest, CoveredDetectionIsCountedNowhere) {
  FramePair frames;
  frames.truths = {box(0, 0, 40, 40)};
  frames.systems = {box(0, 0, 40, 40), box(100, 0, 140, 40)};
  frames.regions = {box(90, 0, 150, 50)};
  EXPECT_EQ(frames.match(), (Counts{1, 0, 1, 0, 0, 0}));
  // A region over the truth itself drops the detection on it too.
  frames.regions = {box(0, 0, 40, 40)};
  EXPECT_EQ(frames.match(), (Counts{1, 0, 1, 0, 1, 1}));
}

// Largest matching by plain augmenting paths over the passing pairs.
int largestMatching(const std::vector<std::vector<bool>>& passes, std::size_t columns) {
  std::vector<int> owner(columns, -1);
  int size = 0;
  for (std::size_t row = 0; row < passes.size(); ++row) {
    std::vector<bool> seen(columns, false);
    std::function<bool(std::size_t)> augment = [&](std::size_t r) {
      for (std::size_t c = 0; c < columns; ++c) {
        if (!passes[r][c] || seen[c]) continue;
        seen[c] = true;
        if (owner[c] < 0 || augment(static_cast<std::size_t>(owner[c]))) {
          owner[c] = static_cast<int>(r);
          return true;
        }
      }
      return false;
    };
    if (augment(row)) ++size;
  }
  return size;
}

TEST(FrameMatchingTest, RandomFramesCountUnmatchedBoxesOfALargestMatching) {
  const unsigned seed = 20261207;
  std::mt19937 random(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    // Boxes on a coarse grid so that many pairs sit right at the thresholds.
    auto randomBox = [&] {
      const int x = pick(0, 6) * 5, y = pick(0, 6) * 5;
      QuorTarget t = box(x, y, x + pick(0, 6) * 5, y + pick(0, 6) * 5);
      t.markA = pick(0, 9) == 0;
      t.markB = pick(0, 9) == 0;
      return t;
    };
    FramePair frames;
    for (int i = pick(0, 6); i > 0; --i) frames.truths.push_back(randomBox());
    for (int i = pick(0, 7); i > 0; --i) frames.systems.push_back(randomBox());
    for (int i = pick(0, 2) == 0 ? pick(1, 2) : 0; i > 0; --i)
      frames.regions.push_back(randomBox());
    const bool keepA = pick(0, 3) == 0, keepB = pick(0, 3) == 0;

    // Expected counts, worked out directly from the rules.
    auto excluded = [&](const QuorTarget& t) { return (!keepA && t.markA) || (!keepB && t.markB); };
    std::vector<const QuorTarget*> kept;
    for (const QuorTarget& s : frames.systems) {
      bool covered = false;
      for (const QuorTarget& r : frames.regions) covered = covered || regionCovers(s, r);
      if (!covered) kept.push_back(&s);
    }
    std::vector<const QuorTarget*> truthsLeft, systemsLeft;
    int gtExcluded = 0;
    for (const QuorTarget& g : frames.truths) {
      if (excluded(g))
        ++gtExcluded;
      else
        truthsLeft.push_back(&g);
    }
    for (const QuorTarget* s : kept) {
      bool setAside = false;
      for (const QuorTarget& g : frames.truths) {
        const bool passes = scorePair(g, *s, 0.2f, true, true) == 1;
        setAside = setAside || (passes && (excluded(g) || excluded(*s)));
      }
      if (!setAside) systemsLeft.push_back(s);
    }
    std::vector<std::vector<bool>> passes(truthsLeft.size(), std::vector<bool>(systemsLeft.size()));
    for (std::size_t r = 0; r < truthsLeft.size(); ++r) {
      for (std::size_t c = 0; c < systemsLeft.size(); ++c) {
        passes[r][c] = scorePair(*truthsLeft[r], *systemsLeft[c], 0.2f, true, true) == 1;
      }
    }
    const int k = largestMatching(passes, systemsLeft.size());
    const int nG = static_cast<int>(truthsLeft.size());
    const int nS = static_cast<int>(systemsLeft.size());
    const Counts expected{
        static_cast<int32_t>(frames.truths.size()), gtExcluded, static_cast<int32_t>(kept.size()),
        static_cast<int32_t>(kept.size()) - nS,     nS - k,     nG - k};
    ASSERT_EQ(frames.match(keepA, keepB), expected);
  }
}

}  // namespace
