// The counts of every class as functions of the confidence threshold.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "scoring/class_scores.h"

/// One class's counts at one confidence threshold t (a box is taken when its
/// confidence is at least t, in both files).
struct CurvePoint {
  float threshold = 0.0f;
  int64_t gt = 0;
  int64_t det = 0;
  int64_t fn = 0;
  int64_t fp = 0;
  float nmodta() const { return reportedNmodta(gt, fn, fp); }
  bool operator==(const CurvePoint&) const = default;
};

/// One class's counts as a step function of the threshold. `points` are in
/// descending threshold order. In an exact curve they are at 1, at every
/// distinct confidence in (0, 1) of the class's boxes in either file, and at
/// 0; the counts at any t in [0, 1] are those of the point with the smallest
/// threshold at or above t.
struct ClassCurve {
  int64_t frames = 0;  // frames of the ground truth; the same at every threshold
  std::vector<CurvePoint> points;
};

using SweepCurves = std::array<ClassCurve, kClassCount>;
