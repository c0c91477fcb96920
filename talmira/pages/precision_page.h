// COCO's precision-recall curves as pictures, and the page of `talmira ap`.
#pragma once

#include <string>
#include <vector>

#include "scoring/precision/coco_evaluation.h"

namespace talmira {

/// Precision at COCO's recall thresholds (the envelope as the evaluator
/// samples it) for every category with ground truth, at IoU threshold
/// `threshold` (an index), area "all" and the last detections limit: one
/// step line and <g class="series" data-category=... data-ap=...> per
/// category, the categories' AP at that threshold in the legend (the 24
/// highest drawn, the rest counted). A complete <svg> element.
std::string renderCocoCurvesSvg(const precision::CocoResult& result,
                                const std::vector<std::string>& names, std::size_t threshold,
                                const std::string& caption);

/// The index of `iou` among the result's thresholds, if it is one.
std::optional<std::size_t> thresholdIndex(const precision::CocoResult& result, double iou);

/// The curves at IoU 0.5 and 0.75 (those of the two that are thresholds),
/// each in a <figure>, for pages.
std::string cocoCurvesFigures(const precision::CocoResult& result,
                              const std::vector<std::string>& names, const std::string& caption);

struct ApPageInput {
  std::string groundTruth, system;
  std::vector<std::string> warnings;
  const precision::CocoResult* result = nullptr;
  const precision::ImageSet* set = nullptr;
  std::string producedBy;
};
/// A self-contained page: the inputs, warnings, the twelve figures, the
/// table per category and the curves at IoU 0.5 and 0.75.
std::string renderApReport(const ApPageInput& input);

}  // namespace talmira
