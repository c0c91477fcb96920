// talmira check: a report on the annotation files themselves.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/sequence_reader.h"
#include "scoring/analysis/file_check.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/writers/check_report.h"

namespace talmira {

namespace {

struct CheckOptions {
  std::string groundTruth;
  std::string system;
  Format format = Format::kText;
  std::string output;
  FormatOptionsGiven formats;
  uint32_t length = 0;
};

std::string lineOf(std::string_view label, const std::string& value) {
  std::string line = "  " + std::string(label);
  // Padded by characters, not bytes: class names may be any UTF-8.
  const auto characters =
      static_cast<std::size_t>(std::count_if(line.begin(), line.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      }));
  line.append(characters < 39 ? 39 - characters : 0, ' ');
  return line + " " + value + "\n";
}

std::string number(uint64_t value) { return std::to_string(value); }

std::string renderFileText(std::string_view title, const std::string& path, const FileCheck& check,
                           bool groundTruth) {
  std::string text = std::string(title) + ": " + printable(path) + "\n";
  text += lineOf("records", number(check.records));
  text += lineOf("frames", number(check.frames));
  text += lineOf("boxes", number(check.boxes));
  const std::vector<std::string>& classes = check.classes->names();
  for (std::size_t k = 0; k < classes.size(); ++k) {
    if (check.boxesPerClass[k] != 0) {
      text += lineOf("  " + printableName(classes[k]), number(check.boxesPerClass[k]));
    }
  }
  text += lineOf("don't-care regions", number(check.regions));
  text += lineOf("DCF records", number(check.dcfRecords));
  text += lineOf("flagged boxes", number(check.flaggedBoxes));
  text += lineOf("dropped by size", number(check.droppedBySize));
  if (!check.negativeExtentLines.empty()) {
    text += lineOf("negative widths or heights", number(check.negativeExtentLines.size()));
  }
  if (check.unknownTypes.empty()) {
    text += lineOf("unknown types", "none");
  } else {
    for (std::size_t k = 0; k < check.unknownTypes.size(); ++k) {
      const ReadDetails::UnknownType& type = check.unknownTypes[k];
      text += lineOf(k == 0 ? "unknown types" : "",
                     "\"" + printable(type.name) + "\": " + number(type.count) +
                         ", first at line " + number(type.firstLine));
    }
  }
  if (check.scoresMayBeAbsent) {
    text += lineOf("boxes without a score", number(check.boxesWithoutScore));
  }
  text +=
      lineOf("confidence range", check.confidenceMin ? shortestText(*check.confidenceMin) + " to " +
                                                           shortestText(*check.confidenceMax)
                                                     : "none");
  text += lineOf("confidences outside 0 to 1", number(check.confidencesOutside01));
  if (check.repeatedFrameNumbers.empty()) {
    text += lineOf("repeated frame numbers", "none");
  } else {
    constexpr std::size_t kShown = 5;
    const auto& repeated = check.repeatedFrameNumbers;
    for (std::size_t k = 0; k < repeated.size() && k < kShown; ++k) {
      text += lineOf(k == 0 ? "repeated frame numbers" : "",
                     "frame " + number(repeated[k].frame) + ": " + number(repeated[k].runs) +
                         " runs, lines " + number(repeated[k].firstLine) + " and " +
                         number(repeated[k].secondLine));
    }
    if (repeated.size() > kShown) {
      text += lineOf("", "and " + number(repeated.size() - kShown) + " more");
    }
  }
  text += lineOf("header reads as a record", check.headerReadsAsRecord ? "yes" : "no");
  if (groundTruth) {
    text += lineOf("boxes below confidence 1", number(check.boxesBelowFullConfidence));
  }
  return text;
}

std::string renderText(const CheckOptions& options, const CheckReport& report) {
  std::string text = renderFileText("Ground truth", options.groundTruth, report.groundTruth, true);
  if (report.system) {
    text += "\n" + renderFileText("System output", options.system, *report.system, false);
  }
  if (report.pairing) {
    const PairingCheck& pairing = *report.pairing;
    text += "\nFrame pairing\n";
    text += lineOf("ground-truth frames without system",
                   number(pairing.groundTruthFramesWithoutSystem));
    text += lineOf("unpaired system frames", number(pairing.unpairedSystemFrames));
    text += lineOf("unpaired system boxes", number(pairing.unpairedSystemBoxes));
    text +=
        lineOf("frame offset hint",
               pairing.frameOffsetHint == 0 ? "none" : (pairing.frameOffsetHint > 0 ? "+1" : "-1"));
  }
  if (report.warnings.empty()) {
    text += "\nNo warnings.\n";
  } else {
    text += "\nWarnings\n";
    for (const std::string& warning : report.warnings) text += "  - " + printable(warning) + "\n";
  }
  return text;
}

void runCheck(const CheckOptions& options, const CLI::App& command) {
  const bool withSystem = !options.system.empty();
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.push_back(options.groundTruth);
  if (withSystem) inputs.push_back(options.system);
  refuseOutputNamingInput(options.output, inputs);
  if (!checksAsBenchmark(options.formats, !withSystem)) refuseLengthUnlessBenchmark(command);
  const InputFormats formats = inputFormatsOf(options.formats, options.groundTruth);
  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  ReadDetails truthDetails;
  ReadDetails systemDetails;
  if (withSystem) {
    // The readers' warnings are the report's, not standard error's.
    readInputs(options.groundTruth, options.system, groundTruth, system, &truthDetails,
               &systemDetails, formats, false);
  } else {
    groundTruth = readInput(options.groundTruth, &truthDetails, formats.groundTruth, false);
  }
  readAsBenchmark(options.formats, options.groundTruth, options.system, options.length);
  const CheckReport report =
      checkFiles(*groundTruth, truthDetails, system.get(), withSystem ? &systemDetails : nullptr,
                 options.groundTruth, options.system);
  const ScoringRules& rules = formats.groundTruth.rules;
  if (options.format == Format::kJson) {
    Json json = checkReportJson(options.groundTruth, options.system, report);
    stateRules(json, rules);
    writeOutput(options.output, jsonText(json));
  } else {
    writeOutput(options.output, renderText(options, report) + rulesLine(rules));
  }
}

}  // namespace

void addCheckCommand(CLI::App& app) {
  auto options = std::make_shared<CheckOptions>();
  options->formats.ownClasses = true;  // other datasets' boxes by the classes they name
  CLI::App* command = app.add_subcommand(
      "check", "Report what annotation files hold and what looks wrong in them, before scoring");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", options->system,
                      "the detector's output, same format: also checks how the frames pair");
  addFormatOption(*command, options->format, {Format::kText, Format::kJson});
  command
      ->add_option("-o,--output", options->output,
                   "write the report to FILE (whole, or not at all)")
      ->type_name("FILE");
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  addBenchmarkLengthOption(*command, options->length);
  command->footer(
      "Exit status 0 when the files can be read, warnings or not; 1 when one is malformed.\n"
      "With --rules mot on MOT files the files are also read as score --rules mot reads them, "
      "and check fails where it would fail.\n"
      "For another format, the lines named are those of its records (for XML and JSON, the "
      "line of the element).\n"
      "\n"
      "Examples:\n"
      "  talmira check groundtruth.csv\n"
      "  talmira check groundtruth.csv systemoutput.csv --format json -o check.json\n"
      "  talmira check annotations.xml --gt-format cvat\n");
  command->callback([options, command] { runCheck(*options, *command); });
}

}  // namespace talmira
