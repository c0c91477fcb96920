// Scoring two annotation files while they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "annotation/scoring_rules.h"
#include "annotation/selection.h"
#include "annotation/sequence_reader.h"
#include "scoring/counts/sequence_evaluation.h"

/// One input of evaluateClassesWhileReading(): the stream (closed by the
/// call) and its name for messages; the call fills in how its reading went.
struct StreamedInput {
  StreamedInput(std::FILE* input, std::string inputName)
      : stream(input), name(std::move(inputName)) {}
  std::FILE* stream = nullptr;
  std::string name;
  ScoringRules rules;  // the size test, and the matching's rules of its frames
  int status = 0;      // readSequenceFile()'s status
  std::string error;   // its message when the status is -1
};

struct StreamedTotals {
  /// False when a file's frame numbers went back somewhere: then pairing
  /// each truth frame with the first system frame of its number needs the
  /// whole files, and `totals` and `frames` are not set.
  bool inOrder = true;
  std::vector<ClassTotals> totals;
  int64_t frames = 0;  // frames of the ground truth
};

/// Opens `path` for reading when it is a regular file, one that can be read
/// a second time when its frame numbers turn out to go back; otherwise
/// (a pipe, a device, a file that cannot be opened) returns null.
std::FILE* openForStreaming(const std::string& path);

/// An input of the walks below that need not be a file: a reading that hands
/// its frames to `sink` in blocks of about `blockTargets` targets, as
/// readSequenceBlocks() hands a file's or fileTableBlocks() a table's, and
/// keeps its own status. Run on a thread of its own, to the input's end.
using BlockReading = std::function<void(FrameBlockSink& sink, std::size_t blockTargets)>;

/// What visitFramesWhileReading() hands over.
class FramePairVisitor {
 public:
  virtual ~FramePairVisitor() = default;
  /// A ground-truth frame and the system frame of its number (or null), on
  /// worker thread `worker` (0 to threads - 1); calls of one worker never
  /// overlap. The frames live until the call returns.
  virtual void pair(std::size_t worker, const QuorFrame& truth, const QuorFrame* partner) = 0;
  /// A system frame that is no ground-truth frame's partner, on the reading
  /// walk's thread (never at the same time as another unpaired() call).
  virtual void unpaired(const QuorFrame& system) = 0;
};

/// The walk under evaluateClassesWhileReading(): reads both files at once,
/// each in a thread of its own, pairs each ground-truth frame with the system
/// frame of its number and hands the pairs to `threads` workers. Returns
/// false (with `frames` 0) when a file's frame numbers do not only grow:
/// then what was handed over is incomplete and must be thrown away. `frames`
/// is set to the ground-truth frames otherwise. Both files are read to the end.
bool visitFramesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                             FramePairVisitor& visitor, unsigned threads, int64_t& frames,
                             std::size_t blockTargets = std::size_t{1} << 15);
/// The same walk over two readings of any kind.
bool visitFramesWhileReading(const BlockReading& groundTruth, const BlockReading& system,
                             FramePairVisitor& visitor, unsigned threads, int64_t& frames,
                             std::size_t blockTargets = std::size_t{1} << 15);

/// Reads both files at once, each in a thread of its own, and while they
/// are read scores every filter's class on `threads` threads, as
/// evaluateClasses() would on the whole sequences, when the frame numbers
/// of both files only grow (what detectors and annotation tools write).
/// Only the frames in flight are held, so a long video needs no more memory
/// than a short one. Both files are always read to the end, so a malformed
/// record anywhere still fails its file.
/// `blockTargets` is how many targets a reader hands over at once.
StreamedTotals evaluateClassesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                           const std::vector<TargetFilter>& filters,
                                           unsigned threads,
                                           std::size_t blockTargets = std::size_t{1} << 15);
/// The same scoring of two readings of any kind (two tables held in
/// memory, say), each read on a thread of its own while the frames read so
/// far are scored.
StreamedTotals evaluateClassesWhileReading(const BlockReading& groundTruth,
                                           const BlockReading& system,
                                           const std::vector<TargetFilter>& filters,
                                           unsigned threads,
                                           std::size_t blockTargets = std::size_t{1} << 15);
