// MOT files under --rules mot, counted as the MOTChallenge benchmark's
// evaluator counts them: read as `talmira track` reads them, put through the
// benchmark's preprocessing, and matched by CLEAR's own assignment (the
// library's evaluateTracks()), so that a detection command's TP, FN and FP
// are CLEAR's CLR_TP, CLR_FN and CLR_FP and its NMODTA is CLEAR's MODA.
// score, sweep, compare, events and explain share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/class_set.h"
#include "scoring/analysis/paired_counts.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/tracking/track_measures.h"
#include "talmira/cli_common.h"
#include "talmira/track_files.h"
#include "talmira/writers/batch_report.h"
#include "talmira/writers/compare_report.h"

namespace talmira {

/// Whether the options ask for the benchmark's counts: --rules mot, and both
/// files read as MOT files (--gt-format and --sys-format mot or mot15).
/// Throws a CommandError of status 2 that names `command` when they ask for
/// it together with what it cannot take: a value of the rules given one by
/// one beside the set (the benchmark matches at IoU 0.5 and has no size
/// test), a class map, or only one of the two files a MOT file.
bool countsAsBenchmark(const FormatOptionsGiven& given, std::string_view command);

/// The request that reads the two files for the benchmark's counts:
/// their formats, the tracker's boxes below `confidence` left out (none:
/// every box counts, as the evaluator uses no confidence), the length
/// (0: seqinfo.ini beside the ground truth, or the last frame of either
/// file), and a detector's file without identities given one a box.
TrackRequest benchmarkRequest(const FormatOptionsGiven& given, const std::string& groundTruth,
                              const std::string& system, std::optional<float> confidence,
                              uint32_t length);

/// Reads the pair as readTrackPair() does and prints the readers' warnings
/// on standard error ("warning: file:line: ...").
TrackPair readBenchmarkPair(const TrackRequest& request);

/// check: whether its options are those under which score reads MOT files
/// as the benchmark does (countsAsBenchmark()); a ground truth checked
/// alone (`alone`) is read as both files. What score refuses beside
/// --rules mot (one file a MOT file, a value given with the set) is not a
/// refusal here: check reads such files with this format's reader, as it
/// always has.
bool checksAsBenchmark(const FormatOptionsGiven& given, bool alone);

/// check: when checksAsBenchmark(), reads the files as score --rules mot
/// does and counts them, throwing its TrackFileError where it refuses them
/// (an identity given twice in a frame, a box beyond the sequence's frames),
/// so that check fails where score would; nothing otherwise. `system` empty:
/// the ground truth alone. The readers' warnings are dropped: check reports
/// its own reader's.
void readAsBenchmark(const FormatOptionsGiven& given, const std::string& groundTruth,
                     const std::string& system, uint32_t length);

/// Adds `--length N` (the sequence's frames, for the benchmark's counts);
/// refuseLengthUnlessBenchmark() then refuses it on other files.
CLI::Option* addBenchmarkLengthOption(CLI::App& command, uint32_t& length);
/// Throws a CommandError of status 2 when `command` was given --length but
/// does not count as the benchmark.
void refuseLengthUnlessBenchmark(const CLI::App& command);

/// Throws the CommandError of status 2 `command` gives for `option` under
/// --rules mot on MOT files, whose matching is CLEAR's (--near, --track-rules,
/// --ids).
[[noreturn]] void refuseUnderBenchmark(std::string_view command, std::string_view option);

/// events and explain: the request of their --track road that counts as
/// the benchmark does, when countsAsBenchmark() of `formats` (and not
/// --track); none otherwise. --length is the track options'; --near,
/// --track-rules and --ids are refused (status 2).
std::optional<TrackRequest> benchmarkTrackRequest(const CLI::App& command,
                                                  const FormatOptionsGiven& formats, bool track,
                                                  const std::string& groundTruth,
                                                  const std::string& system, float confidence,
                                                  uint32_t length);

/// One tracker's (or detector's) CLEAR counts, frame by frame.
struct BenchmarkCounts {
  std::string className;     // the class evaluated, "pedestrian"
  tracking::TrackSums sums;  // evaluateTracks()' own
  uint32_t frames = 0;       // the sequence's length
  /// The frames with a box evaluated on either side, rising; the k-th
  /// one's counts are at k: the ground truth evaluated, the tracker's boxes
  /// kept, CLEAR's matches. The other frames count nothing.
  std::vector<uint32_t> frameNumbers;
  std::vector<int64_t> truths;
  std::vector<int64_t> boxes;
  std::vector<int64_t> matches;
  /// Each ground-truth box evaluated (frame by frame, as prepared): 1 when
  /// CLEAR matched it.
  std::vector<uint8_t> truthMatched;
};

/// Counts the pair's one class as CLEAR does, at `rules`' confidence (the
/// pair's own when not given). Throws TrackFileError where the benchmark
/// refuses a frame.
BenchmarkCounts countBenchmark(const TrackPair& pair,
                               const std::optional<tracking::TrackRules>& rules = std::nullopt);

/// The rows the commands give: All and the class evaluated, which count the
/// same.
ClassSetPtr benchmarkClasses(const TrackPair& pair);

/// The counts of both rows, score's way: GT = TP + FN, Det = TP + FP, the
/// sequence's length as its frames.
std::vector<ClassCounts> benchmarkClassCounts(const BenchmarkCounts& counts);

/// The exact curve of both rows: at 1, at every distinct confidence in
/// (0, 1) of the tracker's boxes and at 0, each point the counts of
/// countBenchmark() with the boxes below it left out (as -c leaves them
/// out; a confidence of -1, none, is always kept). A tracker's identities
/// tie a frame to the one before, so CLEAR runs once a threshold; a
/// detector's boxes without identities do not, and each frame is counted
/// only at its own boxes' confidences, which gives the same counts. Work is
/// spread over `jobs` threads; the result does not depend on it.
SweepCurves benchmarkCurves(const TrackPair& pair, unsigned jobs);

/// The paired counts compare resamples: both trackers' CLEAR counts, frame by
/// frame, in runs of `block` frames (0: defaultBlockSize() of the length),
/// and which ground-truth boxes each matched.
PairedCounts benchmarkPairedCounts(const TrackPair& a, const TrackPair& b, std::size_t block);

/// batch: whether its options count as the benchmark (countsAsBenchmark(),
/// with its usage errors); --explain and --view, which read the files as
/// this format's detections, are refused then (status 2).
bool batchCountsAsBenchmark(const FormatOptionsGiven& given, bool explain, bool view);

/// batch under --rules mot on MOT files: scores one sequence as `talmira
/// score --rules mot` scores it (its length from its seqinfo.ini), the
/// formats its LIST line names standing in for `given`'s; a confidence
/// above 0 leaves out the boxes below it, 0 keeps every box. With `pool`
/// (--sweep), sweeps it as `talmira sweep --rules mot` does instead: its
/// best points, its counts at the confidence, its curves added into the
/// pool. Throws CommandError (status 2) when the line's files are not both
/// MOT files, TrackFileError as readTrackPair() does.
void scoreBenchmarkSequence(BatchSequence& s, FormatOptionsGiven given, float confidence,
                            unsigned threads, CurvePool* pool);

/// compare under --rules mot on MOT files: one sequence (groundTruth,
/// systemA, systemB) or a dataset's (`dataset` names the LIST, whose
/// sequences are `sequences`).
struct BenchmarkCompareRun {
  std::string groundTruth;
  std::string systemA;
  std::string systemB;
  std::string dataset;
  std::vector<CompareSequence> sequences;
  std::optional<float> confidenceA;  // none: every box of A counts
  std::optional<float> confidenceB;
  BootstrapOptions bootstrap;
  std::size_t block = 0;  // one sequence: frames per unit (0: defaultBlockSize())
  uint32_t length = 0;    // one sequence: --length (0: seqinfo.ini, or the last frame)
  unsigned jobs = 1;
  bool progress = false;  // a dataset's progress line on standard error
};
/// What compare gives under it: the comparison, the text's rules line and
/// the JSON's "benchmark" object.
struct BenchmarkComparison {
  CompareResult result;
  std::string rulesText;
  Json benchmark;
};
/// Both detectors counted as `talmira score --rules mot` counts each, frame
/// by frame (one sequence: in runs of `block` frames; a dataset: each
/// sequence one unit, a sequence that fails keeping its message), then
/// resampled as compare resamples this format's counts. Throws as
/// readTrackPair() does for one sequence.
BenchmarkComparison compareBenchmark(const FormatOptionsGiven& formats,
                                     const BenchmarkCompareRun& run);
/// The options compare refuses under it (status 2): --best, --report, and
/// with --dataset --block and --length.
void refuseInBenchmarkCompare(bool best, bool report, bool dataset, bool block, bool length);
/// `talmira compare --rules mot --format json`'s document.
Json benchmarkCompareJson(const BenchmarkComparison& compared, const FormatOptionsGiven& formats);

/// "Rules: mot, counted as the benchmark's evaluator counts (...)" and a line
/// end, for the text outputs.
std::string benchmarkRulesLine(const TrackPair& pair);
/// The same as JSON: the benchmark's rules, the frames and where their count
/// came from, whether the system's file gave identities, and the confidence.
Json benchmarkJson(const TrackPair& pair);

}  // namespace talmira
