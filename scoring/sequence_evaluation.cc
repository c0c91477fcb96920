#include "scoring/sequence_evaluation.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "scoring/frame_matching.h"

namespace {

// Adds the counts that evaluateFrame() left on a ground-truth frame. A
// frame without a partner adds its objects as misses and nothing else.
void addFrame(const QuorFrame& frame, bool paired, ClassTotals& totals) {
  totals.gt += frame.gtCount - frame.gtExcluded;
  if (paired) {
    totals.det += frame.detCount - frame.detExcluded;
    totals.fn += frame.fnCount;
    totals.fp += frame.fpCount;
  } else {
    totals.fn += frame.gtCount - frame.gtExcluded;
  }
}

const QuorFrame* partnerOf(const QuorSequence& system, int32_t partner) {
  return partner >= 0 && static_cast<std::size_t>(partner) < system.frames.size()
             ? &system.frames[static_cast<std::size_t>(partner)]
             : nullptr;
}

}  // namespace

bool ClassTotals::fitsIn32Bits() const {
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  return gt <= kLimit && det <= kLimit && fp <= kLimit && fn <= kLimit;
}

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
  groundTruth.gtTotal = 0;
  groundTruth.detTotal = 0;
  groundTruth.fpTotal = 0;
  groundTruth.fnTotal = 0;
  if (groundTruth.frames.empty()) return 1;
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);

  // A system frame is counted once for every ground-truth frame of its
  // number, so the totals can outgrow their 32-bit fields.
  ClassTotals totals;
  for (std::size_t at = 0; at < groundTruth.frames.size(); ++at) {
    QuorFrame& frame = groundTruth.frames[at];
    const QuorFrame* partner = partnerOf(system, partners[at]);
    evaluateFrame(frame, partner, groundTruth.keepMarkA, groundTruth.keepMarkB);
    addFrame(frame, partner != nullptr, totals);
  }
  if (!totals.fitsIn32Bits()) return -1;
  groundTruth.gtTotal = static_cast<int32_t>(totals.gt);
  groundTruth.detTotal = static_cast<int32_t>(totals.det);
  groundTruth.fpTotal = static_cast<int32_t>(totals.fp);
  groundTruth.fnTotal = static_cast<int32_t>(totals.fn);
  return 1;
}

std::vector<ClassTotals> evaluateClasses(const QuorSequence& groundTruth,
                                         const QuorSequence& system,
                                         const std::vector<TargetFilter>& filters) {
  std::vector<ClassTotals> totals(filters.size());
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  QuorFrame truthFrame(0);
  QuorFrame systemFrame(0);
  for (std::size_t at = 0; at < groundTruth.frames.size(); ++at) {
    const QuorFrame* partner = partnerOf(system, partners[at]);
    for (std::size_t c = 0; c < filters.size(); ++c) {
      selectFrame(groundTruth.frames[at], filters[c], truthFrame);
      if (partner != nullptr) selectFrame(*partner, filters[c], systemFrame);
      evaluateFrame(truthFrame, partner != nullptr ? &systemFrame : nullptr, false, false);
      addFrame(truthFrame, partner != nullptr, totals[c]);
    }
  }
  return totals;
}
