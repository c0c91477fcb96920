// The MOT family's files (mot, mot15, visdrone, uavdt) end to end through
// the real executable: a detection's score of -1, which gives none; the
// MOT15 layout, and mot given a MOT15 file; boxes of negative width or
// height; and the corpus's MOT15 sequence against its evaluators' figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;

Json jsonOf(const ToolResult& run) {
  EXPECT_EQ(run.status, 0) << run.errors;
  return Json::parse(run.output);
}

// The counts of a class row, as {gt, det, fn, fp}.
std::vector<int> countsOf(const Json& row) {
  return {row["gt"].get<int>(), row["det"].get<int>(), row["fn"].get<int>(), row["fp"].get<int>()};
}

struct MotBox {
  int frame;
  int left, top, width, height;
  std::string score;  // detections only: as written
};

// Four people in two frames, and five detections of them: three with a
// score of -1 written three ways (one of them on no one), one scored 0.4 and
// one scored -1.0001, a real score below every threshold.
const std::vector<MotBox> kPeople = {
    {1, 10, 10, 100, 100, ""},
    {1, 300, 10, 100, 100, ""},
    {2, 12, 10, 100, 100, ""},
    {2, 300, 300, 100, 100, ""},
};
const std::vector<MotBox> kDetections = {
    {1, 10, 10, 100, 100, "-1"},        {1, 300, 10, 100, 100, "0.4"},
    {2, 600, 600, 50, 50, "-1.0"},      {2, 12, 10, 100, 100, "-10e-1"},
    {2, 300, 300, 100, 100, "-1.0001"},
};

// The pair as a file of `format`: the same boxes, each format's layout.
std::string motFamilyText(const std::string& format, const std::vector<MotBox>& boxes, bool truth) {
  std::string text;
  int id = 0;
  for (const MotBox& b : boxes) {
    const std::string lead = std::to_string(b.frame) + "," +
                             (truth ? std::to_string(++id) : std::string("-1")) + "," +
                             std::to_string(b.left) + "," + std::to_string(b.top) + "," +
                             std::to_string(b.width) + "," + std::to_string(b.height) + ",";
    if (format == "mot") {
      text += lead + (truth ? "1,1,1" : b.score + ",-1,-1,-1");
    } else if (format == "visdrone") {
      text += lead + (truth ? "1" : b.score) + ",1,0,0";
    } else {  // uavdt: out of view, occlusion, category; detections frame,-1,...,score,...
      text += lead + (truth ? "1,1,1" : b.score + ",-1,-1");
    }
    text += "\n";
  }
  return text;
}

// What the pair counts at threshold `c`: the boxes without a score at every
// threshold, the one scored 0.4 up to 0.4, the one scored -1.0001 never.
std::vector<int> expectedAt(float c) {
  const int scored = c <= 0.4f ? 1 : 0;
  return {4, 3 + scored, 2 - scored, 1};
}

TEST(MotFamilyScoresTest, AScoreOfMinusOneIsNoneAndEveryThresholdTakesIt) {
  TempDir dir;
  for (const std::string format : {"mot", "visdrone", "uavdt"}) {
    SCOPED_TRACE(format);
    const std::string gt = dir.write(format + "-gt.txt", motFamilyText(format, kPeople, true));
    const std::string det =
        dir.write(format + "-det.txt", motFamilyText(format, kDetections, false));
    const std::vector<std::string> reading = {"--gt-format", format, "--sys-format", format};
    const auto run = [&](std::vector<std::string> arguments) {
      arguments.insert(arguments.begin() + 3, reading.begin(), reading.end());
      return runTalmira(arguments);
    };
    for (const char* c : {"0", "0.25", "0.4", "0.41", "0.9", "1"}) {
      SCOPED_TRACE(c);
      const std::vector<int> expected = expectedAt(std::strtof(c, nullptr));
      const Json score = jsonOf(run({"score", gt, det, "-c", c, "--format", "json"}));
      EXPECT_EQ(countsOf(score["classes"][0]), expected);
      const Json explained = jsonOf(run({"explain", gt, det, "-c", c, "--format", "json"}));
      EXPECT_EQ(countsOf(explained["classes"][0]), expected);
      const Json compared = jsonOf(run({"compare", gt, det, det, "-c", c, "--format", "json"}));
      const Json& all = compared["classes"][0];
      EXPECT_EQ(all["fn_a"], expected[2]);
      EXPECT_EQ(all["fp_b"], expected[3]);

      // The events: the boxes without a score show none, and are there at
      // every threshold.
      const ToolResult events = run({"events", gt, det, "-c", c});
      ASSERT_EQ(events.status, 0) << events.errors;
      std::vector<std::string> systemRows;
      for (const std::string& row : splitLines(events.output)) {
        if (row.find(",sys,") == std::string::npos) continue;
        // line and confidence of each system row
        std::vector<std::string> fields;
        std::string field;
        for (const char ch : row + ",") {
          if (ch == ',') {
            fields.push_back(field);
            field.clear();
          } else {
            field += ch;
          }
        }
        systemRows.push_back(fields[3] + ":" + fields[5]);
      }
      std::vector<std::string> expectedRows = {"1:", "3:", "4:"};
      if (expected[1] == 4) expectedRows.insert(expectedRows.begin() + 1, "2:0.4");
      std::sort(systemRows.begin(), systemRows.end());
      EXPECT_EQ(systemRows, expectedRows) << events.output;
    }
    // Every row of the exact sweep takes them.
    const Json swept = jsonOf(run({"sweep", gt, det, "--exact", "--format", "json"}));
    const Json& curve = swept["classes"][0]["curve"];
    ASSERT_GE(curve.size(), 3u);
    for (const Json& point : curve) {
      EXPECT_EQ(countsOf(point), expectedAt(point["threshold"].get<float>())) << point;
    }
  }
}

TEST(MotFamilyScoresTest, ViewCheckAndConvertShowNoNumberForABoxWithoutAScore) {
  TempDir dir;
  const std::string gt = dir.write("gt.txt", motFamilyText("mot", kPeople, true));
  const std::string det = dir.write("det.txt", motFamilyText("mot", kDetections, false));
  const std::vector<std::string> reading = {"--gt-format", "mot", "--sys-format", "mot"};

  std::vector<std::string> view = {"view", gt, det, "--frames", "all", "-o", dir.file("v.html")};
  view.insert(view.end(), reading.begin(), reading.end());
  const ToolResult viewed = runTalmira(view);
  ASSERT_EQ(viewed.status, 0) << viewed.errors;
  // Each system box's line and confidence as the page's readout shows them
  // (a frame may be drawn more than once).
  const std::string page = readFile(dir.file("v.html"));
  std::set<std::string> shown;
  const std::string side = "data-side=\"sys\" data-line=\"";
  for (std::size_t at = page.find(side); at != std::string::npos; at = page.find(side, at + 1)) {
    const std::size_t line = at + side.size();
    const std::size_t value = page.find("data-confidence=\"", line) + 17;
    shown.insert(page.substr(line, page.find('"', line) - line) + ":" +
                 page.substr(value, page.find('"', value) - value));
  }
  EXPECT_EQ(shown, (std::set<std::string>{"1:none", "2:0.4", "3:none", "4:none", "5:-1.0001"}));

  std::vector<std::string> check = {"check", gt, det, "--format", "json"};
  check.insert(check.end(), reading.begin(), reading.end());
  const Json checked = jsonOf(runTalmira(check));
  EXPECT_EQ(checked["system"].value("boxes_without_score", -1), 3);
  EXPECT_FLOAT_EQ(checked["system"]["confidence_min"].get<float>(), -1.0001f);
  EXPECT_FLOAT_EQ(checked["system"]["confidence_max"].get<float>(), 0.4f);
  EXPECT_EQ(checked["system"]["confidences_outside_0_to_1"], 1);
  EXPECT_FALSE(checked["groundtruth"].contains("boxes_without_score"));
  bool warned = false;
  for (const Json& warning : checked["warnings"]) {
    warned = warned || warning.get<std::string>().starts_with(
                           "System output: 3 boxes have no "
                           "score (-1)");
  }
  EXPECT_TRUE(warned) << checked["warnings"];

  // convert writes the one value of this format that every threshold takes,
  // and says so; the conversion scores as the input does.
  const ToolResult converted = runTalmira({"convert", det, "--from", "mot", "--system"});
  ASSERT_EQ(converted.status, 0) << converted.errors;
  EXPECT_NE(converted.errors.find("3 boxes have no score (-1): written with the confidence inf"),
            std::string::npos)
      << converted.errors;
  const std::vector<std::string> rows = splitLines(converted.output);
  ASSERT_EQ(rows.size(), 6u);
  std::vector<std::string> confidences;
  for (std::size_t k = 1; k < rows.size(); ++k) {
    std::size_t at = 0;
    for (int comma = 0; comma < 12; ++comma) at = rows[k].find(',', at) + 1;
    confidences.push_back(rows[k].substr(at, rows[k].find(',', at) - at));
  }
  std::sort(confidences.begin(), confidences.end());
  EXPECT_EQ(confidences, (std::vector<std::string>{"-1.0001", "0.4", "inf", "inf", "inf"}));
  const ToolResult truthConverted = runTalmira({"convert", gt, "--from", "mot"});
  EXPECT_EQ(truthConverted.errors, "");
  const std::string gtCsv = dir.write("gt.csv", truthConverted.output);
  const std::string detCsv = dir.write("det.csv", converted.output);
  for (const char* c : {"0", "0.5", "1"}) {
    const Json direct = jsonOf(runTalmira({"score", gt, det, "--gt-format", "mot", "--sys-format",
                                           "mot", "-c", c, "--format", "json"}));
    const Json throughConversion =
        jsonOf(runTalmira({"score", gtCsv, detCsv, "-c", c, "--format", "json"}));
    EXPECT_EQ(countsOf(throughConversion["classes"][0]), countsOf(direct["classes"][0])) << c;
  }
}

TEST(MotFamilyScoresTest, AnInfiniteScoreIsRefusedAsItWouldReadAsNone) {
  TempDir dir;
  const std::string gt = dir.write("gt.txt", "1,1,10,10,100,100,1,1,1\n");
  for (const char* score : {"inf", "1e39", "+Infinity"}) {
    SCOPED_TRACE(score);
    const std::string det = dir.write("det.txt", "1,-1,10,10,100,100,0.5,-1\n1,-1,10,10,100,100," +
                                                     std::string(score) + ",-1,-1,-1\n");
    const ToolResult r =
        runTalmira({"score", gt, det, "--gt-format", "mot", "--sys-format", "mot"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errors, det + ":2: column 7: \"" + score +
                            "\" is not a score: a finite number, or -1 for none\n");
  }
}

// A MOT15 ground truth as TUD-Stadtmitte writes it: the world's x, y, z
// after the box, -1 where unknown, a person not considered (conf 0), and a
// whole x after the line that tells it from mot's layout; and detections
// with scores, and none.
const std::string kMot15Truth =
    "1,1,10,10,100,100,1,-1,-1,-1\n"
    "1,2,300,10,100,100,1,-1,-1,-1\n"
    "2,1,12,10,100,100,1,4.4852,3.1,0\n"
    "2,2,300,300,100,100,0,1.25,-3,0\n"
    "3,1,14,10,100,100,1,12,7,0\n";
const std::string kMot15Detections =
    "1,-1,10,10,100,100,-1,-1,-1,-1\n"
    "1,-1,300,10,100,100,0.4,-1,-1,-1\n"
    "2,-1,12,10,100,100,0.9,-1,-1,-1\n"
    "2,-1,300,300,100,100,0.8,-1,-1,-1\n"
    "3,-1,500,500,60,60,0.7,-1,-1,-1\n";

TEST(Mot15Test, EveryBoxIsAPedestrianAndMotTakesSuchAFileWithAWarning) {
  TempDir dir;
  const std::string gt = dir.write("gt.txt", kMot15Truth);
  const std::string det = dir.write("det.txt", kMot15Detections);
  // Four people to count (the one not considered is flagged: the detection
  // on it set aside), three of them found, one false alarm in frame 3; the
  // 0.4 detection only up to 0.4.
  const auto expected = [](const std::string& c) {
    return c == "0" ? std::vector<int>{4, 4, 1, 1} : std::vector<int>{4, 3, 2, 1};
  };
  for (const std::string c : {"0", "0.5"}) {
    const ToolResult mot15 = runTalmira({"score", gt, det, "--gt-format", "mot15", "--sys-format",
                                         "mot15", "-c", c, "--format", "json"});
    EXPECT_EQ(mot15.errors, "");
    const Json rows = jsonOf(mot15)["classes"];
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1]["class"], "pedestrian");
    EXPECT_EQ(countsOf(rows[0]), expected(c));
    EXPECT_EQ(countsOf(rows[1]), expected(c));
    // Read as mot: the same boxes, a warning naming the line that told, and
    // mot's class rows.
    const ToolResult mot = runTalmira({"score", gt, det, "--gt-format", "mot", "--sys-format",
                                       "mot", "-c", c, "--format", "json"});
    EXPECT_EQ(mot.errors, "warning: " + gt +
                              ":3: column 8: \"4.4852\" is not a class number: read as a MOT15 "
                              "file (frame,id,left,top,width,height,conf,x,y,z, column 8 a "
                              "world coordinate), every box a pedestrian, as the format mot15 "
                              "reads it\n");
    EXPECT_EQ(countsOf(jsonOf(mot)["classes"][0]), expected(c));
  }
  // Every command takes the name; check reports the warning in its report.
  const ToolResult checked = runTalmira(
      {"check", gt, det, "--gt-format", "mot", "--sys-format", "mot15", "--format", "json"});
  EXPECT_EQ(checked.errors, "");
  const Json report = jsonOf(checked);
  EXPECT_EQ(report["groundtruth"]["flagged_boxes"], 1);
  ASSERT_FALSE(report["warnings"].empty());
  EXPECT_TRUE(report["warnings"][0].get<std::string>().starts_with("Ground truth: " + gt +
                                                                   ":3: column 8: \"4.4852\""))
      << report["warnings"];
  const ToolResult converted = runTalmira({"convert", gt, "--from", "mot15"});
  ASSERT_EQ(converted.status, 0) << converted.errors;
  EXPECT_EQ(converted.output,
            "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,text,number\n"
            "1,10,10,110,10,110,110,10,110,Person,FALSE,FALSE,1,,0\n"
            "1,300,10,400,10,400,110,300,110,Person,FALSE,FALSE,1,,0\n"
            "2,12,10,112,10,112,110,12,110,Person,FALSE,FALSE,1,,0\n"
            "2,300,300,400,300,400,400,300,400,Person,FALSE,TRUE,1,,0\n"
            "3,14,10,114,10,114,110,14,110,Person,FALSE,FALSE,1,,0\n");
  const ToolResult shown = runTalmira({"convert", "--from", "mot15", "--show-classes"});
  EXPECT_EQ(shown.output, "label,type,flag,note\n1,Person,,pedestrian\n");
  for (const char* command : {"events", "explain", "sweep"}) {
    const ToolResult r =
        runTalmira({command, gt, det, "--gt-format", "mot15", "--sys-format", "mot15"});
    EXPECT_EQ(r.status, 0) << command << ": " << r.errors;
  }
}

TEST(Mot15Test, MotSaysWhatItCannotTellOfAFileWhoseColumn8IsNoClass) {
  TempDir dir;
  const std::string det = dir.write("det.txt", kMot15Detections);
  const auto score = [&](const std::string& truth) {
    const std::string gt = dir.write("gt.txt", truth);
    return runTalmira({"score", gt, det, "--gt-format", "mot", "--sys-format", "mot"});
  };
  const std::string gt = dir.file("gt.txt");
  // A class before: MOT15 would read line 1's 3 as a coordinate, mot line 2
  // as nothing.
  ToolResult r = score("1,1,10,10,100,100,1,3,-1,-1\n1,2,300,10,100,100,1,4.4852,3.1,0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, gt + ":2: column 8: \"4.4852\" is not a class number, yet line 1 gave the "
                           "class 3: if the file is MOT15 "
                           "(frame,id,left,top,width,height,conf,x,y,z), read it as mot15\n");
  // Not MOT15's ten columns.
  r = score("1,1,10,10,100,100,1,1,-1\n1,2,300,10,100,100,1,4.4852,3.1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, gt + ":2: column 8: \"4.4852\" is not a class number (nor is this MOT15's "
                           "layout, frame,id,left,top,width,height,conf,x,y,z, whose column 8 is "
                           "a world coordinate: it has 9 columns)\n");
  // No number at all: no coordinate either.
  r = score("1,1,10,10,100,100,1,-1,-1,-1\n1,2,300,10,100,100,1,x1,3.1,0\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, gt + ":2: column 8: \"x1\" is not a class number\n");
  // Classes of 1 and -1 read as MOT15 reads them: taken, with the warning.
  r = score(
      "1,1,10,10,100,100,1,1,-1,-1\n1,2,300,10,100,100,1,-1,0,0\n"
      "2,1,12,10,100,100,1,0.5,3.1,0\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.errors.starts_with("warning: " + gt + ":3: column 8: \"0.5\"")) << r.errors;
}

// A negative width or height is a box of no area at its left or top, as the
// benchmarks' evaluators read it: it counts, and matches nothing. Person 2
// would span x -90 to 10 if read the other way, where a detection lies;
// person 3 has a negative height; the third detection is person 2's box as
// written, no area either.
TEST(MotFamilyNegativeSizeTest, ABoxOfNegativeWidthOrHeightCountsAndMatchesNothing) {
  TempDir dir;
  const std::string gt = dir.write("gt.txt",
                                   "1,1,10,10,100,100,1,1,1\n"
                                   "1,2,10,10,-100,100,1,1,1\n"
                                   "1,3,500,500,50,-60,1,1,1\n");
  const std::string det = dir.write("det.txt",
                                    "1,-1,-90,10,100,100,0.9,-1,-1,-1\n"
                                    "1,-1,10,10,100,100,0.9,-1,-1,-1\n"
                                    "1,-1,10,10,-100.5,100,0.9,-1,-1,-1\n");
  const std::vector<std::string> reading = {"--gt-format", "mot", "--sys-format", "mot"};
  const auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin() + 3, reading.begin(), reading.end());
    return runTalmira(arguments);
  };
  for (const char* rules : {"mot", "kitti"}) {
    SCOPED_TRACE(rules);
    const Json score = jsonOf(run({"score", gt, det, "--rules", rules, "--format", "json"}));
    EXPECT_EQ(countsOf(score["classes"][0]), (std::vector<int>{3, 3, 2, 2}));
  }
  const ToolResult events = run({"events", gt, det, "--rules", "mot"});
  ASSERT_EQ(events.status, 0) << events.errors;
  std::vector<std::string> kinds;
  for (const std::string& row : splitLines(events.output)) {
    const std::size_t side =
        row.find(",gt,") != std::string::npos ? row.find(",gt,") : row.find(",sys,");
    if (side == std::string::npos) continue;  // the header
    const std::size_t line = row.find(',', side + 1) + 1;
    std::string event = row.substr(row.find(',', row.find(',', row.find(',', line) + 1) + 1) + 1);
    kinds.push_back(row.substr(side + 1, row.find(',', side + 1) - side - 1) + " " +
                    row.substr(line, row.find(',', line) - line) + " " +
                    event.substr(0, event.find(',')));
  }
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds,
            (std::vector<std::string>{"gt 1 match", "gt 2 miss", "gt 3 miss", "sys 1 false_alarm",
                                      "sys 2 match", "sys 3 false_alarm"}))
      << events.output;

  // check warns of each line, naming it; the JSON lists them.
  const ToolResult checked = run({"check", gt, det});
  EXPECT_EQ(checked.status, 0) << checked.errors;
  const std::string warning =
      ": a negative width or height: read as a box of no area (not one spanning the other way), "
      "which matches nothing.\n";
  for (const std::string& expected :
       {"  - Ground truth: " + gt + ":2" + warning, "  - Ground truth: " + gt + ":3" + warning,
        "  - System output: " + det + ":3" + warning}) {
    EXPECT_NE(checked.output.find(expected), std::string::npos) << expected << checked.output;
  }
  EXPECT_NE(checked.output.find("  negative widths or heights            2\n"), std::string::npos)
      << checked.output;
  const Json report = jsonOf(run({"check", gt, det, "--format", "json"}));
  EXPECT_EQ(report["groundtruth"].value("negative_extent_lines", Json()), Json::parse("[2, 3]"));
  EXPECT_EQ(report["system"].value("negative_extent_lines", Json()), Json::parse("[3]"));

  // convert writes the box of no area; scored, the conversion counts as the input.
  const ToolResult converted = runTalmira({"convert", gt, "--from", "mot"});
  ASSERT_EQ(converted.status, 0) << converted.errors;
  EXPECT_NE(converted.output.find("\n1,10,10,10,10,10,110,10,110,Person,"), std::string::npos)
      << converted.output;
  EXPECT_NE(converted.output.find("\n1,500,500,550,500,550,500,500,500,Person,"), std::string::npos)
      << converted.output;
}

// Neither the size test nor a don't-care region makes such a box something
// else: the size test sees its collapsed side as 0 long (a box of no area
// with a long side is kept, as any box with one), and a region does not
// cover it, having no area of it to cover, so it is not dropped as a box
// spanning the other way would be.
TEST(MotFamilyNegativeSizeTest, NeitherTheSizeTestNorARegionMakesItAnotherBox) {
  TempDir dir;
  // VisDrone: category 0 is an ignored region, a don't-care region.
  const std::string gt = dir.write("gt.txt",
                                   "1,1,10,10,100,100,1,1,0,0\n"
                                   "1,0,500,500,400,400,0,0,0,0\n"
                                   "1,2,1000,10,-50,40,1,1,0,0\n"
                                   "1,3,1200,10,-50,10,1,1,0,0\n");
  const std::string det = dir.write("det.txt",
                                    "1,-1,10,10,100,100,0.9,1,-1,-1\n"
                                    "1,-1,600,600,-50,50,0.9,1,-1,-1\n"
                                    "1,-1,650,650,50,50,0.9,1,-1,-1\n");
  const auto score = [&](std::vector<std::string> rules) {
    std::vector<std::string> arguments = {"score",       gt,         det,
                                          "--gt-format", "visdrone", "--sys-format",
                                          "visdrone",    "--format", "json"};
    arguments.insert(arguments.end(), rules.begin(), rules.end());
    return countsOf(jsonOf(runTalmira(arguments))["classes"][0]);
  };
  // Min side 0: persons 2 and 3 are missed; the detection of negative width
  // in the region is a false alarm, the one of 50 x 50 there is dropped.
  EXPECT_EQ(score({"--rules", "visdrone"}), (std::vector<int>{3, 2, 2, 1}));
  // Min side 30: person 2 (40 high) is kept, person 3 (10 high, 0 wide)
  // dropped as any box of no side of 30 is.
  EXPECT_EQ(score({"--rules", "visdrone", "--min-side", "30"}), (std::vector<int>{2, 2, 1, 1}));
}

// The corpus's folder, as CMake or the environment gives it.
std::string corpusFolder() {
  const char* given = std::getenv("TALMIRA_CONFORMANCE_DIR");
  return given != nullptr ? given : TALMIRA_FORMATS_DATA "/../../../../shared/conformance";
}

// TUD-Campus, MOT15: a real tracker's output whose every score is -1. At the
// benchmark's rules its detections and misses are those of TrackEval's CLEAR
// (TP + FN objects, TP + FP detections) and py-motmetrics, at every
// threshold and every row of the sweep.
TEST(MotFamilyConformanceTest, Mot15TudCampusCountsAreTheEvaluatorsAtEveryThreshold) {
  const std::string corpus = corpusFolder();
  const std::string folder = corpus + "/mot15/TUD-Campus";
  if (readFile(folder + "/gt.txt").empty()) {
    if (std::getenv("CI") != nullptr) FAIL() << "the conformance corpus is missing: " << corpus;
    GTEST_SKIP() << "no conformance corpus at " << corpus;
  }
  const Json tracking = Json::parse(readFile(corpus + "/expected/tracking.json"));
  const Json& clear = tracking["mot15"]["sequences"]["TUD-Campus"];
  const int tp = clear["CLR_TP"].get<int>(), fn = clear["CLR_FN"].get<int>(),
            fp = clear["CLR_FP"].get<int>();
  const std::vector<int> expected = {tp + fn, tp + fp, fn, fp};
  const Json motmetrics = Json::parse(readFile(corpus + "/expected/motmetrics.json"));
  const Json& mm = motmetrics["sequences"]["TUD-Campus"];
  EXPECT_EQ(expected,
            (std::vector<int>{mm["num_objects"].get<int>(), mm["num_predictions"].get<int>(),
                              mm["num_misses"].get<int>(), mm["num_false_positives"].get<int>()}));
  const std::string gt = folder + "/gt.txt", test = folder + "/test.txt";
  for (const std::string format : {"mot15", "mot"}) {
    SCOPED_TRACE(format);
    for (const char* c : {"0", "0.5", "1"}) {
      const ToolResult scored =
          runTalmira({"score", gt, test, "--gt-format", format, "--sys-format", format, "--rules",
                      "mot", "-c", c, "--format", "json"});
      EXPECT_EQ(scored.errors, "");  // column 8 is -1 throughout: the same either way
      EXPECT_EQ(countsOf(jsonOf(scored)["classes"][0]), expected) << c;
    }
    const Json swept = jsonOf(runTalmira({"sweep", gt, test, "--gt-format", format, "--sys-format",
                                          format, "--rules", "mot", "--format", "json"}));
    for (const Json& point : swept["classes"][0]["curve"]) {
      EXPECT_EQ(countsOf(point), expected) << point;
    }
  }
}

}  // namespace
}  // namespace talmira_test
