// Stability over a dataset: `talmira batch --stability` (each sequence's
// errors per class, and the dataset's, pooled over every track used of
// every sequence), its shards' parts and their merge, and `talmira compare
// --stability` (two detectors' pooled errors, with paired-bootstrap
// intervals over the sequences on the differences B - A).
//
// A sequence keeps only its sums per class (tracking::StabilitySums):
// pooled errors are the sequences' sums added in list order and divided by
// the tracks used, so a merged run, which carries every sum exactly, gives
// the very bytes of one run.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/tracking/stability_bootstrap.h"
#include "talmira/cli_common.h"

namespace talmira {

/// How every sequence's pair is read and matched, as `talmira stability`'s
/// options say (a LIST line's gt_format and sys_format stand in for the
/// formats).
struct StabilitySettings {
  std::string groundTruthFormat = "talmira";
  std::string systemFormat = "talmira";
  std::string ids;     // "text" or empty
  bool clear = false;  // --rules mot: CLEAR's pairs
  float confidence = 0.0f;
  bool confidenceGiven = false;
  FormatOptionsGiven formats;  // the detection road's reading and rules
};

/// The settings a command's options give: the files' formats and rules
/// (CLEAR's pairs under --rules mot), --ids and -c.
inline StabilitySettings stabilitySettingsOf(const FormatOptionsGiven& formats,
                                             const std::string& ids, float confidence,
                                             bool confidenceGiven) {
  StabilitySettings settings;
  settings.groundTruthFormat = formats.groundTruthFormat;
  settings.systemFormat = formats.systemFormat;
  settings.ids = ids;
  settings.clear = formats.rules.named && formats.rules.name == "mot";
  settings.confidence = confidence;
  settings.confidenceGiven = confidenceGiven;
  settings.formats = formats;
  return settings;
}

/// One class of one sequence (or of the dataset): its sums.
struct StabilityClassSums {
  std::string name;
  tracking::StabilitySums sums;
  std::size_t sequences = 0;  // pooled: the sequences with tracks of the class
};

/// One sequence of a dataset.
struct StabilitySequence {
  std::size_t position = 0;
  std::string name;
  std::string groundTruth, system;
  std::string groundTruthFormat, systemFormat;  // a LIST line's, or empty
  std::string error;                            // empty when evaluated
  std::string trackRules;                       // CLEAR: the benchmark its layout decided
  /// "All" first, then each class with a track, as `talmira stability`
  /// orders them.
  std::vector<StabilityClassSums> classes;
  std::vector<std::string> warnings;
  bool failed() const { return !error.empty(); }
};

/// A whole `batch --stability` run (or the merge of its parts).
struct StabilityDatasetResult {
  std::string list;  // the LIST as given; empty with folders
  std::string groundTruthDir, systemDir;
  std::string listDigest;
  std::size_t sequenceCount = 0;
  StabilitySettings settings;
  std::vector<StabilitySequence> sequences;  // in list order
  /// Every class of the evaluated sequences, "All" first, then in list order
  /// of first appearance: the sums of the sequences added in list order.
  std::vector<StabilityClassSums> pooled;
  /// What the outputs say of the settings: the line under the tables and
  /// the rules (a merge takes them from the parts).
  std::string matchingLine;
  Json rules;
};

/// Adds the evaluated sequences' sums class by class in list order.
std::vector<StabilityClassSums> pooledStability(const std::vector<StabilitySequence>& sequences);

std::string renderStabilityDatasetText(const StabilityDatasetResult& result);
/// `sequence,class,tracks,left_out,fragment_error,centre_error,
/// scale_ratio_error,sum`: each sequence's classes, then the pooled ones
/// with the sequence "(all)"; the errors at full precision, empty without a
/// track used.
std::string renderStabilityDatasetCsv(const StabilityDatasetResult& result);
Json stabilityDatasetJson(const StabilityDatasetResult& result);

/// `talmira batch --stability`'s options, as batch took them.
struct StabilityBatchRun {
  std::string list, groundTruthDir, systemDir;
  StabilitySettings settings;
  unsigned jobs = 1;
  std::string shard;  // K/N, or empty
  Format format = Format::kText;
  bool formatGiven = false;
  std::string output;
  bool progress = false;
  /// Options --stability does not take, by name, when given (--report, ...).
  std::vector<std::string> refused;
};
/// Runs it: the outputs written, a CommandError thrown for a usage error
/// (status 2) or for sequences that failed (status 1, after the output).
void runStabilityBatch(const StabilityBatchRun& run);

/// Whether `text` is a part written by `batch --stability --shard`.
bool isStabilityPart(const std::string& text);
/// `talmira merge` of such parts (`paths` name them): the output of one run
/// over the whole list; status 1 for parts of other runs, overlapping or
/// missing positions.
void mergeStabilityParts(const std::vector<std::string>& texts,
                         const std::vector<std::string>& paths, Format format,
                         const std::string& output);

/// `talmira compare --stability`'s options.
struct StabilityCompareRun {
  std::string groundTruth, systemA, systemB;  // one sequence
  std::string dataset;                        // or a LIST
  StabilitySettings settings;
  BootstrapOptions bootstrap;
  unsigned jobs = 1;
  bool progress = false;
  Format format = Format::kText;
  std::string output;
};

/// One class compared: each detector's sums over the evaluated sequences
/// and the intervals on B - A.
struct StabilityCompareClass {
  std::string name;
  tracking::StabilitySums a, b;
  tracking::StabilityBootstrap intervals;
};

struct StabilityCompareResult {
  StabilityCompareRun run;
  std::size_t units = 0;  // the sequences evaluated, which the bootstrap draws
  std::vector<StabilityCompareClass> classes;
  /// Each sequence: A's in `a`, B's in `b` (the same names and order of
  /// sequences; a failure's message in a's error).
  std::vector<std::pair<StabilitySequence, StabilitySequence>> sequences;
  bool dataset() const { return !run.dataset.empty(); }
};

/// Both detectors' sums per sequence, in list order, and the bootstrap of
/// each class over the sequences evaluated by both (a class's sums zero in
/// a sequence without it).
StabilityCompareResult compareStability(const StabilityCompareRun& run);
std::string renderStabilityCompareText(const StabilityCompareResult& result);
/// `class,error,tracks_a,tracks_b,a,b,delta,low,high,b_better,a_better`,
/// rows E_F, E_C, E_R and sum of each class, at full precision; better is
/// the lower error.
std::string renderStabilityCompareCsv(const StabilityCompareResult& result);
Json stabilityCompareJson(const StabilityCompareResult& result);
/// Runs it: the output written, a CommandError for a usage error (status
/// 2) or for sequences that failed (status 1, after the output).
void runStabilityCompare(const StabilityCompareRun& run);

}  // namespace talmira
