// Overlap tests between boxes, on their axis-aligned bounding rectangles.
#pragma once

#include <cstdint>

#include "annotation/quor_records.h"

/// Part of a target that a don't-care region must cover to drop it (0.33 in
/// single precision).
inline constexpr float kRegionCoverRatio = 0.33f;

/// True when two bounding rectangles overlap or touch along an edge or at a
/// corner. Only such pairs can pass the overlap tests.
inline bool rectanglesTouch(const QuorTarget& a, const QuorTarget& b) {
  return a.minX <= b.maxX && a.maxX >= b.minX && a.minY <= b.maxY && a.maxY >= b.minY;
}

/// Scores a ground-truth box against a system box: 1 when the intersection of
/// their rectangles divided by their enclosing rectangle reaches `threshold`,
/// -1 when it does but either box carries a flag whose keep switch is off,
/// 0 otherwise.
int32_t scorePair(const QuorTarget& groundTruth, const QuorTarget& system, float threshold,
                  bool keepMarkA, bool keepMarkB);

/// True when `region` covers at least kRegionCoverRatio of `target`'s size.
bool regionCovers(const QuorTarget& target, const QuorTarget& region);
