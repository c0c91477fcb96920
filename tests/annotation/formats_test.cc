// The readers of other formats: their rounding against integer arithmetic,
// and the one route (a direct read files the same records that convert
// writes) on random files.
#include "annotation/formats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numeric>
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

// A decimal known exactly: units / 10^scale.
struct Exact {
  int64_t units = 0;
  int scale = 0;
};

int64_t powerOfTen(int exponent) {
  int64_t power = 1;
  for (int k = 0; k < exponent; ++k) power *= 10;
  return power;
}

// `value` rounded to a whole number, halves away from zero, in integers.
int64_t rounded(Exact value) {
  const int64_t unit = powerOfTen(value.scale);
  const int64_t magnitude = value.units < 0 ? -value.units : value.units;
  const int64_t whole = (magnitude + unit / 2) / unit;
  return value.units < 0 ? -whole : whole;
}

Exact sum(Exact a, Exact b) {
  const int scale = std::max(a.scale, b.scale);
  return {a.units * powerOfTen(scale - a.scale) + b.units * powerOfTen(scale - b.scale), scale};
}

// The plain text of `value` ("-12.050", "0.5", "7").
std::string plainText(Exact value) {
  const int64_t unit = powerOfTen(value.scale);
  const int64_t magnitude = value.units < 0 ? -value.units : value.units;
  std::string text = std::to_string(magnitude / unit);
  if (value.scale > 0) {
    const std::string fraction = std::to_string(magnitude % unit);
    text +=
        "." + std::string(static_cast<std::size_t>(value.scale) - fraction.size(), '0') + fraction;
  }
  return (value.units < 0 ? "-" : "") + text;
}

// `value` as a MOT file may write it: mostly plainly, sometimes with leading
// or trailing zeros, without the whole part, with a plus, blanks or an
// exponent, or as "-0".
std::string anyText(std::mt19937& random, Exact value) {
  std::string text = plainText(value);
  const bool negative = value.units < 0;
  std::string body = negative ? text.substr(1) : text;
  switch (std::uniform_int_distribution<int>(0, 15)(random)) {
    case 0:
      body = "00" + body;
      break;
    case 1:
      if (body.starts_with("0.")) body = body.substr(1);
      break;
    case 2:
      body += value.scale > 0 ? "00" : ".00";
      break;
    case 3:
      if (value.scale == 0) body += ".";
      break;
    case 4:
      if (!negative) return "+" + body;
      break;
    case 5:
      return " " + text + "\t";
    case 6:
      return text + "e0";
    case 7:
      if (value.units == 0) return "-" + body;
      break;
    default:
      break;
  }
  return (negative ? "-" : "") + body;
}

// A decimal of up to seven places, halves often, up to `limit` in size.
Exact anyExact(std::mt19937& random, int64_t limit) {
  static constexpr int kScales[] = {0, 0, 0, 1, 2, 2, 3, 4, 5, 7};
  const int scale = kScales[std::uniform_int_distribution<int>(0, 9)(random)];
  const int64_t unit = powerOfTen(scale);
  Exact value{std::uniform_int_distribution<int64_t>(-limit * unit, limit * unit)(random), scale};
  if (scale > 0 && std::uniform_int_distribution<int>(0, 2)(random) == 0) {
    value.units = value.units / unit * unit + (value.units < 0 ? -unit / 2 : unit / 2);
  }
  return value;
}

// A column this reader does not read: anything, of any length (the columns
// after a long one may lie anywhere in the line).
std::string anyOtherColumn(std::mt19937& random) {
  static const char* const kTexts[] = {"-1", "1", "0.25", "", "x", "7e"};
  const int pick = std::uniform_int_distribution<int>(0, 7)(random);
  if (pick < 6) return kTexts[pick];
  return std::string(std::uniform_int_distribution<std::size_t>(8, 64)(random), '9');
}

// Random MOT files, read directly, against their records made from the
// values they were written from (a detection's score of -1, none; a negative
// width or height, a box of no area): every column as plain as it can be or
// written otherwise, lines long and short, columns past those read that are
// no numbers, the lines of a ground truth track by track in any frame
// order or a detector's frame by frame; the records filed in frame order,
// each frame's in file order, with the lines they came from. A file with a
// malformed line fails at that line.
TEST(FormatReadingTest, RandomMotFilesReadAsTheValuesTheyWereWrittenFrom) {
  TempDir dir;
  std::mt19937 random(23);
  const auto chance = [&](int in) {
    return std::uniform_int_distribution<int>(0, in - 1)(random) == 0;
  };
  const ClassMap& classes = standardClassMap(AnnotationFormat::kMot);
  for (int k = 0; k < 400; ++k) {
    SCOPED_TRACE(k);
    const bool truth = k % 2 == 0;
    const bool trackByTrack = truth && !chance(4);
    std::string text;
    std::vector<AnnotationRecord> expected;
    uint64_t line = 0;
    uint64_t badLine = 0;
    const auto addLine = [&](int frame) {
      ++line;
      if (chance(12)) {
        text += chance(2) ? "\n" : " \t\n";
        ++line;
      }
      const Exact left = anyExact(random, 3000);
      const Exact top = anyExact(random, 3000);
      const Exact width = anyExact(random, 400);
      const Exact height = anyExact(random, 400);
      const Exact seventh =
          truth ? Exact{static_cast<int64_t>(chance(3) ? 0 : 1) * 5, 1} : anyExact(random, 2);
      const int label = chance(5) ? -1 : std::uniform_int_distribution<int>(1, 12)(random);
      const bool labelled = !chance(6);
      std::string frameText = std::to_string(frame);
      if (chance(6)) frameText = anyText(random, Exact{frame * 100, 2});
      std::string row = frameText + "," + anyOtherColumn(random) + "," + anyText(random, left) +
                        "," + anyText(random, top) + "," + anyText(random, width) + "," +
                        anyText(random, height) + "," + anyText(random, seventh);
      if (labelled) row += "," + (chance(5) ? plainText({label * 10, 1}) : std::to_string(label));
      for (int extra = std::uniform_int_distribution<int>(0, 3)(random); labelled && extra > 0;
           --extra) {
        row += "," + anyOtherColumn(random);
      }
      if (badLine == 0 && chance(300)) {
        badLine = line;
        static const char* const kBad[] = {"1,2,3",
                                           "1,1,x,2,3,4,1,1",
                                           "-3,1,2,3,4,5,1,1",
                                           "2.5,1,2,3,4,5,1,1",
                                           "1,1,2,3,4,5,1,1.5",
                                           "1,1,1.2.3,2,3,4,1,1",
                                           "1,1,2,-,3,4,1,1",
                                           "1,1,2,3,4,5,1,1-",
                                           "1,1,2,3,4,5,.,1",
                                           "1,1,2,3,4,5-2,1,1",
                                           "1,1,2,3,4,1e+,1,1"};
        row = kBad[std::uniform_int_distribution<int>(0, 10)(random)];
      }
      text += row + (chance(5) ? "\r\n" : "\n");
      const ClassMapping* mapping =
          classes.find(std::to_string(label == -1 || !labelled ? 1 : label));
      ASSERT_NE(mapping, nullptr);
      AnnotationRecord r;
      r.frameNumber = static_cast<uint32_t>(frame);
      const auto x1 = static_cast<int32_t>(rounded(left));
      const auto y1 = static_cast<int32_t>(rounded(top));
      // A negative width or height: a box of no area at its left or top.
      const auto x2 = width.units < 0 ? x1 : static_cast<int32_t>(rounded(sum(left, width)));
      const auto y2 = height.units < 0 ? y1 : static_cast<int32_t>(rounded(sum(top, height)));
      r.corners = {x1, y1, x2, y1, x2, y2, x1, y2};
      r.negativeExtent = width.units < 0 || height.units < 0;
      r.type = mapping->type;
      r.markA = mapping->markA;
      r.markB = mapping->markB || (truth && seventh.units == 0);
      r.confidence = 1.0f;
      if (!truth) {
        const std::string plain = plainText(seventh);
        std::from_chars(plain.data(), plain.data() + plain.size(), r.confidence);
        // A score of -1 exactly, however written, is none.
        if (seventh.units == -powerOfTen(seventh.scale)) r.confidence = kNoConfidence;
      }
      r.line = line;
      expected.push_back(r);
    };
    const int frames = std::uniform_int_distribution<int>(1, 30)(random);
    const int objects = std::uniform_int_distribution<int>(0, 6)(random);
    if (trackByTrack) {
      for (int track = 0; track < objects; ++track) {
        std::vector<int> order(static_cast<std::size_t>(frames));
        std::iota(order.begin(), order.end(), 1);
        if (chance(2)) std::shuffle(order.begin(), order.end(), random);
        for (const int frame : order) addLine(frame);
      }
    } else {
      for (int frame = 1; frame <= frames; ++frame) {
        for (int object = 0; object < objects; ++object) addLine(frame);
      }
    }
    const std::string path = dir.write("mot.txt", text);
    AnnotationReadOptions options;
    options.format = AnnotationFormat::kMot;
    options.role = truth ? AnnotationRole::kGroundTruth : AnnotationRole::kSystem;
    QuorSequence direct;
    ReadDetails directDetails;
    AnnotationReadFailure failure;
    const bool read = readAnnotation(path, options, direct, failure, &directDetails);
    if (badLine != 0) {
      EXPECT_FALSE(read);
      EXPECT_TRUE(failure.message.starts_with(path + ":" + std::to_string(badLine) + ": "))
          << failure.message;
      continue;
    }
    ASSERT_TRUE(read) << failure.message;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const AnnotationRecord& a, const AnnotationRecord& b) {
                       return a.frameNumber < b.frameNumber;
                     });
    QuorSequence filed;
    ReadDetails filedDetails;
    std::string error;
    ASSERT_EQ(fileRecords(expected, filed, path, &error, &filedDetails), 0) << error;
    expectSameSequence(direct, filed);
    EXPECT_EQ(directDetails.records, filedDetails.records);
    EXPECT_EQ(directDetails.dcfRecords, filedDetails.dcfRecords);
    EXPECT_EQ(directDetails.droppedBySize, filedDetails.droppedBySize);
    EXPECT_EQ(directDetails.frameLines, filedDetails.frameLines);
    EXPECT_EQ(directDetails.allTargetLines, filedDetails.allTargetLines);
    EXPECT_EQ(directDetails.allRegionLines, filedDetails.allRegionLines);
    EXPECT_EQ(directDetails.negativeExtentLines, filedDetails.negativeExtentLines);
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
