// Is detector B's average precision higher than A's, or is the difference
// noise? A paired bootstrap over units (the images of one pair, or the
// sequences of a dataset): each resample draws as many units as there are,
// with replacement, and recomputes both detectors' figures from the drawn
// units' detections and ground truth, each unit counting as many times as it
// was drawn. Nothing is matched again, and nothing is sorted again: the
// score order of each category is fixed, so a resample is one walk per
// category and threshold in that order with each detection weighted by its
// unit's multiplicity.
//
// The draws are those of pairedBootstrap() (SplitMix64 from the seed, below(n)
// per draw, resamples one after the other), so the result depends on the
// seed and not on the threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/precision/pooled_precision.h"

namespace precision {

/// The two figures compared: mAP (COCO's first: AP over every IoU threshold,
/// area "all", 100 detections per image and category) and AP50 (its
/// second: the same at IoU 0.5); -1 where no category has ground truth.
struct PrecisionFigures {
  double map = -1.0;
  double ap50 = -1.0;
  bool operator==(const PrecisionFigures&) const = default;
};

/// One detector's matches in the form a resample accumulates: for each
/// category its kept detections in the evaluation's order (score, then
/// image, then the image's own order), with each one's unit and whether it
/// is a hit, a false alarm or ignored at each threshold; and the ground truth
/// that counts, per unit.
class WeightedPrecision {
 public:
  /// `unitOfImage[i]` is the unit of the matches' image i, below `units`;
  /// each unit's images are a run, the units in ascending order (an image
  /// each, or the images of a sequence). Throws std::invalid_argument when
  /// the parameters have no area range "all" or not one 100 as their third
  /// number of detections (the figures are COCO's), or when the units are
  /// not such runs.
  WeightedPrecision(const MatchedImages& matched, std::span<const uint32_t> unitOfImage,
                    std::size_t units, const CocoParameters& parameters);

  /// What a resample needs apart from the weights; one per thread.
  struct Scratch {
    std::vector<double> cells, means;
    std::vector<uint64_t> hits, counted;                 // per threshold
    std::vector<std::vector<double>> recall, precision;  // per threshold
  };

  /// The figures when unit u counts weights[u] times: those evaluateCoco()
  /// gives of the set in which unit u's images are there weights[u] times,
  /// each copy of the unit (its images in order, with fresh ids) right
  /// after it, and a unit of weight 0 is not there; so the detections tied
  /// on a score within a unit are taken as the copies give them. With
  /// every weight 1, the figures of the matches themselves (stats[0] and
  /// stats[1]), to the bit.
  PrecisionFigures figures(std::span<const uint32_t> weights, Scratch& scratch) const;
  PrecisionFigures figures(std::span<const uint32_t> weights) const;

  std::size_t units() const { return units_; }

 private:
  // A kept detection at one area range and cut: the thresholds at which it
  // is a hit and those at which it is a false alarm (neither: ignored).
  struct Entry {
    uint64_t hit = 0, falseAlarm = 0;
  };
  // Detections of one unit with the same score, next to each other in the
  // order: the copies of their unit take them in turn (one, two, ...; one,
  // two, ...), not each one's copies together.
  struct Group {
    uint32_t first = 0, size = 0, unit = 0;
  };
  struct Category {
    std::vector<Group> groups;
    std::vector<Entry> entries;
    std::vector<std::pair<uint32_t, uint32_t>> truths;  // (unit, counted ground truth)
  };

  std::vector<Category> categories_;
  std::size_t units_ = 0;
  std::size_t thresholds_ = 0;
  uint64_t every_ = 0;  // a bit for each threshold
  std::vector<double> recallThresholds_;
  std::vector<std::size_t> at50_;  // the thresholds that are 0.5
};

/// What the resamples say of both figures' differences B - A.
struct PrecisionBootstrap {
  ClassBootstrap map, ap50;
};

/// The paired bootstrap of B - A on both figures: `options.resamples`
/// resamples of `a.units()` units (which must equal b's), the interval's
/// ends the (k+1)-th smallest and largest differences (intervalRank()).
/// Without units every difference is 0.
PrecisionBootstrap precisionBootstrap(const WeightedPrecision& a, const WeightedPrecision& b,
                                      const BootstrapOptions& options);

}  // namespace precision
