#include "scoring/analysis/paired_counts.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "annotation/selection.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/frame_matching.h"

namespace {

// What the two matchings made of a ground-truth box of a frame, by its
// position as read: a box is in All's matching and in its own class's, and
// in no other.
constexpr uint8_t kTakenByA = 1;
constexpr uint8_t kFoundByA = 2;
constexpr uint8_t kTakenByB = 4;
constexpr uint8_t kFoundByB = 8;
constexpr std::size_t kAllsMatching = 0;
constexpr std::size_t kClasssMatching = 1;

// One detector's counts of one class in a frame.
struct ClassTally {
  int64_t gt = 0;
  int64_t fn = 0;
  int64_t fp = 0;
};

// A worker's counts of the unit it is on, a row per class of the set, with
// the rows touched since the unit began: handing the unit over costs the
// classes it has boxes of, not the set's size.
class UnitTally {
 public:
  explicit UnitTally(std::size_t rows) : counts_(rows), touched_(rows, 0) {}

  void add(std::size_t row, const ClassTally& tally, bool detectorB) {
    if (tally.gt == 0 && tally.fn == 0 && tally.fp == 0) return;
    if (touched_[row] == 0) {
      touched_[row] = 1;
      rows_.push_back(row);
    }
    PairedClassCounts& c = counts_[row];
    (detectorB ? c.gtB : c.gtA) += tally.gt;
    (detectorB ? c.fnB : c.fnA) += tally.fn;
    (detectorB ? c.fpB : c.fpA) += tally.fp;
  }
  /// The unit's counts; the tally starts again from nothing.
  UnitCounts take() {
    std::sort(rows_.begin(), rows_.end());
    UnitCounts unit;
    for (const std::size_t row : rows_) {
      unit.append(row, counts_[row]);
      counts_[row] = {};
      touched_[row] = 0;
    }
    rows_.clear();
    return unit;
  }

 private:
  std::vector<PairedClassCounts> counts_;
  std::vector<uint8_t> touched_;
  std::vector<std::size_t> rows_;
};

// What a comparison shares among its workers: both detectors' filters (a
// row each of the set, at each detector's threshold), which of them a frame
// needs, and the row of each class code.
struct Classes {
  std::vector<TargetFilter> filtersA, filtersB;
  FilterIndex index;          // of filtersA; filtersB take the same classes
  std::vector<int32_t> rows;  // by class code: its row, -1 for a code of no row

  Classes(const ClassSet& set, float confidenceA, float confidenceB)
      : filtersA(classFilters(set, confidenceA)),
        filtersB(classFilters(set, confidenceB)),
        index(filtersA) {
    for (std::size_t row = 1; row < set.rows(); ++row) {
      const uint16_t code = set.code(row);
      if (code >= rows.size()) rows.resize(std::size_t{code} + 1, -1);
      rows[code] = static_cast<int32_t>(row);
    }
  }
  int32_t rowOf(uint16_t code) const { return code < rows.size() ? rows[code] : -1; }
};

// Counts frames for both detectors in the classes their boxes bear, with
// working memory kept from frame to frame; one per thread.
class PairedFrameCounter {
 public:
  explicit PairedFrameCounter(const Classes& classes)
      : classes_(classes), kOfCode_(classes.rows.size(), 0) {}

  void add(const QuorFrame& truth, const QuorFrame* partnerA, const QuorFrame* partnerB,
           UnitTally& unit, std::vector<ObjectAgreement>& agreement) {
    boxes_ = truth.targets.size();
    state_.assign(2 * boxes_, 0);
    countDetector(truth, partnerA, classes_.filtersA, kTakenByA, kFoundByA, false, unit);
    countDetector(truth, partnerB, classes_.filtersB, kTakenByB, kFoundByB, true, unit);
    const auto agree = [](uint8_t s, ObjectAgreement& objects) {
      if ((s & (kTakenByA | kTakenByB)) == 0) return;
      const bool a = (s & kFoundByA) != 0;
      const bool b = (s & kFoundByB) != 0;
      ++(a ? (b ? objects.both : objects.aOnly) : (b ? objects.bOnly : objects.neither));
    };
    for (std::size_t at = 0; at < boxes_; ++at) {
      agree(state_[2 * at + kAllsMatching], agreement[0]);
      const uint8_t own = state_[2 * at + kClasssMatching];
      if (own != 0) {
        agree(own,
              agreement[static_cast<std::size_t>(classes_.rowOf(truth.targets[at]->classCode))]);
      }
    }
  }

 private:
  // One detector's matchings of All and of every class the frames' boxes
  // bear, by the very code the scoring uses, so its counts are the
  // scoring's own: All and the classes at its threshold on one scoring of
  // the frame pair's touching pairs, as the scoring matches them; without a
  // partner frame, or in a frame too crowded for that, class by class.
  void countDetector(const QuorFrame& truth, const QuorFrame* partner,
                     const std::vector<TargetFilter>& filters, uint8_t takenBit, uint8_t foundBit,
                     bool detectorB, UnitTally& unit) {
    const uint64_t mask = classCodeMask(truth) | (partner != nullptr ? classCodeMask(*partner) : 0);
    classes_.index.filtersFor(truth, partner, 0, filters.size(), candidates_);
    counted_.assign(candidates_.size(), 0);
    ClassTally tally;
    if (partner != nullptr && matchShared(truth, *partner, filters, mask)) {
      for (std::size_t k = 0; k < slots_.size(); ++k) {
        // All's boxes, or those of one class among them, in order.
        const std::span<const std::size_t> positions =
            k == 0 ? std::span<const std::size_t>(truthPositions_)
                   : std::span<const std::size_t>(classPositions_)
                         .subspan(classStarts_[k], classStarts_[k + 1] - classStarts_[k]);
        tally = {};
        record(sharedEvents_[k], positions, k == 0 ? kAllsMatching : kClasssMatching, takenBit,
               foundBit, tally);
        unit.add(candidates_[slots_[k]], tally, detectorB);
        counted_[slots_[k]] = 1;
      }
    }
    for (std::size_t c = 0; c < candidates_.size(); ++c) {
      const TargetFilter& filter = filters[candidates_[c]];
      if (counted_[c] != 0 || !filter.mayTakeAny(mask)) continue;
      selectFrame(truth, filter, truthSelection_);
      if (partner != nullptr) selectFrame(*partner, filter, systemSelection_);
      evaluateFrameEvents(truthSelection_, partner != nullptr ? &systemSelection_ : nullptr, false,
                          false, events_);
      positionsOf(truth);
      tally = {};
      record(events_, truthPositions_, filter.everyClass() ? kAllsMatching : kClasssMatching,
             takenBit, foundBit, tally);
      unit.add(candidates_[c], tally, detectorB);
    }
  }

  // Matches All (filters[0]) and the classes of the frame pair at once
  // (evaluateFrameClassesEvents; a detector's filters share its threshold):
  // slots_ are the candidates matched, All first, codes_ the classes'
  // codes, sharedEvents_ their events, truthSelection_ All's ground-truth
  // boxes with their positions as read, and classPositions_ those of each
  // class in turn (from classStarts_[k]). False, with nothing matched, when
  // All takes no box or the frame is too crowded.
  bool matchShared(const QuorFrame& truth, const QuorFrame& partner,
                   const std::vector<TargetFilter>& filters, uint64_t mask) {
    const TargetFilter& every = filters[0];
    if (candidates_.empty() || candidates_[0] != 0 || !every.everyClass() ||
        !every.mayTakeAny(mask)) {
      return false;
    }
    codes_.clear();
    slots_.assign(1, 0);
    for (std::size_t c = 1; c < candidates_.size(); ++c) {
      const TargetFilter& filter = filters[candidates_[c]];
      if (filter.everyClass() || filter.classCode() < 0) continue;
      codes_.push_back(filter.classCode());
      slots_.push_back(c);
    }
    selectFrame(truth, every, truthSelection_);
    selectFrame(partner, every, systemSelection_);
    sharedEvents_.resize(slots_.size());
    if (!evaluateFrameClassesEvents(truthSelection_, systemSelection_, codes_, sharedEvents_)) {
      return false;
    }
    positionsOf(truth);
    // The boxes of each class among All's, by a count of each class's.
    for (std::size_t k = 0; k < codes_.size(); ++k) {
      kOfCode_[static_cast<std::size_t>(codes_[k])] = static_cast<uint32_t>(k + 1);
    }
    classStarts_.assign(slots_.size() + 1, 0);
    const auto kOf = [&](const QuorTarget* target) -> uint32_t {
      return target->classCode < kOfCode_.size() ? kOfCode_[target->classCode] : 0;
    };
    for (const QuorTarget* target : truthSelection_.targets) ++classStarts_[kOf(target) + 1];
    for (std::size_t k = 1; k < classStarts_.size(); ++k) classStarts_[k] += classStarts_[k - 1];
    classPositions_.resize(classStarts_.back());
    next_.assign(classStarts_.begin(), classStarts_.end() - 1);
    for (std::size_t r = 0; r < truthSelection_.targets.size(); ++r) {
      classPositions_[next_[kOf(truthSelection_.targets[r])]++] = truthPositions_[r];
    }
    for (const int32_t code : codes_) kOfCode_[static_cast<std::size_t>(code)] = 0;
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
  // took (at positions[r] as read) in the matching's place of state_.
  void record(const FrameEvents& events, std::span<const std::size_t> positions,
              std::size_t matching, uint8_t takenBit, uint8_t foundBit, ClassTally& tally) {
    for (std::size_t r = 0; r < events.truth.size(); ++r) {
      const TruthOutcome outcome = events.truth[r];
      if (outcome == TruthOutcome::kExcluded) continue;
      uint8_t& state = state_[2 * positions[r] + matching];
      state |= takenBit;
      ++tally.gt;
      if (outcome == TruthOutcome::kMatch) {
        state |= foundBit;
      } else {
        ++tally.fn;
      }
    }
    for (const SystemOutcome outcome : events.system) {
      tally.fp += outcome == SystemOutcome::kFalseAlarm ? 1 : 0;
    }
  }

  const Classes& classes_;
  QuorFrame truthSelection_{0}, systemSelection_{0};
  FrameEvents events_;
  std::vector<FrameEvents> sharedEvents_;
  std::vector<uint32_t> candidates_;  // the rows the frame pair needs, ascending
  std::vector<uint8_t> counted_;      // by candidate: matched with All
  std::vector<int32_t> codes_;
  std::vector<std::size_t> slots_;  // the candidates of sharedEvents_: All first, then codes_'s
  std::vector<uint32_t> kOfCode_;   // by class code: 1 + its place in codes_, 0 for none
  std::vector<std::size_t> truthPositions_;
  std::vector<std::size_t> classStarts_, next_, classPositions_;
  std::size_t boxes_ = 0;       // ground-truth boxes of the frame
  std::vector<uint8_t> state_;  // two places per box by position as read: All's, its class's
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

ClassSetPtr pairedClasses(const QuorSequence& groundTruth, const QuorSequence& a,
                          const QuorSequence& b) {
  ClassSetPtr first = pairClasses(groundTruth, a);
  const ClassSet& other = classesOf(b);
  if (first.get() == &other || *first == other) return first;
  std::vector<std::string> names = first->names();
  for (const std::string& name : other.names()) {
    if (!first->rowOf(name)) names.push_back(name);
  }
  if (names.size() == first->names().size()) return first;
  return std::make_shared<const ClassSet>(std::move(names));
}

PairedCounts countPaired(const QuorSequence& groundTruth, const QuorSequence& a,
                         const QuorSequence& b, const PairedCountOptions& options) {
  return countPaired(groundTruth, a, b, pairedClasses(groundTruth, a, b), options);
}

PairedCounts countPaired(const QuorSequence& groundTruth, const QuorSequence& a,
                         const QuorSequence& b, ClassSetPtr classSet,
                         const PairedCountOptions& options) {
  PairedCounts result;
  result.classSet = std::move(classSet);
  const std::size_t rows = result.classSet->rows();
  const std::size_t frameCount = groundTruth.frames.size();
  result.frames = static_cast<int64_t>(frameCount);
  result.block = options.block > 0 ? options.block : defaultBlockSize(result.frames);
  const std::size_t unitCount = (frameCount + result.block - 1) / result.block;
  result.units.assign(unitCount, UnitCounts{});
  const std::vector<int32_t> partnersA = pairFrames(groundTruth, a);
  const std::vector<int32_t> partnersB = pairFrames(groundTruth, b);
  const Classes classes(*result.classSet, options.confidenceA, options.confidenceB);

  // Workers take whole units in turn, so each unit's slot is written by one
  // worker only; the sums over the sequence go per worker, then together.
  const std::size_t workers =
      std::max<std::size_t>(1, std::min<std::size_t>(options.threads, unitCount));
  std::vector<std::vector<ObjectAgreement>> parts(workers, std::vector<ObjectAgreement>(rows));
  std::atomic<std::size_t> nextUnit{0};
  const auto work = [&](std::size_t worker) {
    PairedFrameCounter counter(classes);
    UnitTally tally(rows);
    for (std::size_t unit; (unit = nextUnit.fetch_add(1)) < unitCount;) {
      const std::size_t end = std::min(frameCount, (unit + 1) * result.block);
      for (std::size_t at = unit * result.block; at < end; ++at) {
        counter.add(groundTruth.frames[at], frameAt(a, partnersA[at]), frameAt(b, partnersB[at]),
                    tally, parts[worker]);
      }
      result.units[unit] = tally.take();
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t worker = 1; worker < workers; ++worker) pool.emplace_back(work, worker);
    work(0);
  }
  result.objects.assign(rows, ObjectAgreement{});
  for (const auto& part : parts) {
    for (std::size_t row = 0; row < rows; ++row) result.objects[row] += part[row];
  }
  return result;
}
