// Reader of YOLO labels: a folder of text files, one per frame, each line
// `class cx cy w h [conf]` in fractions of the image size.
#pragma once

#include "annotation/format_support.h"

namespace formats {

/// Reads the folder of `maker` as YOLO labels. Its .txt files (but a names
/// file and `classes.txt`) are frames, numbered by the last run of digits in
/// their names; they are read in frame order (then by name), each line in
/// file order. A label is the class's line in the names file
/// (`options().namesPath`, else the folder's `classes.txt`), or its number
/// without one. False with the failure set, naming the file and line, when
/// a file or a line is wrong.
bool readYolo(RecordMaker& maker);

}  // namespace formats
