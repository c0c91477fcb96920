// Shared helpers of the tests: record builders, a temporary folder, and a
// runner for the real executable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"

namespace talmira_test {

/// An upright box from (x0, y0) to (x1, y1), corners listed clockwise.
QuorTarget box(int32_t x0, int32_t y0, int32_t x1, int32_t y1, std::string_view className = "Car",
               float confidence = 1.0f, bool markA = false, bool markB = false);

/// The six counts the frame matching leaves on a ground-truth frame.
struct FrameCounts {
  int32_t gtCount, gtExcluded, detCount, detExcluded, fpCount, fnCount;
  bool operator==(const FrameCounts&) const = default;
};
FrameCounts countsOf(const QuorFrame& frame);
std::ostream& operator<<(std::ostream& out, const FrameCounts& c);

/// A temporary folder, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// Writes `contents` to a file of that name in the folder; returns its path.
  std::string write(const std::string& name, std::string_view contents) const;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// The lines of `text`, each without its LF; a last line without one is left out.
std::vector<std::string> splitLines(const std::string& text);

/// Reads a whole file; an empty string when it does not exist.
std::string readFile(const std::string& path);

struct RunResult {
  std::string output;  // everything the program wrote to standard output
  int status = 0;      // exit status, 0 to 255
};

/// Runs the built TalmiraConsole with `arguments`, standard input from
/// /dev/null, in the working folder `workingDir` (when not empty).
RunResult runConsole(const std::vector<std::string>& arguments, const std::string& workingDir = "");

/// Reads `text` as an annotation file through a real FILE*; the reader's
/// status (0 or -1), or -2 when the stream cannot be made.
int readAnnotationText(std::string text, QuorSequence& sequence, ReadDetails* details = nullptr,
                       std::string* error = nullptr);

/// A ground truth and a system output made for the scorer's corner cases:
/// boxes on a coarse grid (many passes right at the threshold), system boxes
/// near ground-truth boxes of the same or another class, flags, don't-care
/// regions, confidences from 0 to 1, frame numbers that come back, frames
/// on one side only, records the reader drops, blank lines and CR LF ends.
struct FilePair {
  std::string groundTruth;
  std::string system;
};
FilePair randomFilePair(uint32_t seed, int frames = 12, int maxBoxes = 14);
/// A random pair whose frame numbers only grow, as tools write them: the
/// records of randomFilePair(seed, 14, 10) put in frame order, with turned
/// boxes (whose corners only a second read can give) and records too small
/// to keep among them. An `odd` pair has more among its records: "DCF"
/// records of any frame, records of a type no class has (which make a frame,
/// even one of nothing else), blank lines, and lines ended by CR LF or a
/// lone CR.
FilePair orderedFilePair(uint32_t seed, bool odd = false);

struct ToolResult {
  std::string output;  // standard output
  std::string errors;  // standard error
  int status = 0;      // exit status, 0 to 255; 128 + signal when killed
};

/// Runs the built talmira with `arguments`, standard input from /dev/null,
/// in the working folder `workingDir` (when not empty).
ToolResult runTalmira(const std::vector<std::string>& arguments,
                      const std::string& workingDir = "");

/// As runTalmira(), the program allowed `addressSpace` bytes of memory at
/// most (RLIMIT_AS), so that a run which would take gigabytes fails; not
/// limited in the sanitizers' build (addressSpaceLimited() is false), whose
/// runtime maps terabytes of shadow memory.
ToolResult runTalmiraWithin(uint64_t addressSpace, const std::vector<std::string>& arguments);
bool addressSpaceLimited();

}  // namespace talmira_test
