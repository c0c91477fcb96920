// The part every box plays in one class's scoring of a sequence pair.
#pragma once

#include <cstdint>
#include <functional>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"

/// What became of one box of the class's selection.
enum class BoxEventKind : uint8_t {
  kMatch,          // either side: paired with a box of the other side
  kMiss,           // ground truth: left without a partner
  kExcluded,       // ground truth: flagged, counted nowhere
  kFalseAlarm,     // system: left without a partner
  kSetAside,       // system: passed the overlap test with a flagged box, counted nowhere
  kInRegion,       // system: covered by a don't-care region, counted nowhere
  kUnpairedFrame,  // system: in a frame no ground-truth frame pairs with, never scored
};

/// Positions are indices into the sequences' frame lists and the frames'
/// target and region lists, as read (not as selected).
struct BoxEvent {
  int32_t truthFrame;   // the ground-truth frame being judged; -1 for kUnpairedFrame
  int32_t systemFrame;  // the system frame paired with it, or the box's own; -1 when none
  bool systemSide;      // the box is in systemFrame, else in truthFrame
  int32_t box;          // the box's position in its frame's targets
  BoxEventKind kind;
  // kMatch: the partner's position in the other frame's targets; kSetAside:
  // the flagged pass's position in the ground-truth frame's targets (see
  // FrameEvents); kInRegion: the covering region's position in the
  // ground-truth frame's regions; otherwise -1.
  int32_t partner;
  // kMiss: a MissCause; kFalseAlarm: a FalseAlarmCause (scoring/analysis/error_causes.h);
  // otherwise -1.
  int8_t cause = -1;
  // kMatch: the pair's overlap; kSetAside: the overlap with the flagged box;
  // kInRegion: the part of the box the region covers; otherwise NaN.
  float overlap = 0.0f;
};

/// Visits every box that takes part in `filter`'s selection, as the class
/// scoring matches it (both keep switches off, frames paired as
/// pairFrames() does): for each ground-truth frame in order, its boxes in
/// list order and then those of its system frame (a system frame paired with
/// several ground-truth frames is visited once per pairing); then the boxes
/// of the system frames no ground-truth frame pairs with, in order. Per class
/// the events add up to scoreClasses(): matches on either side are GT - FN =
/// Det - FP, misses FN and false alarms FP. Each miss and false alarm
/// carries its cause as FrameExplainer finds it, with `near` as the overlap
/// from which boxes are near.
void forEachBoxEvent(const QuorSequence& groundTruth, const QuorSequence& system,
                     const TargetFilter& filter, const std::function<void(const BoxEvent&)>& visit,
                     float near = kDefaultNearThreshold);
