#include "annotation/kitti_reader.h"

#include <array>
#include <string>

namespace formats {

namespace {

constexpr std::size_t kLabelWords = 17;  // a detection adds its score

bool readLine(RecordMaker& maker, std::string_view line, uint64_t number) {
  std::array<std::string_view, kLabelWords + 1> words;
  const std::size_t count = splitWords(line, words);
  if (count != kLabelWords && count != kLabelWords + 1) {
    return maker.fail(number,
                      "expected 17 values (18 with a score), found " + std::to_string(count));
  }
  const auto where = [](std::size_t k) { return "value " + std::to_string(k); };
  Decimal frameValue;
  std::optional<uint64_t> frame;
  if (parseDecimal(words[0], &frameValue)) frame = wholeValue(frameValue, UINT32_MAX);
  if (!frame) {
    return maker.failValue(number, where(1), words[0],
                           " is not a frame number (a whole number from 0 to 4294967295)");
  }
  // left, top, right, bottom: values 7 to 10.
  std::array<int32_t, 4> edges{};
  for (std::size_t k = 0; k < edges.size(); ++k) {
    Decimal value;
    if (!parseDecimal(words[6 + k], &value)) {
      return maker.failValue(number, where(7 + k), words[6 + k], " is not a number");
    }
    const std::optional<int32_t> rounded = roundToInt32(value);
    if (!rounded) {
      return maker.failValue(number, where(7 + k), words[6 + k],
                             " is not a 32-bit whole number once rounded");
    }
    edges[k] = *rounded;
  }
  float confidence = 1.0f;
  if (count > kLabelWords && !parseConfidenceText(words[kLabelWords], &confidence)) {
    return maker.failValue(number, where(kLabelWords + 1), words[kLabelWords], " is not a number");
  }
  bool failed = false;
  const ClassMapping* mapping = maker.map(words[2], number, &failed);
  if (failed) return false;
  if (mapping == nullptr) return true;  // dropped
  return maker.addBox(static_cast<uint32_t>(*frame), edges[0], edges[1], edges[2], edges[3],
                      *mapping, false, confidence, number);
}

}  // namespace

bool readKitti(RecordMaker& maker) {
  StreamHandle stream = maker.open();
  if (stream == nullptr) return false;
  TextLines lines(stream.get());
  std::string_view line;
  while (lines.next(&line)) {
    if (trimBlanks(line).empty()) continue;
    if (!readLine(maker, line, lines.lineNumber())) return false;
  }
  if (lines.readError() != 0) return maker.failRead(lines.readError());
  return true;
}

}  // namespace formats
