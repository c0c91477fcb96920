#include "annotation/coco_reader.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "annotation/json_offsets.h"

namespace formats {

namespace {

using Json = nlohmann::json;

// A parsed document and the lines where the elements of its lists start:
// those of the top-level list, or of the lists under the top-level keys.
struct ParsedJson {
  Json value;
  std::map<std::string, std::vector<uint64_t>, std::less<>> lines;  // "" for a top-level list
};

// Builds the document with the library's own builder and notes, as it goes,
// where the objects of the lists start. (The library's parser with a
// callback, which could tell the same, searches a list for discarded
// elements each time one of its objects ends: a list of n annotations took
// time in n squared.)
class LocatingBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  LocatingBuilder(Json& result, const char* const& read, const char* begin)
      : builder_(result, true), read_(read), begin_(begin) {}

  bool null() { return builder_.null(); }
  bool boolean(bool value) { return builder_.boolean(value); }
  bool number_integer(number_integer_t value) { return builder_.number_integer(value); }
  bool number_unsigned(number_unsigned_t value) { return builder_.number_unsigned(value); }
  bool number_float(number_float_t value, const string_t& text) {
    return builder_.number_float(value, text);
  }
  bool string(string_t& value) { return builder_.string(value); }
  bool binary(binary_t& value) { return builder_.binary(value); }
  bool start_object(std::size_t elements) {
    // The parser has just read the object's '{'.
    const auto offset = static_cast<std::size_t>(read_ - begin_) - 1;
    if (topIsList_ && depth_ == 1) offsets[""].push_back(offset);
    if (!topIsList_ && depth_ == 2) offsets[key_].push_back(offset);
    ++depth_;
    return builder_.start_object(elements);
  }
  bool key(string_t& value) {
    if (depth_ == 1) key_ = value;
    return builder_.key(value);
  }
  bool end_object() {
    --depth_;
    return builder_.end_object();
  }
  bool start_array(std::size_t elements) {
    if (depth_ == 0) topIsList_ = true;
    ++depth_;
    return builder_.start_array(elements);
  }
  bool end_array() {
    --depth_;
    return builder_.end_array();
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& error) {
    return builder_.parse_error(position, token, error);
  }

  std::map<std::string, std::vector<std::size_t>, std::less<>> offsets;

 private:
  nlohmann::detail::json_sax_dom_parser<Json> builder_;
  const char* const& read_;
  const char* begin_;
  std::size_t depth_ = 0;
  bool topIsList_ = false;
  std::string key_;
};

bool parseJson(RecordMaker& maker, const std::string& bytes, ParsedJson& parsed) {
  const char* read = bytes.data();
  LocatingBuilder builder(parsed.value, read, bytes.data());
  try {
    Json::sax_parse(WatchedBytes(bytes.data(), &read),
                    WatchedBytes(bytes.data() + bytes.size(), &read), &builder);
  } catch (const Json::parse_error& e) {
    LineCounter lines(bytes);
    std::string what = e.what();
    // "[json.exception.parse_error.101] parse error at line 1, column 5: what"
    const std::size_t column = what.find("column ");
    const std::size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
    if (colon != std::string::npos) what = what.substr(colon + 2);
    return maker.fail(lines.lineAt(e.byte == 0 ? 0 : e.byte - 1), "not well-formed JSON: " + what);
  }
  for (auto& [name, list] : builder.offsets) {
    LineCounter lines(bytes);
    std::vector<uint64_t>& out = parsed.lines[name];
    out.reserve(list.size());
    for (const std::size_t offset : list) out.push_back(lines.lineAt(offset));
  }
  return true;
}

// The images and categories that annotations refer to.
struct Catalogue {
  std::unordered_map<int64_t, uint32_t> frameOfImage;
  std::unordered_map<int64_t, std::string> nameOfCategory;
};

class CocoReader {
 public:
  explicit CocoReader(RecordMaker& maker) : maker_(maker) {}

  bool read();

 private:
  static uint64_t lineOf(const ParsedJson& parsed, std::string_view list, std::size_t k) {
    const auto found = parsed.lines.find(list);
    return found != parsed.lines.end() && k < found->second.size() ? found->second[k] : 0;
  }
  bool catalogue(const ParsedJson& parsed);
  bool annotation(const Json& element, uint64_t line);
  bool wrong(uint64_t line, std::string_view element, std::string_view key, std::string_view what) {
    return maker_.fail(
        line, std::string(element) + ": \"" + std::string(key) + "\" " + std::string(what));
  }

  RecordMaker& maker_;
  Catalogue catalogue_;
};

std::optional<int64_t> wholeOf(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  return std::nullopt;
}

bool CocoReader::catalogue(const ParsedJson& parsed) {
  const Json& top = parsed.value;
  const auto images = top.find("images");
  if (images == top.end() || !images->is_array()) {
    return maker_.fail(0, "has no \"images\" list: not a COCO ground truth");
  }
  std::optional<int64_t> video;
  for (std::size_t k = 0; k < images->size(); ++k) {
    const Json& image = (*images)[k];
    const uint64_t line = lineOf(parsed, "images", k);
    if (!image.is_object()) return maker_.fail(line, "an image is not an object");
    const auto id = image.find("id");
    const std::optional<int64_t> identifier = id == image.end() ? std::nullopt : wholeOf(*id);
    if (!identifier) return wrong(line, "image", "id", "is missing or not a whole number");
    std::optional<uint64_t> frame;
    if (const auto frameId = image.find("frame_id"); frameId != image.end()) {
      const std::optional<int64_t> value = wholeOf(*frameId);
      if (!value || *value < 0 || *value > static_cast<int64_t>(UINT32_MAX)) {
        return wrong(line, "image", "frame_id", "is not a frame number (0 to 4294967295)");
      }
      frame = static_cast<uint64_t>(*value);
    } else {
      const auto name = image.find("file_name");
      if (name == image.end() || !name->is_string()) {
        return wrong(line, "image", "file_name",
                     "is missing, and without \"frame_id\" it is what gives the frame");
      }
      const std::string& text = name->get_ref<const std::string&>();
      const std::size_t slash = text.find_last_of('/');
      const std::optional<uint32_t> digits =
          lastDigitsOf(slash == std::string::npos ? text : text.substr(slash + 1));
      if (!digits) {
        return maker_.failValue(line, "image \"file_name\"", text,
                                " holds no frame number (a run of digits)");
      }
      frame = *digits;
    }
    if (const auto videoId = image.find("video_id"); videoId != image.end()) {
      const std::optional<int64_t> value = wholeOf(*videoId);
      if (!value) return wrong(line, "image", "video_id", "is not a whole number");
      if (video && *video != *value) {
        return maker_.fail(line, "image: \"video_id\" " + std::to_string(*value) +
                                     " is another video than " + std::to_string(*video) +
                                     "'s: a sequence is one video");
      }
      video = value;
    }
    if (!catalogue_.frameOfImage.emplace(*identifier, static_cast<uint32_t>(*frame)).second) {
      return maker_.fail(line, "image: \"id\" " + std::to_string(*identifier) + " is used twice");
    }
  }
  const auto categories = top.find("categories");
  if (categories == top.end() || !categories->is_array()) {
    return maker_.fail(0, "has no \"categories\" list: not a COCO ground truth");
  }
  std::unordered_map<std::string, int64_t> names;
  for (std::size_t k = 0; k < categories->size(); ++k) {
    const Json& category = (*categories)[k];
    const uint64_t line = lineOf(parsed, "categories", k);
    if (!category.is_object()) return maker_.fail(line, "a category is not an object");
    const auto id = category.find("id");
    const std::optional<int64_t> identifier = id == category.end() ? std::nullopt : wholeOf(*id);
    if (!identifier) return wrong(line, "category", "id", "is missing or not a whole number");
    const auto name = category.find("name");
    if (name == category.end() || !name->is_string()) {
      return wrong(line, "category", "name", "is missing or not a text");
    }
    std::string text = name->get<std::string>();
    const std::string where = "categories[" + std::to_string(k) + "]: ";
    if (text.empty()) return maker_.fail(line, where + "the \"name\" is empty");
    if (!catalogue_.nameOfCategory.emplace(*identifier, text).second) {
      return maker_.fail(line, where + "\"id\" " + std::to_string(*identifier) +
                                   " is used by an earlier category");
    }
    if (!names.emplace(std::move(text), *identifier).second) {
      return maker_.fail(line, where + "the \"name\" " + formats::quoted(name->get<std::string>()) +
                                   " is an earlier category's");
    }
  }
  // The classes, in the order of their ids.
  std::vector<std::pair<int64_t, std::string>> byId;
  byId.reserve(names.size());
  for (const auto& [text, identifier] : names) byId.emplace_back(identifier, text);
  std::sort(byId.begin(), byId.end());
  std::vector<std::string> ordered;
  ordered.reserve(byId.size());
  for (auto& entry : byId) ordered.push_back(std::move(entry.second));
  maker_.declareClasses(ordered);
  return true;
}

bool CocoReader::annotation(const Json& element, uint64_t line) {
  if (!element.is_object()) return maker_.fail(line, "an annotation is not an object");
  const auto imageId = element.find("image_id");
  const std::optional<int64_t> image = imageId == element.end() ? std::nullopt : wholeOf(*imageId);
  if (!image) return wrong(line, "annotation", "image_id", "is missing or not a whole number");
  const auto frame = catalogue_.frameOfImage.find(*image);
  if (frame == catalogue_.frameOfImage.end()) {
    return maker_.fail(line, "annotation: \"image_id\" " + std::to_string(*image) +
                                 " is no image of the ground truth");
  }
  const auto categoryId = element.find("category_id");
  const std::optional<int64_t> category =
      categoryId == element.end() ? std::nullopt : wholeOf(*categoryId);
  if (!category)
    return wrong(line, "annotation", "category_id", "is missing or not a whole number");
  const auto name = catalogue_.nameOfCategory.find(*category);
  if (name == catalogue_.nameOfCategory.end()) {
    return maker_.fail(line, "annotation: \"category_id\" " + std::to_string(*category) +
                                 " is no category of the ground truth");
  }
  const auto bbox = element.find("bbox");
  if (bbox == element.end() || !bbox->is_array() || bbox->size() != 4 ||
      !std::all_of(bbox->begin(), bbox->end(), [](const Json& v) { return v.is_number(); })) {
    return wrong(line, "annotation", "bbox", "is not a list of 4 numbers [x, y, width, height]");
  }
  const Decimal x = decimalOf((*bbox)[0].get<double>());
  const Decimal y = decimalOf((*bbox)[1].get<double>());
  const Decimal width = decimalOf((*bbox)[2].get<double>());
  const Decimal height = decimalOf((*bbox)[3].get<double>());
  const std::optional<int32_t> left = roundToInt32(x), top = roundToInt32(y),
                               right = roundSumToInt32(x, width),
                               bottom = roundSumToInt32(y, height);
  if (!left || !top || !right || !bottom) {
    return maker_.fail(line,
                       "annotation: \"bbox\": the box's edges are not all 32-bit whole "
                       "numbers once rounded");
  }
  float confidence = 1.0f;
  if (const auto score = element.find("score"); score != element.end()) {
    if (!score->is_number()) return wrong(line, "annotation", "score", "is not a number");
    confidence = static_cast<float>(score->get<double>());
  }
  bool crowd = false;
  if (const auto iscrowd = element.find("iscrowd"); iscrowd != element.end()) {
    if (iscrowd->is_boolean()) {
      crowd = iscrowd->get<bool>();
    } else if (const std::optional<int64_t> value = wholeOf(*iscrowd);
               value && (*value == 0 || *value == 1)) {
      crowd = *value == 1;
    } else {
      return wrong(line, "annotation", "iscrowd", "is none of 0, 1, true, false");
    }
  }
  static const ClassMapping kRegion{"DCR"};
  const ClassMapping* mapping = &kRegion;
  if (!crowd) {
    bool failed = false;
    mapping = maker_.map(name->second, line, &failed);
    if (failed) return false;
    if (mapping == nullptr) return true;  // dropped
  }
  return maker_.addBox(frame->second, *left, *top, *right, *bottom, *mapping, false, confidence,
                       line);
}

bool CocoReader::read() {
  std::string bytes;
  if (!maker_.readWhole(bytes)) return false;
  ParsedJson parsed;
  if (!parseJson(maker_, bytes, parsed)) return false;
  const std::string input = maker_.path();
  const Json* annotations = nullptr;
  std::string_view list;
  ParsedJson truth;
  if (parsed.value.is_array()) {
    // A results list: the images and categories are the ground truth's.
    const std::string& imagesFrom = maker_.options().imagesFrom;
    if (imagesFrom.empty()) {
      return maker_.fail(0,
                         "is a COCO results list: give the ground truth whose images it names "
                         "(--images-from GT.json)");
    }
    maker_.renameInput(imagesFrom);
    std::string truthBytes;
    if (!maker_.readWhole(truthBytes) || !parseJson(maker_, truthBytes, truth) ||
        !truth.value.is_object() || !catalogue(truth)) {
      if (!truth.value.is_null() && !truth.value.is_object()) {
        maker_.fail(0, "is not a COCO ground truth (a JSON object)");
      }
      return false;
    }
    maker_.renameInput(input);
    annotations = &parsed.value;
  } else if (parsed.value.is_object()) {
    if (!catalogue(parsed)) return false;
    const auto found = parsed.value.find("annotations");
    if (found == parsed.value.end() || !found->is_array()) {
      return maker_.fail(0, "has no \"annotations\" list: not a COCO ground truth");
    }
    annotations = &*found;
    list = "annotations";
  } else {
    return maker_.fail(0, "is neither a COCO ground truth (an object) nor a results list");
  }
  maker_.records().reserve(annotations->size());
  for (std::size_t k = 0; k < annotations->size(); ++k) {
    if (!annotation((*annotations)[k], lineOf(parsed, list, k))) return false;
  }
  return true;
}

}  // namespace

bool readCoco(RecordMaker& maker) { return CocoReader(maker).read(); }

}  // namespace formats
