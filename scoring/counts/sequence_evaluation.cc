#include "scoring/counts/sequence_evaluation.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "scoring/matching/frame_matching.h"

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

// The targets of a frame that reach a confidence, by class and in file order
// within each: one pass over the frame instead of one for every class, which
// on a frame of many classes was most of the selecting.
class ClassLists {
 public:
  // Class codes below this have a list: the known classes' codes and a few
  // more; a filter of any other class selects as before.
  static constexpr std::size_t kListed = 16;

  void fill(const QuorFrame& frame, float threshold) {
    threshold_ = threshold;
    starts_.fill(0);
    for (const QuorTarget* target : frame.targets) {
      if (takes(*target)) ++starts_[target->classCode + 1u];
    }
    for (std::size_t code = 0; code < kListed; ++code) starts_[code + 1] += starts_[code];
    targets_.resize(starts_[kListed]);
    std::array<uint32_t, kListed + 1> next = starts_;
    for (const QuorTarget* target : frame.targets) {
      if (takes(*target)) targets_[next[target->classCode]++] = target;
    }
  }
  float threshold() const { return threshold_; }
  /// The targets of class `code` (below kListed) that reached the threshold.
  std::span<const QuorTarget* const> of(int32_t code) const {
    const auto at = static_cast<std::size_t>(code);
    return std::span<const QuorTarget* const>(targets_).subspan(starts_[at],
                                                                starts_[at + 1] - starts_[at]);
  }

 private:
  bool takes(const QuorTarget& target) const {
    return target.confidence >= threshold_ && target.classCode < kListed;
  }

  float threshold_ = 0.0f;
  std::array<uint32_t, kListed + 1> starts_{};  // where each class's list starts
  std::vector<const QuorTarget*> targets_;
};

// Adds one class's counts of a frame that has a partner.
void addCounts(const FrameClassCounts& counts, ClassTotals& totals) {
  totals.gt += counts.gtCount - counts.gtExcluded;
  totals.det += counts.detCount - counts.detExcluded;
  totals.fn += counts.fnCount;
  totals.fp += counts.fpCount;
}

// All and the classes at its threshold, matched together on one scoring of
// the frame pair's touching pairs (evaluateFrameClasses) instead of one
// scoring per class. Filters of another threshold, or of a name no box
// bears, are left to the class-by-class road, and so is a crowded frame.
class SharedMatching {
 public:
  void clear() { taken_.clear(); }
  /// Matches what it can of the filters [first, last) and adds their counts.
  void match(const QuorFrame& truth, const QuorFrame& partner,
             const std::vector<TargetFilter>& filters, std::span<const uint32_t> candidates,
             uint64_t classes, QuorFrame& truthScratch, QuorFrame& systemScratch,
             std::vector<ClassTotals>& totals) {
    taken_.clear();
    constexpr std::size_t kNone = SIZE_MAX;
    std::size_t every = kNone;
    for (const uint32_t c : candidates) {
      if (filters[c].everyClass() && filters[c].mayTakeAny(classes)) {
        every = c;
        break;
      }
    }
    if (every == kNone) return;
    const float threshold = filters[every].threshold();
    codes_.clear();
    slots_.assign(1, every);
    for (const uint32_t c : candidates) {
      const TargetFilter& filter = filters[c];
      if (filter.everyClass() || filter.classCode() < 0 || filter.threshold() != threshold ||
          !filter.mayTakeAny(classes) || isMatched(filter.classCode())) {
        continue;  // (a class named twice: the second one the usual way)
      }
      slots_.push_back(c);
    }
    selectFrame(truth, filters[every], truthScratch);
    selectFrame(partner, filters[every], systemScratch);
    counts_.resize(slots_.size());
    const bool matched = evaluateFrameClasses(truthScratch, systemScratch, codes_, counts_);
    forgetMatched();
    if (!matched) return;
    for (std::size_t k = 0; k < slots_.size(); ++k) addCounts(counts_[k], totals[slots_[k]]);
    taken_ = slots_;
    std::sort(taken_.begin(), taken_.end());
  }
  /// Whether the last match() counted filter `c`.
  bool took(std::size_t c) const { return std::binary_search(taken_.begin(), taken_.end(), c); }

 private:
  // Whether a code is among codes_, noting it when not: a table by code,
  // as a frame of many classes would otherwise search the list for each.
  bool isMatched(int32_t code) {
    const auto at = static_cast<std::size_t>(code);
    if (at >= noted_.size()) noted_.resize(at + 1, 0);
    if (noted_[at] != 0) return true;
    noted_[at] = 1;
    codes_.push_back(code);
    return false;
  }
  void forgetMatched() {
    for (const int32_t code : codes_) noted_[static_cast<std::size_t>(code)] = 0;
  }

  std::vector<uint8_t> noted_;  // by class code: 1 when in codes_
  std::vector<int32_t> codes_;
  std::vector<std::size_t> slots_;  // the filters matched: All first, then codes_'s
  std::vector<std::size_t> taken_;  // those counted by the last match()
  std::vector<FrameClassCounts> counts_;
};

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

namespace {

// Scores the ground-truth frames [begin, end) for the filters [firstFilter,
// lastFilter), adding to `totals`.
void evaluateFrameRange(const QuorSequence& groundTruth, const QuorSequence& system,
                        const std::vector<TargetFilter>& filters, const FilterIndex& index,
                        const std::vector<int32_t>& partners, std::size_t begin, std::size_t end,
                        std::size_t firstFilter, std::size_t lastFilter,
                        std::vector<ClassTotals>& totals) {
  QuorFrame truthFrame(0);
  QuorFrame systemFrame(0);
  for (std::size_t at = begin; at < end; ++at) {
    evaluateFramePair(groundTruth.frames[at], partnerOf(system, partners[at]), filters, firstFilter,
                      lastFilter, totals, truthFrame, systemFrame, &index);
  }
}

void addTotals(std::vector<ClassTotals>& sum, const std::vector<ClassTotals>& part) {
  for (std::size_t c = 0; c < sum.size(); ++c) {
    sum[c].gt += part[c].gt;
    sum[c].det += part[c].det;
    sum[c].fp += part[c].fp;
    sum[c].fn += part[c].fn;
  }
}

}  // namespace

FilterIndex::FilterIndex(const std::vector<TargetFilter>& filters) {
  std::size_t codes = 0;
  for (const TargetFilter& filter : filters) {
    if (!filter.everyClass() && filter.classCode() >= 0) {
      codes = std::max(codes, static_cast<std::size_t>(filter.classCode()) + 1);
    }
  }
  // Past 63 codes share the mask's last bit; and a long list is asked
  // filter by filter on every frame.
  masksSuffice_ = codes <= 63 && filters.size() <= 64;
  starts_.assign(codes + 1, 0);
  for (std::size_t c = 0; c < filters.size(); ++c) {
    const TargetFilter& filter = filters[c];
    if (filter.everyClass()) {
      every_.push_back(static_cast<uint32_t>(c));
    } else if (filter.classCode() >= 0) {
      ++starts_[static_cast<std::size_t>(filter.classCode()) + 1];
    }
  }
  for (std::size_t code = 0; code < codes; ++code) starts_[code + 1] += starts_[code];
  byCode_.resize(starts_[codes]);
  std::vector<uint32_t> next(starts_.begin(), starts_.end() - 1);
  for (std::size_t c = 0; c < filters.size(); ++c) {
    const TargetFilter& filter = filters[c];
    if (!filter.everyClass() && filter.classCode() >= 0) {
      byCode_[next[static_cast<std::size_t>(filter.classCode())]++] = static_cast<uint32_t>(c);
    }
  }
}

void FilterIndex::filtersFor(const QuorFrame& truth, const QuorFrame* partner, std::size_t first,
                             std::size_t last, std::vector<uint32_t>& out) const {
  out.clear();
  const auto take = [&](uint32_t c) {
    if (c >= first && c < last) out.push_back(c);
  };
  for (const uint32_t c : every_) take(c);
  // Each class code once: the codes met are marked, then unmarked.
  thread_local std::vector<uint8_t> met;
  thread_local std::vector<uint16_t> codes;
  if (met.size() < starts_.size()) met.resize(starts_.size(), 0);
  codes.clear();
  const std::size_t known = starts_.size() - 1;
  const auto note = [&](const QuorFrame& frame) {
    for (const QuorTarget* target : frame.targets) {
      const uint16_t code = target->classCode;
      if (code < known && met[code] == 0) {
        met[code] = 1;
        codes.push_back(code);
      }
    }
  };
  note(truth);
  if (partner != nullptr) note(*partner);
  for (const uint16_t code : codes) {
    met[code] = 0;
    for (uint32_t at = starts_[code]; at < starts_[code + 1]; ++at) take(byCode_[at]);
  }
  std::sort(out.begin(), out.end());
}

void evaluateFramePair(const QuorFrame& truth, const QuorFrame* partner,
                       const std::vector<TargetFilter>& filters, std::size_t firstFilter,
                       std::size_t lastFilter, std::vector<ClassTotals>& totals,
                       QuorFrame& truthScratch, QuorFrame& systemScratch,
                       const FilterIndex* index) {
  // A class of which neither frame holds a target adds nothing.
  const uint64_t classes =
      classCodeMask(truth) | (partner != nullptr ? classCodeMask(*partner) : 0);
  // The filters to look at: all of them when the masks tell their classes
  // apart, otherwise those the frames' boxes call for.
  thread_local std::vector<uint32_t> candidates;
  if (index != nullptr && !index->masksSuffice()) {
    index->filtersFor(truth, partner, firstFilter, lastFilter, candidates);
  } else {
    candidates.resize(lastFilter - firstFilter);
    for (std::size_t c = firstFilter; c < lastFilter; ++c) {
      candidates[c - firstFilter] = static_cast<uint32_t>(c);
    }
  }
  thread_local SharedMatching shared;
  if (partner != nullptr) {
    shared.match(truth, *partner, filters, candidates, classes, truthScratch, systemScratch,
                 totals);
  } else {
    shared.clear();
  }
  thread_local ClassLists truthLists, systemLists;
  bool listed = false;
  for (const uint32_t c : candidates) {
    const TargetFilter& filter = filters[c];
    if (!filter.mayTakeAny(classes) || shared.took(c)) continue;
    const int32_t code = filter.classCode();
    if (!filter.everyClass() && code >= 0 && static_cast<std::size_t>(code) < ClassLists::kListed &&
        (!listed || truthLists.threshold() == filter.threshold())) {
      // One class: its targets come from the frame's lists, made at most once.
      if (!listed) {
        truthLists.fill(truth, filter.threshold());
        if (partner != nullptr) systemLists.fill(*partner, filter.threshold());
        listed = true;
      }
      setSelection(truth, truthLists.of(code), truthScratch);
      if (partner != nullptr) setSelection(*partner, systemLists.of(code), systemScratch);
    } else {
      selectFrame(truth, filter, truthScratch);
      if (partner != nullptr) selectFrame(*partner, filter, systemScratch);
    }
    evaluateFrame(truthScratch, partner != nullptr ? &systemScratch : nullptr, false, false);
    addFrame(truthScratch, partner != nullptr, totals[c]);
  }
}

unsigned defaultThreadCount() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    const int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<unsigned>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<ClassTotals> evaluateClasses(const QuorSequence& groundTruth,
                                         const QuorSequence& system,
                                         const std::vector<TargetFilter>& filters,
                                         unsigned threads) {
  std::vector<ClassTotals> totals(filters.size());
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  const FilterIndex index(filters);
  const std::size_t frameCount = groundTruth.frames.size();
  // Work is shared out in items taken in turn by whichever thread is free,
  // so that a thread given crowded frames does not hold up the others. A
  // long sequence goes in batches of frames (all classes of a frame while
  // its boxes are in cache); a short one, down to a single crowded frame,
  // one frame and class at a time.
  constexpr std::size_t kFramesPerBatch = 256;
  const std::size_t classes = filters.size();
  const bool fine = frameCount < 4 * kFramesPerBatch * std::size_t{threads};
  const std::size_t itemCount =
      fine ? frameCount * classes : (frameCount + kFramesPerBatch - 1) / kFramesPerBatch;
  const std::size_t workers = std::min<std::size_t>(threads, itemCount);
  if (workers <= 1) {
    evaluateFrameRange(groundTruth, system, filters, index, partners, 0, frameCount, 0, classes,
                       totals);
    return totals;
  }
  std::atomic<std::size_t> nextItem{0};
  std::vector<std::vector<ClassTotals>> perWorker(workers, std::vector<ClassTotals>(classes));
  const auto work = [&](std::size_t worker) {
    for (std::size_t item; (item = nextItem.fetch_add(1)) < itemCount;) {
      if (fine) {
        const std::size_t frame = item / classes;
        const std::size_t filter = item % classes;
        evaluateFrameRange(groundTruth, system, filters, index, partners, frame, frame + 1, filter,
                           filter + 1, perWorker[worker]);
      } else {
        const std::size_t begin = item * kFramesPerBatch;
        evaluateFrameRange(groundTruth, system, filters, index, partners, begin,
                           std::min(frameCount, begin + kFramesPerBatch), 0, classes,
                           perWorker[worker]);
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t worker = 1; worker < workers; ++worker) pool.emplace_back(work, worker);
    work(0);
  }
  for (const std::vector<ClassTotals>& part : perWorker) addTotals(totals, part);
  return totals;
}
