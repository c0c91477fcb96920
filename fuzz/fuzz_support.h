// Helpers shared by the fuzz targets: reading bytes as an annotation file and
// stopping loudly when a checked property fails.
#pragma once

#include <stdio.h>  // fmemopen

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"

namespace talmira_fuzz {

/// Prints what failed and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::talmira_fuzz::fail(__FILE__, __LINE__, #condition))

/// Reads `bytes` as an annotation file into `sequence` through a real FILE*,
/// as the program reads its files. The stream gets a copy of the bytes of its
/// own, alive until the reader has closed it.
inline int readBytes(std::string_view bytes, QuorSequence& sequence, std::string_view sourceName,
                     std::string* error, ReadDetails* details = nullptr) {
  std::FILE* stream = nullptr;
  std::vector<char> copy(bytes.begin(), bytes.end());
  if (copy.empty()) {
    // fmemopen refuses an empty buffer; an empty file reads the same.
    stream = std::fopen("/dev/null", "r");
  } else {
    stream = fmemopen(copy.data(), copy.size(), "r");
  }
  if (stream == nullptr) {
    std::perror("cannot open the input as a stream");
    std::abort();
  }
  return readSequenceFile(stream, sequence, sourceName, error, details);
}

/// The six counts the frame matching leaves on a ground-truth frame.
struct FrameCounts {
  int32_t gtCount, gtExcluded, detCount, detExcluded, fpCount, fnCount;
  bool operator==(const FrameCounts&) const = default;
};

inline FrameCounts countsOf(const QuorFrame& frame) {
  return {frame.gtCount,     frame.gtExcluded, frame.detCount,
          frame.detExcluded, frame.fpCount,    frame.fnCount};
}

inline void printCounts(const char* label, const FrameCounts& c) {
  std::fprintf(stderr, "%s: gt %d excluded %d, det %d excluded %d, fp %d, fn %d\n", label,
               c.gtCount, c.gtExcluded, c.detCount, c.detExcluded, c.fpCount, c.fnCount);
}

/// The properties every matching result has, whatever the boxes: counts are
/// never negative, exclusions stay within their side, and the pairs counted
/// from the ground-truth side equal those counted from the system side.
inline void checkFrameCounts(const FrameCounts& c) {
  FUZZ_CHECK(c.gtCount >= 0 && c.gtExcluded >= 0 && c.detCount >= 0 && c.detExcluded >= 0);
  FUZZ_CHECK(c.fpCount >= 0 && c.fnCount >= 0);
  FUZZ_CHECK(c.gtExcluded <= c.gtCount);
  FUZZ_CHECK(c.detExcluded <= c.detCount);
  FUZZ_CHECK(c.fnCount <= c.gtCount - c.gtExcluded);
  FUZZ_CHECK(c.fpCount <= c.detCount - c.detExcluded);
  FUZZ_CHECK(c.gtCount - c.gtExcluded - c.fnCount == c.detCount - c.detExcluded - c.fpCount);
}

}  // namespace talmira_fuzz
