#include "talmira/benchmark_counts.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <iostream>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "annotation/formats.h"
#include "scoring/tracking/track_preparation.h"
#include "talmira/writers/sweep_report.h"

namespace talmira {

namespace {

[[noreturn]] void usage(std::string_view command, const std::string& what) {
  throw CommandError{kExitUsage, "talmira " + std::string(command) + ": " + what};
}

bool isMotFile(const std::string& format) {
  const std::optional<AnnotationFormat> named = formatNamed(format);
  return named && (*named == AnnotationFormat::kMot || *named == AnnotationFormat::kMot15);
}

// Each frame's numbers of ground-truth boxes, tracker boxes and matches, as
// evaluateTracks() tells its matches.
class FrameTally : public tracking::ClearObserver {
 public:
  explicit FrameTally(BenchmarkCounts& counts, const tracking::PreparedTracks& prepared)
      : counts_(counts), prepared_(prepared) {}

  void matched(uint32_t frame, std::span<const tracking::ClearMatch> matches) override {
    // Frames come rising, each among the prepared ones.
    while (prepared_.frameNumbers[next_] < frame) ++next_;
    counts_.matches[next_] = static_cast<int64_t>(matches.size());
    const uint64_t first = prepared_.groundTruthStart[next_];
    for (const tracking::ClearMatch& match : matches) {
      counts_.truthMatched[first + match.truthIndex] = 1;
    }
  }

 private:
  BenchmarkCounts& counts_;
  const tracking::PreparedTracks& prepared_;
  std::size_t next_ = 0;  // the prepared frame last told, or before it
};

// Runs work(k) for k in [0, n) on up to `jobs` threads; the first exception
// is thrown again once every thread is done.
void forEachIndex(std::size_t n, unsigned jobs, const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failureLock;
  const auto run = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < n;) {
      try {
        work(k);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(failureLock);
        if (!failure) failure = std::current_exception();
        next = n;
      }
    }
  };
  {
    std::vector<std::jthread> threads;
    const std::size_t extra = std::min<std::size_t>(std::max(1u, jobs), n) - (n > 0 ? 1 : 0);
    for (std::size_t t = 0; t < extra; ++t) threads.emplace_back(run);
    run();
  }
  if (failure) std::rethrow_exception(failure);
}

// The thresholds of an exact curve: 1, the distinct confidences in (0, 1)
// of `boxes`, 0, descending.
std::vector<float> thresholdsOf(std::span<const tracking::TrackBox> boxes) {
  std::vector<float> thresholds = {1.0f, 0.0f};
  for (const tracking::TrackBox& box : boxes) {
    if (box.confidence > 0.0f && box.confidence < 1.0f) thresholds.push_back(box.confidence);
  }
  std::sort(thresholds.begin(), thresholds.end(), std::greater<>());
  thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
  return thresholds;
}

// A sequence of one frame: frame `frame` of `sequence`.
tracking::TrackSequence frameOf(const tracking::TrackSequence& sequence, uint32_t frame) {
  tracking::TrackSequence one;
  one.source = sequence.source;
  one.length = 1;
  one.boxes.assign(sequence.boxes.begin() + static_cast<std::ptrdiff_t>(sequence.frameBegin(frame)),
                   sequence.boxes.begin() + static_cast<std::ptrdiff_t>(sequence.frameEnd(frame)));
  if (!one.boxes.empty()) one.frames = {1};
  one.frameStart = {0};
  if (!one.boxes.empty()) one.frameStart.push_back(one.boxes.size());
  one.labelNames = sequence.labelNames;
  return one;
}

struct Clear {
  int64_t tp = 0;
  int64_t fn = 0;
  int64_t fp = 0;
};

Clear clearOf(const tracking::TrackSums& sums) {
  return {sums.clearTp, sums.clearFn, sums.clearFp};
}

CurvePoint pointOf(float threshold, const Clear& c) {
  return {threshold, c.tp + c.fn, c.tp + c.fp, c.fn, c.fp};
}

int32_t labelOf(const TrackPair& pair) { return pair.classes.front().second; }

}  // namespace

bool countsAsBenchmark(const FormatOptionsGiven& given, std::string_view command) {
  const RulesGiven& rules = given.rules;
  if (!rules.named || rules.name != "mot") return false;
  const bool truth = isMotFile(given.groundTruthFormat);
  const bool system = isMotFile(given.systemFormat);
  if (!truth && !system) return false;  // this format's matching under the set's values
  if (truth != system) {
    usage(command,
          "--rules mot counts MOT files as the benchmark does, which needs both in a MOT "
          "layout (--gt-format and --sys-format mot or mot15); for this format's matching "
          "under its values give --overlap iou --min-overlap 0.5 --min-side 0");
  }
  if (rules.valueGiven()) {
    usage(command,
          "--rules mot counts MOT files as the benchmark does, at IoU 0.5 with no size test: "
          "its values are not to be changed; for this format's matching under other values "
          "give them without --rules");
  }
  if (!given.classes.empty() || given.unknown != "error") {
    usage(command, std::string(given.classes.empty() ? "--unknown" : "--classes") +
                       " does not go with --rules mot on MOT files: the benchmark evaluates its "
                       "pedestrians");
  }
  return true;
}

TrackRequest benchmarkRequest(const FormatOptionsGiven& given, const std::string& groundTruth,
                              const std::string& system, std::optional<float> confidence,
                              uint32_t length) {
  TrackRequest request;
  request.groundTruth = groundTruth;
  request.system = system;
  // mot: MOT15 or MOT16/17/20, recognised from the ground truth's columns,
  // whose layout then chooses the benchmark's rules.
  request.groundTruthFormat = given.groundTruthFormat;
  request.systemFormat = given.systemFormat;
  request.confidence = confidence;
  request.length = length;
  request.identityPerBox = true;
  return request;
}

TrackPair readBenchmarkPair(const TrackRequest& request) {
  std::vector<std::string> warnings;
  TrackPair pair = readTrackPair(request, &warnings);
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
  return pair;
}

namespace {

FormatOptionsGiven checkedFormats(const FormatOptionsGiven& given, bool alone) {
  FormatOptionsGiven formats = given;
  if (alone) formats.systemFormat = formats.groundTruthFormat;
  return formats;
}

}  // namespace

bool checksAsBenchmark(const FormatOptionsGiven& given, bool alone) {
  try {
    return countsAsBenchmark(checkedFormats(given, alone), "check");
  } catch (const CommandError&) {
    return false;
  }
}

void readAsBenchmark(const FormatOptionsGiven& given, const std::string& groundTruth,
                     const std::string& system, uint32_t length) {
  const bool alone = system.empty();
  if (!checksAsBenchmark(given, alone)) return;
  std::vector<std::string> warnings;
  const TrackPair pair =
      readTrackPair(benchmarkRequest(checkedFormats(given, alone), groundTruth,
                                     alone ? groundTruth : system, std::nullopt, length),
                    &warnings);
  countBenchmark(pair);  // what the benchmark refuses frame by frame
}

CLI::Option* addBenchmarkLengthOption(CLI::App& command, uint32_t& length) {
  return command
      .add_option("--length", length,
                  "with --rules mot on MOT files: the frames in the sequence (else seqinfo.ini "
                  "beside the ground truth, else the last frame of either file)")
      ->type_name("N")
      ->check(CLI::PositiveNumber)
      ->group("Scoring rules");
}

void refuseLengthUnlessBenchmark(const CLI::App& command) {
  if (command.count("--length") > 0) {
    usage(command.get_name(), "--length goes with --rules mot on MOT files");
  }
}

void refuseUnderBenchmark(std::string_view command, std::string_view option) {
  usage(command, std::string(option) +
                     " has no meaning under --rules mot on MOT files, which follow CLEAR's "
                     "matching as --track does");
}

std::optional<TrackRequest> benchmarkTrackRequest(const CLI::App& command,
                                                  const FormatOptionsGiven& formats, bool track,
                                                  const std::string& groundTruth,
                                                  const std::string& system, float confidence,
                                                  uint32_t length) {
  if (track || !countsAsBenchmark(formats, command.get_name())) return std::nullopt;
  for (const char* option : {"--near", "--track-rules", "--ids"}) {
    if (command.count(option) > 0) refuseUnderBenchmark(command.get_name(), option);
  }
  return benchmarkRequest(
      formats, groundTruth, system,
      command.count("--confidence") > 0 ? std::optional<float>(confidence) : std::nullopt, length);
}

BenchmarkCounts countBenchmark(const TrackPair& pair,
                               const std::optional<tracking::TrackRules>& rules) {
  const auto& [name, label] = pair.classes.front();
  const tracking::PreparedTracks prepared = prepareClass(pair, label, rules.value_or(pair.rules));
  BenchmarkCounts counts;
  counts.className = name;
  counts.frames = pair.groundTruth.length;
  const std::size_t frameCount = prepared.frameNumbers.size();
  counts.frameNumbers = prepared.frameNumbers;
  counts.truths.resize(frameCount);
  counts.boxes.resize(frameCount);
  counts.matches.assign(frameCount, 0);
  counts.truthMatched.assign(prepared.groundTruth.size(), 0);
  for (std::size_t k = 0; k < frameCount; ++k) {
    counts.truths[k] =
        static_cast<int64_t>(prepared.groundTruthStart[k + 1] - prepared.groundTruthStart[k]);
    counts.boxes[k] = static_cast<int64_t>(prepared.trackerStart[k + 1] - prepared.trackerStart[k]);
  }
  FrameTally tally(counts, prepared);
  counts.sums = tracking::evaluateTracks(prepared, &tally);
  return counts;
}

ClassSetPtr benchmarkClasses(const TrackPair& pair) {
  return ClassSet::of({pair.classes.front().first});
}

std::vector<ClassCounts> benchmarkClassCounts(const BenchmarkCounts& counts) {
  const tracking::TrackSums& s = counts.sums;
  const ClassCounts row{s.clearTp + s.clearFn, s.clearTp + s.clearFp, s.clearFn, s.clearFp,
                        counts.frames};
  return {row, row};
}

SweepCurves benchmarkCurves(const TrackPair& pair, unsigned jobs) {
  const std::vector<float> thresholds = thresholdsOf(pair.system.boxes);
  std::vector<Clear> at(thresholds.size());
  const int32_t label = labelOf(pair);
  if (pair.systemIdentities) {
    // A track's match in one frame weighs on the next: CLEAR runs again at
    // every threshold.
    forEachIndex(thresholds.size(), jobs, [&](std::size_t k) {
      tracking::TrackRules rules = pair.rules;
      rules.minConfidence = thresholds[k];
      at[k] = clearOf(tracking::evaluateTracks(prepareClass(pair, label, rules)));
    });
  } else {
    // No box continues another's track, so a frame's counts depend on its
    // own boxes alone, and change only where the threshold passes one of
    // their confidences: each frame is counted at those, and its changes
    // are added into the points from there down.
    const uint32_t frames = pair.groundTruth.length;
    std::vector<std::vector<std::pair<std::size_t, Clear>>> changes(frames);
    forEachIndex(frames, jobs, [&](std::size_t f) {
      const auto frame = static_cast<uint32_t>(f + 1);
      TrackPair one;
      one.groundTruth = frameOf(pair.groundTruth, frame);
      one.system = frameOf(pair.system, frame);
      one.rules = pair.rules;
      const std::vector<float> own = thresholdsOf(one.system.boxes);
      Clear before;
      std::size_t k = 0;
      for (const float threshold : own) {
        tracking::TrackRules rules = pair.rules;
        rules.minConfidence = threshold;
        const Clear now = clearOf(tracking::evaluateTracks(prepareClass(one, label, rules)));
        while (thresholds[k] != threshold) ++k;
        changes[f].emplace_back(k,
                                Clear{now.tp - before.tp, now.fn - before.fn, now.fp - before.fp});
        before = now;
      }
    });
    std::vector<Clear> delta(thresholds.size());
    for (const auto& frame : changes) {
      for (const auto& [k, change] : frame) {
        delta[k].tp += change.tp;
        delta[k].fn += change.fn;
        delta[k].fp += change.fp;
      }
    }
    Clear running;
    for (std::size_t k = 0; k < thresholds.size(); ++k) {
      running.tp += delta[k].tp;
      running.fn += delta[k].fn;
      running.fp += delta[k].fp;
      at[k] = running;
    }
  }
  ClassCurve curve;
  curve.frames = pair.groundTruth.length;
  for (std::size_t k = 0; k < thresholds.size(); ++k) {
    curve.points.push_back(pointOf(thresholds[k], at[k]));
  }
  return {curve, curve};
}

PairedCounts benchmarkPairedCounts(const TrackPair& a, const TrackPair& b, std::size_t block) {
  const BenchmarkCounts countsA = countBenchmark(a);
  const BenchmarkCounts countsB = countBenchmark(b);
  PairedCounts paired;
  paired.classSet = benchmarkClasses(a);
  paired.frames = a.groundTruth.length;
  paired.block = block > 0 ? block : defaultBlockSize(paired.frames);
  const std::size_t frames = paired.frames;
  std::size_t nextA = 0;
  std::size_t nextB = 0;
  for (std::size_t start = 0; start < frames; start += paired.block) {
    // Frames start + 1 .. start + block, numbered from 1.
    const std::size_t last = std::min(frames, start + paired.block);
    PairedClassCounts unit;
    for (; nextA < countsA.frameNumbers.size() && countsA.frameNumbers[nextA] <= last; ++nextA) {
      unit.gtA += countsA.truths[nextA];
      unit.fnA += countsA.truths[nextA] - countsA.matches[nextA];
      unit.fpA += countsA.boxes[nextA] - countsA.matches[nextA];
    }
    for (; nextB < countsB.frameNumbers.size() && countsB.frameNumbers[nextB] <= last; ++nextB) {
      unit.gtB += countsB.truths[nextB];
      unit.fnB += countsB.truths[nextB] - countsB.matches[nextB];
      unit.fpB += countsB.boxes[nextB] - countsB.matches[nextB];
    }
    UnitCounts counts;
    counts.append(0, unit);
    counts.append(1, unit);
    paired.units.push_back(std::move(counts));
  }
  // The ground truth evaluated is the same for both: the preprocessing
  // removes tracker boxes only.
  ObjectAgreement agreement;
  for (std::size_t k = 0; k < countsA.truthMatched.size(); ++k) {
    const bool byA = countsA.truthMatched[k] != 0;
    const bool byB = countsB.truthMatched[k] != 0;
    ++(byA ? (byB ? agreement.both : agreement.aOnly)
           : (byB ? agreement.bOnly : agreement.neither));
  }
  paired.objects = {agreement, agreement};
  return paired;
}

bool batchCountsAsBenchmark(const FormatOptionsGiven& given, bool explain, bool view) {
  if (!countsAsBenchmark(given, "batch")) return false;
  if (explain || view) {
    usage("batch", std::string(explain ? "--explain" : "--view") +
                       " under --rules mot on MOT files is not available: it reads the files "
                       "as detections of this format");
  }
  return true;
}

void scoreBenchmarkSequence(BatchSequence& s, FormatOptionsGiven given, float confidence,
                            unsigned threads, CurvePool* pool) {
  if (!s.groundTruthFormat.empty()) given.groundTruthFormat = s.groundTruthFormat;
  if (!s.systemFormat.empty()) given.systemFormat = s.systemFormat;
  if (!countsAsBenchmark(given, "batch")) {
    usage("batch", "--rules mot counts MOT files as the benchmark does: " + s.name +
                       "'s files are read as " + given.groundTruthFormat + " and " +
                       given.systemFormat + ", not mot or mot15");
  }
  // The sweep reads every box: its points leave out those below each threshold.
  const std::optional<float> below =
      pool == nullptr && confidence > 0.0f ? std::optional<float>(confidence) : std::nullopt;
  std::vector<std::string> warnings;
  const TrackPair pair =
      readTrackPair(benchmarkRequest(given, s.groundTruth, s.system, below, 0), &warnings);
  s.classSet = benchmarkClasses(pair);
  if (pool != nullptr) {
    const SweepCurves curves = benchmarkCurves(pair, threads);
    s.best.clear();
    for (const ClassCurve& curve : curves) s.best.push_back(::bestPoint(curve));
    s.classes = countsAt(curves, confidence);
    pool->add(*s.classSet, curves);
  } else {
    s.classes = benchmarkClassCounts(countBenchmark(pair));
  }
  s.warnings = std::move(warnings);
}

Json benchmarkCompareJson(const BenchmarkComparison& compared, const FormatOptionsGiven& formats) {
  Json json = compareJson(compared.result);
  stateRules(json, formats.rules.rules());
  json["benchmark"] = compared.benchmark;
  return json;
}

std::string benchmarkRulesLine(const TrackPair& pair) {
  std::string line = "Rules: " + std::string(tracking::benchmarkName(pair.rules.benchmark)) +
                     ", counted as the benchmark's evaluator counts (CLEAR at IoU 0.5), " +
                     std::to_string(pair.groundTruth.length) + " frames (" + pair.lengthFrom + ")";
  if (!pair.systemIdentities) line += ", the boxes without identities";
  return line + "\n";
}

Json benchmarkJson(const TrackPair& pair) {
  Json json{{"rules", std::string(tracking::benchmarkName(pair.rules.benchmark))},
            {"frames", pair.groundTruth.length},
            {"length_from", pair.lengthFrom},
            {"identities", pair.systemIdentities}};
  json["confidence"] = pair.rules.minConfidence ? jsonNumber(*pair.rules.minConfidence) : Json();
  return json;
}

}  // namespace talmira
