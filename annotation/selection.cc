#include "annotation/selection.h"

#include <cstring>

std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className) {
  auto selection = std::make_unique<QuorSequence>();
  selectTargetsInto(source, className, *selection);
  return selection;
}

void selectTargetsInto(const QuorSequence& source, const char* className, QuorSequence& selection) {
  const QuorSequence fresh;
  selection.gtTotal = fresh.gtTotal;
  selection.detTotal = fresh.detTotal;
  selection.fpTotal = fresh.fpTotal;
  selection.fnTotal = fresh.fnTotal;
  selection.confidenceThreshold = fresh.confidenceThreshold;
  selection.keepMarkA = fresh.keepMarkA;
  selection.keepMarkB = fresh.keepMarkB;

  const bool everyClass = std::strcmp(className, "All") == 0;
  // Names compare exactly through their codes; a name without a code is
  // borne by no target.
  const int32_t wanted = findClassCode(className);
  const float threshold = source.confidenceThreshold;

  std::vector<QuorFrame>& frames = selection.frames;
  if (frames.size() > source.frames.size()) {
    frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(source.frames.size()), frames.end());
  }
  frames.reserve(source.frames.size());
  for (std::size_t at = 0; at < source.frames.size(); ++at) {
    const QuorFrame& sourceFrame = source.frames[at];
    if (at == frames.size()) frames.emplace_back(sourceFrame.frameNumber);
    QuorFrame& frame = frames[at];
    // A reused frame starts over as a new one, keeping only its lists' memory.
    std::vector<const QuorTarget*> targets = std::move(frame.targets);
    std::vector<const QuorTarget*> regions = std::move(frame.regions);
    frame = QuorFrame(sourceFrame.frameNumber);
    frame.targets = std::move(targets);
    frame.regions = std::move(regions);
    frame.targets.clear();
    // At most every target is taken: one allocation at most, and none once
    // the lists have held a wide class.
    frame.targets.reserve(sourceFrame.targets.size());
    for (const QuorTarget* target : sourceFrame.targets) {
      // A confidence equal to the threshold is selected.
      if (target->confidence >= threshold && (everyClass || target->classCode == wanted)) {
        frame.targets.push_back(target);
      }
    }
    // Regions are kept whatever their class and confidence: they act in the matching.
    frame.regions.assign(sourceFrame.regions.begin(), sourceFrame.regions.end());
  }
}
