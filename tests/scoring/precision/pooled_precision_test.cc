// A dataset's average precision from its sequences' matches, joined: the
// same arrays, to the bit, as evaluating one image set that holds every
// sequence's images in order.
#include "scoring/precision/pooled_precision.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "tests/scoring/precision/random_images.h"

namespace talmira_test {
namespace {

using precision::CocoParameters;
using precision::CocoResult;
using precision::MatchedImages;

void expectSameResult(const CocoResult& a, const CocoResult& b) {
  EXPECT_EQ(a.categories, b.categories);
  EXPECT_TRUE(a.precision == b.precision);
  EXPECT_TRUE(a.recall == b.recall);
  EXPECT_TRUE(a.scores == b.scores);
  EXPECT_TRUE(a.stats == b.stats);
  EXPECT_EQ(a.truthCount, b.truthCount);
  EXPECT_EQ(a.detectionCount, b.detectionCount);
}

// The union by name, in order of first appearance, as poolMatches() makes
// it when the sequences' categories differ.
void unionOf(const std::vector<RandomImages>& sequences, std::vector<std::string>& names,
             std::vector<std::vector<uint32_t>>& categoryOf) {
  std::unordered_map<std::string, uint32_t> at;
  categoryOf.clear();
  for (const RandomImages& s : sequences) {
    categoryOf.emplace_back();
    for (const std::string& name : s.categoryNames) {
      const auto [it, added] = at.emplace(name, static_cast<uint32_t>(names.size()));
      if (added) names.push_back(name);
      categoryOf.back().push_back(it->second);
    }
  }
}

// Random datasets of 1 to 6 sequences, each with its own few categories
// (some shared by name, at other ids and positions), or all with the same;
// COCO's parameters and a set with small cuts (so that cells lose
// detections) and two area ranges.
TEST(PooledPrecisionTest, JoinedMatchesEqualOneSetOfEveryImage) {
  CocoParameters small = CocoParameters::standard();
  small.maxDetections = {1, 2, 3};
  small.areaRanges = {{"all", 0, 1e10}, {"small", 0, 1024}};
  small.iouThresholds = precision::linspace(0.3, 0.9, 7);
  for (uint32_t seed = 0; seed < 120; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    const bool sameCategories = seed % 3 == 0;
    const std::size_t count = 1 + seed % 6;
    std::vector<RandomImages> sequences;
    std::vector<std::string> names;
    std::vector<int64_t> ids;
    randomCategories(random, names, ids);
    for (std::size_t s = 0; s < count; ++s) {
      if (!sameCategories) randomCategories(random, names, ids);
      const uint32_t images = std::uniform_int_distribution<uint32_t>(0, 7)(random);
      sequences.push_back(randomImages(random, images, names, ids));
    }
    for (const CocoParameters& parameters : {CocoParameters::standard(), small}) {
      std::vector<MatchedImages> matched;
      for (const RandomImages& s : sequences) {
        matched.push_back(precision::matchImages(imageSetOf(s), parameters, 1 + seed % 3));
      }
      std::vector<const MatchedImages*> parts;
      for (const MatchedImages& m : matched) parts.push_back(&m);
      const MatchedImages pooled = precision::poolMatches(parts);

      std::vector<std::string> joinedNames;
      std::vector<std::vector<uint32_t>> categoryOf;
      unionOf(sequences, joinedNames, categoryOf);
      std::vector<int64_t> joinedIds;
      for (std::size_t k = 0; k < joinedNames.size(); ++k) {
        joinedIds.push_back(static_cast<int64_t>(k + 1));
      }
      if (sameCategories) {
        joinedIds = sequences[0].categoryIds;
        EXPECT_EQ(joinedNames, sequences[0].categoryNames);
      }
      EXPECT_EQ(pooled.categoryNames, joinedNames);
      EXPECT_EQ(pooled.categoryIds, joinedIds);
      std::vector<const RandomImages*> all;
      for (const RandomImages& s : sequences) all.push_back(&s);
      const precision::ImageSet direct = imageSetOf(all, joinedIds, joinedNames, categoryOf);
      EXPECT_EQ(pooled.images, direct.imageIds.size());

      // The matches themselves, cell for cell.
      const precision::CocoMatches whole = precision::matchCoco(direct, parameters, 1);
      EXPECT_EQ(pooled.matches.category, whole.category);
      EXPECT_EQ(pooled.matches.image, whole.image);
      EXPECT_EQ(pooled.matches.begin, whole.begin);
      EXPECT_TRUE(pooled.matches.scores == whole.scores);
      EXPECT_EQ(pooled.matches.counted, whole.counted);
      EXPECT_EQ(pooled.matches.matched, whole.matched);
      EXPECT_EQ(pooled.matches.ignored, whole.ignored);

      expectSameResult(precision::evaluateMatched(pooled, parameters, 2),
                       precision::evaluateCoco(direct, parameters, 1));
    }
  }
}

// Pooling is not averaging: two sequences of one image each, one perfect,
// one whose only detection is a false alarm above a true one, give the AP of
// their detections ranked together.
TEST(PooledPrecisionTest, PoolsDetectionsRatherThanAveragingSequences) {
  RandomImages perfect;
  perfect.categoryIds = {1};
  perfect.categoryNames = {"car"};
  perfect.images = 1;
  perfect.truths.push_back({0, 0, 0, 0, 40, 40, 1600, false, 0});
  perfect.detections.push_back({0, 0, 0, 0, 40, 40, 0, false, 0.9});
  RandomImages missed = perfect;
  missed.detections[0].x = 200;  // a false alarm, above the truth's score
  missed.detections[0].score = 0.95;
  const CocoParameters parameters = CocoParameters::standard();
  const MatchedImages a = precision::matchImages(imageSetOf(perfect), parameters, 1);
  const MatchedImages b = precision::matchImages(imageSetOf(missed), parameters, 1);
  const std::vector<const MatchedImages*> parts = {&a, &b};
  const CocoResult pooled =
      precision::evaluateMatched(precision::poolMatches(parts), parameters, 1);
  // Ranked: the false alarm (0.95), then the hit (0.9); recall reaches 1/2
  // at precision 1/2, and nothing after: the recall points up to 1/2 at 0.5.
  std::size_t reached = 0;
  for (const double r : parameters.recallThresholds) reached += r <= 0.5 ? 1 : 0;
  EXPECT_EQ(reached, 51u);
  EXPECT_DOUBLE_EQ(pooled.stats[1], static_cast<double>(reached) * 0.5 / 101);
  const CocoResult first = precision::evaluateMatched(a, parameters, 1);
  const CocoResult second = precision::evaluateMatched(b, parameters, 1);
  EXPECT_DOUBLE_EQ(first.stats[1], 1.0);  // 1 / (1 + epsilon): COCO's denominator
  EXPECT_EQ(second.stats[1], 0.0);
  EXPECT_NE(pooled.stats[1], (first.stats[1] + second.stats[1]) / 2);
  EXPECT_EQ(pooled.truthCount, std::vector<std::size_t>{2});
  EXPECT_EQ(pooled.detectionCount, std::vector<std::size_t>{2});
}

TEST(PooledPrecisionTest, NoSequencesGiveNoFigures) {
  const MatchedImages none = precision::poolMatches({});
  const CocoResult result = precision::evaluateMatched(none, CocoParameters::standard(), 1);
  EXPECT_EQ(result.categories, 0u);
  for (const double stat : result.stats) EXPECT_EQ(stat, -1.0);
}

TEST(PooledPrecisionTest, SequencesOfOtherAreaRangesAreRefused) {
  CocoParameters two = CocoParameters::standard();
  two.areaRanges.resize(2);
  RandomImages set;
  set.categoryIds = {1};
  set.categoryNames = {"car"};
  set.images = 1;
  const MatchedImages a = precision::matchImages(imageSetOf(set), CocoParameters::standard(), 1);
  const MatchedImages b = precision::matchImages(imageSetOf(set), two, 1);
  const std::vector<const MatchedImages*> parts = {&a, &b};
  EXPECT_THROW(precision::poolMatches(parts), std::invalid_argument);
}

}  // namespace
}  // namespace talmira_test
