// The lines of a text file of one box a line (the MOT family's), handed out
// by frame with only a few blocks of the file in memory: by frame number,
// each frame's lines in the order of the file, the order in which
// fileMotFamilyByFrame() files them.
//
// A file listed frame by frame is read once, straight through. A file whose
// frames go back is read twice: once to find its runs (the stretches of
// lines whose frames never go back nor jump far ahead: in a ground truth
// listed track by track, a track each), then the runs merged, each read
// where it lies. The
// memory is then a few numbers a run and a small buffer for each run that
// holds the frame being handed out, whatever the length of the video.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

class LineScanner;

class FrameOrderedLines {
 public:
  enum class Status : uint8_t {
    kLine,         // a line is handed out
    kEnd,          // every line was
    kOutOfOrder,   // straight through only: a frame went back; read again, merging
    kUnsupported,  // a line this reading does not take (see next()), or too many runs
  };

  /// `merge`: find the runs first and merge them; otherwise read straight
  /// through, and stop at the first frame that goes back.
  FrameOrderedLines(std::string path, bool merge);
  ~FrameOrderedLines();
  FrameOrderedLines(const FrameOrderedLines&) = delete;
  FrameOrderedLines& operator=(const FrameOrderedLines&) = delete;

  /// The next line that is not blank, without its end, with its number (the
  /// first line is 1) and its frame (column 1). At least 16 bytes after the
  /// line can be read; the line lives until the next call. kUnsupported for
  /// a file that cannot be opened or read, a line whose first column is not
  /// written as digits alone, a line ending in a lone CR, and a file of
  /// more runs than a merge is worth (a file shuffled rather than listed by
  /// track): the readers of the whole file then take it, and say what is
  /// wrong if anything is.
  Status next(std::string_view* line, uint64_t* number, uint32_t* frame);

 private:
  struct Run;
  struct Cursor;
  Status straight(std::string_view* line, uint64_t* number, uint32_t* frame);
  Status merged(std::string_view* line, uint64_t* number, uint32_t* frame);
  bool findRuns();
  bool advance(Cursor& cursor);

  std::string path_;
  int fd_ = -1;
  bool merge_ = false;
  bool started_ = false;
  bool failed_ = false;
  // Straight through: the one scanner, and the frame of the last line.
  std::unique_ptr<LineScanner> straight_;
  uint32_t lastFrame_ = 0;
  bool anyLine_ = false;
  // Merging: the runs in file order, those not yet begun by their first
  // frame (then file order), and a cursor a run, live while it is read.
  std::vector<Run> runs_;
  std::vector<uint32_t> waiting_;
  std::size_t nextRun_ = 0;
  std::vector<Cursor> cursors_;
  std::size_t live_ = 0;
  // (frame << 32 | run) of the live cursors not handing out lines, least first.
  std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<>> heap_;
  uint32_t current_ = UINT32_MAX;  // the run whose lines are being handed out
};

/// The frame number of a line whose first column is written as digits
/// alone (at most ten, at most 2^32 - 1) and ends at a comma; false
/// otherwise.
bool plainFrameOf(std::string_view line, uint32_t* frame);

}  // namespace formats
