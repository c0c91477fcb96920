// End-to-end runs of the scoring rules' options: a benchmark's named rules
// on its own files against the same boxes in this format under the same
// values given one by one, the rules in the outputs, merge refusing parts
// made under other rules, and the options' errors.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

const std::string kHeader = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,c14,c15\n";

struct Box {
  int frame, left, top, width, height;
  std::string confidence;
};

std::string nativeLine(const Box& b) {
  const auto n = [](int v) { return std::to_string(v); };
  const int right = b.left + b.width, bottom = b.top + b.height;
  return n(b.frame) + "," + n(b.left) + "," + n(b.top) + "," + n(right) + "," + n(b.top) + "," +
         n(right) + "," + n(bottom) + "," + n(b.left) + "," + n(bottom) + ",Person,FALSE,FALSE," +
         b.confidence + ",,\n";
}

// A MOT ground-truth line (class 1, a pedestrian, considered) or detection line.
std::string motLine(const Box& b, bool detection, int id) {
  const auto n = [](int v) { return std::to_string(v); };
  return n(b.frame) + "," + (detection ? "-1" : n(id)) + "," + n(b.left) + "," + n(b.top) + "," +
         n(b.width) + "," + n(b.height) + "," + (detection ? b.confidence + ",-1,-1,-1" : "1,1,1") +
         "\n";
}

// Random pedestrians on a coarse grid, many smaller than this format's
// 30-pixel size test, and detections near them: overlaps spread over 0.2 to
// 1, so that the 0.5 IoU test and the 0.2 enclosing test disagree often.
struct RandomPair {
  std::vector<Box> truths, detections;
  explicit RandomPair(unsigned seed) {
    std::mt19937 random(seed);
    const auto pick = [&](int lo, int hi) {
      return std::uniform_int_distribution<int>(lo, hi)(random);
    };
    const std::string scores[] = {"0.25", "0.5", "0.75", "0.9", "1"};
    for (int frame = 1; frame <= 30; ++frame) {
      for (int k = pick(0, 6); k > 0; --k) {
        Box t{frame, pick(0, 40) * 8, pick(0, 30) * 8, pick(1, 8) * 6, pick(1, 10) * 6, "1"};
        truths.push_back(t);
        if (pick(0, 4) > 0) {
          detections.push_back({frame, t.left + pick(-3, 3) * 4, t.top + pick(-3, 3) * 4,
                                std::max(1, t.width + pick(-2, 2) * 4),
                                std::max(1, t.height + pick(-2, 2) * 4), scores[pick(0, 4)]});
        }
      }
      for (int k = pick(0, 2); k > 0; --k) {
        detections.push_back({frame, pick(0, 40) * 8, pick(0, 30) * 8, pick(1, 8) * 6,
                              pick(1, 10) * 6, scores[pick(0, 4)]});
      }
    }
  }
};

nlohmann::json jsonOf(const ToolResult& r) {
  EXPECT_EQ(r.status, 0) << r.errors;
  return nlohmann::json::parse(r.output);
}

// JSON outputs state the rules, the defaults too.
const nlohmann::json kDefaultRules = nlohmann::json::parse(
    R"({"overlap": "enclosing", "min_overlap": 0.2, "region_cover": 0.33, "min_side": 30})");

// MOT files matched by this format's matching under MOT's values count as
// the same boxes in this format do (--rules mot on MOT files is the
// benchmark's own count instead: benchmark_counts_test.cc); the named set
// on this format's files is those values.
TEST(RulesCommandTest, MotValuesOnMotFilesEqualTheNamedRulesOnTheSameBoxesInThisFormat) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    TempDir dir;
    const RandomPair pair(seed);
    std::string gtMot, detMot, gtNative = kHeader, detNative = kHeader;
    int id = 1;
    for (const Box& b : pair.truths) {
      gtMot += motLine(b, false, id++);
      gtNative += nativeLine(b);
    }
    for (const Box& b : pair.detections) {
      detMot += motLine(b, true, 0);
      detNative += nativeLine(b);
    }
    const std::string gt = dir.write("gt.txt", gtMot), det = dir.write("det.txt", detMot);
    const std::string gtCsv = dir.write("gt.csv", gtNative),
                      detCsv = dir.write("det.csv", detNative);

    // MOT's labels mapped onto this format's classes, as convert maps them.
    const std::string ontoTheTen =
        dir.write("map.csv", runTalmira({"convert", "--from", "mot", "--show-classes"}).output);
    for (const std::string c : {"0", "0.5"}) {
      const nlohmann::json named =
          jsonOf(runTalmira({"score", gt, det, "--gt-format", "mot", "--sys-format", "mot",
                             "--classes", ontoTheTen, "--overlap", "iou", "--min-overlap", "0.5",
                             "--min-side", "0", "-c", c, "--format", "json"}));
      const nlohmann::json values = jsonOf(runTalmira(
          {"score", gtCsv, detCsv, "--rules", "mot", "-c", c, "--format", "json", "-j", "2"}));
      EXPECT_EQ(named["classes"], values["classes"]);
      EXPECT_EQ(named["rules"], values["rules"]);
      EXPECT_EQ(named["rules"], nlohmann::json::parse(
                                    R"({"overlap": "iou", "min_overlap": 0.5,
                                        "region_cover": 0.33, "min_side": 0})"));
      // The rules act: this format's own rules count otherwise.
      const nlohmann::json own =
          jsonOf(runTalmira({"score", gtCsv, detCsv, "-c", c, "--format", "json"}));
      EXPECT_NE(own["classes"], values["classes"]);
      EXPECT_EQ(own["rules"], kDefaultRules);
    }

    // The sweep at a row, and the events, make the score's pairs under the rules.
    const nlohmann::json swept = jsonOf(runTalmira(
        {"sweep", gtCsv, detCsv, "--rules", "mot", "--exact", "--format", "json", "-j", "2"}));
    EXPECT_EQ(swept["rules"]["overlap"], "iou");
    const nlohmann::json scored =
        jsonOf(runTalmira({"score", gtCsv, detCsv, "--rules", "mot", "--format", "json"}));
    const ToolResult events = runTalmira({"events", gtCsv, detCsv, "--rules", "mot"});
    ASSERT_EQ(events.status, 0) << events.errors;
    int matches = 0;
    for (const std::string& line : splitLines(events.output)) {
      matches +=
          line.find(",gt,") != std::string::npos && line.find(",match,") != std::string::npos;
    }
    const nlohmann::json& all = scored["classes"][0];
    EXPECT_EQ(matches, all["gt"].get<int>() - all["fn"].get<int>());
    const ToolResult explained =
        runTalmira({"explain", gtCsv, detCsv, "--rules", "mot", "--format", "json"});
    EXPECT_EQ(jsonOf(explained)["rules"], scored["rules"]);
    // The explain page names the threshold and measure the pairs were made under.
    const std::string page = (dir.path() / "explain.html").string();
    ASSERT_EQ(runTalmira({"explain", gtCsv, detCsv, "--rules", "mot", "--report", page}).status, 0);
    const std::string html = readFile(page);
    EXPECT_NE(html.find("(a match: at least 0.5)"), std::string::npos);
    EXPECT_EQ(html.find("(a match: at least 0.2)"), std::string::npos);
    if (all["gt"].get<int>() > all["fn"].get<int>()) {
      EXPECT_NE(html.find("overlap (measure: iou)"), std::string::npos);
    }
  }
}

TEST(RulesCommandTest, MergeRefusesPartsMadeUnderOtherRules) {
  TempDir dir;
  const RandomPair pair(9);
  std::string gt = kHeader, det = kHeader;
  for (const Box& b : pair.truths) gt += nativeLine(b);
  for (const Box& b : pair.detections) det += nativeLine(b);
  dir.write("a_gt.csv", gt);
  dir.write("a_sys.csv", det);
  dir.write("b_gt.csv", gt);
  dir.write("b_sys.csv", det);
  const std::string list = dir.write(
      "list.csv", "sequence,groundtruth,system\na,a_gt.csv,a_sys.csv\nb,b_gt.csv,b_sys.csv\n");
  const std::string one = dir.file("one.json"), two = dir.file("two.json"),
                    twoMot = dir.file("two_mot.json");
  ASSERT_EQ(runTalmira({"batch", list, "--shard", "1/2", "-o", one, "--rules", "mot"}).status, 0);
  ASSERT_EQ(runTalmira({"batch", list, "--shard", "2/2", "-o", two}).status, 0);
  ASSERT_EQ(runTalmira({"batch", list, "--shard", "2/2", "-o", twoMot, "--overlap", "iou",
                        "--min-overlap", "0.5", "--min-side", "0"})
                .status,
            0);
  EXPECT_EQ(nlohmann::json::parse(readFile(one))["rules"]["min_overlap"], 0.5);
  EXPECT_EQ(nlohmann::json::parse(readFile(two))["rules"], kDefaultRules);

  const ToolResult refused = runTalmira({"merge", one, two});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find(two + " is a part of another run"), std::string::npos)
      << refused.errors;
  EXPECT_NE(refused.errors.find(one), std::string::npos);
  EXPECT_NE(refused.errors.find("overlap iou, min overlap 0.5"), std::string::npos);

  // The same rules, whether named or given value by value, merge into the single run.
  const ToolResult merged = runTalmira({"merge", one, twoMot, "--format", "json"});
  ASSERT_EQ(merged.status, 0) << merged.errors;
  const ToolResult single = runTalmira({"batch", list, "--rules", "mot", "--format", "json"});
  EXPECT_EQ(merged.output, single.output);
  EXPECT_EQ(nlohmann::json::parse(single.output)["rules"]["overlap"], "iou");
}

TEST(RulesCommandTest, BadValuesAreUsageErrors) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", kHeader), det = dir.write("det.csv", kHeader);
  const std::vector<std::vector<std::string>> bad = {
      {"--overlap", "union"},   {"--min-overlap", "0"},  {"--min-overlap", "1.5"},
      {"--min-overlap", "nan"}, {"--region-cover", "0"}, {"--region-cover", "-0.1"},
      {"--min-side", "-1"},     {"--min-side", "inf"},   {"--min-side", "ten"},
      {"--rules", "coco"}};
  for (const char* command : {"score", "check", "events", "explain", "sweep"}) {
    for (const auto& option : bad) {
      const ToolResult r = runTalmira({command, gt, det, option[0], option[1]});
      EXPECT_EQ(r.status, 2) << command << " " << option[0] << " " << option[1];
      EXPECT_NE(r.errors.find(option[0]), std::string::npos) << r.errors;
    }
  }
  // Explicit values override a named set's.
  const nlohmann::json overridden = jsonOf(
      runTalmira({"score", gt, det, "--rules", "kitti", "--min-side", "40", "--format", "json"}));
  EXPECT_EQ(overridden["rules"], nlohmann::json::parse(R"({"overlap": "iou", "min_overlap": 0.5,
                                                           "region_cover": 0.5, "min_side": 40})"));
  // The defaults given explicitly state nothing: the output is the default one.
  EXPECT_EQ(runTalmira({"score", gt, det, "--overlap", "enclosing", "--min-overlap", "0.2",
                        "--region-cover", "0.33", "--min-side", "30", "--format", "json"})
                .output,
            runTalmira({"score", gt, det, "--format", "json"}).output);
}

}  // namespace
}  // namespace talmira_test
