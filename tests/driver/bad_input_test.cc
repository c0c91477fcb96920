// End-to-end runs on damaged and unusual input files: each kind of bad input
// ends in a clear refusal or in a well-defined score, never in a crash.
#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

using talmira_test::readFile;
using talmira_test::runConsole;
using talmira_test::TempDir;
using namespace std::string_literals;

namespace {

constexpr const char* kHeader = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,a,b,confidence,text,number\n";
constexpr const char* kCar = "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1.0,,0\n";
constexpr int kFailureStatus = 255;

std::string refusal(const std::string& message, const std::string& path) {
  return message + "\r\nCannot open GroundTruth file: " + path +
         "\r\n\n[Enter any character to quit]:";
}

// The result file of a completed run in which the ground truth has no box:
// every class is perfect or, with detections, at the floor.
std::string allZeroResult(int frames) {
  std::string out;
  for (const char* name : {"All", "Car", "Truck", "Tractor-Trailor", "Bus", "Container", "Boat",
                           "Plane", "Helicopter", "Person", "Cyclist"}) {
    out += std::string(name) + ", 0, 0, 0, 0, " + std::to_string(frames) + ", 1.000000\r\n";
  }
  return out;
}

TEST(BadInputTest, EmptyFileAndHeaderOnlyScoreAsEmptySequences) {
  TempDir dir;
  const std::string result = dir.file("result.csv");
  for (const std::string& text : {std::string(), std::string(kHeader), std::string("header")}) {
    const std::string gt = dir.write("gt.csv", text);
    const auto run = runConsole({gt, dir.write("sys.csv", text), result});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readFile(result), allZeroResult(0));
  }
}

TEST(BadInputTest, BinaryGarbageAndNulBytesAreRefusedWithTheirLine) {
  TempDir dir;
  const std::string result = dir.file("result.csv");
  std::string garbage = std::string(kHeader) + kCar;
  for (int i = 0; i < 300; ++i) garbage += static_cast<char>((i * 37) % 256);
  std::string gt = dir.write("garbage.csv", garbage);
  auto run = runConsole({gt, gt, result});
  EXPECT_EQ(run.status, kFailureStatus);
  EXPECT_NE(run.output.find(gt + ":3: "), std::string::npos) << run.output;

  // A NUL inside a number column is no number.
  gt = dir.write("nul.csv", std::string(kHeader) +
                                "1,0,0,4\0"
                                "0,0,40,40,0,40,Car,,,1,,\n"s);
  run = runConsole({gt, dir.write("sys.csv", kHeader), result});
  EXPECT_EQ(run.output.substr(0, run.output.find("\r\n") + 2),
            gt + ":2: column 4: \"4\\x000\" is not a 32-bit whole number\r\n");
  EXPECT_EQ(run.status, kFailureStatus);

  // A NUL inside a type makes an unknown type: the record starts a frame and adds nothing.
  gt = dir.write("nultype.csv", std::string(kHeader) + "1,0,0,40,0,40,40,0,40,C\0r,,,1,,\n"s);
  run = runConsole({gt, dir.write("none.csv", kHeader), result});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(result), allZeroResult(1));
}

TEST(BadInputTest, LongLinesAreReadOrRefusedWhole) {
  TempDir dir;
  const std::string result = dir.file("result.csv");
  const std::string sys = dir.write("sys.csv", std::string(kHeader) + kCar);
  // A million characters in the unused text column: the record is fine.
  const std::string longText = std::string(kHeader) + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1.0," +
                               std::string(1000000, 't') + ",0\n";
  auto run = runConsole({dir.write("gt.csv", longText), sys, result});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(result).substr(0, 32), "All, 1, 1, 0, 0, 1, 1.000000\r\nCa");
  // A million digits are no 32-bit number; the message quotes only the start.
  const std::string gt = dir.write("digits.csv", std::string(kHeader) + std::string(1000000, '7') +
                                                     ",0,0,40,0,40,40,0,40,Car,,,1,,\n");
  run = runConsole({gt, sys, result});
  EXPECT_EQ(run.output, refusal(gt + ":2: column 1: \"" + std::string(40, '7') +
                                    "...\" is not a 32-bit whole number",
                                gt));
}

TEST(BadInputTest, InfiniteConfidenceIsANumberAndNanIsNot) {
  TempDir dir;
  const std::string result = dir.file("result.csv");
  // +inf reaches every threshold, -inf none: the ground truth keeps one car of two.
  const std::string gt =
      dir.write("gt.csv", std::string(kHeader) + "1,0,0,40,0,40,40,0,40,Car,,,inf,,\n" +
                              "1,100,0,140,0,140,40,100,40,Car,,,-inf,,\n");
  auto run = runConsole({gt, dir.write("sys.csv", kHeader), result, "1"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(result).substr(0, 30), "All, 1, 0, 1, 0, 1, 0.000000\r\n");
  const std::string nan =
      dir.write("nan.csv", std::string(kHeader) + "1,0,0,40,0,40,40,0,40,Car,,,nan,,\n");
  run = runConsole({nan, gt, result});
  EXPECT_EQ(run.output, refusal(nan + ":2: column 13: \"nan\" is not a number", nan));
}

TEST(BadInputTest, LoneCarriageReturnsEndLines) {
  TempDir dir;
  const std::string result = dir.file("result.csv");
  // Read as one header line, this file would score as perfect.
  const std::string gt = dir.write("gt.csv", "header\r1,0,0,40,0,40,40,0,40,Car,,,1,,\r");
  const auto run = runConsole({gt, dir.write("sys.csv", "header\r"), result});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(result).substr(0, 30), "All, 1, 0, 1, 0, 1, 0.000000\r\n");
}

}  // namespace
