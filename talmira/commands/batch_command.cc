// talmira batch: every sequence of a dataset scored as `talmira score` scores
// it, on several threads, with the totals pooled over the dataset.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>

#include "scoring/analysis/sequence_explanation.h"
#include "scoring/counts/confidence_sweep.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/dataset.h"
#include "talmira/precision_options.h"
#include "talmira/stability_dataset.h"
#include "talmira/track_files.h"
#include "talmira/writers/batch_report.h"

namespace talmira {

namespace {

struct BatchOptions {
  std::string list;
  std::string groundTruthDir;
  std::string systemDir;
  float confidence = 0.0f;
  unsigned jobs = 1;
  std::string shard;
  Format format = Format::kText;
  bool formatGiven = false;
  std::string output;
  std::string report;
  std::string viewDir;  // --view: one `talmira view` page per sequence here
  bool quiet = false;
  bool sweep = false;
  int gridSteps = 100;
  bool exact = false;
  std::string plot;
  bool explain = false;
  float near = kDefaultNearThreshold;
  bool ap = false;
  PrecisionOptionsGiven apOptions;
  bool track = false;
  std::string trackRules;  // --track-rules
  std::string ids;         // --ids
  bool stability = false;  // --stability
  bool confidenceGiven = false;
  bool groundTruthFormatGiven = false;
  bool systemFormatGiven = false;
  FormatOptionsGiven formats;
};

// --track's settings: `talmira track`'s defaults (MOT files, every tracker
// box) where an option is not given.
TrackingSettings trackingSettingsOf(const BatchOptions& options) {
  TrackingSettings settings;
  if (options.groundTruthFormatGiven)
    settings.groundTruthFormat = options.formats.groundTruthFormat;
  if (options.systemFormatGiven) settings.systemFormat = options.formats.systemFormat;
  settings.ids = options.ids;
  settings.rules = options.trackRules;
  if (options.confidenceGiven) settings.confidence = options.confidence;
  return settings;
}

void parseShard(const std::string& text, std::size_t& index, std::size_t& count) {
  unsigned long long k = 0;
  unsigned long long n = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%llu/%llu%c", &k, &n, &end) != 2 || text[0] == '-' ||
      text.find('-') != std::string::npos || k < 1 || n < 1 || k > n) {
    throw CommandError{
        kExitUsage, "talmira batch: --shard " + text + ": expected K/N with 1 <= K <= N, e.g. 2/8"};
  }
  index = k;
  count = n;
}

// A file name for a sequence's page: its name with anything but letters,
// digits, '-', '_' and '.' made '_', unique within the run.
std::string pageNameOf(const std::string& name, std::set<std::string>& taken) {
  std::string base;
  for (const unsigned char c : name) {
    base += std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' ? static_cast<char>(c) : '_';
  }
  if (base.empty() || base.front() == '.') base = "sequence" + base;
  std::string file = base + ".html";
  for (int n = 2; !taken.insert(file).second; ++n) file = base + "-" + std::to_string(n) + ".html";
  return file;
}

// Writes the view page of every scored sequence into `dir` and returns the
// addresses of the pages relative to the report (or to the working folder
// without one), by list position; a sequence whose page fails gets its
// message in `error`.
std::vector<std::string> writeViewPages(const BatchOptions& options,
                                        std::vector<BatchSequence>& sequences,
                                        const DatasetReading& reading) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(options.viewDir, error);
  if (error || !fs::is_directory(options.viewDir)) {
    throw CommandError{kExitInputOrOutput,
                       options.viewDir + ": cannot make the folder: " + error.message()};
  }
  const fs::path reportFolder =
      fs::absolute(options.report.empty() ? fs::path("x") : fs::path(options.report)).parent_path();
  std::vector<std::string> links(sequences.size());
  std::set<std::string> taken;
  for (BatchSequence& s : sequences) {
    if (s.failed()) continue;
    const fs::path page = fs::path(options.viewDir) / pageNameOf(s.name, taken);
    ViewRequest request;
    request.groundTruth = s.groundTruth;
    request.system = s.system;
    request.output = page.string();
    request.confidence = options.confidence;
    request.jobs = std::max(1u, options.jobs);
    request.formats = reading.of(s.groundTruth, s.groundTruthFormat, s.systemFormat);
    request.producedBy = "talmira batch --view, sequence " + s.name;
    writeViewPage(request);
    links[s.position] = fs::absolute(page).lexically_relative(reportFolder).generic_string();
  }
  return links;
}

// --track: the options that mean nothing for tracks are refused, and the
// formats must be track formats (`talmira track`'s).
void checkTrackOptions(const BatchOptions& options) {
  const auto refuse = [](const std::string& what) {
    throw CommandError{kExitUsage, "talmira batch: " + what};
  };
  if (!options.report.empty() || !options.viewDir.empty()) {
    refuse(std::string(options.report.empty() ? "--view" : "--report") +
           " with --track is not available");
  }
  if (!options.formats.rules.rules().isDefault()) {
    refuse(
        "the scoring rules (--rules, --overlap, ...) are the counts'; --track follows the "
        "tracking benchmarks' evaluator, whose preprocessing --track-rules chooses");
  }
  const FormatOptionsGiven& f = options.formats;
  for (const auto& [given, name] :
       {std::pair{!f.classes.empty(), "--classes"}, std::pair{f.unknown != "error", "--unknown"},
        std::pair{!f.imageSize.empty(), "--image-size"}, std::pair{!f.names.empty(), "--names"},
        std::pair{!f.ignore.empty(), "--ignore"},
        std::pair{!f.imagesFrom.empty(), "--images-from"}}) {
    if (given) refuse(std::string(name) + " is not for tracks (--track)");
  }
  const TrackingSettings settings = trackingSettingsOf(options);
  for (const std::string* format : {&settings.groundTruthFormat, &settings.systemFormat}) {
    if (!isTrackFormat(*format)) {
      refuse("--track reads " + trackFormatNames() + " files, not " + *format);
    }
  }
  TrackRequest request;
  request.groundTruthFormat = settings.groundTruthFormat;
  request.systemFormat = settings.systemFormat;
  request.ids = settings.ids;
  request.rules = settings.rules;
  try {
    checkTrackRequest(request);
  } catch (CommandError& e) {
    e.message = "talmira batch: " + e.message;
    throw;
  }
}

// --stability: `talmira stability`'s errors of every sequence, pooled over
// the dataset's tracks (stability_dataset.h runs it).
StabilityBatchRun stabilityRunOf(const BatchOptions& options) {
  StabilityBatchRun run;
  run.list = options.list;
  run.groundTruthDir = options.groundTruthDir;
  run.systemDir = options.systemDir;
  run.settings = stabilitySettingsOf(options.formats, options.ids, options.confidence,
                                     options.confidenceGiven);
  run.jobs = std::max(1u, options.jobs);
  run.shard = options.shard;
  run.format = options.format;
  run.formatGiven = options.formatGiven;
  run.output = options.output;
  run.progress = !options.quiet && isatty(fileno(stderr)) != 0;
  if (!options.report.empty()) run.refused.push_back("--report");
  if (!options.viewDir.empty()) run.refused.push_back("--view");
  return run;
}

void runBatch(const BatchOptions& options) {
  if (!options.ids.empty() && !options.track && !options.stability) {
    throw CommandError{kExitUsage, "talmira batch: --ids is for --track and --stability"};
  }
  if (options.stability) {
    runStabilityBatch(stabilityRunOf(options));
    return;
  }
  const bool fromList = !options.list.empty();
  if (!fromList && (options.groundTruthDir.empty() || options.systemDir.empty())) {
    throw CommandError{kExitUsage, "talmira batch: give a LIST, or both --gt-dir and --sys-dir"};
  }
  if (options.explain && options.sweep) {
    throw CommandError{kExitUsage,
                       "talmira batch: --explain and --sweep do not go together: --explain says "
                       "why points were lost at one threshold (-c); find the threshold with "
                       "--sweep first"};
  }
  if (options.explain && !options.report.empty()) {
    throw CommandError{kExitUsage,
                       "talmira batch: --report with --explain is not available yet; use the "
                       "per-sequence talmira explain --report"};
  }
  if (options.ap) {
    if (!options.report.empty() || !options.viewDir.empty()) {
      throw CommandError{
          kExitUsage,
          "talmira batch: " + std::string(options.report.empty() ? "--view" : "--report") +
              " with --ap is not available"};
    }
    if (!options.formats.rules.rules().isDefault()) {
      throw CommandError{kExitUsage,
                         "talmira batch: the scoring rules (--rules, --overlap, ...) are the "
                         "counts'; --ap follows COCO's protocol, whose thresholds "
                         "--iou-thresholds sets"};
    }
  }
  if (options.track) checkTrackOptions(options);
  std::size_t shardIndex = 1;
  std::size_t shardCount = 1;
  const bool sharded = !options.shard.empty();
  if (sharded && !options.viewDir.empty()) {
    throw CommandError{kExitUsage,
                       "talmira batch: --view with --shard is not available: give "
                       "--view to an unsharded run"};
  }
  if (sharded) {
    parseShard(options.shard, shardIndex, shardCount);
    if (!options.report.empty() || !options.plot.empty()) {
      throw CommandError{kExitUsage,
                         "talmira batch: --shard writes a partial result; give " +
                             std::string(options.report.empty() ? "--plot" : "--report") +
                             " to merge"};
    }
    if (options.formatGiven) {
      throw CommandError{kExitUsage,
                         "talmira batch: --shard writes a partial result (JSON) for `talmira "
                         "merge`; give --format to merge instead"};
    }
  }

  BatchResult result;
  result.source.confidence = options.confidence;
  result.source.sweep = options.sweep;
  result.source.gridSteps = options.sweep && !options.exact ? options.gridSteps : 0;
  result.source.explain = options.explain;
  if (options.explain) result.source.near = options.near;
  result.source.ap = options.ap;
  if (options.ap) result.source.apParameters = precisionParameters(options.apOptions);
  result.source.track = options.track;
  if (options.track) result.source.tracking = trackingSettingsOf(options);
  result.source.benchmark =
      !options.track && !options.ap &&
      batchCountsAsBenchmark(options.formats, options.explain, !options.viewDir.empty());
  result.sequences =
      fromList ? readList(options.list, result.source)
               : pairFolders(options.groundTruthDir, options.systemDir, result.source,
                             options.track ? InputFormats{}
                                           : inputFormatsWith(options.formats, nullptr, ""));
  result.source.sequenceCount = result.sequences.size();
  // Tracks have readers of their own, which take none of these options.
  const DatasetReading reading =
      options.track ? DatasetReading{} : datasetReading(options.formats, result.sequences);
  result.source.reading = readingWords(reading);
  result.source.rules = options.formats.rules.rules();

  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  if (fromList) inputs.push_back(options.list);
  for (const BatchSequence& s : result.sequences) {
    inputs.push_back(s.groundTruth);
    inputs.push_back(s.system);
  }
  refuseOutputNamingInput(options.output, inputs);
  refuseOutputNamingInput(options.report, inputs);
  refuseOutputNamingInput(options.plot, inputs);

  // Only this shard's positions are scored.
  std::vector<BatchSequence*> mine;
  for (BatchSequence& s : result.sequences) {
    if (s.position % shardCount == shardIndex - 1) mine.push_back(&s);
  }
  const unsigned jobs = std::max(1u, options.jobs);
  const bool progressShown = !options.quiet && isatty(fileno(stderr)) != 0;
  CurvePool pool;
  scoreSequences(mine, result.source, jobs, progressShown, pool, reading);

  std::size_t failed = 0;
  for (const BatchSequence* s : mine) {
    if (s->precision != nullptr) {
      for (const std::string& warning : s->precision->warnings) {
        std::fprintf(stderr, "warning: %s: %s\n", s->name.c_str(), warning.c_str());
      }
    }
    if (s->tracking != nullptr) {
      for (const std::string& warning : s->tracking->warnings) {
        std::fprintf(stderr, "warning: %s: %s\n", s->name.c_str(), warning.c_str());
      }
    }
    for (const std::string& warning : s->warnings) {
      std::fprintf(stderr, "warning: %s: %s\n", s->name.c_str(), warning.c_str());
    }
    if (!s->failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s->error.c_str());
  }

  if (sharded) {
    // Each sequence in its own classes: merge puts them in the dataset's.
    BatchPart part{result.source, shardIndex, shardCount, {}, std::move(pool)};
    for (const BatchSequence* s : mine) part.sequences.push_back(*s);
    writeOutput(options.output, renderPartial(part));
  } else {
    settleClasses(result, result.source.sweep ? &pool : nullptr);
    settlePrecision(result, jobs);
    settleTracking(result);
    std::vector<std::string> viewPages;
    if (!options.viewDir.empty()) viewPages = writeViewPages(options, result.sequences, reading);
    if (!options.plot.empty()) writeOutput(options.plot, renderBatchPlot(result));
    if (!options.report.empty()) writeOutput(options.report, renderBatchReport(result, viewPages));
    writeOutput(options.output, renderBatch(result, options.format));
  }
  if (failed > 0) {
    throw sequencesFailed("talmira batch", failed, mine.size());
  }
}

}  // namespace

void addBatchCommand(CLI::App& app) {
  auto options = std::make_shared<BatchOptions>();
  options->formats.ownClasses = true;  // other datasets' rows as they name them
  CLI::App* command = app.add_subcommand(
      "batch", "Score every sequence of a dataset, with totals pooled over the dataset");
  CLI::Option* list = command->add_option(
      "LIST", options->list,
      "CSV file with the header sequence,groundtruth,system and one sequence a line; paths "
      "relative to its folder. With the header sequence,groundtruth,system,gt_format,sys_format "
      "each line may name the formats of its files (empty: --gt-format and --sys-format)");
  CLI::Option* gtDir =
      command
          ->add_option("--gt-dir", options->groundTruthDir,
                       "instead of LIST: a folder of ground-truth files, paired by name "
                       "(without extension) with the files of --sys-dir")
          ->type_name("DIR");
  CLI::Option* sysDir =
      command->add_option("--sys-dir", options->systemDir, "the folder of the detector's outputs")
          ->type_name("DIR");
  gtDir->needs(sysDir)->excludes(list);
  sysDir->needs(gtDir)->excludes(list);
  addConfidenceOption(*command, options->confidence);
  addJobsOption(*command, options->jobs,
                "sequences scored at once; the result does not depend on it");
  command
      ->add_option("--shard", options->shard,
                   "score only the sequences at positions i (from 0) with i mod N = K-1 and "
                   "write a partial result for `talmira merge`")
      ->type_name("K/N");
  addFormatOption(*command, options->format);
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command
      ->add_option("--report", options->report,
                   "also write the dataset's HTML page: pooled table, sequences sortable by "
                   "NMODTA")
      ->type_name("FILE.html");
  command
      ->add_option("--view", options->viewDir,
                   "also write a `talmira view` page of each sequence (its frames with errors) "
                   "into DIR; the --report page links each sequence's name to its page")
      ->type_name("DIR");
  CLI::Option* sweep = command->add_flag(
      "--sweep", options->sweep,
      "instead of scoring at -c: sweep every sequence over every threshold as `talmira sweep` "
      "does; the output is the pooled curve of each class (counts summed over the sequences), "
      "its best threshold, and each sequence's best threshold");
  CLI::Option* grid = command
                          ->add_option("--grid", options->gridSteps,
                                       "with --sweep: list the pooled rows at k/N for k = N down "
                                       "to 0 (default 100)")
                          ->type_name("N")
                          ->check(CLI::Range(1, kMaxGridSteps))
                          ->needs(sweep);
  command
      ->add_flag("--exact", options->exact,
                 "with --sweep: list the pooled rows at every threshold of the pooled curve")
      ->excludes(grid)
      ->needs(sweep);
  command
      ->add_option("--plot", options->plot,
                   "with --sweep: also draw the pooled curves into an SVG picture")
      ->type_name("FILE.svg")
      ->needs(sweep);
  CLI::Option* explain = command->add_flag(
      "--explain", options->explain,
      "instead of the counts alone: explain every sequence as `talmira explain` does (a cause "
      "for every miss and false alarm, the pairs' overlaps, the confusion matrix of All) and "
      "pool the causes over the dataset");
  addNearOption(*command, options->near)->needs(explain);
  CLI::Option* ap = command->add_flag(
      "--ap", options->ap,
      "instead of the counts: average precision as `talmira ap` computes it (COCO's twelve "
      "figures) of every sequence, and of the dataset with the detections of every frame of "
      "every sequence pooled (not an average of the sequences' figures)");
  ap->excludes(sweep)->excludes(explain);
  for (CLI::Option* option : addPrecisionOptions(*command, options->apOptions)) option->needs(ap);
  CLI::Option* track = command->add_flag(
      "--track", options->track,
      "instead of the counts: HOTA, CLEAR (MOTA) and Identity (IDF1) of every sequence as "
      "`talmira track` computes them, and of the dataset as the tracking benchmarks' evaluator "
      "combines sequences (counts summed, association and localisation weighted by HOTA's "
      "true positives; not an average of the sequences' figures). The files are track files: "
      "--gt-format and --sys-format name track formats (default mot); with --gt-dir, the "
      "ground truth is MOTChallenge's layout, a folder per sequence with gt/gt.txt and "
      "seqinfo.ini, paired with the files SEQUENCE.txt of --sys-dir (under --track-rules "
      "kitti, KITTI's: the files SEQUENCE.txt of label_02, the seqmap above it giving their "
      "lengths). -c leaves out tracker boxes below it; without it every box counts");
  track->excludes(sweep)->excludes(explain)->excludes(ap);
  command
      ->add_option("--track-rules", options->trackRules,
                   "with --track: whose evaluation, mot (MOT16/17), mot20, mot15, kitti or plain; "
                   "by default each ground truth's layout decides, as in `talmira track`")
      ->type_name("NAME")
      ->check([](const std::string& text) {
        return tracking::benchmarkNamed(text)
                   ? std::string()
                   : "no track rules named " + text +
                         " (mot, mot16, mot17, mot20, mot15, kitti, plain)";
      })
      ->needs(track);
  CLI::Option* stability = command->add_flag(
      "--stability", options->stability,
      "instead of the counts: `talmira stability`'s errors (E_F, E_C, E_R over each "
      "ground-truth track) of every sequence, per class, and of the dataset pooled over every "
      "track used of every sequence (not an average of the sequences' means). --rules mot "
      "pairs boxes as CLEAR does; with --gt-dir, a MOT ground truth is MOTChallenge's layout, "
      "as with --track");
  stability->excludes(sweep)->excludes(explain)->excludes(ap)->excludes(track);
  command
      ->add_option("--ids", options->ids,
                   "with --track or --stability: in files of this format, column 14's text is "
                   "the identity")
      ->type_name("text")
      ->check(CLI::IsMember({"text"}));
  command->add_flag("-q,--quiet", options->quiet, "no progress line on standard error");
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  command->footer(
      "A sequence that cannot be read is reported on standard error and left out of the totals; "
      "the others are scored, and the exit status is 1.\n"
      "Examples:\n"
      "  talmira batch dataset.csv -c 0.5 --format csv -o scores.csv\n"
      "  talmira batch --gt-dir truth/ --sys-dir detections/ -j 4\n"
      "  talmira batch dataset.csv --shard 2/8 -o part2.json   (then: talmira merge part*.json)\n"
      "  talmira batch dataset.csv --sweep --exact --format csv -o pooled-curve.csv --plot "
      "pooled.svg\n"
      "  talmira batch dataset.csv --explain -c 0.4 --format csv -o causes.csv\n"
      "  talmira batch videos.csv --ap --format json -o ap.json\n"
      "  talmira batch --track --gt-dir MOT17/train --sys-dir trackers/MPNTrack/data\n"
      "  talmira batch tracks.csv --stability --gt-format mot --sys-format mot --rules mot\n"
      "  talmira batch --track --track-rules kitti --gt-dir kitti/label_02 --sys-dir "
      "trackers/mine/data\n"
      "\n"
      "--rules mot on MOT files (--gt-format and --sys-format mot or mot15) counts each\n"
      "sequence as talmira score --rules mot does (CLEAR's counts, its length from its\n"
      "seqinfo.ini) and sums them as the benchmark's evaluator combines sequences; -c above\n"
      "0 leaves out the boxes below it, 0 keeps every box; with --gt-dir the ground truth\n"
      "is MOTChallenge's layout, as with --track; --explain and --view are not available.\n"
      "  talmira batch --gt-dir MOT17/train --sys-dir detections/ --gt-format mot "
      "--sys-format mot --rules mot\n");
  command->callback([options, command] {
    options->formatGiven = command->count("--format") > 0;
    options->confidenceGiven = command->count("--confidence") > 0;
    options->groundTruthFormatGiven = command->count("--gt-format") > 0;
    options->systemFormatGiven = command->count("--sys-format") > 0;
    runBatch(*options);
  });
}

}  // namespace talmira
