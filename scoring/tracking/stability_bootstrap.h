// The stability errors of many sequences pooled, and whether one detector
// follows tracks more steadily than another. A dataset's error is the mean
// over every track used of every sequence, not the mean of the sequences'
// means: so a sequence keeps only its sums (each error summed over its
// tracks used, in identity order, and how many tracks it used and left
// out), which add up exactly over any choice of sequences.
//
// The paired bootstrap over sequences draws as pairedBootstrap() draws
// (SplitMix64 from the seed, below(n) per draw, resamples one after the
// other): in a resample sequence k, drawn w_k times, adds w_k times its
// sums to each detector's, and the errors are taken again from those sums.
#pragma once

#include <cstdint>
#include <span>

#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/tracking/track_stability.h"

namespace tracking {

/// One class's stability over some tracks, as sums.
struct StabilitySums {
  int64_t tracks = 0;       // used: matched in at least one frame
  int64_t leftOut = 0;      // never matched
  double fragment = 0.0;    // sum of E_F over the tracks used
  double centre = 0.0;      // ... of E_C
  double scaleRatio = 0.0;  // ... of E_R
  /// Adds `other`, its sums `weight` times (weight * sum, one product).
  void add(const StabilitySums& other, uint32_t weight = 1);
  /// The means: each sum over the tracks used; all zero without one (as
  /// summarizeStability() gives them).
  StabilitySummary summary() const;
  bool operator==(const StabilitySums&) const = default;
};

/// The sums of `tracks`, added in their order: summary() of them is
/// summarizeStability(tracks) to the bit.
StabilitySums stabilitySums(std::span<const TrackStability> tracks);

/// What the resamples say of the differences B - A of the pooled errors
/// and of their sum. The errors are better lower: `bBetter` is the share of
/// resamples in which B's error is below A's, `aBetter` above.
struct StabilityBootstrap {
  ClassBootstrap fragment, centre, scaleRatio, total;
};

/// The paired bootstrap of B - A: `a[k]` and `b[k]` are both detectors'
/// sums on sequence k (the same sequences in the same order; a sequence
/// without the class has sums of zero, which add nothing). A resample
/// draws a.size() sequences; each detector's sums over the drawn sequences
/// give its errors (summary()), a detector without a track used in the
/// resample having errors of 0. `options.resamples` resamples, the
/// interval's ends the (k+1)-th smallest and largest differences
/// (intervalRank()). Without sequences every difference is 0. Throws
/// std::invalid_argument when the two have different numbers of sequences,
/// or for resamples outside 1..kMaxResamples.
StabilityBootstrap stabilityBootstrap(std::span<const StabilitySums> a,
                                      std::span<const StabilitySums> b,
                                      const BootstrapOptions& options);

}  // namespace tracking
