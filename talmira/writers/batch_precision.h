// `talmira batch --ap`: a dataset's average precision, its text, CSV and
// JSON forms, and what a shard's part carries of each sequence (its matched
// cells) so that `talmira merge` accumulates the same figures.
#pragma once

#include <string>

#include "talmira/writers/batch_report.h"

namespace talmira {

/// The whole run's output in each format (the pooled figures and each
/// sequence's); `result` has been settled (settlePrecision()).
std::string renderPrecisionText(const BatchResult& result);
std::string renderPrecisionCsv(const BatchResult& result);
Json precisionJson(const BatchResult& result);

/// The evaluation's parameters as JSON, {"iou_thresholds", "max_detections",
/// "area_ranges"}, and back (a CommandError of status 1 naming `path` when
/// they are not parameters the evaluation takes).
Json parametersJson(const precision::CocoParameters& parameters);
precision::CocoParameters parametersFromJson(const Json& json, const std::string& path);
/// The options that give `parameters`: "--ap", then the parameters' options
/// when they are not COCO's own.
std::string precisionWords(const precision::CocoParameters& parameters);
bool sameParameters(const precision::CocoParameters& a, const precision::CocoParameters& b);

/// A sequence's matches in a part: its images, categories and counts, and
/// the cells' numbers as strings of numbers (one JSON string per list,
/// which keeps a part of a large dataset small); and back, every index and
/// length checked, with the figures accumulated again.
Json precisionPartJson(const SequencePrecision& precision);
std::shared_ptr<const SequencePrecision> parsePrecisionPart(
    const Json& json, const precision::CocoParameters& parameters, const std::string& path,
    const std::string& sequence);

}  // namespace talmira
