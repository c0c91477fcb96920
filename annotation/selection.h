// Selection of one class's targets at a confidence threshold.
#pragma once

#include <cstdint>
#include <memory>

#include "annotation/quor_records.h"

/// Which targets a selection takes: those of one class ("All" takes every
/// class; names compare exactly) whose confidence reaches a threshold (a
/// confidence equal to it is taken).
class TargetFilter {
 public:
  TargetFilter(const char* className, float threshold);
  bool operator()(const QuorTarget& target) const {
    return target.confidence >= threshold_ && (everyClass_ || target.classCode == classCode_);
  }

 private:
  bool everyClass_;
  int32_t classCode_;  // -1 when no target can bear the name
  float threshold_;
};

/// Makes `frame` a new frame with `source`'s number that lists the targets of
/// `source` that `filter` takes, in order, and all of its don't-care regions.
/// The memory of `frame`'s lists is reused.
void selectFrame(const QuorFrame& source, const TargetFilter& filter, QuorFrame& frame);

/// Returns a new sequence with one frame per frame of `source`, in order and
/// with the same numbers, each made by selectFrame() with the class
/// `className` at `source.confidenceThreshold`. Targets are shared with
/// `source`, which must outlive the selection.
std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className);
