// Why a detector lost points: every miss and every false alarm of a class's
// matching gets one cause, the first of a fixed list of rules that applies.
// Each error costs the class exactly 1 / GT of its NMODTA, so the causes
// split the points lost exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "scoring/analysis/sequence_events.h"
#include "scoring/matching/box_index.h"
#include "scoring/matching/frame_matching.h"

/// Why an object was missed, in the order the rules are tried.
enum class MissCause : uint8_t {
  kNoSystemFrame,    // its frame was paired with no system frame
  kClassConfusion,   // the All matching pairs it with a box of another class
  kDroppedInRegion,  // a box of the class, dropped by a don't-care region, matches it
  kBelowThreshold,   // a box of the class below the confidence threshold matches it
  kLocalization,     // a box of the class left unpaired is near it
  kMissed,           // none of these
};
inline constexpr std::size_t kMissCauseCount = 6;
inline constexpr std::array<const char*, kMissCauseCount> missCauseNames = {
    "no_system_frame", "class_confusion", "dropped_in_region",
    "below_threshold", "localization",    "missed"};

/// Why a box was a false alarm, in the order the rules are tried.
enum class FalseAlarmCause : uint8_t {
  kClassConfusion,  // the All matching pairs it with an object of another class
  kDuplicate,       // it matches an object of the class that another box is paired with
  kLocalization,    // it is near an object of the class left unpaired
  kBackground,      // none of these
};
inline constexpr std::size_t kFalseAlarmCauseCount = 4;
inline constexpr std::array<const char*, kFalseAlarmCauseCount> falseAlarmCauseNames = {
    "class_confusion", "duplicate", "localization", "background"};

/// One box of a class's matching of a frame pair: what became of it and why.
struct ExplainedBox {
  int32_t box = 0;  // its position in its frame's targets, as read
  BoxEventKind kind = BoxEventKind::kMatch;
  int32_t partner = -1;  // as BoxEvent::partner, a position as read
  // A MissCause for a miss, a FalseAlarmCause for a false alarm; -1 otherwise.
  int8_t cause = -1;
  // A match: the pair's overlapRatio(); set aside: the overlap with the
  // flagged box named as partner; in a region: the region's regionCover().
  // NaN otherwise.
  float overlap = 0.0f;
  // A match: the pair's rectangleIou(); NaN otherwise.
  float iou = 0.0f;
};

/// Boxes that a rule tests other boxes against: looked at one by one while
/// the tests are few, through a spatial index when they are many (a crowded
/// frame's misses against its false alarms).
class CandidateBoxes {
 public:
  void clear() {
    boxes_.clear();
    indexed_ = false;
  }
  void add(const QuorTarget* box) {
    boxes_.push_back(box);
    indexed_ = false;
  }
  bool empty() const { return boxes_.empty(); }
  /// Whether some candidate's overlapRatio() with `query` is at least
  /// `threshold` (a candidate that does not touch it has overlap 0).
  /// `queries` is about how many queries will follow: it decides whether
  /// indexing pays.
  bool anyReaches(const QuorTarget& query, float threshold, std::size_t queries,
                  OverlapMeasure measure = OverlapMeasure::kEnclosing);

 private:
  std::vector<const QuorTarget*> boxes_;
  BoxIndex index_;
  bool indexed_ = false;
};

/// Explains the matchings of one frame pair at a confidence threshold: the
/// All matching first (start()), then any class's (explain()), each with the
/// pairs the scoring itself finds. Working memory is kept from pair to pair.
///
/// The causes of a class's misses, by the first rule that applies:
/// its frame has no system frame; (a class, not All) the All matching pairs
/// it with a system box of another class; a system box of the class at or
/// above the threshold that a don't-care region dropped matches it (overlap
/// at least the frame's matching threshold); a system box of the class below
/// the threshold matches it; a false alarm of the class is near it (overlap
/// at least `near`); missed.
/// The causes of its false alarms: (a class) the All matching pairs it with
/// an object of another class; it matches an object of the class paired with
/// another box; it is near a miss of the class; background.
class FrameExplainer {
 public:
  FrameExplainer(float confidence, float near) : near_(near), everyClass_("All", confidence) {}

  /// Starts on `truth` and the system frame of its number (null when none):
  /// matches them for All and keeps every box's partner there. Both frames
  /// must stay alive until the next start().
  void start(const QuorFrame& truth, const QuorFrame* partner);
  /// Explains the matching of `filter`'s class (its threshold must be the
  /// confidence given above); All gives the matching start() made.
  void explain(const TargetFilter& filter);

  /// The last explained matching: the ground-truth boxes it takes, in frame
  /// order, and the system boxes (none without a system frame).
  const std::vector<ExplainedBox>& truths() const {
    return showingAll_ ? allTruths_ : classTruths_;
  }
  const std::vector<ExplainedBox>& systems() const {
    return showingAll_ ? allSystems_ : classSystems_;
  }
  /// The All matching of the current pair.
  const std::vector<ExplainedBox>& allTruths() const { return allTruths_; }
  const std::vector<ExplainedBox>& allSystems() const { return allSystems_; }
  /// The class codes of All's selection of the pair, in code order, when
  /// start() matched All and each of them on one scoring (explain() then
  /// finds any other class's matching empty); null otherwise.
  const std::vector<int32_t>* sharedClasses() const { return shared_ ? &codes_ : nullptr; }
  const QuorFrame& truthFrame() const { return *truth_; }
  const QuorFrame* partnerFrame() const { return partner_; }

 private:
  // Selects `filter`'s boxes of the pair, with their positions as read.
  void select(const TargetFilter& filter, QuorFrame& truthSelection,
              std::vector<int32_t>& truthPositions, QuorFrame& systemSelection,
              std::vector<int32_t>& systemPositions) const;
  // One filter's matching on its own selection (a crowded frame, a filter of
  // another threshold).
  void match(const TargetFilter& filter, bool afterAll, std::vector<ExplainedBox>& truths,
             std::vector<ExplainedBox>& systems);
  // The boxes of a matching's events, with their positions as read. A class's
  // pair that All made too (`afterAll`: All's matching of this pair is done)
  // takes All's overlaps rather than working them out again.
  void fill(const FrameEvents& events, const std::vector<int32_t>& truthPositions,
            const std::vector<int32_t>& systemPositions, bool afterAll,
            std::vector<ExplainedBox>& truths, std::vector<ExplainedBox>& systems) const;
  // `passed`, when not null, is the matching's FrameEvents::systemPassed,
  // parallel to `systems`: it settles which false alarms are duplicates.
  void findCauses(const TargetFilter& filter, bool everyClass, const std::vector<char>* passed,
                  std::vector<ExplainedBox>& truths, std::vector<ExplainedBox>& systems);
  // The classes of All's selection of the pair into codes_, in code order,
  // and the slot of each (its place in codes_ plus one) into codeSlot_.
  void listClasses();
  // The positions of a selection's boxes, grouped by class slot.
  void groupByClass(const QuorFrame& selection, const std::vector<int32_t>& positions,
                    std::vector<uint32_t>& starts, std::vector<int32_t>& byClass);

  float near_;
  TargetFilter everyClass_;
  const QuorFrame* truth_ = nullptr;
  const QuorFrame* partner_ = nullptr;
  std::vector<ExplainedBox> allTruths_, allSystems_;
  std::vector<ExplainedBox> classTruths_, classSystems_;
  bool showingAll_ = true;  // whether the last explained matching is All's
  // The All partner of every box of the pair by its position as read; -1
  // when it has none or the All matching does not take it.
  std::vector<int32_t> allTruthPartner_, allSystemPartner_;
  // Where each ground-truth box of the pair is in allTruths_ (by its position
  // as read; -1 when All does not take it).
  std::vector<int32_t> allTruthAt_;
  // All and the classes of the pair matched on one scoring (shared_), with
  // All's selection, the classes present in it (codes_, each with its slot
  // by code in codeSlot_, 0 for the others), and the positions of the
  // selection's boxes grouped by class (see groupByClass()).
  bool shared_ = false;
  QuorFrame allTruthSelection_{0}, allSystemSelection_{0};
  std::vector<int32_t> allTruthPositions_, allSystemPositions_;
  std::vector<int32_t> codes_;
  std::vector<uint32_t> codeSlot_;
  std::vector<FrameEvents> sharedEvents_;
  std::vector<uint32_t> truthStarts_, systemStarts_, cursors_;
  std::vector<int32_t> truthsByClass_, systemsByClass_;
  // The pair's system boxes below the threshold of All, in frame order.
  std::vector<const QuorTarget*> belowAll_;
  // Working memory.
  QuorFrame truthSelection_{0}, systemSelection_{0};
  std::vector<int32_t> truthPositions_, systemPositions_;
  FrameEvents events_;
  CandidateBoxes inRegion_, belowThreshold_, falseAlarms_, pairedTruths_, missedTruths_;
};
