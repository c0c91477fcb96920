#include "talmira/writers/vid_report.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <numeric>
#include <string_view>
#include <vector>

#include "talmira/writers/ap_report.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

using precision::kMotionBinNames;
using precision::kMotionBins;

bool hasValue(double ap) { return ap >= 0.0; }

// As the COCO protocol's report writes its figures: three decimals or "-"
// for people, the shortest exact text (-1 where there is none) for scripts.
std::string textAp(double ap) {
  if (!hasValue(ap)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ap);
  return text;
}
std::string csvAp(double ap) { return shortestDouble(hasValue(ap) ? ap : -1.0); }
Json jsonAp(double ap) { return hasValue(ap) ? ap : -1.0; }

std::size_t total(const std::vector<std::size_t>& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::size_t{0});
}

}  // namespace

std::string renderVidText(const precision::VidResult& result, const precision::ImageSet& set) {
  const std::size_t counted =
      static_cast<std::size_t>(std::count_if(result.ap.begin(), result.ap.end(), hasValue));
  std::string text = "mAP (ImageNet VID): " + textAp(result.meanAp) + " over " +
                     std::to_string(counted) + " of " + std::to_string(result.ap.size()) +
                     " categories with ground truth\n";
  if (result.motionSplit) {
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      const std::string name = kMotionBinNames[bin];
      text += "mAP " + name + ":" + std::string(7 - name.size(), ' ') +
              textAp(result.motionMeanAp[bin]) + "\n";
    }
    if (result.isolatedTruthCount > 0) {
      text += std::to_string(result.isolatedTruthCount) +
              " ground-truth boxes have no other box of their object within ten frames "
              "(motion IoU 0: fast)\n";
    }
  } else {
    text += "No motion split: the ground truth has no tracks or the images no frames\n";
  }
  text += "\n";
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"Category", "AP", "GT", "Det"};
  if (result.motionSplit) {
    for (const char* name : kMotionBinNames) header.push_back(std::string("AP ") + name);
  }
  rows.push_back(header);
  for (std::size_t c = 0; c < result.ap.size(); ++c) {
    std::vector<std::string> row = {set.categoryNames[c], textAp(result.ap[c]),
                                    std::to_string(result.truthCount[c]),
                                    std::to_string(result.detectionCount[c])};
    if (result.motionSplit) {
      for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
        row.push_back(textAp(result.motionAp[bin][c]));
      }
    }
    rows.push_back(std::move(row));
  }
  text += renderTable(rows);
  return text;
}

std::string renderVidCsv(const precision::VidResult& result, const precision::ImageSet& set) {
  std::string text = "category_id,category,ap,ground_truth,detections,ap_slow,ap_medium,ap_fast\n";
  const auto motion = [&](std::size_t bin, std::size_t category) {
    if (!result.motionSplit) return std::string();
    return csvAp(category == result.ap.size() ? result.motionMeanAp[bin]
                                              : result.motionAp[bin][category]);
  };
  const auto row = [&](std::string id, std::string_view name, double ap, std::size_t truths,
                       std::size_t detections, std::size_t category) {
    text += id + "," + csvField(name) + "," + csvAp(ap) + "," + std::to_string(truths) + "," +
            std::to_string(detections);
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) text += "," + motion(bin, category);
    text += "\n";
  };
  row("", "All", result.meanAp, total(result.truthCount), total(result.detectionCount),
      result.ap.size());
  for (std::size_t c = 0; c < result.ap.size(); ++c) {
    row(std::to_string(set.categoryIds[c]), set.categoryNames[c], result.ap[c],
        result.truthCount[c], result.detectionCount[c], c);
  }
  return text;
}

Json vidJson(const precision::VidResult& result, const precision::ImageSet& set) {
  Json motion = nullptr;
  if (result.motionSplit) {
    motion = Json::object();
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      motion[kMotionBinNames[bin]] = jsonAp(result.motionMeanAp[bin]);
    }
    motion["isolated_ground_truth"] = result.isolatedTruthCount;
  }
  Json categories = Json::array();
  for (std::size_t c = 0; c < result.ap.size(); ++c) {
    Json category = {{"id", set.categoryIds[c]},
                     {"name", set.categoryNames[c]},
                     {"ap", jsonAp(result.ap[c])},
                     {"ground_truth", result.truthCount[c]},
                     {"detections", result.detectionCount[c]}};
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      category[std::string("ap_") + kMotionBinNames[bin]] =
          result.motionSplit ? jsonAp(result.motionAp[bin][c]) : Json(nullptr);
    }
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      category[std::string("ground_truth_") + kMotionBinNames[bin]] =
          result.motionSplit ? Json(result.motionTruthCount[bin][c]) : Json(nullptr);
    }
    categories.push_back(std::move(category));
  }
  return Json{{"protocol", "vid"},
              {"map", jsonAp(result.meanAp)},
              {"motion", motion},
              {"categories", categories},
              {"warnings", set.warnings}};
}

}  // namespace talmira
