// talmira ap: average precision as the detection benchmarks compute it.
#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>
#include <memory>

#include "annotation/coco_images.h"
#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/sequence_images.h"
#include "scoring/precision/vid_evaluation.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/pages/precision_page.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/vid_report.h"

namespace talmira {

namespace {

struct ApOptions {
  std::string groundTruth;
  std::string system;
  std::string protocol = "coco";
  std::string iouThresholds;
  std::string maxDetections;
  std::string areaRanges;
  bool arrays = false;
  float confidence = 0.0f;
  Format format = Format::kText;
  std::string output;
  std::string report;  // an HTML page, when given
  unsigned jobs = 1;
  FormatOptionsGiven formats;
};

// The command line that made a page, for its footer.
std::string commandLineOf(const ApOptions& options) {
  std::string line = "talmira " TALMIRA_VERSION " ap " + options.groundTruth + " " + options.system;
  for (const auto& [flag, value] : {std::pair{"--iou-thresholds", &options.iouThresholds},
                                    std::pair{"--max-dets", &options.maxDetections},
                                    std::pair{"--area-ranges", &options.areaRanges}}) {
    if (!value->empty()) line += std::string(" ") + flag + " " + *value;
  }
  if (options.confidence > 0) line += " -c " + shortestText(options.confidence);
  if (options.formats.groundTruthFormat != "talmira") {
    line += " --gt-format " + options.formats.groundTruthFormat;
  }
  if (options.formats.systemFormat != "talmira") {
    line += " --sys-format " + options.formats.systemFormat;
  }
  return line;
}

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

// "0.5,0.75" or "START:STOP:COUNT" (numpy's linspace, as COCO's own are made).
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

// "all=0:1e10,small=0:1024,..."
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

bool endsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The images of the pair: COCO files directly, any other format's frames.
precision::ImageSet readImages(const ApOptions& options) {
  const FormatOptionsGiven& given = options.formats;
  const bool cocoNamed = given.groundTruthFormat == "coco";
  const bool unnamed = given.groundTruthFormat == "talmira" && given.systemFormat == "talmira";
  if (cocoNamed ||
      (unnamed && endsWith(options.groundTruth, ".json") && endsWith(options.system, ".json"))) {
    if (!given.classes.empty()) usage("--classes: a COCO pair is scored in its own categories");
    std::string failure;
    std::optional<precision::ImageSet> set =
        formats::readCocoImageFiles(options.groundTruth, options.system, failure);
    if (!set) throw CommandError{kExitInputOrOutput, failure};
    // Detections below the threshold are left out.
    if (options.confidence > 0) return precision::keepDetectionsFrom(*set, options.confidence);
    return std::move(*set);
  }
  const InputFormats formats = inputFormatsOf(given, options.groundTruth);
  std::unique_ptr<QuorSequence> groundTruth, system;
  readInputs(options.groundTruth, options.system, groundTruth, system, nullptr, nullptr, formats);
  const ClassSetPtr classes = pairClasses(*groundTruth, *system);
  return precision::imagesOfSequences(*groundTruth, *system, *classes, options.confidence);
}

void runAp(const ApOptions& options) {
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.begin(), {options.groundTruth, options.system});
  for (const std::string* output : {&options.output, &options.report}) {
    refuseOutputNamingInput(*output, inputs);
  }
  precision::CocoParameters parameters = precision::CocoParameters::standard();
  if (!options.iouThresholds.empty())
    parameters.iouThresholds = parseThresholds(options.iouThresholds);
  if (!options.maxDetections.empty())
    parameters.maxDetections = parseMaxDetections(options.maxDetections);
  if (!options.areaRanges.empty()) parameters.areaRanges = parseAreaRanges(options.areaRanges);
  if (options.arrays && options.format != Format::kJson) usage("--arrays is for --format json");
  const bool vid = options.protocol == "vid";
  if (vid && (!options.iouThresholds.empty() || !options.maxDetections.empty() ||
              !options.areaRanges.empty() || options.arrays || !options.report.empty())) {
    usage(
        "--iou-thresholds, --max-dets, --area-ranges, --arrays and --report are COCO's, not "
        "--protocol vid's");
  }

  const precision::ImageSet set = readImages(options);
  for (const std::string& warning : set.warnings) std::cerr << "warning: " << warning << "\n";
  if (vid) {
    const precision::VidResult result = precision::evaluateVid(set, options.jobs);
    switch (options.format) {
      case Format::kText:
        writeOutput(options.output, renderVidText(result, set));
        break;
      case Format::kCsv:
        writeOutput(options.output, renderVidCsv(result, set));
        break;
      case Format::kJson: {
        Json json = vidJson(result, set);
        json["ground_truth"] = options.groundTruth;
        json["system"] = options.system;
        writeOutput(options.output, jsonText(json));
        break;
      }
    }
    return;
  }
  const precision::CocoResult result = precision::evaluateCoco(set, parameters, options.jobs);
  switch (options.format) {
    case Format::kText:
      writeOutput(options.output, renderCocoText(result, set));
      break;
    case Format::kCsv:
      writeOutput(options.output, renderCocoCsv(result, set));
      break;
    case Format::kJson: {
      Json json = cocoJson(result, set, options.arrays);
      json["ground_truth"] = options.groundTruth;
      json["system"] = options.system;
      writeOutput(options.output, jsonText(json));
      break;
    }
  }
  if (!options.report.empty()) {
    ApPageInput page;
    page.groundTruth = options.groundTruth;
    page.system = options.system;
    page.warnings = set.warnings;
    page.result = &result;
    page.set = &set;
    page.producedBy = commandLineOf(options);
    writeOutput(options.report, renderApReport(page));
  }
}

}  // namespace

void addApCommand(CLI::App& app) {
  auto options = std::make_shared<ApOptions>();
  options->formats.ownClasses = true;
  CLI::App* command = app.add_subcommand(
      "ap", "Average precision as the detection benchmarks compute it (COCO's twelve figures)");
  command->add_option("GT", options->groundTruth, "ground truth: COCO JSON, or any format's file")
      ->required();
  command
      ->add_option("SYS", options->system,
                   "the detections: a COCO results list, or the same format")
      ->required();
  command
      ->add_option("--protocol", options->protocol,
                   "the benchmark's rules: coco (COCOeval, bbox) or vid (ImageNet VID's mAP at "
                   "0.5, split by motion speed where the ground truth has tracks)")
      ->check(CLI::IsMember({"coco", "vid"}))
      ->default_str("coco");
  command
      ->add_option("--iou-thresholds", options->iouThresholds,
                   "IoU thresholds: a list (0.5,0.75) or START:STOP:COUNT as numpy's linspace "
                   "(default 0.5:0.95:10)")
      ->type_name("LIST");
  command
      ->add_option("--max-dets", options->maxDetections,
                   "detections kept per image and category, the last the cut (default 1,10,100)")
      ->type_name("LIST");
  command
      ->add_option("--area-ranges", options->areaRanges,
                   "LABEL=LOW:HIGH,... by the annotations' area, bounds included (default "
                   "all=0:1e10,small=0:1024,medium=1024:9216,large=9216:1e10)")
      ->type_name("LIST");
  command->add_flag("--arrays", options->arrays,
                    "with --format json: the precision, recall and scores arrays too");
  addConfidenceOption(*command, options->confidence,
                      "leave out detections whose score is below C (0 to 1; default 0: every "
                      "detection, as COCO's evaluator takes them)");
  addFormatOption(*command, options->format);
  addJobsOption(*command, options->jobs, "threads; the result does not depend on it");
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command
      ->add_option("--report", options->report,
                   "also write an HTML page: the figures, the categories and their "
                   "precision-recall curves at IoU 0.5 and 0.75")
      ->type_name("FILE.html");
  addFormatOptions(*command, options->formats);
  command->footer(
      "Examples:\n"
      "  talmira ap instances_val2017.json detections.json\n"
      "  talmira ap instances.json results.json --format json --arrays -o ap.json\n"
      "  talmira ap instances.json results.json --iou-thresholds 0.5 --max-dets 100\n"
      "  talmira ap instances.json results.json --report ap.html\n"
      "  talmira ap groundtruth.csv systemoutput.csv\n"
      "\n"
      "COCO files (two .json files, or --gt-format coco) are scored by COCOeval's rules\n"
      "with iouType \"bbox\"; other formats' frames are its images, their classes its\n"
      "categories, and don't-care regions and flagged boxes its crowds.\n");
  command->callback([options] { runAp(*options); });
}

}  // namespace talmira
