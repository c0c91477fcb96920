#include "scoring/analysis/error_causes.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "scoring/matching/box_overlap.h"

namespace {

// Below this many overlap tests a rule simply tries every candidate.
constexpr std::size_t kDirectTestLimit = 1024;

constexpr float kNoOverlap = std::numeric_limits<float>::quiet_NaN();

// Where each of `selected`'s targets lies in `source`'s list: the selection
// keeps the targets it takes in their order, so one walk finds them.
void positionsOf(const QuorFrame& source, const QuorFrame& selected,
                 std::vector<int32_t>& positions) {
  positions.clear();
  std::size_t at = 0;
  for (const QuorTarget* target : selected.targets) {
    while (source.targets[at] != target) ++at;
    positions.push_back(static_cast<int32_t>(at++));
  }
}

BoxEventKind kindOf(TruthOutcome outcome) {
  switch (outcome) {
    case TruthOutcome::kMatch:
      return BoxEventKind::kMatch;
    case TruthOutcome::kMiss:
      return BoxEventKind::kMiss;
    case TruthOutcome::kExcluded:
      break;
  }
  return BoxEventKind::kExcluded;
}

BoxEventKind kindOf(SystemOutcome outcome) {
  switch (outcome) {
    case SystemOutcome::kMatch:
      return BoxEventKind::kMatch;
    case SystemOutcome::kFalseAlarm:
      return BoxEventKind::kFalseAlarm;
    case SystemOutcome::kSetAside:
      return BoxEventKind::kSetAside;
    case SystemOutcome::kInRegion:
      break;
  }
  return BoxEventKind::kInRegion;
}

// The All partners of a frame's boxes by position as read.
void notePartners(const std::vector<ExplainedBox>& boxes, std::size_t frameSize,
                  std::vector<int32_t>& partners) {
  partners.assign(frameSize, -1);
  for (const ExplainedBox& b : boxes) {
    if (b.kind == BoxEventKind::kMatch) partners[static_cast<std::size_t>(b.box)] = b.partner;
  }
}

}  // namespace

bool CandidateBoxes::anyReaches(const QuorTarget& query, float threshold, std::size_t queries,
                                OverlapMeasure measure) {
  if (boxes_.empty()) return false;
  // With a threshold of 0 even boxes that do not touch the query are near it,
  // and the index only finds those that touch.
  if (!(threshold > 0.0f)) {
    for (const QuorTarget* box : boxes_) {
      if (pairOverlap(query, *box, measure) >= threshold) return true;
    }
    return false;
  }
  if (boxes_.size() * queries <= kDirectTestLimit) {
    // Most candidates do not touch the query, and those cannot reach it.
    for (const QuorTarget* box : boxes_) {
      if (rectanglesTouch(query, *box) && pairOverlap(query, *box, measure) >= threshold) {
        return true;
      }
    }
    return false;
  }
  if (!indexed_) {
    index_.build(boxes_);
    indexed_ = true;
  }
  const int level = BoxIndex::levelOf(query);
  const int reach = BoxIndex::levelReach(threshold);
  bool found = false;
  index_.forEachTouching(query, level - reach, level + reach, [&](int32_t at) {
    found =
        found || pairOverlap(query, *boxes_[static_cast<std::size_t>(at)], measure) >= threshold;
  });
  return found;
}

void FrameExplainer::start(const QuorFrame& truth, const QuorFrame* partner) {
  truth_ = &truth;
  partner_ = partner;
  // All and every class of the pair on one scoring of its touching pairs,
  // as the scoring itself matches them; a crowded frame class by class.
  shared_ = false;
  if (partner != nullptr) {
    select(everyClass_, allTruthSelection_, allTruthPositions_, allSystemSelection_,
           allSystemPositions_);
    listClasses();
    sharedEvents_.resize(codes_.size() + 1);
    shared_ =
        evaluateFrameClassesEvents(allTruthSelection_, allSystemSelection_, codes_, sharedEvents_);
    if (shared_) {
      groupByClass(allTruthSelection_, allTruthPositions_, truthStarts_, truthsByClass_);
      groupByClass(allSystemSelection_, allSystemPositions_, systemStarts_, systemsByClass_);
    }
  }
  if (shared_) {
    fill(sharedEvents_[0], allTruthPositions_, allSystemPositions_, false, allTruths_, allSystems_);
  } else {
    match(everyClass_, false, allTruths_, allSystems_);
  }
  // The boxes below the threshold, which every class's causes look among.
  belowAll_.clear();
  if (partner != nullptr) {
    for (const QuorTarget* box : partner->targets) {
      if (!(box->confidence >= everyClass_.threshold())) belowAll_.push_back(box);
    }
  }
  findCauses(everyClass_, true, shared_ ? &sharedEvents_[0].systemPassed : nullptr, allTruths_,
             allSystems_);
  notePartners(allTruths_, truth.targets.size(), allTruthPartner_);
  allTruthAt_.assign(truth.targets.size(), -1);
  for (std::size_t at = 0; at < allTruths_.size(); ++at) {
    allTruthAt_[static_cast<std::size_t>(allTruths_[at].box)] = static_cast<int32_t>(at);
  }
  notePartners(allSystems_, partner != nullptr ? partner->targets.size() : 0, allSystemPartner_);
  showingAll_ = true;
}

void FrameExplainer::listClasses() {
  for (const int32_t code : codes_) codeSlot_[static_cast<std::size_t>(code)] = 0;
  codes_.clear();
  // Each code once, marked in a table by code rather than searched for: a
  // frame may hold many classes.
  for (const QuorFrame* frame : {&allTruthSelection_, &allSystemSelection_}) {
    for (const QuorTarget* target : frame->targets) {
      const uint16_t code = target->classCode;
      if (code >= codeSlot_.size()) codeSlot_.resize(std::size_t{code} + 1, 0);
      if (codeSlot_[code] == 0) {
        codeSlot_[code] = 1;
        codes_.push_back(code);
      }
    }
  }
  std::sort(codes_.begin(), codes_.end());
  for (std::size_t k = 0; k < codes_.size(); ++k) {
    codeSlot_[static_cast<std::size_t>(codes_[k])] = static_cast<uint32_t>(k + 1);
  }
}

void FrameExplainer::groupByClass(const QuorFrame& selection, const std::vector<int32_t>& positions,
                                  std::vector<uint32_t>& starts, std::vector<int32_t>& byClass) {
  // A counting sort by class slot, which keeps each class's boxes in All's
  // order: slot s takes [starts[s - 1], starts[s]).
  starts.assign(codes_.size() + 1, 0);
  for (const QuorTarget* target : selection.targets) ++starts[codeSlot_[target->classCode]];
  for (std::size_t slot = 1; slot < starts.size(); ++slot) starts[slot] += starts[slot - 1];
  cursors_.assign(starts.begin(), starts.end() - 1);
  byClass.resize(selection.targets.size());
  for (std::size_t at = 0; at < selection.targets.size(); ++at) {
    byClass[cursors_[codeSlot_[selection.targets[at]->classCode] - 1]++] = positions[at];
  }
}

void FrameExplainer::explain(const TargetFilter& filter) {
  showingAll_ = filter.everyClass();
  if (showingAll_) return;
  if (shared_ && filter.threshold() == everyClass_.threshold()) {
    const int32_t code = filter.classCode();
    const uint32_t slot = code >= 0 && static_cast<std::size_t>(code) < codeSlot_.size()
                              ? codeSlot_[static_cast<std::size_t>(code)]
                              : 0;
    if (slot == 0) {
      // No box of the class reaches the threshold on either side.
      classTruths_.clear();
      classSystems_.clear();
      return;
    }
    // The class's boxes are All's of its class, in order.
    truthPositions_.assign(truthsByClass_.begin() + truthStarts_[slot - 1],
                           truthsByClass_.begin() + truthStarts_[slot]);
    systemPositions_.assign(systemsByClass_.begin() + systemStarts_[slot - 1],
                            systemsByClass_.begin() + systemStarts_[slot]);
    fill(sharedEvents_[slot], truthPositions_, systemPositions_, true, classTruths_, classSystems_);
    findCauses(filter, false, &sharedEvents_[slot].systemPassed, classTruths_, classSystems_);
  } else {
    match(filter, true, classTruths_, classSystems_);
    findCauses(filter, false, nullptr, classTruths_, classSystems_);
  }
}

void FrameExplainer::select(const TargetFilter& filter, QuorFrame& truthSelection,
                            std::vector<int32_t>& truthPositions, QuorFrame& systemSelection,
                            std::vector<int32_t>& systemPositions) const {
  selectFrame(*truth_, filter, truthSelection);
  positionsOf(*truth_, truthSelection, truthPositions);
  if (partner_ != nullptr) {
    selectFrame(*partner_, filter, systemSelection);
    positionsOf(*partner_, systemSelection, systemPositions);
  } else {
    systemSelection.restart(0);
    systemPositions.clear();
  }
}

void FrameExplainer::match(const TargetFilter& filter, bool afterAll,
                           std::vector<ExplainedBox>& truths, std::vector<ExplainedBox>& systems) {
  select(filter, truthSelection_, truthPositions_, systemSelection_, systemPositions_);
  // The very matching the scoring makes, so the pairs are the scoring's own.
  evaluateFrameEvents(truthSelection_, partner_ != nullptr ? &systemSelection_ : nullptr, false,
                      false, events_);
  fill(events_, truthPositions_, systemPositions_, afterAll, truths, systems);
}

void FrameExplainer::fill(const FrameEvents& events, const std::vector<int32_t>& truthPositions,
                          const std::vector<int32_t>& systemPositions, bool afterAll,
                          std::vector<ExplainedBox>& truths,
                          std::vector<ExplainedBox>& systems) const {
  const auto truthBox = [&](std::size_t r) {
    return truth_->targets[static_cast<std::size_t>(truthPositions[r])];
  };
  const auto systemBox = [&](std::size_t c) {
    return partner_->targets[static_cast<std::size_t>(systemPositions[c])];
  };
  truths.resize(truthPositions.size());
  for (std::size_t r = 0; r < truthPositions.size(); ++r) {
    ExplainedBox& b = truths[r];
    b.box = truthPositions[r];
    b.kind = kindOf(events.truth[r]);
    b.cause = -1;
    const int32_t partner = events.truthPartner[r];
    if (partner >= 0) {
      const auto c = static_cast<std::size_t>(partner);
      b.partner = systemPositions[c];
      const int32_t inAll = afterAll ? allTruthAt_[static_cast<std::size_t>(b.box)] : -1;
      if (inAll >= 0 && allTruths_[static_cast<std::size_t>(inAll)].partner == b.partner) {
        b.overlap = allTruths_[static_cast<std::size_t>(inAll)].overlap;
        b.iou = allTruths_[static_cast<std::size_t>(inAll)].iou;
      } else {
        pairOverlapAndIou(*truthBox(r), *systemBox(c), truth_->overlapMeasure, b.overlap, b.iou);
      }
    } else {
      b.partner = -1;
      b.overlap = kNoOverlap;
      b.iou = kNoOverlap;
    }
  }

  systems.resize(systemPositions.size());
  for (std::size_t c = 0; c < systemPositions.size(); ++c) {
    ExplainedBox& b = systems[c];
    b.box = systemPositions[c];
    b.kind = kindOf(events.system[c]);
    b.cause = -1;
    b.partner = -1;
    b.overlap = kNoOverlap;
    b.iou = kNoOverlap;
    const int32_t partner = events.systemPartner[c];
    if (partner < 0) continue;
    const auto at = static_cast<std::size_t>(partner);
    if (b.kind == BoxEventKind::kMatch) {
      // The pair as its truth has it.
      b.partner = truthPositions[at];
      b.overlap = truths[at].overlap;
      b.iou = truths[at].iou;
    } else if (b.kind == BoxEventKind::kInRegion) {
      // Regions are never selected away: the position is that of the frame.
      b.partner = partner;
      b.overlap = regionCover(*systemBox(c), *truth_->regions[at]);
    } else {
      // The flagged box a set-aside passed with.
      b.partner = truthPositions[at];
      b.overlap = pairOverlap(*truthBox(at), *systemBox(c), truth_->overlapMeasure);
    }
  }
}

void FrameExplainer::findCauses(const TargetFilter& filter, bool everyClass,
                                const std::vector<char>* passed, std::vector<ExplainedBox>& truths,
                                std::vector<ExplainedBox>& systems) {
  std::size_t misses = 0;
  for (const ExplainedBox& b : truths) misses += b.kind == BoxEventKind::kMiss;
  std::size_t falseAlarms = 0;
  for (const ExplainedBox& b : systems) falseAlarms += b.kind == BoxEventKind::kFalseAlarm;
  if (misses == 0 && falseAlarms == 0) return;

  if (partner_ == nullptr) {
    for (ExplainedBox& b : truths) {
      if (b.kind == BoxEventKind::kMiss) b.cause = static_cast<int8_t>(MissCause::kNoSystemFrame);
    }
    return;
  }
  const QuorFrame& truthFrame = *truth_;
  const QuorFrame& systemFrame = *partner_;
  const float matching = truthFrame.overlapThreshold;  // what every selection matches at
  const OverlapMeasure measure = truthFrame.overlapMeasure;
  // A pass needs rectangles that touch, the test below at 0 does not.
  if (!(matching > 0.0f)) passed = nullptr;

  if (misses > 0) {
    inRegion_.clear();
    falseAlarms_.clear();
    for (const ExplainedBox& b : systems) {
      const QuorTarget* box = systemFrame.targets[static_cast<std::size_t>(b.box)];
      if (b.kind == BoxEventKind::kInRegion) inRegion_.add(box);
      if (b.kind == BoxEventKind::kFalseAlarm) falseAlarms_.add(box);
    }
    // The boxes of the class the threshold kept out of the matching.
    belowThreshold_.clear();
    if (filter.threshold() == everyClass_.threshold()) {
      for (const QuorTarget* box : belowAll_) {
        if (everyClass || box->classCode == filter.classCode()) belowThreshold_.add(box);
      }
    } else {
      for (const QuorTarget* box : systemFrame.targets) {
        const bool ofClass = everyClass || box->classCode == filter.classCode();
        if (ofClass && !(box->confidence >= filter.threshold())) belowThreshold_.add(box);
      }
    }
    for (ExplainedBox& b : truths) {
      if (b.kind != BoxEventKind::kMiss) continue;
      const QuorTarget& object = *truthFrame.targets[static_cast<std::size_t>(b.box)];
      const int32_t allPartner =
          everyClass ? -1 : allTruthPartner_[static_cast<std::size_t>(b.box)];
      MissCause cause = MissCause::kMissed;
      if (allPartner >= 0 && systemFrame.targets[static_cast<std::size_t>(allPartner)]->classCode !=
                                 object.classCode) {
        cause = MissCause::kClassConfusion;
      } else if (inRegion_.anyReaches(object, matching, misses, measure)) {
        cause = MissCause::kDroppedInRegion;
      } else if (belowThreshold_.anyReaches(object, matching, misses, measure)) {
        cause = MissCause::kBelowThreshold;
      } else if (falseAlarms_.anyReaches(object, near_, misses, measure)) {
        cause = MissCause::kLocalization;
      }
      b.cause = static_cast<int8_t>(cause);
    }
  }

  if (falseAlarms > 0) {
    pairedTruths_.clear();
    missedTruths_.clear();
    for (const ExplainedBox& b : truths) {
      const QuorTarget* object = truthFrame.targets[static_cast<std::size_t>(b.box)];
      if (b.kind == BoxEventKind::kMatch && passed == nullptr) pairedTruths_.add(object);
      if (b.kind == BoxEventKind::kMiss) missedTruths_.add(object);
    }
    for (std::size_t at = 0; at < systems.size(); ++at) {
      ExplainedBox& b = systems[at];
      if (b.kind != BoxEventKind::kFalseAlarm) continue;
      const QuorTarget& box = *systemFrame.targets[static_cast<std::size_t>(b.box)];
      const int32_t allPartner =
          everyClass ? -1 : allSystemPartner_[static_cast<std::size_t>(b.box)];
      FalseAlarmCause cause = FalseAlarmCause::kBackground;
      if (allPartner >= 0 &&
          truthFrame.targets[static_cast<std::size_t>(allPartner)]->classCode != box.classCode) {
        cause = FalseAlarmCause::kClassConfusion;
      } else if (passed != nullptr
                     ? (*passed)[at] != 0
                     : pairedTruths_.anyReaches(box, matching, falseAlarms, measure)) {
        // A false alarm is never another box's partner, so every paired
        // object it matches is paired with another box. A box that passed
        // with an object of the matching did with a paired one (see
        // FrameEvents::systemPassed), and a paired object it matches passed
        // with it: a flag on either would have set the box aside.
        cause = FalseAlarmCause::kDuplicate;
      } else if (missedTruths_.anyReaches(box, near_, falseAlarms, measure)) {
        cause = FalseAlarmCause::kLocalization;
      }
      b.cause = static_cast<int8_t>(cause);
    }
  }
}
