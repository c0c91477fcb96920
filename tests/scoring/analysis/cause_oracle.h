// The rules of the causes read plainly, for tests and fuzz targets: given
// the outcomes FrameExplainer found (its pairs), every pair of boxes is
// looked at, with no index and no shortcut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "scoring/analysis/error_causes.h"
#include "scoring/matching/box_overlap.h"

namespace talmira_test {

/// The cause of each miss of the explainer's last matching (`filter`'s), in
/// frame order. `system` is the explainer's system frame, when it has one.
inline std::vector<int8_t> plainMissCauses(const QuorFrame& truth, const QuorFrame& system,
                                           const FrameExplainer& e, const TargetFilter& filter,
                                           float near) {
  std::vector<int8_t> causes;
  const auto ofClass = [&](const QuorTarget& t) {
    return filter.everyClass() || t.classCode == filter.classCode();
  };
  for (const ExplainedBox& g : e.truths()) {
    if (g.kind != BoxEventKind::kMiss) continue;
    const QuorTarget& object = *truth.targets[static_cast<std::size_t>(g.box)];
    if (e.partnerFrame() == nullptr) {
      causes.push_back(static_cast<int8_t>(MissCause::kNoSystemFrame));
      continue;
    }
    MissCause cause = MissCause::kMissed;
    bool confused = false;
    for (const ExplainedBox& a : e.allTruths()) {
      confused =
          confused ||
          (!filter.everyClass() && a.box == g.box && a.kind == BoxEventKind::kMatch &&
           system.targets[static_cast<std::size_t>(a.partner)]->classCode != object.classCode);
    }
    bool inRegion = false, below = false, localized = false;
    for (const ExplainedBox& s : e.systems()) {
      const QuorTarget& b = *system.targets[static_cast<std::size_t>(s.box)];
      inRegion = inRegion || (s.kind == BoxEventKind::kInRegion && overlapRatio(object, b) >= 0.2f);
      localized =
          localized || (s.kind == BoxEventKind::kFalseAlarm && overlapRatio(object, b) >= near);
    }
    for (const QuorTarget* b : system.targets) {
      below = below || (ofClass(*b) && b->confidence < filter.threshold() &&
                        overlapRatio(object, *b) >= 0.2f);
    }
    if (confused) {
      cause = MissCause::kClassConfusion;
    } else if (inRegion) {
      cause = MissCause::kDroppedInRegion;
    } else if (below) {
      cause = MissCause::kBelowThreshold;
    } else if (localized) {
      cause = MissCause::kLocalization;
    }
    causes.push_back(static_cast<int8_t>(cause));
  }
  return causes;
}

/// The cause of each of its false alarms, in frame order.
inline std::vector<int8_t> plainFalseAlarmCauses(const QuorFrame& truth, const QuorFrame& system,
                                                 const FrameExplainer& e,
                                                 const TargetFilter& filter, float near) {
  std::vector<int8_t> causes;
  for (const ExplainedBox& s : e.systems()) {
    if (s.kind != BoxEventKind::kFalseAlarm) continue;
    const QuorTarget& b = *system.targets[static_cast<std::size_t>(s.box)];
    bool confused = false, duplicate = false, localized = false;
    for (const ExplainedBox& a : e.allSystems()) {
      confused = confused ||
                 (!filter.everyClass() && a.box == s.box && a.kind == BoxEventKind::kMatch &&
                  truth.targets[static_cast<std::size_t>(a.partner)]->classCode != b.classCode);
    }
    for (const ExplainedBox& g : e.truths()) {
      const QuorTarget& object = *truth.targets[static_cast<std::size_t>(g.box)];
      duplicate = duplicate || (g.kind == BoxEventKind::kMatch && g.partner != s.box &&
                                overlapRatio(object, b) >= 0.2f);
      localized = localized || (g.kind == BoxEventKind::kMiss && overlapRatio(object, b) >= near);
    }
    FalseAlarmCause cause = FalseAlarmCause::kBackground;
    if (confused) {
      cause = FalseAlarmCause::kClassConfusion;
    } else if (duplicate) {
      cause = FalseAlarmCause::kDuplicate;
    } else if (localized) {
      cause = FalseAlarmCause::kLocalization;
    }
    causes.push_back(static_cast<int8_t>(cause));
  }
  return causes;
}

/// Whether every pair of the explainer's last matching carries the overlap
/// and the IoU of its two boxes, worked out afresh, on both sides.
inline bool pairsCarryTheirOverlaps(const QuorFrame& truth, const QuorFrame& system,
                                    const FrameExplainer& e) {
  const auto plain = [&](int32_t object, int32_t box, const ExplainedBox& b) {
    const QuorTarget& t = *truth.targets[static_cast<std::size_t>(object)];
    const QuorTarget& s = *system.targets[static_cast<std::size_t>(box)];
    return b.overlap == pairOverlap(t, s, truth.overlapMeasure) && b.iou == rectangleIou(t, s);
  };
  for (const ExplainedBox& g : e.truths()) {
    if (g.kind == BoxEventKind::kMatch && !plain(g.box, g.partner, g)) return false;
  }
  for (const ExplainedBox& s : e.systems()) {
    if (s.kind == BoxEventKind::kMatch && !plain(s.partner, s.box, s)) return false;
  }
  return true;
}

}  // namespace talmira_test
