// Annotation formats other than this one, and what their labels become.
//
// Each format has a reader of its own (mot_reader, kitti_reader, cvat_reader,
// coco_reader, yolo_reader) that turns its lines or elements into
// AnnotationRecords: a frame number, the four corners, a type of this format
// ("Car", "DCR", "DCF", ...), the flags, a confidence and the line it came
// from. The records then go through fileRecords(), the very code that files
// the records of this format's own files, so the size test, don't-care
// regions, ignored records and frames are decided in one place whatever the
// format, and `talmira convert`, which writes the same records as text,
// gives a file that reads back as the same sequence.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"

/// The formats an annotation can be read from; kTalmira is this one.
enum class AnnotationFormat : uint8_t {
  kTalmira,
  kMot,
  kMot15,  // MOTChallenge 2015: no classes, world coordinates after the box
  kVisDrone,
  kUavdt,
  kKitti,
  kCvat,
  kCoco,
  kYolo
};

inline constexpr std::array<AnnotationFormat, 9> kAnnotationFormats = {
    AnnotationFormat::kTalmira,  AnnotationFormat::kMot,   AnnotationFormat::kMot15,
    AnnotationFormat::kVisDrone, AnnotationFormat::kUavdt, AnnotationFormat::kKitti,
    AnnotationFormat::kCvat,     AnnotationFormat::kCoco,  AnnotationFormat::kYolo};

/// Whether `format` is one of the comma-separated box-a-line formats of
/// MOTChallenge, VisDrone and UAVDT (mot, mot15, visdrone, uavdt), whose
/// detections write -1 for a box without a score.
inline bool isMotFamily(AnnotationFormat format) {
  return format == AnnotationFormat::kMot || format == AnnotationFormat::kMot15 ||
         format == AnnotationFormat::kVisDrone || format == AnnotationFormat::kUavdt;
}

/// The name a format is given by on the command line ("talmira", "mot", ...).
std::string_view formatName(AnnotationFormat format);
/// The format of that name, if any.
std::optional<AnnotationFormat> formatNamed(std::string_view name);
/// The names of every format, "talmira|mot|...", for help texts.
std::string formatNames();

/// Which file of a pair is read. Some formats write the two differently: the
/// seventh column of a MOT or VisDrone ground truth says whether the box is
/// considered, that of a detection file is its score.
enum class AnnotationRole : uint8_t { kGroundTruth, kSystem };

/// What a label of another format becomes: a class (of the dataset's own,
/// or one of this format's ten), "DCR" or "DCF", flagged or not.
struct ClassMapping {
  std::string_view type;  // points at a name that lives as long as the program
  bool markA = false;
  bool markB = false;
};

/// A map from the labels of a format (as text: "1", "Van", "car") to
/// ClassMappings. Labels compare exactly.
class ClassMap {
 public:
  struct Entry {
    std::string label;
    ClassMapping mapping;
    std::string note;   // what the label means in its format, for people
    uint64_t line = 0;  // its line in the map file it was read from, or 0
  };

  /// Adds a label; false when the label is there already or `type` is
  /// empty.
  bool add(std::string label, std::string_view type, bool markA = false, bool markB = false,
           std::string note = {}, uint64_t line = 0);
  /// The mapping of `label`, or null.
  const ClassMapping* find(std::string_view label) const;
  const std::vector<Entry>& entries() const { return entries_; }
  /// The classes the map's types make, in the order they first appear ("DCR"
  /// and "DCF" left out); null when they are all among this format's ten, which
  /// are then scored as always, in their own order.
  std::shared_ptr<const ClassSet> classSet() const;
  /// Whether every type is one of this format's ("Car", ..., "DCR", "DCF").
  bool onlyTypesOfThisFormat() const;
  /// A map with no entries that takes every label as a class of its own name
  /// (COCO's categories, CVAT's labels, YOLO's names).
  bool takesEveryLabel() const { return everyLabel_; }
  void takeEveryLabel() { everyLabel_ = true; }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t, Hash, std::equal_to<>> at_;
  bool everyLabel_ = false;
};

/// The type name of this format that `name` is ("Car", ..., "DCR", "DCF"),
/// pointing at storage that lives as long as the program; empty for any
/// other name.
std::string_view typeOfThisFormat(std::string_view name);
/// `name` in storage that lives as long as the program.
std::string_view lastingName(std::string_view name);

/// The map a format uses unless told otherwise: its labels as the dataset
/// names its classes (empty for this format; for COCO, CVAT and YOLO one that
/// takes every label as it is).
const ClassMap& defaultClassMap(AnnotationFormat format);
/// The map of a format's labels onto this format's ten classes, which `talmira
/// convert` writes (empty for this format).
const ClassMap& standardClassMap(AnnotationFormat format);

/// Reads a class map file: one `label,type[,flag[,note]]` line per label
/// (type: any class name, "DCR" or "DCF"; flag: empty, A or B, which flag the
/// label sets; the note is for people), an optional header `label,type...`,
/// blank lines skipped, CSV quoting for labels and types that hold commas.
/// Returns null and sets `error` to a `file:line: what` message when it
/// cannot.
std::shared_ptr<const ClassMap> readClassMap(const std::string& path, std::string* error);

/// The map as a class map file, with the header label,type,flag,note.
std::string classMapText(const ClassMap& map);

struct ImageSize {
  uint32_t width = 0;
  uint32_t height = 0;
};
/// Parses "WxH" (two whole numbers from 1); nothing otherwise.
std::optional<ImageSize> parseImageSize(std::string_view text);

/// How to read one annotation input.
struct AnnotationReadOptions {
  AnnotationFormat format = AnnotationFormat::kTalmira;
  AnnotationRole role = AnnotationRole::kGroundTruth;
  /// The class map; null for the format's default.
  std::shared_ptr<const ClassMap> classes;
  /// A label neither in the map nor a type of this format drops its record
  /// instead of failing the read.
  bool dropUnknownLabels = false;
  /// yolo: the image size that the normalized coordinates are fractions of.
  std::optional<ImageSize> imageSize;
  /// yolo: the file of class names, one a line (label k is line k + 1).
  std::string namesPath;
  /// uavdt ground truth: the file of ignored areas, read as don't-care regions.
  std::string ignorePath;
  /// coco results list: the ground truth whose images and categories it names.
  std::string imagesFrom;
  /// The size test, and the matching's rules every frame is given.
  ScoringRules rules;

  /// Without a class map, read the dataset's own classes (defaultClassMap())
  /// rather than map its labels onto this format's ten (standardClassMap()).
  bool ownClasses = false;

  const ClassMap& classMap() const {
    if (classes) return *classes;
    return ownClasses ? defaultClassMap(format) : standardClassMap(format);
  }
};

/// Why a read failed.
struct AnnotationReadFailure {
  std::string message;   // one line: `file:line: what`, or `file: cannot open: reason`
  int openError = 0;     // the errno when a file could not be opened, 0 otherwise
  std::string openPath;  // which file that was
  // The parts of the message, when a reader of another format failed: the
  // file named (an input, or a file beside it), the line (0 for none) and
  // what was wrong.
  std::string file;
  uint64_t line = 0;
  std::string what;
  // What a reader noted of a read that went on, one `file:line: what` line
  // each, for the user to see: a file taken in a layout other than the one
  // named (a MOT15 file read as mot). Empty after most reads.
  std::vector<std::string> warnings;
};

/// Reads the records of `path` in format `options.format` (not kTalmira), in
/// the order that makes each frame one run: sorted by frame number, records
/// of a frame in the order of the input. Returns false with `failure` set
/// when a file cannot be opened or read or holds a malformed line, element
/// or value; `records` is then incomplete.
bool readForeignRecords(const std::string& path, const AnnotationReadOptions& options,
                        std::vector<AnnotationRecord>& records, AnnotationReadFailure& failure);

/// Reads an annotation input of any format into `sequence` (empty), and its
/// details when asked. This format's files go through readSequenceFile();
/// the others through readForeignRecords() and fileRecords().
bool readAnnotation(const std::string& path, const AnnotationReadOptions& options,
                    QuorSequence& sequence, AnnotationReadFailure& failure,
                    ReadDetails* details = nullptr);

/// The records of any input, this format's included (for it, every
/// well-formed line after the header, in file order, before its rules).
/// Types point at storage in `names` or at names that live as long as the
/// program.
bool readAnyRecords(const std::string& path, const AnnotationReadOptions& options,
                    std::vector<AnnotationRecord>& records,
                    std::set<std::string, std::less<>>& names, AnnotationReadFailure& failure);

/// `records` as a file of this format: a header line, then one record of 15
/// columns a line (LF), each written so that it reads back as the same
/// record. Records whose type cannot be written in a column (a comma or a
/// line end in it) are not expected: the readers of other formats only make
/// types of this format.
std::string annotationText(std::span<const AnnotationRecord> records);
