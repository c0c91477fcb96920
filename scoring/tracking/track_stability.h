// How steadily a detector follows each ground-truth track: whether it keeps
// finding the object (the fragment error), how much the centre of its box
// wanders about the object's (the centre error), and how much the box's
// shape and size waver (the scale and ratio error). After Zhang and Wang,
// "On the Stability of Video Detection and Tracking" (2017).
//
// The measures are made online: a track's state is a few running sums and
// its worst frames, so a video of any length costs memory per track, not
// per frame. The matching is not decided here: each road (the detection
// matching of `talmira score`, CLEAR's of the tracking benchmarks) tells
// the accumulator, frame by frame, which ground-truth boxes were matched
// and to which box.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/tracking/track_preparation.h"

namespace tracking {

/// A box by its corners, at the file's own precision.
struct StabilityBox {
  double left = 0.0;
  double top = 0.0;
  double right = 0.0;
  double bottom = 0.0;
};

/// How a matched detection departs from its ground-truth box: the centre's
/// shift in widths and heights of the ground truth, and the aspect ratio's
/// and the scale's relative change.
struct StabilityOffsets {
  double x = 0.0;      // (xc_d - xc_g) / w_g
  double y = 0.0;      // (yc_d - yc_g) / h_g
  double ratio = 0.0;  // (w_d / h_d) / (w_g / h_g) - 1
  double scale = 0.0;  // sqrt(w_d h_d) / sqrt(w_g h_g) - 1
  /// sqrt(x^2 + y^2 + ratio^2 + scale^2): how far the frame is from a
  /// perfect box, which ranks a track's worst frames.
  double magnitude() const;
};

/// The offsets of `detection` from `truth`. Both must have a positive width
/// and height, as every matched pair has (a box of no area matches nothing
/// on either road).
StabilityOffsets stabilityOffsets(const StabilityBox& truth, const StabilityBox& detection);

/// One annotated frame of a track.
struct StabilityFrame {
  uint32_t frame = 0;
  bool matched = false;
  StabilityOffsets offsets;  // zero when not matched
};

/// A track's worst frames: the matched frames of largest magnitude(), at
/// most this many, the largest first (the earlier frame first on a tie).
inline constexpr std::size_t kWorstFrames = 3;

/// One ground-truth track's errors.
struct TrackStability {
  int64_t track = 0;    // the key it was given under
  int64_t frames = 0;   // annotated frames (matched or not)
  int64_t matched = 0;  // of those, matched
  int64_t changes = 0;  // changes between matched and unmatched along its frames
  // The errors, meaningful when matched > 0 (the track is used).
  double fragmentError = 0.0;    // E_F = changes / (frames - 1); 0 for one frame
  double centreError = 0.0;      // E_C = sdX + sdY
  double sdX = 0.0;              // population sd of the x offsets
  double sdY = 0.0;              // ... of the y offsets
  double scaleRatioError = 0.0;  // E_R = sdRatio + sdScale
  double sdRatio = 0.0;
  double sdScale = 0.0;
  std::vector<StabilityFrame> worst;   // see kWorstFrames
  std::vector<StabilityFrame> series;  // every annotated frame, for followed tracks only

  bool used() const { return matched > 0; }
  double total() const { return fragmentError + centreError + scaleRatioError; }
};

/// The errors averaged over the tracks used (those with a matched frame).
struct StabilitySummary {
  int64_t tracks = 0;   // used
  int64_t leftOut = 0;  // never matched
  double fragmentError = 0.0;
  double centreError = 0.0;
  double scaleRatioError = 0.0;
  /// The mean of the tracks' sums, which is the sum of the three means.
  double total() const { return fragmentError + centreError + scaleRatioError; }
};

/// Means in the order of `tracks`; all zero when no track is used.
StabilitySummary summarizeStability(std::span<const TrackStability> tracks);

/// Each track's errors from its annotated frames, told in frame order.
class StabilityAccumulator {
 public:
  /// Also keeps every annotated frame of `track` (TrackStability::series),
  /// for a page that draws it; the others keep only their running sums.
  void follow(int64_t track);
  /// Track `track`'s box of frame `frame`, matched to `detection` (null when
  /// it was not matched).
  void add(int64_t track, uint32_t frame, const StabilityBox& truth, const StabilityBox* detection);
  /// The tracks told of, by key in ascending order.
  std::vector<TrackStability> finish() const;
  /// The same, the accumulator emptied on the way (each track's state
  /// given back as its row is made, rather than both held at once).
  std::vector<TrackStability> take();

 private:
  // A population sd kept online (Welford's update), steady however large
  // the values and however long the track.
  struct Spread {
    double mean = 0.0;
    double squares = 0.0;  // sum of squared distances from the mean
    void add(double value, int64_t count);
    double sd(int64_t count) const;
  };
  struct State {
    int64_t frames = 0;
    int64_t matched = 0;
    int64_t changes = 0;
    bool lastMatched = false;
    bool followed = false;
    Spread x, y, ratio, scale;
    std::vector<StabilityFrame> worst;
    std::vector<StabilityFrame> series;
  };
  // A track's errors from its state, without its frames.
  static TrackStability stabilityOf(int64_t key, const State& state);

  std::unordered_map<int64_t, State> states_;
};

/// The ground-truth tracks of `prepared` through CLEAR's matching at IoU
/// 0.5 (evaluateTracks()' own): every ground-truth box kept by the
/// benchmark's preprocessing is a frame of its track, matched or not. Keys
/// are the renumbered identities. `followed` tracks keep their series.
std::vector<TrackStability> clearStability(const PreparedTracks& prepared,
                                           std::span<const int32_t> followed = {});

/// What the detection road needs beyond the matching: each ground-truth
/// box's track and exact corners (the matching sees whole pixels), and each
/// system box's. A box is named by its frame's position in its sequence
/// and its own in the frame's targets, as read.
class DetectionBoxes {
 public:
  virtual ~DetectionBoxes() = default;
  /// The track's key, or -1 for a box of no track.
  virtual int64_t truthTrack(std::size_t frame, std::size_t box) const = 0;
  virtual StabilityBox truthBox(std::size_t frame, std::size_t box) const = 0;
  virtual StabilityBox systemBox(std::size_t frame, std::size_t box) const = 0;
};

/// detectionStability() a frame at a time, for frames handed over as they
/// are read: the same matching of each frame, told to the same
/// accumulators. The ground-truth frames must come in the order
/// detectionStability() takes them.
class DetectionStabilityFeeder {
 public:
  explicit DetectionStabilityFeeder(const std::vector<TargetFilter>& filters,
                                    std::span<const std::vector<int64_t>> followed = {});
  /// Ground-truth frame `truth`, the frame at `truthFrame` of those `boxes`
  /// names, with the system frame of its number (at `systemFrame`), or null.
  void frame(const QuorFrame& truth, std::size_t truthFrame, const QuorFrame* partner,
             int32_t systemFrame, const DetectionBoxes& boxes);
  /// One list per filter, as detectionStability() gives them; the feeder
  /// is emptied.
  std::vector<std::vector<TrackStability>> finish();

 private:
  const std::vector<TargetFilter>& filters_;
  std::vector<StabilityAccumulator> accumulators_;
  // All and its classes matched at once where the filters allow it.
  bool shared_ = false;
  std::vector<int32_t> codes_;
  std::vector<std::size_t> codeFilter_;  // the filter of codes_[k]
  std::vector<bool> inShared_;
  QuorFrame truthAll_{0}, systemAll_{0}, truthScratch_{0}, systemScratch_{0};
  std::vector<FrameEvents> events_;
  FrameEvents single_;
  std::vector<uint32_t> truthAt_, systemAt_, classTruthAt_, classSystemAt_;
};

/// The ground-truth tracks of each filter's class through the matching of
/// `talmira score` (frames paired by number, both keep switches off, the
/// rules the frames carry): a box matched or missed is a frame of its
/// track, a flagged one is not. One list per filter, in the filters' order;
/// `followed`, when given, holds for each filter the tracks that keep
/// their series. Frames are taken in the ground truth's order.
std::vector<std::vector<TrackStability>> detectionStability(
    const QuorSequence& groundTruth, const QuorSequence& system,
    const std::vector<TargetFilter>& filters, const DetectionBoxes& boxes,
    std::span<const std::vector<int64_t>> followed = {});

}  // namespace tracking
