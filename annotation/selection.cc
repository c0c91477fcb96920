#include "annotation/selection.h"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

TargetFilter::TargetFilter(const char* className, float threshold)
    : everyClass_(std::strcmp(className, "All") == 0),
      classCode_(findClassCode(className)),
      threshold_(threshold) {}

uint64_t classCodeMask(const QuorFrame& frame) {
  uint64_t mask = 0;
  for (const QuorTarget* target : frame.targets) mask |= TargetFilter::classBit(target->classCode);
  return mask;
}

void selectFrame(const QuorFrame& source, const TargetFilter& filter, QuorFrame& frame) {
  // A reused frame starts over as a new one, keeping only its lists' memory.
  std::vector<const QuorTarget*> targets = std::move(frame.targets);
  std::vector<const QuorTarget*> regions = std::move(frame.regions);
  frame = QuorFrame(source.frameNumber);
  frame.targets = std::move(targets);
  frame.regions = std::move(regions);
  // At most every target is taken: one allocation at most, and none once
  // the list has held a wide class. Each target is written and kept by
  // moving on past it, without a branch on the filter's answer.
  frame.targets.resize(source.targets.size());
  std::size_t taken = 0;
  for (const QuorTarget* target : source.targets) {
    frame.targets[taken] = target;
    taken += filter(*target) ? 1 : 0;
  }
  frame.targets.resize(taken);
  // Regions are kept whatever their class and confidence: they act in the matching.
  frame.regions.assign(source.regions.begin(), source.regions.end());
}

std::unique_ptr<QuorSequence> selectTargets(const QuorSequence& source, const char* className) {
  auto selection = std::make_unique<QuorSequence>();
  const TargetFilter filter(className, source.confidenceThreshold);
  selection->frames.reserve(source.frames.size());
  for (const QuorFrame& sourceFrame : source.frames) {
    selectFrame(sourceFrame, filter, selection->frames.emplace_back(sourceFrame.frameNumber));
  }
  return selection;
}
