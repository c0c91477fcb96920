#include "annotation/selection.h"

#include <cstring>
#include <vector>

std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className) {
  auto selection = std::make_unique<QuorSequence>();
  const bool everyClass = std::strcmp(className, "All") == 0;
  // The requested name in the zero-padded form of QuorTarget::className, so
  // that the exact comparison is one fixed-size compare of the whole field.
  char wanted[sizeof(QuorTarget::className)] = {};
  const std::size_t length = std::strlen(className);
  const bool nameFits = length < sizeof wanted;  // a longer name matches no target
  if (nameFits) std::memcpy(wanted, className, length);
  const auto selected = [&](const QuorTarget* target) {
    // A confidence equal to the threshold is selected.
    return target->confidence >= source.confidenceThreshold &&
           (everyClass || (nameFits && std::memcmp(target->className, wanted, sizeof wanted) == 0));
  };

  selection->frames.reserve(source.frames.size());
  // Gathered here first, so that each frame's list is allocated once at its
  // exact size after a single look at each target.
  std::vector<const QuorTarget*> chosen;
  for (const QuorFrame& sourceFrame : source.frames) {
    QuorFrame& frame = selection->frames.emplace_back(sourceFrame.frameNumber);
    chosen.clear();
    for (const QuorTarget* target : sourceFrame.targets) {
      if (selected(target)) chosen.push_back(target);
    }
    frame.targets.assign(chosen.begin(), chosen.end());
    // Regions are kept whatever their class and confidence: they act in the matching.
    frame.regions = sourceFrame.regions;
  }
  return selection;
}
