// ImageNet VID's average precision and its motion split on hand-made sets
// whose figures are worked out here, and properties over random sets.

#include "scoring/precision/vid_evaluation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace {

using precision::Cell;
using precision::DetectedBox;
using precision::ImageSet;
using precision::kMotionFast;
using precision::kMotionMedium;
using precision::kMotionSlow;
using precision::TruthBox;
using precision::VidResult;

struct Truth {
  uint32_t category, image;
  double x, y, w, h;
  int64_t track = -1;
  bool crowd = false;
};
struct Detection {
  uint32_t category, image;
  double x, y, w, h;
  double score;
};
struct Origin {
  uint32_t sequence;
  int64_t frame;
};

// A set of `images` images and `categories` categories (ids 1, 2, ...), its
// boxes grouped into cells in (category, image) order, file order kept;
// with origins when given (one per image).
ImageSet makeSet(uint32_t images, uint32_t categories, const std::vector<Truth>& truths,
                 const std::vector<Detection>& detections,
                 const std::vector<Origin>& origins = {}) {
  ImageSet set;
  for (uint32_t i = 0; i < images; ++i) set.imageIds.push_back(100 + i);
  for (uint32_t c = 0; c < categories; ++c) {
    set.categoryIds.push_back(c + 1);
    set.categoryNames.push_back("class " + std::to_string(c + 1));
  }
  for (const Origin& origin : origins) {
    set.imageSequence.push_back(origin.sequence);
    set.imageFrame.push_back(origin.frame);
  }
  for (uint32_t c = 0; c < categories; ++c) {
    for (uint32_t i = 0; i < images; ++i) {
      Cell cell;
      cell.category = c;
      cell.image = i;
      cell.truthBegin = static_cast<uint32_t>(set.truths.size());
      for (const Truth& t : truths) {
        if (t.category != c || t.image != i) continue;
        TruthBox box;
        box.x = t.x;
        box.y = t.y;
        box.width = t.w;
        box.height = t.h;
        box.area = t.w * t.h;
        box.track = t.track;
        box.crowd = t.crowd;
        set.truths.push_back(box);
      }
      cell.truthEnd = static_cast<uint32_t>(set.truths.size());
      cell.detectionBegin = static_cast<uint32_t>(set.detections.size());
      for (const Detection& d : detections) {
        if (d.category != c || d.image != i) continue;
        DetectedBox box;
        box.x = d.x;
        box.y = d.y;
        box.width = d.w;
        box.height = d.h;
        box.score = d.score;
        set.detections.push_back(box);
      }
      cell.detectionEnd = static_cast<uint32_t>(set.detections.size());
      if (cell.truthEnd > cell.truthBegin || cell.detectionEnd > cell.detectionBegin) {
        set.cells.push_back(cell);
      }
    }
  }
  return set;
}

// A detection exactly on a box, and one far from everything.
Detection on(const Truth& t, double score) {
  return {t.category, t.image, t.x, t.y, t.w, t.h, score};
}
Detection far(uint32_t category, uint32_t image, double score) {
  return {category, image, 5000, 5000, 20, 20, score};
}

TEST(VidEvaluation, ThresholdIsLowerForSmallBoxesInInclusivePixels) {
  TruthBox box;
  box.width = 9;  // 10 pixels
  box.height = 9;
  EXPECT_DOUBLE_EQ(precision::vidThreshold(box), 100.0 / 400.0);
  box.width = 19;  // 20 by 20 pixels: 400 / 900
  box.height = 19;
  EXPECT_DOUBLE_EQ(precision::vidThreshold(box), 400.0 / 900.0);
  box.width = 99;  // 10,000 / 12,100 is above 0.5: the cap
  box.height = 99;
  EXPECT_EQ(precision::vidThreshold(box), 0.5);
  box.width = 0;  // a single pixel: 1 / 121
  box.height = 0;
  EXPECT_DOUBLE_EQ(precision::vidThreshold(box), 1.0 / 121.0);
}

TEST(VidEvaluation, SmallBoxIsFoundBelowHalfOverlapWhereALargeOneIsNot) {
  // The detection covers half of a 10-pixel box's columns and five more:
  // 50 / 150 = 1/3, above the small box's 0.25. The same shift on a box of
  // 100 pixels gives 1/3 again, below its 0.5.
  const Truth small{0, 0, 0, 0, 9, 9};
  const Truth large{1, 0, 0, 0, 99, 99};
  EXPECT_DOUBLE_EQ(precision::vidIou(5, 0, 9, 9, 0, 0, 9, 9), 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(precision::vidIou(50, 0, 99, 99, 0, 0, 99, 99), 1.0 / 3.0);
  const ImageSet set =
      makeSet(1, 2, {small, large}, {{0, 0, 5, 0, 9, 9, 0.9}, {1, 0, 50, 0, 99, 99, 0.9}});
  const VidResult result = precision::evaluateVid(set, 1);
  EXPECT_EQ(result.ap[0], 1.0);
  EXPECT_EQ(result.ap[1], 0.0);
  EXPECT_EQ(result.meanAp, 0.5);
  EXPECT_FALSE(result.motionSplit);
}

TEST(VidEvaluation, OverlapCountsPixelsInclusively) {
  // Columns 0..49 of a box of columns 0..99: 5,000 / 10,000 exactly, which
  // reaches 0.5; without the extra pixel it would be 49 * 99 / 99^2 < 0.5.
  EXPECT_EQ(precision::vidIou(0, 0, 49, 99, 0, 0, 99, 99), 0.5);
  // Boxes sharing their edge column overlap by one column: 10 / 190.
  EXPECT_DOUBLE_EQ(precision::vidIou(9, 0, 9, 9, 0, 0, 9, 9), 10.0 / 190.0);
  EXPECT_EQ(precision::vidIou(10, 0, 9, 9, 0, 0, 9, 9), 0.0);
  const Truth truth{0, 0, 0, 0, 99, 99};
  const ImageSet set = makeSet(1, 1, {truth}, {{0, 0, 0, 0, 49, 99, 0.5}});
  EXPECT_EQ(precision::evaluateVid(set, 1).ap[0], 1.0);
}

TEST(VidEvaluation, FirstMaximumTakesATie) {
  // The first detection overlaps A (columns 0..99) and B (40..139) by 80
  // columns each, 2/3; it takes the first listed. The second, exactly on A,
  // overlaps B by 60 columns (6,000 / 14,000): when A is taken it is an FP.
  const Truth a{0, 0, 0, 0, 99, 99};
  const Truth b{0, 0, 40, 0, 99, 99};
  const std::vector<Detection> detections = {{0, 0, 20, 0, 99, 99, 0.9}, on(a, 0.8)};
  EXPECT_EQ(precision::vidIou(20, 0, 99, 99, 0, 0, 99, 99),
            precision::vidIou(20, 0, 99, 99, 40, 0, 99, 99));
  // A first: TP then FP with two to find, 0.5 * 1.
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {a, b}, detections), 1).ap[0], 0.5);
  // B first: the tie takes B, the second detection finds A.
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {b, a}, detections), 1).ap[0], 1.0);
}

TEST(VidEvaluation, AllPointAveragePrecisionOfAWorkedCurve) {
  // Five boxes on five images; seven detections in score order TP FP TP TP
  // FP FP TP. Precision 1, 1/2, 2/3, 3/4, 3/5, 1/2, 4/7 at recall 0.2, 0.2,
  // 0.4, 0.6, 0.6, 0.6, 0.8; the envelope where recall grows: 1, 3/4, 3/4,
  // 4/7. AP = 0.2 * (1 + 3/4 + 3/4 + 4/7) = 43/70.
  std::vector<Truth> truths;
  for (uint32_t i = 0; i < 5; ++i) truths.push_back({0, i, 10.0 * i, 0, 30, 30});
  const std::vector<Detection> detections = {on(truths[0], 0.9), far(0, 0, 0.8), on(truths[1], 0.7),
                                             on(truths[2], 0.6), far(0, 3, 0.5), far(0, 4, 0.4),
                                             on(truths[3], 0.3)};
  EXPECT_NEAR(precision::evaluateVid(makeSet(5, 1, truths, detections), 1).ap[0], 43.0 / 70.0,
              1e-15);
  // The routine on its own, with the sentinels: recall never reaching 1
  // adds nothing past the last point.
  const std::vector<double> precisions = {1.0, 0.5, 2.0 / 3.0, 0.75, 0.6, 0.5, 4.0 / 7.0};
  const std::vector<double> recalls = {0.2, 0.2, 0.4, 0.6, 0.6, 0.6, 0.8};
  EXPECT_NEAR(precision::vocAveragePrecision(precisions, recalls), 43.0 / 70.0, 1e-15);
  EXPECT_EQ(precision::vocAveragePrecision({}, {}), 0.0);
}

TEST(VidEvaluation, EqualScoresGoInImageOrder) {
  // Two detections of score 0.5: a TP on image 1 and an FP on image 0. In
  // image order the FP comes first: precision 0 then 1/2 at recall 1.
  const Truth truth{0, 1, 0, 0, 30, 30};
  EXPECT_EQ(
      precision::evaluateVid(makeSet(2, 1, {truth}, {on(truth, 0.5), far(0, 0, 0.5)}), 1).ap[0],
      0.5);
  // On one image, file order: the TP listed first gives 1.
  const Truth same{0, 0, 0, 0, 30, 30};
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {same}, {on(same, 0.5), far(0, 0, 0.5)}), 1).ap[0],
            1.0);
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {same}, {far(0, 0, 0.5), on(same, 0.5)}), 1).ap[0],
            0.5);
}

TEST(VidEvaluation, CategoriesWithoutGroundTruthAreLeftOutOfTheMean) {
  const Truth found{0, 0, 0, 0, 30, 30};
  const Truth missed{1, 0, 0, 0, 30, 30};
  const ImageSet set = makeSet(1, 3, {found, missed}, {on(found, 0.9), far(2, 0, 0.9)});
  const VidResult result = precision::evaluateVid(set, 1);
  EXPECT_EQ(result.ap, (std::vector<double>{1.0, 0.0, -1.0}));
  EXPECT_EQ(result.meanAp, 0.5);
  EXPECT_EQ(result.truthCount, (std::vector<std::size_t>{1, 1, 0}));
  EXPECT_EQ(result.detectionCount, (std::vector<std::size_t>{1, 0, 1}));
  // No ground truth at all: no mean.
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {}, {far(0, 0, 0.9)}), 1).meanAp, -1.0);
}

TEST(VidEvaluation, CrowdRegionsAreIgnoredAndTakeAnyNumberOfDetections) {
  const Truth person{0, 0, 0, 0, 139, 139};
  const Truth crowd{0, 0, 0, 0, 199, 199, -1, true};
  // Two detections on the crowd (neither reaches the person: 0.49), then one
  // on the person: only the last counts.
  const ImageSet twice =
      makeSet(1, 1, {person, crowd}, {on(crowd, 0.9), on(crowd, 0.8), on(person, 0.7)});
  const VidResult result = precision::evaluateVid(twice, 1);
  EXPECT_EQ(result.ap[0], 1.0);
  EXPECT_EQ(result.truthCount[0], 1u);
  EXPECT_EQ(result.crowdCount[0], 1u);
  // A detection that reaches both (person 0.678, crowd 0.7225) takes the
  // person, regular boxes going first.
  EXPECT_GT(precision::vidIou(0, 0, 169, 169, 0, 0, 199, 199),
            precision::vidIou(0, 0, 169, 169, 0, 0, 139, 139));
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {crowd, person}, {{0, 0, 0, 0, 169, 169, 0.9}}), 1)
                .ap[0],
            1.0);
  // Only crowd: no AP.
  EXPECT_EQ(precision::evaluateVid(makeSet(1, 1, {crowd}, {on(crowd, 0.9)}), 1).ap[0], -1.0);
}

// A box of 100 by 10 pixels and the ones inside it of 70 and 90 columns:
// IoU 0.7 and 0.9 exactly (700 / 1000, 900 / 1000).
constexpr double kWide = 99, kSeventy = 69, kNinety = 89;

TEST(VidEvaluation, MotionIouIsTheMeanOverTenFramesEitherSide) {
  // One object in sequence 0 at frames 0, 10, 20 and 31; the same track id
  // in sequence 1 (another object); a box without a track; a crowd region
  // with the track.
  const std::vector<Origin> origins = {{0, 0}, {0, 10}, {0, 20}, {0, 31}, {1, 1}};
  const std::vector<Truth> truths = {
      {0, 0, 0, 0, kSeventy, 9, 7},  // frame 0: only frame 10 is near: 0.7
      {0, 1, 0, 0, kWide, 9, 7},     // frame 10: frames 0 and 20: (0.7 + 0.9) / 2
      {0, 2, 0, 0, kNinety, 9, 7},   // frame 20: frame 10 (31 is 11 away): 0.9
      {0, 3, 0, 0, kNinety, 9, 7},   // frame 31: alone
      {0, 4, 0, 0, kWide, 9, 7},     // sequence 1: alone
      {0, 1, 50, 50, 9, 9, -1},      // no track
      {0, 1, 0, 0, kWide, 9, 7, true},
  };
  const ImageSet set = makeSet(5, 1, truths, {}, origins);
  ASSERT_TRUE(precision::canSplitByMotion(set));
  std::size_t isolated = 0;
  const std::vector<double> motion = precision::vidMotionIous(set, &isolated);
  // The set's order is the images' (one category): frame 0, the three boxes
  // of image 1 (the object, the trackless box, the crowd), 20, 31, sequence 1.
  ASSERT_EQ(motion.size(), 7u);
  EXPECT_EQ(motion[0], 0.7);
  EXPECT_EQ(motion[1], (0.7 + 0.9) / 2.0);
  EXPECT_EQ(motion[2], 0.0);  // no track
  EXPECT_TRUE(std::isnan(motion[3]));
  EXPECT_EQ(motion[4], 0.9);
  EXPECT_EQ(motion[5], 0.0);
  EXPECT_EQ(motion[6], 0.0);
  EXPECT_EQ(isolated, 3u);
  const VidResult result = precision::evaluateVid(set, 1);
  EXPECT_EQ(result.isolatedTruthCount, 3u);
  // Fast: 0.7 and the three compared with nothing; medium: 0.7, 0.8, 0.9;
  // slow: 0.9.
  EXPECT_EQ(result.motionTruthCount[kMotionFast][0], 4u);
  EXPECT_EQ(result.motionTruthCount[kMotionMedium][0], 3u);
  EXPECT_EQ(result.motionTruthCount[kMotionSlow][0], 1u);
  // Without origins, or without tracks, there is no split.
  ImageSet still = set;
  still.imageFrame.clear();
  EXPECT_FALSE(precision::evaluateVid(still, 1).motionSplit);
  ImageSet untracked = set;
  for (TruthBox& box : untracked.truths) box.track = box.crowd ? 7 : -1;
  EXPECT_FALSE(precision::canSplitByMotion(untracked));
}

TEST(VidEvaluation, MotionBinsIncludeBothEnds) {
  EXPECT_TRUE(precision::inMotionBin(0.7, kMotionFast));
  EXPECT_TRUE(precision::inMotionBin(0.7, kMotionMedium));
  EXPECT_FALSE(precision::inMotionBin(0.7, kMotionSlow));
  EXPECT_TRUE(precision::inMotionBin(0.9, kMotionMedium));
  EXPECT_TRUE(precision::inMotionBin(0.9, kMotionSlow));
  EXPECT_FALSE(precision::inMotionBin(0.9, kMotionFast));
  EXPECT_FALSE(precision::inMotionBin(std::nextafter(0.7, 1.0), kMotionFast));
  EXPECT_FALSE(precision::inMotionBin(std::nextafter(0.9, 0.0), kMotionSlow));
  EXPECT_TRUE(precision::inMotionBin(0.0, kMotionFast));
  EXPECT_TRUE(precision::inMotionBin(1.0, kMotionSlow));
  // Two objects of two frames each, one moving by IoU 0.7, the other by
  // 0.9; every box found. Each bin's AP is 1, its boxes counted in the two
  // bins either end belongs to, the others' detections ignored.
  const std::vector<Origin> origins = {{0, 0}, {0, 1}};
  const std::vector<Truth> truths = {
      {0, 0, 0, 0, kWide, 9, 1},
      {0, 1, 0, 0, kSeventy, 9, 1},
      {0, 0, 0, 50, kWide, 9, 2},
      {0, 1, 0, 50, kNinety, 9, 2},
  };
  std::vector<Detection> detections;
  for (const Truth& t : truths) detections.push_back(on(t, 0.5));
  const VidResult result = precision::evaluateVid(makeSet(2, 1, truths, detections, origins), 1);
  ASSERT_TRUE(result.motionSplit);
  EXPECT_EQ(result.motionTruthCount[kMotionFast][0], 2u);
  EXPECT_EQ(result.motionTruthCount[kMotionMedium][0], 4u);
  EXPECT_EQ(result.motionTruthCount[kMotionSlow][0], 2u);
  for (std::size_t bin = 0; bin < precision::kMotionBins; ++bin) {
    EXPECT_EQ(result.motionAp[bin][0], 1.0) << precision::kMotionBinNames[bin];
    EXPECT_EQ(result.motionMeanAp[bin], 1.0);
  }
}

TEST(VidEvaluation, UnmatchedDetectionsWeighByTheBinsOfWhatTheyOverlap) {
  // Sequence 0, frames 0 and 1: object 1 still (IoU 1, slow), objects 2 and
  // 3 jumping (IoU 0 with themselves, fast). Image 2 (sequence 1) holds no
  // ground truth. Nothing is found on frame 1.
  const std::vector<Origin> origins = {{0, 0}, {0, 1}, {1, 0}};
  const Truth still{0, 0, 0, 0, 29, 29, 1};
  const Truth jumpA{0, 0, 100, 0, 29, 29, 2};
  const Truth jumpB{0, 0, 200, 0, 29, 29, 3};
  const std::vector<Truth> truths = {still,
                                     jumpA,
                                     jumpB,
                                     {0, 1, 0, 0, 29, 29, 1},
                                     {0, 1, 100, 300, 29, 29, 2},
                                     {0, 1, 200, 300, 29, 29, 3}};
  const std::vector<Detection> detections = {
      far(0, 2, 0.95),  // no ground truth there: the set's share in the bin
      far(0, 0, 0.9),   // overlaps nothing while both kinds are there: a tie
      on(still, 0.8),   // TP for slow, ignored for fast
      on(jumpA, 0.7),   // TP for fast, ignored for slow
      on(jumpA, 0.65),  // a duplicate of a fast box, taken already
      on(jumpB, 0.6),
  };
  const VidResult result = precision::evaluateVid(makeSet(3, 1, truths, detections, origins), 1);
  ASSERT_TRUE(result.motionSplit);
  EXPECT_EQ(result.motionTruthCount[kMotionSlow][0], 2u);
  EXPECT_EQ(result.motionTruthCount[kMotionFast][0], 4u);
  EXPECT_EQ(result.motionTruthCount[kMotionMedium][0], 0u);
  // Slow (2 to find): the empty image's FP weighs 2/6, the tie the share of
  // out-of-bin boxes on frame 0, 2/3; the duplicate's highest IoU is with a
  // fast box: 0. Precision at the TP 1 / (1 + 1), recall 1/2: AP 1/4.
  EXPECT_NEAR(result.motionAp[kMotionSlow][0], 0.25, 1e-12);
  // Fast (4 to find): FPs of 4/6 and 1/3, then TP, the duplicate 1, TP:
  // precision 1/2, 1/3, 1/2 at recall 1/4, 1/4, 1/2; AP 1/4 * 1/2 * 2.
  EXPECT_NEAR(result.motionAp[kMotionFast][0], 0.25, 1e-12);
  EXPECT_EQ(result.motionAp[kMotionMedium][0], -1.0);
  EXPECT_EQ(result.motionMeanAp[kMotionMedium], -1.0);
  // Overall (6 to find): FP FP TP TP FP TP, precision 1/3, 1/2, 2/5, 1/2 at
  // the TPs' recall 1/6, 2/6, 3/6; the envelope 1/2: AP 3/6 * 1/2.
  EXPECT_NEAR(result.ap[0], 0.25, 1e-12);

  // Without the duplicate and the empty image's FP, the figures differ by
  // bin: slow 1/2 * 1 / (1 + 2/3) = 0.3; fast (1/3 first) 2 * 1/4 * 6/7.
  std::vector<Detection> fewer = {detections[1], detections[2], detections[3], detections[5]};
  const VidResult less = precision::evaluateVid(makeSet(3, 1, truths, fewer, origins), 1);
  EXPECT_NEAR(less.motionAp[kMotionSlow][0], 0.3, 1e-12);
  EXPECT_NEAR(less.motionAp[kMotionFast][0], 3.0 / 7.0, 1e-12);
  EXPECT_NEAR(less.ap[0], 0.375, 1e-12);
}

TEST(VidEvaluation, NearMissWeighsByTheBinOfItsClosestBox) {
  // Frame 0 holds a slow box and a fast one; a detection overlapping the
  // slow one by 1/3 (below 0.5) and the fast one not at all is a full FP in
  // the slow bin and none in the fast one.
  const std::vector<Origin> origins = {{0, 0}, {0, 1}};
  const Truth slowBox{0, 0, 0, 0, 99, 99, 1};
  const Truth fastBox{0, 0, 500, 0, 99, 99, 2};
  const std::vector<Truth> truths = {
      slowBox, fastBox, {0, 1, 0, 0, 99, 99, 1}, {0, 1, 500, 500, 99, 99, 2}};
  const std::vector<Detection> detections = {
      {0, 0, 50, 0, 99, 99, 0.9}, on(slowBox, 0.8), on(fastBox, 0.7)};
  const VidResult result = precision::evaluateVid(makeSet(2, 1, truths, detections, origins), 1);
  // Slow: FP 1 then TP of two to find: 1/2 * 1/2. Fast: the FP weighs 0.
  EXPECT_EQ(result.motionAp[kMotionSlow][0], 0.25);
  EXPECT_EQ(result.motionAp[kMotionFast][0], 0.5);
}

// A random set of sequences: objects moving by up to `step` pixels a frame
// (0: standing still), some frames left out, detections near the boxes or
// anywhere, with scores of few values (ties).
ImageSet randomSet(std::mt19937& random, int step, bool withCrowds) {
  std::uniform_int_distribution<int> coin(0, 99);
  const uint32_t categories = 1 + random() % 3;
  const uint32_t sequences = 1 + random() % 3;
  std::vector<Origin> origins;
  std::vector<Truth> truths;
  std::vector<Detection> detections;
  int64_t nextTrack = 0;
  for (uint32_t s = 0; s < sequences; ++s) {
    const int frames = 3 + static_cast<int>(random() % 12);
    struct Object {
      uint32_t category;
      int64_t track;
      double x, y, w, h;
    };
    std::vector<Object> objects;
    for (int k = 1 + static_cast<int>(random() % 4); k > 0; --k) {
      objects.push_back({static_cast<uint32_t>(random() % categories), nextTrack++,
                         static_cast<double>(random() % 300), static_cast<double>(random() % 300),
                         static_cast<double>(random() % 60), static_cast<double>(random() % 60)});
    }
    for (int f = 0; f < frames; ++f) {
      const auto image = static_cast<uint32_t>(origins.size());
      origins.push_back({s, f});
      for (Object& o : objects) {
        if (step > 0) {
          o.x += static_cast<double>(static_cast<int>(random() % (2 * step + 1)) - step);
          o.y += static_cast<double>(static_cast<int>(random() % (2 * step + 1)) - step);
        }
        if (step > 0 && coin(random) < 15) continue;  // out of view
        truths.push_back({o.category, image, o.x, o.y, o.w, o.h, o.track});
        for (int d = static_cast<int>(random() % 3); d > 0; --d) {
          detections.push_back(
              {coin(random) < 85 ? o.category : static_cast<uint32_t>(random() % categories), image,
               o.x + static_cast<double>(random() % 11) - 5,
               o.y + static_cast<double>(random() % 11) - 5, o.w, o.h,
               static_cast<double>(random() % 10) / 10.0});
        }
      }
      if (withCrowds && coin(random) < 20) {
        truths.push_back(
            {static_cast<uint32_t>(random() % categories), image, 0, 0, 80, 80, -1, true});
      }
      for (int d = static_cast<int>(random() % 3); d > 0; --d) {
        detections.push_back({static_cast<uint32_t>(random() % categories), image,
                              static_cast<double>(random() % 300),
                              static_cast<double>(random() % 300), 30, 30,
                              static_cast<double>(random() % 10) / 10.0});
      }
    }
  }
  return makeSet(static_cast<uint32_t>(origins.size()), categories, truths, detections, origins);
}

TEST(VidEvaluation, RandomSetsDoNotDependOnThreads) {
  std::mt19937 random(7);
  for (int round = 0; round < 60; ++round) {
    const ImageSet set = randomSet(random, round % 4 * 4, round % 2 == 0);
    const VidResult one = precision::evaluateVid(set, 1);
    const VidResult four = precision::evaluateVid(set, 4);
    ASSERT_EQ(one.ap, four.ap) << round;
    ASSERT_EQ(one.motionAp, four.motionAp) << round;
    ASSERT_EQ(one.motionTruthCount, four.motionTruthCount) << round;
    for (const double ap : one.ap) {
      ASSERT_TRUE(ap == -1.0 || (ap >= 0.0 && ap <= 1.0)) << round;
    }
    for (const auto& bin : one.motionAp) {
      for (const double ap : bin) ASSERT_TRUE(ap == -1.0 || (ap >= 0.0 && ap <= 1.0)) << round;
    }
  }
}

TEST(VidEvaluation, StandingObjectsMakeTheSlowBinTheWholeSet) {
  // Every object still and seen on every frame: every box has motion IoU 1,
  // so the slow bin holds all the ground truth, no detection weighs less
  // than 1, and its AP is the overall one; medium and fast have none.
  std::mt19937 random(11);
  for (int round = 0; round < 40; ++round) {
    const ImageSet set = randomSet(random, 0, false);
    const VidResult result = precision::evaluateVid(set, 2);
    ASSERT_TRUE(result.motionSplit);
    EXPECT_EQ(result.isolatedTruthCount, 0u);
    EXPECT_EQ(result.motionAp[kMotionSlow], result.ap) << round;
    EXPECT_EQ(result.motionTruthCount[kMotionSlow], result.truthCount);
    for (const double ap : result.motionAp[kMotionFast]) EXPECT_EQ(ap, -1.0);
    EXPECT_EQ(result.motionMeanAp[kMotionSlow], result.meanAp);
  }
}

}  // namespace
