// Reader of annotation files. The stream is read in large blocks into one
// reused buffer and each line is parsed where it lies, so a record costs no
// allocation of its own. Every record is checked whole: a malformed one stops
// the reading with its line and column rather than being read out of step.
#include "annotation/sequence_reader.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "annotation/text_words.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using text_words::bitCount;
using text_words::kEachByte;
using text_words::loadWord;
using text_words::nonDigitBytes;
using text_words::nonzeroBytes;
using text_words::wordDigitsValue;

constexpr std::size_t kColumnCount = 15;
constexpr std::size_t kConfidenceColumn = 13;
// Later stages count boxes and frames in 32-bit signed integers.
constexpr uint64_t kMaxCount = std::numeric_limits<int32_t>::max();
// Offending text longer than this is cut in messages.
constexpr std::size_t kMaxQuotedLength = 40;

constexpr std::string_view kCannotRead = "cannot read: ";
constexpr std::string_view kWrongColumnCount = "expected 15 columns, found ";
constexpr std::string_view kNotWholeNumber = " is not a 32-bit whole number";
constexpr std::string_view kNotNumber = " is not a number";
constexpr std::string_view kTooManyBoxes = "more than 2147483647 boxes and regions";
constexpr std::string_view kTooManyFrames = "more than 2147483647 frames";

// An empty type column reads as this type, which is no known class.
constexpr std::string_view kEmptyType = "DCO";
constexpr std::string_view kRegionType = "DCR";
constexpr std::string_view kIgnoredType = "DCF";
constexpr std::string_view kFlagSet = "TRUE";

struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view trimBlanks(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool isBlankLine(std::string_view line) { return std::all_of(line.begin(), line.end(), isBlank); }

// Parsing a record looks at eight bytes at once, to find its commas and to
// read a number. Byte-by-byte loops branch at the end of every field, field
// lengths are irregular, and their mispredictions made the whole reader about
// a third slower. A word (or sixteen bytes) is loaded only where it starts
// inside a line, and the line buffer keeps this many readable bytes behind
// its data, so no load leaves the buffer.
constexpr std::size_t kLoadPadding = 16;
// Commas are looked for in blocks of this many bytes, one bit each.
constexpr std::size_t kBlock = 64;

// Which of up to 64 bytes are commas and which are decimal digits, one bit
// each.
struct ByteClasses {
  uint64_t commas = 0;
  uint64_t digits = 0;
};

// The classes of the first `count` (at most kBlock) bytes at `p`; the load
// padding makes it safe to look at up to 15 bytes more.
[[gnu::always_inline]] inline ByteClasses classifyBytes(const char* p, std::size_t count) {
  ByteClasses classes;
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i nine = _mm_set1_epi8(9);
  for (std::size_t at = 0; at < count; at += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    // A digit is a byte whose distance above '0', taken unsigned, is at most 9.
    const __m128i offset = _mm_sub_epi8(bytes, zero);
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(offset, nine), offset);
    classes.commas |= static_cast<uint64_t>(
                          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, comma))))
                      << at;
    classes.digits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(digit))) << at;
  }
#else
  for (std::size_t at = 0; at < count; at += 8) {
    const uint64_t word = loadWord(p + at);
    const uint64_t commaBytes = ~nonzeroBytes(word ^ kEachByte * ',') & kEachByte * 0x80;
    const uint64_t digitBytes = ~nonDigitBytes(word) & kEachByte * 0x80;
    // The multiplication gathers the eight high bits into the top byte.
    classes.commas |= ((commaBytes >> 7) * 0x0102040810204080 >> 56) << at;
    classes.digits |= ((digitBytes >> 7) * 0x0102040810204080 >> 56) << at;
  }
#endif
  if (count < kBlock) {
    const uint64_t inside = (uint64_t{1} << count) - 1;
    classes.commas &= inside;
    classes.digits &= inside;
  }
  return classes;
}

// The same for the digits at `text`; eight bytes from it must be readable.
uint32_t digitsValue(const char* text, std::size_t length) {
  return wordDigitsValue(loadWord(text), length);
}

// Reads a column of one to eight plain digits, the usual case, without a
// branch per byte: false when anything else is in it. Eight bytes from the
// start of `text` must be readable.
bool parseDigits(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  const uint64_t word = loadWord(text.data());
  const unsigned unused = 64 - 8 * static_cast<unsigned>(text.size());
  if ((nonDigitBytes(word) << unused) != 0) return false;
  *value = digitsValue(text.data(), text.size());
  return true;
}

// Reads an optionally signed decimal number of at most 32 bits, blanks around
// it; a minus sign gives the two's complement, as the file's writers expect.
bool parseWhole(std::string_view text, uint32_t* value) {
  if (parseDigits(text, value)) return true;
  text = trimBlanks(text);
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  uint64_t magnitude = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return false;
    magnitude = magnitude * 10 + digit;
    if (magnitude > std::numeric_limits<uint32_t>::max()) return false;
  }
  const auto bits = static_cast<uint32_t>(magnitude);
  *value = negative ? 0u - bits : bits;
  return true;
}

// Reads the common short decimals ("0.8582", "1", ".5") without the general
// conversion: with at most seven digits the digits form an integer below
// 2^24 and the power of ten is at most 10^7, both exact in a float, so one
// float division rounds the decimal value correctly, as the general
// conversion does. Anything else (an exponent, more digits, "inf") is left
// to it.
bool readShortDecimal(std::string_view text, float* value) {
  static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
  uint32_t digits = 0;
  int count = 0;
  int fractionDigits = -1;  // -1 until the point
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      if (++count > 7) return false;
      digits = digits * 10 + static_cast<uint32_t>(c - '0');
      if (fractionDigits >= 0) ++fractionDigits;
    } else if (c == '.' && fractionDigits < 0) {
      fractionDigits = 0;
    } else {
      return false;
    }
  }
  if (count == 0) return false;
  *value = static_cast<float>(digits) / kPowersOfTen[fractionDigits < 0 ? 0 : fractionDigits];
  return true;
}

// fixedClassCode() for the reader, which asks it for every record: the
// length picks the one or few names to compare with, rather than each name
// being tried in turn. A code is given only for the very name it belongs to.
constexpr int32_t fixedCodeOf(std::string_view name) {
  const auto codeIf = [name](std::size_t code) {
    const std::string_view known = code < knownClasses.size() ? knownClasses[code] : kRegionClass;
    return name == known ? static_cast<int32_t>(code) : -1;
  };
  const auto either = [](int32_t a, int32_t b) { return a >= 0 ? a : b; };
  switch (name.size()) {
    case 3:  // Car, Bus, DCR
      return either(codeIf(0), either(codeIf(3), codeIf(knownClasses.size())));
    case 4:
      return codeIf(5);  // Boat
    case 5:
      return either(codeIf(1), codeIf(6));  // Truck, Plane
    case 6:
      return codeIf(8);  // Person
    case 7:
      return codeIf(9);  // Cyclist
    case 9:
      return codeIf(4);  // Container
    case 10:
      return codeIf(7);  // Helicopter
    case 15:
      return codeIf(2);  // Tractor-Trailor
    default:
      return -1;
  }
}
// Each fixed name finds its own code.
static_assert([] {
  for (std::size_t code = 0; code < knownClasses.size(); ++code) {
    if (fixedCodeOf(knownClasses[code]) != static_cast<int32_t>(code)) return false;
  }
  return fixedCodeOf(kRegionClass) == static_cast<int32_t>(knownClasses.size());
}());

// Appends `text` between quotes, readable whatever bytes it holds.
void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text.substr(0, kMaxQuotedLength)) {
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
  if (text.size() > kMaxQuotedLength) out += "...";
  out += '"';
}

// Hands out the lines of a stream. Lines end at LF, CR LF or a lone CR. The
// buffer grows only for a line longer than itself.
class LineReader {
 public:
  explicit LineReader(std::FILE* stream)
      : stream_(stream), buffer_(kReadBufferSize + kLoadPadding) {}

  /// Sets `line` to the next line without its line end. False at the end of
  /// the input and after a read error.
  bool next(std::string_view* line) { return advance(line); }
  /// Passes over the next line; its bytes are dropped as they come, so a line
  /// of any length fits.
  void skip() { advance(nullptr); }
  /// The errno of a failed read, 0 when none failed.
  int readError() const { return readError_; }
  /// The bytes read and not yet handed out, from the start of the next line
  /// (an LF that completes the last line's CR LF passed over), without
  /// reading more: for a caller that finds the end of the line itself. The
  /// buffer's kLoadPadding bytes behind them are readable.
  std::string_view ahead() {
    if (afterCr_ && begin_ < end_) {
      afterCr_ = false;
      if (buffer_[begin_] == '\n') ++begin_;
    }
    return std::string_view(buffer_.data() + begin_, end_ - begin_);
  }
  /// Hands out the line of `length` bytes at the start of ahead(), which the
  /// caller found to end at the line end (LF or CR) right behind it.
  void take(std::size_t length) {
    const std::size_t lineEnd = begin_ + length;
    afterCr_ = buffer_[lineEnd] == '\r';
    begin_ = lineEnd + 1;
  }
  /// Where the byte at `p` (one of the bytes read, as ahead() or next() give
  /// them) lies in the stream, counted from where the reading began.
  uint64_t offsetOf(const char* p) const {
    return consumed_ + static_cast<uint64_t>(p - buffer_.data());
  }
  /// Goes on from the line that starts `offset` bytes into the stream: from
  /// the bytes read when they hold it, else from the stream moved there, read
  /// a little at first (a few lines are usually wanted from there), then in
  /// ever larger blocks.
  void restartAt(uint64_t offset) {
    afterCr_ = false;
    nextLf_ = kUnknown;
    nextCr_ = kUnknown;
    if (readError_ != 0) return;
    if (offset >= consumed_ && offset - consumed_ <= end_) {
      begin_ = static_cast<std::size_t>(offset - consumed_);
      return;
    }
    consumed_ = offset;
    begin_ = 0;
    end_ = 0;
    atEnd_ = false;
    readSize_ = kFirstReadAfterMove;
    errno = 0;
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
        fseeko(stream_, static_cast<off_t>(offset), SEEK_SET) != 0) {
      readError_ = errno != 0 ? errno : EINVAL;
    }
  }

 private:
  static constexpr std::size_t kUnknown = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kFirstReadAfterMove = std::size_t{1} << 13;

  bool advance(std::string_view* line);
  std::size_t find(char c, std::size_t* cached, std::size_t from, std::size_t limit) const;
  // Reads the next block behind the unconsumed bytes, which move to the
  // start of the buffer; returns where the bytes not yet searched begin.
  std::size_t fill(bool keepLine);
  std::size_t capacity() const { return buffer_.size() - kLoadPadding; }

  std::FILE* stream_;
  std::vector<char> buffer_;  // the data, then kLoadPadding bytes never read into
  std::size_t begin_ = 0;     // start of the unconsumed bytes
  std::size_t end_ = 0;       // end of the bytes read
  uint64_t consumed_ = 0;     // bytes of the stream before the buffer's first
  // The most bytes one read asks for: the whole buffer, but after a move.
  std::size_t readSize_ = std::numeric_limits<std::size_t>::max();
  // Where the next LF and CR lie (end_ when none is in the buffer;
  // kUnknown when not yet searched for), so each byte is searched once for
  // each even when one of them never occurs. A CR is looked for only up to
  // the next LF: a file of LF line ends is not searched whole for CR once
  // more, block after block.
  std::size_t nextLf_ = kUnknown;
  std::size_t nextCr_ = kUnknown;
  // The last line ended in CR: an LF right after it completes the same line
  // end, even when it arrives with the next block.
  bool afterCr_ = false;
  bool atEnd_ = false;
  int readError_ = 0;
};

bool LineReader::advance(std::string_view* line) {
  std::size_t scanFrom = begin_;  // bytes before it hold no line end
  for (;;) {
    if (afterCr_ && begin_ < end_) {
      afterCr_ = false;
      if (buffer_[begin_] == '\n') ++begin_;
      scanFrom = begin_;
    }
    const std::size_t lf = find('\n', &nextLf_, scanFrom, end_);
    const std::size_t lineEnd = std::min(lf, find('\r', &nextCr_, scanFrom, lf));
    if (lineEnd < end_) {
      if (line != nullptr) *line = std::string_view(buffer_.data() + begin_, lineEnd - begin_);
      afterCr_ = buffer_[lineEnd] == '\r';
      begin_ = lineEnd + 1;
      return true;
    }
    if (readError_ != 0) return false;  // the rest of the input is unknown
    if (atEnd_) {
      if (begin_ == end_) return false;
      if (line != nullptr) *line = std::string_view(buffer_.data() + begin_, end_ - begin_);
      begin_ = end_;
      return true;
    }
    scanFrom = fill(line != nullptr);
  }
}

// The first `c` at or after `from`, or `limit` when none comes before it;
// cached, unless the search stopped short of the end of the bytes read.
std::size_t LineReader::find(char c, std::size_t* cached, std::size_t from,
                             std::size_t limit) const {
  if (*cached == kUnknown || *cached < from) {
    const void* hit = std::memchr(buffer_.data() + from, c, limit - from);
    if (hit == nullptr) {
      *cached = limit == end_ ? end_ : kUnknown;
      return limit;
    }
    *cached = static_cast<std::size_t>(static_cast<const char*>(hit) - buffer_.data());
  }
  return *cached;
}

std::size_t LineReader::fill(bool keepLine) {
  if (!keepLine) begin_ = end_;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    consumed_ += begin_;
    end_ -= begin_;
    begin_ = 0;
  } else if (end_ == capacity()) {
    buffer_.resize(capacity() * 2 + kLoadPadding);
  }
  nextLf_ = kUnknown;
  nextCr_ = kUnknown;
  const std::size_t searched = end_;
  const std::size_t wanted = std::min(capacity() - end_, readSize_);
  if (readSize_ < capacity()) readSize_ *= 2;
  errno = 0;
  const std::size_t got = std::fread(buffer_.data() + end_, 1, wanted, stream_);
  const int readErrno = errno;
  end_ += got;
  if (got < wanted) {
    if (std::ferror(stream_)) {
      readError_ = readErrno != 0 ? readErrno : EIO;
    } else {
      atEnd_ = true;
    }
  }
  return searched;
}

// The columns of one record as read; the texts point into the line buffer.
using Record = AnnotationRecord;

// The commas among the 16 bytes at `p`, one bit each.
uint32_t commaBits16(const char* p) {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(','))));
#else
  const auto gather = [](uint64_t high) {  // the eight high bits into the low byte
    return static_cast<uint32_t>(((high >> 7) * 0x0102040810204080) >> 56);
  };
  return gather(text_words::bytesEqual(loadWord(p), ',')) |
         gather(text_words::bytesEqual(loadWord(p + 8), ',')) << 8;
#endif
}

// The bytes "TRUE," and "FALSE," as loadWord() sees them.
constexpr uint64_t wordOf(std::string_view text) {
  uint64_t word = 0;
  for (std::size_t i = text.size(); i-- > 0;)
    word = word << 8 | static_cast<unsigned char>(text[i]);
  return word;
}
constexpr uint64_t kTrueComma = wordOf("TRUE,");
constexpr uint64_t kFalseComma = wordOf("FALSE,");

// The line ends (LF or CR) among the 16 bytes at `p`, one bit each.
uint32_t lineEndBits16(const char* p) {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(
      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')))));
#else
  const auto gather = [](uint64_t high) {  // the eight high bits into the low byte
    return static_cast<uint32_t>(((high >> 7) * 0x0102040810204080) >> 56);
  };
  const auto ends = [](uint64_t word) {
    return text_words::bytesEqual(word, '\n') | text_words::bytesEqual(word, '\r');
  };
  return gather(ends(loadWord(p))) | gather(ends(loadWord(p + 8))) << 8;
#endif
}

// Reads the usual record in one pass: the nine numbers as one to seven
// plain digits each within the first 64 bytes, the type without blanks
// around it and at most 15 bytes, the flags "TRUE" or "FALSE", a confidence
// of at most seven digits and a point, and two columns more. The numbers'
// bytes are sorted into commas and digits sixteen at a time and each number
// is read where its commas say, independently of the others; the columns
// after them are taken one after the other, each where the one before
// ended, so that the line is looked at once and no comma is searched for
// twice. The only branches are those that leave for the general parse.
// Returns false, reporting nothing, for any other line: the general parse
// then reads it or says what is wrong with it. A line this accepts, the
// general parse reads the same. Every load starts at most at `end`, whose
// kLoadPadding bytes behind it are readable.
//
// Without kFindEnd, [start, end) is the line. With it, the line starts at
// `start` and ends at its first line end (LF or CR) before `end`, which the
// walk finds on its way, so that the line needs no search of its own; the
// line end's position goes to *lineEnd. False, too, when no line end comes
// before `end`.
template <bool kFindEnd>
[[gnu::always_inline]] inline bool parseUsual(const char* const start, const char* const end,
                                              Record* record, const char** lineEnd) {
  const auto size = static_cast<std::size_t>(end - start);
  const ByteClasses classes = classifyBytes(start, std::min(kBlock, size));
  // Where each number ends: its comma, the first nine in order. The blocks
  // of 16 bytes behind the bytes given are not looked at, as above. With
  // kFindEnd the bytes may run on into the next lines; a line end before
  // the ninth comma is no digit and no comma, and refuses the record.
  std::array<uint32_t, 9> numberEnds;
  uint64_t bits = classes.commas;
#pragma GCC unroll 9
  for (std::size_t i = 0; i < numberEnds.size(); ++i) {
    numberEnds[i] = static_cast<uint32_t>(std::countr_zero(bits));  // 64 past the last
    bits &= bits - 1;
  }
  const uint32_t numbersEnd = numberEnds[8];
  if (numbersEnd >= kBlock) return false;
  // Every byte before the ninth comma a digit or a comma, and every number
  // of one to seven digits: no comma first or right after another, and no
  // eight bytes in a row without one.
  const uint64_t inNumbers = (uint64_t{1} << numbersEnd) - 1;
  const uint64_t numberCommas = classes.commas & (inNumbers | (inNumbers + 1));
  uint64_t run = ~classes.commas & inNumbers;
  run &= run >> 1;
  run &= run >> 2;
  run &= run >> 4;
  if ((~(classes.commas | classes.digits) & inNumbers) != 0 ||
      ((numberCommas & 1) | (numberCommas & (numberCommas << 1)) | run) != 0) {
    return false;
  }
  record->frameNumber = wordDigitsValue(loadWord(start), numberEnds[0]);
#if defined(__SSE2__)
  // The digits of number i (i > 0) at the top of a word, zeros below.
  const auto digitsOf = [&](std::size_t i) {
    const uint32_t from = numberEnds[i - 1] + 1;
    const unsigned unused = (64 - 8 * (numberEnds[i] - from)) & 63;
    return (loadWord(start + from) & kEachByte * 0x0f) << unused;
  };
  // The corners two at a time, by the steps of wordDigitsValue() on both
  // words at once: tens, hundreds, then ten-thousands, each step joining
  // neighbouring parts.
  const auto twoValues = [&](std::size_t i) {
    __m128i v =
        _mm_set_epi64x(static_cast<int64_t>(digitsOf(i + 1)), static_cast<int64_t>(digitsOf(i)));
    v = _mm_srli_epi16(_mm_mullo_epi16(v, _mm_set1_epi16(10 * 256 + 1)), 8);
    v = _mm_madd_epi16(v, _mm_set1_epi32(1 << 16 | 100));
    return _mm_add_epi64(_mm_mul_epu32(v, _mm_set1_epi64x(10000)), _mm_srli_epi64(v, 32));
  };
  // The four values of two pairs, in order.
  const auto fourValues = [&](std::size_t i) {
    return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(twoValues(i)),
                                           _mm_castsi128_ps(twoValues(i + 2)),
                                           _MM_SHUFFLE(2, 0, 2, 0)));
  };
  _mm_storeu_si128(reinterpret_cast<__m128i*>(record->corners.data()), fourValues(1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(record->corners.data() + 4), fourValues(5));
#else
  for (std::size_t i = 0; i < record->corners.size(); ++i) {
    const uint32_t from = numberEnds[i] + 1;
    record->corners[i] =
        static_cast<int32_t>(wordDigitsValue(loadWord(start + from), numberEnds[i + 1] - from));
  }
#endif
  const char* p = start + numbersEnd + 1;
  // The type: up to the first comma of the next 16 bytes.
  const uint32_t typeCommas = commaBits16(p);
  const auto typeLength = static_cast<std::size_t>(std::countr_zero(typeCommas));
  if (typeCommas == 0 || typeLength == 0 || typeLength >= static_cast<std::size_t>(end - p) ||
      isBlank(p[0]) || isBlank(p[typeLength - 1])) {
    return false;
  }
  if constexpr (kFindEnd) {
    if ((lineEndBits16(p) & ((uint32_t{1} << typeLength) - 1)) != 0) return false;
  }
  record->type = std::string_view(p, typeLength);
  p += typeLength + 1;
  // The flags, each with its comma.
  const auto flag = [&](bool* set) {
    const uint64_t word = loadWord(p);
    const bool isTrue = (word & 0xffffffffff) == kTrueComma;
    if (!isTrue && (word & 0xffffffffffff) != kFalseComma) return false;
    const std::ptrdiff_t length = isTrue ? 5 : 6;
    if (length > end - p) return false;
    *set = isTrue;
    p += length;
    return true;
  };
  if (!flag(&record->markA) || !flag(&record->markB)) return false;
  // The confidence, up to its comma within the next nine bytes; its bytes
  // are digits and a point, so no line end.
  const uint64_t commas = text_words::bytesEqual(loadWord(p), ',');
  std::size_t length = commas != 0 ? static_cast<std::size_t>(std::countr_zero(commas)) / 8 : 8;
  if (length == 8 && p[8] != ',') return false;
  if (length >= static_cast<std::size_t>(end - p) ||
      !text_words::shortDecimalValue(p, length, &record->confidence)) {
    return false;
  }
  p += length + 1;
  // The last two columns, whatever they hold: one comma between them.
  if constexpr (kFindEnd) {
    // Sixteen bytes at a time up to the first line end.
    std::size_t commaCount = 0;
    for (const char* block = p; block < end; block += 16) {
      const auto left = static_cast<std::size_t>(end - block);
      const uint32_t inside = left >= 16 ? 0xffff : (uint32_t{1} << left) - 1;
      const uint32_t ends = lineEndBits16(block) & inside;
      const uint32_t before = ends == 0 ? inside : (ends & (0u - ends)) - 1;
      commaCount += bitCount(commaBits16(block) & before);
      if (ends != 0) {
        *lineEnd = block + std::countr_zero(ends);
        return commaCount == 1;
      }
    }
    return false;
  } else {
    (void)lineEnd;
    const auto rest = static_cast<std::size_t>(end - p);
    if (rest <= 16) {
      const uint32_t inside = rest == 16 ? 0xffff : (uint32_t{1} << rest) - 1;
      return bitCount(commaBits16(p) & inside) == 1;
    }
    return std::count(p, end, ',') == 1;
  }
}

bool parseUsualRecord(std::string_view line, Record* record) {
  return parseUsual<false>(line.data(), line.data() + line.size(), record, nullptr);
}

// The size test: whether any of the four sides (1-2, 1-4, 3-2, 3-4; the
// diagonals do not count) reaches `minSide`.
bool largeEnough(const std::array<int32_t, 8>& c, float leastSquare) {
  return squaredCornerDistance(c[0], c[1], c[2], c[3]) >= leastSquare ||
         squaredCornerDistance(c[0], c[1], c[6], c[7]) >= leastSquare ||
         squaredCornerDistance(c[4], c[5], c[2], c[3]) >= leastSquare ||
         squaredCornerDistance(c[4], c[5], c[6], c[7]) >= leastSquare;
}

}  // namespace

class SequenceFiller {
 public:
  SequenceFiller(QuorSequence& sequence, std::string_view sourceName, std::string* error,
                 ReadDetails* details, const ScoringRules& rules)
      : sequence_(&sequence),
        sourceName_(sourceName),
        error_(error),
        details_(details),
        rules_(rules),
        ownClasses_(sequence.classes != nullptr) {}
  // Frames go to `sink` in blocks instead of staying in one sequence.
  SequenceFiller(FrameBlockSink& sink, std::size_t blockTargets, std::string_view sourceName,
                 std::string* error, const ScoringRules& rules)
      : block_(sink.emptyBlock()),
        sequence_(block_.get()),
        sourceName_(sourceName),
        error_(error),
        rules_(rules),
        sink_(&sink),
        blockTargets_(blockTargets) {}

  int read(std::FILE* stream);
  // Files records that a reader of another format made.
  // Files records that a reader of another format made, in the order
  // `order` gives (positions in `records`), or as they come when it is empty.
  int fileAll(std::span<const AnnotationRecord> records, std::span<const uint32_t> order);
  // Files one record that a reader of another format made.
  bool fileOne(const AnnotationRecord& record) {
    lineNumber_ = record.line;
    if (file(record)) return true;
    closeFrame();
    return false;
  }
  void finishFiling() { closeFrame(); }
  // Files the rows of a table held in memory (fileTable()); with a sink,
  // hands over the last block too.
  int fileTable(std::span<const TableColumn> columns, std::size_t rows);
  // Hands each parsed record to `take` instead of filing it.
  void handRecordsTo(const std::function<bool(const AnnotationRecord&)>& take) { take_ = &take; }
  // ... and only those of the frames numbered `frames` (ascending).
  void onlyFrames(std::span<const uint32_t> frames) {
    onlyFrames_ = frames;
    filterFrames_ = true;
  }
  // Hands the records of `runs` to `take` (readRecordRuns()).
  int readRuns(std::FILE* stream, std::span<const RecordRun> runs,
               const std::function<RunStep(std::size_t, const AnnotationRecord&)>& take);

 private:
  int readLines(std::FILE* stream);
  int fileRows(std::span<const TableColumn> columns, std::size_t rows);
  bool parseRecord(std::string_view line, Record* record);
  bool refuse(std::string_view line, std::size_t column, std::string_view problem);
  bool parseConfidence(std::string_view text, float* value);
  bool file(const Record& record);
  int fail(std::string_view what);
  int failInColumn(std::size_t column, std::string_view text, std::string_view problem);
  bool headerReadsAsRecord(std::string_view header);
  void noteUnknownType(std::string_view type);

  // Hands the block read so far to the sink and starts a new one.
  void handOverBlock() {
    if (sinkOpen_) sinkOpen_ = sink_->take(std::move(block_));
    block_ = sink_->emptyBlock();
    sequence_ = block_.get();
  }

  std::unique_ptr<QuorSequence> block_;  // with a sink: the frames not yet handed over
  // The code of a type of a dataset's own classes: the type of the record
  // before is the usual one, the registry is asked once per type.
  uint16_t ownCode(std::string_view type) {
    if (!haveOwnType_ || type != lastOwnType_) {
      const auto found = ownCodes_.find(type);
      lastOwnCode_ = found != ownCodes_.end()
                         ? found->second
                         : ownCodes_.emplace(std::string(type), classCodeOf(type)).first->second;
      lastOwnType_.assign(type);
      haveOwnType_ = true;
    }
    return lastOwnCode_;
  }
  struct TypeHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };

  QuorSequence* sequence_;  // where frames are filed
  std::string_view sourceName_;
  std::string* error_;
  // Null on the plain read: every use of it is behind one test of it.
  ReadDetails* details_ = nullptr;
  ScoringRules rules_;  // the size test's, and those each frame is given
  // The size test's min side as the least square of a side that reaches it.
  float leastSquare_ = leastSquareReaching(rules_.minSide);
  bool ownClasses_ = false;  // every type but DCR and DCF is a class
  std::unordered_map<std::string, uint16_t, TypeHash, std::equal_to<>> ownCodes_;
  std::string lastOwnType_;
  uint16_t lastOwnCode_ = 0;
  bool haveOwnType_ = false;
  std::map<std::string, std::size_t, std::less<>> unknownTypeAt_;  // into details_->unknownTypes
  FrameBlockSink* sink_ = nullptr;
  const std::function<bool(const AnnotationRecord&)>* take_ = nullptr;
  std::span<const uint32_t> onlyFrames_;
  bool filterFrames_ = false;
  // Whether a line's first column is plain digits naming a frame not among
  // onlyFrames_: its record, were it read in full, would not be wanted.
  bool passesOver(std::string_view line) const {
    const std::size_t comma = line.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma > 10) return false;
    uint64_t number = 0;
    for (std::size_t at = 0; at < comma; ++at) {
      const unsigned digit = static_cast<unsigned char>(line[at]) - unsigned{'0'};
      if (digit > 9) return false;
      number = number * 10 + digit;
    }
    if (number > std::numeric_limits<uint32_t>::max()) return false;
    return !std::binary_search(onlyFrames_.begin(), onlyFrames_.end(),
                               static_cast<uint32_t>(number));
  }
  std::size_t blockTargets_ = 0;
  bool sinkOpen_ = true;
  // While a stream is read: its reader, and where the line of the record
  // being filed starts in its buffer (for QuorFrame::firstByte).
  const LineReader* reader_ = nullptr;
  const char* recordStart_ = nullptr;
  uint64_t lineNumber_ = 0;
  bool frameStarted_ = false;
  uint32_t lastFrameNumber_ = 0;  // of the last frame this call started
  uint64_t framesStarted_ = 0;
  uint64_t boxesMade_ = 0;
  std::string scratch_;  // a NUL-terminated copy for strtof, reused
  // The boxes and regions of the frame being read. They are handed to the
  // frame when it ends, in one list of about their size (one a refilled
  // block kept, or a new one): growing each frame's lists one box at a time
  // would reallocate them several times and leave up to half of their memory
  // unused, for every frame of a long video.
  std::vector<const QuorTarget*> frameTargets_;
  std::vector<const QuorTarget*> frameRegions_;

  void closeFrame() {
    if (!frameStarted_) return;
    QuorFrame& frame = sequence_->frames.back();
    frame.targets = sequence_->newList(frameTargets_);
    frame.regions = sequence_->newList(frameRegions_);
    frameTargets_.clear();
    frameRegions_.clear();
  }
};

int SequenceFiller::read(std::FILE* stream) {
  const int status = readLines(stream);
  // What was read before a failure is handed over too, whole frames only.
  if (sink_ != nullptr && !block_->frames.empty()) handOverBlock();
  return status;
}

int SequenceFiller::fileTable(std::span<const TableColumn> columns, std::size_t rows) {
  const int status = fileRows(columns, rows);
  if (sink_ != nullptr && !block_->frames.empty()) handOverBlock();
  return status;
}

int SequenceFiller::readLines(std::FILE* stream) {
  if (stream == nullptr) return fail(std::string(kCannotRead) + "no stream");
  LineReader reader(stream);
  struct ReaderInUse {
    SequenceFiller* filler;
    ~ReaderInUse() { filler->reader_ = nullptr; }
  } inUse{this};
  reader_ = &reader;
  if (details_ == nullptr) {
    reader.skip();  // the header
  } else if (std::string_view header; reader.next(&header)) {
    details_->headerReadsAsRecord = headerReadsAsRecord(header);
  }
  lineNumber_ = 1;
  std::string_view line;
  Record record;
  for (;;) {
    // The usual record is read where it lies and its line end found on the
    // way; any other line is handed out by the reader and parsed whole. A
    // reading of some frames looks at a line's first column first, which
    // passes over the other frames' lines without parsing them.
    const std::string_view ahead = reader.ahead();
    if (const char* lineEnd = nullptr;
        !filterFrames_ &&
        parseUsual<true>(ahead.data(), ahead.data() + ahead.size(), &record, &lineEnd)) {
      reader.take(static_cast<std::size_t>(lineEnd - ahead.data()));
      recordStart_ = ahead.data();
      ++lineNumber_;
    } else {
      if (!reader.next(&line)) break;
      ++lineNumber_;
      if (isBlankLine(line)) continue;
      if (filterFrames_ && passesOver(line)) continue;
      recordStart_ = line.data();
      if (!parseRecord(line, &record)) {
        closeFrame();  // what was read stays whole
        return -1;
      }
    }
    if (take_ != nullptr) {
      record.line = lineNumber_;
      if (!(*take_)(record)) return 0;
      continue;
    }
    if (!file(record)) {
      closeFrame();
      return -1;
    }
  }
  closeFrame();
  if (reader.readError() != 0) {
    std::string what(kCannotRead);
    what += std::strerror(reader.readError());
    lineNumber_ = 0;  // a read error belongs to no line
    return fail(what);
  }
  return 0;
}

int SequenceFiller::readRuns(
    std::FILE* stream, std::span<const RecordRun> runs,
    const std::function<RunStep(std::size_t, const AnnotationRecord&)>& take) {
  if (stream == nullptr) return fail(std::string(kCannotRead) + "no stream");
  LineReader reader(stream);
  std::string_view line;
  Record record;
  for (std::size_t run = 0; run < runs.size(); ++run) {
    reader.restartAt(runs[run].firstByte);
    lineNumber_ = runs[run].firstLine - 1;
    for (bool more = true; more && reader.next(&line);) {
      ++lineNumber_;
      if (isBlankLine(line)) continue;
      if (!parseRecord(line, &record)) return -1;
      record.line = lineNumber_;
      switch (take(run, record)) {
        case RunStep::kGoOn:
          break;
        case RunStep::kRunEnds:
          more = false;
          break;
        case RunStep::kStop:
          return 0;
      }
    }
    if (reader.readError() != 0) {
      std::string what(kCannotRead);
      what += std::strerror(reader.readError());
      lineNumber_ = 0;
      return fail(what);
    }
  }
  return 0;
}

int SequenceFiller::fileAll(std::span<const AnnotationRecord> records,
                            std::span<const uint32_t> order) {
  const std::size_t count = order.empty() ? records.size() : order.size();
  for (std::size_t k = 0; k < count; ++k) {
    const AnnotationRecord& record = records[order.empty() ? k : order[k]];
    lineNumber_ = record.line;
    if (!file(record)) {
      closeFrame();
      return -1;
    }
  }
  closeFrame();
  return 0;
}

namespace {

// Code `row` of a kText column, of whatever width its codes have.
int64_t codeAt(const TableColumn& column, std::size_t row) {
  switch (column.codeBytes) {
    case 1:
      return static_cast<const int8_t*>(column.values)[row];
    case 2:
      return static_cast<const int16_t*>(column.values)[row];
    case 4:
      return static_cast<const int32_t*>(column.values)[row];
    default:
      return static_cast<const int64_t*>(column.values)[row];
  }
}

// The text a table's cell would have in a file: its value in the shortest
// text that reads back as the same value (a text cell as it is). `buffer`
// holds the digits of a number.
std::string_view cellText(const TableColumn& column, std::size_t row,
                          std::array<char, 64>& buffer) {
  const auto written = [&](auto value) {
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string_view(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
  };
  switch (column.kind) {
    case TableColumn::Kind::kWhole:
      return written(static_cast<const int64_t*>(column.values)[row]);
    case TableColumn::Kind::kDouble:
      return written(static_cast<const double*>(column.values)[row]);
    case TableColumn::Kind::kSingle:
      return written(static_cast<const float*>(column.values)[row]);
    case TableColumn::Kind::kText:
      break;
  }
  const int64_t code = codeAt(column, row);
  return code < 0 ? std::string_view()
                  : std::string_view(column.texts[static_cast<std::size_t>(code)]);
}

// The float that the shortest text of `value` reads as, found without the
// text. That text lies within half a double's step of `value`, where no
// other double does; so it rounds to the same float as `value` unless
// `value` is itself halfway between two floats (the halfway points are
// doubles). Those, and values whose float is not a normal one (zero, tiny,
// beyond float's range, NaN), go through the text.
bool sameFloatAsItsText(double value, float* result) {
  const auto nearest = static_cast<float>(value);
  if (!std::isnormal(nearest)) return false;
  if (static_cast<double>(nearest) != value) {
    const float beyond = std::nextafter(nearest, value > static_cast<double>(nearest)
                                                     ? std::numeric_limits<float>::infinity()
                                                     : -std::numeric_limits<float>::infinity());
    if (!std::isfinite(beyond)) return false;
    // Exact: two neighbouring floats' sum and its half fit in a double.
    if (value == (static_cast<double>(nearest) + static_cast<double>(beyond)) / 2) return false;
  }
  *result = nearest;
  return true;
}

bool breaksLine(std::string_view text) { return text.find_first_of(",\r\n") != text.npos; }

}  // namespace

// Each cell is read as the general parse reads its column's text, in the
// order it reads the columns, so that the first problem of a row is the one
// a file would report. Whole numbers and confidences, the usual cells, skip
// the text: a whole number's text reads back as itself, a float's shortest
// text reads back as the same float, and a double's as the float nearest
// to it but in the cases sameFloatAsItsText() leaves to the text.
int SequenceFiller::fileRows(std::span<const TableColumn> columns, std::size_t rows) {
  if (columns.size() != kColumnCount - 2) {
    lineNumber_ = 0;
    return fail("a table has " + std::to_string(kColumnCount - 2) + " columns, not " +
                std::to_string(columns.size()));
  }
  // The header a file of the table would have reads as no record.
  if (details_ != nullptr) details_->headerReadsAsRecord = false;
  // What each distinct text of a text column reads as, worked out once: a
  // column of a million rows usually holds a handful of texts.
  struct Text {
    std::string_view trimmed;
    bool breaksLine = false;
    bool set = false;  // reads as a set flag
  };
  std::array<std::vector<Text>, kColumnCount - 2> texts;
  std::vector<std::size_t> textColumns;  // those that may hold a text no line can
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (columns[c].kind != TableColumn::Kind::kText) continue;
    // Code -1, the empty cell, is entry 0.
    texts[c].push_back(Text{});
    bool anyBreaks = false;
    for (const std::string& text : columns[c].texts) {
      const bool breaks = breaksLine(text);
      anyBreaks |= breaks;
      texts[c].push_back(Text{trimBlanks(text), breaks, trimBlanks(text) == kFlagSet});
    }
    if (anyBreaks) textColumns.push_back(c);
  }
  const auto textOf = [&](std::size_t c, std::size_t row) -> const Text& {
    return texts[c][static_cast<std::size_t>(codeAt(columns[c], row) + 1)];
  };
  const auto flagOf = [&](std::size_t c, std::size_t row, std::array<char, 64>& buffer) {
    if (columns[c].kind == TableColumn::Kind::kText) return textOf(c, row).set;
    return trimBlanks(cellText(columns[c], row, buffer)) == kFlagSet;
  };

  std::array<char, 64> buffer;
  std::array<char, 64> typeBuffer;
  Record record;
  for (std::size_t row = 0; row < rows; ++row) {
    lineNumber_ = row + 2;
    record.line = lineNumber_;
    for (const std::size_t c : textColumns) {
      if (textOf(c, row).breaksLine) {
        closeFrame();
        return fail("column " + std::to_string(c + 1) +
                    ": holds a comma or a line end, which no record can hold");
      }
    }
    std::array<uint32_t, 9> numbers;  // the frame number, then x1, y1, ..., y4
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      const TableColumn& column = columns[i];
      bool whole = false;
      if (column.kind == TableColumn::Kind::kWhole) {
        const int64_t value = static_cast<const int64_t*>(column.values)[row];
        const uint64_t magnitude =
            value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        whole = magnitude <= std::numeric_limits<uint32_t>::max();
        const auto bits = static_cast<uint32_t>(magnitude);
        numbers[i] = value < 0 ? 0u - bits : bits;
      } else {
        whole = parseWhole(cellText(column, row, buffer), &numbers[i]);
      }
      if (!whole) {
        closeFrame();
        return failInColumn(i + 1, trimBlanks(cellText(column, row, buffer)), kNotWholeNumber);
      }
    }
    record.frameNumber = numbers[0];
    for (std::size_t i = 0; i < record.corners.size(); ++i) {
      record.corners[i] = static_cast<int32_t>(numbers[i + 1]);
    }
    const TableColumn& confidence = columns[kConfidenceColumn - 1];
    bool number = true;
    if (confidence.kind == TableColumn::Kind::kSingle) {
      record.confidence = static_cast<const float*>(confidence.values)[row];
      number = !std::isnan(record.confidence);
    } else if (confidence.kind == TableColumn::Kind::kWhole) {
      // Rounded once, as the text of the whole number would be.
      record.confidence = static_cast<float>(static_cast<const int64_t*>(confidence.values)[row]);
    } else if (confidence.kind != TableColumn::Kind::kDouble ||
               !sameFloatAsItsText(static_cast<const double*>(confidence.values)[row],
                                   &record.confidence)) {
      number = parseConfidence(trimBlanks(cellText(confidence, row, buffer)), &record.confidence);
    }
    if (!number) {
      closeFrame();
      return failInColumn(kConfidenceColumn, trimBlanks(cellText(confidence, row, buffer)),
                          kNotNumber);
    }
    const std::string_view type = columns[9].kind == TableColumn::Kind::kText
                                      ? textOf(9, row).trimmed
                                      : trimBlanks(cellText(columns[9], row, typeBuffer));
    record.type = type.empty() ? kEmptyType : type;
    record.markA = flagOf(10, row, buffer);
    record.markB = flagOf(11, row, buffer);
    if (!file(record)) {
      closeFrame();
      return -1;
    }
  }
  closeFrame();
  return 0;
}

// Whether the header line parses as a record, reporting nothing.
bool SequenceFiller::headerReadsAsRecord(std::string_view header) {
  if (isBlankLine(header)) return false;
  // The column search loads whole words: the line is copied where it has
  // the padding behind it that the line buffer gives.
  std::string copy(header);
  copy.append(kLoadPadding, '\0');
  std::string* const error = error_;
  error_ = nullptr;
  Record record;
  const bool parsed = parseRecord(std::string_view(copy.data(), header.size()), &record);
  error_ = error;
  return parsed;
}

void SequenceFiller::noteUnknownType(std::string_view type) {
  auto found = unknownTypeAt_.find(type);
  if (found == unknownTypeAt_.end()) {
    found = unknownTypeAt_.emplace(std::string(type), details_->unknownTypes.size()).first;
    details_->unknownTypes.push_back({std::string(type), 0, lineNumber_});
  }
  ++details_->unknownTypes[found->second].count;
}

bool SequenceFiller::parseRecord(std::string_view line, Record* record) {
  if (parseUsualRecord(line, record)) return true;
  // Find the 14 commas first; the columns are then read independently of
  // each other, and a wrong count needs no further look.
  std::array<std::size_t, kColumnCount> columnEnd;
  std::size_t commas = 0;
  for (std::size_t block = 0; block < line.size(); block += kBlock) {
    for (uint64_t bits =
             classifyBytes(line.data() + block, std::min(kBlock, line.size() - block)).commas;
         bits != 0; bits &= bits - 1) {
      if (commas == kColumnCount - 1) return refuse(line, 0, {});
      columnEnd[commas++] = block + static_cast<std::size_t>(std::countr_zero(bits));
    }
  }
  if (commas != kColumnCount - 1) return refuse(line, 0, {});
  columnEnd[kColumnCount - 1] = line.size();
  const auto column = [&](std::size_t number) {
    const std::size_t start = number == 1 ? 0 : columnEnd[number - 2] + 1;
    return std::string_view(line.data() + start, columnEnd[number - 1] - start);
  };

  std::array<uint32_t, 9> numbers;  // the frame number, then x1, y1, ..., y4
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (!parseWhole(column(i + 1), &numbers[i])) return refuse(line, i + 1, kNotWholeNumber);
  }
  record->frameNumber = numbers[0];
  for (std::size_t i = 0; i < record->corners.size(); ++i) {
    record->corners[i] = static_cast<int32_t>(numbers[i + 1]);
  }
  if (!parseConfidence(trimBlanks(column(kConfidenceColumn)), &record->confidence)) {
    return refuse(line, kConfidenceColumn, kNotNumber);
  }
  const std::string_view type = trimBlanks(column(10));
  record->type = type.empty() ? kEmptyType : type;
  record->markA = trimBlanks(column(11)) == kFlagSet;
  record->markB = trimBlanks(column(12)) == kFlagSet;
  return true;
}

// Reports a line that parseRecord() could not read: a wrong number of
// columns comes first, whatever else is wrong, then the text of `column`.
bool SequenceFiller::refuse(std::string_view line, std::size_t column, std::string_view problem) {
  const auto columns = static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')) + 1;
  if (columns != kColumnCount || column == 0) {
    fail(std::string(kWrongColumnCount) + std::to_string(columns));
    return false;
  }
  std::size_t start = 0;
  for (std::size_t k = 1; k < column; ++k) start = line.find(',', start) + 1;
  const std::size_t stop = line.find(',', start);
  failInColumn(column, trimBlanks(line.substr(start, stop - start)), problem);
  return false;
}

// Accepts what strtof would read whole, NaN excepted. from_chars rounds the
// decimal text straight to float; going through double would round twice.
bool SequenceFiller::parseConfidence(std::string_view text, float* value) {
  std::string_view body = text;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) body.remove_prefix(1);
  // from_chars takes no '+' and would take a second '-'.
  if (body.empty() || body[0] == '+' || body[0] == '-') return false;
  if (float quick = 0.0f; readShortDecimal(body, &quick)) {
    *value = negative ? -quick : quick;
    return true;
  }
  const bool hex = body.size() >= 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X');
  if (!hex) {
    float magnitude = 0.0f;
    const char* const last = body.data() + body.size();
    const auto [end, status] = std::from_chars(body.data(), last, magnitude);
    if (end != last) return false;
    if (status == std::errc{}) {
      if (std::isnan(magnitude)) return false;
      *value = negative ? -magnitude : magnitude;
      return true;
    }
    if (status != std::errc::result_out_of_range) return false;
  }
  // Hexadecimal text, and values beyond float's range, which from_chars
  // leaves unset where strtof gives infinity, zero or a denormal.
  scratch_.assign(text);
  char* end = nullptr;
  const float converted = std::strtof(scratch_.c_str(), &end);
  if (end != scratch_.c_str() + scratch_.size() || std::isnan(converted)) return false;
  *value = converted;
  return true;
}

// Files one well-formed record into the sequence, or drops it.
bool SequenceFiller::file(const Record& record) {
  if (details_ != nullptr) {
    ++details_->records;
    if (record.negativeExtent) details_->negativeExtentLines.push_back(lineNumber_);
  }
  // What is dropped here takes no place among the frames: takesFramePlace()
  // tells the same of a record.
  if (record.type == kIgnoredType) {
    if (details_ != nullptr) ++details_->dcfRecords;
    return true;
  }
  // The size test drops records none of whose sides reaches the rules' min
  // side (kMinSideLength unless told otherwise).
  const auto& c = record.corners;
  if (!largeEnough(c, leastSquare_)) {
    if (details_ != nullptr) ++details_->droppedBySize;
    return true;
  }
  // Frames follow the order of the file: a number that comes back after
  // another starts a further frame, even a record of unknown type starts one.
  if (!frameStarted_ || record.frameNumber != lastFrameNumber_) {
    closeFrame();
    if (framesStarted_ == kMaxCount) {
      fail(kTooManyFrames);
      return false;
    }
    ++framesStarted_;
    // A block is handed over between frames, once it holds enough targets.
    if (sink_ != nullptr && sequence_->targetStore.size() >= blockTargets_) handOverBlock();
    QuorFrame& frame = sequence_->frames.emplace_back(record.frameNumber);
    frame.firstLine = lineNumber_;
    if (reader_ != nullptr) frame.firstByte = reader_->offsetOf(recordStart_);
    rules_.applyTo(frame);
    frameStarted_ = true;
    lastFrameNumber_ = record.frameNumber;
    if (details_ != nullptr) {
      details_->frameLines.push_back(lineNumber_);
      details_->targetStarts.push_back(details_->allTargetLines.size());
      details_->regionStarts.push_back(details_->allRegionLines.size());
    }
  }
  // Known classes and "DCR" have fixed codes; every other type is dropped,
  // unless the sequence is of a dataset with classes of its own, whose
  // reader made only types of that dataset.
  int32_t code = fixedCodeOf(record.type);
  if (code < 0) {
    if (!ownClasses_) {
      if (details_ != nullptr) noteUnknownType(record.type);
      return true;
    }
    code = ownCode(record.type);
  }
  const bool region = record.type == kRegionType;
  std::vector<const QuorTarget*>* list = region ? &frameRegions_ : &frameTargets_;
  if (boxesMade_ == kMaxCount) {
    fail(kTooManyBoxes);
    return false;
  }
  ++boxesMade_;
  if (details_ != nullptr) {
    (region ? details_->allRegionLines : details_->allTargetLines).push_back(lineNumber_);
  }
  QuorTarget& target = sequence_->targetStore.addBlank();
  fillTarget(target, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], static_cast<uint16_t>(code),
             record.markB, record.confidence, record.markA);
  list->push_back(&target);
  return true;
}

// Sets the error to "<name>:<line>: <what>" (no line number when 0).
int SequenceFiller::fail(std::string_view what) {
  if (error_ != nullptr) *error_ = locatedMessage(sourceName_, lineNumber_, what);
  return -1;
}

std::string locatedMessage(std::string_view name, uint64_t line, std::string_view what) {
  std::string message;
  // The name goes on one line whatever it holds.
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      message += hex;
    } else {
      message += c;
    }
  }
  if (line != 0) {
    message += ':';
    message += std::to_string(line);
  }
  message += ": ";
  message += what;
  return message;
}

int SequenceFiller::failInColumn(std::size_t column, std::string_view text,
                                 std::string_view problem) {
  std::string what = "column " + std::to_string(column) + ": ";
  appendQuoted(what, text);
  what += problem;
  return fail(what);
}

RecordFiler::RecordFiler(QuorSequence& sequence, std::string_view sourceName, std::string* error,
                         ReadDetails* details, const ScoringRules& rules)
    : filler_(std::make_unique<SequenceFiller>(sequence, sourceName, error, details, rules)) {}

RecordFiler::~RecordFiler() = default;

bool RecordFiler::file(const AnnotationRecord& record) { return filler_->fileOne(record); }

void RecordFiler::finish() { filler_->finishFiling(); }

bool takesFramePlace(const AnnotationRecord& record, const ScoringRules& rules) {
  if (record.type == kIgnoredType) return false;
  // The threshold of the rules asked about last, found again only for others.
  thread_local double minSide = 0.0;
  thread_local float leastSquare = 0.0f;
  if (std::bit_cast<uint64_t>(rules.minSide) != std::bit_cast<uint64_t>(minSide)) {
    minSide = rules.minSide;
    leastSquare = leastSquareReaching(minSide);
  }
  return largeEnough(record.corners, leastSquare);
}

float cornerDistance(int32_t xa, int32_t ya, int32_t xb, int32_t yb) {
  return std::sqrt(squaredCornerDistance(xa, ya, xb, yb));
}

float leastSquareReaching(double minSide) {
  const auto reaches = [minSide](float square) {
    return static_cast<double>(std::sqrt(square)) >= minSide;
  };
  constexpr float kInfinity = std::numeric_limits<float>::infinity();
  if (reaches(0.0f)) return 0.0f;
  if (!reaches(std::numeric_limits<float>::max())) return kInfinity;
  // Non-negative floats are ordered as their bit patterns: search those
  // between a square that falls short and one that reaches.
  uint32_t low = 0;  // the bits of 0.0f, which falls short
  uint32_t high = std::bit_cast<uint32_t>(std::numeric_limits<float>::max());
  while (high - low > 1) {
    const uint32_t middle = low + (high - low) / 2;
    (reaches(std::bit_cast<float>(middle)) ? high : low) = middle;
  }
  return std::bit_cast<float>(high);
}

int readSequenceFile(std::FILE* stream, QuorSequence& sequence, std::string_view sourceName,
                     std::string* error, ReadDetails* details, const ScoringRules& rules) {
  const std::unique_ptr<std::FILE, FileCloser> closer(stream);
  return SequenceFiller(sequence, sourceName, error, details, rules).read(stream);
}

int fileTableBlocks(std::span<const TableColumn> columns, std::size_t rows, FrameBlockSink& sink,
                    std::string_view sourceName, std::string* error, std::size_t blockTargets,
                    const ScoringRules& rules) {
  return SequenceFiller(sink, blockTargets, sourceName, error, rules).fileTable(columns, rows);
}

int readSequenceBlocks(std::FILE* stream, FrameBlockSink& sink, std::string_view sourceName,
                       std::string* error, std::size_t blockTargets, const ScoringRules& rules) {
  const std::unique_ptr<std::FILE, FileCloser> closer(stream);
  return SequenceFiller(sink, blockTargets, sourceName, error, rules).read(stream);
}

int fileRecords(std::span<const AnnotationRecord> records, QuorSequence& sequence,
                std::string_view sourceName, std::string* error, ReadDetails* details,
                const ScoringRules& rules) {
  return SequenceFiller(sequence, sourceName, error, details, rules).fileAll(records, {});
}

int fileRecords(std::span<const AnnotationRecord> records, std::span<const uint32_t> order,
                QuorSequence& sequence, std::string_view sourceName, std::string* error,
                ReadDetails* details, const ScoringRules& rules) {
  return SequenceFiller(sequence, sourceName, error, details, rules).fileAll(records, order);
}

int fileTable(std::span<const TableColumn> columns, std::size_t rows, QuorSequence& sequence,
              std::string_view sourceName, std::string* error, ReadDetails* details,
              const ScoringRules& rules) {
  return SequenceFiller(sequence, sourceName, error, details, rules).fileTable(columns, rows);
}

int readRecordsOf(std::FILE* stream, std::string_view sourceName,
                  const std::function<bool(const AnnotationRecord&)>& take, std::string* error) {
  const std::unique_ptr<std::FILE, FileCloser> closer(stream);
  QuorSequence unused;
  SequenceFiller filler(unused, sourceName, error, nullptr, ScoringRules{});
  filler.handRecordsTo(take);
  return filler.read(stream);
}

int readRecordsOfFrames(std::FILE* stream, std::string_view sourceName,
                        std::span<const uint32_t> frames,
                        const std::function<bool(const AnnotationRecord&)>& take,
                        std::string* error) {
  const std::unique_ptr<std::FILE, FileCloser> closer(stream);
  QuorSequence unused;
  SequenceFiller filler(unused, sourceName, error, nullptr, ScoringRules{});
  filler.handRecordsTo(take);
  filler.onlyFrames(frames);
  return filler.read(stream);
}

int readRecordRuns(std::FILE* stream, std::string_view sourceName, std::span<const RecordRun> runs,
                   const std::function<RunStep(std::size_t, const AnnotationRecord&)>& take,
                   std::string* error) {
  const std::unique_ptr<std::FILE, FileCloser> closer(stream);
  QuorSequence unused;
  SequenceFiller filler(unused, sourceName, error, nullptr, ScoringRules{});
  return filler.readRuns(stream, runs, take);
}
