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
/// An AP that a category has not (no ground truth there) is "-".
std::string renderVidText(const precision::VidResult& result, const precision::ImageSet& set);

/// `category_id,category,ap,ground_truth,detections,ap_slow,ap_medium,ap_fast`,
/// a row "mean" (without id) with the means and the totals, then one row per
/// category; APs in the shortest text that reads back as the same double,
/// empty where there is none; LF line ends.
std::string renderVidCsv(const precision::VidResult& result, const precision::ImageSet& set);

/// {"protocol": "vid", "map": x, "motion": {"slow", "medium", "fast",
/// "isolated_ground_truth"} or null without the split, "categories": [{"id",
/// "name", "ap", "ground_truth", "detections", "ap_slow", "ap_medium",
/// "ap_fast", "ground_truth_slow", "ground_truth_medium",
/// "ground_truth_fast"}], "warnings": [...]}; null for an AP there is none
/// of (and for the motion figures without the split).
Json vidJson(const precision::VidResult& result, const precision::ImageSet& set);

}  // namespace talmira
