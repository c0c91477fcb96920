#include "annotation/coco_images.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "annotation/json_offsets.h"
#include "annotation/sequence_reader.h"

namespace formats {

namespace {

using Json = nlohmann::json;
using precision::DetectedBox;
using precision::TruthBox;

// The fields this reader takes from an element; every other key's value is
// passed over, however deeply nested.
enum class Field : uint8_t {
  kOther,
  kId,
  kImageId,
  kCategoryId,
  kBbox,
  kArea,
  kIscrowd,
  kScore,
  kName,
  kTrack,
  kVideoId,
  kFrameId,
};

const std::unordered_map<std::string_view, Field>& fieldsByKey() {
  static const std::unordered_map<std::string_view, Field> fields = {
      {"id", Field::kId},
      {"image_id", Field::kImageId},
      {"category_id", Field::kCategoryId},
      {"bbox", Field::kBbox},
      {"area", Field::kArea},
      {"iscrowd", Field::kIscrowd},
      {"score", Field::kScore},
      {"name", Field::kName},
      {"instance_id", Field::kTrack},
      {"track_id", Field::kTrack},
      {"video_id", Field::kVideoId},
      {"frame_id", Field::kFrameId}};
  return fields;
}

Field fieldOf(std::string_view key) {
  const auto& fields = fieldsByKey();
  const auto found = fields.find(key);
  return found == fields.end() ? Field::kOther : found->second;
}

// A number as the file writes it: whole (exactly) or not.
struct Number {
  bool present = false;
  bool whole = false;
  int64_t integer = 0;
  double value = 0.0;
  bool wrongType = false;  // a text, list or object where a number belongs
};

// One element of a list, as its fields arrive.
struct Element {
  std::size_t offset = 0;
  Number id, imageId, categoryId, area, iscrowd, score, track, videoId, frameId;
  int bboxCount = 0;
  bool bboxPresent = false;
  bool bboxWrong = false;
  double bbox[4] = {0, 0, 0, 0};
  bool namePresent = false;
  bool nameWrong = false;
  std::string name;
  void clear() { *this = Element(); }
};

enum class List : uint8_t { kNone, kImages, kAnnotations, kCategories, kResults };

// Streams a COCO document and hands each element of the lists it reads to
// `take` (the list, the element); no document is built.
class CocoStream {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  using Take = std::function<bool(List, const Element&)>;

  CocoStream(const char* const& read, const char* begin, Take take)
      : read_(read), begin_(begin), take_(std::move(take)) {}

  bool topIsList() const { return topIsList_; }
  bool sawList(List list) const { return seen_[static_cast<int>(list)]; }
  // A list key whose value is not a list.
  std::string_view misplaced() const { return misplaced_; }

  bool null() {
    return scalar([](Number& n) { n.wrongType = true; }, false);
  }
  bool boolean(bool value) {
    return scalar(
        [&](Number& n) {
          n.present = true;
          n.whole = true;
          n.integer = value;
          n.value = value;
        },
        false);
  }
  bool number_integer(number_integer_t value) { return whole(value, static_cast<double>(value)); }
  bool number_unsigned(number_unsigned_t value) {
    if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return real(static_cast<double>(value));
    }
    return whole(static_cast<int64_t>(value), static_cast<double>(value));
  }
  bool number_float(number_float_t value, const string_t&) { return real(value); }
  bool string(string_t& value) {
    if (inElement() && depth_ == elementDepth_ && field_ == Field::kName) {
      element_.namePresent = true;
      element_.name = value;
      return true;
    }
    return scalar([](Number& n) { n.wrongType = true; }, true);
  }
  bool binary(binary_t&) { return true; }
  bool start_object(std::size_t) {
    if (depth_ == 0) {
      topIsList_ = false;
    } else if (list_ != List::kNone && depth_ == elementDepth_ - 1 && !inElement_) {
      // An element of a list starts: the parser has just read its '{'.
      inElement_ = true;
      element_.clear();
      element_.offset = static_cast<std::size_t>(read_ - begin_) - 1;
    } else {
      markNested();
    }
    ++depth_;
    return true;
  }
  bool key(string_t& value) {
    if (depth_ == 1 && !topIsList_) {
      pendingList_ = value == "images"        ? List::kImages
                     : value == "annotations" ? List::kAnnotations
                     : value == "categories"  ? List::kCategories
                                              : List::kNone;
      pendingKey_ = value;
    } else if (inElement() && depth_ == elementDepth_) {
      field_ = fieldOf(value);
    }
    return true;
  }
  bool end_object() {
    --depth_;
    if (inElement_ && depth_ == elementDepth_ - 1) {
      inElement_ = false;
      return take_(list_, element_);
    }
    return true;
  }
  bool start_array(std::size_t) {
    if (depth_ == 0) {
      topIsList_ = true;
      list_ = List::kResults;
      elementDepth_ = 2;
      seen_[static_cast<int>(List::kResults)] = true;
    } else if (depth_ == 1 && !topIsList_ && pendingList_ != List::kNone) {
      list_ = pendingList_;
      elementDepth_ = 3;
      seen_[static_cast<int>(list_)] = true;
    } else if (inElement() && depth_ == elementDepth_ && field_ == Field::kBbox) {
      element_.bboxPresent = true;
      inBbox_ = true;
    } else {
      markNested();
    }
    ++depth_;
    return true;
  }
  bool end_array() {
    --depth_;
    if (inBbox_ && depth_ == elementDepth_) inBbox_ = false;
    if (depth_ == 1 && !topIsList_) list_ = List::kNone;
    return true;
  }
  template <class Exception>
  bool parse_error(std::size_t position, const std::string&, const Exception& error) {
    errorOffset_ = position;
    errorText_ = error.what();
    return false;
  }

  std::size_t errorOffset_ = 0;
  std::string errorText_;

 private:
  bool inElement() const { return inElement_; }
  // A list or object inside an element: the field it stands for is wrong
  // when a number or text belongs there; a "bbox" inside a list is wrong.
  void markNested() {
    if (!inElement()) {
      if (depth_ == 1 && !topIsList_ && pendingList_ != List::kNone) misplaced_ = pendingKey_;
      return;
    }
    if (depth_ == elementDepth_) {
      if (Number* n = numberField()) n->wrongType = true;
      if (field_ == Field::kName) element_.nameWrong = true;
      if (field_ == Field::kBbox) element_.bboxWrong = true;
    } else if (inBbox_ && depth_ == elementDepth_ + 1) {
      element_.bboxWrong = true;
    }
  }
  Number* numberField() {
    switch (field_) {
      case Field::kId:
        return &element_.id;
      case Field::kImageId:
        return &element_.imageId;
      case Field::kCategoryId:
        return &element_.categoryId;
      case Field::kArea:
        return &element_.area;
      case Field::kIscrowd:
        return &element_.iscrowd;
      case Field::kScore:
        return &element_.score;
      case Field::kTrack:
        return &element_.track;
      case Field::kVideoId:
        return &element_.videoId;
      case Field::kFrameId:
        return &element_.frameId;
      default:
        return nullptr;
    }
  }
  template <class Set>
  bool scalar(const Set& set, bool isText) {
    if (!inElement()) {
      if (depth_ == 1 && !topIsList_ && pendingList_ != List::kNone) misplaced_ = pendingKey_;
      return true;
    }
    if (depth_ == elementDepth_) {
      if (Number* n = numberField()) set(*n);
      if (field_ == Field::kName && !isText) element_.nameWrong = true;
      if (field_ == Field::kBbox) element_.bboxWrong = true;
    } else if (inBbox_ && depth_ == elementDepth_ + 1) {
      element_.bboxWrong = true;  // only numbers belong in a box
    }
    return true;
  }
  bool whole(int64_t integer, double value) {
    if (inBbox_ && depth_ == elementDepth_ + 1) return boxNumber(value);
    return scalar(
        [&](Number& n) {
          n.present = true;
          n.whole = true;
          n.integer = integer;
          n.value = value;
        },
        false);
  }
  bool real(double value) {
    if (inBbox_ && depth_ == elementDepth_ + 1) return boxNumber(value);
    return scalar(
        [&](Number& n) {
          n.present = true;
          n.value = value;
          // A whole value written with a fraction (3.0) is still whole.
          if (std::nearbyint(value) == value && std::fabs(value) < 9.007199254740992e15) {
            n.whole = true;
            n.integer = static_cast<int64_t>(value);
          }
        },
        false);
  }
  bool boxNumber(double value) {
    if (element_.bboxCount < 4) element_.bbox[element_.bboxCount] = value;
    ++element_.bboxCount;
    return true;
  }

  const char* const& read_;
  const char* begin_;
  Take take_;
  std::size_t depth_ = 0;
  std::size_t elementDepth_ = 0;
  bool topIsList_ = false;
  bool inElement_ = false;
  bool inBbox_ = false;
  List list_ = List::kNone;
  List pendingList_ = List::kNone;
  std::string pendingKey_;
  std::string misplaced_;
  Field field_ = Field::kOther;
  Element element_;
  bool seen_[5] = {false, false, false, false, false};
};

// Lines of offsets that only grow, counted as they come.
class GrowingLines {
 public:
  explicit GrowingLines(std::string_view text) : text_(text) {}
  uint64_t lineAt(std::size_t offset) {
    if (offset < at_) {
      at_ = 0;
      line_ = 1;
    }
    const char* p = text_.data() + at_;
    const char* end = text_.data() + std::min(offset, text_.size());
    while (p < end) {
      const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      if (found == nullptr) break;
      ++line_;
      p = static_cast<const char*>(found) + 1;
    }
    at_ = std::min(offset, text_.size());
    return line_;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  uint64_t line_ = 1;
};

// A failure with the file's name and line, thrown out of the parse.
struct Refusal {
  std::string message;
};

// Parses `text`, handing elements to `take`; throws Refusal on malformed JSON.
void streamJson(const NamedText& input, CocoStream::Take take, CocoStream*& out,
                std::unique_ptr<CocoStream>& holder) {
  const char* read = input.text.data();
  holder = std::make_unique<CocoStream>(read, input.text.data(), std::move(take));
  out = holder.get();
  const bool parsed =
      Json::sax_parse(WatchedBytes(input.text.data(), &read),
                      WatchedBytes(input.text.data() + input.text.size(), &read), holder.get());
  if (!parsed && !holder->errorText_.empty()) {
    std::string what = holder->errorText_;
    const std::size_t column = what.find("column ");
    const std::size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
    if (colon != std::string::npos) what = what.substr(colon + 2);
    GrowingLines lines(input.text);
    const std::size_t at = holder->errorOffset_ == 0 ? 0 : holder->errorOffset_ - 1;
    throw Refusal{locatedMessage(input.name, lines.lineAt(at), "not well-formed JSON: " + what)};
  }
}

struct RawTruth {
  TruthBox box;
  int64_t image = 0, category = 0;
};

class CocoImagesReader {
 public:
  CocoImagesReader(const NamedText& truth, const NamedText& results)
      : truth_(truth), results_(results), truthLines_(truth.text), resultLines_(results.text) {}

  precision::ImageSet read();

 private:
  [[noreturn]] void refuse(const NamedText& input, GrowingLines& lines, std::size_t offset,
                           const std::string& what) {
    throw Refusal{locatedMessage(input.name, offset == SIZE_MAX ? 0 : lines.lineAt(offset), what)};
  }
  int64_t wholeField(const NamedText& input, GrowingLines& lines, const Element& e, const Number& n,
                     const char* element, const char* key) {
    if (!n.present || n.wrongType || !n.whole) {
      refuse(input, lines, e.offset,
             std::string(element) + ": \"" + key + "\" is missing or not a whole number");
    }
    return n.integer;
  }
  void box(const NamedText& input, GrowingLines& lines, const Element& e, const char* element,
           double out[4]) {
    if (!e.bboxPresent || e.bboxWrong || e.bboxCount != 4) {
      refuse(input, lines, e.offset,
             std::string(element) + ": \"bbox\" is not a list of 4 numbers [x, y, width, height]");
    }
    if (e.bbox[2] < 0 || e.bbox[3] < 0) {
      refuse(input, lines, e.offset,
             std::string(element) + ": \"bbox\" has a negative width or height");
    }
    std::copy(e.bbox, e.bbox + 4, out);
  }
  bool takeTruth(List list, const Element& e);
  bool takeResult(const Element& e, precision::ImageSetBuilder& builder);

  NamedText truth_, results_;
  GrowingLines truthLines_, resultLines_;
  std::vector<int64_t> imageIds_;
  // Per image read: its video and frame, when it gives both.
  std::vector<std::optional<std::pair<int64_t, int64_t>>> imageOrigins_;
  bool anyOrigin_ = false;
  std::vector<std::pair<int64_t, std::string>> categories_;
  std::vector<RawTruth> raw_;
  std::unordered_map<int64_t, uint32_t> imageIndex_, categoryIndex_;
  std::size_t resultsDropped_ = 0;
  std::size_t zeroIds_ = 0;
};

bool CocoImagesReader::takeTruth(List list, const Element& e) {
  GrowingLines& lines = truthLines_;
  switch (list) {
    case List::kImages: {
      imageIds_.push_back(wholeField(truth_, lines, e, e.id, "image", "id"));
      if (e.videoId.present && e.videoId.whole && e.frameId.present && e.frameId.whole) {
        anyOrigin_ = true;
        imageOrigins_.emplace_back(std::pair{e.videoId.integer, e.frameId.integer});
      } else {
        imageOrigins_.emplace_back();
      }
      return true;
    }
    case List::kCategories: {
      const int64_t id = wholeField(truth_, lines, e, e.id, "category", "id");
      if (!e.namePresent || e.nameWrong) {
        refuse(truth_, lines, e.offset, "category: \"name\" is missing or not a text");
      }
      categories_.emplace_back(id, e.name);
      return true;
    }
    case List::kAnnotations: {
      RawTruth raw;
      raw.box.id = wholeField(truth_, lines, e, e.id, "annotation", "id");
      raw.image = wholeField(truth_, lines, e, e.imageId, "annotation", "image_id");
      raw.category = wholeField(truth_, lines, e, e.categoryId, "annotation", "category_id");
      double b[4];
      box(truth_, lines, e, "annotation", b);
      raw.box.x = b[0];
      raw.box.y = b[1];
      raw.box.width = b[2];
      raw.box.height = b[3];
      if (!e.iscrowd.present || e.iscrowd.wrongType || !e.iscrowd.whole ||
          (e.iscrowd.integer != 0 && e.iscrowd.integer != 1)) {
        refuse(truth_, lines, e.offset,
               "annotation: \"iscrowd\" is missing or none of 0, 1, true, false");
      }
      raw.box.crowd = e.iscrowd.integer == 1;
      if (e.area.present && !e.area.wrongType) {
        raw.box.area = e.area.value;
      } else if (!raw.box.crowd || e.area.wrongType) {
        refuse(truth_, lines, e.offset, "annotation: \"area\" is missing or not a number");
      } else {
        raw.box.area = std::numeric_limits<double>::quiet_NaN();  // a crowd's is never read
      }
      if (e.track.present) {
        if (e.track.wrongType || !e.track.whole) {
          refuse(truth_, lines, e.offset, "annotation: the track's id is not a whole number");
        }
        raw.box.track = e.track.integer;
      }
      raw.box.line = lines.lineAt(e.offset);
      zeroIds_ += raw.box.id == 0;
      raw_.push_back(raw);
      return true;
    }
    default:
      return true;
  }
}

bool CocoImagesReader::takeResult(const Element& e, precision::ImageSetBuilder& builder) {
  GrowingLines& lines = resultLines_;
  const int64_t image = wholeField(results_, lines, e, e.imageId, "result", "image_id");
  const int64_t category = wholeField(results_, lines, e, e.categoryId, "result", "category_id");
  double b[4];
  box(results_, lines, e, "result", b);
  if (!e.score.present || e.score.wrongType) {
    refuse(results_, lines, e.offset, "result: \"score\" is missing or not a number");
  }
  const auto foundImage = imageIndex_.find(image);
  if (foundImage == imageIndex_.end()) {
    refuse(results_, lines, e.offset,
           "result: \"image_id\" " + std::to_string(image) + " is no image of the ground truth");
  }
  const auto foundCategory = categoryIndex_.find(category);
  if (foundCategory == categoryIndex_.end()) {
    ++resultsDropped_;
    return true;
  }
  DetectedBox d;
  d.x = b[0];
  d.y = b[1];
  d.width = b[2];
  d.height = b[3];
  d.score = e.score.value;
  d.line = lines.lineAt(e.offset);
  builder.addDetection(foundCategory->second, foundImage->second, d);
  return true;
}

precision::ImageSet CocoImagesReader::read() {
  CocoStream* stream = nullptr;
  std::unique_ptr<CocoStream> holder;
  streamJson(
      truth_, [this](List list, const Element& e) { return takeTruth(list, e); }, stream, holder);
  if (stream->topIsList()) {
    throw Refusal{locatedMessage(truth_.name, 0,
                                 "is a results list, not a COCO ground truth (a JSON object)")};
  }
  if (!stream->misplaced().empty()) {
    throw Refusal{locatedMessage(truth_.name, 0,
                                 "\"" + std::string(stream->misplaced()) + "\" is not a list")};
  }
  for (const auto& [list, name] :
       {std::pair{List::kImages, "images"}, std::pair{List::kAnnotations, "annotations"},
        std::pair{List::kCategories, "categories"}}) {
    if (!stream->sawList(list)) {
      throw Refusal{locatedMessage(
          truth_.name, 0, std::string("has no \"") + name + "\" list: not a COCO ground truth")};
    }
  }
  // Images and categories in ascending id.
  std::vector<uint32_t> imageOrder(imageIds_.size());
  for (uint32_t k = 0; k < imageOrder.size(); ++k) imageOrder[k] = k;
  std::sort(imageOrder.begin(), imageOrder.end(),
            [&](uint32_t a, uint32_t b) { return imageIds_[a] < imageIds_[b]; });
  std::vector<int64_t> images;
  images.reserve(imageIds_.size());
  for (const uint32_t k : imageOrder) {
    if (!images.empty() && images.back() == imageIds_[k]) {
      throw Refusal{locatedMessage(
          truth_.name, 0, "image: \"id\" " + std::to_string(imageIds_[k]) + " is used twice")};
    }
    images.push_back(imageIds_[k]);
  }
  std::sort(categories_.begin(), categories_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<int64_t> categoryIds;
  std::vector<std::string> names;
  for (auto& [id, name] : categories_) {
    if (!categoryIds.empty() && categoryIds.back() == id) {
      throw Refusal{locatedMessage(truth_.name, 0,
                                   "category: \"id\" " + std::to_string(id) + " is used twice")};
    }
    categoryIds.push_back(id);
    names.push_back(std::move(name));
  }
  for (uint32_t k = 0; k < images.size(); ++k) imageIndex_.emplace(images[k], k);
  for (uint32_t k = 0; k < categoryIds.size(); ++k) categoryIndex_.emplace(categoryIds[k], k);
  precision::ImageSetBuilder builder(images, categoryIds, names);
  if (anyOrigin_) {
    // Videos numbered in the order of their ids; an image that names no
    // video and frame is a sequence of its own, next to no other image.
    std::vector<int64_t> videos;
    for (const auto& origin : imageOrigins_) {
      if (origin) videos.push_back(origin->first);
    }
    std::sort(videos.begin(), videos.end());
    videos.erase(std::unique(videos.begin(), videos.end()), videos.end());
    uint32_t alone = static_cast<uint32_t>(videos.size());
    for (uint32_t k = 0; k < images.size(); ++k) {
      const auto& origin = imageOrigins_[imageOrder[k]];
      if (origin) {
        const auto video = std::lower_bound(videos.begin(), videos.end(), origin->first);
        builder.setImageOrigin(k, static_cast<uint32_t>(video - videos.begin()), origin->second);
      } else {
        builder.setImageOrigin(k, alone++, 0);
      }
    }
  }
  std::size_t offImage = 0, offCategory = 0;
  std::unordered_set<int64_t> ids;
  std::size_t repeatedIds = 0;
  for (const RawTruth& raw : raw_) {
    const auto image = imageIndex_.find(raw.image);
    const auto category = categoryIndex_.find(raw.category);
    if (image == imageIndex_.end()) {
      ++offImage;
      continue;
    }
    if (category == categoryIndex_.end()) {
      ++offCategory;
      continue;
    }
    repeatedIds += !ids.insert(raw.box.id).second;
    builder.addTruth(category->second, image->second, raw.box);
  }
  raw_.clear();
  auto counted = [](std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  if (offImage > 0) {
    builder.warn(std::string(truth_.name) + ": " +
                 counted(offImage, "annotation is", "annotations are") +
                 " on images the \"images\" list does not hold: left out");
  }
  if (offCategory > 0) {
    builder.warn(std::string(truth_.name) + ": " +
                 counted(offCategory, "annotation is", "annotations are") +
                 " of categories the \"categories\" list does not hold: left out");
  }
  if (zeroIds_ > 0) {
    builder.warn(std::string(truth_.name) + ": " +
                 counted(zeroIds_, "annotation has", "annotations have") +
                 " the id 0, which pycocotools never counts as matched; matched here like any "
                 "other");
  }
  if (repeatedIds > 0) {
    builder.warn(std::string(truth_.name) + ": " +
                 counted(repeatedIds, "annotation repeats", "annotations repeat") +
                 " an earlier one's id (pycocotools would take each such id for the last "
                 "annotation that has it); each is scored as its own box here");
  }

  CocoStream* resultStream = nullptr;
  std::unique_ptr<CocoStream> resultHolder;
  streamJson(
      results_,
      [&](List list, const Element& e) {
        return list == List::kResults ? takeResult(e, builder) : true;
      },
      resultStream, resultHolder);
  if (!resultStream->topIsList()) {
    throw Refusal{locatedMessage(
        results_.name, 0, "is not a COCO results list ([{\"image_id\", \"category_id\", ...}])")};
  }
  if (resultsDropped_ > 0) {
    builder.warn(std::string(results_.name) + ": " +
                 counted(resultsDropped_, "result is", "results are") +
                 " of categories the ground truth does not hold: left out");
  }
  precision::ImageSet set = std::move(builder).build();
  if (set.detections.empty()) {
    set.warnings.push_back(std::string(results_.name) +
                           ": holds no detections: every precision and recall is 0 "
                           "where there is ground truth");
  }
  return set;
}

bool readWholeFile(const std::string& path, std::string& bytes, std::string& failure) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    failure = locatedMessage(path, 0, std::string("cannot be opened: ") + std::strerror(errno));
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) {
    failure = locatedMessage(path, 0, "cannot be read");
    return false;
  }
  bytes = std::move(all).str();
  return true;
}

}  // namespace

std::vector<std::string_view> cocoElementKeys() {
  std::vector<std::string_view> keys;
  for (const auto& [key, field] : fieldsByKey()) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::optional<precision::ImageSet> readCocoImages(const NamedText& truth, const NamedText& results,
                                                  std::string& failure) {
  try {
    return CocoImagesReader(truth, results).read();
  } catch (const Refusal& refusal) {
    failure = refusal.message;
    return std::nullopt;
  }
}

std::optional<precision::ImageSet> readCocoImageFiles(const std::string& truthPath,
                                                      const std::string& resultsPath,
                                                      std::string& failure) {
  std::string truth, results;
  if (!readWholeFile(truthPath, truth, failure) || !readWholeFile(resultsPath, results, failure)) {
    return std::nullopt;
  }
  return readCocoImages({truthPath, truth}, {resultsPath, results}, failure);
}

}  // namespace formats
