// Scoring of one class over a whole sequence.
#pragma once

#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"

/// For each frame of `groundTruth`, the position in `system.frames` of the
/// first frame with the same number, or -1 when there is none.
std::vector<int32_t> pairFrames(const QuorSequence& groundTruth, const QuorSequence& system);

/// Pairs every ground-truth frame with the first system frame of the same
/// number, matches each, and sums the counts into the four totals of
/// `groundTruth`. Returns 1, or -1 when a total would leave the 32-bit range.
int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system);

/// The same with the pairing given, as pairFrames() computes it. Selections
/// keep every frame of their source, so the pairing of two read sequences
/// serves all the selections made from them.
int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system,
                     const std::vector<int32_t>& partners);
