// Selection of one class's targets at a confidence threshold.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "annotation/quor_records.h"

/// Which targets a selection takes: those of one class ("All" takes every
/// class; names compare exactly) whose confidence reaches a threshold (a
/// confidence equal to it is taken).
class TargetFilter {
 public:
  TargetFilter(const char* className, float threshold);
  bool operator()(const QuorTarget& target) const {
    // Bitwise, not short-circuit: the classes of a frame's targets come in no
    // order a branch could learn.
    return (target.confidence >= threshold_) & (everyClass_ | (target.classCode == classCode_));
  }
  /// False when the filter takes none of the targets of the frames whose
  /// classCodeMask() are given: most frames hold a few classes, and the
  /// others need no selection and no matching.
  bool mayTakeAny(uint64_t classMask) const {
    if (everyClass_) return classMask != 0;
    return classCode_ >= 0 && (classMask & classBit(static_cast<uint16_t>(classCode_))) != 0;
  }
  /// Whether every class is taken; otherwise classCode() is the one taken
  /// (-1 when no target can bear its name).
  bool everyClass() const { return everyClass_; }
  int32_t classCode() const { return classCode_; }
  float threshold() const { return threshold_; }
  /// The bit of a class code in a class mask; codes past 62 share the last bit.
  static uint64_t classBit(uint16_t code) { return uint64_t{1} << (code < 63 ? code : 63); }

 private:
  bool everyClass_;
  int32_t classCode_;  // -1 when no target can bear the name
  float threshold_;
};

/// The classBit() of every target of `frame`, or-ed together.
uint64_t classCodeMask(const QuorFrame& frame);

/// Makes `frame` a new frame with `source`'s number that lists the targets of
/// `source` that `filter` takes, in order, and all of its don't-care regions.
/// The memory of `frame`'s lists is reused.
void selectFrame(const QuorFrame& source, const TargetFilter& filter, QuorFrame& frame);

/// Makes `frame` a new frame with `source`'s number that lists `targets`
/// (some of `source`'s, in order) and all of `source`'s don't-care regions.
/// The memory of `frame`'s lists is reused.
void setSelection(const QuorFrame& source, std::span<const QuorTarget* const> targets,
                  QuorFrame& frame);

/// Returns a new sequence with one frame per frame of `source`, in order and
/// with the same numbers, each made by selectFrame() with the class
/// `className` at `source.confidenceThreshold`. Targets are shared with
/// `source`, which must outlive the selection.
std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className);
