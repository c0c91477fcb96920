// Reader of the comma-separated annotation format: a header line, then one
// record of 15 columns per box or don't-care region.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/scoring_rules.h"

/// Bytes the reader asks the stream for at once; its buffer grows only for a
/// line longer than this.
inline constexpr std::size_t kReadBufferSize = std::size_t{1} << 20;

struct ReadDetails;

/// One record of an annotation as read, before this format's rules decide
/// what becomes of it: a line of this format's file, or what a reader of
/// another format made of one of its lines or elements. Every reader hands
/// its records to the same filing (fileRecords()), so that the size test,
/// DCR and DCF, unknown types and the frames are decided in one place.
struct AnnotationRecord {
  uint32_t frameNumber = 0;
  std::array<int32_t, 8> corners = {};  // x1, y1, x2, y2, x3, y3, x4, y4
  // The object type as this format writes it ("Car", "DCR", "DCF", ...).
  // The text must outlive the filing.
  std::string_view type;
  bool markA = false;
  bool markB = false;
  // Written with a negative width or height (a reader of the MOT family's),
  // and read as the benchmarks' evaluators read it: a box of no area, its
  // right at its left (its bottom at its top), which matches nothing and is
  // covered by no region. Noted in ReadDetails::negativeExtentLines.
  bool negativeExtent = false;
  float confidence = 0.0f;
  uint64_t line = 0;  // where it came from, for messages and ReadDetails
};

/// "<name>:<line>: <what>", the line left out when 0; bytes of the name that
/// would break the line are written as \xNN.
std::string locatedMessage(std::string_view name, uint64_t line, std::string_view what);

/// Distance between two points, in single precision: the exact differences are
/// rounded to float, squared and added in float, and the root rounded to float.
float cornerDistance(int32_t xa, int32_t ya, int32_t xb, int32_t yb);

/// The square cornerDistance() takes the root of, in the same float steps.
inline float squaredCornerDistance(int32_t xa, int32_t ya, int32_t xb, int32_t yb) {
  const auto dx = static_cast<float>(int64_t{xb} - xa);
  const auto dy = static_cast<float>(int64_t{yb} - ya);
  return dx * dx + dy * dy;
}

/// The least float square whose float root reaches `minSide`, or infinity
/// when no finite one does: as the rounded root only grows with the square,
/// `squaredCornerDistance(...) >= leastSquareReaching(m)` says exactly what
/// `cornerDistance(...) >= m` says, without a root for each side.
float leastSquareReaching(double minSide);

/// Reads an annotation file from `stream` into `sequence`, which must be empty,
/// and closes the stream in every case. Returns 0 on success and -1 when the
/// stream cannot be read or a record is malformed; then `error`, when given,
/// receives one line (without line end) naming `sourceName`, the line number
/// and what was wrong.
///
/// When `details` is given (it must be empty), it also receives where every
/// frame, box and region came from and what the reader passed over; the
/// sequence read is the same either way. After a failure it describes the
/// lines before the failing one.
///
/// `rules` give the size test (ScoringRules::minSide) and every frame read
/// the matching's rules; every reader below takes them the same way.
int readSequenceFile(std::FILE* stream, QuorSequence& sequence, std::string_view sourceName,
                     std::string* error = nullptr, ReadDetails* details = nullptr,
                     const ScoringRules& rules = {});

/// Files `records`, in their order, into `sequence` (which must be empty) by
/// exactly the rules readSequenceFile() applies to the records of a file, as
/// if each had been read on its `line`: the same sequence, the same details
/// and the same refusals. `sourceName` names the input in messages.
int fileRecords(std::span<const AnnotationRecord> records, QuorSequence& sequence,
                std::string_view sourceName, std::string* error = nullptr,
                ReadDetails* details = nullptr, const ScoringRules& rules = {});
/// The same for the records at the positions `order` lists, in that order
/// (a reader that puts its records in order without moving them).
int fileRecords(std::span<const AnnotationRecord> records, std::span<const uint32_t> order,
                QuorSequence& sequence, std::string_view sourceName, std::string* error = nullptr,
                ReadDetails* details = nullptr, const ScoringRules& rules = {});

/// One column of a table of records held in memory (a DataFrame's, say)
/// rather than written as text.
struct TableColumn {
  enum class Kind {
    kWhole,   // int64_t values
    kDouble,  // double values
    kSingle,  // float values
    kText,    // int64_t codes into `texts`; -1 is an empty cell
  };
  Kind kind = Kind::kText;
  const void* values = nullptr;  // one value a row
  std::span<const std::string> texts;
  // The width of a kText column's signed codes: 1, 2, 4 or 8 bytes (a
  // boolean array is codes of 1 byte into FALSE, TRUE; a categorical's codes
  // are as narrow as its categories allow).
  std::size_t codeBytes = 8;
};

/// Files the rows of a table whose 13 columns are a file's first 13, in the
/// file's order, as readSequenceFile() reads the file that holds a header and
/// then, for each row, a line of its values in their shortest text (row r
/// being line r + 2): the same sequence, the same details and the same
/// refusals with the same messages, without the text. A text that no line
/// could hold (a comma or a line end in it) is refused in its row. The codes
/// of kText columns must lie in [-1, texts.size()).
int fileTable(std::span<const TableColumn> columns, std::size_t rows, QuorSequence& sequence,
              std::string_view sourceName, std::string* error = nullptr,
              ReadDetails* details = nullptr, const ScoringRules& rules = {});

class FrameBlockSink;

/// Files the rows of a table as fileTable() does, with the same refusals
/// and messages, but hands its frames to `sink` in blocks of about
/// `blockTargets` targets, as readSequenceBlocks() hands those of a file.
int fileTableBlocks(std::span<const TableColumn> columns, std::size_t rows, FrameBlockSink& sink,
                    std::string_view sourceName, std::string* error = nullptr,
                    std::size_t blockTargets = 1 << 16, const ScoringRules& rules = {});

class SequenceFiller;

/// Files records one at a time, as fileRecords() files a list of them: for a
/// reader that has each record in hand only while it reads its line.
class RecordFiler {
 public:
  RecordFiler(QuorSequence& sequence, std::string_view sourceName, std::string* error = nullptr,
              ReadDetails* details = nullptr, const ScoringRules& rules = {});
  ~RecordFiler();
  RecordFiler(const RecordFiler&) = delete;
  RecordFiler& operator=(const RecordFiler&) = delete;

  /// Files the next record; false, with the error set, when the sequence
  /// cannot take it (more frames or boxes than it can count).
  bool file(const AnnotationRecord& record);
  /// Ends the last frame: called once, after the last record.
  void finish();

 private:
  std::unique_ptr<SequenceFiller> filler_;
};

/// Reads the records of an annotation file of this format without filing
/// them: `take` receives each well-formed record in file order (its type
/// text lives only during the call) and returns false to stop. The stream is
/// closed in every case; returns 0, or -1 with the reader's message.
int readRecordsOf(std::FILE* stream, std::string_view sourceName,
                  const std::function<bool(const AnnotationRecord&)>& take,
                  std::string* error = nullptr);
/// The same for the records of the frames numbered `frames` (ascending)
/// only: a line whose first column is plain digits naming another frame is
/// passed over without being read further, so that a second look at a file
/// read once already costs little more than finding its lines. Any other line
/// is read in full, refused as readRecordsOf() refuses it and handed over
/// whatever its frame, so `take` must still test each record's frame.
int readRecordsOfFrames(std::FILE* stream, std::string_view sourceName,
                        std::span<const uint32_t> frames,
                        const std::function<bool(const AnnotationRecord&)>& take,
                        std::string* error = nullptr);

/// Whether the filing gives `record` a place among the frames under `rules`'
/// size test: a record of type "DCF" and one the size test drops start no
/// frame and end none, whatever their frame number; any other record, of a
/// known type or not, starts a frame or continues the one before.
bool takesFramePlace(const AnnotationRecord& record, const ScoringRules& rules);

/// Where a run of records starts in a file of this format: the byte its
/// first line starts at (QuorFrame::firstByte) and that line's number.
struct RecordRun {
  uint64_t firstByte = 0;
  uint64_t firstLine = 0;
};

/// What readRecordRuns() does after handing over a record.
enum class RunStep : uint8_t {
  kGoOn,     // the record was the run's: on to the next one
  kRunEnds,  // it was not: the run ends before it, and the next run begins
  kStop,     // no more records are wanted
};

/// Reads again, from a file of this format read whole once already, the
/// records of each of `runs` in turn: from the run's first line, numbered as
/// it says, `take` receives the run's index and each well-formed record
/// (refused as readRecordsOf() refuses it) until it ends the run or the file
/// ends. The lines before a run and between runs are not looked at: a run
/// within the bytes read already is found there, any other by moving the
/// stream, so that a few frames of a long file cost what they hold. Runs
/// are best given in file order. The stream is closed in every case;
/// returns 0, or -1 with the reader's message.
int readRecordRuns(std::FILE* stream, std::string_view sourceName, std::span<const RecordRun> runs,
                   const std::function<RunStep(std::size_t run, const AnnotationRecord&)>& take,
                   std::string* error = nullptr);

/// What a file held beyond its sequence, for reports on the file itself.
/// Line numbers count from 1, the header being line 1.
struct ReadDetails {
  struct UnknownType {
    std::string name;
    uint64_t count = 0;
    uint64_t firstLine = 0;
  };

  uint64_t records = 0;        // well-formed lines after the header, blank lines not counted
  uint64_t dcfRecords = 0;     // records of type "DCF", dropped
  uint64_t droppedBySize = 0;  // other records dropped by the size test
  // Records of a type that is neither a known class nor "DCR" nor "DCF":
  // they start or continue a frame but are dropped. In order of first line.
  std::vector<UnknownType> unknownTypes;
  // The first line, skipped as the header, would have been read as a record:
  // a file written without a header loses its first box.
  bool headerReadsAsRecord = false;
  // What the reader of another format noted on the way, one `file:line:
  // what` line each (AnnotationReadFailure::warnings).
  std::vector<std::string> readerWarnings;
  // The lines of the records written with a negative width or height
  // (AnnotationRecord::negativeExtent), whatever became of them, in the order
  // filed (frame order, for a file read out of it).
  std::vector<uint64_t> negativeExtentLines;

  /// Frames read, as in the sequence.
  std::size_t frameCount() const { return frameLines.size(); }
  /// The line of the record that started frame `frame`.
  uint64_t frameLine(std::size_t frame) const { return frameLines[frame]; }
  /// The lines of frame `frame`'s targets, parallel to its `targets`.
  std::span<const uint64_t> targetLines(std::size_t frame) const {
    return linesOf(allTargetLines, targetStarts, frame);
  }
  /// The lines of frame `frame`'s don't-care regions, parallel to its `regions`.
  std::span<const uint64_t> regionLines(std::size_t frame) const {
    return linesOf(allRegionLines, regionStarts, frame);
  }

  // Filled by the reader: one flat list per kind, and where each frame's
  // part of it starts.
  std::vector<uint64_t> frameLines;
  std::vector<uint64_t> allTargetLines;
  std::vector<uint64_t> allRegionLines;
  std::vector<std::size_t> targetStarts;
  std::vector<std::size_t> regionStarts;

 private:
  static std::span<const uint64_t> linesOf(const std::vector<uint64_t>& lines,
                                           const std::vector<std::size_t>& starts,
                                           std::size_t frame) {
    const std::size_t end = frame + 1 < starts.size() ? starts[frame + 1] : lines.size();
    return std::span<const uint64_t>(lines).subspan(starts[frame], end - starts[frame]);
  }
};

/// Receives a file's frames a block at a time while it is read.
class FrameBlockSink {
 public:
  virtual ~FrameBlockSink() = default;
  /// Takes the next block: consecutive whole frames of the file, in order,
  /// with the targets they point at. Returns false to have the reading go on
  /// to check the rest of the file without handing over any more blocks.
  virtual bool take(std::unique_ptr<QuorSequence> block) = 0;
  /// An empty sequence for the next block. A sink may hand back one whose
  /// blocks it is done with, so that their memory is filled again rather
  /// than given back to the system and asked for anew.
  virtual std::unique_ptr<QuorSequence> emptyBlock() { return std::make_unique<QuorSequence>(); }
};

/// Reads an annotation file as readSequenceFile() does, with the same
/// refusals and messages, but hands its frames to `sink` in blocks of about
/// `blockTargets` targets (a frame is never split) instead of keeping them,
/// so that a long file needs memory for a few blocks only. A failure is
/// found after the blocks before it were handed over.
int readSequenceBlocks(std::FILE* stream, FrameBlockSink& sink, std::string_view sourceName,
                       std::string* error = nullptr, std::size_t blockTargets = 1 << 16,
                       const ScoringRules& rules = {});
