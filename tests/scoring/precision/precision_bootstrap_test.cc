// The bootstrap of average precision: a resample's weighted walk against the
// evaluation of a set in which the drawn units are really there as many
// times as drawn; the draws and the interval against a count made here.
#include "scoring/precision/precision_bootstrap.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "tests/scoring/precision/random_images.h"

namespace talmira_test {
namespace {

using precision::CocoParameters;
using precision::CocoResult;
using precision::MatchedImages;
using precision::PrecisionFigures;
using precision::WeightedPrecision;

std::vector<uint32_t> eachImageAUnit(const RandomImages& set) {
  std::vector<uint32_t> units(set.images);
  std::iota(units.begin(), units.end(), 0u);
  return units;
}

// `set` with image i there weights[i] times, each copy right after it.
RandomImages copiedImages(const RandomImages& set, const std::vector<uint32_t>& weights) {
  RandomImages out;
  out.categoryIds = set.categoryIds;
  out.categoryNames = set.categoryNames;
  std::vector<std::vector<uint32_t>> copies(set.images);
  for (uint32_t image = 0; image < set.images; ++image) {
    for (uint32_t c = 0; c < weights[image]; ++c) copies[image].push_back(out.images++);
  }
  for (const auto* side : {&set.truths, &set.detections}) {
    auto& into = side == &set.truths ? out.truths : out.detections;
    // Each copy's boxes in the file order of the image's own.
    for (uint32_t image = 0; image < set.images; ++image) {
      for (const uint32_t copy : copies[image]) {
        for (const RandomBox& box : *side) {
          if (box.image != image) continue;
          into.push_back(box);
          into.back().image = copy;
        }
      }
    }
  }
  return out;
}

PrecisionFigures figuresOf(const CocoResult& result) { return {result.stats[0], result.stats[1]}; }

std::vector<uint32_t> randomWeights(std::mt19937& random, std::size_t units) {
  std::vector<uint32_t> weights(units);
  for (uint32_t& w : weights) w = std::uniform_int_distribution<uint32_t>(0, 3)(random);
  return weights;
}

// Images as units, on sets full of score ties across images and within
// them: every weighting gives, to the bit, the figures of the set in which
// each image is there that many times; every weight 1, those of the set.
TEST(PrecisionBootstrapTest, WeightedWalkEqualsImagesReallyCopied) {
  const CocoParameters parameters = CocoParameters::standard();
  for (uint32_t seed = 0; seed < 150; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::vector<std::string> names;
    std::vector<int64_t> ids;
    randomCategories(random, names, ids);
    const RandomImages set = randomImages(random, 1 + seed % 9, names, ids, seed % 5 == 4);
    const MatchedImages matched = precision::matchImages(imageSetOf(set), parameters, 1);
    const WeightedPrecision weighted(matched, eachImageAUnit(set), set.images, parameters);
    const std::vector<uint32_t> ones(set.images, 1);
    EXPECT_EQ(weighted.figures(ones),
              figuresOf(precision::evaluateCoco(imageSetOf(set), parameters, 1)));
    for (int draw = 0; draw < 6; ++draw) {
      const std::vector<uint32_t> weights = randomWeights(random, set.images);
      const RandomImages copied = copiedImages(set, weights);
      EXPECT_EQ(weighted.figures(weights),
                figuresOf(precision::evaluateCoco(imageSetOf(copied), parameters, 1)))
          << "draw " << draw;
    }
  }
}

// Sequences as units: a weighting gives the figures of the dataset whose
// list holds each sequence that many times in a row, pooled.
TEST(PrecisionBootstrapTest, WeightedWalkEqualsSequencesReallyRepeated) {
  const CocoParameters parameters = CocoParameters::standard();
  for (uint32_t seed = 0; seed < 80; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::vector<RandomImages> sequences;
    for (std::size_t s = 0; s < 1 + seed % 5; ++s) {
      std::vector<std::string> names;
      std::vector<int64_t> ids;
      randomCategories(random, names, ids);
      sequences.push_back(randomImages(random, seed % 4, names, ids));
    }
    std::vector<MatchedImages> matched;
    for (const RandomImages& s : sequences) {
      matched.push_back(precision::matchImages(imageSetOf(s), parameters, 1));
    }
    const std::vector<const MatchedImages*> once = [&] {
      std::vector<const MatchedImages*> parts;
      for (const MatchedImages& m : matched) parts.push_back(&m);
      return parts;
    }();
    const MatchedImages pooled = precision::poolMatches(once);
    // The repeated list led by a part of no images in the list's
    // categories: a sequence drawn 0 times keeps its categories in their
    // place (without ground truth, they count for nothing), as in the walk.
    MatchedImages categoriesOnly;
    categoriesOnly.categoryIds = pooled.categoryIds;
    categoriesOnly.categoryNames = pooled.categoryNames;
    categoriesOnly.truthCount.assign(pooled.categoryNames.size(), 0);
    categoriesOnly.detectionCount = categoriesOnly.truthCount;
    categoriesOnly.matches.areas = parameters.areaRanges.size();
    categoriesOnly.matches.begin = {0};
    const auto repeatedOf = [&](const std::vector<uint32_t>& weights) {
      std::vector<const MatchedImages*> parts = {&categoriesOnly};
      for (std::size_t s = 0; s < sequences.size(); ++s) {
        for (uint32_t c = 0; c < weights[s]; ++c) parts.push_back(&matched[s]);
      }
      return precision::poolMatches(parts);
    };
    std::vector<uint32_t> unitOfImage;
    for (uint32_t s = 0; s < sequences.size(); ++s) {
      unitOfImage.insert(unitOfImage.end(), sequences[s].images, s);
    }
    const WeightedPrecision weighted(pooled, unitOfImage, sequences.size(), parameters);
    const std::vector<uint32_t> ones(sequences.size(), 1);
    EXPECT_EQ(weighted.figures(ones), figuresOf(precision::evaluateMatched(pooled, parameters, 1)));
    for (int draw = 0; draw < 6; ++draw) {
      const std::vector<uint32_t> weights = randomWeights(random, sequences.size());
      const MatchedImages repeated = repeatedOf(weights);
      ASSERT_EQ(repeated.categoryNames, pooled.categoryNames);
      EXPECT_EQ(weighted.figures(weights),
                figuresOf(precision::evaluateMatched(repeated, parameters, 1)))
          << "draw " << draw;
    }
  }
}

// Ties within a unit: two detections of one image tied on their score, the
// first a hit and the second a false alarm, the image drawn twice. The
// copies take them in turn (hit, FA, hit, FA), and so does the walk;
// weighting each detection on its own (hit, hit, FA, FA) would give
// another AP, which the copies' order rules out.
TEST(PrecisionBootstrapTest, TiesWithinAUnitFollowTheCopiesOrder) {
  RandomImages set;
  set.categoryIds = {1};
  set.categoryNames = {"car"};
  set.images = 1;
  set.truths.push_back({0, 0, 0, 0, 40, 40, 1600, false, 0});
  set.truths.push_back({0, 0, 100, 100, 40, 40, 1600, false, 0});
  set.detections.push_back({0, 0, 0, 0, 40, 40, 0, false, 0.5});      // on the first truth
  set.detections.push_back({0, 0, 300, 300, 40, 40, 0, false, 0.5});  // nothing there
  const CocoParameters parameters = CocoParameters::standard();
  const MatchedImages matched = precision::matchImages(imageSetOf(set), parameters, 1);
  const WeightedPrecision weighted(matched, eachImageAUnit(set), 1, parameters);
  const std::vector<uint32_t> twice = {2};
  const RandomImages copies = copiedImages(set, twice);
  const PrecisionFigures copied =
      figuresOf(precision::evaluateCoco(imageSetOf(copies), parameters, 1));
  EXPECT_EQ(weighted.figures(twice), copied);
  // Hit, FA, hit, FA over 4 truths: precision 1 up to recall 1/4, then 2/3
  // up to 1/2.
  double expected = 0.0;
  for (const double r : parameters.recallThresholds) {
    expected += r <= 0.25 ? 1.0 : r <= 0.5 ? 2.0 / 3.0 : 0.0;
  }
  EXPECT_NEAR(copied.ap50, expected / 101, 1e-15);
  // Both hits first: precision 1 up to recall 1/2.
  RandomImages together = copies;
  for (RandomBox& d : together.detections) d.score = d.x == 300 ? 0.4 : 0.5;
  const PrecisionFigures apart =
      figuresOf(precision::evaluateCoco(imageSetOf(together), parameters, 1));
  EXPECT_GT(apart.ap50, copied.ap50 + 0.05);
}

// The bootstrap's ends and shares, against the draws made here (SplitMix64
// as compare documents it) and each resample's figures from the walk.
TEST(PrecisionBootstrapTest, DrawsAndIntervalAsDocumented) {
  const CocoParameters parameters = CocoParameters::standard();
  std::mt19937 random(7);
  std::vector<std::string> names;
  std::vector<int64_t> ids;
  randomCategories(random, names, ids);
  const RandomImages truth = randomImages(random, 12, names, ids);
  RandomImages other = truth;
  for (RandomBox& d : other.detections) d.score = std::fmod(d.score * 7.3, 1.0);
  const MatchedImages a = precision::matchImages(imageSetOf(truth), parameters, 1);
  const MatchedImages b = precision::matchImages(imageSetOf(other), parameters, 1);
  const WeightedPrecision wa(a, eachImageAUnit(truth), truth.images, parameters);
  const WeightedPrecision wb(b, eachImageAUnit(other), other.images, parameters);
  BootstrapOptions options;
  options.resamples = 41;
  options.seed = 12345;
  options.level = 0.8;
  std::vector<double> maps, ap50s;
  uint64_t state = options.seed;
  const auto next = [&] {
    state += 0x9E3779B97F4A7C15ULL;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  for (uint64_t r = 0; r < options.resamples; ++r) {
    std::vector<uint32_t> weights(truth.images, 0);
    for (uint32_t d = 0; d < truth.images; ++d) {
      ++weights[static_cast<uint64_t>((static_cast<unsigned __int128>(next()) * truth.images) >>
                                      64)];
    }
    const PrecisionFigures fa =
        figuresOf(precision::evaluateCoco(imageSetOf(copiedImages(truth, weights)), parameters, 1));
    const PrecisionFigures fb =
        figuresOf(precision::evaluateCoco(imageSetOf(copiedImages(other, weights)), parameters, 1));
    maps.push_back(fb.map - fa.map);
    ap50s.push_back(fb.ap50 - fa.ap50);
  }
  // k = floor(41 * 0.2 / 2) = 4: the fifth smallest and the fifth largest.
  const auto check = [](std::vector<double> d, const ClassBootstrap& got) {
    std::sort(d.begin(), d.end());
    EXPECT_EQ(got.low, d[4]);
    EXPECT_EQ(got.high, d[d.size() - 5]);
    EXPECT_EQ(got.bBetter, static_cast<double>(
                               std::count_if(d.begin(), d.end(), [](double v) { return v > 0; })) /
                               41);
    EXPECT_EQ(got.aBetter, static_cast<double>(
                               std::count_if(d.begin(), d.end(), [](double v) { return v < 0; })) /
                               41);
  };
  for (const unsigned threads : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    options.threads = threads;
    const precision::PrecisionBootstrap result = precision::precisionBootstrap(wa, wb, options);
    check(maps, result.map);
    check(ap50s, result.ap50);
  }
  // Not every resample the same: the check above has something to find.
  EXPECT_NE(*std::min_element(maps.begin(), maps.end()),
            *std::max_element(maps.begin(), maps.end()));
}

// Without variance: the same detector twice differs by 0 in every resample;
// one unit is drawn every time, so every difference is the point's.
TEST(PrecisionBootstrapTest, CasesWithoutVariance) {
  const CocoParameters parameters = CocoParameters::standard();
  std::mt19937 random(3);
  std::vector<std::string> names;
  std::vector<int64_t> ids;
  randomCategories(random, names, ids);
  const RandomImages set = randomImages(random, 10, names, ids);
  const MatchedImages matched = precision::matchImages(imageSetOf(set), parameters, 1);
  const WeightedPrecision weighted(matched, eachImageAUnit(set), set.images, parameters);
  BootstrapOptions options;
  options.resamples = 200;
  const precision::PrecisionBootstrap same =
      precision::precisionBootstrap(weighted, weighted, options);
  for (const ClassBootstrap& i : {same.map, same.ap50}) {
    EXPECT_EQ(i.low, 0.0);
    EXPECT_EQ(i.high, 0.0);
    EXPECT_EQ(i.bBetter, 0.0);
    EXPECT_EQ(i.aBetter, 0.0);
  }
  // All images one unit.
  RandomImages worse = set;
  for (RandomBox& d : worse.detections) d.x += 8;
  const MatchedImages other = precision::matchImages(imageSetOf(worse), parameters, 1);
  const std::vector<uint32_t> oneUnit(set.images, 0);
  const WeightedPrecision wa(matched, oneUnit, 1, parameters);
  const WeightedPrecision wb(other, oneUnit, 1, parameters);
  const precision::PrecisionBootstrap one = precision::precisionBootstrap(wa, wb, options);
  const PrecisionFigures fa = figuresOf(precision::evaluateMatched(matched, parameters, 1));
  const PrecisionFigures fb = figuresOf(precision::evaluateMatched(other, parameters, 1));
  EXPECT_NE(fa.map, fb.map);
  EXPECT_EQ(one.map.low, fb.map - fa.map);
  EXPECT_EQ(one.map.high, fb.map - fa.map);
  EXPECT_EQ(one.ap50.low, fb.ap50 - fa.ap50);
  EXPECT_EQ(one.ap50.high, fb.ap50 - fa.ap50);
}

TEST(PrecisionBootstrapTest, RefusesWhatItCannotCompute) {
  RandomImages set;
  set.categoryIds = {1};
  set.categoryNames = {"car"};
  set.images = 2;
  CocoParameters parameters = CocoParameters::standard();
  const MatchedImages matched = precision::matchImages(imageSetOf(set), parameters, 1);
  EXPECT_THROW(WeightedPrecision(matched, std::vector<uint32_t>{0}, 2, parameters),
               std::invalid_argument);  // an image without a unit
  EXPECT_THROW(WeightedPrecision(matched, std::vector<uint32_t>{1, 0}, 2, parameters),
               std::invalid_argument);  // units out of image order
  EXPECT_THROW(WeightedPrecision(matched, std::vector<uint32_t>{0, 2}, 2, parameters),
               std::invalid_argument);  // a unit past the last
  CocoParameters other = parameters;
  other.maxDetections = {1, 10, 50};
  EXPECT_THROW(WeightedPrecision(precision::matchImages(imageSetOf(set), other, 1),
                                 std::vector<uint32_t>{0, 1}, 2, other),
               std::invalid_argument);
  other = parameters;
  other.areaRanges.erase(other.areaRanges.begin());
  EXPECT_THROW(WeightedPrecision(precision::matchImages(imageSetOf(set), other, 1),
                                 std::vector<uint32_t>{0, 1}, 2, other),
               std::invalid_argument);
}

}  // namespace
}  // namespace talmira_test
