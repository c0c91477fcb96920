// The tracking bootstrap's rules, on random sums: a weighted combination is
// the combination of the sequences really repeated, every double to the bit;
// a tracker against itself differs by 0; swapping the trackers turns the
// interval round; the threads and a wider level change nothing they should
// not.
#include "scoring/tracking/track_bootstrap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <span>
#include <stdexcept>
#include <vector>

namespace tracking {
namespace {

// A sequence's sums as evaluateTracks() could leave them: counts, and ratios
// in [0, 1] with many bits (so that the order of additions shows).
TrackSums randomSums(std::mt19937_64& random) {
  std::uniform_int_distribution<int64_t> count(0, 5000);
  std::uniform_real_distribution<double> ratio(0.0, 1.0);
  TrackSums s;
  s.clearTp = count(random);
  s.clearFn = count(random);
  s.clearFp = count(random);
  s.idSwitches = count(random) / 50;
  s.mostlyTracked = count(random) / 100;
  s.partlyTracked = count(random) / 100;
  s.mostlyLost = count(random) / 100;
  s.fragmentations = count(random) / 40;
  s.frames = count(random) / 5;
  s.motpSum = ratio(random) * static_cast<double>(s.clearTp);
  s.idTp = count(random);
  s.idFn = count(random);
  s.idFp = count(random);
  double tp = static_cast<double>(count(random));
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    tp = std::floor(tp * (0.8 + 0.2 * ratio(random)));  // fewer at higher alphas
    s.hotaTp[a] = tp;
    s.hotaFn[a] = static_cast<double>(count(random));
    s.hotaFp[a] = static_cast<double>(count(random));
    s.assA[a] = ratio(random);
    s.assRe[a] = ratio(random);
    s.assPr[a] = ratio(random);
    s.locA[a] = 0.5 + 0.5 * ratio(random);
  }
  return s;
}

std::vector<TrackSums> randomSequences(std::mt19937_64& random, std::size_t n) {
  std::vector<TrackSums> sequences;
  for (std::size_t k = 0; k < n; ++k) sequences.push_back(randomSums(random));
  // Now and then a sequence without tracker boxes, as the evaluator returns it.
  if (n > 2) {
    sequences[1] = TrackSums{};
    sequences[1].empty = true;
    sequences[1].clearFn = 40;
    sequences[1].hotaFn.fill(40.0);
    sequences[1].locA.fill(1.0);
  }
  return sequences;
}

bool sameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

void expectSameSums(const TrackSums& x, const TrackSums& y) {
  EXPECT_EQ(x.clearTp, y.clearTp);
  EXPECT_EQ(x.clearFn, y.clearFn);
  EXPECT_EQ(x.clearFp, y.clearFp);
  EXPECT_EQ(x.idSwitches, y.idSwitches);
  EXPECT_EQ(x.mostlyTracked, y.mostlyTracked);
  EXPECT_EQ(x.partlyTracked, y.partlyTracked);
  EXPECT_EQ(x.mostlyLost, y.mostlyLost);
  EXPECT_EQ(x.fragmentations, y.fragmentations);
  EXPECT_EQ(x.frames, y.frames);
  EXPECT_EQ(x.idTp, y.idTp);
  EXPECT_EQ(x.idFn, y.idFn);
  EXPECT_EQ(x.idFp, y.idFp);
  EXPECT_TRUE(sameBits(x.motpSum, y.motpSum));
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    for (const auto field :
         {&TrackSums::hotaTp, &TrackSums::hotaFn, &TrackSums::hotaFp, &TrackSums::assA,
          &TrackSums::assRe, &TrackSums::assPr, &TrackSums::locA}) {
      EXPECT_TRUE(sameBits((x.*field)[a], (y.*field)[a])) << "alpha " << a;
    }
  }
}

// Sequence k weighted w[k] is the list with sequence k there w[k] times in
// a row: every sum to the bit, so every figure; a weight of 0 leaves the
// sequence out. Repeated addition is not multiplication: the sums of a
// sequence counted three times differ, now and then, from three times it.
TEST(TrackBootstrapTest, WeightsAreTheSequencesRepeated) {
  std::mt19937_64 random(7);
  int differsFromProduct = 0;
  for (int round = 0; round < 200; ++round) {
    const std::size_t n = 1 + random() % 7;
    const std::vector<TrackSums> sequences = randomSequences(random, n);
    std::vector<uint32_t> weights(n);
    std::vector<TrackSums> repeated;
    for (std::size_t k = 0; k < n; ++k) {
      weights[k] = static_cast<uint32_t>(random() % 4);
      for (uint32_t c = 0; c < weights[k]; ++c) repeated.push_back(sequences[k]);
    }
    SCOPED_TRACE(round);
    const TrackSums weighted = combineTracks(sequences, weights);
    expectSameSums(weighted, combineTracks(repeated));
    EXPECT_EQ(combinedFigures(sequences, weights),
              trackFigures(trackMeasures(combineTracks(repeated))));
    double product = 0.0;
    for (std::size_t k = 0; k < n; ++k) product += weights[k] * sequences[k].motpSum;
    differsFromProduct += sameBits(product, weighted.motpSum) ? 0 : 1;
  }
  EXPECT_GT(differsFromProduct, 0);
  const std::vector<TrackSums> two = randomSequences(random, 2);
  EXPECT_THROW(combineTracks(two, std::vector<uint32_t>{1}), std::invalid_argument);
}

// A tracker against itself: every difference is 0. Swapped trackers: the
// differences change sign, so the interval turns round and the shares swap.
TEST(TrackBootstrapTest, IdenticalTrackersDifferByZeroAndSwappedOnesTheOtherWay) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 20; ++round) {
    const std::size_t n = 1 + random() % 9;
    const std::vector<TrackSums> a = randomSequences(random, n);
    const std::vector<TrackSums> b = randomSequences(random, n);
    BootstrapOptions options;
    options.resamples = 301;
    options.seed = random();
    SCOPED_TRACE(round);
    const TrackBootstrap same = trackBootstrap(a, a, options);
    for (const ClassBootstrap* f : {&same.hota, &same.mota, &same.idf1}) {
      EXPECT_EQ(f->low, 0.0);
      EXPECT_EQ(f->high, 0.0);
      EXPECT_EQ(f->bBetter, 0.0);
      EXPECT_EQ(f->aBetter, 0.0);
    }
    const TrackBootstrap forward = trackBootstrap(a, b, options);
    const TrackBootstrap backward = trackBootstrap(b, a, options);
    const ClassBootstrap* x[] = {&forward.hota, &forward.mota, &forward.idf1};
    const ClassBootstrap* y[] = {&backward.hota, &backward.mota, &backward.idf1};
    for (int f = 0; f < 3; ++f) {
      EXPECT_EQ(y[f]->low, -x[f]->high);
      EXPECT_EQ(y[f]->high, -x[f]->low);
      EXPECT_EQ(y[f]->bBetter, x[f]->aBetter);
      EXPECT_EQ(y[f]->aBetter, x[f]->bBetter);
      EXPECT_LE(x[f]->low, x[f]->high);
    }
  }
}

// The threads share the resamples and change nothing; a wider level gives
// an interval that holds the narrower one; one resample's interval is the
// difference of its draws' figures.
TEST(TrackBootstrapTest, ThreadsLevelsAndOneResample) {
  std::mt19937_64 random(3);
  const std::vector<TrackSums> a = randomSequences(random, 8);
  const std::vector<TrackSums> b = randomSequences(random, 8);
  BootstrapOptions options;
  options.resamples = 997;
  options.seed = 42;
  const TrackBootstrap one = trackBootstrap(a, b, options);
  options.threads = 3;
  const TrackBootstrap three = trackBootstrap(a, b, options);
  options.level = 0.99;
  const TrackBootstrap wide = trackBootstrap(a, b, options);
  for (const auto field : {&TrackBootstrap::hota, &TrackBootstrap::mota, &TrackBootstrap::idf1}) {
    EXPECT_EQ((one.*field).low, (three.*field).low);
    EXPECT_EQ((one.*field).high, (three.*field).high);
    EXPECT_EQ((one.*field).bBetter, (three.*field).bBetter);
    EXPECT_LE((wide.*field).low, (one.*field).low);
    EXPECT_GE((wide.*field).high, (one.*field).high);
    EXPECT_LT((one.*field).low, (one.*field).high);
  }
  options = BootstrapOptions{};
  options.resamples = 1;
  options.seed = 9;
  SplitMix64 generator(9);
  std::vector<uint32_t> weights(8, 0);
  for (int draw = 0; draw < 8; ++draw) ++weights[generator.below(8)];
  const TrackFigures fa = combinedFigures(a, weights);
  const TrackFigures fb = combinedFigures(b, weights);
  const TrackBootstrap single = trackBootstrap(a, b, options);
  EXPECT_EQ(single.hota.low, fb.hota - fa.hota);
  EXPECT_EQ(single.hota.high, fb.hota - fa.hota);
  EXPECT_EQ(single.idf1.low, fb.idf1 - fa.idf1);
  EXPECT_EQ(single.mota.high, fb.mota - fa.mota);
  const TrackBootstrap none = trackBootstrap({}, {}, options);
  EXPECT_EQ(none.hota.low, 0.0);
  EXPECT_EQ(none.hota.high, 0.0);
  EXPECT_THROW(trackBootstrap(a, std::span(b).first(7), options), std::invalid_argument);
  options.resamples = 0;
  EXPECT_THROW(trackBootstrap(a, b, options), std::invalid_argument);
}

}  // namespace
}  // namespace tracking
