// talmira track: HOTA, CLEAR (MOTA) and Identity (IDF1) of a tracker's
// output against the ground truth's tracks, as the tracking benchmarks'
// evaluator computes them.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/track_files.h"
#include "talmira/writers/track_report.h"

namespace talmira {

namespace {

struct TrackOptions {
  TrackRequest request;
  float confidence = 0.0f;
  bool confidenceGiven = false;
  Format format = Format::kText;
  std::string output;
};

void runTrack(const TrackOptions& options) {
  refuseOutputNamingInput(options.output, {options.request.groundTruth, options.request.system});
  TrackRequest request = options.request;
  if (options.confidenceGiven) request.confidence = options.confidence;
  std::vector<std::string> warnings;
  const TrackReport report = trackFiles(request, &warnings);
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
  switch (options.format) {
    case Format::kText:
      writeOutput(options.output, renderTrackText(report));
      break;
    case Format::kCsv:
      writeOutput(options.output, renderTrackCsv(report));
      break;
    case Format::kJson:
      writeOutput(options.output, jsonText(trackJson(report)));
      break;
  }
}

}  // namespace

void addTrackCommand(CLI::App& app) {
  auto options = std::make_shared<TrackOptions>();
  CLI::App* command = app.add_subcommand(
      "track", "HOTA, MOTA and IDF1 of a tracker's output, as the tracking benchmarks give them");
  command->add_option("GT", options->request.groundTruth, "the ground truth's tracks")->required();
  command->add_option("SYS", options->request.system, "the tracker's output")->required();
  command
      ->add_option("-c,--confidence", options->confidence,
                   "leave out tracker boxes scored below C (a score of -1, none given, "
                   "is always kept); without it every box counts, as the evaluators use none")
      ->type_name("C")
      ->check(CLI::Range(0.0f, 1.0f))
      ->each([options](const std::string&) { options->confidenceGiven = true; });
  command
      ->add_option("--rules", options->request.rules,
                   "whose evaluation: mot (MOT16/17), mot20, mot15, kitti (KITTI tracking's "
                   "cars and pedestrians; the files are read as KITTI's) or plain; by default "
                   "the ground truth's layout decides (MOT15 or MOT16/17), plain otherwise")
      ->type_name("NAME");
  command
      ->add_option("--gt-format", options->request.groundTruthFormat,
                   "mot (MOT15 or MOT16/17/20, recognised), mot15, mot16, visdrone, uavdt, "
                   "kitti, cvat or talmira")
      ->type_name("FORMAT");
  command
      ->add_option("--sys-format", options->request.systemFormat,
                   "the tracker file's format (mot: the ground truth's layout)")
      ->type_name("FORMAT");
  command
      ->add_option("--ids", options->request.ids,
                   "text: in files of this format, column 14's text is the identity")
      ->type_name("text")
      ->check(CLI::IsMember({"text"}));
  command
      ->add_option("--length", options->request.length,
                   "frames in the sequence (else seqinfo.ini beside the ground truth, or "
                   "under --rules kitti its seqmap, else the last frame of either file)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  command
      ->add_option("--seqmap", options->request.seqmap,
                   "--rules kitti: the benchmark's seqmap, whose line for the ground truth's "
                   "file name (0000 for 0000.txt) gives the length (default: "
                   "evaluate_tracking.seqmap.training beside the ground truth or the folder "
                   "above, if there)")
      ->type_name("FILE");
  addFormatOption(*command, options->format);
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command->footer(
      "Examples:\n"
      "  talmira track MOT17-02/gt/gt.txt results/MOT17-02.txt\n"
      "  talmira track gt.txt tracker.txt --rules mot20 --format json -o measures.json\n"
      "  talmira track TUD-Campus/gt.txt TUD-Campus.txt --gt-format mot15\n"
      "  talmira track gt.csv tracks.csv --gt-format talmira --sys-format talmira --ids text\n"
      "  talmira track kitti/label_02/0000.txt tracker/data/0000.txt --rules kitti\n"
      "\n"
      "The figures are TrackEval's (HOTA, CLEAR, Identity at IoU 0.5), to the last\n"
      "digit on the benchmark's files: the same preprocessing, assignments and sums.\n"
      "JSON has every figure under the evaluator's name, HOTA's also per alpha.\n");
  command->callback([options] { runTrack(*options); });
}

}  // namespace talmira
