// COCO's average precision and recall for boxes, computed as the benchmark's
// reference evaluator computes them: greedy matching of each (image,
// category)'s detections in score order at each IoU threshold, accumulation
// per (category, area range, detections per image), the precision envelope
// read at 101 recall points.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scoring/numeric/numpy_sums.h"
#include "scoring/precision/image_set.h"

namespace precision {

struct AreaRange {
  std::string label;
  double low = 0.0, high = 0.0;  // both bounds belong to the range
};

struct CocoParameters {
  std::vector<double> iouThresholds;     // 0.5, 0.55, ..., 0.95 as linspace gives them
  std::vector<double> recallThresholds;  // 0, 0.01, ..., 1 likewise
  std::vector<int> maxDetections;        // per image and category; the last is the cut
  std::vector<AreaRange> areaRanges;     // all, small, medium, large

  static CocoParameters standard();
};

/// numpy's linspace(start, stop, count): start + i * step, the last exactly stop.
std::vector<double> linspace(double start, double stop, std::size_t count);

/// numpy's mean, which the summary takes: to the bit.
using numeric::numpyMean;

/// What the accumulation needs of the matching: per cell (in (category,
/// image) order), its kept detections (the image's score order, cut to the
/// last maxDetections) with their scores and, per area range a and IoU
/// threshold t (bit t), whether each was matched and whether it is ignored;
/// and per cell and range how many ground-truth boxes count. Shards of a
/// dataset make their own and are joined (their images renumbered so that
/// the joined order is the dataset's) before one accumulation.
struct CocoMatches {
  std::size_t areas = 0;
  std::vector<uint32_t> category, image;   // per cell
  std::vector<uint32_t> begin;             // per cell, and one past the last
  std::vector<double> scores;              // per kept detection
  std::vector<uint32_t> counted;           // [cell * areas + a]
  std::vector<uint64_t> matched, ignored;  // [detection * areas + a]

  std::size_t cells() const { return category.size(); }
};

struct CocoResult {
  CocoParameters parameters;
  std::size_t categories = 0;
  // precision[t][r][k][a][m], recall[t][k][a][m] and scores[t][r][k][a][m]
  // in C order; -1 where a category has no ground truth for the range.
  std::vector<double> precision, recall, scores;
  std::array<double, 12> stats{};
  // Per category: ground truth (not crowds) and detections, all areas.
  std::vector<std::size_t> truthCount, detectionCount;

  double precisionAt(std::size_t t, std::size_t r, std::size_t k, std::size_t a,
                     std::size_t m) const;
  double recallAt(std::size_t t, std::size_t k, std::size_t a, std::size_t m) const;
  /// The mean of precision (or recall) cells above -1 for one category (or
  /// every category with `category` < 0), area range label and
  /// detections-per-image limit, at one IoU threshold or all (`iou` < 0):
  /// COCOeval's summarize, -1 when no cell counts.
  double summary(bool averagePrecision, double iou, const std::string& area, int maxDetections,
                 long category = -1) const;
};

/// One of the twelve summary figures: AP or AR, at one IoU threshold or
/// all (iou < 0), for an area range label and a detections limit.
struct SummaryLine {
  bool averagePrecision = true;
  double iou = -1;
  const char* area = "all";
  int maxDetections = 100;
};
/// COCOeval's twelve, in its order. COCOeval reads the third detections
/// limit (and fails without one) and takes 100 for the first figure (-1
/// when 100 is no limit); here a shorter list stands for its last, and the
/// first figure is at 100 or else at the last limit.
std::array<SummaryLine, 12> summaryLines(const CocoParameters& parameters);

/// Matches every cell of `set` (on `threads` threads; the result does not
/// depend on it). Throws std::invalid_argument on parameters out of range
/// (more than 64 thresholds, no maxDetections).
CocoMatches matchCoco(const ImageSet& set, const CocoParameters& parameters, unsigned threads);

/// Accumulates matched cells into the precision and recall arrays and the
/// twelve summary numbers. `categories` is the number of categories.
CocoResult accumulateCoco(const CocoMatches& matches, std::size_t categories,
                          const CocoParameters& parameters, unsigned threads);

/// Both steps, with the per-category counts filled in.
CocoResult evaluateCoco(const ImageSet& set, const CocoParameters& parameters, unsigned threads);

/// The summary lines as COCOeval prints them, one per stat.
std::string cocoSummaryText(const CocoResult& result);

}  // namespace precision
