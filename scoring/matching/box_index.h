// A spatial index over bounding rectangles, for finding the boxes that touch
// a given box without looking at every box of a frame.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"
#include "scoring/matching/box_overlap.h"

/// Boxes are sorted into levels by size: a box of level L has no side longer
/// than 2^L pixels, and is filed under the grid cell of size 2^L that holds
/// its smallest corner. A box then reaches at most one cell further right and
/// down, so the boxes of a level touching a query lie in a small block of
/// cells. Where a level's cells are few enough, a table gives the entries of
/// each cell directly; otherwise each row of the block is found by binary
/// search in the sorted entries.
class BoxIndex {
 public:
  static constexpr int kLevels = 33;  // sides up to 2^32 - 1 pixels

  /// Indexes `boxes`; the index refers to them by position. Reuses memory.
  void build(const std::vector<const QuorTarget*>& boxes);
  /// The same index, sorted by counting where a level's cells are few next
  /// to its boxes (boxes spread over a frame) rather than by comparing: the
  /// boxes of one cell are then visited in list order, where build() leaves
  /// them as its sort does. For callers to whom that order does not matter;
  /// faster on large frames.
  void buildByCounting(const std::vector<const QuorTarget*>& boxes);

  /// The level of a box: the smallest L with 2^L at least its longer side.
  static int levelOf(const QuorTarget& box);

  /// How many levels apart two boxes can be and still pass an overlap test
  /// at `threshold`: a passing pair leaves each box at least `threshold` of
  /// the other's width and height, so their levels differ by at most
  /// log2(1 / threshold) plus rounding; two more levels keep the bound safe.
  static int levelReach(float threshold);

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
  struct Level {
    std::size_t begin = 0, end = 0;  // its entries
    // The cells its boxes are filed under, and whether a table covers them.
    uint64_t firstColumn = 0, firstRow = 0, columns = 0, rows = 0;
    bool tabled = false;
    std::size_t tableStart = 0;  // in cellStart_: columns * rows + 1 offsets
  };

  // A box's entry: the cell of its level that holds its smallest corner.
  static Entry entryOf(const QuorTarget& box, std::size_t position);
  // Fills in the rectangles, the levels and their tables from the sorted
  // entries.
  void layOut(const std::vector<const QuorTarget*>& boxes);
  template <typename Visit>
  void visitLevel(const QuorTarget& query, const Level& level, int shift, Visit& visit) const;
  template <typename Visit>
  void visitRun(const QuorTarget& query, std::size_t from, std::size_t to, Visit& visit) const {
    for (std::size_t at = from; at < to; ++at) {
      const Rectangle& box = rectangles_[at];
      if (query.minX <= box.maxX && query.maxX >= box.minX && query.minY <= box.maxY &&
          query.maxY >= box.minY) {
        visit(entries_[at].position);
      }
    }
  }

  struct Rectangle {
    int32_t minX, minY, maxX, maxY;
  };

  std::vector<Entry> entries_;  // sorted by level, then cell
  // The boxes' rectangles in the order of the entries: a query reads the
  // runs of neighbouring cells straight through, not the boxes scattered
  // over memory.
  std::vector<Rectangle> rectangles_;
  Level levels_[kLevels];
  std::vector<uint32_t> cellStart_;  // for tabled levels: first entry of each cell
  // buildByCounting()'s working memory.
  std::vector<Entry> sorted_;
  std::vector<std::size_t> cellCount_;
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
  lowestLevel = std::max(lowestLevel, 0);
  highestLevel = std::min(highestLevel, kLevels - 1);
  for (int level = lowestLevel; level <= highestLevel; ++level) {
    if (levels_[level].begin != levels_[level].end) visitLevel(query, levels_[level], level, visit);
  }
}

template <typename Visit>
void BoxIndex::visitLevel(const QuorTarget& query, const Level& level, int shift,
                          Visit& visit) const {
  using box_index_detail::unsignedCoordinate;
  // The block of cells whose boxes can reach the query: one cell further
  // left and up than the query's own cells.
  uint64_t fromColumn = unsignedCoordinate(query.minX) >> shift;
  uint64_t fromRow = unsignedCoordinate(query.minY) >> shift;
  uint64_t lastColumn = unsignedCoordinate(query.maxX) >> shift;
  uint64_t lastRow = unsignedCoordinate(query.maxY) >> shift;
  fromColumn = fromColumn == 0 ? 0 : fromColumn - 1;
  fromRow = fromRow == 0 ? 0 : fromRow - 1;
  // Only cells that hold boxes of this level matter.
  fromColumn = std::max(fromColumn, level.firstColumn);
  fromRow = std::max(fromRow, level.firstRow);
  lastColumn = std::min(lastColumn, level.firstColumn + level.columns - 1);
  lastRow = std::min(lastRow, level.firstRow + level.rows - 1);
  if (fromColumn > lastColumn || fromRow > lastRow) return;
  // A query far larger than this level's cells spans more rows than the level
  // has boxes: then looking at each box is cheaper than looking at each row.
  if (lastRow - fromRow + 1 >= level.end - level.begin) {
    visitRun(query, level.begin, level.end, visit);
    return;
  }
  for (uint64_t row = fromRow; row <= lastRow; ++row) {
    if (level.tabled) {
      // Cells of a row are consecutive in the table, so the row's block is one run.
      const std::size_t rowStart =
          level.tableStart + static_cast<std::size_t>((row - level.firstRow) * level.columns);
      visitRun(query, cellStart_[rowStart + (fromColumn - level.firstColumn)],
               cellStart_[rowStart + (lastColumn - level.firstColumn) + 1], visit);
      continue;
    }
    const auto first = std::lower_bound(
        entries_.begin() + static_cast<std::ptrdiff_t>(level.begin),
        entries_.begin() + static_cast<std::ptrdiff_t>(level.end), row << 32 | fromColumn,
        [](const Entry& entry, uint64_t cell) { return entry.cell < cell; });
    std::size_t at = static_cast<std::size_t>(first - entries_.begin());
    std::size_t to = at;
    const uint64_t stop = row << 32 | lastColumn;
    while (to < level.end && entries_[to].cell <= stop) ++to;
    visitRun(query, at, to, visit);
  }
}
