#include "talmira/track_events.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <span>

#include "annotation/track_reader.h"
#include "scoring/tracking/track_preparation.h"

namespace talmira {

namespace {

[[noreturn]] void usage(const std::string& what) { throw CommandError{kExitUsage, what}; }

// CLEAR's matches, kept frame by frame as evaluateTracks() tells them (the
// frames with both sides, rising), and read back in the same order.
class MatchRecorder : public tracking::ClearObserver {
 public:
  void matched(uint32_t frame, std::span<const tracking::ClearMatch> matches) override {
    frames_.push_back(frame);
    start_.push_back(matches_.size());
    matches_.insert(matches_.end(), matches.begin(), matches.end());
  }

  /// Frame `frame`'s matches; frames are asked for rising.
  std::span<const tracking::ClearMatch> of(uint32_t frame) {
    while (next_ < frames_.size() && frames_[next_] < frame) ++next_;
    if (next_ == frames_.size() || frames_[next_] != frame) return {};
    const std::size_t end = next_ + 1 < start_.size() ? start_[next_ + 1] : matches_.size();
    return std::span(matches_).subspan(start_[next_], end - start_[next_]);
  }

 private:
  std::vector<tracking::ClearMatch> matches_;
  std::vector<uint32_t> frames_;
  std::vector<std::size_t> start_;  // where each frame's matches begin
  std::size_t next_ = 0;
};

bool isMotChallenge(tracking::TrackBenchmark benchmark) {
  return benchmark != tracking::TrackBenchmark::kPlain &&
         benchmark != tracking::TrackBenchmark::kKitti;
}

// The boxes a class is about, on one side: under MOT's benchmarks every box
// of the files (their one class, the others distractors or left out); under
// KITTI's the boxes of the class of a track id from 0, and on the ground
// truth's side its distractors' too; otherwise the boxes of its label.
class ClassBoxes {
 public:
  ClassBoxes(const tracking::TrackSequence& sequence, const tracking::TrackRules& rules,
             int32_t label, bool truth)
      : rules_(rules), label_(label) {
    if (rules.benchmark != tracking::TrackBenchmark::kKitti) return;
    const int32_t distractor = label == tracking::kKittiCar ? 2 : 5;  // van; person (sitting)
    for (const std::string& name : sequence.labelNames) {
      const int32_t type = tracking::kittiClassNamed(name);
      of_.push_back(type == label || (truth && type == distractor));
    }
  }

  bool has(const tracking::TrackBox& box) const {
    if (rules_.benchmark == tracking::TrackBenchmark::kKitti) {
      return box.id >= 0 && box.label >= 0 && static_cast<std::size_t>(box.label) < of_.size() &&
             of_[static_cast<std::size_t>(box.label)];
    }
    return isMotChallenge(rules_.benchmark) || label_ == -1 || box.label == label_;
  }

 private:
  const tracking::TrackRules& rules_;
  int32_t label_;
  std::vector<char> of_;  // KITTI: by label, whether its boxes are the class's
};

bool belowConfidence(const tracking::TrackBox& box, const tracking::TrackRules& rules) {
  return rules.minConfidence && box.confidence != -1.0f && box.confidence < *rules.minConfidence;
}

FollowedClass followClass(const TrackPair& pair, const std::string& name, int32_t label) {
  const tracking::PreparedTracks prepared = prepareClass(pair, label);
  MatchRecorder recorder;
  FollowedClass followed;
  followed.name = name;
  followed.sums = tracking::evaluateTracks(prepared, &recorder);
  followed.tracks.resize(static_cast<std::size_t>(prepared.groundTruthIds));
  for (std::size_t g = 0; g < followed.tracks.size(); ++g) {
    followed.tracks[g].id = prepared.groundTruthIdValues[g];
  }
  for (const tracking::TrackBox& box : prepared.groundTruth) {
    ++followed.tracks[static_cast<std::size_t>(box.id)].frames;
  }
  // Each track's last match: its frame and tracker box.
  struct LastMatch {
    uint32_t frame = 0;
    uint64_t trackerLine = 0;
  };
  std::vector<LastMatch> last(followed.tracks.size());
  const auto truthValue = [&](int32_t id) {
    return prepared.groundTruthIdValues[static_cast<std::size_t>(id)];
  };
  const auto trackerValue = [&](int32_t id) {
    return prepared.trackerIdValues[static_cast<std::size_t>(id)];
  };
  // A detector's file without identities, its boxes numbered one by one:
  // no box continues a track, so a match is never a switch worth a row,
  // and the numbers are no identity to show.
  const bool identities = pair.systemIdentities;
  if (!identities) followed.sums.idSwitches = 0;

  std::size_t setAside = 0;  // the next of prepared.setAsideLines
  const ClassBoxes truthOfClass(pair.groundTruth, pair.rules, label, true);
  const ClassBoxes systemOfClass(pair.system, pair.rules, label, false);
  std::vector<int32_t> truthMatch;
  std::vector<int32_t> trackerMatch;
  std::vector<const tracking::TrackBox*> truthBoxes;  // the frame's kept ones
  followed.frameStart.push_back(0);
  followed.belowStart.push_back(0);
  // The frames with a box in either file: the prepared ones are among them.
  std::size_t preparedAt = 0;
  for (const uint32_t frame :
       tracking::framesOfEither(pair.groundTruth.frames, pair.system.frames)) {
    uint64_t truthBegin = 0, truthEnd = 0, trackerBegin = 0, trackerEnd = 0;
    if (preparedAt < prepared.frameNumbers.size() && prepared.frameNumbers[preparedAt] == frame) {
      truthBegin = prepared.groundTruthStart[preparedAt];
      truthEnd = prepared.groundTruthStart[preparedAt + 1];
      trackerBegin = prepared.trackerStart[preparedAt];
      trackerEnd = prepared.trackerStart[preparedAt + 1];
      ++preparedAt;
    }
    const std::span<const tracking::ClearMatch> matches = recorder.of(frame);
    truthMatch.assign(truthEnd - truthBegin, -1);
    trackerMatch.assign(trackerEnd - trackerBegin, -1);
    truthBoxes.clear();
    for (std::size_t m = 0; m < matches.size(); ++m) {
      truthMatch[matches[m].truthIndex] = static_cast<int32_t>(m);
      trackerMatch[matches[m].trackerIndex] = static_cast<int32_t>(m);
    }

    // The ground truth's boxes of the class, in file order: those kept are
    // the prepared ones, in the same order.
    uint64_t kept = truthBegin;
    for (uint64_t k = pair.groundTruth.frameBegin(frame); k < pair.groundTruth.frameEnd(frame);
         ++k) {
      const tracking::TrackBox& box = pair.groundTruth.boxes[k];
      if (!truthOfClass.has(box)) continue;
      TrackEventRow row;
      row.frame = frame;
      row.box = &box;
      if (kept < truthEnd && prepared.groundTruth[kept].line == box.line) {
        const std::size_t i = kept - truthBegin;
        const auto id = static_cast<int32_t>(prepared.groundTruth[kept].id);
        truthBoxes.push_back(&box);
        row.track = id;
        row.truthId = truthValue(id);
        if (truthMatch[i] >= 0) {
          const tracking::ClearMatch& match = matches[static_cast<std::size_t>(truthMatch[i])];
          row.kind = TrackEventKind::kMatch;
          row.partnerLine = prepared.tracker[trackerBegin + match.trackerIndex].line;
          row.overlap = match.iou;
          if (identities) row.systemId = trackerValue(match.trackerId);
        } else {
          row.kind = TrackEventKind::kMiss;
        }
        ++kept;
      } else {
        row.kind = TrackEventKind::kExcluded;
        row.truthId = box.id;
      }
      followed.rows.push_back(row);
    }

    // The tracker's boxes of the class at the confidence, in file order:
    // kept, or set aside for a distractor.
    kept = trackerBegin;
    for (uint64_t k = pair.system.frameBegin(frame); k < pair.system.frameEnd(frame); ++k) {
      const tracking::TrackBox& box = pair.system.boxes[k];
      if (!systemOfClass.has(box)) continue;
      if (belowConfidence(box, pair.rules)) {
        followed.belowConfidence.push_back(&box);
        continue;
      }
      TrackEventRow row;
      row.frame = frame;
      row.systemSide = true;
      row.box = &box;
      if (identities) row.systemId = box.id;
      if (kept < trackerEnd && prepared.tracker[kept].line == box.line) {
        const std::size_t j = kept - trackerBegin;
        if (trackerMatch[j] >= 0) {
          const tracking::ClearMatch& match = matches[static_cast<std::size_t>(trackerMatch[j])];
          row.kind = TrackEventKind::kMatch;
          row.partnerLine = prepared.groundTruth[truthBegin + match.truthIndex].line;
          row.overlap = match.iou;
          row.truthId = truthValue(match.truthId);
          row.track = match.truthId;
        } else {
          row.kind = TrackEventKind::kFalseAlarm;
        }
        ++kept;
      } else if (setAside < prepared.setAsideLines.size() &&
                 prepared.setAsideLines[setAside].first == box.line) {
        row.kind = TrackEventKind::kSetAside;
        row.partnerLine = prepared.setAsideLines[setAside].second;
        ++setAside;
      } else {
        continue;  // never: a box of the class is kept or set aside
      }
      followed.rows.push_back(row);
    }

    // The frame's switches and fragmentations, then each track's last match.
    for (const tracking::ClearMatch& match : matches) {
      const auto g = static_cast<std::size_t>(match.truthId);
      FollowedTrack& track = followed.tracks[g];
      ++track.matched;
      const int64_t trackerId = trackerValue(match.trackerId);
      if (identities && std::find(track.trackerIds.begin(), track.trackerIds.end(), trackerId) ==
                            track.trackerIds.end()) {
        track.trackerIds.push_back(trackerId);
      }
      TrackEventRow row;
      row.frame = frame;
      row.partnerLine = prepared.tracker[trackerBegin + match.trackerIndex].line;
      row.overlap = match.iou;
      row.truthId = truthValue(match.truthId);
      if (identities) row.systemId = trackerId;
      row.track = match.truthId;
      if (match.previousTrackerId >= 0) {
        if (identities) row.previousSystemId = trackerValue(match.previousTrackerId);
        row.previousFrame = last[g].frame;
        row.previousLine = last[g].trackerLine;
      }
      row.box = truthBoxes[match.truthIndex];
      if (identities && match.idSwitch) {
        ++track.switches;
        row.kind = TrackEventKind::kSwitch;
        followed.rows.push_back(row);
      }
      if (match.fragmentation) {
        ++track.fragmentations;
        row.kind = TrackEventKind::kFragment;
        row.unmatchedFrames = match.unmatchedFrames;
        followed.rows.push_back(row);
      }
      last[g] = {frame, prepared.tracker[trackerBegin + match.trackerIndex].line};
    }
    if (followed.rows.size() == followed.frameStart.back() &&
        followed.belowConfidence.size() == followed.belowStart.back()) {
      continue;  // nothing of the class in this frame
    }
    followed.frames.push_back(frame);
    followed.frameStart.push_back(followed.rows.size());
    followed.belowStart.push_back(followed.belowConfidence.size());
  }
  return followed;
}

}  // namespace

std::pair<std::size_t, std::size_t> FollowedClass::rowsOf(uint32_t frame) const {
  const auto at = static_cast<std::size_t>(std::lower_bound(frames.begin(), frames.end(), frame) -
                                           frames.begin());
  if (at == frames.size() || frames[at] != frame) return {rows.size(), rows.size()};
  return {frameStart[at], frameStart[at + 1]};
}

std::pair<std::size_t, std::size_t> FollowedClass::belowOf(uint32_t frame) const {
  const auto at = static_cast<std::size_t>(std::lower_bound(frames.begin(), frames.end(), frame) -
                                           frames.begin());
  if (at == frames.size() || frames[at] != frame) {
    return {belowConfidence.size(), belowConfidence.size()};
  }
  return {belowStart[at], belowStart[at + 1]};
}

const char* trackEventName(TrackEventKind kind) {
  switch (kind) {
    case TrackEventKind::kMatch:
      return "match";
    case TrackEventKind::kMiss:
      return "miss";
    case TrackEventKind::kExcluded:
      return "excluded";
    case TrackEventKind::kFalseAlarm:
      return "false_alarm";
    case TrackEventKind::kSetAside:
      return "set_aside";
    case TrackEventKind::kSwitch:
      return "switch";
    case TrackEventKind::kFragment:
      break;
  }
  return "fragment";
}

FollowedTracks followTrackFiles(const TrackRequest& request, const std::string& className,
                                std::vector<std::string>* warnings, std::string_view command) {
  FollowedTracks followed;
  followed.request = request;
  followed.pair = readTrackPair(request, warnings);
  const auto& classes = followed.pair.classes;
  const bool every = className == "All";
  if (!every && std::none_of(classes.begin(), classes.end(),
                             [&](const auto& c) { return c.first == className; })) {
    std::string names = "\"All\"";
    for (const auto& c : classes) names += ", \"" + c.first + "\"";
    usage(command.empty() ? "class " + className + " is none of the classes evaluated: " + names
                          : "talmira " + std::string(command) + ": --class " + className +
                                ": no class of that name; the classes evaluated are " + names);
  }
  for (const auto& [name, label] : classes) {
    if (every || name == className) {
      followed.classes.push_back(followClass(followed.pair, name, label));
    }
  }
  return followed;
}

std::vector<const FollowedTrack*> worstTracks(const FollowedClass& followed, std::size_t top) {
  std::vector<const FollowedTrack*> worst;
  for (const FollowedTrack& track : followed.tracks) {
    if (track.switches + track.fragmentations > 0) worst.push_back(&track);
  }
  std::sort(worst.begin(), worst.end(), [](const FollowedTrack* a, const FollowedTrack* b) {
    const int64_t left = a->switches + a->fragmentations;
    const int64_t right = b->switches + b->fragmentations;
    if (left != right) return left > right;
    if (a->switches != b->switches) return a->switches > b->switches;
    return a->id < b->id;
  });
  if (worst.size() > top) worst.resize(top);
  return worst;
}

const std::vector<std::string>& trackOnlyFormatNames() {
  static const std::vector<std::string> names{"mot16", "mot17", "mot20"};
  return names;
}

void addTrackOptions(CLI::App& command, TrackOptionsGiven& given) {
  const std::string group = "Tracks (--track)";
  command
      .add_flag("--track", given.track,
                "read both files as tracks, as talmira track reads them (MOT files by "
                "default), and follow identities through CLEAR's matching")
      ->group(group);
  command
      .add_option("--track-rules", given.rules,
                  "whose evaluation: mot (MOT16/17), mot20, mot15, kitti or plain; by default "
                  "the ground truth's layout decides, as for talmira track --rules")
      ->type_name("NAME")
      ->group(group);
  command
      .add_option("--length", given.length,
                  "frames in the sequence (else seqinfo.ini beside the ground truth, else the "
                  "last frame of either file)")
      ->type_name("N")
      ->check(CLI::PositiveNumber)
      ->group(group);
  command
      .add_option("--ids", given.ids,
                  "text: in files of this format, column 14's text is the identity")
      ->type_name("text")
      ->check(CLI::IsMember({"text"}))
      ->group(group);
}

std::optional<TrackRequest> trackRequestOf(const CLI::App& command, const TrackOptionsGiven& given,
                                           const std::string& groundTruth,
                                           const std::string& system,
                                           const std::string& groundTruthFormat,
                                           const std::string& systemFormat, float confidence) {
  const std::string name = command.get_name();
  const auto givenOption = [&](const std::string& option) {
    const CLI::Option* found = command.get_option_no_throw(option);
    return found != nullptr && found->count() > 0;
  };
  const std::vector<std::string>& trackOnly = trackOnlyFormatNames();
  const auto isTrackOnly = [&](const std::string& format) {
    return std::find(trackOnly.begin(), trackOnly.end(), format) != trackOnly.end();
  };
  if (!given.track) {
    for (const char* option : {"--track-rules", "--length", "--ids"}) {
      if (givenOption(option)) usage("talmira " + name + ": " + option + " goes with --track");
    }
    for (const std::string* format : {&groundTruthFormat, &systemFormat}) {
      if (isTrackOnly(*format))
        usage("talmira " + name + ": " + *format + " files are tracks: add --track");
    }
    return std::nullopt;
  }
  // What only detections have: their rules, the near threshold and the
  // options of their other formats.
  for (const CLI::Option* option : command.get_options()) {
    if (option->count() == 0) continue;
    const std::string& group = option->get_group();
    const std::string longName = option->get_name();
    const bool detectionOnly = group == "Scoring rules" || longName == "--near" ||
                               (group == "Reading other formats" && longName != "--gt-format" &&
                                longName != "--sys-format");
    if (detectionOnly) usage("talmira " + name + ": " + longName + " has no meaning with --track");
  }
  TrackRequest request;
  request.groundTruth = groundTruth;
  request.system = system;
  request.groundTruthFormat = givenOption("--gt-format") ? groundTruthFormat : "mot";
  request.systemFormat = givenOption("--sys-format") ? systemFormat : "mot";
  for (const std::string* format : {&request.groundTruthFormat, &request.systemFormat}) {
    if (!tracking::layoutNamed(*format) && *format != "mot") {
      usage("talmira " + name + " --track: " + *format +
            " files carry no tracks (mot, mot15, "
            "mot16, mot17, mot20, visdrone, uavdt, kitti, cvat or talmira do)");
    }
  }
  request.ids = given.ids;
  request.rules = given.rules;
  if (!request.rules.empty() && !tracking::benchmarkNamed(request.rules)) {
    usage("talmira " + name + ": --track-rules: no track rules named " + request.rules +
          " (mot, mot20, mot15, kitti or plain)");
  }
  if (givenOption("--confidence")) request.confidence = confidence;
  request.length = given.length;
  return request;
}

}  // namespace talmira
