// Readers of the comma-separated text files of MOTChallenge (mot), VisDrone
// video annotations (visdrone) and UAVDT (uavdt): one box a line, given by
// its frame, left, top, width and height.
#pragma once

#include "annotation/format_support.h"

namespace formats {

/// Reads the input of `maker` in its format (mot, visdrone or uavdt) and,
/// for a uavdt ground truth with an ignore file, the ignored areas as
/// don't-care regions after the boxes. False with the failure set when a
/// file cannot be read or a line is malformed.
bool readMotFamily(RecordMaker& maker);

}  // namespace formats
