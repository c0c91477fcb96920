// The plain road of a MOT line (readPlainMotLine()) against the detection
// reader's own reading of the same line (MotLineReader): random ground-truth
// and detection lines with every variety of column the files hold (flags,
// classes of every kind and none, visibilities, world coordinates, boxes of
// no area or of negative extent, long decimals, blanks, exponents, frames
// and classes with a point, edges beyond 32 bits), under the class maps a
// command may use. A line the plain road takes must give the reader's record
// and the reader's failure; the plain lines themselves must be taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "annotation/format_support.h"
#include "annotation/formats.h"
#include "annotation/mot_reader.h"
#include "annotation/track_reader.h"

namespace {

using formats::PlainMotLine;

// A column's text, and whether it is plain: a short decimal that every
// reader reads as the same number, as readPlainMotLine() takes.
struct Column {
  std::string text;
  bool plain = true;
};

std::string digits(std::mt19937& rng, int count) {
  std::string out;
  for (int k = 0; k < count; ++k) out += static_cast<char>('0' + rng() % 10);
  return out;
}

// A number of about `magnitude`: whole, or with up to 17 digits in all, now
// and then negative or zero; or, once in a while, written as no plain
// decimal is (blanks, a plus, an exponent, a point at an end, too many
// digits, no number at all).
Column number(std::mt19937& rng, int magnitude, bool mayBeNegative) {
  const std::string whole = std::to_string(rng() % static_cast<uint32_t>(magnitude));
  const std::string sign = mayBeNegative && rng() % 10 == 0 ? "-" : "";
  const uint32_t kind = rng() % 60;
  if (kind >= 40) return {sign + whole};
  if (kind >= 20) {
    // As a tracker prints a double: 16 or 17 digits in all.
    const int fraction = 17 - static_cast<int>(whole.size()) - static_cast<int>(rng() % 2);
    return {sign + whole + "." + digits(rng, std::max(fraction, 1))};
  }
  switch (kind) {
    case 0:
      return {" " + whole, false};
    case 1:
      return {whole + " ", false};
    case 2:
      return {"+" + whole, false};
    case 3:
      return {whole + "e0", false};
    case 4:
      return {"1.5E1", false};
    case 5:
      return {whole + ".", false};
    case 6:
      return {"." + digits(rng, 2), false};
    case 7:
      return {whole + digits(rng, 18), false};  // more digits than a plain decimal has
    case 8:
      return {"x", false};
    case 9:
      return {"", false};
    case 10:
      return {sign + "0"};
    case 11:
      return {sign + "0.0"};
    case 12:
      return {"00" + whole};
    case 13:
      return {sign + whole + ".5"};  // a half: rounded away from zero
    case 14:
      return {sign + whole + "." + digits(rng, 1 + static_cast<int>(rng() % 6))};
    default:
      return {sign + whole};
  }
}

// Column 8: a class (MOT's, one no map knows, none as -1), a number that is
// no class (a world coordinate), or none at all.
Column label(std::mt19937& rng) {
  static const std::array<const char*, 12> kClasses = {"1",  "-1", "2", "7",  "8",  "12",
                                                       "13", "0",  "3", "99", "-5", "-0"};
  switch (rng() % 10) {
    case 0:
      return {"2.0", false};
    case 1:
      return {"4.4852", false};
    case 2:
      return {" 1", false};
    default:
      return {kClasses[rng() % kClasses.size()]};
  }
}

struct Line {
  std::string text;
  bool plain = true;  // every column the plain road reads is plain
};

Line line(std::mt19937& rng, bool truth) {
  std::vector<Column> columns;
  // The frame: a whole number as a rule; with a point, negative or beyond
  // 32 bits now and then.
  switch (rng() % 20) {
    case 0:
      columns.push_back({"3.0", false});
      break;
    case 1:
      columns.push_back({"-2", false});
      break;
    case 2:
      columns.push_back({"99999999999", false});
      break;
    default:
      columns.push_back({std::to_string(rng() % 3000)});
  }
  columns.push_back({std::to_string(rng() % 50)});         // the identity, which this reader skips
  columns.push_back(number(rng, 2000, true));              // left
  columns.push_back(number(rng, 2000, true));              // top
  columns.push_back(number(rng, 300, true));               // width: negative ones have no area
  columns.push_back(number(rng, 600, true));               // height
  if (rng() % 30 == 0) columns[2] = {"2147483000", true};  // beyond 32 bits once the width added
  if (truth) {
    // The consider flag: 0 flags the box.
    static const std::array<const char*, 5> kFlags = {"1", "0", "0.0", "1.0", "-0"};
    columns.push_back({kFlags[rng() % kFlags.size()]});
  } else {
    switch (rng() % 6) {
      case 0:
        columns.push_back({"-1"});
        break;
      case 1:
        columns.push_back({"-1.00"});
        break;
      default:
        columns.push_back(number(rng, 2, true));
    }
  }
  // What follows: MOT16's class and visibility, a tracker's -1s, MOT15's
  // world coordinates, or nothing.
  switch (rng() % 6) {
    case 0:
      break;
    case 1:
      columns.push_back(label(rng));
      break;
    case 2:
      columns.push_back(label(rng));
      columns.push_back({"0." + digits(rng, 6)});
      break;
    case 3:
      columns.push_back({"-1"});
      columns.push_back({"-1"});
      columns.push_back({"-1"});
      break;
    case 4:
      columns.push_back(label(rng));
      columns.push_back({"-1"});
      columns.push_back({"-1"});
      break;
    default:
      columns.push_back(label(rng));
      columns.push_back({"1"});
      columns.push_back({"x"});  // beyond what is read
  }
  Line out;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (k > 0) out.text += ',';
    out.text += columns[k].text;
    if (k != 1 && k < 8) out.plain = out.plain && columns[k].plain;
  }
  if (rng() % 40 == 0) {
    out.text += ',';  // an empty last column
    out.plain = out.plain && columns.size() >= 8;
  }
  // An edge near the limit of 32 bits may not fit once rounded.
  out.plain = out.plain && columns[2].text != "2147483000";
  return out;
}

// What the two roads made of a line.
struct Made {
  std::vector<AnnotationRecord> records;
  AnnotationReadFailure failure;
};

auto fieldsOf(const AnnotationRecord& r) {
  return std::make_tuple(r.frameNumber, r.corners, std::string(r.type), r.markA, r.markB,
                         r.negativeExtent, r.confidence, r.line);
}

std::shared_ptr<const ClassMap> ownMap() {
  auto map = std::make_shared<ClassMap>();
  map->add("1", "Person");
  map->add("2", "Person", false, true);  // a person not asked for
  map->add("7", "DCR");                  // a region that covers what it overlaps
  map->add("8", "Car", true, false);
  return map;
}

TEST(PlainMotLine, MakesTheRecordTheReaderMakes) {
  struct Setting {
    std::string name;
    std::shared_ptr<const ClassMap> classes;
    bool ownClasses;
    bool dropUnknown;
  };
  const std::vector<Setting> settings = {
      {"standard map", nullptr, false, false},
      {"own classes", nullptr, true, false},
      {"own classes, unknown dropped", nullptr, true, true},
      {"a map of its own", ownMap(), false, true},
      {"a map of its own, unknown refused", ownMap(), false, false},
  };
  std::mt19937 rng(3);
  for (const bool truth : {true, false}) {
    for (const Setting& setting : settings) {
      SCOPED_TRACE(std::string(truth ? "ground truth, " : "detections, ") + setting.name);
      AnnotationReadOptions options;
      options.format = AnnotationFormat::kMot;
      options.role = truth ? AnnotationRole::kGroundTruth : AnnotationRole::kSystem;
      options.classes = setting.classes;
      options.ownClasses = setting.ownClasses;
      options.dropUnknownLabels = setting.dropUnknown;
      Made byReader;
      Made byPlain;
      // Made anew after a failure, as a reading stops there.
      std::unique_ptr<formats::RecordMaker> readerMaker;
      std::unique_ptr<formats::MotLineReader> reader;
      std::unique_ptr<formats::RecordMaker> plainMaker;
      const auto renew = [&] {
        byReader = Made{};
        byPlain = Made{};
        readerMaker = std::make_unique<formats::RecordMaker>("t.txt", options, byReader.records,
                                                             byReader.failure);
        reader = std::make_unique<formats::MotLineReader>(*readerMaker);
        plainMaker = std::make_unique<formats::RecordMaker>("t.txt", options, byPlain.records,
                                                            byPlain.failure);
      };
      renew();
      int taken = 0;
      int refused = 0;
      int records = 0;
      for (uint64_t number = 1; number <= 4000; ++number) {
        const Line made = line(rng, truth);
        SCOPED_TRACE(made.text);
        // The readers read up to kLinePadding bytes past a line's end.
        const std::string padded = made.text + std::string(formats::kLinePadding, '\0');
        const std::string_view text(padded.data(), made.text.size());
        float score = 0.0f;
        if (!truth) {
          const std::size_t sixth = [&] {
            std::size_t at = 0;
            for (int k = 0; k < 6 && at != std::string::npos; ++k) at = made.text.find(',', at + 1);
            return at;
          }();
          const std::size_t end = made.text.find(',', sixth + 1);
          formats::parseConfidenceText(made.text.substr(sixth + 1, end - sixth - 1), &score);
        }
        const bool read = reader->read(text, number);
        const PlainMotLine plain = formats::readPlainMotLine(*plainMaker, text, number, score);
        if (made.plain) {
          EXPECT_NE(plain, PlainMotLine::kNotPlain);
        }
        if (plain != PlainMotLine::kNotPlain) {
          ++taken;
          EXPECT_EQ(plain == PlainMotLine::kRead, read) << byReader.failure.message;
          EXPECT_EQ(byPlain.failure.message, byReader.failure.message);
          EXPECT_EQ(byPlain.failure.warnings, byReader.failure.warnings);
          ASSERT_EQ(byPlain.records.size(), byReader.records.size());
          for (std::size_t k = 0; k < byPlain.records.size(); ++k) {
            EXPECT_EQ(fieldsOf(byPlain.records[k]), fieldsOf(byReader.records[k]));
          }
          if (plain == PlainMotLine::kFailed) ++refused;
          records += static_cast<int>(byPlain.records.size());
        }
        byReader.records.clear();
        byPlain.records.clear();
        if (!read || plain == PlainMotLine::kFailed || !byReader.failure.warnings.empty()) renew();
      }
      // Most lines are plain; some make records, some are refused (unless
      // unknown classes are dropped).
      EXPECT_GT(taken, 1000);
      EXPECT_GT(records, 500);
      if (!setting.dropUnknown) {
        EXPECT_GT(refused, 0);
      }
    }
  }
}

}  // namespace

namespace {

// Everything of a track box, its doubles by their bits (-0 is not 0 here).
auto trackFieldsOf(const tracking::TrackBox& box) {
  return std::make_tuple(std::bit_cast<uint64_t>(box.left), std::bit_cast<uint64_t>(box.top),
                         std::bit_cast<uint64_t>(box.right), std::bit_cast<uint64_t>(box.bottom),
                         box.id, std::bit_cast<uint32_t>(box.confidence), box.label, box.considered,
                         box.truncation, box.occlusion, box.line);
}

// How one reader took a line: its box and frame, or its failure.
struct TrackRead {
  bool failed = false;
  std::string message;
  uint32_t frame = 0;
  tracking::TrackBox box;
};

TrackRead readTrackLine(tracking::TrackLineReader& reader, std::string_view text, uint64_t number,
                        const formats::PlainColumns* columns, int* taken) {
  TrackRead out;
  if (columns != nullptr && reader.readPlain(*columns, number, &out.box, &out.frame)) {
    ++*taken;
    return out;
  }
  try {
    out.box = reader.read(text, number, &out.frame);
  } catch (const tracking::TrackReadError& error) {
    out.failed = true;
    out.message = error.what();
  }
  return out;
}

std::string finishOf(tracking::TrackLineReader& reader) {
  try {
    return "layout " + std::to_string(static_cast<int>(reader.finish()));
  } catch (const tracking::TrackReadError& error) {
    return error.what();
  }
}

}  // namespace

// The track reader's road for lines read once as plain columns against its
// reading of their text, line by line and at the end (where the layout is
// told from every line's columns): the same box to the bit, the same
// failure, the same layout. Files are short so that their ends come often,
// with lines of every kind mixed in.
TEST(PlainMotLine, TrackReaderTakesTheBoxItReads) {
  std::mt19937 rng(11);
  for (const bool truth : {true, false}) {
    SCOPED_TRACE(truth ? "ground truth" : "detections");
    const tracking::TrackReadRequest request{
        "t.txt", tracking::TrackLayout::kAutomatic,
        truth ? AnnotationRole::kGroundTruth : AnnotationRole::kSystem};
    int taken = 0;
    int files = 0;
    for (int file = 0; file < 3000; ++file) {
      tracking::TrackLineReader byText(request);
      tracking::TrackLineReader byColumns(request);
      bool failed = false;
      for (uint64_t number = 1; number <= 4 && !failed; ++number) {
        Line made = line(rng, truth);
        // Identities of other kinds now and then; the frame stays as made.
        const std::size_t comma = made.text.find(',');
        const std::size_t next = made.text.find(',', comma + 1);
        static const std::array<const char*, 6> kIds = {"-3",  "7.0", "-0", "99999999999999999",
                                                        "1e2", " 4"};
        if (rng() % 8 == 0) {
          made.text.replace(comma + 1, next - comma - 1, kIds[rng() % kIds.size()]);
        }
        SCOPED_TRACE(made.text);
        const std::string padded = made.text + std::string(formats::kLinePadding, '\0');
        const std::string_view text(padded.data(), made.text.size());
        formats::PlainColumns columns;
        formats::readPlainColumns(text, &columns);
        const TrackRead expected = readTrackLine(byText, text, number, nullptr, &taken);
        const TrackRead got = readTrackLine(byColumns, text, number, &columns, &taken);
        EXPECT_EQ(got.failed, expected.failed);
        EXPECT_EQ(got.message, expected.message);
        if (!expected.failed && !got.failed) {
          EXPECT_EQ(got.frame, expected.frame);
          EXPECT_EQ(trackFieldsOf(got.box), trackFieldsOf(expected.box));
        }
        failed = expected.failed || got.failed;
      }
      if (!failed) {
        ++files;
        EXPECT_EQ(finishOf(byColumns), finishOf(byText));
      }
    }
    // Most lines go the plain road, and many files are read to their end.
    EXPECT_GT(taken, 800);
    EXPECT_GT(files, 100);
  }
}
