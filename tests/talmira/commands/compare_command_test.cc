// End-to-end runs of `talmira compare` against `talmira score`, `sweep` and
// `batch --sweep`, and against what comparing a detector with itself or with
// one more false alarm must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

using talmira_test::runTalmira;
using talmira_test::TempDir;
using talmira_test::ToolResult;

namespace {

const char kHeader[] = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    std::string cell;
    while (std::getline(fields, cell, ',')) cells.push_back(cell);
    rows.push_back(cells);
  }
  return rows;
}

// The CSV of a run by class: the columns by name.
std::map<std::string, std::map<std::string, std::string>> byClass(const std::string& csv) {
  const auto rows = csvRows(csv);
  std::map<std::string, std::map<std::string, std::string>> classes;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[0].size() && c < rows[r].size(); ++c) {
      classes[rows[r][0]][rows[0][c]] = rows[r][c];
    }
  }
  return classes;
}

std::string fixed(double value, int decimals = 6) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A ground truth and a detector's output, random and full of corner cases.
struct Sequence {
  std::string groundTruth, system;
};

Sequence makeSequence(uint32_t seed, int frames) {
  const talmira_test::FilePair pair = talmira_test::randomFilePair(seed, frames);
  return {pair.groundTruth, pair.system};
}

std::vector<std::string> run(const std::vector<std::string>& arguments, int status = 0) {
  const ToolResult result = runTalmira(arguments);
  EXPECT_EQ(result.status, status) << result.errors;
  return {result.output, result.errors};
}

TEST(CompareCommandTest, ADetectorAgainstItselfDiffersNowhere) {
  TempDir dir;
  const Sequence s = makeSequence(11, 40);
  const std::string gt = dir.write("gt.csv", s.groundTruth);
  const std::string sys = dir.write("sys.csv", s.system);
  dir.write("list.csv",
            "sequence,groundtruth,system_a,system_b\none,gt.csv,sys.csv,sys.csv\n"
            "two,gt.csv,sys.csv,sys.csv\nthree,gt.csv,sys.csv,sys.csv\n");
  for (const std::vector<std::string>& mode : {std::vector<std::string>{gt, sys, sys},
                                               {gt, sys, sys, "--block", "1", "-c", "0.4"},
                                               {"--dataset", dir.file("list.csv")}}) {
    std::vector<std::string> arguments = {"compare", "--format", "csv", "--resamples", "500"};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    const auto classes = byClass(run(arguments)[0]);
    ASSERT_EQ(classes.size(), 11u);
    for (const auto& [name, c] : classes) {
      SCOPED_TRACE(name);
      EXPECT_EQ(c.at("delta"), "0.000000");
      EXPECT_EQ(c.at("low"), "0.000000");
      EXPECT_EQ(c.at("high"), "0.000000");
      EXPECT_EQ(c.at("b_better"), "0.0000");
      EXPECT_EQ(c.at("a_better"), "0.0000");
      EXPECT_EQ(c.at("nmodta_a"), c.at("nmodta_b"));
      EXPECT_EQ(c.at("found_a_only"), "0");
      EXPECT_EQ(c.at("found_b_only"), "0");
    }
  }
}

// Frames 1 to `frames`, three cars and a person each, moving; the detector
// misses every seventh box and adds a false alarm every fifth frame. With
// `extraIn`, one more car far from everything in that frame.
std::string detectorFile(int frames, bool truth, int extraIn = 0) {
  std::string text = kHeader;
  int box = 0;
  for (int f = 1; f <= frames; ++f) {
    for (int k = 0; k < 4; ++k, ++box) {
      if (!truth && box % 7 == 3) continue;
      const int x = 100 * k + 2 * f, y = 50 + 40 * k;
      text += std::to_string(f) + "," + std::to_string(x) + "," + std::to_string(y) + "," +
              std::to_string(x + 60) + "," + std::to_string(y) + "," + std::to_string(x + 60) +
              "," + std::to_string(y + 40) + "," + std::to_string(x) + "," +
              std::to_string(y + 40) + "," + (k == 3 ? "Person" : "Car") + ",FALSE,FALSE," +
              (truth ? "1" : "0.8") + ",,0.0\n";
    }
    if (!truth && f % 5 == 0) {
      text += std::to_string(f) + ",700,700,760,700,760,740,700,740,Person,FALSE,FALSE,0.5,,0.0\n";
    }
    if (f == extraIn) {
      text +=
          std::to_string(f) + ",9000,9000,9060,9000,9060,9040,9000,9040,Car,FALSE,FALSE,0.9,,0.0\n";
    }
  }
  return text;
}

TEST(CompareCommandTest, OneMoreFalseAlarmInOneUnitCostsExactlyOneOverGt) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", detectorFile(30, true));
  const std::string a = dir.write("a.csv", detectorFile(30, false));
  const std::string b = dir.write("b.csv", detectorFile(30, false, 10));
  const auto json = nlohmann::json::parse(
      run({"compare", gt, a, b, "--format", "json", "--block", "3", "--resamples", "2000"})[0]);
  EXPECT_EQ(json["unit"], "frames");
  EXPECT_EQ(json["block"], 3);
  EXPECT_EQ(json["frames"], 30);
  EXPECT_EQ(json["units"], 10);
  for (const auto& c : json["classes"]) {
    const std::string name = c["class"];
    SCOPED_TRACE(name);
    if (name == "All" || name == "Car") {
      const int64_t gtCount = c["gt"];
      EXPECT_EQ(gtCount, name == "All" ? 120 : 90);
      EXPECT_EQ(c["fp_b"].get<int64_t>(), c["fp_a"].get<int64_t>() + 1);
      EXPECT_EQ(c["fn_b"], c["fn_a"]);
      const double exact = -1.0 / static_cast<double>(gtCount);
      EXPECT_NEAR(c["delta"].get<double>(), exact, 1e-15);
      // A resample that draws the unit gives B one more false alarm for each
      // draw; none gives it fewer. The share that never draws one of ten
      // units in ten draws is near (9/10)^10 = 0.35.
      EXPECT_LE(c["low"].get<double>(), exact);
      EXPECT_EQ(c["high"], 0.0);
      EXPECT_EQ(c["b_better"], 0.0);
      EXPECT_NEAR(c["a_better"].get<double>(), 1 - std::pow(0.9, 10), 0.03);
    } else {
      EXPECT_EQ(c["delta"], 0.0);
      EXPECT_EQ(c["low"], 0.0);
      EXPECT_EQ(c["high"], 0.0);
      EXPECT_EQ(c["a_better"], 0.0);
    }
  }
  // The CSV says the same to six places.
  const auto classes = byClass(
      run({"compare", gt, a, b, "--format", "csv", "--block", "3", "--resamples", "2000"})[0]);
  EXPECT_EQ(classes.at("All").at("delta"), fixed(-1.0 / 120));
  EXPECT_EQ(classes.at("Car").at("delta"), fixed(-1.0 / 90));
}

TEST(CompareCommandTest, CountsAreThoseOfScoreAtEachDetectorsThreshold) {
  TempDir dir;
  const Sequence first = makeSequence(21, 25);
  const Sequence second = makeSequence(22, 25);
  const std::string gt = dir.write("gt.csv", first.groundTruth);
  const std::string a = dir.write("a.csv", first.system);
  const std::string b = dir.write("b.csv", second.system);
  const auto compared = byClass(run({"compare", gt, a, b, "--c-a", "0.25", "--c-b", "0.6",
                                     "--format", "csv", "--resamples", "100"})[0]);
  const auto scoreOf = [&](const std::string& sys, const char* threshold) {
    return byClass(run({"score", gt, sys, "-c", threshold, "--format", "csv"})[0]);
  };
  const auto scoredA = scoreOf(a, "0.25");
  const auto scoredB = scoreOf(b, "0.6");
  for (const auto& [name, c] : compared) {
    SCOPED_TRACE(name);
    EXPECT_EQ(c.at("gt"), scoredA.at(name).at("gt"));
    EXPECT_EQ(c.at("fn_a"), scoredA.at(name).at("fn"));
    EXPECT_EQ(c.at("fp_a"), scoredA.at(name).at("fp"));
    EXPECT_EQ(c.at("nmodta_a"), scoredA.at(name).at("nmodta"));
    EXPECT_EQ(c.at("fn_b"), scoredB.at(name).at("fn"));
    EXPECT_EQ(c.at("fp_b"), scoredB.at(name).at("fp"));
    EXPECT_EQ(c.at("nmodta_b"), scoredB.at(name).at("nmodta"));
  }
}

TEST(CompareCommandTest, BestThresholdsAreThoseOfTheExactSweep) {
  TempDir dir;
  const Sequence first = makeSequence(31, 20);
  const Sequence second = makeSequence(32, 20);
  const Sequence third = makeSequence(33, 20);
  dir.write("gt1.csv", first.groundTruth);
  dir.write("a1.csv", first.system);
  dir.write("b1.csv", second.system);
  dir.write("gt2.csv", third.groundTruth);
  dir.write("a2.csv", third.system);
  dir.write("b2.csv", first.system);
  const auto bestOfAll = [](const std::string& sweepJson) {
    const auto json = nlohmann::json::parse(sweepJson);
    const auto& classes = json.contains("total") ? json["total"]["classes"] : json["classes"];
    return classes[0]["best"]["threshold"].get<double>();
  };
  // One sequence: each detector's best point of `talmira sweep`.
  const auto one = nlohmann::json::parse(
      run({"compare", dir.file("gt1.csv"), dir.file("a1.csv"), dir.file("b1.csv"), "--best",
           "--format", "json", "--resamples", "100"})[0]);
  EXPECT_EQ(one["best"], true);
  EXPECT_EQ(
      one["confidence_a"].get<double>(),
      bestOfAll(run({"sweep", dir.file("gt1.csv"), dir.file("a1.csv"), "--format", "json"})[0]));
  EXPECT_EQ(
      one["confidence_b"].get<double>(),
      bestOfAll(run({"sweep", dir.file("gt1.csv"), dir.file("b1.csv"), "--format", "json"})[0]));
  // A dataset: the best point of the pooled curve, as `batch --sweep` pools it.
  dir.write("list.csv",
            "sequence,groundtruth,system_a,system_b\nfirst,gt1.csv,a1.csv,b1.csv\n"
            "second,gt2.csv,a2.csv,b2.csv\n");
  dir.write("list_a.csv",
            "sequence,groundtruth,system\nfirst,gt1.csv,a1.csv\nsecond,gt2.csv,a2.csv\n");
  dir.write("list_b.csv",
            "sequence,groundtruth,system\nfirst,gt1.csv,b1.csv\nsecond,gt2.csv,b2.csv\n");
  const auto many =
      nlohmann::json::parse(run({"compare", "--dataset", dir.file("list.csv"), "--best", "--format",
                                 "json", "--resamples", "100"})[0]);
  EXPECT_EQ(many["confidence_a"].get<double>(),
            bestOfAll(run({"batch", dir.file("list_a.csv"), "--sweep", "--format", "json"})[0]));
  EXPECT_EQ(many["confidence_b"].get<double>(),
            bestOfAll(run({"batch", dir.file("list_b.csv"), "--sweep", "--format", "json"})[0]));
  // And the counts are those at the chosen thresholds.
  const auto at = byClass(
      run({"compare", "--dataset", dir.file("list.csv"), "--c-a", many["confidence_a"].dump(),
           "--c-b", many["confidence_b"].dump(), "--format", "csv", "--resamples", "100"})[0]);
  EXPECT_EQ(at.at("All").at("fn_a"), std::to_string(many["classes"][0]["fn_a"].get<int64_t>()));
  EXPECT_EQ(at.at("All").at("fp_b"), std::to_string(many["classes"][0]["fp_b"].get<int64_t>()));
}

TEST(CompareCommandTest, SameBytesForEveryNumberOfThreads) {
  TempDir dir;
  std::string list = "sequence,groundtruth,system_a,system_b\n";
  for (int k = 0; k < 7; ++k) {
    const Sequence first = makeSequence(100 + static_cast<uint32_t>(k), 12);
    const Sequence second = makeSequence(200 + static_cast<uint32_t>(k), 12);
    const std::string n = std::to_string(k);
    dir.write("gt" + n + ".csv", first.groundTruth);
    dir.write("a" + n + ".csv", first.system);
    dir.write("b" + n + ".csv", second.system);
    list += "s" + n + ",gt" + n + ".csv,a" + n + ".csv,b" + n + ".csv\n";
  }
  dir.write("list.csv", list);
  const std::vector<std::vector<std::string>> modes = {
      {dir.file("gt0.csv"), dir.file("a0.csv"), dir.file("b1.csv"), "--block", "2"},
      {dir.file("gt3.csv"), dir.file("a3.csv"), dir.file("b3.csv"), "--best"},
      {"--dataset", dir.file("list.csv"), "-c", "0.3"},
      {"--dataset", dir.file("list.csv"), "--best", "--seed", "18446744073709551615"}};
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode[0] + " " + mode[2]);
    std::map<std::string, std::string> first;
    for (const char* jobs : {"1", "2", "3"}) {
      for (const char* format : {"text", "csv", "json"}) {
        std::vector<std::string> arguments = {"compare", "-j",          jobs,  "--format",
                                              format,    "--resamples", "3000"};
        arguments.insert(arguments.end(), mode.begin(), mode.end());
        const std::string page = dir.file(std::string("page") + jobs + format + ".html");
        arguments.insert(arguments.end(), {"--report", page});
        const std::string output = run(arguments)[0];
        ASSERT_FALSE(output.empty());
        const std::string pageBytes = talmira_test::readFile(page);
        if (first.count(format) == 0) {
          first[format] = output;
          first["page"] = pageBytes;
        } else {
          EXPECT_EQ(output, first[format]) << "-j " << jobs << " " << format;
          EXPECT_EQ(pageBytes, first["page"]) << "-j " << jobs;
        }
      }
    }
  }
}

TEST(CompareCommandTest, FailedSequencesAreLeftOutOfBothDetectors) {
  TempDir dir;
  const Sequence first = makeSequence(41, 10);
  const Sequence second = makeSequence(42, 10);
  dir.write("gt.csv", first.groundTruth);
  dir.write("a.csv", first.system);
  dir.write("b.csv", second.system);
  dir.write("bad.csv", std::string(kHeader) + "1,2,3\n");
  dir.write("list.csv",
            "sequence,groundtruth,system_a,system_b\nfine,gt.csv,a.csv,b.csv\n"
            "broken,gt.csv,bad.csv,missing.csv\nagain,gt.csv,a.csv,b.csv\n");
  const ToolResult result = runTalmira(
      {"compare", "--dataset", dir.file("list.csv"), "--format", "json", "--resamples", "100"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, dir.file("bad.csv") + ":2: expected 15 columns, found 3\n" +
                               dir.file("missing.csv") +
                               ": cannot open: No such file or directory\n"
                               "talmira compare: 1 of 3 sequences failed; they are left out of "
                               "the totals\n");
  const auto json = nlohmann::json::parse(result.output);
  EXPECT_EQ(json["units"], 2);
  EXPECT_EQ(json["failed"], 1);
  EXPECT_EQ(json["sequences"][1]["error"],
            dir.file("bad.csv") + ":2: expected 15 columns, found 3\n" + dir.file("missing.csv") +
                ": cannot open: No such file or directory");
  // The two that were read count twice the one.
  const auto once =
      nlohmann::json::parse(run({"compare", dir.file("gt.csv"), dir.file("a.csv"),
                                 dir.file("b.csv"), "--format", "json", "--resamples", "100"})[0]);
  EXPECT_EQ(json["classes"][0]["gt"].get<int64_t>(), 2 * once["classes"][0]["gt"].get<int64_t>());
  EXPECT_EQ(json["classes"][0]["fp_b"].get<int64_t>(),
            2 * once["classes"][0]["fp_b"].get<int64_t>());
}

TEST(CompareCommandTest, UsageErrorsWriteNothing) {
  TempDir dir;
  const Sequence s = makeSequence(51, 5);
  const std::string gt = dir.write("gt.csv", s.groundTruth);
  const std::string a = dir.write("a.csv", s.system);
  dir.write("list.csv", "sequence,groundtruth,system_a,system_b\none,gt.csv,a.csv,a.csv\n");
  const std::string out = dir.file("out.txt");
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{gt, a},
        {gt, a, a, "--dataset", dir.file("list.csv")},
        {"--dataset", dir.file("list.csv"), "--block", "3"},
        {gt, a, a, "-c", "0.3", "--best"},
        {gt, a, a, "--c-a", "0.3"},
        {gt, a, a, "-c", "0.3", "--c-a", "0.1", "--c-b", "0.2"},
        {gt, a, a, "--level", "1"},
        {gt, a, a, "--level", "0"},
        {gt, a, a, "--level", "95"},
        {gt, a, a, "--level", "1e-10"},
        {gt, a, a, "--resamples", "0"},
        {gt, a, a, "--resamples", "10000001"},
        {gt, a, a, "--seed", "-1"},
        {gt, a, a, "--seed", "18446744073709551616"},
        {gt, a, a, "--block", "0"},
        {gt, a, a, "-o", a}}) {
    std::vector<std::string> arguments = {"compare"};
    arguments.insert(arguments.end(), wrong.begin(), wrong.end());
    if (std::find(wrong.begin(), wrong.end(), "-o") == wrong.end()) {
      arguments.insert(arguments.end(), {"-o", out});
    }
    const ToolResult result = runTalmira(arguments);
    EXPECT_EQ(result.status, 2) << wrong.back() << ": " << result.errors;
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(talmira_test::readFile(out), "");
    EXPECT_EQ(talmira_test::readFile(a), s.system);
  }
  // A malformed list is an input that failed, named by its line.
  dir.write("bad_list.csv", "sequence,groundtruth,system_a,system_b\none,gt.csv,a.csv\n");
  const ToolResult bad = runTalmira({"compare", "--dataset", dir.file("bad_list.csv")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.errors, dir.file("bad_list.csv") +
                            ":2: expected 4 fields (sequence,groundtruth,system_a,system_b), "
                            "found 3\n");
}

}  // namespace
