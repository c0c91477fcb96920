// ImageNet VID's average precision for boxes, with the split by motion speed
// that video detectors report (slow, medium, fast objects).
//
// The overall figure, as the benchmark's evaluation computes it:
//
//  * Boxes are in inclusive pixel coordinates: a box [x, y, w, h] covers the
//    columns x .. x + w, so its width and height are w + 1 and h + 1.
//  * Each ground-truth box has its own IoU threshold,
//    thr = min(0.5, W * H / ((W + 10) * (H + 10))) with W = w + 1, H = h + 1,
//    so that boxes under about 20 pixels need less than 0.5.
//  * IoU with +1 pixels: iw = min(x1 + w1, x2 + w2) - max(x1, x2) + 1, ih
//    likewise, 0 unless both are above 0; IoU = iw * ih / ((w1 + 1) * (h1 + 1)
//    + (w2 + 1) * (h2 + 1) - iw * ih).
//  * Per image and category, the detections in descending score (ties in
//    file order) each take, among the ground truth not yet taken, the box of
//    the highest IoU with IoU >= that box's threshold; a box replaces the
//    best so far only with a strictly higher IoU, so the first maximum in
//    file order wins a tie.
//  * Per category over the whole set, the detections in descending score
//    (ties: image order, then file order), precision = tp / (tp + fp),
//    recall = tp / npos, AP = the area under the precision envelope summed
//    at the points where recall changes (the all-point VOC routine, with the
//    sentinels recall 0 / precision 0 before and recall 1 / precision 0
//    after). A category without ground truth has no AP (-1 here) and is left
//    out of the mean; one with ground truth but no detections has AP 0.
//
// Crowd ground truth (which the benchmark does not have) is an ignored
// region: it is not in npos, and a detection that finds no regular box
// takes a crowd box of its image and category by the same rule (its
// threshold, IoU >= it, the first maximum), any number of detections taking
// the same one; such a detection is neither a TP nor an FP. A detection that
// takes neither is an FP whatever crowd it overlaps.
//
// The motion split (Zhu et al., flow-guided feature aggregation, 2017):
//
//  * An object is a track id within one sequence (`ImageSet::imageSequence`);
//    its boxes are the regular (not crowd) ground truth of that sequence and
//    track, of any category. A box at frame t (`ImageSet::imageFrame`) has as
//    motion IoU the mean of its IoUs (+1 pixels, as above) with the boxes of
//    its object in the frames t - 10 .. t + 10 other than t, summed in
//    ascending frame, then the set's order (category, image, file order).
//  * A box compared with nothing (no track: a negative track id, or no other
//    box of its object within ten frames) has motion IoU 0, which is how the
//    evaluation code reads a box without a motion IoU: it is fast. The
//    result counts these boxes (isolatedTruthCount) so that a report can say
//    how many there are.
//  * The bins are fast [0, 0.7], medium [0.7, 0.9] and slow [0.9, 1], both
//    ends inclusive as the evaluation code takes them: a motion IoU of
//    exactly 0.7 is fast and medium, 0.9 medium and slow.
//  * For a bin, the matching is the overall one (out-of-bin boxes take
//    detections as any other). Out-of-bin ground truth is ignored: not in
//    npos, and the detection that took it is neither a TP nor an FP. An
//    unmatched detection weighs, as an FP, by the regular ground truth of its
//    image and category (taken or not, whatever the threshold): 1 when its
//    highest IoU with an in-bin box is above its highest with an out-of-bin
//    box, 0 when below, and on a tie (also when it overlaps none of them
//    while both kinds are there: both highest IoUs 0) the share of
//    out-of-bin boxes among them, which is the evaluation code's weight (a
//    tie needs both kinds, so the share is strictly between 0 and 1). When
//    its image holds no regular ground truth of its category, it weighs the
//    share of the whole set's regular ground truth (every category) that is
//    in the bin: a false alarm on the background counts in each bin as much
//    as the bin holds of the objects.
//  * The motion split is made when every image has an origin (sequence and
//    frame) and some regular ground truth has a track.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "scoring/precision/image_set.h"

namespace precision {

/// The motion bins, in the order the results list them.
enum MotionBin : std::size_t { kMotionSlow = 0, kMotionMedium = 1, kMotionFast = 2 };
inline constexpr std::size_t kMotionBins = 3;
/// The bins' names, in that order: "slow", "medium", "fast".
inline constexpr std::array<const char*, kMotionBins> kMotionBinNames = {"slow", "medium", "fast"};

struct VidResult {
  // Per category (the set's order): AP, -1 without regular ground truth.
  std::vector<double> ap;
  // The mean over the categories with regular ground truth, -1 when none has.
  double meanAp = -1.0;
  bool motionSplit = false;
  // With the split, per bin (slow, medium, fast) and category: AP, -1 without
  // ground truth in the bin; and the mean over the categories with some.
  // Empty vectors and -1 without it.
  std::array<std::vector<double>, kMotionBins> motionAp;
  std::array<double, kMotionBins> motionMeanAp{-1.0, -1.0, -1.0};
  // Per category: regular ground truth, crowd regions, detections; per bin
  // and category, the regular ground truth in the bin (with the split).
  std::vector<std::size_t> truthCount, crowdCount, detectionCount;
  std::array<std::vector<std::size_t>, kMotionBins> motionTruthCount;
  // Regular ground truth compared with nothing, given motion IoU 0 (with the
  // split).
  std::size_t isolatedTruthCount = 0;
};

/// The threshold a detection's IoU with `truth` must reach.
double vidThreshold(const TruthBox& truth);
/// IoU of two boxes [x, y, w, h] in inclusive pixel coordinates.
double vidIou(double ax, double ay, double aw, double ah, double bx, double by, double bw,
              double bh);

/// The all-point VOC average precision of a precision-recall curve (the
/// points in score order): the area under the precision envelope at the
/// points where recall changes, with sentinels at recall 0 and 1.
double vocAveragePrecision(std::span<const double> precision, std::span<const double> recall);

/// Whether `set` has what the motion split needs: an origin for every image
/// and a track on some regular ground truth.
bool canSplitByMotion(const ImageSet& set);

/// Every ground-truth box's motion IoU, indexed as `set.truths` (NaN for a
/// crowd region, 0 for a box compared with nothing); `isolated`, when given,
/// receives the number of regular boxes compared with nothing. Requires
/// canSplitByMotion(set).
std::vector<double> vidMotionIous(const ImageSet& set, std::size_t* isolated = nullptr);

/// Whether a motion IoU lies in a bin (both ends inclusive).
bool inMotionBin(double motionIou, std::size_t bin);

/// The evaluation of `set`, on up to `threads` threads (0: as many as the
/// machine has); the result does not depend on how many.
VidResult evaluateVid(const ImageSet& set, unsigned threads);

}  // namespace precision
