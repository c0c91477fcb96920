// talmira stability's output: per class the three stability errors averaged
// over the ground-truth tracks, as a text table; one CSV row a track; JSON
// with both, each track's worst frames included.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scoring/tracking/track_stability.h"
#include "talmira/cli_common.h"
#include "talmira/output_pieces.h"

namespace talmira {

/// One ground-truth track, with its identity as the file writes it.
struct StabilityTrackRow {
  std::string identity;
  tracking::TrackStability stability;
};

/// One class (or "All"): its summary and its tracks in identity order.
struct StabilityClassRow {
  std::string name;
  tracking::StabilitySummary summary;
  std::vector<StabilityTrackRow> tracks;
};

struct StabilityReport {
  std::string groundTruth;
  std::string system;
  /// "detection": the matching of talmira score under `rules`; "clear":
  /// CLEAR's at IoU 0.5, under the tracking benchmark `trackRules`.
  std::string matching = "detection";
  ScoringRules rules;
  std::string trackRules;  // "mot", "mot15", "plain" with matching "clear"
  std::optional<float> confidence;
  /// "All" first (the detection road's All, or every class's tracks
  /// together under CLEAR), then each class; or the one class asked for.
  std::vector<StabilityClassRow> classes;
};

/// The summary table, a row a class, and the line that says which matching.
std::string renderStabilityText(const StabilityReport& report);
/// One row a track (of every class row, "All" first), at full precision:
/// class,identity,frames,matched,fragment_error,centre_error,sd_x,sd_y,
/// scale_ratio_error,sd_ratio,sd_scale,sum,worst_frames; the errors empty
/// for a track never matched, worst_frames the frames separated by spaces.
std::string renderStabilityCsv(const StabilityReport& report);
Json stabilityJson(const StabilityReport& report);
/// Hands `sink` jsonText(stabilityJson(report)), the same bytes, a piece at
/// a time: each track's object is written on its own (a few thousand at
/// once, the next made while these are handed over), so that a long video's tens of thousands of
/// tracks never stand as one document, nor as one text, in memory.
void writeStabilityJson(const StabilityReport& report, const OutputSink& sink);
/// The same text whole.
std::string stabilityJsonText(const StabilityReport& report);

/// The CSV header, for the tests and the Python module.
inline constexpr const char* kStabilityCsvHeader =
    "class,identity,frames,matched,fragment_error,centre_error,sd_x,sd_y,scale_ratio_error,"
    "sd_ratio,sd_scale,sum,worst_frames\n";

}  // namespace talmira
