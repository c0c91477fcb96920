// Per-class scores of a sequence pair, with counts held in 64 bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "annotation/selection.h"

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

/// The rows of this format's ten classes as an array (which `rows` must be:
/// evaluationClasses' count of them).
std::array<ClassCounts, kClassCount> standardRows(const std::vector<ClassCounts>& rows);

/// A filter for each row of `classes` at `confidence`, "All" first.
std::vector<TargetFilter> classFilters(const ClassSet& classes, float confidence);

/// Scores every row of `classes` at `confidence` (a box is taken when its
/// confidence is at least `confidence`, in both files), exactly as the
/// console program's class run does for its classes, but without its 32-bit
/// limit. Frames are matched by `threads` threads; the counts do not depend
/// on it.
std::vector<ClassCounts> scoreClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                                      const ClassSet& classes, float confidence,
                                      unsigned threads = 1);
/// The same in the pair's classes (pairClasses()): for this format's files,
/// the rows of evaluationClasses.
std::vector<ClassCounts> scoreClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                                      float confidence, unsigned threads = 1);
