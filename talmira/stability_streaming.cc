#include "talmira/stability_streaming.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "annotation/class_set.h"
#include "annotation/format_support.h"
#include "annotation/frame_ordered_lines.h"
#include "annotation/mot_reader.h"
#include "annotation/track_reader.h"

namespace talmira {

namespace {

using formats::FrameOrderedLines;

// Targets of a side's block of frames: a block is handed over whole.
constexpr std::size_t kBlockTargets = std::size_t{1} << 13;
// Blocks of a side read ahead of the matching: enough for the detections to
// be read on while the ground truth's runs are found.
constexpr std::size_t kBlocksAhead = 6;
// A sequence counts its frames and boxes in 31 bits (the reader refuses
// more): such a file is left to it.
constexpr uint64_t kMaxLines = 2147483647;

// Frames of one side as the detection reader files them, with each
// target's exact corners and identity as the track reader reads its line.
struct Block {
  // A new one a block: a sequence cleared keeps its frames' lists for
  // frames to come, which the filing does not take.
  std::unique_ptr<QuorSequence> sequence;
  ReadDetails details;
  std::vector<tracking::StabilityBox> exact;  // a target each, as details.allTargetLines
  std::vector<int64_t> ids;
};

enum class Outcome : uint8_t { kBlock, kEnd, kOutOfOrder, kWhole };

// Whether a map makes the filing keep every type as a class (as
// formats.cc's reading decides).
bool mayBringOwnClasses(const ClassMap& map) {
  return map.takesEveryLabel() || !map.onlyTypesOfThisFormat();
}

// The lines of one file in frame order, each read by both readers.
class SideReader {
 public:
  SideReader(const std::string& path, const AnnotationReadOptions& options, bool merge)
      : path_(path),
        options_(options),
        lines_(path, merge),
        maker_(path, options, records_, failure_),
        mot_(maker_),
        track_({path, tracking::TrackLayout::kAutomatic, options.role}),
        truth_(options.role == AnnotationRole::kGroundTruth) {}

  // The next block of frames, or how the file ended.
  Outcome next(Block& block) {
    block.sequence = std::make_unique<QuorSequence>();
    block.sequence->classes = ownClasses() ? noClassesYet() : nullptr;
    block.sequence->infinityMeansNoScore = !truth_;
    block.details = ReadDetails{};
    block.exact.clear();
    block.ids.clear();
    boxes_.clear();
    std::string error;
    RecordFiler filer(*block.sequence, path_, &error, &block.details, options_.rules);
    for (;;) {
      std::string_view line;
      uint64_t number = 0;
      uint32_t frame = 0;
      FrameOrderedLines::Status status = FrameOrderedLines::Status::kLine;
      if (held_) {
        line = heldLine_;
        number = heldNumber_;
        frame = heldFrame_;
        held_ = false;
      } else {
        status = lines_.next(&line, &number, &frame);
      }
      if (status == FrameOrderedLines::Status::kOutOfOrder) return Outcome::kOutOfOrder;
      if (status == FrameOrderedLines::Status::kUnsupported) return Outcome::kWhole;
      const bool end = status == FrameOrderedLines::Status::kEnd;
      if (end || (pending_ && frame != pendingFrame_)) {
        if (pending_ && !filePending(filer)) return Outcome::kWhole;
        if (end || block.sequence->targetStore.size() >= kBlockTargets) {
          if (!end) {
            held_ = true;  // the line lives until the reader is asked again
            heldLine_ = line;
            heldNumber_ = number;
            heldFrame_ = frame;
          }
          filer.finish();
          if (!error.empty() || !join(block)) return Outcome::kWhole;
          if (end && !finished()) return Outcome::kWhole;
          if (block.sequence->frames.empty()) return Outcome::kEnd;
          return Outcome::kBlock;
        }
      }
      if (++lines_read_ > kMaxLines) return Outcome::kWhole;
      pending_ = true;
      pendingFrame_ = frame;
      if (!readLine(line, number, frame)) return Outcome::kWhole;
    }
  }

 private:
  bool ownClasses() const { return mayBringOwnClasses(options_.classMap()); }

  static std::shared_ptr<const ClassSet> noClassesYet() {
    static const std::shared_ptr<const ClassSet> none =
        std::make_shared<const ClassSet>(std::vector<std::string>{});
    return none;
  }

  bool readLine(std::string_view line, uint64_t number, uint32_t frame) {
    // The line's numbers are read once, for both readers, when they are
    // plain; each reader reads the line's text itself otherwise.
    formats::readPlainColumns(line, &columns_);
    uint32_t trackFrame = 0;
    tracking::TrackBox box;
    if (!track_.readPlain(columns_, number, &box, &trackFrame)) {
      try {
        box = track_.read(line, number, &trackFrame);
      } catch (const tracking::TrackReadError&) {
        return false;
      }
    }
    if (trackFrame != frame || (truth_ && box.id < 0)) return false;
    boxes_.push_back(box);
    const std::size_t before = records_.size();
    // A plain line's record is made from its numbers as read exactly: the
    // detection reader's own reading of the line would cost nearly as much
    // as the track reader's (see readPlainMotLine()). Its warnings and
    // failures leave the file to the whole road, as that reading asks.
    switch (formats::readPlainMotLine(maker_, columns_, number, box.confidence)) {
      case formats::PlainMotLine::kFailed:
        return false;
      case formats::PlainMotLine::kRead:
        break;
      case formats::PlainMotLine::kNotPlain:
        if (!mot_.read(line, number) || !failure_.warnings.empty()) return false;
        break;
    }
    return records_.size() == before || records_.back().frameNumber == frame;
  }

  // Files the records of the frame read last; its identities must differ.
  bool filePending(RecordFiler& filer) {
    pending_ = false;
    for (const AnnotationRecord& record : records_) {
      if (!filer.file(record)) return false;
    }
    records_.clear();
    if (truth_) {
      frameIds_.clear();
      for (std::size_t k = frameStart_; k < boxes_.size(); ++k) frameIds_.push_back(boxes_[k].id);
      std::sort(frameIds_.begin(), frameIds_.end());
      if (std::adjacent_find(frameIds_.begin(), frameIds_.end()) != frameIds_.end()) return false;
    }
    frameStart_ = boxes_.size();
    return true;
  }

  // Each target's box of the track reader, by its line: the targets' lines
  // are among the block's lines, in their order.
  bool join(Block& block) {
    std::size_t at = 0;
    block.exact.reserve(block.details.allTargetLines.size());
    if (truth_) block.ids.reserve(block.details.allTargetLines.size());
    for (const uint64_t line : block.details.allTargetLines) {
      while (at < boxes_.size() && boxes_[at].line != line) ++at;
      if (at == boxes_.size()) return false;
      const tracking::TrackBox& box = boxes_[at++];
      block.exact.push_back({box.left, box.top, box.right, box.bottom});
      if (truth_) block.ids.push_back(box.id);
    }
    boxes_.clear();
    frameStart_ = 0;
    return true;
  }

  // What the readers decide once every line is read.
  bool finished() {
    try {
      track_.finish();
    } catch (const tracking::TrackReadError&) {
      return false;
    }
    return failure_.warnings.empty();
  }

  std::string path_;
  const AnnotationReadOptions& options_;
  FrameOrderedLines lines_;
  std::vector<AnnotationRecord> records_;  // of the frame being read
  AnnotationReadFailure failure_;
  formats::RecordMaker maker_;
  formats::MotLineReader mot_;
  tracking::TrackLineReader track_;
  bool truth_;
  formats::PlainColumns columns_;          // of the line being read
  std::vector<tracking::TrackBox> boxes_;  // of the block's lines, in order
  std::size_t frameStart_ = 0;             // the first of boxes_ of the frame being read
  std::vector<int64_t> frameIds_;
  bool pending_ = false;
  uint32_t pendingFrame_ = 0;
  bool held_ = false;
  std::string_view heldLine_;
  uint64_t heldNumber_ = 0;
  uint32_t heldFrame_ = 0;
  uint64_t lines_read_ = 0;
};

// A side read in a thread of its own, a few blocks ahead of the matching.
class SideFeed {
 public:
  SideFeed(const std::string& path, const AnnotationReadOptions& options, bool merge)
      : reader_(path, options, merge), thread_([this] { run(); }) {}
  ~SideFeed() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  SideFeed(const SideFeed&) = delete;
  SideFeed& operator=(const SideFeed&) = delete;

  // The next block, or null with how the file ended.
  std::unique_ptr<Block> take(Outcome* outcome) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty() || done_; });
    if (ready_.empty()) {
      *outcome = outcome_;
      return nullptr;
    }
    std::unique_ptr<Block> block = std::move(ready_.front());
    ready_.pop_front();
    lock.unlock();
    changed_.notify_all();
    *outcome = Outcome::kBlock;
    return block;
  }
  // A block done with, to be filled again.
  void giveBack(std::unique_ptr<Block> block) {
    const std::lock_guard lock(mutex_);
    spare_.push_back(std::move(block));
  }

 private:
  void run() {
    for (;;) {
      std::unique_ptr<Block> block;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || ready_.size() < kBlocksAhead; });
        if (stop_) return;
        if (!spare_.empty()) {
          block = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      if (!block) block = std::make_unique<Block>();
      Outcome outcome = Outcome::kWhole;
      try {
        outcome = reader_.next(*block);
      } catch (const std::exception&) {
        outcome = Outcome::kWhole;  // the whole road meets it again, and says so
      }
      {
        const std::lock_guard lock(mutex_);
        if (outcome == Outcome::kBlock) {
          ready_.push_back(std::move(block));
        } else {
          done_ = true;
          outcome_ = outcome;
        }
      }
      changed_.notify_all();
      if (outcome != Outcome::kBlock) return;
    }
  }

  SideReader reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Block>> ready_;
  std::vector<std::unique_ptr<Block>> spare_;
  bool done_ = false;
  bool stop_ = false;
  Outcome outcome_ = Outcome::kEnd;
  std::jthread thread_;
};

// The detection road's boxes of the blocks at hand.
class BlockBoxes : public tracking::DetectionBoxes {
 public:
  const Block* truth = nullptr;
  const Block* system = nullptr;

  int64_t truthTrack(std::size_t frame, std::size_t box) const override {
    return truth->ids[truth->details.targetStarts[frame] + box];
  }
  tracking::StabilityBox truthBox(std::size_t frame, std::size_t box) const override {
    return truth->exact[truth->details.targetStarts[frame] + box];
  }
  tracking::StabilityBox systemBox(std::size_t frame, std::size_t box) const override {
    return system->exact[system->details.targetStarts[frame] + box];
  }
};

// Whether a side was read to its end, and if not, how it stopped.
struct Ending {
  bool outOfOrder = false;
  bool whole = false;
};

// One pass over both files; `merge` says which are merged by frame.
std::optional<std::vector<std::vector<tracking::TrackStability>>> streamOnce(
    const StabilityRequest& request, const std::vector<TargetFilter>& filters,
    std::span<const std::vector<int64_t>> followed, std::array<bool, 2>& merge) {
  tracking::DetectionStabilityFeeder feeder(filters, followed);
  std::array<Ending, 2> ending;
  {
    SideFeed truthFeed(request.groundTruth, request.formats.groundTruth, merge[0]);
    SideFeed systemFeed(request.system, request.formats.system, merge[1]);
    const auto note = [&](std::size_t side, Outcome outcome) {
      if (outcome == Outcome::kOutOfOrder) ending[side].outOfOrder = true;
      if (outcome == Outcome::kWhole) ending[side].whole = true;
      return outcome == Outcome::kEnd;
    };
    BlockBoxes boxes;
    std::unique_ptr<Block> system;
    std::size_t systemAt = 0;  // the frame of `system` looked at
    bool systemDone = false;
    // The system frame numbered `number`, if any: the system frames before
    // it are passed over (no ground-truth frame has their numbers).
    const auto partnerOf = [&](uint32_t number) -> bool {
      for (;;) {
        if (systemDone) return false;
        if (system && systemAt < system->sequence->frames.size()) {
          const uint32_t at = system->sequence->frames[systemAt].frameNumber;
          if (at >= number) return at == number;
          ++systemAt;
          continue;
        }
        if (system) systemFeed.giveBack(std::move(system));
        Outcome outcome = Outcome::kBlock;
        system = systemFeed.take(&outcome);
        systemAt = 0;
        if (!system) {
          systemDone = true;
          if (!note(1, outcome)) return false;
        }
      }
    };
    for (;;) {
      Outcome outcome = Outcome::kBlock;
      std::unique_ptr<Block> truth = truthFeed.take(&outcome);
      if (!truth) {
        if (!note(0, outcome)) break;
        // The system file read to its end: a fault after the last frame
        // of the ground truth fails it all the same.
        while (partnerOf(UINT32_MAX)) ++systemAt;
        break;
      }
      boxes.truth = truth.get();
      const std::vector<QuorFrame>& frames = truth->sequence->frames;
      for (std::size_t k = 0; k < frames.size(); ++k) {
        const bool paired = partnerOf(frames[k].frameNumber);
        if (ending[1].outOfOrder || ending[1].whole) break;
        boxes.system = paired ? system.get() : nullptr;
        feeder.frame(frames[k], k, paired ? &system->sequence->frames[systemAt] : nullptr,
                     paired ? static_cast<int32_t>(systemAt) : -1, boxes);
      }
      truthFeed.giveBack(std::move(truth));
      if (ending[1].outOfOrder || ending[1].whole) break;
    }
  }
  bool again = false;
  for (std::size_t side = 0; side < 2; ++side) {
    if (ending[side].whole || (ending[side].outOfOrder && merge[side])) return std::nullopt;
    if (ending[side].outOfOrder) {
      merge[side] = true;
      again = true;
    }
  }
  if (again) return streamOnce(request, filters, followed, merge);
  return feeder.finish();
}

bool regularFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

bool mayStreamStability(const StabilityRequest& request) {
  if (request.clear || request.groundTruthFormat != "mot" || request.systemFormat != "mot") {
    return false;
  }
  for (const AnnotationReadOptions* options :
       {&request.formats.groundTruth, &request.formats.system}) {
    if (options->format != AnnotationFormat::kMot || !options->ignorePath.empty() ||
        options->classMap().takesEveryLabel()) {
      return false;
    }
  }
  return regularFile(request.groundTruth) && regularFile(request.system);
}

ClassSetPtr streamedStabilityClasses(const StabilityRequest& request) {
  std::array<QuorSequence, 2> sides;
  for (std::size_t side = 0; side < 2; ++side) {
    const AnnotationReadOptions& options =
        side == 0 ? request.formats.groundTruth : request.formats.system;
    std::vector<AnnotationRecord> records;
    AnnotationReadFailure failure;
    const formats::RecordMaker maker(side == 0 ? request.groundTruth : request.system, options,
                                     records, failure);
    sides[side].classes = maker.classSet();
  }
  return pairClasses(sides[0], sides[1]);
}

std::optional<std::vector<std::vector<tracking::TrackStability>>> streamedStability(
    const StabilityRequest& request, const std::vector<TargetFilter>& filters,
    std::span<const std::vector<int64_t>> followed) {
  std::array<bool, 2> merge{false, false};
  return streamOnce(request, filters, followed, merge);
}

}  // namespace talmira
