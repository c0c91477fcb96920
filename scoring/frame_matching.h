// Matching of one ground-truth frame against the system frame of its number.
#pragma once

#include "annotation/quor_records.h"

/// Matches `groundTruth` against `system` (or against nothing when `system` is
/// null) and writes the frame's six counts on `groundTruth`.
void evaluateFrame(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA, bool keepMarkB);
