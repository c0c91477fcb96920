// talmira view: a page that draws the boxes of both files frame by frame,
// on the video's own pictures when given.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/selection.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/frame_views.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/counts/streaming_evaluation.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/frame_pictures.h"
#include "talmira/pages/view_page.h"
#include "talmira/track_events.h"

#ifndef TALMIRA_VERSION
#define TALMIRA_VERSION "unknown"
#endif

namespace talmira {

namespace {

struct ViewOptionsGiven {
  ViewRequest request;
  std::string frames = "errors";
  FormatOptionsGiven formats;
  TrackOptionsGiven track;
  bool fpsGiven = false;
};

// The most frames a --track page's timeline is made for (20 bytes each).
constexpr uint32_t kMostTimelineFrames = 10'000'000;

// --track: the tracks followed, each frame chosen drawn with its identities.
void writeTrackViewPage(const ViewRequest& r, const TrackRequest& request) {
  std::vector<std::string> warnings;
  const FollowedTracks followed = followTrackFiles(request, r.className, &warnings, "view");
  for (const std::string& warning : warnings) std::cerr << "warning: " << warning << "\n";
  TrackViewPage page;
  page.followed = &followed;
  page.framesText = r.framesText;
  page.producedBy = r.producedBy;
  const uint32_t length = followed.pair.groundTruth.length;
  // The timeline has a place for every frame of the sequence, with boxes or
  // not: a length far beyond any video's is refused rather than drawn.
  if (length > kMostTimelineFrames) {
    throw CommandError{kExitInputOrOutput,
                       request.groundTruth + ": " + std::to_string(length) + " frames (" +
                           followed.pair.lengthFrom +
                           "): view --track draws every frame of the sequence on its timeline, "
                           "at most " +
                           std::to_string(kMostTimelineFrames)};
  }
  page.errors.assign(length, {});
  page.switches.assign(length, 0);
  for (const FollowedClass& c : followed.classes) {
    for (const TrackEventRow& row : c.rows) {
      const std::size_t pos = row.frame - 1;
      if (row.kind == TrackEventKind::kMiss) ++page.errors[pos].fn;
      if (row.kind == TrackEventKind::kFalseAlarm) ++page.errors[pos].fp;
      if (row.kind == TrackEventKind::kSwitch) ++page.switches[pos];
    }
  }
  // A switch counts among a frame's errors when frames are chosen, so that
  // errors and worst:N hold the frames with switches too.
  std::vector<FrameErrors> weights = page.errors;
  for (std::size_t pos = 0; pos < length; ++pos) {
    weights[pos].fn += static_cast<int32_t>(page.switches[pos]);
  }
  std::vector<uint32_t> numbers(length);
  std::iota(numbers.begin(), numbers.end(), 1u);
  for (const std::size_t pos : chooseFrames(numbers, weights, r.choice, &page.leftOut)) {
    page.frames.push_back(numbers[pos]);
  }
  if (!r.images.empty()) {
    page.pictures = picturesFromFiles(r.images, page.frames, r.output, r.embedImages);
  } else if (!r.video.empty()) {
    page.pictures = picturesFromVideo(r.video, r.fps, r.firstFrame, page.frames, r.jobs);
  }
  writeOutput(r.output, renderTrackViewPage(page));
}

std::string commandLineOf(const ViewRequest& r, const RulesGiven& rules) {
  std::string line = "talmira " TALMIRA_VERSION " view " + r.groundTruth + " " + r.system + " -c " +
                     shortestText(r.confidence) + " --class " + r.className + " --frames " +
                     r.framesText;
  if (!r.images.empty()) line += " --images " + r.images + (r.embedImages ? " --embed-images" : "");
  if (!r.video.empty()) line += " --video " + r.video;
  return line + rulesArguments(rules.rules());
}

std::string trackCommandLineOf(const ViewRequest& r, const TrackRequest& request) {
  std::string line = "talmira " TALMIRA_VERSION " view " + r.groundTruth + " " + r.system +
                     " --track --gt-format " + request.groundTruthFormat + " --sys-format " +
                     request.systemFormat;
  if (!request.rules.empty()) line += " --track-rules " + request.rules;
  if (request.length > 0) line += " --length " + std::to_string(request.length);
  if (!request.ids.empty()) line += " --ids " + request.ids;
  if (request.confidence) line += " -c " + shortestText(*request.confidence);
  line += " --class " + r.className + " --frames " + r.framesText;
  if (!r.images.empty()) line += " --images " + r.images + (r.embedImages ? " --embed-images" : "");
  if (!r.video.empty()) line += " --video " + r.video;
  return line;
}

void runView(ViewOptionsGiven& given, const CLI::App& command) {
  ViewRequest& r = given.request;
  const auto usage = [](const std::string& what) {
    throw CommandError{kExitUsage, "talmira view: " + what};
  };
  const std::optional<FrameChoice> choice = parseFrameChoice(given.frames);
  if (!choice) usage("--frames " + given.frames + ": expected errors, all, worst:N or A-B");
  r.choice = *choice;
  r.framesText = given.frames;
  if (r.embedImages && r.images.empty()) usage("--embed-images embeds the pictures of --images");
  if (!r.images.empty() && !r.video.empty()) usage("give --images or --video, not both");
  if (!r.images.empty() && !validPicturePattern(r.images)) {
    usage("--images " + r.images +
          ": expected one field for the frame number, e.g. frames/%06d.jpg");
  }
  if (!r.video.empty() && !given.fpsGiven) usage("--video needs --fps, the video's frame rate");
  if (r.video.empty() && given.fpsGiven) usage("--fps is the frame rate of --video");
  if (!r.video.empty() && !(r.fps > 0.0 && std::isfinite(r.fps))) usage("--fps must be above 0");
  std::vector<std::string> inputs = auxiliaryInputs(given.formats);
  inputs.insert(inputs.begin(), {r.groundTruth, r.system});
  if (!r.video.empty()) inputs.push_back(r.video);
  if (const std::optional<TrackRequest> request = trackRequestOf(
          command, given.track, r.groundTruth, r.system, given.formats.groundTruthFormat,
          given.formats.systemFormat, r.confidence)) {
    refuseOutputNamingInput(r.output, inputs);
    r.producedBy = trackCommandLineOf(r, *request);
    writeTrackViewPage(r, *request);
    return;
  }
  refuseOutputNamingInput(r.output, inputs);
  r.formats = inputFormatsOf(given.formats, r.groundTruth);
  r.producedBy = commandLineOf(r, given.formats.rules);
  writeViewPage(r);
}

}  // namespace

namespace {

// The page's pictures and the page itself, once its frames are made.
void finishViewPage(const ViewRequest& r, const ViewSource& source, ViewPage& page) {
  std::vector<uint32_t> numbers;
  for (const FrameView& view : page.frames) {
    numbers.push_back(source.groundTruth.frames[view.truthFrame].frameNumber);
  }
  if (!r.images.empty()) {
    page.pictures = picturesFromFiles(r.images, numbers, r.output, r.embedImages);
  } else if (!r.video.empty()) {
    page.pictures = picturesFromVideo(r.video, r.fps, r.firstFrame, numbers, r.jobs);
  }
  writeOutput(r.output, renderViewPage(source, page));
}

// Files of this format whose frame numbers only grow (what tools write) are
// read twice rather than held: once to count every frame's errors, once for
// the frames the page holds. False when the files cannot be read that way.
// Both files are of this format (the caller sees to it).
bool writeViewPageWhileReading(const ViewRequest& r, const TargetFilter& filter, ViewPage& page) {
  StreamedInput groundTruth(openForStreaming(r.groundTruth), r.groundTruth);
  StreamedInput system(openForStreaming(r.system), r.system);
  if (groundTruth.stream == nullptr || system.stream == nullptr) {
    for (std::FILE* opened : {groundTruth.stream, system.stream}) {
      if (opened != nullptr) std::fclose(opened);
    }
    return false;
  }
  groundTruth.rules = r.formats.groundTruth.rules;
  system.rules = r.formats.system.rules;
  StreamedView view = viewFramesWhileReading(groundTruth, system, filter, r.choice, r.near, r.jobs);
  throwReadFailures(groundTruth, system);
  if (!view.inOrder) return false;
  page.errors = std::move(view.errors);
  page.leftOut = view.leftOut;
  page.frames = std::move(view.frames);
  const ViewSource source{*view.groundTruth, *view.system, view.truthLines, view.systemLines,
                          [&](bool systemSide, uint64_t line) {
                            return (systemSide ? view.systemCorners : view.truthCorners).find(line);
                          }};
  finishViewPage(r, source, page);
  return true;
}

}  // namespace

void writeViewPage(const ViewRequest& r) {
  ViewPage page;
  page.groundTruthPath = r.groundTruth;
  page.systemPath = r.system;
  page.className = r.className;
  page.confidence = r.confidence;
  page.framesText = r.framesText;
  page.producedBy = r.producedBy;
  if (r.formats.native()) {
    // Files of this format: its ten classes, known before either file is read.
    page.classSet = ClassSet::standard();
    classRowNamed(*page.classSet, r.className, "view");
    if (writeViewPageWhileReading(r, TargetFilter(r.className.c_str(), r.confidence), page)) {
      return;
    }
  }

  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  ReadDetails truthLines;
  ReadDetails systemLines;
  readInputs(r.groundTruth, r.system, groundTruth, system, &truthLines, &systemLines, r.formats);
  // The filter looks its class up among the names the files brought.
  page.classSet = pairClasses(*groundTruth, *system);
  classRowNamed(*page.classSet, r.className, "view");
  const TargetFilter filter(r.className.c_str(), r.confidence);
  const std::vector<int32_t> partners = pairFrames(*groundTruth, *system);
  page.errors = frameErrors(*groundTruth, *system, partners, filter, r.jobs);
  const std::vector<std::size_t> chosen =
      chooseFrames(*groundTruth, page.errors, r.choice, &page.leftOut);
  page.frames = viewFrames(*groundTruth, *system, partners, chosen, filter, r.near);

  // The corners of the turned records drawn, for files of this format (the
  // others' readers make no turned boxes): both files read again at once,
  // each up to its last turned record drawn.
  RecordCorners truthCorners;
  RecordCorners systemCorners;
  const auto wantTurned = [](RecordCorners& corners, const std::vector<const QuorTarget*>& targets,
                             std::span<const uint64_t> lines) {
    for (std::size_t at = 0; at < targets.size(); ++at) {
      if (isTurned(*targets[at])) corners.want(lines.subspan(at, 1));
    }
  };
  {
    std::jthread systemReader([&] {
      if (r.formats.system.format != AnnotationFormat::kTalmira) return;
      for (const FrameView& view : page.frames) {
        if (view.systemFrame < 0) continue;
        const auto at = static_cast<std::size_t>(view.systemFrame);
        wantTurned(systemCorners, system->frames[at].targets, systemLines.targetLines(at));
      }
      systemCorners.read(r.system);
    });
    if (r.formats.groundTruth.format == AnnotationFormat::kTalmira) {
      for (const FrameView& view : page.frames) {
        const QuorFrame& frame = groundTruth->frames[view.truthFrame];
        wantTurned(truthCorners, frame.targets, truthLines.targetLines(view.truthFrame));
        wantTurned(truthCorners, frame.regions, truthLines.regionLines(view.truthFrame));
      }
      truthCorners.read(r.groundTruth);
    }
  }
  const ViewSource source{*groundTruth, *system, truthLines, systemLines,
                          [&](bool systemSide, uint64_t line) {
                            return (systemSide ? systemCorners : truthCorners).find(line);
                          }};
  finishViewPage(r, source, page);
}

void addViewCommand(CLI::App& app) {
  auto given = std::make_shared<ViewOptionsGiven>();
  given->formats.ownClasses = true;  // other datasets' classes as they name them
  given->formats.moreFormatNames = trackOnlyFormatNames();
  given->formats.moreFormatsHelp = kTrackFormatsHelp;
  ViewRequest& r = given->request;
  CLI::App* command = app.add_subcommand(
      "view", "Write a page that draws both files' boxes frame by frame, on the video's pictures");
  command->add_option("GT", r.groundTruth, "ground-truth annotation file")->required();
  command->add_option("SYS", r.system, "the detector's output, same format")->required();
  command->add_option("-o,--output", r.output, "the HTML page to write (whole, or not at all)")
      ->type_name("PAGE.html")
      ->required();
  addConfidenceOption(*command, r.confidence);
  command
      ->add_option("--class", r.className,
                   "the class whose matching is drawn, as the files name it (All: every class)")
      ->type_name("NAME")
      ->default_str("All");
  command
      ->add_option("--frames", given->frames,
                   "the frames the page holds: errors (every frame with a miss or a false alarm, "
                   "at most 1000, those with the most errors when there are more), all, worst:N, "
                   "or the frame numbers A-B")
      ->type_name("errors|all|worst:N|A-B")
      ->default_str("errors");
  command
      ->add_option("--images", r.images,
                   "the frames' pictures: a path with one printf field for the frame number, "
                   "e.g. frames/%06d.jpg; linked relative to the page")
      ->type_name("PATTERN");
  command->add_flag("--embed-images", r.embedImages,
                    "embed the pictures of --images in the page instead of linking them");
  command
      ->add_option("--video", r.video,
                   "take the pictures from this video with ffmpeg: frame n is the picture at "
                   "time (n - first) / fps; embedded as JPEG, at most 1920 pixels wide")
      ->type_name("FILE");
  command
      ->add_option_function<double>(
          "--fps",
          [given](double fps) {
            given->request.fps = fps;
            given->fpsGiven = true;
          },
          "the video's frame rate (with --video)")
      ->type_name("R");
  command
      ->add_option("--first-frame", r.firstFrame, "the frame number of the video's first picture")
      ->type_name("N")
      ->default_str("0");
  addNearOption(*command, r.near);
  addJobsOption(*command, r.jobs, "threads that count the errors and take pictures from the video");
  addFormatOptions(*command, given->formats);
  addRulesOptions(*command, given->formats.rules);
  addTrackOptions(*command, given->track);
  command->footer(
      "The page is self-contained: inline style, SVG and script, nothing fetched (linked\n"
      "pictures aside). Each box is drawn in the frame's pixel coordinates as its four\n"
      "corners, ground truth solid and system output dashed, coloured by its event as\n"
      "`talmira events` names it; pairs are joined by a line, don't-care regions hatched.\n"
      "Every box is an SVG element with data-side (gt, sys), data-line (its line in its file)\n"
      "and data-event. Keys: right and left arrows for the next and previous frame, n and p\n"
      "for the next and previous frame with an error; click the timeline to jump.\n"
      "\n"
      "--track reads both files as talmira track does and draws CLEAR's matching: each\n"
      "ground-truth track in a colour of its own, each tracker box in the colour of the track\n"
      "it is matched to (false alarms orange), identities as labels, every identity switch\n"
      "ringed on its frame and marked on the timeline; s and S (shift) go to the next and\n"
      "previous frame with a switch. The boxes carry the rows of talmira events --track.\n"
      "--frames errors then holds the frames with a miss, a false alarm or a switch.\n"
      "\n"
      "Examples:\n"
      "  talmira view groundtruth.csv systemoutput.csv -o view.html\n"
      "  talmira view gt.csv sys.csv -o view.html --frames worst:50 --images frames/%06d.jpg\n"
      "  talmira view gt.csv sys.csv -o view.html --video drive.mp4 --fps 30 --first-frame 1\n"
      "  talmira view --track MOT17-02/gt/gt.txt MOT17-02.txt -o tracks.html --images "
      "MOT17-02/img1/%06d.jpg\n");
  command->callback([given, command] { runView(*given, *command); });
}

}  // namespace talmira
