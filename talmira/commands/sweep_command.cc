// talmira sweep: every class's counts as functions of the confidence threshold.
#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scoring/analysis/file_check.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/counts/streaming_evaluation.h"
#include "scoring/precision/sequence_images.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/pages/html_report.h"
#include "talmira/pages/sweep_plot.h"
#include "talmira/writers/sweep_report.h"

#ifndef TALMIRA_VERSION
#define TALMIRA_VERSION "unknown"
#endif

namespace talmira {

// Shared with `talmira batch --sweep`. With more than one thread and frame
// numbers that only grow (checked while reading), frames are swept while they
// are read and only those in flight are held; otherwise both files are read whole.
SweptFiles sweepFiles(const std::string& groundTruthPath, const std::string& systemPath,
                      unsigned jobs, const InputFormats& formats) {
  return workOnFiles<SweptFiles>(
      groundTruthPath, systemPath, jobs,
      [jobs](StreamedInput& groundTruth, StreamedInput& system) -> std::optional<SweptFiles> {
        // Files of this format: its ten classes.
        StreamedCurves streamed = sweepClassesWhileReading(groundTruth, system, jobs);
        if (!streamed.inOrder) return std::nullopt;
        return SweptFiles{ClassSet::standard(), std::move(streamed.curves)};
      },
      [jobs](const QuorSequence& groundTruth, const QuorSequence& system) {
        ClassSetPtr classes = pairClasses(groundTruth, system);
        SweepCurves curves = sweepClasses(groundTruth, system, *classes, jobs);
        return SweptFiles{std::move(classes), std::move(curves)};
      },
      formats);
}

namespace {

constexpr int kDefaultGridSteps = 100;

struct SweepOptions {
  std::string groundTruth;
  std::string system;
  int gridSteps = kDefaultGridSteps;
  bool exact = false;
  float confidence = 0.0f;
  Format format = Format::kText;
  std::string output;
  std::string plot;    // an SVG picture of the curves, when given
  std::string report;  // an HTML page, when given
  unsigned jobs = 1;
  FormatOptionsGiven formats;
  uint32_t length = 0;  // --length, with the benchmark's counts
};

// The command line that made a page, for its footer.
std::string commandLineOf(const SweepOptions& options) {
  std::string line =
      "talmira " TALMIRA_VERSION " sweep " + options.groundTruth + " " + options.system;
  line += options.exact ? " --exact" : " --grid " + std::to_string(options.gridSteps);
  line += " -c " + shortestText(options.confidence);
  // The page says how its inputs were read when they were not files of this format.
  if (options.formats.groundTruthFormat != "talmira") {
    line += " --gt-format " + options.formats.groundTruthFormat;
  }
  if (options.formats.systemFormat != "talmira") {
    line += " --sys-format " + options.formats.systemFormat;
  }
  line += rulesArguments(options.formats.rules.rules());
  return line;
}

void writeSweep(const SweepOptions& options, const SweepReport& report,
                const std::string& rulesText, const Json& rules, const Json* benchmark) {
  switch (options.format) {
    case Format::kText:
      writeOutput(options.output, renderSweepText(report) + rulesText);
      break;
    case Format::kCsv:
      writeOutput(options.output, renderSweepCsv(report));
      break;
    case Format::kJson: {
      Json json = sweepJson(report);
      json["rules"] = rules;
      if (benchmark) json["benchmark"] = *benchmark;
      writeOutput(options.output, jsonText(json));
      break;
    }
  }
  if (!options.plot.empty()) {
    writeOutput(options.plot,
                renderSweepSvg(report.exact, options.groundTruth + " vs " + options.system,
                               *report.classSet));
  }
}

// --rules mot on MOT files: CLEAR's counts at every threshold.
void runBenchmarkSweep(const SweepOptions& options) {
  if (!options.report.empty()) {
    throw CommandError{kExitUsage,
                       "talmira sweep: --report reads the files as detections of this format; "
                       "under --rules mot on MOT files give --plot, or the json output"};
  }
  for (const std::string* output : {&options.output, &options.plot}) {
    refuseOutputNamingInput(*output, {options.groundTruth, options.system});
  }
  const TrackPair pair = readBenchmarkPair(benchmarkRequest(
      options.formats, options.groundTruth, options.system, std::nullopt, options.length));
  const SweepReport report =
      makeSweepReport(options.groundTruth, options.system, benchmarkClasses(pair),
                      benchmarkCurves(pair, options.jobs), options.exact ? 0 : options.gridSteps);
  const Json benchmark = benchmarkJson(pair);
  writeSweep(options, report, benchmarkRulesLine(pair), rulesJson(options.formats.rules.rules()),
             &benchmark);
}

void runSweep(const SweepOptions& options, const CLI::App& command) {
  if (countsAsBenchmark(options.formats, "sweep")) {
    runBenchmarkSweep(options);
    return;
  }
  refuseLengthUnlessBenchmark(command);
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.begin(), {options.groundTruth, options.system});
  for (const std::string* output : {&options.output, &options.plot, &options.report}) {
    refuseOutputNamingInput(*output, inputs);
  }
  const InputFormats formats = inputFormatsOf(options.formats, options.groundTruth);
  // The page shows the files' check warnings, which need the whole files
  // with the reader's details: then they are read once, whole, for both.
  std::vector<std::string> warnings;
  SweptFiles swept;
  std::optional<precision::CocoResult> coco;
  if (options.report.empty()) {
    swept = sweepFiles(options.groundTruth, options.system, options.jobs, formats);
  } else {
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    ReadDetails truthDetails;
    ReadDetails systemDetails;
    readInputs(options.groundTruth, options.system, groundTruth, system, &truthDetails,
               &systemDetails, formats);
    warnings = checkFiles(*groundTruth, truthDetails, system.get(), &systemDetails,
                          options.groundTruth, options.system)
                   .warnings;
    swept.classSet = pairClasses(*groundTruth, *system);
    swept.curves = sweepClasses(*groundTruth, *system, *swept.classSet, options.jobs);
    coco =
        precision::evaluateCoco(precision::imagesOfSequences(*groundTruth, *system, *swept.classSet,
                                                             std::numeric_limits<float>::lowest()),
                                precision::CocoParameters::standard(), options.jobs);
  }
  const SweepReport report =
      makeSweepReport(options.groundTruth, options.system, swept.classSet, std::move(swept.curves),
                      options.exact ? 0 : options.gridSteps);
  writeSweep(options, report, rulesLine(formats.groundTruth.rules),
             rulesJson(formats.groundTruth.rules), nullptr);
  if (!options.report.empty()) {
    SweepReportInput page;
    page.groundTruth = options.groundTruth;
    page.system = options.system;
    page.warnings = warnings;
    page.classSet = report.classSet;
    page.exact = &report.exact;
    page.confidence = options.confidence;
    page.atConfidence = countsAt(report.exact, options.confidence);
    page.producedBy = commandLineOf(options);
    page.coco = coco ? &*coco : nullptr;
    writeOutput(options.report, renderSweepReport(page));
  }
}

}  // namespace

void addSweepCommand(CLI::App& app) {
  auto options = std::make_shared<SweepOptions>();
  options->formats.ownClasses = true;  // other datasets' rows as they name them
  CLI::App* command = app.add_subcommand(
      "sweep",
      "Every class's counts at every confidence threshold, and the threshold that scores best");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", options->system, "the detector's output, same format")->required();
  CLI::Option* grid =
      command
          ->add_option("--grid", options->gridSteps,
                       "list the rows at the thresholds k/N for k = N down to 0 (default " +
                           std::to_string(kDefaultGridSteps) + ")")
          ->type_name("N")
          ->check(CLI::Range(1, kMaxGridSteps));
  command
      ->add_flag("--exact", options->exact,
                 "list the rows at 1, 0 and every distinct confidence in between of the class's "
                 "boxes in either file: the whole curve")
      ->excludes(grid);
  addConfidenceOption(*command, options->confidence,
                      "threshold of the table that the HTML report (--report) shows (0 to 1); the "
                      "text, csv and json outputs and the plot do not use it");
  addFormatOption(*command, options->format)
      ->description(
          "output format: text (the best threshold of each class), csv or json (every "
          "row and the best threshold of each class)");
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  addJobsOption(*command, options->jobs,
                "threads that sweep frames (above 1, regular files whose frame numbers only grow "
                "are swept while read); the result does not depend on it");
  command
      ->add_option("--plot", options->plot,
                   "also draw the curves into an SVG picture: NMODTA of every class with objects, "
                   "misses and false alarms of All, the best points marked")
      ->type_name("FILE.svg");
  command
      ->add_option("--report", options->report,
                   "also write a self-contained HTML page: the inputs, the `check` warnings, the "
                   "best points, the table at -c and the curves (the files are then read whole)")
      ->type_name("FILE.html");
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  addBenchmarkLengthOption(*command, options->length);
  command->footer(
      "A box is taken at threshold t when its confidence is at least t, in both files; every row "
      "equals `talmira score -c <its threshold>`. The best threshold of a class has the highest "
      "NMODTA over the whole curve (among equals, the highest threshold), whatever the grid.\n"
      "Examples:\n"
      "  talmira sweep groundtruth.csv systemoutput.csv\n"
      "  talmira sweep groundtruth.csv systemoutput.csv --exact --format csv -o curve.csv\n"
      "  talmira sweep groundtruth.csv systemoutput.csv --plot sweep.svg --report sweep.html -c "
      "0.4\n"
      "  talmira sweep instances.json results.json --gt-format coco --sys-format coco --exact\n"
      "\n"
      "--rules mot on MOT files (--gt-format and --sys-format mot or mot15): every row is\n"
      "`talmira score --rules mot -c <its threshold>`, CLEAR's counts as the benchmark's\n"
      "evaluator makes them with the boxes below the threshold left out; --report is not\n"
      "available then.\n");
  command->callback([options, command] { runSweep(*options, *command); });
}

}  // namespace talmira
