#include "scoring/analysis/paired_counts.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "annotation/selection.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/frame_matching.h"

namespace {

// What the two matchings of a class made of each ground-truth box of a
// frame, by its position as read.
constexpr uint8_t kTakenByA = 1;
constexpr uint8_t kFoundByA = 2;
constexpr uint8_t kTakenByB = 4;
constexpr uint8_t kFoundByB = 8;

// One detector's counts of one class in a frame.
struct ClassTally {
  int64_t gt = 0;
  int64_t fn = 0;
  int64_t fp = 0;
};
using FrameTally = std::array<ClassTally, kClassCount>;

// Counts frames for every class and both detectors, with working memory
// kept from frame to frame; one per thread.
class PairedFrameCounter {
 public:
  PairedFrameCounter(float confidenceA, float confidenceB) {
    for (const char* name : evaluationClasses) {
      filtersA_.emplace_back(name, confidenceA);
      filtersB_.emplace_back(name, confidenceB);
    }
  }

  void add(const QuorFrame& truth, const QuorFrame* partnerA, const QuorFrame* partnerB,
           UnitCounts& unit, std::array<ObjectAgreement, kClassCount>& agreement) {
    const uint64_t truthClasses = classCodeMask(truth);
    boxes_ = truth.targets.size();
    state_.assign(kClassCount * boxes_, 0);
    countDetector(truth, partnerA, truthClasses, filtersA_, kTakenByA, kFoundByA, tallyA_);
    countDetector(truth, partnerB, truthClasses, filtersB_, kTakenByB, kFoundByB, tallyB_);
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      PairedClassCounts& counts = unit[slot];
      counts.gtA += tallyA_[slot].gt;
      counts.fnA += tallyA_[slot].fn;
      counts.fpA += tallyA_[slot].fp;
      counts.gtB += tallyB_[slot].gt;
      counts.fnB += tallyB_[slot].fn;
      counts.fpB += tallyB_[slot].fp;
      ObjectAgreement& objects = agreement[slot];
      for (std::size_t at = slot * boxes_; at < (slot + 1) * boxes_; ++at) {
        const uint8_t s = state_[at];
        if ((s & (kTakenByA | kTakenByB)) == 0) continue;
        const bool a = (s & kFoundByA) != 0;
        const bool b = (s & kFoundByB) != 0;
        ++(a ? (b ? objects.both : objects.aOnly) : (b ? objects.bOnly : objects.neither));
      }
    }
  }

 private:
  // One detector's matchings of every class in the frame, by the very code
  // the scoring uses, so its counts are the scoring's own: All and the
  // classes at its threshold on one scoring of the frame pair's touching
  // pairs, as the scoring matches them; without a partner frame, or in a
  // frame too crowded for that, class by class. A class of which neither
  // frame holds a box adds nothing.
  void countDetector(const QuorFrame& truth, const QuorFrame* partner, uint64_t truthClasses,
                     const std::vector<TargetFilter>& filters, uint8_t takenBit, uint8_t foundBit,
                     FrameTally& tally) {
    tally = {};
    const uint64_t classes = truthClasses | (partner != nullptr ? classCodeMask(*partner) : 0);
    std::array<bool, kClassCount> counted{};
    if (partner != nullptr && matchShared(truth, *partner, filters, classes)) {
      for (std::size_t k = 0; k < slots_.size(); ++k) {
        const std::size_t slot = slots_[k];
        // All's boxes, or those of one class among them, in order.
        const int32_t code = k == 0 ? -1 : codes_[k - 1];
        positions_.clear();
        for (std::size_t r = 0; r < truthSelection_.targets.size(); ++r) {
          if (code < 0 || truthSelection_.targets[r]->classCode == code) {
            positions_.push_back(truthPositions_[r]);
          }
        }
        record(sharedEvents_[k], positions_, slot, takenBit, foundBit, tally[slot]);
        counted[slot] = true;
      }
    }
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      if (counted[slot] || !filters[slot].mayTakeAny(classes)) continue;
      selectFrame(truth, filters[slot], truthSelection_);
      if (partner != nullptr) selectFrame(*partner, filters[slot], systemSelection_);
      evaluateFrameEvents(truthSelection_, partner != nullptr ? &systemSelection_ : nullptr, false,
                          false, events_);
      positionsOf(truth);
      record(events_, truthPositions_, slot, takenBit, foundBit, tally[slot]);
    }
  }

  // Matches All (filters[0]) and the classes of the frame pair at once
  // (evaluateFrameClassesEvents; a detector's filters share its threshold):
  // slots_ are the filters matched, All first, codes_ the classes' codes,
  // sharedEvents_ their events, and truthSelection_ All's ground-truth boxes
  // with their positions as read. False, with nothing matched, when All
  // takes no box or the frame is too crowded.
  bool matchShared(const QuorFrame& truth, const QuorFrame& partner,
                   const std::vector<TargetFilter>& filters, uint64_t classes) {
    const TargetFilter& every = filters[0];
    if (!every.everyClass() || !every.mayTakeAny(classes)) return false;
    codes_.clear();
    slots_.assign(1, 0);
    for (std::size_t slot = 1; slot < filters.size(); ++slot) {
      const TargetFilter& filter = filters[slot];
      if (filter.everyClass() || filter.classCode() < 0 || !filter.mayTakeAny(classes) ||
          std::find(codes_.begin(), codes_.end(), filter.classCode()) != codes_.end()) {
        continue;  // (a class named twice: the second one class by class)
      }
      codes_.push_back(filter.classCode());
      slots_.push_back(slot);
    }
    selectFrame(truth, every, truthSelection_);
    selectFrame(partner, every, systemSelection_);
    sharedEvents_.resize(slots_.size());
    if (!evaluateFrameClassesEvents(truthSelection_, systemSelection_, codes_, sharedEvents_)) {
      return false;
    }
    positionsOf(truth);
    return true;
  }

  // The position as read of each box of truthSelection_: the selection
  // keeps the boxes it takes in their order, so one walk finds them.
  void positionsOf(const QuorFrame& truth) {
    truthPositions_.clear();
    std::size_t at = 0;
    for (const QuorTarget* target : truthSelection_.targets) {
      while (truth.targets[at] != target) ++at;
      truthPositions_.push_back(at++);
    }
  }

  // One matching's counts, and what it made of each ground-truth box it
  // took (at positions[r] as read) in the class's slot of state_.
  void record(const FrameEvents& events, const std::vector<std::size_t>& positions,
              std::size_t slot, uint8_t takenBit, uint8_t foundBit, ClassTally& tally) {
    uint8_t* const state = state_.data() + slot * boxes_;
    for (std::size_t r = 0; r < events.truth.size(); ++r) {
      const TruthOutcome outcome = events.truth[r];
      if (outcome == TruthOutcome::kExcluded) continue;
      state[positions[r]] |= takenBit;
      ++tally.gt;
      if (outcome == TruthOutcome::kMatch) {
        state[positions[r]] |= foundBit;
      } else {
        ++tally.fn;
      }
    }
    for (const SystemOutcome outcome : events.system) {
      tally.fp += outcome == SystemOutcome::kFalseAlarm ? 1 : 0;
    }
  }

  std::vector<TargetFilter> filtersA_, filtersB_;
  FrameTally tallyA_{}, tallyB_{};
  QuorFrame truthSelection_{0}, systemSelection_{0};
  FrameEvents events_;
  std::vector<FrameEvents> sharedEvents_;
  std::vector<int32_t> codes_;
  std::vector<std::size_t> slots_;  // the filters of sharedEvents_: All first, then codes_'s
  std::vector<std::size_t> truthPositions_;
  std::vector<std::size_t> positions_;  // those of one class's boxes among them
  std::size_t boxes_ = 0;               // ground-truth boxes of the frame
  std::vector<uint8_t> state_;          // kClassCount slots of boxes_, by position as read
};

const QuorFrame* frameAt(const QuorSequence& system, int32_t at) {
  return at >= 0 ? &system.frames[static_cast<std::size_t>(at)] : nullptr;
}

}  // namespace

ObjectAgreement& ObjectAgreement::operator+=(const ObjectAgreement& other) {
  both += other.both;
  aOnly += other.aOnly;
  bOnly += other.bOnly;
  neither += other.neither;
  return *this;
}

std::size_t defaultBlockSize(int64_t frames) {
  if (frames <= 1) return 1;
  // The nearest whole k to the cube root: (2k - 1)^3 <= 8 frames < (2k + 1)^3,
  // checked in whole numbers from the floating-point guess.
  auto k = static_cast<int64_t>(std::llround(std::cbrt(static_cast<double>(frames))));
  const auto cube = [](int64_t odd) { return static_cast<__int128>(odd) * odd * odd; };
  const __int128 eight = static_cast<__int128>(frames) * 8;
  while (k > 1 && cube(2 * k - 1) > eight) --k;
  while (cube(2 * k + 1) <= eight) ++k;
  return static_cast<std::size_t>(std::max<int64_t>(k, 1));
}

PairedCounts countPaired(const QuorSequence& groundTruth, const QuorSequence& a,
                         const QuorSequence& b, const PairedCountOptions& options) {
  PairedCounts result;
  const std::size_t frameCount = groundTruth.frames.size();
  result.frames = static_cast<int64_t>(frameCount);
  result.block = options.block > 0 ? options.block : defaultBlockSize(result.frames);
  const std::size_t unitCount = (frameCount + result.block - 1) / result.block;
  result.units.assign(unitCount, UnitCounts{});
  const std::vector<int32_t> partnersA = pairFrames(groundTruth, a);
  const std::vector<int32_t> partnersB = pairFrames(groundTruth, b);

  // Workers take whole units in turn, so each unit's slot is written by one
  // worker only; the sums over the sequence go per worker, then together.
  const std::size_t workers =
      std::max<std::size_t>(1, std::min<std::size_t>(options.threads, unitCount));
  std::vector<std::array<ObjectAgreement, kClassCount>> parts(workers);
  std::atomic<std::size_t> nextUnit{0};
  const auto work = [&](std::size_t worker) {
    PairedFrameCounter counter(options.confidenceA, options.confidenceB);
    for (std::size_t unit; (unit = nextUnit.fetch_add(1)) < unitCount;) {
      const std::size_t end = std::min(frameCount, (unit + 1) * result.block);
      for (std::size_t at = unit * result.block; at < end; ++at) {
        counter.add(groundTruth.frames[at], frameAt(a, partnersA[at]), frameAt(b, partnersB[at]),
                    result.units[unit], parts[worker]);
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t worker = 1; worker < workers; ++worker) pool.emplace_back(work, worker);
    work(0);
  }
  for (const auto& part : parts) {
    for (std::size_t slot = 0; slot < kClassCount; ++slot) result.objects[slot] += part[slot];
  }
  return result;
}
