// The result of `talmira sweep` and its text, CSV and JSON forms.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "talmira/cli_common.h"

namespace talmira {

/// Every class's counts as functions of the confidence threshold for one
/// sequence pair.
struct SweepReport {
  std::string groundTruth;  // the paths as given
  std::string system;
  ClassSetPtr classSet = ClassSet::standard();  // the names of the curves' rows
  SweepCurves exact;                            // the whole curves, a row each
  bool listExact = true;                        // whether the rows listed are those of `exact`
  SweepCurves sampled;                          // otherwise: the grid's sampling of `exact`
  std::vector<CurvePoint> best;                 // of the exact curves
  /// The rows that csv and json list.
  const SweepCurves& rows() const { return listExact ? exact : sampled; }
};

/// The exact curves of two files (sweepClasses), as `talmira sweep` makes
/// them: with `jobs` above 1 and frame numbers that only grow, swept while
/// read; otherwise (or for inputs of other formats) read whole. Throws
/// CommandError with the readers' messages.
struct SweptFiles {
  ClassSetPtr classSet = ClassSet::standard();  // the pair's classes, the curves' rows
  SweepCurves curves;
};
SweptFiles sweepFiles(const std::string& groundTruthPath, const std::string& systemPath,
                      unsigned jobs, const InputFormats& formats = {});

/// The report of a pair's exact curves, a row each of `classSet`;
/// `gridSteps` 0 lists the exact rows.
SweepReport makeSweepReport(std::string groundTruthPath, std::string systemPath,
                            ClassSetPtr classSet, SweepCurves exact, int gridSteps);

/// A threshold as the rows print it: printf("%.9g"), which reads back as the
/// same single-precision value.
std::string thresholdText(float threshold);

/// The room the two writers below need after `first`: printf("%f") of the
/// largest double is 317 characters.
inline constexpr std::size_t kNumberTextRoom = 320;
/// thresholdText() written at `first` (at least kNumberTextRoom characters
/// before `last`); returns its end. 1, 0 and the thresholds from 0.0001 to
/// below 1 (every confidence of the files this format writes) are rounded
/// from their exact value in integers, the rest by std::to_chars.
char* thresholdChars(float threshold, char* first, char* last);
/// printf("%f") of `value` written at `first` (at least kNumberTextRoom
/// characters before `last`); returns its end. Values below 2^32 in size
/// are rounded from their exact value in integers, the rest by std::to_chars.
char* fixedSixChars(double value, char* first, char* last);

/// The best operating point of each class, as an aligned table: class,
/// threshold (its shortest exact text), GT, Det, FN, FP, Frames, NMODTA.
std::string renderSweepText(const SweepReport& report);
/// `class,threshold,gt,det,fn,fp,nmodta`, then every row of every class in
/// class order, thresholds descending, LF line ends.
std::string renderSweepCsv(const SweepReport& report);
/// One row as a JSON object: threshold, gt, det, fn, fp, nmodta.
Json curvePointJson(const CurvePoint& point);
/// The whole report as JSON: the inputs, then per class its frames, rows
/// ("curve") and best point.
Json sweepJson(const SweepReport& report);

/// Every class's counts at `confidence`, read off exact curves: what
/// scoreClasses() gives at that threshold, without a second pass.
std::vector<ClassCounts> countsAt(const SweepCurves& exact, float confidence);

}  // namespace talmira
