// Reader of KITTI tracking labels: one object a line, space separated,
// `frame track_id type truncated occluded alpha left top right bottom h w l
// x y z rotation_y [score]`.
#pragma once

#include "annotation/format_support.h"

namespace formats {

/// Reads the input of `maker` as KITTI tracking labels. False with the
/// failure set when the file cannot be read or a line is malformed.
bool readKitti(RecordMaker& maker);

}  // namespace formats
