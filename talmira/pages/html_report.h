// Self-contained HTML pages of a confidence sweep and of a dataset: inline
// CSS and SVG, a little inline script, nothing fetched from a network.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/precision/coco_evaluation.h"

namespace talmira {

struct SweepReportInput {
  std::string groundTruth, system;    // the input paths
  std::vector<std::string> warnings;  // the `check` warnings, one sentence each (may be empty)
  ClassSetPtr classSet = ClassSet::standard();  // the names of the rows
  const SweepCurves* exact = nullptr;           // the exact curves
  float confidence = 0.0f;                      // the table below is at this threshold
  std::vector<ClassCounts> atConfidence;
  std::string producedBy;  // e.g. "talmira 1.0.0 sweep gt.csv sys.csv --exact"
  // COCO's evaluation of the pair (each frame an image), for its curves at
  // IoU 0.5 and 0.75 per class; none when null.
  const precision::CocoResult* coco = nullptr;
};
/// One self-contained page (inline CSS and SVG, no network): inputs, warnings,
/// best operating points with each class's average precision, the table at
/// `confidence`, the curves (renderSweepSvg) and precision against recall
/// (renderPrecisionRecallSvg), then COCO's precision against recall at IoU
/// 0.5 and 0.75 when given. Without curves, the parts that need them say so.
std::string renderSweepReport(const SweepReportInput& input);

struct DatasetSequenceRow {
  std::string name, groundTruth, system;
  std::string error;  // empty when scored
  std::vector<ClassCounts> classes =
      std::vector<ClassCounts>(kClassCount);  // when scored: a row a class
  std::optional<CurvePoint> bestAll;          // with --sweep: the sequence's best point of "All"
  std::string viewPage;  // with --view: the address of its `talmira view` page; empty otherwise
};
struct DatasetReportInput {
  std::string list;  // the LIST file, or "A vs B" folders
  float confidence = 0.0f;
  ClassSetPtr classSet = ClassSet::standard();  // the dataset's classes
  std::vector<ClassCounts> pooled =
      std::vector<ClassCounts>(kClassCount);  // over the scored sequences
  std::vector<DatasetSequenceRow> sequences;  // in LIST order
  const SweepCurves* pooledCurves = nullptr;  // with --sweep only
  std::string producedBy;
};
/// The dataset page: pooled table, per-sequence table ("All" counts) sortable
/// by NMODTA, name, counts and best point (inline script; without it the
/// tables show in LIST order; the sort is kept in the address as
/// #sort=<column>-<asc|desc>), failed sequences with their message, and with
/// --sweep the pooled best points, curves and precision against recall.
std::string renderDatasetReport(const DatasetReportInput& input);

}  // namespace talmira
