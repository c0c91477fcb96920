// Tracks as read for the identity measures: every box of a sequence with its
// identity, at the full precision of the file (doubles, not this format's
// whole pixels), in the order the evaluators of the tracking benchmarks see
// them: by frame, and within a frame in the order of the file's lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tracking {

/// One box of a track. The corners are computed in doubles from the file's
/// left, top, width and height (right = left + width, bottom = top + height,
/// no pixel added), so a negative width or height gives a box of no area
/// that never overlaps anything.
struct TrackBox {
  double left = 0.0;
  double top = 0.0;
  double right = 0.0;
  double bottom = 0.0;
  int64_t id = 0;            // the identity as written (whole numbers only)
  float confidence = -1.0f;  // -1: none given
  int32_t label = -1;        // the class column (or an index into labelNames), -1 when absent
  bool considered = true;    // a ground truth's "consider" flag (column 7) is not 0
  uint64_t line = 0;         // where it came from, for messages
};

/// A sequence's boxes, frame by frame. Frames are numbered 1..length;
/// boxes[frameStart[f - 1] .. frameStart[f]) are frame f's, in file order.
struct TrackSequence {
  std::string source;  // the file's name, for messages
  uint32_t length = 0;
  std::vector<TrackBox> boxes;
  std::vector<uint64_t> frameStart;  // length + 1 entries, frameStart[0] = 0
  // Formats that name their classes (KITTI's "Car"): label k is labelNames[k].
  // Empty where the file numbers them.
  std::vector<std::string> labelNames;
  // This format's identity texts: identity k is identityNames[k]. Empty where
  // the file numbers them.
  std::vector<std::string> identityNames;

  uint64_t frameBegin(uint32_t frame) const { return frameStart[frame - 1]; }
  uint64_t frameEnd(uint32_t frame) const { return frameStart[frame]; }
};

}  // namespace tracking
