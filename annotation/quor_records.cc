#include "annotation/quor_records.h"

#include <algorithm>
#include <cstring>

QuorTarget makeTarget(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3, int32_t y3,
                      int32_t x4, int32_t y4, std::string_view className, bool markB,
                      float confidence, bool markA) {
  QuorTarget target;
  target.x1 = x1;
  target.x2 = x2;
  target.x3 = x3;
  target.x4 = x4;
  target.y1 = y1;
  target.y2 = y2;
  target.y3 = y3;
  target.y4 = y4;
  const std::size_t length = std::min(className.size(), sizeof(target.className) - 1);
  std::memcpy(target.className, className.data(), length);
  target.className[length] = '\0';
  target.markB = markB;
  target.confidence = confidence;
  target.markA = markA;
  target.minX = std::min({x1, x2, x3, x4});
  target.maxX = std::max({x1, x2, x3, x4});
  target.minY = std::min({y1, y2, y3, y4});
  target.maxY = std::max({y1, y2, y3, y4});
  return target;
}

const QuorTarget* TargetStore::add(const QuorTarget& target) {
  if (chunks_.empty() || chunks_.back().size() == kChunkSize) {
    chunks_.emplace_back();
    chunks_.back().reserve(kChunkSize);
  }
  chunks_.back().push_back(target);
  ++size_;
  return &chunks_.back().back();
}
