// Readers of the comma-separated text files of MOTChallenge (mot; mot15, the
// layout of 2015 without classes), VisDrone video annotations (visdrone) and
// UAVDT (uavdt): one box a line, given by its frame, left, top, width and
// height. A detection's score of -1 is none (kNoConfidence).
#pragma once

#include "annotation/format_support.h"

namespace formats {

/// Reads the input of `maker` in its format (mot, mot15, visdrone or uavdt) and,
/// for a uavdt ground truth with an ignore file, the ignored areas as
/// don't-care regions after the boxes. False with the failure set when a
/// file cannot be read or a line is malformed.
bool readMotFamily(RecordMaker& maker);

/// Reads the input of `maker` as readMotFamily() does, and files its records
/// into `filer` as fileRecords() files them once orderByFrame() has ordered
/// them: by frame number, each frame's records in the order read. For files
/// whose frames come back (a ground truth listed track by track): the
/// records are kept in a compact form until all are read, and nothing is
/// filed when a line is malformed. False with the failure set (the failure
/// of `maker`, or the error of `filer`) when a file cannot be read, a line
/// is malformed or a record cannot be filed; `filer` is finished otherwise.
bool fileMotFamilyByFrame(RecordMaker& maker, RecordFiler& filer);

}  // namespace formats
