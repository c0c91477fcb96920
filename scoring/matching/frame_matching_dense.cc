#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "scoring/matching/assignment_solver.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/matching/frame_matching_internal.h"

namespace {

// A square matrix of doubles, all cells 0.0, with the row pointers the solver reads.
class SquareMatrix {
 public:
  explicit SquareMatrix(std::size_t side) : side_(side), cells_(side * side, 0.0), rows_(side) {
    for (std::size_t r = 0; r < side; ++r) rows_[r] = cells_.data() + r * side;
  }
  double& at(std::size_t row, std::size_t column) { return cells_[row * side_ + column]; }
  double at(std::size_t row, std::size_t column) const { return cells_[row * side_ + column]; }
  const double* const* rows() const { return rows_.data(); }

 private:
  std::size_t side_;
  std::vector<double> cells_;
  std::vector<const double*> rows_;
};

}  // namespace

void evaluateFrameAlone(QuorFrame& groundTruth, bool keepMarkA, bool keepMarkB) {
  const std::vector<const QuorTarget*>& truths = groundTruth.targets;
  groundTruth.gtCount = countOf(truths.size());
  groundTruth.gtExcluded = countOf(std::count_if(truths.begin(), truths.end(), [&](auto* t) {
    return excludedByFlags(*t, keepMarkA, keepMarkB);
  }));
  groundTruth.detCount = 0;
  groundTruth.detExcluded = 0;
  groundTruth.fpCount = 0;
  groundTruth.fnCount = groundTruth.gtCount - groundTruth.gtExcluded;
}

void evaluateFrameDense(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                        bool keepMarkB) {
  const std::vector<const QuorTarget*>& truths = groundTruth.targets;
  if (system == nullptr) {
    evaluateFrameAlone(groundTruth, keepMarkA, keepMarkB);
    return;
  }

  // Region filter: a system box that a don't-care region of the ground-truth
  // frame covers takes no part and is counted nowhere.
  std::vector<const QuorTarget*> kept;
  kept.reserve(system->targets.size());
  for (const QuorTarget* candidate : system->targets) {
    const bool covered = std::any_of(
        groundTruth.regions.begin(), groundTruth.regions.end(), [&](const QuorTarget* region) {
          return regionCovers(*candidate, *region, groundTruth.regionCoverRatio);
        });
    if (!covered) kept.push_back(candidate);
  }
  const std::size_t gtCount = truths.size();
  const std::size_t detCount = kept.size();

  // Flags exclude ground-truth boxes; a system box that overlaps a flagged box
  // (its own flags included) is set aside rather than matched.
  std::vector<bool> truthExcluded(gtCount);
  for (std::size_t r = 0; r < gtCount; ++r) {
    truthExcluded[r] = excludedByFlags(*truths[r], keepMarkA, keepMarkB);
  }
  std::vector<bool> systemExcluded(detCount);
  // Score table: -1.0 for a passing pair, 0.0 for a failing one, 1.0 for a pair set aside.
  std::vector<double> scores(gtCount * detCount);
  for (std::size_t r = 0; r < gtCount; ++r) {
    for (std::size_t c = 0; c < detCount; ++c) {
      const int32_t score = scorePair(*truths[r], *kept[c], groundTruth.overlapThreshold, keepMarkA,
                                      keepMarkB, groundTruth.overlapMeasure);
      scores[r * detCount + c] = -static_cast<double>(score);
      if (score == -1) systemExcluded[c] = true;
    }
  }
  const std::size_t gtExcluded = std::count(truthExcluded.begin(), truthExcluded.end(), true);
  const std::size_t detExcluded = std::count(systemExcluded.begin(), systemExcluded.end(), true);
  const std::size_t nG = gtCount - gtExcluded;
  const std::size_t nS = detCount - detExcluded;
  const std::size_t m = std::max(nG, nS);

  // Cost matrix of the remaining rows and columns, padded to a square with 0.0.
  SquareMatrix costs(m);
  std::size_t row = 0;
  for (std::size_t r = 0; r < gtCount; ++r) {
    if (truthExcluded[r]) continue;
    std::size_t column = 0;
    for (std::size_t c = 0; c < detCount; ++c) {
      if (systemExcluded[c]) continue;
      costs.at(row, column++) = scores[r * detCount + c];
    }
    ++row;
  }

  std::vector<int32_t> rowAssignment(m, -1);
  std::vector<int32_t> columnAssignment(m, -1);
  std::vector<double> rowDual(m);
  std::vector<double> columnDual(m);
  solveAssignment(static_cast<int32_t>(m), costs.rows(), rowAssignment.data(),
                  columnAssignment.data(), rowDual.data(), columnDual.data());

  // A real row or column left without a real, overlapping partner is a miss or
  // a false alarm; dummy cells are 0.0, so they never count as a pair.
  int32_t misses = 0;
  for (std::size_t i = 0; i < nG; ++i) {
    const int32_t c = rowAssignment[i];
    if (c < 0 || static_cast<std::size_t>(c) >= nS || costs.at(i, c) == 0.0) ++misses;
  }
  int32_t falseAlarms = 0;
  for (std::size_t j = 0; j < nS; ++j) {
    const int32_t r = columnAssignment[j];
    if (r < 0 || static_cast<std::size_t>(r) >= nG || costs.at(r, j) == 0.0) ++falseAlarms;
  }

  groundTruth.gtCount = countOf(gtCount);
  groundTruth.gtExcluded = countOf(gtExcluded);
  groundTruth.detCount = countOf(detCount);
  groundTruth.detExcluded = countOf(detExcluded);
  groundTruth.fpCount = falseAlarms;
  groundTruth.fnCount = misses;
}
