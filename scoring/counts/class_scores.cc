#include "scoring/counts/class_scores.h"

#include <algorithm>
#include <stdexcept>
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

std::array<ClassCounts, kClassCount> standardRows(const std::vector<ClassCounts>& rows) {
  if (rows.size() != kClassCount) {
    throw std::logic_error("counts of another class set where this format's ten are expected");
  }
  std::array<ClassCounts, kClassCount> out;
  std::copy(rows.begin(), rows.end(), out.begin());
  return out;
}

std::vector<TargetFilter> classFilters(const ClassSet& classes, float confidence) {
  std::vector<TargetFilter> filters;
  filters.reserve(classes.rows());
  filters.emplace_back("All", confidence);
  for (const std::string& name : classes.names()) filters.emplace_back(name.c_str(), confidence);
  return filters;
}

std::vector<ClassCounts> scoreClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                                      const ClassSet& classes, float confidence, unsigned threads) {
  const std::vector<ClassTotals> totals =
      evaluateClasses(groundTruth, system, classFilters(classes, confidence), threads);
  std::vector<ClassCounts> counts(totals.size());
  for (std::size_t slot = 0; slot < totals.size(); ++slot) {
    counts[slot] = {totals[slot].gt, totals[slot].det, totals[slot].fn, totals[slot].fp,
                    static_cast<int64_t>(groundTruth.frames.size())};
  }
  return counts;
}

std::vector<ClassCounts> scoreClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                                      float confidence, unsigned threads) {
  return scoreClasses(groundTruth, system, *pairClasses(groundTruth, system), confidence, threads);
}
