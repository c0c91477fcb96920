// Random image sets for the average-precision tests: boxes on a coarse grid
// (so that IoUs tie and sit right at the thresholds), areas right at the
// ranges' bounds, crowds, scores from a few values (ties across images and
// within one), more detections in a cell than the cut keeps, images without
// boxes, categories without ground truth.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "scoring/precision/image_set.h"

namespace talmira_test {

/// One box of a generated set, before it is put into an ImageSet.
struct RandomBox {
  uint32_t image = 0;
  uint32_t category = 0;  // index into the set's categories
  double x = 0, y = 0, width = 0, height = 0;
  double area = 0;  // ground truth: the annotation's area
  bool crowd = false;
  double score = 0;  // detections
};

struct RandomImages {
  std::vector<int64_t> categoryIds;  // ascending
  std::vector<std::string> categoryNames;
  uint32_t images = 0;
  std::vector<RandomBox> truths, detections;  // in file order
};

inline RandomImages randomImages(std::mt19937& random, uint32_t images,
                                 const std::vector<std::string>& names,
                                 const std::vector<int64_t>& ids, bool distinctScores = false) {
  const auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  RandomImages set;
  set.categoryIds = ids;
  set.categoryNames = names;
  set.images = images;
  const double sides[] = {8, 16, 32, 33, 48, 64, 96, 100};
  for (uint32_t image = 0; image < images; ++image) {
    if (pick(0, 5) == 0) continue;  // an image without boxes
    const int objects = pick(0, 6);
    for (int o = 0; o < objects; ++o) {
      RandomBox t;
      t.image = image;
      t.category = static_cast<uint32_t>(pick(0, static_cast<int>(names.size()) - 1));
      t.x = 8.0 * pick(0, 12);
      t.y = 8.0 * pick(0, 12);
      t.width = sides[pick(0, 7)];
      t.height = sides[pick(0, 7)];
      // Sometimes the area field is not width times height: exactly at a bound.
      const int areaChoice = pick(0, 5);
      t.area = areaChoice == 0 ? 1024.0 : areaChoice == 1 ? 9216.0 : t.width * t.height;
      t.crowd = pick(0, 9) == 0;
      set.truths.push_back(t);
      // Detections near it: on it, shifted, duplicated.
      const int near = pick(0, 4);
      for (int d = 0; d < near; ++d) {
        RandomBox det = t;
        det.crowd = false;
        det.x += 4.0 * pick(-3, 3);
        det.y += 4.0 * pick(-3, 3);
        det.width = std::max(4.0, det.width + 4.0 * pick(-2, 2));
        if (pick(0, 6) == 0) {
          det.category = static_cast<uint32_t>(pick(0, static_cast<int>(names.size()) - 1));
        }
        set.detections.push_back(det);
      }
    }
    const int strays = pick(0, 3);
    for (int d = 0; d < strays; ++d) {
      RandomBox det;
      det.image = image;
      det.category = static_cast<uint32_t>(pick(0, static_cast<int>(names.size()) - 1));
      det.x = 8.0 * pick(0, 12);
      det.y = 8.0 * pick(0, 12);
      det.width = sides[pick(0, 7)];
      det.height = sides[pick(0, 7)];
      set.detections.push_back(det);
    }
  }
  for (std::size_t k = 0; k < set.detections.size(); ++k) {
    set.detections[k].score = distinctScores
                                  ? 1.0 - static_cast<double>(k * 7919 % 100003) / 100003.0
                                  : 0.1 * pick(1, 10);  // a few values: ties everywhere
  }
  std::shuffle(set.detections.begin(), set.detections.end(), random);
  return set;
}

/// Category names drawn from a small pool (so that sets share some), ids
/// ascending with gaps.
inline void randomCategories(std::mt19937& random, std::vector<std::string>& names,
                             std::vector<int64_t>& ids) {
  static const char* const kPool[] = {"car", "person", "bus", "dog", "bike", "tram", "cat"};
  std::vector<std::string> pool(std::begin(kPool), std::end(kPool));
  std::shuffle(pool.begin(), pool.end(), random);
  const std::size_t count = std::uniform_int_distribution<std::size_t>(1, 4)(random);
  names.assign(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(count));
  ids.clear();
  int64_t id = 0;
  for (std::size_t k = 0; k < count; ++k) {
    id += std::uniform_int_distribution<int64_t>(1, 5)(random);
    ids.push_back(id);
  }
}

/// The boxes of `set` as an ImageSet whose images have the ids `imageIds`
/// (ascending, one per image) and whose categories are `categoryIds` and
/// `categoryNames`, each box's category `categoryOf[its own]`.
inline precision::ImageSet imageSetOf(const std::vector<const RandomImages*>& parts,
                                      const std::vector<int64_t>& categoryIds,
                                      const std::vector<std::string>& categoryNames,
                                      const std::vector<std::vector<uint32_t>>& categoryOf) {
  std::vector<int64_t> imageIds;
  std::vector<uint32_t> first;
  for (const RandomImages* part : parts) {
    first.push_back(static_cast<uint32_t>(imageIds.size()));
    for (uint32_t i = 0; i < part->images; ++i) {
      imageIds.push_back(static_cast<int64_t>(imageIds.size()) * 3 + 1);
    }
  }
  precision::ImageSetBuilder builder(imageIds, categoryIds, categoryNames);
  int64_t nextId = 1;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    for (const RandomBox& t : parts[p]->truths) {
      precision::TruthBox box;
      box.x = t.x;
      box.y = t.y;
      box.width = t.width;
      box.height = t.height;
      box.area = t.area;
      box.crowd = t.crowd;
      box.id = nextId++;
      builder.addTruth(categoryOf[p][t.category], first[p] + t.image, box);
    }
    for (const RandomBox& d : parts[p]->detections) {
      precision::DetectedBox box;
      box.x = d.x;
      box.y = d.y;
      box.width = d.width;
      box.height = d.height;
      box.score = d.score;
      builder.addDetection(categoryOf[p][d.category], first[p] + d.image, box);
    }
  }
  return std::move(builder).build();
}

/// One set alone, in its own categories.
inline precision::ImageSet imageSetOf(const RandomImages& set) {
  std::vector<uint32_t> own(set.categoryNames.size());
  for (uint32_t k = 0; k < own.size(); ++k) own[k] = k;
  return imageSetOf({&set}, set.categoryIds, set.categoryNames, {own});
}

}  // namespace talmira_test
