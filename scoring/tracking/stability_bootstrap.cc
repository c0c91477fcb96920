#include "scoring/tracking/stability_bootstrap.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tracking {

void StabilitySums::add(const StabilitySums& other, uint32_t weight) {
  const auto times = static_cast<int64_t>(weight);
  const auto factor = static_cast<double>(weight);
  tracks += times * other.tracks;
  leftOut += times * other.leftOut;
  fragment += factor * other.fragment;
  centre += factor * other.centre;
  scaleRatio += factor * other.scaleRatio;
}

StabilitySummary StabilitySums::summary() const {
  StabilitySummary s;
  s.tracks = tracks;
  s.leftOut = leftOut;
  if (tracks > 0) {
    const auto count = static_cast<double>(tracks);
    s.fragmentError = fragment / count;
    s.centreError = centre / count;
    s.scaleRatioError = scaleRatio / count;
  }
  return s;
}

StabilitySums stabilitySums(std::span<const TrackStability> tracks) {
  StabilitySums sums;
  for (const TrackStability& t : tracks) {
    if (!t.used()) {
      ++sums.leftOut;
      continue;
    }
    ++sums.tracks;
    sums.fragment += t.fragmentError;
    sums.centre += t.centreError;
    sums.scaleRatio += t.scaleRatioError;
  }
  return sums;
}

namespace {

// A share of resamples below and above 0 swapped: lower errors are better.
ClassBootstrap lowerIsBetter(std::span<double> differences, uint64_t k) {
  ClassBootstrap b = summariseDifferences(differences, k);
  std::swap(b.aBetter, b.bBetter);
  return b;
}

}  // namespace

StabilityBootstrap stabilityBootstrap(std::span<const StabilitySums> a,
                                      std::span<const StabilitySums> b,
                                      const BootstrapOptions& options) {
  const uint64_t resamples = options.resamples;
  if (resamples < 1 || resamples > kMaxResamples) {
    throw std::invalid_argument("the number of resamples is not from 1 to " +
                                std::to_string(kMaxResamples));
  }
  if (a.size() != b.size()) throw std::invalid_argument("both detectors need the same sequences");
  const uint64_t k = intervalRank(resamples, options.level);
  const std::size_t units = a.size();
  StabilityBootstrap result;
  if (units == 0) return result;
  std::vector<double> fragment(resamples), centre(resamples), scaleRatio(resamples),
      total(resamples);
  forEachResample(units, options, [&](uint64_t r, std::span<const uint32_t> weights) {
    StabilitySums sumA, sumB;
    for (std::size_t unit = 0; unit < units; ++unit) {
      if (weights[unit] == 0) continue;
      sumA.add(a[unit], weights[unit]);
      sumB.add(b[unit], weights[unit]);
    }
    const StabilitySummary x = sumA.summary();
    const StabilitySummary y = sumB.summary();
    fragment[r] = y.fragmentError - x.fragmentError;
    centre[r] = y.centreError - x.centreError;
    scaleRatio[r] = y.scaleRatioError - x.scaleRatioError;
    total[r] = y.total() - x.total();
  });
  result.fragment = lowerIsBetter(fragment, k);
  result.centre = lowerIsBetter(centre, k);
  result.scaleRatio = lowerIsBetter(scaleRatio, k);
  result.total = lowerIsBetter(total, k);
  return result;
}

}  // namespace tracking
