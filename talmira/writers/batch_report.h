// The result of scoring a dataset (`talmira batch`), its text, CSV and JSON
// forms, and the partial result one shard writes for `talmira merge`.
//
// One model, several writers: batch and merge both build a BatchResult and
// hand it to renderBatch(), so a merged run prints exactly what a single run
// prints.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scoring/analysis/sequence_explanation.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/pooled_precision.h"
#include "talmira/cli_common.h"
#include "talmira/writers/track_report.h"

namespace talmira {

/// With --ap: what a sequence keeps of its evaluation, its matched cells
/// (which the dataset's figures are accumulated from, and a shard's part
/// carries) and its own figures, accumulated from them.
struct SequencePrecision {
  precision::MatchedImages matched;
  std::vector<std::string> warnings;  // the reader's, said beside the figures
  std::array<double, 12> stats{};     // COCOeval's twelve
  /// Per category, the twelve in the same order (categoryFigures()).
  std::vector<std::array<double, 12>> categories;
};
/// A sequence's precision from its matches, with its figures.
std::shared_ptr<const SequencePrecision> sequencePrecision(
    precision::MatchedImages matched, std::vector<std::string> warnings,
    const precision::CocoParameters& parameters);

/// With --track: what a sequence keeps of its evaluation, its figures as
/// `talmira track` gives them (each class's measures, with the sums that
/// the dataset combines and a shard's part carries), and the readers'
/// warnings.
struct SequenceTracking {
  TrackReport report;
  std::vector<std::string> warnings;
};

/// With --track: how the tracks are read and evaluated, as `talmira track`'s
/// options say (a LIST line's gt_format and sys_format stand in for the
/// formats).
struct TrackingSettings {
  std::string groundTruthFormat = "mot";
  std::string systemFormat = "mot";
  std::string ids;                  // "text" or empty
  std::string rules;                // empty: each ground truth's layout decides
  std::optional<float> confidence;  // tracker boxes below it left out; none: every box
  bool operator==(const TrackingSettings&) const = default;
};

/// One sequence of the dataset, at its position in the list.
struct BatchSequence {
  std::size_t position = 0;  // counting from 0, in list order
  std::string name;
  std::string groundTruth;  // the paths as read (the list's folder joined in)
  std::string system;
  // The formats the LIST's gt_format and sys_format columns give; empty for
  // the command's --gt-format and --sys-format.
  std::string groundTruthFormat;
  std::string systemFormat;
  std::string error;  // empty when scored; the reader's message(s) otherwise
  /// The classes of `classes` and `best`: the pair's own once scored, the
  /// dataset's once the result is settled (settleClasses()).
  ClassSetPtr classSet = ClassSet::standard();
  std::vector<ClassCounts> classes = std::vector<ClassCounts>(kClassCount);
  /// With --sweep: the best point of each class's exact curve (its curves
  /// themselves are pooled and let go as soon as it is swept).
  std::vector<CurvePoint> best = std::vector<CurvePoint>(kClassCount);
  /// With --explain: the causes, pairs and confusion matrix of the sequence
  /// (no frames: the dataset's outputs name sequences, not frames); null
  /// otherwise, so that a plain run's sequences stay small.
  std::shared_ptr<const Explanation> explanation;
  /// With --ap: its matches and figures; null otherwise.
  std::shared_ptr<const SequencePrecision> precision;
  /// With --track: its tracking figures; null otherwise.
  std::shared_ptr<const SequenceTracking> tracking;
  /// Under --rules mot on MOT files: the readers' warnings ("file:line: ...").
  std::vector<std::string> warnings;
  bool failed() const { return !error.empty(); }
};

/// Where the sequences came from and how they were scored: what must agree
/// for shards to be joined.
struct BatchSource {
  std::string list;  // the LIST file as given; empty with folders
  std::string groundTruthDir;
  std::string systemDir;
  std::string listDigest;  // a digest of the LIST's bytes, or of the pairing of the folders
  std::size_t sequenceCount = 0;
  float confidence = 0.0f;
  bool sweep = false;                  // --sweep
  int gridSteps = 0;                   // with --sweep: the grid's N, or 0 for --exact
  bool explain = false;                // --explain
  float near = kDefaultNearThreshold;  // with --explain: --near
  bool ap = false;                     // --ap
  // With --ap: the evaluation's parameters.
  precision::CocoParameters apParameters = precision::CocoParameters::standard();
  bool track = false;         // --track
  TrackingSettings tracking;  // with --track
  // How the inputs were read, when not as files of this format: the options
  // of the other formats, as command-line words (the class map by a digest
  // of what it maps). Empty for the default.
  std::string reading;
  // The scoring rules; stated in the outputs and parts only when not the defaults.
  ScoringRules rules;
  // --rules mot on MOT files: each sequence counted as the benchmark's
  // evaluator counts it (talmira/benchmark_counts.h), stated as "benchmark".
  bool benchmark = false;
};

/// With --sweep: the exact curves of the swept sequences summed class by
/// class (addCurves), each class by its name, as the sequences of another
/// dataset may bring classes of their own. Exact curves give an exact pool,
/// and the sums do not depend on the order of the additions.
struct CurvePool {
  std::map<std::string, ClassCurve, std::less<>> byClass;  // "All" included
  int64_t frames = 0;  // of every sequence added: every class's frames
  /// Adds a sequence's curves, a row each of `classes`; all or none.
  void add(const ClassSet& classes, const SweepCurves& curves);
  /// Adds the pools `pools`, all at once.
  void addAll(const std::vector<const CurvePool*>& pools);
  /// The pooled curves, a row each of `classes`; a class no sequence had
  /// has no boxes, at every threshold.
  SweepCurves curvesOf(const ClassSet& classes) const;
};

/// A whole run: every sequence of the list, in list order.
struct BatchResult {
  BatchSource source;
  std::vector<BatchSequence> sequences;
  /// The dataset's classes: those of every scored sequence, in list order
  /// (settleClasses()); this format's ten for files of this format.
  ClassSetPtr classSet = ClassSet::standard();
  /// With --sweep: every class's exact curve summed over the scored
  /// sequences, a row each of `classSet`.
  SweepCurves pooledCurves = SweepCurves(kClassCount);
  /// With --ap: the figures of every scored sequence's frames pooled
  /// (settlePrecision()).
  struct PooledPrecision {
    std::vector<int64_t> categoryIds;
    std::vector<std::string> categoryNames;
    std::size_t images = 0;
    precision::CocoResult result;
  };
  std::shared_ptr<const PooledPrecision> pooledPrecision;
  /// With --track: each class's figures of the scored sequences combined
  /// as the evaluator combines them (settleTracking()), and how many
  /// sequences have the class.
  struct CombinedTracking {
    std::vector<TrackClassResult> classes;
    std::vector<std::size_t> sequences;  // per class
  };
  std::shared_ptr<const CombinedTracking> combinedTracking;
};

/// With --track: combines the scored sequences' sums class by class, in
/// list order, a class's sequences those whose figures have it; the classes
/// in list order of first appearance.
void settleTracking(BatchResult& result);

/// With --ap: joins the scored sequences' matches in list order
/// (poolMatches()) and accumulates them once, on `threads` threads (the
/// result does not depend on them).
void settlePrecision(BatchResult& result, unsigned threads);

/// Gives the result its classes, those of its scored sequences in list order
/// (each sequence keeps its own rows: a class it does not have has no boxes
/// in it), and with --sweep the pooled curves from `pool`.
void settleClasses(BatchResult& result, const CurvePool* pool);

/// Sums of every class of `classes` (which hold every scored sequence's)
/// over the sequences that were scored.
std::vector<ClassCounts> pooledCounts(const std::vector<BatchSequence>& sequences,
                                      const ClassSet& classes);
std::size_t failedCount(const std::vector<BatchSequence>& sequences);
/// With --explain: every class's counts, causes and pairs and the confusion
/// matrix summed over the sequences that were scored. The sums are of
/// integers, so they do not depend on the order of the sequences.
Explanation pooledExplanation(const std::vector<BatchSequence>& sequences,
                              const ClassSetPtr& classes);
/// The failure that ends `command` when `failed` of `total` sequences could
/// not be scored: status 1, and a last line that says how many.
CommandError sequencesFailed(const char* command, std::size_t failed, std::size_t total);

/// The output of a whole run in `format`.
std::string renderBatch(const BatchResult& result, Format format);
/// The dataset's HTML page (--report): pooled table, the sequences sortable
/// by NMODTA, failed sequences with their message; with --sweep the pooled
/// best points and curves and each sequence's best point.
/// `viewPages`, when not empty, holds for each sequence (in list order) the
/// address of its `talmira view` page relative to the report, or nothing.
std::string renderBatchReport(const BatchResult& result,
                              const std::vector<std::string>& viewPages = {});
/// With --sweep: the SVG picture of the pooled curves (--plot).
std::string renderBatchPlot(const BatchResult& result);

/// A shard's partial result: the source, the shard, the positions held and
/// every sequence's paths, name, counts or message (with --explain also its
/// causes, pair sums and confusion matrix), so that merging needs nothing but
/// the parts.
struct BatchPart {
  BatchSource source;
  std::size_t shardIndex = 1;            // K of K/N
  std::size_t shardCount = 1;            // N
  std::vector<BatchSequence> sequences;  // in position order, in their own classes
  CurvePool pooledCurves;                // with --sweep: the pool of this shard's sequences
};
std::string renderPartial(const BatchPart& part);
/// Reads a partial written by renderPartial(). Throws a CommandError of
/// status 1 naming `path` when `text` is not one.
BatchPart parsePartial(const std::string& text, const std::string& path);

/// Joins the parts of one run into the result one `talmira batch` run over
/// the whole LIST gives: the sequences in LIST order (with --explain each
/// with its explanation, which pooledExplanation() sums), and with --sweep
/// the parts' pools summed. `names` name the parts in messages. Throws a
/// CommandError of status 1 when a part is of another run (LIST, confidence,
/// sweep or explain setting), two parts hold the same position, or a
/// position is in no part.
BatchResult joinParts(std::vector<BatchPart> parts, const std::vector<std::string>& names);

/// 64-bit FNV-1a of `bytes`, as 16 hexadecimal digits: tells two lists apart.
std::string digestOf(std::string_view bytes);

}  // namespace talmira
