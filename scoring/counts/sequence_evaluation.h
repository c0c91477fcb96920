// Scoring of one class over a whole sequence.
#pragma once

#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"

/// For each frame of `groundTruth`, the position in `system.frames` of the
/// first frame with the same number, or -1 when there is none.
std::vector<int32_t> pairFrames(const QuorSequence& groundTruth, const QuorSequence& system);

/// Pairs every ground-truth frame with the first system frame of the same
/// number, matches each, and sums the counts into the four totals of
/// `groundTruth`. Returns 1, or -1 when a total would leave the 32-bit range.
int evaluateSequence(QuorSequence& groundTruth, const QuorSequence& system);

/// One class's totals, summed wide so that they can be checked against the
/// 32-bit range before they are reported.
struct ClassTotals {
  int64_t gt = 0;
  int64_t det = 0;
  int64_t fp = 0;
  int64_t fn = 0;
  bool fitsIn32Bits() const;
};

/// Scores every filter's class in one walk over the frames: for each
/// ground-truth frame and each filter, the frame and its partner are
/// selected as selectTargets() would and matched with both keep switches
/// off. The totals equal those of selecting each class from both read
/// sequences and calling evaluateSequence(), but each frame's targets are
/// brought into the cache once for all classes instead of once per class.
///
/// With `threads` above 1 the frames are shared out among that many threads
/// (each matches whole frames with working memory of its own); the totals
/// are integers summed per frame, so they do not depend on the threads.
std::vector<ClassTotals> evaluateClasses(const QuorSequence& groundTruth,
                                         const QuorSequence& system,
                                         const std::vector<TargetFilter>& filters,
                                         unsigned threads = 1);

/// Which of many filters a frame pair needs: those taking every class and
/// those of the classes its boxes bear, found from the boxes rather than by
/// asking every filter, so that a frame of two classes out of a thousand
/// costs what it costs out of ten. Built once for a list of filters, and
/// shared by every thread.
class FilterIndex {
 public:
  explicit FilterIndex(const std::vector<TargetFilter>& filters);
  /// Whether the class masks (TargetFilter::mayTakeAny) tell every filter's
  /// classes apart, so that asking each filter is cheap and exact.
  bool masksSuffice() const { return masksSuffice_; }
  /// The filters in [first, last) that may take a box of the frames, in
  /// ascending order, into `out`.
  void filtersFor(const QuorFrame& truth, const QuorFrame* partner, std::size_t first,
                  std::size_t last, std::vector<uint32_t>& out) const;

 private:
  bool masksSuffice_ = true;
  std::vector<uint32_t> every_;   // the filters taking every class
  std::vector<uint32_t> starts_;  // by class code: where its filters start in byCode_
  std::vector<uint32_t> byCode_;
};

/// Matches one ground-truth frame against its partner (null when it has
/// none) for every filter, as evaluateClasses() does, and adds the counts to
/// `totals`. `truthScratch` and `systemScratch` are working frames whose
/// memory is reused from call to call. `index`, when given, is that of
/// `filters`.
void evaluateFramePair(const QuorFrame& truth, const QuorFrame* partner,
                       const std::vector<TargetFilter>& filters, std::size_t firstFilter,
                       std::size_t lastFilter, std::vector<ClassTotals>& totals,
                       QuorFrame& truthScratch, QuorFrame& systemScratch,
                       const FilterIndex* index = nullptr);

/// The number of threads to use when none is asked for: the cores this
/// process may run on, at least 1.
unsigned defaultThreadCount();
