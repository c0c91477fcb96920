// The result of `talmira explain` and its text, CSV and JSON forms.
#pragma once

#include <array>
#include <string>

#include "scoring/analysis/sequence_explanation.h"
#include "talmira/cli_common.h"

namespace talmira {

/// Why a detector lost points on one sequence pair (or, pooled, on a dataset).
struct ExplainReport {
  std::string groundTruth;  // the paths as given
  std::string system;
  float confidence = 0.0f;
  float near = kDefaultNearThreshold;
  Explanation explanation;
  ScoringRules rules;  // what the matching was under, for the page to say
};

/// The explanation of two files, as `talmira explain` makes it: with
/// `options.threads` above 1 and frame numbers that only grow, while they are
/// read; otherwise (or for inputs of other formats) read whole. Throws
/// CommandError with the readers' messages.
Explanation explainFiles(const std::string& groundTruthPath, const std::string& systemPath,
                         const ExplainOptions& options, const InputFormats& formats = {});

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
std::string renderExplainCsvRows(const std::array<ClassExplanation, kClassCount>& classes,
                                 const std::string& prefix);
/// The whole report, every frame of the timeline included.
Json explainJson(const ExplainReport& report);

/// One class of the JSON: counts, causes, costs and pairs.
Json explainedClassJson(const char* className, const ClassExplanation& explained, int64_t frames);
/// The confusion matrix as JSON: labels, matrix, and the boxes beside it.
Json confusionJson(const Confusion& confusion);

/// The labels of the confusion matrix's rows and columns: the ten classes, then "none".
const char* confusionLabel(std::size_t slot);

}  // namespace talmira
