// Matching of one ground-truth frame against the system frame of its number.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "annotation/quor_records.h"

/// Matches `groundTruth` against `system` (or against nothing when `system` is
/// null) and writes the frame's six counts on `groundTruth`.
void evaluateFrame(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA, bool keepMarkB);

/// One class's counts in one frame pair: the six counts evaluateFrame()
/// writes on the ground-truth frame.
struct FrameClassCounts {
  int32_t gtCount = 0;
  int32_t gtExcluded = 0;
  int32_t detCount = 0;
  int32_t detExcluded = 0;
  int32_t fpCount = 0;
  int32_t fnCount = 0;
  bool operator==(const FrameClassCounts&) const = default;
};

/// Matches a frame pair for every class at once, both keep switches off.
/// `truth` and `system` hold what All takes at one threshold (`truth` with
/// its don't-care regions). `counts[0]` receives what evaluateFrame() would
/// leave for them, and `counts[k + 1]` what it would leave for the boxes of
/// class code `classCodes[k]` alone (the codes distinct, none negative). A class takes a subset of
/// All's boxes, the region test looks at one box, and the overlap test at one pair, so each
/// touching pair is scored once and each class matched on its share of All's passing pairs. Returns
/// false, with nothing written, for a crowded frame whose passing pairs are too many to keep: match
/// it class by class.
bool evaluateFrameClasses(const QuorFrame& truth, const QuorFrame& system,
                          std::span<const int32_t> classCodes, std::span<FrameClassCounts> counts);

/// What the matching made of a ground-truth box.
enum class TruthOutcome : uint8_t {
  kMatch,     // paired with a system box
  kMiss,      // left without one
  kExcluded,  // flagged: takes no part and is counted nowhere
};

/// What the matching made of a system box.
enum class SystemOutcome : uint8_t {
  kMatch,       // paired with a ground-truth box
  kFalseAlarm,  // left without one
  kSetAside,    // passed the overlap test with a flagged box: counted nowhere
  kInRegion,    // covered by a don't-care region of the ground truth: counted nowhere
};

/// Every box's outcome in one frame's matching, parallel to the frames' lists.
struct FrameEvents {
  std::vector<TruthOutcome> truth;  // one per groundTruth.targets
  // The position in system->targets of a matched truth's partner; -1 otherwise.
  std::vector<int32_t> truthPartner;
  std::vector<SystemOutcome> system;  // one per system->targets (empty without a system frame)
  // kMatch: the partner's position in groundTruth.targets.
  // kSetAside: the first ground-truth box in list order with which the box
  //   passed the overlap test while one of the two carried a flag (a flagged
  //   truth, or any truth when the system box is the flagged one).
  // kInRegion: the first region in groundTruth.regions, in list order, that
  //   covers the box.
  // -1 for false alarms.
  std::vector<int32_t> systemPartner;
  // Filled by evaluateFrameClassesEvents() only (empty otherwise), one per
  // system box: 1 when the box passed the overlap test without a flag with
  // some ground-truth box of the matching. A largest matching leaves no such
  // pair with both boxes free, so a false alarm marked so passed with an
  // object that is paired with another box.
  std::vector<char> systemPassed;
};

/// evaluateFrameEvents() for All and each class at once, both keep switches
/// off, on one scoring of the touching pairs (see evaluateFrameClasses()):
/// `events[0]` is what it gives for `truth` and `system` (what All takes at
/// one threshold), `events[k + 1]` what it gives for the boxes of class code
/// `classCodes[k]` alone: the same outcomes and the same pairs, with
/// positions in that class's own lists. Returns false, with nothing
/// written, for a crowded frame.
bool evaluateFrameClassesEvents(const QuorFrame& truth, const QuorFrame& system,
                                std::span<const int32_t> classCodes, std::span<FrameEvents> events);

/// evaluateFrame() that also tells what became of every box. The counts on
/// `groundTruth` are those evaluateFrame() writes, and the pairs are those of
/// the assignment it finds: the outcomes add up to its counts (matches on
/// each side = gtCount - gtExcluded - fnCount = detCount - detExcluded - fpCount).
void evaluateFrameEvents(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                         bool keepMarkB, FrameEvents& events);
