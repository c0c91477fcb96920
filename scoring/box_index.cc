#include "scoring/box_index.h"

#include <algorithm>
#include <bit>

int BoxIndex::levelOf(const QuorTarget& box) {
  const uint64_t width = static_cast<uint64_t>(static_cast<int64_t>(box.maxX) - box.minX);
  const uint64_t height = static_cast<uint64_t>(static_cast<int64_t>(box.maxY) - box.minY);
  const uint64_t side = std::max(width, height);
  return side <= 1 ? 0 : static_cast<int>(std::bit_width(side - 1));
}

void BoxIndex::build(const std::vector<const QuorTarget*>& boxes) {
  using box_index_detail::unsignedCoordinate;
  boxes_ = &boxes;
  entries_.clear();
  entries_.reserve(boxes.size());
  for (std::size_t position = 0; position < boxes.size(); ++position) {
    const QuorTarget& box = *boxes[position];
    const int level = levelOf(box);
    const uint64_t column = unsignedCoordinate(box.minX) >> level;
    const uint64_t row = unsignedCoordinate(box.minY) >> level;
    entries_.push_back({row << 32 | column, static_cast<int32_t>(position), level});
  }
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.level != b.level ? a.level < b.level : a.cell < b.cell;
  });
  std::size_t at = 0;
  for (int level = 0; level <= kLevels; ++level) {
    while (at < entries_.size() && entries_[at].level < level) ++at;
    levelStart_[level] = at;
  }
}
