// Scoring two annotation files while they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "annotation/selection.h"
#include "scoring/sequence_evaluation.h"

/// One input of evaluateClassesWhileReading(): the stream (closed by the
/// call) and its name for messages; the call fills in how its reading went.
struct StreamedInput {
  StreamedInput(std::FILE* input, std::string inputName)
      : stream(input), name(std::move(inputName)) {}
  std::FILE* stream = nullptr;
  std::string name;
  int status = 0;     // readSequenceFile()'s status
  std::string error;  // its message when the status is -1
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
