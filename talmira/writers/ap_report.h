// The result of `talmira ap` (COCO's protocol) and its text, CSV and JSON
// forms.
#pragma once

#include <string>

#include "scoring/precision/coco_evaluation.h"
#include "talmira/cli_common.h"

namespace talmira {

/// One category's figures, as the table and the JSON give them.
struct CategoryPrecision {
  double ap = -1, ap50 = -1, ap75 = -1, apSmall = -1, apMedium = -1, apLarge = -1, ar100 = -1;
};
CategoryPrecision categoryPrecision(const precision::CocoResult& result, std::size_t category);

/// The twelve summary lines as COCOeval prints them, then a table of the
/// categories (AP, AP50, AP75, APs, APm, APl, AR100, GT, detections).
std::string renderCocoText(const precision::CocoResult& result, const precision::ImageSet& set);
/// `category_id,category,ap,ap50,ap75,ap_small,ap_medium,ap_large,ar100,
/// ground_truth,detections`: a row "All" (the summary's figures), then one
/// per category; numbers at full precision, -1 where none.
std::string renderCocoCsv(const precision::CocoResult& result, const precision::ImageSet& set);
/// Everything as JSON; with `arrays`, the precision, recall and scores
/// arrays nested as COCOeval shapes them.
Json cocoJson(const precision::CocoResult& result, const precision::ImageSet& set, bool arrays);

/// The shortest text that reads back as `value`.
std::string shortestDouble(double value);

}  // namespace talmira
