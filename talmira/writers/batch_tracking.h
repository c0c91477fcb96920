// `talmira batch --track`: a dataset's tracking figures (HOTA, CLEAR,
// Identity) per sequence as `talmira track` gives them and combined as the
// tracking benchmarks' evaluator combines sequences; their text, CSV and
// JSON forms, and what a shard's part carries of each sequence (its sums,
// every double exactly) so that `talmira merge` gives the same bytes.
#pragma once

#include <memory>
#include <string>

#include "talmira/writers/batch_report.h"

namespace talmira {

/// The whole run's output in each format; `result` has been settled
/// (settleTracking()).
std::string renderTrackingText(const BatchResult& result);
std::string renderTrackingCsv(const BatchResult& result);
Json trackingJson(const BatchResult& result);

/// The settings as the source states them ({"gt_format", "sys_format",
/// "ids", "rules"}, null where not given), and back (a CommandError of
/// status 1 naming `path` when they are not settings --track takes).
Json trackingSettingsJson(const TrackingSettings& settings);
TrackingSettings trackingSettingsFromJson(const Json& json, const std::string& path);
/// The options that give `settings`: "--track", then those not the defaults.
std::string trackingWords(const TrackingSettings& settings);

/// A sum's doubles and counts as JSON, and back: every double as the
/// shortest text that reads back as the same double, every count checked.
Json trackSumsJson(const tracking::TrackSums& sums);
tracking::TrackSums trackSumsFromJson(const Json& json, const std::string& path,
                                      const std::string& what);

/// A sequence's evaluation in a part, and back, its figures computed again
/// from its sums (trackMeasures(), which made them in the first place).
Json trackingPartJson(const SequenceTracking& tracking);
std::shared_ptr<const SequenceTracking> parseTrackingPart(const Json& json,
                                                          const BatchSequence& sequence,
                                                          const TrackingSettings& settings,
                                                          const std::string& path);

}  // namespace talmira
