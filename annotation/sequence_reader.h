// Reader of the comma-separated annotation format: a header line, then one
// record of 15 columns per box or don't-care region.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "annotation/quor_records.h"

/// A record is kept only when one of its four sides is at least this long.
inline constexpr double kMinSideLength = 30.0;

/// Bytes the reader asks the stream for at once; its buffer grows only for a
/// line longer than this.
inline constexpr std::size_t kReadBufferSize = std::size_t{1} << 20;

/// Distance between two points, in single precision: the exact differences are
/// rounded to float, squared and added in float, and the root rounded to float.
float cornerDistance(int32_t xa, int32_t ya, int32_t xb, int32_t yb);

/// Reads an annotation file from `stream` into `sequence`, which must be empty,
/// and closes the stream in every case. Returns 0 on success and -1 when the
/// stream cannot be read or a record is malformed; then `error`, when given,
/// receives one line (without line end) naming `sourceName`, the line number
/// and what was wrong.
int readSequenceFile(std::FILE* stream, QuorSequence& sequence, std::string_view sourceName,
                     std::string* error = nullptr);

/// Receives a file's frames a block at a time while it is read.
class FrameBlockSink {
 public:
  virtual ~FrameBlockSink() = default;
  /// Takes the next block: consecutive whole frames of the file, in order,
  /// with the targets they point at. Returns false to have the reading go on
  /// to check the rest of the file without handing over any more blocks.
  virtual bool take(std::unique_ptr<QuorSequence> block) = 0;
};

/// Reads an annotation file as readSequenceFile() does, with the same
/// refusals and messages, but hands its frames to `sink` in blocks of about
/// `blockTargets` targets (a frame is never split) instead of keeping them,
/// so that a long file needs memory for a few blocks only. A failure is
/// found after the blocks before it were handed over.
int readSequenceBlocks(std::FILE* stream, FrameBlockSink& sink, std::string_view sourceName,
                       std::string* error = nullptr, std::size_t blockTargets = 1 << 16);
