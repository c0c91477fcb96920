// talmira stability's detection road on a pair of MOT files read frame by
// frame while the frames are matched: each line read once for the matching
// (by the detection reader) and for its identity and exact corners (by the
// track reader), a few blocks of frames in memory whatever the length of
// the video. Within stability_files.cc's detection road, which reads the
// files whole when this cannot take them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "annotation/selection.h"
#include "scoring/tracking/track_stability.h"
#include "talmira/stability_files.h"

namespace talmira {

/// Whether the streamed road may take the request at all: both files of
/// the format mot, regular files, with a class map that does not take every
/// label as it comes.
bool mayStreamStability(const StabilityRequest& request);

/// The classes of the pair as the detection road's readers would give them
/// (pairClasses() of the two sequences), known before any line is read.
ClassSetPtr streamedStabilityClasses(const StabilityRequest& request);

/// Each filter's tracks, as tracking::detectionStability() gives them for
/// the two files read whole, but keyed by the ground truth's identity as
/// written (so that they sort as the whole road's do). Nothing when the
/// files must be read whole after all: a line either reader refuses or
/// warns of, an identity twice in a frame, a negative identity, a file
/// shuffled rather than listed by frame or track, a line this reading does
/// not take (see formats::FrameOrderedLines). What was done is then thrown
/// away, and the whole road says what the readers say.
std::optional<std::vector<std::vector<tracking::TrackStability>>> streamedStability(
    const StabilityRequest& request, const std::vector<TargetFilter>& filters,
    std::span<const std::vector<int64_t>> followed);

}  // namespace talmira
