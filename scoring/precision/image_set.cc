#include "scoring/precision/image_set.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

namespace precision {

namespace {

uint64_t cellKey(uint32_t category, uint32_t image) {
  return (static_cast<uint64_t>(category) << 32) | image;
}

// Orders `items` by their keys, keeping the order of equal keys, and returns
// the distinct keys with each one's range.
template <class Item>
void groupByKey(std::vector<Item>& items, std::vector<uint64_t>& keys) {
  std::vector<uint32_t> order(items.size());
  for (uint32_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
  std::vector<Item> sorted;
  sorted.reserve(items.size());
  std::vector<uint64_t> sortedKeys;
  sortedKeys.reserve(keys.size());
  for (const uint32_t k : order) {
    sorted.push_back(items[k]);
    sortedKeys.push_back(keys[k]);
  }
  items = std::move(sorted);
  keys = std::move(sortedKeys);
}

}  // namespace

ImageSetBuilder::ImageSetBuilder(std::vector<int64_t> imageIds, std::vector<int64_t> categoryIds,
                                 std::vector<std::string> categoryNames) {
  if (!std::is_sorted(imageIds.begin(), imageIds.end()) ||
      !std::is_sorted(categoryIds.begin(), categoryIds.end()) ||
      categoryIds.size() != categoryNames.size()) {
    throw std::invalid_argument("image set: ids must be given in ascending order");
  }
  set_.imageIds = std::move(imageIds);
  set_.categoryIds = std::move(categoryIds);
  set_.categoryNames = std::move(categoryNames);
}

void ImageSetBuilder::checkCell(uint32_t category, uint32_t image) const {
  if (category >= set_.categoryIds.size() || image >= set_.imageIds.size()) {
    throw std::out_of_range("image set: a box of a category or image the set does not hold");
  }
}

void ImageSetBuilder::addTruth(uint32_t category, uint32_t image, const TruthBox& box) {
  checkCell(category, image);
  set_.truths.push_back(box);
  truthKeys_.push_back(cellKey(category, image));
}

void ImageSetBuilder::addDetection(uint32_t category, uint32_t image, const DetectedBox& box) {
  checkCell(category, image);
  set_.detections.push_back(box);
  detectionKeys_.push_back(cellKey(category, image));
}

void ImageSetBuilder::setImageOrigin(uint32_t image, uint32_t sequence, int64_t frame) {
  if (set_.imageSequence.size() != set_.imageIds.size()) {
    set_.imageSequence.assign(set_.imageIds.size(), 0);
    set_.imageFrame.assign(set_.imageIds.size(), 0);
  }
  set_.imageSequence.at(image) = sequence;
  set_.imageFrame.at(image) = frame;
}

ImageSet ImageSetBuilder::build() && {
  groupByKey(set_.truths, truthKeys_);
  groupByKey(set_.detections, detectionKeys_);
  // Walk both sorted key lists together: one cell per distinct key.
  std::size_t t = 0, d = 0;
  while (t < truthKeys_.size() || d < detectionKeys_.size()) {
    const uint64_t key = std::min(t < truthKeys_.size() ? truthKeys_[t] : UINT64_MAX,
                                  d < detectionKeys_.size() ? detectionKeys_[d] : UINT64_MAX);
    Cell cell;
    cell.category = static_cast<uint32_t>(key >> 32);
    cell.image = static_cast<uint32_t>(key & 0xffffffffu);
    cell.truthBegin = static_cast<uint32_t>(t);
    while (t < truthKeys_.size() && truthKeys_[t] == key) ++t;
    cell.truthEnd = static_cast<uint32_t>(t);
    cell.detectionBegin = static_cast<uint32_t>(d);
    while (d < detectionKeys_.size() && detectionKeys_[d] == key) ++d;
    cell.detectionEnd = static_cast<uint32_t>(d);
    set_.cells.push_back(cell);
  }
  truthKeys_.clear();
  detectionKeys_.clear();
  return std::move(set_);
}

ImageSet restrictImageSet(const ImageSet& set, std::span<const int64_t> imageIds,
                          std::span<const int64_t> categoryIds) {
  std::vector<int64_t> images(imageIds.begin(), imageIds.end());
  std::vector<int64_t> categories(categoryIds.begin(), categoryIds.end());
  std::sort(images.begin(), images.end());
  images.erase(std::unique(images.begin(), images.end()), images.end());
  std::sort(categories.begin(), categories.end());
  categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
  // Old index to new, for the ids the set holds.
  auto remap = [](const std::vector<int64_t>& have, std::vector<int64_t>& keep) {
    std::unordered_map<int64_t, uint32_t> position;
    for (uint32_t k = 0; k < have.size(); ++k) position.emplace(have[k], k);
    std::vector<int64_t> kept;
    std::vector<int64_t> newIndex(have.size(), -1);
    for (const int64_t id : keep) {
      if (const auto found = position.find(id); found != position.end()) {
        newIndex[found->second] = static_cast<int64_t>(kept.size());
        kept.push_back(id);
      }
    }
    keep = std::move(kept);
    return newIndex;
  };
  const std::vector<int64_t> imageIndex = remap(set.imageIds, images);
  const std::vector<int64_t> categoryIndex = remap(set.categoryIds, categories);
  ImageSet out;
  out.imageIds = images;
  out.categoryIds = categories;
  for (std::size_t k = 0; k < set.categoryIds.size(); ++k) {
    if (categoryIndex[k] >= 0) out.categoryNames.push_back(set.categoryNames[k]);
  }
  if (!set.imageSequence.empty()) {
    for (std::size_t k = 0; k < set.imageIds.size(); ++k) {
      if (imageIndex[k] >= 0) {
        out.imageSequence.push_back(set.imageSequence[k]);
        out.imageFrame.push_back(set.imageFrame[k]);
      }
    }
  }
  out.warnings = set.warnings;
  // Cells stay in (category, image) order: both maps keep the order.
  for (const Cell& cell : set.cells) {
    if (imageIndex[cell.image] < 0 || categoryIndex[cell.category] < 0) continue;
    Cell kept;
    kept.category = static_cast<uint32_t>(categoryIndex[cell.category]);
    kept.image = static_cast<uint32_t>(imageIndex[cell.image]);
    kept.truthBegin = static_cast<uint32_t>(out.truths.size());
    for (const TruthBox& box : set.truthsOf(cell)) out.truths.push_back(box);
    kept.truthEnd = static_cast<uint32_t>(out.truths.size());
    kept.detectionBegin = static_cast<uint32_t>(out.detections.size());
    for (const DetectedBox& box : set.detectionsOf(cell)) out.detections.push_back(box);
    kept.detectionEnd = static_cast<uint32_t>(out.detections.size());
    out.cells.push_back(kept);
  }
  return out;
}

ImageSet keepDetectionsFrom(const ImageSet& set, double minimumScore) {
  ImageSetBuilder builder(set.imageIds, set.categoryIds, set.categoryNames);
  for (const Cell& cell : set.cells) {
    for (const TruthBox& box : set.truthsOf(cell)) builder.addTruth(cell.category, cell.image, box);
    for (const DetectedBox& box : set.detectionsOf(cell)) {
      if (box.score >= minimumScore) builder.addDetection(cell.category, cell.image, box);
    }
  }
  for (const std::string& warning : set.warnings) builder.warn(warning);
  if (!set.imageSequence.empty()) {
    for (uint32_t k = 0; k < set.imageIds.size(); ++k) {
      builder.setImageOrigin(k, set.imageSequence[k], set.imageFrame[k]);
    }
  }
  return std::move(builder).build();
}

}  // namespace precision
