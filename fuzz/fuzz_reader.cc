// Fuzz target for the annotation reader. Any bytes must read to 0 or -1
// without a crash. The result is checked against a plain reader written here
// from the documented file format, one byte at a time and without the fast
// paths of the real one: both must accept the same files, build the same
// frames and boxes, and refuse a file on the same line and column.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"
#include "fuzz/fuzz_support.h"

namespace {

// A name with a CR and an LF: the message must still be one line.
constexpr std::string_view kSourceName = "in\r\nput.csv";
constexpr std::string_view kEscapedSourceName = "in\\x0D\\x0Aput.csv";

struct PlainBox {
  std::array<int32_t, 8> corners{};  // x1, y1, x2, y2, x3, y3, x4, y4
  std::string type;
  bool markA = false;
  bool markB = false;
  float confidence = 0.0f;
};

struct PlainFrame {
  uint32_t number = 0;
  std::vector<PlainBox> targets;
  std::vector<PlainBox> regions;
};

struct PlainResult {
  bool ok = true;
  uint64_t failedLine = 0;
  std::size_t failedColumn = 0;  // 0: the number of columns was wrong
  std::vector<PlainFrame> frames;
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The lines of `bytes`, each without its end: LF, CR LF or a lone CR. A last
// line without an end counts; nothing after a final line end does.
std::vector<std::string_view> splitLines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes[at] == '\n' || bytes[at] == '\r') {
      lines.push_back(bytes.substr(start, at - start));
      if (bytes[at] == '\r' && at + 1 < bytes.size() && bytes[at + 1] == '\n') ++at;
      ++at;
      start = at;
    } else {
      ++at;
    }
  }
  if (start < bytes.size()) lines.push_back(bytes.substr(start));
  return lines;
}

std::vector<std::string_view> splitColumns(std::string_view line) {
  std::vector<std::string_view> columns;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= line.size(); ++at) {
    if (at == line.size() || line[at] == ',') {
      columns.push_back(line.substr(start, at - start));
      start = at + 1;
    }
  }
  return columns;
}

// An optional sign and decimal digits of magnitude below 2^32, blanks around;
// a minus sign gives the two's complement.
std::optional<uint32_t> wholeNumber(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    if (magnitude > 0xffffffffu) return std::nullopt;
  }
  const auto bits = static_cast<uint32_t>(magnitude);
  return negative ? 0u - bits : bits;
}

// What strtof reads whole, in single precision, NaN refused.
std::optional<float> confidenceNumber(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  const float value = std::strtof(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || std::isnan(value)) return std::nullopt;
  return value;
}

bool isKnownClass(std::string_view type) {
  return std::find(knownClasses.begin(), knownClasses.end(), type) != knownClasses.end();
}

PlainResult readPlainly(std::string_view bytes) {
  PlainResult result;
  const std::vector<std::string_view> lines = splitLines(bytes);
  bool frameStarted = false;
  uint32_t lastNumber = 0;
  for (std::size_t index = 1; index < lines.size(); ++index) {  // line 1 is the header
    const std::string_view line = lines[index];
    const uint64_t lineNumber = index + 1;
    if (trim(line).empty()) continue;
    const std::vector<std::string_view> columns = splitColumns(line);
    const auto refuse = [&](std::size_t column) {
      result.ok = false;
      result.failedLine = lineNumber;
      result.failedColumn = column;
      return result;
    };
    if (columns.size() != 15) return refuse(0);
    std::array<uint32_t, 9> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      const std::optional<uint32_t> number = wholeNumber(columns[i]);
      if (!number) return refuse(i + 1);
      numbers[i] = *number;
    }
    const std::optional<float> confidence = confidenceNumber(columns[12]);
    if (!confidence) return refuse(13);

    PlainBox box;
    for (std::size_t i = 0; i < 8; ++i) box.corners[i] = static_cast<int32_t>(numbers[i + 1]);
    const std::string_view type = trim(columns[9]);
    box.type = type.empty() ? "DCO" : std::string(type);
    box.markA = trim(columns[10]) == "TRUE";
    box.markB = trim(columns[11]) == "TRUE";
    box.confidence = *confidence;

    if (box.type == "DCF") continue;
    const auto& c = box.corners;
    const bool largeEnough = cornerDistance(c[0], c[1], c[2], c[3]) >= 30.0f ||
                             cornerDistance(c[0], c[1], c[6], c[7]) >= 30.0f ||
                             cornerDistance(c[4], c[5], c[2], c[3]) >= 30.0f ||
                             cornerDistance(c[4], c[5], c[6], c[7]) >= 30.0f;
    if (!largeEnough) continue;
    if (!frameStarted || numbers[0] != lastNumber) {
      result.frames.push_back(PlainFrame{numbers[0], {}, {}});
      frameStarted = true;
      lastNumber = numbers[0];
    }
    if (box.type == "DCR") {
      result.frames.back().regions.push_back(box);
    } else if (isKnownClass(box.type)) {
      result.frames.back().targets.push_back(box);
    }
  }
  return result;
}

void checkSameBox(const QuorTarget& target, const PlainBox& box) {
  // The target keeps the bounding rectangle and the side product of the corners.
  const auto& c = box.corners;
  FUZZ_CHECK(target.minX == std::min({c[0], c[2], c[4], c[6]}));
  FUZZ_CHECK(target.maxX == std::max({c[0], c[2], c[4], c[6]}));
  FUZZ_CHECK(target.minY == std::min({c[1], c[3], c[5], c[7]}));
  FUZZ_CHECK(target.maxY == std::max({c[1], c[3], c[5], c[7]}));
  const auto side = [](int64_t dx, int64_t dy) {
    return std::sqrt(static_cast<double>(dx) * static_cast<double>(dx) +
                     static_cast<double>(dy) * static_cast<double>(dy));
  };
  const double product = side(int64_t{c[0]} - c[2], int64_t{c[1]} - c[3]) *
                         side(int64_t{c[2]} - c[4], int64_t{c[3]} - c[5]);
  FUZZ_CHECK(std::bit_cast<uint64_t>(target.sideProduct) == std::bit_cast<uint64_t>(product));
  FUZZ_CHECK(target.name() == box.type);
  FUZZ_CHECK(target.markA == box.markA);
  FUZZ_CHECK(target.markB == box.markB);
  FUZZ_CHECK(std::bit_cast<uint32_t>(target.confidence) == std::bit_cast<uint32_t>(box.confidence));
}

// What must hold of any box the reader keeps, whatever the reference says.
void checkBox(const QuorTarget& target) {
  FUZZ_CHECK(target.minX <= target.maxX && target.minY <= target.maxY);
  FUZZ_CHECK(!std::isnan(target.confidence));
  FUZZ_CHECK(target.sideProduct >= 0.0);
}

void checkAccepted(const QuorSequence& sequence, const PlainResult& plain) {
  FUZZ_CHECK(plain.ok);
  FUZZ_CHECK(sequence.frames.size() == plain.frames.size());
  std::set<const QuorTarget*> seen;
  for (std::size_t f = 0; f < sequence.frames.size(); ++f) {
    const QuorFrame& frame = sequence.frames[f];
    const PlainFrame& expected = plain.frames[f];
    FUZZ_CHECK(frame.frameNumber == expected.number);
    // Records of one number in a row make one frame.
    if (f > 0) FUZZ_CHECK(frame.frameNumber != sequence.frames[f - 1].frameNumber);
    FUZZ_CHECK(frame.targets.size() == expected.targets.size());
    FUZZ_CHECK(frame.regions.size() == expected.regions.size());
    for (std::size_t i = 0; i < frame.targets.size(); ++i) {
      const QuorTarget* target = frame.targets[i];
      FUZZ_CHECK(target != nullptr);
      FUZZ_CHECK(seen.insert(target).second);
      checkBox(*target);
      FUZZ_CHECK(isKnownClass(target->name()));
      checkSameBox(*target, expected.targets[i]);
    }
    for (std::size_t i = 0; i < frame.regions.size(); ++i) {
      const QuorTarget* region = frame.regions[i];
      FUZZ_CHECK(region != nullptr);
      FUZZ_CHECK(seen.insert(region).second);
      checkBox(*region);
      FUZZ_CHECK(region->name() == "DCR");
      checkSameBox(*region, expected.regions[i]);
    }
    FUZZ_CHECK(frame.gtCount == 0 && frame.detCount == 0 && frame.fpCount == 0 &&
               frame.fnCount == 0);
  }
  FUZZ_CHECK(sequence.targetStore.size() == seen.size());
}

void checkRefused(const std::string& error, const PlainResult& plain) {
  FUZZ_CHECK(!plain.ok);
  FUZZ_CHECK(!error.empty());
  // One printable line: no line end, no control byte.
  for (const char c : error) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  // "<name>:<line>: ", then "column <n>: " when a column was at fault.
  std::string prefix(kEscapedSourceName);
  prefix += ':' + std::to_string(plain.failedLine) + ": ";
  if (plain.failedColumn != 0) prefix += "column " + std::to_string(plain.failedColumn) + ": ";
  if (error.compare(0, prefix.size(), prefix) != 0) {
    std::fprintf(stderr, "expected the message to start with \"%s\", got \"%s\"\n", prefix.c_str(),
                 error.c_str());
    talmira_fuzz::fail(__FILE__, __LINE__, "the message names the wrong line or column");
  }
  if (plain.failedColumn == 0) FUZZ_CHECK(error.find("column ") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const PlainResult plain = readPlainly(bytes);

  QuorSequence sequence;
  std::string error;
  const int status = talmira_fuzz::readBytes(bytes, sequence, kSourceName, &error);
  FUZZ_CHECK(status == 0 || status == -1);
  if (status == 0) {
    FUZZ_CHECK(error.empty());
    checkAccepted(sequence, plain);
  } else {
    checkRefused(error, plain);
  }

  // The reader's details change neither the result nor the message, and
  // describe the frames read: one line per box and region, in file order.
  QuorSequence detailed;
  ReadDetails details;
  std::string detailedError;
  FUZZ_CHECK(talmira_fuzz::readBytes(bytes, detailed, kSourceName, &detailedError, &details) ==
             status);
  FUZZ_CHECK(detailedError == error);
  FUZZ_CHECK(detailed.frames.size() == sequence.frames.size());
  FUZZ_CHECK(details.frameCount() == detailed.frames.size());
  uint64_t lastLine = 1;
  for (std::size_t f = 0; f < detailed.frames.size(); ++f) {
    FUZZ_CHECK(details.targetLines(f).size() == detailed.frames[f].targets.size());
    FUZZ_CHECK(details.regionLines(f).size() == detailed.frames[f].regions.size());
    FUZZ_CHECK(details.frameLine(f) > lastLine);
    lastLine = details.frameLine(f);
    for (const uint64_t line : details.targetLines(f)) FUZZ_CHECK(line >= lastLine);
    for (const uint64_t line : details.regionLines(f)) FUZZ_CHECK(line >= lastLine);
  }
  FUZZ_CHECK(details.records >= details.dcfRecords + details.droppedBySize);

  // Without a place for the message a refusal is the same refusal. (Only
  // then: each read sets up a large buffer, and an accepted file never
  // touches the message.)
  if (status != 0) {
    QuorSequence again;
    FUZZ_CHECK(talmira_fuzz::readBytes(bytes, again, kSourceName, nullptr) == -1);
  }
  return 0;
}
