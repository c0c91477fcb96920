// Reader of tracks for the identity measures: every box of a file with its
// identity, at the file's exact precision, as the evaluators of the tracking
// benchmarks read them (MOTChallenge 2015 and 2016/17/20, VisDrone-MOT,
// UAVDT, KITTI tracking, and this format's own files with an identity
// column). The readers of formats.h round boxes to whole pixels and drop
// the identities, so they serve the detection measures only.
//
// A file is read in two steps: readTrackFile() takes its boxes in file
// order, with the frame of each; framedTracks() then orders them by frame
// for a sequence of known length (seqinfo.ini's seqLength, which
// sequenceLengthBeside() finds, or the last frame of either file where
// there is none) and checks what the evaluators refuse.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/formats.h"
#include "annotation/track_sequence.h"

namespace formats {
struct PlainColumns;
}  // namespace formats

namespace tracking {

/// How a file lays out its columns. Columns are counted from 1.
enum class TrackLayout : uint8_t {
  /// MOT15 or MOT16/17/20, recognised from the file (see readTrackFile()).
  kAutomatic,
  /// frame,id,left,top,width,height,conf,x,y,z (x, y, z world coordinates).
  kMot15,
  /// frame,id,left,top,width,height,conf,class,visibility (MOT16, 17, 20);
  /// trackers write frame,id,left,top,width,height,conf[,class or x,...].
  kMot16,
  /// frame,id,left,top,width,height,score,category,truncation,occlusion.
  kVisDrone,
  /// frame,id,left,top,width,height,out-of-view,occlusion,category (ground
  /// truth); frame,id,left,top,width,height,score[,..,category] (results).
  kUavdt,
  /// Space separated: frame track_id type truncated occluded alpha left top
  /// right bottom h w l x y z ry [score]; frames from 0.
  kKitti,
  /// This format's 15 columns, with column 14's text as the identity.
  kTalmira,
  /// CVAT for video 1.1 XML: each <track id label> an identity; frames from 0.
  kCvat,
};

/// The name of a layout on a command line: "auto", "mot15", "mot16",
/// "visdrone", "uavdt", "kitti", "talmira", "cvat".
std::string_view layoutName(TrackLayout layout);
/// The layout of that name ("mot17" and "mot20" are "mot16"'s), if any.
std::optional<TrackLayout> layoutNamed(std::string_view name);

struct TrackReadRequest {
  std::string path;
  TrackLayout layout = TrackLayout::kAutomatic;
  AnnotationRole role = AnnotationRole::kGroundTruth;
};

/// A file's boxes in file order, each with its frame number as written
/// (KITTI's frames, numbered from 0, become numbered from 1).
struct TrackFile {
  std::string source;    // the path read, for messages
  TrackLayout layout{};  // the layout read (kAutomatic resolved)
  std::vector<TrackBox> boxes;
  std::vector<uint32_t> frames;  // frames[i] is the frame of boxes[i]
  /// The classes of formats that name them (KITTI's "Car", this format's
  /// types), in the order the file first names them: a box's label is an
  /// index into it. Empty where the file numbers its classes.
  std::vector<std::string> labelNames;
  /// This format's identity texts, by identity (sorted bytewise); empty in
  /// the formats whose identities are numbers.
  std::vector<std::string> identityNames;
  /// "file:line: ..." for what is read but suspect (a box of negative width
  /// or height); at most a hundred, then one line counting the rest.
  std::vector<std::string> warnings;

  /// The largest frame number of a box; 0 when there is none.
  uint32_t lastFrame() const;
};

/// Why a file could not be read. what() is "file:line: problem", or
/// "file: problem" when no line is to blame (a file that cannot be opened).
class TrackReadError : public std::runtime_error {
 public:
  TrackReadError(std::string file, uint64_t line, std::string problem, int systemError = 0);
  const std::string& file() const { return file_; }
  uint64_t line() const { return line_; }
  const std::string& problem() const { return problem_; }
  /// The errno of a file that could not be opened or read; 0 for a fault
  /// in what it holds.
  int systemError() const { return systemError_; }

 private:
  std::string file_;
  uint64_t line_;
  std::string problem_;
  int systemError_;
};

/// Reads the boxes of `request.path`. Numbers are read as the nearest double
/// of their decimal text; a box's corners are right = left + width, bottom =
/// top + height, computed in doubles (KITTI gives its corners). Identities
/// and frames are whole numbers, which may be written with a point ("3.0");
/// frames start at 1 (at 0 in KITTI's files).
///
/// What each layout takes from its columns (ground truth / results):
/// - MOT16: considered = column 7 != 0, label = column 8 (at least 8
///   columns) / confidence = column 7, label = column 8 when given (7 or
///   more columns).
/// - MOT15: considered = column 7 != 0 / confidence = column 7; no label.
/// - VisDrone: considered = column 7 != 0, label = column 8 / confidence =
///   column 7, label = column 8.
/// - UAVDT: label = column 9 / confidence = column 7, label = column 9 when
///   given.
/// - KITTI: the type's index in labelNames; track id -1 (DontCare) is kept
///   as not considered; a result's confidence is its 18th value.
/// - This format: the record's bounding box; label = the type's index in
///   labelNames, confidence = column 13, a ground truth's record considered
///   unless a flag (column 11 or 12) is TRUE; each distinct text of column
///   14 becomes an identity, numbered 0, 1, ... in the texts' sorted order
///   (bytewise), so that the identities sort as their texts do. Don't-care
///   records (DCR, DCF) are no boxes of a track and are left out.
/// - CVAT for video 1.1: each <track id label> is an identity (its id) of
///   the class its label names (labelNames: the task's labels as declared,
///   then any other in the order met); each of its <box>es not outside
///   the picture (outside="1") is a box, keyframe or not, occluded or not,
///   considered, with no confidence; a rotation turns the corners about
///   the box's centre and the box is their bounds. Frames count from 0;
///   the line is the <box> element's.
/// A result file never has a box that is not considered, but for KITTI's
/// DontCare; a box without a confidence has -1, as has a ground truth's box
/// in every layout but this format's.
///
/// kAutomatic reads MOT files. A ground truth of at most 9 columns is MOT16;
/// one of 10 is MOT15 when its column 8 is not a whole number from 1 to 13
/// somewhere (MOT15 has -1 there, or a world coordinate) or its column 9 is
/// not a fraction from 0 to 1 somewhere (MOT16 has the visibility there), and
/// refused as ambiguous otherwise. A result file is MOT16 when its column 8
/// is a whole number wherever given, and read with that label; MOT15
/// otherwise (world coordinates), without. The two read the same but for
/// the labels.
///
/// Blank lines are skipped anywhere; lines end in LF, CR LF or CR; blanks
/// around values are allowed; a MOT-like line with no comma is split at its
/// blanks. Throws TrackReadError for a file that cannot be read, too few
/// columns, a value that is not a number (or not a finite one), an identity
/// or frame that is not a whole number, a frame before the first, and (this
/// format) an empty identity.
TrackFile readTrackFile(const TrackReadRequest& request);

/// Reads the lines of a file of the MOT family (the layouts kAutomatic,
/// kMot15, kMot16, kVisDrone, kUavdt) one at a time, as readTrackFile()
/// reads each line of it: for a reader that puts the lines in an order of
/// its own. What readTrackFile() decides once every line is read (MOT15 or
/// MOT16) finish() decides.
class TrackLineReader {
 public:
  explicit TrackLineReader(const TrackReadRequest& request);
  ~TrackLineReader();
  TrackLineReader(const TrackLineReader&) = delete;
  TrackLineReader& operator=(const TrackLineReader&) = delete;

  /// The box of line `number` (not blank, without its end) and its frame;
  /// throws the TrackReadError readTrackFile() throws for that line.
  TrackBox read(std::string_view line, uint64_t number, uint32_t* frame);
  /// The box read() gives for a line whose columns are read already
  /// (formats::readPlainColumns()), without reading its text again, when
  /// the file is read in the automatic layout and every column the box
  /// takes is plain (and its extent not negative, which read() warns of).
  /// False for any other line, nothing noted: read() reads it.
  bool readPlain(const formats::PlainColumns& columns, uint64_t number, TrackBox* box,
                 uint32_t* frame);
  /// The layout read, after every line; throws the TrackReadError that
  /// readTrackFile() throws at the end of a file of those lines.
  TrackLayout finish();

 private:
  class Reader;
  std::unique_ptr<Reader> reader_;
};

/// The boxes ordered by frame, each frame's in file order, with frames and
/// frameStart filled for the frames that have a box (so that the memory
/// follows the boxes, whatever the length). Throws TrackReadError naming the file and
/// line for a frame outside 1..length (the first in file order) and for an
/// identity given twice in one frame (in the first frame that has one; the
/// line is the later of the two). KITTI's DontCare boxes (id -1) may repeat;
/// without `refuseRepeatedIds` every identity may (the KITTI benchmark
/// looks for repeats among the boxes it keeps: see tracking::prepareTracks()).
TrackSequence framedTracks(TrackFile&& file, uint32_t length, bool refuseRepeatedIds = true);

/// The seqLength of the seqinfo.ini beside `path`: in the same folder, or
/// in the folder above (MOT's <sequence>/gt/gt.txt beside
/// <sequence>/seqinfo.ini); nullopt when there is none. Throws
/// TrackReadError when the file is there but cannot be read, is not an ini
/// file, or has no seqLength of a whole number from 1 in its [Sequence]
/// section.
std::optional<uint32_t> sequenceLengthBeside(const std::string& path);

/// The length of KITTI sequence `sequence` (its file's name without .txt)
/// in a seqmap of its benchmark ("0000 empty 000000 000154": name, two
/// values unused, the number of frames, 0 to length - 1), values apart by
/// blanks or commas; lines of fewer than four values are skipped, and of a
/// sequence named twice the last line counts. Throws TrackReadError when the
/// file cannot be read, names no such sequence, or gives a length that is
/// not a whole number from 1.
uint32_t kittiSequenceLength(const std::string& seqmap, const std::string& sequence);

/// The seqmap of the training split (evaluate_tracking.seqmap.training)
/// beside a KITTI ground truth: in its folder, or the folder above (the
/// benchmark's label_02/<sequence>.txt); nullopt when there is none.
std::optional<std::string> kittiSeqmapBeside(const std::string& path);

}  // namespace tracking
