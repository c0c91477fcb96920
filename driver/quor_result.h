// The outcome of one evaluation class and its accuracy figure, NMODTA.
#pragma once

#include <cstdint>

#include "scoring/counts/class_scores.h"  // nmodtaFloor

class QuorResult {
 public:
  QuorResult();
  QuorResult(const char* name, int32_t det, int32_t gt, int32_t fn, int32_t fp, int32_t frames);
  QuorResult(const QuorResult&) = default;
  QuorResult& operator=(const QuorResult&) = default;  // copies all 50 bytes of className
  virtual ~QuorResult() = default;

  /// 1 - (FP + FN) / GT, rounded to single precision and stored in `nmodta`,
  /// then returned no lower than nmodtaFloor. With GT = 0 and FP = 0 the class
  /// is perfect: 1.0 is returned and `nmodta` is left as it was.
  float computeNmodta();

  int32_t numDet = 0;
  int32_t numGT = 0;
  int32_t numFN = 0;
  int32_t numFP = 0;
  int32_t numFrames = 0;
  char className[50] = {};
  float nmodta = 0.0f;  // the value last computed, before the floor
  // Kept with the record and copied by assignment; no operation uses them.
  float spare1 = 0.0f;
  float spare2 = 0.0f;
  float spare3 = 0.0f;
};
