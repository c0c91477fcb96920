// Scoring while reading against reading whole files and scoring afterwards.
#include "scoring/counts/streaming_evaluation.h"

#include <gtest/gtest.h>

#include <array>
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

// A table of records in memory: the columns fileTable() takes, and their values.
struct RandomTable {
  std::vector<std::vector<int64_t>> numbers = std::vector<std::vector<int64_t>>(9);
  std::vector<int16_t> types;
  std::vector<int8_t> flagA, flagB;
  std::vector<double> confidences;
  std::vector<std::string> typeTexts = {"Car", "Bus", "Person", "DCR", "DCF", "Tank"};
  std::vector<std::string> flagTexts = {"FALSE", "TRUE"};

  std::vector<TableColumn> columns() const {
    std::vector<TableColumn> out(13);
    for (std::size_t c = 0; c < 9; ++c) {
      out[c].kind = TableColumn::Kind::kWhole;
      out[c].values = numbers[c].data();
    }
    out[9] = {TableColumn::Kind::kText, types.data(), typeTexts, 2};
    out[10] = {TableColumn::Kind::kText, flagA.data(), flagTexts, 1};
    out[11] = {TableColumn::Kind::kText, flagB.data(), flagTexts, 1};
    out[12] = {TableColumn::Kind::kDouble, confidences.data(), {}, 8};
    return out;
  }
  std::size_t rows() const { return confidences.size(); }
};

RandomTable randomTable(std::mt19937& random, bool goBack) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  RandomTable table;
  int64_t number = pick(0, 3);
  const int frames = pick(0, 60);
  for (int f = 0; f < frames; ++f) {
    number += pick(1, 3);
    if (goBack && f == frames / 2) number -= pick(1, 4);
    for (int n = pick(1, 6); n > 0; --n) {
      const int x = pick(0, 6) * 20, y = pick(0, 6) * 20;
      const int w = pick(0, 1) == 0 ? 10 : pick(2, 6) * 20, h = pick(2, 6) * 20;
      const int corners[8] = {x, y, x + w, y, x + w, y + h, x, y + h};
      table.numbers[0].push_back(number);
      for (std::size_t c = 0; c < 8; ++c) table.numbers[c + 1].push_back(corners[c]);
      table.types.push_back(static_cast<int16_t>(pick(-1, 5)));  // -1: no type
      table.flagA.push_back(static_cast<int8_t>(pick(0, 15) == 0));
      table.flagB.push_back(static_cast<int8_t>(pick(0, 15) == 0));
      table.confidences.push_back(pick(0, 4) / 4.0 + (pick(0, 1) ? 0.0 : 0.01));
    }
  }
  return table;
}

// Tables filed and scored while filed, as files are read and scored.
TEST(StreamingEvaluationTest, TablesScoredWhileFiledGiveTheTotalsOfTheWholeTables) {
  const unsigned seed = 23;
  std::mt19937 random(seed);
  int inOrderRounds = 0;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " round " << round);
    const bool goBack = round % 4 == 3;
    const RandomTable truthTable = randomTable(random, goBack && round % 8 == 3);
    const RandomTable systemTable = randomTable(random, goBack && round % 8 == 7);
    const std::vector<TableColumn> truthColumns = truthTable.columns();
    const std::vector<TableColumn> systemColumns = systemTable.columns();
    QuorSequence truth, system;
    ASSERT_EQ(fileTable(truthColumns, truthTable.rows(), truth, "gt"), 0);
    ASSERT_EQ(fileTable(systemColumns, systemTable.rows(), system, "sys"), 0);
    bool inOrder = true;
    for (const QuorSequence* sequence : {&truth, &system}) {
      for (std::size_t f = 1; f < sequence->frames.size(); ++f) {
        inOrder = inOrder && sequence->frames[f].frameNumber > sequence->frames[f - 1].frameNumber;
      }
    }
    const float confidence = static_cast<float>(round % 3) / 4.0f;
    const std::vector<ClassTotals> whole = evaluateClasses(truth, system, filtersAt(confidence));
    for (const std::size_t blockTargets : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 15}) {
      for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(testing::Message()
                     << "blocks of " << blockTargets << ", " << threads << " threads");
        std::array<int, 2> statuses = {-2, -2};
        const auto reading = [&](const std::vector<TableColumn>& columns, std::size_t rows,
                                 int& status) -> BlockReading {
          return [&columns, rows, &status](FrameBlockSink& sink, std::size_t targets) {
            status = fileTableBlocks(columns, rows, sink, "t", nullptr, targets);
          };
        };
        const StreamedTotals streamed =
            evaluateClassesWhileReading(reading(truthColumns, truthTable.rows(), statuses[0]),
                                        reading(systemColumns, systemTable.rows(), statuses[1]),
                                        filtersAt(confidence), threads, blockTargets);
        EXPECT_EQ(statuses[0], 0);
        EXPECT_EQ(statuses[1], 0);
        ASSERT_EQ(streamed.inOrder, inOrder);
        if (!inOrder) continue;
        EXPECT_EQ(streamed.frames, static_cast<int64_t>(truth.frames.size()));
        ASSERT_EQ(streamed.totals.size(), whole.size());
        for (std::size_t c = 0; c < whole.size(); ++c) {
          SCOPED_TRACE(evaluationClasses[c]);
          EXPECT_EQ(streamed.totals[c].gt, whole[c].gt);
          EXPECT_EQ(streamed.totals[c].det, whole[c].det);
          EXPECT_EQ(streamed.totals[c].fn, whole[c].fn);
          EXPECT_EQ(streamed.totals[c].fp, whole[c].fp);
        }
      }
    }
    inOrderRounds += inOrder ? 1 : 0;
  }
  EXPECT_GT(inOrderRounds, 80);
  EXPECT_LT(inOrderRounds, 115);  // the tables that go back are told
}

}  // namespace
