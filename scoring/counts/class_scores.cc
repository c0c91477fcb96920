#include "scoring/counts/class_scores.h"

#include <vector>

#include "annotation/selection.h"
#include "scoring/counts/sequence_evaluation.h"

float nmodtaBeforeFloor(int64_t gt, int64_t fn, int64_t fp) {
  // GT = 0 with FP > 0 divides by zero to +infinity, which the floor catches.
  const int64_t errors = fp + fn;
  return static_cast<float>(1.0 - static_cast<double>(errors) / static_cast<double>(gt));
}

float reportedNmodta(int64_t gt, int64_t fn, int64_t fp) {
  if (gt == 0 && fp == 0) return 1.0f;
  const float value = nmodtaBeforeFloor(gt, fn, fp);
  return value < nmodtaFloor ? nmodtaFloor : value;
}

ClassCounts& ClassCounts::operator+=(const ClassCounts& other) {
  gt += other.gt;
  det += other.det;
  fn += other.fn;
  fp += other.fp;
  frames += other.frames;
  return *this;
}

std::array<ClassCounts, kClassCount> scoreClasses(const QuorSequence& groundTruth,
                                                  const QuorSequence& system, float confidence,
                                                  unsigned threads) {
  std::vector<TargetFilter> filters;
  for (const char* className : evaluationClasses) filters.emplace_back(className, confidence);
  const std::vector<ClassTotals> totals = evaluateClasses(groundTruth, system, filters, threads);
  std::array<ClassCounts, kClassCount> counts;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    counts[slot] = {totals[slot].gt, totals[slot].det, totals[slot].fn, totals[slot].fp,
                    static_cast<int64_t>(groundTruth.frames.size())};
  }
  return counts;
}
