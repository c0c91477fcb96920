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

#include "annotation/text_words.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace formats {

namespace {

using text_words::bitCount;
using text_words::kEachByte;
using text_words::loadWord;
using text_words::nonDigitBytes;
using text_words::nonzeroBytes;
using text_words::wordDigitsValue;
#if !defined(__SSE2__)
using text_words::bytesEqual;
#endif

constexpr std::size_t kMaxColumns = 12;
constexpr const char* kMot15Layout = "frame,id,left,top,width,height,conf,x,y,z";
constexpr std::size_t kMaxRead = 9;  // the last column any layout reads

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
    case AnnotationFormat::kMot15:  // no class: columns 8 to 10 are the world's x, y, z
      return truth ? Layout{7, 7, 0, 0, false, 1, false} : Layout{7, 0, 7, 0, false, 1, false};
    case AnnotationFormat::kVisDrone:
      return truth ? Layout{8, 7, 0, 8, true, 0, false} : Layout{8, 0, 7, 8, true, 0, false};
    case AnnotationFormat::kUavdt:
      return truth ? Layout{9, 0, 0, 9, true, 0, false} : Layout{7, 0, 7, 9, false, 1, false};
    default:  // mot: a class of -1 (or none) is a pedestrian, as in detection files
      return truth ? Layout{7, 7, 0, 8, false, 1, false} : Layout{7, 0, 7, 8, false, 1, false};
  }
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// A box kept until its frame's turn: what filing needs of it, in half the
// bytes of an AnnotationRecord (a long ground truth keeps a million).
struct KeptBox {
  uint32_t frame;
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
  float confidence;
  // Its index in KeptBoxes::mappings, kFlagged set when flagged and
  // kNegativeExtent when written with a negative width or height.
  uint32_t mapping;
  uint32_t lineLow;  // the line, in two halves: four-byte alignment keeps the box at 36 bytes
  uint32_t lineHigh;

  static constexpr uint32_t kFlagged = uint32_t{1} << 31;
  static constexpr uint32_t kNegativeExtent = uint32_t{1} << 30;
  static constexpr uint32_t kIndex = kNegativeExtent - 1;
};

class KeptBoxes {
 public:
  void add(uint32_t frame, int32_t left, int32_t top, int32_t right, int32_t bottom,
           const ClassMapping& mapping, bool flagged, bool negativeExtent, float confidence,
           uint64_t line) {
    const uint32_t index = indexOf(mapping);
    boxes.push_back(KeptBox{
        frame, left, top, right, bottom, confidence,
        index | (flagged ? KeptBox::kFlagged : 0) | (negativeExtent ? KeptBox::kNegativeExtent : 0),
        static_cast<uint32_t>(line), static_cast<uint32_t>(line >> 32)});
  }

  // The record that RecordMaker::addBox() would have made of `box`.
  AnnotationRecord record(const KeptBox& box) const {
    const ClassMapping& mapping = *mappings[box.mapping & KeptBox::kIndex];
    AnnotationRecord r;
    r.frameNumber = box.frame;
    r.corners = {box.left,  box.top,    box.right, box.top,
                 box.right, box.bottom, box.left,  box.bottom};
    r.type = mapping.type;
    r.markA = mapping.markA;
    r.markB = mapping.markB || (box.mapping & KeptBox::kFlagged) != 0;
    r.negativeExtent = (box.mapping & KeptBox::kNegativeExtent) != 0;
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
    if (mappings.size() > KeptBox::kIndex) throw std::length_error("too many classes");
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
  // Boxes go to `kept` when given, else to `maker`. `mayBeMot15`: the
  // layout is mot's, which may be given a MOT15 file (takeAsMot15()).
  MotReader(RecordMaker& maker, const Layout& layout, KeptBoxes* kept, bool mayBeMot15 = false)
      : maker_(maker),
        layout_(layout),
        kept_(kept),
        labelRead_(!layout.region && layout.labelColumn != 0),
        lastUnlabelled_(std::max({std::size_t{6}, layout.consideredColumn, layout.scoreColumn})),
        mayBeMot15_(mayBeMot15) {}

  bool read();
  bool readLine(std::string_view line, uint64_t number);

 private:
  // What a line says of its box, its label defaulted.
  struct LineBox {
    uint32_t frame = 0;
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool flagged = false;
    bool negativeExtent = false;  // a negative width or height: no area (see usualBox())
    float confidence = 1.0f;
    int64_t label = 0;
  };

  bool usualLine(std::string_view line, std::size_t* count);
  bool usualBox(std::size_t count, LineBox* box) const;
  bool addBox(const LineBox& box, uint64_t number);
  bool takeAsMot15(std::size_t count, uint64_t number, std::string_view classText);
  // Column `column`'s number, for the general reading.
  bool number(std::size_t column, uint64_t line, Decimal* value);
  bool confidence(std::size_t column, uint64_t line, float* value);

  RecordMaker& maker_;
  Layout layout_;
  KeptBoxes* kept_;
  std::array<std::string_view, kMaxColumns> columns_;
  std::array<Decimal, kMaxColumns> numbers_;  // exact, all of them
  // What usualLine() reads: the class's column when the line has it, and
  // up to the last of the others.
  bool labelRead_;
  std::size_t lastUnlabelled_;
  bool scoreNegative_ = false;  // the score usualLine() read has a minus
  bool mayBeMot15_;
  // The first line whose class is not 1 (nor -1 or none, which read as 1),
  // and that class: a line that MOT15 would read otherwise.
  uint64_t classLine_ = 0;
  int64_t classGiven_ = 0;
};

bool MotReader::read() {
  StreamHandle stream = maker_.open();
  if (stream == nullptr) return false;
  if (kept_ != nullptr) {
    // Room for a box every 16 bytes, which few lines of seven columns are
    // shorter than: room never written takes no memory.
    kept_->boxes.reserve(kept_->boxes.size() + static_cast<std::size_t>(maker_.inputSize() / 16));
  }
  TextLines lines(stream.get());
  std::string_view line;
  while (lines.next(&line)) {
    if ((line.empty() || isBlank(line.front())) && trimBlanks(line).empty()) continue;
    if (!readLine(line, lines.lineNumber())) return false;
  }
  if (lines.readError() != 0) return maker_.failRead(lines.readError());
  return true;
}

// A line is looked at sixteen bytes at a time, and its numbers read eight
// at a time (text_words.h says why).

// Which of up to 64 bytes are commas, digits, points and minus signs, one
// bit each.
struct ByteKinds {
  uint64_t commas = 0;
  uint64_t digits = 0;
  uint64_t points = 0;
  uint64_t minuses = 0;
};

// The first `count` (0 to 63) bits.
uint64_t lowBits(std::size_t count) { return (uint64_t{1} << count) - 1; }

// The first `count` (0 to 8) bytes of a word.
uint64_t lowBytes(std::size_t count) { return ~(~uint64_t{0} << (4 * count) << (4 * count)); }

// The kinds of the first `count` (1 to 63) bytes at `p`, from sixteen bytes
// at a time: up to fifteen bytes after them are read (a line's padding).
ByteKinds kindsOf(const char* p, std::size_t count) {
  ByteKinds kinds;
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i point = _mm_set1_epi8('.');
  const __m128i minus = _mm_set1_epi8('-');
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  for (std::size_t at = 0; at < count; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    const auto bits = [at](__m128i found) {
      return uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(found))} << at;
    };
    // A digit is a byte whose distance above '0', taken unsigned, is at most 9.
    const __m128i offset = _mm_sub_epi8(bytes, zero);
    kinds.digits |= bits(_mm_cmpeq_epi8(_mm_min_epu8(offset, nine), offset));
    kinds.commas |= bits(_mm_cmpeq_epi8(bytes, comma));
    kinds.points |= bits(_mm_cmpeq_epi8(bytes, point));
    kinds.minuses |= bits(_mm_cmpeq_epi8(bytes, minus));
  }
#else
  for (std::size_t at = 0; at < count; at += 8) {
    const uint64_t word = loadWord(p + at);
    // The multiplication gathers the eight high bits into the top byte.
    const auto bits = [at](uint64_t high) {
      return ((high >> 7) * 0x0102040810204080 >> 56) << at;
    };
    kinds.digits |= bits(~nonDigitBytes(word) & kEachByte * 0x80);
    kinds.commas |= bits(bytesEqual(word, ','));
    kinds.points |= bits(bytesEqual(word, '.'));
    kinds.minuses |= bits(bytesEqual(word, '-'));
  }
#endif
  const uint64_t inside = lowBits(count);
  kinds.commas &= inside;
  kinds.digits &= inside;
  kinds.points &= inside;
  kinds.minuses &= inside;
  return kinds;
}

// Reads bytes `start` to `end` (at most 63) of the line at `p`, known to be
// digits and points after an optional minus, as a plain decimal: one to
// eight bytes of digits and at most one point after the minus ("-12",
// "1359.1", ".5", "7."). Returns zero when it is one, with `out` set as
// parseDecimal() would set it but for trailing zeros (the same value,
// exactly; `out` is exact already); otherwise not zero, `out` then holding
// anything. No branch: the lengths of numbers vary from line to line.
uint64_t quickField(const char* p, std::size_t start, std::size_t end, const ByteKinds& kinds,
                    Decimal* out) {
  const std::size_t negative = (kinds.minuses >> start) & 1;
  const std::size_t from = start + negative;
  const std::size_t length = end - from;
  const uint64_t field = lowBits(end) ^ lowBits(from);
  const uint64_t points = kinds.points & field;
  const uint64_t wrong = (points & (points - 1)) |
                         static_cast<uint64_t>((field & kinds.digits) == 0) |
                         static_cast<uint64_t>(length - 1 >= 8);
  // The digits closed up over the point; the bytes after them, whatever
  // they are, are no part of the value.
  const uint64_t word = loadWord(p + from);
  const std::size_t at =
      (static_cast<std::size_t>(std::countr_zero(points | uint64_t{1} << end)) - from) & 15;
  const uint64_t digitsWord = (word & lowBytes(at)) | ((word >> 8) & ~lowBytes(at));
  const auto value = static_cast<int64_t>(wordDigitsValue(digitsWord, length - (points != 0)));
  out->mantissa = negative != 0 ? -value : value;
  out->scale = points != 0 ? static_cast<int>(length - at - 1) : 0;
  return wrong;
}

// Reads the usual line: the columns this reader reads (the frame, the box,
// the seventh, the class) plain decimals that quickField() reads, in the
// first 63 bytes of the line; the other columns are only counted. Sets the
// numbers of those columns; false for anything else, which the general
// reading then reads or refuses. What this reads, the general reading
// reads the same.
bool MotReader::usualLine(std::string_view line, std::size_t* count) {
  constexpr std::size_t kWindow = 63;  // a bit a byte, and a bit for the end
  const char* const p = line.data();
  const std::size_t seen = std::min(line.size(), kWindow);
  if (seen == 0) return false;
  const ByteKinds kinds = kindsOf(p, seen);
  std::size_t commas = bitCount(kinds.commas);
  if (line.size() > kWindow) {
    commas += static_cast<std::size_t>(std::count(p + kWindow, p + line.size(), ','));
  }
  *count = commas + 1;
  if (*count < layout_.minColumns) return false;
  const bool label = labelRead_ && layout_.labelColumn <= *count;
  const std::size_t last = label ? layout_.labelColumn : lastUnlabelled_;
  // Where the first columns end: the commas in order, then the window's end.
  std::array<std::size_t, kMaxRead> ends;
  uint64_t bits = kinds.commas;
  for (std::size_t& end : ends) {
    end = std::min<std::size_t>(static_cast<std::size_t>(std::countr_zero(bits)), seen);
    bits &= bits - 1;
  }
  if (line.size() > kWindow && ends[last - 1] >= kWindow) return false;  // beyond the window
  // Up to there, digits, points, commas and minus signs that begin a
  // column only (the second column, which is not read, included).
  uint64_t wrong = lowBits(ends[last - 1]) & ~(kinds.digits | kinds.points | kinds.commas |
                                               (kinds.minuses & (kinds.commas << 1 | 1)));
  const auto read = [&](std::size_t column) {
    const std::size_t start = column == 1 ? 0 : ends[column - 2] + 1;
    wrong |= quickField(p, start, ends[column - 1], kinds, &numbers_[column - 1]);
    return start;
  };
  // The frame and the box, which every layout reads, first: their places
  // are known here.
  read(1);
  for (std::size_t column = 3; column <= 6; ++column) read(column);
  if (layout_.consideredColumn != 0) read(layout_.consideredColumn);
  if (layout_.scoreColumn != 0) {
    scoreNegative_ = ((kinds.minuses >> read(layout_.scoreColumn)) & 1) != 0;
  }
  if (label) read(layout_.labelColumn);
  return wrong == 0;
}

bool MotReader::number(std::size_t column, uint64_t line, Decimal* value) {
  const std::string_view text = columns_[column - 1];
  if (parseDecimal(text, value)) return true;
  return maker_.failValue(line, "column " + std::to_string(column), trimBlanks(text),
                          " is not a number");
}

// Whether a decimal is -1 exactly, however written ("-1", "-1.000", "-10e-1").
bool isMinusOne(const Decimal& value) {
  if (!value.exact || value.mantissa >= 0) return false;
  int64_t power = 1;
  for (int k = 0; k < value.scale; ++k) power *= 10;
  return value.mantissa == -power;
}

bool MotReader::confidence(std::size_t column, uint64_t line, float* value) {
  const std::string_view text = columns_[column - 1];
  const std::string where = "column " + std::to_string(column);
  if (!parseConfidenceText(text, value)) {
    return maker_.failValue(line, where, trimBlanks(text), " is not a number");
  }
  // An infinite score would read as a box given none: the two are told
  // apart by refusing the one the benchmarks never write.
  if (*value == kNoConfidence) {
    return maker_.failValue(line, where, trimBlanks(text),
                            " is not a score: a finite number, or -1 for none");
  }
  Decimal exact;
  if (*value == -1.0f && parseDecimal(text, &exact) && isMinusOne(exact)) *value = kNoConfidence;
  return true;
}

// The values of a line that usualLine() read, without the general
// reading's checks: its numbers are short (at most eight digits, so the
// edges fit 32 bits). False for a line the general reading must look at
// (a frame or a class that is not written as a whole number, a long
// confidence, a class missing that must be given).
bool MotReader::usualBox(std::size_t count, LineBox* box) const {
  static constexpr int64_t kPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  static constexpr float kFloatPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
  const Decimal& frame = numbers_[0];
  if (frame.scale != 0 || frame.mantissa < 0) return false;
  box->frame = static_cast<uint32_t>(frame.mantissa);
  const Decimal* const edges = &numbers_[2];  // left, top, width, height
  const int across = std::max(edges[0].scale, edges[2].scale);
  const int down = std::max(edges[1].scale, edges[3].scale);
  roundScaledInto(edges[0].mantissa, edges[0].scale, &box->left);
  roundScaledInto(edges[1].mantissa, edges[1].scale, &box->top);
  roundScaledInto(edges[0].mantissa * kPowers[across - edges[0].scale] +
                      edges[2].mantissa * kPowers[across - edges[2].scale],
                  across, &box->right);
  roundScaledInto(edges[1].mantissa * kPowers[down - edges[1].scale] +
                      edges[3].mantissa * kPowers[down - edges[3].scale],
                  down, &box->bottom);
  // A negative width or height is a box of no area at its left or top, as
  // the benchmarks' evaluators take it (their areas of no more than zero
  // overlap nothing), not a box spanning the other way: its right is its
  // left, its bottom its top. It still counts, as a box that is missed or a
  // false alarm: it matches nothing, no region covers it (it has no area to
  // cover), and the size test sees its collapsed side as 0 long.
  const bool negativeWidth = edges[2].mantissa < 0;
  const bool negativeHeight = edges[3].mantissa < 0;
  if (negativeWidth) box->right = box->left;
  if (negativeHeight) box->bottom = box->top;
  box->negativeExtent = negativeWidth || negativeHeight;
  box->flagged =
      layout_.consideredColumn != 0 && numbers_[layout_.consideredColumn - 1].mantissa == 0;
  box->confidence = 1.0f;
  if (layout_.scoreColumn != 0) {
    // A short decimal: its digits and its power of ten are exact in single
    // precision, so one division rounds it as reading its text would.
    const Decimal& score = numbers_[layout_.scoreColumn - 1];
    const int64_t magnitude = score.mantissa < 0 ? -score.mantissa : score.mantissa;
    if (magnitude >= (int64_t{1} << 24)) return false;
    const float quotient = static_cast<float>(magnitude) / kFloatPowers[score.scale];
    box->confidence = scoreNegative_ ? -quotient : quotient;
    // Exactly -1 ("-1", "-1.00"): the file gives the box no score.
    if (scoreNegative_ && magnitude == kPowers[score.scale]) box->confidence = kNoConfidence;
  }
  box->label = layout_.defaultLabel;
  if (!layout_.region && layout_.labelColumn != 0) {
    if (layout_.labelColumn <= count) {
      const Decimal& label = numbers_[layout_.labelColumn - 1];
      if (label.scale != 0) return false;
      if (layout_.labelRequired || label.mantissa != -1) box->label = label.mantissa;
    } else if (layout_.labelRequired) {
      return false;
    }
  }
  return true;
}

bool MotReader::readLine(std::string_view line, uint64_t number) {
  std::size_t count = 0;
  LineBox box;
  if (usualLine(line, &count) && usualBox(count, &box)) {
    if (mayBeMot15_ && box.label != 1 && classLine_ == 0) {
      classLine_ = number;
      classGiven_ = box.label;
    }
    return addBox(box, number);
  }
  box = LineBox{};
  count = splitAt(line, ',', columns_);
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
  box.frame = static_cast<uint32_t>(*frame);
  std::array<Decimal, 4> edges;  // left, top, width, height
  for (std::size_t k = 0; k < edges.size(); ++k) {
    if (!this->number(3 + k, number, &edges[k])) return false;
  }
  // A negative width or height: no area, as usualBox() says.
  const auto negative = [](const Decimal& d) { return d.exact ? d.mantissa < 0 : d.value < 0.0; };
  const bool negativeWidth = negative(edges[2]);
  const bool negativeHeight = negative(edges[3]);
  // Bitwise: the four are almost always fine, and a branch each costs.
  const int edgesFit = int{roundInto(edges[0], &box.left)} & int{roundInto(edges[1], &box.top)} &
                       int{negativeWidth || roundSumInto(edges[0], edges[2], &box.right)} &
                       int{negativeHeight || roundSumInto(edges[1], edges[3], &box.bottom)};
  if (negativeWidth) box.right = box.left;
  if (negativeHeight) box.bottom = box.top;
  box.negativeExtent = negativeWidth || negativeHeight;
  if (edgesFit == 0) {
    return maker_.fail(number,
                       "columns 3 to 6: the box's edges (left, top, left + width, top + height) "
                       "are not all 32-bit whole numbers once rounded");
  }
  if (layout_.consideredColumn != 0) {
    Decimal considered;
    if (!this->number(layout_.consideredColumn, number, &considered)) return false;
    box.flagged = considered.exact ? considered.mantissa == 0 : considered.value == 0.0;
  }
  if (layout_.scoreColumn != 0 && !this->confidence(layout_.scoreColumn, number, &box.confidence)) {
    return false;
  }
  box.label = layout_.defaultLabel;
  if (!layout_.region && layout_.labelColumn != 0) {
    if (layout_.labelColumn <= count) {
      const std::string_view text = columns_[layout_.labelColumn - 1];
      Decimal value;
      std::optional<int64_t> given;
      const bool numeric = parseDecimal(text, &value);
      if (numeric) given = signedWholeValue(value);
      if (!given) {
        if (mayBeMot15_ && numeric) {  // a number, but no whole one: a world coordinate?
          if (!takeAsMot15(count, number, text)) return false;
          return addBox(box, number);
        }
        return maker_.failValue(number, "column " + std::to_string(layout_.labelColumn),
                                trimBlanks(text), " is not a class number");
      }
      if (layout_.labelRequired || *given != -1) box.label = *given;
      if (mayBeMot15_ && box.label != 1 && classLine_ == 0) {
        classLine_ = number;
        classGiven_ = box.label;
      }
    } else if (layout_.labelRequired) {
      return maker_.fail(number, "expected at least " + std::to_string(layout_.labelColumn) +
                                     " columns, found " + std::to_string(count));
    }
  }
  return addBox(box, number);
}

// A file read as mot whose column 8 is a number but no class ("4.4852") is a MOT15
// file, frame,id,left,top,width,height,conf,x,y,z, whose column 8 is the
// world's x (-1 when unknown), when it has MOT15's ten columns. It is then
// read as mot15 reads it from there on, and a warning says so: the lines
// before read the same either way (a column 8 of -1, none or 1 is a
// pedestrian in both layouts), the benchmark's own file is scored as the
// benchmark scores it rather than refused over its name, and the warning
// tells whoever named it mot how it was read. When it cannot be told (the
// line has no ten columns, or a line before gave a class that MOT15 would
// read as a coordinate), the reading stops naming what is wrong and the
// format that would read it.
bool MotReader::takeAsMot15(std::size_t count, uint64_t number, std::string_view classText) {
  const std::string what = "column 8: " + quoted(trimBlanks(classText)) + " is not a class number";
  if (count != 10) {
    return maker_.fail(number, what + " (nor is this MOT15's layout, " + kMot15Layout +
                                   ", whose column 8 is a world coordinate: it has " +
                                   std::to_string(count) + " columns)");
  }
  if (classLine_ != 0) {
    return maker_.fail(number, what + ", yet line " + std::to_string(classLine_) +
                                   " gave the class " + std::to_string(classGiven_) +
                                   ": if the file is MOT15 (" + kMot15Layout +
                                   "), read it as mot15");
  }
  maker_.warn(number, what + ": read as a MOT15 file (" + kMot15Layout +
                          ", column 8 a world coordinate), every box a pedestrian, as the "
                          "format mot15 reads it");
  layout_.labelColumn = 0;  // mot15's layout is mot's without the class
  labelRead_ = false;
  mayBeMot15_ = false;
  return true;
}

bool MotReader::addBox(const LineBox& box, uint64_t number) {
  const ClassMapping* mapping = nullptr;
  if (layout_.region) {
    static const ClassMapping kRegion{"DCR"};
    mapping = &kRegion;
  } else {
    bool failed = false;
    mapping = maker_.mapNumber(box.label, number, &failed);
    if (failed) return false;
    if (mapping == nullptr) return true;  // dropped
  }
  if (kept_ != nullptr) {
    kept_->add(box.frame, box.left, box.top, box.right, box.bottom, *mapping, box.flagged,
               box.negativeExtent, box.confidence, number);
    return true;
  }
  return maker_.addBox(box.frame, box.left, box.top, box.right, box.bottom, *mapping, box.flagged,
                       box.confidence, number, box.negativeExtent);
}

bool readAll(RecordMaker& maker, KeptBoxes* kept) {
  const AnnotationReadOptions& options = maker.options();
  const bool mayBeMot15 = options.format == AnnotationFormat::kMot;
  if (!MotReader(maker, layoutOf(options.format, options.role), kept, mayBeMot15).read()) {
    return false;
  }
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

struct MotLineReader::State {
  explicit State(RecordMaker& maker)
      : reader(maker, layoutOf(maker.options().format, maker.options().role), nullptr,
               maker.options().format == AnnotationFormat::kMot) {}
  MotReader reader;
};

MotLineReader::MotLineReader(RecordMaker& maker) : state_(std::make_unique<State>(maker)) {}
MotLineReader::~MotLineReader() = default;

bool MotLineReader::read(std::string_view line, uint64_t number) {
  return state_->reader.readLine(line, number);
}

PlainMotLine readPlainMotLine(RecordMaker& maker, const PlainColumns& columns, uint64_t number,
                              float score) {
  const AnnotationReadOptions& options = maker.options();
  if (options.format != AnnotationFormat::kMot) return PlainMotLine::kNotPlain;
  const bool truth = options.role == AnnotationRole::kGroundTruth;
  // Columns 1 and 3 to 7, and 8 when the line has it; the identity and
  // the columns beyond 8 are not read.
  const std::size_t count = std::min<std::size_t>(columns.count, 8);
  if (count < 7) return PlainMotLine::kNotPlain;
  const uint32_t needed = ((uint32_t{1} << count) - 1) & ~uint32_t{2};
  if ((columns.plain & needed) != needed) return PlainMotLine::kNotPlain;
  const std::array<Decimal, PlainColumns::kMax>& values = columns.values;
  const Decimal& frame = values[0];
  if (frame.scale != 0 || frame.mantissa < 0 || frame.mantissa > int64_t{UINT32_MAX}) {
    return PlainMotLine::kNotPlain;
  }
  int64_t label = 1;  // a class of -1, or none, is a pedestrian
  if (count == 8) {
    if (values[7].scale != 0) return PlainMotLine::kNotPlain;
    if (values[7].mantissa != -1) label = values[7].mantissa;
  }
  const Decimal& width = values[4];
  const Decimal& height = values[5];
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  const bool fits = roundInto(values[2], &left) && roundInto(values[3], &top) &&
                    (width.mantissa < 0 || roundSumInto(values[2], width, &right)) &&
                    (height.mantissa < 0 || roundSumInto(values[3], height, &bottom));
  if (!fits) return PlainMotLine::kNotPlain;  // the reader says what is wrong
  // A negative width or height: a box of no area at its left or top (see
  // MotReader::usualBox()).
  if (width.mantissa < 0) right = left;
  if (height.mantissa < 0) bottom = top;
  // A ground truth's column 7 flags the box when 0; a detection's is its
  // score, none when exactly -1.
  const Decimal& seventh = values[6];
  const bool flagged = truth && seventh.mantissa == 0;
  float confidence = 1.0f;
  if (!truth) {
    confidence = score;
    if (confidence == -1.0f && isMinusOne(seventh)) confidence = kNoConfidence;
  }
  bool failed = false;
  const ClassMapping* mapping = maker.mapNumber(label, number, &failed);
  if (failed) return PlainMotLine::kFailed;
  if (mapping == nullptr) return PlainMotLine::kRead;  // dropped
  if (!maker.addBox(static_cast<uint32_t>(frame.mantissa), left, top, right, bottom, *mapping,
                    flagged, confidence, number, width.mantissa < 0 || height.mantissa < 0)) {
    return PlainMotLine::kFailed;
  }
  return PlainMotLine::kRead;
}

PlainMotLine readPlainMotLine(RecordMaker& maker, std::string_view line, uint64_t number,
                              float score) {
  PlainColumns columns;
  readPlainColumns(line, &columns);
  return readPlainMotLine(maker, columns, number, score);
}

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
