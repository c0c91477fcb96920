// The outcome of every box, against what the rules say of each box on its
// own (checked pair by pair here) and the size of a largest matching (from
// the straightforward dense matching).
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <vector>

#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/matching/frame_matching_internal.h"
#include "tests/test_support.h"

using talmira_test::box;
using talmira_test::countsOf;

namespace {

struct RandomBoxes {
  std::mt19937 random;
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); }
  // Boxes on a grid of 10, so that many pairs sit right at the thresholds,
  // and a few copies of earlier boxes.
  std::vector<QuorTarget> make(int count, int extent, int flagOdds) {
    std::vector<QuorTarget> out;
    for (int i = 0; i < count; ++i) {
      if (!out.empty() && pick(0, 9) == 0) {
        out.push_back(out[static_cast<std::size_t>(pick(0, static_cast<int>(out.size()) - 1))]);
        continue;
      }
      const int x = pick(0, extent) * 10, y = pick(0, extent) * 10;
      QuorTarget t = box(x, y, x + pick(1, 8) * 10, y + pick(1, 8) * 10);
      t.markA = pick(0, flagOdds) == 0;
      t.markB = pick(0, flagOdds) == 0;
      out.push_back(t);
    }
    return out;
  }
};

std::vector<const QuorTarget*> pointers(const std::vector<QuorTarget>& targets) {
  std::vector<const QuorTarget*> out;
  for (const QuorTarget& t : targets) out.push_back(&t);
  return out;
}

// Checks `events` box by box; `matches` is the size of a largest matching.
void expectOutcomesFollowTheRules(const QuorFrame& truth, const QuorFrame* system,
                                  const FrameEvents& events, int32_t matches, bool keepA,
                                  bool keepB) {
  const std::size_t gtCount = truth.targets.size();
  ASSERT_EQ(events.truth.size(), gtCount);
  ASSERT_EQ(events.truthPartner.size(), gtCount);
  const std::size_t sysCount = system == nullptr ? 0 : system->targets.size();
  ASSERT_EQ(events.system.size(), sysCount);
  ASSERT_EQ(events.systemPartner.size(), sysCount);
  int32_t truthMatches = 0;
  for (std::size_t r = 0; r < gtCount; ++r) {
    const bool flagged = excludedByFlags(*truth.targets[r], keepA, keepB);
    EXPECT_EQ(events.truth[r] == TruthOutcome::kExcluded, flagged) << "truth " << r;
    if (events.truth[r] == TruthOutcome::kMatch) {
      ++truthMatches;
      const int32_t c = events.truthPartner[r];
      ASSERT_TRUE(c >= 0 && static_cast<std::size_t>(c) < sysCount) << "truth " << r;
      EXPECT_EQ(events.system[c], SystemOutcome::kMatch);
      EXPECT_EQ(events.systemPartner[c], static_cast<int32_t>(r));
      EXPECT_EQ(
          scorePair(*truth.targets[r], *system->targets[c], truth.overlapThreshold, keepA, keepB),
          1);
    } else {
      EXPECT_EQ(events.truthPartner[r], -1);
    }
  }
  EXPECT_EQ(truthMatches, matches);
  for (std::size_t c = 0; c < sysCount; ++c) {
    const QuorTarget& detection = *system->targets[c];
    int32_t firstRegion = -1;
    for (std::size_t k = 0; k < truth.regions.size() && firstRegion < 0; ++k) {
      if (regionCovers(detection, *truth.regions[k])) firstRegion = static_cast<int32_t>(k);
    }
    int32_t firstFlaggedPass = -1;
    for (std::size_t r = 0; r < gtCount && firstFlaggedPass < 0; ++r) {
      if (scorePair(*truth.targets[r], detection, truth.overlapThreshold, keepA, keepB) == -1) {
        firstFlaggedPass = static_cast<int32_t>(r);
      }
    }
    SCOPED_TRACE(testing::Message() << "system box " << c);
    if (firstRegion >= 0) {
      EXPECT_EQ(events.system[c], SystemOutcome::kInRegion);
      EXPECT_EQ(events.systemPartner[c], firstRegion);
    } else if (firstFlaggedPass >= 0) {
      EXPECT_EQ(events.system[c], SystemOutcome::kSetAside);
      EXPECT_EQ(events.systemPartner[c], firstFlaggedPass);
    } else if (events.system[c] == SystemOutcome::kMatch) {
      const int32_t r = events.systemPartner[c];
      ASSERT_TRUE(r >= 0 && static_cast<std::size_t>(r) < gtCount);
      EXPECT_EQ(events.truthPartner[r], static_cast<int32_t>(c));
    } else {
      EXPECT_EQ(events.system[c], SystemOutcome::kFalseAlarm);
      EXPECT_EQ(events.systemPartner[c], -1);
    }
  }
}

void checkRandomFrames(uint32_t seed, int rounds, int maxBoxes, int maxRegions, int extent) {
  RandomBoxes random{std::mt19937(seed)};
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const auto truths = random.make(random.pick(0, maxBoxes), extent, 12);
    const auto systems = random.make(random.pick(0, maxBoxes), extent, 20);
    const auto regions = random.make(random.pick(0, maxRegions), extent, 1000);
    const bool keepA = random.pick(0, 3) == 0, keepB = random.pick(0, 3) == 0;
    const bool withSystem = random.pick(0, 9) != 0;
    QuorFrame system(1);
    system.targets = pointers(systems);
    QuorFrame reference(1);
    reference.targets = pointers(truths);
    reference.regions = pointers(regions);
    evaluateFrameDense(reference, withSystem ? &system : nullptr, keepA, keepB);
    // Ground truth without system frame: no pair; otherwise GT - FN pairs.
    const int32_t matches = reference.gtCount - reference.gtExcluded - reference.fnCount;

    for (const std::size_t limit : {std::size_t{64}, std::size_t{1}}) {
      SCOPED_TRACE(testing::Message() << "dense limit " << limit);
      QuorFrame truth(1);
      truth.targets = reference.targets;
      truth.regions = reference.regions;
      FrameEvents events;
      evaluateFrameEventsWithLimit(truth, withSystem ? &system : nullptr, keepA, keepB, limit,
                                   events);
      EXPECT_EQ(countsOf(truth), countsOf(reference));
      expectOutcomesFollowTheRules(truth, withSystem ? &system : nullptr, events, matches, keepA,
                                   keepB);
    }
    // The public road is the same as the default limit's, and counts as evaluateFrame does.
    QuorFrame truth(1), plain(1);
    truth.targets = plain.targets = reference.targets;
    truth.regions = plain.regions = reference.regions;
    FrameEvents events;
    evaluateFrameEvents(truth, withSystem ? &system : nullptr, keepA, keepB, events);
    evaluateFrame(plain, withSystem ? &system : nullptr, keepA, keepB);
    EXPECT_EQ(countsOf(truth), countsOf(plain));
  }
}

TEST(FrameEventsTest, SmallCrowdedFramesFollowTheRulesBoxByBox) {
  checkRandomFrames(11, 1500, 9, 2, 6);
}

// Beyond 1024 pairs the boxes are found through spatial indexes, which hand
// them over in no list order: the partners must still be the first ones.
TEST(FrameEventsTest, IndexedFramesFollowTheRulesBoxByBox) {
  checkRandomFrames(12, 60, 70, 40, 30);
}

TEST(FrameEventsTest, HandMadeFrameGivesEachOutcome) {
  // Truths: 0 plain, 1 flagged B, 2 plain with no detection near it.
  const std::vector<QuorTarget> truths = {
      box(0, 0, 100, 100), box(500, 0, 600, 100, "Car", 1.0f, false, true), box(0, 500, 100, 600)};
  // Detections: 0 on truth 0, 1 on the flagged truth, 2 inside the region, 3 alone.
  const std::vector<QuorTarget> detections = {box(5, 5, 105, 105), box(505, 5, 605, 105),
                                              box(1000, 1000, 1050, 1050), box(2000, 0, 2050, 50)};
  const std::vector<QuorTarget> regions = {box(900, 900, 1200, 1200)};
  QuorFrame truth(1);
  truth.targets = pointers(truths);
  truth.regions = pointers(regions);
  QuorFrame system(1);
  system.targets = pointers(detections);
  FrameEvents events;
  evaluateFrameEvents(truth, &system, false, false, events);
  EXPECT_EQ(events.truth, (std::vector<TruthOutcome>{TruthOutcome::kMatch, TruthOutcome::kExcluded,
                                                     TruthOutcome::kMiss}));
  EXPECT_EQ(events.truthPartner, (std::vector<int32_t>{0, -1, -1}));
  EXPECT_EQ(events.system,
            (std::vector<SystemOutcome>{SystemOutcome::kMatch, SystemOutcome::kSetAside,
                                        SystemOutcome::kInRegion, SystemOutcome::kFalseAlarm}));
  EXPECT_EQ(events.systemPartner, (std::vector<int32_t>{0, 1, 0, -1}));
  // GT 3 - excluded 1 = 2, one pair: FN 1; Det 4 - region 1 = 3 kept, set aside 1, one pair: FP 1.
  EXPECT_EQ(countsOf(truth), (talmira_test::FrameCounts{3, 1, 3, 1, 1, 1}));
}

}  // namespace

namespace {

// Past a million passing pairs the matching stops storing them and pairs on
// demand; the outcomes must follow the same rules. The crowd comes first in
// the lists, so the flagged passes after it are met only once the frame is
// known to be crowded.
TEST(FrameEventsTest, CrowdedFrameFollowsTheRulesBoxByBox) {
  std::vector<QuorTarget> truths(1100, box(0, 0, 100, 100));
  std::vector<QuorTarget> detections(1000, box(0, 0, 100, 100));
  truths.push_back(box(1000, 0, 1100, 100, "Car", 1.0f, true, false));  // flagged
  truths.push_back(box(2000, 0, 2100, 100));
  detections.push_back(box(1000, 0, 1100, 100));                            // on the flagged truth
  detections.push_back(box(1005, 0, 1105, 100));                            // the same
  detections.push_back(box(2000, 0, 2100, 100, "Car", 1.0f, false, true));  // flagged itself
  detections.push_back(box(5000, 0, 5100, 100));                            // alone
  QuorFrame truth(1);
  truth.targets = pointers(truths);
  QuorFrame system(1);
  system.targets = pointers(detections);
  FrameEvents events;
  evaluateFrameEvents(truth, &system, false, false, events);
  // Counted by hand: 1000 pairs in the crowd, 100 of its truths and the
  // last plain truth missed, the flagged truth excluded; three detections
  // set aside and one false alarm.
  EXPECT_EQ(countsOf(truth), (talmira_test::FrameCounts{1102, 1, 1004, 3, 1, 101}));
  expectOutcomesFollowTheRules(truth, &system, events, 1000, false, false);
}

}  // namespace
