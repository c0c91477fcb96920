// Average precision over a dataset of sequences: every sequence matched on
// its own, the matches joined into those of one set of images (sequence by
// sequence, frame by frame) and accumulated once, so that the figures pool
// the detections of every frame of every sequence rather than average the
// sequences' figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/image_set.h"

namespace precision {

/// What the accumulation needs of one image set (a sequence, or a dataset
/// joined): its categories, how many images it has, the counts per category
/// that the reports give beside the figures, and the matched cells.
struct MatchedImages {
  std::vector<int64_t> categoryIds;
  std::vector<std::string> categoryNames;
  std::size_t images = 0;
  // Per category: ground-truth boxes that are no crowds, and detections
  // (all of them, before the cut to the largest maxDets), as CocoResult's.
  std::vector<std::size_t> truthCount, detectionCount;
  CocoMatches matches;
};

/// Matches `set` (matchCoco()) and keeps what the accumulation needs.
MatchedImages matchImages(const ImageSet& set, const CocoParameters& parameters, unsigned threads);

/// Joins image sets in the order given into one: the images of each after
/// those of the ones before, each category by its name. The categories are
/// those of the first set when every set has the same ids and names;
/// otherwise every set's names in order of first appearance, with the ids 1,
/// 2, ... in that order. All sets must be matched with the same area
/// ranges (std::invalid_argument otherwise). The joined matches are exactly
/// those of matching one set that holds all the images.
MatchedImages poolMatches(std::span<const MatchedImages* const> parts);

/// The index in the joined images of each part's first image, and one past
/// the last: part p holds [offsets[p], offsets[p + 1]).
std::vector<std::size_t> imageOffsets(std::span<const MatchedImages* const> parts);

/// accumulateCoco() of the matches, with the per-category counts filled in:
/// what evaluateCoco() gives of the set the matches were made of.
CocoResult evaluateMatched(const MatchedImages& matched, const CocoParameters& parameters,
                           unsigned threads);

}  // namespace precision
