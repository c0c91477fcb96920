// talmira ap: average precision as the detection benchmarks compute it.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "annotation/coco_images.h"
#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/sequence_images.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/precision_options.h"
#include "talmira/writers/ap_report.h"

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
  unsigned jobs = 1;
  FormatOptionsGiven formats;
};

[[noreturn]] void usage(const std::string& what) { throw CommandError{kExitUsage, what}; }

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
    if (options.confidence > 0) {
      // Detections below the threshold are left out.
      precision::ImageSetBuilder builder(set->imageIds, set->categoryIds, set->categoryNames);
      for (const precision::Cell& cell : set->cells) {
        for (const precision::TruthBox& box : set->truthsOf(cell)) {
          builder.addTruth(cell.category, cell.image, box);
        }
        for (const precision::DetectedBox& box : set->detectionsOf(cell)) {
          if (box.score >= options.confidence) builder.addDetection(cell.category, cell.image, box);
        }
      }
      for (std::string& warning : set->warnings) builder.warn(std::move(warning));
      if (!set->imageSequence.empty()) {
        for (uint32_t k = 0; k < set->imageIds.size(); ++k) {
          builder.setImageOrigin(k, set->imageSequence[k], set->imageFrame[k]);
        }
      }
      return std::move(builder).build();
    }
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
  refuseOutputNamingInput(options.output, inputs);
  const precision::CocoParameters parameters = precisionParameters(options.parameters);
  if (options.arrays && options.format != Format::kJson) usage("--arrays is for --format json");

  const precision::ImageSet set = readImages(options);
  for (const std::string& warning : set.warnings) std::cerr << "warning: " << warning << "\n";
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
  command->add_option("--protocol", options->protocol, "the benchmark's rules")
      ->check(CLI::IsMember({"coco"}))
      ->default_str("coco");
  addPrecisionOptions(*command, options->parameters);
  command->add_flag("--arrays", options->arrays,
                    "with --format json: the precision, recall and scores arrays too");
  addConfidenceOption(*command, options->confidence);
  addFormatOption(*command, options->format);
  addJobsOption(*command, options->jobs, "threads; the result does not depend on it");
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  addFormatOptions(*command, options->formats);
  command->footer(
      "Examples:\n"
      "  talmira ap instances_val2017.json detections.json\n"
      "  talmira ap instances.json results.json --format json --arrays -o ap.json\n"
      "  talmira ap instances.json results.json --iou-thresholds 0.5 --max-dets 100\n"
      "  talmira ap groundtruth.csv systemoutput.csv\n"
      "\n"
      "COCO files (two .json files, or --gt-format coco) are scored by COCOeval's rules\n"
      "with iouType \"bbox\"; other formats' frames are its images, their classes its\n"
      "categories, and don't-care regions and flagged boxes its crowds.\n");
  command->callback([options] { runAp(*options); });
}

}  // namespace talmira
