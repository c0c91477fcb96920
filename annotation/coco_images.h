// COCO JSON read for average precision: the ground truth's images,
// categories and annotations and a results list, with every number exactly
// as written (doubles), streamed without building a document.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scoring/precision/image_set.h"

namespace formats {

/// A file's text and the name that messages give it.
struct NamedText {
  std::string_view name;
  std::string_view text;
};

/// Reads a COCO ground truth ({"images", "annotations", "categories"}) and a
/// results list ([{"image_id", "category_id", "bbox", "score"}, ...]; an
/// empty list is allowed and gives no detections). Annotations on images
/// or of categories the ground truth does not list, and results of such
/// categories, are dropped with a warning that counts them; a result on an
/// image the ground truth does not list, a negative width or height, a
/// non-crowd annotation without "area", an annotation without "iscrowd",
/// or malformed JSON fail with "NAME:LINE: what" in `failure`.
std::optional<precision::ImageSet> readCocoImages(const NamedText& truth, const NamedText& results,
                                                  std::string& failure);

/// The same from files.
std::optional<precision::ImageSet> readCocoImageFiles(const std::string& truthPath,
                                                      const std::string& resultsPath,
                                                      std::string& failure);

/// The keys the reader takes from an element of a list (an image, an
/// annotation, a category or a result); every other key's value is passed
/// over, whatever it holds.
std::vector<std::string_view> cocoElementKeys();

}  // namespace formats
