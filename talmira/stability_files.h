// Two files read for the stability of detections over each ground-truth
// track: what `talmira stability` and the Python module share. The pairs
// come from the matching `talmira score` makes under the rules in force, or
// under --rules mot from CLEAR's, as `talmira track` makes it; the
// identities and the exact boxes from the track reader.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "talmira/cli_common.h"
#include "talmira/writers/stability_report.h"

namespace talmira {

struct StabilityRequest {
  std::string groundTruth;
  std::string system;
  std::string groundTruthFormat = "talmira";  // as --gt-format names it
  std::string systemFormat = "talmira";
  std::string ids;  // "text": this format's column 14 is the identity
  /// The detection road: how the inputs are read and matched.
  InputFormats formats;
  /// CLEAR's matching (--rules mot) instead of the detection road's.
  bool clear = false;
  float confidence = 0.0f;
  bool confidenceGiven = false;  // CLEAR: without -c every box counts
  std::string className = "All";
  /// Tracks of each class row whose every frame is kept (the worst by their
  /// sum), for a page that draws them; 0 keeps none.
  std::size_t followWorst = 0;
};

/// The message of a ground truth that names no tracks, with status 1.
inline constexpr const char* kNoIdentities =
    "the ground truth has no identities: stability follows each ground-truth track, so its "
    "file must name them (MOT, VisDrone, UAVDT or KITTI files, or this format's with --ids "
    "text and column 14 naming each box's track)";

/// Reads both files and computes each class's stability. Throws CommandError:
/// status 1 for a file that cannot be read, that names no identities, or
/// that gives one identity twice in a frame; status 2 for a request that
/// makes no sense (a class the pair has not, a system format whose boxes
/// are not kept exactly).
StabilityReport stabilityOfFiles(const StabilityRequest& request,
                                 std::vector<std::string>* warnings = nullptr);

/// The tracks of `row` worth drawing: those used, by their sum, the largest
/// first (then by identity order), at most `top`.
std::vector<const StabilityTrackRow*> worstStabilityTracks(const StabilityClassRow& row,
                                                           std::size_t top);

}  // namespace talmira
