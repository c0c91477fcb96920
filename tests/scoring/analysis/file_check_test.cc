// The file check on small files made for each thing it reports.
#include "scoring/analysis/file_check.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/test_support.h"

using talmira_test::readAnnotationText;

namespace {

const std::string kHeader = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Id\n";

// A 40 by 40 box at (x, 0).
std::string rec(uint32_t frame, const std::string& type = "Car",
                const std::string& confidence = "1", int x = 0, const std::string& flagA = "FALSE",
                int size = 40) {
  return std::to_string(frame) + "," + std::to_string(x) + ",0," + std::to_string(x + size) +
         ",0," + std::to_string(x + size) + "," + std::to_string(size) + "," + std::to_string(x) +
         "," + std::to_string(size) + "," + type + "," + flagA + ",FALSE," + confidence + ",,0\n";
}

struct Checked {
  CheckReport report;
  bool read = false;
};

Checked check(const std::string& truthText, const std::optional<std::string>& systemText = {}) {
  QuorSequence truth, system;
  ReadDetails truthDetails, systemDetails;
  Checked out;
  if (readAnnotationText(truthText, truth, &truthDetails) != 0) return out;
  if (systemText && readAnnotationText(*systemText, system, &systemDetails) != 0) return out;
  out.report = systemText ? checkFiles(truth, truthDetails, &system, &systemDetails)
                          : checkFiles(truth, truthDetails);
  out.read = true;
  return out;
}

// The one warning that contains `phrase`; fails when there is not exactly one.
std::string warningWith(const CheckReport& report, const std::string& phrase) {
  std::vector<std::string> found;
  for (const std::string& warning : report.warnings) {
    if (warning.find(phrase) != std::string::npos) found.push_back(warning);
  }
  EXPECT_EQ(found.size(), 1u) << "\"" << phrase << "\" in "
                              << testing::PrintToString(report.warnings);
  return found.empty() ? "" : found.front();
}

TEST(FileCheckTest, CountsWhatTheFileHolds) {
  const std::string text = kHeader + rec(1) + rec(1, "Person", "0.5", 100) +
                           rec(1, "DCR", "1", 200) + rec(1, "DCF") + "\n" +
                           rec(1, "Car", "1", 0, "FALSE", 10) + rec(2, "Car", "0.25", 0, "TRUE") +
                           rec(2, "Bus", "1.5");
  const Checked c = check(text);
  ASSERT_TRUE(c.read);
  const FileCheck& f = c.report.groundTruth;
  EXPECT_EQ(f.records, 7u);  // the blank line is no record
  EXPECT_EQ(f.frames, 2u);
  EXPECT_EQ(f.boxes, 4u);
  EXPECT_EQ(f.boxesPerClass[0], 2u);  // Car
  EXPECT_EQ(f.boxesPerClass[3], 1u);  // Bus
  EXPECT_EQ(f.boxesPerClass[8], 1u);  // Person
  EXPECT_EQ(f.regions, 1u);
  EXPECT_EQ(f.dcfRecords, 1u);
  EXPECT_EQ(f.flaggedBoxes, 1u);
  EXPECT_EQ(f.droppedBySize, 1u);
  EXPECT_EQ(f.confidenceMin, 0.25f);
  EXPECT_EQ(f.confidenceMax, 1.5f);
  EXPECT_EQ(f.confidencesOutside01, 1u);
  EXPECT_EQ(f.boxesBelowFullConfidence, 2u);
}

TEST(FileCheckTest, ACleanPairHasNoWarnings) {
  const std::string text = kHeader + rec(1) + rec(2) + rec(3);
  const Checked c = check(text, text);
  ASSERT_TRUE(c.read);
  EXPECT_TRUE(c.report.warnings.empty()) << testing::PrintToString(c.report.warnings);
  EXPECT_EQ(c.report.pairing->frameOffsetHint, 0);
}

TEST(FileCheckTest, EachFileProblemGetsItsWarning) {
  EXPECT_NE(warningWith(check(kHeader).report, "no frames"), "");

  const Checked headerless = check(rec(1) + rec(2));
  EXPECT_TRUE(headerless.report.groundTruth.headerReadsAsRecord);
  EXPECT_NE(warningWith(headerless.report, "reads as a record"), "");

  const Checked unknown = check(kHeader + rec(1) + rec(1, "Van") + rec(2, "Van") + rec(2, ""));
  EXPECT_EQ(
      warningWith(unknown.report, "no known class"),
      "Ground truth: records of a type that is no known class are dropped: \"Van\" (2 records, "
      "first at line 3), \"DCO\" (1 record, first at line 5).");

  const Checked outside = check(kHeader + rec(1, "Car", "-0.5") + rec(1, "Car", "2", 100));
  EXPECT_EQ(outside.report.groundTruth.confidencesOutside01, 2u);
  EXPECT_NE(warningWith(outside.report, "outside 0 to 1 (the range is -0.5 to 2)"), "");

  const Checked repeated = check(kHeader + rec(7) + rec(8) + rec(7) + rec(8) + rec(7));
  ASSERT_EQ(repeated.report.groundTruth.repeatedFrameNumbers.size(), 2u);
  const RepeatedFrameNumber& seven = repeated.report.groundTruth.repeatedFrameNumbers[0];
  EXPECT_EQ(seven.frame, 7u);
  EXPECT_EQ(seven.runs, 3u);
  EXPECT_EQ(seven.firstLine, 2u);
  EXPECT_EQ(seven.secondLine, 4u);
  EXPECT_NE(warningWith(repeated.report,
                        "2 frame numbers come back in a later run of lines "
                        "(frame 7 at lines 2 and 4)"),
            "");

  const Checked low = check(kHeader + rec(1, "Car", "0.8") + rec(1, "Car", "0.6", 100));
  EXPECT_NE(warningWith(low.report, "2 boxes have a confidence below 1 (the lowest is 0.6)"), "");
  // A system output's confidences are its own business.
  const Checked lowSystem = check(kHeader + rec(1), kHeader + rec(1, "Car", "0.6"));
  EXPECT_TRUE(lowSystem.report.warnings.empty())
      << testing::PrintToString(lowSystem.report.warnings);
}

TEST(FileCheckTest, FramePairingProblemsGetTheirWarnings) {
  // Ground truth 1, 2, 3; the system has 2 twice (the second run is never
  // scored), 3, and 9 that the ground truth lacks.
  const Checked c = check(kHeader + rec(1) + rec(2) + rec(3),
                          kHeader + rec(2) + rec(3) + rec(2) + rec(2, "Car", "1", 100) + rec(9));
  ASSERT_TRUE(c.read);
  const PairingCheck& p = *c.report.pairing;
  EXPECT_EQ(p.groundTruthFramesWithoutSystem, 1u);
  EXPECT_EQ(p.unpairedSystemFrames, 2u);
  EXPECT_EQ(p.unpairedSystemBoxes, 3u);
  EXPECT_EQ(warningWith(c.report, "have no system frame"),
            "1 of 3 ground-truth frames have no system frame of their number: all their boxes "
            "count as misses.");
  EXPECT_EQ(warningWith(c.report, "pair with no ground-truth frame"),
            "2 system frames (3 boxes) pair with no ground-truth frame: those boxes are never "
            "scored.");
}

TEST(FileCheckTest, AShiftThatPairsClearlyMoreFramesIsSuggested) {
  // Every fifth frame annotated from 1; the detector numbered from 0.
  std::string truth = kHeader, early = kHeader, late = kHeader;
  for (uint32_t f = 1; f <= 50; f += 5) {
    truth += rec(f);
    early += rec(f - 1);
    late += rec(f + 1);
  }
  const Checked up = check(truth, early);
  EXPECT_EQ(up.report.pairing->pairedGroundTruthFrames, 0u);
  EXPECT_EQ(up.report.pairing->pairedWithSystemPlusOne, 10u);
  EXPECT_EQ(up.report.pairing->frameOffsetHint, 1);
  EXPECT_NE(warningWith(up.report,
                        "numbered 1 higher, they would pair 10 of 10 ground-truth "
                        "frames instead of 0"),
            "");
  EXPECT_EQ(check(truth, late).report.pairing->frameOffsetHint, -1);

  // Every frame annotated, 100 of them, numbered from 0 by the detector: the
  // shift gains one frame at the end, below a tenth of the frames.
  std::string dense = kHeader, denseEarly = kHeader;
  for (uint32_t f = 1; f <= 100; ++f) {
    dense += rec(f);
    denseEarly += rec(f - 1);
  }
  const Checked slight = check(dense, denseEarly);
  EXPECT_EQ(slight.report.pairing->pairedGroundTruthFrames, 99u);
  EXPECT_EQ(slight.report.pairing->pairedWithSystemPlusOne, 100u);
  EXPECT_EQ(slight.report.pairing->frameOffsetHint, 0);

  // A shift that helps both ways alike gives no direction.
  const Checked both = check(kHeader + rec(2), kHeader + rec(1) + rec(3));
  EXPECT_EQ(both.report.pairing->pairedWithSystemPlusOne, 1u);
  EXPECT_EQ(both.report.pairing->pairedWithSystemMinusOne, 1u);
  EXPECT_EQ(both.report.pairing->frameOffsetHint, 0);
  // Frame 0 against a system frame numbered 4294967295 is no neighbour.
  EXPECT_EQ(
      check(kHeader + rec(0), kHeader + rec(4294967295u)).report.pairing->pairedWithSystemPlusOne,
      0u);
}

}  // namespace
