// HOTA, CLEAR (MOTA and its kin) and Identity (IDF1) of one class of a
// sequence, or of several sequences combined, computed as the tracking
// benchmarks' evaluator (TrackEval) computes them, to its last bit where
// its numpy arithmetic allows: the same assignments, ties included, the
// same epsilons and the same order of every sum.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "scoring/tracking/track_preparation.h"

namespace tracking {

inline constexpr std::size_t kAlphaCount = 19;
using AlphaValues = std::array<double, kAlphaCount>;

/// HOTA's localisation thresholds, 0.05 + k * 0.05 in doubles (k = 0..18),
/// as numpy's arange gives them.
const AlphaValues& hotaAlphas();

/// What a sequence contributes to its measures, and what sequences
/// combine by: the counts, and HOTA's association ratios with the true
/// positives they are weighted by.
struct TrackSums {
  // CLEAR at IoU 0.5.
  int64_t clearTp = 0;
  int64_t clearFn = 0;
  int64_t clearFp = 0;
  int64_t idSwitches = 0;
  int64_t mostlyTracked = 0;
  int64_t partlyTracked = 0;
  int64_t mostlyLost = 0;
  int64_t fragmentations = 0;
  int64_t frames = 0;
  double motpSum = 0.0;
  // Identity at IoU 0.5.
  int64_t idTp = 0;
  int64_t idFn = 0;
  int64_t idFp = 0;
  // HOTA, per alpha.
  AlphaValues hotaTp = {};
  AlphaValues hotaFn = {};
  AlphaValues hotaFp = {};
  AlphaValues assA = {};
  AlphaValues assRe = {};
  AlphaValues assPr = {};
  AlphaValues locA = {};
  // A sequence with no ground truth or no tracker box at all: its ratios
  // are zero, as the evaluator returns them before computing any.
  bool empty = false;
};

/// Every figure the evaluator reports, with its names.
struct TrackMeasures {
  // HOTA family, per alpha (the headline figures are their means).
  AlphaValues hota = {}, detA = {}, assA = {}, detRe = {}, detPr = {}, assRe = {}, assPr = {};
  AlphaValues locA = {}, owta = {};
  AlphaValues hotaTp = {}, hotaFn = {}, hotaFp = {};
  double hotaZero = 0.0;      // HOTA(0)
  double locAZero = 0.0;      // LocA(0)
  double hotaLocAZero = 0.0;  // HOTALocA(0)
  // CLEAR.
  double mota = 0.0, motp = 0.0, moda = 0.0, clearRecall = 0.0, clearPrecision = 0.0;
  double mtRatio = 0.0, ptRatio = 0.0, mlRatio = 0.0, smota = 0.0, clearF1 = 0.0;
  double fpPerFrame = 0.0, motal = 0.0;
  // Identity.
  double idf1 = 0.0, idRecall = 0.0, idPrecision = 0.0;
  TrackSums sums;
};

/// One of CLEAR's matches in a frame: which boxes of the frame (their
/// positions in PreparedTracks' frame slices) and what the match means for
/// the ground-truth track.
struct ClearMatch {
  uint32_t truthIndex;    // the ground-truth box's position in its frame
  uint32_t trackerIndex;  // the tracker box's position in its frame
  int32_t truthId;
  int32_t trackerId;
  double iou;
  // The track was last matched to another tracker identity: a switch.
  int32_t previousTrackerId;  // -1 when never matched before
  bool idSwitch;
  // The track is matched again after frames without a match: a
  // fragmentation (its first match is none).
  bool fragmentation;
  // The frames the track was present in without a match since its previous
  // match (since it first appeared, for its first match). A fragmentation
  // may have none: the track was absent from a frame that had both sides.
  int64_t unmatchedFrames;
};

/// Told CLEAR's matches frame by frame, for events and pages.
class ClearObserver {
 public:
  virtual ~ClearObserver() = default;
  /// Frame `frame` (frames with both sides only), its matches by row.
  virtual void matched(uint32_t frame, std::span<const ClearMatch> matches) = 0;
};

/// The mean over the alphas, as numpy's mean of the 19 values.
double alphaMean(const AlphaValues& values);

/// A sequence's sums; `observer`, when given, is told CLEAR's matches.
TrackSums evaluateTracks(const PreparedTracks& tracks, ClearObserver* observer = nullptr);

/// Sequences combined: counts added, association and localisation
/// weighted by HOTA's true positives, per alpha.
TrackSums combineTracks(std::span<const TrackSums> sequences);
/// The same with sequence k counted weights[k] times: the sums of the
/// sequences in which sequence k is there weights[k] times in a row (not at
/// all for 0), to the bit, as a resample of the sequences needs them.
/// Throws std::invalid_argument unless there is a weight for each sequence.
TrackSums combineTracks(std::span<const TrackSums> sequences, std::span<const uint32_t> weights);

/// Every ratio from the sums.
TrackMeasures trackMeasures(const TrackSums& sums);

}  // namespace tracking
