// `talmira compare --track`: two trackers' outputs on the same ground truth
// (one sequence, or a dataset of sequences), HOTA, MOTA and IDF1 as the
// tracking benchmarks' evaluator computes and combines them, with
// paired-bootstrap intervals over the sequences on the differences B - A;
// its text, CSV and JSON forms.
#pragma once

#include <string>
#include <vector>

#include "scoring/tracking/track_bootstrap.h"
#include "talmira/writers/batch_report.h"
#include "talmira/writers/compare_report.h"

namespace talmira {

/// How to compare: the tracks' reading and rules (the same for both
/// trackers), the bootstrap, the threads.
struct TrackCompareRun {
  TrackingSettings settings;
  BootstrapOptions bootstrap;  // its threads: `jobs`
  unsigned jobs = 1;
  bool progress = false;  // a dataset: a progress line on standard error
};

/// One sequence: each tracker's figures as `talmira track` gives them.
struct TrackCompareSequence {
  std::string name;
  std::string groundTruth, systemA, systemB;
  std::string groundTruthFormat, systemFormat;  // a LIST line's, or empty
  std::string error;                            // empty when evaluated
  TrackReport a, b;
  bool failed() const { return !error.empty(); }
};

/// One class compared: each tracker's figures of the evaluated sequences
/// combined, and what the resamples say of their differences.
struct TrackCompareClass {
  std::string name;
  std::size_t sequences = 0;  // those whose ground truth has the class
  tracking::TrackFigures a, b;
  tracking::TrackBootstrap intervals;  // of B - A
};

struct TrackCompareResult {
  std::string groundTruth, systemA, systemB;  // one sequence: the paths as given
  std::string list;                           // a dataset: the LIST as given
  TrackingSettings settings;
  BootstrapOptions bootstrap;
  std::size_t units = 0;                   // the sequences evaluated, which the bootstrap draws
  std::vector<TrackCompareClass> classes;  // in list order of first appearance
  std::vector<TrackCompareSequence> sequences;  // every sequence, in list order
  std::vector<std::string> warnings;            // the readers', naming the tracker (and sequence)
  bool dataset() const { return !list.empty(); }
};

/// One sequence, one unit: the figures are `talmira track`'s of each pair,
/// and with one unit the bootstrap has nothing to resample.
TrackCompareResult compareTrackFiles(const std::string& groundTruth, const std::string& a,
                                     const std::string& b, const TrackCompareRun& run);
/// A dataset (the sequences of readCompareList()), each sequence a unit; a
/// sequence that cannot be read keeps its message and is left out. Each
/// tracker's figures are those `talmira batch --track` combines of its
/// sequences; each resample combines the drawn sequences' sums again
/// (combineTracks(), a sequence drawn k times counting k times), for every
/// class with the same draws.
TrackCompareResult compareTrackDataset(const std::string& list,
                                       const std::vector<CompareSequence>& sequences,
                                       const TrackCompareRun& run);

std::string renderTrackCompareText(const TrackCompareResult& result);
/// `class,figure,a,b,delta,low,high,b_better,a_better`, rows HOTA, MOTA and
/// IDF1 of each class, every number at full precision.
std::string renderTrackCompareCsv(const TrackCompareResult& result);
Json trackCompareJson(const TrackCompareResult& result);

}  // namespace talmira
