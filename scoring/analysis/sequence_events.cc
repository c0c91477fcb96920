#include "scoring/analysis/sequence_events.h"

#include <cstddef>
#include <limits>
#include <vector>

#include "scoring/analysis/error_causes.h"
#include "scoring/counts/sequence_evaluation.h"

void forEachBoxEvent(const QuorSequence& groundTruth, const QuorSequence& system,
                     const TargetFilter& filter, const std::function<void(const BoxEvent&)>& visit,
                     float near) {
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  std::vector<char> paired(system.frames.size(), 0);
  FrameExplainer explainer(filter.threshold(), near);
  for (std::size_t at = 0; at < groundTruth.frames.size(); ++at) {
    const int32_t partner = partners[at];
    const QuorFrame* partnerFrame = nullptr;
    if (partner >= 0) {
      paired[static_cast<std::size_t>(partner)] = 1;
      partnerFrame = &system.frames[static_cast<std::size_t>(partner)];
    }
    explainer.start(groundTruth.frames[at], partnerFrame);
    explainer.explain(filter);
    const auto truthFrameAt = static_cast<int32_t>(at);
    for (const ExplainedBox& b : explainer.truths()) {
      visit({truthFrameAt, partner, false, b.box, b.kind, b.partner, b.cause, b.overlap});
    }
    for (const ExplainedBox& b : explainer.systems()) {
      visit({truthFrameAt, partner, true, b.box, b.kind, b.partner, b.cause, b.overlap});
    }
  }
  for (std::size_t at = 0; at < system.frames.size(); ++at) {
    if (paired[at] != 0) continue;
    const QuorFrame& frame = system.frames[at];
    for (std::size_t box = 0; box < frame.targets.size(); ++box) {
      if (!filter(*frame.targets[box])) continue;
      visit({-1, static_cast<int32_t>(at), true, static_cast<int32_t>(box),
             BoxEventKind::kUnpairedFrame, -1, -1, std::numeric_limits<float>::quiet_NaN()});
    }
  }
}
