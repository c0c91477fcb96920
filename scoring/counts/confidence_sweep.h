// The counts of every class as functions of the confidence threshold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "annotation/quor_records.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/streaming_evaluation.h"

/// One class's counts at one confidence threshold t (a box is taken when its
/// confidence is at least t, in both files).
struct CurvePoint {
  float threshold = 0.0f;
  int64_t gt = 0;
  int64_t det = 0;
  int64_t fn = 0;
  int64_t fp = 0;
  float nmodta() const { return reportedNmodta(gt, fn, fp); }
  bool operator==(const CurvePoint&) const = default;
};

/// One class's counts as a step function of the threshold. `points` are in
/// descending threshold order. In an exact curve they are at 1, at every
/// distinct confidence in (0, 1) of the class's boxes in either file, and at
/// 0; the counts at any t in [0, 1] are those of the point with the smallest
/// threshold at or above t.
struct ClassCurve {
  int64_t frames = 0;  // frames of the ground truth; the same at every threshold
  std::vector<CurvePoint> points;
};

/// A curve per row of a class set, "All" first.
using SweepCurves = std::vector<ClassCurve>;

/// The exact curve of every row of the pair's classes (pairClasses(); for
/// this format's files, evaluationClasses), in that order: at
/// each threshold t of a curve the counts equal scoreClasses(groundTruth,
/// system, t) for that class. A class's thresholds are 1, every distinct
/// confidence strictly between 0 and 1 of its boxes ("All": of every box) in
/// either file, and 0. Found in one walk over the frames: each frame keeps a
/// largest matching while the threshold falls through its boxes'
/// confidences, rather than being matched again at every threshold. Frames
/// may be spread over `threads` workers (0: as many as the machine has); the
/// result does not depend on it.
SweepCurves sweepClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                         unsigned threads = 1);
/// The same for the rows of `classes` rather than the pair's own
/// (pairClasses()).
SweepCurves sweepClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                         const ClassSet& classes, unsigned threads = 1);

struct StreamedCurves {
  /// False when a file's frame numbers do not only grow: then the files must
  /// be read whole and swept with sweepClasses(); `curves` is not set.
  bool inOrder = true;
  SweepCurves curves;  // set when both files read and inOrder
};
/// The same curves as sweepClasses() on two files of this format (whose
/// rows are evaluationClasses), swept while they are
/// read (only the frames in flight are held) by `threads` workers, when the
/// frame numbers of both files only grow. Both files are read to the end;
/// their read status and message are left in the inputs. Counts are summed
/// in 32 bits and moved to 64 bits every `spillBoxes` boxes (at most
/// kMaxSpillBoxes); tests lower it.
inline constexpr std::size_t kMaxSpillBoxes = std::size_t{1} << 31;
StreamedCurves sweepClassesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                        unsigned threads, std::size_t spillBoxes = kMaxSpillBoxes);

/// The thresholds k / n for k = n down to 0, each rounded to single
/// precision. Throws std::invalid_argument unless 1 <= n <= kMaxGridSteps.
inline constexpr int kMaxGridSteps = 1000000;
std::vector<float> gridThresholds(int n);

/// `exact` read at the given thresholds (descending, each in [0, 1]): the
/// counts at t are those of the exact point with the smallest threshold at or
/// above t. Throws std::invalid_argument when the thresholds are not
/// descending, not in [0, 1], or `exact` has no point at 1.
ClassCurve sampleCurve(const ClassCurve& exact, const std::vector<float>& descendingThresholds);

/// The best operating point of an exact curve: the highest NMODTA, and among
/// equal values the highest threshold. Throws std::invalid_argument on a
/// curve without points.
CurvePoint bestPoint(const ClassCurve& exact);

/// The share of the boxes taken that are paired, (Det - FP) / Det; 1 when
/// no box is taken.
double precisionOf(const CurvePoint& point);
/// The share of the objects found, (GT - FN) / GT; none without objects.
std::optional<double> recallOf(const CurvePoint& point);

/// One step of a precision envelope: from the recall of the step before it
/// (0 for the first), exclusive, up to `recall`, the envelope stands at
/// `precision`.
struct PrecisionStep {
  double recall = 0.0;
  double precision = 0.0;
};
/// The precision envelope of an exact curve (at each recall, the highest
/// precision at that recall or above, over every point with objects) as the
/// steps whose area averagePrecision() takes: recalls strictly rising from
/// above 0, precisions never rising. Empty when no point has objects or none
/// finds an object.
std::vector<PrecisionStep> precisionEnvelope(const ClassCurve& exact);

/// The average precision of an exact curve: the area, over recall, under the
/// precision envelope (precisionEnvelope()), taking every point of the curve
/// ("all-point interpolated"). Points without objects are left out; none
/// when no point has objects.
std::optional<double> averagePrecision(const ClassCurve& exact);

/// The pooled curve of several sequences of one class: at every threshold of
/// any of them, the counts of each read at that threshold (as sampleCurve()
/// does), summed; the frames summed. Exact curves give an exact curve. No
/// curves give zero counts at 1 and 0.
ClassCurve addCurves(const std::vector<const ClassCurve*>& curves);
