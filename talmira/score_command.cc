// talmira score: every class's counts for one sequence pair.
#include <memory>

#include "scoring/class_scores.h"
#include "talmira/cli_common.h"
#include "talmira/commands.h"
#include "talmira/score_report.h"

namespace talmira {

namespace {

struct ScoreOptions {
  std::string groundTruth;
  std::string system;
  float confidence = 0.0f;
  Format format = Format::kText;
  std::string output;
  unsigned jobs = 1;
};

void runScore(const ScoreOptions& options) {
  refuseOutputNamingInput(options.output, {options.groundTruth, options.system});
  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  readInputs(options.groundTruth, options.system, groundTruth, system);
  ScoreReport report{options.groundTruth, options.system, options.confidence,
                     scoreClasses(*groundTruth, *system, options.confidence, options.jobs)};
  switch (options.format) {
    case Format::kText:
      writeOutput(options.output, renderScoreText(report.classes));
      break;
    case Format::kCsv:
      writeOutput(options.output, renderScoreCsv(report.classes));
      break;
    case Format::kJson:
      writeOutput(options.output, scoreJson(report).dump(2) + "\n");
      break;
  }
}

}  // namespace

void addScoreCommand(CLI::App& app) {
  auto options = std::make_shared<ScoreOptions>();
  CLI::App* command = app.add_subcommand(
      "score", "Score a detector's output against the ground truth, class by class");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", options->system, "the detector's output, same format")->required();
  addConfidenceOption(*command, options->confidence);
  addFormatOption(*command, options->format);
  addJobsOption(*command, options->jobs, "threads that match frames; the result does not depend on it");
  command->add_option("-o,--output", options->output, "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command->footer(
      "Examples:\n"
      "  talmira score groundtruth.csv systemoutput.csv\n"
      "  talmira score groundtruth.csv systemoutput.csv -c 0.5 --format csv -o scores.csv\n");
  command->callback([options] { runScore(*options); });
}

}  // namespace talmira
