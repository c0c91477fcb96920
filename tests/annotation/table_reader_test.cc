// A table read straight from its columns against the file of the same
// values read by the file reader: on random adversarial tables (every kind
// of column, numbers beyond 32 bits, confidences between two floats, NaN,
// blanks, texts no line can hold), the same sequence to the bit, the same
// details and the same refusal, message included.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "annotation/sequence_reader.h"
#include "tests/test_support.h"

namespace {

// A column and the values behind it.
struct HeldColumn {
  TableColumn::Kind kind = TableColumn::Kind::kText;
  std::vector<int64_t> wholes;  // kWhole values, or kText codes
  std::vector<double> doubles;
  std::vector<float> singles;
  std::vector<std::string> texts;
  // kText codes narrower than 8 bytes: the same codes as `wholes`.
  std::size_t codeBytes = 8;
  std::vector<int8_t> codes1;
  std::vector<int16_t> codes2;
  std::vector<int32_t> codes4;

  void narrowCodes(std::size_t bytes) {
    codeBytes = bytes;
    codes1.assign(wholes.begin(), wholes.end());
    codes2.assign(wholes.begin(), wholes.end());
    codes4.assign(wholes.begin(), wholes.end());
  }

  TableColumn view() const {
    TableColumn column;
    column.kind = kind;
    switch (kind) {
      case TableColumn::Kind::kDouble:
        column.values = doubles.data();
        break;
      case TableColumn::Kind::kSingle:
        column.values = singles.data();
        break;
      default:
        column.values = codeBytes == 1   ? static_cast<const void*>(codes1.data())
                        : codeBytes == 2 ? static_cast<const void*>(codes2.data())
                        : codeBytes == 4 ? static_cast<const void*>(codes4.data())
                                         : static_cast<const void*>(wholes.data());
    }
    column.texts = texts;
    column.codeBytes = codeBytes;
    return column;
  }

  // The cell as a file holds it: the value's shortest text.
  std::string cell(std::size_t row) const {
    char text[64];
    const auto written = [&](auto value) {
      return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
    };
    switch (kind) {
      case TableColumn::Kind::kWhole:
        return written(wholes[row]);
      case TableColumn::Kind::kDouble:
        return written(doubles[row]);
      case TableColumn::Kind::kSingle:
        return written(singles[row]);
      case TableColumn::Kind::kText:
        break;
    }
    return wholes[row] < 0 ? std::string() : texts[static_cast<std::size_t>(wholes[row])];
  }
};

struct Table {
  std::vector<HeldColumn> columns;
  std::size_t rows = 0;
};

// Confidences where reading through double would round twice, and the
// values float cannot hold.
double hardConfidence(std::mt19937& random) {
  std::uniform_int_distribution<int> pick(0, 9);
  const float f = std::uniform_real_distribution<float>(-2.0f, 2.0f)(random);
  const float g = std::nextafter(f, 3.0f);
  const double middle = (static_cast<double>(f) + g) / 2;
  switch (pick(random)) {
    case 0:
      return middle;
    case 1:
      return std::nextafter(middle, 10.0);
    case 2:
      return std::nextafter(middle, -10.0);
    case 3:
      return std::numeric_limits<double>::quiet_NaN();
    case 4:
      return pick(random) < 5 ? std::numeric_limits<double>::infinity() : -0.0;
    case 5:
      return 1e-42 * pick(random);  // below float's normal range
    case 6:
      return 4e38;  // beyond float's range
    default:
      return std::round(f * 10000) / 10000;
  }
}

// Keeps every block a reading hands over.
struct BlockCollector : FrameBlockSink {
  bool take(std::unique_ptr<QuorSequence> block) override {
    blocks.push_back(std::move(block));
    return true;
  }
  std::vector<std::unique_ptr<QuorSequence>> blocks;
};

Table randomTable(uint32_t seed) {
  std::mt19937 random(seed);
  const auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  Table table;
  table.rows = static_cast<std::size_t>(pick(0, 60));
  table.columns.resize(13);
  static const std::vector<std::string> kNumberTexts = {
      "12", " 40 ", "-3", "+7", "4294967295", "4294967296", "1.5", "", "x", "007"};
  static const std::vector<std::string> kTypes = {"Car", "Person", " Car ", "DCR", "DCF",  "Foo",
                                                  "",    "car",    "Bus",   "a,b", "Truck"};
  static const std::vector<std::string> kFlags = {"TRUE", "FALSE", " TRUE ", "true", "", "1"};
  static const std::vector<std::string> kConfidences = {"0.5", " .25 ", "1e-3", "0x1p-2", "nan",
                                                        "inf", "-0",    "",     "abc",    "1e50"};
  const bool rare = pick(0, 3) == 0;  // a table with bad values, not just odd ones
  for (std::size_t c = 0; c < 13; ++c) {
    HeldColumn& column = table.columns[c];
    const bool number = c < 9;
    const bool confidence = c == 12;
    const int kind = pick(0, 9);
    if ((number || confidence) && kind < 7) {
      column.kind = TableColumn::Kind::kWhole;
    } else if (confidence && kind == 7) {
      column.kind = TableColumn::Kind::kDouble;
    } else if (confidence && kind == 8) {
      column.kind = TableColumn::Kind::kSingle;
    } else {
      column.kind = TableColumn::Kind::kText;
      column.texts = number ? kNumberTexts : confidence ? kConfidences : c == 9 ? kTypes : kFlags;
      if (!rare) {
        // Texts that read: drop the malformed and unwritable ones.
        std::erase_if(column.texts, [&](const std::string& t) {
          return t.find(',') != t.npos ||
                 (number && (t == "x" || t == "" || t == "1.5" || t == "4294967296")) ||
                 (confidence && (t == "abc" || t == "" || t == "nan"));
        });
      }
      if (pick(0, 5) == 0) column.texts.push_back("line\nend");
      if (!rare) std::erase(column.texts, "line\nend");
    }
    int32_t frame = pick(0, 3);
    for (std::size_t row = 0; row < table.rows; ++row) {
      if (c == 0 && pick(0, 3) == 0) frame = pick(0, 5);
      switch (column.kind) {
        case TableColumn::Kind::kWhole: {
          int64_t value = c == 0 ? frame : pick(-5, 200);
          if (rare && pick(0, 40) == 0) {
            value = pick(0, 1) ? int64_t{1} << 32 : std::numeric_limits<int64_t>::min();
          } else if (pick(0, 30) == 0) {
            value = -static_cast<int64_t>(std::numeric_limits<uint32_t>::max());
          }
          if (confidence) value = pick(0, 20) == 0 ? (int64_t{1} << 40) + 1 : pick(-2, 3);
          column.wholes.push_back(value);
          break;
        }
        case TableColumn::Kind::kDouble: {
          double value = hardConfidence(random);
          if (!rare && std::isnan(value)) value = 0.5;
          column.doubles.push_back(value);
          break;
        }
        case TableColumn::Kind::kSingle: {
          auto value = static_cast<float>(hardConfidence(random));
          if (!rare && std::isnan(value)) value = 0.25f;
          column.singles.push_back(value);
          break;
        }
        case TableColumn::Kind::kText:
          // An empty cell (-1) is malformed in a number's column.
          column.wholes.push_back(pick(rare || !(number || confidence) ? -1 : 0,
                                       static_cast<int>(column.texts.size()) - 1));
          break;
      }
    }
    // Codes as narrow as a boolean array's or a categorical's.
    if (column.kind == TableColumn::Kind::kText) {
      column.narrowCodes(std::array<std::size_t, 4>{1, 2, 4, 8}[pick(0, 3)]);
    }
  }
  return table;
}

// The file of the table, as far as a line can hold its rows; the row that
// cannot be written (a text with a comma or a line end) and its column.
struct Written {
  std::string text;
  std::size_t badRow = 0;
  std::size_t badColumn = 0;  // 0: every row written
};

Written writeTable(const Table& table) {
  Written out;
  out.text = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,text,number\n";
  for (std::size_t row = 0; row < table.rows; ++row) {
    std::string line;
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
      const std::string cell = table.columns[c].cell(row);
      if (cell.find_first_of(",\r\n") != std::string::npos) {
        out.badRow = row;
        out.badColumn = c + 1;
        return out;
      }
      line += cell + ',';
    }
    out.text += line + ",\n";
  }
  return out;
}

// The frames of a reading, confidences by their bits.
std::string describeFrames(const QuorSequence& sequence) {
  std::string text;
  for (const QuorFrame& frame : sequence.frames) {
    text += "frame " + std::to_string(frame.frameNumber) + " line " +
            std::to_string(frame.firstLine) + "\n";
    for (const auto* list : {&frame.targets, &frame.regions}) {
      for (const QuorTarget* t : *list) {
        uint32_t bits = 0;
        std::memcpy(&bits, &t->confidence, sizeof bits);
        text += ' ' + std::to_string(t->minX) + ' ' + std::to_string(t->minY) + ' ' +
                std::to_string(t->maxX) + ' ' + std::to_string(t->maxY) + ' ' + t->className() +
                ' ' + std::to_string(t->markA) + std::to_string(t->markB) + ' ' +
                std::to_string(bits) + ' ' + std::to_string(t->sideProduct) + '\n';
      }
      text += " |\n";
    }
  }
  return text;
}

// Everything a reading gives.
std::string describe(const QuorSequence& sequence, const ReadDetails& details) {
  std::string text = describeFrames(sequence);
  text += "records " + std::to_string(details.records) + " dcf " +
          std::to_string(details.dcfRecords) + " small " + std::to_string(details.droppedBySize) +
          " header " + std::to_string(details.headerReadsAsRecord) + "\n";
  for (const auto& unknown : details.unknownTypes) {
    text += "unknown " + unknown.name + ' ' + std::to_string(unknown.count) + ' ' +
            std::to_string(unknown.firstLine) + '\n';
  }
  for (std::size_t f = 0; f < details.frameCount(); ++f) {
    text += "lines";
    for (const uint64_t line : details.targetLines(f)) text += ' ' + std::to_string(line);
    text += " /";
    for (const uint64_t line : details.regionLines(f)) text += ' ' + std::to_string(line);
    text += '\n';
  }
  return text;
}

TEST(TableReaderTest, RandomTablesReadAsTheFilesOfTheirValues) {
  int refused = 0;
  int unwritable = 0;
  int boxes = 0;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Table table = randomTable(seed);
    const Written written = writeTable(table);

    QuorSequence fromText;
    ReadDetails textDetails;
    std::string textError;
    int textStatus =
        talmira_test::readAnnotationText(written.text, fromText, &textDetails, &textError);
    if (textStatus == 0 && written.badColumn != 0) {
      textStatus = -1;
      textError = "text.csv:" + std::to_string(written.badRow + 2) + ": column " +
                  std::to_string(written.badColumn) +
                  ": holds a comma or a line end, which no record can hold";
      ++unwritable;
    }

    std::vector<TableColumn> columns;
    for (const HeldColumn& column : table.columns) columns.push_back(column.view());
    QuorSequence fromTable;
    ReadDetails tableDetails;
    std::string tableError;
    const int tableStatus =
        fileTable(columns, table.rows, fromTable, "text.csv", &tableError, &tableDetails);

    ASSERT_EQ(tableStatus, textStatus) << tableError << " / " << textError;
    EXPECT_EQ(tableError, textError);
    EXPECT_EQ(describe(fromTable, tableDetails), describe(fromText, textDetails));

    // Handed over in blocks: the same frames, whole, and the same refusal.
    const std::size_t blockTargets = 1 + seed % 9;
    BlockCollector blocks;
    std::string blockError;
    const int blockStatus =
        fileTableBlocks(columns, table.rows, blocks, "text.csv", &blockError, blockTargets);
    ASSERT_EQ(blockStatus, textStatus) << blockError;
    EXPECT_EQ(blockError, textError);
    std::string blockFrames;
    for (const auto& block : blocks.blocks) {
      blockFrames += describeFrames(*block);
      // Never an empty block; a block ends at the first frame's end past its
      // size (a table has at most 60 rows).
      EXPECT_FALSE(block->frames.empty());
      EXPECT_LT(block->targetStore.size(), blockTargets + 60);
    }
    EXPECT_EQ(blockFrames, describeFrames(fromText));
    if (textStatus != 0) ++refused;
    for (const QuorFrame& frame : fromText.frames) boxes += static_cast<int>(frame.targets.size());
  }
  // The tables reach both outcomes and the line no file can hold.
  EXPECT_GT(refused, 300);
  EXPECT_LT(refused, 2000);
  EXPECT_GT(unwritable, 30);
  EXPECT_GT(boxes, 10000) << refused << " refused, " << unwritable << " unwritable";
}

// The confidences a DataFrame holds (pandas reads a file's into doubles):
// short decimals, doubles of every size, floats, and the doubles halfway
// between two floats and next to those, where the text decides.
TEST(TableReaderTest, DoubleConfidencesReadAsTheirShortestTextDoes) {
  std::mt19937_64 random(11);
  std::vector<double> values;
  for (int k = 0; k < 60000; ++k) {
    const float f = std::uniform_real_distribution<float>(-3.0f, 3.0f)(random);
    const float g = std::nextafter(f, 4.0f);
    const double middle = (static_cast<double>(f) + g) / 2;
    const int digits = static_cast<int>(random() % 9);
    double scaled = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    scaled = std::round(scaled * std::pow(10.0, digits)) / std::pow(10.0, digits);
    uint64_t bits = random();
    double any = 0;
    std::memcpy(&any, &bits, sizeof any);
    switch (k % 8) {
      case 0:
        values.push_back(scaled);
        break;
      case 1:
        values.push_back(middle);
        break;
      case 2:
        values.push_back(std::nextafter(middle, 10.0));
        break;
      case 3:
        values.push_back(std::nextafter(middle, -10.0));
        break;
      case 4:
        values.push_back(f);
        break;
      case 5:
        values.push_back(std::ldexp(scaled, static_cast<int>(random() % 300) - 150));
        break;
      case 6:
        values.push_back(any);  // NaN, infinities and doubles beyond float among them
        break;
      default:
        values.push_back(static_cast<double>(std::numeric_limits<float>::max()) *
                         (1 + std::ldexp(static_cast<double>(random() % 5), -25)));
    }
  }
  // One box a row, each a frame of its own; NaN, no number, in a table of its own.
  std::vector<double> numbers, notNumbers;
  for (const double v : values) (std::isnan(v) ? notNumbers : numbers).push_back(v);
  notNumbers.push_back(std::numeric_limits<double>::quiet_NaN());
  ASSERT_GT(notNumbers.size(), 1u);
  for (const std::vector<double>* confidences : {&numbers, &notNumbers}) {
    Table table;
    table.rows = confidences->size();
    table.columns.resize(13);
    const int64_t corners[8] = {0, 0, 40, 0, 40, 40, 0, 40};
    for (std::size_t c = 0; c < 9; ++c) {
      table.columns[c].kind = TableColumn::Kind::kWhole;
      for (std::size_t row = 0; row < table.rows; ++row) {
        table.columns[c].wholes.push_back(c == 0 ? static_cast<int64_t>(row) : corners[c - 1]);
      }
    }
    for (std::size_t c = 9; c < 12; ++c) {
      table.columns[c].texts = {c == 9 ? "Car" : "FALSE"};
      table.columns[c].wholes.assign(table.rows, 0);
    }
    table.columns[12].kind = TableColumn::Kind::kDouble;
    table.columns[12].doubles = *confidences;
    const Written written = writeTable(table);
    ASSERT_EQ(written.badColumn, 0u);
    QuorSequence fromText, fromTable;
    ReadDetails textDetails, tableDetails;
    std::string textError, tableError;
    const int textStatus =
        talmira_test::readAnnotationText(written.text, fromText, &textDetails, &textError);
    std::vector<TableColumn> columns;
    for (const HeldColumn& column : table.columns) columns.push_back(column.view());
    const int tableStatus =
        fileTable(columns, table.rows, fromTable, "text.csv", &tableError, &tableDetails);
    ASSERT_EQ(tableStatus, textStatus);
    EXPECT_EQ(tableError, textError);
    EXPECT_EQ(describe(fromTable, tableDetails), describe(fromText, textDetails));
    if (confidences == &numbers) {
      EXPECT_EQ(textStatus, 0) << textError;
      EXPECT_EQ(fromText.frames.size(), numbers.size());
    } else {
      EXPECT_EQ(textStatus, -1);
    }
  }
}

TEST(TableReaderTest, ATableOfTheWrongWidthIsRefused) {
  QuorSequence sequence;
  std::string error;
  const std::vector<TableColumn> columns(12);
  EXPECT_EQ(fileTable(columns, 0, sequence, "t", &error), -1);
  EXPECT_EQ(error, "t: a table has 13 columns, not 12");
}

}  // namespace
