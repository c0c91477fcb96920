#include "annotation/frame_ordered_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <queue>

namespace formats {

namespace {

// Bytes readable after a line handed out.
constexpr std::size_t kPadding = 16;
// Bytes read at once straight through, and at most for a run being merged
// (most runs, a track's lines, are shorter and read whole at once).
constexpr std::size_t kStraightChunk = std::size_t{1} << 20;
constexpr std::size_t kRunChunk = std::size_t{1} << 14;
// A merge is worth it for runs of a few lines at least: a file of more
// runs than one in this many lines is shuffled rather than listed by track.
constexpr uint64_t kLinesPerRun = 8;
// Frames a run may skip before it is cut in two (see findRuns()).
constexpr uint32_t kRunGap = 16;
// Runs read at the same time at most (a buffer each).
constexpr std::size_t kMaxLiveRuns = 8192;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// The lines of a stretch of a file, read with pread from `from` to `limit`.
class LineScanner {
 public:
  LineScanner(int fd, uint64_t from, uint64_t limit, uint64_t linesBefore, std::size_t chunk)
      : fd_(fd), next_(from), limit_(limit), lineNumber_(linesBefore), chunk_(chunk), base_(from) {}

  using Status = FrameOrderedLines::Status;

  // The next line not blank: its text, number, frame and offset in the file.
  Status next(std::string_view* line, uint64_t* number, uint32_t* frame, uint64_t* start) {
    for (;;) {
      const char* const data = buffer_.data();
      const void* found = begin_ < end_ ? std::memchr(data + begin_, '\n', end_ - begin_) : nullptr;
      std::size_t lineEnd = 0;
      std::size_t after = 0;
      if (found != nullptr) {
        lineEnd = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        after = lineEnd + 1;
      } else if (!atEnd_) {
        if (!fill()) return Status::kUnsupported;
        continue;
      } else if (begin_ == end_) {
        return Status::kEnd;
      } else {
        lineEnd = after = end_;  // the last line, without an end
      }
      std::string_view text(data + begin_, lineEnd - begin_);
      const uint64_t at = base_ + begin_;
      begin_ = after;
      ++lineNumber_;
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      if (sawCr_ && text.find('\r') != std::string_view::npos) {
        return Status::kUnsupported;  // a lone CR
      }
      if (text.empty()) continue;
      if (!isDigit(text.front())) {
        if (std::all_of(text.begin(), text.end(), isBlank)) continue;
        return Status::kUnsupported;
      }
      if (!plainFrameOf(text, frame)) return Status::kUnsupported;
      *line = text;
      *number = lineNumber_;
      *start = at;
      return Status::kLine;
    }
  }

 private:
  // Keeps the part of a line not yet ended and reads more after it.
  bool fill() {
    const std::size_t kept = end_ - begin_;
    if (kept > 0 && begin_ > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
    base_ += begin_;
    begin_ = 0;
    end_ = kept;
    const uint64_t left = limit_ == UINT64_MAX ? UINT64_MAX : limit_ - next_;
    if (left == 0) {
      atEnd_ = true;
      return true;
    }
    // A line longer than a chunk doubles the buffer.
    const auto wanted = static_cast<std::size_t>(std::min<uint64_t>(std::max(chunk_, kept), left));
    if (buffer_.size() < kept + wanted + kPadding) buffer_.resize(kept + wanted + kPadding);
    ssize_t got = 0;
    do {
      got = ::pread(fd_, buffer_.data() + kept, wanted, static_cast<off_t>(next_));
    } while (got < 0 && errno == EINTR);
    if (got < 0) return false;
    if (got == 0) atEnd_ = true;
    // Lines are searched for a lone CR only once one was read at all.
    sawCr_ = sawCr_ || std::memchr(buffer_.data() + kept, '\r', static_cast<std::size_t>(got));
    next_ += static_cast<uint64_t>(got);
    end_ += static_cast<std::size_t>(got);
    if (limit_ != UINT64_MAX && next_ >= limit_) atEnd_ = true;
    return true;
  }

  int fd_;
  uint64_t next_;   // the next byte to read
  uint64_t limit_;  // where to stop, UINT64_MAX for the file's end
  uint64_t lineNumber_;
  std::size_t chunk_;
  uint64_t base_;  // offset in the file of buffer_[0]
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  bool sawCr_ = false;
};

bool plainFrameOf(std::string_view line, uint32_t* frame) {
  uint64_t value = 0;
  std::size_t k = 0;
  for (; k < line.size() && isDigit(line[k]); ++k) {
    if (k == 10) return false;
    value = value * 10 + static_cast<uint64_t>(line[k] - '0');
  }
  if (k == 0 || k == line.size() || line[k] != ',' || value > UINT32_MAX) return false;
  *frame = static_cast<uint32_t>(value);
  return true;
}

struct FrameOrderedLines::Run {
  uint64_t offset = 0;  // of its first line
  uint64_t linesBefore = 0;
  uint32_t firstFrame = 0;
};

struct FrameOrderedLines::Cursor {
  std::unique_ptr<LineScanner> scanner;
  std::string_view line;
  uint64_t number = 0;
  uint32_t frame = 0;
};

FrameOrderedLines::FrameOrderedLines(std::string path, bool merge)
    : path_(std::move(path)), merge_(merge) {
  do {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  failed_ = fd_ < 0;
}

FrameOrderedLines::~FrameOrderedLines() {
  if (fd_ >= 0) ::close(fd_);
}

FrameOrderedLines::Status FrameOrderedLines::next(std::string_view* line, uint64_t* number,
                                                  uint32_t* frame) {
  if (failed_) return Status::kUnsupported;
  const Status status = merge_ ? merged(line, number, frame) : straight(line, number, frame);
  if (status == Status::kUnsupported) failed_ = true;
  return status;
}

FrameOrderedLines::Status FrameOrderedLines::straight(std::string_view* line, uint64_t* number,
                                                      uint32_t* frame) {
  if (!started_) {
    straight_ = std::make_unique<LineScanner>(fd_, 0, UINT64_MAX, 0, kStraightChunk);
    started_ = true;
  }
  uint64_t start = 0;
  const Status status = straight_->next(line, number, frame, &start);
  if (status != Status::kLine) return status;
  if (anyLine_ && *frame < lastFrame_) return Status::kOutOfOrder;
  anyLine_ = true;
  lastFrame_ = *frame;
  return status;
}

bool FrameOrderedLines::findRuns() {
  LineScanner scanner(fd_, 0, UINT64_MAX, 0, kStraightChunk);
  std::string_view line;
  uint64_t number = 0;
  uint32_t frame = 0;
  uint64_t start = 0;
  uint64_t lines = 0;
  uint32_t last = 0;
  for (;;) {
    const Status status = scanner.next(&line, &number, &frame, &start);
    if (status == Status::kEnd) break;
    if (status != Status::kLine) return false;
    // A run is also cut where its frames jump ahead: the tracks of a
    // ground truth listed track by track follow one another in a run
    // whenever the next begins after the last ends, and such a run would
    // hold its buffer from the first track's start to the last's end.
    if (lines == 0 || frame < last || frame - last > kRunGap) {
      runs_.push_back({start, number - 1, frame});
    }
    last = frame;
    ++lines;
  }
  if (runs_.size() > 1 + lines / kLinesPerRun) return false;
  waiting_.resize(runs_.size());
  for (std::size_t k = 0; k < waiting_.size(); ++k) waiting_[k] = static_cast<uint32_t>(k);
  std::stable_sort(waiting_.begin(), waiting_.end(), [&](uint32_t a, uint32_t b) {
    return runs_[a].firstFrame < runs_[b].firstFrame;
  });
  cursors_.resize(runs_.size());
  return true;
}

bool FrameOrderedLines::advance(Cursor& cursor) {
  uint64_t start = 0;
  const Status status = cursor.scanner->next(&cursor.line, &cursor.number, &cursor.frame, &start);
  if (status == Status::kLine) return true;
  cursor.scanner.reset();
  --live_;
  if (status == Status::kUnsupported) failed_ = true;
  return false;
}

FrameOrderedLines::Status FrameOrderedLines::merged(std::string_view* line, uint64_t* number,
                                                    uint32_t* frame) {
  if (!started_) {
    started_ = true;
    if (!findRuns()) return Status::kUnsupported;
  }
  if (current_ != UINT32_MAX) {
    // The run of the line handed out last: its next line, if of that frame.
    Cursor& cursor = cursors_[current_];
    const uint32_t was = cursor.frame;
    if (advance(cursor)) {
      if (cursor.frame == was) {
        *line = cursor.line;
        *number = cursor.number;
        *frame = cursor.frame;
        return Status::kLine;
      }
      heap_.push(uint64_t{cursor.frame} << 32 | current_);
    } else if (failed_) {
      return Status::kUnsupported;
    }
    current_ = UINT32_MAX;
  }
  // The least of the runs being read and the next to begin, by frame and
  // then by place in the file.
  uint64_t best = UINT64_MAX;
  if (!heap_.empty()) best = heap_.top();
  bool begin = false;
  if (nextRun_ < waiting_.size()) {
    const uint32_t run = waiting_[nextRun_];
    const uint64_t key = uint64_t{runs_[run].firstFrame} << 32 | run;
    if (key < best) {
      best = key;
      begin = true;
    }
  }
  if (best == UINT64_MAX) return Status::kEnd;
  const auto run = static_cast<uint32_t>(best & UINT32_MAX);
  Cursor& cursor = cursors_[run];
  if (begin) {
    ++nextRun_;
    if (++live_ > kMaxLiveRuns) return Status::kUnsupported;
    const uint64_t limit = run + 1 < runs_.size() ? runs_[run + 1].offset : UINT64_MAX;
    cursor.scanner = std::make_unique<LineScanner>(fd_, runs_[run].offset, limit,
                                                   runs_[run].linesBefore, kRunChunk);
    if (!advance(cursor)) return Status::kUnsupported;  // a run has a line
  } else {
    heap_.pop();
  }
  current_ = run;
  *line = cursor.line;
  *number = cursor.number;
  *frame = cursor.frame;
  return Status::kLine;
}

}  // namespace formats
