// End-to-end runs of the real executable on the ways a run can fail before
// any class is evaluated.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_support.h"

using talmira_test::readFile;
using talmira_test::runConsole;
using talmira_test::TempDir;

namespace {

constexpr const char* kFailedPrompt = "\n[Enter any character to quit]:";
constexpr const char* kUsage =
    "Usage: TalmiraConsole.exe groundtruth.csv systemoutput.csv result.csv "
    "confidence(optional)\r\n";
constexpr int kFailureStatus = 255;  // -1 as an exit status

constexpr const char* kOneCar =
    "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,a,b,confidence,text,number\n"
    "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1.0,,0\n";

TEST(ProgramTest, WrongArgumentCountPrintsUsageAndTouchesNothing) {
  TempDir dir;
  const std::vector<std::vector<std::string>> argumentLists = {
      {}, {"a.csv"}, {"a.csv", "b.csv"}, {"a.csv", "b.csv", "r.csv", "0.5", "extra"}};
  for (const auto& arguments : argumentLists) {
    const auto run = runConsole(arguments, dir.path().string());
    EXPECT_EQ(run.output, std::string(kUsage) + kFailedPrompt);
    EXPECT_EQ(run.status, kFailureStatus);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ProgramTest, ConfidenceOutsideZeroToOneIsRefusedBeforeAnyFileIsCreated) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", kOneCar);
  const std::string result = dir.file("result.csv");
  struct Case {
    const char* argument;
    const char* printed;
  };
  // "nan" would pass both range tests and then select nothing at all.
  for (const Case& c : {Case{"1.5", "1.500000"}, Case{"-0.1", "-0.100000"}, Case{"nan", "nan"},
                        Case{"inf", "inf"}}) {
    const auto run = runConsole({gt, gt, result, c.argument});
    EXPECT_EQ(run.output, std::string("Confidence ") + c.printed +
                              " is used \r\nInvalid confidence " + c.printed +
                              " is not in (0.0-1.0)\r\n" + kFailedPrompt);
    EXPECT_EQ(run.status, kFailureStatus);
    EXPECT_FALSE(std::filesystem::exists(result));
  }
}

TEST(ProgramTest, ResultFileThatCannotBeCreatedStopsBeforeReading) {
  TempDir dir;
  const std::string result = dir.file("missing/result.csv");
  const auto run = runConsole({dir.file("no-gt.csv"), dir.file("no-sys.csv"), result});
  EXPECT_EQ(run.output, "Can Not Create result file: " + result + " \n" + kFailedPrompt);
  EXPECT_EQ(run.status, kFailureStatus);
}

TEST(ProgramTest, MissingGroundTruthStillReadsTheSystemFileAndLeavesAnEmptyResult) {
  TempDir dir;
  const std::string gt = dir.file("gt.csv");
  const std::string sys = dir.write("sys.csv", kOneCar);
  const std::string result = dir.write("result.csv", "old contents");
  const auto run = runConsole({gt, sys, result});
  EXPECT_EQ(run.output, "COULD NOT OPEN SEQUENCE AT:\n" + gt +
                            "Cannot open GroundTruth file: " + gt + "\r\n" + kFailedPrompt);
  EXPECT_EQ(run.status, kFailureStatus);
  EXPECT_TRUE(std::filesystem::exists(result));
  EXPECT_EQ(readFile(result), "");
}

TEST(ProgramTest, BothFilesMissingNamesBothThenOnlyTheGroundTruth) {
  TempDir dir;
  const std::string gt = dir.file("gt.csv");
  const std::string sys = dir.file("sys.csv");
  const auto run = runConsole({gt, sys, dir.file("result.csv")});
  EXPECT_EQ(run.output, "COULD NOT OPEN SEQUENCE AT:\n" + gt + "COULD NOT OPEN SEQUENCE AT:\n" +
                            sys + "Cannot open GroundTruth file: " + gt + "\r\n" + kFailedPrompt);
  EXPECT_EQ(run.status, kFailureStatus);
}

TEST(ProgramTest, MissingSystemOutput) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", kOneCar);
  const std::string sys = dir.file("sys.csv");
  const auto run = runConsole({gt, sys, dir.file("result.csv")});
  EXPECT_EQ(run.output, "COULD NOT OPEN SEQUENCE AT:\n" + sys +
                            "Cannot open SystemOutput file: " + sys + "\r\n" + kFailedPrompt);
  EXPECT_EQ(run.status, kFailureStatus);
}

TEST(ProgramTest, ResultPathNamingAnInputIsRefusedAndTheInputKept) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", kOneCar);
  const std::string sys = dir.write("sys.csv", kOneCar);
  std::filesystem::create_hard_link(sys, dir.file("sys-link.csv"));
  for (const auto& [result, input] :
       {std::pair{gt, gt}, std::pair{dir.file("sys-link.csv"), sys}}) {
    const auto run = runConsole({gt, sys, result});
    EXPECT_EQ(run.output, "Result file " + result + " is the input file " + input +
                              "; it was left unchanged.\r\n" + kFailedPrompt);
    EXPECT_EQ(run.status, kFailureStatus);
  }
  EXPECT_EQ(readFile(gt), kOneCar);
  EXPECT_EQ(readFile(sys), kOneCar);
}

TEST(ProgramTest, UnreadableOrMalformedInputFailsWithItsCannotOpenLine) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", kOneCar);
  const std::string folder = dir.file("folder.csv");
  std::filesystem::create_directory(folder);
  const std::string bad =
      dir.write("bad.csv", std::string(kOneCar) + "2,0,0,40,0,40,40,0,40,Car\n");
  const std::string result = dir.file("result.csv");

  auto run = runConsole({folder, gt, result});
  EXPECT_EQ(run.output, folder + ": cannot read: Is a directory\r\nCannot open GroundTruth file: " +
                            folder + "\r\n" + kFailedPrompt);
  EXPECT_EQ(run.status, kFailureStatus);

  // Both inputs are read before either status is looked at.
  run = runConsole({bad, bad, result});
  const std::string complaint = bad + ":3: expected 15 columns, found 10\r\n";
  EXPECT_EQ(run.output, complaint + complaint + "Cannot open GroundTruth file: " + bad + "\r\n" +
                            kFailedPrompt);
  EXPECT_EQ(run.status, kFailureStatus);
  EXPECT_EQ(readFile(result), "");
}

TEST(ProgramTest, FullDiskIsAFailureNotASuccess) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", kOneCar);
  const auto run = runConsole({gt, gt, "/dev/full"});
  const std::string tail = "Cannot write result file: /dev/full (No space left on device)\r\n" +
                           std::string(kFailedPrompt);
  ASSERT_GE(run.output.size(), tail.size());
  EXPECT_EQ(run.output.substr(run.output.size() - tail.size()), tail);
  EXPECT_EQ(run.status, kFailureStatus);
}

}  // namespace
