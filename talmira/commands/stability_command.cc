// talmira stability: how steadily a detector follows each ground-truth
// track (its fragment, centre and scale-and-ratio errors), per class.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/output_pieces.h"
#include "talmira/pages/stability_page.h"
#include "talmira/stability_files.h"
#include "talmira/track_events.h"
#include "talmira/writers/stability_report.h"

namespace talmira {

namespace {

struct StabilityOptions {
  std::string groundTruth;
  std::string system;
  float confidence = 0.0f;
  std::string className = "All";
  Format format = Format::kText;
  std::string output;
  std::string report;
  std::string view;
  std::string ids;
  FormatOptionsGiven formats;
};

// The tracks a page draws for each class.
constexpr std::size_t kPageTracks = 5;

[[noreturn]] void usage(const std::string& what) { throw CommandError{kExitUsage, what}; }

bool given(const CLI::App& command, const std::string& name) {
  const CLI::Option* option = command.get_option_no_throw(name);
  return option != nullptr && option->count() > 0;
}

// Under --rules mot the pairs are CLEAR's, which none of the detection
// road's other options can change.
void refuseDetectionOptions(const CLI::App& command) {
  for (const char* name :
       {"--overlap", "--min-overlap", "--region-cover", "--min-side", "--classes", "--unknown",
        "--image-size", "--names", "--ignore", "--images-from"}) {
    if (given(command, name)) {
      usage(std::string("talmira stability: ") + name +
            " has no meaning with --rules mot (CLEAR matches at IoU 0.5, as talmira track)");
    }
  }
}

std::string commandLineOf(const StabilityOptions& options, const CLI::App& command) {
  std::string line = "talmira stability " + options.groundTruth + " " + options.system;
  for (const CLI::Option* option : command.get_options()) {
    if (option->count() == 0 || option->get_positional()) continue;
    const std::string name = option->get_name();
    if (name == "--report" || name == "--help" || name == "-o,--output" || name == "--format") {
      continue;
    }
    line += " " + option->get_name(false, true);
    for (const std::string& value : option->results()) line += " " + value;
  }
  return line;
}

void runStability(const StabilityOptions& options, const CLI::App& command) {
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.begin(), {options.groundTruth, options.system});
  refuseOutputNamingInput(options.output, inputs);
  refuseOutputNamingInput(options.report, inputs);
  if (!options.view.empty() && options.report.empty()) {
    usage("talmira stability: --view links the --report page to a view page: give --report");
  }

  StabilityRequest request;
  request.groundTruth = options.groundTruth;
  request.system = options.system;
  request.groundTruthFormat = options.formats.groundTruthFormat;
  request.systemFormat = options.formats.systemFormat;
  request.ids = options.ids;
  request.confidence = options.confidence;
  request.confidenceGiven = given(command, "--confidence");
  request.className = options.className;
  request.followWorst = options.report.empty() ? 0 : kPageTracks;
  const CLI::Option* rules = command.get_option_no_throw("--rules");
  request.clear = rules != nullptr && rules->count() > 0 && rules->results().back() == "mot";
  if (request.clear) {
    refuseDetectionOptions(command);
  } else {
    for (const std::string* format : {&request.groundTruthFormat, &request.systemFormat}) {
      if (!formatNamed(*format)) {
        usage("talmira stability: " + *format +
              " names a track layout, which only CLEAR's matching reads: add --rules mot, or "
              "give mot");
      }
    }
    request.formats = inputFormatsOf(options.formats, options.groundTruth);
  }

  std::vector<std::string> warnings;
  const StabilityReport report = stabilityOfFiles(request, &warnings);
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
  switch (options.format) {
    case Format::kText:
      writeOutput(options.output, renderStabilityText(report));
      break;
    case Format::kCsv:
      writeOutput(options.output, renderStabilityCsv(report));
      break;
    case Format::kJson:
      writeOutputPieces(options.output,
                        [&](const OutputSink& sink) { writeStabilityJson(report, sink); });
      break;
  }
  if (!options.report.empty()) {
    writeOutput(options.report, renderStabilityPage(report, kPageTracks, options.view,
                                                    "talmira " TALMIRA_VERSION " " +
                                                        commandLineOf(options, command).substr(8)));
  }
}

}  // namespace

void addStabilityCommand(CLI::App& app) {
  auto options = std::make_shared<StabilityOptions>();
  options->formats.ownClasses = true;  // other datasets' classes as they name them
  options->formats.moreFormatNames = trackOnlyFormatNames();
  options->formats.moreFormatsHelp = "; with --rules mot also mot16, mot17, mot20";
  CLI::App* command = app.add_subcommand(
      "stability",
      "How steadily a detector follows each ground-truth track: fragment, centre and scale "
      "errors");
  command->add_option("GT", options->groundTruth, "ground truth with identities")->required();
  command->add_option("SYS", options->system, "the detector's output")->required();
  addConfidenceOption(*command, options->confidence);
  command
      ->add_option("--class", options->className,
                   "report this class alone, as the files name it (All: every class)")
      ->type_name("NAME")
      ->default_str("All");
  addFormatOption(*command, options->format);
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command
      ->add_option("--report", options->report,
                   "also write a self-contained page: each class's errors, its worst tracks "
                   "with their matched and missed frames and offsets over time")
      ->type_name("FILE.html");
  command
      ->add_option("--view", options->view,
                   "link each worst frame of the page to this talmira view page, at that frame")
      ->type_name("PAGE.html");
  command
      ->add_option("--ids", options->ids,
                   "text: in files of this format, column 14's text is the box's track")
      ->type_name("text")
      ->check(CLI::IsMember({"text"}));
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  command->footer(
      "For each ground-truth track with at least one matched frame, over its annotated\n"
      "frames (matching per frame as talmira score matches under the rules in force;\n"
      "with --rules mot, CLEAR's at IoU 0.5 as talmira track):\n"
      "  E_F  changes between matched and unmatched / (frames - 1), 0 for one frame\n"
      "  E_C  sd(e_x) + sd(e_y), e_x = (xc_d - xc_g) / w_g, e_y = (yc_d - yc_g) / h_g\n"
      "  E_R  sd(e_r) + sd(e_s), e_r = (w_d/h_d) / (w_g/h_g) - 1,\n"
      "       e_s = sqrt(w_d h_d) / sqrt(w_g h_g) - 1\n"
      "(population standard deviations, the file's own coordinates), each averaged over\n"
      "the tracks used; tracks never matched are counted as left out. A track's worst\n"
      "frames are its 3 matched frames of largest sqrt(e_x^2 + e_y^2 + e_r^2 + e_s^2).\n"
      "csv: one row a track; json: the summaries and every track with its worst frames.\n"
      "A ground truth without identities is refused (status 1).\n"
      "\n"
      "Examples:\n"
      "  talmira stability gt.csv detections.csv --ids text\n"
      "  talmira stability gt.txt det.txt --gt-format mot --sys-format mot --format json\n"
      "  talmira stability MOT17-02/gt/gt.txt MOT17-02.txt --gt-format mot --sys-format mot \\\n"
      "      --rules mot --report stability.html --view view.html\n");
  command->callback([options, command] { runStability(*options, *command); });
}

}  // namespace talmira
