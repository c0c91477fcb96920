// End-to-end runs of `talmira sweep` against `talmira score`.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

using talmira_test::runTalmira;
using talmira_test::TempDir;

namespace {

const char kHeader[] = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";

// A file of crowded frames with tied, edge and out-of-range confidences,
// flags and a region, so that the curves have many steps.
std::string randomFile(std::mt19937& random, bool withRegion) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  const char* names[] = {"Car", "Truck", "Bus", "Person", "Kite"};
  const char* confidences[] = {"1", "0", "-0", "1.5", "inf", "-0.25", "0.5", "0.25", "0.75"};
  std::string text = kHeader;
  for (int frame = 1; frame <= 6; ++frame) {
    for (int n = pick(1, 9); n > 0; --n) {
      const int x = pick(0, 8) * 10, y = pick(0, 8) * 10, w = pick(2, 5) * 10, h = pick(2, 5) * 10;
      std::string confidence =
          pick(0, 2) == 0 ? confidences[pick(0, 8)] : "0." + std::to_string(pick(1, 999));
      std::ostringstream line;
      line << frame << ',' << x << ',' << y << ',' << x + w << ',' << y << ',' << x + w << ','
           << y + h << ',' << x << ',' << y + h << ',' << names[pick(0, 4)] << ','
           << (pick(0, 9) == 0 ? "TRUE" : "FALSE") << ',' << (pick(0, 9) == 0 ? "TRUE" : "FALSE")
           << ',' << confidence << ",,0.0\n";
      text += line.str();
    }
    if (withRegion && frame == 3) text += "3,0,0,30,0,30,90,0,90,DCR,FALSE,FALSE,1,,0.0\n";
  }
  return text;
}

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    std::string cell;
    while (std::getline(fields, cell, ',')) cells.push_back(cell);
    if (!line.empty() && line.back() == ',') cells.emplace_back();  // an empty last field
    rows.push_back(cells);
  }
  return rows;
}

// `talmira score -c <threshold> --format csv`, by class: gt, det, fn, fp, nmodta.
std::map<std::string, std::vector<std::string>> scoreAt(const std::string& gt,
                                                        const std::string& sys,
                                                        const std::string& threshold) {
  const talmira_test::ToolResult run =
      runTalmira({"score", gt, sys, "-c", threshold, "--format", "csv"});
  EXPECT_EQ(run.status, 0);
  std::map<std::string, std::vector<std::string>> byClass;
  const auto rows = csvRows(run.output);
  for (std::size_t r = 1; r < rows.size(); ++r) {
    // class,gt,det,fn,fp,frames,nmodta
    byClass[rows[r][0]] = {rows[r][1], rows[r][2], rows[r][3], rows[r][4], rows[r][6]};
  }
  return byClass;
}

TEST(SweepCommandTest, CsvRowsEqualScoreAtTheirPrintedThreshold) {
  const unsigned seed = 9;
  std::mt19937 random(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  TempDir dir;
  const std::string gt = dir.write("gt.csv", randomFile(random, true));
  const std::string sys = dir.write("sys.csv", randomFile(random, false));
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{"--exact"}, std::vector<std::string>{"--grid", "7", "-j", "1"}}) {
    // (-j 1 reads the files whole; otherwise they are swept while read.)
    std::vector<std::string> arguments = {"sweep", gt, sys, "--format", "csv"};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    const talmira_test::ToolResult run = runTalmira(arguments);
    ASSERT_EQ(run.status, 0) << mode[0];
    const auto rows = csvRows(run.output);
    ASSERT_GT(rows.size(), 20u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"class", "threshold", "gt", "det", "fn", "fp",
                                                 "nmodta", "precision", "recall"}));
    // A handful of rows spread over the classes, each against a real scoring.
    for (std::size_t r = 1; r < rows.size(); r += rows.size() / 9) {
      SCOPED_TRACE(testing::Message()
                   << mode[0] << " row " << r << ": " << rows[r][0] << " at " << rows[r][1]);
      const auto scores = scoreAt(gt, sys, rows[r][1]);
      ASSERT_EQ(scores.count(rows[r][0]), 1u);
      EXPECT_EQ(scores.at(rows[r][0]), (std::vector<std::string>{rows[r][2], rows[r][3], rows[r][4],
                                                                 rows[r][5], rows[r][6]}));
    }
  }
}

TEST(SweepCommandTest, JsonHoldsTheRowsOfTheCsvAndTheExactBestPoint) {
  std::mt19937 random(17);
  TempDir dir;
  const std::string gt = dir.write("gt.csv", randomFile(random, true));
  const std::string sys = dir.write("sys.csv", randomFile(random, false));
  const auto exactRun = runTalmira({"sweep", gt, sys, "--exact", "--format", "json"});
  const auto gridRun = runTalmira({"sweep", gt, sys, "--grid", "4", "--format", "json"});
  const auto csvRun = runTalmira({"sweep", gt, sys, "--exact", "--format", "csv"});
  ASSERT_EQ(exactRun.status, 0);
  ASSERT_EQ(gridRun.status, 0);
  ASSERT_EQ(csvRun.status, 0);
  const auto exact = nlohmann::json::parse(exactRun.output);
  const auto grid = nlohmann::json::parse(gridRun.output);
  EXPECT_EQ(exact["groundtruth"], gt);
  EXPECT_EQ(exact["system"], sys);
  ASSERT_EQ(exact["classes"].size(), 11u);
  const auto csv = csvRows(csvRun.output);
  std::size_t csvRow = 1;
  for (std::size_t c = 0; c < 11; ++c) {
    const auto& exactClass = exact["classes"][c];
    const auto& gridClass = grid["classes"][c];
    SCOPED_TRACE(exactClass["class"].get<std::string>());
    EXPECT_EQ(exactClass["frames"], 6);
    // The best point is over the whole curve, whatever the grid.
    EXPECT_EQ(gridClass["best"], exactClass["best"]);
    ASSERT_EQ(gridClass["curve"].size(), 5u);
    EXPECT_EQ(gridClass["curve"][1]["threshold"], 0.75);
    // Exact rows: the CSV rows of the class, one for one, best among them.
    bool bestListed = false;
    for (const auto& point : exactClass["curve"]) {
      ASSERT_LT(csvRow, csv.size());
      const auto& row = csv[csvRow++];
      EXPECT_EQ(row[0], exactClass["class"]);
      EXPECT_EQ(std::stof(row[1]), point["threshold"].get<float>());
      EXPECT_EQ(row[2], std::to_string(point["gt"].get<int64_t>()));
      EXPECT_EQ(row[5], std::to_string(point["fp"].get<int64_t>()));
      EXPECT_GE(exactClass["best"]["nmodta"].get<double>(), point["nmodta"].get<double>());
      bestListed = bestListed || point == exactClass["best"];
    }
    EXPECT_TRUE(bestListed);
  }
  EXPECT_EQ(csvRow, csv.size());
}

TEST(SweepCommandTest, UsageErrorsAndOutputFile) {
  TempDir dir;
  const std::string gt =
      dir.write("gt.csv", std::string(kHeader) + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0.0\n");
  const std::string sys = dir.write(
      "sys.csv", std::string(kHeader) + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,0.5,,0.0\n");
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--grid", "0"},
                                                {"--grid", "1000001"},
                                                {"--grid", "ten"},
                                                {"--grid", "5", "--exact"},
                                                {"-c", "1.5"},
                                                {"--format", "xml"}}) {
    std::vector<std::string> arguments = {"sweep", gt, sys};
    arguments.insert(arguments.end(), wrong.begin(), wrong.end());
    const auto run = runTalmira(arguments);
    EXPECT_EQ(run.status, 2) << wrong[0] << " " << wrong[1];
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors.rfind("talmira: ", 0), 0u) << run.errors;
  }
  const auto missing = runTalmira({"sweep", gt, dir.file("missing.csv")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.errors, dir.file("missing.csv") + ": cannot open: No such file or directory\n");

  // One box found at 0.5: the best point is there, and -o writes the table.
  const std::string out = dir.file("best.txt");
  const auto run = runTalmira({"sweep", gt, sys, "-c", "0.3", "-o", out});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  const auto rows =
      csvRows(runTalmira({"sweep", gt, sys, "--grid", "2", "--format", "csv"}).output);
  ASSERT_EQ(rows.size(), 1u + 11u * 3u);
  // At 1 nothing is taken: precision 1 by definition, recall 0.
  EXPECT_EQ(rows[1], (std::vector<std::string>{"All", "1", "1", "0", "1", "0", "0.000000",
                                               "1.000000", "0.000000"}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{"All", "0.5", "1", "1", "0", "0", "1.000000",
                                               "1.000000", "1.000000"}));
  // A class without objects has no recall.
  EXPECT_EQ(rows[4], (std::vector<std::string>{"Car", "1", "1", "0", "1", "0", "0.000000",
                                               "1.000000", "0.000000"}));
  EXPECT_EQ(rows[7], (std::vector<std::string>{"Truck", "1", "0", "0", "0", "0", "1.000000",
                                               "1.000000", ""}));
  std::istringstream table(talmira_test::readFile(out));
  std::string line;
  std::getline(table, line);
  EXPECT_EQ(line.substr(0, 5), "Class");
  std::getline(table, line);
  std::istringstream cells(line);
  std::vector<std::string> all;
  for (std::string cell; cells >> cell;) all.push_back(cell);
  // The last column, AP: precision 1 over the whole recall.
  EXPECT_EQ(all, (std::vector<std::string>{"All", "0.5", "1", "1", "0", "0", "1", "1.000000",
                                           "1.000000"}));
}

TEST(SweepCommandTest, PlotAndReportAreWrittenBesideTheRows) {
  std::mt19937 random(23);
  TempDir dir;
  const std::string gt = dir.write("gt.csv", randomFile(random, true));
  const std::string sys = dir.write("sys.csv", randomFile(random, false));
  const std::string svg = dir.file("curves.svg");
  const std::string html = dir.file("page.html");
  const auto run = runTalmira(
      {"sweep", gt, sys, "--format", "csv", "--plot", svg, "--report", html, "-c", "0.625"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output.rfind("class,threshold,", 0), 0u);
  const std::string picture = talmira_test::readFile(svg);
  EXPECT_EQ(picture.rfind("<svg", 0), 0u);
  EXPECT_NE(picture.find("</svg>"), std::string::npos);
  const std::string page = talmira_test::readFile(html);
  EXPECT_NE(page.find("<html"), std::string::npos);
  EXPECT_NE(page.find("</html>"), std::string::npos);
  EXPECT_NE(page.find("0.625"), std::string::npos);  // the table's threshold
  EXPECT_NE(page.find(gt), std::string::npos);
  // The random files give the check something to say (flags, confidences outside 0 to 1).
  const auto check = runTalmira({"check", gt, sys, "--format", "json"});
  ASSERT_EQ(check.status, 0);
  const auto warnings = nlohmann::json::parse(check.output)["warnings"];
  ASSERT_FALSE(warnings.empty());
  for (const auto& warning : warnings) {
    const std::string text = warning.get<std::string>();
    // The page escapes what HTML cannot take as it is; compare a plain stretch.
    const std::string plain =
        text.substr(0, std::min<std::size_t>(20, text.find_first_of("<>&\"'")));
    EXPECT_NE(page.find(plain), std::string::npos) << text;
  }

  // A picture or page that would overwrite an input is refused before anything is written.
  const auto refused = runTalmira({"sweep", gt, sys, "--plot", sys});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.output, "");
  EXPECT_EQ(runTalmira({"sweep", gt, sys, "--report", gt}).status, 2);
}

}  // namespace
