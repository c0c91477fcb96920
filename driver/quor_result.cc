#include "driver/quor_result.h"

#include <cstdio>

QuorResult::QuorResult() { std::snprintf(className, sizeof className, "%s", "N/A"); }

QuorResult::QuorResult(const char* name, int32_t det, int32_t gt, int32_t fn, int32_t fp,
                       int32_t frames)
    : numDet(det), numGT(gt), numFN(fn), numFP(fp), numFrames(frames) {
  std::snprintf(className, sizeof className, "%s", name);
}

float QuorResult::computeNmodta() {
  if (numGT == 0 && numFP == 0) return 1.0f;
  // The sum is formed wide so that two large counts cannot overflow; within
  // the 32-bit range it is the same number. GT = 0 with FP > 0 divides by
  // zero to +infinity, which the floor below catches.
  const int64_t errors = static_cast<int64_t>(numFP) + numFN;
  nmodta = static_cast<float>(1.0 - static_cast<double>(errors) / static_cast<double>(numGT));
  return nmodta < nmodtaFloor ? nmodtaFloor : nmodta;
}
