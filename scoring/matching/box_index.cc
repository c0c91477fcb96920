#include "scoring/matching/box_index.h"

#include <algorithm>
#include <array>
#include <bit>

int BoxIndex::levelOf(const QuorTarget& box) {
  const uint64_t width = static_cast<uint64_t>(static_cast<int64_t>(box.maxX) - box.minX);
  const uint64_t height = static_cast<uint64_t>(static_cast<int64_t>(box.maxY) - box.minY);
  const uint64_t side = std::max(width, height);
  return side <= 1 ? 0 : static_cast<int>(std::bit_width(side - 1));
}

int BoxIndex::levelReach(float threshold) {
  if (!(threshold >= 0.01f)) return kLevels;
  int reach = 2;
  for (float scale = 1.0f; scale * threshold < 1.0f; scale *= 2.0f) ++reach;
  return reach;
}

BoxIndex::Entry BoxIndex::entryOf(const QuorTarget& box, std::size_t position) {
  using box_index_detail::unsignedCoordinate;
  const int level = levelOf(box);
  const uint64_t column = unsignedCoordinate(box.minX) >> level;
  const uint64_t row = unsignedCoordinate(box.minY) >> level;
  return {row << 32 | column, static_cast<int32_t>(position), level};
}

void BoxIndex::build(const std::vector<const QuorTarget*>& boxes) {
  entries_.clear();
  entries_.reserve(boxes.size());
  for (std::size_t position = 0; position < boxes.size(); ++position) {
    entries_.push_back(entryOf(*boxes[position], position));
  }
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.level != b.level ? a.level < b.level : a.cell < b.cell;
  });
  layOut(boxes);
}

void BoxIndex::buildByCounting(const std::vector<const QuorTarget*>& boxes) {
  // The entries by level, in list order within each.
  std::array<std::size_t, kLevels + 1> levelStart{};
  sorted_.clear();
  sorted_.reserve(boxes.size());
  for (std::size_t position = 0; position < boxes.size(); ++position) {
    sorted_.push_back(entryOf(*boxes[position], position));
    ++levelStart[static_cast<std::size_t>(sorted_.back().level) + 1];
  }
  for (std::size_t level = 0; level < kLevels; ++level) levelStart[level + 1] += levelStart[level];
  entries_.resize(sorted_.size());
  {
    std::array<std::size_t, kLevels> next{};
    std::copy(levelStart.begin(), levelStart.end() - 1, next.begin());
    for (const Entry& entry : sorted_)
      entries_[next[static_cast<std::size_t>(entry.level)]++] = entry;
  }
  // Then each level by cell: by counting where its block of cells is small
  // next to its boxes (as where layOut() tables it), by sorting elsewhere.
  for (std::size_t level = 0; level < kLevels; ++level) {
    const std::size_t begin = levelStart[level], end = levelStart[level + 1];
    if (end - begin < 2) continue;
    uint64_t minColumn = UINT64_MAX, maxColumn = 0, minRow = UINT64_MAX, maxRow = 0;
    for (std::size_t at = begin; at < end; ++at) {
      const uint64_t cell = entries_[at].cell;
      minColumn = std::min(minColumn, cell & 0xffffffffu);
      maxColumn = std::max(maxColumn, cell & 0xffffffffu);
      minRow = std::min(minRow, cell >> 32);
      maxRow = std::max(maxRow, cell >> 32);
    }
    const uint64_t columns = maxColumn - minColumn + 1, rows = maxRow - minRow + 1;
    const uint64_t limit = 4 * static_cast<uint64_t>(end - begin) + 64;
    if (columns > limit || rows > limit / columns) {
      std::sort(entries_.begin() + static_cast<std::ptrdiff_t>(begin),
                entries_.begin() + static_cast<std::ptrdiff_t>(end),
                [](const Entry& a, const Entry& b) { return a.cell < b.cell; });
      continue;
    }
    const auto cellOf = [&](const Entry& entry) {
      return static_cast<std::size_t>(((entry.cell >> 32) - minRow) * columns +
                                      ((entry.cell & 0xffffffffu) - minColumn));
    };
    cellCount_.assign(static_cast<std::size_t>(columns * rows) + 1, 0);
    for (std::size_t at = begin; at < end; ++at) ++cellCount_[cellOf(entries_[at]) + 1];
    for (std::size_t cell = 1; cell < cellCount_.size(); ++cell) {
      cellCount_[cell] += cellCount_[cell - 1];
    }
    sorted_.resize(end - begin);
    for (std::size_t at = begin; at < end; ++at) {
      sorted_[cellCount_[cellOf(entries_[at])]++] = entries_[at];
    }
    std::copy(sorted_.begin(), sorted_.end(),
              entries_.begin() + static_cast<std::ptrdiff_t>(begin));
  }
  layOut(boxes);
}

void BoxIndex::layOut(const std::vector<const QuorTarget*>& boxes) {
  rectangles_.resize(entries_.size());
  for (std::size_t at = 0; at < entries_.size(); ++at) {
    const QuorTarget& box = *boxes[static_cast<std::size_t>(entries_[at].position)];
    rectangles_[at] = {box.minX, box.minY, box.maxX, box.maxY};
  }

  cellStart_.clear();
  std::size_t at = 0;
  for (int shift = 0; shift < kLevels; ++shift) {
    Level& level = levels_[shift];
    level = Level();
    level.begin = at;
    uint64_t minColumn = UINT64_MAX, maxColumn = 0;
    for (; at < entries_.size() && entries_[at].level == shift; ++at) {
      minColumn = std::min(minColumn, entries_[at].cell & 0xffffffffu);
      maxColumn = std::max(maxColumn, entries_[at].cell & 0xffffffffu);
    }
    level.end = at;
    if (level.begin == level.end) continue;
    level.firstColumn = minColumn;
    level.columns = maxColumn - minColumn + 1;
    level.firstRow = entries_[level.begin].cell >> 32;
    level.rows = (entries_[level.end - 1].cell >> 32) - level.firstRow + 1;
    // A table costs one offset per cell: worth it while the cells are not
    // many more than the boxes (boxes spread over a frame), not when a few
    // boxes lie far apart.
    const std::size_t count = level.end - level.begin;
    const uint64_t limit = 4 * static_cast<uint64_t>(count) + 64;
    if (level.columns > limit || level.rows > limit / level.columns) continue;
    level.tabled = true;
    level.tableStart = cellStart_.size();
    const std::size_t cells = static_cast<std::size_t>(level.columns * level.rows);
    cellStart_.resize(level.tableStart + cells + 1);
    // Entries are sorted by row, then column, which is the order of the cells.
    std::size_t entry = level.begin;
    for (std::size_t cell = 0; cell <= cells; ++cell) {
      while (entry < level.end) {
        const uint64_t key = entries_[entry].cell;
        const uint64_t index = ((key >> 32) - level.firstRow) * level.columns +
                               ((key & 0xffffffffu) - level.firstColumn);
        if (index >= cell) break;
        ++entry;
      }
      cellStart_[level.tableStart + cell] = static_cast<uint32_t>(entry);
    }
  }
}
