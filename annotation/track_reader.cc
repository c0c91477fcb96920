// Tracks are read the way the other formats' readers read their lines (in
// large blocks, each line split where it lies, no allocation per line), but
// every number is kept as the nearest double of its text: the evaluators of
// the tracking benchmarks compute their overlaps on those doubles, and a box
// rounded to whole pixels changes their figures.
#include "annotation/track_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <numbers>
#include <numeric>
#include <pugixml.hpp>
#include <span>
#include <unordered_map>
#include <utility>

#include "annotation/format_support.h"
#include "annotation/sequence_reader.h"

namespace tracking {

namespace {

using formats::quoted;
using formats::splitWords;
using formats::trimBlanks;

// Fields a line is split into; a line may have more, which are only counted.
constexpr std::size_t kMaxFields = 24;
constexpr std::size_t kTalmiraColumns = 15;
constexpr std::size_t kKittiValues = 17;  // a result adds its score

// A KITTI truncation or occlusion level as its benchmark compares it: the
// number's whole part (toward zero), held within an int8_t, which keeps
// every comparison with the limits 0 and 2.
int8_t kittiLevel(double value) {
  return static_cast<int8_t>(std::clamp(std::trunc(value), -128.0, 127.0));
}
// Warnings listed one by one; the rest are counted in one more line.
constexpr std::size_t kMaxWarnings = 100;
// Beyond 2^53 a double no longer holds every whole number, so a whole
// number written with a point or an exponent cannot be told exactly.
constexpr double kWholeLimit = 9007199254740992.0;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool isBlankLine(std::string_view line) {
  // Most lines start with a digit: one test.
  return line.empty() || (isBlank(line.front()) && trimBlanks(line).empty());
}

// Splits `line` at `separator` into `fields` (as many as fit); returns how
// many fields the line has. One pass over the bytes: the fields are short,
// and a search call per field cost more than the bytes themselves.
std::size_t splitFields(std::string_view line, char separator, std::span<std::string_view> fields) {
  const char* const p = line.data();
  std::size_t count = 0;
  std::size_t start = 0;
  for (std::size_t k = 0; k < line.size(); ++k) {
    if (p[k] != separator) continue;
    if (count < fields.size()) fields[count] = std::string_view(p + start, k - start);
    ++count;
    start = k + 1;
  }
  if (count < fields.size()) fields[count] = std::string_view(p + start, line.size() - start);
  return count + 1;
}

// The nearest double of `text` (blanks around it and a sign allowed), when
// it is a finite decimal number. from_chars rounds correctly; beyond the
// doubles' range, where it sets nothing, strtod gives the nearest (zero or a
// denormal below, an infinity above, which is refused).
bool readDouble(std::string_view text, double* out) {
  // Whole numbers of up to 15 digits (ground truths' pixels) are exact in
  // a double: no conversion needed. So is a plain decimal
  // ("466.2211305793929", trackers' boxes) whose digits make a whole number
  // below 2^53: that number and the power of ten (at most 10^22) are exact
  // doubles, so one division rounds the quotient correctly, to the double
  // from_chars gives.
  if (!text.empty() && text.size() <= 24) {
    const bool negative = text.front() == '-';
    uint64_t value = 0;  // wraps past 19 digits, when it is not used
    int digits = 0;
    std::size_t k = negative ? 1 : 0;
    const std::size_t from = k;
    const auto readDigits = [&] {
      for (; k < text.size(); ++k) {
        const auto digit = static_cast<unsigned>(static_cast<unsigned char>(text[k]) - '0');
        if (digit > 9) break;
        value = value * 10 + digit;
        ++digits;
      }
    };
    readDigits();
    if (k == text.size() && k > from && text.size() <= 15) {
      *out = negative ? -static_cast<double>(value) : static_cast<double>(value);
      return true;
    }
    if (k < text.size() && k > from && text[k] == '.') {
      const std::size_t point = k++;
      readDigits();
      if (k == text.size() && point + 1 < text.size() && digits <= 19 &&
          value < (uint64_t{1} << 53)) {
        static constexpr std::array<double, 23> kPowers = {
            1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const double magnitude = static_cast<double>(value) / kPowers[text.size() - point - 1];
        *out = negative ? -magnitude : magnitude;
        return true;
      }
    }
  }
  text = trimBlanks(text);
  std::string_view body = text;
  const bool negative = !body.empty() && body.front() == '-';
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
  if (body.empty() || body.front() == '+' || body.front() == '-') return false;
  double magnitude = 0.0;
  const char* const last = body.data() + body.size();
  const auto [end, status] = std::from_chars(body.data(), last, magnitude);
  if (end != last) return false;
  if (status == std::errc::result_out_of_range) {
    const std::string copy(body);
    char* stop = nullptr;
    magnitude = std::strtod(copy.c_str(), &stop);
    if (stop != copy.c_str() + copy.size()) return false;
  } else if (status != std::errc{}) {
    return false;
  }
  if (!std::isfinite(magnitude)) return false;  // "inf", "nan", 1e999
  *out = negative ? -magnitude : magnitude;
  return true;
}

enum class WholeRead : uint8_t { kWhole, kNotNumber, kNotWhole, kTooLarge };

// The whole number `text` holds: "12", "-3", and also "12.0" or "1.2e1"
// (trackers write identities as floats).
WholeRead readWhole(std::string_view text, int64_t* out) {
  // The usual text: up to 18 digits after an optional minus, nothing else.
  const bool negative = !text.empty() && text.front() == '-';
  const std::size_t from = negative ? 1 : 0;
  if (text.size() > from && text.size() - from <= 18) {
    int64_t value = 0;
    std::size_t k = from;
    for (; k < text.size(); ++k) {
      const auto digit = static_cast<unsigned>(static_cast<unsigned char>(text[k]) - '0');
      if (digit > 9) break;
      value = value * 10 + static_cast<int64_t>(digit);
    }
    if (k == text.size()) {
      *out = negative ? -value : value;
      return WholeRead::kWhole;
    }
  }
  double value = 0.0;
  if (!readDouble(text, &value)) return WholeRead::kNotNumber;
  if (std::trunc(value) != value) return WholeRead::kNotWhole;
  if (std::fabs(value) > kWholeLimit) return WholeRead::kTooLarge;
  *out = static_cast<int64_t>(value);
  return WholeRead::kWhole;
}

std::string shortest(double value) {
  std::array<char, 32> text;
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
  return std::string(text.data(), result.ptr);
}

// Texts numbered as they first come, without an allocation for a text seen
// before.
class TextNumbers {
 public:
  uint32_t numberOf(std::string_view text) {
    const auto found = at_.find(text);
    if (found != at_.end()) return found->second;
    const auto number = static_cast<uint32_t>(texts_.size());
    texts_.emplace_back(text);
    at_.emplace(std::string(text), number);
    return number;
  }
  std::vector<std::string>& texts() { return texts_; }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> at_;
  std::vector<std::string> texts_;
};

// Where a MOT-like layout keeps what; columns counted from 1, 0 for nowhere.
struct MotColumns {
  std::size_t minColumns = 7;
  std::string_view names;  // the columns up to minColumns, for messages
  std::size_t considered = 0;
  std::size_t confidence = 0;
  std::size_t label = 0;  // read when the line has it; a whole number
};

MotColumns motColumns(TrackLayout layout, bool truth) {
  switch (layout) {
    case TrackLayout::kMot15:
      return truth ? MotColumns{7, "frame,id,left,top,width,height,consider", 7, 0, 0}
                   : MotColumns{7, "frame,id,left,top,width,height,confidence", 0, 7, 0};
    case TrackLayout::kVisDrone:
      return truth ? MotColumns{8, "frame,id,left,top,width,height,score,category", 7, 0, 8}
                   : MotColumns{8, "frame,id,left,top,width,height,score,category", 0, 7, 8};
    case TrackLayout::kUavdt:
      return truth ? MotColumns{9, "frame,id,left,top,width,height,out-of-view,occlusion,category",
                                0, 0, 9}
                   : MotColumns{7, "frame,id,left,top,width,height,score", 0, 7, 9};
    case TrackLayout::kAutomatic:  // column 8 is looked at apart
      return truth ? MotColumns{8, "frame,id,left,top,width,height,consider,class", 7, 0, 0}
                   : MotColumns{7, "frame,id,left,top,width,height,confidence", 0, 7, 0};
    default:  // kMot16
      return truth ? MotColumns{8, "frame,id,left,top,width,height,consider,class", 7, 0, 8}
                   : MotColumns{7, "frame,id,left,top,width,height,confidence", 0, 7, 8};
  }
}

class TrackFileReader {
 public:
  explicit TrackFileReader(const TrackReadRequest& request)
      : layout_(request.layout),
        truth_(request.role == AnnotationRole::kGroundTruth),
        mot_(motColumns(request.layout, truth_)) {
    file_.source = request.path;
  }

  TrackFile read();
  // One line of a MOT-like layout, and what read() decides at the end.
  TrackBox readOneMotLine(std::string_view line, uint64_t number, uint32_t* frame) {
    readMotLine(line, number);
    const TrackBox box = file_.boxes.back();
    *frame = file_.frames.back();
    file_.boxes.pop_back();
    file_.frames.pop_back();
    return box;
  }
  // One line of the automatic MOT layout read already as plain columns,
  // when every column it reads is plain and the box has no negative
  // extent: the box and evidence readMotLine() gives. False (nothing
  // noted) for any other line, which readMotLine() then reads.
  bool readPlainMotLine(const formats::PlainColumns& columns, uint64_t number, TrackBox* out,
                        uint32_t* frameOut);
  TrackLayout finishLines() {
    file_.layout = layout_;
    if (layout_ == TrackLayout::kAutomatic) finishAutomatic();
    return file_.layout;
  }

 private:
  [[noreturn]] void fail(uint64_t line, std::string problem) const {
    throw TrackReadError(file_.source, line, std::move(problem));
  }
  [[noreturn]] void failValue(uint64_t line, std::string_view where, std::string_view text,
                              std::string_view problem) const {
    fail(line, std::string(where) + ": " + quoted(trimBlanks(text)) + std::string(problem));
  }
  std::string where(std::size_t field) const {
    return (layout_ == TrackLayout::kKitti ? "value " : "column ") + std::to_string(field);
  }

  double number(std::span<const std::string_view> fields, std::size_t field, uint64_t line) const {
    double value = 0.0;
    if (!readDouble(fields[field - 1], &value)) {
      failValue(line, where(field), fields[field - 1], " is not a finite number");
    }
    return value;
  }
  int64_t whole(std::span<const std::string_view> fields, std::size_t field, uint64_t line,
                std::string_view what) const;
  uint32_t frame(std::span<const std::string_view> fields, uint64_t line, int64_t first) const;
  float confidence(std::span<const std::string_view> fields, std::size_t field,
                   uint64_t line) const {
    float value = 0.0f;
    if (!formats::parseConfidenceText(fields[field - 1], &value)) {
      failValue(line, where(field), fields[field - 1], " is not a number");
    }
    return value;
  }
  int32_t label(std::span<const std::string_view> fields, std::size_t field, uint64_t line) const;

  void readMotLine(std::string_view line, uint64_t number);
  void readKittiLine(std::string_view line, uint64_t number);
  void readCvat(std::FILE* stream);
  void readCvatTrack(const pugi::xml_node& track, formats::LineCounter& lines);
  void readTalmiraLine(std::string_view line, uint64_t number);
  // Adds a box of that width and height as read (or as its corners give
  // them), with a warning when one is negative.
  void add(uint32_t frame, const TrackBox& box, double width, double height);
  void finishAutomatic();
  void finishIdentityTexts();

  TrackLayout layout_;
  bool truth_;
  MotColumns mot_;
  TrackFile file_;
  std::array<std::string_view, kMaxFields> fields_;
  std::size_t suppressedWarnings_ = 0;
  // This format's identities, and the names of the classes of this format
  // and KITTI's.
  TextNumbers identities_;
  TextNumbers labels_;

  // What kAutomatic learns of a MOT file while reading it.
  struct Evidence {
    std::size_t maxColumns = 0;
    bool column8NotClass = false;      // not a whole number from 1 to 13 somewhere
    bool column9NotFraction = false;   // not in [0, 1] somewhere
    uint64_t column8NotWholeLine = 0;  // the first line where it is no whole number
    std::string column8NotWholeText;
  } evidence_;
};

int64_t TrackFileReader::whole(std::span<const std::string_view> fields, std::size_t field,
                               uint64_t line, std::string_view what) const {
  const std::string_view text = trimBlanks(fields[field - 1]);
  int64_t value = 0;
  switch (readWhole(text, &value)) {
    case WholeRead::kWhole:
      return value;
    case WholeRead::kNotNumber:
      failValue(line, where(field), text, " is not a number");
    case WholeRead::kNotWhole:
      failValue(line, where(field), text, " is not a whole number (" + std::string(what) + ")");
    case WholeRead::kTooLarge:
      break;
  }
  failValue(line, where(field), text,
            " is beyond 2^53, where a number written so is no exact whole number (" +
                std::string(what) + ")");
}

uint32_t TrackFileReader::frame(std::span<const std::string_view> fields, uint64_t line,
                                int64_t first) const {
  const int64_t value = whole(fields, 1, line, "a frame number");
  const int64_t shifted = value - first + 1;
  if (value < first || shifted > int64_t{UINT32_MAX}) {
    failValue(line, where(1), fields[0],
              " is not a frame number (a whole number from " + std::to_string(first) + " to " +
                  std::to_string(int64_t{UINT32_MAX} + first - 1) + ")");
  }
  return static_cast<uint32_t>(shifted);
}

int32_t TrackFileReader::label(std::span<const std::string_view> fields, std::size_t field,
                               uint64_t line) const {
  const std::string_view text = trimBlanks(fields[field - 1]);
  int64_t value = 0;
  const WholeRead read = readWhole(text, &value);
  if (read == WholeRead::kNotNumber) failValue(line, where(field), text, " is not a number");
  if (read != WholeRead::kWhole || value < INT32_MIN || value > INT32_MAX) {
    failValue(line, where(field), text, " is not a class number (a whole number of 32 bits)");
  }
  return static_cast<int32_t>(value);
}

void TrackFileReader::add(uint32_t frame, const TrackBox& box, double width, double height) {
  if (width < 0.0 || height < 0.0) {
    if (file_.warnings.size() < kMaxWarnings) {
      std::string what = "negative ";
      if (width < 0.0) what += "width " + shortest(width);
      if (width < 0.0 && height < 0.0) what += " and ";
      if (height < 0.0) what += "height " + shortest(height);
      what += ": the box has no area and never matches";
      file_.warnings.push_back(locatedMessage(file_.source, box.line, what));
    } else {
      ++suppressedWarnings_;
    }
  }
  file_.boxes.push_back(box);
  file_.frames.push_back(frame);
}

void TrackFileReader::readMotLine(std::string_view line, uint64_t number) {
  std::size_t count = splitFields(line, ',', fields_);
  if (count == 1) {
    count = splitWords(line, fields_);  // written with blanks between the values
  } else if (count <= kMaxFields && trimBlanks(fields_[count - 1]).empty()) {
    --count;  // a comma at the end of the line
  }
  const std::span<const std::string_view> fields(fields_.data(), std::min(count, kMaxFields));
  if (count < mot_.minColumns) {
    std::string problem = "expected at least " + std::to_string(mot_.minColumns) + " columns (" +
                          std::string(mot_.names) + "), found " + std::to_string(count);
    if (layout_ == TrackLayout::kAutomatic && truth_ && count == 7) {
      problem += "; a MOT15 ground truth of 7 columns reads with the layout mot15";
    }
    fail(number, std::move(problem));
  }
  const uint32_t frame = this->frame(fields, number, 1);
  TrackBox box;
  box.id = whole(fields, 2, number, "an identity");
  box.left = this->number(fields, 3, number);
  box.top = this->number(fields, 4, number);
  const double width = this->number(fields, 5, number);
  const double height = this->number(fields, 6, number);
  box.right = box.left + width;
  box.bottom = box.top + height;
  if (mot_.considered != 0) box.considered = this->number(fields, mot_.considered, number) != 0.0;
  if (mot_.confidence != 0) box.confidence = confidence(fields, mot_.confidence, number);
  if (mot_.label != 0 && count >= mot_.label) box.label = label(fields, mot_.label, number);
  if (layout_ == TrackLayout::kAutomatic) {
    evidence_.maxColumns = std::max(evidence_.maxColumns, count);
    if (count >= 8) {
      const std::string_view text = trimBlanks(fields[7]);
      int64_t value = 0;
      const WholeRead read = readWhole(text, &value);
      if (read == WholeRead::kNotNumber) failValue(number, "column 8", text, " is not a number");
      if (read == WholeRead::kWhole && value >= INT32_MIN && value <= INT32_MAX) {
        box.label = static_cast<int32_t>(value);
        evidence_.column8NotClass |= value < 1 || value > 13;
      } else {
        evidence_.column8NotClass = true;
        if (evidence_.column8NotWholeLine == 0) {
          evidence_.column8NotWholeLine = number;
          evidence_.column8NotWholeText = text;
        }
      }
    }
    if (truth_ && count >= 9) {
      const double value = this->number(fields, 9, number);
      evidence_.column9NotFraction |= !(value >= 0.0 && value <= 1.0);
    }
  }
  box.line = number;
  add(frame, box, width, height);
}

bool TrackFileReader::readPlainMotLine(const formats::PlainColumns& columns, uint64_t number,
                                       TrackBox* out, uint32_t* frameOut) {
  using formats::Decimal;
  const std::size_t count = columns.count;
  // The last column plain: no blank column at the end, which readMotLine()
  // does not count.
  if (layout_ != TrackLayout::kAutomatic || count < mot_.minColumns ||
      count > formats::PlainColumns::kMax || !columns.isPlain(count)) {
    return false;
  }
  const Decimal& frame = columns.values[0];
  const Decimal& id = columns.values[1];
  if (!columns.isPlain(1) || frame.scale != 0 || frame.mantissa < 1 ||
      frame.mantissa > int64_t{UINT32_MAX} || !columns.isPlain(2) || id.scale != 0) {
    return false;
  }
  TrackBox box;
  box.id = id.mantissa;
  double width = 0.0;
  double height = 0.0;
  if (!columns.exactDouble(3, &box.left) || !columns.exactDouble(4, &box.top) ||
      !columns.exactDouble(5, &width) || !columns.exactDouble(6, &height) || width < 0.0 ||
      height < 0.0) {
    return false;
  }
  box.right = box.left + width;
  box.bottom = box.top + height;
  if (mot_.considered != 0) {
    double considered = 0.0;
    if (!columns.exactDouble(mot_.considered, &considered)) return false;
    box.considered = considered != 0.0;
  }
  if (mot_.confidence != 0 && !columns.exactFloat(mot_.confidence, &box.confidence)) return false;
  bool notClass = false;
  if (count >= 8) {
    const Decimal& label = columns.values[7];
    if (!columns.isPlain(8) || label.scale != 0 || label.mantissa < INT32_MIN ||
        label.mantissa > INT32_MAX) {
      return false;
    }
    box.label = static_cast<int32_t>(label.mantissa);
    notClass = label.mantissa < 1 || label.mantissa > 13;
  }
  bool notFraction = false;
  if (truth_ && count >= 9) {
    double value = 0.0;
    if (!columns.exactDouble(9, &value)) return false;
    notFraction = !(value >= 0.0 && value <= 1.0);
  }
  evidence_.maxColumns = std::max(evidence_.maxColumns, count);
  evidence_.column8NotClass |= notClass;
  evidence_.column9NotFraction |= notFraction;
  box.line = number;
  *out = box;
  *frameOut = static_cast<uint32_t>(frame.mantissa);
  return true;
}

void TrackFileReader::readKittiLine(std::string_view line, uint64_t number) {
  const std::size_t count = splitWords(line, fields_);
  if (count != kKittiValues && count != kKittiValues + 1) {
    fail(number,
         "expected 17 values (frame track_id type truncated occluded alpha left top right "
         "bottom h w l x y z ry), 18 with a score; found " +
             std::to_string(count));
  }
  const std::span<const std::string_view> fields(fields_.data(), count);
  const uint32_t frame = this->frame(fields, number, 0);  // KITTI counts frames from 0
  TrackBox box;
  box.id = whole(fields, 2, number, "a track id");
  box.truncation = kittiLevel(this->number(fields, 4, number));
  box.occlusion = kittiLevel(this->number(fields, 5, number));
  box.left = this->number(fields, 7, number);
  box.top = this->number(fields, 8, number);
  box.right = this->number(fields, 9, number);
  box.bottom = this->number(fields, 10, number);
  if (count > kKittiValues) box.confidence = confidence(fields, kKittiValues + 1, number);
  box.label = static_cast<int32_t>(labels_.numberOf(fields[2]));
  box.considered = box.id != -1;  // DontCare
  box.line = number;
  add(frame, box, box.right - box.left, box.bottom - box.top);
}

void TrackFileReader::readTalmiraLine(std::string_view line, uint64_t number) {
  const std::size_t count = splitFields(line, ',', fields_);
  if (count != kTalmiraColumns) {
    fail(number, "expected 15 columns, found " + std::to_string(count));
  }
  const std::span<const std::string_view> fields(fields_.data(), count);
  const uint32_t frame = this->frame(fields, number, 1);
  std::array<double, 8> corners;  // x1, y1, ..., x4, y4
  for (std::size_t k = 0; k < corners.size(); ++k) corners[k] = this->number(fields, 2 + k, number);
  TrackBox box;
  box.confidence = confidence(fields, 13, number);
  std::string_view type = trimBlanks(fields[9]);
  if (type.empty()) type = "DCO";  // as this format's reader reads it
  // Don't-care regions and ignored records mark areas and frames, not
  // objects: no track has them.
  if (type == "DCR" || type == "DCF") return;
  const std::string_view identity = trimBlanks(fields[13]);
  if (identity.empty()) {
    fail(number, "column 14: no identity (the text of column 14 names the track of a box)");
  }
  box.left = std::min({corners[0], corners[2], corners[4], corners[6]});
  box.right = std::max({corners[0], corners[2], corners[4], corners[6]});
  box.top = std::min({corners[1], corners[3], corners[5], corners[7]});
  box.bottom = std::max({corners[1], corners[3], corners[5], corners[7]});
  box.id = identities_.numberOf(identity);  // numbered in sorted order once all are read
  box.label = static_cast<int32_t>(labels_.numberOf(type));
  box.considered =
      !truth_ || (trimBlanks(fields[10]) != "TRUE" && trimBlanks(fields[11]) != "TRUE");
  box.line = number;
  add(frame, box, box.right - box.left, box.bottom - box.top);  // never negative
}

// CVAT for video 1.1: each <track id label> an identity, each of its
// <box frame xtl ytl xbr ybr [rotation] outside> a box of it, as the
// detections' reader of CVAT takes them (boxes outside the picture left out,
// keyframes and interpolated boxes alike, occluded ones kept, a rotation
// turning the corners about the centre), at the file's precision: the box
// is the turned corners' bounds, in doubles. Frames count from 0.
void TrackFileReader::readCvat(std::FILE* stream) {
  std::string bytes;
  std::array<char, 1 << 16> block;
  std::size_t got = 0;
  while ((got = std::fread(block.data(), 1, block.size(), stream)) > 0)
    bytes.append(block.data(), got);
  if (std::ferror(stream)) {
    const int error = errno;
    throw TrackReadError(file_.source, 0, std::string("cannot read: ") + std::strerror(error),
                         error);
  }
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
  formats::LineCounter lines(bytes);
  const auto lineAt = [&](std::ptrdiff_t offset) {
    return lines.lineAt(static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)));
  };
  if (!parsed) {
    fail(lineAt(parsed.offset), std::string("not well-formed XML: ") + parsed.description());
  }
  const pugi::xml_node root = document.document_element();
  if (!root) fail(0, "holds no XML element: not CVAT for video 1.1");
  if (std::string_view(root.name()) != "annotations") {
    fail(lineAt(root.offset_debug()), "the document is <" + std::string(root.name()) +
                                          ">, not the <annotations> of CVAT for video 1.1");
  }
  // The labels the task (or its project) defines come first, in their order.
  const pugi::xml_node meta = root.child("meta");
  pugi::xml_node declared = meta.child("task").child("labels");
  if (!declared) declared = meta.child("project").child("labels");
  for (const pugi::xml_node& label : declared.children("label")) {
    const std::string_view name = label.child_value("name");
    if (!name.empty()) labels_.numberOf(name);
  }
  for (const pugi::xml_node& child : root.children()) {
    if (child.type() != pugi::node_element) continue;
    const std::string_view name = child.name();
    if (name == "track") {
      readCvatTrack(child, lines);
    } else if (name == "image") {
      fail(lineAt(child.offset_debug()),
           "<image> is CVAT for images, which has no tracks; export the task as CVAT for video "
           "1.1");
    }
  }
}

void TrackFileReader::readCvatTrack(const pugi::xml_node& track, formats::LineCounter& lines) {
  const auto lineOf = [&](const pugi::xml_node& node) {
    const std::ptrdiff_t offset = node.offset_debug();
    return offset < 0 ? uint64_t{0} : lines.lineAt(static_cast<std::size_t>(offset));
  };
  // Tracks of other shapes (polygons, points) are no boxes.
  if (!track.child("box")) return;
  const uint64_t line = lineOf(track);
  const pugi::xml_attribute idAttribute = track.attribute("id");
  const pugi::xml_attribute labelAttribute = track.attribute("label");
  if (!idAttribute) fail(line, "<track>: attribute \"id\" is missing (the track's identity)");
  if (!labelAttribute) fail(line, "<track>: attribute \"label\" is missing");
  int64_t id = 0;
  if (readWhole(trimBlanks(idAttribute.value()), &id) != WholeRead::kWhole) {
    failValue(line, "<track> id", idAttribute.value(), " is not a whole number (an identity)");
  }
  const auto label = static_cast<int32_t>(labels_.numberOf(labelAttribute.value()));
  for (const pugi::xml_node& shape : track.children("box")) {
    const uint64_t at = lineOf(shape);
    if (std::string_view(shape.attribute("outside").value()) == "1") continue;
    const auto value = [&](const char* name, bool required) {
      const pugi::xml_attribute attribute = shape.attribute(name);
      double number = 0.0;
      if (!attribute) {
        if (required) fail(at, "<box>: attribute \"" + std::string(name) + "\" is missing");
        return number;
      }
      if (!readDouble(attribute.value(), &number)) {
        failValue(at, "<box> " + std::string(name), attribute.value(), " is not a finite number");
      }
      return number;
    };
    const pugi::xml_attribute frameAttribute = shape.attribute("frame");
    if (!frameAttribute) fail(at, "<box>: attribute \"frame\" is missing");
    int64_t frame = 0;
    if (readWhole(trimBlanks(frameAttribute.value()), &frame) != WholeRead::kWhole || frame < 0 ||
        frame >= int64_t{UINT32_MAX}) {
      failValue(at, "<box> frame", frameAttribute.value(),
                " is not a frame number (a whole number from 0 to 4294967294)");
    }
    const double xtl = value("xtl", true), ytl = value("ytl", true);
    const double xbr = value("xbr", true), ybr = value("ybr", true);
    const double degrees = value("rotation", false);
    TrackBox box;
    box.id = id;
    box.label = label;
    box.line = at;
    if (degrees == 0.0) {
      box.left = xtl;
      box.top = ytl;
      box.right = xbr;
      box.bottom = ybr;
    } else {
      // Turned clockwise on the picture (y grows downwards) about the
      // centre, as the detections' reader turns it; quarter turns exactly.
      double cosine = 0.0;
      double sine = 0.0;
      const double quarter = degrees / 90.0;
      if (quarter == std::floor(quarter) && std::fabs(quarter) < 1e9) {
        static constexpr double kCos[] = {1, 0, -1, 0};
        static constexpr double kSin[] = {0, 1, 0, -1};
        const auto k = static_cast<std::size_t>(((static_cast<int64_t>(quarter) % 4) + 4) % 4);
        cosine = kCos[k];
        sine = kSin[k];
      } else {
        const double radians = degrees * std::numbers::pi / 180.0;
        cosine = std::cos(radians);
        sine = std::sin(radians);
      }
      const double cx = (xtl + xbr) / 2.0;
      const double cy = (ytl + ybr) / 2.0;
      const double xs[4] = {xtl, xbr, xbr, xtl};
      const double ys[4] = {ytl, ytl, ybr, ybr};
      box.left = box.top = std::numeric_limits<double>::infinity();
      box.right = box.bottom = -std::numeric_limits<double>::infinity();
      for (std::size_t k = 0; k < 4; ++k) {
        const double dx = xs[k] - cx;
        const double dy = ys[k] - cy;
        const double x = cx + dx * cosine - dy * sine;
        const double y = cy + dx * sine + dy * cosine;
        box.left = std::min(box.left, x);
        box.right = std::max(box.right, x);
        box.top = std::min(box.top, y);
        box.bottom = std::max(box.bottom, y);
      }
    }
    add(static_cast<uint32_t>(frame + 1), box, box.right - box.left, box.bottom - box.top);
  }
}

// Decides between MOT15 and MOT16 once the whole file is read.
void TrackFileReader::finishAutomatic() {
  const Evidence& e = evidence_;
  bool mot15 = false;
  if (truth_) {
    if (e.maxColumns >= 10) {
      mot15 = e.column8NotClass || e.column9NotFraction;
      if (!mot15) {
        fail(0,
             "cannot tell MOT15 from MOT16: the lines have 10 columns, as MOT15's do, but "
             "column 8 holds classes from 1 to 13 and column 9 fractions from 0 to 1 throughout, "
             "as MOT16's visibility; give the layout (mot15 or mot16)");
      }
    }
  } else {
    mot15 = e.column8NotWholeLine != 0;  // world coordinates there
  }
  if (!mot15 && e.column8NotWholeLine != 0) {
    failValue(e.column8NotWholeLine, "column 8", e.column8NotWholeText,
              " is not a class number (a whole number of 32 bits)");
  }
  file_.layout = mot15 ? TrackLayout::kMot15 : TrackLayout::kMot16;
  if (mot15) {
    for (TrackBox& box : file_.boxes) box.label = -1;
  }
}

// This format's identities numbered in the sorted order of their texts.
void TrackFileReader::finishIdentityTexts() {
  const std::vector<std::string>& texts = identities_.texts();
  std::vector<uint32_t> sorted(texts.size());
  for (std::size_t k = 0; k < sorted.size(); ++k) sorted[k] = static_cast<uint32_t>(k);
  std::sort(sorted.begin(), sorted.end(),
            [&](uint32_t a, uint32_t b) { return texts[a] < texts[b]; });
  std::vector<int64_t> rank(texts.size());
  for (std::size_t k = 0; k < sorted.size(); ++k) rank[sorted[k]] = static_cast<int64_t>(k);
  for (TrackBox& box : file_.boxes) box.id = rank[static_cast<std::size_t>(box.id)];
  file_.identityNames.resize(texts.size());
  for (std::size_t k = 0; k < sorted.size(); ++k) file_.identityNames[k] = texts[sorted[k]];
}

TrackFile TrackFileReader::read() {
  const formats::StreamHandle stream(std::fopen(file_.source.c_str(), "r"));
  if (stream == nullptr) {
    const int error = errno;
    throw TrackReadError(file_.source, 0, std::string("cannot open: ") + std::strerror(error),
                         error);
  }
  // Room for a box every 24 bytes, about the shortest MOT line: growing the
  // lists box by box would copy them again and again, and room never
  // written takes no memory.
  struct stat status {};
  if (fstat(fileno(stream.get()), &status) == 0 && S_ISREG(status.st_mode)) {
    const auto expected = static_cast<std::size_t>(status.st_size / 24);
    file_.boxes.reserve(expected);
    file_.frames.reserve(expected);
  }
  if (layout_ == TrackLayout::kCvat) {
    readCvat(stream.get());
    file_.layout = layout_;
    file_.labelNames = std::move(labels_.texts());
    return std::move(file_);
  }
  formats::TextLines lines(stream.get());
  std::string_view line;
  while (lines.next(&line)) {
    const uint64_t number = lines.lineNumber();
    if (number == 1) {
      if (layout_ == TrackLayout::kTalmira) continue;               // the header, whatever it holds
      if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);  // a byte order mark
    }
    if (isBlankLine(line)) continue;
    switch (layout_) {
      case TrackLayout::kKitti:
        readKittiLine(line, number);
        break;
      case TrackLayout::kTalmira:
        readTalmiraLine(line, number);
        break;
      default:
        readMotLine(line, number);
        break;
    }
  }
  if (lines.readError() != 0) {
    throw TrackReadError(file_.source, 0,
                         std::string("cannot read: ") + std::strerror(lines.readError()),
                         lines.readError());
  }
  file_.layout = layout_;
  if (layout_ == TrackLayout::kAutomatic) finishAutomatic();
  if (layout_ == TrackLayout::kTalmira) finishIdentityTexts();
  if (layout_ == TrackLayout::kKitti || layout_ == TrackLayout::kTalmira) {
    file_.labelNames = std::move(labels_.texts());
  }
  if (suppressedWarnings_ != 0) {
    file_.warnings.push_back(locatedMessage(
        file_.source, 0,
        std::to_string(suppressedWarnings_) +
            " more boxes of negative width or height, not listed: they have no area and never "
            "match"));
  }
  return std::move(file_);
}

// The boxes in frame order, in place. A gathered copy would hold a second
// list of boxes, the largest thing `talmira track` keeps, and following the
// cycles of the order in place chains one cache miss on the next (three
// times as slow on two million boxes). So the order is taken a block of
// positions at a time: the block's boxes are gathered from wherever they
// are (independent reads, as fast as the whole copy), the boxes still in
// the block that go further down are moved to the places just emptied
// beyond it (as many as were emptied), and the block is written. Every box
// is gathered once and moved aside at most once a block it passes through,
// at most as many moves as boxes in all; the extra memory is three indexes
// a box and the block. place[k] is the place of box k's frame among the
// frames with a box, whose boxes begin at frameStart[place[k]].
template <class Index>
void orderByFrame(std::vector<TrackBox>& boxes, const std::vector<uint32_t>& place,
                  const std::vector<uint64_t>& frameStart) {
  const std::size_t n = boxes.size();
  // source[d]: the box (by its place in the file) that goes to position d.
  std::vector<Index> source(n);
  {
    std::vector<uint64_t> next(frameStart.begin(), frameStart.end() - 1);
    for (std::size_t k = 0; k < n; ++k) source[next[place[k]]++] = static_cast<Index>(k);
  }
  // where[k]: the position box k is at; at[p]: the box at position p.
  std::vector<Index> where(n);
  std::iota(where.begin(), where.end(), Index{0});
  std::vector<Index> at = where;
  // Several blocks even for a few boxes, so that every road is taken.
  const std::size_t block = std::clamp<std::size_t>(n / 16, 1, 16384);
  std::vector<TrackBox> gathered(block);
  std::vector<char> taken(block);
  std::vector<Index> emptied;
  emptied.reserve(block);
  // Positions before `first` hold their boxes; every one from it on holds a
  // box still to be placed.
  for (std::size_t first = 0; first < n; first += block) {
    const std::size_t end = first + std::min(block, n - first);
    std::fill(taken.begin(), taken.end(), 0);
    emptied.clear();
    for (std::size_t d = first; d < end; ++d) {
      const std::size_t p = where[source[d]];
      gathered[d - first] = boxes[p];
      if (p < end) {
        taken[p - first] = 1;
      } else {
        emptied.push_back(static_cast<Index>(p));
      }
    }
    std::size_t next = 0;
    for (std::size_t p = first; p < end; ++p) {
      if (taken[p - first]) continue;
      const Index to = emptied[next++];
      boxes[to] = boxes[p];
      where[at[p]] = to;
      at[to] = at[p];
    }
    std::copy(gathered.begin(), gathered.begin() + static_cast<std::ptrdiff_t>(end - first),
              boxes.begin() + static_cast<std::ptrdiff_t>(first));
  }
}

// Whether a box may share its identity with others of its frame: KITTI's
// DontCare areas all have track id -1.
bool mayRepeat(TrackLayout layout, const TrackBox& box) {
  return layout == TrackLayout::kKitti && box.id == -1;
}

}  // namespace

std::string_view layoutName(TrackLayout layout) {
  switch (layout) {
    case TrackLayout::kAutomatic:
      return "auto";
    case TrackLayout::kMot15:
      return "mot15";
    case TrackLayout::kMot16:
      return "mot16";
    case TrackLayout::kVisDrone:
      return "visdrone";
    case TrackLayout::kUavdt:
      return "uavdt";
    case TrackLayout::kKitti:
      return "kitti";
    case TrackLayout::kTalmira:
      return "talmira";
    case TrackLayout::kCvat:
      return "cvat";
  }
  return "auto";
}

std::optional<TrackLayout> layoutNamed(std::string_view name) {
  if (name == "mot17" || name == "mot20") return TrackLayout::kMot16;
  for (const TrackLayout layout :
       {TrackLayout::kAutomatic, TrackLayout::kMot15, TrackLayout::kMot16, TrackLayout::kVisDrone,
        TrackLayout::kUavdt, TrackLayout::kKitti, TrackLayout::kTalmira, TrackLayout::kCvat}) {
    if (name == layoutName(layout)) return layout;
  }
  return std::nullopt;
}

TrackReadError::TrackReadError(std::string file, uint64_t line, std::string problem,
                               int systemError)
    : std::runtime_error(locatedMessage(file, line, problem)),
      file_(std::move(file)),
      line_(line),
      problem_(std::move(problem)),
      systemError_(systemError) {}

uint32_t TrackFile::lastFrame() const {
  return frames.empty() ? 0 : *std::max_element(frames.begin(), frames.end());
}

TrackFile readTrackFile(const TrackReadRequest& request) { return TrackFileReader(request).read(); }

class TrackLineReader::Reader : public TrackFileReader {
 public:
  using TrackFileReader::TrackFileReader;
};

TrackLineReader::TrackLineReader(const TrackReadRequest& request)
    : reader_(std::make_unique<Reader>(request)) {}
TrackLineReader::~TrackLineReader() = default;

TrackBox TrackLineReader::read(std::string_view line, uint64_t number, uint32_t* frame) {
  return reader_->readOneMotLine(line, number, frame);
}

bool TrackLineReader::readPlain(const formats::PlainColumns& columns, uint64_t number,
                                TrackBox* box, uint32_t* frame) {
  return reader_->readPlainMotLine(columns, number, box, frame);
}

TrackLayout TrackLineReader::finish() { return reader_->finishLines(); }

TrackSequence framedTracks(TrackFile&& file, uint32_t length, bool refuseRepeatedIds) {
  if (file.frames.size() != file.boxes.size()) {
    throw std::invalid_argument("framedTracks: a frame for every box is needed");
  }
  TrackSequence sequence;
  sequence.source = std::move(file.source);
  sequence.length = length;
  std::vector<TrackBox>& boxes = file.boxes;
  // Taken from the file, so that the frames go once the boxes are framed;
  // each box's frame becomes its frame's place among those with a box.
  std::vector<uint32_t> place = std::move(file.frames);
  bool inOrder = true;
  uint32_t previous = 0;
  for (std::size_t k = 0; k < boxes.size(); ++k) {
    const uint32_t frame = place[k];
    if (frame < 1 || frame > length) {
      throw TrackReadError(sequence.source, boxes[k].line,
                           "frame " + std::to_string(frame) +
                               " is outside the sequence's frames 1 to " + std::to_string(length));
    }
    inOrder &= previous <= frame;
    previous = frame;
  }
  std::vector<uint32_t>& frames = sequence.frames;
  if (length <= 4 * boxes.size() + 4096) {
    // A length of the order of the boxes: the frames with a box marked in
    // a table of them all (as fast as counting them), then numbered.
    std::vector<uint32_t> number(std::size_t{length} + 1, 0);
    for (const uint32_t frame : place) number[frame] = 1;
    for (uint32_t f = 1; f <= length; ++f) {
      if (number[f] == 0) continue;
      number[f] = static_cast<uint32_t>(frames.size());
      frames.push_back(f);
    }
    for (uint32_t& frame : place) frame = number[frame];
  } else {
    // Far more frames than boxes: only the frames given are held.
    frames = place;
    if (!inOrder) std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    for (uint32_t& frame : place) {
      frame = static_cast<uint32_t>(std::lower_bound(frames.begin(), frames.end(), frame) -
                                    frames.begin());
    }
  }
  // Each frame's boxes are counted at the place after its own, then the
  // counts summed up: start[k] is where the k-th frame's boxes begin.
  std::vector<uint64_t>& start = sequence.frameStart;
  start.assign(frames.size() + 1, 0);
  for (const uint32_t at : place) ++start[std::size_t{at} + 1];
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  if (!inOrder) {
    if (boxes.size() <= UINT32_MAX) {
      orderByFrame<uint32_t>(boxes, place, start);
    } else {
      orderByFrame<uint64_t>(boxes, place, start);
    }
  }
  // An identity given twice in a frame: the first repeat in file order of
  // the first frame that has one.
  std::vector<std::pair<int64_t, uint64_t>> ids;  // identity, position
  for (std::size_t at = 0; at < frames.size(); ++at) {
    const uint32_t f = frames[at];
    const uint64_t begin = start[at];
    const uint64_t end = start[at + 1];
    if (!refuseRepeatedIds || end - begin < 2) continue;
    ids.clear();
    for (uint64_t k = begin; k < end; ++k) {
      if (!mayRepeat(file.layout, boxes[k])) ids.emplace_back(boxes[k].id, k);
    }
    std::sort(ids.begin(), ids.end());
    uint64_t repeat = UINT64_MAX;
    uint64_t first = 0;
    for (std::size_t k = 1; k < ids.size(); ++k) {
      // The second of a run of equal identities is the first to repeat it.
      if (ids[k].first == ids[k - 1].first && (k < 2 || ids[k - 2].first != ids[k].first) &&
          ids[k].second < repeat) {
        repeat = ids[k].second;
        first = ids[k - 1].second;
      }
    }
    if (repeat != UINT64_MAX) {
      throw TrackReadError(sequence.source, boxes[repeat].line,
                           "identity " + std::to_string(boxes[repeat].id) +
                               " is given twice in frame " + std::to_string(f) + " (also on line " +
                               std::to_string(boxes[first].line) + ")");
    }
  }
  sequence.boxes = std::move(boxes);
  sequence.labelNames = std::move(file.labelNames);
  sequence.identityNames = std::move(file.identityNames);
  return sequence;
}

namespace {

[[noreturn]] void failIni(const std::string& path, uint64_t line, std::string problem) {
  throw TrackReadError(path, line, std::move(problem));
}

// The seqLength of an ini file, as Python's configparser reads it: keys
// are case-insensitive, section names are not, '=' or ':' between key and
// value, comments on lines of their own (# or ;).
uint32_t sequenceLengthOf(const std::string& path) {
  const formats::StreamHandle stream(std::fopen(path.c_str(), "r"));
  if (stream == nullptr) {
    const int error = errno;
    throw TrackReadError(path, 0, std::string("cannot open: ") + std::strerror(error), error);
  }
  formats::TextLines lines(stream.get());
  std::string_view line;
  std::string section;
  std::optional<uint32_t> length;
  uint64_t lengthLine = 0;
  while (lines.next(&line)) {
    const uint64_t number = lines.lineNumber();
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    const std::string_view text = trimBlanks(line);
    if (text.empty() || text.front() == '#' || text.front() == ';') continue;
    if (text.front() == '[') {
      if (text.back() != ']') failIni(path, number, quoted(text) + " is not a [section] line");
      section.assign(text.substr(1, text.size() - 2));
      continue;
    }
    const std::size_t between = text.find_first_of("=:");
    if (between == std::string_view::npos) {
      failIni(path, number, quoted(text) + " is neither a [section] nor a key = value line");
    }
    if (section.empty()) failIni(path, number, "a key before the first [section]");
    if (section != "Sequence") continue;
    std::string key(trimBlanks(text.substr(0, between)));
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (key != "seqlength") continue;
    if (length) {
      failIni(path, number,
              "seqLength is given twice (also on line " + std::to_string(lengthLine) + ")");
    }
    const std::string_view value = trimBlanks(text.substr(between + 1));
    uint32_t parsed = 0;
    const auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (value.empty() || end != value.data() + value.size() || status != std::errc{} ||
        parsed == 0) {
      failIni(path, number,
              "seqLength " + quoted(value) + " is not a whole number from 1 to 4294967295");
    }
    length = parsed;
    lengthLine = number;
  }
  if (lines.readError() != 0) {
    throw TrackReadError(path, 0, std::string("cannot read: ") + std::strerror(lines.readError()),
                         lines.readError());
  }
  if (!length) failIni(path, 0, "no seqLength in a [Sequence] section");
  return *length;
}

}  // namespace

std::optional<uint32_t> sequenceLengthBeside(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path folder = fs::path(path).parent_path();
  if (folder.empty()) folder = ".";
  // The folder above as written (gt/.. is the sequence's folder even where
  // gt is a link elsewhere).
  const fs::path above = (folder / "..").lexically_normal();
  for (const fs::path& candidate : {folder / "seqinfo.ini", above / "seqinfo.ini"}) {
    std::error_code error;
    const fs::file_status status = fs::status(candidate, error);
    if (!fs::exists(status)) continue;
    return sequenceLengthOf(candidate.lexically_normal().string());
  }
  return std::nullopt;
}

uint32_t kittiSequenceLength(const std::string& seqmap, const std::string& sequence) {
  const formats::StreamHandle stream(std::fopen(seqmap.c_str(), "r"));
  if (stream == nullptr) {
    const int error = errno;
    throw TrackReadError(seqmap, 0, std::string("cannot open: ") + std::strerror(error), error);
  }
  formats::TextLines lines(stream.get());
  std::string_view line;
  std::optional<uint32_t> length;
  std::vector<std::string_view> words;
  while (lines.next(&line)) {
    const uint64_t number = lines.lineNumber();
    // Values apart by blanks or commas; a line of fewer than four names no
    // sequence, and a sequence named twice has its last line's length.
    words.clear();
    std::size_t at = 0;
    while (at < line.size()) {
      const std::size_t begin = line.find_first_not_of(" \t,", at);
      if (begin == std::string_view::npos) break;
      const std::size_t end = std::min(line.find_first_of(" \t,", begin), line.size());
      words.push_back(line.substr(begin, end - begin));
      at = end;
    }
    if (words.size() < 4 || words[0] != sequence) continue;
    uint32_t parsed = 0;
    const std::string_view value = words[3];
    const auto [end, status] = std::from_chars(value.data(), value.data() + value.size(), parsed);
    if (end != value.data() + value.size() || status != std::errc{} || parsed == 0) {
      throw TrackReadError(seqmap, number,
                           "the length " + quoted(value) + " of sequence " + sequence +
                               " is not a whole number from 1 to 4294967295");
    }
    length = parsed;
  }
  if (lines.readError() != 0) {
    throw TrackReadError(seqmap, 0, std::string("cannot read: ") + std::strerror(lines.readError()),
                         lines.readError());
  }
  if (!length) throw TrackReadError(seqmap, 0, "no line for sequence " + sequence);
  return *length;
}

std::optional<std::string> kittiSeqmapBeside(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path folder = fs::path(path).parent_path();
  if (folder.empty()) folder = ".";
  const fs::path above = (folder / "..").lexically_normal();
  for (const fs::path& candidate : {folder / "evaluate_tracking.seqmap.training",
                                    above / "evaluate_tracking.seqmap.training"}) {
    std::error_code error;
    if (fs::exists(fs::status(candidate, error))) return candidate.lexically_normal().string();
  }
  return std::nullopt;
}

}  // namespace tracking
