#include "scoring/counts/confidence_sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "annotation/sequence_reader.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/streaming_evaluation.h"
#include "tests/test_support.h"

using talmira_test::box;

// Readable failures: the counts rather than the bytes.
void PrintTo(const CurvePoint& p, std::ostream* out) {
  *out << "{t " << p.threshold << ", gt " << p.gt << ", det " << p.det << ", fn " << p.fn << ", fp "
       << p.fp << "}";
}

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Confidences that sit on the edges of the threshold range, or repeat so
// that many boxes enter at one threshold.
const float kOddConfidences[] = {
    0.0f, -0.0f, 1.0f,  1.5f, kInfinity, -kInfinity, -0.5f,
    0.5f, 0.25f, 0.75f, 0.1f, 0.3f,      1e-45f,     std::nextafter(1.0f, 0.0f),
    0.2f, 0.9f};
const char* const kNames[] = {"Car", "Car", "Truck", "Bus", "Person", "Boat", "Kite"};

struct Generator {
  std::mt19937 random;
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); }

  float confidence() {
    switch (pick(0, 3)) {
      case 0:
        return kOddConfidences[pick(0, std::size(kOddConfidences) - 1)];
      case 1:
        return static_cast<float>(pick(0, 8)) / 8.0f;
      default:
        return std::uniform_real_distribution<float>(-0.1f, 1.1f)(random);
    }
  }

  // Upright boxes on a coarse grid (so that many pairs pass and matchings are
  // ambiguous), now and then a turned one.
  QuorTarget target(int spread) {
    const int x = pick(0, spread) * 10, y = pick(0, spread) * 10;
    const int w = pick(1, 5) * 10, h = pick(1, 5) * 10;
    QuorTarget t = box(x, y, x + w, y + h, kNames[pick(0, std::size(kNames) - 1)], confidence(),
                       pick(0, 9) == 0, pick(0, 9) == 0);
    if (pick(0, 7) == 0) {
      t = makeTarget(x + w / 2, y, x + w, y + h / 2, x + w / 2, y + h, x, y + h / 2, t.name(),
                     t.markB, t.confidence, t.markA);
    }
    return t;
  }

  // Repeated and missing frame numbers, regions, and sometimes a crowded
  // frame big enough for the spatial index.
  void fill(QuorSequence& sequence) {
    for (int f = pick(0, 8); f > 0; --f) {
      const uint32_t number = static_cast<uint32_t>(pick(1, 5));
      QuorFrame& frame = sequence.frames.emplace_back(number);
      // Crowded frames share a number, so that both files' crowded frames meet and the
      // pairs (and sometimes the regions) are found through the index.
      const bool crowded = number == 5 && pick(0, 2) == 0;
      for (int n = crowded ? pick(35, 60) : pick(0, 7); n > 0; --n) {
        frame.targets.push_back(sequence.targetStore.add(target(crowded ? 20 : 6)));
      }
      const int regions = pick(0, 4) == 0 ? (crowded ? pick(1, 40) : pick(1, 2)) : 0;
      for (int n = regions; n > 0; --n) {
        const int x = pick(0, crowded ? 20 : 6) * 10, y = pick(0, crowded ? 20 : 6) * 10;
        frame.regions.push_back(
            sequence.targetStore.add(box(x, y, x + pick(2, 6) * 10, y + pick(2, 6) * 10, "DCR")));
      }
    }
  }
};

// The oracle: one whole scoring per threshold, kept per threshold.
class Oracle {
 public:
  Oracle(const QuorSequence& truth, const QuorSequence& system) : truth_(truth), system_(system) {}
  const ClassCounts& at(float threshold, std::size_t slot) {
    auto found = cache_.find(threshold);
    if (found == cache_.end()) {
      found =
          cache_.emplace(threshold, standardRows(scoreClasses(truth_, system_, threshold))).first;
    }
    return found->second[slot];
  }

 private:
  const QuorSequence& truth_;
  const QuorSequence& system_;
  std::map<float, std::array<ClassCounts, kClassCount>> cache_;
};

// The rows a class's exact curve must have, found directly from the boxes.
std::vector<float> expectedThresholds(const QuorSequence& truth, const QuorSequence& system,
                                      std::size_t slot) {
  std::set<float, std::greater<float>> values = {1.0f, 0.0f};
  for (const QuorSequence* sequence : {&truth, &system}) {
    for (const QuorFrame& frame : sequence->frames) {
      for (const QuorTarget* t : frame.targets) {
        const bool ofClass = slot == 0 || t->name() == evaluationClasses[slot];
        if (ofClass && t->confidence > 0.0f && t->confidence < 1.0f) values.insert(t->confidence);
      }
    }
  }
  return {values.begin(), values.end()};
}

void expectRowEquals(const CurvePoint& row, const ClassCounts& oracle, int64_t frames) {
  EXPECT_EQ(row.gt, oracle.gt);
  EXPECT_EQ(row.det, oracle.det);
  EXPECT_EQ(row.fn, oracle.fn);
  EXPECT_EQ(row.fp, oracle.fp);
  EXPECT_EQ(frames, oracle.frames);
}

std::vector<float> thresholdsOf(const ClassCurve& curve) {
  std::vector<float> thresholds;
  for (const CurvePoint& p : curve.points) thresholds.push_back(p.threshold);
  return thresholds;
}

TEST(ConfidenceSweepTest, ExactAndGridRowsEqualOneScoringPerThreshold) {
  const unsigned seed = 20261207;
  Generator generator{std::mt19937(seed)};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    QuorSequence truth, system;
    generator.fill(truth);
    generator.fill(system);
    Oracle oracle(truth, system);
    const SweepCurves curves = sweepClasses(truth, system);
    const int gridSteps = generator.pick(1, 20);
    const std::vector<float> grid = gridThresholds(gridSteps);
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      SCOPED_TRACE(evaluationClasses[slot]);
      const ClassCurve& curve = curves[slot];
      ASSERT_EQ(thresholdsOf(curve), expectedThresholds(truth, system, slot));
      for (const CurvePoint& row : curve.points) {
        SCOPED_TRACE(testing::Message() << "exact threshold " << row.threshold);
        expectRowEquals(row, oracle.at(row.threshold, slot), curve.frames);
      }
      const ClassCurve sampled = sampleCurve(curve, grid);
      ASSERT_EQ(thresholdsOf(sampled), grid);
      for (const CurvePoint& row : sampled.points) {
        SCOPED_TRACE(testing::Message() << "grid " << gridSteps << " threshold " << row.threshold);
        expectRowEquals(row, oracle.at(row.threshold, slot), sampled.frames);
      }

      // The best point beats every row and every threshold, and no row
      // above it does as well.
      const CurvePoint best = bestPoint(curve);
      EXPECT_NE(std::find(curve.points.begin(), curve.points.end(), best), curve.points.end());
      for (const CurvePoint& row : curve.points) {
        const float value = oracle.at(row.threshold, slot).nmodta();
        EXPECT_GE(best.nmodta(), value);
        if (row.threshold > best.threshold) {
          EXPECT_LT(value, best.nmodta());
        }
      }
      for (int probe = 0; probe < 5; ++probe) {
        const float t = std::uniform_real_distribution<float>(0.0f, 1.0f)(generator.random);
        EXPECT_GE(best.nmodta(), oracle.at(t, slot).nmodta()) << "at " << t;
      }
    }
  }
}

TEST(ConfidenceSweepTest, WorkersDoNotChangeTheCurves) {
  const unsigned seed = 77;
  Generator generator{std::mt19937(seed)};
  QuorSequence truth, system;
  while (truth.frames.size() < 2000) generator.fill(truth);
  while (system.frames.size() < 2000) generator.fill(system);
  const SweepCurves alone = sweepClasses(truth, system, 1);
  const SweepCurves shared = sweepClasses(truth, system, 4);
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    EXPECT_EQ(alone[slot].points, shared[slot].points) << evaluationClasses[slot];
    EXPECT_EQ(alone[slot].frames, shared[slot].frames);
  }
  // Spot-check the many-frame curve against the oracle too.
  Oracle oracle(truth, system);
  for (std::size_t at = 0; at < alone[0].points.size(); at += 97) {
    expectRowEquals(alone[0].points[at], oracle.at(alone[0].points[at].threshold, 0),
                    alone[0].frames);
  }
}

TEST(ConfidenceSweepTest, PooledCurveIsTheSumOfTheScorings) {
  const unsigned seed = 4242;
  Generator generator{std::mt19937(seed)};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    QuorSequence truthA, systemA, truthB, systemB;
    generator.fill(truthA);
    generator.fill(systemA);
    generator.fill(truthB);
    generator.fill(systemB);
    const SweepCurves a = sweepClasses(truthA, systemA);
    const SweepCurves b = sweepClasses(truthB, systemB);
    Oracle oracleA(truthA, systemA), oracleB(truthB, systemB);
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      const ClassCurve pooled = addCurves({&a[slot], &b[slot]});
      std::set<float, std::greater<float>> union_;
      for (const ClassCurve* c : {&a[slot], &b[slot]}) {
        for (const CurvePoint& p : c->points) union_.insert(p.threshold);
      }
      ASSERT_EQ(thresholdsOf(pooled), std::vector<float>(union_.begin(), union_.end()));
      EXPECT_EQ(pooled.frames, static_cast<int64_t>(truthA.frames.size() + truthB.frames.size()));
      for (const CurvePoint& row : pooled.points) {
        ClassCounts sum = oracleA.at(row.threshold, slot);
        sum += oracleB.at(row.threshold, slot);
        expectRowEquals(row, sum, pooled.frames);
      }
    }
  }
  const ClassCurve none = addCurves({});
  ASSERT_EQ(none.points.size(), 2u);
  EXPECT_EQ(none.points[0], (CurvePoint{1.0f, 0, 0, 0, 0}));
  EXPECT_EQ(none.points[1], (CurvePoint{0.0f, 0, 0, 0, 0}));
}

// Hand-worked frame: truth A (1) is matched by detection X (0.8); detection Y
// (0.4) overlaps A too but only becomes a false alarm; flagged truth F (0.3)
// sets X aside once it enters, and Y takes A over.
TEST(ConfidenceSweepTest, HandWorkedFrameWithAFlagEnteringLate) {
  QuorSequence truth, system;
  QuorFrame& t = truth.frames.emplace_back(1);
  t.targets.push_back(truth.targetStore.add(box(0, 0, 100, 100, "Car", 1.0f)));
  t.targets.push_back(truth.targetStore.add(box(100, 0, 200, 100, "Car", 0.3f, true, false)));
  QuorFrame& s = system.frames.emplace_back(1);
  s.targets.push_back(system.targetStore.add(box(50, 0, 150, 100, "Car", 0.8f)));  // X
  s.targets.push_back(system.targetStore.add(box(0, 0, 90, 100, "Car", 0.4f)));    // Y
  const SweepCurves curves = sweepClasses(truth, system);
  const ClassCurve& car = curves[1];
  // X: A and X share 50 x 100 of a 150 x 100 box (1/3), F and X likewise.
  const std::vector<CurvePoint> expected = {{1.0f, 1, 0, 1, 0},
                                            {0.8f, 1, 1, 0, 0},
                                            {0.4f, 1, 2, 0, 1},
                                            {0.3f, 1, 1, 0, 0},
                                            {0.0f, 1, 1, 0, 0}};
  EXPECT_EQ(car.points, expected);
  EXPECT_EQ(car.frames, 1);
  const CurvePoint best = bestPoint(car);
  EXPECT_EQ(best,
            (CurvePoint{0.8f, 1, 1, 0, 0}));  // ties at 0.3 and 0 lose to the higher threshold
}

// Two cars A and B; the detector finds A at 0.9, puts a false alarm at 0.8
// and finds B at 0.7. Recall and precision at each threshold:
//   1: 0, 1 (nothing taken)   0.9: 1/2, 1   0.8: 1/2, 1/2   0.7 and 0: 1, 2/3
// The envelope is 1 up to recall 1/2 and 2/3 beyond, so
// AP = 1/2 * 1 + 1/2 * 2/3 = 5/6.
TEST(ConfidenceSweepTest, AveragePrecisionIsTheAreaUnderThePrecisionEnvelope) {
  QuorSequence truth, system;
  QuorFrame& t = truth.frames.emplace_back(1);
  t.targets.push_back(truth.targetStore.add(box(0, 0, 100, 100, "Car", 1.0f)));
  t.targets.push_back(truth.targetStore.add(box(500, 0, 600, 100, "Car", 1.0f)));
  QuorFrame& s = system.frames.emplace_back(1);
  s.targets.push_back(system.targetStore.add(box(0, 0, 100, 100, "Car", 0.9f)));
  s.targets.push_back(system.targetStore.add(box(1000, 0, 1100, 100, "Car", 0.8f)));
  s.targets.push_back(system.targetStore.add(box(500, 0, 600, 100, "Car", 0.7f)));
  const SweepCurves curves = sweepClasses(truth, system);
  const ClassCurve& car = curves[1];
  ASSERT_EQ(car.points.size(), 5u);
  EXPECT_EQ(precisionOf(car.points[0]), 1.0);
  EXPECT_EQ(recallOf(car.points[0]), 0.0);
  EXPECT_EQ(precisionOf(car.points[2]), 0.5);
  EXPECT_EQ(recallOf(car.points[2]), 0.5);
  ASSERT_TRUE(averagePrecision(car).has_value());
  EXPECT_DOUBLE_EQ(*averagePrecision(car), 5.0 / 6.0);
  // A class without objects has no recall and no average precision.
  EXPECT_FALSE(recallOf(curves[2].points[0]).has_value());
  EXPECT_FALSE(averagePrecision(curves[2]).has_value());
  // Points of equal recall count at the best of them, whatever their order.
  ClassCurve shuffled;
  shuffled.points = {{1.0f, 4, 4, 2, 3}, {0.6f, 4, 2, 2, 0}, {0.3f, 4, 8, 0, 4}};
  // Recall 1/2 at precisions 1/4 and 1, recall 1 at precision 1/2:
  // 1/2 * 1 + 1/2 * 1/2 = 3/4.
  EXPECT_DOUBLE_EQ(*averagePrecision(shuffled), 0.75);
}

// The envelope that the pages draw is the one whose area is the average
// precision: checked on random curves against a direct reading of its
// definition, a maximum over the points at each recall or above.
TEST(ConfidenceSweepTest, PrecisionEnvelopeIsTheBestPrecisionAtEachRecallOrAbove) {
  const uint32_t seed = 4411;
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (int round = 0; round < 200; ++round) {
    ClassCurve curve;
    const int n = std::uniform_int_distribution<int>(1, 30)(random);
    for (int i = 0; i < n; ++i) {
      // Few objects, so that recalls repeat; some points without objects.
      const int64_t gt = std::uniform_int_distribution<int64_t>(0, 4)(random);
      const int64_t fn = gt == 0 ? 0 : std::uniform_int_distribution<int64_t>(0, gt)(random);
      const int64_t fp = std::uniform_int_distribution<int64_t>(0, 3)(random);
      const float t = 1.0f - static_cast<float>(i) / static_cast<float>(n);
      curve.points.push_back({t, gt, gt - fn + fp, fn, fp});
    }
    const std::vector<PrecisionStep> steps = precisionEnvelope(curve);
    std::set<double> recalls;  // the distinct recalls above 0
    for (const CurvePoint& p : curve.points) {
      if (p.gt > 0 && recallOf(p) > 0.0) recalls.insert(*recallOf(p));
    }
    ASSERT_EQ(steps.size(), recalls.size()) << "round " << round;
    double area = 0.0, reached = 0.0;
    auto recall = recalls.begin();
    for (const PrecisionStep& step : steps) {
      EXPECT_EQ(step.recall, *recall++) << "round " << round;
      double best = 0.0;
      for (const CurvePoint& p : curve.points) {
        if (p.gt > 0 && *recallOf(p) >= step.recall) best = std::max(best, precisionOf(p));
      }
      EXPECT_EQ(step.precision, best) << "round " << round << " at recall " << step.recall;
      area += (step.recall - reached) * step.precision;
      reached = step.recall;
    }
    const bool objects = std::any_of(curve.points.begin(), curve.points.end(),
                                     [](const CurvePoint& p) { return p.gt > 0; });
    ASSERT_EQ(averagePrecision(curve).has_value(), objects) << "round " << round;
    if (objects) {
      EXPECT_EQ(*averagePrecision(curve), area) << "round " << round;
    }
  }
}

TEST(ConfidenceSweepTest, GridThresholdsAndBadArguments) {
  EXPECT_EQ(gridThresholds(1), (std::vector<float>{1.0f, 0.0f}));
  const std::vector<float> tenths = gridThresholds(10);
  ASSERT_EQ(tenths.size(), 11u);
  EXPECT_EQ(tenths[7], 0.3f);  // 3 / 10, not 1 - 7 / 10
  EXPECT_EQ(tenths[9], 0.1f);
  EXPECT_EQ(gridThresholds(3)[1], 2.0f / 3.0f);
  EXPECT_THROW(gridThresholds(0), std::invalid_argument);
  EXPECT_THROW(gridThresholds(kMaxGridSteps + 1), std::invalid_argument);

  ClassCurve curve;
  curve.points = {{1.0f, 2, 0, 2, 0}, {0.5f, 2, 2, 0, 0}, {0.0f, 2, 5, 0, 3}};
  EXPECT_THROW(sampleCurve(curve, {0.5f, 0.7f}), std::invalid_argument);
  EXPECT_THROW(sampleCurve(curve, {1.5f}), std::invalid_argument);
  EXPECT_THROW(sampleCurve(ClassCurve{}, {0.5f}), std::invalid_argument);
  EXPECT_THROW(bestPoint(ClassCurve{}), std::invalid_argument);
  const ClassCurve sampled = sampleCurve(curve, {0.75f, 0.5f, 0.25f});
  EXPECT_EQ(sampled.points, (std::vector<CurvePoint>{
                                {0.75f, 2, 0, 2, 0}, {0.5f, 2, 2, 0, 0}, {0.25f, 2, 2, 0, 0}}));
}

}  // namespace

namespace {

// An annotation file whose frame numbers grow (unless `goBack`), with
// repeated confidences, odd ones, flags, regions and a class of no table.
// `spread` places the boxes far enough apart that most pass the overlap
// test with one other box or none, rather than with several.
std::string randomFileText(std::mt19937& random, bool goBack, bool spread = false) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  const char* types[] = {"Car", "Car", "Bus", "Person", "DCR", "Kite"};
  const char* confidences[] = {"1", "0", "-0", "1.5", "inf", "-0.5", "0.5", "0.25"};
  std::string text = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  uint32_t number = static_cast<uint32_t>(pick(0, 3));
  const int frames = pick(0, 40);
  for (int f = 0; f < frames; ++f) {
    number += static_cast<uint32_t>(pick(1, 2));
    if (goBack && f == frames / 2) number -= 1;
    for (int n = pick(1, 8); n > 0; --n) {
      const int step = spread ? 60 : 10;
      const int x = pick(0, 6) * step, y = pick(0, 6) * step, w = pick(1, 5) * 10,
                h = pick(1, 5) * 10;
      const std::string confidence =
          pick(0, 2) == 0 ? confidences[pick(0, 7)] : "0." + std::to_string(pick(1, 99));
      text += std::to_string(number) + "," + std::to_string(x) + "," + std::to_string(y) + "," +
              std::to_string(x + w) + "," + std::to_string(y) + "," + std::to_string(x + w) + "," +
              std::to_string(y + h) + "," + std::to_string(x) + "," + std::to_string(y + h) + "," +
              types[pick(0, 5)] + "," + (pick(0, 9) == 0 ? "TRUE" : "FALSE") + "," +
              (pick(0, 9) == 0 ? "TRUE" : "FALSE") + "," + confidence + ",,0.0\n";
    }
  }
  return text;
}

void readText(const std::string& text, QuorSequence& sequence) {
  std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  std::string error;
  ASSERT_EQ(readSequenceFile(stream, sequence, "file", &error), 0) << error;
}

}  // namespace

TEST(ConfidenceSweepTest, SweepingWhileReadingGivesTheCurvesOfTheWholeFiles) {
  const unsigned seed = 5150;
  std::mt19937 random(seed);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const bool goBack = round % 10 == 9;
    const bool spread = round % 2 == 1;
    const std::string truthText = randomFileText(random, goBack && round % 20 == 9, spread);
    const std::string systemText = randomFileText(random, goBack && round % 20 == 19, spread);
    QuorSequence truth, system;
    readText(truthText, truth);
    readText(systemText, system);
    const SweepCurves whole = sweepClasses(truth, system);
    // One worker or several.
    StreamedInput truthInput(fmemopen(const_cast<char*>(truthText.data()), truthText.size(), "r"),
                             "gt");
    StreamedInput systemInput(
        fmemopen(const_cast<char*>(systemText.data()), systemText.size(), "r"), "sys");
    // Now and then the sums move to 64 bits after every few boxes.
    const std::size_t spillBoxes = round % 4 == 3 ? 1 + round % 7 : kMaxSpillBoxes;
    const StreamedCurves streamed = sweepClassesWhileReading(
        truthInput, systemInput, 1 + static_cast<unsigned>(round % 3), spillBoxes);
    ASSERT_EQ(truthInput.status, 0);
    ASSERT_EQ(systemInput.status, 0);
    if (!streamed.inOrder) {
      EXPECT_TRUE(goBack);  // then the caller reads the files whole
      continue;
    }
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      EXPECT_EQ(streamed.curves[slot].points, whole[slot].points) << evaluationClasses[slot];
      EXPECT_EQ(streamed.curves[slot].frames, whole[slot].frames);
    }
  }
}

namespace {

// A pair of files whose boxes come in spots: a truth and a detection or two
// at each, far from the other spots, so that most pairs pass alone and some
// spots hold several. A box takes the spot's class, or now and then another
// (a class of no table too): pairs joining two classes, or a class and no
// class, alone and among several.
std::pair<std::string, std::string> spottedFiles(std::mt19937& random, int mislabelPercent) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  const char* types[] = {"Car", "Bus", "Person", "Kite", "Truck"};
  const std::string header =
      "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  std::string truth = header, system = header;
  const auto line = [&](std::string& text, int frame, int x, int y, int w, int h, const char* type,
                        const std::string& confidence) {
    text += std::to_string(frame) + "," + std::to_string(x) + "," + std::to_string(y) + "," +
            std::to_string(x + w) + "," + std::to_string(y) + "," + std::to_string(x + w) + "," +
            std::to_string(y + h) + "," + std::to_string(x) + "," + std::to_string(y + h) + "," +
            type + "," + (pick(0, 14) == 0 ? "TRUE" : "FALSE") + "," +
            (pick(0, 14) == 0 ? "TRUE" : "FALSE") + "," + confidence + ",,0.0\n";
  };
  const auto confidence = [&] {
    return pick(0, 5) == 0 ? std::string(pick(0, 1) == 0 ? "1" : "0")
                           : "0." + std::to_string(pick(1, 40));
  };
  const int frames = pick(1, 30);
  for (int frame = 1; frame <= frames; ++frame) {
    for (int spot = pick(0, 6); spot > 0; --spot) {
      const int x = pick(0, 20) * 100, y = pick(0, 20) * 100;
      const int type = pick(0, 4);
      const auto typeOf = [&] { return types[pick(0, 99) < mislabelPercent ? pick(0, 4) : type]; };
      for (int n = pick(0, 3) == 0 ? 2 : 1; n > 0; --n) {
        line(truth, frame, x + pick(0, 3), y + pick(0, 3), 40, 40, typeOf(), confidence());
      }
      for (int n = pick(0, 2); n > 0; --n) {
        line(system, frame, x + pick(0, 6), y + pick(0, 6), 40, 40, typeOf(), confidence());
      }
    }
  }
  return {truth, system};
}

}  // namespace

// The curves swept while reading take All from the classes' tables and what
// differs from their sum: against one whole scoring per threshold, on
// files where pairs often join two classes or a class and none.
TEST(ConfidenceSweepTest, AllSweptWhileReadingIsAllScoredAtEveryThreshold) {
  const unsigned seed = 90210;
  std::mt19937 random(seed);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const int mislabelPercent = (round % 5) * 25;
    const auto [truthText, systemText] = spottedFiles(random, mislabelPercent);
    QuorSequence truth, system;
    readText(truthText, truth);
    readText(systemText, system);
    StreamedInput truthInput(fmemopen(const_cast<char*>(truthText.data()), truthText.size(), "r"),
                             "gt");
    StreamedInput systemInput(
        fmemopen(const_cast<char*>(systemText.data()), systemText.size(), "r"), "sys");
    const std::size_t spillBoxes = round % 3 == 2 ? 1 + round % 5 : kMaxSpillBoxes;
    const StreamedCurves streamed = sweepClassesWhileReading(
        truthInput, systemInput, 1 + static_cast<unsigned>(round % 2), spillBoxes);
    ASSERT_TRUE(streamed.inOrder);
    Oracle oracle(truth, system);
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      SCOPED_TRACE(evaluationClasses[slot]);
      const ClassCurve& curve = streamed.curves[slot];
      ASSERT_EQ(thresholdsOf(curve), expectedThresholds(truth, system, slot));
      for (const CurvePoint& row : curve.points) {
        SCOPED_TRACE(testing::Message() << "threshold " << row.threshold);
        expectRowEquals(row, oracle.at(row.threshold, slot), curve.frames);
      }
    }
  }
}
