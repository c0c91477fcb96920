// A report on annotation files themselves, to find problems in the data
// before a score is trusted: what each file holds, what the reader passed
// over, and how the frames of a ground truth and a system output pair up.
// The rules for what deserves a warning live here; talmira renders them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"

/// A frame number that comes back after other frames: the scorer treats each
/// run of lines as a frame of its own.
struct RepeatedFrameNumber {
  uint32_t frame = 0;
  uint64_t runs = 0;        // runs of lines with this number, at least 2
  uint64_t firstLine = 0;   // the first record of the first run
  uint64_t secondLine = 0;  // the first record of the second run
};

struct FileCheck {
  uint64_t records = 0;
  uint64_t frames = 0;  // runs of lines of one frame number, as the scorer sees them
  // The file's classes (classesOf() the sequence), and the boxes of each,
  // in their order ("All" left out: boxesPerClass[k] counts class row k + 1).
  ClassSetPtr classes = ClassSet::standard();
  std::vector<uint64_t> boxesPerClass;
  uint64_t boxes = 0;          // all classes
  uint64_t regions = 0;        // don't-care regions
  uint64_t dcfRecords = 0;     // dropped
  uint64_t flaggedBoxes = 0;   // boxes with flag A or B: set aside by the scorer
  uint64_t droppedBySize = 0;  // records none of whose sides reaches kMinSideLength
  std::vector<ReadDetails::UnknownType> unknownTypes;
  std::vector<std::string> readerWarnings;  // ReadDetails::readerWarnings
  // The lines of the records written with a negative width or height, read
  // as boxes of no area that match nothing; in line order.
  std::vector<uint64_t> negativeExtentLines;
  // Boxes the file gave no score (a MOT-family detection's -1): taken at
  // every threshold, and left out of the range below. Counted for files
  // whose format writes no score so (scoresMayBeAbsent).
  bool scoresMayBeAbsent = false;
  uint64_t boxesWithoutScore = 0;
  // Over the boxes with a score (regions are kept whatever their
  // confidence); empty when there are none.
  std::optional<float> confidenceMin;
  std::optional<float> confidenceMax;
  uint64_t confidencesOutside01 = 0;
  std::vector<RepeatedFrameNumber> repeatedFrameNumbers;  // in order of first line
  bool headerReadsAsRecord = false;
  // Boxes whose confidence is below 1: in a ground truth, a confidence
  // threshold above theirs drops them, since it applies to both files.
  uint64_t boxesBelowFullConfidence = 0;
};

/// How the system's frames pair with the ground truth's.
struct PairingCheck {
  uint64_t groundTruthFramesWithoutSystem = 0;
  uint64_t unpairedSystemFrames = 0;  // paired with no ground-truth frame: never scored
  uint64_t unpairedSystemBoxes = 0;   // the boxes those frames hold
  uint64_t pairedGroundTruthFrames = 0;
  // Ground-truth frames that would find a system frame if every system frame
  // number were 1 higher, or 1 lower.
  uint64_t pairedWithSystemPlusOne = 0;
  uint64_t pairedWithSystemMinusOne = 0;
  // +1 or -1 when that shift of the system's frame numbers pairs clearly more
  // ground-truth frames (see kOffsetHintShare); 0 otherwise.
  int frameOffsetHint = 0;
};

/// A shift of the frame numbers is suggested only when it pairs at least
/// this share of the ground-truth frames more than the numbers as they are
/// (and at least one more), and more than the opposite shift. Below that, a
/// few frames gained at the ends of a sequence numbered on both sides from
/// the same start are no sign of an offset.
inline constexpr double kOffsetHintShare = 0.10;

struct CheckReport {
  FileCheck groundTruth;
  std::optional<FileCheck> system;
  std::optional<PairingCheck> pairing;
  /// One sentence each, for people, in the order of the checks.
  std::vector<std::string> warnings;
};

/// Checks a ground-truth file, and a system output with it when `system` is
/// given (with its details). The details are the reader's for each file; the
/// names, when given, are the files' in warnings that name a line of them
/// (`gt.txt:12: ...`; "line 12: ..." without).
CheckReport checkFiles(const QuorSequence& groundTruth, const ReadDetails& groundTruthDetails,
                       const QuorSequence* system = nullptr,
                       const ReadDetails* systemDetails = nullptr,
                       std::string_view groundTruthName = {}, std::string_view systemName = {});
