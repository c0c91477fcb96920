// The reader's details against a model of the rules kept line by line while
// a random file is written: which records make frames, boxes and regions,
// which are dropped and why, and on which line each one stands.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "annotation/sequence_reader.h"
#include "tests/test_support.h"

using talmira_test::readAnnotationText;

namespace {

struct ExpectedFrame {
  uint32_t number;
  uint64_t line;
  std::vector<uint64_t> targets, regions;
};

struct Expected {
  uint64_t records = 0, dcf = 0, small = 0;
  std::vector<ReadDetails::UnknownType> unknown;
  std::vector<ExpectedFrame> frames;
  bool headerIsRecord = false;
};

struct RandomFile {
  std::string text;
  Expected expected;
};

RandomFile randomFile(uint32_t seed) {
  std::mt19937 random(seed);
  const auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  Expected e;
  std::vector<std::string> lines;
  e.headerIsRecord = pick(0, 3) == 0;
  lines.push_back(e.headerIsRecord ? "3,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0"
                                   : "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Conf,Text,Id");
  uint32_t frame = static_cast<uint32_t>(pick(0, 3));
  const int count = pick(0, 120);
  for (int k = 0; k < count; ++k) {
    const uint64_t line = lines.size() + 1;
    if (pick(0, 9) == 0) {
      lines.push_back(pick(0, 1) == 0 ? "" : " \t ");
      continue;
    }
    if (pick(0, 3) == 0) frame = static_cast<uint32_t>(pick(0, 4));  // often back to an old number
    static const char* kTypes[] = {"Car", "Person", "DCR", "DCF", "Foo", "", " Bar ", "car"};
    const std::string type = kTypes[pick(0, 7)];
    const bool big = pick(0, 4) != 0;
    const int side = big ? 30 + pick(0, 20) : pick(0, 29);
    lines.push_back(std::to_string(frame) + ",10,10," + std::to_string(10 + side) + ",10," +
                    std::to_string(10 + side) + "," + std::to_string(10 + side) + ",10," +
                    std::to_string(10 + side) + "," + type + ",FALSE,FALSE,0.5,,0");
    ++e.records;
    if (type == "DCF") {
      ++e.dcf;
      continue;
    }
    if (!big) {
      ++e.small;
      continue;
    }
    if (e.frames.empty() || e.frames.back().number != frame)
      e.frames.push_back({frame, line, {}, {}});
    if (type == "Car" || type == "Person") {
      e.frames.back().targets.push_back(line);
    } else if (type == "DCR") {
      e.frames.back().regions.push_back(line);
    } else {
      const std::string name = type.empty() ? "DCO" : type == " Bar " ? "Bar" : type;
      bool seen = false;
      for (auto& u : e.unknown) {
        if (u.name == name) {
          ++u.count;
          seen = true;
        }
      }
      if (!seen) e.unknown.push_back({name, 1, line});
    }
  }
  // Any line end; a lone CR only before a line that is not empty, where it
  // cannot join a following LF into one line end.
  std::string text;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    text += lines[k];
    const bool nextEmpty = k + 1 == lines.size() || lines[k + 1].empty();
    const int end = pick(0, nextEmpty ? 1 : 2);
    if (k + 1 < lines.size() || pick(0, 1) == 0) text += end == 0 ? "\n" : end == 1 ? "\r\n" : "\r";
  }
  return {text, e};
}

std::vector<uint64_t> asVector(std::span<const uint64_t> lines) {
  return std::vector<uint64_t>(lines.begin(), lines.end());
}

TEST(ReadDetailsTest, LinesAndCountsFollowAModelOfTheRules) {
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const RandomFile file = randomFile(seed);
    QuorSequence sequence;
    ReadDetails details;
    ASSERT_EQ(readAnnotationText(file.text, sequence, &details), 0);
    const Expected& e = file.expected;
    EXPECT_EQ(details.records, e.records);
    EXPECT_EQ(details.dcfRecords, e.dcf);
    EXPECT_EQ(details.droppedBySize, e.small);
    EXPECT_EQ(details.headerReadsAsRecord, e.headerIsRecord);
    ASSERT_EQ(details.unknownTypes.size(), e.unknown.size());
    for (std::size_t k = 0; k < e.unknown.size(); ++k) {
      EXPECT_EQ(details.unknownTypes[k].name, e.unknown[k].name);
      EXPECT_EQ(details.unknownTypes[k].count, e.unknown[k].count);
      EXPECT_EQ(details.unknownTypes[k].firstLine, e.unknown[k].firstLine);
    }
    ASSERT_EQ(sequence.frames.size(), e.frames.size());
    ASSERT_EQ(details.frameCount(), e.frames.size());
    for (std::size_t f = 0; f < e.frames.size(); ++f) {
      EXPECT_EQ(sequence.frames[f].frameNumber, e.frames[f].number);
      EXPECT_EQ(details.frameLine(f), e.frames[f].line);
      EXPECT_EQ(asVector(details.targetLines(f)), e.frames[f].targets) << "frame " << f;
      EXPECT_EQ(asVector(details.regionLines(f)), e.frames[f].regions) << "frame " << f;
      EXPECT_EQ(sequence.frames[f].targets.size(), e.frames[f].targets.size());
      EXPECT_EQ(sequence.frames[f].regions.size(), e.frames[f].regions.size());
    }

    // The details change nothing in what is read.
    QuorSequence plain;
    ASSERT_EQ(readAnnotationText(file.text, plain), 0);
    ASSERT_EQ(plain.frames.size(), sequence.frames.size());
    for (std::size_t f = 0; f < plain.frames.size(); ++f) {
      ASSERT_EQ(plain.frames[f].targets.size(), sequence.frames[f].targets.size());
      for (std::size_t t = 0; t < plain.frames[f].targets.size(); ++t) {
        const QuorTarget& a = *plain.frames[f].targets[t];
        const QuorTarget& b = *sequence.frames[f].targets[t];
        EXPECT_TRUE(a.classCode == b.classCode && a.minX == b.minX && a.maxY == b.maxY &&
                    a.confidence == b.confidence);
      }
    }
  }
}

TEST(ReadDetailsTest, AFailureReportsTheSameMessageWithDetails) {
  const std::string text =
      "h\n1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0\n\n1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,x,,"
      "0\n";
  QuorSequence plain, detailed;
  ReadDetails details;
  std::string plainError, detailedError;
  EXPECT_EQ(readAnnotationText(text, plain, nullptr, &plainError), -1);
  EXPECT_EQ(readAnnotationText(text, detailed, &details, &detailedError), -1);
  EXPECT_EQ(detailedError, plainError);
  EXPECT_EQ(detailedError, "text.csv:4: column 13: \"x\" is not a number");
  // What came before the failing line is described.
  EXPECT_EQ(details.records, 1u);
  ASSERT_EQ(details.frameCount(), 1u);
  EXPECT_EQ(asVector(details.targetLines(0)), (std::vector<uint64_t>{2}));
}

TEST(ReadDetailsTest, AHeaderThatFailsToParseSetsNoErrorAndAnEmptyFileHasNoHeader) {
  QuorSequence sequence;
  ReadDetails details;
  std::string error = "untouched";
  EXPECT_EQ(readAnnotationText("1,2,3\n", sequence, &details, &error), 0);
  EXPECT_EQ(error, "untouched");
  EXPECT_FALSE(details.headerReadsAsRecord);
  QuorSequence empty;
  ReadDetails none;
  EXPECT_EQ(readAnnotationText("", empty, &none), 0);
  EXPECT_FALSE(none.headerReadsAsRecord);
  EXPECT_EQ(none.records, 0u);
}

}  // namespace
