// The boxes an average-precision evaluation works on: images, categories,
// ground truth and scored detections, with the coordinates exactly as the
// files give them (doubles), grouped by (category, image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace precision {

/// A ground-truth box. `area` is the file's own area field (COCO's rules
/// test the annotation's area, not width times height); a crowd region may
/// lack one (NaN).
struct TruthBox {
  double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
  double area = 0.0;
  int64_t id = 0;      // the annotation's id (COCO's), or its position
  int64_t track = -1;  // the object's identity along a video, -1 when none
  bool crowd = false;
  uint64_t line = 0;  // where the box is written, for messages
};

/// A detection. Its area is width times height.
struct DetectedBox {
  double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
  double score = 0.0;
  uint64_t line = 0;
};

/// The boxes of one category on one image, as ranges of the set's lists;
/// each side keeps file order.
struct Cell {
  uint32_t category = 0;  // index into ImageSet::categoryIds
  uint32_t image = 0;     // index into ImageSet::imageIds
  uint32_t truthBegin = 0, truthEnd = 0;
  uint32_t detectionBegin = 0, detectionEnd = 0;
};

/// A dataset ready to evaluate. Images and categories are in ascending id
/// order (the order the evaluation visits them); only cells holding a box
/// are listed, in (category, image) order.
struct ImageSet {
  std::vector<int64_t> imageIds;
  // Where each image comes from in a video (for the motion split): the
  // sequence's index and the frame number; empty for still images.
  std::vector<uint32_t> imageSequence;
  std::vector<int64_t> imageFrame;
  std::vector<int64_t> categoryIds;
  std::vector<std::string> categoryNames;
  std::vector<TruthBox> truths;
  std::vector<DetectedBox> detections;
  std::vector<Cell> cells;
  // Said to the user beside the figures (boxes dropped, faults of the
  // reference evaluator mended here).
  std::vector<std::string> warnings;

  std::span<const TruthBox> truthsOf(const Cell& cell) const {
    return {truths.data() + cell.truthBegin, cell.truthEnd - cell.truthBegin};
  }
  std::span<const DetectedBox> detectionsOf(const Cell& cell) const {
    return {detections.data() + cell.detectionBegin, cell.detectionEnd - cell.detectionBegin};
  }
};

/// Builds the cells: boxes given in file order, each with its category and
/// image index, are grouped by (category, image) keeping file order within
/// a group. A box of a category or image index the set does not hold
/// throws std::out_of_range.
class ImageSetBuilder {
 public:
  ImageSetBuilder(std::vector<int64_t> imageIds, std::vector<int64_t> categoryIds,
                  std::vector<std::string> categoryNames);
  void addTruth(uint32_t category, uint32_t image, const TruthBox& box);
  void addDetection(uint32_t category, uint32_t image, const DetectedBox& box);
  void warn(std::string text) { set_.warnings.push_back(std::move(text)); }
  /// Image positions for the motion split; call once per image, in order.
  void setImageOrigin(uint32_t image, uint32_t sequence, int64_t frame);
  ImageSet build() &&;

 private:
  // Throws std::out_of_range for indices past the set's categories or images.
  void checkCell(uint32_t category, uint32_t image) const;
  ImageSet set_;
  std::vector<uint64_t> truthKeys_, detectionKeys_;
};

/// The part of `set` on the given images and categories (ids; those the set
/// does not hold are left out), as an evaluation restricted to them sees it.
ImageSet restrictImageSet(const ImageSet& set, std::span<const int64_t> imageIds,
                          std::span<const int64_t> categoryIds);

/// `set` without the detections scoring below `minimumScore` (its images,
/// categories, ground truth and warnings kept).
ImageSet keepDetectionsFrom(const ImageSet& set, double minimumScore);

}  // namespace precision
