// End-to-end runs of `talmira track` on boxes at the edge of the doubles'
// range. A box whose area overflows (or whose right corner, left + width,
// does) can have an IoU that is not a number with another box; the
// evaluator's assignment refuses such a frame, and so must the command:
// once it followed a path that did not exist and never ended.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

struct Case {
  const char* what;
  std::string groundTruth;
  std::string tracker;
  std::vector<std::string> options;
  // Empty: scored; else the start of the refusal after the ground truth's path.
  std::string refusal;
  // When scored: CLEAR's true positives, misses and false positives.
  int64_t tp = 0, fn = 0, fp = 0;
};

TEST(TrackCommandTest, BoxesWhoseIoUIsNotANumberAreRefusedWhereTheEvaluatorAssignsThem) {
  const std::string nan = ": this box's IoU with the box on line ";
  const std::vector<Case> cases = {
      {"areas of 1e400 facing each other",
       "1,1,0,0,1e200,1e200,1,1,1\n",
       "1,7,0,0,1e200,1e200,0.9,-1\n",
       {},
       ":1" + nan + "1 of "},
      {"right corners past the doubles' range",
       "1,1,10,10,20,20,1,1,1\n1,2,1e308,0,1e308,10,1,1,1\n",
       "1,3,5,5,20,20,0.5,-1\n1,4,1e308,0,1e308,10,0.5,-1\n",
       {},
       ":2" + nan + "2 of "},
      // MOT17 assigns every ground-truth box of the frame before it keeps
      // the considered pedestrians; the plain rules assign only those.
      {"a box not considered, under MOT17's rules",
       "1,1,0,0,1e200,1e200,0,1,1\n1,2,0,0,10,10,1,1,1\n",
       "1,5,0,0,1e200,1e200,0.9,-1\n",
       {},
       ":1" + nan + "1 of "},
      {"a box not considered, under the plain rules",
       "1,1,0,0,1e200,1e200,0,1,1\n1,2,0,0,10,10,1,1,1\n",
       "1,5,0,0,1e200,1e200,0.9,1\n",
       {"--rules", "plain"},
       "",
       0,
       1,
       1},
      // Never in a frame with the other side's boxes, it is only counted.
      {"alone in its frame",
       "1,1,0,0,1e200,1e200,1,1,1\n2,1,0,0,10,10,1,1,1\n",
       "2,2,0,0,10,10,0.9,-1\n3,2,0,0,1e200,1e200,0.9,-1\n",
       {},
       "",
       1,
       1,
       1},
      // An area beyond the range whose IoU is a number (0) is no fault.
      {"facing a small box",
       "1,1,0,0,1e200,1e200,1,1,1\n",
       "1,2,0,0,10,10,0.9,-1\n",
       {},
       "",
       0,
       1,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string gt = dir.write("gt.txt", c.groundTruth);
    const std::string sys = dir.write("sys.txt", c.tracker);
    std::vector<std::string> arguments = {"track", gt, sys, "--format", "json"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const ToolResult result = runTalmira(arguments);
    if (c.refusal.empty()) {
      ASSERT_EQ(result.status, 0) << result.errors;
      const nlohmann::json report = nlohmann::json::parse(result.output);
      ASSERT_EQ(report["classes"].size(), 1u);
      const nlohmann::json& m = report["classes"][0]["measures"];
      // No figure is NaN (which JSON would show as null).
      for (const auto& [name, value] : m.items()) EXPECT_FALSE(value.is_null()) << name;
      EXPECT_EQ(m["CLR_TP"], c.tp);
      EXPECT_EQ(m["CLR_FN"], c.fn);
      EXPECT_EQ(m["CLR_FP"], c.fp);
      EXPECT_EQ(m["IDTP"], c.tp);
    } else {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.errors.find(gt + c.refusal + sys), 0u) << result.errors;
    }
  }
}

}  // namespace
}  // namespace talmira_test
