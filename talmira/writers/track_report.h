// talmira track's output: HOTA, CLEAR and Identity per class, as text
// tables, one CSV row a class, or JSON with every figure under the name
// the tracking benchmarks' evaluator gives it (and HOTA's per alpha).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scoring/tracking/track_measures.h"
#include "talmira/cli_common.h"

namespace talmira {

struct TrackClassResult {
  std::string name;
  tracking::TrackMeasures measures;
};

struct TrackReport {
  std::string groundTruth;
  std::string system;
  std::string rules;  // the benchmark's name ("mot", "mot15", ...)
  uint32_t frames = 0;
  std::string lengthFrom;  // where the sequence length came from
  std::optional<float> confidence;
  std::vector<TrackClassResult> classes;
};

/// A figure as the CSV's header and the JSON's "measures" name it.
struct TrackFigure {
  std::string name;
  /// One of the HOTA family: the headline is the mean over the alphas, and
  /// JSON also gives NAME_per_alpha.
  bool perAlpha;
  /// Counts: the figure is a whole number (per alpha: each value is).
  bool counts;
};

/// Every figure in the order of the CSV's columns after "class": the HOTA
/// family's twelve, then the single values.
std::vector<TrackFigure> trackFigures();

std::string renderTrackText(const TrackReport& report);
std::string renderTrackCsv(const TrackReport& report);

/// The text form's four tables (HOTA, CLEAR, CLEAR's counts, Identity), a
/// row a class.
std::string renderTrackTables(const std::vector<TrackClassResult>& classes);
/// One figure as those tables write it, by the evaluator's name: a ratio as
/// a percentage of three decimals, a count whole.
std::string trackTextCell(const tracking::TrackMeasures& measures, const std::string& name);
/// The CSV form's columns after "class" (each led by a comma), and one
/// class's figures in them, at full precision.
std::string trackCsvHeader();
std::string trackCsvFigures(const tracking::TrackMeasures& measures);
Json trackJson(const TrackReport& report);

/// Every figure of one class under the evaluator's names ("HOTA",
/// "HOTA_per_alpha", "MOTA", "CLR_TP", "IDF1", ...): the headline HOTA
/// figures are means over the alphas.
Json trackMeasuresJson(const tracking::TrackMeasures& measures);

}  // namespace talmira
