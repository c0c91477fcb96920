#include "scoring/sequence_evaluation.h"

#include <cstdint>
#include <limits>
#include <unordered_map>

#include "scoring/frame_matching.h"

int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system) {
  groundTruth.gtTotal = 0;
  groundTruth.detTotal = 0;
  groundTruth.fpTotal = 0;
  groundTruth.fnTotal = 0;
  if (groundTruth.frames.empty()) return 1;

  // Each ground-truth frame pairs with the first system frame of its number.
  std::unordered_map<uint32_t, const QuorFrame*> firstSystemFrame;
  firstSystemFrame.reserve(system.frames.size());
  for (const QuorFrame& frame : system.frames)
    firstSystemFrame.try_emplace(frame.frameNumber, &frame);

  // Totals are summed wide: a system frame is counted once for every
  // ground-truth frame of its number, so they can outgrow the 32-bit fields.
  int64_t gt = 0, det = 0, fp = 0, fn = 0;
  for (QuorFrame& frame : groundTruth.frames) {
    const auto partner = firstSystemFrame.find(frame.frameNumber);
    if (partner == firstSystemFrame.end()) {
      evaluateFrame(frame, nullptr, groundTruth.keepMarkA, groundTruth.keepMarkB);
      gt += frame.gtCount - frame.gtExcluded;
      fn += frame.gtCount - frame.gtExcluded;
    } else {
      evaluateFrame(frame, partner->second, groundTruth.keepMarkA, groundTruth.keepMarkB);
      gt += frame.gtCount - frame.gtExcluded;
      det += frame.detCount - frame.detExcluded;
      fn += frame.fnCount;
      fp += frame.fpCount;
    }
  }
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  if (gt > kLimit || det > kLimit || fp > kLimit || fn > kLimit) return -1;
  groundTruth.gtTotal = static_cast<int32_t>(gt);
  groundTruth.detTotal = static_cast<int32_t>(det);
  groundTruth.fpTotal = static_cast<int32_t>(fp);
  groundTruth.fnTotal = static_cast<int32_t>(fn);
  return 1;
}
