// The scoring rules against a brute-force model: overlaps counted cell by
// cell, frames matched by trying every set of pairs, the size test by each
// side's length; and the rules carried from the reader to every matching.
#include "annotation/scoring_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "annotation/selection.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/matching/frame_matching_internal.h"
#include "tests/test_support.h"

using talmira_test::box;
using talmira_test::countsOf;
using Counts = talmira_test::FrameCounts;

namespace {

struct Random {
  std::mt19937 engine;
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine); }

  // Boxes on a grid of 5 so that many overlaps fall exactly on thresholds
  // such as 0.5, 0.25 or 0.2.
  QuorTarget randomBox(int spread) {
    const int x = pick(0, spread) * 5, y = pick(0, spread) * 5;
    QuorTarget t = box(x, y, x + pick(0, 6) * 5, y + pick(0, 6) * 5);
    t.markA = pick(0, 11) == 0;
    t.markB = pick(0, 11) == 0;
    return t;
  }

  ScoringRules rules() {
    ScoringRules r;
    r.overlap = pick(0, 1) == 0 ? OverlapMeasure::kEnclosing : OverlapMeasure::kIou;
    const float thresholds[] = {0.2f, 0.25f, 0.5f, 1.0f / 3.0f, 0.7f, 1.0f, 0.05f};
    r.minOverlap = thresholds[pick(0, 6)];
    r.regionCover = thresholds[pick(0, 6)];
    r.minSide = pick(0, 3) * 10.0;
    return r;
  }
};

// Areas by counting the unit cells inside a rectangle: no formula shared
// with the code under test.
int64_t cellsIn(int minX, int minY, int maxX, int maxY) {
  int64_t cells = 0;
  for (int x = minX; x < maxX; ++x) {
    for (int y = minY; y < maxY; ++y) ++cells;
  }
  return cells;
}

struct Areas {
  int64_t intersection, unionArea, enclosing;
};

Areas areasOf(const QuorTarget& a, const QuorTarget& b) {
  const int64_t both = cellsIn(std::max(a.minX, b.minX), std::max(a.minY, b.minY),
                               std::min(a.maxX, b.maxX), std::min(a.maxY, b.maxY));
  const int64_t sum =
      cellsIn(a.minX, a.minY, a.maxX, a.maxY) + cellsIn(b.minX, b.minY, b.maxX, b.maxY);
  return {both, sum - both,
          cellsIn(std::min(a.minX, b.minX), std::min(a.minY, b.minY), std::max(a.maxX, b.maxX),
                  std::max(a.maxY, b.maxY))};
}

// Whether a pair passes `rules`' overlap test: the ratio rounded to single
// precision, as every threshold is held; pairs that do not touch never pass.
bool passes(const QuorTarget& a, const QuorTarget& b, const ScoringRules& rules) {
  if (!rectanglesTouch(a, b)) return false;
  const Areas areas = areasOf(a, b);
  const int64_t whole = rules.overlap == OverlapMeasure::kIou ? areas.unionArea : areas.enclosing;
  if (whole == 0) return false;
  return static_cast<float>(static_cast<double>(areas.intersection) / static_cast<double>(whole)) >=
         rules.minOverlap;
}

// The counts of a frame by brute force: regions drop the detections they
// cover, flagged truths take no part, a detection that passes with a flagged
// box is set aside, and the matches are a largest set of disjoint passing
// pairs, found by trying every truth's every choice.
Counts bruteForce(const std::vector<QuorTarget>& truths, const std::vector<QuorTarget>& systems,
                  const std::vector<QuorTarget>& regions, const ScoringRules& rules) {
  std::vector<QuorTarget> kept;
  for (const QuorTarget& s : systems) {
    bool covered = false;
    for (const QuorTarget& r : regions) {
      const int64_t inside = cellsIn(std::max(s.minX, r.minX), std::max(s.minY, r.minY),
                                     std::min(s.maxX, r.maxX), std::min(s.maxY, r.maxY));
      const double size = s.sideProduct;
      covered =
          covered || (rectanglesTouch(s, r) &&
                      static_cast<float>(static_cast<double>(inside) / size) >= rules.regionCover);
    }
    if (!covered) kept.push_back(s);
  }
  const auto flagged = [](const QuorTarget& t) { return t.markA || t.markB; };
  std::vector<bool> setAside(kept.size(), false);
  int32_t truthExcluded = 0;
  for (const QuorTarget& t : truths) truthExcluded += flagged(t) ? 1 : 0;
  for (std::size_t c = 0; c < kept.size(); ++c) {
    for (const QuorTarget& t : truths) {
      if ((flagged(t) || flagged(kept[c])) && passes(t, kept[c], rules)) setAside[c] = true;
    }
  }
  int32_t systemExcluded = 0;
  for (const bool aside : setAside) systemExcluded += aside ? 1 : 0;
  std::vector<bool> used(kept.size(), false);
  std::function<int32_t(std::size_t)> best = [&](std::size_t r) -> int32_t {
    if (r == truths.size()) return 0;
    int32_t most = best(r + 1);  // truth r left alone
    if (flagged(truths[r])) return most;
    for (std::size_t c = 0; c < kept.size(); ++c) {
      if (used[c] || setAside[c] || !passes(truths[r], kept[c], rules)) continue;
      used[c] = true;
      most = std::max(most, 1 + best(r + 1));
      used[c] = false;
    }
    return most;
  };
  const int32_t pairs = best(0);
  const auto gt = static_cast<int32_t>(truths.size());
  const auto det = static_cast<int32_t>(kept.size());
  return {gt,
          truthExcluded,
          det,
          systemExcluded,
          det - systemExcluded - pairs,
          gt - truthExcluded - pairs};
}

std::vector<const QuorTarget*> pointers(const std::vector<QuorTarget>& targets) {
  std::vector<const QuorTarget*> out;
  for (const QuorTarget& t : targets) out.push_back(&t);
  return out;
}

TEST(ScoringRulesTest, OverlapMeasuresEqualCellCounts) {
  Random random{std::mt19937(20261208)};
  for (int round = 0; round < 20000; ++round) {
    const QuorTarget a = random.randomBox(8), b = random.randomBox(8);
    SCOPED_TRACE(testing::Message() << "round " << round);
    const Areas areas = areasOf(a, b);
    if (!rectanglesTouch(a, b)) {
      EXPECT_EQ(rectangleIou(a, b), 0.0f);
      EXPECT_EQ(overlapRatio(a, b), 0.0f);
      continue;
    }
    if (areas.unionArea > 0) {
      EXPECT_EQ(rectangleIou(a, b), static_cast<float>(static_cast<double>(areas.intersection) /
                                                       static_cast<double>(areas.unionArea)));
      EXPECT_EQ(pairOverlap(a, b, OverlapMeasure::kIou), rectangleIou(a, b));
    }
    if (areas.enclosing > 0) {
      EXPECT_EQ(pairOverlap(a, b, OverlapMeasure::kEnclosing), overlapRatio(a, b));
    }
    if (areas.unionArea > 0) {
      // The union never exceeds the enclosing rectangle: IoU is never the lower.
      EXPECT_GE(rectangleIou(a, b), overlapRatio(a, b));
    }
    const ScoringRules rules = random.rules();
    const int32_t expected = passes(a, b, rules) ? 1 : 0;
    EXPECT_EQ(scorePair(a, b, rules.minOverlap, true, true, rules.overlap), expected);
  }
}

TEST(ScoringRulesTest, FramesUnderRandomRulesEqualBruteForce) {
  Random random{std::mt19937(777)};
  for (int round = 0; round < 3000; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    std::vector<QuorTarget> truths, systems, regions;
    for (int i = random.pick(0, 5); i > 0; --i) truths.push_back(random.randomBox(4));
    for (int i = random.pick(0, 5); i > 0; --i) systems.push_back(random.randomBox(4));
    for (int i = random.pick(0, 2); i > 0; --i) regions.push_back(random.randomBox(4));
    const ScoringRules rules = random.rules();
    SCOPED_TRACE(rulesText(rules));
    QuorFrame source(1), system(1);
    source.targets = pointers(truths);
    source.regions = pointers(regions);
    system.targets = pointers(systems);
    rules.applyTo(source);
    const Counts expected = bruteForce(truths, systems, regions, rules);

    // A selection takes the rules of the frame it selects from.
    QuorFrame fast(0);
    selectFrame(source, TargetFilter("All", 0.0f), fast);
    evaluateFrame(fast, &system, false, false);
    EXPECT_EQ(countsOf(fast), expected);
    QuorFrame sparse = source;
    evaluateFrameWithLimit(sparse, &system, false, false, 1);
    EXPECT_EQ(countsOf(sparse), expected);
    QuorFrame dense = source;
    evaluateFrameDense(dense, &system, false, false);
    EXPECT_EQ(countsOf(dense), expected);
    // All and the one class present, on one scoring of the pairs.
    std::vector<FrameClassCounts> classes(2);
    const int32_t car = classCodeOf("Car");
    ASSERT_TRUE(evaluateFrameClasses(source, system, {&car, 1}, classes));
    for (const FrameClassCounts& c : classes) {
      EXPECT_EQ((Counts{c.gtCount, c.gtExcluded, c.detCount, c.detExcluded, c.fpCount, c.fnCount}),
                expected);
    }
  }
}

TEST(ScoringRulesTest, SweepUnderRulesEqualsOneScoringPerThreshold) {
  Random random{std::mt19937(4040)};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    const ScoringRules rules = random.rules();
    QuorSequence truth, system;
    for (QuorSequence* sequence : {&truth, &system}) {
      for (uint32_t number = 0; number < 6; ++number) {
        QuorFrame& frame = sequence->frames.emplace_back(number);
        rules.applyTo(frame);
        for (int i = random.pick(0, 6); i > 0; --i) {
          QuorTarget t = random.randomBox(5);
          t.confidence = static_cast<float>(random.pick(0, 8)) / 8.0f;
          (random.pick(0, 9) == 0 && sequence == &truth ? frame.regions : frame.targets)
              .push_back(sequence->targetStore.add(t));
        }
      }
    }
    const SweepCurves curves = sweepClasses(truth, system);
    for (const CurvePoint& row : curves[0].points) {
      truth.confidenceThreshold = system.confidenceThreshold = row.threshold;
      const ClassCounts counts = scoreClasses(truth, system, row.threshold)[0];
      EXPECT_EQ(row.gt, counts.gt) << "at " << row.threshold;
      EXPECT_EQ(row.det, counts.det) << "at " << row.threshold;
      EXPECT_EQ(row.fn, counts.fn) << "at " << row.threshold;
      EXPECT_EQ(row.fp, counts.fp) << "at " << row.threshold;
    }
  }
}

TEST(ScoringRulesTest, ReaderKeepsBoxesByTheMinSideAndGivesFramesTheRules) {
  // Boxes from 0 to 45 pixels wide and 5 high: each side's length decides.
  std::string text = "header\n";
  for (int width = 0; width <= 45; width += 5) {
    const std::string w = std::to_string(width);
    text += "1,0,0," + w + ",0," + w + ",5,0,5,Car,FALSE,FALSE,1.0,,0.0\n";
  }
  for (const double minSide : {0.0, 5.0, 25.0, 30.0, 45.0, 46.0}) {
    ScoringRules rules;
    rules.minSide = minSide;
    rules.overlap = OverlapMeasure::kIou;
    rules.minOverlap = 0.5f;
    QuorSequence sequence;
    std::string error;
    std::FILE* stream = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(readSequenceFile(stream, sequence, "boxes.csv", &error, nullptr, rules), 0) << error;
    std::size_t expected = 0;
    for (int width = 0; width <= 45; width += 5) expected += std::max(width, 5) >= minSide ? 1 : 0;
    // A record the size test drops starts no frame.
    ASSERT_EQ(sequence.frames.size(), expected > 0 ? 1u : 0u) << "min side " << minSide;
    if (expected == 0) continue;
    EXPECT_EQ(sequence.frames[0].targets.size(), expected) << "min side " << minSide;
    EXPECT_EQ(sequence.frames[0].overlapMeasure, OverlapMeasure::kIou);
    EXPECT_EQ(sequence.frames[0].overlapThreshold, 0.5f);
  }
}

TEST(ScoringRulesTest, NamedSetsAndChecks) {
  EXPECT_TRUE(ScoringRules{}.isDefault());
  EXPECT_EQ(rulesText(ScoringRules{}),
            "overlap enclosing, min overlap 0.2, region cover 0.33, min side 30");
  for (const char* name : {"mot", "visdrone", "kitti"}) {
    const std::optional<ScoringRules> rules = namedRules(name);
    ASSERT_TRUE(rules) << name;
    EXPECT_EQ(rules->overlap, OverlapMeasure::kIou);
    EXPECT_EQ(rules->minOverlap, 0.5f);
    EXPECT_EQ(rulesProblem(*rules), "");
  }
  EXPECT_EQ(namedRules("mot")->minSide, 0.0);
  EXPECT_EQ(namedRules("kitti")->minSide, 25.0);
  EXPECT_EQ(namedRules("kitti")->regionCover, 0.5f);
  EXPECT_FALSE(namedRules("coco"));
  ScoringRules bad;
  bad.minOverlap = 0.0f;
  EXPECT_NE(rulesProblem(bad).find("min overlap"), std::string::npos);
  bad = ScoringRules{};
  bad.regionCover = 1.5f;
  EXPECT_NE(rulesProblem(bad).find("region cover"), std::string::npos);
  bad = ScoringRules{};
  bad.minSide = -1.0;
  EXPECT_NE(rulesProblem(bad).find("min side"), std::string::npos);
}

}  // namespace
