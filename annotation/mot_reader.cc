// The MOT family's files are long (a box a line, every frame of a video) and
// are read as fast as this format's own files: a line is split and its
// numbers read where it lies in the block read, and no line allocates.
#include "annotation/mot_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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

// A box kept until its frame's turn: what filing needs of it, in half the
// bytes of an AnnotationRecord (a long ground truth keeps a million).
struct KeptBox {
  uint32_t frame;
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  float confidence;
  uint32_t mapping;  // its index in KeptBoxes::mappings; kFlagged set when flagged
  uint32_t lineLow;  // the line, in two halves: four-byte alignment keeps the box at 36 bytes
  uint32_t lineHigh;

  static constexpr uint32_t kFlagged = uint32_t{1} << 31;
};

class KeptBoxes {
 public:
  void add(uint32_t frame, int32_t left, int32_t top, int32_t right, int32_t bottom,
           const ClassMapping& mapping, bool flagged, float confidence, uint64_t line) {
    const uint32_t index = indexOf(mapping);
    boxes.push_back(KeptBox{frame, left, top, right, bottom, confidence,
                            index | (flagged ? KeptBox::kFlagged : 0), static_cast<uint32_t>(line),
                            static_cast<uint32_t>(line >> 32)});
  }

  // The record that RecordMaker::addBox() would have made of `box`.
  AnnotationRecord record(const KeptBox& box) const {
    const ClassMapping& mapping = *mappings[box.mapping & ~KeptBox::kFlagged];
    AnnotationRecord r;
    r.frameNumber = box.frame;
    r.corners = {box.left,  box.top,    box.right, box.top,
                 box.right, box.bottom, box.left,  box.bottom};
    r.type = mapping.type;
    r.markA = mapping.markA;
    r.markB = mapping.markB || (box.mapping & KeptBox::kFlagged) != 0;
    r.confidence = box.confidence;
    r.line = uint64_t{box.lineHigh} << 32 | box.lineLow;
    return r;
  }

  std::vector<KeptBox, LargeAllocator<KeptBox>> boxes;
  std::vector<const ClassMapping*> mappings;

 private:
  // Boxes of a few classes come in runs (a track's): a small table of the
  // mappings seen last answers nearly every box.
  uint32_t indexOf(const ClassMapping& mapping) {
    Recent& slot = recent_[(reinterpret_cast<uintptr_t>(&mapping) >> 4) % recent_.size()];
    if (slot.mapping != &mapping) slot = Recent{&mapping, indexOfFirst(mapping)};
    return slot.index;
  }
  uint32_t indexOfFirst(const ClassMapping& mapping) {
    const auto found = std::find(mappings.begin(), mappings.end(), &mapping);
    if (found != mappings.end()) return static_cast<uint32_t>(found - mappings.begin());
    if (mappings.size() >= KeptBox::kFlagged) throw std::length_error("too many classes");
    mappings.push_back(&mapping);
    return static_cast<uint32_t>(mappings.size() - 1);
  }

  struct Recent {
    const ClassMapping* mapping = nullptr;
    uint32_t index = 0;
  };
  std::array<Recent, 64> recent_{};
};

class MotReader {
 public:
  // Boxes go to `kept` when given, else to `maker`.
  MotReader(RecordMaker& maker, const Layout& layout, KeptBoxes* kept)
      : maker_(maker), layout_(layout), kept_(kept) {}

  bool read();

 private:
  bool readLine(std::string_view line, uint64_t number);
  bool quickLine(std::string_view line, std::size_t* count);
  // Column `column`'s number: from the quick reading when there was one.
  bool number(std::size_t column, uint64_t line, Decimal* value) {
    if (quick_) {
      *value = numbers_[column - 1];
      return true;
    }
    const std::string_view text = columns_[column - 1];
    if (parseDecimal(text, value)) return true;
    return maker_.failValue(line, "column " + std::to_string(column), trimBlanks(text),
                            " is not a number");
  }
  bool confidence(std::size_t column, uint64_t line, float* value);

  RecordMaker& maker_;
  Layout layout_;
  KeptBoxes* kept_;
  std::array<std::string_view, kMaxColumns> columns_;
  std::array<Decimal, kMaxColumns> numbers_;
  bool quick_ = false;  // the line was read by quickLine()
};

bool MotReader::read() {
  StreamHandle stream = maker_.open();
  if (stream == nullptr) return false;
  if (kept_ != nullptr) {
    // Room for a box every 16 bytes (no line of seven columns is shorter
    // but for a frame's first ones): room never written takes no memory.
    kept_->boxes.reserve(kept_->boxes.size() + static_cast<std::size_t>(maker_.inputSize() / 16));
  }
  TextLines lines(stream.get());
  std::string_view line;
  while (lines.next(&line)) {
    if (trimBlanks(line).empty()) continue;
    if (!readLine(line, lines.lineNumber())) return false;
  }
  if (lines.readError() != 0) return maker_.failRead(lines.readError());
  return true;
}

// A line is looked at eight bytes at a time: a loop over its bytes
// branches at the end of every number, and the ends of numbers of varying
// lengths are what a branch predictor cannot learn (the same holds for this
// format's reader, which does the same).
constexpr uint64_t kEachByte = 0x0101010101010101;

// The eight bytes at `p`, p[0] in the lowest.
uint64_t loadWord(const char* p) {
  uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, p, sizeof word);
  } else {
    for (int i = 7; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(p[i]);
  }
  return word;
}

// The high bit of each byte of `x` that is not zero; no carry crosses bytes.
uint64_t nonzeroBytes(uint64_t x) {
  return (((x & kEachByte * 0x7f) + kEachByte * 0x7f) | x) & kEachByte * 0x80;
}

// The high bit of each byte of `word` that is no decimal digit.
uint64_t nonDigitBytes(uint64_t word) {
  return nonzeroBytes(((word & kEachByte * 0xf0) ^ kEachByte * 0x30) |
                      (((word & kEachByte * 0x0f) + kEachByte * 0x06) & kEachByte * 0x10));
}

// The high bit of each byte of `word` equal to `c`.
uint64_t bytesEqual(uint64_t word, char c) {
  return ~nonzeroBytes(word ^ kEachByte * static_cast<unsigned char>(c)) & kEachByte * 0x80;
}

// The value of the first `length` (1 to 8) bytes of `word`, decimal digits,
// read without a branch: pairs, then fours, then eights are combined.
uint32_t wordDigitsValue(uint64_t word, std::size_t length) {
  const unsigned unused = (64 - 8 * static_cast<unsigned>(length)) & 63;
  uint64_t digits = (word & kEachByte * 0x0f) << unused;
  digits = (digits * (10 * 256 + 1)) >> 8 & 0x00ff00ff00ff00ff;
  digits = (digits * (100 * 65536 + 1)) >> 16 & 0x0000ffff0000ffff;
  return static_cast<uint32_t>((digits * (10000 * (uint64_t{1} << 32) + 1)) >> 32);
}

// Reads a plain decimal of one to eight bytes ("-12", "1359.1", ".5") at
// `p`, eight bytes from which may be read; false for anything else.
bool quickNumber(const char* p, std::size_t length, Decimal* out) {
  if (length == 0 || length > 8) return false;
  const unsigned unused = 64 - 8 * static_cast<unsigned>(length);
  uint64_t word = loadWord(p) << unused >> unused;  // the text, zeros above
  const bool negative = (word & 0xff) == '-';
  if (negative) {
    word >>= 8;
    if (--length == 0) return false;
  }
  const uint64_t inText = ~uint64_t{0} >> (64 - 8 * static_cast<unsigned>(length));
  const uint64_t points = bytesEqual(word, '.') & inText;
  // Every byte a digit but at most one point, and a digit at least.
  if ((nonDigitBytes(word) & inText) != points || (points & (points - 1)) != 0 ||
      (points != 0 && length == 1)) {
    return false;
  }
  uint64_t digitsWord = word;
  int fraction = 0;
  if (points != 0) {
    // The digits closed up over the point.
    const auto at = static_cast<unsigned>(std::countr_zero(points)) / 8;
    const uint64_t below = at == 0 ? 0 : word & (~uint64_t{0} >> (64 - 8 * at));
    digitsWord = below | (word >> (8 * at) >> 8 << (8 * at));
    fraction = static_cast<int>(length - at - 1);
  }
  const auto value =
      static_cast<int64_t>(wordDigitsValue(digitsWord, length - (points != 0 ? 1 : 0)));
  out->mantissa = negative ? -value : value;
  out->scale = fraction;
  out->exact = true;
  return true;
}

// Reads the usual line: comma-separated plain decimals ("12", "-1",
// "1359.1") of at most eight bytes each, without blanks, at most
// kMaxColumns of them, in a line of at most 128 bytes. False for anything
// else, which the general reading then reads or refuses; what this reads,
// the general reading reads the same.
bool MotReader::quickLine(std::string_view line, std::size_t* count) {
  constexpr std::size_t kMaxLength = 128;
  if (line.size() > kMaxLength) return false;
  const char* const p = line.data();
  std::array<std::size_t, kMaxColumns> ends;
  std::size_t commas = 0;
  for (std::size_t at = 0; at < line.size(); at += 8) {
    uint64_t found = bytesEqual(loadWord(p + at), ',');
    if (line.size() - at < 8) found &= ~uint64_t{0} >> (64 - 8 * (line.size() - at));
    for (; found != 0; found &= found - 1) {
      if (commas == kMaxColumns - 1) return false;
      ends[commas++] = at + static_cast<std::size_t>(std::countr_zero(found)) / 8;
    }
  }
  ends[commas] = line.size();
  std::size_t start = 0;
  for (std::size_t field = 0; field <= commas; ++field) {
    const std::size_t length = ends[field] - start;
    if (!quickNumber(p + start, length, &numbers_[field])) return false;
    columns_[field] = std::string_view(p + start, length);
    start = ends[field] + 1;
  }
  *count = commas + 1;
  return true;
}

bool MotReader::confidence(std::size_t column, uint64_t line, float* value) {
  // A short decimal: its digits and its power of ten are exact in single
  // precision, so one division rounds it as reading its text would.
  static constexpr float kFloatPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
  const std::string_view text = columns_[column - 1];
  if (quick_) {
    const Decimal& d = numbers_[column - 1];
    const int64_t magnitude = d.mantissa < 0 ? -d.mantissa : d.mantissa;
    if (d.scale <= 7 && magnitude < (int64_t{1} << 24)) {
      const float quotient = static_cast<float>(magnitude) / kFloatPowers[d.scale];
      *value = text.starts_with('-') ? -quotient : quotient;
      return true;
    }
  }
  if (parseConfidenceText(text, value)) return true;
  return maker_.failValue(line, "column " + std::to_string(column), trimBlanks(text),
                          " is not a number");
}

bool MotReader::readLine(std::string_view line, uint64_t number) {
  std::size_t count = 0;
  quick_ = quickLine(line, &count);
  if (!quick_) count = splitAt(line, ',', columns_);
  if (count < layout_.minColumns) {
    return maker_.fail(number, "expected at least " + std::to_string(layout_.minColumns) +
                                   " columns, found " + std::to_string(count));
  }
  Decimal frameValue;
  if (!this->number(1, number, &frameValue)) return false;
  const std::optional<uint64_t> frame = wholeValue(frameValue, UINT32_MAX);
  if (!frame) {
    return maker_.failValue(number, "column 1", trimBlanks(columns_[0]),
                            " is not a frame number (a whole number from 0 to 4294967295)");
  }
  std::array<Decimal, 4> box;  // left, top, width, height
  for (std::size_t k = 0; k < box.size(); ++k) {
    if (!this->number(3 + k, number, &box[k])) return false;
  }
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  // Bitwise: the four are almost always fine, and a branch each costs.
  if (!(roundInto(box[0], &left) & roundInto(box[1], &top) & roundSumInto(box[0], box[2], &right) &
        roundSumInto(box[1], box[3], &bottom))) {
    return maker_.fail(number,
                       "columns 3 to 6: the box's edges (left, top, left + width, top + height) "
                       "are not all 32-bit whole numbers once rounded");
  }
  bool flagged = false;
  if (layout_.consideredColumn != 0) {
    Decimal considered;
    if (!this->number(layout_.consideredColumn, number, &considered)) return false;
    flagged = considered.exact ? considered.mantissa == 0 : considered.value == 0.0;
  }
  float confidence = 1.0f;
  if (layout_.scoreColumn != 0 && !this->confidence(layout_.scoreColumn, number, &confidence)) {
    return false;
  }
  const ClassMapping* mapping = nullptr;
  if (layout_.region) {
    static const ClassMapping kRegion{"DCR"};
    mapping = &kRegion;
  } else {
    int64_t label = layout_.defaultLabel;
    if (layout_.labelColumn <= count) {
      const std::string_view text = columns_[layout_.labelColumn - 1];
      Decimal value;
      std::optional<int64_t> given;
      if (quick_) {
        given = signedWholeValue(numbers_[layout_.labelColumn - 1]);
      } else if (parseDecimal(text, &value)) {
        given = signedWholeValue(value);
      }
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
  if (kept_ != nullptr) {
    kept_->add(static_cast<uint32_t>(*frame), left, top, right, bottom, *mapping, flagged,
               confidence, number);
    return true;
  }
  return maker_.addBox(static_cast<uint32_t>(*frame), left, top, right, bottom, *mapping, flagged,
                       confidence, number);
}

bool readAll(RecordMaker& maker, KeptBoxes* kept) {
  const AnnotationReadOptions& options = maker.options();
  if (!MotReader(maker, layoutOf(options.format, options.role), kept).read()) return false;
  if (options.format == AnnotationFormat::kUavdt && options.role == AnnotationRole::kGroundTruth &&
      !options.ignorePath.empty()) {
    maker.renameInput(options.ignorePath);
    Layout regions{6, 0, 0, 0, false, 0, true};
    if (!MotReader(maker, regions, kept).read()) return false;
  }
  return true;
}

}  // namespace

bool readMotFamily(RecordMaker& maker) { return readAll(maker, nullptr); }

bool fileMotFamilyByFrame(RecordMaker& maker, RecordFiler& filer) {
  maker.keepNoRecords();
  KeptBoxes kept;
  if (!readAll(maker, &kept)) return false;
  auto& boxes = kept.boxes;
  std::vector<uint32_t> order;
  if (boxes.size() > UINT32_MAX) {
    std::stable_sort(boxes.begin(), boxes.end(),
                     [](const KeptBox& a, const KeptBox& b) { return a.frame < b.frame; });
  } else {
    order = frameOrder(boxes.size(), [&](std::size_t k) { return boxes[k].frame; });
  }
  if (order.empty()) {
    for (const KeptBox& box : boxes) {
      if (!filer.file(kept.record(box))) return false;
    }
  } else {
    for (const uint32_t k : order) {
      if (!filer.file(kept.record(boxes[k]))) return false;
    }
  }
  filer.finish();
  return true;
}

}  // namespace formats
