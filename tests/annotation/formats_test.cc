// The readers of other formats: their rounding against integer arithmetic,
// and the one route (a direct read files the same records that convert
// writes) on random files.
#include "annotation/formats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "annotation/format_support.h"
#include "tests/test_support.h"

namespace {

using talmira_test::TempDir;

// `hundredths` / 100 as a decimal text ("-12.05", "7", "0.5").
std::string decimalText(int64_t hundredths) {
  const bool negative = hundredths < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(hundredths) : hundredths;
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 100);
  const uint64_t fraction = magnitude % 100;
  if (fraction != 0) {
    text += fraction % 10 == 0 ? "." + std::to_string(fraction / 10)
                               : (fraction < 10 ? ".0" : ".") + std::to_string(fraction);
  }
  return text;
}

// `hundredths` / 100 rounded to the nearest whole number, halves away from
// zero, in integers alone.
int64_t roundedHundredths(int64_t hundredths) {
  const int64_t magnitude = hundredths < 0 ? -hundredths : hundredths;
  const int64_t rounded = (magnitude + 50) / 100;
  return hundredths < 0 ? -rounded : rounded;
}

TEST(FormatRoundingTest, EdgesRoundHalvesAwayFromZeroExactlyAsDecimalsSay) {
  std::mt19937 random(20);
  // Mostly near halves, where binary fractions would go either way.
  std::uniform_int_distribution<int64_t> value(-200000, 200000);
  for (int k = 0; k < 20000; ++k) {
    const int64_t left = value(random);
    const int64_t width = value(random) / 7;
    formats::Decimal a, b;
    ASSERT_TRUE(formats::parseDecimal(decimalText(left), &a)) << decimalText(left);
    ASSERT_TRUE(formats::parseDecimal(" " + decimalText(width) + "\t", &b));
    ASSERT_EQ(formats::roundToInt32(a), roundedHundredths(left)) << decimalText(left);
    ASSERT_EQ(formats::roundSumToInt32(a, b), roundedHundredths(left + width))
        << decimalText(left) << " + " << decimalText(width);
  }
  // Where a binary sum misses the half: 0.1 + 0.4 is 0.5 as written.
  formats::Decimal a, b;
  ASSERT_TRUE(formats::parseDecimal("0.1", &a));
  ASSERT_TRUE(formats::parseDecimal("0.4", &b));
  EXPECT_EQ(formats::roundSumToInt32(a, b), 1);
  ASSERT_TRUE(formats::parseDecimal("-0.1", &a));
  ASSERT_TRUE(formats::parseDecimal("-0.4", &b));
  EXPECT_EQ(formats::roundSumToInt32(a, b), -1);
  // Exponents, and 32 bits at most.
  ASSERT_TRUE(formats::parseDecimal("2.5e2", &a));
  EXPECT_EQ(formats::roundToInt32(a), 250);
  ASSERT_TRUE(formats::parseDecimal("2147483647.49", &a));
  EXPECT_EQ(formats::roundToInt32(a), 2147483647);
  ASSERT_TRUE(formats::parseDecimal("2147483647.5", &a));
  EXPECT_EQ(formats::roundToInt32(a), std::nullopt);
  ASSERT_TRUE(formats::parseDecimal("-2147483648.5", &a));
  EXPECT_EQ(formats::roundToInt32(a), std::nullopt);
  for (const char* text : {"", "-", ".", "1.2.3", "nan", "inf", "1e", "0x10", "1,5", "1 2"}) {
    EXPECT_FALSE(formats::parseDecimal(text, &a)) << text;
  }
}

TEST(FormatRoundingTest, NormalizedEdgesAreExactFractionsOfTheImage) {
  std::mt19937 random(21);
  std::uniform_int_distribution<int64_t> fraction(0, 100000);  // in 1/100000
  std::uniform_int_distribution<uint32_t> size(1, 4096);
  for (int k = 0; k < 20000; ++k) {
    const int64_t center = fraction(random);
    const int64_t extent = fraction(random) / 3;
    const uint32_t pixels = size(random);
    char centerText[32], extentText[32];
    std::snprintf(centerText, sizeof centerText, "%lld.%05lld",
                  static_cast<long long>(center / 100000), static_cast<long long>(center % 100000));
    std::snprintf(extentText, sizeof extentText, "0.%05lld", static_cast<long long>(extent));
    formats::Decimal c, e;
    ASSERT_TRUE(formats::parseDecimal(centerText, &c));
    ASSERT_TRUE(formats::parseDecimal(extentText, &e));
    for (const int sign : {-1, 1}) {
      // (center + sign extent / 2) pixels = (2 center + sign extent) pixels / 200000.
      const int64_t numerator = (2 * center + sign * extent) * pixels;
      const int64_t magnitude = numerator < 0 ? -numerator : numerator;
      const int64_t rounded = (magnitude + 100000) / 200000;
      ASSERT_EQ(formats::roundEdgeToInt32(c, e, sign, pixels), numerator < 0 ? -rounded : rounded)
          << centerText << " " << extentText << " " << pixels;
    }
  }
}

// A random MOT ground truth: track by track as the benchmark lists them, so
// that frames come back; decimals of two places, some at halves; every class;
// boxes the size test drops; blank lines and CR LF ends.
std::string randomMotFile(std::mt19937& random) {
  std::uniform_int_distribution<int> frames(1, 12);
  std::uniform_int_distribution<int> tracks(0, 9);
  std::uniform_int_distribution<int64_t> position(-5000, 200000);
  std::uniform_int_distribution<int64_t> extent(500, 12000);
  std::uniform_int_distribution<int> label(1, 12);
  std::uniform_int_distribution<int> coin(0, 9);
  std::string text;
  const int trackCount = tracks(random);
  for (int track = 1; track <= trackCount; ++track) {
    const int first = frames(random);
    const int last = first + frames(random) / 2;
    for (int frame = first; frame <= last; ++frame) {
      text += std::to_string(frame) + "," + std::to_string(track) + "," +
              decimalText(position(random)) + "," + decimalText(position(random)) + "," +
              decimalText(extent(random)) + "," + decimalText(extent(random)) + "," +
              (coin(random) == 0 ? "0" : "1") + "," + std::to_string(label(random)) + ",0.75";
      text += coin(random) == 0 ? "\r\n" : "\n";
      if (coin(random) == 0) text += "\n";
    }
  }
  return text;
}

void expectSameSequence(const QuorSequence& a, const QuorSequence& b) {
  ASSERT_EQ(a.frames.size(), b.frames.size());
  for (std::size_t f = 0; f < a.frames.size(); ++f) {
    const QuorFrame& x = a.frames[f];
    const QuorFrame& y = b.frames[f];
    ASSERT_EQ(x.frameNumber, y.frameNumber);
    for (const auto& lists :
         {std::pair{&x.targets, &y.targets}, std::pair{&x.regions, &y.regions}}) {
      ASSERT_EQ(lists.first->size(), lists.second->size());
      for (std::size_t k = 0; k < lists.first->size(); ++k) {
        const QuorTarget& s = *(*lists.first)[k];
        const QuorTarget& t = *(*lists.second)[k];
        EXPECT_EQ(std::tie(s.minX, s.minY, s.maxX, s.maxY, s.classCode, s.markA, s.markB),
                  std::tie(t.minX, t.minY, t.maxX, t.maxY, t.classCode, t.markA, t.markB));
        EXPECT_EQ(s.confidence, t.confidence);
        EXPECT_EQ(s.sideProduct, t.sideProduct);
      }
    }
  }
}

// Reads `path` directly, and through the text convert writes of its records:
// the same sequence and details, and each line of the direct read is the
// input line of the record the converted file has on its own line.
void expectOneRoute(const std::string& path, const AnnotationReadOptions& options) {
  QuorSequence direct;
  ReadDetails directDetails;
  AnnotationReadFailure failure;
  ASSERT_TRUE(readAnnotation(path, options, direct, failure, &directDetails)) << failure.message;
  std::vector<AnnotationRecord> records;
  ASSERT_TRUE(readForeignRecords(path, options, records, failure)) << failure.message;
  QuorSequence converted;
  ReadDetails convertedDetails;
  std::string error;
  ASSERT_EQ(talmira_test::readAnnotationText(annotationText(records), converted, &convertedDetails,
                                             &error),
            0)
      << error;
  expectSameSequence(direct, converted);
  EXPECT_EQ(directDetails.records, convertedDetails.records);
  EXPECT_EQ(directDetails.records, records.size());
  EXPECT_EQ(directDetails.dcfRecords, convertedDetails.dcfRecords);
  EXPECT_EQ(directDetails.droppedBySize, convertedDetails.droppedBySize);
  const auto sameLines = [&](const std::vector<uint64_t>& inputLines,
                             const std::vector<uint64_t>& outputLines) {
    ASSERT_EQ(inputLines.size(), outputLines.size());
    for (std::size_t k = 0; k < inputLines.size(); ++k) {
      EXPECT_EQ(inputLines[k], records.at(outputLines[k] - 2).line);
    }
  };
  sameLines(directDetails.frameLines, convertedDetails.frameLines);
  sameLines(directDetails.allTargetLines, convertedDetails.allTargetLines);
  sameLines(directDetails.allRegionLines, convertedDetails.allRegionLines);
}

TEST(FormatReadingTest, RandomMotFilesReadDirectlyAsTheirConversionReads) {
  TempDir dir;
  std::mt19937 random(22);
  AnnotationReadOptions options;
  options.format = AnnotationFormat::kMot;
  for (int k = 0; k < 200; ++k) {
    SCOPED_TRACE(k);
    const std::string path = dir.write("gt.txt", randomMotFile(random));
    expectOneRoute(path, options);
    // The records themselves: in frame order, each frame's in file order,
    // edges rounded from the decimals as written.
    std::vector<AnnotationRecord> records;
    AnnotationReadFailure failure;
    ASSERT_TRUE(readForeignRecords(path, options, records, failure));
    for (std::size_t r = 1; r < records.size(); ++r) {
      ASSERT_TRUE(records[r - 1].frameNumber < records[r].frameNumber ||
                  (records[r - 1].frameNumber == records[r].frameNumber &&
                   records[r - 1].line < records[r].line));
    }
  }
}

TEST(FormatReadingTest, EveryHandMadeFileReadsDirectlyAsItsConversionReads) {
  const std::string data = TALMIRA_FORMATS_DATA;
  struct Input {
    std::string path;
    AnnotationFormat format;
    AnnotationRole role;
  };
  for (const Input& input : std::vector<Input>{
           {"mot/gt.txt", AnnotationFormat::kMot, AnnotationRole::kGroundTruth},
           {"mot/det.txt", AnnotationFormat::kMot, AnnotationRole::kSystem},
           {"visdrone/gt.txt", AnnotationFormat::kVisDrone, AnnotationRole::kGroundTruth},
           {"uavdt/gt.txt", AnnotationFormat::kUavdt, AnnotationRole::kGroundTruth},
           {"kitti/label.txt", AnnotationFormat::kKitti, AnnotationRole::kGroundTruth},
           {"cvat/annotations.xml", AnnotationFormat::kCvat, AnnotationRole::kGroundTruth},
           {"coco/gt.json", AnnotationFormat::kCoco, AnnotationRole::kGroundTruth},
           {"coco/results.json", AnnotationFormat::kCoco, AnnotationRole::kSystem},
           {"yolo/labels", AnnotationFormat::kYolo, AnnotationRole::kGroundTruth},
       }) {
    SCOPED_TRACE(input.path);
    AnnotationReadOptions options;
    options.format = input.format;
    options.role = input.role;
    options.imageSize = ImageSize{640, 480};
    options.imagesFrom = data + "/coco/gt.json";
    if (input.format == AnnotationFormat::kUavdt)
      options.ignorePath = data + "/uavdt/gt_ignore.txt";
    expectOneRoute(data + "/" + input.path, options);
  }
}

}  // namespace
