// The result of `talmira explain` and its text, CSV and JSON forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/class_set.h"
#include "scoring/analysis/sequence_explanation.h"
#include "talmira/cli_common.h"
#include "talmira/track_events.h"

namespace talmira {

/// Why a detector lost points on one sequence pair (or, pooled, on a dataset).
struct ExplainReport {
  std::string groundTruth;  // the paths as given
  std::string system;
  float confidence = 0.0f;
  float near = kDefaultNearThreshold;
  Explanation explanation;  // in the classes it names
  ScoringRules rules;       // what the matching was under, for the page to say
};

/// The explanation of two files, as `talmira explain` makes it: with
/// `options.threads` above 1 and frame numbers that only grow, while they are
/// read (in this format's ten classes); otherwise (or for inputs of other
/// formats) read whole, in `classes` or, when null, the pair's classes
/// (pairClasses()). Throws CommandError with the readers' messages.
Explanation explainFiles(const std::string& groundTruthPath, const std::string& systemPath,
                         const ExplainOptions& options, const InputFormats& formats = {},
                         ClassSetPtr classes = nullptr);

/// For people: per class with objects or false alarms its counts, the points
/// it lost by cause and its pairs' overlaps; the confusion matrix of All;
/// the worst frames.
std::string renderExplainText(const ExplainReport& report);
/// The part of that text that holds for any explanation, one pair's or a
/// dataset's pooled: the classes' counts and causes, and the confusion matrix.
std::string renderExplainTables(const Explanation& explanation);
/// `class,side,cause,count,cost`: every class, side (miss, false_alarm) and
/// cause; the cost as printf("%f"), empty where the class has no objects.
std::string renderExplainCsv(const ExplainReport& report);
/// Those rows without the header, each led by `prefix` (a dataset's sequence
/// column).
std::string renderExplainCsvRows(const Explanation& explanation, const std::string& prefix);
/// The whole report, every frame of the timeline included.
Json explainJson(const ExplainReport& report);

/// One class of the JSON: counts, causes, costs and pairs.
Json explainedClassJson(std::string_view className, const ClassExplanation& explained,
                        int64_t frames);
/// The confusion matrix over `classes` as JSON: its labels, its cells (the
/// whole matrix for a small set, the cells that are not 0 for a large one),
/// and the boxes beside it.
Json confusionJson(const ClassSet& classes, const Confusion& confusion);

/// The label of a row and column of the confusion matrix over `classes`: a
/// class of the set, or "none" after them.
std::string_view confusionLabel(const ClassSet& classes, std::size_t slot);

/// The most classes a confusion table shows.
inline constexpr std::size_t kConfusionShown = 40;

/// The part of a confusion matrix that a table shows, so that a large set's
/// fits a page: the classes with any cell, at most `limit` of them (those
/// with the most objects and boxes in the matrix, ties to the earlier one),
/// in set order; then, when some of those classes were left out, one line
/// that sums them; then none, when it has any cell.
struct ConfusionView {
  enum class Kind { kClass, kOthers, kNone };
  struct Line {
    Kind kind = Kind::kClass;
    std::size_t slot = 0;  // the matrix slot of a class or of none
    std::string label;
  };
  std::vector<Line> lines;                  // the rows, and the same columns, in order
  std::vector<std::vector<int64_t>> cells;  // [row][column] over the lines
  std::size_t others = 0;                   // the classes summed in the others line
  std::vector<std::size_t> unused;          // the slots without any cell, none's included
  /// How many of the lines are classes of their own (they come first).
  std::size_t classLines() const {
    const bool noneShown = !lines.empty() && lines.back().kind == Kind::kNone;
    return lines.size() - (others > 0 ? 1 : 0) - (noneShown ? 1 : 0);
  }
};
ConfusionView viewConfusion(const ClassSet& classes, const Confusion& confusion,
                            std::size_t limit = kConfusionShown);

/// `talmira explain --track`: per class its tracks' switches and
/// fragmentations, then the ground-truth tracks with the most of them
/// (worstTracks(), at most `top`) with the tracker identities each was given.
std::string renderTrackExplainText(const FollowedTracks& followed, std::size_t top);
/// `class,gt_id,frames,matched,switches,fragmentations,tracker_ids`: those
/// tracks, the tracker identities separated by spaces.
std::string renderTrackExplainCsv(const FollowedTracks& followed, std::size_t top);
Json trackExplainJson(const FollowedTracks& followed, std::size_t top);

}  // namespace talmira
