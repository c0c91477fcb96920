// talmira compare: two detectors on the same ground truth, with paired
// bootstrap intervals on the difference of their NMODTA.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <vector>

#include "annotation/class_set.h"
#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/analysis/paired_counts.h"
#include "scoring/counts/confidence_sweep.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/dataset_list.h"
#include "talmira/pages/compare_page.h"
#include "talmira/precision_compare.h"
#include "talmira/precision_options.h"
#include "talmira/stability_dataset.h"
#include "talmira/track_compare.h"
#include "talmira/track_files.h"
#include "talmira/writers/batch_report.h"
#include "talmira/writers/compare_report.h"

#ifndef TALMIRA_VERSION
#define TALMIRA_VERSION "unknown"
#endif

namespace talmira {

namespace {

struct CompareOptions {
  std::string groundTruth;
  std::string systemA;
  std::string systemB;
  std::string dataset;
  float confidence = 0.0f;
  float confidenceA = 0.0f;
  float confidenceB = 0.0f;
  bool perSystem = false;  // --c-a and --c-b given
  bool best = false;
  uint64_t resamples = 10'000;
  uint64_t seed = 1;
  double level = 0.95;
  std::string levelGiven = "0.95";
  std::size_t block = 0;
  Format format = Format::kText;
  std::string output;
  std::string report;
  unsigned jobs = 1;
  bool quiet = false;
  bool ap = false;  // average precision instead of NMODTA
  PrecisionOptionsGiven apOptions;
  bool track = false;      // HOTA, MOTA and IDF1 of two trackers instead
  std::string trackRules;  // with --track: --track-rules
  std::string ids;         // with --track: --ids
  bool stability = false;  // the stability errors of two detectors instead
  bool confidenceGiven = false;
  bool groundTruthFormatGiven = false;
  bool systemFormatGiven = false;
  bool resamplesGiven = false;
  uint32_t length = 0;  // --length, with the benchmark's counts
  FormatOptionsGiven formats;
};

// The three files of a comparison, read whole. With more than one thread
// they are read at once; every file's message is kept, ground truth first.
struct ThreeSequences {
  std::unique_ptr<QuorSequence> groundTruth, a, b;
};

// The ground truth is read as `formats.groundTruth` says, both detectors'
// outputs as `formats.system` says.
ThreeSequences readThree(const std::string& groundTruthPath, const std::string& aPath,
                         const std::string& bPath, bool atOnce, const InputFormats& formats) {
  ThreeSequences read;
  std::array<std::string, 3> errors;
  const std::array<const std::string*, 3> paths = {&groundTruthPath, &aPath, &bPath};
  const std::array<std::unique_ptr<QuorSequence>*, 3> into = {&read.groundTruth, &read.a, &read.b};
  const std::array<const AnnotationReadOptions*, 3> how = {&formats.groundTruth, &formats.system,
                                                           &formats.system};
  const auto readOne = [&](std::size_t k) {
    try {
      *into[k] = readInput(*paths[k], nullptr, *how[k]);
    } catch (const CommandError& e) {
      errors[k] = e.message;
    }
  };
  if (atOnce) {
    std::jthread second(readOne, 1);
    std::jthread third(readOne, 2);
    readOne(0);
  } else {
    for (std::size_t k = 0; k < 3; ++k) readOne(k);
  }
  std::string messages;
  for (const std::string& error : errors) {
    if (!error.empty()) messages += (messages.empty() ? "" : "\n") + error;
  }
  if (!messages.empty()) throw CommandError{kExitInputOrOutput, messages};
  return read;
}

// The exact curve of All of one detector: All's curve is the same in any
// set, so none of the classes is swept.
ClassCurve curveOfAll(const QuorSequence& groundTruth, const QuorSequence& system,
                      unsigned threads) {
  static const ClassSetPtr allOnly = ClassSet::of({});
  return std::move(sweepClasses(groundTruth, system, *allOnly, threads)[0]);
}

std::string commandLineOf(const CompareOptions& o) {
  std::string line = "talmira " TALMIRA_VERSION " compare ";
  line += o.dataset.empty() ? o.groundTruth + " " + o.systemA + " " + o.systemB
                            : "--dataset " + o.dataset;
  if (o.best) {
    line += " --best";
  } else if (o.perSystem) {
    line += " --c-a " + shortestText(o.confidenceA) + " --c-b " + shortestText(o.confidenceB);
  } else {
    line += " -c " + shortestText(o.confidence);
  }
  line += " --resamples " + std::to_string(o.resamples) + " --seed " + std::to_string(o.seed) +
          " --level " + o.levelGiven;
  if (o.block > 0) line += " --block " + std::to_string(o.block);
  // The page says how its inputs were read when they were not files of this format.
  if (o.formats.groundTruthFormat != "talmira") {
    line += " --gt-format " + o.formats.groundTruthFormat;
  }
  if (o.formats.systemFormat != "talmira") line += " --sys-format " + o.formats.systemFormat;
  line += rulesArguments(o.formats.rules.rules());
  return line;
}

// Runs `work(sequence, threads, worker)` for every sequence on `jobs`
// threads, each taking the next sequence not yet taken; with fewer sequences
// than jobs the spare threads go into the sequences. A sequence whose work
// throws keeps the message and is not worked on again.
template <typename Work>
void forEachSequence(std::vector<CompareSequence>& sequences, unsigned jobs, bool progressShown,
                     std::size_t workers, Work work) {
  Progress progress(progressShown, sequences.size());
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  const unsigned perSequence =
      std::max(1u, jobs / static_cast<unsigned>(std::max<std::size_t>(1, workers)));
  const auto run = [&](std::size_t worker) {
    for (std::size_t i; (i = next.fetch_add(1)) < sequences.size();) {
      CompareSequence& s = sequences[i];
      if (!s.failed()) {
        try {
          work(s, perSequence, worker);
        } catch (const CommandError& e) {
          s.error = e.message;
        } catch (const std::bad_alloc&) {
          s.error = s.groundTruth + ": out of memory while comparing " + s.systemA + " and " +
                    s.systemB + " on it";
        } catch (const std::exception& e) {
          s.error = s.groundTruth + ": " + e.what();
        }
      }
      progress.finished(done.fetch_add(1) + 1);
    }
  };
  std::vector<std::jthread> threads;
  for (std::size_t t = 1; t < workers; ++t) {
    try {
      threads.emplace_back(run, t);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: those running share the work
    }
  }
  run(0);
}

void setSettings(const CompareRun& run, CompareSettings& settings) {
  settings.best = run.best;
  settings.confidenceA = run.confidenceA;
  settings.confidenceB = run.confidenceB;
  settings.bootstrap = run.bootstrap;
  settings.bootstrap.threads = std::max(1u, run.jobs);
}

std::vector<const ClassCurve*> pointersTo(const std::vector<ClassCurve>& curves) {
  std::vector<const ClassCurve*> pointers;
  for (const ClassCurve& curve : curves) pointers.push_back(&curve);
  return pointers;
}

// The classes of a dataset: those of every counted sequence, in list order,
// each once; the set of the sequences when they all have the same.
ClassSetPtr datasetClasses(const std::vector<CompareSequence>& sequences) {
  ClassSetPtr first;
  bool same = true;
  std::vector<std::string> names;
  std::unordered_set<std::string_view> seen;
  for (const CompareSequence& s : sequences) {
    if (s.failed()) continue;
    if (!first) first = s.classSet;
    same = same && (s.classSet == first || *s.classSet == *first);
    for (const std::string& name : s.classSet->names()) {
      if (seen.insert(name).second) names.push_back(name);
    }
  }
  if (!first) return ClassSet::standard();
  if (same) return first;
  return std::make_shared<const ClassSet>(std::move(names));
}

// A sequence's rows in the dataset's set: row k of its own set at rows[k].
std::vector<std::size_t> rowsIn(const ClassSet& dataset, const ClassSet& own) {
  std::vector<std::size_t> rows(own.rows(), 0);
  for (std::size_t row = 1; row < own.rows(); ++row) rows[row] = *dataset.rowOf(own.row(row));
  return rows;
}

// `counts` of a sequence's rows as those of the dataset's rows `rows`.
template <typename Counts>
SparseRows<Counts> inRows(const SparseRows<Counts>& counts, const std::vector<std::size_t>& rows) {
  std::vector<typename SparseRows<Counts>::Entry> entries;
  for (const auto& entry : counts.entries()) {
    entries.push_back({static_cast<uint32_t>(rows[entry.row]), entry.counts});
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& x, const auto& y) { return x.row < y.row; });
  SparseRows<Counts> moved;
  for (const auto& entry : entries) moved.append(entry.row, entry.counts);
  return moved;
}

// A sequence's counts, one unit, kept for the dataset's bootstrap.
void takeCounts(CompareSequence& s, PairedCounts counts);
// The dataset's classes, totals and intervals from its counted sequences.
void resampleSequences(CompareResult& result);

}  // namespace

CompareResult compareSequences(const QuorSequence& groundTruth, const QuorSequence& a,
                               const QuorSequence& b, const CompareRun& run) {
  CompareResult result;
  CompareSettings& settings = result.settings;
  setSettings(run, settings);
  const unsigned jobs = std::max(1u, run.jobs);
  if (run.best) {
    result.curveA = curveOfAll(groundTruth, a, jobs);
    result.curveB = curveOfAll(groundTruth, b, jobs);
    settings.confidenceA = bestPoint(result.curveA).threshold;
    settings.confidenceB = bestPoint(result.curveB).threshold;
  }
  PairedCountOptions counting;
  counting.confidenceA = settings.confidenceA;
  counting.confidenceB = settings.confidenceB;
  counting.block = run.block;
  counting.threads = jobs;
  const PairedCounts counts = countPaired(groundTruth, a, b, counting);
  settings.block = counts.block;
  settings.frames = counts.frames;
  result.units = counts.units.size();
  result.classSet = counts.classSet;
  const std::size_t rows = result.classSet->rows();
  result.totals = sumUnits(counts.units, rows);
  result.objects = counts.objects;
  result.intervals = pairedBootstrap(counts.units, rows, settings.bootstrap);
  return result;
}

CompareResult compareFiles(const std::string& groundTruth, const std::string& a,
                           const std::string& b, const CompareRun& run) {
  const ThreeSequences read =
      readThree(groundTruth, a, b, run.jobs > 1, run.reading.of(groundTruth));
  CompareResult result = compareSequences(*read.groundTruth, *read.a, *read.b, run);
  result.settings.groundTruth = groundTruth;
  result.settings.systemA = a;
  result.settings.systemB = b;
  return result;
}

std::vector<CompareSequence> readCompareList(const std::string& list) {
  std::string bytes;
  std::vector<CompareSequence> sequences;
  for (ListedSequence& listed : readSequenceList(
           list, {"sequence", "groundtruth", "system_a", "system_b"}, bytes, kFormatColumns)) {
    checkListedFormats(listed, list);
    CompareSequence s;
    s.name = std::move(listed.name);
    s.groundTruth = std::move(listed.paths[0]);
    s.systemA = std::move(listed.paths[1]);
    s.systemB = std::move(listed.paths[2]);
    if (!listed.optional.empty()) {
      s.groundTruthFormat = std::move(listed.optional[0]);
      s.systemFormat = std::move(listed.optional[1]);
    }
    sequences.push_back(std::move(s));
  }
  return sequences;
}

CompareResult compareDataset(const std::string& list, std::vector<CompareSequence> sequences,
                             const CompareRun& run) {
  CompareResult result;
  CompareSettings& settings = result.settings;
  settings.list = list;
  setSettings(run, settings);
  const auto formatsOf = [&run](const CompareSequence& s) {
    return run.reading.of(s.groundTruth, s.groundTruthFormat, s.systemFormat);
  };
  result.sequences = std::move(sequences);
  const unsigned jobs = std::max(1u, run.jobs);
  const std::size_t workers = std::min<std::size_t>(jobs, result.sequences.size());
  if (run.best) {
    // Each detector's curve of All, pooled over the dataset: a running pool
    // per worker, summed at the end (the sums are exact, so the order in
    // which sequences finish does not show). A pool starts with no sequence
    // in it: zero counts at 1 and at 0.
    std::vector<ClassCurve> poolsA(std::max<std::size_t>(workers, 1), addCurves({}));
    std::vector<ClassCurve> poolsB(poolsA);
    forEachSequence(result.sequences, jobs, run.progress, workers,
                    [&](CompareSequence& s, unsigned threads, std::size_t worker) {
                      const ThreeSequences read =
                          readThree(s.groundTruth, s.systemA, s.systemB, false, formatsOf(s));
                      const ClassCurve a = curveOfAll(*read.groundTruth, *read.a, threads);
                      const ClassCurve b = curveOfAll(*read.groundTruth, *read.b, threads);
                      poolsA[worker] = addCurves({&poolsA[worker], &a});
                      poolsB[worker] = addCurves({&poolsB[worker], &b});
                    });
    result.curveA = addCurves(pointersTo(poolsA));
    result.curveB = addCurves(pointersTo(poolsB));
    settings.confidenceA = bestPoint(result.curveA).threshold;
    settings.confidenceB = bestPoint(result.curveB).threshold;
  }
  forEachSequence(result.sequences, jobs, run.progress, workers,
                  [&](CompareSequence& s, unsigned threads, std::size_t) {
                    const ThreeSequences read =
                        readThree(s.groundTruth, s.systemA, s.systemB, false, formatsOf(s));
                    PairedCountOptions counting;
                    counting.confidenceA = settings.confidenceA;
                    counting.confidenceB = settings.confidenceB;
                    // The whole sequence in one block: it is one unit.
                    counting.block = std::max<std::size_t>(1, read.groundTruth->frames.size());
                    counting.threads = threads;
                    takeCounts(s, countPaired(*read.groundTruth, *read.a, *read.b, counting));
                  });
  resampleSequences(result);
  return result;
}

namespace {

void takeCounts(CompareSequence& s, PairedCounts counts) {
  s.classSet = counts.classSet;
  // No unit for a sequence without frames: it counts nothing.
  s.counts = counts.units.empty() ? UnitCounts{} : std::move(counts.units[0]);
  s.objects = SparseRows<ObjectAgreement>::of(counts.objects);
}

void resampleSequences(CompareResult& result) {
  const CompareSettings& settings = result.settings;
  // The units in list order, whatever order they were counted in.
  result.classSet = datasetClasses(result.sequences);
  const std::size_t rows = result.classSet->rows();
  std::vector<UnitCounts> units;
  result.objects.assign(rows, ObjectAgreement{});
  for (const CompareSequence& s : result.sequences) {
    if (s.failed()) continue;
    if (*s.classSet == *result.classSet) {
      units.push_back(s.counts);
      s.objects.addInto(result.objects);
    } else {
      const std::vector<std::size_t> at = rowsIn(*result.classSet, *s.classSet);
      units.push_back(inRows(s.counts, at));
      inRows(s.objects, at).addInto(result.objects);
    }
  }
  result.units = units.size();
  result.totals = sumUnits(units, rows);
  result.intervals = pairedBootstrap(units, rows, settings.bootstrap);
}

double parseLevel(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_of(" \t\n\v\f\r") == std::string::npos;
  char* end = nullptr;
  const double value = plain ? std::strtod(text.c_str(), &end) : 0.0;
  if (!plain || end != text.c_str() + text.size() || !std::isfinite(value)) {
    throw CLI::ValidationError("level", "\"" + text + "\" is not a number");
  }
  // The level is taken to nine decimals; one that rounds to 0 leaves no interval.
  if (!(value > 0.0 && value < 1.0) || std::llround(value * 1e9) < 1) {
    throw CLI::ValidationError("level", text + " is not between 0 and 1 (both left out)");
  }
  return value;
}

// A whole number from 0 to 2^64-1 in decimal digits: no sign, no blanks,
// nothing that would wrap.
uint64_t parseSeed(const std::string& text) {
  uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || text[0] < '0' || text[0] > '9' || error != std::errc{} || at != end) {
    throw CLI::ValidationError("seed", "\"" + text + "\" is not a whole number from 0 to 2^64-1");
  }
  return value;
}

// The resamples of --ap when --resamples is not given: each resample
// accumulates both detectors again.
constexpr uint64_t kPrecisionResamples = 1000;

// --ap: mAP and AP50 of both detectors, the bootstrap over images or sequences.
void runPrecisionCompare(const CompareOptions& o, bool dataset) {
  if (o.best || o.block > 0 || !o.report.empty()) {
    throw CommandError{kExitUsage, std::string("talmira compare: ") +
                                       (o.best        ? "--best"
                                        : o.block > 0 ? "--block"
                                                      : "--report") +
                                       " with --ap is not available"};
  }
  if (!o.formats.rules.rules().isDefault()) {
    throw CommandError{kExitUsage,
                       "talmira compare: the scoring rules (--rules, --overlap, ...) are the "
                       "counts'; --ap follows COCO's protocol, whose thresholds "
                       "--iou-thresholds sets"};
  }
  PrecisionCompareRun run;
  run.confidenceA = o.perSystem ? o.confidenceA : o.confidence;
  run.confidenceB = o.perSystem ? o.confidenceB : o.confidence;
  run.parameters = precisionParameters(o.apOptions);
  run.bootstrap.resamples = o.resamplesGiven ? o.resamples : kPrecisionResamples;
  run.bootstrap.seed = o.seed;
  run.bootstrap.level = o.level;
  run.jobs = std::max(1u, o.jobs);
  run.progress = !o.quiet && isatty(fileno(stderr)) != 0;
  {
    // The figures are COCO's first two: the parameters must have them.
    precision::MatchedImages none;
    none.matches.areas = run.parameters.areaRanges.size();
    none.matches.begin = {0};
    try {
      precision::WeightedPrecision(none, {}, 0, run.parameters);
    } catch (const std::invalid_argument& e) {
      throw CommandError{kExitUsage, std::string("talmira compare --ap: ") + e.what()};
    }
  }
  PrecisionCompareResult result;
  std::vector<std::string> inputs = auxiliaryInputs(o.formats);
  if (dataset) {
    std::vector<CompareSequence> sequences = readCompareList(o.dataset);
    run.reading = datasetReading(
        o.formats, std::any_of(sequences.begin(), sequences.end(), [](const CompareSequence& s) {
          return !s.groundTruthFormat.empty() || !s.systemFormat.empty();
        }));
    inputs.push_back(o.dataset);
    for (const CompareSequence& s : sequences) {
      inputs.insert(inputs.end(), {s.groundTruth, s.systemA, s.systemB});
    }
    refuseOutputNamingInput(o.output, inputs);
    result = comparePrecisionDataset(o.dataset, sequences, run);
  } else {
    inputs.insert(inputs.begin(), {o.groundTruth, o.systemA, o.systemB});
    refuseOutputNamingInput(o.output, inputs);
    run.reading = datasetReading(o.formats, false);
    result = comparePrecisionFiles(o.groundTruth, o.systemA, o.systemB, run);
  }
  for (const std::string& warning : result.warnings) {
    std::fprintf(stderr, "warning: %s\n", warning.c_str());
  }
  std::size_t failed = 0;
  for (const PrecisionCompareSequence& s : result.sequences) {
    if (!s.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s.error.c_str());
  }
  switch (o.format) {
    case Format::kText:
      writeOutput(o.output, renderPrecisionCompareText(result));
      break;
    case Format::kCsv:
      writeOutput(o.output, renderPrecisionCompareCsv(result));
      break;
    case Format::kJson:
      writeOutput(o.output, jsonText(precisionCompareJson(result)));
      break;
  }
  if (failed > 0) throw sequencesFailed("talmira compare", failed, result.sequences.size());
}

// The resamples of --track when --resamples is not given: each resample
// combines both trackers' sequences again.
constexpr uint64_t kTrackResamples = 1000;

// --track: HOTA, MOTA and IDF1 of both trackers, the bootstrap over sequences.
void runTrackCompare(const CompareOptions& o, bool dataset) {
  const auto refuse = [](const std::string& what) {
    throw CommandError{kExitUsage, "talmira compare: " + what};
  };
  if (o.best || o.block > 0 || !o.report.empty() || o.perSystem) {
    refuse(std::string(o.best        ? "--best"
                       : o.block > 0 ? "--block"
                       : o.perSystem ? "--c-a and --c-b"
                                     : "--report") +
           " with --track is not available");
  }
  if (!o.formats.rules.rules().isDefault()) {
    refuse(
        "the scoring rules (--rules, --overlap, ...) are the counts'; --track follows the "
        "tracking benchmarks' evaluator, whose preprocessing --track-rules chooses");
  }
  const FormatOptionsGiven& f = o.formats;
  for (const auto& [given, name] :
       {std::pair{!f.classes.empty(), "--classes"}, std::pair{f.unknown != "error", "--unknown"},
        std::pair{!f.imageSize.empty(), "--image-size"}, std::pair{!f.names.empty(), "--names"},
        std::pair{!f.ignore.empty(), "--ignore"},
        std::pair{!f.imagesFrom.empty(), "--images-from"}}) {
    if (given) refuse(std::string(name) + " is not for tracks (--track)");
  }
  TrackCompareRun run;
  if (o.groundTruthFormatGiven) run.settings.groundTruthFormat = f.groundTruthFormat;
  if (o.systemFormatGiven) run.settings.systemFormat = f.systemFormat;
  for (const std::string* format : {&run.settings.groundTruthFormat, &run.settings.systemFormat}) {
    if (!isTrackFormat(*format)) {
      refuse("--track reads " + trackFormatNames() + " files, not " + *format);
    }
  }
  run.settings.ids = o.ids;
  run.settings.rules = o.trackRules;
  if (o.confidenceGiven) run.settings.confidence = o.confidence;
  {
    TrackRequest request;
    request.groundTruthFormat = run.settings.groundTruthFormat;
    request.systemFormat = run.settings.systemFormat;
    request.ids = run.settings.ids;
    request.rules = run.settings.rules;
    try {
      checkTrackRequest(request);
    } catch (CommandError& e) {
      e.message = "talmira compare: " + e.message;
      throw;
    }
  }
  run.bootstrap.resamples = o.resamplesGiven ? o.resamples : kTrackResamples;
  run.bootstrap.seed = o.seed;
  run.bootstrap.level = o.level;
  run.jobs = std::max(1u, o.jobs);
  run.progress = !o.quiet && isatty(fileno(stderr)) != 0;
  TrackCompareResult result;
  std::vector<std::string> inputs;
  if (dataset) {
    std::string bytes;
    std::vector<CompareSequence> sequences;
    for (ListedSequence& listed :
         readSequenceList(o.dataset, {"sequence", "groundtruth", "system_a", "system_b"}, bytes,
                          kFormatColumns)) {
      checkListedFormats(listed, o.dataset, true);
      CompareSequence s;
      s.name = std::move(listed.name);
      s.groundTruth = std::move(listed.paths[0]);
      s.systemA = std::move(listed.paths[1]);
      s.systemB = std::move(listed.paths[2]);
      if (!listed.optional.empty()) {
        s.groundTruthFormat = std::move(listed.optional[0]);
        s.systemFormat = std::move(listed.optional[1]);
      }
      sequences.push_back(std::move(s));
    }
    inputs.push_back(o.dataset);
    for (const CompareSequence& s : sequences) {
      inputs.insert(inputs.end(), {s.groundTruth, s.systemA, s.systemB});
    }
    refuseOutputNamingInput(o.output, inputs);
    result = compareTrackDataset(o.dataset, sequences, run);
  } else {
    inputs = {o.groundTruth, o.systemA, o.systemB};
    refuseOutputNamingInput(o.output, inputs);
    result = compareTrackFiles(o.groundTruth, o.systemA, o.systemB, run);
  }
  for (const std::string& warning : result.warnings) {
    std::fprintf(stderr, "warning: %s\n", warning.c_str());
  }
  std::size_t failed = 0;
  for (const TrackCompareSequence& s : result.sequences) {
    if (!s.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s.error.c_str());
  }
  switch (o.format) {
    case Format::kText:
      writeOutput(o.output, renderTrackCompareText(result));
      break;
    case Format::kCsv:
      writeOutput(o.output, renderTrackCompareCsv(result));
      break;
    case Format::kJson:
      writeOutput(o.output, jsonText(trackCompareJson(result)));
      break;
  }
  if (failed > 0) throw sequencesFailed("talmira compare", failed, result.sequences.size());
}

}  // namespace

BenchmarkComparison compareBenchmark(const FormatOptionsGiven& formats,
                                     const BenchmarkCompareRun& run) {
  BenchmarkComparison out;
  CompareResult& result = out.result;
  CompareSettings& settings = result.settings;
  settings.confidenceA = run.confidenceA.value_or(0.0f);
  settings.confidenceB = run.confidenceB.value_or(0.0f);
  settings.bootstrap = run.bootstrap;
  settings.bootstrap.threads = std::max(1u, run.jobs);
  const auto pairsOf = [&](const std::string& groundTruth, const std::string& a,
                           const std::string& b, const FormatOptionsGiven& given) {
    return std::pair{
        readBenchmarkPair(benchmarkRequest(given, groundTruth, a, run.confidenceA, run.length)),
        readBenchmarkPair(benchmarkRequest(given, groundTruth, b, run.confidenceB, run.length))};
  };
  if (!run.dataset.empty()) {
    settings.list = run.dataset;
    result.sequences = run.sequences;
    const unsigned jobs = std::max(1u, run.jobs);
    forEachSequence(
        result.sequences, jobs, run.progress, std::min<std::size_t>(jobs, result.sequences.size()),
        [&](CompareSequence& s, unsigned, std::size_t) {
          FormatOptionsGiven given = formats;
          if (!s.groundTruthFormat.empty()) given.groundTruthFormat = s.groundTruthFormat;
          if (!s.systemFormat.empty()) given.systemFormat = s.systemFormat;
          countsAsBenchmark(given, "compare");  // a line's formats: MOT files too
          const auto [a, b] = pairsOf(s.groundTruth, s.systemA, s.systemB, given);
          // The whole sequence in one block: it is one unit.
          takeCounts(s, benchmarkPairedCounts(a, b, std::max<uint32_t>(1, a.groundTruth.length)));
        });
    resampleSequences(result);
    out.rulesText = "Rules: mot, counted as the benchmark's evaluator counts (CLEAR at IoU 0.5)\n";
    out.benchmark = Json{{"rules", "mot"}};
    return out;
  }
  settings.groundTruth = run.groundTruth;
  settings.systemA = run.systemA;
  settings.systemB = run.systemB;
  const auto [a, b] = pairsOf(run.groundTruth, run.systemA, run.systemB, formats);
  const PairedCounts counts = benchmarkPairedCounts(a, b, run.block);
  settings.block = counts.block;
  settings.frames = counts.frames;
  result.units = counts.units.size();
  result.classSet = counts.classSet;
  const std::size_t rows = result.classSet->rows();
  result.totals = sumUnits(counts.units, rows);
  result.objects = counts.objects;
  result.intervals = pairedBootstrap(counts.units, rows, settings.bootstrap);
  out.rulesText = benchmarkRulesLine(a);
  out.benchmark = benchmarkJson(a);
  out.benchmark.erase("identities");
  out.benchmark.erase("confidence");
  out.benchmark["identities_a"] = a.systemIdentities;
  out.benchmark["identities_b"] = b.systemIdentities;
  return out;
}

void refuseInBenchmarkCompare(bool best, bool report, bool dataset, bool block, bool length) {
  if (best || report) {
    throw CommandError{kExitUsage, std::string("talmira compare: ") +
                                       (best ? "--best" : "--report") +
                                       " under --rules mot on MOT files is not available"};
  }
  if (dataset && (block || length)) {
    throw CommandError{kExitUsage,
                       std::string("talmira compare: ") + (block ? "--block" : "--length") +
                           " is for one sequence; with --dataset the units are the sequences" +
                           (block ? "" : ", each of the length its seqinfo.ini gives")};
  }
}

namespace {

// --rules mot on MOT files: both detectors' (or trackers') CLEAR counts,
// frame by frame, resampled as the counts of this format are.
void runBenchmarkCompare(const CompareOptions& o, bool dataset) {
  refuseInBenchmarkCompare(o.best, !o.report.empty(), dataset, o.block > 0, o.length > 0);
  const auto given = [&](float value) {
    return o.perSystem || o.confidenceGiven ? std::optional<float>(value) : std::nullopt;
  };
  BenchmarkCompareRun run;
  run.confidenceA = given(o.perSystem ? o.confidenceA : o.confidence);
  run.confidenceB = given(o.perSystem ? o.confidenceB : o.confidence);
  run.bootstrap.resamples = o.resamples;
  run.bootstrap.seed = o.seed;
  run.bootstrap.level = o.level;
  run.block = o.block;
  run.length = o.length;
  run.jobs = std::max(1u, o.jobs);
  run.progress = !o.quiet && isatty(fileno(stderr)) != 0;
  if (dataset) {
    run.dataset = o.dataset;
    run.sequences = readCompareList(o.dataset);
    std::vector<std::string> inputs = {o.dataset};
    for (const CompareSequence& s : run.sequences) {
      inputs.insert(inputs.end(), {s.groundTruth, s.systemA, s.systemB});
    }
    refuseOutputNamingInput(o.output, inputs);
  } else {
    refuseOutputNamingInput(o.output, {o.groundTruth, o.systemA, o.systemB});
    run.groundTruth = o.groundTruth;
    run.systemA = o.systemA;
    run.systemB = o.systemB;
  }
  const BenchmarkComparison compared = compareBenchmark(o.formats, run);
  const CompareResult& result = compared.result;
  std::size_t failed = 0;
  for (const CompareSequence& s : result.sequences) {
    if (!s.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s.error.c_str());
  }
  switch (o.format) {
    case Format::kText:
      writeOutput(o.output, renderCompareText(result) + compared.rulesText);
      break;
    case Format::kCsv:
      writeOutput(o.output, renderCompareCsv(result));
      break;
    case Format::kJson:
      writeOutput(o.output, jsonText(benchmarkCompareJson(compared, o.formats)));
      break;
  }
  if (failed > 0) throw sequencesFailed("talmira compare", failed, result.sequences.size());
}

// --stability: both detectors' errors pooled over the tracks of the
// sequences, the sequences resampled (stability_dataset.h runs it).
StabilityCompareRun stabilityRunOf(const CompareOptions& o) {
  if (o.best || o.block > 0 || !o.report.empty() || o.perSystem) {
    throw CommandError{kExitUsage, std::string("talmira compare: ") +
                                       (o.best        ? "--best"
                                        : o.block > 0 ? "--block"
                                        : o.perSystem ? "--c-a and --c-b"
                                                      : "--report") +
                                       " with --stability is not available"};
  }
  StabilityCompareRun run;
  run.groundTruth = o.groundTruth;
  run.systemA = o.systemA;
  run.systemB = o.systemB;
  run.dataset = o.dataset;
  run.settings = stabilitySettingsOf(o.formats, o.ids, o.confidence, o.confidenceGiven);
  run.bootstrap.resamples = o.resamples;
  run.bootstrap.seed = o.seed;
  run.bootstrap.level = o.level;
  run.jobs = std::max(1u, o.jobs);
  run.progress = !o.quiet && isatty(fileno(stderr)) != 0;
  run.format = o.format;
  run.output = o.output;
  return run;
}

void runCompare(const CompareOptions& o) {
  if (!o.ids.empty() && !o.track && !o.stability) {
    throw CommandError{kExitUsage, "talmira compare: --ids is for --track and --stability"};
  }
  const bool dataset = !o.dataset.empty();
  const bool positionals = !o.groundTruth.empty() || !o.systemA.empty() || !o.systemB.empty();
  if (dataset && positionals) {
    throw CommandError{kExitUsage,
                       "talmira compare: give GT SYS_A SYS_B, or --dataset LIST, not both"};
  }
  if (!dataset && (o.groundTruth.empty() || o.systemA.empty() || o.systemB.empty())) {
    throw CommandError{kExitUsage,
                       "talmira compare: give GT SYS_A SYS_B (one sequence), or --dataset LIST"};
  }
  if (o.length > 0 && (o.ap || o.track || !countsAsBenchmark(o.formats, "compare"))) {
    throw CommandError{kExitUsage, "talmira compare: --length goes with --rules mot on MOT files"};
  }
  if (o.ap) {
    runPrecisionCompare(o, dataset);
    return;
  }
  if (o.track) {
    runTrackCompare(o, dataset);
    return;
  }
  if (o.stability) {
    runStabilityCompare(stabilityRunOf(o));
    return;
  }
  if (countsAsBenchmark(o.formats, "compare")) {
    runBenchmarkCompare(o, dataset);
    return;
  }
  if (dataset && o.block > 0) {
    throw CommandError{kExitUsage,
                       "talmira compare: --block is for one sequence; with --dataset the units "
                       "are the sequences"};
  }
  CompareRun run;
  run.confidenceA = o.perSystem ? o.confidenceA : o.confidence;
  run.confidenceB = o.perSystem ? o.confidenceB : o.confidence;
  run.best = o.best;
  run.bootstrap.resamples = o.resamples;
  run.bootstrap.seed = o.seed;
  run.bootstrap.level = o.level;
  run.block = o.block;
  run.jobs = std::max(1u, o.jobs);
  run.progress = !o.quiet && isatty(fileno(stderr)) != 0;
  std::size_t failed = 0;
  CompareResult result;
  if (dataset) {
    std::vector<CompareSequence> sequences = readCompareList(o.dataset);
    run.reading = datasetReading(
        o.formats, std::any_of(sequences.begin(), sequences.end(), [](const CompareSequence& s) {
          return !s.groundTruthFormat.empty() || !s.systemFormat.empty();
        }));
    std::vector<std::string> inputs = auxiliaryInputs(o.formats);
    inputs.push_back(o.dataset);
    for (const CompareSequence& s : sequences) {
      inputs.insert(inputs.end(), {s.groundTruth, s.systemA, s.systemB});
    }
    refuseOutputNamingInput(o.output, inputs);
    refuseOutputNamingInput(o.report, inputs);
    result = compareDataset(o.dataset, std::move(sequences), run);
    for (const CompareSequence& s : result.sequences) {
      if (!s.failed()) continue;
      ++failed;
      std::fprintf(stderr, "%s\n", s.error.c_str());
    }
  } else {
    std::vector<std::string> inputs = auxiliaryInputs(o.formats);
    inputs.insert(inputs.begin(), {o.groundTruth, o.systemA, o.systemB});
    for (const std::string* output : {&o.output, &o.report})
      refuseOutputNamingInput(*output, inputs);
    run.reading = datasetReading(o.formats, false);
    result = compareFiles(o.groundTruth, o.systemA, o.systemB, run);
  }
  if (!o.report.empty()) writeOutput(o.report, renderComparePage(result, commandLineOf(o)));
  const ScoringRules rules = o.formats.rules.rules();
  switch (o.format) {
    case Format::kText:
      writeOutput(o.output, renderCompareText(result) + rulesLine(rules));
      break;
    case Format::kCsv:
      writeOutput(o.output, renderCompareCsv(result));
      break;
    case Format::kJson: {
      Json json = compareJson(result);
      stateRules(json, rules);
      writeOutput(o.output, jsonText(json));
      break;
    }
  }
  if (failed > 0) throw sequencesFailed("talmira compare", failed, result.sequences.size());
}

}  // namespace

void addCompareCommand(CLI::App& app) {
  auto options = std::make_shared<CompareOptions>();
  options->formats.ownClasses = true;  // other datasets' rows as they name them
  CLI::App* command = app.add_subcommand(
      "compare",
      "Is detector B better than detector A? Both on the same ground truth, with paired-bootstrap "
      "intervals on the difference");
  command->add_option("GT", options->groundTruth, "ground-truth annotation file");
  command->add_option("SYS_A", options->systemA, "detector A's output");
  command->add_option("SYS_B", options->systemB, "detector B's output, in A's format");
  command
      ->add_option("--dataset", options->dataset,
                   "instead of GT SYS_A SYS_B: a CSV file with the header "
                   "sequence,groundtruth,system_a,system_b and one sequence a line (paths "
                   "relative to its folder); each sequence is one unit. With the header "
                   "sequence,groundtruth,system_a,system_b,gt_format,sys_format each line may "
                   "name the formats of its files (empty: --gt-format and --sys-format)")
      ->type_name("LIST");
  CLI::Option* confidence = addConfidenceOption(
      *command, options->confidence,
      "smallest confidence a box needs to be taken, in all three files (0 to 1)");
  CLI::Option* confidenceA =
      command
          ->add_option_function<std::string>(
              "--c-a",
              [options](const std::string& text) {
                options->confidenceA = parseFraction(text, "--c-a");
                options->perSystem = true;
              },
              "A's threshold (with --c-b), in the ground truth and A's output")
          ->type_name("CA");
  CLI::Option* confidenceB =
      command
          ->add_option_function<std::string>(
              "--c-b",
              [options](const std::string& text) {
                options->confidenceB = parseFraction(text, "--c-b");
                options->perSystem = true;
              },
              "B's threshold (with --c-a), in the ground truth and B's output")
          ->type_name("CB");
  confidenceA->needs(confidenceB)->excludes(confidence);
  confidenceB->needs(confidenceA)->excludes(confidence);
  command
      ->add_flag("--best", options->best,
                 "each detector at its own best threshold of All (the exact sweep's, pooled over "
                 "the dataset); chosen on the data compared, it flatters both")
      ->excludes(confidence)
      ->excludes(confidenceA)
      ->excludes(confidenceB);
  command
      ->add_option("--resamples", options->resamples,
                   "bootstrap resamples (default 10000; 1000 with --ap or --track)")
      ->type_name("R")
      ->check(CLI::Range(uint64_t{1}, kMaxResamples));
  command
      ->add_option_function<std::string>(
          "--seed", [options](const std::string& text) { options->seed = parseSeed(text); },
          "the SplitMix64 generator's starting state, a whole number from 0 to 2^64-1 (default "
          "1)")
      ->type_name("S");
  command
      ->add_option_function<std::string>(
          "--level",
          [options](const std::string& text) {
            options->level = parseLevel(text);
            options->levelGiven = text;
          },
          "the intervals' level, between 0 and 1 (default 0.95)")
      ->type_name("L");
  command
      ->add_option("--block", options->block,
                   "one sequence: ground-truth frames per unit (default: the cube root of the "
                   "frame count, rounded)")
      ->type_name("F")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 40));
  addFormatOption(*command, options->format);
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command
      ->add_option("--report", options->report,
                   "also write a self-contained HTML page: each class's difference with its "
                   "interval, the sequences' differences, the objects found by one detector only")
      ->type_name("FILE.html");
  addJobsOption(*command, options->jobs,
                "threads (with --dataset: sequences at once); the result does not depend on it");
  command->add_flag("-q,--quiet", options->quiet,
                    "with --dataset: no progress line on standard error");
  CLI::Option* ap = command->add_flag(
      "--ap", options->ap,
      "instead of NMODTA: average precision as `talmira ap` computes it, mAP (IoU 0.50:0.95) "
      "and AP50 of each detector, the units (images, or with --dataset the sequences) "
      "resampled and both figures computed again from each resample's detections and ground "
      "truth; -c leaves out detections below it, as `talmira ap -c` does");
  for (CLI::Option* option : addPrecisionOptions(*command, options->apOptions)) option->needs(ap);
  CLI::Option* track = command->add_flag(
      "--track", options->track,
      "instead of NMODTA: two trackers' outputs (SYS_A, SYS_B, or the LIST's system_a and "
      "system_b) by HOTA, MOTA and IDF1 as `talmira track` computes them; with --dataset each "
      "tracker's sequences combined as `talmira batch --track` combines them, and each "
      "resample combines the drawn sequences' sums again. --gt-format and --sys-format name "
      "track formats (default mot); -c leaves out tracker boxes below it");
  track->excludes(ap);
  command
      ->add_option(
          "--track-rules", options->trackRules,
          "with --track: whose evaluation, mot (MOT16/17), mot20, mot15, kitti or plain; by "
          "default each ground truth's layout decides, as in `talmira track`")
      ->type_name("NAME")
      ->check([](const std::string& text) {
        return tracking::benchmarkNamed(text)
                   ? std::string()
                   : "no track rules named " + text +
                         " (mot, mot16, mot17, mot20, mot15, kitti, plain)";
      })
      ->needs(track);
  command
      ->add_flag("--stability", options->stability,
                 "instead of NMODTA: both detectors' stability errors (E_F, E_C, E_R over each "
                 "ground-truth track, as `talmira stability` gives them), pooled over every "
                 "track used of the sequences; each resample pools the drawn sequences' sums "
                 "again. Lower is better; --rules mot pairs boxes as CLEAR does")
      ->excludes(ap)
      ->excludes(track);
  command
      ->add_option("--ids", options->ids,
                   "with --track or --stability: in files of this format, column 14's text is "
                   "the identity")
      ->type_name("text")
      ->check(CLI::IsMember({"text"}));
  addFormatOptions(*command, options->formats);
  addRulesOptions(*command, options->formats.rules);
  addBenchmarkLengthOption(*command, options->length);
  command->footer(
      "Units: with --dataset the sequences; for one sequence, runs of F consecutive ground-truth "
      "frames. A resample draws as many units as there are, with replacement (SplitMix64 from "
      "--seed; a draw among n is the high 64 bits of the 128-bit product of the generator's "
      "value and n), the same draws for every class and both detectors; per class it sums each "
      "detector's GT, FN and FP and takes NMODTA_B - NMODTA_A in double precision. The interval "
      "runs from the (k+1)-th smallest to the (k+1)-th largest of these differences, k = "
      "floor(R (1 - L) / 2); B better and A better are the shares of resamples above and below "
      "0.\n"
      "Examples:\n"
      "  talmira compare groundtruth.csv old.csv new.csv\n"
      "  talmira compare --dataset compare.csv -c 0.4 --format csv -o differences.csv\n"
      "  talmira compare --dataset compare.csv --best --report compare.html\n"
      "  talmira compare instances.json results_a.json results_b.json --ap\n"
      "  talmira compare --dataset trackers.csv --track --format csv\n"
      "  talmira compare --dataset trackers.csv --stability --gt-format mot --sys-format mot\n"
      "\n"
      "--rules mot on MOT files (--gt-format and --sys-format mot or mot15) counts each\n"
      "detector as talmira score --rules mot does (CLEAR's counts, as the benchmark's\n"
      "evaluator makes them), frame by frame, and resamples those; -c, --c-a and --c-b\n"
      "leave out the boxes below them (without, every box counts); --length N, else\n"
      "seqinfo.ini beside the ground truth, sets the sequence's frames; --best and --report\n"
      "are not available then.\n");
  command->callback([options, command] {
    options->resamplesGiven = command->count("--resamples") > 0;
    options->confidenceGiven = command->count("--confidence") > 0;
    options->groundTruthFormatGiven = command->count("--gt-format") > 0;
    options->systemFormatGiven = command->count("--sys-format") > 0;
    runCompare(*options);
  });
}

}  // namespace talmira
