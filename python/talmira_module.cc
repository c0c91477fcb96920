// The native half of the talmira Python package: reading annotation files
// and in-memory tables, and scoring, on the core library. The Python half
// (talmira/*.py) turns results into pandas objects and read failures
// into FormatError.
//
// An in-memory table is read straight from its columns by the reader's own
// rules (fileTable()), so a table is held to exactly the rules of a file
// (types, the size test, DCR and DCF, flags, 32-bit numbers), and a bad value
// is reported with the line it would have had in a file.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "annotation/coco_images.h"
#include "annotation/formats.h"
#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/error_causes.h"
#include "scoring/analysis/file_check.h"
#include "scoring/analysis/frame_views.h"
#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/analysis/sequence_explanation.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/counts/streaming_evaluation.h"
#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/image_set.h"
#include "scoring/precision/sequence_images.h"
#include "talmira/benchmark_counts.h"
#include "talmira/cli_common.h"
#include "talmira/dataset.h"
#include "talmira/frame_pictures.h"
#include "talmira/pages/view_page.h"
#include "talmira/stability_files.h"
#include "talmira/track_events.h"
#include "talmira/track_files.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/batch_report.h"
#include "talmira/writers/check_report.h"
#include "talmira/writers/compare_report.h"
#include "talmira/writers/event_rows.h"
#include "talmira/writers/explain_report.h"
#include "talmira/writers/stability_report.h"
#include "talmira/writers/sweep_report.h"
#include "talmira/writers/track_report.h"

namespace py = pybind11;

namespace {

// A sequence read once and scored any number of times; shared so that a
// Python object can hand it to a scoring call that runs without the GIL.
struct Sequence {
  std::shared_ptr<const QuorSequence> records;
  // Where each frame, box and region came from, and what the reader passed
  // over; kept only when asked for (check and events need it).
  std::shared_ptr<const ReadDetails> details;
  std::size_t frames() const { return records->frames.size(); }
  std::size_t boxes() const { return records->targetStore.size(); }
};

// Raised to the Python layer as ReadFailure(message, line, column, input):
// the reader's message without the name in front, the line (0 for none), the
// column number (0 for none) and which input of a pair (0 or 1) it was.
// Created once with the module and never freed: it lives as long as the
// interpreter may raise it.
PyObject* readFailureType = nullptr;

// What the reader said, taken apart: it was given an empty name, so its
// message is ":LINE: WHAT" or ": WHAT".
struct ReaderMessage {
  uint64_t line = 0;
  std::size_t column = 0;
  std::string what;
  int input = 0;
};

ReaderMessage splitReaderMessage(std::string_view message) {
  ReaderMessage parts;
  if (!message.empty() && message.front() == ':') message.remove_prefix(1);
  const char* const end = message.data() + message.size();
  const auto [afterLine, status] = std::from_chars(message.data(), end, parts.line);
  if (status == std::errc{})
    message.remove_prefix(static_cast<std::size_t>(afterLine - message.data()));
  if (message.starts_with(": ")) message.remove_prefix(2);
  parts.what = std::string(message);
  constexpr std::string_view kColumn = "column ";
  if (message.starts_with(kColumn)) {
    const char* const first = message.data() + kColumn.size();
    std::from_chars(first, end, parts.column);
  }
  return parts;
}

[[noreturn]] void raiseReadFailure(const ReaderMessage& parts) {
  PyErr_SetObject(readFailureType,
                  py::make_tuple(parts.what, parts.line, parts.column, parts.input).ptr());
  throw py::error_already_set();
}

// The scoring rules as the Python layer hands them over: None for the
// defaults, or (overlap, min_overlap, region_cover, min_side) as
// resolve_rules() gives them.
ScoringRules rulesFrom(const py::object& given) {
  ScoringRules rules;
  if (given.is_none()) return rules;
  const auto values = given.cast<std::tuple<std::string, float, float, double>>();
  const std::optional<OverlapMeasure> measure = overlapMeasureNamed(std::get<0>(values));
  if (!measure)
    throw py::value_error("overlap " + std::get<0>(values) + " is neither enclosing nor iou");
  rules.overlap = *measure;
  rules.minOverlap = std::get<1>(values);
  rules.regionCover = std::get<2>(values);
  rules.minSide = std::get<3>(values);
  if (const std::string problem = rulesProblem(rules); !problem.empty()) {
    throw py::value_error(problem);
  }
  return rules;
}

// The rules a call's keyword arguments give, as `talmira` gives them from
// its options: a named set (or the defaults), each value given replacing
// its own. None for the defaults; ValueError for a bad value.
py::object resolveRules(const py::object& name, const py::object& overlap,
                        const py::object& minOverlap, const py::object& regionCover,
                        const py::object& minSide) {
  ScoringRules rules;
  if (!name.is_none()) {
    const std::optional<ScoringRules> named = namedRules(name.cast<std::string>());
    if (!named) {
      throw py::value_error("rules " + name.cast<std::string>() + " is none of " + ruleSetNames());
    }
    rules = *named;
  }
  if (!overlap.is_none()) {
    const std::optional<OverlapMeasure> measure = overlapMeasureNamed(overlap.cast<std::string>());
    if (!measure) {
      throw py::value_error("overlap " + overlap.cast<std::string>() +
                            " is neither enclosing nor iou");
    }
    rules.overlap = *measure;
  }
  if (!minOverlap.is_none()) rules.minOverlap = minOverlap.cast<float>();
  if (!regionCover.is_none()) rules.regionCover = regionCover.cast<float>();
  if (!minSide.is_none()) rules.minSide = minSide.cast<double>();
  if (const std::string problem = rulesProblem(rules); !problem.empty()) {
    throw py::value_error(problem);
  }
  if (rules.isDefault()) return py::none();
  return py::make_tuple(std::string(overlapMeasureName(rules.overlap)), rules.minOverlap,
                        rules.regionCover, rules.minSide);
}

std::shared_ptr<ReadDetails> detailsIf(bool withDetails) {
  return withDetails ? std::make_shared<ReadDetails>() : nullptr;
}

// Reads `stream` (closed in every case) without the GIL.
Sequence readStream(std::FILE* stream, bool withDetails, const ScoringRules& rules = {}) {
  auto records = std::make_shared<QuorSequence>();
  auto details = detailsIf(withDetails);
  std::string error;
  int status = 0;
  {
    py::gil_scoped_release unlocked;
    status = readSequenceFile(stream, *records, "", &error, details.get(), rules);
  }
  if (status < 0) raiseReadFailure(splitReaderMessage(error));
  return Sequence{std::move(records), std::move(details)};
}

// Opens `path` for reading, or raises the OSError the system gives.
std::FILE* openFile(const std::string& path) {
  std::FILE* stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  // A folder opens but cannot be read; say so as the system would.
  struct stat status {};
  if (fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
    std::fclose(stream);
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  return stream;
}

Sequence readFile(const std::string& path, bool withDetails, const py::object& rules) {
  return readStream(openFile(path), withDetails, rulesFrom(rules));
}

// Reads two files at once, as the command does; a failure in the first is
// reported before one in the second.
std::pair<Sequence, Sequence> readFilePair(const std::string& firstPath,
                                           const std::string& secondPath, bool withDetails,
                                           const py::object& rulesGiven = py::none()) {
  const ScoringRules rules = rulesFrom(rulesGiven);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> first(openFile(firstPath), std::fclose);
  std::FILE* const secondStream = openFile(secondPath);
  auto records = std::array{std::make_shared<QuorSequence>(), std::make_shared<QuorSequence>()};
  auto details = std::array{detailsIf(withDetails), detailsIf(withDetails)};
  std::array<std::string, 2> errors;
  std::array<int, 2> statuses{};
  {
    py::gil_scoped_release unlocked;
    std::jthread secondReader([&] {
      statuses[1] =
          readSequenceFile(secondStream, *records[1], "", &errors[1], details[1].get(), rules);
    });
    statuses[0] =
        readSequenceFile(first.release(), *records[0], "", &errors[0], details[0].get(), rules);
  }
  for (int input = 0; input < 2; ++input) {
    if (statuses[input] < 0) {
      ReaderMessage parts = splitReaderMessage(errors[input]);
      parts.input = input;
      raiseReadFailure(parts);
    }
  }
  return {Sequence{std::move(records[0]), std::move(details[0])},
          Sequence{std::move(records[1]), std::move(details[1])}};
}

// --- other formats: read by the library's readers, as the command reads them ---

// How to read an input of another format, as the Python layer describes it:
// a dict with "format", "role" ("groundtruth" or "system") and the options
// (classes: a MAP.csv path or None, unknown: "error" or "drop", image_size:
// (width, height) or None, names, ignore, images_from: paths or None).
AnnotationReadOptions readOptionsOf(const py::dict& reading) {
  AnnotationReadOptions options;
  options.ownClasses = true;  // other datasets' classes, as the commands report them
  const auto text = [&](const char* key) {
    return reading.contains(key) && !reading[key].is_none() ? reading[key].cast<std::string>()
                                                            : std::string();
  };
  const std::optional<AnnotationFormat> format = formatNamed(text("format"));
  if (!format) throw py::value_error("format " + text("format") + " is none of " + formatNames());
  options.format = *format;
  options.role = text("role") == "system" ? AnnotationRole::kSystem : AnnotationRole::kGroundTruth;
  if (const std::string classes = text("classes"); !classes.empty()) {
    std::string error;
    options.classes = readClassMap(classes, &error);
    if (!options.classes) {
      // The map's own file and line, as a FormatError of that file.
      PyErr_SetObject(readFailureType, py::make_tuple(error, 0, 0, 0, error, classes).ptr());
      throw py::error_already_set();
    }
  }
  options.dropUnknownLabels = text("unknown") == "drop";
  if (reading.contains("image_size") && !reading["image_size"].is_none()) {
    const auto size = reading["image_size"].cast<std::pair<uint32_t, uint32_t>>();
    options.imageSize = ImageSize{size.first, size.second};
  }
  options.namesPath = text("names");
  options.ignorePath = text("ignore");
  options.imagesFrom = text("images_from");
  if (reading.contains("rules")) options.rules = rulesFrom(reading["rules"]);
  return options;
}

// Raises what a reader of another format said: OSError for a file that
// could not be opened, ReadFailure(what, line, 0, input, message, file)
// otherwise, the message being the command's.
[[noreturn]] void raiseAnnotationFailure(const AnnotationReadFailure& failure, int input) {
  if (failure.openError != 0) {
    errno = failure.openError;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, failure.openPath.c_str());
    throw py::error_already_set();
  }
  PyErr_SetObject(readFailureType,
                  py::make_tuple(failure.what.empty() ? failure.message : failure.what,
                                 failure.line, 0, input, failure.message, failure.file)
                      .ptr());
  throw py::error_already_set();
}

// What a reader noted of a read that went on (a MOT15 file read as mot), as
// Python warnings: UserWarning, `file:line: what`.
void warnOf(const AnnotationReadFailure& failure) {
  for (const std::string& warning : failure.warnings) {
    if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) != 0) throw py::error_already_set();
  }
}

Sequence readAnnotationInput(const std::string& path, const py::dict& reading, bool withDetails) {
  const AnnotationReadOptions options = readOptionsOf(reading);
  auto records = std::make_shared<QuorSequence>();
  auto details = detailsIf(withDetails);
  AnnotationReadFailure failure;
  bool read = false;
  {
    py::gil_scoped_release unlocked;
    read = readAnnotation(path, options, *records, failure, details.get());
  }
  if (!read) raiseAnnotationFailure(failure, 0);
  warnOf(failure);
  return Sequence{std::move(records), std::move(details)};
}

// The records of an input of any format as the columns of a table: frame,
// the eight corners (an n x 8 array), the type as codes into the type names,
// flag_a, flag_b, confidence and line.
py::tuple readRecordColumns(const std::string& path, const py::dict& reading) {
  AnnotationReadOptions options = readOptionsOf(reading);
  // Records in this format's columns, as `talmira convert` writes them: its
  // types, which a table of records is read by.
  options.ownClasses = false;
  if (options.classes && !options.classes->onlyTypesOfThisFormat()) {
    throw py::value_error(
        "classes: the map names classes other than this format's ten, which a table of "
        "records cannot hold; score() and the others take it");
  }
  std::vector<AnnotationRecord> records;
  std::set<std::string, std::less<>> names;
  AnnotationReadFailure failure;
  bool read = false;
  {
    py::gil_scoped_release unlocked;
    read = readAnyRecords(path, options, records, names, failure);
  }
  if (!read) raiseAnnotationFailure(failure, 0);
  warnOf(failure);
  const auto n = static_cast<py::ssize_t>(records.size());
  py::array_t<int64_t> frames(n);
  py::array_t<int32_t> corners({n, py::ssize_t{8}});
  py::array_t<int64_t> types(n);
  py::array_t<bool> flagA(n), flagB(n);
  py::array_t<float> confidence(n);
  py::array_t<uint64_t> lines(n);
  std::vector<std::string> typeNames;
  {
    auto f = frames.mutable_unchecked<1>();
    auto c = corners.mutable_unchecked<2>();
    auto t = types.mutable_unchecked<1>();
    auto a = flagA.mutable_unchecked<1>();
    auto b = flagB.mutable_unchecked<1>();
    auto p = confidence.mutable_unchecked<1>();
    auto l = lines.mutable_unchecked<1>();
    for (py::ssize_t k = 0; k < n; ++k) {
      const AnnotationRecord& r = records[static_cast<std::size_t>(k)];
      f(k) = r.frameNumber;
      for (py::ssize_t j = 0; j < 8; ++j) c(k, j) = r.corners[static_cast<std::size_t>(j)];
      const auto found = std::find(typeNames.begin(), typeNames.end(), r.type);
      t(k) = found - typeNames.begin();
      if (found == typeNames.end()) typeNames.emplace_back(r.type);
      a(k) = r.markA;
      b(k) = r.markB;
      p(k) = r.confidence;
      l(k) = r.line;
    }
  }
  return py::make_tuple(frames, corners, types, typeNames, flagA, flagB, confidence, lines);
}

std::string classMapOf(const std::string& format) {
  const std::optional<AnnotationFormat> named = formatNamed(format);
  if (!named) throw py::value_error("format " + format + " is none of " + formatNames());
  return classMapText(standardClassMap(*named));
}

// How a dataset's files are read, as the Python layer gives the command's
// options: None for files of this format, or a dict with gt_format and
// sys_format (names of formats) and the options of other formats (classes,
// unknown, image_size as "WxH", names, ignore, images_from; None or missing
// when not given). Checked as the command checks them, unless
// `formatsPerSequence` (a LIST names formats of its own); ValueError with the
// command's message otherwise.
talmira::DatasetReading datasetReadingOf(const py::object& formats, bool formatsPerSequence) {
  talmira::FormatOptionsGiven given;
  if (!formats.is_none()) {
    const py::dict reading = formats.cast<py::dict>();
    const auto text = [&](const char* key, std::string& into) {
      if (reading.contains(key) && !reading[key].is_none()) into = reading[key].cast<std::string>();
    };
    text("gt_format", given.groundTruthFormat);
    text("sys_format", given.systemFormat);
    text("classes", given.classes);
    text("unknown", given.unknown);
    text("image_size", given.imageSize);
    text("names", given.names);
    text("ignore", given.ignore);
    text("images_from", given.imagesFrom);
    if (reading.contains("rules") && !reading["rules"].is_none()) {
      given.rules.named = rulesFrom(reading["rules"]);
      // rules="mot" is the set the command's --rules mot names, which on MOT
      // files counts as the benchmark does; a value given beside it stands
      // as given one by one.
      if (reading.contains("rule_set") && !reading["rule_set"].is_none()) {
        given.rules.name = reading["rule_set"].cast<std::string>();
        if (reading.contains("rule_values") && reading["rule_values"].cast<bool>()) {
          given.rules.minOverlap = given.rules.named->minOverlap;
        }
      }
    }
    for (const std::string* name : {&given.groundTruthFormat, &given.systemFormat}) {
      if (!formatNamed(*name)) {
        throw py::value_error("format " + *name + " is none of " + formatNames());
      }
    }
    if (given.unknown != "error" && given.unknown != "drop") {
      throw py::value_error("unknown " + given.unknown + " is neither error nor drop");
    }
  }
  try {
    return talmira::datasetReading(given, formatsPerSequence);
  } catch (const talmira::CommandError& e) {
    throw py::value_error(e.message);
  }
}

// --- end of other formats ---

// The table's columns in file order; the file's last two columns are not read.
constexpr std::size_t kTableColumns = 13;

// A table as the Python layer hands it over, its arrays kept alive while
// it is read.
struct HeldTable {
  std::vector<py::array> arrays;
  std::vector<std::vector<std::string>> texts;
  std::vector<TableColumn> columns;
  std::size_t rows = 0;
};

// Whether every code of a text column lies in [-1, count).
template <typename Code>
bool codesWithin(const void* values, std::size_t rows, int64_t count) {
  const auto* codes = static_cast<const Code*>(values);
  bool within = true;
  for (std::size_t row = 0; row < rows; ++row) {
    within &= codes[row] >= -1 && codes[row] < count;
  }
  return within;
}

// columns: 13 tuples (kind, array, texts) in file order, each array of
// `rows` values; kind 0 whole (int64), 1 double, 2 single, 3 text (signed
// codes of 1, 2, 4 or 8 bytes into texts, -1 for an empty cell: a boolean
// array viewed as int8, a categorical's codes as they are).
HeldTable holdTable(const py::list& columnLayouts, std::size_t rows) {
  if (columnLayouts.size() != kTableColumns) throw py::value_error("a table has 13 columns");
  HeldTable table;
  table.rows = rows;
  table.arrays.resize(kTableColumns);
  table.texts.resize(kTableColumns);
  table.columns.resize(kTableColumns);
  for (std::size_t c = 0; c < kTableColumns; ++c) {
    const auto described = columnLayouts[c].cast<py::tuple>();
    TableColumn& column = table.columns[c];
    py::array& array = table.arrays[c];
    const int kind = described[0].cast<int>();
    switch (kind) {
      case 0:
        array = py::array_t<int64_t, py::array::c_style>::ensure(described[1]);
        column.kind = TableColumn::Kind::kWhole;
        break;
      case 3: {
        const auto given = py::reinterpret_borrow<py::object>(described[1]);
        if (py::isinstance<py::array>(given)) {
          const auto codes = given.cast<py::array>();
          const py::ssize_t width = codes.itemsize();
          if (codes.dtype().kind() == 'i' && (width == 1 || width == 2 || width == 4) &&
              (codes.flags() & py::array::c_style) != 0) {
            array = codes;
            column.codeBytes = static_cast<std::size_t>(width);
          }
        }
        if (column.codeBytes == 8) {
          array = py::array_t<int64_t, py::array::c_style>::ensure(given);
        }
        column.kind = TableColumn::Kind::kText;
        break;
      }
      case 1:
        array = py::array_t<double, py::array::c_style>::ensure(described[1]);
        column.kind = TableColumn::Kind::kDouble;
        break;
      case 2:
        array = py::array_t<float, py::array::c_style>::ensure(described[1]);
        column.kind = TableColumn::Kind::kSingle;
        break;
      default:
        throw py::value_error("unknown column kind");
    }
    if (!array || array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != rows) {
      throw py::value_error("column " + std::to_string(c + 1) + " has the wrong shape");
    }
    column.values = array.data();
    if (column.kind == TableColumn::Kind::kText) {
      table.texts[c] = described[2].cast<std::vector<std::string>>();
      column.texts = table.texts[c];
      const auto count = static_cast<int64_t>(table.texts[c].size());
      bool within = false;
      {
        py::gil_scoped_release unlocked;
        switch (column.codeBytes) {
          case 1:
            within = codesWithin<int8_t>(column.values, rows, count);
            break;
          case 2:
            within = codesWithin<int16_t>(column.values, rows, count);
            break;
          case 4:
            within = codesWithin<int32_t>(column.values, rows, count);
            break;
          default:
            within = codesWithin<int64_t>(column.values, rows, count);
        }
      }
      if (!within) throw py::value_error("a code beyond the column's texts");
    }
  }
  return table;
}

// The codes and distinct texts of a column of Python strings, as
// pandas.factorize() gives them (codes in the order of first appearance,
// each distinct text once, as its first object), without hashing the text
// of every row: a column read by pandas holds one object per distinct text,
// so rows are told apart by object first and by text only for a new object.
// None when a row is not a str or has no UTF-8 form (a lone surrogate): the
// caller then codes the column its general way.
py::object codeTexts(const py::array& column) {
  if (column.ndim() != 1 || column.dtype().kind() != 'O') return py::none();
  const auto rows = static_cast<std::size_t>(column.shape(0));
  const py::ssize_t stride = column.strides(0);
  const auto* base = static_cast<const char*>(column.data());
  py::array_t<int64_t> codes(static_cast<py::ssize_t>(rows));
  int64_t* const out = codes.mutable_data();
  std::unordered_map<const PyObject*, int64_t> byObject;
  // The views point into the UTF-8 form each str object keeps; the column
  // holds the objects for as long as this runs.
  std::unordered_map<std::string_view, int64_t> byText;
  py::list texts;
  // The codes of objects seen lately, by a few bits of their address: a
  // column of a handful of texts finds each row's code here, not in the map.
  struct Seen {
    const PyObject* object = nullptr;
    int64_t code = -1;
  };
  constexpr std::size_t kSeenSlots = 64;
  std::array<Seen, kSeenSlots> seen{};
  for (std::size_t row = 0; row < rows; ++row) {
    const PyObject* item;
    std::memcpy(&item, base + static_cast<py::ssize_t>(row) * stride, sizeof item);
    Seen& slot = seen[(reinterpret_cast<std::uintptr_t>(item) >> 4) % kSeenSlots];
    if (slot.object != item || item == nullptr) {
      auto known = byObject.find(item);
      if (known == byObject.end()) {
        if (item == nullptr || !PyUnicode_Check(item)) return py::none();
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(const_cast<PyObject*>(item), &size);
        if (text == nullptr) {
          PyErr_Clear();
          return py::none();
        }
        const auto [at, added] =
            byText.try_emplace(std::string_view(text, static_cast<std::size_t>(size)),
                               static_cast<int64_t>(texts.size()));
        if (added) texts.append(py::reinterpret_borrow<py::object>(const_cast<PyObject*>(item)));
        known = byObject.emplace(item, at->second).first;
      }
      slot = Seen{item, known->second};
    }
    out[row] = slot.code;
  }
  return py::make_tuple(std::move(codes), std::move(texts));
}

// Reads the table straight from its arrays by the reader's own rules, as
// the file of the same values would be read.
Sequence readTable(const py::list& columnLayouts, std::size_t rows, bool withDetails,
                   const py::object& rulesGiven) {
  const ScoringRules rules = rulesFrom(rulesGiven);
  const HeldTable table = holdTable(columnLayouts, rows);
  auto records = std::make_shared<QuorSequence>();
  auto details = detailsIf(withDetails);
  std::string error;
  int status = 0;
  {
    py::gil_scoped_release unlocked;
    status = fileTable(table.columns, rows, *records, "", &error, details.get(), rules);
  }
  if (status < 0) raiseReadFailure(splitReaderMessage(error));
  return Sequence{std::move(records), std::move(details)};
}

// Both tables of a pair, read at once. A failure is the ground truth's when
// both fail, as when they are read one after the other; its `input` says
// which (0 or 1).
std::pair<Sequence, Sequence> readHeldPair(const std::array<HeldTable, 2>& tables, bool withDetails,
                                           const ScoringRules& rules) {
  std::array<std::shared_ptr<QuorSequence>, 2> records = {std::make_shared<QuorSequence>(),
                                                          std::make_shared<QuorSequence>()};
  std::array<std::shared_ptr<ReadDetails>, 2> details = {detailsIf(withDetails),
                                                         detailsIf(withDetails)};
  std::array<std::string, 2> errors;
  std::array<int, 2> statuses = {0, 0};
  {
    py::gil_scoped_release unlocked;
    const auto read = [&](std::size_t k) {
      statuses[k] = fileTable(tables[k].columns, tables[k].rows, *records[k], "", &errors[k],
                              details[k].get(), rules);
    };
    std::thread second(read, 1);
    read(0);
    second.join();
  }
  for (int input = 0; input < 2; ++input) {
    if (statuses[input] < 0) {
      ReaderMessage parts = splitReaderMessage(errors[input]);
      parts.input = input;
      raiseReadFailure(parts);
    }
  }
  return {Sequence{std::move(records[0]), std::move(details[0])},
          Sequence{std::move(records[1]), std::move(details[1])}};
}

std::pair<Sequence, Sequence> readTablePair(const py::list& groundTruth,
                                            std::size_t groundTruthRows, const py::list& system,
                                            std::size_t systemRows, bool withDetails,
                                            const py::object& rulesGiven) {
  const ScoringRules rules = rulesFrom(rulesGiven);
  const std::array<HeldTable, 2> tables = {holdTable(groundTruth, groundTruthRows),
                                           holdTable(system, systemRows)};
  return readHeldPair(tables, withDetails, rules);
}

unsigned threadsOrDefault(unsigned threads) {
  return threads == 0 ? defaultThreadCount() : threads;
}

using ClassRow = std::tuple<std::string, int64_t, int64_t, int64_t, int64_t, int64_t, float>;

// threads: those that match frames, 0 for as many as the command uses.
std::vector<ClassRow> score(const Sequence& groundTruth, const Sequence& system, float confidence,
                            unsigned threads) {
  ClassSetPtr set;
  std::vector<ClassCounts> classes;
  {
    py::gil_scoped_release unlocked;
    set = pairClasses(*groundTruth.records, *system.records);
    classes = scoreClasses(*groundTruth.records, *system.records, *set, confidence,
                           threadsOrDefault(threads));
  }
  std::vector<ClassRow> rows;
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    const ClassCounts& c = classes[slot];
    rows.emplace_back(std::string(set->row(slot)), c.gt, c.det, c.fn, c.fp, c.frames, c.nmodta());
  }
  return rows;
}

std::vector<TargetFilter> evaluationFilters(float confidence) {
  std::vector<TargetFilter> filters;
  for (const char* name : evaluationClasses) filters.emplace_back(name, confidence);
  return filters;
}

// The rows of a pair scored while read, as score() gives them.
std::vector<ClassRow> streamedRows(const StreamedTotals& streamed) {
  std::vector<ClassRow> rows;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const ClassTotals& t = streamed.totals[slot];
    rows.emplace_back(evaluationClasses[slot], t.gt, t.det, t.fn, t.fp, streamed.frames,
                      reportedNmodta(t.gt, t.fn, t.fp));
  }
  return rows;
}

// Scores two files as the command does: with more than one thread and frame
// numbers that only grow, frames are scored while they are read and only
// those in flight are held; otherwise both files are read whole.
std::vector<ClassRow> scoreFilePair(const std::string& groundTruthPath,
                                    const std::string& systemPath, float confidence,
                                    unsigned threads) {
  threads = threadsOrDefault(threads);
  if (threads > 1) {
    // Names are left out of the reader's messages; the Python layer puts the path in.
    StreamedInput inputs[] = {{openForStreaming(groundTruthPath), ""},
                              {openForStreaming(systemPath), ""}};
    if (inputs[0].stream != nullptr && inputs[1].stream != nullptr) {
      StreamedTotals streamed;
      {
        py::gil_scoped_release unlocked;
        streamed = evaluateClassesWhileReading(inputs[0], inputs[1], evaluationFilters(confidence),
                                               threads);
      }
      for (int input = 0; input < 2; ++input) {
        if (inputs[input].status < 0) {
          ReaderMessage parts = splitReaderMessage(inputs[input].error);
          parts.input = input;
          raiseReadFailure(parts);
        }
      }
      if (streamed.inOrder) return streamedRows(streamed);
    } else {
      for (const StreamedInput& input : inputs) {
        if (input.stream != nullptr) std::fclose(input.stream);
      }
    }
  }
  const auto [groundTruth, system] = readFilePair(groundTruthPath, systemPath, false);
  return score(groundTruth, system, confidence, threads);
}

// Scores two tables as scoreFilePair() scores two files: with more than one
// thread and frame numbers that only grow, the frames filed so far are
// scored while both tables are filed, a thread each, and only the frames in
// flight are held; otherwise both are filed whole, then scored. The counts
// and refusals are those of readTablePair() and score().
std::vector<ClassRow> scoreTablePair(const py::list& groundTruth, std::size_t groundTruthRows,
                                     const py::list& system, std::size_t systemRows,
                                     float confidence, unsigned threads) {
  threads = threadsOrDefault(threads);
  const std::array<HeldTable, 2> tables = {holdTable(groundTruth, groundTruthRows),
                                           holdTable(system, systemRows)};
  if (threads > 1) {
    std::array<int, 2> statuses = {0, 0};
    std::array<std::string, 2> errors;
    const auto reading = [&](std::size_t k) -> BlockReading {
      return [&, k](FrameBlockSink& sink, std::size_t blockTargets) {
        statuses[k] =
            fileTableBlocks(tables[k].columns, tables[k].rows, sink, "", &errors[k], blockTargets);
      };
    };
    StreamedTotals streamed;
    {
      py::gil_scoped_release unlocked;
      streamed = evaluateClassesWhileReading(reading(0), reading(1), evaluationFilters(confidence),
                                             threads);
    }
    for (int input = 0; input < 2; ++input) {
      if (statuses[input] < 0) {
        ReaderMessage parts = splitReaderMessage(errors[input]);
        parts.input = input;
        raiseReadFailure(parts);
      }
    }
    if (streamed.inOrder) return streamedRows(streamed);
  }
  const auto [truth, output] = readHeldPair(tables, false, ScoringRules{});
  return score(truth, output, confidence, threads);
}

const ReadDetails& detailsOf(const Sequence& sequence) {
  if (!sequence.details) throw py::value_error("the sequence was read without its details");
  return *sequence.details;
}

// The report of `talmira check --format json`, as its JSON text.
std::string check(const Sequence& groundTruth, const std::string& groundTruthName,
                  const Sequence* system, const std::string& systemName) {
  const ReadDetails& truthDetails = detailsOf(groundTruth);
  const ReadDetails* systemDetails = system != nullptr ? &detailsOf(*system) : nullptr;
  py::gil_scoped_release unlocked;
  const CheckReport report = checkFiles(*groundTruth.records, truthDetails,
                                        system != nullptr ? system->records.get() : nullptr,
                                        systemDetails, groundTruthName, systemName);
  return talmira::checkReportJson(groundTruthName, systemName, report)
      .dump(2, ' ', false, talmira::Json::error_handler_t::replace);
}

// The columns of `talmira events`' rows. Lines are the records' lines (the
// header is line 1), 0 where the CSV has an empty field; the event is a
// position in eventNames().
struct EventColumns {
  std::vector<uint64_t> truthFrameLine;
  std::vector<uint32_t> frame;
  std::vector<uint8_t> systemSide;
  std::vector<uint64_t> line;
  std::vector<uint16_t> classCode;  // a position in classNames
  std::vector<std::string> classNames;
  std::vector<float> confidence;
  std::vector<uint8_t> event;
  std::vector<uint64_t> partnerLine;
  std::vector<uint8_t> cause;  // 0: none; otherwise 1 + a position in causeNames()
  std::vector<float> overlap;  // NaN: none
};

// A row's cause as a code of cause(): the miss causes, then the false alarm causes.
uint8_t causeCode(const talmira::EventRow& row) {
  if (row.cause < 0) return 0;
  const auto offset = row.kind == BoxEventKind::kFalseAlarm ? kMissCauseCount : 0;
  return static_cast<uint8_t>(1 + offset + static_cast<std::size_t>(row.cause));
}

// The position of `name` in `names`, added at the end when new.
uint16_t codeOf(std::vector<std::string>& names, std::string_view name) {
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (names[k] == name) return static_cast<uint16_t>(k);
  }
  names.emplace_back(name);
  return static_cast<uint16_t>(names.size() - 1);
}

template <typename T>
py::array_t<T> toArray(const std::vector<T>& values) {
  py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// Raises ValueError unless `className` is one of the pair's classes ("All"
// included), naming some of them.
void requireClass(const std::string& className, const QuorSequence& groundTruth,
                  const QuorSequence& system) {
  const ClassSetPtr classes = pairClasses(groundTruth, system);
  if (classes->rowOf(className)) return;
  std::string names;
  const std::size_t shown = std::min<std::size_t>(classes->rows(), 12);
  for (std::size_t row = 0; row < shown; ++row) {
    names += (row == 0 ? "" : ", ") + std::string(classes->row(row));
  }
  if (shown < classes->rows()) names += " and " + std::to_string(classes->rows() - shown) + " more";
  throw py::value_error("class " + className + " is none of the pair's: " + names);
}

py::tuple events(const Sequence& groundTruth, const Sequence& system, float confidence,
                 const std::string& className, float near) {
  const ReadDetails& truthLines = detailsOf(groundTruth);
  const ReadDetails& systemLines = detailsOf(system);
  requireClass(className, *groundTruth.records, *system.records);
  EventColumns columns;
  {
    py::gil_scoped_release unlocked;
    const TargetFilter filter(className.c_str(), confidence);
    talmira::forEachEventRow(
        *groundTruth.records, truthLines, *system.records, systemLines, filter,
        [&](const talmira::EventRow& row) {
          columns.truthFrameLine.push_back(row.truthFrameLine.value_or(0));
          columns.frame.push_back(row.frame);
          columns.systemSide.push_back(row.systemSide ? 1 : 0);
          columns.line.push_back(row.line);
          columns.classCode.push_back(codeOf(columns.classNames, row.box->name()));
          // A box its file gave no score (a MOT-family -1): NaN, pandas' missing value.
          const QuorSequence& side = row.systemSide ? *system.records : *groundTruth.records;
          columns.confidence.push_back(side.hasNoScore(*row.box)
                                           ? std::numeric_limits<float>::quiet_NaN()
                                           : row.box->confidence);
          columns.event.push_back(static_cast<uint8_t>(row.kind));
          columns.partnerLine.push_back(row.partnerLine.value_or(0));
          columns.cause.push_back(causeCode(row));
          columns.overlap.push_back(row.overlap);
        },
        near);
  }
  return py::make_tuple(toArray(columns.truthFrameLine), toArray(columns.frame),
                        toArray(columns.systemSide), toArray(columns.line),
                        toArray(columns.classCode), columns.classNames, toArray(columns.confidence),
                        toArray(columns.event), toArray(columns.partnerLine),
                        toArray(columns.cause), toArray(columns.overlap));
}

// One frame of the pair drawn as a standalone SVG, as `talmira view` draws
// it; the corners of turned boxes read again from the files when their
// paths are given; `image`, when given, the picture's bytes (PNG, JPEG or
// GIF) embedded under the boxes.
std::string drawFrame(const Sequence& groundTruth, const Sequence& system, uint32_t frame,
                      float confidence, const std::string& className, float near,
                      const std::string& truthPath, const std::string& systemPath,
                      const std::optional<py::bytes>& image) {
  const ReadDetails& truthLines = detailsOf(groundTruth);
  const ReadDetails& systemLines = detailsOf(system);
  requireClass(className, *groundTruth.records, *system.records);
  const QuorSequence& truth = *groundTruth.records;
  std::size_t at = 0;
  while (at < truth.frames.size() && truth.frames[at].frameNumber != frame) ++at;
  if (at == truth.frames.size()) {
    throw py::value_error("the ground truth has no frame " + std::to_string(frame));
  }
  std::optional<talmira::FramePicture> picture;
  if (image) {
    const std::string bytes = *image;
    const auto size = talmira::pictureSize(bytes);
    if (!size) throw py::value_error("image: not a PNG, JPEG or GIF picture");
    picture = talmira::FramePicture{talmira::dataUri(bytes.starts_with("\x89PNG") ? "image/png"
                                                     : bytes.starts_with("GIF8")  ? "image/gif"
                                                                                  : "image/jpeg",
                                                     bytes),
                                    size->first, size->second};
  }
  py::gil_scoped_release unlocked;
  const TargetFilter filter(className.c_str(), confidence);
  const std::vector<int32_t> partners = pairFrames(truth, *system.records);
  const std::vector<FrameView> views =
      viewFrames(truth, *system.records, partners, {at}, filter, near);
  talmira::RecordCorners truthCorners;
  talmira::RecordCorners systemCorners;
  if (!truthPath.empty()) {
    truthCorners.want(truthLines.targetLines(at));
    truthCorners.want(truthLines.regionLines(at));
    truthCorners.read(truthPath);
  }
  if (!systemPath.empty() && partners[at] >= 0) {
    systemCorners.want(systemLines.targetLines(static_cast<std::size_t>(partners[at])));
    systemCorners.read(systemPath);
  }
  const talmira::ViewSource source{truth, *system.records, truthLines, systemLines,
                                   [&](bool systemSide, uint64_t line) {
                                     return (systemSide ? systemCorners : truthCorners).find(line);
                                   }};
  return talmira::renderFrameSvg(source, views.front(), picture ? &*picture : nullptr, true, false);
}

// The event names by BoxEventKind's value.
// The causes by their codes in events(), 0 being none.
std::vector<std::string> causeNames() {
  std::vector<std::string> names{""};
  names.insert(names.end(), missCauseNames.begin(), missCauseNames.end());
  names.insert(names.end(), falseAlarmCauseNames.begin(), falseAlarmCauseNames.end());
  return names;
}

std::vector<std::string> eventNames() {
  std::vector<std::string> names;
  for (auto kind = static_cast<uint8_t>(BoxEventKind::kMatch);
       kind <= static_cast<uint8_t>(BoxEventKind::kUnpairedFrame); ++kind) {
    names.emplace_back(talmira::eventName(static_cast<BoxEventKind>(kind)));
  }
  return names;
}

// --- talmira events --track: the rows of tracks followed through CLEAR's matching ---

// The columns of `talmira events --track`'s rows. Lines and frames are 0
// where the CSV is empty; the identities come with a mask of where they
// are given; the event is a position in trackEventNames().
struct TrackEventColumns {
  std::vector<uint32_t> frame;
  std::vector<uint8_t> systemSide;
  std::vector<uint64_t> line;
  std::vector<uint16_t> classCode;  // a position in classNames
  std::vector<std::string> classNames;
  std::vector<float> confidence;  // NaN: none given
  std::vector<uint8_t> event;
  std::vector<uint64_t> partnerLine;
  std::vector<double> overlap;  // NaN: none
  std::vector<int64_t> truthId, systemId, previousSystemId;
  std::vector<uint8_t> hasTruthId, hasSystemId, hasPreviousSystemId;
  std::vector<uint32_t> previousFrame;
  std::vector<uint64_t> previousLine;
  std::vector<int64_t> unmatchedFrames;  // -1: none
};

// The rows `talmira events --track` lists for `request` (trackEvents()).
py::tuple trackEventRows(const talmira::TrackRequest& request, const std::string& className) {
  TrackEventColumns columns;
  std::optional<talmira::CommandError> failure;
  {
    py::gil_scoped_release unlocked;
    try {
      const talmira::FollowedTracks followed = talmira::followTrackFiles(request, className);
      for (const talmira::FollowedClass& c : followed.classes) {
        const uint16_t code = codeOf(columns.classNames, c.name);
        for (const talmira::TrackEventRow& row : c.rows) {
          columns.frame.push_back(row.frame);
          columns.systemSide.push_back(row.systemSide ? 1 : 0);
          columns.line.push_back(row.box->line);
          columns.classCode.push_back(code);
          columns.confidence.push_back(row.box->confidence == -1.0f
                                           ? std::numeric_limits<float>::quiet_NaN()
                                           : row.box->confidence);
          columns.event.push_back(static_cast<uint8_t>(row.kind));
          columns.partnerLine.push_back(row.partnerLine.value_or(0));
          columns.overlap.push_back(row.overlap);
          columns.truthId.push_back(row.truthId.value_or(0));
          columns.hasTruthId.push_back(row.truthId ? 1 : 0);
          columns.systemId.push_back(row.systemId.value_or(0));
          columns.hasSystemId.push_back(row.systemId ? 1 : 0);
          columns.previousSystemId.push_back(row.previousSystemId.value_or(0));
          columns.hasPreviousSystemId.push_back(row.previousSystemId ? 1 : 0);
          columns.previousFrame.push_back(row.previousFrame.value_or(0));
          columns.previousLine.push_back(row.previousLine.value_or(0));
          columns.unmatchedFrames.push_back(row.unmatchedFrames.value_or(-1));
        }
      }
    } catch (const talmira::CommandError& e) {
      failure = e;
    }
  }
  if (failure) {
    if (failure->status == talmira::kExitUsage) throw py::value_error(failure->message);
    // A file the reader refused: a FormatError with the command's message.
    PyErr_SetObject(readFailureType,
                    py::make_tuple(failure->message, 0, 0, 0, failure->message, "").ptr());
    throw py::error_already_set();
  }
  return py::make_tuple(toArray(columns.frame), toArray(columns.systemSide), toArray(columns.line),
                        toArray(columns.classCode), columns.classNames, toArray(columns.confidence),
                        toArray(columns.event), toArray(columns.partnerLine),
                        toArray(columns.overlap), toArray(columns.truthId),
                        toArray(columns.hasTruthId), toArray(columns.systemId),
                        toArray(columns.hasSystemId), toArray(columns.previousSystemId),
                        toArray(columns.hasPreviousSystemId), toArray(columns.previousFrame),
                        toArray(columns.previousLine), toArray(columns.unmatchedFrames));
}

py::tuple trackEvents(const std::string& groundTruth, const std::string& system,
                      const std::string& groundTruthFormat, const std::string& systemFormat,
                      const std::string& ids, const std::string& rules,
                      std::optional<float> confidence, uint32_t length,
                      const std::string& className) {
  talmira::TrackRequest request;
  request.groundTruth = groundTruth;
  request.system = system;
  request.groundTruthFormat = groundTruthFormat;
  request.systemFormat = systemFormat;
  request.ids = ids;
  request.rules = rules;
  request.confidence = confidence;
  request.length = length;
  return trackEventRows(request, className);
}

std::vector<std::string> trackEventNames() {
  std::vector<std::string> names;
  for (std::size_t kind = 0; kind < talmira::kTrackEventKinds; ++kind) {
    names.emplace_back(talmira::trackEventName(static_cast<talmira::TrackEventKind>(kind)));
  }
  return names;
}

void addTrackEventFunctions(py::module_& m) {
  m.def("track_events", &trackEvents, py::arg("groundtruth"), py::arg("system"),
        py::arg("gt_format"), py::arg("sys_format"), py::arg("ids"), py::arg("rules"),
        py::arg("confidence").none(true), py::arg("length"), py::arg("class_name"),
        "The columns of talmira events --track's rows: (frame, system_side, line, class_code, "
        "class_names, confidence, event, partner_line, overlap, gt_id, has_gt_id, sys_id, "
        "has_sys_id, previous_sys_id, has_previous_sys_id, previous_frame, previous_line, "
        "unmatched_frames); lines and frames 0, unmatched_frames -1, confidence and overlap NaN "
        "where the CSV is empty.");
  m.def("track_event_names", &trackEventNames, "The event names by their codes in track_events().");
}

// --- end of talmira events --track ---

// The rows and best points of a sweep report, gathered without the GIL:
// ((class slot, threshold, gt, det, fn, fp, nmodta, precision, recall) arrays
// of every row, class by class, thresholds descending, recall NaN without
// objects; (threshold, gt, det, fn, fp, frames, nmodta, average precision) of
// each class's best point, the average precision NaN when it has none).
struct SweepRows {
  std::vector<uint32_t> slots;
  std::vector<std::string> names;  // of the slots
  std::vector<float> thresholds;
  std::vector<int64_t> gt, det, fn, fp;
  std::vector<float> nmodta;
  std::vector<double> precision, recall;  // recall NaN without objects
  std::vector<std::tuple<float, int64_t, int64_t, int64_t, int64_t, int64_t, float, double>> best;

  explicit SweepRows(const talmira::SweepReport& report) {
    for (std::size_t slot = 0; slot < report.exact.size(); ++slot) {
      names.emplace_back(report.classSet->row(slot));
      for (const CurvePoint& p : report.rows()[slot].points) {
        slots.push_back(static_cast<uint32_t>(slot));
        thresholds.push_back(p.threshold);
        gt.push_back(p.gt);
        det.push_back(p.det);
        fn.push_back(p.fn);
        fp.push_back(p.fp);
        nmodta.push_back(p.nmodta());
        precision.push_back(precisionOf(p));
        recall.push_back(recallOf(p).value_or(std::numeric_limits<double>::quiet_NaN()));
      }
      const CurvePoint& b = report.best[slot];
      best.emplace_back(
          b.threshold, b.gt, b.det, b.fn, b.fp, report.exact[slot].frames, b.nmodta(),
          averagePrecision(report.exact[slot]).value_or(std::numeric_limits<double>::quiet_NaN()));
    }
  }

  py::tuple toPython() const {
    return py::make_tuple(
        py::make_tuple(toArray(slots), toArray(thresholds), toArray(gt), toArray(det), toArray(fn),
                       toArray(fp), toArray(nmodta), toArray(precision), toArray(recall)),
        best, names);
  }
};

void checkGridSteps(int gridSteps) {
  if (gridSteps < 0 || gridSteps > kMaxGridSteps) {
    throw py::value_error("grid " + std::to_string(gridSteps) + " is not from 1 to " +
                          std::to_string(kMaxGridSteps));
  }
}

// The rows and best points of `talmira sweep` (SweepRows). gridSteps 0 lists
// the exact rows.
py::tuple sweep(const Sequence& groundTruth, const Sequence& system, int gridSteps,
                unsigned threads) {
  checkGridSteps(gridSteps);
  std::optional<SweepRows> rows;
  {
    py::gil_scoped_release unlocked;
    ClassSetPtr classes = pairClasses(*groundTruth.records, *system.records);
    SweepCurves curves =
        sweepClasses(*groundTruth.records, *system.records, *classes, threadsOrDefault(threads));
    rows.emplace(
        talmira::makeSweepReport("", "", std::move(classes), std::move(curves), gridSteps));
  }
  return rows->toPython();
}

// --- explain: why a detector lost points ---

// Works on two files as the command does: with more than one thread and
// frame numbers that only grow, while they are read (`streamed`, called
// without the GIL, gives nothing when the numbers go back); otherwise both
// files are read whole and handed to `whole`. Read failures are raised as
// ReadFailure, the ground truth's first.
template <typename Result, typename Streamed, typename Whole>
Result workOnFilePair(const std::string& groundTruthPath, const std::string& systemPath,
                      unsigned threads, Streamed streamed, Whole whole) {
  if (threads > 1) {
    // Names are left out of the reader's messages; the Python layer puts the path in.
    StreamedInput inputs[] = {{openForStreaming(groundTruthPath), ""},
                              {openForStreaming(systemPath), ""}};
    if (inputs[0].stream != nullptr && inputs[1].stream != nullptr) {
      std::optional<Result> result;
      {
        py::gil_scoped_release unlocked;
        result = streamed(inputs[0], inputs[1]);
      }
      for (int input = 0; input < 2; ++input) {
        if (inputs[input].status < 0) {
          ReaderMessage parts = splitReaderMessage(inputs[input].error);
          parts.input = input;
          raiseReadFailure(parts);
        }
      }
      if (result) return std::move(*result);
    } else {
      for (const StreamedInput& input : inputs) {
        if (input.stream != nullptr) std::fclose(input.stream);
      }
    }
  }
  const auto [groundTruth, system] = readFilePair(groundTruthPath, systemPath, false);
  return whole(groundTruth, system);
}

// An explanation handed to Python: the JSON text of `talmira explain
// --format json` with its frames left out (the classes, the confusion
// matrix, the confidence and near), then the timeline as six int64 arrays:
// frame, line, gt, det, fn, fp. The timeline of a long video is large, and
// arrays carry it without a Python object per frame.
py::tuple explanationForPython(Explanation explanation, const ExplainOptions& options) {
  std::string json;
  std::array<std::vector<int64_t>, 6> columns;
  {
    py::gil_scoped_release unlocked;
    for (std::vector<int64_t>& column : columns) column.reserve(explanation.timeline.size());
    for (const FrameSummary& f : explanation.timeline) {
      columns[0].push_back(f.frame);
      columns[1].push_back(static_cast<int64_t>(f.line));
      columns[2].push_back(f.gt);
      columns[3].push_back(f.det);
      columns[4].push_back(f.fn);
      columns[5].push_back(f.fp);
    }
    explanation.timeline = {};
    json = talmira::explainJson(
               talmira::ExplainReport{
                   "", "", options.confidence, options.near, std::move(explanation), {}})
               .dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
  }
  return py::make_tuple(json, toArray(columns[0]), toArray(columns[1]), toArray(columns[2]),
                        toArray(columns[3]), toArray(columns[4]), toArray(columns[5]));
}

ExplainOptions explainOptions(float confidence, float near, unsigned threads) {
  ExplainOptions options;
  options.confidence = confidence;
  options.near = near;
  options.threads = threadsOrDefault(threads);
  options.everyFrame = true;
  return options;
}

py::tuple explain(const Sequence& groundTruth, const Sequence& system, float confidence, float near,
                  unsigned threads) {
  const ExplainOptions options = explainOptions(confidence, near, threads);
  Explanation explanation;
  {
    py::gil_scoped_release unlocked;
    explanation = explainSequences(*groundTruth.records, *system.records, options);
  }
  return explanationForPython(std::move(explanation), options);
}

// Explains two files as `talmira explain` does (see workOnFilePair).
py::tuple explainFilePair(const std::string& groundTruthPath, const std::string& systemPath,
                          float confidence, float near, unsigned threads) {
  const ExplainOptions options = explainOptions(confidence, near, threads);
  Explanation explanation = workOnFilePair<Explanation>(
      groundTruthPath, systemPath, options.threads,
      [&](StreamedInput& groundTruth, StreamedInput& system) -> std::optional<Explanation> {
        StreamedExplanation streamed = explainWhileReading(groundTruth, system, options);
        if (!streamed.inOrder) return std::nullopt;
        return std::move(streamed.explanation);
      },
      [&](const Sequence& groundTruth, const Sequence& system) {
        py::gil_scoped_release unlocked;
        return explainSequences(*groundTruth.records, *system.records, options);
      });
  return explanationForPython(std::move(explanation), options);
}

// --- end of explain ---

// --- compare: two detectors with paired-bootstrap intervals ---

talmira::CompareRun compareRun(float confidenceA, float confidenceB, bool best, uint64_t resamples,
                               uint64_t seed, double level, std::size_t block, unsigned threads) {
  if (resamples < 1 || resamples > kMaxResamples) {
    throw py::value_error("resamples " + std::to_string(resamples) + " is not from 1 to " +
                          std::to_string(kMaxResamples));
  }
  if (!(level > 0.0 && level < 1.0)) throw py::value_error("level is not between 0 and 1");
  talmira::CompareRun run;
  run.confidenceA = confidenceA;
  run.confidenceB = confidenceB;
  run.best = best;
  run.bootstrap.resamples = resamples;
  run.bootstrap.seed = seed;
  run.bootstrap.level = level;
  run.block = block;
  run.jobs = threadsOrDefault(threads);
  return run;
}

// The JSON text of `talmira compare --format json` on three read sequences
// (block 0: the cube root of the frame count), read under `rules` (as
// rulesFrom() takes them), which it states as the command does.
std::string compare(const Sequence& groundTruth, const Sequence& a, const Sequence& b,
                    float confidenceA, float confidenceB, bool best, uint64_t resamples,
                    uint64_t seed, double level, std::size_t block, unsigned threads,
                    const py::object& rules) {
  const talmira::CompareRun run =
      compareRun(confidenceA, confidenceB, best, resamples, seed, level, block, threads);
  const ScoringRules stated = rulesFrom(rules);
  py::gil_scoped_release unlocked;
  talmira::Json json = talmira::compareJson(
      talmira::compareSequences(*groundTruth.records, *a.records, *b.records, run));
  talmira::stateRules(json, stated);
  return json.dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
}

// The same of a dataset's LIST, as `talmira compare --dataset` makes it:
// sequences that cannot be read carry their message. A malformed list
// raises ValueError with the command's message.
// `formats`: how the files are read (datasetReadingOf()).
std::string compareDataset(const std::string& list, float confidenceA, float confidenceB, bool best,
                           uint64_t resamples, uint64_t seed, double level, unsigned threads,
                           const py::object& formats) {
  talmira::CompareRun run =
      compareRun(confidenceA, confidenceB, best, resamples, seed, level, 0, threads);
  std::vector<talmira::CompareSequence> sequences;
  std::string failure;
  {
    py::gil_scoped_release unlocked;
    try {
      sequences = talmira::readCompareList(list);
    } catch (const talmira::CommandError& e) {
      failure = e.message;
    }
  }
  if (!failure.empty()) throw py::value_error(failure);
  run.reading =
      datasetReadingOf(formats, std::any_of(sequences.begin(), sequences.end(), [](const auto& s) {
                         return !s.groundTruthFormat.empty() || !s.systemFormat.empty();
                       }));
  const ScoringRules stated = run.reading.given.rules.rules();
  bool benchmark = false;
  try {
    // rules="mot" on MOT files: each sequence counted as the benchmark counts it.
    benchmark = talmira::countsAsBenchmark(run.reading.given, "compare");
    if (benchmark) talmira::refuseInBenchmarkCompare(best, false, true, false, false);
  } catch (const talmira::CommandError& e) {
    throw py::value_error(e.message.substr(std::string_view("talmira compare: ").size()));
  }
  py::gil_scoped_release unlocked;
  if (benchmark) {
    talmira::BenchmarkCompareRun counted;
    counted.confidenceA = confidenceA > 0.0f ? std::optional<float>(confidenceA) : std::nullopt;
    counted.confidenceB = confidenceB > 0.0f ? std::optional<float>(confidenceB) : std::nullopt;
    counted.bootstrap = run.bootstrap;
    counted.jobs = run.jobs;
    counted.dataset = list;
    counted.sequences = std::move(sequences);
    return talmira::benchmarkCompareJson(talmira::compareBenchmark(run.reading.given, counted),
                                         run.reading.given)
        .dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
  }
  talmira::Json json =
      talmira::compareJson(talmira::compareDataset(list, std::move(sequences), run));
  talmira::stateRules(json, stated);
  return json.dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
}

// --- end of compare ---

float parseFraction(const std::string& text, const std::string& what) {
  try {
    return talmira::parseFraction(text, what);
  } catch (const CLI::ValidationError& e) {
    throw py::value_error(e.what());
  }
}

float parseConfidence(const std::string& text) { return parseFraction(text, "confidence"); }

}  // namespace

// ---------------------------------------------------------------------------
// Datasets: talmira.batch(), score_sequence() and pool().
//
// A dataset's result goes from process to process (Dask workers, pickles) as
// the partial result `talmira batch --shard` writes: one sequence is shard
// (position + 1)/(sequence count), since that shard holds exactly that
// position, and a whole run is shard 1/1. Scoring is the command's own
// scoreSequences() and joining is merge's own joinParts(), so a dataset
// scored on any engine and joined here gives the bytes of one batch run, and
// `talmira merge` takes the same parts.

namespace {

using talmira::BatchSequence;
using talmira::BatchSource;

// (list as given, digest of its bytes, number of sequences).
using DatasetSource = std::tuple<std::string, std::string, std::size_t>;
// (position, name, ground-truth path, system path, ground-truth format,
// system format); the formats a LIST line names, empty for the call's.
using DatasetEntry =
    std::tuple<std::size_t, std::string, std::string, std::string, std::string, std::string>;

// The LIST's sequences by the command's rules, from the LIST's bytes; paths
// joined with the folder of `listPath`. A line that breaks the rules raises
// ReadFailure(what, line, 0, 0).
py::tuple readDatasetList(const std::string& bytes, const std::string& listPath) {
  BatchSource source;
  std::vector<BatchSequence> sequences;
  try {
    sequences = talmira::parseList(bytes, listPath, source);
  } catch (const talmira::ListError& e) {
    ReaderMessage parts;
    parts.line = e.line;
    parts.what = e.what;
    raiseReadFailure(parts);
  }
  std::vector<DatasetEntry> entries;
  for (const BatchSequence& s : sequences) {
    entries.emplace_back(s.position, s.name, s.groundTruth, s.system, s.groundTruthFormat,
                         s.systemFormat);
  }
  return py::make_tuple(DatasetSource{source.list, source.listDigest, sequences.size()}, entries);
}

BatchSource sourceOf(const DatasetSource& dataset, float confidence, bool sweep, int gridSteps) {
  checkGridSteps(gridSteps);
  BatchSource source;
  std::tie(source.list, source.listDigest, source.sequenceCount) = dataset;
  source.confidence = confidence;
  source.sweep = sweep;
  source.gridSteps = sweep ? gridSteps : 0;
  return source;
}

BatchSequence sequenceOf(const DatasetEntry& entry, const BatchSource& source) {
  BatchSequence s;
  std::tie(s.position, s.name, s.groundTruth, s.system, s.groundTruthFormat, s.systemFormat) =
      entry;
  for (const std::string* format : {&s.groundTruthFormat, &s.systemFormat}) {
    if (!format->empty() && !formatNamed(*format)) {
      throw py::value_error("format " + *format + " is none of " + formatNames());
    }
  }
  if (s.position >= source.sequenceCount) {
    throw py::value_error("position " + std::to_string(s.position) + " is beyond the " +
                          std::to_string(source.sequenceCount) + " sequences of the dataset");
  }
  return s;
}

// Scores `part`'s sequences on `jobs` threads (0: every core) without the
// GIL, and returns the part as text.
std::string scoredPart(talmira::BatchPart& part, unsigned jobs,
                       const talmira::DatasetReading& reading) {
  py::gil_scoped_release unlocked;
  std::vector<BatchSequence*> sequences;
  for (BatchSequence& s : part.sequences) sequences.push_back(&s);
  talmira::scoreSequences(sequences, part.source, threadsOrDefault(jobs), false, part.pooledCurves,
                          reading);
  return talmira::renderPartial(part);
}

// The sequences of `entries` that shard `shardIndex`/`shardCount` holds
// (positions i with i mod shardCount = shardIndex - 1), scored (or swept) on
// `jobs` threads as `talmira batch --shard` scores them: the text of its part.
// A sequence alone is the shard (its position + 1)/(sequence count), a whole
// run shard 1/1. A file that cannot be read or is malformed is its
// sequence's error, not an exception. `formats`: how the files are read
// (datasetReadingOf(), checked over all of `entries`), which the part records.
std::string scoreShardPart(const DatasetSource& dataset, const std::vector<DatasetEntry>& entries,
                           std::size_t shardIndex, std::size_t shardCount, float confidence,
                           bool sweep, int gridSteps, unsigned jobs, const py::object& formats) {
  talmira::BatchPart part;
  part.source = sourceOf(dataset, confidence, sweep, gridSteps);
  if (shardIndex < 1 || shardIndex > shardCount) {
    throw py::value_error("shard " + std::to_string(shardIndex) + "/" + std::to_string(shardCount) +
                          " is not K/N with 1 <= K <= N");
  }
  part.shardIndex = shardIndex;
  part.shardCount = shardCount;
  bool formatsPerSequence = false;
  for (const DatasetEntry& entry : entries) {
    BatchSequence s = sequenceOf(entry, part.source);
    formatsPerSequence =
        formatsPerSequence || !s.groundTruthFormat.empty() || !s.systemFormat.empty();
    if (s.position % shardCount == shardIndex - 1) part.sequences.push_back(std::move(s));
  }
  const talmira::DatasetReading reading = datasetReadingOf(formats, formatsPerSequence);
  part.source.reading = talmira::readingWords(reading);
  part.source.rules = reading.given.rules.rules();
  try {
    part.source.benchmark = talmira::countsAsBenchmark(reading.given, "batch");
  } catch (const talmira::CommandError& e) {
    throw py::value_error(e.message.substr(std::string_view("talmira batch: ").size()));
  }
  return scoredPart(part, jobs, reading);
}

talmira::BatchResult joinedParts(const std::vector<std::string>& texts,
                                 const std::vector<std::string>& names) {
  try {
    std::vector<talmira::BatchPart> parts;
    parts.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      parts.push_back(talmira::parsePartial(texts[i], names.at(i)));
    }
    return talmira::joinParts(std::move(parts), names);
  } catch (const talmira::CommandError& e) {
    throw py::value_error(e.message);
  }
}

// Joins parts as `talmira merge` does (ValueError with its message when they
// do not make one whole run), into the whole run as part 1/1.
std::string joinDatasetParts(const std::vector<std::string>& texts,
                             const std::vector<std::string>& names) {
  talmira::BatchResult result;
  {
    py::gil_scoped_release unlocked;
    result = joinedParts(texts, names);
  }
  talmira::CurvePool pool;
  if (result.source.sweep) pool.add(*result.classSet, result.pooledCurves);
  talmira::BatchPart whole{std::move(result.source), 1, 1, std::move(result.sequences),
                           std::move(pool)};
  return talmira::renderPartial(whole);
}

// The output of `talmira batch --format FORMAT` (text, csv, json), or its
// --report page (html) or --plot picture (svg), of a whole run's part.
std::string renderDataset(const std::string& text, const std::string& format) {
  const talmira::BatchResult result = joinedParts({text}, {"the dataset's result"});
  if (format == "text") return talmira::renderBatch(result, talmira::Format::kText);
  if (format == "csv") return talmira::renderBatch(result, talmira::Format::kCsv);
  if (format == "json") return talmira::renderBatch(result, talmira::Format::kJson);
  if (format == "html") return talmira::renderBatchReport(result);
  if (format == "svg") {
    if (!result.source.sweep) throw py::value_error("the svg picture draws a sweep's curves");
    return talmira::renderBatchPlot(result);
  }
  throw py::value_error("format " + format + " is none of text, csv, json, html, svg");
}

// The pooled rows of a whole run's part: every class's (class, gt, det, fn,
// fp, frames, nmodta) at the run's confidence, and with a sweep the pooled
// curves' SweepRows as `talmira batch --sweep` lists them (None without).
py::tuple pooledDataset(const std::string& text) {
  std::vector<ClassRow> rows;
  std::optional<SweepRows> sweepRows;
  {
    py::gil_scoped_release unlocked;
    const talmira::BatchResult result = joinedParts({text}, {"the dataset's result"});
    const std::vector<ClassCounts> pooled =
        talmira::pooledCounts(result.sequences, *result.classSet);
    for (std::size_t slot = 0; slot < pooled.size(); ++slot) {
      const ClassCounts& c = pooled[slot];
      rows.emplace_back(std::string(result.classSet->row(slot)), c.gt, c.det, c.fn, c.fp, c.frames,
                        c.nmodta());
    }
    if (result.source.sweep) {
      sweepRows.emplace(talmira::makeSweepReport("", "", result.classSet, result.pooledCurves,
                                                 result.source.gridSteps));
    }
  }
  return py::make_tuple(rows, sweepRows ? py::object(sweepRows->toPython()) : py::none());
}

}  // namespace

void addDatasetFunctions(py::module_& m) {
  m.def("read_dataset_list", &readDatasetList, py::arg("text"), py::arg("list_path"),
        "A LIST's ((list, digest, count), [(position, name, groundtruth, system)]) by the "
        "command's rules; ReadFailure(message, line, 0, 0) for a line that breaks them.");
  m.def("score_shard_part", &scoreShardPart, py::arg("source"), py::arg("sequences"),
        py::arg("shard"), py::arg("shards"), py::arg("confidence"), py::arg("sweep"),
        py::arg("grid_steps"), py::arg("jobs"), py::arg("formats") = py::none(),
        "The sequences of shard K/N scored as talmira batch --shard scores them, as the text of "
        "its part.");
  m.def("join_dataset_parts", &joinDatasetParts, py::arg("parts"), py::arg("names"),
        "Parts joined as talmira merge joins them, as the text of part 1/1.");
  m.def("render_dataset", &renderDataset, py::arg("part"), py::arg("format"),
        "talmira batch's output (text, csv, json, html, svg) of a whole run's part.");
  m.def("pooled_dataset", &pooledDataset, py::arg("part"),
        "The pooled class rows of a whole run's part, and its pooled sweep rows or None.");
}

// --- average precision: COCO's evaluation ---

namespace {

// A pair's images for average precision, read once and evaluated any number
// of times (with other parameters, on a part of the images or categories).
struct CocoImages {
  std::shared_ptr<const precision::ImageSet> set;
};

// One evaluation's matching, kept for its accumulation: what COCOeval's
// evaluate() leaves for accumulate().
struct CocoMatched {
  std::shared_ptr<const precision::CocoMatches> matches;
  precision::CocoParameters parameters;
  std::vector<int64_t> imageIds, categoryIds;
  std::vector<std::string> categoryNames, warnings;
  std::vector<std::size_t> truthCount, detectionCount;
};

// The JSON text of an input held by `text` (str or bytes), which the caller
// keeps alive while the view is read.
std::string_view textOf(const py::object& text) {
  if (PyBytes_Check(text.ptr())) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(text.ptr(), &data, &size) != 0) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};
  }
  if (!PyUnicode_Check(text.ptr())) throw py::type_error("a JSON text is a str or bytes");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

// The whole of a file opened by openFile() (closed here), read without the GIL.
std::string wholeFile(std::FILE* opened, const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(opened, std::fclose);
  std::string bytes;
  bool failed = false;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, stream.get())) > 0)
      bytes.append(buffer, got);
    failed = std::ferror(stream.get()) != 0;
    error = errno;
  }
  if (failed) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  return bytes;
}

// Raises what the COCO reader said ("NAME:LINE: what" or "NAME: what") as
// ReadFailure(what, line, 0, input, message, name), input being the side
// whose name the message starts with.
[[noreturn]] void raiseCocoFailure(const std::string& message,
                                   const std::array<std::string, 2>& names) {
  int input = -1;
  std::size_t prefix = 0;
  for (int side = 0; side < 2; ++side) {
    std::string escaped = locatedMessage(names[side], 0, "");
    escaped.resize(escaped.size() - 2);  // the ": " after the name
    if (message.starts_with(escaped) && (input < 0 || escaped.size() > prefix)) {
      input = side;
      prefix = escaped.size();
    }
  }
  ReaderMessage parts = splitReaderMessage(std::string_view(message).substr(prefix));
  parts.input = std::max(input, 0);
  PyErr_SetObject(
      readFailureType,
      py::make_tuple(parts.what, parts.line, 0, parts.input, message, names[parts.input]).ptr());
  throw py::error_already_set();
}

// The JSON text of a COCO input held by Python (a ground truth's dict or a
// results list) for the COCO reader: what json.dumps would give it, minus
// what the reader passes over (keys other than cocoElementKeys() in the
// lists' elements, and the document's other keys), with each element on a
// line of its own. Numbers are written exactly (ints as whole numbers,
// floats as the shortest text of the same double, in the form of a float);
// anything else json.dumps would write through `plain` (numpy's numbers,
// a tensor) is taken through it too. An element holding what this does not
// write (a nested object in a field, a float that is not finite, an int
// beyond 64 bits) is written by `dumps`, the Python side's json.dumps, so
// the reader sees in every case what it would see in json.dumps' text.
// lists() says where each list's elements are: the line a message about
// one of them names is its position in the list.
class CocoJsonWriter {
 public:
  // A list written: its key in the document ("" for a results list), the
  // line of its first element and how many it holds.
  struct ListLines {
    std::string key;
    uint64_t first = 0;
    std::size_t count = 0;
  };

  CocoJsonWriter(py::handle plain, py::handle dumps) : plain_(plain), dumps_(dumps) {
    for (const std::string_view key : formats::cocoElementKeys()) {
      keys_.emplace_back(py::str(key.data(), key.size()), "\"" + std::string(key) + "\":");
    }
  }

  const std::vector<ListLines>& lists() const { return lists_; }

  std::string document(const py::handle& value, bool results) {
    text_.clear();
    lists_.clear();
    line_ = 1;
    if (results || !PyDict_Check(value.ptr())) {
      if (results && (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))) {
        list(value.ptr(), "");
      } else {
        dumped(value.ptr());
      }
      return std::move(text_);
    }
    text_ += '{';
    bool first = true;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(value.ptr(), &at, &key, &item)) {
      if (!PyUnicode_Check(key)) continue;
      Py_ssize_t size = 0;
      const char* name = PyUnicode_AsUTF8AndSize(key, &size);
      if (name == nullptr) {
        PyErr_Clear();
        continue;
      }
      const std::string_view k(name, static_cast<std::size_t>(size));
      if (k != "images" && k != "annotations" && k != "categories") continue;
      text_ += first ? "\n\"" : ",\n\"";
      ++line_;
      first = false;
      text_ += k;
      text_ += "\":";
      if (PyList_Check(item) || PyTuple_Check(item)) {
        list(item, k);
      } else {
        dumped(item);
      }
    }
    text_ += "\n}";
    return std::move(text_);
  }

 private:
  void list(PyObject* items, std::string_view key) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    PyObject** values = PySequence_Fast_ITEMS(items);
    lists_.push_back({std::string(key), line_ + 1, static_cast<std::size_t>(n)});
    text_ += '[';
    for (Py_ssize_t k = 0; k < n; ++k) {
      text_ += k == 0 ? "\n" : ",\n";
      ++line_;
      const std::size_t mark = text_.size();
      if (!PyDict_Check(values[k]) || !fields(values[k])) {
        text_.resize(mark);
        dumped(values[k]);
      }
    }
    text_ += "\n]";
    ++line_;
  }

  bool fields(PyObject* element) {
    text_ += '{';
    bool first = true;
    for (const auto& [key, written] : keys_) {
      PyObject* item = PyDict_GetItemWithError(element, key.ptr());
      if (item == nullptr) {
        if (PyErr_Occurred()) {
          PyErr_Clear();
          return false;
        }
        continue;
      }
      if (!first) text_ += ',';
      first = false;
      text_ += written;
      if (!value(item, true)) return false;
    }
    text_ += '}';
    return true;
  }

  bool value(PyObject* item, bool throughPlain) {
    if (item == Py_None) {
      text_ += "null";
    } else if (PyBool_Check(item)) {
      text_ += item == Py_True ? "true" : "false";
    } else if (PyLong_Check(item)) {
      int overflow = 0;
      const long long whole = PyLong_AsLongLongAndOverflow(item, &overflow);
      if (overflow != 0 || (whole == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
      }
      char digits[24];
      text_.append(digits, std::to_chars(digits, digits + sizeof digits, whole).ptr);
    } else if (PyFloat_Check(item)) {
      const double number = PyFloat_AS_DOUBLE(item);
      if (!std::isfinite(number)) return false;
      // Scientific, so that it reads as a float, as json.dumps' "3.0" does.
      char digits[32];
      text_.append(
          digits,
          std::to_chars(digits, digits + sizeof digits, number, std::chars_format::scientific).ptr);
    } else if (PyUnicode_Check(item)) {
      return string(item);
    } else if (PyList_Check(item) || PyTuple_Check(item)) {
      const Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
      PyObject** values = PySequence_Fast_ITEMS(item);
      text_ += '[';
      for (Py_ssize_t k = 0; k < n; ++k) {
        if (k > 0) text_ += ',';
        if (!value(values[k], true)) return false;
      }
      text_ += ']';
    } else if (throughPlain && !PyDict_Check(item)) {
      PyObject* converted = PyObject_CallOneArg(plain_.ptr(), item);
      if (converted == nullptr) {
        PyErr_Clear();
        return false;
      }
      const bool written = value(converted, false);
      Py_DECREF(converted);
      return written;
    } else {
      return false;
    }
    return true;
  }

  bool string(PyObject* item) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(item, &size);
    if (bytes == nullptr) {
      PyErr_Clear();
      return false;
    }
    text_ += '"';
    for (Py_ssize_t k = 0; k < size; ++k) {
      const auto c = static_cast<unsigned char>(bytes[k]);
      if (c == '"' || c == '\\') {
        text_ += '\\';
        text_ += static_cast<char>(c);
      } else if (c < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        text_ += escaped;
      } else {
        text_ += static_cast<char>(c);
      }
    }
    text_ += '"';
    return true;
  }

  void dumped(PyObject* item) {
    const py::object text =
        py::reinterpret_borrow<py::object>(dumps_)(py::reinterpret_borrow<py::object>(item));
    text_ += text.cast<std::string>();
  }

  py::handle plain_, dumps_;
  std::vector<std::pair<py::str, std::string>> keys_;
  std::string text_;
  uint64_t line_ = 1;  // the line being written (json.dumps writes no line ends)
  std::vector<ListLines> lists_;
};

// The JSON text of a COCO input held by Python (see CocoJsonWriter), as
// bytes, and where its lists are: [(key, first line, count)].
py::tuple cocoJsonText(const py::handle& value, bool results, const py::handle& plain,
                       const py::handle& dumps) {
  CocoJsonWriter writer(plain, dumps);
  const std::string text = writer.document(value, results);
  py::list lists;
  for (const CocoJsonWriter::ListLines& list : writer.lists()) {
    lists.append(py::make_tuple(list.key, list.first, list.count));
  }
  return py::make_tuple(py::bytes(text), lists);
}

// Reads a COCO ground truth and results list, each given as a path
// (`isPath`) or as its JSON text (str or bytes) named `name` in messages.
CocoImages readCoco(const py::object& truth, bool truthIsPath, const std::string& truthName,
                    const py::object& results, bool resultsIsPath, const std::string& resultsName) {
  std::array<std::string, 2> names{truthName, resultsName};
  std::array<std::string, 2> read;
  std::array<std::string_view, 2> texts;
  const std::array<const py::object*, 2> given{&truth, &results};
  const std::array<bool, 2> isPath{truthIsPath, resultsIsPath};
  for (std::size_t side = 0; side < 2; ++side) {
    if (isPath[side]) {
      names[side] = given[side]->cast<std::string>();
      read[side] = wholeFile(openFile(names[side]), names[side]);
      texts[side] = read[side];
    } else {
      texts[side] = textOf(*given[side]);
    }
  }
  std::optional<precision::ImageSet> set;
  std::string failure;
  {
    py::gil_scoped_release unlocked;
    set = formats::readCocoImages({names[0], texts[0]}, {names[1], texts[1]}, failure);
  }
  if (!set) raiseCocoFailure(failure, names);
  return CocoImages{std::make_shared<const precision::ImageSet>(std::move(*set))};
}

// The images of a pair of sequences of any format, as `talmira ap` makes
// them: each frame an image, each class a category, the detections from
// `confidence`.
CocoImages cocoImagesOfSequences(const Sequence& groundTruth, const Sequence& system,
                                 float confidence) {
  std::shared_ptr<const precision::ImageSet> set;
  {
    py::gil_scoped_release unlocked;
    const ClassSetPtr classes = pairClasses(*groundTruth.records, *system.records);
    set = std::make_shared<const precision::ImageSet>(
        precision::imagesOfSequences(*groundTruth.records, *system.records, *classes, confidence));
  }
  return CocoImages{std::move(set)};
}

// COCO's parameters from a dict: iou_thresholds, recall_thresholds (lists of
// numbers), max_detections (whole numbers), area_ranges ((label, low, high)).
precision::CocoParameters cocoParametersOf(const py::dict& given) {
  precision::CocoParameters p;
  p.iouThresholds = given["iou_thresholds"].cast<std::vector<double>>();
  p.recallThresholds = given["recall_thresholds"].cast<std::vector<double>>();
  p.maxDetections = given["max_detections"].cast<std::vector<int>>();
  for (const auto& [label, low, high] :
       given["area_ranges"].cast<std::vector<std::tuple<std::string, double, double>>>()) {
    p.areaRanges.push_back({label, low, high});
  }
  if (p.recallThresholds.empty()) throw py::value_error("give at least one recall threshold");
  return p;
}

std::optional<std::vector<int64_t>> idsOf(const py::object& ids) {
  if (ids.is_none()) return std::nullopt;
  return ids.cast<std::vector<int64_t>>();
}

// Matches the images (or those of `imageIds` and `categoryIds`, each None
// for all), the detections from `confidence`: COCOeval's evaluate().
CocoMatched cocoMatch(const CocoImages& images, const py::dict& parameters,
                      const py::object& imageIds, const py::object& categoryIds, double confidence,
                      unsigned threads) {
  CocoMatched out;
  out.parameters = cocoParametersOf(parameters);
  const std::optional<std::vector<int64_t>> someImages = idsOf(imageIds);
  const std::optional<std::vector<int64_t>> someCategories = idsOf(categoryIds);
  std::string problem;
  {
    py::gil_scoped_release unlocked;
    std::optional<precision::ImageSet> changed;
    const precision::ImageSet* set = images.set.get();
    if (confidence > 0) set = &changed.emplace(precision::keepDetectionsFrom(*set, confidence));
    if (someImages || someCategories) {
      precision::ImageSet part = precision::restrictImageSet(
          *set, std::span<const int64_t>(someImages ? *someImages : set->imageIds),
          std::span<const int64_t>(someCategories ? *someCategories : set->categoryIds));
      set = &changed.emplace(std::move(part));
    }
    try {
      out.matches = std::make_shared<const precision::CocoMatches>(
          precision::matchCoco(*set, out.parameters, threadsOrDefault(threads)));
    } catch (const std::invalid_argument& e) {
      problem = e.what();
    }
    out.imageIds = set->imageIds;
    out.categoryIds = set->categoryIds;
    out.categoryNames = set->categoryNames;
    out.warnings = set->warnings;
    out.truthCount.assign(set->categoryIds.size(), 0);
    out.detectionCount.assign(set->categoryIds.size(), 0);
    for (const precision::Cell& cell : set->cells) {
      for (const precision::TruthBox& box : set->truthsOf(cell)) {
        out.truthCount[cell.category] += !box.crowd;
      }
      out.detectionCount[cell.category] += cell.detectionEnd - cell.detectionBegin;
    }
  }
  if (!problem.empty()) throw py::value_error(problem);
  return out;
}

template <typename T>
py::array_t<T> shapedArray(const std::vector<T>& values, std::vector<py::ssize_t> shape) {
  py::array_t<T> array(shape);
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// Accumulates a matching: COCOeval's accumulate() and summarize(). A dict
// with precision [T,R,K,A,M], recall [T,K,A,M], scores [T,R,K,A,M] and
// stats [12] (float64 arrays), summary (the twelve lines as COCOeval
// prints them), report (the JSON text of `talmira ap --format json`
// without the inputs' names and the arrays), image_ids and category_ids.
py::dict cocoAccumulate(const CocoMatched& matched, unsigned threads) {
  precision::CocoResult result;
  std::string summary, report;
  {
    py::gil_scoped_release unlocked;
    result = precision::accumulateCoco(*matched.matches, matched.categoryIds.size(),
                                       matched.parameters, threadsOrDefault(threads));
    result.truthCount = matched.truthCount;
    result.detectionCount = matched.detectionCount;
    summary = precision::cocoSummaryText(result);
    // The report reads only the categories and the warnings of the images.
    precision::ImageSet labels;
    labels.categoryIds = matched.categoryIds;
    labels.categoryNames = matched.categoryNames;
    labels.warnings = matched.warnings;
    report = talmira::cocoJson(result, labels, false)
                 .dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
  }
  const precision::CocoParameters& p = result.parameters;
  const auto T = static_cast<py::ssize_t>(p.iouThresholds.size());
  const auto R = static_cast<py::ssize_t>(p.recallThresholds.size());
  const auto K = static_cast<py::ssize_t>(result.categories);
  const auto A = static_cast<py::ssize_t>(p.areaRanges.size());
  const auto M = static_cast<py::ssize_t>(p.maxDetections.size());
  py::dict out;
  out["precision"] = shapedArray(result.precision, {T, R, K, A, M});
  out["recall"] = shapedArray(result.recall, {T, K, A, M});
  out["scores"] = shapedArray(result.scores, {T, R, K, A, M});
  out["stats"] = shapedArray(std::vector<double>(result.stats.begin(), result.stats.end()), {12});
  out["summary"] = summary;
  out["report"] = report;
  out["image_ids"] = toArray(matched.imageIds);
  out["category_ids"] = toArray(matched.categoryIds);
  return out;
}

}  // namespace

void addPrecisionFunctions(py::module_& m) {
  py::class_<CocoImages>(m, "CocoImages")
      .def_property_readonly("image_ids",
                             [](const CocoImages& images) { return toArray(images.set->imageIds); })
      .def_property_readonly(
          "category_ids", [](const CocoImages& images) { return toArray(images.set->categoryIds); })
      .def_property_readonly("category_names",
                             [](const CocoImages& images) { return images.set->categoryNames; })
      .def_property_readonly("warnings",
                             [](const CocoImages& images) { return images.set->warnings; });
  py::class_<CocoMatched>(m, "CocoMatched");
  m.def("read_coco", &readCoco, py::arg("truth"), py::arg("truth_is_path"), py::arg("truth_name"),
        py::arg("results"), py::arg("results_is_path"), py::arg("results_name"),
        "A COCO ground truth and results list (each a path, or its JSON text named by the name) "
        "as CocoImages; OSError for a file that cannot be opened, ReadFailure(what, line, 0, "
        "input, message, name) for a malformed one.");
  m.def("coco_json", &cocoJsonText, py::arg("value"), py::arg("results"), py::arg("plain"),
        py::arg("dumps"),
        "The JSON text (bytes) of a ground truth's dict or a results list for read_coco (what "
        "json.dumps gives the reader, an element per line; plain and dumps as json.dumps' default "
        "and json.dumps itself), and its lists' (key, first line, count).");
  m.def("coco_images_of_sequences", &cocoImagesOfSequences, py::arg("groundtruth"),
        py::arg("system"), py::arg("confidence"),
        "A pair of sequences as CocoImages, as talmira ap takes files of other formats.");
  m.def("coco_match", &cocoMatch, py::arg("images"), py::arg("parameters"), py::arg("image_ids"),
        py::arg("category_ids"), py::arg("confidence"), py::arg("threads") = 0,
        "COCOeval's evaluate() on the images (None: every image or category), detections from "
        "the confidence; parameters: iou_thresholds, recall_thresholds, max_detections, "
        "area_ranges ((label, low, high)).");
  m.def("coco_accumulate", &cocoAccumulate, py::arg("matched"), py::arg("threads") = 0,
        "COCOeval's accumulate() and summarize() of a matching, as a dict of arrays and rows.");
}

// --- tracks: HOTA, CLEAR and Identity, as talmira track computes them ---

namespace {

// What `talmira track --format json` says of two files, by the command's
// own code (trackFiles()): (its JSON text, its text tables, the readers'
// warnings). ValueError for a request the command refuses with status 2;
// OSError for a file that cannot be opened or read; ReadFailure(what, line,
// 0, input, message, file) for one the readers or the benchmark refuse,
// the message being the command's.
py::tuple track(const std::string& groundTruth, const std::string& system,
                const std::string& groundTruthFormat, const std::string& systemFormat,
                const std::string& ids, const std::string& rules, std::optional<float> confidence,
                uint32_t length) {
  talmira::TrackRequest request;
  request.groundTruth = groundTruth;
  request.system = system;
  request.groundTruthFormat = groundTruthFormat;
  request.systemFormat = systemFormat;
  request.ids = ids;
  request.rules = rules;
  request.confidence = confidence;
  request.length = length;
  std::string json, text;
  std::vector<std::string> warnings;
  std::optional<talmira::TrackFileError> fileError;
  std::optional<talmira::CommandError> commandError;
  {
    py::gil_scoped_release unlocked;
    try {
      const talmira::TrackReport report = talmira::trackFiles(request, &warnings);
      json =
          talmira::trackJson(report).dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
      text = talmira::renderTrackText(report);
    } catch (const talmira::TrackFileError& e) {
      fileError = e;
    } catch (const talmira::CommandError& e) {
      commandError = e;
    }
  }
  if (fileError) {
    if (fileError->systemError != 0) {
      errno = fileError->systemError;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, fileError->file.c_str());
      throw py::error_already_set();
    }
    const int input = fileError->file == system && fileError->file != groundTruth ? 1 : 0;
    PyErr_SetObject(readFailureType, py::make_tuple(fileError->message, fileError->line, 0, input,
                                                    fileError->message, fileError->file)
                                         .ptr());
    throw py::error_already_set();
  }
  if (commandError) {
    if (commandError->status == talmira::kExitUsage) throw py::value_error(commandError->message);
    PyErr_SetObject(
        readFailureType,
        py::make_tuple(commandError->message, 0, 0, 0, commandError->message, std::string()).ptr());
    throw py::error_already_set();
  }
  return py::make_tuple(json, text, warnings);
}

}  // namespace

void addTrackFunctions(py::module_& m) {
  m.def("track", &track, py::arg("groundtruth"), py::arg("system"), py::arg("gt_format"),
        py::arg("sys_format"), py::arg("ids"), py::arg("rules"), py::arg("confidence").none(true),
        py::arg("length"),
        "talmira track's (JSON text, text tables, warnings) of two files; ids and rules empty "
        "and length 0 when not given.");
  m.def(
      "track_figures",
      [] {
        std::vector<std::tuple<std::string, bool, bool>> figures;
        for (const talmira::TrackFigure& figure : talmira::trackFigures()) {
          figures.emplace_back(figure.name, figure.perAlpha, figure.counts);
        }
        return figures;
      },
      "talmira track's figures in its CSV's order: (name, per_alpha, counts).");
}

// --- stability: each ground-truth track's fragment, centre and scale errors ---

namespace {

// The line a located message ("<path>:<line>: ...") names in `path`, or 0.
uint64_t lineIn(const std::string& message, const std::string& path) {
  if (message.size() <= path.size() + 1 || message.compare(0, path.size(), path) != 0 ||
      message[path.size()] != ':') {
    return 0;
  }
  uint64_t line = 0;
  std::size_t at = path.size() + 1;
  const std::size_t digits = at;
  while (at < message.size() && message[at] >= '0' && message[at] <= '9' && line < (1ULL << 60)) {
    line = line * 10 + static_cast<uint64_t>(message[at++] - '0');
  }
  return at > digits && at < message.size() && message[at] == ':' ? line : 0;
}

// A failure of input (status 1) as ReadFailure(what, line, 0, input,
// message, file): the file the message begins with, the system's when it
// names it alone.
[[noreturn]] void raiseInputFailure(const std::string& message, const std::string& groundTruth,
                                    const std::string& system) {
  const auto names = [&](const std::string& path) {
    return message.compare(0, path.size(), path) == 0 && message.size() > path.size() &&
           message[path.size()] == ':';
  };
  std::string file;
  // The longer path first: one may begin with the other.
  for (const std::string* path : groundTruth.size() >= system.size()
                                     ? std::array{&groundTruth, &system}
                                     : std::array{&system, &groundTruth}) {
    if (file.empty() && names(*path)) file = *path;
  }
  const uint64_t line = file.empty() ? 0 : lineIn(message, file);
  const int input = !file.empty() && file == system && file != groundTruth ? 1 : 0;
  PyErr_SetObject(readFailureType, py::make_tuple(message, line, 0, input, message, file).ptr());
  throw py::error_already_set();
}

// What `talmira stability --format json` says of two files, by the command's
// own code (stabilityOfFiles()): (its JSON text, its text table, the
// readers' warnings). rules: None for the detection road's defaults, or
// resolve_rules()' values; clear: --rules mot's CLEAR matching. ValueError
// for a request the command refuses with status 2; OSError for a file that
// cannot be opened; ReadFailure(what, line, 0, input, message, file) for
// one that is malformed or names no identities.
py::tuple stability(const std::string& groundTruth, const std::string& system,
                    const std::string& groundTruthFormat, const std::string& systemFormat,
                    const std::string& ids, const py::object& rules, bool clear,
                    std::optional<float> confidence, const std::string& className) {
  for (const std::string* path : {&groundTruth, &system}) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(path->c_str(), "rb"),
                                                           std::fclose);
    if (!opened) {
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path->c_str());
      throw py::error_already_set();
    }
  }
  talmira::StabilityRequest request;
  request.groundTruth = groundTruth;
  request.system = system;
  request.groundTruthFormat = groundTruthFormat;
  request.systemFormat = systemFormat;
  request.ids = ids;
  request.confidence = confidence.value_or(0.0f);
  request.confidenceGiven = confidence.has_value();
  request.className = className;
  request.clear = clear;
  std::optional<talmira::CommandError> commandError;
  std::optional<talmira::TrackFileError> fileError;
  std::string json, text;
  std::vector<std::string> warnings;
  try {
    if (!clear) {
      for (const std::string* format : {&groundTruthFormat, &systemFormat}) {
        if (!formatNamed(*format)) {
          throw talmira::CommandError{
              talmira::kExitUsage,
              *format +
                  " names a track layout, which only CLEAR's matching reads: give "
                  "rules='mot', or the format mot"};
        }
      }
      talmira::FormatOptionsGiven given;
      given.groundTruthFormat = groundTruthFormat;
      given.systemFormat = systemFormat;
      given.ownClasses = true;
      if (!rules.is_none()) given.rules.named = rulesFrom(rules);
      request.formats = talmira::inputFormatsOf(given, groundTruth);
    }
    py::gil_scoped_release unlocked;
    const talmira::StabilityReport report = talmira::stabilityOfFiles(request, &warnings);
    json = talmira::stabilityJson(report).dump(-1, ' ', false,
                                               talmira::Json::error_handler_t::replace);
    text = talmira::renderStabilityText(report);
  } catch (const talmira::TrackFileError& e) {
    fileError = e;
  } catch (const talmira::CommandError& e) {
    commandError = e;
  }
  if (fileError) {
    if (fileError->systemError != 0) {
      errno = fileError->systemError;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, fileError->file.c_str());
      throw py::error_already_set();
    }
    const int input = fileError->file == system && fileError->file != groundTruth ? 1 : 0;
    PyErr_SetObject(readFailureType, py::make_tuple(fileError->message, fileError->line, 0, input,
                                                    fileError->message, fileError->file)
                                         .ptr());
    throw py::error_already_set();
  }
  if (commandError) {
    std::string message = commandError->message;
    if (commandError->status == talmira::kExitUsage) {
      const std::string prefix = "talmira stability: ";
      if (message.compare(0, prefix.size(), prefix) == 0) message.erase(0, prefix.size());
      throw py::value_error(message);
    }
    raiseInputFailure(message, groundTruth, system);
  }
  return py::make_tuple(json, text, warnings);
}

}  // namespace

void addStabilityFunctions(py::module_& m) {
  m.def("stability", &stability, py::arg("groundtruth"), py::arg("system"), py::arg("gt_format"),
        py::arg("sys_format"), py::arg("ids"), py::arg("rules").none(true), py::arg("clear"),
        py::arg("confidence").none(true), py::arg("class_name"),
        "talmira stability's (JSON text, text table, warnings) of two files; ids empty when not "
        "given, rules None for the defaults, clear for --rules mot.");
}

// --- rules="mot" on MOT files: the benchmark's CLEAR counts, by the commands' code ---

namespace {

// The command's options as the Python layer gives them under rules="mot":
// the formats, whether a value of the rules was given beside the set, the
// class map and --unknown.
struct BenchmarkGiven {
  std::string groundTruthFormat;
  std::string systemFormat;
  bool valuesGiven = false;
  std::string classes;
  std::string unknown = "error";
};

talmira::FormatOptionsGiven formatOptionsOf(const BenchmarkGiven& b) {
  talmira::FormatOptionsGiven given;
  given.groundTruthFormat = b.groundTruthFormat;
  given.systemFormat = b.systemFormat;
  given.classes = b.classes;
  given.unknown = b.unknown;
  given.ownClasses = true;
  given.rules.named = namedRules("mot");
  given.rules.name = "mot";
  if (b.valuesGiven) given.rules.minOverlap = given.rules.named->minOverlap;
  return given;
}

// A file the benchmark's reading refuses, as stability() raises it: OSError
// for one that cannot be opened, else ReadFailure(what, line, 0, input,
// message, file).
[[noreturn]] void raiseFileError(const talmira::TrackFileError& file,
                                 const std::string& groundTruth, const std::string& system) {
  if (file.systemError != 0) {
    errno = file.systemError;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, file.file.c_str());
    throw py::error_already_set();
  }
  const int input = file.file == system && file.file != groundTruth ? 1 : 0;
  PyErr_SetObject(readFailureType,
                  py::make_tuple(file.message, file.line, 0, input, file.message, file.file).ptr());
  throw py::error_already_set();
}

// A CommandError of the command, as Python raises it: ValueError for a
// usage error (without "talmira COMMAND: "), else as raiseInputFailure().
[[noreturn]] void raiseCommandError(const talmira::CommandError& e, std::string_view command,
                                    const std::string& groundTruth, const std::string& system) {
  std::string message = e.message;
  const std::string prefix = "talmira " + std::string(command) + ": ";
  if (message.compare(0, prefix.size(), prefix) == 0) message.erase(0, prefix.size());
  if (e.status == talmira::kExitUsage) throw py::value_error(message);
  raiseInputFailure(message, groundTruth, system);
}

// Runs `work(given)` when the options count as the benchmark for `command`
// (countsAsBenchmark()) and returns what it gives; None when they do not
// (this format's matching under the set's values). `work` runs without the
// GIL and gives a callable that makes the Python result with it.
template <typename Work>
py::object whenBenchmark(const BenchmarkGiven& b, std::string_view command,
                         const std::string& groundTruth, const std::string& system, Work work) {
  const talmira::FormatOptionsGiven given = formatOptionsOf(b);
  std::optional<talmira::CommandError> failure;
  std::optional<talmira::TrackFileError> fileFailure;
  decltype(work(given)) made;
  try {
    if (!talmira::countsAsBenchmark(given, command)) return py::none();
    py::gil_scoped_release unlocked;
    made = work(given);
  } catch (const talmira::TrackFileError& e) {
    fileFailure = e;
  } catch (const talmira::CommandError& e) {
    failure = e;
  }
  if (fileFailure) raiseFileError(*fileFailure, groundTruth, system);
  if (failure) raiseCommandError(*failure, command, groundTruth, system);
  return made();
}

BenchmarkGiven benchmarkGiven(const std::string& groundTruthFormat, const std::string& systemFormat,
                              bool valuesGiven, const std::string& classes,
                              const std::string& unknown) {
  return {groundTruthFormat, systemFormat, valuesGiven, classes, unknown};
}

// talmira score --rules mot's rows when the options count as the benchmark:
// [(class, gt, det, fn, fp, frames, nmodta)], All first; None when they do
// not. ValueError for what the command refuses as usage; OSError and
// ReadFailure(what, line, 0, input, message, file) as track() raises them.
py::object benchmarkScore(const std::string& groundTruth, const std::string& system,
                          const std::string& groundTruthFormat, const std::string& systemFormat,
                          bool valuesGiven, const std::string& classes, const std::string& unknown,
                          std::optional<float> confidence) {
  using Rows =
      std::vector<std::tuple<std::string, int64_t, int64_t, int64_t, int64_t, int64_t, float>>;
  return whenBenchmark(
      benchmarkGiven(groundTruthFormat, systemFormat, valuesGiven, classes, unknown), "score",
      groundTruth, system,
      [&](const talmira::FormatOptionsGiven& given) -> std::function<py::object()> {
        std::vector<std::string> warnings;
        const talmira::TrackPair pair = talmira::readTrackPair(
            talmira::benchmarkRequest(given, groundTruth, system, confidence, 0), &warnings);
        const std::vector<ClassCounts> counts =
            talmira::benchmarkClassCounts(talmira::countBenchmark(pair));
        const ClassSetPtr names = talmira::benchmarkClasses(pair);
        auto rows = std::make_shared<Rows>();
        for (std::size_t k = 0; k < counts.size(); ++k) {
          const ClassCounts& c = counts[k];
          rows->emplace_back(std::string(names->row(k)), c.gt, c.det, c.fn, c.fp, c.frames,
                             c.nmodta());
        }
        return [rows] { return py::cast(*rows); };
      });
}

// talmira sweep --rules mot's rows and best points (as sweep() gives them),
// or None.
py::object benchmarkSweep(const std::string& groundTruth, const std::string& system,
                          const std::string& groundTruthFormat, const std::string& systemFormat,
                          bool valuesGiven, const std::string& classes, const std::string& unknown,
                          int gridSteps, uint32_t length, unsigned threads) {
  checkGridSteps(gridSteps);
  return whenBenchmark(
      benchmarkGiven(groundTruthFormat, systemFormat, valuesGiven, classes, unknown), "sweep",
      groundTruth, system,
      [&](const talmira::FormatOptionsGiven& given) -> std::function<py::object()> {
        std::vector<std::string> warnings;
        const talmira::TrackPair pair = talmira::readTrackPair(
            talmira::benchmarkRequest(given, groundTruth, system, std::nullopt, length), &warnings);
        auto rows = std::make_shared<SweepRows>(talmira::makeSweepReport(
            groundTruth, system, talmira::benchmarkClasses(pair),
            talmira::benchmarkCurves(pair, threadsOrDefault(threads)), gridSteps));
        return [rows] { return py::object(rows->toPython()); };
      });
}

// talmira events --rules mot's rows (as track_events() gives them), or None.
// refused: the command's option given that has no meaning there ("--near",
// ...; empty for none).
py::object benchmarkEvents(const std::string& groundTruth, const std::string& system,
                           const std::string& groundTruthFormat, const std::string& systemFormat,
                           bool valuesGiven, const std::string& classes, const std::string& unknown,
                           std::optional<float> confidence, uint32_t length,
                           const std::string& className, const std::string& refused) {
  std::optional<talmira::TrackRequest> request;
  const py::object counted = whenBenchmark(
      benchmarkGiven(groundTruthFormat, systemFormat, valuesGiven, classes, unknown), "events",
      groundTruth, system,
      [&](const talmira::FormatOptionsGiven& given) -> std::function<py::object()> {
        if (!refused.empty()) talmira::refuseUnderBenchmark("events", refused);
        request = talmira::benchmarkRequest(given, groundTruth, system, confidence, length);
        return [] { return py::object(py::bool_(true)); };
      });
  if (counted.is_none()) return counted;
  return trackEventRows(*request, className);
}

// talmira explain --rules mot's (JSON text, text) at most `top` tracks, or
// None; refused as in benchmarkEvents().
py::object benchmarkExplain(const std::string& groundTruth, const std::string& system,
                            const std::string& groundTruthFormat, const std::string& systemFormat,
                            bool valuesGiven, const std::string& classes,
                            const std::string& unknown, std::optional<float> confidence,
                            uint32_t length, std::size_t top, const std::string& refused) {
  return whenBenchmark(
      benchmarkGiven(groundTruthFormat, systemFormat, valuesGiven, classes, unknown), "explain",
      groundTruth, system,
      [&](const talmira::FormatOptionsGiven& given) -> std::function<py::object()> {
        if (!refused.empty()) talmira::refuseUnderBenchmark("explain", refused);
        std::vector<std::string> warnings;
        const talmira::FollowedTracks followed = talmira::followTrackFiles(
            talmira::benchmarkRequest(given, groundTruth, system, confidence, length), "All",
            &warnings);
        auto texts = std::make_shared<std::pair<std::string, std::string>>(
            talmira::trackExplainJson(followed, top)
                .dump(-1, ' ', false, talmira::Json::error_handler_t::replace),
            talmira::renderTrackExplainText(followed, top));
        return [texts] { return py::object(py::make_tuple(texts->first, texts->second)); };
      });
}

talmira::BenchmarkCompareRun benchmarkCompareRun(std::optional<float> confidenceA,
                                                 std::optional<float> confidenceB,
                                                 uint64_t resamples, uint64_t seed, double level,
                                                 std::size_t block, uint32_t length,
                                                 unsigned threads) {
  talmira::BenchmarkCompareRun run;
  run.confidenceA = confidenceA;
  run.confidenceB = confidenceB;
  run.bootstrap.resamples = resamples;
  run.bootstrap.seed = seed;
  run.bootstrap.level = level;
  run.block = block;
  run.length = length;
  run.jobs = threadsOrDefault(threads);
  return run;
}

// talmira compare --rules mot --format json's text for one sequence, or None.
py::object benchmarkCompare(const std::string& groundTruth, const std::string& systemA,
                            const std::string& systemB, const std::string& groundTruthFormat,
                            const std::string& systemFormat, bool valuesGiven,
                            const std::string& classes, const std::string& unknown,
                            std::optional<float> confidenceA, std::optional<float> confidenceB,
                            bool best, uint64_t resamples, uint64_t seed, double level,
                            std::size_t block, uint32_t length, unsigned threads) {
  talmira::BenchmarkCompareRun run =
      benchmarkCompareRun(confidenceA, confidenceB, resamples, seed, level, block, length, threads);
  run.groundTruth = groundTruth;
  run.systemA = systemA;
  run.systemB = systemB;
  return whenBenchmark(
      benchmarkGiven(groundTruthFormat, systemFormat, valuesGiven, classes, unknown), "compare",
      groundTruth, systemA,
      [&](const talmira::FormatOptionsGiven& given) -> std::function<py::object()> {
        talmira::refuseInBenchmarkCompare(best, false, false, block > 0, length > 0);
        auto text = std::make_shared<std::string>(
            talmira::benchmarkCompareJson(talmira::compareBenchmark(given, run), given)
                .dump(-1, ' ', false, talmira::Json::error_handler_t::replace));
        return [text] { return py::object(py::str(*text)); };
      });
}

// talmira check --rules mot's reading of the files as the benchmark's
// (readAsBenchmark()): True when the options make check read them so and
// they pass, False when the options do not; ReadFailure(what, line, 0,
// input, message, file) or OSError where score --rules mot would fail.
// `system` empty: the ground truth alone.
bool benchmarkCheck(const std::string& groundTruth, const std::string& system,
                    const std::string& groundTruthFormat, const std::string& systemFormat,
                    bool valuesGiven, const std::string& classes, const std::string& unknown) {
  const talmira::FormatOptionsGiven given = formatOptionsOf(
      benchmarkGiven(groundTruthFormat, systemFormat, valuesGiven, classes, unknown));
  if (!talmira::checksAsBenchmark(given, system.empty())) return false;
  std::optional<talmira::TrackFileError> fileFailure;
  try {
    py::gil_scoped_release unlocked;
    talmira::readAsBenchmark(given, groundTruth, system, 0);
  } catch (const talmira::TrackFileError& e) {
    fileFailure = e;
  }
  if (fileFailure) raiseFileError(*fileFailure, groundTruth, system.empty() ? groundTruth : system);
  return true;
}

}  // namespace

void addBenchmarkFunctions(py::module_& m) {
  m.def("benchmark_score", &benchmarkScore, py::arg("groundtruth"), py::arg("system"),
        py::arg("gt_format"), py::arg("sys_format"), py::arg("values_given"), py::arg("classes"),
        py::arg("unknown"), py::arg("confidence").none(true),
        "talmira score --rules mot's rows on MOT files, or None when the options do not count "
        "as the benchmark.");
  m.def("benchmark_sweep", &benchmarkSweep, py::arg("groundtruth"), py::arg("system"),
        py::arg("gt_format"), py::arg("sys_format"), py::arg("values_given"), py::arg("classes"),
        py::arg("unknown"), py::arg("grid_steps"), py::arg("length"), py::arg("threads") = 0,
        "talmira sweep --rules mot's rows and best points (as sweep()), or None.");
  m.def("benchmark_events", &benchmarkEvents, py::arg("groundtruth"), py::arg("system"),
        py::arg("gt_format"), py::arg("sys_format"), py::arg("values_given"), py::arg("classes"),
        py::arg("unknown"), py::arg("confidence").none(true), py::arg("length"),
        py::arg("class_name"), py::arg("refused"),
        "talmira events --rules mot's rows (as track_events()), or None.");
  m.def("benchmark_explain", &benchmarkExplain, py::arg("groundtruth"), py::arg("system"),
        py::arg("gt_format"), py::arg("sys_format"), py::arg("values_given"), py::arg("classes"),
        py::arg("unknown"), py::arg("confidence").none(true), py::arg("length"), py::arg("top"),
        py::arg("refused"), "talmira explain --rules mot's (JSON text, text), or None.");
  m.def("benchmark_check", &benchmarkCheck, py::arg("groundtruth"), py::arg("system"),
        py::arg("gt_format"), py::arg("sys_format"), py::arg("values_given"), py::arg("classes"),
        py::arg("unknown"),
        "Reads the files as talmira check --rules mot does beside its report: True when read "
        "so, False when the options do not read them so; ReadFailure or OSError where score "
        "--rules mot would fail.");
  m.def("benchmark_compare", &benchmarkCompare, py::arg("groundtruth"), py::arg("system_a"),
        py::arg("system_b"), py::arg("gt_format"), py::arg("sys_format"), py::arg("values_given"),
        py::arg("classes"), py::arg("unknown"), py::arg("confidence_a").none(true),
        py::arg("confidence_b").none(true), py::arg("best"), py::arg("resamples"), py::arg("seed"),
        py::arg("level"), py::arg("block"), py::arg("length"), py::arg("threads") = 0,
        "talmira compare --rules mot --format json's text for one sequence, or None.");
}

PYBIND11_MODULE(_talmira, m) {
  m.doc() = "Native reading and scoring for the talmira package.";
  readFailureType = PyErr_NewException("talmira._talmira.ReadFailure", PyExc_ValueError, nullptr);
  if (readFailureType == nullptr) throw py::error_already_set();
  m.add_object("ReadFailure", py::handle(readFailureType));

  py::class_<Sequence>(m, "Sequence")
      .def_property_readonly("frames", &Sequence::frames)
      .def_property_readonly("boxes", &Sequence::boxes);
  m.def("resolve_rules", &resolveRules, py::arg("rules"), py::arg("overlap"),
        py::arg("min_overlap"), py::arg("region_cover"), py::arg("min_side"),
        "The scoring rules of a named set and the values given (None: not given) as (overlap, "
        "min_overlap, region_cover, min_side), or None for the defaults; ValueError otherwise.");
  m.def("read_file", &readFile, py::arg("path"), py::arg("details") = false,
        py::arg("rules") = py::none(),
        "Reads an annotation file; ReadFailure(message, line, column) when malformed.");
  m.def("read_file_pair", &readFilePair, py::arg("first"), py::arg("second"),
        py::arg("details") = false, py::arg("rules") = py::none(),
        "Reads two annotation files at once.");
  m.def("read_annotation", &readAnnotationInput, py::arg("path"), py::arg("reading"),
        py::arg("details") = false,
        "Reads an input of any format (reading: format, role and the options of other "
        "formats); ReadFailure(what, line, 0, 0, message, file) when malformed.");
  m.def("read_records", &readRecordColumns, py::arg("path"), py::arg("reading"),
        "The records of an input as columns: frame, corners (n x 8), type codes, type names, "
        "flag_a, flag_b, confidence, line.");
  m.def("class_map", &classMapOf, py::arg("format"),
        "The default class map of a format, as the text of a MAP.csv.");
  m.def(
      "format_names",
      [] {
        std::vector<std::string> names;
        for (const AnnotationFormat format : kAnnotationFormats)
          names.emplace_back(formatName(format));
        return names;
      },
      "The names of the formats.");
  m.def("code_texts", &codeTexts, py::arg("column"),
        "(codes, texts) of a 1-D object array of str, as pandas.factorize gives them; None "
        "when a row is not a str with a UTF-8 form.");
  m.def("read_table_pair", &readTablePair, py::arg("gt_columns"), py::arg("gt_rows"),
        py::arg("sys_columns"), py::arg("sys_rows"), py::arg("details") = false,
        py::arg("rules") = py::none(), "Both tables of a pair, read at once (see read_table).");
  m.def("read_table", &readTable, py::arg("columns"), py::arg("rows"), py::arg("details") = false,
        py::arg("rules") = py::none(),
        "Reads 13 columns (kind, array, texts) as the records of an annotation file.");
  m.def("score", &score, py::arg("groundtruth"), py::arg("system"), py::arg("confidence"),
        py::arg("threads") = 0, "Every class's (class, gt, det, fn, fp, frames, nmodta).");
  m.def("score_table_pair", &scoreTablePair, py::arg("gt_columns"), py::arg("gt_rows"),
        py::arg("sys_columns"), py::arg("sys_rows"), py::arg("confidence"), py::arg("threads") = 0,
        "Scores two tables (see read_table), while filing them when their frame numbers only "
        "grow.");
  m.def("score_file_pair", &scoreFilePair, py::arg("groundtruth"), py::arg("system"),
        py::arg("confidence"), py::arg("threads") = 0,
        "Scores two files, while reading them when their frame numbers only grow.");
  m.def(
      "rules_json",
      [](const py::object& rules) {
        return talmira::rulesJson(rulesFrom(rules))
            .dump(-1, ' ', false, talmira::Json::error_handler_t::replace);
      },
      py::arg("rules") = py::none(),
      "The scoring rules as the commands' JSON states them: the defaults, or those given.");
  m.def("check", &check, py::arg("groundtruth"), py::arg("groundtruth_name"),
        py::arg("system").none(true), py::arg("system_name"),
        "The JSON text of talmira check's report; sequences read with their details.");
  m.def("events", &events, py::arg("groundtruth"), py::arg("system"), py::arg("confidence"),
        py::arg("class_name"), py::arg("near"),
        "The columns of talmira events' rows: (gt_frame_line, frame, system_side, line, "
        "class_code, class_names, confidence, event, partner_line, cause, overlap), lines 0 "
        "where the CSV is empty, cause 0 for none, overlap NaN for none.");
  m.def("cause_names", &causeNames, "The cause names by their codes in events(); 0 is none.");
  m.def("sweep", &sweep, py::arg("groundtruth"), py::arg("system"), py::arg("grid_steps"),
        py::arg("threads") = 0,
        "talmira sweep's rows (arrays) and each class's best point; grid_steps 0: exact rows.");
  m.def("draw_frame", &drawFrame, py::arg("groundtruth"), py::arg("system"), py::arg("frame"),
        py::arg("confidence"), py::arg("class_name"), py::arg("near"), py::arg("groundtruth_path"),
        py::arg("system_path"), py::arg("image"),
        "One frame of the pair as a standalone SVG, as talmira view draws it.");
  m.def("event_names", &eventNames, "The event names by their codes in events().");
  addTrackEventFunctions(m);  // talmira events --track
  m.def("explain", &explain, py::arg("groundtruth"), py::arg("system"), py::arg("confidence"),
        py::arg("near"), py::arg("threads") = 0,
        "talmira explain's JSON text without its frames, then the frames' columns (frame, line, "
        "gt, det, fn, fp) as int64 arrays.");
  m.def("explain_file_pair", &explainFilePair, py::arg("groundtruth"), py::arg("system"),
        py::arg("confidence"), py::arg("near"), py::arg("threads") = 0,
        "As explain(), from two files, while reading them when their frame numbers only grow.");
  m.def("compare", &compare, py::arg("groundtruth"), py::arg("system_a"), py::arg("system_b"),
        py::arg("confidence_a"), py::arg("confidence_b"), py::arg("best"), py::arg("resamples"),
        py::arg("seed"), py::arg("level"), py::arg("block"), py::arg("threads") = 0,
        py::arg("rules") = py::none(),
        "talmira compare's JSON text for one sequence; block 0 for the cube root of its frames.");
  m.def("compare_dataset", &compareDataset, py::arg("list"), py::arg("confidence_a"),
        py::arg("confidence_b"), py::arg("best"), py::arg("resamples"), py::arg("seed"),
        py::arg("level"), py::arg("threads") = 0, py::arg("formats") = py::none(),
        "talmira compare --dataset's JSON text; ValueError for a malformed list.");
  m.def("parse_fraction", &parseFraction, py::arg("text"), py::arg("what"),
        "A threshold from 0 to 1 by the command line's rule; ValueError naming `what` otherwise.");
  m.def("parse_confidence", &parseConfidence, py::arg("text"),
        "A confidence threshold by the command line's rule, rounded to single precision.");
  m.def("shortest_text", &talmira::shortestText, py::arg("value"),
        "The shortest text that reads back as the single-precision value.");
  addDatasetFunctions(m);
  addPrecisionFunctions(m);
  addTrackFunctions(m);
  addStabilityFunctions(m);
  addBenchmarkFunctions(m);
}
