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
  // Each target is written to a list of room for all and kept by moving on
  // past it, without a branch on the filter's answer; the kept ones are then
  // copied into the frame, whose list grows to the widest class once and
  // then costs no allocation.
  thread_local std::vector<const QuorTarget*> written;
  if (written.size() < source.targets.size()) written.resize(source.targets.size());
  const QuorTarget** const out = written.data();
  std::size_t taken = 0;
  for (const QuorTarget* target : source.targets) {
    out[taken] = target;
    taken += filter(*target) ? 1 : 0;
  }
  setSelection(source, std::span<const QuorTarget* const>(out, taken), frame);
}

void setSelection(const QuorFrame& source, std::span<const QuorTarget* const> targets,
                  QuorFrame& frame) {
  frame.restart(source.frameNumber);
  frame.takeRulesOf(source);
  frame.targets.assign(targets.begin(), targets.end());
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
