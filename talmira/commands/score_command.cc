// talmira score: every class's counts for one sequence pair.
#include <CLI/CLI.hpp>
#include <memory>

#include "scoring/counts/class_scores.h"
#include "scoring/counts/streaming_evaluation.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

struct ScoreOptions {
  std::string groundTruth;
  std::string system;
  float confidence = 0.0f;
  Format format = Format::kText;
  std::string output;
  unsigned jobs = 1;
  FormatOptionsGiven formats;
  uint32_t length = 0;  // --length, with the benchmark's counts
  bool confidenceGiven = false;
};

// Scores two files. With more than one thread and frame numbers that only
// grow (checked while reading), frames are scored while they are read and
// only those in flight are held; otherwise both files are read whole.
struct Scored {
  ClassSetPtr classSet = ClassSet::standard();
  std::vector<ClassCounts> counts;
};
Scored scoreFiles(const std::string& groundTruthPath, const std::string& systemPath,
                  float confidence, unsigned jobs, const InputFormats& formats) {
  return workOnFiles<Scored>(
      groundTruthPath, systemPath, jobs,
      [&](StreamedInput& groundTruth, StreamedInput& system) -> std::optional<Scored> {
        // Files of this format: its ten classes.
        Scored scored;
        const StreamedTotals streamed = evaluateClassesWhileReading(
            groundTruth, system, classFilters(*scored.classSet, confidence), jobs);
        if (!streamed.inOrder) return std::nullopt;
        for (const ClassTotals& t : streamed.totals) {
          scored.counts.push_back({t.gt, t.det, t.fn, t.fp, streamed.frames});
        }
        return scored;
      },
      [&](const QuorSequence& groundTruth, const QuorSequence& system) {
        Scored scored;
        scored.classSet = pairClasses(groundTruth, system);
        scored.counts = scoreClasses(groundTruth, system, *scored.classSet, confidence, jobs);
        return scored;
      },
      formats);
}

void writeScore(const ScoreOptions& options, const ScoreReport& report,
                const std::string& rulesText, const Json& rules, const Json* benchmark) {
  switch (options.format) {
    case Format::kText:
      writeOutput(options.output, renderScoreText(*report.classSet, report.classes) + rulesText);
      break;
    case Format::kCsv:
      writeOutput(options.output, renderScoreCsv(*report.classSet, report.classes));
      break;
    case Format::kJson: {
      Json json = scoreJson(report);
      json["rules"] = rules;
      if (benchmark) json["benchmark"] = *benchmark;
      writeOutput(options.output, jsonText(json));
      break;
    }
  }
}

// --rules mot on MOT files: CLEAR's counts, the benchmark's class alone.
void runBenchmarkScore(const ScoreOptions& options) {
  refuseOutputNamingInput(options.output, {options.groundTruth, options.system});
  const TrackPair pair = readBenchmarkPair(benchmarkRequest(
      options.formats, options.groundTruth, options.system,
      options.confidenceGiven ? std::optional<float>(options.confidence) : std::nullopt,
      options.length));
  const ScoreReport report{options.groundTruth, options.system, options.confidence,
                           benchmarkClasses(pair), benchmarkClassCounts(countBenchmark(pair))};
  const Json benchmark = benchmarkJson(pair);
  writeScore(options, report, benchmarkRulesLine(pair), rulesJson(options.formats.rules.rules()),
             &benchmark);
}

void runScore(const ScoreOptions& options, const CLI::App& command) {
  if (countsAsBenchmark(options.formats, "score")) {
    runBenchmarkScore(options);
    return;
  }
  refuseLengthUnlessBenchmark(command);
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.begin(), {options.groundTruth, options.system});
  refuseOutputNamingInput(options.output, inputs);
  const InputFormats formats = inputFormatsOf(options.formats, options.groundTruth);
  Scored scored =
      scoreFiles(options.groundTruth, options.system, options.confidence, options.jobs, formats);
  const ScoreReport report{options.groundTruth, options.system, options.confidence, scored.classSet,
                           std::move(scored.counts)};
  writeScore(options, report, rulesLine(formats.groundTruth.rules),
             rulesJson(formats.groundTruth.rules), nullptr);
}

}  // namespace

void addScoreCommand(CLI::App& app) {
  auto options = std::make_shared<ScoreOptions>();
  options->formats.ownClasses = true;  // other datasets' rows as they name them
  CLI::App* command = app.add_subcommand(
      "score", "Score a detector's output against the ground truth, class by class");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", options->system, "the detector's output, same format")->required();
  addConfidenceOption(*command, options->confidence);
  addFormatOption(*command, options->format);
  addJobsOption(*command, options->jobs,
                "threads that match frames; the result does not depend on it");
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  addBenchmarkLengthOption(*command, options->length);
  command->footer(
      "Examples:\n"
      "  talmira score groundtruth.csv systemoutput.csv\n"
      "  talmira score groundtruth.csv systemoutput.csv -c 0.5 --format csv -o scores.csv\n"
      "  talmira score gt.txt det.txt --gt-format mot --sys-format mot\n"
      "  talmira score instances.json results.json --gt-format coco --sys-format coco\n"
      "\n"
      "Files of this format are scored in its ten classes; another format's in its\n"
      "dataset's own (COCO's categories, VisDrone's ten, ...), or in the classes a\n"
      "--classes map names.\n"
      "\n"
      "--rules mot on MOT files (--gt-format and --sys-format mot or mot15) counts as the\n"
      "MOTChallenge benchmark's evaluator does: both files read as talmira track reads\n"
      "them, its preprocessing, then CLEAR's matching frame by frame; TP, FN and FP are\n"
      "CLR_TP, CLR_FN and CLR_FP, NMODTA is MODA, and the rows are All and pedestrian.\n"
      "A detector's file whose ids are all -1 is matched by IoU alone. -c, given, leaves\n"
      "out the detector's boxes below it (a score of -1 is kept); without it every box\n"
      "counts. --length N, else seqinfo.ini beside the ground truth, sets the frames.\n"
      "  talmira score MOT17-02/gt/gt.txt MPNTrack.txt --gt-format mot --sys-format mot "
      "--rules mot\n");
  command->callback([options, command] {
    options->confidenceGiven = command->count("--confidence") > 0;
    runScore(*options, *command);
  });
}

}  // namespace talmira
