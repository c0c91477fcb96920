// Scoring of one class over a whole sequence.
#pragma once

#include "annotation/quor_records.h"

/// Pairs every ground-truth frame with the first system frame of the same
/// number, matches each, and sums the counts into the four totals of
/// `groundTruth`. Returns 1, or -1 when a total would leave the 32-bit range.
int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system);
