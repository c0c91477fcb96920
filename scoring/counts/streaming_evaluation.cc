#include "scoring/counts/streaming_evaluation.h"

#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "annotation/sequence_reader.h"

namespace {

// Blocks a reader may run ahead of the scoring.
constexpr std::size_t kBlocksAhead = 2;
// Frame pairs per piece of matching work.
constexpr std::size_t kPairsPerItem = 512;
// ... or fewer, when their frames hold this many boxes: a few crowded frames
// are shared out among the workers rather than left to one.
constexpr std::size_t kBoxesPerItem = std::size_t{1} << 13;

using Block = std::shared_ptr<const QuorSequence>;

// A bounded queue between two threads. Closing it ends the taking; giving it
// up makes every later put fail at once, so that a producer never waits for
// a consumer that has stopped.
template <typename Item>
class Channel {
 public:
  explicit Channel(std::size_t capacity) : capacity_(capacity) {}

  bool put(Item item) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return items_.size() < capacity_ || givenUp_; });
    if (givenUp_) return false;
    items_.push_back(std::move(item));
    changed_.notify_all();
    return true;
  }
  /// The next item, or nothing once the queue is closed and empty.
  std::optional<Item> take() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return std::nullopt;
    Item item = std::move(items_.front());
    items_.pop_front();
    changed_.notify_all();
    return item;
  }
  void close() {
    const std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }
  void giveUp() {
    const std::lock_guard<std::mutex> lock(mutex_);
    givenUp_ = true;
    items_.clear();
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Item> items_;
  std::size_t capacity_;
  bool closed_ = false;
  bool givenUp_ = false;
};

// Blocks the scoring is done with, emptied and kept for the reader to fill
// again: a long file's blocks then reuse the same memory instead of having
// the system clear fresh pages for each one.
class SpareBlocks {
 public:
  // Room for every spare up front: giving one back runs in a block's
  // deleter, which must not throw.
  SpareBlocks() { spares_.reserve(kKept); }
  void give(std::unique_ptr<QuorSequence> block) {
    block->clear();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.size() < kKept) spares_.push_back(std::move(block));
  }
  std::unique_ptr<QuorSequence> take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.empty()) return std::make_unique<QuorSequence>();
    std::unique_ptr<QuorSequence> block = std::move(spares_.back());
    spares_.pop_back();
    return block;
  }

 private:
  // Enough for the blocks in flight between a reader and the scoring.
  static constexpr std::size_t kKept = kBlocksAhead + 2;
  std::mutex mutex_;
  std::vector<std::unique_ptr<QuorSequence>> spares_;
};

class BlockChannelSink : public FrameBlockSink {
 public:
  explicit BlockChannelSink(Channel<Block>& channel) : channel_(channel) {}
  bool take(std::unique_ptr<QuorSequence> block) override {
    // The last holder of a block hands it back rather than deleting it; the
    // spares live as long as any block does.
    return channel_.put(
        std::shared_ptr<QuorSequence>(block.release(), [spares = spares_](QuorSequence* done) {
          spares->give(std::unique_ptr<QuorSequence>(done));
        }));
  }
  std::unique_ptr<QuorSequence> emptyBlock() override { return spares_->take(); }

 private:
  Channel<Block>& channel_;
  std::shared_ptr<SpareBlocks> spares_ = std::make_shared<SpareBlocks>();
};

// Reads one input into `channel` on a thread of its own.
class BlockReader {
 public:
  BlockReader(const BlockReading& reading, std::size_t blockTargets)
      : channel_(kBlocksAhead), sink_(channel_), thread_([this, &reading, blockTargets] {
          reading(sink_, blockTargets);
          channel_.close();
        }) {}

  Channel<Block>& channel() { return channel_; }
  /// Lets the reader go on to the end of its file without handing anything over.
  void giveUp() { channel_.giveUp(); }
  void join() { thread_.join(); }

 private:
  Channel<Block> channel_;
  BlockChannelSink sink_;
  std::thread thread_;
};

// Walks the frames of a reader's blocks in file order and checks that their
// numbers only grow. `holder` keeps the current frame's block alive.
class FrameCursor {
 public:
  explicit FrameCursor(Channel<Block>& channel) : channel_(channel) {}

  /// The current frame, or null at the end of the file; the first call
  /// moves to the first frame.
  const QuorFrame* current() {
    if (!started_) advance();
    return frame_;
  }
  const Block& block() const { return block_; }
  void advance() {
    started_ = true;
    while (block_ == nullptr || ++at_ >= block_->frames.size()) {
      std::optional<Block> next = channel_.take();
      if (!next) {
        block_ = nullptr;
        frame_ = nullptr;
        return;
      }
      block_ = std::move(*next);
      at_ = 0;
      if (!block_->frames.empty()) break;
    }
    frame_ = &block_->frames[at_];
    if (seen_ && frame_->frameNumber <= lastNumber_) inOrder_ = false;
    seen_ = true;
    lastNumber_ = frame_->frameNumber;
  }
  bool inOrder() const { return inOrder_; }

 private:
  Channel<Block>& channel_;
  Block block_;
  std::size_t at_ = 0;
  const QuorFrame* frame_ = nullptr;
  bool started_ = false;
  bool seen_ = false;
  uint32_t lastNumber_ = 0;
  bool inOrder_ = true;
};

// Frames to match, with the blocks that hold them.
struct WorkItem {
  std::vector<std::pair<const QuorFrame*, const QuorFrame*>> pairs;
  std::vector<Block> holders;
  std::size_t boxes = 0;
};

}  // namespace

std::FILE* openForStreaming(const std::string& path) {
  std::FILE* stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) return nullptr;
  struct stat info {};
  if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

namespace {

// The reading of a file as the walks take it.
BlockReading fileReading(StreamedInput& input) {
  return [&input](FrameBlockSink& sink, std::size_t blockTargets) {
    input.status =
        readSequenceBlocks(input.stream, sink, input.name, &input.error, blockTargets, input.rules);
    input.stream = nullptr;  // closed by the reader
  };
}

}  // namespace

bool visitFramesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                             FramePairVisitor& visitor, unsigned threads, int64_t& frames,
                             std::size_t blockTargets) {
  return visitFramesWhileReading(fileReading(groundTruth), fileReading(system), visitor, threads,
                                 frames, blockTargets);
}

bool visitFramesWhileReading(const BlockReading& groundTruth, const BlockReading& system,
                             FramePairVisitor& visitor, unsigned threads, int64_t& frames,
                             std::size_t blockTargets) {
  frames = 0;
  const std::size_t workers = std::max(1u, threads);
  Channel<WorkItem> work(2 * workers);
  std::vector<std::thread> pool;
  for (std::size_t worker = 0; worker < workers; ++worker) {
    pool.emplace_back([&, worker] {
      while (std::optional<WorkItem> item = work.take()) {
        for (const auto& [truth, partner] : item->pairs) visitor.pair(worker, *truth, partner);
      }
    });
  }
  // Blocks of 32K targets cost nothing to hand over next to reading them,
  // and the blocks in flight stay a few megabytes.
  BlockReader truthReader(groundTruth, blockTargets);
  BlockReader systemReader(system, blockTargets);
  FrameCursor truths(truthReader.channel());
  FrameCursor systems(systemReader.channel());
  // Pair each truth frame with the system frame of its number: with numbers
  // that only grow, the system frames before it are never needed again.
  WorkItem item;
  const auto hold = [&item](const Block& block) {
    if (item.holders.empty() || item.holders.back() != block) item.holders.push_back(block);
  };
  bool partnerUsed = false;  // whether the current system frame is some frame's partner
  const auto passSystemFrame = [&] {
    if (!partnerUsed && systems.inOrder()) visitor.unpaired(*systems.current());
    systems.advance();
    partnerUsed = false;
  };
  for (const QuorFrame* truth; (truth = truths.current()) != nullptr && truths.inOrder();
       truths.advance()) {
    const QuorFrame* partner = systems.current();
    while (partner != nullptr && partner->frameNumber < truth->frameNumber) {
      passSystemFrame();
      partner = systems.current();
    }
    if (!systems.inOrder()) break;
    if (partner != nullptr && partner->frameNumber != truth->frameNumber) partner = nullptr;
    hold(truths.block());
    if (partner != nullptr) {
      hold(systems.block());
      partnerUsed = true;
    }
    item.pairs.emplace_back(truth, partner);
    item.boxes += truth->targets.size() + (partner != nullptr ? partner->targets.size() : 0);
    ++frames;
    if (item.pairs.size() == kPairsPerItem || item.boxes >= kBoxesPerItem) {
      work.put(std::move(item));
      item = WorkItem();
    }
  }
  if (!item.pairs.empty()) work.put(std::move(item));
  // The rest of the system file must keep to the order as well.
  while (truths.inOrder() && systems.inOrder() && systems.current() != nullptr) {
    passSystemFrame();
  }
  const bool inOrder = truths.inOrder() && systems.inOrder();
  if (!inOrder) {
    truthReader.giveUp();
    systemReader.giveUp();
  }
  // Whatever happened, both files are read to the end.
  while (truths.current() != nullptr) truths.advance();
  while (systems.current() != nullptr) systems.advance();
  truthReader.join();
  systemReader.join();
  work.close();
  for (std::thread& worker : pool) worker.join();
  if (!inOrder) frames = 0;
  return inOrder;
}

StreamedTotals evaluateClassesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                           const std::vector<TargetFilter>& filters,
                                           unsigned threads, std::size_t blockTargets) {
  return evaluateClassesWhileReading(fileReading(groundTruth), fileReading(system), filters,
                                     threads, blockTargets);
}

StreamedTotals evaluateClassesWhileReading(const BlockReading& groundTruth,
                                           const BlockReading& system,
                                           const std::vector<TargetFilter>& filters,
                                           unsigned threads, std::size_t blockTargets) {
  struct Scorer : FramePairVisitor {
    Scorer(const std::vector<TargetFilter>& f, std::size_t workers)
        : filters(f),
          index(f),
          perWorker(workers, std::vector<ClassTotals>(f.size())),
          truthScratch(workers, QuorFrame(0)),
          systemScratch(workers, QuorFrame(0)) {}
    void pair(std::size_t worker, const QuorFrame& truth, const QuorFrame* partner) override {
      evaluateFramePair(truth, partner, filters, 0, filters.size(), perWorker[worker],
                        truthScratch[worker], systemScratch[worker], &index);
    }
    void unpaired(const QuorFrame&) override {}
    const std::vector<TargetFilter>& filters;
    const FilterIndex index;
    std::vector<std::vector<ClassTotals>> perWorker;
    std::vector<QuorFrame> truthScratch, systemScratch;
  };
  Scorer scorer(filters, std::max(1u, threads));
  StreamedTotals result;
  result.inOrder =
      visitFramesWhileReading(groundTruth, system, scorer, threads, result.frames, blockTargets);
  if (!result.inOrder) return result;
  result.totals.assign(filters.size(), ClassTotals{});
  for (const std::vector<ClassTotals>& part : scorer.perWorker) {
    for (std::size_t c = 0; c < filters.size(); ++c) {
      result.totals[c].gt += part[c].gt;
      result.totals[c].det += part[c].det;
      result.totals[c].fp += part[c].fp;
      result.totals[c].fn += part[c].fn;
    }
  }
  return result;
}
