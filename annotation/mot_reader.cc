// The MOT family's files are long (a box a line, every frame of a video) and
// are read as fast as this format's own files: a line is split and its
// numbers read where it lies in the block read, and no line allocates.
#include "annotation/mot_reader.h"

#include <array>
#include <string>

namespace formats {

namespace {

constexpr std::size_t kMaxColumns = 12;

// Where a format keeps what, columns counted from 1; 0 for nowhere.
struct Layout {
  std::size_t minColumns;
  // The seventh column: the ground truth's "considered" flag (0: the box is
  // flagged) or the detection's score.
  std::size_t consideredColumn;
  std::size_t scoreColumn;
  std::size_t labelColumn;
  bool labelRequired;  // false: absent or -1 means the default label
  int64_t defaultLabel;
  bool region;  // every line is a don't-care region (UAVDT's ignored areas)
};

Layout layoutOf(AnnotationFormat format, AnnotationRole role) {
  const bool truth = role == AnnotationRole::kGroundTruth;
  switch (format) {
    case AnnotationFormat::kVisDrone:
      return truth ? Layout{8, 7, 0, 8, true, 0, false} : Layout{8, 0, 7, 8, true, 0, false};
    case AnnotationFormat::kUavdt:
      return truth ? Layout{9, 0, 0, 9, true, 0, false} : Layout{7, 0, 7, 9, false, 1, false};
    default:  // mot: a class of -1 (or none) is a pedestrian, as in detection files
      return truth ? Layout{7, 7, 0, 8, false, 1, false} : Layout{7, 0, 7, 8, false, 1, false};
  }
}

class MotReader {
 public:
  MotReader(RecordMaker& maker, const Layout& layout) : maker_(maker), layout_(layout) {}

  bool read();

 private:
  bool readLine(std::string_view line, uint64_t number);
  bool number(std::string_view text, std::size_t column, uint64_t line, Decimal* value) {
    if (parseDecimal(text, value)) return true;
    return maker_.failValue(line, "column " + std::to_string(column), trimBlanks(text),
                            " is not a number");
  }

  RecordMaker& maker_;
  Layout layout_;
  std::array<std::string_view, kMaxColumns> columns_;
};

bool MotReader::read() {
  StreamHandle stream = maker_.open();
  if (stream == nullptr) return false;
  TextLines lines(stream.get());
  std::string_view line;
  while (lines.next(&line)) {
    if (trimBlanks(line).empty()) continue;
    if (!readLine(line, lines.lineNumber())) return false;
  }
  if (lines.readError() != 0) return maker_.failRead(lines.readError());
  return true;
}

bool MotReader::readLine(std::string_view line, uint64_t number) {
  const std::size_t count = splitAt(line, ',', columns_);
  if (count < layout_.minColumns) {
    return maker_.fail(number, "expected at least " + std::to_string(layout_.minColumns) +
                                   " columns, found " + std::to_string(count));
  }
  const auto column = [&](std::size_t k) { return columns_[k - 1]; };
  Decimal frameValue;
  if (!this->number(column(1), 1, number, &frameValue)) return false;
  const std::optional<uint64_t> frame = wholeValue(frameValue, UINT32_MAX);
  if (!frame) {
    return maker_.failValue(number, "column 1", trimBlanks(column(1)),
                            " is not a frame number (a whole number from 0 to 4294967295)");
  }
  std::array<Decimal, 4> box;  // left, top, width, height
  for (std::size_t k = 0; k < box.size(); ++k) {
    if (!this->number(column(3 + k), 3 + k, number, &box[k])) return false;
  }
  const std::optional<int32_t> left = roundToInt32(box[0]);
  const std::optional<int32_t> top = roundToInt32(box[1]);
  const std::optional<int32_t> right = roundSumToInt32(box[0], box[2]);
  const std::optional<int32_t> bottom = roundSumToInt32(box[1], box[3]);
  if (!left || !top || !right || !bottom) {
    return maker_.fail(number,
                       "columns 3 to 6: the box's edges (left, top, left + width, top + height) "
                       "are not all 32-bit whole numbers once rounded");
  }
  bool flagged = false;
  if (layout_.consideredColumn != 0) {
    Decimal considered;
    if (!this->number(column(layout_.consideredColumn), layout_.consideredColumn, number,
                      &considered)) {
      return false;
    }
    flagged = considered.exact ? considered.mantissa == 0 : considered.value == 0.0;
  }
  float confidence = 1.0f;
  if (layout_.scoreColumn != 0 && !parseConfidenceText(column(layout_.scoreColumn), &confidence)) {
    return maker_.failValue(number, "column " + std::to_string(layout_.scoreColumn),
                            trimBlanks(column(layout_.scoreColumn)), " is not a number");
  }
  const ClassMapping* mapping = nullptr;
  if (layout_.region) {
    static const ClassMapping kRegion{"DCR"};
    mapping = &kRegion;
  } else {
    int64_t label = layout_.defaultLabel;
    if (layout_.labelColumn <= count) {
      const std::string_view text = column(layout_.labelColumn);
      Decimal value;
      std::optional<int64_t> given;
      if (parseDecimal(text, &value)) given = signedWholeValue(value);
      if (!given) {
        return maker_.failValue(number, "column " + std::to_string(layout_.labelColumn),
                                trimBlanks(text), " is not a class number");
      }
      if (layout_.labelRequired || *given != -1) label = *given;
    } else if (layout_.labelRequired) {
      return maker_.fail(number, "expected at least " + std::to_string(layout_.labelColumn) +
                                     " columns, found " + std::to_string(count));
    }
    bool failed = false;
    mapping = maker_.mapNumber(label, number, &failed);
    if (failed) return false;
    if (mapping == nullptr) return true;  // dropped
  }
  maker_.addBox(static_cast<uint32_t>(*frame), *left, *top, *right, *bottom, *mapping, flagged,
                confidence, number);
  return true;
}

}  // namespace

bool readMotFamily(RecordMaker& maker) {
  const AnnotationReadOptions& options = maker.options();
  if (!MotReader(maker, layoutOf(options.format, options.role)).read()) return false;
  if (options.format == AnnotationFormat::kUavdt && options.role == AnnotationRole::kGroundTruth &&
      !options.ignorePath.empty()) {
    maker.renameInput(options.ignorePath);
    Layout regions{6, 0, 0, 0, false, 0, true};
    if (!MotReader(maker, regions).read()) return false;
  }
  return true;
}

}  // namespace formats
