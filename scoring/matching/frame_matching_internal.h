// Pieces of the frame matching shared by its two implementations and the tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "annotation/quor_records.h"
#include "scoring/matching/frame_matching.h"

/// A flag sets its box aside unless the matching keep switch is on.
inline bool excludedByFlags(const QuorTarget& target, bool keepMarkA, bool keepMarkB) {
  return (!keepMarkB && target.markB) || (!keepMarkA && target.markA);
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
/// evaluateFrameEvents() with a chosen size limit, as above.
void evaluateFrameEventsWithLimit(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                                  bool keepMarkB, std::size_t denseLimit, FrameEvents& events);
