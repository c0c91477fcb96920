// Selection of one class's targets at a confidence threshold.
#pragma once

#include <memory>

#include "annotation/quor_records.h"

/// Returns a new sequence with one frame per frame of `source`, in order and
/// with the same numbers. Each frame lists the source frame's targets whose
/// confidence is at least `source.confidenceThreshold` and whose class is
/// `className` ("All" takes every class), and all of its don't-care regions.
/// Targets are shared with `source`, which must outlive the selection.
std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className);

/// The same selection written into `selection`, which is first reset to a
/// newly constructed sequence's values. The memory of its frames and lists is
/// reused, so selecting class after class into one sequence allocates
/// little.
void selectTargetsInto(const QuorSequence& source, const char* className, QuorSequence& selection);
