// The result of `talmira score` and its text, CSV and JSON forms.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scoring/counts/class_scores.h"
#include "talmira/cli_common.h"

namespace talmira {

/// Every class's counts for one sequence pair at one confidence.
struct ScoreReport {
  std::string groundTruth;  // the paths as given
  std::string system;
  float confidence = 0.0f;
  ClassSetPtr classSet = ClassSet::standard();  // the rows' names
  std::vector<ClassCounts> classes;             // a row each, "All" first
};

/// An aligned table for people: class, GT, Det, FN, FP, Frames, NMODTA.
std::string renderScoreText(const ClassSet& classSet, const std::vector<ClassCounts>& classes);
/// `class,gt,det,fn,fp,frames,nmodta`, then one row per class, LF line ends,
/// NMODTA written as the console program's result file writes it; a class
/// name quoted as CSV needs.
std::string renderScoreCsv(const ClassSet& classSet, const std::vector<ClassCounts>& classes);
/// One class as a JSON object: class, gt, det, fn, fp, frames, nmodta.
Json classJson(std::string_view className, const ClassCounts& counts);
/// The whole report as JSON.
Json scoreJson(const ScoreReport& report);

/// The text table's rows; `header` first. The first `leftColumns` columns
/// are left-aligned, the others right-aligned to their widest cell.
std::string renderTable(const std::vector<std::vector<std::string>>& rows,
                        std::size_t leftColumns = 1);

}  // namespace talmira
