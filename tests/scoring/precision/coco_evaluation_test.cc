// COCO's average precision on cases worked out by hand (each rule the
// figures hinge on), and what must not change it (threads, restriction).
// A perfect detection's precision is 1 / (1 + epsilon), as COCOeval's
// denominator carries the double's epsilon: such figures are compared
// within a few units in the last place.
#include "scoring/precision/coco_evaluation.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using precision::CocoParameters;
using precision::DetectedBox;
using precision::ImageSet;
using precision::ImageSetBuilder;
using precision::TruthBox;

TruthBox truth(double x, double y, double w, double h, bool crowd = false, double area = -1) {
  TruthBox box;
  box.x = x;
  box.y = y;
  box.width = w;
  box.height = h;
  box.area = area < 0 ? w * h : area;
  box.crowd = crowd;
  return box;
}

DetectedBox detection(double x, double y, double w, double h, double score) {
  DetectedBox box;
  box.x = x;
  box.y = y;
  box.width = w;
  box.height = h;
  box.score = score;
  return box;
}

CocoParameters at(std::vector<double> thresholds) {
  CocoParameters p = CocoParameters::standard();
  p.iouThresholds = std::move(thresholds);
  return p;
}

TEST(CocoParameters, ThresholdsAreNumpysLinspace) {
  const CocoParameters p = CocoParameters::standard();
  ASSERT_EQ(p.iouThresholds.size(), 10u);
  EXPECT_EQ(p.iouThresholds[8], 0.8999999999999999);  // not the nearest double of 0.9
  EXPECT_EQ(p.iouThresholds[9], 0.95);
  EXPECT_EQ(p.iouThresholds[5], 0.75);  // summarize finds it by equality
  ASSERT_EQ(p.recallThresholds.size(), 101u);
  EXPECT_EQ(p.recallThresholds[35], 0.35000000000000003);
  EXPECT_EQ(p.recallThresholds[100], 1.0);
}

TEST(ImageSetBuilder, RefusesABoxOfACategoryOrImageItDoesNotHold) {
  ImageSetBuilder b({1, 2}, {1}, {"a"});
  EXPECT_THROW(b.addTruth(1, 0, truth(0, 0, 1, 1)), std::out_of_range);
  EXPECT_THROW(b.addDetection(0, 2, detection(0, 0, 1, 1, 0.5)), std::out_of_range);
  EXPECT_NO_THROW(b.addDetection(0, 1, detection(0, 0, 1, 1, 0.5)));
}

TEST(CocoEvaluation, AnIouOfExactlyTheThresholdMatches) {
  ImageSetBuilder b({1}, {1}, {"a"});
  b.addTruth(0, 0, truth(0, 0, 10, 10));
  b.addDetection(0, 0, detection(0, 0, 10, 5, 0.9));  // IoU 50 / 100
  const auto result = precision::evaluateCoco(std::move(b).build(), CocoParameters::standard(), 1);
  EXPECT_DOUBLE_EQ(result.stats[1], 1.0);  // AP50
  EXPECT_EQ(result.stats[2], 0.0);         // AP75
  EXPECT_DOUBLE_EQ(result.stats[0], 0.1);  // one threshold of ten
}

TEST(CocoEvaluation, OfEqualIousTheLaterTruthIsTaken) {
  // The first detection overlaps both truths at 0.6; it takes the later
  // one, which leaves the earlier for the second detection (IoU 1/3).
  ImageSetBuilder b({1}, {1}, {"a"});
  b.addTruth(0, 0, truth(0, 0, 10, 10));
  b.addTruth(0, 0, truth(5, 0, 10, 10));
  b.addDetection(0, 0, detection(2.5, 0, 10, 10, 0.9));
  b.addDetection(0, 0, detection(-5, 0, 10, 10, 0.8));
  const auto result = precision::evaluateCoco(std::move(b).build(), at({0.3}), 1);
  EXPECT_EQ(result.recallAt(0, 0, 0, 2), 1.0);
}

TEST(CocoEvaluation, ACrowdAbsorbsDetectionsAndRegularTruthComesFirst) {
  ImageSetBuilder b({1}, {1}, {"a"});
  b.addTruth(0, 0, truth(0, 0, 100, 100, true));
  b.addTruth(0, 0, truth(10, 10, 20, 20));
  b.addDetection(0, 0, detection(10, 10, 20, 20, 0.5));  // the regular box, inside the crowd
  b.addDetection(0, 0, detection(50, 50, 10, 10, 0.9));  // inside the crowd only
  b.addDetection(0, 0, detection(60, 60, 10, 10, 0.8));
  b.addDetection(0, 0, detection(11, 11, 20, 20, 0.7));  // matches the crowd: ignored
  const auto result = precision::evaluateCoco(std::move(b).build(), CocoParameters::standard(), 1);
  EXPECT_DOUBLE_EQ(result.stats[1], 1.0);
  EXPECT_EQ(result.truthCount[0], 1u);
}

TEST(CocoEvaluation, AreaBoundsBelongToBothRangesAndComeFromTheAreaField) {
  ImageSetBuilder b({1}, {1}, {"a"});
  b.addTruth(0, 0, truth(0, 0, 10, 10, false, 1024));  // 100 by its sides
  b.addDetection(0, 0, detection(0, 0, 10, 10, 0.9));
  const auto result = precision::evaluateCoco(std::move(b).build(), CocoParameters::standard(), 1);
  EXPECT_DOUBLE_EQ(result.stats[3], 1.0);  // small
  EXPECT_DOUBLE_EQ(result.stats[4], 1.0);  // medium
  EXPECT_EQ(result.stats[5], -1.0);        // large: no ground truth
}

TEST(CocoEvaluation, DetectionLimitsArePerImageAndCategory) {
  ImageSetBuilder b({1}, {1, 2}, {"a", "b"});
  for (uint32_t k = 0; k < 2; ++k) {
    b.addTruth(k, 0, truth(0, 0, 10, 10));
    b.addTruth(k, 0, truth(50, 50, 10, 10));
    b.addDetection(k, 0, detection(0, 0, 10, 10, 0.9));
    b.addDetection(k, 0, detection(50, 50, 10, 10, 0.8));
  }
  const auto result = precision::evaluateCoco(std::move(b).build(), CocoParameters::standard(), 1);
  EXPECT_DOUBLE_EQ(result.stats[6], 0.5);  // AR at one detection per image and category
  EXPECT_DOUBLE_EQ(result.stats[7], 1.0);
}

TEST(CocoEvaluation, ACategoryWithoutTruthCountsNowhere) {
  ImageSetBuilder b({1}, {1, 2}, {"a", "b"});
  b.addTruth(0, 0, truth(0, 0, 10, 10));
  b.addDetection(0, 0, detection(0, 0, 10, 10, 0.9));
  b.addDetection(1, 0, detection(0, 0, 10, 10, 0.95));
  const auto result = precision::evaluateCoco(std::move(b).build(), CocoParameters::standard(), 1);
  EXPECT_DOUBLE_EQ(result.stats[0], 1.0);
  EXPECT_EQ(result.summary(true, -1, "all", 100, 1), -1.0);
  EXPECT_EQ(result.precisionAt(0, 0, 1, 0, 2), -1.0);
}

// Random sets: the threads, and evaluating a restriction or the files that
// hold only its part, give the same arrays.
ImageSet randomSet(std::mt19937& random, std::size_t images, std::size_t categories) {
  std::vector<int64_t> imageIds, categoryIds;
  std::vector<std::string> names;
  for (std::size_t k = 0; k < images; ++k) imageIds.push_back(static_cast<int64_t>(3 * k + 1));
  for (std::size_t k = 0; k < categories; ++k) {
    categoryIds.push_back(static_cast<int64_t>(k + 1));
    names.push_back("c" + std::to_string(k));
  }
  ImageSetBuilder b(imageIds, categoryIds, names);
  std::uniform_int_distribution<int> coordinate(0, 60), side(1, 40), cat(0, int(categories) - 1),
      image(0, int(images) - 1);
  std::uniform_real_distribution<double> score(0, 1);
  for (int k = 0; k < 300; ++k) {
    b.addTruth(cat(random), image(random),
               truth(coordinate(random), coordinate(random), side(random), side(random),
                     random() % 20 == 0));
  }
  for (int k = 0; k < 900; ++k) {
    const double s = random() % 4 == 0 ? 0.5 : score(random);  // many ties
    b.addDetection(
        cat(random), image(random),
        detection(coordinate(random), coordinate(random), side(random), side(random), s));
  }
  return std::move(b).build();
}

TEST(CocoEvaluation, ThreadsAndRestrictionChangeNothing) {
  std::mt19937 random(11);
  for (int round = 0; round < 8; ++round) {
    const ImageSet set = randomSet(random, 12, 4);
    CocoParameters p = CocoParameters::standard();
    if (round % 2) p.maxDetections = {1, 3, 10};  // cuts bite
    const auto one = precision::evaluateCoco(set, p, 1);
    const auto four = precision::evaluateCoco(set, p, 4);
    EXPECT_EQ(one.precision, four.precision);
    EXPECT_EQ(one.recall, four.recall);
    EXPECT_EQ(one.scores, four.scores);
    EXPECT_EQ(one.stats, four.stats);

    // Keep images 4, 10, ... and categories 2, 3, also asked twice and with
    // ids the set does not hold.
    const std::vector<int64_t> images = {10, 4, 4, 999, 22, 31};
    const std::vector<int64_t> categories = {3, 2, 77};
    const ImageSet part = precision::restrictImageSet(set, images, categories);
    ImageSetBuilder b({4, 10, 22, 31}, {2, 3}, {"c1", "c2"});
    for (const auto& cell : set.cells) {
      const int64_t id = set.imageIds[cell.image];
      const auto where = std::find(part.imageIds.begin(), part.imageIds.end(), id);
      if (where == part.imageIds.end() || cell.category < 1 || cell.category > 2) continue;
      const auto image = static_cast<uint32_t>(where - part.imageIds.begin());
      for (const auto& t : set.truthsOf(cell)) b.addTruth(cell.category - 1, image, t);
      for (const auto& d : set.detectionsOf(cell)) b.addDetection(cell.category - 1, image, d);
    }
    const auto direct = precision::evaluateCoco(std::move(b).build(), p, 1);
    const auto restricted = precision::evaluateCoco(part, p, 2);
    EXPECT_EQ(direct.precision, restricted.precision);
    EXPECT_EQ(direct.recall, restricted.recall);
    EXPECT_EQ(direct.stats, restricted.stats);
  }
}

}  // namespace
