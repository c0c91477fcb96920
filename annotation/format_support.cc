#include "annotation/format_support.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace formats {

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
constexpr std::size_t kMaxQuoted = 40;
constexpr int kMaxScale = 18;
constexpr int64_t kMaxMantissa = 999'999'999'999'999'999;  // 18 digits

using Wide = __int128;

constexpr Wide powerOfTen(int exponent) {
  Wide power = 1;
  for (int k = 0; k < exponent; ++k) power *= 10;
  return power;
}

// 10^0 to 10^18, every one a 64-bit integer.
constexpr std::array<int64_t, kMaxScale + 1> kPowers = [] {
  std::array<int64_t, kMaxScale + 1> powers{};
  int64_t power = 1;
  for (int64_t& p : powers) {
    p = power;
    power *= power < kMaxMantissa ? 10 : 1;
  }
  return powers;
}();

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// numerator / denominator rounded to the nearest integer, halves away from
// zero (denominator > 0), into `out`; false when the result is no 32-bit
// integer. In 64 bits, what most numbers need; the divisions of 128 bits
// cost ten times more.
bool roundQuotient(int64_t numerator, int64_t denominator, int32_t* out) {
  // The usual few decimal places divide by a constant, which compiles to a
  // multiplication.
  int64_t quotient = 0;
  switch (denominator) {
    case 10:
      quotient = numerator / 10;
      break;
    case 100:
      quotient = numerator / 100;
      break;
    case 1000:
      quotient = numerator / 1000;
      break;
    case 10000:
      quotient = numerator / 10000;
      break;
    default:
      quotient = numerator / denominator;
  }
  const int64_t remainder = numerator - quotient * denominator;
  // |remainder| < denominator <= 2 * 10^18: twice it still fits.
  const int64_t twice = remainder < 0 ? -2 * remainder : 2 * remainder;
  if (twice >= denominator) quotient += numerator < 0 ? -1 : 1;
  *out = static_cast<int32_t>(quotient);
  return quotient >= INT32_MIN && quotient <= INT32_MAX;
}

bool roundQuotient(Wide numerator, Wide denominator, int32_t* out) {
  if (numerator >= INT64_MIN && numerator <= INT64_MAX && denominator <= INT64_MAX / 2) {
    return roundQuotient(static_cast<int64_t>(numerator), static_cast<int64_t>(denominator), out);
  }
  Wide quotient = numerator / denominator;
  const Wide remainder = numerator % denominator;
  const Wide twice = remainder < 0 ? -2 * remainder : 2 * remainder;
  if (twice >= denominator) quotient += numerator < 0 ? -1 : 1;
  *out = static_cast<int32_t>(quotient);
  return quotient >= INT32_MIN && quotient <= INT32_MAX;
}

bool fromOptional(const std::optional<int32_t>& value, int32_t* out) {
  if (value) *out = *value;
  return value.has_value();
}

// The nearest double, whether the decimal is exact or not.
double approximate(const Decimal& a) {
  return a.exact ? static_cast<double>(a.mantissa) / static_cast<double>(kPowers[a.scale])
                 : a.value;
}

// The mantissa of `a` at scale `scale` (>= a.scale), or nothing on overflow.
std::optional<Wide> atScale(const Decimal& a, int scale) {
  Wide value = a.mantissa;
  if (__builtin_mul_overflow(value, powerOfTen(scale - a.scale), &value)) return std::nullopt;
  return value;
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool parseDecimal(std::string_view text, Decimal* out) {
  text = trimBlanks(text);
  const std::string_view whole = text;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  uint64_t mantissa = 0;
  int significant = 0;  // digits in the mantissa, leading zeros left out
  int fraction = 0;     // digits after the point
  bool anyDigit = false;
  bool tooLong = false;
  bool point = false;
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      anyDigit = true;
      if (point) ++fraction;
      if (mantissa == 0 && c == '0') continue;
      if (++significant > kMaxScale) {
        tooLong = true;
        continue;
      }
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return false;
  int64_t exponent = 0;
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') return false;
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      negativeExponent = text[i] == '-';
      ++i;
    }
    if (i == text.size()) return false;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (c < '0' || c > '9') return false;
      if (exponent < 100000) exponent = exponent * 10 + (c - '0');
    }
    if (negativeExponent) exponent = -exponent;
  }
  Decimal result;
  int64_t scale = static_cast<int64_t>(fraction) - exponent;
  if (tooLong) {
    result.exact = false;
  } else {
    while (scale < 0 && mantissa <= static_cast<uint64_t>(kMaxMantissa / 10)) {
      mantissa *= 10;
      ++scale;
    }
    // Trailing zeros of the fraction say nothing.
    while (scale > kMaxScale && mantissa % 10 == 0 && mantissa != 0) {
      mantissa /= 10;
      --scale;
    }
    if (mantissa == 0) scale = 0;
    result.exact = scale >= 0 && scale <= kMaxScale;
  }
  if (result.exact) {
    result.mantissa = negative ? -static_cast<int64_t>(mantissa) : static_cast<int64_t>(mantissa);
    result.scale = static_cast<int>(scale);
    result.value =
        static_cast<double>(result.mantissa) / static_cast<double>(powerOfTen(result.scale));
  } else {
    // from_chars takes no '+'.
    std::string_view body = whole;
    if (body[0] == '+') body.remove_prefix(1);
    double value = 0.0;
    const auto [end, status] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (end != body.data() + body.size()) return false;
    if (status == std::errc::result_out_of_range) {
      value = exponent > 0 ? (negative ? -HUGE_VAL : HUGE_VAL) : (negative ? -0.0 : 0.0);
    } else if (status != std::errc{}) {
      return false;
    }
    result.value = value;
  }
  *out = result;
  return true;
}

Decimal decimalOf(double value) {
  char text[64];
  const auto written = std::to_chars(text, text + sizeof text, value);
  Decimal result;
  if (!std::isfinite(value) || !parseDecimal(std::string_view(text, written.ptr), &result)) {
    result = Decimal{};
    result.exact = false;
    result.value = value;
  }
  return result;
}

std::optional<int32_t> roundDoubleToInt32(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double rounded = std::round(value);  // halves away from zero
  if (rounded < -2147483648.0 || rounded > 2147483647.0) return std::nullopt;
  return static_cast<int32_t>(rounded);
}

bool roundAny(const Decimal& a, int32_t* out) {
  if (!a.exact) return fromOptional(roundDoubleToInt32(a.value), out);
  if (a.scale == 0) {
    *out = static_cast<int32_t>(a.mantissa);
    return a.mantissa >= INT32_MIN && a.mantissa <= INT32_MAX;
  }
  return roundQuotient(a.mantissa, kPowers[a.scale], out);
}

bool roundAnySum(const Decimal& a, const Decimal& b, int32_t* out) {
  if (a.exact && b.exact) {
    // Both at the larger scale, in 64 bits when they fit.
    const int scale = std::max(a.scale, b.scale);
    int64_t x = 0;
    int64_t y = 0;
    int64_t sum = 0;
    if (!__builtin_mul_overflow(a.mantissa, kPowers[scale - a.scale], &x) &&
        !__builtin_mul_overflow(b.mantissa, kPowers[scale - b.scale], &y) &&
        !__builtin_add_overflow(x, y, &sum)) {
      if (scale == 0) {
        *out = static_cast<int32_t>(sum);
        return sum >= INT32_MIN && sum <= INT32_MAX;
      }
      return roundQuotient(sum, kPowers[scale], out);
    }
    const std::optional<Wide> wideX = atScale(a, scale);
    const std::optional<Wide> wideY = atScale(b, scale);
    if (wideX && wideY) return roundQuotient(*wideX + *wideY, powerOfTen(scale), out);
  }
  return fromOptional(roundDoubleToInt32(approximate(a) + approximate(b)), out);
}

std::optional<int32_t> roundEdgeToInt32(const Decimal& center, const Decimal& extent, int sign,
                                        uint32_t size) {
  if (center.exact && extent.exact) {
    // (center + sign * extent / 2) * size = (2 center + sign extent) size / 2.
    const int scale = std::max(center.scale, extent.scale);
    const std::optional<Wide> c = atScale(center, scale);
    const std::optional<Wide> e = atScale(extent, scale);
    Wide numerator = 0;
    int32_t value = 0;
    if (c && e && !__builtin_mul_overflow(2 * *c + sign * *e, Wide{size}, &numerator)) {
      if (roundQuotient(numerator, 2 * powerOfTen(scale), &value)) return value;
      return std::nullopt;
    }
  }
  return roundDoubleToInt32((approximate(center) + sign * approximate(extent) / 2.0) * size);
}

std::optional<uint64_t> anyWholeValue(const Decimal& a, uint64_t max) {
  if (!a.exact) {
    if (!(a.value >= 0.0) || a.value > static_cast<double>(max) || std::floor(a.value) != a.value) {
      return std::nullopt;
    }
    return static_cast<uint64_t>(a.value);
  }
  if (a.scale == 0) {
    if (a.mantissa < 0 || static_cast<uint64_t>(a.mantissa) > max) return std::nullopt;
    return static_cast<uint64_t>(a.mantissa);
  }
  const int64_t power = kPowers[a.scale];
  if (a.mantissa < 0 || a.mantissa % power != 0) return std::nullopt;
  const auto value = static_cast<uint64_t>(a.mantissa / power);
  if (value > max) return std::nullopt;
  return value;
}

std::optional<int64_t> anySignedWholeValue(const Decimal& a) {
  if (!a.exact) {
    if (!std::isfinite(a.value) || std::floor(a.value) != a.value || std::fabs(a.value) > 9e15) {
      return std::nullopt;
    }
    return static_cast<int64_t>(a.value);
  }
  if (a.scale == 0) return a.mantissa;
  const int64_t power = kPowers[a.scale];
  if (a.mantissa % power != 0) return std::nullopt;
  return static_cast<int64_t>(a.mantissa / power);
}

void readPlainColumns(std::string_view line, PlainColumns* out) {
  const char* p = line.data();
  const char* const end = p + line.size();
  out->plain = 0;
  out->negative = 0;
  std::size_t column = 0;  // counted from 0
  for (;;) {
    if (column == PlainColumns::kMax) {
      // The columns beyond are only counted.
      std::size_t count = column + 1;
      for (; p < end; ++p) count += *p == ',' ? 1 : 0;
      out->count = count;
      return;
    }
    const char* const start = p;
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    // The whole part, then the places after a point: two loops without a
    // test of the point at each digit.
    uint64_t mantissa = 0;  // wraps past 20 digits: not plain below
    const auto readDigits = [&] {
      for (; p < end; ++p) {
        const auto digit = static_cast<unsigned>(static_cast<unsigned char>(*p) - '0');
        if (digit > 9) break;
        mantissa = mantissa * 10 + digit;
      }
    };
    const char* const first = p;
    readDigits();
    const auto wholeDigits = p - first;
    std::ptrdiff_t places = 0;
    bool plain = wholeDigits > 0;
    if (plain && p < end && *p == '.') {
      const char* const point = ++p;
      readDigits();
      places = p - point;
      plain = places > 0;  // "12." is not plain
    }
    const auto digits = wholeDigits + places;
    const int scale = static_cast<int>(places);
    if (plain && digits <= 17 && (p == end || *p == ',')) {
      const auto value = static_cast<int64_t>(mantissa);
      out->values[column] = Decimal{negative ? -value : value, scale, true};
      out->texts[column] = std::string_view(start, static_cast<std::size_t>(p - start));
      out->plain |= uint32_t{1} << column;
      out->negative |= negative ? uint32_t{1} << column : 0U;
    } else {
      const void* const comma = std::memchr(start, ',', static_cast<std::size_t>(end - start));
      p = comma == nullptr ? end : static_cast<const char*>(comma);
    }
    ++column;
    if (p == end) {
      out->count = column;
      return;
    }
    ++p;  // past the comma
  }
}

namespace {

uint64_t magnitudeOf(const Decimal& value) {
  return value.mantissa < 0 ? uint64_t{0} - static_cast<uint64_t>(value.mantissa)
                            : static_cast<uint64_t>(value.mantissa);
}

}  // namespace

bool PlainColumns::exactDouble(std::size_t column, double* out) const {
  if (!isPlain(column)) return false;
  const Decimal& value = values[column - 1];
  const uint64_t magnitude = magnitudeOf(value);
  if (magnitude >= (uint64_t{1} << 53)) {
    // 16 or 17 digits, as a double is printed: read as it is written.
    const std::string_view text = texts[column - 1];
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return end == text.data() + text.size() && status == std::errc{};
  }
  static constexpr std::array<double, 18> kPowers = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,
                                                     1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                                     1e12, 1e13, 1e14, 1e15, 1e16, 1e17};
  const double quotient =
      static_cast<double>(magnitude) / kPowers[static_cast<std::size_t>(value.scale)];
  *out = (negative >> (column - 1) & 1U) != 0 ? -quotient : quotient;
  return true;
}

bool PlainColumns::exactFloat(std::size_t column, float* out) const {
  if (!isPlain(column)) return false;
  const Decimal& value = values[column - 1];
  const uint64_t magnitude = magnitudeOf(value);
  if (magnitude >= (uint64_t{1} << 24) || value.scale > 10) return false;
  static constexpr std::array<float, 11> kPowers = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                    1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const float quotient =
      static_cast<float>(magnitude) / kPowers[static_cast<std::size_t>(value.scale)];
  *out = (negative >> (column - 1) & 1U) != 0 ? -quotient : quotient;
  return true;
}

bool parseConfidenceText(std::string_view text, float* value) {
  text = trimBlanks(text);
  std::string_view body = text;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) body.remove_prefix(1);
  if (body.empty() || body[0] == '+' || body[0] == '-') return false;
  float magnitude = 0.0f;
  const char* const last = body.data() + body.size();
  const auto [end, status] = std::from_chars(body.data(), last, magnitude);
  if (end != last) return false;
  if (status == std::errc::result_out_of_range) {
    // Beyond float's range: what strtof gives, as this format's reader does.
    const std::string copy(text);
    char* stop = nullptr;
    *value = std::strtof(copy.c_str(), &stop);
    return stop == copy.c_str() + copy.size() && !std::isnan(*value);
  }
  if (status != std::errc{} || std::isnan(magnitude)) return false;
  *value = negative ? -magnitude : magnitude;
  return true;
}

std::size_t splitAt(std::string_view line, char separator, std::span<std::string_view> fields) {
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t stop = line.find(separator, start);
    const std::size_t end = stop == std::string_view::npos ? line.size() : stop;
    if (count < fields.size()) fields[count] = line.substr(start, end - start);
    ++count;
    if (stop == std::string_view::npos) return count;
    start = stop + 1;
  }
}

std::size_t splitWords(std::string_view line, std::span<std::string_view> fields) {
  std::size_t count = 0;
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i == line.size()) return count;
    const std::size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    if (count < fields.size()) fields[count] = line.substr(start, i - start);
    ++count;
  }
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text.substr(0, kMaxQuoted)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7e) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  if (text.size() > kMaxQuoted) out += "...";
  out += '"';
  return out;
}

// ---------------------------------------------------------------------------

TextLines::TextLines(std::FILE* stream) : stream_(stream), buffer_(kBlockSize + kLinePadding) {}

std::size_t TextLines::find(char c, std::size_t* cached, std::size_t from) const {
  if (*cached == SIZE_MAX || *cached < from) {
    const void* hit = std::memchr(buffer_.data() + from, c, end_ - from);
    *cached = hit == nullptr
                  ? end_
                  : static_cast<std::size_t>(static_cast<const char*>(hit) - buffer_.data());
  }
  return *cached;
}

void TextLines::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  } else if (end_ == capacity()) {
    buffer_.resize(capacity() * 2 + kLinePadding);
  }
  nextLf_ = nextCr_ = SIZE_MAX;
  const std::size_t wanted = capacity() - end_;
  errno = 0;
  const std::size_t got = std::fread(buffer_.data() + end_, 1, wanted, stream_);
  const int error = errno;
  end_ += got;
  if (got < wanted) {
    if (std::ferror(stream_)) {
      readError_ = error != 0 ? error : EIO;
    } else {
      atEnd_ = true;
    }
  }
}

bool TextLines::next(std::string_view* line) {
  std::size_t from = begin_;
  for (;;) {
    if (afterCr_ && begin_ < end_) {
      afterCr_ = false;
      if (buffer_[begin_] == '\n') ++begin_;
      from = begin_;
    }
    const std::size_t lineEnd = std::min(find('\n', &nextLf_, from), find('\r', &nextCr_, from));
    if (lineEnd < end_) {
      *line = std::string_view(buffer_.data() + begin_, lineEnd - begin_);
      afterCr_ = buffer_[lineEnd] == '\r';
      begin_ = lineEnd + 1;
      ++lineNumber_;
      return true;
    }
    if (readError_ != 0) return false;
    if (atEnd_) {
      if (begin_ == end_) return false;
      *line = std::string_view(buffer_.data() + begin_, end_ - begin_);
      begin_ = end_;
      ++lineNumber_;
      return true;
    }
    from = end_ - begin_;  // what was searched stays searched after the move
    fill();
  }
}

void* allocateLarge(std::size_t bytes) {
  constexpr std::size_t kLargePage = std::size_t{1} << 21;
  void* memory = nullptr;
  if (bytes >= kLargePage / 2) {
    const std::size_t rounded = (bytes + kLargePage - 1) / kLargePage * kLargePage;
    if (rounded < bytes) throw std::bad_alloc();
    memory = std::aligned_alloc(kLargePage, rounded);
#ifdef MADV_HUGEPAGE
    if (memory != nullptr) madvise(memory, rounded, MADV_HUGEPAGE);  // only a hint
#endif
  } else {
    memory = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void freeLarge(void* memory) noexcept { std::free(memory); }

uint64_t LineCounter::lineAt(std::size_t offset) {
  offset = std::min(offset, bytes_.size());
  if (offset < at_) {
    at_ = 0;
    line_ = 1;
  }
  line_ +=
      static_cast<uint64_t>(std::count(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                                       bytes_.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
  at_ = offset;
  return line_;
}

// ---------------------------------------------------------------------------

RecordMaker::RecordMaker(std::string path, const AnnotationReadOptions& options,
                         std::vector<AnnotationRecord>& records, AnnotationReadFailure& failure)
    : path_(std::move(path)),
      options_(options),
      map_(options.classMap()),
      records_(records),
      failure_(failure),
      numberCache_(static_cast<std::size_t>(kCachedHigh - kCachedLow + 1)) {}

StreamHandle RecordMaker::open() {
  StreamHandle stream(std::fopen(path_.c_str(), "r"));
  if (stream == nullptr) {
    failure_.openError = errno;
    failure_.openPath = path_;
    failure_.message = path_ + ": cannot open: " + std::strerror(errno);
    return stream;
  }
  // Room for a record every 24 bytes (no line is shorter, but for YOLO's):
  // growing the list record by record would copy it again and again. Room
  // that is never written takes no memory.
  struct stat status {};
  inputSize_ = 0;
  if (fstat(fileno(stream.get()), &status) == 0 && S_ISREG(status.st_mode)) {
    inputSize_ = static_cast<uint64_t>(status.st_size);
  }
  if (filer_ == nullptr && keepsRecords_ && inputSize_ != 0) {
    const std::size_t wanted = records_.size() + static_cast<std::size_t>(inputSize_ / 24);
    if (wanted > records_.capacity()) records_.reserve(std::max(wanted, 2 * records_.capacity()));
  }
  return stream;
}

bool RecordMaker::readWhole(std::string& bytes) {
  StreamHandle stream = open();
  if (stream == nullptr) return false;
  bytes.clear();
  std::vector<char> block(kBlockSize);
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(block.data(), 1, block.size(), stream.get());
    bytes.append(block.data(), got);
    if (got < block.size()) {
      if (std::ferror(stream.get())) return failRead(errno != 0 ? errno : EIO);
      return true;
    }
  }
}

bool RecordMaker::fail(uint64_t line, std::string_view what) {
  failure_.message = locatedMessage(path_, line, what);
  failure_.file = path_;
  failure_.line = line;
  failure_.what = what;
  return false;
}

bool RecordMaker::failValue(uint64_t line, std::string_view where, std::string_view text,
                            std::string_view problem) {
  return fail(line, std::string(where) + ": " + quoted(text) + std::string(problem));
}

void RecordMaker::warn(uint64_t line, std::string_view what) {
  failure_.warnings.push_back(locatedMessage(path_, line, what));
}

bool RecordMaker::failRead(int error) {
  return fail(0, std::string("cannot read: ") + std::strerror(error));
}

bool RecordMaker::fileNow(const AnnotationRecord& record) {
  if (filing_ && record.frameNumber < lastFrame_) {
    outOfOrder_ = true;
    return false;
  }
  filing_ = true;
  lastFrame_ = record.frameNumber;
  return filer_->file(record);
}

const ClassMapping* RecordMaker::map(std::string_view label, uint64_t line, bool* failed) {
  *failed = false;
  if (const ClassMapping* mapping = map_.find(label)) return mapping;
  // A label that is a type of this format is taken as it is.
  if (const std::string_view type = typeOfThisFormat(label); !type.empty()) {
    for (const auto& own : ownTypes_) {
      if (own->type == type) return own.get();
    }
    ownTypes_.push_back(std::make_unique<ClassMapping>(ClassMapping{type}));
    if (map_.takesEveryLabel() &&
        std::find(classOrder_.begin(), classOrder_.end(), type) == classOrder_.end()) {
      classOrder_.emplace_back(type);
    }
    return ownTypes_.back().get();
  }
  if (map_.takesEveryLabel()) {
    // A class of the dataset's own, named as its label.
    const auto found = labels_.find(label);
    if (found != labels_.end()) return found->second.get();
    const std::string_view type = lastingName(label);
    if (std::find(classOrder_.begin(), classOrder_.end(), type) == classOrder_.end()) {
      classOrder_.emplace_back(type);
    }
    return labels_.emplace(std::string(label), std::make_unique<ClassMapping>(ClassMapping{type}))
        .first->second.get();
  }
  if (options_.dropUnknownLabels) return nullptr;
  *failed = true;
  fail(line, "label " + quoted(label) +
                 " is in no class map: give --classes MAP.csv, or --unknown drop to drop it");
  return nullptr;
}

void RecordMaker::declareClasses(std::span<const std::string> names) {
  for (const std::string& name : names) {
    if (std::find(classOrder_.begin(), classOrder_.end(), name) == classOrder_.end()) {
      classOrder_.push_back(name);
    }
  }
}

std::shared_ptr<const ClassSet> RecordMaker::classSet() const {
  if (!map_.takesEveryLabel()) return map_.classSet();
  std::vector<std::string> names;
  bool onlyOurs = true;
  for (const std::string& name : classOrder_) {
    const std::string_view own = typeOfThisFormat(name);
    if (own == "DCR" || own == "DCF") continue;
    onlyOurs = onlyOurs && !own.empty();
    names.push_back(name);
  }
  if (onlyOurs) return nullptr;
  return std::make_shared<const ClassSet>(std::move(names));
}

const ClassMapping* RecordMaker::mapNumberFirst(int64_t label, uint64_t line, bool* failed) {
  char text[24];
  const auto written = std::to_chars(text, text + sizeof text, label);
  const std::string_view name(text, static_cast<std::size_t>(written.ptr - text));
  if (label < kCachedLow || label > kCachedHigh) return map(name, line, failed);
  CachedLabel& cached = numberCache_[static_cast<std::size_t>(label - kCachedLow)];
  *failed = false;
  if (cached.state == 1) return cached.mapping;
  if (cached.state == 2) return nullptr;
  const ClassMapping* mapping = map(name, line, failed);
  if (*failed) return nullptr;
  cached.state = mapping != nullptr ? 1 : 2;
  cached.mapping = mapping;
  return mapping;
}

std::vector<uint32_t> orderByFrame(std::vector<AnnotationRecord>& records) {
  if (records.size() > UINT32_MAX) {
    const auto byFrame = [](const AnnotationRecord& a, const AnnotationRecord& b) {
      return a.frameNumber < b.frameNumber;
    };
    if (!std::is_sorted(records.begin(), records.end(), byFrame)) {
      std::stable_sort(records.begin(), records.end(), byFrame);
    }
    return {};
  }
  return frameOrder(records.size(), [&](std::size_t k) { return records[k].frameNumber; });
}

void applyOrder(std::vector<AnnotationRecord>& records, const std::vector<uint32_t>& order) {
  if (order.empty()) return;
  std::vector<AnnotationRecord> ordered;
  ordered.reserve(order.size());
  for (const uint32_t k : order) ordered.push_back(records[k]);
  records = std::move(ordered);
}

std::optional<uint32_t> lastDigitsOf(std::string_view name) {
  std::size_t end = name.size();
  while (end > 0 && (name[end - 1] < '0' || name[end - 1] > '9')) --end;
  if (end == 0) return std::nullopt;
  std::size_t start = end;
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  uint64_t value = 0;
  for (std::size_t k = start; k < end; ++k) {
    value = value * 10 + static_cast<uint64_t>(name[k] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace formats
