// A spatial index over bounding rectangles, for finding the boxes that touch
// a given box without looking at every box of a frame.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "scoring/box_overlap.h"

/// Boxes are sorted into levels by size: a box of level L has no side longer
/// than 2^L pixels, and is filed under the grid cell of size 2^L that holds
/// its smallest corner. A box then reaches at most one cell further right and
/// down, so the boxes of a level touching a query lie in a small block of
/// cells, each row of which is one run of the sorted entries.
class BoxIndex {
 public:
  static constexpr int kLevels = 33;  // sides up to 2^32 - 1 pixels

  /// Indexes `boxes`; the index refers to them by position. Reuses memory.
  void build(const std::vector<const QuorTarget*>& boxes);

  /// The level of a box: the smallest L with 2^L at least its longer side.
  static int levelOf(const QuorTarget& box);

  /// Calls `visit(position)` once for every indexed box of a level from
  /// `lowestLevel` to `highestLevel` whose rectangle touches `query`'s
  /// (sharing an edge or a corner counts).
  template <typename Visit>
  void forEachTouching(const QuorTarget& query, int lowestLevel, int highestLevel,
                       Visit&& visit) const;

 private:
  struct Entry {
    uint64_t cell;  // row in the high 32 bits, column in the low 32
    int32_t position;
    int32_t level;
  };

  template <typename Visit>
  void visitLevel(const QuorTarget& query, int level, Visit& visit) const;

  const std::vector<const QuorTarget*>* boxes_ = nullptr;
  std::vector<Entry> entries_;  // sorted by level, then cell
  std::size_t levelStart_[kLevels + 1] = {};
};

namespace box_index_detail {
// Coordinates shifted to 0 .. 2^32 - 1, so cells never have negative numbers.
inline uint64_t unsignedCoordinate(int32_t value) {
  return static_cast<uint64_t>(static_cast<int64_t>(value) + 2147483648LL);
}
}  // namespace box_index_detail

template <typename Visit>
void BoxIndex::forEachTouching(const QuorTarget& query, int lowestLevel, int highestLevel,
                               Visit&& visit) const {
  if (lowestLevel < 0) lowestLevel = 0;
  if (highestLevel >= kLevels) highestLevel = kLevels - 1;
  for (int level = lowestLevel; level <= highestLevel; ++level) visitLevel(query, level, visit);
}

template <typename Visit>
void BoxIndex::visitLevel(const QuorTarget& query, int level, Visit& visit) const {
  using box_index_detail::unsignedCoordinate;
  const std::size_t begin = levelStart_[level];
  const std::size_t end = levelStart_[level + 1];
  if (begin == end) return;
  const std::vector<const QuorTarget*>& boxes = *boxes_;
  const uint64_t firstColumn = unsignedCoordinate(query.minX) >> level;
  const uint64_t lastColumn = unsignedCoordinate(query.maxX) >> level;
  const uint64_t firstRow = unsignedCoordinate(query.minY) >> level;
  const uint64_t lastRow = unsignedCoordinate(query.maxY) >> level;
  const uint64_t fromColumn = firstColumn == 0 ? 0 : firstColumn - 1;
  const uint64_t fromRow = firstRow == 0 ? 0 : firstRow - 1;
  // A query far larger than this level's cells spans more rows than the level
  // has boxes: then looking at each box is cheaper than looking at each row.
  if (lastRow - fromRow + 1 >= end - begin) {
    for (std::size_t at = begin; at < end; ++at) {
      const int32_t position = entries_[at].position;
      if (rectanglesTouch(query, *boxes[position])) visit(position);
    }
    return;
  }
  for (uint64_t row = fromRow; row <= lastRow; ++row) {
    const auto first = std::lower_bound(
        entries_.begin() + static_cast<std::ptrdiff_t>(begin),
        entries_.begin() + static_cast<std::ptrdiff_t>(end), row << 32 | fromColumn,
        [](const Entry& entry, uint64_t cell) { return entry.cell < cell; });
    std::size_t at = static_cast<std::size_t>(first - entries_.begin());
    const uint64_t stop = row << 32 | lastColumn;
    for (; at < end && entries_[at].cell <= stop; ++at) {
      const int32_t position = entries_[at].position;
      if (rectanglesTouch(query, *boxes[position])) visit(position);
    }
  }
}
