#include "scoring/tracking/track_bootstrap.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tracking {

TrackFigures trackFigures(const TrackMeasures& measures) {
  return {alphaMean(measures.hota), measures.mota, measures.idf1};
}

TrackFigures combinedFigures(std::span<const TrackSums> sequences,
                             std::span<const uint32_t> weights) {
  return trackFigures(trackMeasures(combineTracks(sequences, weights)));
}

TrackBootstrap trackBootstrap(std::span<const TrackSums> a, std::span<const TrackSums> b,
                              const BootstrapOptions& options) {
  const uint64_t resamples = options.resamples;
  if (resamples < 1 || resamples > kMaxResamples) {
    throw std::invalid_argument("the number of resamples is not from 1 to " +
                                std::to_string(kMaxResamples));
  }
  if (a.size() != b.size()) throw std::invalid_argument("both trackers need the same sequences");
  const uint64_t k = intervalRank(resamples, options.level);
  const std::size_t units = a.size();
  TrackBootstrap result;
  if (units == 0) return result;
  std::vector<double> hota(resamples), mota(resamples), idf1(resamples);
  const uint64_t threads = std::clamp<uint64_t>(options.threads, 1, resamples);
  const auto rangeOf = [&](uint64_t part) { return resamples * part / threads; };
  const auto work = [&](uint64_t first, uint64_t last) {
    SplitMix64 generator(options.seed);
    generator.skip(first * units);
    std::vector<uint32_t> weights(units);
    for (uint64_t r = first; r < last; ++r) {
      std::fill(weights.begin(), weights.end(), 0u);
      for (std::size_t draw = 0; draw < units; ++draw) ++weights[generator.below(units)];
      const TrackFigures figuresA = combinedFigures(a, weights);
      const TrackFigures figuresB = combinedFigures(b, weights);
      hota[r] = figuresB.hota - figuresA.hota;
      mota[r] = figuresB.mota - figuresA.mota;
      idf1[r] = figuresB.idf1 - figuresA.idf1;
    }
  };
  {
    std::vector<std::jthread> pool;
    for (uint64_t part = 1; part < threads; ++part) {
      pool.emplace_back(work, rangeOf(part), rangeOf(part + 1));
    }
    work(0, rangeOf(1));
  }
  result.hota = summariseDifferences(hota, k);
  result.mota = summariseDifferences(mota, k);
  result.idf1 = summariseDifferences(idf1, k);
  return result;
}

}  // namespace tracking
