// Why a detector lost points over a sequence: the causes of every class's
// misses and false alarms, what its pairs look like, which classes the All
// matching confuses, and the errors of every frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "annotation/quor_records.h"
#include "scoring/analysis/error_causes.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/streaming_evaluation.h"
#include "scoring/matching/box_overlap.h"

/// The overlap histogram's bins: [0.2, 0.3), [0.3, 0.4), ..., [0.9, 1.0].
inline constexpr std::size_t kOverlapBins = 8;

/// The overlaps of a class's pairs. A pair's overlap and IoU are
/// single-precision values of at least 0.2, so each is a whole number of
/// units of 2^-26: the sums are exact integers, and the means do not depend
/// on the order in which frames, threads or shards added them up.
struct PairStats {
  static constexpr double kUnit = 1.0 / 67108864.0;  // 2^-26
  int64_t count = 0;
  int64_t overlapUnits = 0;  // the sum of the pairs' overlapRatio()
  int64_t iouUnits = 0;      // the sum of their rectangleIou()
  std::array<int64_t, kOverlapBins> histogram{};

  void add(float overlap, float iou);
  /// NaN without pairs.
  double meanOverlap() const;
  double meanIou() const;
  /// The bin of an overlap of at least 0.2; the bins' edges are the
  /// single-precision values of 0.3, 0.4, ..., 0.9, as the overlap is.
  static std::size_t binOf(float overlap);
  PairStats& operator+=(const PairStats& other);
  bool operator==(const PairStats&) const = default;
};

/// One class's counts, with its misses and false alarms by cause.
struct ClassExplanation {
  int64_t gt = 0;
  int64_t det = 0;
  int64_t fn = 0;
  int64_t fp = 0;
  std::array<int64_t, kMissCauseCount> misses{};             // by MissCause; they add up to fn
  std::array<int64_t, kFalseAlarmCauseCount> falseAlarms{};  // by FalseAlarmCause; to fp
  PairStats pairs;

  float nmodta() const { return reportedNmodta(gt, fn, fp); }
  /// What NMODTA would gain were `errors` of these errors gone: errors / GT.
  /// None when the class has no objects. The costs of all causes add up to
  /// 1 - NMODTA unless NMODTA is held at its floor.
  std::optional<double> cost(int64_t errors) const;
  ClassExplanation& operator+=(const ClassExplanation& other);
  bool operator==(const ClassExplanation&) const = default;
};

/// Rows and columns of the confusion matrix: the ten classes in
/// knownClasses order, then "none".
inline constexpr std::size_t kConfusionSize = knownClasses.size() + 1;
inline constexpr std::size_t kConfusionNone = knownClasses.size();

/// What the All matching paired with what. A pair adds 1 at (its object's
/// class, its box's class), a miss at (class, none), a false alarm at (none,
/// class). Boxes that take no part are counted beside it.
struct Confusion {
  std::array<std::array<int64_t, kConfusionSize>, kConfusionSize> cells{};  // [truth][system]
  int64_t setAside = 0;
  int64_t excluded = 0;
  int64_t droppedInRegion = 0;
  Confusion& operator+=(const Confusion& other);
  bool operator==(const Confusion&) const = default;
};

/// One ground-truth frame's All counts.
struct FrameSummary {
  uint32_t frame = 0;
  uint64_t line = 0;  // of its first record
  int64_t gt = 0;
  int64_t det = 0;
  int64_t fn = 0;
  int64_t fp = 0;
  int64_t errors() const { return fn + fp; }
  bool operator==(const FrameSummary&) const = default;
};

/// How many of the worst frames an explanation keeps when it does not keep
/// every frame.
inline constexpr std::size_t kWorstFrameCount = 10;

struct ExplainOptions {
  float confidence = 0.0f;
  float near = kDefaultNearThreshold;
  /// Keep every frame's summary; otherwise only the kWorstFrameCount worst.
  bool everyFrame = true;
  unsigned threads = 1;
};

struct Explanation {
  int64_t frames = 0;                                 // frames of the ground truth
  std::array<ClassExplanation, kClassCount> classes;  // in evaluationClasses order
  Confusion confusion;
  /// Every ground-truth frame in file order; or, when not every frame was
  /// asked for, the worst ones (worstFrames()) in that order.
  std::vector<FrameSummary> timeline;
};

/// Explains every class of evaluationClasses at the options' confidence, on
/// the pairs scoreClasses() makes (the counts are its counts), on
/// `options.threads` threads; the result does not depend on them.
Explanation explainSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                             const ExplainOptions& options);

struct StreamedExplanation {
  /// False when a file's frame numbers do not only grow: then the files must
  /// be read whole and explained with explainSequences().
  bool inOrder = true;
  Explanation explanation;
};
/// The same as explainSequences() on the two files, while they are read
/// (only the frames in flight are held), when the frame numbers of both
/// files only grow. Both files are read to the end; their read status and
/// message are left in the inputs.
StreamedExplanation explainWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                        const ExplainOptions& options);

/// The frames with the most errors (FN + FP), at most `count`, most first,
/// ties in file order; frames without errors are not among them. `frames`
/// are in file order.
std::vector<FrameSummary> worstFrames(const std::vector<FrameSummary>& frames, std::size_t count);
