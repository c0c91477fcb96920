#include "talmira/writers/ap_report.h"

#include <charconv>
#include <cstdio>

#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

// A figure for people: three decimals, or "-" where the category has none.
std::string fixedThree(double value) {
  if (value <= -1) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::string iouLabel(double iou) {
  char text[32];
  std::snprintf(text, sizeof text, "%0.2f", iou);
  return text;
}

}  // namespace

std::string shortestDouble(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

CategoryPrecision categoryPrecision(const precision::CocoResult& result, std::size_t category) {
  // The summary's figures for one category: AP at every threshold and at
  // 0.5 and 0.75, by area, and AR at the last detections limit.
  const auto lines = precision::summaryLines(result.parameters);
  const auto figure = [&](std::size_t k) {
    const precision::SummaryLine& line = lines[k];
    return result.summary(line.averagePrecision, line.iou, line.area, line.maxDetections,
                          static_cast<long>(category));
  };
  return {figure(0), figure(1), figure(2), figure(3), figure(4), figure(5), figure(8)};
}

std::string renderCocoText(const precision::CocoResult& result, const precision::ImageSet& set) {
  std::string text = precision::cocoSummaryText(result);
  std::vector<std::vector<std::string>> rows = {
      {"Category", "AP", "AP50", "AP75", "APs", "APm", "APl", "AR100", "GT", "Det"}};
  for (std::size_t k = 0; k < result.categories; ++k) {
    const CategoryPrecision c = categoryPrecision(result, k);
    rows.push_back({set.categoryNames[k], fixedThree(c.ap), fixedThree(c.ap50), fixedThree(c.ap75),
                    fixedThree(c.apSmall), fixedThree(c.apMedium), fixedThree(c.apLarge),
                    fixedThree(c.ar100), std::to_string(result.truthCount[k]),
                    std::to_string(result.detectionCount[k])});
  }
  text += "\n" + renderTable(rows);
  return text;
}

std::string renderCocoCsv(const precision::CocoResult& result, const precision::ImageSet& set) {
  std::string csv =
      "category_id,category,ap,ap50,ap75,ap_small,ap_medium,ap_large,ar100,ground_truth,"
      "detections\n";
  std::size_t truths = 0, detections = 0;
  for (std::size_t k = 0; k < result.categories; ++k) {
    truths += result.truthCount[k];
    detections += result.detectionCount[k];
  }
  const auto& s = result.stats;
  auto row = [&](const std::string& id, const std::string& name, const CategoryPrecision& c,
                 std::size_t gt, std::size_t det) {
    csv += id + "," + csvField(name) + "," + shortestDouble(c.ap) + "," + shortestDouble(c.ap50) +
           "," + shortestDouble(c.ap75) + "," + shortestDouble(c.apSmall) + "," +
           shortestDouble(c.apMedium) + "," + shortestDouble(c.apLarge) + "," +
           shortestDouble(c.ar100) + "," + std::to_string(gt) + "," + std::to_string(det) + "\n";
  };
  row("", "All", {s[0], s[1], s[2], s[3], s[4], s[5], s[8]}, truths, detections);
  for (std::size_t k = 0; k < result.categories; ++k) {
    row(std::to_string(set.categoryIds[k]), set.categoryNames[k], categoryPrecision(result, k),
        result.truthCount[k], result.detectionCount[k]);
  }
  return csv;
}

Json cocoJson(const precision::CocoResult& result, const precision::ImageSet& set, bool arrays) {
  const precision::CocoParameters& p = result.parameters;
  Json json;
  json["protocol"] = "coco";
  Json areas = Json::array();
  for (const precision::AreaRange& range : p.areaRanges) {
    areas.push_back({{"label", range.label}, {"low", range.low}, {"high", range.high}});
  }
  json["parameters"] = {{"iou_thresholds", p.iouThresholds},
                        {"recall_thresholds", p.recallThresholds},
                        {"max_detections", p.maxDetections},
                        {"area_ranges", areas}};
  json["stats"] = result.stats;
  Json summary = Json::array();
  const auto lines = precision::summaryLines(p);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const precision::SummaryLine& line = lines[k];
    const std::string iou =
        line.iou < 0 ? iouLabel(p.iouThresholds.front()) + ":" + iouLabel(p.iouThresholds.back())
                     : iouLabel(line.iou);
    summary.push_back({{"measure", line.averagePrecision ? "AP" : "AR"},
                       {"iou", iou},
                       {"area", line.area},
                       {"max_detections", line.maxDetections},
                       {"value", result.stats[k]}});
  }
  json["summary"] = summary;
  Json categories = Json::array();
  for (std::size_t k = 0; k < result.categories; ++k) {
    const CategoryPrecision c = categoryPrecision(result, k);
    categories.push_back({{"id", set.categoryIds[k]},
                          {"name", set.categoryNames[k]},
                          {"ap", c.ap},
                          {"ap50", c.ap50},
                          {"ap75", c.ap75},
                          {"ap_small", c.apSmall},
                          {"ap_medium", c.apMedium},
                          {"ap_large", c.apLarge},
                          {"ar100", c.ar100},
                          {"ground_truth", result.truthCount[k]},
                          {"detections", result.detectionCount[k]}});
  }
  json["categories"] = categories;
  json["warnings"] = set.warnings;
  if (arrays) {
    const std::size_t T = p.iouThresholds.size(), R = p.recallThresholds.size(),
                      K = result.categories, A = p.areaRanges.size(), M = p.maxDetections.size();
    auto nested = [&](const std::vector<double>& values, bool withRecall) {
      Json outer = Json::array();
      std::size_t at = 0;
      for (std::size_t t = 0; t < T; ++t) {
        Json byT = Json::array();
        for (std::size_t r = 0; r < (withRecall ? R : 1); ++r) {
          Json byR = Json::array();
          for (std::size_t k = 0; k < K; ++k) {
            Json byK = Json::array();
            for (std::size_t a = 0; a < A; ++a) {
              Json byA = Json::array();
              for (std::size_t m = 0; m < M; ++m) byA.push_back(values[at++]);
              byK.push_back(std::move(byA));
            }
            byR.push_back(std::move(byK));
          }
          if (withRecall) {
            byT.push_back(std::move(byR));
          } else {
            byT = std::move(byR);
          }
        }
        outer.push_back(std::move(byT));
      }
      return outer;
    };
    json["arrays"] = {{"precision", nested(result.precision, true)},
                      {"recall", nested(result.recall, false)},
                      {"scores", nested(result.scores, true)}};
  }
  return json;
}

}  // namespace talmira
