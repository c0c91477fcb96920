#include "talmira/stability_files.h"

#include <algorithm>
#include <future>
#include <memory>
#include <tuple>

#include "annotation/track_reader.h"
#include "scoring/counts/class_scores.h"
#include "talmira/stability_streaming.h"
#include "talmira/track_files.h"

namespace talmira {

namespace {

using tracking::TrackLayout;

[[noreturn]] void usage(const std::string& what) { throw CommandError{kExitUsage, what}; }

[[noreturn]] void noIdentities(const std::string& path) {
  throw CommandError{kExitInputOrOutput, path + ": " + kNoIdentities};
}

// The track layout a side is read in for its identities and exact boxes;
// none for a system file of this format, whose boxes the detection reader
// keeps exactly (whole pixels are all this format writes).
std::optional<TrackLayout> layoutOf(const std::string& format, const std::string& ids,
                                    const std::string& path, bool truth) {
  if (format == "talmira") {
    if (!truth) return std::nullopt;
    if (ids != "text") noIdentities(path);
    return TrackLayout::kTalmira;
  }
  if (format == "mot") return TrackLayout::kAutomatic;
  if (const std::optional<TrackLayout> layout = tracking::layoutNamed(format)) return layout;
  if (truth) noIdentities(path);
  usage("talmira stability: " + format +
        " boxes are read to whole pixels here, and stability needs the file's own: give the "
        "detections in this format or one of the MOT family's");
}

tracking::TrackFile readTracks(const std::string& path, TrackLayout layout, bool truth) {
  return tracking::readTrackFile(
      {path, layout, truth ? AnnotationRole::kGroundTruth : AnnotationRole::kSystem});
}

CommandError readFailure(const tracking::TrackReadError& error) {
  return CommandError{kExitInputOrOutput, error.what()};
}

// Refuses, as the tracking benchmarks do, one identity given twice in one
// frame: which of the two would the track follow? The later line is named.
void refuseRepeatedIdentities(const tracking::TrackFile& file,
                              const std::vector<std::string>& names) {
  std::vector<std::tuple<uint32_t, int64_t, uint64_t>> seen;  // frame, identity, line
  seen.reserve(file.boxes.size());
  for (std::size_t k = 0; k < file.boxes.size(); ++k) {
    const tracking::TrackBox& box = file.boxes[k];
    if (file.layout == TrackLayout::kKitti && box.id == -1) continue;  // DontCare
    seen.emplace_back(file.frames[k], box.id, box.line);
  }
  std::sort(seen.begin(), seen.end());
  std::size_t repeat = seen.size();
  for (std::size_t k = 1; k < seen.size(); ++k) {
    if (std::get<0>(seen[k]) == std::get<0>(seen[k - 1]) &&
        std::get<1>(seen[k]) == std::get<1>(seen[k - 1]) &&
        (repeat == seen.size() || std::get<2>(seen[k]) < std::get<2>(seen[repeat]))) {
      repeat = k;
    }
  }
  if (repeat == seen.size()) return;
  const auto [frame, id, line] = seen[repeat];
  const std::string identity =
      names.empty() ? std::to_string(id) : names[static_cast<std::size_t>(id)];
  throw CommandError{
      kExitInputOrOutput,
      locatedMessage(file.source, line,
                     "identity " + identity + " is given twice in frame " + std::to_string(frame) +
                         " (also on line " + std::to_string(std::get<2>(seen[repeat - 1])) + ")")};
}

// The position in `file.boxes` of the box read on `line`.
std::size_t boxOnLine(const tracking::TrackFile& file, uint64_t line) {
  const auto at = std::lower_bound(
      file.boxes.begin(), file.boxes.end(), line,
      [](const tracking::TrackBox& box, uint64_t wanted) { return box.line < wanted; });
  if (at == file.boxes.end() || at->line != line) {
    throw CommandError{kExitInputOrOutput,
                       locatedMessage(file.source, line,
                                      "this record is a box of the detections but of no track")};
  }
  return static_cast<std::size_t>(at - file.boxes.begin());
}

tracking::StabilityBox exactOf(const tracking::TrackBox& box) {
  return {box.left, box.top, box.right, box.bottom};
}

tracking::StabilityBox rectangleOf(const QuorTarget& target) {
  return {static_cast<double>(target.minX), static_cast<double>(target.minY),
          static_cast<double>(target.maxX), static_cast<double>(target.maxY)};
}

// The detection road's boxes joined with the track reader's by line: each
// ground-truth target's track key and, for the formats written in
// decimals, each target's exact box. Flat per sequence, in the order of
// ReadDetails' target lines.
class JoinedBoxes : public tracking::DetectionBoxes {
 public:
  const QuorSequence* truthSequence = nullptr;
  const QuorSequence* systemSequence = nullptr;
  const ReadDetails* truthLines = nullptr;
  const ReadDetails* systemLines = nullptr;
  std::vector<int32_t> truthKeys;
  std::vector<tracking::StabilityBox> truthExact;   // empty: the targets' rectangles
  std::vector<tracking::StabilityBox> systemExact;  // empty: the targets' rectangles

  int64_t truthTrack(std::size_t frame, std::size_t box) const override {
    return truthKeys[truthLines->targetStarts[frame] + box];
  }
  tracking::StabilityBox truthBox(std::size_t frame, std::size_t box) const override {
    if (truthExact.empty()) return rectangleOf(*truthSequence->frames[frame].targets[box]);
    return truthExact[truthLines->targetStarts[frame] + box];
  }
  tracking::StabilityBox systemBox(std::size_t frame, std::size_t box) const override {
    if (systemExact.empty()) return rectangleOf(*systemSequence->frames[frame].targets[box]);
    return systemExact[systemLines->targetStarts[frame] + box];
  }
};

// The track rows of one class from the accumulator's, named.
std::vector<StabilityTrackRow> namedTracks(std::vector<tracking::TrackStability>&& tracks,
                                           const std::vector<std::string>& names) {
  std::vector<StabilityTrackRow> rows;
  rows.reserve(tracks.size());
  for (tracking::TrackStability& track : tracks) {
    rows.push_back({names[static_cast<std::size_t>(track.track)], std::move(track)});
  }
  return rows;
}

StabilityClassRow classRow(std::string name, std::vector<StabilityTrackRow>&& tracks) {
  StabilityClassRow row;
  row.name = std::move(name);
  row.tracks = std::move(tracks);
  // Moved out for the summary and back, not copied: a long video has tens
  // of thousands of tracks.
  std::vector<tracking::TrackStability> plain;
  plain.reserve(row.tracks.size());
  for (StabilityTrackRow& t : row.tracks) plain.push_back(std::move(t.stability));
  row.summary = tracking::summarizeStability(plain);
  for (std::size_t k = 0; k < plain.size(); ++k) row.tracks[k].stability = std::move(plain[k]);
  return row;
}

std::vector<int64_t> worstKeys(const StabilityClassRow& row, std::size_t top) {
  std::vector<int64_t> keys;
  for (const StabilityTrackRow* t : worstStabilityTracks(row, top)) {
    keys.push_back(t->stability.track);
  }
  return keys;
}

// The track rows of one class keyed by the identities as written (the
// streamed road's), named.
std::vector<StabilityTrackRow> numberedTracks(std::vector<tracking::TrackStability>&& tracks) {
  std::vector<StabilityTrackRow> rows;
  rows.reserve(tracks.size());
  for (tracking::TrackStability& track : tracks) {
    rows.push_back({std::to_string(track.track), std::move(track)});
  }
  return rows;
}

// The detection road on MOT files read frame by frame while they are
// matched, when it can take them: the same report as reading them whole,
// in memory that does not grow with the video. Nothing when the files
// must be read whole (the reason is then the whole road's to tell).
std::optional<StabilityReport> streamedRoad(const StabilityRequest& request) {
  if (!mayStreamStability(request)) return std::nullopt;
  const ClassSetPtr classes = streamedStabilityClasses(request);
  if (request.className != "All" && !classes->rowOf(request.className)) return std::nullopt;
  const std::vector<TargetFilter> filters = classFilters(*classes, request.confidence);
  std::vector<std::string> rowNames{"All"};
  for (const std::string& name : classes->names()) rowNames.push_back(name);
  const auto compute = [&](std::span<const std::vector<int64_t>> followed)
      -> std::optional<std::vector<StabilityClassRow>> {
    std::optional<std::vector<std::vector<tracking::TrackStability>>> perFilter =
        streamedStability(request, filters, followed);
    if (!perFilter) return std::nullopt;
    std::vector<StabilityClassRow> rows;
    for (std::size_t c = 0; c < perFilter->size(); ++c) {
      if (request.className != "All" && rowNames[c] != request.className) continue;
      rows.push_back(classRow(rowNames[c], numberedTracks(std::move((*perFilter)[c]))));
    }
    return rows;
  };
  std::optional<std::vector<StabilityClassRow>> rows = compute({});
  if (!rows) return std::nullopt;
  if (request.followWorst > 0) {
    std::vector<std::vector<int64_t>> followed(filters.size());
    std::size_t row = 0;
    for (std::size_t c = 0; c < filters.size(); ++c) {
      if (request.className != "All" && rowNames[c] != request.className) continue;
      followed[c] = worstKeys((*rows)[row++], request.followWorst);
    }
    rows = compute(followed);
    if (!rows) return std::nullopt;
  }
  StabilityReport report;
  report.classes = std::move(*rows);
  report.rules = request.formats.groundTruth.rules;
  return report;
}

StabilityReport detectionRoad(const StabilityRequest& request) {
  const std::optional<TrackLayout> truthLayout =
      layoutOf(request.groundTruthFormat, request.ids, request.groundTruth, true);
  const std::optional<TrackLayout> systemLayout =
      layoutOf(request.systemFormat, request.ids, request.system, false);
  if (std::optional<StabilityReport> streamed = streamedRoad(request)) return std::move(*streamed);

  // The detections and the tracks are read at the same time.
  std::future<tracking::TrackFile> truthTracks = std::async(
      std::launch::async, [&] { return readTracks(request.groundTruth, *truthLayout, true); });
  // A result file's boxes are the same columns in every MOT layout, so it
  // need not wait for the ground truth's layout to be known.
  std::future<tracking::TrackFile> systemTracks;
  if (systemLayout) {
    systemTracks = std::async(std::launch::async,
                              [&] { return readTracks(request.system, *systemLayout, false); });
  }
  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  ReadDetails truthLines;
  ReadDetails systemLines;
  std::optional<CommandError> detectionFailure;
  try {
    readInputs(request.groundTruth, request.system, groundTruth, system, &truthLines, &systemLines,
               request.formats);
  } catch (const CommandError& error) {
    detectionFailure = error;
  }
  tracking::TrackFile truthFile;
  tracking::TrackFile systemFile;
  std::optional<CommandError> trackFailure;
  for (const bool truth : {true, false}) {
    if (!truth && !systemLayout) continue;
    try {
      (truth ? truthFile : systemFile) = (truth ? truthTracks : systemTracks).get();
    } catch (const tracking::TrackReadError& error) {
      if (!trackFailure) trackFailure = readFailure(error);
    }
  }
  if (detectionFailure) throw *detectionFailure;
  if (trackFailure) throw *trackFailure;

  // Track keys: this format's identities are numbered in their texts'
  // order already; numbers are numbered in theirs.
  std::vector<std::string> names = truthFile.identityNames;
  std::vector<int64_t> values;
  if (truthFile.layout != TrackLayout::kTalmira) {
    for (const tracking::TrackBox& box : truthFile.boxes) values.push_back(box.id);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    for (const int64_t value : values) names.push_back(std::to_string(value));
  }
  refuseRepeatedIdentities(truthFile, truthFile.identityNames);

  JoinedBoxes boxes;
  boxes.truthSequence = groundTruth.get();
  boxes.systemSequence = system.get();
  boxes.truthLines = &truthLines;
  boxes.systemLines = &systemLines;
  const bool truthExact = truthFile.layout != TrackLayout::kTalmira;
  boxes.truthKeys.reserve(truthLines.allTargetLines.size());
  if (truthExact) boxes.truthExact.reserve(truthLines.allTargetLines.size());
  for (const uint64_t line : truthLines.allTargetLines) {
    const tracking::TrackBox& box = truthFile.boxes[boxOnLine(truthFile, line)];
    int32_t key = -1;
    if (truthFile.layout == TrackLayout::kTalmira) {
      key = static_cast<int32_t>(box.id);
    } else if (!(truthFile.layout == TrackLayout::kKitti && box.id == -1)) {
      key = static_cast<int32_t>(std::lower_bound(values.begin(), values.end(), box.id) -
                                 values.begin());
    }
    boxes.truthKeys.push_back(key);
    if (truthExact) boxes.truthExact.push_back(exactOf(box));
  }
  if (systemLayout) {
    boxes.systemExact.reserve(systemLines.allTargetLines.size());
    for (const uint64_t line : systemLines.allTargetLines) {
      boxes.systemExact.push_back(exactOf(systemFile.boxes[boxOnLine(systemFile, line)]));
    }
  }
  truthFile = {};
  systemFile = {};

  const ClassSetPtr classes = pairClasses(*groundTruth, *system);
  if (request.className != "All") classRowNamed(*classes, request.className, "stability");
  const std::vector<TargetFilter> filters = classFilters(*classes, request.confidence);
  std::vector<std::string> rowNames{"All"};
  for (const std::string& name : classes->names()) rowNames.push_back(name);

  const auto compute = [&](std::span<const std::vector<int64_t>> followed) {
    std::vector<std::vector<tracking::TrackStability>> perFilter =
        tracking::detectionStability(*groundTruth, *system, filters, boxes, followed);
    std::vector<StabilityClassRow> rows;
    for (std::size_t c = 0; c < perFilter.size(); ++c) {
      if (request.className != "All" && rowNames[c] != request.className) continue;
      rows.push_back(classRow(rowNames[c], namedTracks(std::move(perFilter[c]), names)));
    }
    return rows;
  };
  StabilityReport report;
  report.classes = compute({});
  if (request.followWorst > 0) {
    std::vector<std::vector<int64_t>> followed(filters.size());
    std::size_t row = 0;
    for (std::size_t c = 0; c < filters.size(); ++c) {
      if (request.className != "All" && rowNames[c] != request.className) continue;
      followed[c] = worstKeys(report.classes[row++], request.followWorst);
    }
    report.classes = compute(followed);
  }
  report.rules = request.formats.groundTruth.rules;
  return report;
}

StabilityReport clearRoad(const StabilityRequest& request, std::vector<std::string>* warnings) {
  // CLEAR follows both sides' identities: both files must name them.
  for (const bool truth : {true, false}) {
    const std::string& format = truth ? request.groundTruthFormat : request.systemFormat;
    const std::string& path = truth ? request.groundTruth : request.system;
    if (isTrackFormat(format) && (format != "talmira" || request.ids == "text")) continue;
    if (truth) noIdentities(path);
    usage("talmira stability --rules mot: CLEAR follows the tracker's identities too, which " +
          format + " files do not name" +
          (format == "talmira" ? std::string(" without --ids text") : std::string()));
  }
  TrackRequest tracks;
  tracks.groundTruth = request.groundTruth;
  tracks.system = request.system;
  tracks.groundTruthFormat = request.groundTruthFormat;
  tracks.systemFormat = request.systemFormat;
  tracks.ids = request.ids;
  if (request.confidenceGiven) tracks.confidence = request.confidence;
  const TrackPair pair = readTrackPair(tracks, warnings);
  const bool every = request.className == "All";
  if (!every && std::none_of(pair.classes.begin(), pair.classes.end(),
                             [&](const auto& c) { return c.first == request.className; })) {
    std::string known = "\"All\"";
    for (const auto& c : pair.classes) known += ", \"" + c.first + "\"";
    usage("talmira stability: --class " + request.className +
          ": no class of that name; the classes evaluated are " + known);
  }
  StabilityReport report;
  report.matching = "clear";
  report.trackRules = std::string(tracking::benchmarkName(pair.rules.benchmark));
  if (request.confidenceGiven) report.confidence = request.confidence;
  std::vector<StabilityTrackRow> pooled;
  for (const auto& [name, label] : pair.classes) {
    if (!every && name != request.className) continue;
    const tracking::PreparedTracks prepared = prepareClass(pair, label);
    std::vector<std::string> names;
    for (const int64_t value : prepared.groundTruthIdValues) {
      names.push_back(pair.groundTruth.identityNames.empty()
                          ? std::to_string(value)
                          : pair.groundTruth.identityNames[static_cast<std::size_t>(value)]);
    }
    StabilityClassRow row = classRow(name, namedTracks(tracking::clearStability(prepared), names));
    if (request.followWorst > 0) {
      std::vector<int32_t> followed;
      for (const int64_t key : worstKeys(row, request.followWorst)) {
        followed.push_back(static_cast<int32_t>(key));
      }
      row = classRow(name, namedTracks(tracking::clearStability(prepared, followed), names));
    }
    pooled.insert(pooled.end(), row.tracks.begin(), row.tracks.end());
    report.classes.push_back(std::move(row));
  }
  if (every) report.classes.insert(report.classes.begin(), classRow("All", std::move(pooled)));
  return report;
}

}  // namespace

StabilityReport stabilityOfFiles(const StabilityRequest& request,
                                 std::vector<std::string>* warnings) {
  StabilityReport report = request.clear ? clearRoad(request, warnings) : detectionRoad(request);
  report.groundTruth = request.groundTruth;
  report.system = request.system;
  if (request.clear) {
    report.rules = *namedRules("mot");
  } else if (request.confidenceGiven || request.confidence != 0.0f) {
    report.confidence = request.confidence;
  }
  return report;
}

std::vector<const StabilityTrackRow*> worstStabilityTracks(const StabilityClassRow& row,
                                                           std::size_t top) {
  std::vector<const StabilityTrackRow*> worst;
  for (const StabilityTrackRow& t : row.tracks) {
    if (t.stability.used()) worst.push_back(&t);
  }
  std::stable_sort(worst.begin(), worst.end(),
                   [](const StabilityTrackRow* a, const StabilityTrackRow* b) {
                     return a->stability.total() > b->stability.total();
                   });
  if (worst.size() > top) worst.resize(top);
  return worst;
}

}  // namespace talmira
