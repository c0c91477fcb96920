// Reader of CVAT for video 1.1 XML: <track label="..."> elements holding a
// <box frame xtl ytl xbr ybr [rotation] outside> per frame.
#pragma once

#include "annotation/format_support.h"

namespace formats {

/// Reads the input of `maker` as CVAT for video 1.1 XML. Boxes marked
/// outside="1" (the object has left the picture) are skipped; a rotation (in
/// degrees, clockwise, about the box's centre) turns the corners. Tracks of
/// other shapes (polygons, points, ...) are passed over. False with the
/// failure set, naming the line of the element, when the XML or a box is
/// malformed.
bool readCvat(RecordMaker& maker);

}  // namespace formats
