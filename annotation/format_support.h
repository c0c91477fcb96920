// What the readers of other formats share: exact decimal numbers and their
// rounding, lines of a text file, and the making of records with their
// labels mapped and their failures worded as `file:line: what`.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "annotation/formats.h"
#include "annotation/sequence_reader.h"

namespace formats {

/// A decimal number as written: mantissa / 10^scale exactly when `exact`,
/// otherwise (more than 18 digits, a far exponent) only `value`, the
/// nearest double (which an exact decimal may leave unset). Exactness matters where a sum lands on
/// a half: 0.1 + 0.4 is 0.5 and rounds up, whatever binary fractions would say.
struct Decimal {
  int64_t mantissa = 0;
  int scale = 0;  // 0 to 18
  bool exact = true;
  double value = 0.0;
};

/// Reads an optionally signed decimal number, with an optional exponent,
/// blanks around it; false for anything else (also "nan" and "inf").
bool parseDecimal(std::string_view text, Decimal* out);
/// The decimal that a double read from text (JSON's numbers) was written as:
/// its shortest text, read back exactly.
Decimal decimalOf(double value);

/// round(a), halves away from zero, into `out`; false when the result is no
/// 32-bit integer. (Results go through a pointer rather than an optional:
/// a long file rounds four numbers a line, and an optional of four bytes
/// comes back packed in a register that the caller takes apart again.)
bool roundAny(const Decimal& a, int32_t* out);
/// round(a + b), halves away from zero: right = left + width, rounded.
bool roundAnySum(const Decimal& a, const Decimal& b, int32_t* out);

// The same without a call for the numbers of most files: whole numbers and
// numbers of up to four places, whose mantissas stay below 10^14 (so that
// sums and scaled values fit 64 bits). roundScaledInto() rounds
// value / 10^scale for a scale of 0 to 7 and a value of less than 2^62.
inline bool roundScaledInto(int64_t value, int scale, int32_t* out) {
  // Divisions by constants, which compile to multiplications.
  int64_t quotient = value;
  int64_t unit = 1;
  switch (scale) {
    case 1:
      quotient = value / 10;
      unit = 10;
      break;
    case 2:
      quotient = value / 100;
      unit = 100;
      break;
    case 3:
      quotient = value / 1000;
      unit = 1000;
      break;
    case 4:
      quotient = value / 10000;
      unit = 10000;
      break;
    case 5:
      quotient = value / 100000;
      unit = 100000;
      break;
    case 6:
      quotient = value / 1000000;
      unit = 1000000;
      break;
    case 7:
      quotient = value / 10000000;
      unit = 10000000;
      break;
    default:
      break;
  }
  const int64_t remainder = value - quotient * unit;
  quotient += (2 * remainder >= unit) - (-2 * remainder >= unit);  // halves away from zero
  *out = static_cast<int32_t>(quotient);
  return quotient >= INT32_MIN && quotient <= INT32_MAX;
}
inline bool isShort(const Decimal& a) {
  return a.exact && a.scale <= 4 && a.mantissa > -100'000'000'000'000 &&
         a.mantissa < 100'000'000'000'000;
}
inline bool roundInto(const Decimal& a, int32_t* out) {
  if (isShort(a)) return roundScaledInto(a.mantissa, a.scale, out);
  return roundAny(a, out);
}
inline bool roundSumInto(const Decimal& a, const Decimal& b, int32_t* out) {
  if (isShort(a) && isShort(b)) {
    static constexpr int64_t kUp[] = {1, 10, 100, 1000, 10000};
    const int scale = a.scale > b.scale ? a.scale : b.scale;
    return roundScaledInto(a.mantissa * kUp[scale - a.scale] + b.mantissa * kUp[scale - b.scale],
                           scale, out);
  }
  return roundAnySum(a, b, out);
}
inline std::optional<int32_t> roundToInt32(const Decimal& a) {
  int32_t value = 0;
  if (roundInto(a, &value)) return value;
  return std::nullopt;
}
inline std::optional<int32_t> roundSumToInt32(const Decimal& a, const Decimal& b) {
  int32_t value = 0;
  if (roundSumInto(a, b, &value)) return value;
  return std::nullopt;
}
/// round((center + sign * extent / 2) * size), halves away from zero: the
/// edges of a box given by normalized center and extent (sign -1 or +1).
std::optional<int32_t> roundEdgeToInt32(const Decimal& center, const Decimal& extent, int sign,
                                        uint32_t size);
/// round(value) for a value computed in double (turned corners).
std::optional<int32_t> roundDoubleToInt32(double value);

/// The whole number a decimal holds, when it holds one from 0 to `max`
/// ("12", "12.0" and "1.2e1" hold 12).
std::optional<uint64_t> anyWholeValue(const Decimal& a, uint64_t max);
inline std::optional<uint64_t> wholeValue(const Decimal& a, uint64_t max) {
  if (a.exact && a.scale == 0) {  // most frame numbers: no call
    if (a.mantissa < 0 || static_cast<uint64_t>(a.mantissa) > max) return std::nullopt;
    return static_cast<uint64_t>(a.mantissa);
  }
  return anyWholeValue(a, max);
}

/// The whole number a decimal holds, of either sign, when it fits 64 bits.
std::optional<int64_t> anySignedWholeValue(const Decimal& a);
inline std::optional<int64_t> signedWholeValue(const Decimal& a) {
  if (a.exact && a.scale == 0) return a.mantissa;
  return anySignedWholeValue(a);
}

/// Reads a confidence as this format's reader does: a decimal number,
/// optionally with exponent (also "inf"), rounded once to single precision;
/// NaN refused.
bool parseConfidenceText(std::string_view text, float* value);

/// The columns of a comma-separated line as plain decimals: an optional
/// minus, then at most 17 digits with at most one point between digits
/// ("12", "-4", "0.5", "1396.8374002134315"). Such a number every reader
/// reads as the same number; a line read once so can be handed to several
/// readers, each taking the columns it needs (see readPlainColumns()).
struct PlainColumns {
  static constexpr std::size_t kMax = 10;
  std::array<Decimal, kMax> values;          // of the first kMax columns, where plain
  std::array<std::string_view, kMax> texts;  // of those of them that are plain
  uint32_t plain = 0;                        // bit k: column k + 1 is a plain decimal
  uint32_t negative = 0;                     // bit k: column k + 1 starts with a minus ("-0" too)
  std::size_t count = 0;                     // the columns of the line, all of them

  bool isPlain(std::size_t column) const {
    return column <= kMax && (plain >> (column - 1) & 1U) != 0;
  }
  /// Column `column` (from 1), plain, as the double from_chars reads from
  /// its text: below 2^53 its mantissa divided by its power of ten (a
  /// division of two exact doubles, rounded once), from_chars beyond.
  bool exactDouble(std::size_t column, double* out) const;
  /// The same as a float (as parseConfidenceText() reads it), below 2^24
  /// and with at most 10 places.
  bool exactFloat(std::size_t column, float* out) const;
};

/// Reads every column of `line` (its commas counted, the first kMax
/// columns read), marking those that are plain decimals; any other column
/// (blanks, a plus, an exponent, a point at an end, more digits, text,
/// nothing) is only passed over. Reads nothing past the line's end.
void readPlainColumns(std::string_view line, PlainColumns* out);

/// The text between blanks (spaces, tabs, vertical tabs, form feeds).
std::string_view trimBlanks(std::string_view text);

/// Splits `line` at `separator` into `fields` (as many as fit); returns how
/// many fields the line has, whether they fit or not.
std::size_t splitAt(std::string_view line, char separator, std::span<std::string_view> fields);
/// Splits `line` into words between runs of blanks; returns how many words
/// it has, whether they fit or not.
std::size_t splitWords(std::string_view line, std::span<std::string_view> fields);

/// `text` between quotes, readable whatever bytes it holds, cut when long.
std::string quoted(std::string_view text);

/// Hands out the lines of a file, read in large blocks. Lines end at LF,
/// CR LF or a lone CR, as in this format's reader. At least kLinePadding
/// bytes after the end of a line handed out may be read (they hold
/// anything), so a line can be looked at eight bytes at a time.
inline constexpr std::size_t kLinePadding = 16;

class TextLines {
 public:
  explicit TextLines(std::FILE* stream);
  /// The next line without its end; false at the end and after a read error.
  bool next(std::string_view* line);
  /// The line number of the last line handed out (the first is 1).
  uint64_t lineNumber() const { return lineNumber_; }
  /// The errno of a failed read, 0 when none failed.
  int readError() const { return readError_; }

 private:
  std::size_t find(char c, std::size_t* cached, std::size_t from) const;
  void fill();
  std::size_t capacity() const { return buffer_.size() - kLinePadding; }

  std::FILE* stream_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t nextLf_ = SIZE_MAX;
  std::size_t nextCr_ = SIZE_MAX;
  bool afterCr_ = false;
  bool atEnd_ = false;
  int readError_ = 0;
  uint64_t lineNumber_ = 0;
};

/// Memory of `bytes` for a long list: from a megabyte on, in whole pages of
/// 2 MiB where the system has them, so that filling it takes a page fault
/// a page of 2 MiB rather than one every 4 KiB. Given back by freeLarge().
void* allocateLarge(std::size_t bytes);
void freeLarge(void* memory) noexcept;

/// An allocator of long lists (a record a line of a long file) by
/// allocateLarge().
template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  explicit LargeAllocator(const LargeAllocator<U>& /*other*/) noexcept {}
  T* allocate(std::size_t count) { return static_cast<T*>(allocateLarge(count * sizeof(T))); }
  void deallocate(T* memory, std::size_t /*count*/) noexcept { freeLarge(memory); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

/// Closes a stream when it goes.
struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using StreamHandle = std::unique_ptr<std::FILE, StreamCloser>;

/// The line of byte `offset` in `bytes` (the first line is 1), counting
/// forwards from a previous answer when the offsets come in order.
class LineCounter {
 public:
  explicit LineCounter(std::string_view bytes) : bytes_(bytes) {}
  uint64_t lineAt(std::size_t offset);

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  uint64_t line_ = 1;
};

/// One input being read: where its records go, how its labels map, and how
/// its failures are worded.
class RecordMaker {
 public:
  RecordMaker(std::string path, const AnnotationReadOptions& options,
              std::vector<AnnotationRecord>& records, AnnotationReadFailure& failure);

  /// Opens the input; null with the failure set when it cannot.
  StreamHandle open();
  /// The size of the input last opened, when it is a regular file; else 0.
  uint64_t inputSize() const { return inputSize_; }
  /// The records go elsewhere than records(): open() makes no room there.
  void keepNoRecords() { keepsRecords_ = false; }
  /// Reads the whole input (XML and JSON are parsed whole); false with the
  /// failure set when it cannot.
  bool readWhole(std::string& bytes);
  /// Sets the failure to `<file>:<line>: <what>` (no line when 0); returns false.
  bool fail(uint64_t line, std::string_view what);
  /// The same for a bad value: `<where>: "<text>"<problem>`.
  bool failValue(uint64_t line, std::string_view where, std::string_view text,
                 std::string_view problem);
  /// The failure of a read error, or of a file that is no text.
  bool failRead(int error);
  /// Notes `<file>:<line>: <what>` among the warnings of a read that goes on.
  void warn(uint64_t line, std::string_view what);

  /// What a label maps to. Null when the label is dropped (`failed` false)
  /// or unknown (`failed` true, the failure set).
  const ClassMapping* map(std::string_view label, uint64_t line, bool* failed);
  /// The same for a label that is a whole number, with a cache in front:
  /// numeric labels come once per line.
  const ClassMapping* mapNumber(int64_t label, uint64_t line, bool* failed) {
    if (label >= kCachedLow && label <= kCachedHigh) {
      const CachedLabel& cached = numberCache_[static_cast<std::size_t>(label - kCachedLow)];
      if (cached.state != 0) {
        *failed = false;
        return cached.mapping;
      }
    }
    return mapNumberFirst(label, line, failed);
  }

  /// Adds an upright box from its edges as a record. False when the reading
  /// must stop: the record could not be filed, or, filing while reading,
  /// it belongs to a frame before the last one (see outOfOrder()).
  bool addBox(uint32_t frame, int32_t left, int32_t top, int32_t right, int32_t bottom,
              const ClassMapping& mapping, bool markB, float confidence, uint64_t line,
              bool negativeExtent = false) {
    AnnotationRecord r;
    r.frameNumber = frame;
    r.corners = {left, top, right, top, right, bottom, left, bottom};
    r.type = mapping.type;
    r.markA = mapping.markA;
    r.markB = mapping.markB || markB;
    r.negativeExtent = negativeExtent;
    r.confidence = confidence;
    r.line = line;
    return add(r);
  }
  bool add(const AnnotationRecord& record) {
    if (filer_ == nullptr) {
      records_.push_back(record);
      return true;
    }
    return fileNow(record);
  }
  /// Files the records as they come into `filer` instead of keeping them,
  /// for as long as their frame numbers only grow (files listed frame by
  /// frame need no list of their records, nor a sort).
  void fileWhileReading(RecordFiler* filer) { filer_ = filer; }
  /// Filing while reading, a record came of a frame before the last one:
  /// the reading stopped, and must start again keeping the records.
  bool outOfOrder() const { return outOfOrder_; }
  std::vector<AnnotationRecord>& records() { return records_; }
  const std::string& path() const { return path_; }
  const AnnotationReadOptions& options() const { return options_; }
  bool fileNow(const AnnotationRecord& record);
  const ClassMapping* mapNumberFirst(int64_t label, uint64_t line, bool* failed);

  /// The classes of the dataset in its own order (COCO's categories, CVAT's
  /// labels, YOLO's names), when the map takes every label as it is.
  void declareClasses(std::span<const std::string> names);
  /// Puts the classes met in the given order, which names each of them.
  void setClassOrder(std::vector<std::string> names) { classOrder_ = std::move(names); }
  /// The classes the records were given: the map's, or those declared
  /// followed by any other label met; null when they are all among this
  /// format's ten.
  std::shared_ptr<const ClassSet> classSet() const;

  /// Reads as another file (the ignored areas, the images of a results
  /// list): messages name it from now on.
  void renameInput(std::string path) { path_ = std::move(path); }

 private:
  struct LabelHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  struct CachedLabel {
    uint8_t state = 0;  // 0 not looked up, 1 mapped, 2 dropped
    const ClassMapping* mapping = nullptr;
  };
  static constexpr int64_t kCachedLow = -1;
  static constexpr int64_t kCachedHigh = 1023;

  std::string path_;
  const AnnotationReadOptions& options_;
  const ClassMap& map_;
  std::vector<AnnotationRecord>& records_;
  AnnotationReadFailure& failure_;
  std::vector<CachedLabel> numberCache_;
  RecordFiler* filer_ = nullptr;
  bool filing_ = false;  // a record was filed while reading
  uint32_t lastFrame_ = 0;
  bool outOfOrder_ = false;
  bool keepsRecords_ = true;
  uint64_t inputSize_ = 0;
  // The mappings of labels that are types of this format themselves.
  std::vector<std::unique_ptr<ClassMapping>> ownTypes_;
  // A map that takes every label: the mappings made, and the classes in
  // the order declared, then met.
  std::unordered_map<std::string, std::unique_ptr<ClassMapping>, LabelHash, std::equal_to<>>
      labels_;
  std::vector<std::string> classOrder_;
};

/// The order that makes each frame one run: by frame number, records of a
/// frame in the order given. Returns the positions of the records in that
/// order, or nothing when they are in it as they stand (the frame numbers
/// only grow). The records are not moved (they are large, and a sort that
/// moves them costs more than reading them).
std::vector<uint32_t> orderByFrame(std::vector<AnnotationRecord>& records);

/// The same for `count` (at most UINT32_MAX) records of any kind, whose
/// frame numbers `frameOf(k)` gives.
template <class FrameOf>
std::vector<uint32_t> frameOrder(std::size_t count, FrameOf frameOf) {
  bool inOrder = true;
  uint32_t lowest = UINT32_MAX;
  uint32_t highest = 0;
  uint32_t previous = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const uint32_t frame = frameOf(k);
    inOrder &= previous <= frame;
    previous = frame;
    lowest = std::min(lowest, frame);
    highest = std::max(highest, frame);
  }
  if (inOrder) return {};
  std::vector<uint32_t> order(count);
  const uint64_t range = uint64_t{highest} - lowest + 1;
  if (range <= 4 * uint64_t{count} + 1024) {
    // Frames numbered densely, as videos are: counted, then each record
    // dropped into its frame's place, in one pass.
    std::vector<uint32_t> start(range + 1, 0);
    for (std::size_t k = 0; k < count; ++k) ++start[frameOf(k) - lowest + 1];
    for (std::size_t f = 1; f < start.size(); ++f) start[f] += start[f - 1];
    for (std::size_t k = 0; k < count; ++k) {
      order[start[frameOf(k) - lowest]++] = static_cast<uint32_t>(k);
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) order[k] = static_cast<uint32_t>(k);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return frameOf(a) < frameOf(b); });
  }
  return order;
}
/// Puts `records` in `order` (orderByFrame()'s, when not empty).
void applyOrder(std::vector<AnnotationRecord>& records, const std::vector<uint32_t>& order);

/// The number formed by the last run of decimal digits in `name` (a file
/// name without its folder), when it has one of at most 32 bits.
std::optional<uint32_t> lastDigitsOf(std::string_view name);

}  // namespace formats
