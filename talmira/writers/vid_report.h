// The result of `talmira ap --protocol vid` and its text, CSV and JSON forms.
#pragma once

#include <string>

#include "scoring/precision/image_set.h"
#include "scoring/precision/vid_evaluation.h"
#include "talmira/cli_common.h"

namespace talmira {

/// For people: the mean AP, the mean AP of each motion bin when the set is
/// split by motion, then a table of the categories in the set's order
/// (Category, AP, GT, Det, and AP slow, medium and fast with the split).
/// Figures have three decimals, "-" where a category has none (no ground
/// truth there), as the COCO protocol's table writes them.
std::string renderVidText(const precision::VidResult& result, const precision::ImageSet& set);

/// `category_id,category,ap,ground_truth,detections,ap_slow,ap_medium,ap_fast`,
/// a row "All" (without id) with the means and the totals, then one row per
/// category; APs in the shortest text that reads back as the same double,
/// -1 where there is none, the motion fields empty without the split; LF
/// line ends.
std::string renderVidCsv(const precision::VidResult& result, const precision::ImageSet& set);

/// {"protocol": "vid", "map", "motion": {"slow", "medium", "fast",
/// "isolated_ground_truth"} or null without the split, "categories": [{"id",
/// "name", "ap", "ground_truth", "detections", "ap_slow", "ap_medium",
/// "ap_fast", "ground_truth_slow", "ground_truth_medium",
/// "ground_truth_fast"}], "warnings"}; an AP is -1 where there is no ground
/// truth to find (as the COCO protocol's), the motion fields null without
/// the split.
Json vidJson(const precision::VidResult& result, const precision::ImageSet& set);

}  // namespace talmira
