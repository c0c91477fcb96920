#include "scoring/sequence_events.h"

#include <cstddef>
#include <vector>

#include "scoring/sequence_evaluation.h"

namespace {

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

}  // namespace

void forEachBoxEvent(const QuorSequence& groundTruth, const QuorSequence& system,
                     const TargetFilter& filter,
                     const std::function<void(const BoxEvent&)>& visit) {
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  std::vector<char> paired(system.frames.size(), 0);
  QuorFrame truthFrame(0);
  QuorFrame systemFrame(0);
  std::vector<int32_t> truthPositions;
  std::vector<int32_t> systemPositions;
  FrameEvents events;
  for (std::size_t at = 0; at < groundTruth.frames.size(); ++at) {
    const int32_t partner = partners[at];
    selectFrame(groundTruth.frames[at], filter, truthFrame);
    positionsOf(groundTruth.frames[at], truthFrame, truthPositions);
    if (partner >= 0) {
      const QuorFrame& source = system.frames[static_cast<std::size_t>(partner)];
      paired[static_cast<std::size_t>(partner)] = 1;
      selectFrame(source, filter, systemFrame);
      positionsOf(source, systemFrame, systemPositions);
    }
    evaluateFrameEvents(truthFrame, partner >= 0 ? &systemFrame : nullptr, false, false, events);
    const auto truthFrameAt = static_cast<int32_t>(at);
    for (std::size_t r = 0; r < truthPositions.size(); ++r) {
      const int32_t partnerBox = events.truthPartner[r];
      visit({truthFrameAt, partner, false, truthPositions[r], kindOf(events.truth[r]),
             partnerBox < 0 ? -1 : systemPositions[static_cast<std::size_t>(partnerBox)]});
    }
    if (partner < 0) continue;
    for (std::size_t c = 0; c < systemPositions.size(); ++c) {
      const BoxEventKind kind = kindOf(events.system[c]);
      int32_t partnerBox = events.systemPartner[c];
      // Matches and set-asides name a ground-truth box, regions are never selected away.
      if (partnerBox >= 0 && kind != BoxEventKind::kInRegion) {
        partnerBox = truthPositions[static_cast<std::size_t>(partnerBox)];
      }
      visit({truthFrameAt, partner, true, systemPositions[c], kind, partnerBox});
    }
  }
  for (std::size_t at = 0; at < system.frames.size(); ++at) {
    if (paired[at] != 0) continue;
    const QuorFrame& frame = system.frames[at];
    for (std::size_t box = 0; box < frame.targets.size(); ++box) {
      if (!filter(*frame.targets[box])) continue;
      visit({-1, static_cast<int32_t>(at), true, static_cast<int32_t>(box),
             BoxEventKind::kUnpairedFrame, -1});
    }
  }
}
