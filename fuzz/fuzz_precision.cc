// Fuzz target for COCO average precision: the bytes before the first NUL are
// a ground truth, the rest a results list. Whatever the bytes, the reader
// must fail with a message naming one of the two files, or give a set whose
// every number reads back as written; and the evaluation of that set must
// keep its invariants: precision and recall are -1 or between 0 and 1, a
// category's precision never rises along the recall thresholds, the recall
// never falls as more detections per image are taken, and the threads
// change nothing; ImageNet VID's figures stay in range and do not depend
// on the threads either.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "annotation/coco_images.h"
#include "fuzz_support.h"
#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/vid_evaluation.h"

namespace {

using Json = nlohmann::json;

bool startsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// The set written back as a COCO pair: every number in its shortest exact
// text.
std::pair<std::string, std::string> written(const precision::ImageSet& set) {
  Json truth;
  truth["images"] = Json::array();
  for (const int64_t id : set.imageIds) truth["images"].push_back({{"id", id}});
  truth["categories"] = Json::array();
  for (std::size_t k = 0; k < set.categoryIds.size(); ++k) {
    truth["categories"].push_back({{"id", set.categoryIds[k]}, {"name", set.categoryNames[k]}});
  }
  truth["annotations"] = Json::array();
  Json results = Json::array();
  for (const precision::Cell& cell : set.cells) {
    for (const precision::TruthBox& box : set.truthsOf(cell)) {
      Json a = {{"id", box.id},
                {"image_id", set.imageIds[cell.image]},
                {"category_id", set.categoryIds[cell.category]},
                {"bbox", {box.x, box.y, box.width, box.height}},
                {"iscrowd", box.crowd ? 1 : 0}};
      if (!std::isnan(box.area)) a["area"] = box.area;
      truth["annotations"].push_back(std::move(a));
    }
    for (const precision::DetectedBox& box : set.detectionsOf(cell)) {
      results.push_back({{"image_id", set.imageIds[cell.image]},
                         {"category_id", set.categoryIds[cell.category]},
                         {"bbox", {box.x, box.y, box.width, box.height}},
                         {"score", box.score}});
    }
  }
  return {truth.dump(), results.dump()};
}

void checkEvaluation(const precision::ImageSet& set) {
  precision::CocoParameters p = precision::CocoParameters::standard();
  p.maxDetections = {1, 2, 5};  // small limits, so that the cuts are reached
  const precision::CocoResult one = precision::evaluateCoco(set, p, 1);
  const precision::CocoResult three = precision::evaluateCoco(set, p, 3);
  FUZZ_CHECK(one.precision == three.precision);
  FUZZ_CHECK(one.recall == three.recall);
  FUZZ_CHECK(one.scores == three.scores);
  for (const double v : one.precision) FUZZ_CHECK(v == -1 || (v >= 0 && v <= 1));
  for (const double v : one.recall) FUZZ_CHECK(v == -1 || (v >= 0 && v <= 1));
  for (const double v : one.stats) FUZZ_CHECK(v == -1 || (v >= 0 && v <= 1));
  const std::size_t T = p.iouThresholds.size(), R = p.recallThresholds.size(),
                    A = p.areaRanges.size(), M = p.maxDetections.size();
  for (std::size_t t = 0; t < T; ++t) {
    for (std::size_t k = 0; k < one.categories; ++k) {
      for (std::size_t a = 0; a < A; ++a) {
        for (std::size_t m = 0; m < M; ++m) {
          const double recall = one.recallAt(t, k, a, m);
          if (m > 0) FUZZ_CHECK(recall >= one.recallAt(t, k, a, m - 1));
          for (std::size_t r = 0; r < R; ++r) {
            const double v = one.precisionAt(t, r, k, a, m);
            FUZZ_CHECK((v == -1) == (recall == -1));
            if (r > 0) FUZZ_CHECK(v <= one.precisionAt(t, r - 1, k, a, m));
            // Past the recall reached, precision is 0.
            if (recall != -1 && p.recallThresholds[r] > recall) FUZZ_CHECK(v == 0);
          }
        }
      }
    }
  }
}

// ImageNet VID's figures: -1 or between 0 and 1, the same on any threads.
void checkVid(const precision::ImageSet& set) {
  const precision::VidResult one = precision::evaluateVid(set, 1);
  const precision::VidResult three = precision::evaluateVid(set, 3);
  FUZZ_CHECK(one.ap == three.ap && one.motionAp == three.motionAp);
  FUZZ_CHECK(one.meanAp == three.meanAp || (std::isnan(one.meanAp) && std::isnan(three.meanAp)));
  for (const double v : one.ap) FUZZ_CHECK(v == -1 || (v >= 0 && v <= 1));
  for (const auto& bin : one.motionAp) {
    for (const double v : bin) FUZZ_CHECK(v == -1 || (v >= 0 && v <= 1));
  }
  FUZZ_CHECK(one.meanAp == -1 || (one.meanAp >= 0 && one.meanAp <= 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = bytes.find('\0');
  const std::string_view truthText = bytes.substr(0, nul);
  const std::string_view resultsText =
      nul == std::string_view::npos ? std::string_view("[]") : bytes.substr(nul + 1);
  std::string failure;
  const std::optional<precision::ImageSet> set =
      formats::readCocoImages({"gt.json", truthText}, {"res.json", resultsText}, failure);
  if (!set) {
    FUZZ_CHECK(startsWith(failure, "gt.json") || startsWith(failure, "res.json"));
    return 0;
  }
  FUZZ_CHECK(set->cells.size() <= set->truths.size() + set->detections.size());
  for (const precision::TruthBox& box : set->truths) FUZZ_CHECK(box.width >= 0 && box.height >= 0);
  // Written back and read again: the same boxes, bit for bit.
  const auto [truth, results] = written(*set);
  std::string again;
  const std::optional<precision::ImageSet> reread =
      formats::readCocoImages({"gt.json", truth}, {"res.json", results}, again);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(reread->imageIds == set->imageIds && reread->categoryIds == set->categoryIds);
  FUZZ_CHECK(reread->truths.size() == set->truths.size());
  FUZZ_CHECK(reread->detections.size() == set->detections.size());
  for (std::size_t k = 0; k < set->truths.size(); ++k) {
    const precision::TruthBox& a = set->truths[k];
    const precision::TruthBox& b = reread->truths[k];
    FUZZ_CHECK(a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height);
    FUZZ_CHECK(a.crowd == b.crowd && a.id == b.id);
    FUZZ_CHECK((std::isnan(a.area) && std::isnan(b.area)) || a.area == b.area);
  }
  for (std::size_t k = 0; k < set->detections.size(); ++k) {
    FUZZ_CHECK(set->detections[k].score == reread->detections[k].score);
    FUZZ_CHECK(set->detections[k].x == reread->detections[k].x);
  }
  if (set->truths.size() + set->detections.size() <= 400) {
    checkEvaluation(*set);
    checkVid(*set);
  }
  return 0;
}
