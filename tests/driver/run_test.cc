// End-to-end runs of the real executable on small sequences whose counts are
// worked out by hand next to each case.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <map>
#include <string>

#include "tests/test_support.h"

using talmira_test::readFile;
using talmira_test::runConsole;
using talmira_test::TempDir;

namespace {

constexpr const char* kHeader = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,a,b,confidence,text,number\n";
constexpr std::array<const char*, 11> kClasses = {
    "All",  "Car",   "Truck",      "Tractor-Trailor", "Bus",    "Container",
    "Boat", "Plane", "Helicopter", "Person",          "Cyclist"};

// One record: an upright box from (x, y) with sides w and h.
std::string record(int frame, int x, int y, int w, int h, const char* type,
                   const char* confidence = "1.0", const char* flagA = "FALSE",
                   const char* flagB = "FALSE") {
  char line[256];
  std::snprintf(line, sizeof line, "%d,%d,%d,%d,%d,%d,%d,%d,%d,%s,%s,%s,%s,note,0\n", frame, x, y,
                x + w, y, x + w, y + h, x, y + h, type, flagA, flagB, confidence);
  return line;
}

struct ClassCounts {
  int gt = 0, det = 0, fn = 0, fp = 0;
  const char* nmodta = "1.000000";
};

// Expected output of a completed run: every class not listed has zero counts.
struct Expected {
  std::string console, resultFile;
};

Expected expectedRun(const std::string& gt, const std::string& sys, int frames,
                     const std::map<std::string, ClassCounts>& counts,
                     const char* confidence = nullptr) {
  Expected expected;
  if (confidence != nullptr)
    expected.console += std::string("Confidence ") + confidence + " is used \r\n";
  for (const char* name : kClasses) {
    const auto found = counts.find(name);
    const ClassCounts c = found == counts.end() ? ClassCounts{} : found->second;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%15s GT#: %d, Det#: %d, FN#: %d, FP#: %d, Frames#: %d, NMODTA: %s\r\n", name,
                  c.gt, c.det, c.fn, c.fp, frames, c.nmodta);
    expected.console += line;
    std::snprintf(line, sizeof line, "%s, %d, %d, %d, %d, %d, %s\r\n", name, c.gt, c.det, c.fn,
                  c.fp, frames, c.nmodta);
    expected.resultFile += line;
  }
  expected.console += gt + " and " + sys + " have been evaluated at confidence " +
                      (confidence != nullptr ? confidence : "0.000000") +
                      ".\r\n\n[Enter charater to quit]:";
  return expected;
}

class RunTest : public testing::Test {
 protected:
  // Runs the program on the two file contents and checks every byte it leaves.
  void expectRun(const std::string& gtText, const std::string& sysText, int frames,
                 const std::map<std::string, ClassCounts>& counts,
                 const char* confidenceArgument = nullptr,
                 const char* confidencePrinted = nullptr) {
    const std::string gt = dir_.write("gt.csv", gtText);
    const std::string sys = dir_.write("sys.csv", sysText);
    const std::string result = dir_.file("result.csv");
    std::vector<std::string> arguments = {gt, sys, result};
    if (confidenceArgument != nullptr) arguments.push_back(confidenceArgument);
    const auto run = runConsole(arguments);
    const Expected expected = expectedRun(gt, sys, frames, counts, confidencePrinted);
    EXPECT_EQ(run.output, expected.console);
    EXPECT_EQ(readFile(result), expected.resultFile);
    EXPECT_EQ(run.status, 0);
  }

  TempDir dir_;
};

const std::string kTwoFrames = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car") +
                               record(1, 100, 0, 40, 40, "Person") + record(2, 0, 0, 40, 40, "Car");

TEST_F(RunTest, PerfectDetector) {
  expectRun(kTwoFrames, kTwoFrames, 2,
            {{"All", {3, 3, 0, 0}}, {"Car", {2, 2, 0, 0}}, {"Person", {1, 1, 0, 0}}});
}

TEST_F(RunTest, NoDetections) {
  // Every ground-truth object is a miss: 1 - 3/3.
  expectRun(kTwoFrames, kHeader, 2,
            {{"All", {3, 0, 3, 0, "0.000000"}},
             {"Car", {2, 0, 2, 0, "0.000000"}},
             {"Person", {1, 0, 1, 0, "0.000000"}}});
}

TEST_F(RunTest, DetectionsOnlyInFramesTheGroundTruthLacks) {
  // Frames 7 and 8 are never visited: their boxes are neither detections nor false alarms.
  const std::string sys =
      std::string(kHeader) + record(7, 0, 0, 40, 40, "Car") + record(8, 0, 0, 40, 40, "Truck");
  expectRun(kTwoFrames, sys, 2,
            {{"All", {3, 0, 3, 0, "0.000000"}},
             {"Car", {2, 0, 2, 0, "0.000000"}},
             {"Person", {1, 0, 1, 0, "0.000000"}}});
}

TEST_F(RunTest, RepeatedFrameNumbersPairWithTheFirstSystemFrame) {
  // Ground-truth frames 1 (A), 2 (B), 1 (C); system frames 1 (A), 3, 1 (C).
  // The first frame 1 pairs A with A. Frame 2 has no partner: B is a miss.
  // The second frame 1 also pairs with the first system frame 1: C is a miss
  // and A a false alarm. The second system frame 1 is never visited.
  // GT 3, Det 2, FN 2, FP 1: 1 - 3/3 = 0.
  const std::string gt = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car") +
                         record(2, 0, 0, 40, 40, "Car") + record(1, 200, 0, 40, 40, "Car");
  const std::string sys = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car") +
                          record(3, 0, 0, 40, 40, "Car") + record(1, 200, 0, 40, 40, "Car");
  expectRun(gt, sys, 3, {{"All", {3, 2, 2, 1, "0.000000"}}, {"Car", {3, 2, 2, 1, "0.000000"}}});
}

TEST_F(RunTest, AllPairsBoxesAcrossClasses) {
  // A car answered by a truck on the same spot: a match for All only.
  // Car: GT 1, the frame pairs with an empty system frame: FN 1, NMODTA 0.
  // Truck: GT 0 with one false alarm: 1 - 1/0 is -infinity, shown at the floor.
  const std::string gt = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car");
  const std::string sys = std::string(kHeader) + record(1, 2, 2, 40, 40, "Truck");
  expectRun(gt, sys, 1,
            {{"All", {1, 1, 0, 0}},
             {"Car", {1, 0, 1, 0, "0.000000"}},
             {"Truck", {0, 1, 0, 1, "-100000.000000"}}});
}

TEST_F(RunTest, ConfidenceDropsTargetsOfBothFilesAndKeepsTies) {
  // At 0.3: ground truth keeps B (0.3, a tie) and drops A (0.29); the system
  // keeps the box on A (0.9) and drops the one on B (0.2999).
  // All: GT 1, Det 1, FN 1 (B), FP 1 (on A): 1 - 2/1 = -1.
  const std::string gt = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car", "0.29") +
                         record(1, 100, 0, 40, 40, "Car", "0.3");
  const std::string sys = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car", "0.9") +
                          record(1, 100, 0, 40, 40, "Car", "0.2999");
  expectRun(gt, sys, 1, {{"All", {1, 1, 1, 1, "-1.000000"}}, {"Car", {1, 1, 1, 1, "-1.000000"}}},
            "0.3", "0.300000");
}

TEST_F(RunTest, TextThatIsNoNumberIsConfidenceZero) {
  expectRun(kTwoFrames, kTwoFrames, 2,
            {{"All", {3, 3, 0, 0}}, {"Car", {2, 2, 0, 0}}, {"Person", {1, 1, 0, 0}}}, "abc",
            "0.000000");
}

TEST_F(RunTest, RegionsAndFlagsOfTheGroundTruthFrame) {
  // Frame 1: a flagged truth with a detection on it (both set aside), a plain
  // truth with its detection, and a detection inside a don't-care region.
  // Frame 2: the system's own region is ignored; its detection is a false alarm.
  // All: GT 1, Det 2, FN 0, FP 1: 1 - 1/1 = 0.
  const std::string gt = std::string(kHeader) + record(1, 0, 0, 40, 40, "Car", "1", "TRUE") +
                         record(1, 100, 0, 40, 40, "Bus") + record(1, 300, 0, 100, 100, "DCR") +
                         record(2, 0, 0, 40, 40, "DCO");
  const std::string sys = std::string(kHeader) + record(1, 1, 1, 40, 40, "Car") +
                          record(1, 101, 0, 40, 40, "Bus") + record(1, 310, 10, 40, 40, "Car") +
                          record(2, 0, 0, 40, 40, "Car") + record(2, 0, 0, 50, 50, "DCR");
  expectRun(gt, sys, 2,
            {{"All", {1, 2, 0, 1, "0.000000"}},
             {"Car", {0, 1, 0, 1, "-100000.000000"}},
             {"Bus", {1, 1, 0, 0}}});
}

}  // namespace
