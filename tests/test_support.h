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

/// Reads a whole file; an empty string when it does not exist.
std::string readFile(const std::string& path);

struct RunResult {
  std::string output;  // everything the program wrote to standard output
  int status = 0;      // exit status, 0 to 255
};

/// Runs the built TalmiraConsole with `arguments`, standard input from
/// /dev/null, in the working folder `workingDir` (when not empty).
RunResult runConsole(const std::vector<std::string>& arguments, const std::string& workingDir = "");

struct ToolResult {
  std::string output;  // standard output
  std::string errors;  // standard error
  int status = 0;      // exit status, 0 to 255; 128 + signal when killed
};

/// Runs the built talmira with `arguments`, standard input from /dev/null,
/// in the working folder `workingDir` (when not empty).
ToolResult runTalmira(const std::vector<std::string>& arguments,
                      const std::string& workingDir = "");

}  // namespace talmira_test
