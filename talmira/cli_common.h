// What every talmira subcommand shares: exit statuses, the confidence
// option, reading the two inputs, and output files written whole.
#pragma once

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/formats.h"
#include "annotation/quor_records.h"
#include "annotation/scoring_rules.h"
#include "annotation/sequence_reader.h"
#include "scoring/counts/streaming_evaluation.h"

// The command-line library is needed only where options are added or
// parsed (talmira/commands/); the writers and pages that share this header
// do without it, which spares each of them its long compile.
namespace CLI {
class App;
class Option;
}  // namespace CLI

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

/// `json` as text, indented by `indent`, with a line end: bytes that are no
/// UTF-8 (a file name, a class name from a file in another encoding) are
/// written as U+FFFD rather than failing the output.
std::string jsonText(const Json& json, int indent = 2);

/// A CSV field, quoted when it holds a comma, a quote or a line end.
std::string csvField(std::string_view text);

/// The row in `classes` of the class a command line names with `option`
/// ("--class"); throws a CommandError of status 2 for `command` naming the
/// classes there are (the first ones, and how many more, of a big set) when
/// none bears that name.
std::size_t classRowNamed(const ClassSet& classes, const std::string& name,
                          std::string_view command, std::string_view option = "--class");

/// How the two inputs of a pair are read: their formats and what the
/// formats other than this one need (the class map, the image size, ...).
/// As constructed, both are files of this format.
struct InputFormats {
  InputFormats() { system.role = AnnotationRole::kSystem; }
  AnnotationReadOptions groundTruth;
  AnnotationReadOptions system;
  /// Both inputs are files of this format, which can be read while they are scored.
  bool native() const {
    return groundTruth.format == AnnotationFormat::kTalmira &&
           system.format == AnnotationFormat::kTalmira;
  }
};

/// The scoring rules' options as given on a command line: a named set and
/// the values given one by one (which override the set's).
struct RulesGiven {
  std::optional<ScoringRules> named;  // --rules
  std::string name;                   // its name, as given
  std::optional<OverlapMeasure> overlap;
  std::optional<float> minOverlap;
  std::optional<float> regionCover;
  std::optional<double> minSide;
  /// The rules these give: the named set's (or the defaults), each value
  /// given replacing its own.
  ScoringRules rules() const;
  /// Whether the rules are the set named `set`, none of its values given
  /// one by one beside it.
  bool onlySet(std::string_view set) const {
    return named && name == set && !overlap && !minOverlap && !regionCover && !minSide;
  }
  /// Whether a value was given one by one.
  bool valueGiven() const { return overlap || minOverlap || regionCover || minSide; }
};

/// Adds --rules, --overlap, --min-overlap, --region-cover and --min-side in
/// a group of their own. A value out of its range is a usage error (status
/// 2) naming the option.
void addRulesOptions(CLI::App& command, RulesGiven& given);

/// Adds "rules" to a JSON object, the defaults included, so that a script
/// reading a result never has to know what the defaults are.
void stateRules(Json& json, const ScoringRules& rules);
/// The rules as a JSON object: overlap, min_overlap, region_cover, min_side.
Json rulesJson(const ScoringRules& rules);
/// "Rules: overlap iou, min overlap 0.5, ..." and a line end when `rules` are
/// not the defaults; empty otherwise. For the text reports.
std::string rulesLine(const ScoringRules& rules);
/// The options that give `rules` (" --overlap iou --min-overlap 0.5 ..."),
/// for the command line a page states; empty for the defaults.
std::string rulesArguments(const ScoringRules& rules);

/// The options of the other formats, as given on a command line.
struct FormatOptionsGiven {
  std::string groundTruthFormat = "talmira";
  std::string systemFormat = "talmira";
  std::string classes;            // --classes MAP.csv
  std::string unknown = "error";  // --unknown error|drop
  std::string imageSize;          // --image-size WxH
  std::string names;              // --names FILE (yolo)
  std::string ignore;             // --ignore FILE (uavdt ground truth)
  std::string imagesFrom;         // --images-from GT.json (coco results)
  RulesGiven rules;               // addRulesOptions(): the size test and the matching's rules
  // The command reports the classes of other datasets as they name them
  // (their own set, or any set a class map gives); otherwise their labels
  // are mapped onto this format's ten.
  bool ownClasses = false;
  // Names --gt-format and --sys-format take beyond the formats' own (the
  // track layouts of --track); the command decides what they mean.
  std::vector<std::string> moreFormatNames;
  std::string moreFormatsHelp;  // what --gt-format's help says of them
};

/// Adds --gt-format and --sys-format (or, with `singleInput`, --from) and
/// the options of the other formats, in a group of their own.
void addFormatOptions(CLI::App& command, FormatOptionsGiven& given, bool singleInput = false);
/// The InputFormats the options give for the ground truth `groundTruthPath`.
/// Throws a CommandError of status 2 for options that do not go together
/// (an image size a yolo input lacks, --ignore without a uavdt ground truth,
/// ...) and of status 1 when the class map cannot be read.
InputFormats inputFormatsOf(const FormatOptionsGiven& given, const std::string& groundTruthPath);
/// The same without the checks of what goes together (`talmira batch`, whose
/// LIST may name other formats per sequence): an input that lacks what its
/// format needs fails as it is read. `classes` is the map --classes gave
/// (loadClassMap()), or null.
InputFormats inputFormatsWith(const FormatOptionsGiven& given,
                              std::shared_ptr<const ClassMap> classes,
                              const std::string& groundTruthPath);
/// The map --classes names, or null without it; a CommandError of status 1
/// when it cannot be read.
std::shared_ptr<const ClassMap> loadClassMap(const FormatOptionsGiven& given);
/// The auxiliary files the options name (class map, names, ignored areas,
/// images), which an output must not overwrite.
std::vector<std::string> auxiliaryInputs(const FormatOptionsGiven& given);

/// Reads an annotation input (a file of this format unless `options` say
/// otherwise). On failure, throws a CommandError of status 1 whose message
/// is the reader's `file:line: ...` line, or `<path>: cannot open:
/// <reason>`. `details`, when given, receives the reader's details of it.
/// What the reader noted on the way (AnnotationReadFailure::warnings) is
/// printed on standard error as `warning: file:line: ...` lines, unless
/// `warn` is false (a command that reports them itself, from the details).
std::unique_ptr<QuorSequence> readInput(const std::string& path, ReadDetails* details = nullptr,
                                        const AnnotationReadOptions& options = {},
                                        bool warn = true);
/// Reads both inputs, at the same time; when either fails, both messages are
/// given (ground truth first) and status 1 is thrown. The readers' warnings
/// are printed as readInput() prints them, the ground truth's first.
void readInputs(const std::string& groundTruthPath, const std::string& systemPath,
                std::unique_ptr<QuorSequence>& groundTruth, std::unique_ptr<QuorSequence>& system,
                ReadDetails* groundTruthDetails = nullptr, ReadDetails* systemDetails = nullptr,
                const InputFormats& formats = {}, bool warn = true);

/// Works on two annotation files as `talmira score` does: with `jobs` above
/// 1, and both files regular files of this format, `streamed(groundTruth,
/// system)` works on them while they are read and returns its result, or
/// nothing when the frame numbers of a file do not only grow; then, or with
/// one job, or for other formats, both inputs are read whole and
/// `whole(groundTruth, system)` gives the result. Throws a CommandError of
/// status 1 with the readers' messages when an input fails.
template <typename Result, typename Streamed, typename Whole>
Result workOnFiles(const std::string& groundTruthPath, const std::string& systemPath, unsigned jobs,
                   Streamed streamed, Whole whole, const InputFormats& formats = {});

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
                   Streamed streamed, Whole whole, const InputFormats& formats) {
  if (jobs > 1 && formats.native()) {
    StreamedInput groundTruth(openForStreaming(groundTruthPath), groundTruthPath);
    StreamedInput system(openForStreaming(systemPath), systemPath);
    groundTruth.rules = formats.groundTruth.rules;
    system.rules = formats.system.rules;
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
  readInputs(groundTruthPath, systemPath, groundTruth, system, nullptr, nullptr, formats);
  return whole(*groundTruth, *system);
}

}  // namespace talmira
