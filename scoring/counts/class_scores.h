// Per-class scores of a sequence pair, with counts held in 64 bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "annotation/quor_records.h"

/// Classes in the order of evaluation and output: "All" takes every class.
inline constexpr std::array<const char*, 11> evaluationClasses = {
    "All",  "Car",   "Truck",      "Tractor-Trailor", "Bus",    "Container",
    "Boat", "Plane", "Helicopter", "Person",          "Cyclist"};
inline constexpr std::size_t kClassCount = evaluationClasses.size();

/// NMODTA is never reported below this value.
inline constexpr float nmodtaFloor = -100000.0f;

/// 1 - (FP + FN) / GT rounded to single precision, before the floor. Only
/// meaningful when GT or FP is not zero.
float nmodtaBeforeFloor(int64_t gt, int64_t fn, int64_t fp);
/// The reported NMODTA: 1 when there are neither objects nor false alarms,
/// otherwise nmodtaBeforeFloor() but never below nmodtaFloor.
float reportedNmodta(int64_t gt, int64_t fn, int64_t fp);

/// One class's counts over a sequence (or a sum over several).
struct ClassCounts {
  int64_t gt = 0;
  int64_t det = 0;
  int64_t fn = 0;
  int64_t fp = 0;
  int64_t frames = 0;  // frames of the ground truth
  float nmodta() const { return reportedNmodta(gt, fn, fp); }
  ClassCounts& operator+=(const ClassCounts& other);
  bool operator==(const ClassCounts&) const = default;
};

/// Scores every class of evaluationClasses at `confidence` (a box is taken
/// when its confidence is at least `confidence`, in both files), exactly as
/// the console program's class run does, but without its 32-bit limit.
/// Frames are matched by `threads` threads; the counts do not depend on it.
std::array<ClassCounts, kClassCount> scoreClasses(const QuorSequence& groundTruth,
                                                  const QuorSequence& system, float confidence,
                                                  unsigned threads = 1);
