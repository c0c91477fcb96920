#include "scoring/counts/sequence_evaluation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "annotation/selection.h"
#include "tests/test_support.h"

using talmira_test::box;

namespace {

// The last is a name of no known class, given its code after many others,
// so that it lies past the codes the scoring lists class by class.
constexpr const char* kClasses[] = {
    "All", "Car", "Truck", "Bus", "Person", "Boat", "rare-class-of-evaluation-test"};
constexpr int kLastClass = static_cast<int>(std::size(kClasses)) - 1;

// A random sequence with repeated and missing frame numbers, regions and flags.
void fillRandom(QuorSequence& sequence, std::mt19937& random, int maxFrames = 12,
                int maxNumber = 6) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  for (int f = pick(0, maxFrames); f > 0; --f) {
    QuorFrame& frame = sequence.frames.emplace_back(static_cast<uint32_t>(pick(1, maxNumber)));
    for (int n = pick(0, 8); n > 0; --n) {
      const int x = pick(0, 8) * 10, y = pick(0, 8) * 10;
      QuorTarget t = box(x, y, x + pick(1, 6) * 10, y + pick(1, 6) * 10,
                         kClasses[pick(1, kLastClass)], static_cast<float>(pick(0, 4)) / 4.0f);
      t.markA = pick(0, 12) == 0;
      t.markB = pick(0, 12) == 0;
      frame.targets.push_back(sequence.targetStore.add(t));
    }
    if (pick(0, 3) == 0) {
      const int x = pick(0, 8) * 10;
      frame.regions.push_back(sequence.targetStore.add(box(x, 0, x + 40, 90, "DCR")));
    }
  }
}

// Also with filters at different thresholds in one walk, every few rounds.
TEST(SequenceEvaluationTest, OneWalkOverAllClassesEqualsOneSelectionPerClass) {
  for (int i = 0; i < 40; ++i) classCodeOf("filler-of-evaluation-test-" + std::to_string(i));
  ASSERT_GE(classCodeOf(kClasses[kLastClass]), 40);
  const unsigned seed = 31337;
  std::mt19937 random(seed);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    QuorSequence truth, system;
    fillRandom(truth, random);
    fillRandom(system, random);
    const auto thresholdOf = [round](std::size_t c) {
      const int step = round % 3 == 0 ? static_cast<int>(c) + round : round;
      return static_cast<float>(step % 5) / 4.0f;
    };
    std::vector<TargetFilter> filters;
    for (std::size_t c = 0; c < std::size(kClasses); ++c) {
      filters.emplace_back(kClasses[c], thresholdOf(c));
    }
    const std::vector<ClassTotals> fused = evaluateClasses(truth, system, filters);

    for (std::size_t c = 0; c < std::size(kClasses); ++c) {
      truth.confidenceThreshold = thresholdOf(c);
      system.confidenceThreshold = thresholdOf(c);
      const auto truthSelection = selectTargets(truth, kClasses[c]);
      const auto systemSelection = selectTargets(system, kClasses[c]);
      ASSERT_EQ(evaluateSequence(*truthSelection, *systemSelection), 1);
      EXPECT_EQ(fused[c].gt, truthSelection->gtTotal);
      EXPECT_EQ(fused[c].det, truthSelection->detTotal);
      EXPECT_EQ(fused[c].fn, truthSelection->fnTotal);
      EXPECT_EQ(fused[c].fp, truthSelection->fpTotal);
    }
  }
}

TEST(SequenceEvaluationTest, ThreadsDoNotChangeTheTotals) {
  const unsigned seed = 4242;
  std::mt19937 random(seed);
  // Short sequences are shared out frame by frame, long ones in batches.
  for (const int maxFrames : {3, 12, 40, 5000}) {
    for (int round = 0; round < (maxFrames > 100 ? 3 : 40); ++round) {
      SCOPED_TRACE(testing::Message()
                   << "seed " << seed << " frames " << maxFrames << " round " << round);
      QuorSequence truth, system;
      fillRandom(truth, random, maxFrames, maxFrames / 2 + 1);
      fillRandom(system, random, maxFrames, maxFrames / 2 + 1);
      std::vector<TargetFilter> filters;
      for (const char* name : kClasses) filters.emplace_back(name, 0.25f);
      const std::vector<ClassTotals> one = evaluateClasses(truth, system, filters, 1);
      for (const unsigned threads : {2u, 3u, 8u}) {
        const std::vector<ClassTotals> many = evaluateClasses(truth, system, filters, threads);
        for (std::size_t c = 0; c < filters.size(); ++c) {
          EXPECT_EQ(many[c].gt, one[c].gt) << threads << " threads, class " << kClasses[c];
          EXPECT_EQ(many[c].det, one[c].det) << threads << " threads, class " << kClasses[c];
          EXPECT_EQ(many[c].fn, one[c].fn) << threads << " threads, class " << kClasses[c];
          EXPECT_EQ(many[c].fp, one[c].fp) << threads << " threads, class " << kClasses[c];
        }
      }
    }
  }
}

TEST(SequenceEvaluationTest, PairsWithTheFirstSystemFrameOfEachNumber) {
  QuorSequence truth, system;
  for (uint32_t number : {5u, 7u, 5u, 9u}) truth.frames.emplace_back(number);
  for (uint32_t number : {7u, 5u, 5u, 3u}) system.frames.emplace_back(number);
  EXPECT_EQ(pairFrames(truth, system), (std::vector<int32_t>{1, 0, 1, -1}));
  EXPECT_TRUE(pairFrames(QuorSequence(), system).empty());
  EXPECT_EQ(pairFrames(truth, QuorSequence()), (std::vector<int32_t>(4, -1)));
}

TEST(SequenceEvaluationTest, TotalsAreResetAndSystemOnlyFramesIgnored) {
  QuorSequence truth, system;
  QuorFrame& frame = truth.frames.emplace_back(1);
  frame.targets.push_back(truth.targetStore.add(box(0, 0, 40, 40)));
  // Frame 2 holds many boxes but no ground-truth frame has its number.
  QuorFrame& lonely = system.frames.emplace_back(2);
  for (int i = 0; i < 5; ++i) lonely.targets.push_back(system.targetStore.add(box(0, 0, 40, 40)));
  truth.gtTotal = truth.detTotal = truth.fpTotal = truth.fnTotal = 99;
  EXPECT_EQ(evaluateSequence(truth, system), 1);
  EXPECT_EQ(truth.gtTotal, 1);
  EXPECT_EQ(truth.fnTotal, 1);
  EXPECT_EQ(truth.detTotal, 0);
  EXPECT_EQ(truth.fpTotal, 0);
  QuorSequence empty;
  empty.gtTotal = 3;
  EXPECT_EQ(evaluateSequence(empty, system), 1);
  EXPECT_EQ(empty.gtTotal, 0);
}

TEST(SequenceEvaluationTest, TotalsBeyond32BitsAreReportedNotWrapped) {
  ClassTotals totals;
  totals.det = 2147483647;
  EXPECT_TRUE(totals.fitsIn32Bits());
  totals.det = 2147483648;
  EXPECT_FALSE(totals.fitsIn32Bits());
}

}  // namespace
