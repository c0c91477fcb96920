#include "scoring/analysis/frame_views.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <span>
#include <thread>

#include "scoring/analysis/error_causes.h"
#include "scoring/counts/sequence_evaluation.h"

namespace {

bool parseWhole(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<FrameChoice> parseFrameChoice(std::string_view text) {
  FrameChoice choice;
  if (text == "errors") return choice;
  if (text == "all") {
    choice.kind = FrameChoice::Kind::kAll;
    return choice;
  }
  uint64_t a = 0;
  uint64_t b = 0;
  if (text.starts_with("worst:")) {
    if (!parseWhole(text.substr(6), a) || a == 0) return std::nullopt;
    choice.kind = FrameChoice::Kind::kWorst;
    choice.count = static_cast<std::size_t>(std::min<uint64_t>(a, SIZE_MAX));
    return choice;
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos || !parseWhole(text.substr(0, dash), a) ||
      !parseWhole(text.substr(dash + 1), b) || a > b || b > UINT32_MAX) {
    return std::nullopt;
  }
  choice.kind = FrameChoice::Kind::kRange;
  choice.first = static_cast<uint32_t>(a);
  choice.last = static_cast<uint32_t>(b);
  return choice;
}

std::vector<FrameErrors> frameErrors(const QuorSequence& groundTruth, const QuorSequence& system,
                                     const std::vector<int32_t>& partners,
                                     const TargetFilter& filter, unsigned threads) {
  const std::size_t frameCount = groundTruth.frames.size();
  std::vector<FrameErrors> errors(frameCount);
  constexpr std::size_t kFramesPerItem = 256;
  const std::size_t items = (frameCount + kFramesPerItem - 1) / kFramesPerItem;
  const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(threads, items));
  std::atomic<std::size_t> nextItem{0};
  const std::vector<TargetFilter> filters = {filter};
  const auto work = [&] {
    QuorFrame truthScratch(0);
    QuorFrame systemScratch(0);
    std::vector<ClassTotals> totals(1);
    for (std::size_t item; (item = nextItem.fetch_add(1)) < items;) {
      const std::size_t end = std::min(frameCount, (item + 1) * kFramesPerItem);
      for (std::size_t at = item * kFramesPerItem; at < end; ++at) {
        const int32_t partner = partners[at];
        totals[0] = ClassTotals{};
        evaluateFramePair(
            groundTruth.frames[at],
            partner >= 0 ? &system.frames[static_cast<std::size_t>(partner)] : nullptr, filters, 0,
            1, totals, truthScratch, systemScratch);
        errors[at] = {static_cast<int32_t>(totals[0].fn), static_cast<int32_t>(totals[0].fp)};
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t worker = 1; worker < workers; ++worker) pool.emplace_back(work);
    work();
  }
  return errors;
}

std::vector<std::size_t> chooseFrames(const QuorSequence& groundTruth,
                                      const std::vector<FrameErrors>& errors,
                                      const FrameChoice& choice, std::size_t* leftOut) {
  std::vector<uint32_t> numbers;
  numbers.reserve(groundTruth.frames.size());
  for (const QuorFrame& frame : groundTruth.frames) numbers.push_back(frame.frameNumber);
  return chooseFrames(numbers, errors, choice, leftOut);
}

std::vector<std::size_t> chooseFrames(std::span<const uint32_t> frameNumbers,
                                      const std::vector<FrameErrors>& errors,
                                      const FrameChoice& choice, std::size_t* leftOut) {
  std::vector<std::size_t> chosen;
  if (leftOut != nullptr) *leftOut = 0;
  const std::size_t frameCount = frameNumbers.size();
  switch (choice.kind) {
    case FrameChoice::Kind::kAll:
      for (std::size_t at = 0; at < frameCount; ++at) chosen.push_back(at);
      return chosen;
    case FrameChoice::Kind::kRange:
      for (std::size_t at = 0; at < frameCount; ++at) {
        const uint32_t number = frameNumbers[at];
        if (number >= choice.first && number <= choice.last) chosen.push_back(at);
      }
      return chosen;
    case FrameChoice::Kind::kErrors:
    case FrameChoice::Kind::kWorst:
      break;
  }
  for (std::size_t at = 0; at < frameCount; ++at) {
    if (errors[at].errors() > 0) chosen.push_back(at);
  }
  if (chosen.size() > choice.count) {
    // The most errors first, ties in file order; held in file order.
    std::stable_sort(chosen.begin(), chosen.end(), [&](std::size_t a, std::size_t b) {
      return errors[a].errors() > errors[b].errors();
    });
    if (leftOut != nullptr && choice.kind == FrameChoice::Kind::kErrors) {
      *leftOut = chosen.size() - choice.count;
    }
    chosen.resize(choice.count);
    std::sort(chosen.begin(), chosen.end());
  }
  return chosen;
}

std::vector<FrameView> viewFrames(const QuorSequence& groundTruth, const QuorSequence& system,
                                  const std::vector<int32_t>& partners,
                                  const std::vector<std::size_t>& positions,
                                  const TargetFilter& filter, float near) {
  std::vector<FrameView> views;
  views.reserve(positions.size());
  FrameExplainer explainer(filter.threshold(), near);
  for (const std::size_t at : positions) {
    FrameView view;
    view.truthFrame = at;
    view.position = at;
    view.systemFrame = partners[at];
    const QuorFrame& truth = groundTruth.frames[at];
    const QuorFrame* partner = view.systemFrame >= 0
                                   ? &system.frames[static_cast<std::size_t>(view.systemFrame)]
                                   : nullptr;
    explainer.start(truth, partner);
    explainer.explain(filter);
    const auto addSide = [&](bool systemSide, const std::vector<ExplainedBox>& explained,
                             std::size_t boxCount) {
      // Every box of the frame, those the selection takes with their event.
      std::vector<ViewBox> side(boxCount);
      for (std::size_t box = 0; box < boxCount; ++box) {
        side[box].systemSide = systemSide;
        side[box].takesPart = false;
        side[box].box = static_cast<int32_t>(box);
      }
      for (const ExplainedBox& b : explained) {
        ViewBox& shown = side[static_cast<std::size_t>(b.box)];
        shown.takesPart = true;
        shown.kind = b.kind;
        shown.partner = b.partner;
        shown.cause = b.cause;
        shown.overlap = b.overlap;
        // Counted as the scoring counts them: GT = matches + misses, Det =
        // matches + false alarms.
        if (b.kind == BoxEventKind::kMatch) ++(systemSide ? view.det : view.gt);
        if (b.kind == BoxEventKind::kMiss) ++view.gt, ++view.errors.fn;
        if (b.kind == BoxEventKind::kFalseAlarm) ++view.det, ++view.errors.fp;
      }
      view.boxes.insert(view.boxes.end(), side.begin(), side.end());
    };
    addSide(false, explainer.truths(), truth.targets.size());
    for (std::size_t region = 0; region < truth.regions.size(); ++region) {
      ViewBox shown;
      shown.region = true;
      shown.takesPart = false;
      shown.box = static_cast<int32_t>(region);
      view.boxes.push_back(shown);
    }
    if (partner != nullptr) addSide(true, explainer.systems(), partner->targets.size());
    views.push_back(std::move(view));
  }
  return views;
}

bool isTurned(const QuorTarget& target) {
  const double area = static_cast<double>(static_cast<int64_t>(target.maxX) - target.minX) *
                      static_cast<double>(static_cast<int64_t>(target.maxY) - target.minY);
  return target.sideProduct != area;
}

std::optional<std::array<int32_t, 8>> CornersByLine::find(uint64_t line) const {
  const auto at = std::lower_bound(lines_.begin(), lines_.end(), line);
  if (at == lines_.end() || *at != line) return std::nullopt;
  return corners_[static_cast<std::size_t>(at - lines_.begin())];
}

namespace {

// Counts the errors of each frame pair handed over, by frame number (which
// only grows in a file read while it is read, so it tells the frame's place),
// and notes where in the files the two frames start.
class ErrorCounter : public FramePairVisitor {
 public:
  ErrorCounter(const TargetFilter& filter, std::size_t workers)
      : filters_{filter},
        totals_(workers, std::vector<ClassTotals>(1)),
        truthScratch_(workers, QuorFrame(0)),
        systemScratch_(workers, QuorFrame(0)),
        counted_(workers) {}

  void pair(std::size_t worker, const QuorFrame& truth, const QuorFrame* partner) override {
    std::vector<ClassTotals>& totals = totals_[worker];
    totals[0] = ClassTotals{};
    evaluateFramePair(truth, partner, filters_, 0, 1, totals, truthScratch_[worker],
                      systemScratch_[worker]);
    counted_[worker].push_back(
        {truth.frameNumber,
         {static_cast<int32_t>(totals[0].fn), static_cast<int32_t>(totals[0].fp)},
         {truth.firstByte, truth.firstLine},
         partner != nullptr ? RecordRun{partner->firstByte, partner->firstLine} : RecordRun{}});
  }
  void unpaired(const QuorFrame&) override {}

  /// Every frame's number, errors and where it and its partner start (a
  /// first line of 0 when it has none), in the file's order.
  void collect(std::vector<uint32_t>& numbers, std::vector<FrameErrors>& errors,
               std::vector<RecordRun>& truthRuns, std::vector<RecordRun>& systemRuns) {
    // A worker takes its pieces of work in the file's order, so each list is
    // in order already: merged, not sorted.
    std::size_t count = 0;
    for (const std::vector<Counted>& part : counted_) count += part.size();
    numbers.clear();
    errors.clear();
    numbers.reserve(count);
    errors.reserve(count);
    truthRuns.clear();
    systemRuns.clear();
    truthRuns.reserve(count);
    systemRuns.reserve(count);
    std::vector<std::size_t> next(counted_.size(), 0);
    for (std::size_t taken = 0; taken < count; ++taken) {
      std::size_t from = counted_.size();
      for (std::size_t part = 0; part < counted_.size(); ++part) {
        if (next[part] == counted_[part].size()) continue;
        if (from == counted_.size() ||
            counted_[part][next[part]].number < counted_[from][next[from]].number) {
          from = part;
        }
      }
      const Counted& first = counted_[from][next[from]++];
      numbers.push_back(first.number);
      errors.push_back(first.errors);
      truthRuns.push_back(first.truthRun);
      systemRuns.push_back(first.systemRun);
    }
    counted_ = {};
  }

 private:
  struct Counted {
    uint32_t number;
    FrameErrors errors;
    RecordRun truthRun;
    RecordRun systemRun;
  };
  const std::vector<TargetFilter> filters_;
  std::vector<std::vector<ClassTotals>> totals_;
  std::vector<QuorFrame> truthScratch_;
  std::vector<QuorFrame> systemScratch_;
  std::vector<std::vector<Counted>> counted_;
};

// Which file a stream reads, and how long it is: a file read a second time
// by its name must be the one read the first time.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(std::FILE* stream) {
  struct stat info {};
  if (stream == nullptr || fstat(fileno(stream), &info) != 0) return {};
  return {info.st_dev, info.st_ino, info.st_size};
}

void changedWhileRead(StreamedInput& input) {
  input.status = -1;
  input.error = locatedMessage(input.name, 0, "changed while it was read");
}

// Reads again, from `input`'s name, the frames numbered `wanted`
// (ascending), each from where `runs` says the first read found it, into
// `sequence` and `lines`, keeping the corners of the turned ones. A frame's
// records run from its first up to the next record that takes a place among
// the frames (takesFramePlace()) with another number: no other record of
// its number can follow it, as its numbers only grow, and those the filing
// drops, of whatever number, fall where they fall and change no frame.
void readFramesOf(StreamedInput& input, const FileIdentity& firstRead,
                  std::span<const uint32_t> wanted, std::span<const RecordRun> runs,
                  QuorSequence& sequence, ReadDetails& lines, CornersByLine& turned) {
  if (wanted.empty()) return;
  std::FILE* stream = std::fopen(input.name.c_str(), "r");
  if (stream == nullptr) {
    input.status = -1;
    input.error = locatedMessage(input.name, 0, "cannot be read a second time");
    return;
  }
  if (identityOf(stream) != firstRead) {
    std::fclose(stream);
    changedWhileRead(input);
    return;
  }
  // The corners of the turned records filed, by line: the filing keeps only
  // the rectangles they make.
  std::vector<std::pair<uint64_t, std::array<int32_t, 8>>> corners;
  RecordFiler filer(sequence, input.name, &input.error, &lines, input.rules);
  bool filed = true;
  bool changed = false;
  std::size_t started = runs.size();  // the run whose first record was seen
  std::string refusal;
  const int status = readRecordRuns(
      stream, input.name, runs,
      [&](std::size_t run, const AnnotationRecord& record) {
        const bool placed = takesFramePlace(record, input.rules);
        if (started != run) {
          // The first record of a run is the one that started its frame.
          started = run;
          if (record.line != runs[run].firstLine || !placed || record.frameNumber != wanted[run]) {
            changed = true;
            return RunStep::kStop;
          }
        } else if (record.frameNumber != wanted[run]) {
          return placed ? RunStep::kRunEnds : RunStep::kGoOn;
        }
        const std::array<int32_t, 8>& c = record.corners;
        if (isTurned(makeTarget(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], 0, false, 0.0f,
                                false))) {
          corners.emplace_back(record.line, c);
        }
        filed = filer.file(record);
        return filed ? RunStep::kGoOn : RunStep::kStop;
      },
      &refusal);
  filer.finish();
  if (!filed) {
    input.status = -1;
    return;
  }
  if (status != 0 && refusal.starts_with(locatedMessage(input.name, 0, "cannot read: "))) {
    // The stream failed, which says nothing of what it holds.
    input.status = -1;
    input.error = std::move(refusal);
    return;
  }
  // A line refused now was taken whole the first time.
  if (status != 0 || changed || sequence.frames.size() != wanted.size()) {
    changedWhileRead(input);
    return;
  }
  // Records come in line order, so `corners` is sorted by line.
  std::vector<uint64_t> turnedLines;
  const auto keepTurned = [&](const std::vector<const QuorTarget*>& targets,
                              std::span<const uint64_t> targetLines) {
    for (std::size_t k = 0; k < targets.size(); ++k) {
      if (isTurned(*targets[k])) turnedLines.push_back(targetLines[k]);
    }
  };
  for (std::size_t frame = 0; frame < sequence.frames.size(); ++frame) {
    keepTurned(sequence.frames[frame].targets, lines.targetLines(frame));
    keepTurned(sequence.frames[frame].regions, lines.regionLines(frame));
  }
  std::sort(turnedLines.begin(), turnedLines.end());
  for (const uint64_t line : turnedLines) {
    const auto found = std::lower_bound(
        corners.begin(), corners.end(), line,
        [](const auto& entry, uint64_t wantedLine) { return entry.first < wantedLine; });
    if (found != corners.end() && found->first == line) turned.add(line, found->second);
  }
}

}  // namespace

StreamedView viewFramesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                    const TargetFilter& filter, const FrameChoice& choice,
                                    float near, unsigned threads) {
  StreamedView view;
  std::vector<uint32_t> numbers;
  std::vector<RecordRun> truthRuns;
  std::vector<RecordRun> systemRuns;
  const FileIdentity truthFile = identityOf(groundTruth.stream);
  const FileIdentity systemFile = identityOf(system.stream);
  {
    ErrorCounter counter(filter, std::max(1u, threads));
    int64_t frames = 0;
    view.inOrder = visitFramesWhileReading(groundTruth, system, counter, threads, frames);
    if (!view.inOrder || groundTruth.status != 0 || system.status != 0) return view;
    counter.collect(numbers, view.errors, truthRuns, systemRuns);
  }
  const std::vector<std::size_t> chosen = chooseFrames(numbers, view.errors, choice, &view.leftOut);
  // The frames held, and those of them with a system frame of their number.
  std::vector<uint32_t> wanted;
  std::vector<RecordRun> wantedRuns;
  std::vector<uint32_t> partnered;
  std::vector<RecordRun> partneredRuns;
  wanted.reserve(chosen.size());
  wantedRuns.reserve(chosen.size());
  for (const std::size_t at : chosen) {
    wanted.push_back(numbers[at]);
    wantedRuns.push_back(truthRuns[at]);
    if (systemRuns[at].firstLine != 0) {
      partnered.push_back(numbers[at]);
      partneredRuns.push_back(systemRuns[at]);
    }
  }
  numbers = {};
  truthRuns = {};
  systemRuns = {};

  view.groundTruth = std::make_unique<QuorSequence>();
  view.system = std::make_unique<QuorSequence>();
  {
    std::jthread systemReader([&] {
      readFramesOf(system, systemFile, partnered, partneredRuns, *view.system, view.systemLines,
                   view.systemCorners);
    });
    readFramesOf(groundTruth, truthFile, wanted, wantedRuns, *view.groundTruth, view.truthLines,
                 view.truthCorners);
  }
  if (groundTruth.status != 0 || system.status != 0) return view;
  if (view.groundTruth->frames.size() != wanted.size()) {
    // The file is not what it was a moment ago.
    groundTruth.status = -1;
    groundTruth.error = locatedMessage(groundTruth.name, 0, "changed while it was read");
    return view;
  }
  // Each held frame's partner: the system frame of its number, if any.
  std::vector<int32_t> partners(wanted.size(), -1);
  std::size_t next = 0;
  const std::vector<QuorFrame>& systemFrames = view.system->frames;
  for (std::size_t at = 0; at < wanted.size(); ++at) {
    while (next < systemFrames.size() && systemFrames[next].frameNumber < wanted[at]) ++next;
    if (next < systemFrames.size() && systemFrames[next].frameNumber == wanted[at]) {
      partners[at] = static_cast<int32_t>(next);
    }
  }
  std::vector<std::size_t> every(wanted.size());
  for (std::size_t at = 0; at < every.size(); ++at) every[at] = at;
  view.frames = viewFrames(*view.groundTruth, *view.system, partners, every, filter, near);
  for (std::size_t at = 0; at < view.frames.size(); ++at) view.frames[at].position = chosen[at];
  return view;
}
