// End-to-end runs of `talmira score` and of what every subcommand shares:
// exit statuses, messages on standard error, and output files written whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

const std::string kHeader = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,c14,c15\n";

// A 100 x 50 box at (x, 0), listed clockwise.
std::string record(int frame, int x, const std::string& type, const std::string& confidence) {
  return std::to_string(frame) + "," + std::to_string(x) + ",0," + std::to_string(x + 100) + ",0," +
         std::to_string(x + 100) + ",50," + std::to_string(x) + ",50," + type + ",FALSE,FALSE," +
         confidence + ",,\n";
}

// Frame 1: two cars and a bus; frame 2: one person. The system finds the
// first car (0.9), a car far from everything (0.4), the bus as a truck (0.8)
// and the person (0.6).
struct Files {
  TempDir dir;
  std::string groundTruth =
      dir.write("gt.csv", kHeader + record(1, 0, "Car", "1") + record(1, 300, "Car", "1") +
                              record(1, 600, "Bus", "1") + record(2, 0, "Person", "1"));
  std::string system =
      dir.write("sys.csv", kHeader + record(1, 5, "Car", "0.9") + record(1, 2000, "Car", "0.4") +
                               record(1, 600, "Truck", "0.8") + record(2, 0, "Person", "0.6"));
};

std::vector<std::string> lines(const std::string& text) { return splitLines(text); }

TEST(ScoreCommandTest, CsvHoldsEveryClassWithHandWorkedCounts) {
  Files f;
  const ToolResult run = runTalmira({"score", f.groundTruth, f.system, "--format", "csv"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  const std::vector<std::string> rows = lines(run.output);
  ASSERT_EQ(rows.size(), 12u) << run.output;
  EXPECT_EQ(rows[0], "class,gt,det,fn,fp,frames,nmodta");
  // All: 4 objects, 4 boxes; the truck pairs with the bus across classes, so
  // only the second car is missed and the far car is a false alarm:
  // 1 - (1 + 1) / 4 = 0.5.
  EXPECT_EQ(rows[1], "All,4,4,1,1,2,0.500000");
  // Car: 2 objects, 2 boxes, one pair: 1 - (1 + 1) / 2 = 0.
  EXPECT_EQ(rows[2], "Car,2,2,1,1,2,0.000000");
  // Truck: no object, one box: a false alarm with nothing to divide by.
  EXPECT_EQ(rows[3], "Truck,0,1,0,1,2,-100000.000000");
  // Bus: one object, missed.
  EXPECT_EQ(rows[5], "Bus,1,0,1,0,2,0.000000");
  EXPECT_EQ(rows[10], "Person,1,1,0,0,2,1.000000");
  EXPECT_EQ(rows[11], "Cyclist,0,0,0,0,2,1.000000");
}

TEST(ScoreCommandTest, ConfidenceAppliesToBothFilesAndAgreesWithTheConsole) {
  Files f;
  // At 0.5 the far car (0.4) is dropped: Car 2 objects, 1 box, 1 pair.
  const ToolResult run =
      runTalmira({"score", f.groundTruth, f.system, "-c", "0.5", "--format", "csv"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(lines(run.output)[2], "Car,2,1,1,0,2,0.500000");

  // The console's result file holds the same counts and NMODTA text.
  const RunResult console = runConsole({f.groundTruth, f.system, f.dir.file("result.csv"), "0.5"});
  ASSERT_EQ(console.status, 0);
  std::vector<std::string> fromConsole;
  for (std::string line : lines(readFile(f.dir.file("result.csv")))) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string csv;
    for (char c : line) {
      if (c != ' ') csv += c;
    }
    fromConsole.push_back(csv);
  }
  std::vector<std::string> fromTool = lines(run.output);
  fromTool.erase(fromTool.begin());
  EXPECT_EQ(fromTool, fromConsole);
}

TEST(ScoreCommandTest, TextAndJsonCarryTheSameCountsAsCsv) {
  Files f;
  const ToolResult csv = runTalmira({"score", f.groundTruth, f.system, "--format", "csv"});
  // One thread reads the files whole; more score them while reading.
  for (const char* jobs : {"1", "3"}) {
    EXPECT_EQ(runTalmira({"score", f.groundTruth, f.system, "--format", "csv", "-j", jobs}).output,
              csv.output)
        << jobs << " jobs";
  }
  const ToolResult json = runTalmira({"score", f.groundTruth, f.system, "--format", "json"});
  const ToolResult text = runTalmira({"score", f.groundTruth, f.system});
  ASSERT_EQ(json.status, 0);
  ASSERT_EQ(text.status, 0);
  const nlohmann::json parsed = nlohmann::json::parse(json.output);
  EXPECT_EQ(parsed["groundtruth"], f.groundTruth);
  EXPECT_EQ(parsed["system"], f.system);
  EXPECT_EQ(parsed["confidence"], 0.0);
  ASSERT_EQ(parsed["classes"].size(), 11u);
  const std::vector<std::string> csvRows = lines(csv.output);
  const std::vector<std::string> textRows = lines(text.output);
  ASSERT_EQ(textRows.size(), 12u);
  for (std::size_t slot = 0; slot < 11; ++slot) {
    const nlohmann::json& c = parsed["classes"][slot];
    char nmodta[32];
    std::snprintf(nmodta, sizeof nmodta, "%f", c["nmodta"].get<double>());
    const std::string fromJson =
        c["class"].get<std::string>() + "," + std::to_string(c["gt"].get<long long>()) + "," +
        std::to_string(c["det"].get<long long>()) + "," + std::to_string(c["fn"].get<long long>()) +
        "," + std::to_string(c["fp"].get<long long>()) + "," +
        std::to_string(c["frames"].get<long long>()) + "," + nmodta;
    EXPECT_EQ(fromJson, csvRows[slot + 1]);
    // The text table: the same cells, separated by blanks.
    std::string fromText;
    bool inBlank = false;
    for (char ch : textRows[slot + 1]) {
      if (ch == ' ') {
        inBlank = true;
        continue;
      }
      if (inBlank && !fromText.empty()) fromText += ',';
      inBlank = false;
      fromText += ch;
    }
    EXPECT_EQ(fromText, csvRows[slot + 1]);
  }
}

TEST(ScoreCommandTest, UsageErrorsExitWithTwoAndWriteNothing) {
  Files f;
  const std::string out = f.dir.file("out.csv");
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"score", f.groundTruth, f.system, "-c", "abc", "-o", out},
           {"score", f.groundTruth, f.system, "-c", "nan", "-o", out},
           {"score", f.groundTruth, f.system, "-c", "1.5", "-o", out},
           {"score", f.groundTruth, f.system, "-c", "-0.1", "-o", out},
           {"score", f.groundTruth, f.system, "-c", "0.5x", "-o", out},
           {"score", f.groundTruth, f.system, "--format", "xml", "-o", out},
           {"score", f.groundTruth, f.system, "--frobnicate", "-o", out},
           {"score", f.groundTruth, "-o", out},
           {"score", f.groundTruth, f.system, "extra", "-o", out},
           {"frobnicate"},
           {}}) {
    const ToolResult run = runTalmira(arguments);
    std::string shown;
    for (const std::string& a : arguments) shown += a + " ";
    EXPECT_EQ(run.status, 2) << shown;
    EXPECT_EQ(run.output, "") << shown;
    EXPECT_NE(run.errors, "") << shown;
    EXPECT_FALSE(std::filesystem::exists(out)) << shown;
  }
  EXPECT_NE(runTalmira({"score", f.groundTruth, f.system, "-c", "abc"})
                .errors.find("\"abc\" is not a number"),
            std::string::npos);
}

TEST(ScoreCommandTest, HelpAndVersionSucceedOnStandardOutput) {
  const ToolResult help = runTalmira({"score", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: talmira score"), std::string::npos);
  EXPECT_NE(help.output.find("Example"), std::string::npos);
  const ToolResult version = runTalmira({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output.rfind("talmira ", 0), 0u);
}

TEST(ScoreCommandTest, UnreadableInputsExitWithOneNamingFileAndLine) {
  Files f;
  const std::string bad = f.dir.write(
      "bad.csv", kHeader + record(1, 0, "Car", "1") + "2,0,0,100,0,100,5x,0,50,Car,,,1,,\n");
  ToolResult run = runTalmira({"score", f.groundTruth, bad});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, bad + ":3: column 7: \"5x\" is not a 32-bit whole number\n");

  // Both files are read, so both problems are reported, ground truth first.
  const std::string missing = f.dir.file("missing.csv");
  run = runTalmira({"score", missing, bad});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, missing + ": cannot open: No such file or directory\n" + bad +
                            ":3: column 7: \"5x\" is not a 32-bit whole number\n");

  run = runTalmira({"score", f.dir.path().string(), f.system});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, f.dir.path().string() + ": cannot read: Is a directory\n");
}

TEST(ScoreCommandTest, OutputFileIsReplacedWholeOrLeftAsItWas) {
  Files f;
  const std::string out = f.dir.write("scores.csv", "precious\n");
  chmod(out.c_str(), 0640);

  // A failed run leaves the file that was there, and no temporary beside it.
  ToolResult run = runTalmira({"score", f.groundTruth, f.dir.file("missing.csv"), "-o", out});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(out), "precious\n");

  // An output naming an input is refused, also through a hard link.
  const std::string link = f.dir.file("link.csv");
  std::filesystem::create_hard_link(f.system, link);
  const std::string systemBefore = readFile(f.system);
  run = runTalmira({"score", f.groundTruth, f.system, "-o", link});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(readFile(f.system), systemBefore);

  // A complete run replaces it, keeping its permissions.
  run = runTalmira({"score", f.groundTruth, f.system, "--format", "csv", "-o", out});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(readFile(out),
            runTalmira({"score", f.groundTruth, f.system, "--format", "csv"}).output);
  struct stat info {};
  ASSERT_EQ(stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);

  // An output that cannot be written is a failure, not a success.
  // A folder that is not there is told before any input is read.
  const std::string nowhere = f.dir.file("no/such/folder.csv");
  run = runTalmira({"score", f.dir.file("missing.csv"), f.system, "-o", nowhere});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, nowhere + ": cannot write: No such file or directory\n");
  run = runTalmira({"score", f.groundTruth, f.system, "-o", "/dev/full"});
  EXPECT_EQ(run.status, 1) << "a device is written in place, never replaced";
  struct stat device {};
  ASSERT_EQ(stat("/dev/full", &device), 0);
  EXPECT_TRUE(S_ISCHR(device.st_mode));
  // A link is followed: the file it names is replaced and the link stays.
  const std::string viaLink = f.dir.file("via-link.csv");
  std::filesystem::create_symlink(out, viaLink);
  run = runTalmira({"score", f.groundTruth, f.system, "--format", "json", "-o", viaLink});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_TRUE(std::filesystem::is_symlink(viaLink));
  EXPECT_EQ(readFile(out).substr(0, 1), "{");
  std::filesystem::remove(viaLink);

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(f.dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"gt.csv", "link.csv", "scores.csv", "sys.csv"}));
}

}  // namespace
}  // namespace talmira_test

namespace {

// Class names from a map in another encoding than UTF-8: CSV keeps their
// bytes, JSON (which must be UTF-8) writes U+FFFD for the bytes that are not,
// and neither fails.
TEST(ScoreCommandTest, ClassNamesThatAreNoUtf8AreWrittenNotFailed) {
  talmira_test::TempDir dir;
  const std::string gt = dir.write("gt.json", R"({"images": [{"id": 1, "frame_id": 1}],
    "categories": [{"id": 1, "name": "person"}],
    "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "bbox": [0, 0, 50, 50]}]})");
  const std::string map = dir.write("map.csv", "label,type\nperson,caf\xe9\n");
  const std::vector<std::string> reading = {
      "score", gt, gt, "--gt-format", "coco", "--sys-format", "coco", "--classes", map};
  std::vector<std::string> csv = reading;
  csv.insert(csv.end(), {"--format", "csv"});
  const talmira_test::ToolResult table = talmira_test::runTalmira(csv);
  ASSERT_EQ(table.status, 0) << table.errors;
  EXPECT_NE(table.output.find("\ncaf\xe9,1,1,0,0,1,1.000000\n"), std::string::npos) << table.output;
  std::vector<std::string> json = reading;
  json.insert(json.end(), {"--format", "json"});
  const talmira_test::ToolResult document = talmira_test::runTalmira(json);
  ASSERT_EQ(document.status, 0) << document.errors;
  EXPECT_EQ(nlohmann::json::parse(document.output)["classes"][1]["class"], "caf\xef\xbf\xbd");
}

}  // namespace
