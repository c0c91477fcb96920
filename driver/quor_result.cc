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
  // The counts are widened, so that two large counts cannot overflow.
  nmodta = nmodtaBeforeFloor(numGT, numFN, numFP);
  return nmodta < nmodtaFloor ? nmodtaFloor : nmodta;
}
