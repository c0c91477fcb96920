// The result of `talmira compare` (two detectors on the same ground truth,
// with paired-bootstrap intervals) and its text, CSV and JSON forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/analysis/paired_counts.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "talmira/cli_common.h"
#include "talmira/dataset_list.h"

namespace talmira {

/// One sequence of a compared dataset, at its place in the list.
struct CompareSequence {
  std::string name;
  std::string groundTruth;  // the paths, the list's folder joined in
  std::string systemA;
  std::string systemB;
  // The formats the LIST's gt_format and sys_format columns give (the
  // system's for both detectors); empty for the command's.
  std::string groundTruthFormat;
  std::string systemFormat;
  std::string error;  // empty when counted; the readers' messages otherwise
  /// The classes the sequence was counted in (pairedClasses() of its files),
  /// by whose rows `counts` and `objects` go.
  ClassSetPtr classSet = ClassSet::standard();
  UnitCounts counts;  // the whole sequence
  SparseRows<ObjectAgreement> objects;
  bool failed() const { return !error.empty(); }
};

/// How the comparison was made.
struct CompareSettings {
  std::string groundTruth;  // one sequence: the paths as given
  std::string systemA;
  std::string systemB;
  std::string list;   // --dataset: the LIST as given
  bool best = false;  // each detector at its own best threshold of All
  float confidenceA = 0.0f;
  float confidenceB = 0.0f;
  BootstrapOptions bootstrap;
  std::size_t block = 0;  // one sequence: ground-truth frames per unit
  int64_t frames = 0;     // one sequence: its ground-truth frames
};

struct CompareResult {
  CompareSettings settings;
  std::size_t units = 0;  // what the bootstrap drew from
  /// The classes compared: those of the three files (pairedClasses()); with
  /// --dataset those of every counted sequence, in list order, each class
  /// once. totals, objects and intervals have a row for each.
  ClassSetPtr classSet = ClassSet::standard();
  std::vector<PairedClassCounts> totals = std::vector<PairedClassCounts>(kClassCount);
  std::vector<ObjectAgreement> objects = std::vector<ObjectAgreement>(kClassCount);
  std::vector<ClassBootstrap> intervals = std::vector<ClassBootstrap>(kClassCount);
  std::vector<CompareSequence> sequences;  // --dataset: every sequence, in list order
  /// With --best: the exact curves of All that chose the thresholds (pooled
  /// over the dataset's counted sequences).
  ClassCurve curveA;
  ClassCurve curveB;
  bool dataset() const { return !settings.list.empty(); }
};

/// How to compare: the thresholds, the bootstrap, the units.
struct CompareRun {
  float confidenceA = 0.0f;
  float confidenceB = 0.0f;
  bool best = false;  // instead: each detector at its own best threshold of All
  BootstrapOptions bootstrap;
  std::size_t block = 0;  // one sequence: frames per unit, 0 for defaultBlockSize()
  unsigned jobs = 1;      // threads; the result does not depend on them
  bool progress = false;  // a dataset: a progress line on standard error
  /// How the files are read: the ground truth as --gt-format says, both
  /// detectors' outputs as --sys-format says (a LIST line's formats stand in
  /// for them). By default, as files of this format.
  DatasetReading reading;
};

/// One sequence, its ground-truth frames in blocks, as `talmira compare GT
/// SYS_A SYS_B` compares them (the settings' paths are left empty).
CompareResult compareSequences(const QuorSequence& groundTruth, const QuorSequence& a,
                               const QuorSequence& b, const CompareRun& run);
/// The same from three files, read whole. Throws CommandError with the
/// readers' messages.
CompareResult compareFiles(const std::string& groundTruth, const std::string& a,
                           const std::string& b, const CompareRun& run);
/// The sequences of a LIST (`sequence,groundtruth,system_a,system_b`, paths
/// relative to its folder, and optionally `gt_format,sys_format` after
/// them, as in `talmira batch`). Throws CommandError naming the line of a
/// malformed list.
std::vector<CompareSequence> readCompareList(const std::string& list);
/// A dataset, each sequence one unit: each is read and counted (`run.jobs`
/// sequences at once); one that cannot be read keeps its message and is left
/// out of both detectors' counts.
CompareResult compareDataset(const std::string& list, std::vector<CompareSequence> sequences,
                             const CompareRun& run);

/// NMODTA_B - NMODTA_A of a class's counts, both in double precision, as
/// each resample's difference is taken.
double deltaOf(const PairedClassCounts& counts);

/// Which detector the interval shows better: 1 for B (the interval lies
/// above 0), -1 for A (below 0), 0 when it holds 0 or there is no unit to
/// resample but one.
int verdictOf(const ClassBootstrap& interval, std::size_t units);

/// In words, for one figure of `units` units: which `what` ("detector",
/// "tracker") is better, or that the data cannot tell, with B's minus A's
/// (`difference`), its interval at `level` and the shares of resamples;
/// a line, "NAME: ...".
std::string figureVerdictSentence(const std::string& name, double difference,
                                  const ClassBootstrap& interval, std::size_t units, double level,
                                  const std::string& what);

/// In words, which detector is better on All, or that the data cannot tell,
/// with the difference, its interval and the shares of resamples.
std::string verdictOnAll(const CompareResult& result);

/// The interval's level as people write it: "95%", "99.5%".
std::string levelText(double level);
/// Four decimals ("0.1235").
std::string fixedFour(double value);
/// A share as a percentage with one decimal ("97.5%").
std::string percentText(double share);
/// "B better", "A better" or "cannot tell", as verdictOf() is 1, -1 or 0.
std::string verdictWords(int verdict);
/// "[low, high]", six decimals each.
std::string intervalText(const ClassBootstrap& interval);

/// For people: the settings, every class with objects or false alarms (both
/// detectors' counts, the difference, its interval, the shares, which is
/// better), the objects each found, and in words which detector is better
/// on All; with --dataset each sequence's difference on All.
std::string renderCompareText(const CompareResult& result);
/// `class,gt,fn_a,fp_a,nmodta_a,fn_b,fp_b,nmodta_b,delta,low,high,b_better,
/// a_better,found_both,found_a_only,found_b_only,found_neither`, then every
/// class of the set compared (its name a CSV field: quoted when it holds a
/// comma or a quote); delta, low and high "%.6f", the shares "%.4f", NMODTA
/// as `score` writes it.
std::string renderCompareCsv(const CompareResult& result);
/// The same per class with the settings; with --dataset every sequence's All.
Json compareJson(const CompareResult& result);

}  // namespace talmira
