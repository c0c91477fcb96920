// Pieces of the frame matching shared by its two implementations and the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "annotation/quor_records.h"
#include "scoring/box_index.h"

/// A flag sets its box aside unless the matching keep switch is on.
inline bool excludedByFlags(const QuorTarget& target, bool keepMarkA, bool keepMarkB) {
  return (!keepMarkB && target.markB) || (!keepMarkA && target.markA);
}

/// Below this many pairs (or region tests) every pair of a frame is simply
/// tried; above it the boxes are found through a BoxIndex.
inline constexpr std::size_t kDirectPairLimit = 1024;

/// A passing pair leaves each box at least `threshold` of the other's width
/// and height, so their levels in a BoxIndex differ by at most
/// log2(1 / threshold) plus rounding; two more levels keep the bound safe.
inline int levelReach(float threshold) {
  if (!(threshold >= 0.01f)) return BoxIndex::kLevels;
  int reach = 2;
  for (float scale = 1.0f; scale * threshold < 1.0f; scale *= 2.0f) ++reach;
  return reach;
}

inline int32_t countOf(std::size_t size) { return static_cast<int32_t>(size); }

/// Counts of a ground-truth frame that has no system frame of its number.
void evaluateFrameAlone(QuorFrame& groundTruth, bool keepMarkA, bool keepMarkB);

/// The straightforward matching: every pair scored into a dense table, one
/// assignment over all remaining boxes. Quadratic in memory and cubic in
/// time; kept as the reference the fast matching is checked against.
void evaluateFrameDense(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                        bool keepMarkB);
/// The fast matching with a chosen size limit: groups of matching boxes whose
/// assignment matrix would be wider than `denseLimit` are paired by
/// Hopcroft and Karp's method instead of the dense solver. Both give the
/// same counts; tests lower the limit to exercise both.
void evaluateFrameWithLimit(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                            bool keepMarkB, std::size_t denseLimit);
