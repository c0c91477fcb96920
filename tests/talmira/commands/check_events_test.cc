// talmira check and talmira events, run as the real executable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "scoring/counts/class_scores.h"
#include "tests/test_support.h"

using talmira_test::readAnnotationText;
using talmira_test::runTalmira;
using talmira_test::TempDir;

namespace {

const std::string kHeader = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Id\n";

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// The file's lines, numbered from 1, line ends (LF or CR LF) removed.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines = split(text, '\n');
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out = split(line, ',');
  if (!line.empty() && line.back() == ',') out.push_back("");
  return out;
}

// The record on 1-based line `number`, as its 15 fields; empty when no record is there.
std::vector<std::string> recordAt(const std::vector<std::string>& lines,
                                  const std::string& number) {
  const std::size_t at = std::stoul(number);
  if (at < 2 || at > lines.size()) return {};
  std::vector<std::string> record = fields(lines[at - 1]);
  return record.size() == 15 ? record : std::vector<std::string>{};
}

struct EventTally {
  std::map<std::string, int64_t> truth, system;
};

TEST(TalmiraEventsTest, RowsAddUpToTheScoresAndPointAtTheirLines) {
  TempDir dir;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const talmira_test::FilePair files = talmira_test::randomFilePair(seed * 7919);
    const std::string gtPath = dir.write("gt.csv", files.groundTruth);
    const std::string sysPath = dir.write("sys.csv", files.system);
    const std::vector<std::string> gtLines = linesOf(files.groundTruth);
    const std::vector<std::string> sysLines = linesOf(files.system);
    QuorSequence truth, system;
    ASSERT_EQ(readAnnotationText(files.groundTruth, truth), 0);
    ASSERT_EQ(readAnnotationText(files.system, system), 0);
    for (const char* confidence : {"0", "0.5"}) {
      const auto scores = scoreClasses(truth, system, std::strtof(confidence, nullptr));
      for (const std::size_t slot : {std::size_t{0}, std::size_t{1}, std::size_t{9}}) {
        const std::string className = evaluationClasses[slot];
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed * 7919 << " -c " << confidence << " --class " << className);
        const auto run =
            runTalmira({"events", gtPath, sysPath, "-c", confidence, "--class", className});
        ASSERT_EQ(run.status, 0) << run.errors;
        EXPECT_EQ(run.errors, "");
        const std::vector<std::string> rows = split(run.output, '\n');
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0],
                  "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,"
                  "overlap");
        EventTally tally;
        for (std::size_t k = 1; k < rows.size(); ++k) {
          SCOPED_TRACE(rows[k]);
          const std::vector<std::string> row = fields(rows[k]);
          ASSERT_EQ(row.size(), 10u);
          const bool systemSide = row[2] == "sys";
          ASSERT_TRUE(systemSide || row[2] == "gt");
          (systemSide ? tally.system : tally.truth)[row[6]] += 1;
          // The box is the record on its line: same frame, class and confidence.
          const std::vector<std::string> record = recordAt(systemSide ? sysLines : gtLines, row[3]);
          ASSERT_EQ(record.size(), 15u);
          EXPECT_EQ(record[0], row[1]);
          EXPECT_EQ(record[9], row[4]);
          if (className != "All") {
            EXPECT_EQ(row[4], className);
          }
          EXPECT_EQ(std::strtof(record[12].c_str(), nullptr), std::strtof(row[5].c_str(), nullptr));
          EXPECT_GE(std::strtof(row[5].c_str(), nullptr), std::strtof(confidence, nullptr));
          // The judged frame's first line holds a record of the same frame.
          if (row[6] == "unpaired_frame") {
            EXPECT_EQ(row[0], "");
          } else {
            const std::vector<std::string> first = recordAt(gtLines, row[0]);
            ASSERT_EQ(first.size(), 15u);
            EXPECT_EQ(first[0], row[1]);
          }
          // Partners are records of the same frame number: a box of the other
          // side for a match, a ground-truth box or region otherwise.
          const bool partnered =
              row[6] == "match" || row[6] == "set_aside" || row[6] == "in_region";
          EXPECT_EQ(!row[7].empty(), partnered);
          if (partnered) {
            const std::vector<std::string> partner =
                recordAt(systemSide ? gtLines : sysLines, row[7]);
            ASSERT_EQ(partner.size(), 15u);
            EXPECT_EQ(partner[0], row[1]);
            EXPECT_EQ(partner[9] == "DCR", row[6] == "in_region");
          }
          // A cause on every miss and false alarm, and only there; an overlap
          // on the rows with a partner, and only there.
          EXPECT_EQ(!row[8].empty(), row[6] == "miss" || row[6] == "false_alarm");
          EXPECT_EQ(!row[9].empty(), partnered);
          if (row[6] == "match" || row[6] == "set_aside") {
            EXPECT_GE(std::strtof(row[9].c_str(), nullptr), 0.2f);
          }
        }
        const ClassCounts& c = scores[slot];
        EXPECT_EQ(tally.truth["match"], c.gt - c.fn);
        EXPECT_EQ(tally.system["match"], c.det - c.fp);
        EXPECT_EQ(tally.truth["miss"], c.fn);
        EXPECT_EQ(tally.system["false_alarm"], c.fp);
      }
    }
  }
}

TEST(TalmiraEventsTest, ExampleRowsByHand) {
  TempDir dir;
  // Line 2: a car matched by line 2 of the system; line 3: a flagged truck;
  // line 4: a region; line 5: a person nobody found.
  const std::string gt =
      dir.write("gt.csv", kHeader + "4,0,0,100,0,100,100,0,100,Car,FALSE,FALSE,1,,0\n" +
                              "4,500,0,600,0,600,100,500,100,Truck,TRUE,FALSE,1,,0\n" +
                              "4,1000,1000,1300,1000,1300,1300,1000,1300,DCR,FALSE,FALSE,1,,0\n" +
                              "4,0,500,100,500,100,600,0,600,Person,FALSE,FALSE,1,,0\n");
  const std::string sys = dir.write(
      "sys.csv", kHeader + "4,5,5,105,5,105,105,5,105,Car,FALSE,FALSE,0.1,,0\n" +
                     "4,505,0,605,0,605,100,505,100,Truck,FALSE,FALSE,0.7,,0\n" +
                     "4,1100,1100,1200,1100,1200,1200,1100,1200,Car,FALSE,FALSE,0.5,,0\n" +
                     "4,2000,0,2100,0,2100,100,2000,100,Bus,FALSE,FALSE,0.3,,0\n" +
                     "6,0,0,100,0,100,100,0,100,Car,FALSE,FALSE,0.9,,0\n");
  const auto run = runTalmira({"events", gt, sys});
  ASSERT_EQ(run.status, 0) << run.errors;
  // Overlaps: the cars 95 * 95 / (105 * 105) = 0.8185941 in single
  // precision; the trucks 95 * 100 / (105 * 100) = 0.9047619; the region
  // covers all of the car on line 4. The person has no box near it (missed),
  // the bus no object near it (background).
  EXPECT_EQ(run.output,
            "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap\n"
            "2,4,gt,2,Car,1,match,2,,0.8185941\n"
            "2,4,gt,3,Truck,1,excluded,,,\n"
            "2,4,gt,5,Person,1,miss,,missed,\n"
            "2,4,sys,2,Car,0.1,match,2,,0.8185941\n"
            "2,4,sys,3,Truck,0.7,set_aside,3,,0.9047619\n"
            "2,4,sys,4,Car,0.5,in_region,4,,1\n"
            "2,4,sys,5,Bus,0.3,false_alarm,,background,\n"
            ",6,sys,6,Car,0.9,unpaired_frame,,,\n");
  const auto trucks = runTalmira({"events", gt, sys, "--class", "Truck", "-c", "0.7"});
  EXPECT_EQ(trucks.output,
            "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap\n"
            "2,4,gt,3,Truck,1,excluded,,,\n"
            "2,4,sys,3,Truck,0.7,set_aside,3,,0.9047619\n");
  // At 0.2 the car on line 2 falls below the threshold: its object is
  // missed for that reason, and the region's car is the only other car.
  const auto cars = runTalmira({"events", gt, sys, "--class", "Car", "-c", "0.2"});
  EXPECT_EQ(cars.output,
            "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap\n"
            "2,4,gt,2,Car,1,miss,,below_threshold,\n"
            "2,4,sys,4,Car,0.5,in_region,4,,1\n"
            ",6,sys,6,Car,0.9,unpaired_frame,,,\n");
}

TEST(TalmiraEventsTest, UsageAndInputErrors) {
  TempDir dir;
  const std::string gt =
      dir.write("gt.csv", kHeader + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0\n");
  const std::string bad =
      dir.write("bad.csv", kHeader + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,x,,0\n");
  const std::string out = dir.write("out.csv", "kept\n");
  EXPECT_EQ(runTalmira({"events", gt, gt, "--class", "car"}).status, 2);
  EXPECT_EQ(runTalmira({"events", gt, gt, "-c", "abc"}).status, 2);
  EXPECT_EQ(runTalmira({"events", gt}).status, 2);
  EXPECT_EQ(runTalmira({"events", gt, gt, "-o", gt}).status, 2);
  const auto failed = runTalmira({"events", gt, bad, "-o", out});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.errors, bad + ":2: column 13: \"x\" is not a number\n");
  EXPECT_EQ(talmira_test::readFile(out), "kept\n");
  EXPECT_EQ(runTalmira({"events", gt, gt, "-o", out}).status, 0);
  EXPECT_EQ(talmira_test::readFile(out),
            "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap\n"
            "2,1,gt,2,Car,1,match,2,,1\n2,1,sys,2,Car,1,match,2,,1\n");
  EXPECT_EQ(runTalmira({"events", gt, gt, "--near", "1.5"}).status, 2);
  EXPECT_EQ(runTalmira({"events", gt, gt, "--near", "nan"}).status, 2);
  const auto help = runTalmira({"events", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Examples:\n  talmira events "), std::string::npos);
}

TEST(TalmiraCheckTest, WarningsDoNotFailAndJsonCarriesTheReport) {
  TempDir dir;
  // Ground truth annotated every fifth frame from 1, the system from 0; a
  // type no class knows; a repeated frame number in the system output.
  std::string truth = kHeader, system = kHeader;
  for (int f = 1; f <= 21; f += 5) {
    truth += std::to_string(f) + ",0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0\n";
    system += std::to_string(f - 1) + ",0,0,40,0,40,40,0,40,Car,FALSE,FALSE,0.5,,0\n";
  }
  truth += "21,0,0,40,0,40,40,0,40,Van,FALSE,FALSE,1,,0\n";
  system += "0,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,0.5,,0\n";
  const std::string gt = dir.write("gt.csv", truth);
  const std::string sys = dir.write("sys.csv", system);
  const auto text = runTalmira({"check", gt, sys});
  ASSERT_EQ(text.status, 0) << text.errors;
  EXPECT_NE(text.output.find("Warnings\n"), std::string::npos) << text.output;
  bool hintShown = false;
  for (const std::string& line : linesOf(text.output)) {
    hintShown = hintShown || (line.starts_with("  frame offset hint ") && line.ends_with(" +1"));
  }
  EXPECT_TRUE(hintShown) << text.output;

  const auto json = runTalmira({"check", gt, sys, "--format", "json"});
  ASSERT_EQ(json.status, 0) << json.errors;
  const nlohmann::json report = nlohmann::json::parse(json.output);
  EXPECT_EQ(report["groundtruth"]["records"], 6);
  EXPECT_EQ(report["groundtruth"]["frames"], 5);
  EXPECT_EQ(report["groundtruth"]["unknown_types"][0]["type"], "Van");
  EXPECT_EQ(report["groundtruth"]["unknown_types"][0]["first_line"], 7);
  EXPECT_EQ(report["system"]["repeated_frame_numbers"][0]["frame"], 0);
  EXPECT_EQ(report["system"]["repeated_frame_numbers"][0]["second_line"], 7);
  EXPECT_EQ(report["groundtruth_frames_without_system"], 5);
  EXPECT_EQ(report["unpaired_system_frames"], 6);
  EXPECT_EQ(report["unpaired_system_boxes"], 6);
  EXPECT_EQ(report["frame_offset_hint"], 1);
  EXPECT_EQ(report["warnings"].size(), 5u) << report["warnings"].dump(1);

  // Alone, a clean ground truth: no pairing keys, no warnings.
  const std::string clean =
      dir.write("clean.csv", kHeader + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0\n");
  const auto alone = runTalmira({"check", clean, "--format", "json"});
  ASSERT_EQ(alone.status, 0);
  const nlohmann::json aloneReport = nlohmann::json::parse(alone.output);
  EXPECT_FALSE(aloneReport.contains("frame_offset_hint"));
  EXPECT_FALSE(aloneReport.contains("system"));
  EXPECT_TRUE(aloneReport["warnings"].empty());
  EXPECT_NE(runTalmira({"check", clean}).output.find("\nNo warnings.\n"), std::string::npos);
}

TEST(TalmiraCheckTest, MalformedUnreadableAndUsage) {
  TempDir dir;
  const std::string gt =
      dir.write("gt.csv", kHeader + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0\n");
  const std::string bad = dir.write("bad.csv", kHeader + "1,0,0,40\n");
  const auto malformed = runTalmira({"check", bad});
  EXPECT_EQ(malformed.status, 1);
  EXPECT_EQ(malformed.output, "");
  EXPECT_EQ(malformed.errors, bad + ":2: expected 15 columns, found 4\n");
  // Both files' problems are told.
  const auto both = runTalmira({"check", bad, dir.file("missing.csv")});
  EXPECT_EQ(both.status, 1);
  EXPECT_NE(both.errors.find(bad + ":2: "), std::string::npos);
  EXPECT_NE(both.errors.find("missing.csv: cannot open: "), std::string::npos);
  EXPECT_EQ(runTalmira({"check", gt, "--format", "csv"}).status, 2);
  EXPECT_EQ(runTalmira({"check", gt, "-o", gt}).status, 2);
  EXPECT_EQ(runTalmira({"check"}).status, 2);
  const std::string out = dir.write("report.json", "kept\n");
  EXPECT_EQ(runTalmira({"check", bad, "-o", out}).status, 1);
  EXPECT_EQ(talmira_test::readFile(out), "kept\n");
}

}  // namespace
