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
#include "talmira/precision_options.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/vid_report.h"

namespace talmira {

namespace {

struct ApOptions {
  std::string groundTruth;
  std::string system;
  std::string protocol = "coco";
  PrecisionOptionsGiven parameters;
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
  const PrecisionOptionsGiven& p = options.parameters;
  for (const auto& [flag, value] :
       {std::pair{"--iou-thresholds", &p.iouThresholds}, std::pair{"--max-dets", &p.maxDetections},
        std::pair{"--area-ranges", &p.areaRanges}}) {
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

void runAp(const ApOptions& options) {
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.begin(), {options.groundTruth, options.system});
  for (const std::string* output : {&options.output, &options.report}) {
    refuseOutputNamingInput(*output, inputs);
  }
  const precision::CocoParameters parameters = precisionParameters(options.parameters);
  if (options.arrays && options.format != Format::kJson) usage("--arrays is for --format json");
  const bool vid = options.protocol == "vid";
  const PrecisionOptionsGiven& given = options.parameters;
  if (vid && (!given.iouThresholds.empty() || !given.maxDetections.empty() ||
              !given.areaRanges.empty() || options.arrays || !options.report.empty())) {
    usage(
        "--iou-thresholds, --max-dets, --area-ranges, --arrays and --report are COCO's, not "
        "--protocol vid's");
  }

  const precision::ImageSet set = imagesOfPair(options.groundTruth, options.system,
                                               inputFormatsOf(options.formats, options.groundTruth),
                                               options.confidence, 0, options.jobs);
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
      // The arrays hold about a million numbers: on one line rather than one
      // number a line.
      writeOutput(options.output, jsonText(json, options.arrays ? -1 : 2));
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
  addPrecisionOptions(*command, options->parameters);
  command->add_flag(
      "--arrays", options->arrays,
      "with --format json: the precision, recall and scores arrays too (the JSON then "
      "written compactly, on one line)");
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
