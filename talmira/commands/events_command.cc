// talmira events: what became of every box of a class, one CSV row each.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/selection.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/sequence_events.h"
#include "scoring/counts/class_scores.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/track_events.h"
#include "talmira/writers/event_rows.h"

namespace talmira {

namespace {

struct EventsOptions {
  std::string groundTruth;
  std::string system;
  float confidence = 0.0f;
  std::string className = "All";
  float near = kDefaultNearThreshold;
  std::string output;
  FormatOptionsGiven formats;
  TrackOptionsGiven track;
};

// --track: the rows of CLEAR's matching, with the identities.
void runTrackEvents(const EventsOptions& options, const TrackRequest& request) {
  refuseOutputNamingInput(options.output, {options.groundTruth, options.system});
  std::vector<std::string> warnings;
  const FollowedTracks followed = followTrackFiles(request, options.className, &warnings, "events");
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
  writeOutput(options.output, renderTrackEventsCsv(followed));
}

void runEvents(const EventsOptions& options, const CLI::App& command) {
  // --rules mot on MOT files: CLEAR's matching, as --track lists it.
  if (const std::optional<TrackRequest> request =
          benchmarkTrackRequest(command, options.formats, options.track.track, options.groundTruth,
                                options.system, options.confidence, options.track.length)) {
    runTrackEvents(options, *request);
    return;
  }
  if (const std::optional<TrackRequest> request = trackRequestOf(
          command, options.track, options.groundTruth, options.system,
          options.formats.groundTruthFormat, options.formats.systemFormat, options.confidence)) {
    runTrackEvents(options, *request);
    return;
  }
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.begin(), {options.groundTruth, options.system});
  refuseOutputNamingInput(options.output, inputs);
  const InputFormats formats = inputFormatsOf(options.formats, options.groundTruth);
  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  ReadDetails truthLines;
  ReadDetails systemLines;
  readInputs(options.groundTruth, options.system, groundTruth, system, &truthLines, &systemLines,
             formats);
  classRowNamed(*pairClasses(*groundTruth, *system), options.className, "events");
  const TargetFilter filter(options.className.c_str(), options.confidence);
  writeOutput(options.output, renderEventsCsv(*groundTruth, truthLines, *system, systemLines,
                                              filter, options.near));
}

}  // namespace

void addEventsCommand(CLI::App& app) {
  auto options = std::make_shared<EventsOptions>();
  options->formats.ownClasses = true;  // other datasets' classes as they name them
  options->formats.moreFormatNames = trackOnlyFormatNames();
  options->formats.moreFormatsHelp = kTrackFormatsHelp;
  CLI::App* command = app.add_subcommand(
      "events", "List what became of every box of a class: matched, missed, a false alarm, ...");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", options->system, "the detector's output, same format")->required();
  addConfidenceOption(*command, options->confidence);
  command
      ->add_option("--class", options->className,
                   "the class to follow, as the files name it (All takes every class)")
      ->type_name("NAME")
      ->default_str("All");
  addNearOption(*command, options->near);
  command
      ->add_option("-o,--output", options->output, "write the CSV to FILE (whole, or not at all)")
      ->type_name("FILE");
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  addTrackOptions(*command, options->track);
  command->footer(
      "One CSV row per box the class takes at the confidence:\n"
      "  gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap\n"
      "class is the box's class as its file names it (another dataset's files name their own),\n"
      "quoted as CSV quotes a field when it holds a comma, a quote or a line end.\n"
      "side is gt or sys; line is the record's line in its file (the header is line 1);\n"
      "gt_frame_line is the line of the first record of the ground-truth frame judged.\n"
      "For another format, lines are those of its records (for XML and JSON, of the element;\n"
      "for a folder of YOLO files, of the frame's own file).\n"
      "Ground-truth events: match, miss, excluded (flagged).\n"
      "System events: match, false_alarm, set_aside (passed with a flagged box: partner_line),\n"
      "in_region (covered by the don't-care region on partner_line), unpaired_frame (a frame\n"
      "no ground-truth frame pairs with: never scored).\n"
      "Per class, match rows of either side = GT - FN = Det - FP, miss = FN, false_alarm = FP.\n"
      "cause, on miss rows: no_system_frame, class_confusion, dropped_in_region, below_threshold,\n"
      "localization or missed; on false_alarm rows: class_confusion, duplicate, localization or\n"
      "background (see talmira explain --help). overlap: a match's overlap with its partner, a\n"
      "set_aside's with the flagged box, an in_region's part covered by the region.\n"
      "\n"
      "\n"
      "--track reads both files as talmira track does (MOT files unless --gt-format says\n"
      "otherwise) and lists CLEAR's matching instead, with these columns after those above:\n"
      "  gt_id,sys_id,previous_sys_id,previous_frame,previous_line,unmatched_frames\n"
      "Box rows: match (IoU in overlap), miss, excluded (not evaluated), false_alarm,\n"
      "set_aside (left out with the distractor on partner_line). A frame's box rows are\n"
      "followed by its ground-truth tracks' switch rows (matched to sys_id, last matched to\n"
      "previous_sys_id in previous_frame, its box on previous_line) and fragment rows (matched\n"
      "again after unmatched_frames frames present without a match). The rows add up to\n"
      "talmira track's figures: match = CLR_TP, miss = CLR_FN, false_alarm = CLR_FP,\n"
      "switch = IDSW, fragment = Frag.\n"
      "--rules mot on MOT files (--gt-format and --sys-format mot or mot15) lists the same\n"
      "rows, so that they add up to talmira score --rules mot; a detector's file whose ids\n"
      "are all -1 has no sys_id and no switch rows.\n"
      "\n"
      "Examples:\n"
      "  talmira events groundtruth.csv systemoutput.csv -c 0.5 --class Car -o car-events.csv\n"
      "  talmira events --track MOT17-02/gt/gt.txt results/MOT17-02.txt | grep ,switch,\n");
  command->callback([options, command] { runEvents(*options, *command); });
}

}  // namespace talmira
