// COCO JSON read for average precision: what it keeps, drops, warns of and
// refuses, with the file and line.
#include "annotation/coco_images.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "scoring/precision/coco_evaluation.h"

namespace {

using formats::readCocoImages;

const char* kTruth = R"({"images": [{"id": 7}, {"id": 3, "file_name": "b.jpg"}],
 "categories": [{"id": 2, "name": "dog"}, {"id": 1, "name": "cat"}],
 "annotations": [
  {"id": 1, "image_id": 3, "category_id": 1, "bbox": [10, 10, 20, 20], "area": 400, "iscrowd": 0},
  {"id": 2, "image_id": 7, "category_id": 2, "bbox": [0.5, 0.25, 10.125, 4], "area": 40.5, "iscrowd": 0},
  {"id": 3, "image_id": 7, "category_id": 2, "bbox": [50, 50, 30, 30], "iscrowd": 1}
 ]})";

const char* kResults = R"([
 {"image_id": 3, "category_id": 1, "bbox": [10, 10, 20, 20], "score": 0.9},
 {"image_id": 7, "category_id": 2, "bbox": [0.5, 0.25, 10.125, 4], "score": 0.5}
])";

std::optional<precision::ImageSet> read(const std::string& truth, const std::string& results,
                                        std::string& failure) {
  return readCocoImages({"gt.json", truth}, {"res.json", results}, failure);
}

std::string failureOf(const std::string& truth, const std::string& results) {
  std::string failure;
  EXPECT_FALSE(read(truth, results, failure).has_value());
  return failure;
}

TEST(CocoImages, KeepsIdsInOrderAndNumbersAsWritten) {
  std::string failure;
  const auto set = read(kTruth, kResults, failure);
  ASSERT_TRUE(set) << failure;
  EXPECT_EQ(set->imageIds, (std::vector<int64_t>{3, 7}));
  EXPECT_EQ(set->categoryIds, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(set->categoryNames, (std::vector<std::string>{"cat", "dog"}));
  ASSERT_EQ(set->cells.size(), 2u);
  // (cat, image 3) then (dog, image 7): the crowd keeps its place in file order.
  const auto dog = set->truthsOf(set->cells[1]);
  ASSERT_EQ(dog.size(), 2u);
  EXPECT_EQ(dog[0].x, 0.5);
  EXPECT_EQ(dog[0].width, 10.125);
  EXPECT_EQ(dog[0].area, 40.5);
  EXPECT_EQ(dog[0].line, 5u);
  EXPECT_TRUE(dog[1].crowd);
  EXPECT_TRUE(std::isnan(dog[1].area));  // a crowd needs none
  EXPECT_EQ(set->detectionsOf(set->cells[0])[0].score, 0.9);
  EXPECT_TRUE(set->warnings.empty());
}

TEST(CocoImages, PassesOverFieldsItDoesNotRead) {
  // Segmentations as polygons and as run lengths, nested objects and lists
  // of every kind change nothing.
  std::string truth = kTruth;
  truth.insert(truth.find("\"images\""),
               R"("info": {"year": 2014, "list": [1, [2, {"id": 9}]]}, "licenses": [{"id": 1}], )");
  const std::string marker = "\"area\": 400";
  truth.insert(truth.find(marker), R"("segmentation": {"counts": [1, 2], "size": [4, 4]}, )");
  std::string results = kResults;
  results.insert(results.find("\"score\": 0.5"),
                 R"("segmentation": [[1, 2, 3, 4]], "extra": {"bbox": "no", "score": null}, )");
  std::string failure;
  const auto plain = read(kTruth, kResults, failure);
  const auto decorated = read(truth, results, failure);
  ASSERT_TRUE(plain && decorated) << failure;
  const auto parameters = precision::CocoParameters::standard();
  const auto a = precision::evaluateCoco(*plain, parameters, 1);
  const auto b = precision::evaluateCoco(*decorated, parameters, 1);
  EXPECT_EQ(a.precision, b.precision);
  EXPECT_EQ(a.stats, b.stats);
}

TEST(CocoImages, RefusesWithFileAndLine) {
  const std::string truth = kTruth;
  auto withResult = [](const std::string& element) { return "[\n" + element + "\n]"; };
  EXPECT_EQ(
      failureOf(
          truth,
          withResult(R"({"image_id": 4, "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1})")),
      "res.json:2: result: \"image_id\" 4 is no image of the ground truth");
  EXPECT_EQ(
      failureOf(
          truth,
          withResult(R"({"image_id": 3, "category_id": 1, "bbox": [0, 0, -1, 1], "score": 1})")),
      "res.json:2: result: \"bbox\" has a negative width or height");
  EXPECT_EQ(
      failureOf(truth,
                withResult(R"({"image_id": 3, "category_id": 1, "bbox": [0, 0, 1], "score": 1})")),
      "res.json:2: result: \"bbox\" is not a list of 4 numbers [x, y, width, height]");
  EXPECT_EQ(
      failureOf(truth, withResult(R"({"image_id": 3, "category_id": 1, "bbox": [0, 0, 1, 1]})")),
      "res.json:2: result: \"score\" is missing or not a number");
  EXPECT_EQ(
      failureOf(
          truth,
          withResult(R"({"image_id": "3", "category_id": 1, "bbox": [0, 0, 1, 1], "score": 1})")),
      "res.json:2: result: \"image_id\" is missing or not a whole number");
  EXPECT_EQ(failureOf(truth, "[\n{\"image_id\": 3,,}]"),
            "res.json:2: not well-formed JSON: syntax error while parsing object key - unexpected "
            "','; expected string literal");
  EXPECT_EQ(failureOf(truth, "{}"),
            "res.json: is not a COCO results list ([{\"image_id\", \"category_id\", ...}])");
  EXPECT_EQ(failureOf(kResults, kResults),
            "gt.json: is a results list, not a COCO ground truth (a JSON object)");

  std::string noArea = truth;
  noArea.replace(noArea.find(", \"area\": 400"), 13, "");
  EXPECT_EQ(failureOf(noArea, kResults),
            "gt.json:4: annotation: \"area\" is missing or not a number");
  std::string noCrowd = truth;
  noCrowd.replace(noCrowd.find(", \"iscrowd\": 0"), 14, "");
  EXPECT_EQ(failureOf(noCrowd, kResults),
            "gt.json:4: annotation: \"iscrowd\" is missing or none of 0, 1, true, false");
  std::string badGt = truth;
  badGt.replace(badGt.find("[10, 10, 20, 20]"), 16, "[10, 10, 20, -2]");
  EXPECT_EQ(failureOf(badGt, kResults),
            "gt.json:4: annotation: \"bbox\" has a negative width or height");
  EXPECT_EQ(failureOf(R"({"images": [], "annotations": []})", "[]"),
            "gt.json: has no \"categories\" list: not a COCO ground truth");
  EXPECT_EQ(
      failureOf(R"({"images": [{"id": 1}, {"id": 1}], "annotations": [], "categories": []})", "[]"),
      "gt.json: image: \"id\" 1 is used twice");
}

TEST(CocoImages, DropsWhatTheEvaluatorDropsAndSaysHowMuch) {
  std::string truth = kTruth;
  truth.insert(
      truth.rfind(']'),
      R"(, {"id": 0, "image_id": 99, "category_id": 1, "bbox": [0, 0, 1, 1], "area": 1, "iscrowd": 0},
  {"id": 0, "image_id": 3, "category_id": 5, "bbox": [0, 0, 1, 1], "area": 1, "iscrowd": 0},
  {"id": 0, "image_id": 3, "category_id": 1, "bbox": [0, 0, 1, 1], "area": 1, "iscrowd": 0},
  {"id": 1, "image_id": 7, "category_id": 1, "bbox": [0, 0, 1, 1], "area": 1, "iscrowd": 0})");
  const std::string results =
      R"([{"image_id": 3, "category_id": 5, "bbox": [0, 0, 1, 1], "score": 1},
          {"image_id": 3, "category_id": 6, "bbox": [0, 0, 1, 1], "score": 1}])";
  std::string failure;
  const auto set = read(truth, results, failure);
  ASSERT_TRUE(set) << failure;
  EXPECT_EQ(set->truths.size(), 5u);
  EXPECT_TRUE(set->detections.empty());
  const std::vector<std::string> expected = {
      "gt.json: 1 annotation is on images the \"images\" list does not hold: left out",
      "gt.json: 1 annotation is of categories the \"categories\" list does not hold: left out",
      "gt.json: 3 annotations have the id 0, which pycocotools never counts as matched; matched "
      "here like any other",
      "gt.json: 1 annotation repeats an earlier one's id (pycocotools would take each such id "
      "for the last annotation that has it); each is scored as its own box here",
      "res.json: 2 results are of categories the ground truth does not hold: left out",
      "res.json: holds no detections: every precision and recall is 0 where there is ground "
      "truth"};
  EXPECT_EQ(set->warnings, expected);
  // No detections: zeros where there is ground truth, -1 where there is none.
  const auto result = precision::evaluateCoco(*set, precision::CocoParameters::standard(), 1);
  EXPECT_EQ(result.stats[0], 0.0);
  EXPECT_EQ(result.stats[8], 0.0);
}

TEST(CocoImages, AnIdZeroTruthIsMatched) {
  const std::string truth = R"({"images": [{"id": 1}], "categories": [{"id": 1, "name": "a"}],
    "annotations": [{"id": 0, "image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "area": 100, "iscrowd": 0}]})";
  const std::string results =
      R"([{"image_id": 1, "category_id": 1, "bbox": [0, 0, 10, 10], "score": 1}])";
  std::string failure;
  const auto set = read(truth, results, failure);
  ASSERT_TRUE(set) << failure;
  const auto result = precision::evaluateCoco(*set, precision::CocoParameters::standard(), 1);
  EXPECT_DOUBLE_EQ(result.stats[0], 1.0);
  EXPECT_DOUBLE_EQ(result.stats[8], 1.0);
}

}  // namespace
