// Tracks as read for the identity measures: every box of a sequence with its
// identity, at the full precision of the file (doubles, not this format's
// whole pixels), in the order the evaluators of the tracking benchmarks see
// them: by frame, and within a frame in the order of the file's lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
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
  // KITTI's truncation and occlusion levels, each read as a number and cut
  // to its whole part toward zero, then held within -128..127 (what the
  // benchmark's limits, truncation 0 and occlusion 2, tell apart); 0 in
  // the other layouts.
  int8_t truncation = 0;
  int8_t occlusion = 0;
  uint64_t line = 0;  // where it came from, for messages
};

/// A sequence's boxes, frame by frame. Frames are numbered 1..length, and
/// only those with a box take room: a record at frame 2,000,000,000 costs
/// what a record at frame 1 does.
struct TrackSequence {
  std::string source;  // the file's name, for messages
  uint32_t length = 0;
  std::vector<TrackBox> boxes;
  /// The frames that have a box, rising; frames[k]'s boxes are
  /// boxes[frameStart[k] .. frameStart[k + 1]), in file order.
  std::vector<uint32_t> frames;
  std::vector<uint64_t> frameStart;  // frames.size() + 1 entries, frameStart[0] = 0
  // Formats that name their classes (KITTI's "Car"): label k is labelNames[k].
  // Empty where the file numbers them.
  std::vector<std::string> labelNames;
  // This format's identity texts: identity k is identityNames[k]. Empty where
  // the file numbers them.
  std::vector<std::string> identityNames;

  /// Where frame `frame`'s boxes begin and end in `boxes` (equal for a frame
  /// without a box); a search among the frames that have one.
  uint64_t frameBegin(uint32_t frame) const {
    return frameStart[static_cast<std::size_t>(
        std::lower_bound(frames.begin(), frames.end(), frame) - frames.begin())];
  }
  uint64_t frameEnd(uint32_t frame) const {
    return frameStart[static_cast<std::size_t>(
        std::upper_bound(frames.begin(), frames.end(), frame) - frames.begin())];
  }
};

/// The frames that have a box in either list (each rising), rising: the
/// frames worth a visit when two sequences are gone over together.
inline std::vector<uint32_t> framesOfEither(const std::vector<uint32_t>& a,
                                            const std::vector<uint32_t>& b) {
  std::vector<uint32_t> both;
  both.reserve(a.size() + b.size());
  std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
  return both;
}

}  // namespace tracking
