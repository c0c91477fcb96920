// Exact sweep curves by brute force, for tests and test pages: one full
// scoring at every threshold where a count can change. Slow, but it shares
// nothing with a one-pass sweep.
#pragma once

#include "annotation/quor_records.h"
#include "scoring/counts/confidence_sweep.h"

namespace talmira_test {

/// For every class: points at 1, at every distinct confidence in (0, 1) of
/// the class's boxes ("All": of every box) in either file, and at 0,
/// descending; each point's counts are scoreClasses() at its threshold.
SweepCurves bruteForceCurves(const QuorSequence& groundTruth, const QuorSequence& system);

}  // namespace talmira_test
