#include "talmira/cli_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "annotation/sequence_reader.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/box_overlap.h"
#include "talmira/output_pieces.h"
#include "talmira/writers/check_report.h"

namespace talmira {

std::string jsonText(const Json& json, int indent) {
  return json.dump(indent, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

std::size_t classRowNamed(const ClassSet& classes, const std::string& name,
                          std::string_view command, std::string_view option) {
  if (const std::optional<std::size_t> row = classes.rowOf(name)) return *row;
  // A big set is named by its first classes: enough to tell which dataset's they are.
  constexpr std::size_t kNamedInFull = 12;
  constexpr std::size_t kNamedOfMany = 8;
  const std::size_t named = classes.rows() <= kNamedInFull ? classes.rows() : kNamedOfMany;
  std::string list;
  for (std::size_t row = 0; row < named; ++row) {
    list += (row == 0 ? "\"" : ", \"") + printableName(classes.row(row)) + "\"";
  }
  if (named < classes.rows()) {
    list += " and " + std::to_string(classes.rows() - named) + " more";
  }
  throw CommandError{kExitUsage, "talmira " + std::string(command) + ": " + std::string(option) +
                                     " " + printableName(name) +
                                     ": no class of that name; the classes are " + list};
}

float parseConfidence(const std::string& text) { return parseFraction(text, "confidence"); }

float parseFraction(const std::string& text, const std::string& what) {
  // strtod takes leading blanks and "nan"/"inf"; a threshold is a plain number.
  const bool plain = !text.empty() && text.find_first_of(" \t\n\v\f\r") == std::string::npos;
  char* end = nullptr;
  errno = 0;
  const double value = plain ? std::strtod(text.c_str(), &end) : 0.0;
  if (!plain || end != text.c_str() + text.size() || !std::isfinite(value)) {
    throw CLI::ValidationError(what, "\"" + text + "\" is not a number");
  }
  // Rounded to single precision, as every confidence is held.
  const auto rounded = static_cast<float>(value);
  if (!(rounded >= 0.0f && rounded <= 1.0f)) {
    throw CLI::ValidationError(what, text + " is not between 0 and 1");
  }
  return rounded;
}

CLI::Option* addConfidenceOption(CLI::App& command, float& confidence, const std::string& help) {
  return command
      .add_option_function<std::string>(
          "-c,--confidence",
          [&confidence](const std::string& text) { confidence = parseConfidence(text); }, help)
      ->type_name("C")
      ->default_str("0");
}

void throwReadFailures(const StreamedInput& groundTruth, const StreamedInput& system) {
  if (groundTruth.status >= 0 && system.status >= 0) return;
  const std::string between = groundTruth.status < 0 && system.status < 0 ? "\n" : "";
  throw CommandError{kExitInputOrOutput, groundTruth.error + between + system.error};
}

CLI::Option* addNearOption(CLI::App& command, float& near) {
  near = kDefaultNearThreshold;
  return command
      .add_option_function<std::string>(
          "--near", [&near](const std::string& text) { near = parseFraction(text, "near"); },
          "the overlap from which a miss and a false alarm left unpaired count as near each "
          "other: a localization error (0 to 1)")
      ->type_name("T")
      ->default_str(shortestText(kDefaultNearThreshold));
}

namespace {

std::string reasonOf(int error) { return std::strerror(error); }

}  // namespace

namespace {

// Reads an input as readInput() does, its reader's warnings kept in
// `warnings` rather than printed.
std::unique_ptr<QuorSequence> readKeepingWarnings(const std::string& path, ReadDetails* details,
                                                  const AnnotationReadOptions& options,
                                                  std::vector<std::string>& warnings) {
  auto sequence = std::make_unique<QuorSequence>();
  AnnotationReadFailure failure;
  if (!readAnnotation(path, options, *sequence, failure, details)) {
    throw CommandError{kExitInputOrOutput, failure.message};
  }
  warnings = std::move(failure.warnings);
  return sequence;
}

void printWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    std::fprintf(stderr, "warning: %s\n", printable(warning).c_str());
  }
}

}  // namespace

std::unique_ptr<QuorSequence> readInput(const std::string& path, ReadDetails* details,
                                        const AnnotationReadOptions& options, bool warn) {
  std::vector<std::string> warnings;
  std::unique_ptr<QuorSequence> sequence = readKeepingWarnings(path, details, options, warnings);
  if (warn) printWarnings(warnings);
  return sequence;
}

void readInputs(const std::string& groundTruthPath, const std::string& systemPath,
                std::unique_ptr<QuorSequence>& groundTruth, std::unique_ptr<QuorSequence>& system,
                ReadDetails* groundTruthDetails, ReadDetails* systemDetails,
                const InputFormats& formats, bool warn) {
  std::string groundTruthError;
  std::string systemError;
  std::vector<std::string> groundTruthWarnings;
  std::vector<std::string> systemWarnings;
  {
    std::jthread systemReader([&] {
      try {
        system = readKeepingWarnings(systemPath, systemDetails, formats.system, systemWarnings);
      } catch (const CommandError& e) {
        systemError = e.message;
      }
    });
    try {
      groundTruth = readKeepingWarnings(groundTruthPath, groundTruthDetails, formats.groundTruth,
                                        groundTruthWarnings);
    } catch (const CommandError& e) {
      groundTruthError = e.message;
    }
  }
  if (!groundTruthError.empty() || !systemError.empty()) {
    throw CommandError{kExitInputOrOutput,
                       groundTruthError +
                           (groundTruthError.empty() || systemError.empty() ? "" : "\n") +
                           systemError};
  }
  // Printed once both are read, in the order of the files.
  if (warn) {
    printWarnings(groundTruthWarnings);
    printWarnings(systemWarnings);
  }
}

void addFormatOptions(CLI::App& command, FormatOptionsGiven& given, bool singleInput) {
  const std::vector<std::string> names = [&given] {
    std::vector<std::string> all;
    for (const AnnotationFormat format : kAnnotationFormats) {
      all.emplace_back(formatName(format));
    }
    all.insert(all.end(), given.moreFormatNames.begin(), given.moreFormatNames.end());
    return all;
  }();
  const std::string group = "Reading other formats";
  const auto format = [&](const std::string& name, std::string& value, const std::string& help) {
    command.add_option(name, value, help)
        ->check(CLI::IsMember(names))
        ->type_name("FORMAT")
        ->default_str("talmira")
        ->group(group);
  };
  if (singleInput) {
    format("--from", given.groundTruthFormat, "the format of the input: " + formatNames());
  } else {
    format("--gt-format", given.groundTruthFormat,
           "the ground truth's format: " + formatNames() + " (see talmira convert --help)" +
               given.moreFormatsHelp);
    format("--sys-format", given.systemFormat, "the detector output's format, the same choices");
  }
  command
      .add_option("--classes", given.classes,
                  "map the labels of the other formats with this CSV file of label,type[,flag] "
                  "lines: the types, any class names (or DCR, DCF), are the classes reported, "
                  "instead of the dataset's own (talmira convert --from FORMAT --show-classes "
                  "prints the map onto this format's ten)")
      ->type_name("MAP.csv")
      ->group(group);
  command
      .add_option("--unknown", given.unknown,
                  "a label in no class map: error (the default) fails the read naming its line, "
                  "drop leaves the box out")
      ->check(CLI::IsMember({"error", "drop"}))
      ->type_name("error|drop")
      ->group(group);
  command
      .add_option("--image-size", given.imageSize,
                  "yolo: the width and height in pixels of the frames its fractions are of")
      ->type_name("WxH")
      ->group(group);
  command.add_option("--names", given.names, "yolo: the class names, one a line (class 0 first)")
      ->type_name("FILE")
      ->group(group);
  command
      .add_option("--ignore", given.ignore,
                  "uavdt ground truth: its file of ignored areas, read as don't-care regions")
      ->type_name("FILE")
      ->group(group);
  command
      .add_option("--images-from", given.imagesFrom,
                  "coco results list: the ground truth (COCO JSON) whose images and categories "
                  "it names; by default the ground truth itself when it is coco")
      ->type_name("GT.json")
      ->group(group);
}

InputFormats inputFormatsOf(const FormatOptionsGiven& given, const std::string& groundTruthPath) {
  const auto usage = [](const std::string& what) { throw CommandError{kExitUsage, what}; };
  const AnnotationFormat truth = formatNamed(given.groundTruthFormat).value();
  const AnnotationFormat system = formatNamed(given.systemFormat).value();
  const auto either = [&](AnnotationFormat format) { return truth == format || system == format; };
  std::optional<ImageSize> size;
  if (!given.imageSize.empty()) {
    size = parseImageSize(given.imageSize);
    if (!size) usage("--image-size " + given.imageSize + ": expected WxH, e.g. 1920x1080");
    if (!either(AnnotationFormat::kYolo)) usage("--image-size is for yolo inputs");
  } else if (either(AnnotationFormat::kYolo)) {
    usage("yolo coordinates are fractions of the image: give its size with --image-size WxH");
  }
  if (!given.names.empty() && !either(AnnotationFormat::kYolo)) {
    usage("--names is for yolo inputs");
  }
  if (!given.ignore.empty() && truth != AnnotationFormat::kUavdt) {
    usage("--ignore is the ignored areas of a uavdt ground truth");
  }
  if (!given.imagesFrom.empty() && !either(AnnotationFormat::kCoco)) {
    usage("--images-from is for coco inputs");
  }
  if ((!given.classes.empty() || given.unknown != "error") && truth == AnnotationFormat::kTalmira &&
      system == AnnotationFormat::kTalmira) {
    usage(std::string(given.classes.empty() ? "--unknown" : "--classes") +
          " maps the labels of other formats: give --gt-format or --sys-format");
  }
  return inputFormatsWith(given, loadClassMap(given), groundTruthPath);
}

std::shared_ptr<const ClassMap> loadClassMap(const FormatOptionsGiven& given) {
  if (given.classes.empty()) return nullptr;
  std::string error;
  std::shared_ptr<const ClassMap> classes = readClassMap(given.classes, &error);
  if (!classes) throw CommandError{kExitInputOrOutput, error};
  if (!given.ownClasses) {
    // Onto this format's types only: what a file of this format can hold.
    for (const ClassMap::Entry& entry : classes->entries()) {
      if (!typeOfThisFormat(entry.mapping.type).empty()) continue;
      throw CommandError{
          kExitInputOrOutput,
          locatedMessage(given.classes, entry.line,
                         "type \"" + std::string(entry.mapping.type) +
                             "\" is none of Car, Truck, Tractor-Trailor, Bus, Container, Boat, "
                             "Plane, Helicopter, Person, Cyclist, DCR, DCF")};
    }
  }
  return classes;
}

InputFormats inputFormatsWith(const FormatOptionsGiven& given,
                              std::shared_ptr<const ClassMap> classes,
                              const std::string& groundTruthPath) {
  InputFormats formats;
  formats.groundTruth.format = formatNamed(given.groundTruthFormat).value();
  formats.system.format = formatNamed(given.systemFormat).value();
  formats.groundTruth.ownClasses = formats.system.ownClasses = given.ownClasses;
  std::string imagesFrom = given.imagesFrom;
  if (imagesFrom.empty() && formats.groundTruth.format == AnnotationFormat::kCoco) {
    imagesFrom = groundTruthPath;
  }
  for (AnnotationReadOptions* options : {&formats.groundTruth, &formats.system}) {
    options->classes = classes;
    options->dropUnknownLabels = given.unknown == "drop";
    options->imageSize = parseImageSize(given.imageSize);
    options->namesPath = given.names;
    options->imagesFrom = imagesFrom;
  }
  formats.groundTruth.ignorePath = given.ignore;
  formats.groundTruth.rules = formats.system.rules = given.rules.rules();
  return formats;
}

ScoringRules RulesGiven::rules() const {
  ScoringRules rules = named.value_or(ScoringRules{});
  if (overlap) rules.overlap = *overlap;
  if (minOverlap) rules.minOverlap = *minOverlap;
  if (regionCover) rules.regionCover = *regionCover;
  if (minSide) rules.minSide = *minSide;
  return rules;
}

namespace {

// A fraction above 0 and at most 1, as the thresholds of the rules are.
float parsePositiveFraction(const std::string& text, const std::string& what) {
  const float value = parseFraction(text, what);
  if (!(value > 0.0f)) throw CLI::ValidationError(what, text + " is not above 0");
  return value;
}

}  // namespace

void addRulesOptions(CLI::App& command, RulesGiven& given) {
  const std::string group = "Scoring rules";
  command
      .add_option_function<std::string>(
          "--rules",
          [&given](const std::string& text) {
            given.named = namedRules(text);
            given.name = text;
            if (!given.named) {
              throw CLI::ValidationError("--rules",
                                         "\"" + text + "\" is none of " + ruleSetNames());
            }
          },
          "score by a benchmark's rules: mot and visdrone (iou, min overlap 0.5, region cover "
          "0.33, min side 0), kitti (iou, 0.5, 0.5, 25); the options below override its values")
      ->type_name(ruleSetNames())
      ->group(group);
  command
      .add_option_function<std::string>(
          "--overlap",
          [&given](const std::string& text) {
            given.overlap = overlapMeasureNamed(text);
            if (!given.overlap) {
              throw CLI::ValidationError("--overlap",
                                         "\"" + text + "\" is neither enclosing nor iou");
            }
          },
          "how a pair's overlap is measured: the intersection over the rectangle enclosing both "
          "(enclosing) or over their union (iou)")
      ->type_name("enclosing|iou")
      ->default_str("enclosing")
      ->group(group);
  command
      .add_option_function<std::string>(
          "--min-overlap",
          [&given](const std::string& text) {
            given.minOverlap = parsePositiveFraction(text, "--min-overlap");
          },
          "the overlap a pair needs to match (above 0, at most 1)")
      ->type_name("T")
      ->default_str(shortestText(kDefaultOverlapThreshold))
      ->group(group);
  command
      .add_option_function<std::string>(
          "--region-cover",
          [&given](const std::string& text) {
            given.regionCover = parsePositiveFraction(text, "--region-cover");
          },
          "the part of a detection a don't-care region must cover to drop it (above 0, at most 1)")
      ->type_name("T")
      ->default_str(shortestText(kDefaultRegionCover))
      ->group(group);
  command
      .add_option_function<std::string>(
          "--min-side",
          [&given](const std::string& text) {
            const bool plain =
                !text.empty() && text.find_first_of(" \t\n\v\f\r") == std::string::npos;
            char* end = nullptr;
            const double value = plain ? std::strtod(text.c_str(), &end) : -1.0;
            if (!plain || end != text.c_str() + text.size() || !std::isfinite(value) ||
                !(value >= 0.0)) {
              throw CLI::ValidationError("--min-side",
                                         "\"" + text + "\" is not a length of 0 or more pixels");
            }
            given.minSide = value;
          },
          "the size test: a box is read only when one of its sides is at least P pixels long "
          "(0 keeps every box)")
      ->type_name("P")
      ->default_str("30")
      ->group(group);
}

Json rulesJson(const ScoringRules& rules) {
  return Json{{"overlap", std::string(overlapMeasureName(rules.overlap))},
              {"min_overlap", jsonNumber(rules.minOverlap)},
              {"region_cover", jsonNumber(rules.regionCover)},
              {"min_side", rules.minSide == std::floor(rules.minSide) && rules.minSide < 1e15
                               ? Json(static_cast<int64_t>(rules.minSide))
                               : Json(rules.minSide)}};
}

void stateRules(Json& json, const ScoringRules& rules) { json["rules"] = rulesJson(rules); }

std::string rulesArguments(const ScoringRules& rules) {
  if (rules.isDefault()) return {};
  return " --overlap " + std::string(overlapMeasureName(rules.overlap)) + " --min-overlap " +
         shortestText(rules.minOverlap) + " --region-cover " + shortestText(rules.regionCover) +
         " --min-side " + rulesJson(rules)["min_side"].dump();
}

std::string rulesLine(const ScoringRules& rules) {
  return rules.isDefault() ? std::string() : "Rules: " + rulesText(rules) + "\n";
}

std::vector<std::string> auxiliaryInputs(const FormatOptionsGiven& given) {
  std::vector<std::string> files;
  for (const std::string* path : {&given.classes, &given.names, &given.ignore, &given.imagesFrom}) {
    if (!path->empty()) files.push_back(*path);
  }
  return files;
}

void refuseOutputNamingInput(const std::string& outputPath,
                             const std::vector<std::string>& inputs) {
  if (outputPath.empty() || outputPath == "-") return;
  // A typing error in the output's folder is better told before a long run
  // than after it.
  std::error_code ignored;
  std::filesystem::path target = std::filesystem::canonical(outputPath, ignored);
  if (target.empty()) target = outputPath;
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    throw CommandError{kExitInputOrOutput, outputPath + ": cannot write: " + reasonOf(errno)};
  }
  struct stat output {};
  if (stat(outputPath.c_str(), &output) != 0) return;
  for (const std::string& input : inputs) {
    struct stat in {};
    if (stat(input.c_str(), &in) == 0 && in.st_dev == output.st_dev && in.st_ino == output.st_ino) {
      throw CommandError{kExitUsage, "the output " + outputPath + " is the input " + input +
                                         "; refusing to overwrite it"};
    }
  }
}

namespace {

// The temporary file being written, removed if the program is interrupted
// before it is renamed into place. A fixed buffer: the handler may only make
// async-signal-safe calls.
char pendingPath[4096];
volatile std::sig_atomic_t pendingSet = 0;

extern "C" void removePendingAndExit(int signalNumber) {
  if (pendingSet != 0) unlink(pendingPath);
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

void setPending(const std::string& path) {
  if (path.size() >= sizeof pendingPath) return;  // still removed on every handled failure
  std::memcpy(pendingPath, path.c_str(), path.size() + 1);
  pendingSet = 1;
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    std::signal(signalNumber, removePendingAndExit);
  }
}

void clearPending() { pendingSet = 0; }

bool writeAll(int fd, std::string_view contents) {
  while (!contents.empty()) {
    const ssize_t written = write(fd, contents.data(), contents.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    contents.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

void writeOutput(const std::string& path, std::string_view contents) {
  writeOutputPieces(path, [contents](const OutputSink& sink) { sink(contents); });
}

void writeOutputPieces(const std::string& path,
                       const std::function<void(const OutputSink&)>& produce) {
  if (path.empty() || path == "-") {
    bool ok = true;
    produce([&ok](std::string_view piece) {
      ok = ok && std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size();
    });
    if (!ok || std::fflush(stdout) != 0) {
      throw CommandError{kExitInputOrOutput, "cannot write standard output: " + reasonOf(errno)};
    }
    return;
  }
  const auto fail = [&path](int error) {
    throw CommandError{kExitInputOrOutput, path + ": cannot write: " + reasonOf(error)};
  };
  // Writes the pieces to `fd`, the first failure's errno kept.
  const auto writeInto = [&produce](int fd, int* error) {
    bool ok = true;
    produce([&](std::string_view piece) {
      if (ok && !writeAll(fd, piece)) {
        ok = false;
        *error = errno;
      }
    });
    return ok;
  };
  std::error_code ignored;
  // A link is followed, so that the file it names is replaced, not the link.
  std::filesystem::path target = std::filesystem::canonical(path, ignored);
  if (target.empty()) target = path;
  struct stat existing {};
  const bool exists = stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    // A device or a pipe (/dev/null, /dev/stdout) cannot be replaced; it is
    // written in place.
    const int fd = open(target.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0) fail(errno);
    int error = 0;
    bool ok = false;
    try {
      ok = writeInto(fd, &error);
    } catch (...) {
      close(fd);
      throw;
    }
    if (close(fd) != 0 || !ok) fail(ok ? errno : error);
    return;
  }
  const std::filesystem::path folder =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(temporary.data());
  if (fd < 0) fail(errno);
  setPending(temporary);
  // The new file takes the old one's permissions, or those a new file gets.
  mode_t mode = 0;
  if (exists) {
    mode = existing.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  int error = 0;
  bool ok = fchmod(fd, mode) == 0;
  if (!ok) error = errno;
  try {
    ok = ok && writeInto(fd, &error);
  } catch (...) {
    close(fd);
    unlink(temporary.c_str());
    clearPending();
    throw;
  }
  if (ok && fsync(fd) != 0) {
    ok = false;
    error = errno;
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) unlink(temporary.c_str());
  clearPending();
  if (!ok) fail(error);
}

std::string shortestText(float value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

Json jsonNumber(float value) {
  // JSON holds doubles: the double nearest the shortest text prints as that
  // text, where the float widened to double would show all its digits.
  if (!std::isfinite(value)) return nullptr;
  return std::strtod(shortestText(value).c_str(), nullptr);
}

std::string fixedSix(float value) { return fixedSix(static_cast<double>(value)); }

std::string fixedSix(double value) {
  // What printf("%f") writes, digit for digit (to_chars with a precision is
  // defined as printf in the C locale), without printf's cost: a sweep
  // writes three of these on each of its rows.
  char text[512];  // %f of the largest double has 316 characters
  const std::to_chars_result result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}
Json optionalJson(const std::optional<double>& value) {
  if (!value || !std::isfinite(*value)) return nullptr;
  return *value;
}

CLI::Option* addJobsOption(CLI::App& command, unsigned& jobs, const std::string& help) {
  jobs = defaultThreadCount();
  return command.add_option("-j,--jobs", jobs, help)
      ->type_name("N")
      ->check(CLI::Range(1u, 4096u))
      ->default_str(std::to_string(jobs));
}

CLI::Option* addFormatOption(CLI::App& command, Format& format,
                             const std::vector<Format>& choices) {
  static const std::vector<std::pair<std::string, Format>> kNames = {
      {"text", Format::kText}, {"csv", Format::kCsv}, {"json", Format::kJson}};
  std::vector<std::string> allowed;
  for (const Format choice : choices) {
    for (const auto& [name, value] : kNames) {
      if (value == choice) allowed.push_back(name);
    }
  }
  format = choices.front();
  std::string names;
  for (const std::string& name : allowed) names += (names.empty() ? "" : "|") + name;
  return command
      .add_option_function<std::string>(
          "--format",
          [&format](const std::string& name) {
            for (const auto& [known, value] : kNames) {
              if (known == name) format = value;
            }
          },
          "output format: " + names)
      ->check(CLI::IsMember(allowed))
      ->type_name("FORMAT")
      ->default_str(allowed.front());
}

}  // namespace talmira
