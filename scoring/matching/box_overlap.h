// Overlap tests between boxes, on their axis-aligned bounding rectangles.
#pragma once

#include <cstdint>

#include "annotation/quor_records.h"

/// Part of a target that a don't-care region must cover to drop it, unless
/// the rules say otherwise.
inline constexpr float kRegionCoverRatio = kDefaultRegionCover;

/// The overlap from which an unpaired pair of boxes counts as near when the
/// errors of a matching are explained (a largest matching leaves no unpaired
/// pair that passes the overlap test, so near means just short of it).
inline constexpr float kDefaultNearThreshold = 0.1f;

/// True when two bounding rectangles overlap or touch along an edge or at a
/// corner. Only such pairs can pass the overlap tests.
inline bool rectanglesTouch(const QuorTarget& a, const QuorTarget& b) {
  return a.minX <= b.maxX && a.maxX >= b.minX && a.minY <= b.maxY && a.maxY >= b.minY;
}

/// Scores a ground-truth box against a system box: 1 when their overlap
/// (`measure`: by default the intersection of their rectangles divided by
/// their enclosing rectangle, or by their union) reaches `threshold`, -1 when
/// it does but either box carries a flag whose keep switch is off, 0
/// otherwise.
int32_t scorePair(const QuorTarget& groundTruth, const QuorTarget& system, float threshold,
                  bool keepMarkA, bool keepMarkB,
                  OverlapMeasure measure = OverlapMeasure::kEnclosing);

/// True when `region` covers at least `cover` of `target`'s size.
bool regionCovers(const QuorTarget& target, const QuorTarget& region,
                  float cover = kRegionCoverRatio);

/// The overlap of two boxes by `measure`: overlapRatio() or rectangleIou().
float pairOverlap(const QuorTarget& a, const QuorTarget& b, OverlapMeasure measure);

/// pairOverlap(a, b, measure) into `overlap` and rectangleIou(a, b) into
/// `iou`, the same values, with the rectangles compared once.
void pairOverlapAndIou(const QuorTarget& a, const QuorTarget& b, OverlapMeasure measure,
                       float& overlap, float& iou);

/// The measure scorePair() compares with its threshold: the intersection of
/// the two rectangles over the smallest rectangle enclosing both, rounded to
/// single precision. 0 for rectangles that do not touch; NaN when the
/// enclosing rectangle is empty (such a pair passes no test).
float overlapRatio(const QuorTarget& a, const QuorTarget& b);

/// The intersection of the two rectangles over their union, computed in
/// double precision and rounded to single precision; 0 for rectangles that do
/// not touch, NaN when both are empty.
float rectangleIou(const QuorTarget& a, const QuorTarget& b);

/// The part of `target`'s size that `region` covers, as regionCovers()
/// compares it with kRegionCoverRatio; 0 when they do not touch.
float regionCover(const QuorTarget& target, const QuorTarget& region);
