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
        column.values = wholes.data();
    }
    column.texts = texts;
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

// Everything a reading gives, confidences by their bits.
std::string describe(const QuorSequence& sequence, const ReadDetails& details) {
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
    if (textStatus != 0) ++refused;
    for (const QuorFrame& frame : fromText.frames) boxes += static_cast<int>(frame.targets.size());
  }
  // The tables reach both outcomes and the line no file can hold.
  EXPECT_GT(refused, 300);
  EXPECT_LT(refused, 2000);
  EXPECT_GT(unwritable, 30);
  EXPECT_GT(boxes, 10000) << refused << " refused, " << unwritable << " unwritable";
}

TEST(TableReaderTest, ATableOfTheWrongWidthIsRefused) {
  QuorSequence sequence;
  std::string error;
  const std::vector<TableColumn> columns(12);
  EXPECT_EQ(fileTable(columns, 0, sequence, "t", &error), -1);
  EXPECT_EQ(error, "t: a table has 13 columns, not 12");
}

}  // namespace
