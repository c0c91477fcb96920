#include "annotation/sequence_reader.h"

#include <gtest/gtest.h>
#include <stdio.h>  // fmemopen, fopencookie

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

const std::string kHeader = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flagA,flagB,confidence,note,id\n";

// An upright 40 by 40 box (side 40 passes the size test) in `frame`.
std::string box(uint32_t frame, std::string_view type = "Car", std::string_view eol = "\n",
                std::string_view note = "") {
  return std::to_string(frame) + ",0,0,40,0,40,40,0,40," + std::string(type) + ",FALSE,FALSE,0.5," +
         std::string(note) + ",0" + std::string(eol);
}

// Reads `text` through a real FILE*, as the driver's files are read.
int readText(std::string text, QuorSequence& sequence, std::string* error = nullptr) {
  std::FILE* stream = fmemopen(text.data(), text.size(), "r");
  if (stream == nullptr) {
    ADD_FAILURE() << "fmemopen failed";
    return -2;
  }
  return readSequenceFile(stream, sequence, "gt.csv", error);
}

// The frames as "number:targets/regions", e.g. "5:2/0 7:1/0".
std::string layout(const QuorSequence& sequence) {
  std::string text;
  for (const QuorFrame& frame : sequence.frames) {
    if (!text.empty()) text += ' ';
    text += std::to_string(frame.frameNumber) + ':' + std::to_string(frame.targets.size()) + '/' +
            std::to_string(frame.regions.size());
  }
  return text;
}

std::string readLayout(const std::string& text) {
  QuorSequence sequence;
  std::string error;
  if (readText(text, sequence, &error) != 0) return "error: " + error;
  return layout(sequence);
}

TEST(CornerDistanceTest, TakesExactDifferencesAndRoundsToFloat) {
  EXPECT_EQ(cornerDistance(0, 0, 3, 4), 5.0f);
  EXPECT_EQ(cornerDistance(-12, 7, 18, 7), 30.0f);
  // 2^24 + 1 is not a float: the difference rounds to 2^24 before squaring.
  EXPECT_EQ(cornerDistance(0, 0, 16777217, 0), 16777216.0f);
  // 2^32 - 1 overflows 32 bits but not the exact difference; it rounds to 2^32.
  EXPECT_EQ(cornerDistance(std::numeric_limits<int32_t>::min(), 0,
                           std::numeric_limits<int32_t>::max(), 0),
            4294967296.0f);
}

// The size test compares a side's square with one threshold instead of
// taking each side's root: it must agree with the root's comparison for every
// min side and every square, above all at the threshold and around roots that
// round onto the min side.
TEST(CornerDistanceTest, LeastSquareAgreesWithTheRootForEveryMinSide) {
  std::mt19937_64 random(20261211);
  std::vector<double> minSides = {0.0,
                                  1e-300,
                                  0.5,
                                  1.0,
                                  kMinSideLength,
                                  25.0,
                                  30.0,
                                  std::nextafter(25.0, 0.0),
                                  std::nextafter(25.0, 100.0),
                                  1e20,
                                  1.8446744e19,
                                  3.0e38,
                                  1e300};
  std::uniform_real_distribution<double> wide(0.0, 5000.0);
  for (int k = 0; k < 200; ++k) minSides.push_back(wide(random));
  // Min sides just above and below a float root, where the rounding of the
  // root decides.
  std::uniform_int_distribution<uint32_t> side(1, 1 << 20);
  for (int k = 0; k < 200; ++k) {
    const double root = std::sqrt(static_cast<float>(side(random)));
    minSides.push_back(std::nextafter(root, 0.0));
    minSides.push_back(std::nextafter(root, 1e9));
  }
  const auto reaches = [](float square, double minSide) {
    return static_cast<double>(std::sqrt(square)) >= minSide;
  };
  std::uniform_int_distribution<int32_t> coordinate(-70000, 70000);
  for (const double minSide : minSides) {
    const float least = leastSquareReaching(minSide);
    ASSERT_TRUE(reaches(least, minSide) || std::isinf(least)) << minSide;
    if (least > 0.0f && !std::isinf(least)) {
      EXPECT_FALSE(reaches(std::nextafter(least, 0.0f), minSide)) << minSide;
    }
    for (int k = 0; k < 300; ++k) {
      const int32_t xa = coordinate(random), ya = coordinate(random);
      const int32_t xb = coordinate(random) / (1 + k % 5000), yb = coordinate(random) / 3;
      const float square = squaredCornerDistance(xa, ya, xb, yb);
      ASSERT_EQ(square >= least, cornerDistance(xa, ya, xb, yb) >= minSide)
          << minSide << " " << xa << "," << ya << " " << xb << "," << yb;
    }
    // The floats around the threshold itself.
    if (!std::isinf(least)) {
      float square = least;
      for (int k = 0; k < 8; ++k) square = std::nextafter(square, 0.0f);
      for (int k = 0; k < 16; ++k, square = std::nextafter(square, 1e30f)) {
        ASSERT_EQ(square >= least, reaches(square, minSide)) << minSide << " " << square;
      }
    }
  }
  EXPECT_EQ(leastSquareReaching(0.0), 0.0f);
  EXPECT_EQ(leastSquareReaching(25.0), 625.0f);
  EXPECT_TRUE(std::isinf(leastSquareReaching(std::numeric_limits<double>::infinity())));
  EXPECT_TRUE(std::isinf(leastSquareReaching(std::nan(""))));
}

TEST(SequenceReaderTest, EmptyFileAndHeaderOnlyGiveNoFrames) {
  for (const char* text : {"", "header", "header\n", "header\r\n", "header\r", "h\n \t\n\r\n"}) {
    EXPECT_EQ(readLayout(text), "") << text;
  }
}

TEST(SequenceReaderTest, HeaderIsSkippedWholeWhateverItsLength) {
  EXPECT_EQ(readLayout(std::string(250, 'h') + "\n" + box(3)), "3:1/0");
  // Longer than the buffer, ending in CR | LF across a block boundary.
  EXPECT_EQ(readLayout(std::string(3 * kReadBufferSize - 1, ',') + "\r\n" + box(4)), "4:1/0");
}

TEST(SequenceReaderTest, LastRecordIsKeptWithOrWithoutLineEnd) {
  EXPECT_EQ(readLayout(kHeader + box(1) + box(2)), "1:1/0 2:1/0");
  EXPECT_EQ(readLayout(kHeader + box(1) + box(2, "Car", "")), "1:1/0 2:1/0");
}

TEST(SequenceReaderTest, LfCrLfAndLoneCrEachEndALine) {
  EXPECT_EQ(readLayout("h\r\n" + box(1, "Car", "\r") + box(2, "Car", "\r\n") + box(3, "Car", "\n") +
                       box(4, "Car", "")),
            "1:1/0 2:1/0 3:1/0 4:1/0");
  // Lines: 1 header, 2 box, 3 empty (CR LF), 4 box, 5 empty (LF), 6 empty (CR).
  QuorSequence sequence;
  std::string error;
  EXPECT_EQ(
      readText("h\r\n" + box(1, "Car", "\r") + "\r\n" + box(2) + "\n\r1,2\r\n", sequence, &error),
      -1);
  EXPECT_EQ(error, "gt.csv:7: expected 15 columns, found 2");
}

TEST(SequenceReaderTest, BlanksAroundFieldsAndBlankLinesAreSkipped) {
  QuorSequence sequence;
  ASSERT_EQ(
      readText(kHeader + "\n \t\v\f\n  \t" + box(1) +
                   " 2 ,\t0, 0 ,40,0,40 ,40,0,  40 , Car\t, TRUE ,\vTRUE\f, 0.25 , x y , 7 \n",
               sequence),
      0);
  ASSERT_EQ(layout(sequence), "1:1/0 2:1/0");
  const QuorTarget& target = *sequence.frames[1].targets[0];
  EXPECT_EQ(target.name(), "Car");
  EXPECT_TRUE(target.markA);
  EXPECT_TRUE(target.markB);
  EXPECT_EQ(target.confidence, 0.25f);
  EXPECT_EQ(target.maxX, 40);
  EXPECT_EQ(target.maxY, 40);
}

TEST(SequenceReaderTest, RecordsOfNoKnownClassStartFramesButAddNothing) {
  // An empty or blank type reads as "DCO"; like "car" it is no known class.
  EXPECT_EQ(readLayout(kHeader + box(1, "") + box(2, "  ") + box(3, "car") + box(3)),
            "1:0/0 2:0/0 3:1/0");
  const std::string longName(40, 'C');
  EXPECT_EQ(readLayout(kHeader + box(1, longName) + box(1, "Car x") + box(1, "Tractor-Trailor")),
            "1:1/0");
}

TEST(SequenceReaderTest, IgnoredRecordsNeitherStartNorEndFrames) {
  // A DCF record and a record too small to keep, both with new numbers.
  EXPECT_EQ(readLayout(kHeader + box(1) + box(2, "DCF") + "3,0,0,9,0,9,9,0,9,Car,,,1,,\n" + box(1)),
            "1:2/0");
}

TEST(SequenceReaderTest, DcrRecordsBecomeRegionsWhateverFlagsAndConfidence) {
  QuorSequence sequence;
  ASSERT_EQ(readText(kHeader + "1,0,0,40,0,40,40,0,40,DCR,TRUE,TRUE,-7,,\n" + box(1, "DCR") +
                         "1,0,0,29,0,29,29,0,29,DCR,,,1,,\n",
                     sequence),
            0);
  ASSERT_EQ(layout(sequence), "1:0/2");
  const QuorTarget& region = *sequence.frames[0].regions[0];
  EXPECT_EQ(region.name(), "DCR");
  EXPECT_TRUE(region.markA);
  EXPECT_TRUE(region.markB);
  EXPECT_EQ(region.confidence, -7.0f);
}

TEST(SequenceReaderTest, FlagsAreSetOnlyByExactTrue) {
  QuorSequence sequence;
  const std::string longFlag(40, 'T');
  ASSERT_EQ(readText(kHeader + "1,0,0,40,0,40,40,0,40,Car,true,TRUE,1,,\n" +
                         "1,0,0,40,0,40,40,0,40,Car,TRUE," + longFlag + ",1,,\n" +
                         "1,0,0,40,0,40,40,0,40,Car,,True,1,,\n",
                     sequence),
            0);
  ASSERT_EQ(layout(sequence), "1:3/0");
  const auto& targets = sequence.frames[0].targets;
  EXPECT_FALSE(targets[0]->markA);
  EXPECT_TRUE(targets[0]->markB);
  EXPECT_TRUE(targets[1]->markA);
  EXPECT_FALSE(targets[1]->markB);
  EXPECT_FALSE(targets[2]->markA);
  EXPECT_FALSE(targets[2]->markB);
}

TEST(SequenceReaderTest, SizeTestMeasuresTheFourSidesOnly) {
  const auto line = [](std::string_view corners) {
    return kHeader + "1," + std::string(corners) + ",Car,,,1,,\n";
  };
  // Side 1-2 is exactly 30.
  EXPECT_EQ(readLayout(line("0,0,30,0,30,1,0,1")), "1:1/0");
  // A 29 by 29 square: the diagonal (41) is not a side.
  EXPECT_EQ(readLayout(line("0,0,29,0,29,29,0,29")), "");
  // Two corners 30 apart, the other two halfway between: kept when the pair
  // is a side (1-2, 1-4, 3-2, 3-4), dropped when it is a diagonal (1-3, 2-4).
  EXPECT_EQ(readLayout(line("0,0,30,0,15,0,15,0")), "1:1/0");
  EXPECT_EQ(readLayout(line("0,0,15,0,15,0,30,0")), "1:1/0");
  EXPECT_EQ(readLayout(line("15,0,30,0,0,0,15,0")), "1:1/0");
  EXPECT_EQ(readLayout(line("15,0,15,0,0,0,30,0")), "1:1/0");
  EXPECT_EQ(readLayout(line("0,0,15,0,30,0,15,0")), "");
  EXPECT_EQ(readLayout(line("15,0,0,0,15,0,30,0")), "");
  // Negative coordinates count with their sign: -12 to 18 is 30.
  EXPECT_EQ(readLayout(line("-12,0,18,0,18,1,-12,1")), "1:1/0");
}

TEST(SequenceReaderTest, FrameNumbersComingBackStartNewFrames) {
  EXPECT_EQ(readLayout(kHeader + box(5) + box(5) + box(7) + box(5)), "5:2/0 7:1/0 5:1/0");
}

TEST(SequenceReaderTest, NumbersWrapToThirtyTwoBitTwosComplement) {
  QuorSequence sequence;
  // Frame numbers 4294967295 and -1 are the same 32 bits: one frame.
  ASSERT_EQ(readText(kHeader + "4294967295,-12,+7,40,0,40,40,0,40,Car,,,1,,\n" +
                         "-1,4294967295,-4294967295,00000000000040,0,40,40,0,40,Car,,,1,,\n",
                     sequence),
            0);
  ASSERT_EQ(layout(sequence), "4294967295:2/0");
  // Corners (-12, 7), (40, 0), (40, 40), (0, 40).
  const QuorTarget& first = *sequence.frames[0].targets[0];
  EXPECT_EQ(first.minX, -12);
  EXPECT_EQ(first.minY, 0);
  EXPECT_EQ(first.maxX, 40);
  EXPECT_EQ(first.maxY, 40);
  // Side 1-2 is sqrt(52^2 + 7^2), side 2-3 is 40.
  EXPECT_EQ(first.sideProduct, std::sqrt(2753.0) * 40.0);
  // Corners (-1, 1), (40, 0), (40, 40), (0, 40).
  const QuorTarget& second = *sequence.frames[0].targets[1];
  EXPECT_EQ(second.minX, -1);
  EXPECT_EQ(second.minY, 0);
  EXPECT_EQ(second.sideProduct, std::sqrt(1682.0) * 40.0);
}

// Random texts as every x coordinate, checked against a plain reading: blanks
// trimmed, an optional sign, digits only, at most 32 bits. A note of random
// length moves the later commas across the reader's blocks.
TEST(SequenceReaderTest, RandomCoordinateTextsReadLikeADigitLoop) {
  const unsigned seed = 20240607;
  std::mt19937 random(seed);
  const std::string_view alphabet = "01234567890123456789 \t+-a/:\x80";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (unsigned length = random() % 13; length > 0; --length) {
      text += alphabet[random() % alphabet.size()];
    }
    std::string_view body = text;
    while (!body.empty() && (body.front() == ' ' || body.front() == '\t')) body.remove_prefix(1);
    while (!body.empty() && (body.back() == ' ' || body.back() == '\t')) body.remove_suffix(1);
    const bool negative = !body.empty() && body[0] == '-';
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
    const bool digitsOnly = !body.empty() && body.find_first_not_of("0123456789") == body.npos;
    const uint64_t magnitude = digitsOnly ? std::stoull(std::string(body)) : 0;
    const bool valid = digitsOnly && magnitude <= 4294967295u;

    QuorSequence sequence;
    std::string error;
    const std::string note(random() % 100, 'n');
    const int status = readText(kHeader + "1," + text + ",0," + text + ",0," + text + ",40," +
                                    text + ",40,Car,,,1," + note + ",\n",
                                sequence, &error);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ": \"" +
                 text + "\"");
    if (valid) {
      ASSERT_EQ(status, 0);
      const auto bits = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
      EXPECT_EQ(sequence.frames.at(0).targets.at(0)->minX, static_cast<int32_t>(bits));
      EXPECT_EQ(sequence.frames.at(0).targets.at(0)->maxX, static_cast<int32_t>(bits));
    } else {
      ASSERT_EQ(status, -1);
      EXPECT_EQ(error.rfind("gt.csv:2: column 2: ", 0), 0u) << error;
    }
  }
}

// Records near the usual shape, one field or the line's length changed at a
// time, read one by one and checked against a plain reading of the format:
// the usual record takes a quicker parse than the rest, and both must read
// every record alike, to the bit, and refuse the same ones.
TEST(SequenceReaderTest, RecordsNearTheUsualShapeReadLikeAPlainReading) {
  const unsigned seed = 7141;
  std::mt19937 random(seed);
  const auto pick = [&](std::initializer_list<const char*> choices) {
    return std::string(*(choices.begin() + random() % choices.size()));
  };
  const auto digits = [&](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  const auto trim = [](std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
  };
  const auto letters = [&](std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('a' + random() % 26);
    return text;
  };
  for (int round = 0; round < 10000; ++round) {
    std::vector<std::string> columns = {"7",     "100",   "200",    "160",  "200",
                                        "160",   "260",   "100",    "260",  "Car",
                                        "FALSE", "FALSE", "0.8582", "note", "0"};
    std::size_t cut = std::string::npos;  // the line's length, when it is cut short
    switch (random() % 12) {
      case 0:  // a number of any length from 0 to 11 digits, maybe with a sign or blanks
        columns[random() % 9] =
            pick({"", "+", "-", " ", "\t"}) + digits(random() % 12) + pick({"", "", " ", "x"});
        break;
      case 1:  // a corner of eight or nine digits, or the largest 32-bit numbers
        columns[1 + random() % 8] = random() % 2 ? digits(8 + random() % 2)
                                                 : pick({"4294967295", "4294967296", "2147483648",
                                                         "-2147483648", "99999999", "00000040"});
        break;
      case 2:
        columns[9] = pick({"Car", "Bus", "DCR", "DCF", "Person", " Car", "Car ", "\tBoat", "",
                           "car", "Tractor-Trailor", "X"});
        break;
      case 3:
        columns[10 + random() % 2] =
            pick({"TRUE", "FALSE", "true", " TRUE", "TRUE ", "", "FALS", "TRUEX", "1"});
        break;
      case 4: {  // a confidence: short decimals with the point anywhere, and the rest
        std::string text = digits(1 + random() % 9);
        const std::size_t point = random() % (text.size() + 2);
        if (point <= text.size()) text.insert(point, ".");
        columns[12] = random() % 5 == 0 ? pick({"-", "+", " ", ".", "1e3", "..5", "0.5.", "nan",
                                                "inf", "0x1p-2", "1.5 ", "", "5."}) +
                                              text
                                        : text;
        break;
      }
      case 5:  // the note moves the last commas across 64 and 128 bytes
        columns[13] = std::string(random() % 140, 'n');
        break;
      case 6:  // a column more or fewer
        if (random() % 2) {
          columns.insert(columns.begin() + random() % columns.size(), "1");
        } else {
          columns.erase(columns.begin() + random() % columns.size());
        }
        break;
      case 7:  // the line cut anywhere: a column or more missing, or one cut short
        cut = 1 + random() % 71;
        break;
      case 8:  // a type of any length, across the 16 bytes the type is looked for in
        columns[9] = random() % 3 == 0 ? pick({"Tractor-Trailor", "Tractor-Trailor ", "Helicopter"})
                                       : letters(1 + random() % 20);
        break;
      case 9:  // long numbers: the ninth comma at or past the 64th byte
        for (std::size_t i = 0; i < 9; ++i) columns[i] = digits(5 + random() % 4);
        break;
      case 10:  // the last two columns of any length, with a comma more or none
        columns[13] = letters(random() % 24) + pick({"", "", ",", ",x,"});
        columns[14] = letters(random() % 24);
        break;
      default:  // the whole line as usual, numbers of any size
        for (std::size_t i = 0; i < 9; ++i) columns[i] = digits(1 + random() % 7);
        break;
    }
    std::string line;
    for (const std::string& column : columns) line += column + ',';
    line.pop_back();
    if (cut < line.size()) line.resize(cut);
    // The columns as the line has them, commas added or lost.
    columns.clear();
    for (std::size_t from = 0;;) {
      const std::size_t comma = line.find(',', from);
      columns.push_back(line.substr(from, comma - from));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ": " + line);

    // The plain reading.
    bool valid = columns.size() == 15;
    std::array<uint32_t, 9> numbers{};
    for (std::size_t i = 0; valid && i < 9; ++i) {
      std::string_view body = trim(columns[i]);
      const bool negative = !body.empty() && body[0] == '-';
      if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
      valid = !body.empty() && body.find_first_not_of("0123456789") == body.npos;
      while (body.size() > 1 && body[0] == '0') body.remove_prefix(1);  // zeros lead freely
      valid = valid && body.size() <= 10 && std::stoull(std::string(body)) <= 4294967295u;
      if (valid) {
        const auto magnitude = static_cast<uint32_t>(std::stoull(std::string(body)));
        numbers[i] = negative ? 0u - magnitude : magnitude;
      }
    }
    float confidence = 0.0f;
    if (valid) {
      const std::string text(trim(columns[12]));
      char* end = nullptr;
      confidence = std::strtof(text.c_str(), &end);
      valid = !text.empty() && end == text.c_str() + text.size() && !std::isnan(confidence) &&
              text[0] != ' ';
    }

    QuorSequence sequence;
    std::string error;
    const int status = readText(kHeader + line + "\n", sequence, &error);
    ASSERT_EQ(status, valid ? 0 : -1) << error;
    if (!valid) continue;
    const std::string type = trim(columns[9]).empty() ? "DCO" : std::string(trim(columns[9]));
    std::array<int32_t, 8> c{};
    for (std::size_t i = 0; i < 8; ++i) c[i] = static_cast<int32_t>(numbers[i + 1]);
    const bool kept = type != "DCF" && fixedClassCode(type) >= 0 &&
                      (cornerDistance(c[0], c[1], c[2], c[3]) >= kMinSideLength ||
                       cornerDistance(c[0], c[1], c[6], c[7]) >= kMinSideLength ||
                       cornerDistance(c[4], c[5], c[2], c[3]) >= kMinSideLength ||
                       cornerDistance(c[4], c[5], c[6], c[7]) >= kMinSideLength);
    std::size_t boxes = 0;
    for (const QuorFrame& frame : sequence.frames) {
      EXPECT_EQ(frame.frameNumber, numbers[0]);
      for (const auto* list : {&frame.targets, &frame.regions}) {
        for (const QuorTarget* target : *list) {
          ++boxes;
          const QuorTarget expected =
              makeTarget(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], type,
                         trim(columns[11]) == "TRUE", confidence, trim(columns[10]) == "TRUE");
          EXPECT_EQ(target->name(), type);
          EXPECT_EQ(std::memcmp(target, &expected, sizeof expected), 0);
          EXPECT_EQ(list == &frame.regions, type == "DCR");
        }
      }
    }
    EXPECT_EQ(boxes, kept ? 1u : 0u);
  }
}

// Records read one after the other, the usual one with its line end found
// on the way, against each line read alone in a file of its own: lines end
// at LF, CR LF or a lone CR wherever they come, inside a column too.
TEST(SequenceReaderTest, LinesReadTogetherReadAsEachLineAlone) {
  const unsigned seed = 9001;
  std::mt19937 random(seed);
  const auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  const std::array<std::string_view, 3> ends = {"\n", "\r\n", "\r"};
  // Each read box as its frame number and its bytes.
  using Read = std::vector<std::pair<uint32_t, std::string>>;
  const auto boxesOf = [](const QuorSequence& sequence, Read& out) {
    for (const QuorFrame& frame : sequence.frames) {
      for (const auto* list : {&frame.targets, &frame.regions}) {
        for (const QuorTarget* target : *list) {
          out.emplace_back(frame.frameNumber,
                           std::string(reinterpret_cast<const char*>(target), sizeof *target));
        }
      }
    }
  };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
    std::string text = "h" + std::string(ends[below(3)]);
    const std::size_t count = 1 + below(40);
    for (std::size_t k = 0; k < count; ++k) {
      std::string line = std::to_string(1 + k / 3) + "," + std::to_string(below(100)) + ",0," +
                         std::to_string(40 + below(9)) + ",0,40,40,0,40," +
                         std::string(below(4) == 0 ? "Person" : "Car") + "," +
                         (below(2) ? "TRUE" : "FALSE") + ",FALSE,0." + std::to_string(below(999)) +
                         "," + std::string(below(30), 'n') + "," + std::to_string(below(10));
      if (below(5) == 0) {  // a line end, a comma or a blank somewhere in it
        const std::array<std::string_view, 5> extra = {"\n", "\r", "\r\n", ",", " "};
        line.insert(below(line.size() + 1), extra[below(extra.size())]);
      }
      if (below(10) == 0) line = std::string(below(3), ' ');  // a blank or empty line
      text += line + std::string(ends[below(3)]);
    }
    // The lines by the rule, then each line alone.
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < text.size();) {
      const std::size_t end = text.find_first_of("\r\n", from);
      lines.push_back(text.substr(from, end - from));
      if (end == std::string::npos) break;
      from = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
    Read expected;
    std::string expectedError;
    for (std::size_t k = 1; k < lines.size() && expectedError.empty(); ++k) {
      QuorSequence alone;
      std::string error;
      if (readText("h\n" + lines[k] + "\n", alone, &error) != 0) {
        ASSERT_EQ(error.rfind("gt.csv:2: ", 0), 0u) << error;
        expectedError = "gt.csv:" + std::to_string(k + 1) + ": " + error.substr(10);
      }
      boxesOf(alone, expected);
    }
    QuorSequence together;
    std::string error;
    EXPECT_EQ(readText(text, together, &error), expectedError.empty() ? 0 : -1);
    EXPECT_EQ(error, expectedError);
    Read got;
    boxesOf(together, got);
    EXPECT_EQ(got, expected);
  }
}

TEST(SequenceReaderTest, MalformedRecordsAreRefusedWithLineAndColumn) {
  const std::string good = "1,0,0,40,0,40,40,0,40,Car,,,1,,";
  struct Case {
    std::string record;
    std::string message;
  };
  const Case cases[] = {
      {"1,0,0,40,0,40,40,0,40,Car,,,1,\n", "gt.csv:3: expected 15 columns, found 14"},
      {good + ",\n", "gt.csv:3: expected 15 columns, found 16"},
      {"1,12a,0,40,0,40,40,0,40,Car,,,1,,\n",
       "gt.csv:3: column 2: \"12a\" is not a 32-bit whole number"},
      {"1,0,0,40,0,40,40,0,,Car,,,1,,\n", "gt.csv:3: column 9: \"\" is not a 32-bit whole number"},
      {" \t,0,0,40,0,40,40,0,40,Car,,,1,,\n",
       "gt.csv:3: column 1: \"\" is not a 32-bit whole number"},
      {"1,0,4294967296,40,0,40,40,0,40,Car,,,1,,\n",
       "gt.csv:3: column 3: \"4294967296\" is not a 32-bit whole number"},
      {"1,0,0,-4294967296,0,40,40,0,40,Car,,,1,,\n",
       "gt.csv:3: column 4: \"-4294967296\" is not a 32-bit whole number"},
      {"1,0,0,40,+-1,40,40,0,40,Car,,,1,,\n",
       "gt.csv:3: column 5: \"+-1\" is not a 32-bit whole number"},
      {"1,0,0,40,0,4 0,40,0,40,Car,,,1,,\n",
       "gt.csv:3: column 6: \"4 0\" is not a 32-bit whole number"},
      {"1,0,0,40,0,40,-,0,40,Car,,,1,,\n",
       "gt.csv:3: column 7: \"-\" is not a 32-bit whole number"},
      {"1,0,0,40,0,40,40,0,40,Car,,,nan,,\n", "gt.csv:3: column 13: \"nan\" is not a number"},
      {"1,0,0,40,0,40,40,0,40,Car,,,-NaN(1),,\n",
       "gt.csv:3: column 13: \"-NaN(1)\" is not a number"},
      {"1,0,0,40,0,40,40,0,40,Car,,, ,,\n", "gt.csv:3: column 13: \"\" is not a number"},
      {"1,0,0,40,0,40,40,0,40,Car,,,1e,,\n", "gt.csv:3: column 13: \"1e\" is not a number"},
      {"1,0,0,40,0,40,40,0,40,Car,,,+-1,,\n", "gt.csv:3: column 13: \"+-1\" is not a number"},
      {"1,0,0,40,0,40,40,0,40,Car,,,0x,,\n", "gt.csv:3: column 13: \"0x\" is not a number"},
      // A malformed record is refused even when it would be ignored.
      {"1,0,0,40,0,40,40,0,40,DCF,,,?,,\n", "gt.csv:3: column 13: \"?\" is not a number"},
      // The last line, cut off.
      {"1,0,0,40", "gt.csv:3: expected 15 columns, found 4"},
  };
  for (const Case& c : cases) {
    QuorSequence sequence;
    std::string error;
    // A good record follows each bad one but the last.
    const std::string after = c.record.ends_with('\n') ? good : "";
    EXPECT_EQ(readText(kHeader + good + "\n" + c.record + after, sequence, &error), -1) << c.record;
    EXPECT_EQ(error, c.message);
  }
}

TEST(SequenceReaderTest, ErrorsQuoteOffendingTextSafely) {
  QuorSequence sequence;
  std::string error;
  EXPECT_EQ(readText(kHeader + "1,\x01\xff\"\\,0,40,0,40,40,0,40,Car,,,1,,\n", sequence, &error),
            -1);
  EXPECT_EQ(error, R"(gt.csv:2: column 2: "\x01\xFF\"\\" is not a 32-bit whole number)");
  const std::string digits = "0123456789";
  EXPECT_EQ(readText(kHeader + "1,0,0,40,0,40,40,0,40,Car,,," + digits + digits + digits + digits +
                         "x,,\n",
                     sequence, &error),
            -1);
  EXPECT_EQ(error, "gt.csv:2: column 13: \"" + digits + digits + digits + digits +
                       "...\" is not a number");
}

TEST(SequenceReaderTest, ConfidenceReadsAsStrtofWouldReadIt) {
  for (const char* text : {"0.9", "+0.5", "-2", ".5", "5.", "1E3", "1e50", "-1e50", "1e-50",
                           "1e-40", "inf", "-Infinity", "0x1p-2", "+0X1.8p1"}) {
    QuorSequence sequence;
    ASSERT_EQ(readText(kHeader + "1,0,0,40,0,40,40,0,40,Car,,," + text + ",,\n", sequence), 0)
        << text;
    EXPECT_EQ(sequence.frames[0].targets[0]->confidence, std::strtof(text, nullptr)) << text;
  }
  // Just above the midpoint of 1 and the next float: through double it would
  // round to the midpoint and then, ties to even, down to 1.
  QuorSequence sequence;
  ASSERT_EQ(readText(kHeader + "1,0,0,40,0,40,40,0,40,Car,,,1.00000005960464477550,,\n", sequence),
            0);
  EXPECT_EQ(sequence.frames[0].targets[0]->confidence, std::nextafter(1.0f, 2.0f));
}

// Each file puts a line end exactly on the first block boundary (CR | LF
// split across it for CR LF) and a record across the second.
TEST(SequenceReaderTest, ReadsAcrossBlockBoundaries) {
  for (const std::string_view eol : {"\n", "\r\n", "\r"}) {
    std::string text = "h" + std::string(eol);
    uint32_t frame = 1;
    const auto padTo = [&](std::size_t end) {
      while (text.size() + 200 < end) text += box(frame++, "Car", eol);
      text += box(frame, "Car", eol,
                  std::string(end - text.size() - box(frame, "Car", eol).size(), 'n'));
      ++frame;
    };
    padTo(kReadBufferSize + (eol.size() - 1));
    padTo(2 * kReadBufferSize + 20);
    padTo(3 * kReadBufferSize + kReadBufferSize / 3);
    text += "x";  // line `frame + 1` (the header is line 1)
    QuorSequence sequence;
    std::string error;
    EXPECT_EQ(readText(text, sequence, &error), -1);
    EXPECT_EQ(error, "gt.csv:" + std::to_string(frame + 1) + ": expected 15 columns, found 1");
    ASSERT_EQ(sequence.frames.size(), frame - 1);
    uint32_t inOrder = 0;
    while (inOrder < sequence.frames.size() &&
           sequence.frames[inOrder].frameNumber == inOrder + 1 &&
           sequence.frames[inOrder].targets.size() == 1) {
      ++inOrder;
    }
    EXPECT_EQ(inOrder, frame - 1);
  }
}

TEST(SequenceReaderTest, MillionCharacterLinesAreRead) {
  const std::string million(1000000, 'a');
  QuorSequence sequence;
  std::string error;
  EXPECT_EQ(readText(kHeader + box(1, "Car", "\n", million) + box(2, million) + million + "\n",
                     sequence, &error),
            -1);
  EXPECT_EQ(error, "gt.csv:4: expected 15 columns, found 1");
  EXPECT_EQ(layout(sequence), "1:1/0 2:0/0");
}

// A stream over `data` that notes its closing and can fail every read.
struct TestStream {
  std::string data;
  bool failReads = false;
  bool closed = false;
  std::size_t position = 0;

  std::FILE* open() {
    const cookie_io_functions_t functions = {
        [](void* cookie, char* buffer, std::size_t size) -> ssize_t {
          auto& self = *static_cast<TestStream*>(cookie);
          if (self.failReads) {
            errno = EIO;
            return -1;
          }
          const std::size_t count = std::min(size, self.data.size() - self.position);
          std::memcpy(buffer, self.data.data() + self.position, count);
          self.position += count;
          return static_cast<ssize_t>(count);
        },
        nullptr, nullptr,
        [](void* cookie) {
          static_cast<TestStream*>(cookie)->closed = true;
          return 0;
        }};
    return fopencookie(this, "r", functions);
  }
};

TEST(SequenceReaderTest, StreamIsClosedInEveryCase) {
  TestStream good{kHeader + box(1)};
  TestStream malformed{kHeader + "1,2\n" + box(1)};
  TestStream failing{kHeader + box(1), true};
  for (TestStream* stream : {&good, &malformed, &failing}) {
    QuorSequence sequence;
    std::string error;
    const int status = readSequenceFile(stream->open(), sequence, "s.csv", &error);
    EXPECT_EQ(status, stream == &good ? 0 : -1);
    EXPECT_TRUE(stream->closed);
  }
  QuorSequence sequence;
  std::string error;
  EXPECT_EQ(readSequenceFile(failing.open(), sequence, "s.csv", &error), -1);
  EXPECT_EQ(error, std::string("s.csv: cannot read: ") + std::strerror(EIO));
}

TEST(SequenceReaderTest, DirectoryCannotBeRead) {
  const std::string path = std::filesystem::temp_directory_path().string();
  std::FILE* stream = std::fopen(path.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  QuorSequence sequence;
  std::string error;
  EXPECT_EQ(readSequenceFile(stream, sequence, path, &error), -1);
  EXPECT_EQ(error, path + ": cannot read: " + std::strerror(EISDIR));
}

}  // namespace

// Short decimals take a quicker road than other numbers; both must round as
// strtof does.
TEST(SequenceReaderTest, ShortDecimalsRoundLikeStrtof) {
  const unsigned seed = 99;
  std::mt19937 random(seed);
  std::string text = kHeader;
  std::vector<std::string> confidences;
  for (int i = 0; i < 20000; ++i) {
    std::string digits = std::to_string(random() % 100000000);
    digits.resize(1 + random() % std::min<std::size_t>(digits.size(), 8));
    const std::size_t point = random() % (digits.size() + 2);
    if (point <= digits.size()) digits.insert(point, ".");
    if (random() % 4 == 0) digits.insert(0, random() % 2 ? "-" : "+");
    confidences.push_back(digits);
    text +=
        "1,0,0,40,0,40,40,0,40,Car," + std::string(i % 2 ? "FALSE,TRUE," : ",,") + digits + ",,\n";
  }
  QuorSequence sequence;
  ASSERT_EQ(readText(text, sequence), 0);
  const auto& targets = sequence.frames.at(0).targets;
  ASSERT_EQ(targets.size(), confidences.size());
  for (std::size_t i = 0; i < confidences.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << ": " << confidences[i]);
    EXPECT_EQ(targets[i]->confidence, std::strtof(confidences[i].c_str(), nullptr));
  }
}

namespace {

// Every record readRecordsOf() or readRecordsOfFrames() hands over, as
// "line:frame:corners:type:confidence".
std::vector<std::string> recordsTaken(std::string text, const std::vector<uint32_t>* frames,
                                      int* status) {
  std::vector<std::string> taken;
  std::FILE* stream = fmemopen(text.data(), text.size(), "r");
  if (stream == nullptr) {
    ADD_FAILURE() << "fmemopen failed";
    return taken;
  }
  const auto take = [&](const AnnotationRecord& record) {
    std::string row = std::to_string(record.line) + ':' + std::to_string(record.frameNumber);
    for (const int32_t c : record.corners) row += ',' + std::to_string(c);
    row += ':' + std::string(record.type) + ':' + std::to_string(record.confidence);
    taken.push_back(row);
    return true;
  };
  *status = frames != nullptr ? readRecordsOfFrames(stream, "gt.csv", *frames, take)
                              : readRecordsOf(stream, "gt.csv", take);
  return taken;
}

}  // namespace

// Reading only some frames' records hands over, of those frames, exactly the
// records a whole reading hands over, and nothing a whole reading does not, on their lines,
// whatever the first column looks like: blanks, signs (a minus wraps), leading zeros, more digits
// than a plain column holds and blank lines all go to the full reading.
TEST(SequenceReaderTest, ReadingSomeFramesTakesTheirRecordsOfAWholeReading) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 random(seed);
    std::string text = kHeader;
    for (int i = 0; i < 300; ++i) {
      const uint32_t frame = random() % 12;
      std::string first = std::to_string(frame);
      switch (random() % 8) {
        case 0:
          first = " " + first + " ";
          break;
        case 1:
          first = "+" + first;
          break;
        case 2:
          first = "000" + first;
          break;
        case 3:
          first = "-" + first;  // wraps to a frame far beyond those asked for
          break;
        case 4:
          first = "0000000000" + first;  // more digits than a plain column has
          break;
        default:
          break;
      }
      if (random() % 10 == 0) text += random() % 2 ? "\n" : "  \t\n";
      const std::string type = random() % 7 == 0 ? "Thing" : random() % 9 == 0 ? "DCR" : "Car";
      text += first + "," + std::to_string(random() % 50) + ",0,40,0,40,40,0,40," + type +
              ",FALSE,FALSE,0." + std::to_string(random() % 10) + ",,0\n";
    }
    std::vector<uint32_t> frames;
    for (uint32_t frame = 0; frame < 12; ++frame) {
      if (random() % 3 == 0) frames.push_back(frame);
    }
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    int wholeStatus = -2;
    int someStatus = -2;
    const std::vector<std::string> whole = recordsTaken(text, nullptr, &wholeStatus);
    const std::vector<std::string> some = recordsTaken(text, &frames, &someStatus);
    ASSERT_EQ(wholeStatus, 0);
    ASSERT_EQ(someStatus, 0);
    // A line whose first column is not plain digits is read whole and handed
    // over whatever its frame: the caller tests each record's frame.
    const auto ofFramesAskedFor = [&](const std::vector<std::string>& rows) {
      std::vector<std::string> kept;
      for (const std::string& row : rows) {
        const std::size_t colon = row.find(':');
        const auto frame = static_cast<uint32_t>(std::stoul(row.substr(colon + 1)));
        if (std::binary_search(frames.begin(), frames.end(), frame)) kept.push_back(row);
      }
      return kept;
    };
    EXPECT_EQ(ofFramesAskedFor(some), ofFramesAskedFor(whole));
    EXPECT_TRUE(std::all_of(some.begin(), some.end(), [&](const std::string& row) {
      return std::find(whole.begin(), whole.end(), row) != whole.end();
    }));
    EXPECT_LT(some.size(), whole.size());
  }
}

// A malformed line of a frame asked for is refused as a whole reading
// refuses it.
TEST(SequenceReaderTest, ReadingSomeFramesRefusesTheirMalformedLines) {
  std::string text = kHeader + box(1) + "2,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,0.5,,\n" + box(3) +
                     "3,0,x,40,0,40,40,0,40,Car,FALSE,FALSE,0.5,,0\n";
  std::string error;
  std::FILE* stream = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  const std::vector<uint32_t> frames = {3};
  std::size_t taken = 0;
  EXPECT_EQ(readRecordsOfFrames(
                stream, "gt.csv", frames,
                [&](const AnnotationRecord&) {
                  ++taken;
                  return true;
                },
                &error),
            -1);
  EXPECT_EQ(taken, 1u);
  EXPECT_NE(error.find("gt.csv:5:"), std::string::npos) << error;
}

namespace {

// A file's lines as the reader splits them (at LF, CR LF or a lone CR):
// where each starts, by line number (the header being line 1; entry 0 unused).
std::vector<uint64_t> lineStarts(const std::string& text) {
  std::vector<uint64_t> starts = {0};
  std::size_t at = 0;
  while (at < text.size()) {
    starts.push_back(at);
    const std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) break;
    at = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
  return starts;
}

// A file of frames whose numbers mostly grow, its lines ended every way,
// with blank lines, lines only the general parse reads, records of a size
// or type that are dropped and of any frame number, and `records` records.
std::string oddFile(std::mt19937& random, int records) {
  static constexpr const char* kEnds[] = {"\n", "\n", "\n", "\r\n", "\r"};
  std::string text = kHeader;
  uint32_t frame = 1;
  for (int i = 0; i < records; ++i) {
    if (random() % 4 == 0) frame += 1 + random() % 3;
    const std::string end = kEnds[random() % 5];
    switch (random() % 12) {
      case 0:
        text += random() % 2 ? end : " \t" + end;
        break;
      case 1:  // dropped by the size test, of any frame
        text += std::to_string(random() % 60) + ",0,0,5,0,5,5,0,5,Car,FALSE,FALSE,1,,0" + end;
        break;
      case 2:  // dropped, of any frame
        text += std::to_string(random() % 60) + ",0,0,40,0,40,40,0,40,DCF,FALSE,FALSE,1,,0" + end;
        break;
      case 3:  // read by the general parse
        text += " " + std::to_string(frame) + " ,0,0,40,0,40,40,0,40, Car ,FALSE,FALSE,1e0,," + end;
        break;
      default:
        text += std::to_string(frame) + "," + std::to_string(random() % 90) + ",0,40,0,40,40,0," +
                std::to_string(40 + random() % 9) + (random() % 8 == 0 ? ",Thing" : ",Person") +
                ",FALSE,TRUE,0." + std::to_string(random() % 100) + ",a note,7" + end;
        break;
    }
  }
  return text;
}

std::string recordRow(const AnnotationRecord& record) {
  std::string row = std::to_string(record.line) + ':' + std::to_string(record.frameNumber);
  for (const int32_t c : record.corners) row += ',' + std::to_string(c);
  return row + ':' + std::string(record.type) + ':' + std::to_string(record.confidence) +
         (record.markA ? ":A" : ":-") + (record.markB ? "B" : "-");
}

}  // namespace

// Each frame knows the byte its first line starts at, as a split of the
// text of its own finds it, read whole or in blocks, with the reader's
// buffer refilled many times (the long file) and lines ending every way.
TEST(SequenceReaderTest, FramesKnowWhereTheirFirstLineStarts) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const std::string text = oddFile(random, seed == 1 ? 40000 : 400);
    if (seed == 1) {
      ASSERT_GT(text.size(), kReadBufferSize);
    }
    const std::vector<uint64_t> starts = lineStarts(text);
    QuorSequence whole;
    std::string error;
    ASSERT_EQ(readText(text, whole, &error), 0) << error;
    ASSERT_GT(whole.frames.size(), 10u);
    for (const QuorFrame& frame : whole.frames) {
      ASSERT_LT(frame.firstLine, starts.size());
      EXPECT_EQ(frame.firstByte, starts[frame.firstLine]) << "line " << frame.firstLine;
    }
    struct Keeper : FrameBlockSink {
      std::vector<std::pair<uint64_t, uint64_t>> frames;
      bool take(std::unique_ptr<QuorSequence> block) override {
        for (const QuorFrame& frame : block->frames)
          frames.emplace_back(frame.firstLine, frame.firstByte);
        return true;
      }
    } keeper;
    std::string copy = text;
    std::FILE* stream = fmemopen(copy.data(), copy.size(), "r");
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(readSequenceBlocks(stream, keeper, "gt.csv", &error, 64), 0) << error;
    ASSERT_EQ(keeper.frames.size(), whole.frames.size());
    for (std::size_t at = 0; at < whole.frames.size(); ++at) {
      EXPECT_EQ(keeper.frames[at].first, whole.frames[at].firstLine);
      EXPECT_EQ(keeper.frames[at].second, whole.frames[at].firstByte);
    }
  }
}

// Runs of records read from where they start hand over what a whole reading
// hands over from that line on, numbered the same, up to the record that
// ends each run (handed over too) or the end of the file: runs near each
// other, far apart (beyond the buffer), overlapping, and at the last line.
TEST(SequenceReaderTest, RunsOfRecordsAreThoseOfAWholeReading) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed + 100);
    std::string text = oddFile(random, seed <= 2 ? 40000 : 500);
    const std::vector<uint64_t> starts = lineStarts(text);
    std::vector<AnnotationRecord> records;  // the whole reading, type texts dropped
    std::vector<std::string> rows;
    {
      std::string copy = text;
      ASSERT_EQ(readRecordsOf(fmemopen(copy.data(), copy.size(), "r"), "gt.csv",
                              [&](const AnnotationRecord& record) {
                                rows.push_back(recordRow(record));
                                records.push_back(record);
                                return true;
                              }),
                0);
    }
    // Runs from random records, in file order, some taking only their first.
    std::vector<std::size_t> firsts;
    for (std::size_t at = 0; at < records.size(); ++at) {
      if (random() % (records.size() / 30 + 1) == 0) firsts.push_back(at);
    }
    firsts.push_back(records.size() - 1);
    std::vector<RecordRun> runs;
    std::vector<std::size_t> lengths;
    for (const std::size_t at : firsts) {
      runs.push_back({starts[records[at].line], records[at].line});
      lengths.push_back(random() % 3 == 0 ? 0 : random() % 40);
    }
    std::vector<std::string> expected;
    for (std::size_t run = 0; run < runs.size(); ++run) {
      for (std::size_t k = 0; k <= lengths[run] && firsts[run] + k < rows.size(); ++k) {
        expected.push_back(std::to_string(run) + "/" + rows[firsts[run] + k]);
      }
    }
    std::vector<std::string> got;
    std::vector<std::size_t> taken(runs.size(), 0);
    std::string error;
    ASSERT_EQ(readRecordRuns(
                  fmemopen(text.data(), text.size(), "r"), "gt.csv", runs,
                  [&](std::size_t run, const AnnotationRecord& record) {
                    got.push_back(std::to_string(run) + "/" + recordRow(record));
                    return taken[run]++ == lengths[run] ? RunStep::kRunEnds : RunStep::kGoOn;
                  },
                  &error),
              0)
        << error;
    EXPECT_EQ(got, expected);

    // Told to stop, the reading hands over nothing more.
    std::size_t calls = 0;
    ASSERT_EQ(readRecordRuns(fmemopen(text.data(), text.size(), "r"), "gt.csv", runs,
                             [&](std::size_t, const AnnotationRecord&) {
                               return ++calls == 3 ? RunStep::kStop : RunStep::kGoOn;
                             }),
              0);
    EXPECT_EQ(calls, 3u);
  }
}

// A malformed line within a run is refused on its line, as a whole reading
// refuses it; one outside every run is not looked at.
TEST(SequenceReaderTest, RunsRefuseOnlyTheirOwnMalformedLines) {
  const std::string bad = "3,0,x,40,0,40,40,0,40,Car,FALSE,FALSE,0.5,,0\n";
  std::string text = kHeader + box(1) + box(2) + bad + box(4) + box(5) + "\r\n" + bad + box(6);
  const std::vector<uint64_t> starts = lineStarts(text);
  const auto goOn = [](std::size_t, const AnnotationRecord&) { return RunStep::kGoOn; };
  const auto oneEach = [](std::size_t, const AnnotationRecord& record) {
    return record.line == 2 || record.line == 5 ? RunStep::kGoOn : RunStep::kRunEnds;
  };
  std::string error;
  // Frame 1 up to frame 2's line, then from frame 4's on: line 4 and line 8
  // lie beyond each run's end.
  const std::vector<RecordRun> around = {{starts[2], 2}, {starts[5], 5}};
  EXPECT_EQ(
      readRecordRuns(fmemopen(text.data(), text.size(), "r"), "gt.csv", around, oneEach, &error), 0)
      << error;
  const std::vector<RecordRun> into = {{starts[5], 5}};
  EXPECT_EQ(readRecordRuns(fmemopen(text.data(), text.size(), "r"), "gt.csv", into, goOn, &error),
            -1);
  QuorSequence whole;
  std::string wholeError;
  std::string tail = kHeader + box(1) + box(2) + box(3) + box(4) + box(5) + "\r\n" + bad;
  ASSERT_EQ(readText(tail, whole, &wholeError), -1);
  EXPECT_EQ(error, wholeError);
  EXPECT_NE(error.find("gt.csv:8:"), std::string::npos) << error;
}
