// A tracker's file scored against the ground truth's tracks: what
// `talmira track` and the Python module's track() share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scoring/tracking/track_preparation.h"
#include "talmira/writers/track_report.h"

namespace talmira {

struct TrackRequest {
  std::string groundTruth;
  std::string system;
  std::string groundTruthFormat = "mot";  // mot (MOT15 or 16/17/20, recognised), mot15, ...
  std::string systemFormat = "mot";       // mot: the ground truth's layout
  std::string ids;                        // "text": this format's column 14 is the identity
  std::string rules;                      // empty: the ground truth's layout decides
  std::optional<float> confidence;        // tracker boxes below it are left out
  uint32_t length = 0;                    // 0: seqinfo.ini beside the ground truth, or the files'
};

/// Both files read as trackFiles() reads them: framed for the sequence's
/// length and checked against what the benchmark requires.
struct TrackPair {
  tracking::TrackSequence groundTruth;
  tracking::TrackSequence system;
  tracking::TrackRules rules;
  std::string lengthFrom;  // "--length", "seqinfo.ini" or "the last frame of either file"
  /// The classes evaluated, by name, with the label prepareTracks() takes:
  /// MOT's pedestrians under its benchmarks, each class of the ground truth
  /// otherwise.
  std::vector<std::pair<std::string, int32_t>> classes;
};

/// Reads both files; throws CommandError as trackFiles() does.
TrackPair readTrackPair(const TrackRequest& request, std::vector<std::string>* warnings = nullptr);

/// Reads both files and computes every class's figures. Appends the readers'
/// warnings ("file:line: ...") to `warnings` when given. Throws CommandError:
/// status 2 for a request that makes no sense, 1 for a file that cannot be
/// read or that the benchmark refuses (naming the file and line).
TrackReport trackFiles(const TrackRequest& request, std::vector<std::string>* warnings = nullptr);

}  // namespace talmira
