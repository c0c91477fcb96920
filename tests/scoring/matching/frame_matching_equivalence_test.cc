// The fast frame matching against the straightforward one: same six counts on
// many random frames.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "scoring/matching/frame_matching.h"
#include "scoring/matching/frame_matching_internal.h"
#include "tests/test_support.h"

using talmira_test::box;
using talmira_test::countsOf;
using Counts = talmira_test::FrameCounts;

namespace {

class RandomFrames {
 public:
  explicit RandomFrames(unsigned seed, bool farApart = false)
      : random_(seed), farApart_(farApart) {}

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  // Boxes of several scales on a grid of `step`, so that many pairs land
  // exactly on the thresholds and some boxes are repeated.
  QuorTarget randomBox(int extent, int step) {
    const int scale = 1 << pick(0, 4);
    int x = pick(-extent, extent) * step, y = pick(-extent, extent) * step;
    if (farApart_) {
      // Small clusters scattered over the whole coordinate range.
      constexpr int kCenters[] = {-2000000000, -1000000, 0, 777777, 1999999000};
      x += kCenters[pick(0, 4)];
      y += kCenters[pick(0, 4)];
    }
    const int w = pick(0, 6) * step * scale, h = pick(0, 6) * step * scale;
    QuorTarget t;
    if (pick(0, 9) == 0) {  // a turned box: a diamond in the same rectangle
      t = makeTarget(x + w / 2, y, x + w, y + h / 2, x + w / 2, y + h, x, y + h / 2, "Car", false,
                     1.0f, false);
    } else {
      t = box(x, y, x + w, y + h);
    }
    t.markA = pick(0, 14) == 0;
    t.markB = pick(0, 14) == 0;
    return t;
  }

  std::vector<QuorTarget> boxes(int count, int extent, int step) {
    std::vector<QuorTarget> out;
    for (int i = 0; i < count; ++i) {
      if (!out.empty() && pick(0, 9) == 0) {
        out.push_back(out[static_cast<std::size_t>(pick(0, static_cast<int>(out.size()) - 1))]);
      } else {
        out.push_back(randomBox(extent, step));
      }
    }
    return out;
  }

 private:
  std::mt19937 random_;
  bool farApart_;
};

std::vector<const QuorTarget*> pointers(const std::vector<QuorTarget>& targets) {
  std::vector<const QuorTarget*> out;
  for (const QuorTarget& t : targets) out.push_back(&t);
  return out;
}

void expectSameCounts(unsigned seed, int rounds, int maxBoxes, int maxRegions, int extent,
                      bool farApart = false) {
  RandomFrames random(seed, farApart);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const int step = random.pick(1, 3) * 5;
    const auto truths = random.boxes(random.pick(0, maxBoxes), extent, step);
    const auto systems = random.boxes(random.pick(0, maxBoxes), extent, step);
    const auto regions = random.boxes(random.pick(0, maxRegions), extent, step);
    QuorFrame reference(1), system(1);
    reference.targets = pointers(truths);
    reference.regions = pointers(regions);
    system.targets = pointers(systems);
    const bool keepA = random.pick(0, 4) == 0, keepB = random.pick(0, 4) == 0;
    evaluateFrameDense(reference, &system, keepA, keepB);
    const Counts expected = countsOf(reference);

    QuorFrame fast = reference;
    evaluateFrame(fast, &system, keepA, keepB);
    ASSERT_EQ(countsOf(fast), expected);
    // Every group through the sparse pairing instead of the dense solver.
    QuorFrame sparse = reference;
    evaluateFrameWithLimit(sparse, &system, keepA, keepB, 1);
    ASSERT_EQ(countsOf(sparse), expected);
  }
}

// All and each class matched on one scoring of the pairs against each
// class's own selection matched by the dense reference, and their outcomes
// against the class's own matching with events.
void expectSameClassCounts(unsigned seed, int rounds, int maxBoxes, int maxRegions, int extent) {
  RandomFrames random(seed);
  const char* names[] = {"Car", "Truck", "Bus"};
  const std::vector<int32_t> codes = {classCodeOf("Truck"), classCodeOf("Car"),
                                      classCodeOf("Plane"), classCodeOf("Bus")};
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const int step = random.pick(1, 3) * 5;
    auto truths = random.boxes(random.pick(0, maxBoxes), extent, step);
    auto systems = random.boxes(random.pick(0, maxBoxes), extent, step);
    for (auto* list : {&truths, &systems}) {
      for (QuorTarget& t : *list) t.classCode = classCodeOf(names[random.pick(0, 2)]);
    }
    const auto regions = random.boxes(random.pick(0, maxRegions), extent, step);
    QuorFrame truth(1), system(1);
    truth.targets = pointers(truths);
    truth.regions = pointers(regions);
    system.targets = pointers(systems);
    std::vector<FrameClassCounts> shared(codes.size() + 1);
    ASSERT_TRUE(evaluateFrameClasses(truth, system, codes, shared));
    std::vector<FrameEvents> sharedEvents(codes.size() + 1);
    ASSERT_TRUE(evaluateFrameClassesEvents(truth, system, codes, sharedEvents));
    for (std::size_t k = 0; k <= codes.size(); ++k) {
      QuorFrame own(1), ownSystem(1);
      own.regions = truth.regions;
      for (const QuorTarget* t : truth.targets) {
        if (k == 0 || t->classCode == codes[k - 1]) own.targets.push_back(t);
      }
      for (const QuorTarget* t : system.targets) {
        if (k == 0 || t->classCode == codes[k - 1]) ownSystem.targets.push_back(t);
      }
      // The very outcomes and pairs of the class's own matching.
      FrameEvents ownEvents;
      QuorFrame withEvents = own;
      evaluateFrameEvents(withEvents, &ownSystem, false, false, ownEvents);
      EXPECT_EQ(sharedEvents[k].truth, ownEvents.truth) << "class slot " << k;
      EXPECT_EQ(sharedEvents[k].truthPartner, ownEvents.truthPartner) << "class slot " << k;
      EXPECT_EQ(sharedEvents[k].system, ownEvents.system) << "class slot " << k;
      EXPECT_EQ(sharedEvents[k].systemPartner, ownEvents.systemPartner) << "class slot " << k;
      evaluateFrameDense(own, &ownSystem, false, false);
      const FrameClassCounts& c = shared[k];
      EXPECT_EQ((Counts{c.gtCount, c.gtExcluded, c.detCount, c.detExcluded, c.fpCount, c.fnCount}),
                countsOf(own))
          << "class slot " << k;
    }
  }
}

TEST(FrameMatchingEquivalenceTest, ClassesOnOneScoringEqualEachClassMatchedAlone) {
  expectSameClassCounts(31337, 3000, 14, 2, 4);
  // Boxes spread wider: in many frames no box has two candidate pairs, the
  // case counted without solving, beside frames where some box has.
  expectSameClassCounts(2718, 3000, 14, 2, 60);
  // Large frames: the pairs found through the spatial index.
  expectSameClassCounts(4711, 60, 90, 20, 12);
}

TEST(FrameMatchingEquivalenceTest, SmallCrowdedFrames) { expectSameCounts(1207, 4000, 12, 2, 4); }

TEST(FrameMatchingEquivalenceTest, LargeFramesThroughTheSpatialIndex) {
  // Over a thousand pairs and region tests per frame take the indexed path.
  expectSameCounts(2026, 150, 90, 30, 12);
}

TEST(FrameMatchingEquivalenceTest, ClustersFarApartUseTheSortedSearch) {
  // Too many empty cells between the clusters for a table of cells.
  expectSameCounts(4242, 150, 90, 20, 6, true);
}

TEST(FrameMatchingEquivalenceTest, LargeCrowdedFramesFormBigGroups) {
  expectSameCounts(77, 60, 120, 4, 3);
}

}  // namespace
