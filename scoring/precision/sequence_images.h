// A video's pair of annotation files as images for average precision: each
// frame an image, each class a category.
#pragma once

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "scoring/precision/image_set.h"

namespace precision {

/// The frames of both files (by frame number, the image's id) with their
/// boxes as rectangles: ground-truth boxes of `classes` (category k + 1 is
/// the class of row k + 1), flagged ones as crowds, and each don't-care
/// region as a crowd of every category; the system's boxes of `classes`
/// whose confidence reaches `confidence`, scored by it. `sequence` is the
/// images' sequence for the motion split.
ImageSet imagesOfSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                           const ClassSet& classes, float confidence, uint32_t sequence = 0);

}  // namespace precision
