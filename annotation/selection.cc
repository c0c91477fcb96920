#include "annotation/selection.h"

#include <cstring>

std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className) {
  auto selection = std::make_unique<QuorSequence>();
  const bool everyClass = std::strcmp(className, "All") == 0;
  const float threshold = source.confidenceThreshold;
  selection->frames.reserve(source.frames.size());
  for (const QuorFrame& sourceFrame : source.frames) {
    QuorFrame& frame = selection->frames.emplace_back(sourceFrame.frameNumber);
    for (const QuorTarget* target : sourceFrame.targets) {
      // A confidence equal to the threshold is selected.
      if (!(target->confidence >= threshold)) continue;
      if (everyClass || std::strcmp(target->className, className) == 0) {
        frame.targets.push_back(target);
      }
    }
    // Regions are kept whatever their class and confidence: they act in the matching.
    frame.regions = sourceFrame.regions;
  }
  return selection;
}
