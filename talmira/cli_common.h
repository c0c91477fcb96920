// What every talmira subcommand shares: exit statuses, the confidence
// option, reading the two inputs, and output files written whole.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"
#include "scoring/streaming_evaluation.h"

namespace talmira {

/// JSON output keeps its keys in the order they are written.
using Json = nlohmann::ordered_json;

/// Exit statuses that scripts can rely on.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitInputOrOutput =
    1;                                // an input unreadable or malformed, an output unwritable
inline constexpr int kExitUsage = 2;  // the command line is wrong

/// A failure that ends the subcommand with `status` after `message` (one
/// line, without line end) is printed on standard error.
struct CommandError {
  int status;
  std::string message;
};

/// Parses a confidence threshold: a decimal number from 0 to 1, rounded to
/// single precision as the console program rounds it. Anything else ("abc",
/// "nan", "0.5x", "-0.1", "2") throws CLI::ValidationError.
float parseConfidence(const std::string& text);
/// The same rule for any threshold from 0 to 1; `what` names it in the error.
float parseFraction(const std::string& text, const std::string& what);
/// Adds `--near T` (default kDefaultNearThreshold), checked by parseFraction().
CLI::Option* addNearOption(CLI::App& command, float& near);
/// Adds `-c,--confidence` to `command`, checked by parseConfidence().
CLI::Option* addConfidenceOption(CLI::App& command, float& confidence,
                                 const std::string& help =
                                     "smallest confidence a box needs "
                                     "to be taken, in both files (0 to 1)");

/// Reads an annotation file. On failure, throws a CommandError of status 1
/// whose message is the reader's `file:line: ...` line, or
/// `<path>: cannot open: <reason>`. `details`, when given, receives the
/// reader's details of the file.
std::unique_ptr<QuorSequence> readInput(const std::string& path, ReadDetails* details = nullptr);
/// Reads both files, at the same time; when either fails, both messages are
/// given (ground truth first) and status 1 is thrown.
void readInputs(const std::string& groundTruthPath, const std::string& systemPath,
                std::unique_ptr<QuorSequence>& groundTruth, std::unique_ptr<QuorSequence>& system,
                ReadDetails* groundTruthDetails = nullptr, ReadDetails* systemDetails = nullptr);

/// Works on two annotation files as `talmira score` does: with `jobs` above
/// 1, and both files regular, `streamed(groundTruth, system)` works on them
/// while they are read and returns its result, or nothing when the frame
/// numbers of a file do not only grow; then, or with one job, both files are
/// read whole and `whole(groundTruth, system)` gives the result. Throws a
/// CommandError of status 1 with the readers' messages when a file fails.
template <typename Result, typename Streamed, typename Whole>
Result workOnFiles(const std::string& groundTruthPath, const std::string& systemPath, unsigned jobs,
                   Streamed streamed, Whole whole);

/// Throws a CommandError of status 1 with the readers' messages (ground
/// truth first) when either streamed input failed.
void throwReadFailures(const StreamedInput& groundTruth, const StreamedInput& system);

/// Throws a CommandError of status 2 when `outputPath` names an existing file
/// that is one of `inputs` (the same file, also through a link), and of
/// status 1 when its folder cannot take a new file. Called before any work.
void refuseOutputNamingInput(const std::string& outputPath, const std::vector<std::string>& inputs);

/// Writes `contents` to `path` whole: into a new file in the same folder that
/// is renamed over `path` only when complete, so a failed or interrupted run
/// leaves a file that was there as it was. An empty path or "-" writes to
/// standard output. Throws a CommandError of status 1 when it cannot.
void writeOutput(const std::string& path, std::string_view contents);

/// The shortest decimal text that reads back as `value` in single precision
/// ("0.1", "1", "0.833333313"), as a JSON number.
Json jsonNumber(float value);
/// The same text as a string, for text and CSV outputs.
std::string shortestText(float value);
/// printf("%f") of a single-precision value, as the console program writes NMODTA.
std::string fixedSix(float value);
/// printf("%f") of a double (ratios such as precision, recall, costs).
std::string fixedSix(double value);
/// A double as a JSON number, or null when there is none.
Json optionalJson(const std::optional<double>& value);

/// Adds `-j,--jobs N` (default: the cores this process may use); N >= 1.
CLI::Option* addJobsOption(CLI::App& command, unsigned& jobs, const std::string& help);

/// The output formats of the subcommands that take --format.
enum class Format { kText, kCsv, kJson };
/// Adds `--format` with the given choices (the first is the default).
CLI::Option* addFormatOption(CLI::App& command, Format& format,
                             const std::vector<Format>& choices = {Format::kText, Format::kCsv,
                                                                   Format::kJson});

template <typename Result, typename Streamed, typename Whole>
Result workOnFiles(const std::string& groundTruthPath, const std::string& systemPath, unsigned jobs,
                   Streamed streamed, Whole whole) {
  if (jobs > 1) {
    StreamedInput groundTruth(openForStreaming(groundTruthPath), groundTruthPath);
    StreamedInput system(openForStreaming(systemPath), systemPath);
    if (groundTruth.stream != nullptr && system.stream != nullptr) {
      std::optional<Result> result = streamed(groundTruth, system);
      throwReadFailures(groundTruth, system);
      if (result) return std::move(*result);
    } else {
      for (std::FILE* opened : {groundTruth.stream, system.stream}) {
        if (opened != nullptr) std::fclose(opened);
      }
    }
  }
  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  readInputs(groundTruthPath, systemPath, groundTruth, system);
  return whole(*groundTruth, *system);
}

}  // namespace talmira
