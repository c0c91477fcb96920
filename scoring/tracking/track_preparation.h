// What the tracking measures are computed on: for one class, each frame's
// ground truth and tracker boxes as the benchmark's evaluator keeps them
// (its preprocessing applied), with identities renumbered 0..G-1 and
// 0..H-1 in the order of their values.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "annotation/track_sequence.h"

namespace tracking {

/// Whose preprocessing the boxes go through.
enum class TrackBenchmark : uint8_t {
  kPlain,  // a class's considered ground truth against its tracker boxes
  kMot15,  // MOT15: considered ground truth, every tracker box
  kMot16,  // MOT16/17: classes 1..13, distractors' partners removed, pedestrians kept
  kMot20,  // MOT20: as MOT16/17, with non-motorised vehicles among the distractors
  kKitti,  // KITTI tracking: cars and pedestrians, DontCare areas, occlusion and truncation
};

/// "plain", "mot15", "mot", "mot20", "kitti"; and back (also "mot16", "mot17").
std::string_view benchmarkName(TrackBenchmark benchmark);
std::optional<TrackBenchmark> benchmarkNamed(std::string_view name);

/// The MOTChallenge class numbers.
inline constexpr int32_t kPedestrianClass = 1;
inline constexpr int32_t kLastMotClass = 13;

/// The KITTI benchmark's class numbers (its evaluator's), which its rules
/// take as the label of prepareTracks(): a box's label is the index of its
/// type in the sequence's labelNames, whose lower-case text names one of
/// car (and car_2) 1, van 2, truck 3, pedestrian 4, person 5 (sitting),
/// cyclist 6, tram 7, misc 8, dontcare 9.
inline constexpr int32_t kKittiCar = 1;
inline constexpr int32_t kKittiPedestrian = 4;
/// The class number of a KITTI type's text (any case); 0 for none.
int32_t kittiClassNamed(std::string_view type);

struct TrackRules {
  TrackBenchmark benchmark = TrackBenchmark::kPlain;
  /// Tracker boxes scored below this are left out first (a confidence of
  /// -1, none given, never is); none: every box counts, as the evaluators
  /// use no confidence.
  std::optional<float> minConfidence;
};

/// The boxes the measures are computed on: each kept box as it was read
/// (its corners and its line), its identity renumbered. The boxes are the
/// sequences' own type, so that a sequence no longer needed is prepared in
/// its own storage rather than copied (see prepareTracks()).
struct PreparedTracks {
  uint32_t frames = 0;  // the sequence's length
  int32_t groundTruthIds = 0;
  int32_t trackerIds = 0;
  // TrackBox::id is the identity renumbered: 0..groundTruthIds - 1 and
  // 0..trackerIds - 1 in the order of the values written.
  std::vector<TrackBox> groundTruth;
  std::vector<TrackBox> tracker;
  /// The frames with a kept box on either side, rising: a frame without
  /// one adds nothing to any measure (but its count, `frames`). The k-th
  /// one's boxes are [start[k], start[k + 1]); frameNumbers.size() + 1
  /// entries each.
  std::vector<uint32_t> frameNumbers;
  std::vector<uint64_t> groundTruthStart;
  std::vector<uint64_t> trackerStart;
  // The tracker boxes left out for their pairing with a distractor, in
  // frame order: each one's line and the distractor's.
  std::vector<std::pair<uint64_t, uint64_t>> setAsideLines;
  // The identities as written, by renumbered identity.
  std::vector<int64_t> groundTruthIdValues;
  std::vector<int64_t> trackerIdValues;
};

/// Thrown for input the benchmark refuses; what() is "file:line: problem".
class TrackInputError : public std::runtime_error {
 public:
  TrackInputError(std::string file, uint64_t line, std::string_view problem);
  const std::string& file() const { return file_; }
  uint64_t line() const { return line_; }

 private:
  std::string file_;
  uint64_t line_;
};

/// Checks what the benchmark requires of the two sequences under `rules`
/// (MOT16/17/20: every ground-truth class in 1..13, every tracker class -1
/// or 1; KITTI: every type one of its nine, but on a box of negative track
/// id, which its evaluator drops unread). Throws TrackInputError at the
/// first fault.
void checkTrackInput(const TrackSequence& groundTruth, const TrackSequence& tracker,
                     const TrackRules& rules);

/// The boxes of class `label` (MOT's pedestrians under its benchmarks;
/// kKittiCar or kKittiPedestrian under KITTI's; -1 takes every class under
/// kPlain) after the benchmark's preprocessing. Under KITTI's, an identity
/// given twice in a frame among the boxes kept is refused (TrackInputError),
/// the first such frame's, tracker before ground truth, as its evaluator
/// checks.
/// Both sequences must have the same length. The first copies the boxes
/// kept; the second takes the sequences' boxes and keeps them where they
/// are (the kept boxes of a frame moved down over those left out), so that
/// a sequence and its prepared boxes are never held at once.
PreparedTracks prepareTracks(const TrackSequence& groundTruth, const TrackSequence& tracker,
                             const TrackRules& rules, int32_t label);
PreparedTracks prepareTracks(TrackSequence&& groundTruth, TrackSequence&& tracker,
                             const TrackRules& rules, int32_t label);

/// Intersection over union of a ground-truth box and a tracker box as the
/// evaluator computes it: corners in doubles, areas from the corners, and
/// no overlap for a box of no area (or an empty union).
double trackIou(const TrackBox& groundTruth, const TrackBox& tracker);

}  // namespace tracking
