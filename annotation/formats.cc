#include "annotation/formats.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

#include "annotation/coco_reader.h"
#include "annotation/cvat_reader.h"
#include "annotation/format_support.h"
#include "annotation/kitti_reader.h"
#include "annotation/mot_reader.h"
#include "annotation/yolo_reader.h"

namespace {

constexpr std::array<std::string_view, 9> kFormatNames = {
    "talmira", "mot", "mot15", "visdrone", "uavdt", "kitti", "cvat", "coco", "yolo"};
static_assert(kFormatNames.size() == kAnnotationFormats.size());
constexpr std::string_view kRegionType = "DCR";
constexpr std::string_view kIgnoredType = "DCF";

struct DefaultEntry {
  std::string_view label;
  std::string_view type;
  char flag;  // 0, 'A' or 'B'
  std::string_view note;
};

// Each dataset's labels as the dataset names its classes: the rows its users
// read. Roles are kept: what is a region or ignored stays so, and MOTChallenge's
// people it does not ask for (on a vehicle, static, distractors, reflections)
// stay flagged, as its benchmark sets them aside.
constexpr DefaultEntry kMotOwnMap[] = {
    {"1", "pedestrian", 0, "pedestrian"},
    {"2", "person_on_vehicle", 'A', "person on vehicle"},
    {"3", "car", 0, "car"},
    {"4", "bicycle", 0, "bicycle"},
    {"5", "motorbike", 0, "motorbike"},
    {"6", "DCF", 0, "non-motorized vehicle"},
    {"7", "static_person", 'A', "static person"},
    {"8", "distractor", 'A', "distractor"},
    {"9", "DCF", 0, "occluder"},
    {"10", "DCF", 0, "occluder on the ground"},
    {"11", "DCF", 0, "occluder full"},
    {"12", "reflection", 'A', "reflection"},
};

// MOT15 has no class column: every box is a pedestrian, label 1.
constexpr DefaultEntry kMot15OwnMap[] = {{"1", "pedestrian", 0, "pedestrian"}};

constexpr DefaultEntry kVisDroneOwnMap[] = {
    {"0", "DCR", 0, "ignored region"},
    {"1", "pedestrian", 0, "pedestrian"},
    {"2", "people", 0, "people"},
    {"3", "bicycle", 0, "bicycle"},
    {"4", "car", 0, "car"},
    {"5", "van", 0, "van"},
    {"6", "truck", 0, "truck"},
    {"7", "tricycle", 0, "tricycle"},
    {"8", "awning-tricycle", 0, "awning-tricycle"},
    {"9", "bus", 0, "bus"},
    {"10", "motor", 0, "motor"},
    {"11", "DCR", 0, "others"},
};

constexpr DefaultEntry kUavdtOwnMap[] = {
    {"1", "car", 0, "car"},
    {"2", "truck", 0, "truck"},
    {"3", "bus", 0, "bus"},
};

// KITTI's eight types, each a class of its own (a van is a Van, no longer a
// flagged car), and its don't-care regions.
constexpr DefaultEntry kKittiOwnMap[] = {
    {"Car", "Car", 0, "car"},
    {"Van", "Van", 0, "van"},
    {"Truck", "Truck", 0, "truck"},
    {"Pedestrian", "Pedestrian", 0, "pedestrian"},
    {"Person_sitting", "Person_sitting", 0, "person sitting"},
    {"Cyclist", "Cyclist", 0, "cyclist"},
    {"Tram", "Tram", 0, "tram"},
    {"Misc", "Misc", 0, "misc"},
    {"DontCare", "DCR", 0, "don't-care region"},
};

// MOTChallenge's classes by number, onto this format's. The benchmark scores pedestrians and
// keeps the people it does not ask for (on a vehicle, static, distractors,
// reflections) out of the count without punishing a detection of them:
// flagged boxes, whose matching detections are set aside.
constexpr DefaultEntry kMotMap[] = {
    {"1", "Person", 0, "pedestrian"},
    {"2", "Person", 'A', "person on vehicle"},
    {"3", "Car", 0, "car"},
    {"4", "Cyclist", 0, "bicycle"},
    {"5", "Cyclist", 0, "motorbike"},
    {"6", "DCF", 0, "non-motorized vehicle"},
    {"7", "Person", 'A', "static person"},
    {"8", "Person", 'A', "distractor"},
    {"9", "DCF", 0, "occluder"},
    {"10", "DCF", 0, "occluder on the ground"},
    {"11", "DCF", 0, "occluder full"},
    {"12", "Person", 'A', "reflection"},
};

constexpr DefaultEntry kMot15Map[] = {{"1", "Person", 0, "pedestrian"}};

// VisDrone's categories, onto this format's. Ignored regions are don't-care regions, and so are
// "others", objects of no class of ours: what is detected on them is not
// counted.
constexpr DefaultEntry kVisDroneMap[] = {
    {"0", "DCR", 0, "ignored region"},
    {"1", "Person", 0, "pedestrian"},
    {"2", "Person", 0, "people"},
    {"3", "Cyclist", 0, "bicycle"},
    {"4", "Car", 0, "car"},
    {"5", "Car", 0, "van"},
    {"6", "Truck", 0, "truck"},
    {"7", "Cyclist", 0, "tricycle"},
    {"8", "Cyclist", 0, "awning-tricycle"},
    {"9", "Bus", 0, "bus"},
    {"10", "Cyclist", 0, "motor"},
    {"11", "DCR", 0, "others"},
};

constexpr DefaultEntry kUavdtMap[] = {
    {"1", "Car", 0, "car"},
    {"2", "Truck", 0, "truck"},
    {"3", "Bus", 0, "bus"},
};

// KITTI's types, onto this format's. Its benchmark does not count a car detected on a van, nor
// a pedestrian on a sitting person: flagged, as those benchmarks' "neighbouring
// classes".
constexpr DefaultEntry kKittiMap[] = {
    {"Car", "Car", 0, "car"},
    {"Van", "Car", 'A', "van"},
    {"Truck", "Truck", 0, "truck"},
    {"Pedestrian", "Person", 0, "pedestrian"},
    {"Person_sitting", "Person", 'A', "person sitting"},
    {"Cyclist", "Cyclist", 0, "cyclist"},
    {"Tram", "DCF", 0, "tram"},
    {"Misc", "DCF", 0, "misc"},
    {"DontCare", "DCR", 0, "don't-care region"},
};

// The usual English names that annotation tools and detectors trained on
// common datasets give the classes.
constexpr DefaultEntry kNamesMap[] = {
    {"person", "Person", 0, ""},
    {"pedestrian", "Person", 0, ""},
    {"cyclist", "Cyclist", 0, ""},
    {"bicycle", "Cyclist", 0, "two-wheeler"},
    {"motorcycle", "Cyclist", 0, "two-wheeler"},
    {"car", "Car", 0, ""},
    {"van", "Car", 0, ""},
    {"truck", "Truck", 0, ""},
    {"tractor-trailer", "Tractor-Trailor", 0, ""},
    {"bus", "Bus", 0, ""},
    {"container", "Container", 0, ""},
    {"boat", "Boat", 0, ""},
    {"ship", "Boat", 0, ""},
    {"airplane", "Plane", 0, ""},
    {"aeroplane", "Plane", 0, ""},
    {"plane", "Plane", 0, ""},
    {"helicopter", "Helicopter", 0, ""},
};

ClassMap mapOf(std::span<const DefaultEntry> entries) {
  ClassMap map;
  for (const DefaultEntry& e : entries) {
    map.add(std::string(e.label), e.type, e.flag == 'A', e.flag == 'B', std::string(e.note));
  }
  return map;
}

// Splits one CSV line into fields; quoted fields may hold commas and doubled
// quotes. False when a quote is not closed or is followed by text.
bool splitCsvLine(std::string_view line, std::vector<std::string>& fields) {
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
    ++i;
    fields.emplace_back();
    if (i == line.size()) break;
  }
  return true;
}

std::string csvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void appendNumber(std::string& out, auto value) {
  char text[64];
  const auto written = std::to_chars(text, text + sizeof text, value);
  out.append(text, written.ptr);
}

}  // namespace

std::string_view formatName(AnnotationFormat format) {
  return kFormatNames[static_cast<std::size_t>(format)];
}

std::optional<AnnotationFormat> formatNamed(std::string_view name) {
  for (const AnnotationFormat format : kAnnotationFormats) {
    if (formatName(format) == name) return format;
  }
  return std::nullopt;
}

std::string formatNames() {
  std::string names;
  for (const std::string_view name : kFormatNames) {
    if (!names.empty()) names += '|';
    names += name;
  }
  return names;
}

std::string_view typeOfThisFormat(std::string_view name) {
  for (const std::string_view known : knownClasses) {
    if (known == name) return known;
  }
  if (name == kRegionType) return kRegionType;
  if (name == kIgnoredType) return kIgnoredType;
  return {};
}

std::string_view lastingName(std::string_view name) {
  if (const std::string_view own = typeOfThisFormat(name); !own.empty()) return own;
  return classNameOf(classCodeOf(name));
}

bool ClassMap::add(std::string label, std::string_view type, bool markA, bool markB,
                   std::string note, uint64_t line) {
  if (type.empty() || at_.contains(label)) return false;
  at_.emplace(label, entries_.size());
  entries_.push_back(Entry{std::move(label), ClassMapping{lastingName(type), markA, markB},
                           std::move(note), line});
  return true;
}

const ClassMapping* ClassMap::find(std::string_view label) const {
  const auto found = at_.find(label);
  return found == at_.end() ? nullptr : &entries_[found->second].mapping;
}

bool ClassMap::onlyTypesOfThisFormat() const {
  return std::all_of(entries_.begin(), entries_.end(),
                     [](const Entry& e) { return !typeOfThisFormat(e.mapping.type).empty(); });
}

std::shared_ptr<const ClassSet> ClassMap::classSet() const {
  if (onlyTypesOfThisFormat()) return nullptr;
  std::vector<std::string> names;
  for (const Entry& e : entries_) {
    const std::string_view type = e.mapping.type;
    if (type == kRegionType || type == kIgnoredType) continue;
    if (std::find(names.begin(), names.end(), type) == names.end()) names.emplace_back(type);
  }
  return std::make_shared<const ClassSet>(std::move(names));
}

const ClassMap& defaultClassMap(AnnotationFormat format) {
  static const ClassMap none;
  static const ClassMap mot = mapOf(kMotOwnMap);
  static const ClassMap mot15 = mapOf(kMot15OwnMap);
  static const ClassMap visdrone = mapOf(kVisDroneOwnMap);
  static const ClassMap uavdt = mapOf(kUavdtOwnMap);
  static const ClassMap kitti = mapOf(kKittiOwnMap);
  static const ClassMap every = [] {
    ClassMap map;
    map.takeEveryLabel();
    return map;
  }();
  switch (format) {
    case AnnotationFormat::kTalmira:
      return none;
    case AnnotationFormat::kMot:
      return mot;
    case AnnotationFormat::kMot15:
      return mot15;
    case AnnotationFormat::kVisDrone:
      return visdrone;
    case AnnotationFormat::kUavdt:
      return uavdt;
    case AnnotationFormat::kKitti:
      return kitti;
    case AnnotationFormat::kCvat:
    case AnnotationFormat::kCoco:
    case AnnotationFormat::kYolo:
      return every;
  }
  return none;
}

const ClassMap& standardClassMap(AnnotationFormat format) {
  static const ClassMap none;
  static const ClassMap mot = mapOf(kMotMap);
  static const ClassMap mot15 = mapOf(kMot15Map);
  static const ClassMap visdrone = mapOf(kVisDroneMap);
  static const ClassMap uavdt = mapOf(kUavdtMap);
  static const ClassMap kitti = mapOf(kKittiMap);
  static const ClassMap names = mapOf(kNamesMap);
  switch (format) {
    case AnnotationFormat::kTalmira:
      return none;
    case AnnotationFormat::kMot:
      return mot;
    case AnnotationFormat::kMot15:
      return mot15;
    case AnnotationFormat::kVisDrone:
      return visdrone;
    case AnnotationFormat::kUavdt:
      return uavdt;
    case AnnotationFormat::kKitti:
      return kitti;
    case AnnotationFormat::kCvat:
    case AnnotationFormat::kCoco:
    case AnnotationFormat::kYolo:
      return names;
  }
  return none;
}

std::shared_ptr<const ClassMap> readClassMap(const std::string& path, std::string* error) {
  AnnotationReadFailure failure;
  std::vector<AnnotationRecord> unused;
  AnnotationReadOptions options;
  formats::RecordMaker maker(path, options, unused, failure);
  const auto refuse = [&](uint64_t line, const std::string& what) {
    maker.fail(line, what);
    if (error != nullptr) *error = failure.message;
    return nullptr;
  };
  formats::StreamHandle stream = maker.open();
  if (stream == nullptr) {
    if (error != nullptr) *error = failure.message;
    return nullptr;
  }
  auto map = std::make_shared<ClassMap>();
  formats::TextLines lines(stream.get());
  std::string_view line;
  std::vector<std::string> fields;
  while (lines.next(&line)) {
    const uint64_t number = lines.lineNumber();
    if (formats::trimBlanks(line).empty()) continue;
    if (number == 1 && line.starts_with("label,type")) continue;  // the header
    if (!splitCsvLine(line, fields)) return refuse(number, "a quoted field is not closed properly");
    if (fields.size() < 2 || fields.size() > 4) {
      return refuse(number, "expected label,type[,flag[,note]], found " +
                                std::to_string(fields.size()) + " fields");
    }
    const std::string type(formats::trimBlanks(fields[1]));
    if (type.empty()) return refuse(number, "the type is empty");
    if (type == kEveryClass) {
      return refuse(number, "type \"All\" cannot name a class: it is the row of every class");
    }
    const std::string flag(fields.size() > 2 ? formats::trimBlanks(fields[2]) : "");
    if (!flag.empty() && flag != "A" && flag != "B") {
      return refuse(number, "flag " + formats::quoted(flag) + " is none of A, B or empty");
    }
    const std::string label = fields[0];
    if (!map->add(label, type, flag == "A", flag == "B", fields.size() > 3 ? fields[3] : "",
                  number)) {
      return refuse(number, "label " + formats::quoted(label) + " is mapped twice");
    }
  }
  if (lines.readError() != 0) {
    maker.failRead(lines.readError());
    if (error != nullptr) *error = failure.message;
    return nullptr;
  }
  return map;
}

std::string classMapText(const ClassMap& map) {
  std::string text = "label,type,flag,note\n";
  for (const ClassMap::Entry& e : map.entries()) {
    text += csvField(e.label) + ',' + csvField(e.mapping.type) + ',' +
            (e.mapping.markA   ? "A"
             : e.mapping.markB ? "B"
                               : "") +
            ',' + csvField(e.note) + '\n';
  }
  return text;
}

std::optional<ImageSize> parseImageSize(std::string_view text) {
  const std::size_t x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  ImageSize size;
  const auto whole = [](std::string_view part, uint32_t* value) {
    if (part.empty() || part.size() > 9) return false;
    const auto [end, status] = std::from_chars(part.data(), part.data() + part.size(), *value);
    return status == std::errc{} && end == part.data() + part.size() && *value > 0;
  };
  if (!whole(text.substr(0, x), &size.width) || !whole(text.substr(x + 1), &size.height)) {
    return std::nullopt;
  }
  return size;
}

namespace {

bool readRecordsWith(formats::RecordMaker& maker) {
  bool read = false;
  switch (maker.options().format) {
    case AnnotationFormat::kTalmira:
      maker.fail(0, "is in this format: read it with readSequenceFile()");
      return false;
    case AnnotationFormat::kMot:
    case AnnotationFormat::kMot15:
    case AnnotationFormat::kVisDrone:
    case AnnotationFormat::kUavdt:
      read = formats::readMotFamily(maker);
      break;
    case AnnotationFormat::kKitti:
      read = formats::readKitti(maker);
      break;
    case AnnotationFormat::kCvat:
      read = formats::readCvat(maker);
      break;
    case AnnotationFormat::kCoco:
      read = formats::readCoco(maker);
      break;
    case AnnotationFormat::kYolo:
      read = formats::readYolo(maker);
      break;
  }
  return read;
}

bool readRecordsAsTheyCome(const std::string& path, const AnnotationReadOptions& options,
                           std::vector<AnnotationRecord>& records, AnnotationReadFailure& failure,
                           std::shared_ptr<const ClassSet>* classes = nullptr) {
  records.clear();
  formats::RecordMaker maker(path, options, records, failure);
  const bool read = readRecordsWith(maker);
  if (read && classes != nullptr) *classes = maker.classSet();
  return read;
}

// Reads the records of another format as they come, and the order that puts
// them in frames.
bool readUnordered(const std::string& path, const AnnotationReadOptions& options,
                   std::vector<AnnotationRecord>& records, std::vector<uint32_t>& order,
                   AnnotationReadFailure& failure,
                   std::shared_ptr<const ClassSet>* classes = nullptr) {
  if (!readRecordsAsTheyCome(path, options, records, failure, classes)) return false;
  order = formats::orderByFrame(records);
  return true;
}

// Whether the records of a map's labels may be of types other than this
// format's, so that the filing must keep every type as a class.
bool mayBringOwnClasses(const ClassMap& map) {
  return map.takesEveryLabel() || !map.onlyTypesOfThisFormat();
}

// What a sequence being filed holds as its classes until they are known.
std::shared_ptr<const ClassSet> classesToCome() {
  static const std::shared_ptr<const ClassSet> none =
      std::make_shared<const ClassSet>(std::vector<std::string>{});
  return none;
}

}  // namespace

bool readForeignRecords(const std::string& path, const AnnotationReadOptions& options,
                        std::vector<AnnotationRecord>& records, AnnotationReadFailure& failure) {
  std::vector<uint32_t> order;
  if (!readUnordered(path, options, records, order, failure)) return false;
  formats::applyOrder(records, order);
  return true;
}

namespace {

// Whether the input gives a box no score by a score of -1 (kNoConfidence).
bool writesNoScoreAsMinusOne(const AnnotationReadOptions& options) {
  return isMotFamily(options.format) && options.role == AnnotationRole::kSystem;
}

// Whether `path` can be read with its records filed while they are read: a
// text format whose files are mostly listed frame by frame (a file that goes
// back to an earlier frame is read again, keeping its records), in a regular
// file, which can be read twice.
bool fileWhileReading(const std::string& path, const AnnotationReadOptions& options) {
  const bool text = (isMotFamily(options.format) &&
                     (options.format != AnnotationFormat::kUavdt || options.ignorePath.empty())) ||
                    options.format == AnnotationFormat::kKitti;
  struct stat status {};
  return text && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

namespace {

bool readAnnotationOnce(const std::string& path, const AnnotationReadOptions& options,
                        QuorSequence& sequence, AnnotationReadFailure& failure,
                        ReadDetails* details) {
  if (options.format == AnnotationFormat::kTalmira) {
    std::FILE* stream = std::fopen(path.c_str(), "r");
    if (stream == nullptr) {
      failure.openError = errno;
      failure.openPath = path;
      failure.message = path + ": cannot open: " + std::strerror(errno);
      return false;
    }
    return readSequenceFile(stream, sequence, path, &failure.message, details, options.rules) == 0;
  }
  std::vector<AnnotationRecord> records;
  const bool ownClasses = mayBringOwnClasses(options.classMap());
  // The filing keeps every type as a class while the sequence holds a set;
  // the set itself is known once every label has been met.
  const auto startFiling = [&] {
    sequence.classes = ownClasses ? classesToCome() : nullptr;
    sequence.infinityMeansNoScore = writesNoScoreAsMinusOne(options);
  };
  if (fileWhileReading(path, options)) {
    startFiling();
    RecordFiler filer(sequence, path, &failure.message, details, options.rules);
    formats::RecordMaker maker(path, options, records, failure);
    maker.fileWhileReading(&filer);
    const bool read = readRecordsWith(maker);
    filer.finish();
    if (read) sequence.classes = maker.classSet();
    if (read || !maker.outOfOrder()) return read;
    // A frame came back: read again, keeping the records, and put them in order.
    sequence.clear();
    if (details != nullptr) *details = ReadDetails{};
    failure = AnnotationReadFailure{};
  }
  if (isMotFamily(options.format)) {
    startFiling();
    RecordFiler filer(sequence, path, &failure.message, details, options.rules);
    formats::RecordMaker maker(path, options, records, failure);
    const bool read = formats::fileMotFamilyByFrame(maker, filer);
    if (read) sequence.classes = maker.classSet();
    return read;
  }
  std::vector<uint32_t> order;
  std::shared_ptr<const ClassSet> classes;
  if (!readUnordered(path, options, records, order, failure, &classes)) return false;
  startFiling();
  const bool filed =
      fileRecords(records, order, sequence, path, &failure.message, details, options.rules) == 0;
  sequence.classes = filed ? classes : nullptr;
  return filed;
}

}  // namespace

bool readAnnotation(const std::string& path, const AnnotationReadOptions& options,
                    QuorSequence& sequence, AnnotationReadFailure& failure, ReadDetails* details) {
  const bool read = readAnnotationOnce(path, options, sequence, failure, details);
  if (read && details != nullptr) details->readerWarnings = failure.warnings;
  return read;
}

bool readAnyRecords(const std::string& path, const AnnotationReadOptions& options,
                    std::vector<AnnotationRecord>& records,
                    std::set<std::string, std::less<>>& names, AnnotationReadFailure& failure) {
  if (options.format != AnnotationFormat::kTalmira) {
    return readForeignRecords(path, options, records, failure);
  }
  records.clear();
  std::FILE* stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    failure.openError = errno;
    failure.openPath = path;
    failure.message = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  const auto take = [&](const AnnotationRecord& record) {
    AnnotationRecord& kept = records.emplace_back(record);
    kept.type = typeOfThisFormat(record.type);
    if (kept.type.empty()) kept.type = *names.emplace(record.type).first;
    return true;
  };
  return readRecordsOf(stream, path, take, &failure.message) == 0;
}

std::string annotationText(std::span<const AnnotationRecord> records) {
  std::string text = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,text,number\n";
  text.reserve(text.size() + records.size() * 72);
  for (const AnnotationRecord& r : records) {
    appendNumber(text, r.frameNumber);
    for (const int32_t corner : r.corners) {
      text += ',';
      appendNumber(text, corner);
    }
    text += ',';
    text += r.type;
    text += r.markA ? ",TRUE" : ",FALSE";
    text += r.markB ? ",TRUE," : ",FALSE,";
    // The shortest text that reads back as the same single-precision value.
    appendNumber(text, r.confidence);
    // Column 14's text is empty; column 15 is a number, which the format
    // requires there.
    text += ",,0\n";
  }
  return text;
}
