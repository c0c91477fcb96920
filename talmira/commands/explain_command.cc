// talmira explain: why a detector lost points, cause by cause.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "scoring/analysis/sequence_explanation.h"
#include "scoring/counts/streaming_evaluation.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/pages/explain_page.h"
#include "talmira/track_events.h"
#include "talmira/writers/explain_report.h"

#ifndef TALMIRA_VERSION
#define TALMIRA_VERSION "unknown"
#endif

namespace talmira {

namespace {

struct ExplainOptionsGiven {
  std::string groundTruth;
  std::string system;
  float confidence = 0.0f;
  float near = kDefaultNearThreshold;
  Format format = Format::kText;
  std::string output;
  std::string report;  // an HTML page, when given
  unsigned jobs = 1;
  FormatOptionsGiven formats;
  TrackOptionsGiven track;
  std::size_t top = 10;  // --top, with --track
};

// The command line that made a page, for the page to say.
std::string commandLineOf(const ExplainOptionsGiven& given) {
  std::string line = "talmira " TALMIRA_VERSION " explain " + given.groundTruth + " " +
                     given.system + " -c " + shortestText(given.confidence) + " --near " +
                     shortestText(given.near);
  // The page says how its inputs were read when they were not files of this format.
  if (given.formats.groundTruthFormat != "talmira") {
    line += " --gt-format " + given.formats.groundTruthFormat;
  }
  if (given.formats.systemFormat != "talmira") {
    line += " --sys-format " + given.formats.systemFormat;
  }
  line += rulesArguments(given.formats.rules.rules());
  return line;
}

// --track: the ground-truth tracks that lost their identity most.
void runTrackExplain(const ExplainOptionsGiven& given, const TrackRequest& request) {
  if (!given.report.empty()) {
    throw CommandError{kExitUsage,
                       "talmira explain: --report draws detections; for tracks, talmira view "
                       "--track draws every switch"};
  }
  refuseOutputNamingInput(given.output, {given.groundTruth, given.system});
  std::vector<std::string> warnings;
  const FollowedTracks followed = followTrackFiles(request, "All", &warnings);
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
  switch (given.format) {
    case Format::kText:
      writeOutput(given.output, renderTrackExplainText(followed, given.top));
      break;
    case Format::kCsv:
      writeOutput(given.output, renderTrackExplainCsv(followed, given.top));
      break;
    case Format::kJson:
      writeOutput(given.output, jsonText(trackExplainJson(followed, given.top)));
      break;
  }
}

void runExplain(const ExplainOptionsGiven& given, const CLI::App& command) {
  // --rules mot on MOT files: CLEAR's matching, as --track explains it.
  if (const std::optional<TrackRequest> request =
          benchmarkTrackRequest(command, given.formats, given.track.track, given.groundTruth,
                                given.system, given.confidence, given.track.length)) {
    runTrackExplain(given, *request);
    return;
  }
  if (const std::optional<TrackRequest> request = trackRequestOf(
          command, given.track, given.groundTruth, given.system, given.formats.groundTruthFormat,
          given.formats.systemFormat, given.confidence)) {
    runTrackExplain(given, *request);
    return;
  }
  if (command.get_option("--top")->count() > 0) {
    throw CommandError{kExitUsage, "talmira explain: --top goes with --track"};
  }
  std::vector<std::string> inputs = auxiliaryInputs(given.formats);
  inputs.insert(inputs.begin(), {given.groundTruth, given.system});
  for (const std::string* output : {&given.output, &given.report}) {
    refuseOutputNamingInput(*output, inputs);
  }
  const InputFormats formats = inputFormatsOf(given.formats, given.groundTruth);
  ExplainOptions options;
  options.confidence = given.confidence;
  options.near = given.near;
  options.threads = given.jobs;
  // Text and CSV name only the worst frames: a long video's timeline is kept
  // only for the JSON and the page, which show it all.
  options.everyFrame = given.format == Format::kJson || !given.report.empty();
  ExplainReport report{given.groundTruth,
                       given.system,
                       given.confidence,
                       given.near,
                       explainFiles(given.groundTruth, given.system, options, formats),
                       formats.groundTruth.rules};
  switch (given.format) {
    case Format::kText:
      writeOutput(given.output, renderExplainText(report) + rulesLine(formats.groundTruth.rules));
      break;
    case Format::kCsv:
      writeOutput(given.output, renderExplainCsv(report));
      break;
    case Format::kJson: {
      Json json = explainJson(report);
      stateRules(json, formats.groundTruth.rules);
      writeOutput(given.output, jsonText(json));
      break;
    }
  }
  if (!given.report.empty()) {
    writeOutput(given.report, renderExplainPage(report, commandLineOf(given)));
  }
}

}  // namespace

Explanation explainFiles(const std::string& groundTruthPath, const std::string& systemPath,
                         const ExplainOptions& options, const InputFormats& formats,
                         ClassSetPtr classes) {
  return workOnFiles<Explanation>(
      groundTruthPath, systemPath, options.threads,
      [&](StreamedInput& groundTruth, StreamedInput& system) -> std::optional<Explanation> {
        // Files of this format: its ten classes.
        StreamedExplanation streamed = explainWhileReading(groundTruth, system, options);
        if (!streamed.inOrder) return std::nullopt;
        return std::move(streamed.explanation);
      },
      [&](const QuorSequence& groundTruth, const QuorSequence& system) {
        return explainSequences(groundTruth, system,
                                classes ? classes : pairClasses(groundTruth, system), options);
      },
      formats);
}

void addExplainCommand(CLI::App& app) {
  auto options = std::make_shared<ExplainOptionsGiven>();
  options->formats.ownClasses = true;  // other datasets' classes as they name them
  options->formats.moreFormatNames = trackOnlyFormatNames();
  options->formats.moreFormatsHelp = kTrackFormatsHelp;
  CLI::App* command = app.add_subcommand(
      "explain", "Say why a detector lost points: a cause for every miss and false alarm");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", options->system, "the detector's output, same format")->required();
  addConfidenceOption(*command, options->confidence);
  addNearOption(*command, options->near);
  addFormatOption(*command, options->format);
  addJobsOption(*command, options->jobs,
                "threads that match frames; the result does not depend on it");
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command
      ->add_option("--report", options->report,
                   "also write a self-contained HTML page: the points each class lost as bars "
                   "split by cause, the confusion matrix, the errors along the video, the worst "
                   "frames and the overlaps of the pairs")
      ->type_name("FILE.html");
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  addTrackOptions(*command, options->track);
  command
      ->add_option("--top", options->top,
                   "with --track: the most ground-truth tracks listed (default 10)")
      ->type_name("N")
      ->check(CLI::PositiveNumber)
      ->group("Tracks (--track)");
  command->footer(
      "Each miss (an object of the class left unpaired) gets the first cause that applies:\n"
      "  no_system_frame    its frame has no system frame of its number\n"
      "  class_confusion    (a class, not All) the All matching pairs it with a box of\n"
      "                     another class\n"
      "  dropped_in_region  a box of the class that a don't-care region dropped matches it\n"
      "  below_threshold    a box of the class below the confidence threshold matches it\n"
      "  localization       a false alarm of the class is near it (overlap >= --near)\n"
      "  missed             none of these\n"
      "Each false alarm:\n"
      "  class_confusion    (a class) the All matching pairs it with an object of another class\n"
      "  duplicate          it matches an object of the class paired with another box\n"
      "  localization       it is near a missed object of the class\n"
      "  background         none of these\n"
      "Overlap is the matching's own measure; \"matches\" means an overlap of at least 0.2.\n"
      "Every error costs 1/GT of the class's NMODTA, so the costs add up to 1 - NMODTA.\n"
      "The confusion matrix reads from the ground truth (rows) to the system output\n"
      "(columns): row Car, column Truck counts cars the detector called trucks.\n"
      "\n"
      "Examples:\n"
      "  talmira explain groundtruth.csv systemoutput.csv\n"
      "  talmira explain groundtruth.csv systemoutput.csv -c 0.5 --format json -o why.json\n"
      "  talmira explain groundtruth.csv systemoutput.csv --report why.html\n"
      "\n"
      "--track reads both files as talmira track does and, per class, counts CLEAR's\n"
      "identity switches (IDSW) and fragmentations (Frag), then lists the ground-truth\n"
      "tracks with the most of them (--top): frames evaluated, frames matched, switches,\n"
      "fragmentations and the tracker ids it was matched to, in the order first given.\n"
      "  talmira explain --track MOT17-02/gt/gt.txt results/MOT17-02.txt --top 5\n"
      "--rules mot on MOT files (--gt-format and --sys-format mot or mot15) explains as\n"
      "--track does, CLEAR's matching being the benchmark's count; a detector's file whose\n"
      "ids are all -1 has no switches, only fragmentations.\n");
  command->callback([options, command] { runExplain(*options, *command); });
}

}  // namespace talmira
