#include "talmira/precision_options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <memory>
#include <string_view>

#include "annotation/coco_images.h"
#include "scoring/precision/sequence_images.h"

namespace talmira {

namespace {

[[noreturn]] void usage(const std::string& what) { throw CommandError{kExitUsage, what}; }

double numberOf(std::string_view text, const std::string& option) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) {
    usage(option + ": \"" + std::string(text) + "\" is not a number");
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

bool endsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::vector<double> parseThresholds(const std::string& text) {
  const std::string option = "--iou-thresholds";
  std::vector<double> values;
  if (text.find(':') != std::string::npos) {
    const std::vector<std::string_view> parts = split(text, ':');
    if (parts.size() != 3)
      usage(option + ": expected START:STOP:COUNT or a list, e.g. 0.5:0.95:10");
    const double count = numberOf(parts[2], option);
    if (count < 1 || count > 64 || count != std::floor(count)) {
      usage(option + ": the count is not a whole number from 1 to 64");
    }
    values = precision::linspace(numberOf(parts[0], option), numberOf(parts[1], option),
                                 static_cast<std::size_t>(count));
  } else {
    for (const std::string_view part : split(text, ',')) values.push_back(numberOf(part, option));
  }
  if (values.empty() || values.size() > 64) usage(option + ": give 1 to 64 thresholds");
  for (const double v : values) {
    if (v < 0 || v > 1) usage(option + ": a threshold is outside 0 to 1");
  }
  return values;
}

std::vector<int> parseMaxDetections(const std::string& text) {
  std::vector<int> values;
  for (const std::string_view part : split(text, ',')) {
    const double v = numberOf(part, "--max-dets");
    if (v < 0 || v > 1e9 || v != std::floor(v)) {
      usage("--max-dets: \"" + std::string(part) + "\" is not a whole number from 0");
    }
    values.push_back(static_cast<int>(v));
  }
  return values;
}

std::vector<precision::AreaRange> parseAreaRanges(const std::string& text) {
  std::vector<precision::AreaRange> ranges;
  for (const std::string_view part : split(text, ',')) {
    const std::size_t equals = part.find('=');
    const std::size_t colon = part.find(':', equals == std::string_view::npos ? 0 : equals);
    if (equals == std::string_view::npos || equals == 0 || colon == std::string_view::npos) {
      usage("--area-ranges: \"" + std::string(part) + "\" is not LABEL=LOW:HIGH");
    }
    precision::AreaRange range;
    range.label = std::string(part.substr(0, equals));
    range.low = numberOf(part.substr(equals + 1, colon - equals - 1), "--area-ranges");
    range.high = numberOf(part.substr(colon + 1), "--area-ranges");
    if (range.low > range.high)
      usage("--area-ranges: " + range.label + "'s low bound is above its high");
    ranges.push_back(std::move(range));
  }
  return ranges;
}

std::array<CLI::Option*, 3> addPrecisionOptions(CLI::App& command, PrecisionOptionsGiven& given) {
  return {command
              .add_option("--iou-thresholds", given.iouThresholds,
                          "IoU thresholds: a list (0.5,0.75) or START:STOP:COUNT as numpy's "
                          "linspace (default 0.5:0.95:10)")
              ->type_name("LIST"),
          command
              .add_option("--max-dets", given.maxDetections,
                          "detections kept per image and category, the last the cut (default "
                          "1,10,100)")
              ->type_name("LIST"),
          command
              .add_option("--area-ranges", given.areaRanges,
                          "LABEL=LOW:HIGH,... by the annotations' area, bounds included (default "
                          "all=0:1e10,small=0:1024,medium=1024:9216,large=9216:1e10)")
              ->type_name("LIST")};
}

precision::CocoParameters precisionParameters(const PrecisionOptionsGiven& given) {
  precision::CocoParameters parameters = precision::CocoParameters::standard();
  if (!given.iouThresholds.empty()) parameters.iouThresholds = parseThresholds(given.iouThresholds);
  if (!given.maxDetections.empty())
    parameters.maxDetections = parseMaxDetections(given.maxDetections);
  if (!given.areaRanges.empty()) parameters.areaRanges = parseAreaRanges(given.areaRanges);
  return parameters;
}

bool readsAsCoco(const InputFormats& formats, const std::string& groundTruthPath,
                 const std::string& systemPath) {
  if (formats.groundTruth.format == AnnotationFormat::kCoco) return true;
  return formats.native() && endsWith(groundTruthPath, ".json") && endsWith(systemPath, ".json");
}

precision::ImageSet imagesOfPair(const std::string& groundTruthPath, const std::string& systemPath,
                                 const InputFormats& formats, float confidence, uint32_t sequence,
                                 unsigned threads) {
  if (readsAsCoco(formats, groundTruthPath, systemPath)) {
    if (formats.groundTruth.classes != nullptr) {
      throw CommandError{
          kExitInputOrOutput,
          groundTruthPath + ": --classes: a COCO pair is scored in its own categories"};
    }
    std::string failure;
    std::optional<precision::ImageSet> set =
        formats::readCocoImageFiles(groundTruthPath, systemPath, failure);
    if (!set) throw CommandError{kExitInputOrOutput, failure};
    // Detections below the threshold are left out.
    if (!(confidence > 0)) return std::move(*set);
    return precision::keepDetectionsFrom(*set, confidence);
  }
  std::unique_ptr<QuorSequence> groundTruth, system;
  if (threads > 1) {
    readInputs(groundTruthPath, systemPath, groundTruth, system, nullptr, nullptr, formats);
  } else {
    // One after the other on this thread, both messages kept.
    std::string messages;
    try {
      groundTruth = readInput(groundTruthPath, nullptr, formats.groundTruth);
    } catch (const CommandError& e) {
      messages = e.message;
    }
    try {
      system = readInput(systemPath, nullptr, formats.system);
    } catch (const CommandError& e) {
      messages += (messages.empty() ? "" : "\n") + e.message;
    }
    if (!messages.empty()) throw CommandError{kExitInputOrOutput, messages};
  }
  const ClassSetPtr classes = pairClasses(*groundTruth, *system);
  return precision::imagesOfSequences(*groundTruth, *system, *classes, confidence, sequence);
}

}  // namespace talmira
