// The crowded-frame matching against the straightforward dense one.
#include "scoring/matching/crowded_matching.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/matching/frame_matching_internal.h"
#include "tests/test_support.h"

using talmira_test::box;
using talmira_test::countsOf;
using Counts = talmira_test::FrameCounts;

namespace {

Counts countsOfCrowded(const std::vector<const QuorTarget*>& truths,
                       const std::vector<const QuorTarget*>& kept, const CrowdedMatch& m) {
  const auto gtExcluded =
      static_cast<int32_t>(std::count(m.truthExcluded.begin(), m.truthExcluded.end(), 1));
  const auto detExcluded =
      static_cast<int32_t>(std::count(m.systemExcluded.begin(), m.systemExcluded.end(), 1));
  const auto gt = static_cast<int32_t>(truths.size());
  const auto det = static_cast<int32_t>(kept.size());
  return {gt, gtExcluded, det, detExcluded, det - detExcluded - m.pairs, gt - gtExcluded - m.pairs};
}

// Crowds: a few objects, each with many copies of itself jittered by a few
// pixels on both sides, at random thresholds and with random flags; some
// copies exactly on the overlap threshold.
TEST(CrowdedMatchingTest, SameCountsAsTheDenseMatchingAndAValidPairing) {
  const unsigned seed = 777;
  std::mt19937 random(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  for (int round = 0; round < 600; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    QuorSequence store;
    QuorFrame truthFrame(1), systemFrame(1);
    const int objects = pick(1, 4);
    const int side = pick(0, 1) == 0 ? 40 : 10;
    for (int o = 0; o < objects; ++o) {
      const int x = pick(0, 3) * 30, y = pick(0, 3) * 30;
      for (QuorFrame* frame : {&truthFrame, &systemFrame}) {
        for (int copy = pick(0, 12); copy > 0; --copy) {
          const int jitter = frame == &truthFrame ? pick(0, 2) : pick(0, 12);
          QuorTarget t = box(x + jitter, y + pick(0, jitter), x + jitter + side + pick(0, 8),
                             y + side + pick(0, 8));
          t.markA = pick(0, 20) == 0;
          t.markB = pick(0, 20) == 0;
          frame->targets.push_back(store.targetStore.add(t));
        }
      }
    }
    const bool keepMarkA = pick(0, 4) == 0;
    const bool keepMarkB = pick(0, 4) == 0;
    truthFrame.overlapThreshold = pick(0, 3) == 0 ? 0.5f : 0.2f;

    CrowdedMatch m;
    matchCrowded(truthFrame.targets, systemFrame.targets, truthFrame.overlapThreshold, keepMarkA,
                 keepMarkB, m);
    QuorFrame dense = truthFrame;
    evaluateFrameDense(dense, &systemFrame, keepMarkA, keepMarkB);
    Counts expected = countsOf(dense);
    if (systemFrame.targets.empty() || truthFrame.targets.empty()) {
      // The frame matching settles these before any pair is looked at.
      continue;
    }
    EXPECT_EQ(countsOfCrowded(truthFrame.targets, systemFrame.targets, m), expected);

    // The pairs are disjoint, each passes, and neither side is set aside.
    int32_t pairs = 0;
    for (std::size_t r = 0; r < truthFrame.targets.size(); ++r) {
      const int32_t c = m.truthMatch[r];
      if (c < 0) continue;
      ++pairs;
      ASSERT_EQ(m.systemMatch[c], static_cast<int32_t>(r));
      EXPECT_EQ(scorePair(*truthFrame.targets[r], *systemFrame.targets[c],
                          truthFrame.overlapThreshold, keepMarkA, keepMarkB),
                1);
      EXPECT_EQ(m.truthExcluded[r], 0);
      EXPECT_EQ(m.systemExcluded[c], 0);
    }
    EXPECT_EQ(pairs, m.pairs);
  }
}

// Past a million passing pairs the frame matching stops storing them and
// pairs the crowd on demand; the counts are those of any largest matching.
TEST(CrowdedMatchingTest, FrameMatchingOfAHugeCrowdKeepsItsCounts) {
  QuorSequence store;
  QuorFrame truthFrame(1), systemFrame(1);
  // 1,100 identical objects against 1,000 boxes a pixel or two off: every
  // one of the 1.1 million pairs passes, so 1,000 pairs leave 100 misses.
  for (int i = 0; i < 1100; ++i)
    truthFrame.targets.push_back(store.targetStore.add(box(0, 0, 100, 80)));
  for (int i = 0; i < 1000; ++i) {
    systemFrame.targets.push_back(store.targetStore.add(box(i % 3, i % 2, 100 + i % 3, 80)));
  }
  evaluateFrame(truthFrame, &systemFrame, false, false);
  EXPECT_EQ(countsOf(truthFrame), (Counts{1100, 0, 1000, 0, 0, 100}));

  // One flagged object among them sets every system box aside: 1,099
  // objects remain, all missed.
  QuorTarget flagged = box(0, 0, 100, 80);
  flagged.markB = true;
  truthFrame.targets.push_back(store.targetStore.add(flagged));
  evaluateFrame(truthFrame, &systemFrame, false, false);
  EXPECT_EQ(countsOf(truthFrame), (Counts{1101, 1, 1000, 1000, 0, 1100}));
}

}  // namespace
