// Scoring while reading against reading whole files and scoring afterwards.
#include "scoring/counts/streaming_evaluation.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "annotation/sequence_reader.h"
#include "scoring/counts/class_scores.h"

namespace {

// An in-memory stream over `text`; the text must outlive the stream.
std::FILE* streamOf(const std::string& text) {
  return fmemopen(const_cast<char*>(text.data()), text.size(), "r");
}

// A random annotation file whose frame numbers grow (unless `goBack`), with
// gaps, several classes, flags, regions, dropped and unknown records.
std::string randomFile(std::mt19937& random, bool goBack) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  const char* types[] = {"Car", "Car", "Bus", "Person", "DCR", "DCF", "Tank", ""};
  std::string text = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,a,b,confidence,c14,c15\n";
  uint32_t number = static_cast<uint32_t>(pick(0, 3));
  const int frames = pick(0, 60);
  for (int f = 0; f < frames; ++f) {
    number += static_cast<uint32_t>(pick(1, 3));
    if (goBack && f == frames / 2) number -= static_cast<uint32_t>(pick(1, 4));
    for (int n = pick(1, 6); n > 0; --n) {
      const int x = pick(0, 6) * 20, y = pick(0, 6) * 20;
      const int w = pick(0, 1) == 0 ? 10 : pick(2, 6) * 20, h = pick(2, 6) * 20;
      text += std::to_string(number) + "," + std::to_string(x) + "," + std::to_string(y) + "," +
              std::to_string(x + w) + "," + std::to_string(y) + "," + std::to_string(x + w) + "," +
              std::to_string(y + h) + "," + std::to_string(x) + "," + std::to_string(y + h) + "," +
              types[pick(0, 7)] + "," + (pick(0, 15) == 0 ? "TRUE" : "FALSE") + "," +
              (pick(0, 15) == 0 ? "TRUE" : "") + "," + std::to_string(pick(0, 4) / 4.0) + ",,\n";
    }
  }
  return text;
}

std::vector<TargetFilter> filtersAt(float confidence) {
  std::vector<TargetFilter> filters;
  for (const char* name : evaluationClasses) filters.emplace_back(name, confidence);
  return filters;
}

TEST(StreamingEvaluationTest, SameTotalsAsReadingWholeFilesAndScoringAfterwards) {
  const unsigned seed = 99;
  std::mt19937 random(seed);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const std::string truthText = randomFile(random, false);
    const std::string systemText = randomFile(random, false);
    const float confidence = static_cast<float>(round % 3) / 4.0f;
    QuorSequence truth, system;
    ASSERT_EQ(readSequenceFile(streamOf(truthText), truth, "gt.csv"), 0);
    ASSERT_EQ(readSequenceFile(streamOf(systemText), system, "sys.csv"), 0);
    const std::vector<ClassTotals> whole = evaluateClasses(truth, system, filtersAt(confidence));

    for (const std::size_t blockTargets : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 15}) {
      for (const unsigned threads : {1u, 2u, 3u}) {
        StreamedInput truthInput(streamOf(truthText), "gt.csv");
        StreamedInput systemInput(streamOf(systemText), "sys.csv");
        const StreamedTotals streamed = evaluateClassesWhileReading(
            truthInput, systemInput, filtersAt(confidence), threads, blockTargets);
        ASSERT_EQ(truthInput.status, 0);
        ASSERT_EQ(systemInput.status, 0);
        ASSERT_TRUE(streamed.inOrder);
        EXPECT_EQ(streamed.frames, static_cast<int64_t>(truth.frames.size()));
        ASSERT_EQ(streamed.totals.size(), whole.size());
        for (std::size_t c = 0; c < whole.size(); ++c) {
          SCOPED_TRACE(testing::Message() << evaluationClasses[c] << ", blocks of " << blockTargets
                                          << ", " << threads << " threads");
          EXPECT_EQ(streamed.totals[c].gt, whole[c].gt);
          EXPECT_EQ(streamed.totals[c].det, whole[c].det);
          EXPECT_EQ(streamed.totals[c].fn, whole[c].fn);
          EXPECT_EQ(streamed.totals[c].fp, whole[c].fp);
        }
      }
    }
  }
}

TEST(StreamingEvaluationTest, NumbersThatGoBackInEitherFileAreToldNotScored) {
  const unsigned seed = 5;
  std::mt19937 random(seed);
  int told = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const bool truthGoesBack = round % 2 == 0;
    const std::string truthText = randomFile(random, truthGoesBack);
    const std::string systemText = randomFile(random, !truthGoesBack);
    // Whether a file goes back, by its own frames as read.
    QuorSequence truth, system;
    ASSERT_EQ(readSequenceFile(streamOf(truthText), truth, "gt.csv"), 0);
    ASSERT_EQ(readSequenceFile(streamOf(systemText), system, "sys.csv"), 0);
    bool inOrder = true;
    for (const QuorSequence* sequence : {&truth, &system}) {
      for (std::size_t f = 1; f < sequence->frames.size(); ++f) {
        inOrder = inOrder && sequence->frames[f].frameNumber > sequence->frames[f - 1].frameNumber;
      }
    }
    StreamedInput truthInput(streamOf(truthText), "gt.csv");
    StreamedInput systemInput(streamOf(systemText), "sys.csv");
    const StreamedTotals streamed =
        evaluateClassesWhileReading(truthInput, systemInput, filtersAt(0.0f), 2, 5);
    EXPECT_EQ(streamed.inOrder, inOrder);
    told += inOrder ? 0 : 1;
  }
  EXPECT_GT(told, 15);  // the generator does go back, most of the time
}

TEST(StreamingEvaluationTest, ALateMalformedRecordFailsItsFileWithTheReadersMessage) {
  std::mt19937 random(17);
  std::string truthText = randomFile(random, false);
  while (std::count(truthText.begin(), truthText.end(), '\n') < 20) {
    truthText = randomFile(random, false);
  }
  const std::string systemText = truthText + "999999,1,2,3,4,5,6,7,x8,Car,,,1,,\n";
  QuorSequence whole;
  std::string expected;
  ASSERT_EQ(readSequenceFile(streamOf(systemText), whole, "sys.csv", &expected), -1);
  StreamedInput truthInput(streamOf(truthText), "gt.csv");
  StreamedInput systemInput(streamOf(systemText), "sys.csv");
  evaluateClassesWhileReading(truthInput, systemInput, filtersAt(0.0f), 2, 3);
  EXPECT_EQ(truthInput.status, 0);
  EXPECT_EQ(systemInput.status, -1);
  EXPECT_EQ(systemInput.error, expected);
  EXPECT_NE(expected.find("column 9"), std::string::npos);
}

}  // namespace
