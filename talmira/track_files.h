// A tracker's file scored against the ground truth's tracks: what
// `talmira track` and the Python module's track() share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scoring/tracking/track_preparation.h"
#include "talmira/cli_common.h"
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
  /// --rules kitti: the benchmark's seqmap giving the sequence's length
  /// (else evaluate_tracking.seqmap.training beside the ground truth, if
  /// there is one, else the last frame of either file).
  std::string seqmap;
  /// A system file whose every identity is -1 (a detector's, as MOT's
  /// det.txt writes it) gets an identity of its own for each box, rather
  /// than being refused for giving one twice in a frame: CLEAR then pairs
  /// its boxes by IoU alone, as no box continues another's track.
  bool identityPerBox = false;
};

/// A file that cannot be read or that the benchmark refuses: a CommandError
/// of status 1 whose message is "file:line: problem" ("file: problem"
/// where no line is to blame), with the file and line apart, and the errno
/// of a file that could not be opened or read (0 for a fault in what it
/// holds). The file may be the seqinfo.ini beside the ground truth.
struct TrackFileError : CommandError {
  std::string file;
  uint64_t line = 0;
  int systemError = 0;
};

/// Refuses, as trackFiles() would before reading anything, a request whose
/// formats, --ids or --rules make no sense: a CommandError of status 2. A
/// dataset's run checks its options once, before any sequence.
void checkTrackRequest(const TrackRequest& request);

/// Whether `name` is one of the track formats a request may name ("mot",
/// "mot15", "mot16", "mot17", "mot20", "visdrone", "uavdt", "kitti",
/// "talmira"), and their names for messages.
bool isTrackFormat(const std::string& name);
std::string trackFormatNames();

/// Both files read as trackFiles() reads them: framed for the sequence's
/// length and checked against what the benchmark requires.
struct TrackPair {
  tracking::TrackSequence groundTruth;
  tracking::TrackSequence system;
  tracking::TrackRules rules;
  /// "--length", "seqinfo.ini", the seqmap's path (KITTI) or "the last
  /// frame of either file".
  std::string lengthFrom;
  /// False when the system's boxes were given an identity each
  /// (TrackRequest::identityPerBox): its file has none.
  bool systemIdentities = true;
  /// The classes evaluated, by name, with the label prepareTracks() takes:
  /// MOT's pedestrians under its benchmarks, KITTI's cars and pedestrians
  /// under its (both, whatever the files hold), each class of the ground
  /// truth otherwise.
  std::vector<std::pair<std::string, int32_t>> classes;
};

/// Reads both files; throws CommandError as trackFiles() does.
TrackPair readTrackPair(const TrackRequest& request, std::vector<std::string>* warnings = nullptr);

/// The boxes of one of the pair's classes, as prepareTracks() gives them;
/// throws TrackFileError where the benchmark refuses a frame. The second
/// prepares them in the sequences' own storage, leaving the pair's
/// sequences empty: for the last class, once nothing else needs them.
tracking::PreparedTracks prepareClass(const TrackPair& pair, int32_t label);
tracking::PreparedTracks prepareClass(TrackPair&& pair, int32_t label);
/// The same under other rules than the pair's (another confidence).
tracking::PreparedTracks prepareClass(const TrackPair& pair, int32_t label,
                                      const tracking::TrackRules& rules);

/// Reads both files and computes every class's figures. Appends the readers'
/// warnings ("file:line: ...") to `warnings` when given. Throws CommandError
/// of status 2 for a request that makes no sense, and TrackFileError for a
/// file that cannot be read or that the benchmark refuses.
TrackReport trackFiles(const TrackRequest& request, std::vector<std::string>* warnings = nullptr);

}  // namespace talmira
