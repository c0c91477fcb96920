// Is tracker B better than tracker A, or is the difference noise? A paired
// bootstrap over the sequences both trackers were evaluated on: each
// resample draws as many sequences as there are, with replacement, and
// combines each tracker's sums of the drawn sequences as the benchmark's
// evaluator combines sequences (combineTracks(), each drawn sequence
// counting as many times as it was drawn); HOTA, MOTA and IDF1 are computed
// again from those sums, not averaged from the sequences' figures. Nothing
// is matched again: a sequence's sums are all a resample needs.
//
// The draws are those of pairedBootstrap() (SplitMix64 from the seed,
// below(n) per draw, resamples one after the other), so the result depends
// on the seed and not on the threads.
#pragma once

#include <span>

#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/tracking/track_measures.h"

namespace tracking {

/// The three figures compared: HOTA (the mean over the alphas), MOTA and
/// IDF1, as the evaluator reports them.
struct TrackFigures {
  double hota = 0.0;
  double mota = 0.0;
  double idf1 = 0.0;
  bool operator==(const TrackFigures&) const = default;
};

TrackFigures trackFigures(const TrackMeasures& measures);
/// The figures of the sequences combined, sequence k counted weights[k] times.
TrackFigures combinedFigures(std::span<const TrackSums> sequences,
                             std::span<const uint32_t> weights);

/// What the resamples say of each figure's differences B - A.
struct TrackBootstrap {
  ClassBootstrap hota, mota, idf1;
};

/// The paired bootstrap of B - A: `a[k]` and `b[k]` are the two trackers'
/// sums on sequence k (the same sequences, in the same order; a sequence
/// that lacks the class compared has sums of zero, which add nothing).
/// `options.resamples` resamples of a.size() draws each, the interval's ends
/// the (k+1)-th smallest and largest differences (intervalRank()). Without
/// sequences every difference is 0. Throws std::invalid_argument when the
/// trackers have different numbers of sequences, or for resamples outside
/// 1..kMaxResamples.
TrackBootstrap trackBootstrap(std::span<const TrackSums> a, std::span<const TrackSums> b,
                              const BootstrapOptions& options);

}  // namespace tracking
