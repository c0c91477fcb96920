// `talmira compare --ap`: two detectors' average precision on the same
// ground truth (one pair, or a dataset of sequences), with paired-bootstrap
// intervals on the differences of mAP and AP50; its text, CSV and JSON forms.
#pragma once

#include <string>
#include <vector>

#include "scoring/precision/precision_bootstrap.h"
#include "talmira/cli_common.h"
#include "talmira/dataset_list.h"
#include "talmira/writers/compare_report.h"

namespace talmira {

/// How to compare: the detectors' thresholds (detections below are left
/// out, as `talmira ap -c` leaves them), the evaluation's parameters, the
/// bootstrap, the threads and the reading of the files.
struct PrecisionCompareRun {
  float confidenceA = 0.0f;
  float confidenceB = 0.0f;
  precision::CocoParameters parameters = precision::CocoParameters::standard();
  BootstrapOptions bootstrap;  // its threads: `jobs`
  unsigned jobs = 1;
  bool progress = false;  // a dataset: a progress line on standard error
  DatasetReading reading;
};

/// One sequence of a compared dataset: its figures with each detector.
struct PrecisionCompareSequence {
  std::string name;
  std::string groundTruth, systemA, systemB;
  std::string groundTruthFormat, systemFormat;  // a LIST line's, or empty
  std::string error;                            // empty when evaluated
  std::size_t images = 0;                       // the most of either pair's
  precision::PrecisionFigures a, b;
  bool failed() const { return !error.empty(); }
};

struct PrecisionCompareResult {
  std::string groundTruth, systemA, systemB;  // one pair: the paths as given
  std::string list;                           // a dataset: the LIST as given
  float confidenceA = 0.0f, confidenceB = 0.0f;
  BootstrapOptions bootstrap;
  std::size_t units = 0;  // what the bootstrap drew from: images, or sequences
  /// Each detector's figures: those `talmira ap` (or `talmira batch --ap`
  /// of a dataset) gives of it.
  precision::PrecisionFigures a, b;
  precision::PrecisionBootstrap intervals;          // of B - A
  std::vector<PrecisionCompareSequence> sequences;  // a dataset: every sequence, in list order
  std::vector<std::string> warnings;  // the readers', naming the detector (and sequence)
  bool dataset() const { return !list.empty(); }
};

/// One pair: the units are the images of either pair (the ground truth's,
/// and for other formats every frame of the three files).
PrecisionCompareResult comparePrecisionFiles(const std::string& groundTruth, const std::string& a,
                                             const std::string& b, const PrecisionCompareRun& run);
/// A dataset (the sequences of readCompareList()), each sequence a unit; a
/// sequence that cannot be read keeps its message and is left out.
PrecisionCompareResult comparePrecisionDataset(const std::string& list,
                                               const std::vector<CompareSequence>& sequences,
                                               const PrecisionCompareRun& run);

std::string renderPrecisionCompareText(const PrecisionCompareResult& result);
/// `figure,a,b,delta,low,high,b_better,a_better`, a row for mAP and one for
/// AP50, every number at full precision (-1 where a figure has no ground
/// truth to count).
std::string renderPrecisionCompareCsv(const PrecisionCompareResult& result);
Json precisionCompareJson(const PrecisionCompareResult& result);

}  // namespace talmira
