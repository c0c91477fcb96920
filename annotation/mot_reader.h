// Readers of the comma-separated text files of MOTChallenge (mot; mot15, the
// layout of 2015 without classes), VisDrone video annotations (visdrone) and
// UAVDT (uavdt): one box a line, given by its frame, left, top, width and
// height. A detection's score of -1 is none (kNoConfidence).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "annotation/format_support.h"

namespace formats {

/// Reads the input of `maker` in its format (mot, mot15, visdrone or uavdt) and,
/// for a uavdt ground truth with an ignore file, the ignored areas as
/// don't-care regions after the boxes. False with the failure set when a
/// file cannot be read or a line is malformed.
bool readMotFamily(RecordMaker& maker);

/// Reads the input of `maker` as readMotFamily() does, and files its records
/// into `filer` as fileRecords() files them once orderByFrame() has ordered
/// them: by frame number, each frame's records in the order read. For files
/// whose frames come back (a ground truth listed track by track): the
/// records are kept in a compact form until all are read, and nothing is
/// filed when a line is malformed. False with the failure set (the failure
/// of `maker`, or the error of `filer`) when a file cannot be read, a line
/// is malformed or a record cannot be filed; `filer` is finished otherwise.
bool fileMotFamilyByFrame(RecordMaker& maker, RecordFiler& filer);

/// Reads the lines of an input of `maker` in the MOT family one at a time,
/// as readMotFamily() reads each line of its file, the records going to
/// `maker`: for a reader that puts a file's lines in an order of its own
/// (by frame). The layout is the one `maker`'s options name; a file read as
/// mot that turns out to be MOT15 switches as readMotFamily() does, which
/// depends on the order the lines come in (the warning it notes tells).
/// Not for a uavdt ground truth with ignored areas.
class MotLineReader {
 public:
  explicit MotLineReader(RecordMaker& maker);
  ~MotLineReader();
  MotLineReader(const MotLineReader&) = delete;
  MotLineReader& operator=(const MotLineReader&) = delete;

  /// Reads line `number`, not blank, without its end; at least kLinePadding
  /// bytes after it must be readable. False, with the maker's failure set,
  /// when it is malformed or its record cannot be filed.
  bool read(std::string_view line, uint64_t number);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// How readPlainMotLine() took a line.
enum class PlainMotLine : uint8_t {
  kNotPlain,  // not read: the line is left to MotLineReader
  kRead,      // its record made (or its class dropped)
  kFailed,    // its class refused, the maker's failure set
};

/// Reads line `number` of an input read as mot (AnnotationFormat::kMot, a
/// ground truth's or a detection's) as MotLineReader reads it, making the
/// same record through `maker`, when the line is a plain one: at least 7
/// columns, of which 1 and 3 to 7 (and 8, when the line has it) are plain
/// decimals, an optional minus, then at most 17 digits with at most one
/// point between digits ("12", "-4", "0.5", "1396.8374002134315"), column 1
/// and column 8 whole numbers; the other columns are not looked at, as the
/// reader does not. Such numbers every reader reads as the same number,
/// exactly: the record is made from them without the reader's general
/// reading, which for long decimals costs as much again as reading the line
/// for its tracks. kNotPlain for any other line (blanks, exponents, a frame
/// or class with a point, edges beyond 32 bits), which the reader then
/// reads or refuses.
///
/// `score` is column 7 as parseConfidenceText() reads it, for a detection's
/// line (the caller has it already); a ground truth's line has none.
///
/// The reader notes the first line that gives a class other than a
/// pedestrian, to say whether a MOT15 file given as mot may be read as one;
/// a plain line is not noted. A caller reading some lines so and the others
/// with MotLineReader must take the reader's warnings and failures as the
/// end of that reading (the reading of the whole file says what is right).
PlainMotLine readPlainMotLine(RecordMaker& maker, std::string_view line, uint64_t number,
                              float score);
/// The same on the line's columns read already (readPlainColumns()), as a
/// caller reading each line for more than one reader has them.
PlainMotLine readPlainMotLine(RecordMaker& maker, const PlainColumns& columns, uint64_t number,
                              float score);

}  // namespace formats
