#include "talmira/track_files.h"

#include <algorithm>
#include <filesystem>
#include <utility>

#include "annotation/track_reader.h"
#include "scoring/tracking/track_measures.h"

namespace talmira {

namespace {

[[noreturn]] void usage(const std::string& what) { throw CommandError{kExitUsage, what}; }

tracking::TrackLayout layoutOf(const std::string& format, const TrackRequest& options) {
  if (format == "talmira" && options.ids != "text") {
    usage("files of this format carry identities only in column 14: add --ids text");
  }
  const bool kitti = options.rules == "kitti";
  if (format == "mot")
    return kitti ? tracking::TrackLayout::kKitti : tracking::TrackLayout::kAutomatic;
  const std::optional<tracking::TrackLayout> layout = tracking::layoutNamed(format);
  if (!layout) usage("no track format " + format);
  if (kitti && *layout != tracking::TrackLayout::kKitti) {
    usage("--rules kitti evaluates KITTI tracking files, not " + format + " files");
  }
  return *layout;
}

tracking::TrackBenchmark benchmarkOf(const TrackRequest& options, tracking::TrackLayout read) {
  if (!options.rules.empty()) {
    const std::optional<tracking::TrackBenchmark> named = tracking::benchmarkNamed(options.rules);
    if (!named) usage("--rules: no track rules named " + options.rules);
    return *named;
  }
  switch (read) {
    case tracking::TrackLayout::kMot15:
      return tracking::TrackBenchmark::kMot15;
    case tracking::TrackLayout::kMot16:
      return tracking::TrackBenchmark::kMot16;
    default:
      return tracking::TrackBenchmark::kPlain;
  }
}

// The classes to evaluate: MOT's pedestrians under its benchmarks; each
// class of the ground truth otherwise, by its number or name.
std::vector<std::pair<std::string, int32_t>> classesOf(const tracking::TrackSequence& truth,
                                                       tracking::TrackBenchmark benchmark) {
  if (benchmark == tracking::TrackBenchmark::kKitti) {
    return {{"car", tracking::kKittiCar}, {"pedestrian", tracking::kKittiPedestrian}};
  }
  if (benchmark != tracking::TrackBenchmark::kPlain) {
    return {{"pedestrian",
             benchmark == tracking::TrackBenchmark::kMot15 ? -1 : tracking::kPedestrianClass}};
  }
  std::vector<int32_t> labels;
  for (const tracking::TrackBox& box : truth.boxes) labels.push_back(box.label);
  std::sort(labels.begin(), labels.end());
  labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
  std::vector<std::pair<std::string, int32_t>> classes;
  for (const int32_t label : labels) {
    std::string name = label >= 0 && static_cast<std::size_t>(label) < truth.labelNames.size()
                           ? truth.labelNames[static_cast<std::size_t>(label)]
                           : std::to_string(label);
    classes.emplace_back(std::move(name), label);
  }
  return classes;
}

}  // namespace

void checkTrackRequest(const TrackRequest& request) {
  layoutOf(request.groundTruthFormat, request);
  layoutOf(request.systemFormat, request);
  const tracking::TrackBenchmark benchmark =
      benchmarkOf(request, tracking::TrackLayout::kAutomatic);
  if (!request.seqmap.empty() && benchmark != tracking::TrackBenchmark::kKitti) {
    usage("--seqmap gives a KITTI sequence's length: it goes with --rules kitti");
  }
  if (!request.seqmap.empty() && request.length != 0) {
    usage("--seqmap and --length both give the sequence's length: give one");
  }
}

namespace {

// What the KITTI benchmark's evaluator never reads, left out before the
// sequence is framed: boxes of negative track id (but the ground truth's
// DontCare areas), and DontCare areas beyond the sequence, which it passes
// over where it refuses any other box.
void dropUnread(tracking::TrackFile& file, uint32_t length, bool truth) {
  std::vector<int32_t> dontCare;
  for (const std::string& name : file.labelNames) {
    dontCare.push_back(truth && tracking::kittiClassNamed(name) == 9);
  }
  std::size_t kept = 0;
  for (std::size_t k = 0; k < file.boxes.size(); ++k) {
    const tracking::TrackBox& box = file.boxes[k];
    const bool area = box.label >= 0 && static_cast<std::size_t>(box.label) < dontCare.size() &&
                      dontCare[static_cast<std::size_t>(box.label)];
    if (area ? file.frames[k] > length : box.id < 0) continue;
    file.boxes[kept] = box;
    file.frames[kept] = file.frames[k];
    ++kept;
  }
  file.boxes.resize(kept);
  file.frames.resize(kept);
}

}  // namespace

bool isTrackFormat(const std::string& name) {
  return name == "mot" || tracking::layoutNamed(name).has_value();
}

std::string trackFormatNames() {
  return "mot, mot15, mot16, mot17, mot20, visdrone, uavdt, kitti, cvat or talmira";
}

TrackPair readTrackPair(const TrackRequest& options, std::vector<std::string>* warnings) {
  checkTrackRequest(options);
  tracking::TrackReadRequest truthRequest{options.groundTruth,
                                          layoutOf(options.groundTruthFormat, options),
                                          AnnotationRole::kGroundTruth};
  tracking::TrackReadRequest systemRequest{options.system, layoutOf(options.systemFormat, options),
                                           AnnotationRole::kSystem};
  try {
    tracking::TrackFile truthFile = tracking::readTrackFile(truthRequest);
    if (systemRequest.layout == tracking::TrackLayout::kAutomatic) {
      // A tracker's file is read in the ground truth's layout.
      systemRequest.layout = truthFile.layout;
    }
    tracking::TrackFile systemFile = tracking::readTrackFile(systemRequest);
    bool systemIdentities = true;
    if (options.identityPerBox && !systemFile.boxes.empty() &&
        std::all_of(systemFile.boxes.begin(), systemFile.boxes.end(),
                    [](const tracking::TrackBox& box) { return box.id == -1; })) {
      // Numbered in file order, so that the renumbering keeps that order.
      int64_t id = 0;
      for (tracking::TrackBox& box : systemFile.boxes) box.id = id++;
      systemIdentities = false;
    }
    for (const tracking::TrackFile* file : {&truthFile, &systemFile}) {
      if (warnings) warnings->insert(warnings->end(), file->warnings.begin(), file->warnings.end());
    }
    TrackPair pair;
    pair.systemIdentities = systemIdentities;
    pair.rules.benchmark = benchmarkOf(options, truthFile.layout);
    pair.rules.minConfidence = options.confidence;
    const bool kitti = pair.rules.benchmark == tracking::TrackBenchmark::kKitti;
    uint32_t length = options.length;
    pair.lengthFrom = "--length";
    if (length == 0 && kitti) {
      std::string seqmap = options.seqmap;
      if (seqmap.empty()) seqmap = tracking::kittiSeqmapBeside(options.groundTruth).value_or("");
      if (!seqmap.empty()) {
        length = tracking::kittiSequenceLength(
            seqmap, std::filesystem::path(options.groundTruth).stem().string());
        pair.lengthFrom = seqmap;
      }
    }
    if (length == 0 && kitti) {
      length = std::max(truthFile.lastFrame(), systemFile.lastFrame());
      pair.lengthFrom = "the last frame of either file";
    }
    if (length == 0) {
      if (const std::optional<uint32_t> beside =
              tracking::sequenceLengthBeside(options.groundTruth)) {
        length = *beside;
        pair.lengthFrom = "seqinfo.ini";
      } else {
        length = std::max(truthFile.lastFrame(), systemFile.lastFrame());
        pair.lengthFrom = "the last frame of either file";
      }
    }
    if (kitti) {
      dropUnread(truthFile, length, true);
      dropUnread(systemFile, length, false);
    }
    // KITTI's evaluator looks for an identity given twice among the boxes
    // it keeps of a class, not in the files.
    pair.groundTruth = tracking::framedTracks(std::move(truthFile), length, !kitti);
    pair.system = tracking::framedTracks(std::move(systemFile), length, !kitti);
    tracking::checkTrackInput(pair.groundTruth, pair.system, pair.rules);
    pair.classes = classesOf(pair.groundTruth, pair.rules.benchmark);
    return pair;
  } catch (const tracking::TrackReadError& error) {
    throw TrackFileError{
        {kExitInputOrOutput, error.what()}, error.file(), error.line(), error.systemError()};
  } catch (const tracking::TrackInputError& error) {
    throw TrackFileError{{kExitInputOrOutput, error.what()}, error.file(), error.line(), 0};
  }
}

tracking::PreparedTracks prepareClass(const TrackPair& pair, int32_t label) {
  return prepareClass(pair, label, pair.rules);
}

tracking::PreparedTracks prepareClass(const TrackPair& pair, int32_t label,
                                      const tracking::TrackRules& rules) {
  try {
    return tracking::prepareTracks(pair.groundTruth, pair.system, rules, label);
  } catch (const tracking::TrackInputError& error) {
    throw TrackFileError{{kExitInputOrOutput, error.what()}, error.file(), error.line(), 0};
  }
}

tracking::PreparedTracks prepareClass(TrackPair&& pair, int32_t label) {
  try {
    return tracking::prepareTracks(std::move(pair.groundTruth), std::move(pair.system), pair.rules,
                                   label);
  } catch (const tracking::TrackInputError& error) {
    throw TrackFileError{{kExitInputOrOutput, error.what()}, error.file(), error.line(), 0};
  }
}

TrackReport trackFiles(const TrackRequest& options, std::vector<std::string>* warnings) {
  TrackPair pair = readTrackPair(options, warnings);
  TrackReport report;
  report.groundTruth = options.groundTruth;
  report.system = options.system;
  report.lengthFrom = pair.lengthFrom;
  report.rules = std::string(tracking::benchmarkName(pair.rules.benchmark));
  report.frames = pair.groundTruth.length;
  report.confidence = pair.rules.minConfidence;
  const std::vector<std::pair<std::string, int32_t>> classes = pair.classes;
  for (std::size_t k = 0; k < classes.size(); ++k) {
    const auto& [name, label] = classes[k];
    // The last class is prepared in the sequences' storage: the read boxes
    // and the kept ones are never held side by side.
    const tracking::PreparedTracks prepared =
        k + 1 < classes.size() ? prepareClass(pair, label) : prepareClass(std::move(pair), label);
    // The sequence's own figures, as the evaluator's row for it gives them.
    report.classes.push_back({name, tracking::trackMeasures(tracking::evaluateTracks(prepared))});
  }
  return report;
}

}  // namespace talmira
