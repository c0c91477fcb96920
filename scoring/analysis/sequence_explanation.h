// Why a detector lost points over a sequence: the causes of every class's
// misses and false alarms, what its pairs look like, which classes the All
// matching confuses, and the errors of every frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "annotation/class_set.h"
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

/// What the All matching paired with what, over a class set: its rows (the
/// objects' classes) and columns (the boxes' classes) are the set's classes
/// in order, then "none". A pair adds 1 at (its object's class, its box's
/// class), a miss at (class, none), a false alarm at (none, class); a box of
/// a class the set lacks counts as none. Boxes that take no part are counted
/// beside it. A small set's matrix is held whole; a large one's only as the
/// cells that are not 0, since most of its classes never meet (1,203 classes
/// would make a square of 1.4 million cells for each worker and sequence).
class Confusion {
 public:
  /// The most classes whose matrix is held (and written) as a whole square.
  static constexpr std::size_t kDenseClasses = 64;

  /// An empty matrix of `classes` classes and none.
  explicit Confusion(std::size_t classes = knownClasses.size());

  /// The classes; the rows and columns are one more (none).
  std::size_t classes() const { return classes_; }
  std::size_t size() const { return classes_ + 1; }
  /// The row and column of none.
  std::size_t none() const { return classes_; }
  /// Whether it is held as a whole square.
  bool dense() const { return classes_ <= kDenseClasses; }

  int64_t at(std::size_t truth, std::size_t system) const;
  void add(std::size_t truth, std::size_t system, int64_t count = 1);

  struct Cell {
    std::size_t truth = 0;
    std::size_t system = 0;
    int64_t count = 0;
    bool operator==(const Cell&) const = default;
  };
  /// The cells that are not 0, row by row, each row's in column order.
  std::vector<Cell> nonZero() const;
  /// The whole square, [truth][system]: for small matrices only.
  std::vector<std::vector<int64_t>> square() const;

  /// Adds a matrix of the same classes.
  Confusion& operator+=(const Confusion& other);
  bool operator==(const Confusion& other) const;

  int64_t setAside = 0;
  int64_t excluded = 0;
  int64_t droppedInRegion = 0;

 private:
  std::size_t classes_;
  std::vector<int64_t> dense_;                    // size() * size() cells, when dense()
  std::unordered_map<uint64_t, int64_t> sparse_;  // by truth * size() + system, otherwise
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
  /// An explanation of nothing in this format's ten classes, or in `classes`.
  Explanation();
  explicit Explanation(ClassSetPtr classes);

  int64_t frames = 0;  // frames of the ground truth
  ClassSetPtr classSet;
  std::vector<ClassExplanation> classes;  // a row for each of classSet's rows, All first
  Confusion confusion;                    // over classSet's classes
  /// Every ground-truth frame in file order; or, when not every frame was
  /// asked for, the worst ones (worstFrames()) in that order.
  std::vector<FrameSummary> timeline;
};

/// Explains every row of `classes` at the options' confidence, on the pairs
/// scoreClasses() makes (the counts are its counts), on `options.threads`
/// threads; the result does not depend on them. A frame's work follows the
/// classes its boxes bear, not the size of the set.
Explanation explainSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                             ClassSetPtr classes, const ExplainOptions& options);
/// The same in the pair's classes (pairClasses()): for this format's files,
/// the rows of evaluationClasses.
Explanation explainSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                             const ExplainOptions& options);

struct StreamedExplanation {
  /// False when a file's frame numbers do not only grow: then the files must
  /// be read whole and explained with explainSequences().
  bool inOrder = true;
  Explanation explanation;
};
/// The same as explainSequences() on the two files, in this format's ten
/// classes (they are files of this format), while they are read
/// (only the frames in flight are held), when the frame numbers of both
/// files only grow. Both files are read to the end; their read status and
/// message are left in the inputs.
StreamedExplanation explainWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                        const ExplainOptions& options);

/// The frames with the most errors (FN + FP), at most `count`, most first,
/// ties in file order; frames without errors are not among them. `frames`
/// are in file order.
std::vector<FrameSummary> worstFrames(const std::vector<FrameSummary>& frames, std::size_t count);
