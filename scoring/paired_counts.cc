#include "scoring/paired_counts.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "annotation/selection.h"
#include "scoring/frame_matching.h"
#include "scoring/sequence_evaluation.h"

namespace {

// What the two matchings of a class made of each ground-truth box of a
// frame, by its position as read.
constexpr uint8_t kTakenByA = 1;
constexpr uint8_t kFoundByA = 2;
constexpr uint8_t kTakenByB = 4;
constexpr uint8_t kFoundByB = 8;

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
    const uint64_t classesA = truthClasses | (partnerA != nullptr ? classCodeMask(*partnerA) : 0);
    const uint64_t classesB = truthClasses | (partnerB != nullptr ? classCodeMask(*partnerB) : 0);
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      const bool withA = filtersA_[slot].mayTakeAny(classesA);
      const bool withB = filtersB_[slot].mayTakeAny(classesB);
      if (!withA && !withB) continue;  // neither frame pair holds a box of the class
      state_.assign(truth.targets.size(), 0);
      PairedClassCounts& counts = unit[slot];
      if (withA) {
        match(truth, partnerA, filtersA_[slot], kTakenByA, kFoundByA, counts.gtA, counts.fnA,
              counts.fpA);
      }
      if (withB) {
        match(truth, partnerB, filtersB_[slot], kTakenByB, kFoundByB, counts.gtB, counts.fnB,
              counts.fpB);
      }
      ObjectAgreement& objects = agreement[slot];
      for (const uint8_t s : state_) {
        if ((s & (kTakenByA | kTakenByB)) == 0) continue;
        const bool a = (s & kFoundByA) != 0;
        const bool b = (s & kFoundByB) != 0;
        ++(a ? (b ? objects.both : objects.aOnly) : (b ? objects.bOnly : objects.neither));
      }
    }
  }

 private:
  // One detector's matching of one class in the frame, by the very code the
  // scoring uses, so its counts are the scoring's own.
  void match(const QuorFrame& truth, const QuorFrame* partner, const TargetFilter& filter,
             uint8_t takenBit, uint8_t foundBit, int64_t& gt, int64_t& fn, int64_t& fp) {
    selectFrame(truth, filter, truthSelection_);
    if (partner != nullptr) selectFrame(*partner, filter, systemSelection_);
    evaluateFrameEvents(truthSelection_, partner != nullptr ? &systemSelection_ : nullptr, false,
                        false, events_);
    // The selection keeps the boxes it takes in their order, so one walk
    // finds each one's position as read.
    std::size_t at = 0;
    int64_t objects = 0, misses = 0, falseAlarms = 0;
    for (std::size_t r = 0; r < truthSelection_.targets.size(); ++r) {
      while (truth.targets[at] != truthSelection_.targets[r]) ++at;
      const TruthOutcome outcome = events_.truth[r];
      if (outcome != TruthOutcome::kExcluded) {
        state_[at] |= takenBit;
        ++objects;
        if (outcome == TruthOutcome::kMatch) {
          state_[at] |= foundBit;
        } else {
          ++misses;
        }
      }
      ++at;
    }
    for (const SystemOutcome outcome : events_.system) {
      falseAlarms += outcome == SystemOutcome::kFalseAlarm ? 1 : 0;
    }
    gt += objects;
    fn += misses;
    fp += falseAlarms;
  }

  std::vector<TargetFilter> filtersA_, filtersB_;
  QuorFrame truthSelection_{0}, systemSelection_{0};
  FrameEvents events_;
  std::vector<uint8_t> state_;
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
