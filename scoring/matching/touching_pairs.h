// The pairs of a frame's truths and system boxes whose rectangles touch: the
// only pairs that can pass an overlap test.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "scoring/matching/box_index.h"

/// Below this many pairs (or region tests) a frame simply tries every pair;
/// above it the boxes are found through a BoxIndex.
inline constexpr std::size_t kDirectPairLimit = 1024;

/// Finds touching pairs, keeping its memory between frames.
class TouchingPairs {
 public:
  /// Calls `visit(r, c)` (truth r, system box c, by position) for the pairs
  /// whose rectangles may touch: every touching pair whose sizes let it pass
  /// an overlap test at `threshold` (BoxIndex::levelReach()), and in a large
  /// frame a few more. Truths come in list order; in a small frame the
  /// system boxes of a truth too. With `stop`, the pairs of the truths
  /// after one whose pairs left *stop true are not visited: a visit that has
  /// found what it wanted (a crowd too large to keep) ends the walk.
  template <typename Visit>
  void forEach(const std::vector<const QuorTarget*>& truths,
               const std::vector<const QuorTarget*>& systems, float threshold, Visit&& visit,
               const bool* stop = nullptr) {
    const std::size_t truthCount = truths.size();
    const std::size_t systemCount = systems.size();
    if (truthCount * systemCount <= kDirectPairLimit) {
      // Small frames try every pair, on the rectangles copied side by side:
      // most pairs are apart, and this settles them without touching the
      // boxes again.
      assignRectangles(systems);
      for (std::size_t r = 0; r < truthCount && (stop == nullptr || !*stop); ++r) {
        markTouching(*truths[r], systemCount);
        for (std::size_t step = 0; step < steps_.size(); ++step) {
          for (unsigned bits = steps_[step]; bits != 0; bits &= bits - 1) {
            visit(r, static_cast<int32_t>(4 * step +
                                          static_cast<std::size_t>(std::countr_zero(bits))));
          }
        }
      }
      return;
    }
    // The order in which boxes of one cell come does not matter here.
    index_.buildByCounting(systems);
    const int reach = BoxIndex::levelReach(threshold);
    for (std::size_t r = 0; r < truthCount && (stop == nullptr || !*stop); ++r) {
      const int level = BoxIndex::levelOf(*truths[r]);
      index_.forEachTouching(*truths[r], level - reach, level + reach,
                             [&](int32_t c) { visit(r, c); });
    }
  }

 private:
  // The system boxes' rectangles, one array a side, run to a whole step of
  // four boxes.
  void assignRectangles(const std::vector<const QuorTarget*>& boxes);
  // For each step of four system boxes, bit k set when the rectangle of box
  // 4 * step + k touches `truth`'s; the padding's bits are left out.
  void markTouching(const QuorTarget& truth, std::size_t count);

  std::vector<int32_t> minX_, minY_, maxX_, maxY_;
  std::vector<uint8_t> steps_;
  BoxIndex index_;
};
