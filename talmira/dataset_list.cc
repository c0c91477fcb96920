#include "talmira/dataset_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "talmira/track_files.h"
#include "talmira/writers/batch_report.h"

namespace talmira {

namespace fs = std::filesystem;

bool splitCsvLine(const std::string& line, std::vector<std::string>& fields) {
  fields.assign(1, "");
  std::size_t i = 0;
  while (i <= line.size()) {
    std::string& field = fields.back();
    if (i < line.size() && line[i] == '"') {
      ++i;
      for (;;) {
        if (i >= line.size()) return false;
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += line[i++];
      }
      if (i < line.size() && line[i] != ',') return false;
    } else {
      while (i < line.size() && line[i] != ',') field += line[i++];
    }
    if (i >= line.size()) break;
    ++i;  // the comma
    fields.emplace_back();
    if (i == line.size()) break;  // a trailing comma: an empty last field
  }
  return true;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw CommandError{kExitInputOrOutput, path + ": cannot open: " + std::strerror(errno)};
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw CommandError{kExitInputOrOutput, path + ": cannot read"};
  return std::move(bytes).str();
}

std::string joinedPath(const std::string& folder, const std::string& path) {
  const fs::path p(path);
  if (p.is_absolute() || folder.empty()) return p.lexically_normal().string();
  return (fs::path(folder) / p).lexically_normal().string();
}

std::vector<ListedSequence> readSequenceList(const std::string& listPath,
                                             const std::vector<std::string>& columns,
                                             std::string& bytes,
                                             const std::vector<std::string>& optionalColumns) {
  bytes = readWholeFile(listPath);
  return parseSequenceList(bytes, listPath, columns, optionalColumns);
}

std::vector<ListedSequence> parseSequenceList(std::string_view bytes, const std::string& listPath,
                                              const std::vector<std::string>& columns,
                                              const std::vector<std::string>& optionalColumns) {
  std::string header;
  for (const std::string& column : columns) header += (header.empty() ? "" : ",") + column;
  std::string fullHeader = header;
  for (const std::string& column : optionalColumns) fullHeader += "," + column;
  // The header the first line must be: one of the two when there are optional columns.
  const std::string headers =
      optionalColumns.empty() ? header : header + " (or " + fullHeader + ")";
  // The columns of this list's header, and their names.
  std::size_t required = columns.size();
  std::size_t width = required;
  const std::string* named = &header;
  const std::string folder = fs::path(listPath).parent_path().string();
  std::vector<ListedSequence> sequences;
  std::map<std::string, std::size_t> lineOfName;
  std::istringstream lines{std::string(bytes)};
  std::string line;
  std::size_t lineNumber = 0;
  bool headerSeen = false;
  std::vector<std::string> fields;
  const auto malformed = [&](const std::string& why) {
    throw ListError{{kExitInputOrOutput, listPath + ":" + std::to_string(lineNumber) + ": " + why},
                    lineNumber,
                    why};
  };
  while (std::getline(lines, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!headerSeen) {
      if (!optionalColumns.empty() && line == fullHeader) {
        width = required + optionalColumns.size();
        named = &fullHeader;
      } else if (line != header) {
        malformed("the first line must be the header " + headers);
      }
      headerSeen = true;
      continue;
    }
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (!splitCsvLine(line, fields)) malformed("a quoted field is not closed properly");
    if (fields.size() != width) {
      malformed("expected " + std::to_string(width) + " fields (" + *named + "), found " +
                std::to_string(fields.size()));
    }
    for (std::size_t f = 0; f < required; ++f) {
      if (fields[f].empty()) malformed("an empty field");
    }
    if (fields[0] == "(all)") malformed("\"(all)\" names the pooled totals, not a sequence");
    const auto [at, inserted] = lineOfName.emplace(fields[0], lineNumber);
    if (!inserted) {
      malformed("the sequence name \"" + fields[0] + "\" is already used on line " +
                std::to_string(at->second));
    }
    ListedSequence s;
    s.line = lineNumber;
    s.name = fields[0];
    for (std::size_t f = 1; f < required; ++f) s.paths.push_back(joinedPath(folder, fields[f]));
    s.optional.assign(fields.begin() + static_cast<std::ptrdiff_t>(required), fields.end());
    sequences.push_back(std::move(s));
  }
  if (!headerSeen) {
    lineNumber = 1;
    malformed("the first line must be the header " + headers);
  }
  return sequences;
}

void checkListedFormats(const ListedSequence& listed, const std::string& listPath, bool tracks) {
  for (const std::string& format : listed.optional) {
    if (format.empty() || (tracks ? isTrackFormat(format) : formatNamed(format).has_value())) {
      continue;
    }
    const std::string what =
        "\"" + format + "\" is no " + (tracks ? "track format: " : "format: ") +
        (tracks ? trackFormatNames() : formatNames()) + ", or empty for the command's";
    throw ListError{
        {kExitInputOrOutput, listPath + ":" + std::to_string(listed.line) + ": " + what},
        listed.line,
        what};
  }
}

InputFormats DatasetReading::of(const std::string& groundTruthPath,
                                const std::string& groundTruthFormat,
                                const std::string& systemFormat) const {
  FormatOptionsGiven mine = given;
  if (!groundTruthFormat.empty()) mine.groundTruthFormat = groundTruthFormat;
  if (!systemFormat.empty()) mine.systemFormat = systemFormat;
  return inputFormatsWith(mine, classes, groundTruthPath);
}

DatasetReading datasetReading(const FormatOptionsGiven& given, bool formatsPerSequence) {
  if (!formatsPerSequence) {
    inputFormatsOf(given, "");
  } else if (!given.imageSize.empty() && !parseImageSize(given.imageSize)) {
    throw CommandError{kExitUsage,
                       "--image-size " + given.imageSize + ": expected WxH, e.g. 1920x1080"};
  }
  return DatasetReading{given, loadClassMap(given)};
}

std::string readingWords(const DatasetReading& reading) {
  const FormatOptionsGiven& given = reading.given;
  std::string words;
  const auto add = [&](const std::string& option, const std::string& value, const char* plain) {
    if (value != plain) words += (words.empty() ? "" : " ") + option + " " + value;
  };
  add("--gt-format", given.groundTruthFormat, "talmira");
  add("--sys-format", given.systemFormat, "talmira");
  if (reading.classes != nullptr) {
    words += (words.empty() ? "" : " ") + std::string("--classes ") + given.classes + " (digest " +
             digestOf(classMapText(*reading.classes)) + ")";
  }
  add("--unknown", given.unknown, "error");
  add("--image-size", given.imageSize, "");
  add("--names", given.names, "");
  add("--ignore", given.ignore, "");
  add("--images-from", given.imagesFrom, "");
  return words;
}

namespace {

std::string clockText(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

}  // namespace

Progress::Progress(bool shown, std::size_t total)
    : shown_(shown), total_(total), start_(std::chrono::steady_clock::now()) {
  if (shown_) draw(0);
}

void Progress::finished(std::size_t done) {
  if (!shown_) return;
  std::lock_guard lock(mutex_);
  // At most ten redraws a second, however short the sequences.
  const auto now = std::chrono::steady_clock::now();
  if (done < total_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
  lastDrawn_ = now;
  draw(done);
}

Progress::~Progress() {
  if (shown_) std::fputs("\r\033[K", stderr);
}

void Progress::draw(std::size_t done) {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::string line = "\r\033[Kscored " + std::to_string(done) + " of " + std::to_string(total_) +
                     " sequences, " + clockText(elapsed) + " elapsed";
  if (done > 0 && done < total_) {
    line += ", about " +
            clockText(elapsed / static_cast<double>(done) * static_cast<double>(total_ - done)) +
            " left";
  }
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace talmira
