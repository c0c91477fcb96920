#include "annotation/yolo_reader.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <unordered_map>

namespace formats {

namespace {

namespace fs = std::filesystem;

struct FrameFile {
  uint32_t frame;
  std::string name;
  std::string path;
};

bool readNames(RecordMaker& maker, std::vector<std::string>& names) {
  StreamHandle stream = maker.open();
  if (stream == nullptr) return false;
  TextLines lines(stream.get());
  std::string_view line;
  while (lines.next(&line)) names.emplace_back(trimBlanks(line));
  if (lines.readError() != 0) return maker.failRead(lines.readError());
  while (!names.empty() && names.back().empty()) names.pop_back();
  if (!maker.options().classMap().takesEveryLabel()) return true;
  // The names are the dataset's classes, in their order.
  std::unordered_map<std::string_view, std::size_t> lineOf;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (names[k].empty()) return maker.fail(k + 1, "class " + std::to_string(k) + " has no name");
    const auto [earlier, added] = lineOf.emplace(names[k], k + 1);
    if (!added) {
      return maker.fail(k + 1, "class name " + formats::quoted(names[k]) + " is also line " +
                                   std::to_string(earlier->second) + "'s");
    }
  }
  maker.declareClasses(names);
  return true;
}

bool readLine(RecordMaker& maker, uint32_t frame, std::string_view line, uint64_t number,
              const std::vector<std::string>& names, ImageSize size, std::set<uint64_t>& unnamed) {
  std::array<std::string_view, 6> words;
  const std::size_t count = splitWords(line, words);
  if (count != 5 && count != 6) {
    return maker.fail(number, "expected 5 values (class cx cy w h) or 6 (and conf), found " +
                                  std::to_string(count));
  }
  Decimal classValue;
  std::optional<uint64_t> index;
  if (parseDecimal(words[0], &classValue)) index = wholeValue(classValue, UINT32_MAX);
  if (!index) return maker.failValue(number, "class", words[0], " is not a class number");
  std::array<Decimal, 4> box;  // cx, cy, w, h
  static constexpr const char* kNames[] = {"cx", "cy", "w", "h"};
  for (std::size_t k = 0; k < box.size(); ++k) {
    if (!parseDecimal(words[1 + k], &box[k])) {
      return maker.failValue(number, kNames[k], words[1 + k], " is not a number");
    }
  }
  const std::optional<int32_t> left = roundEdgeToInt32(box[0], box[2], -1, size.width);
  const std::optional<int32_t> right = roundEdgeToInt32(box[0], box[2], 1, size.width);
  const std::optional<int32_t> top = roundEdgeToInt32(box[1], box[3], -1, size.height);
  const std::optional<int32_t> bottom = roundEdgeToInt32(box[1], box[3], 1, size.height);
  if (!left || !top || !right || !bottom) {
    return maker.fail(number, "the box's edges are not all 32-bit whole numbers once rounded");
  }
  float confidence = 1.0f;
  if (count == 6 && !parseConfidenceText(words[5], &confidence)) {
    return maker.failValue(number, "conf", words[5], " is not a number");
  }
  std::string label = std::to_string(*index);
  if (!names.empty()) {
    if (*index >= names.size()) {
      return maker.fail(number, "class " + label + " has no name: the names file has " +
                                    std::to_string(names.size()));
    }
    label = names[*index];
  } else if (maker.options().classMap().takesEveryLabel()) {
    // Classes without names are known by their numbers.
    label = "class " + label;
    unnamed.insert(*index);
  }
  bool failed = false;
  const ClassMapping* mapping = maker.map(label, number, &failed);
  if (failed) return false;
  if (mapping == nullptr) return true;  // dropped
  return maker.addBox(frame, *left, *top, *right, *bottom, *mapping, false, confidence, number);
}

}  // namespace

bool readYolo(RecordMaker& maker) {
  const AnnotationReadOptions& options = maker.options();
  const std::string folder = maker.path();
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    if (!fs::exists(folder, error)) {
      StreamHandle stream = maker.open();  // says why, as for any input
      if (stream == nullptr) return false;
    }
    return maker.fail(0, "is not a folder: YOLO labels are a folder of text files, one a frame");
  }
  if (!options.imageSize) {
    return maker.fail(0,
                      "YOLO coordinates are fractions of the image: give its size "
                      "(--image-size WxH)");
  }
  std::vector<std::string> names;
  fs::path namesFile;
  // Without a names file, the `classes.txt` that labelling tools leave beside
  // the labels names the classes.
  std::string namesPath = options.namesPath;
  if (namesPath.empty() && fs::is_regular_file(fs::path(folder) / "classes.txt", error)) {
    namesPath = (fs::path(folder) / "classes.txt").string();
  }
  if (!namesPath.empty()) {
    maker.renameInput(namesPath);
    if (!readNames(maker, names)) return false;
    namesFile = fs::weakly_canonical(namesPath, error);
    maker.renameInput(folder);
  }
  std::vector<FrameFile> files;
  std::set<uint64_t> unnamed;  // the numbers of classes without names met
  fs::directory_iterator entries(folder, error);
  if (error) return maker.fail(0, "cannot list: " + error.message());
  for (const fs::directory_entry& entry : entries) {
    const fs::path& path = entry.path();
    if (path.extension() != ".txt" || !entry.is_regular_file(error)) continue;
    const std::string name = path.filename().string();
    if (name == "classes.txt" ||
        (!namesFile.empty() && fs::weakly_canonical(path, error) == namesFile)) {
      continue;
    }
    const std::optional<uint32_t> frame = lastDigitsOf(path.stem().string());
    if (!frame) {
      maker.renameInput(path.string());
      return maker.fail(0, "holds no frame number in its name (a run of digits)");
    }
    files.push_back(FrameFile{*frame, name, path.string()});
  }
  std::sort(files.begin(), files.end(), [](const FrameFile& a, const FrameFile& b) {
    return std::tie(a.frame, a.name) < std::tie(b.frame, b.name);
  });
  for (const FrameFile& file : files) {
    maker.renameInput(file.path);
    StreamHandle stream = maker.open();
    if (stream == nullptr) return false;
    TextLines lines(stream.get());
    std::string_view line;
    while (lines.next(&line)) {
      if (trimBlanks(line).empty()) continue;
      if (!readLine(maker, file.frame, line, lines.lineNumber(), names, *options.imageSize,
                    unnamed)) {
        return false;
      }
    }
    if (lines.readError() != 0) return maker.failRead(lines.readError());
  }
  maker.renameInput(folder);
  if (!unnamed.empty()) {
    // In the order of their numbers, not of the frame they were first met in.
    std::vector<std::string> ordered;
    for (const uint64_t index : unnamed) ordered.push_back("class " + std::to_string(index));
    maker.setClassOrder(std::move(ordered));
  }
  return true;
}

}  // namespace formats
