#include "scoring/tracking/track_bootstrap.h"

#include <algorithm>
#include <stdexcept>
#include <string>
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
  forEachResample(units, options, [&](uint64_t r, std::span<const uint32_t> weights) {
    const TrackFigures figuresA = combinedFigures(a, weights);
    const TrackFigures figuresB = combinedFigures(b, weights);
    hota[r] = figuresB.hota - figuresA.hota;
    mota[r] = figuresB.mota - figuresA.mota;
    idf1[r] = figuresB.idf1 - figuresA.idf1;
  });
  result.hota = summariseDifferences(hota, k);
  result.mota = summariseDifferences(mota, k);
  result.idf1 = summariseDifferences(idf1, k);
  return result;
}

}  // namespace tracking
