// The VID report's three forms on one evaluated set: every figure read back
// from JSON and CSV is the double the evaluation gave, a figure a category
// has not is -1 or "-" (null or empty without the motion split), and names
// are quoted as CSV needs.
#include "talmira/writers/vid_report.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "talmira/cli_common.h"

namespace {

using precision::ImageSet;

// Two frames of one sequence; "a, b" (id 3) has a still object and a
// jumping one, found once each with an FP between them; "none" (id 8) has
// only a detection.
ImageSet twoFrames(bool withOrigins) {
  ImageSet set;
  set.imageIds = {10, 11};
  if (withOrigins) {
    set.imageSequence = {0, 0};
    set.imageFrame = {1, 2};
  }
  set.categoryIds = {3, 8};
  set.categoryNames = {"a, b", "none"};
  const auto truth = [](double x, double y, int64_t track) {
    precision::TruthBox box;
    box.x = x;
    box.y = y;
    box.width = 39;
    box.height = 39;
    box.track = track;
    return box;
  };
  const auto detection = [](double x, double y, double score) {
    precision::DetectedBox box;
    box.x = x;
    box.y = y;
    box.width = 39;
    box.height = 39;
    box.score = score;
    return box;
  };
  set.truths = {truth(0, 0, 1), truth(100, 0, 2), truth(0, 0, 1), truth(300, 300, 2)};
  set.detections = {detection(0, 0, 0.9), detection(500, 0, 0.8), detection(100, 0, 0.7),
                    detection(0, 0, 0.6)};
  set.cells = {{0, 0, 0, 2, 0, 3}, {0, 1, 2, 4, 3, 3}, {1, 1, 4, 4, 3, 4}};
  set.warnings = {"2 annotations dropped"};
  return set;
}

double csvNumber(const std::string& field) { return std::strtod(field.c_str(), nullptr); }

std::vector<std::string> csvFields(const std::string& line) {
  // The lines here quote only the name "a, b".
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  fields.push_back(field);
  return fields;
}

TEST(VidReport, JsonHoldsEveryFigureExactly) {
  const ImageSet set = twoFrames(true);
  const precision::VidResult result = precision::evaluateVid(set, 1);
  ASSERT_TRUE(result.motionSplit);
  const talmira::Json json = talmira::Json::parse(talmira::jsonText(talmira::vidJson(result, set)));
  EXPECT_EQ(json["protocol"], "vid");
  EXPECT_EQ(json["map"].get<double>(), result.meanAp);
  EXPECT_EQ(json["motion"]["slow"].get<double>(), result.motionMeanAp[precision::kMotionSlow]);
  EXPECT_EQ(json["motion"]["fast"].get<double>(), result.motionMeanAp[precision::kMotionFast]);
  EXPECT_EQ(json["motion"]["medium"], -1);  // no box in the bin
  const auto& first = json["categories"][0];
  EXPECT_EQ(first["id"], 3);
  EXPECT_EQ(first["name"], "a, b");
  EXPECT_EQ(first["ap"].get<double>(), result.ap[0]);
  EXPECT_GT(result.ap[0], 0.0);
  EXPECT_LT(result.ap[0], 1.0);
  EXPECT_EQ(first["ground_truth"], 4);
  EXPECT_EQ(first["detections"], 3);
  EXPECT_EQ(first["ap_slow"].get<double>(), result.motionAp[precision::kMotionSlow][0]);
  EXPECT_EQ(first["ground_truth_slow"], 2);
  EXPECT_EQ(first["ground_truth_fast"], 2);
  const auto& second = json["categories"][1];
  EXPECT_EQ(second["ap"], -1);
  EXPECT_EQ(second["ap_fast"], -1);
  EXPECT_EQ(second["detections"], 1);
  EXPECT_EQ(json["warnings"][0], "2 annotations dropped");

  const ImageSet still = twoFrames(false);
  const talmira::Json plain = talmira::vidJson(precision::evaluateVid(still, 1), still);
  EXPECT_TRUE(plain["motion"].is_null());
  EXPECT_TRUE(plain["categories"][0]["ap_slow"].is_null());
  EXPECT_EQ(plain["categories"][0]["ap"].get<double>(), result.ap[0]);
}

TEST(VidReport, CsvReadsBackAsTheSameDoubles) {
  const ImageSet set = twoFrames(true);
  const precision::VidResult result = precision::evaluateVid(set, 1);
  const std::string csv = talmira::renderVidCsv(result, set);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < csv.size();) {
    const std::size_t end = csv.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(csv.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "category_id,category,ap,ground_truth,detections,ap_slow,ap_medium,ap_fast");
  const std::vector<std::string> mean = csvFields(lines[1]);
  EXPECT_EQ(mean[0], "");
  EXPECT_EQ(mean[1], "All");
  EXPECT_EQ(csvNumber(mean[2]), result.meanAp);
  EXPECT_EQ(mean[3], "4");
  EXPECT_EQ(mean[4], "4");
  EXPECT_EQ(csvNumber(mean[5]), result.motionMeanAp[precision::kMotionSlow]);
  EXPECT_EQ(mean[6], "-1");
  EXPECT_NE(lines[2].find("\"a, b\""), std::string::npos);
  const std::vector<std::string> first = csvFields(lines[2]);
  ASSERT_EQ(first.size(), 8u);
  EXPECT_EQ(first[0], "3");
  EXPECT_EQ(csvNumber(first[2]), result.ap[0]);
  EXPECT_EQ(csvNumber(first[7]), result.motionAp[precision::kMotionFast][0]);
  EXPECT_EQ(lines[3], "8,none,-1,0,1,-1,-1,-1");
  // Without the split, the motion fields are empty.
  const ImageSet still = twoFrames(false);
  const std::string plain = talmira::renderVidCsv(precision::evaluateVid(still, 1), still);
  EXPECT_NE(plain.find("\n8,none,-1,0,1,,,\n"), std::string::npos) << plain;
}

TEST(VidReport, TextShowsMeansThenTheTable) {
  const ImageSet set = twoFrames(true);
  const precision::VidResult result = precision::evaluateVid(set, 1);
  const std::string text = talmira::renderVidText(result, set);
  // AP 1/4 + 1/4 * 2/3; slow 1/2, fast 1/3.
  EXPECT_EQ(text.rfind("mAP (ImageNet VID): 0.417 over 1 of 2 categories with ground truth\n"
                       "mAP slow:   0.500\nmAP medium: -\nmAP fast:   0.333\n",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("\nCategory     AP  GT  Det  AP slow  AP medium  AP fast\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nnone          -   0    1        -          -        -\n"),
            std::string::npos)
      << text;
}

}  // namespace
