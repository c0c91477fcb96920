#include "scoring/sequence_evaluation.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "scoring/frame_matching.h"

std::vector<int32_t> pairFrames(const QuorSequence& groundTruth, const QuorSequence& system) {
  // The system frames sorted by number, the earliest first among equal
  // numbers: the first frame of a number in file order is its partner.
  std::vector<std::pair<uint32_t, int32_t>> byNumber;
  byNumber.reserve(system.frames.size());
  for (std::size_t at = 0; at < system.frames.size(); ++at) {
    byNumber.emplace_back(system.frames[at].frameNumber, static_cast<int32_t>(at));
  }
  std::sort(byNumber.begin(), byNumber.end());
  std::vector<int32_t> partners;
  partners.reserve(groundTruth.frames.size());
  for (const QuorFrame& frame : groundTruth.frames) {
    const auto found = std::lower_bound(byNumber.begin(), byNumber.end(),
                                        std::pair<uint32_t, int32_t>(frame.frameNumber, -1));
    partners.push_back(found != byNumber.end() && found->first == frame.frameNumber ? found->second
                                                                                    : -1);
  }
  return partners;
}

int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system) {
  return evaluateSequence(groundTruth, system, pairFrames(groundTruth, system));
}

int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system,
                     const std::vector<int32_t>& partners) {
  groundTruth.gtTotal = 0;
  groundTruth.detTotal = 0;
  groundTruth.fpTotal = 0;
  groundTruth.fnTotal = 0;
  if (groundTruth.frames.empty()) return 1;
  if (partners.size() != groundTruth.frames.size()) {
    return evaluateSequence(groundTruth, system, pairFrames(groundTruth, system));
  }

  // Totals are summed wide: a system frame is counted once for every
  // ground-truth frame of its number, so they can outgrow the 32-bit fields.
  int64_t gt = 0, det = 0, fp = 0, fn = 0;
  for (std::size_t at = 0; at < groundTruth.frames.size(); ++at) {
    QuorFrame& frame = groundTruth.frames[at];
    const int32_t partner = partners[at];
    if (partner < 0 || static_cast<std::size_t>(partner) >= system.frames.size()) {
      evaluateFrame(frame, nullptr, groundTruth.keepMarkA, groundTruth.keepMarkB);
      gt += frame.gtCount - frame.gtExcluded;
      fn += frame.gtCount - frame.gtExcluded;
    } else {
      evaluateFrame(frame, &system.frames[static_cast<std::size_t>(partner)], groundTruth.keepMarkA,
                    groundTruth.keepMarkB);
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
