// Identities followed through CLEAR's matching, frame by frame: what became
// of every box of a track, where a ground-truth track changed tracker
// identity (an identity switch) and where it was picked up again after
// frames without a match (a fragmentation). `talmira events --track`,
// `talmira explain --track`, `talmira view --track` and the Python module
// share it; the matches are the library's own (evaluateTracks()' observer),
// so the rows add up to `talmira track`'s CLR_TP, CLR_FN, CLR_FP, IDSW and
// Frag.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scoring/tracking/track_measures.h"
#include "talmira/track_files.h"

namespace CLI {
class App;
}  // namespace CLI

namespace talmira {

/// What a row tells.
enum class TrackEventKind : uint8_t {
  kMatch,       // a box CLEAR matched (either side)
  kMiss,        // a ground-truth box left unmatched
  kExcluded,    // a ground-truth box the benchmark does not evaluate (not considered,
                // another class, a distractor)
  kFalseAlarm,  // a tracker box left unmatched
  kSetAside,    // a tracker box the benchmark leaves out for its pairing with a distractor
  kSwitch,      // a ground-truth track matched to another tracker identity than at its last match
  kFragment,    // a ground-truth track matched again after frames without a match
};
inline constexpr std::size_t kTrackEventKinds = 7;

/// match, miss, excluded, false_alarm, set_aside, switch, fragment.
const char* trackEventName(TrackEventKind kind);

/// One row. Box rows (match to set_aside) are a box's; switch and fragment
/// rows are the ground-truth track's, at its box of the frame.
struct TrackEventRow {
  uint32_t frame = 0;
  bool systemSide = false;
  TrackEventKind kind = TrackEventKind::kMatch;
  const tracking::TrackBox* box = nullptr;  // the row's box, in FollowedTracks' sequences
  std::optional<uint64_t> partnerLine;      // the matched box, or the distractor (set_aside)
  double overlap = std::numeric_limits<double>::quiet_NaN();  // a match's IoU
  std::optional<int64_t> truthId;                             // as written
  std::optional<int64_t> systemId;                            // as written
  // Switch and fragment rows: the track's previous match.
  std::optional<int64_t> previousSystemId;
  std::optional<uint32_t> previousFrame;
  std::optional<uint64_t> previousLine;    // its tracker box
  std::optional<int64_t> unmatchedFrames;  // fragment rows: ClearMatch::unmatchedFrames
  int32_t track = -1;  // the ground-truth track's renumbered identity, -1 for none
};

/// One ground-truth track, over the sequence.
struct FollowedTrack {
  int64_t id = 0;        // as written
  int64_t frames = 0;    // frames it is evaluated in
  int64_t matched = 0;   // of those, frames CLEAR matched it
  int64_t switches = 0;  // its identity switches
  int64_t fragmentations = 0;
  std::vector<int64_t> trackerIds;  // as written, in the order it was first matched to each
};

/// One class of the sequence, followed.
struct FollowedClass {
  std::string name;
  tracking::TrackSums sums;  // evaluateTracks()' own
  /// Frame by frame: the ground-truth boxes (file order), the tracker boxes
  /// (file order; those below the confidence have none), then the frame's
  /// switches and fragmentations (in the order of the boxes matched).
  std::vector<TrackEventRow> rows;
  /// The frames with a row or a box below the confidence, rising; frames[k]'s
  /// rows are [frameStart[k], frameStart[k + 1]), frames.size() + 1 entries.
  std::vector<uint32_t> frames;
  std::vector<std::size_t> frameStart;
  std::vector<FollowedTrack> tracks;  // by renumbered identity
  /// The tracker boxes of the class below the confidence, by frame, for a
  /// page to draw faintly (no row has them).
  std::vector<const tracking::TrackBox*> belowConfidence;
  std::vector<std::size_t> belowStart;  // as frameStart

  /// Frame `frame`'s rows, [first, second) (empty for a frame without any);
  /// and its boxes below the confidence.
  std::pair<std::size_t, std::size_t> rowsOf(uint32_t frame) const;
  std::pair<std::size_t, std::size_t> belowOf(uint32_t frame) const;
};

struct FollowedTracks {
  TrackRequest request;
  TrackPair pair;  // the boxes the rows point to
  std::vector<FollowedClass> classes;
};

/// Reads both files as `talmira track` reads them and follows each class
/// evaluated, or only the one named `className` ("All": every class).
/// Throws CommandError as trackFiles() does, and of status 2 naming the
/// classes for a class none bears (as the --class of `command`, when given).
FollowedTracks followTrackFiles(const TrackRequest& request, const std::string& className = "All",
                                std::vector<std::string>* warnings = nullptr,
                                std::string_view command = {});

/// The ground-truth tracks with the most switches and fragmentations (those
/// with any), at most `top`: most switches and fragmentations together
/// first, then most switches, then the identity as written.
std::vector<const FollowedTrack*> worstTracks(const FollowedClass& followed, std::size_t top);

/// --track and what goes with it, on a command that reads detections
/// otherwise (events, explain, view).
struct TrackOptionsGiven {
  bool track = false;
  std::string rules;    // --track-rules
  uint32_t length = 0;  // --length
  std::string ids;      // --ids
};

/// Adds --track, --track-rules, --length and --ids in a group of their own.
void addTrackOptions(CLI::App& command, TrackOptionsGiven& given);

/// The request --track makes of `command`'s options once parsed, or none
/// without --track: --gt-format and --sys-format as `talmira track` takes
/// them (mot when not given), the confidence when -c was given. Throws
/// CommandError of status 2 when an option that has no meaning for tracks
/// was given with --track (the detection rules, --near, the options of
/// other formats, a format that carries no tracks), and when an option of
/// tracks was given without it.
std::optional<TrackRequest> trackRequestOf(const CLI::App& command, const TrackOptionsGiven& given,
                                           const std::string& groundTruth,
                                           const std::string& system,
                                           const std::string& groundTruthFormat,
                                           const std::string& systemFormat, float confidence);

/// The track layouts --gt-format and --sys-format take beyond the formats
/// of detections: mot15, mot16, mot17, mot20; and what their help says.
const std::vector<std::string>& trackOnlyFormatNames();
inline constexpr const char* kTrackFormatsHelp =
    "; with --track: mot (MOT15 or MOT16/17/20, recognised), mot15, mot16, mot17, mot20, "
    "visdrone, uavdt, kitti, cvat or talmira (with --ids text)";

}  // namespace talmira
