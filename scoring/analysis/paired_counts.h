// Two detectors scored on the same ground truth, unit by unit: the counts a
// paired bootstrap resamples (scoring/analysis/paired_bootstrap.h), and which
// ground-truth objects each detector found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/counts/class_scores.h"

/// A class's ground-truth objects by which detector found them: paired with
/// one of its boxes in that class's matching, each detector at its own
/// threshold. An object counts when either matching takes it (unflagged, at
/// or above that detector's threshold); with one threshold for both, the four
/// add up to GT.
struct ObjectAgreement {
  int64_t both = 0;
  int64_t aOnly = 0;
  int64_t bOnly = 0;
  int64_t neither = 0;
  ObjectAgreement& operator+=(const ObjectAgreement& other);
  bool operator==(const ObjectAgreement&) const = default;
};

struct PairedCountOptions {
  float confidenceA = 0.0f;  // a box is taken when its confidence reaches it, in both files
  float confidenceB = 0.0f;
  /// Ground-truth frames per unit; 0 for defaultBlockSize() of the frame count.
  std::size_t block = 0;
  unsigned threads = 1;  // the result does not depend on it
};

struct PairedCounts {
  ClassSetPtr classSet;   // the rows counted
  int64_t frames = 0;     // frames of the ground truth
  std::size_t block = 1;  // ground-truth frames per unit
  /// Runs of `block` consecutive ground-truth frames in file order, the last
  /// one shorter when the frames do not divide evenly; none without frames.
  std::vector<UnitCounts> units;
  std::vector<ObjectAgreement> objects;  // a row for each of the set's
};

/// The set two detectors are compared in: the ground truth's classes, then
/// those only A's file names, then those only B's (each in its file's order).
ClassSetPtr pairedClasses(const QuorSequence& groundTruth, const QuorSequence& a,
                          const QuorSequence& b);

/// The cube root of the frame count, rounded to the nearest whole number,
/// at least 1: units of that many frames make about frames^(2/3) units, many
/// enough to resample, each long enough to hold a few seconds of video.
std::size_t defaultBlockSize(int64_t frames);

/// Scores `a` and `b` against `groundTruth` in every row of `classes`,
/// exactly as scoreClasses() does at each detector's threshold (every
/// ground-truth frame against the first frame of its number in each file),
/// and adds every frame's counts into its unit. A frame's work is that of
/// the classes its boxes bear. The sums are of integers, so they do not
/// depend on the threads.
PairedCounts countPaired(const QuorSequence& groundTruth, const QuorSequence& a,
                         const QuorSequence& b, ClassSetPtr classes,
                         const PairedCountOptions& options);
/// The same in pairedClasses() of the three.
PairedCounts countPaired(const QuorSequence& groundTruth, const QuorSequence& a,
                         const QuorSequence& b, const PairedCountOptions& options);
