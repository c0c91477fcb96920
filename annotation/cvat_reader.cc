#include "annotation/cvat_reader.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <pugixml.hpp>
#include <string>
#include <vector>

namespace formats {

namespace {

class CvatReader {
 public:
  CvatReader(RecordMaker& maker, std::string_view bytes) : maker_(maker), lines_(bytes) {}

  bool read(const pugi::xml_node& root);

 private:
  uint64_t lineOf(const pugi::xml_node& node) {
    const std::ptrdiff_t offset = node.offset_debug();
    return offset < 0 ? 0 : lines_.lineAt(static_cast<std::size_t>(offset));
  }
  bool labels(const pugi::xml_node& root);
  bool track(const pugi::xml_node& track);
  bool box(const pugi::xml_node& box, const ClassMapping& mapping);
  bool decimal(const pugi::xml_node& node, uint64_t line, const char* name, Decimal* value,
               bool required = true);

  RecordMaker& maker_;
  LineCounter lines_;
};

bool CvatReader::read(const pugi::xml_node& root) {
  if (maker_.options().classMap().takesEveryLabel() && !labels(root)) return false;
  for (const pugi::xml_node& child : root.children()) {
    if (child.type() != pugi::node_element) continue;
    const std::string_view name = child.name();
    if (name == "track") {
      if (!track(child)) return false;
    } else if (name == "image") {
      return maker_.fail(lineOf(child),
                         "<image> is CVAT for images; export the task as CVAT for video 1.1");
    }
  }
  return true;
}

// The labels the task (or its project) defines are the classes, in their
// order, whether or not a track bears them.
bool CvatReader::labels(const pugi::xml_node& root) {
  const pugi::xml_node meta = root.child("meta");
  pugi::xml_node list = meta.child("task").child("labels");
  if (!list) list = meta.child("project").child("labels");
  std::vector<std::string> names;
  for (const pugi::xml_node& label : list.children("label")) {
    const std::string name = label.child_value("name");
    if (name.empty()) return maker_.fail(lineOf(label), "<label>: its <name> is empty");
    if (std::find(names.begin(), names.end(), name) != names.end()) {
      return maker_.fail(lineOf(label), "<label>: " + formats::quoted(name) + " is defined twice");
    }
    names.push_back(name);
  }
  maker_.declareClasses(names);
  return true;
}

bool CvatReader::track(const pugi::xml_node& track) {
  // Tracks of other shapes are no boxes, whatever their label.
  if (!track.child("box")) return true;
  const uint64_t line = lineOf(track);
  const pugi::xml_attribute label = track.attribute("label");
  if (!label) return maker_.fail(line, "<track>: attribute \"label\" is missing");
  bool failed = false;
  const ClassMapping* mapping = maker_.map(label.value(), line, &failed);
  if (failed) return false;
  if (mapping == nullptr) return true;  // dropped
  for (const pugi::xml_node& shape : track.children("box")) {
    if (!box(shape, *mapping)) return false;
  }
  return true;
}

bool CvatReader::decimal(const pugi::xml_node& node, uint64_t line, const char* name,
                         Decimal* value, bool required) {
  const pugi::xml_attribute attribute = node.attribute(name);
  if (!attribute) {
    if (!required) return true;
    return maker_.fail(line, "<box>: attribute \"" + std::string(name) + "\" is missing");
  }
  if (parseDecimal(attribute.value(), value)) return true;
  return maker_.failValue(line, "<box> " + std::string(name), attribute.value(),
                          " is not a number");
}

bool CvatReader::box(const pugi::xml_node& box, const ClassMapping& mapping) {
  const uint64_t line = lineOf(box);
  if (std::string_view(box.attribute("outside").value()) == "1") return true;
  Decimal frameValue;
  if (!decimal(box, line, "frame", &frameValue)) return false;
  const std::optional<uint64_t> frame = wholeValue(frameValue, UINT32_MAX);
  if (!frame) {
    return maker_.failValue(line, "<box> frame", box.attribute("frame").value(),
                            " is not a frame number (a whole number from 0 to 4294967295)");
  }
  Decimal xtl, ytl, xbr, ybr;
  Decimal rotation;  // zero unless given
  if (!decimal(box, line, "xtl", &xtl) || !decimal(box, line, "ytl", &ytl) ||
      !decimal(box, line, "xbr", &xbr) || !decimal(box, line, "ybr", &ybr) ||
      !decimal(box, line, "rotation", &rotation, false)) {
    return false;
  }
  const auto outOfRange = [&] {
    return maker_.fail(line, "<box>: a corner is not a 32-bit whole number once rounded");
  };
  AnnotationRecord record;
  record.frameNumber = static_cast<uint32_t>(*frame);
  record.type = mapping.type;
  record.markA = mapping.markA;
  record.markB = mapping.markB;
  record.confidence = 1.0f;
  record.line = line;
  const double degrees = rotation.value;
  if (degrees == 0.0) {
    const std::optional<int32_t> left = roundToInt32(xtl), top = roundToInt32(ytl),
                                 right = roundToInt32(xbr), bottom = roundToInt32(ybr);
    if (!left || !top || !right || !bottom) return outOfRange();
    record.corners = {*left, *top, *right, *top, *right, *bottom, *left, *bottom};
  } else {
    // Turned clockwise on the picture (y grows downwards) about the centre;
    // quarter turns exactly.
    double cosine = 0.0;
    double sine = 0.0;
    const double quarter = degrees / 90.0;
    if (quarter == std::floor(quarter) && std::fabs(quarter) < 1e9) {
      static constexpr double kCos[] = {1, 0, -1, 0};
      static constexpr double kSin[] = {0, 1, 0, -1};
      const auto k = static_cast<std::size_t>(((static_cast<int64_t>(quarter) % 4) + 4) % 4);
      cosine = kCos[k];
      sine = kSin[k];
    } else {
      const double radians = degrees * std::numbers::pi / 180.0;
      cosine = std::cos(radians);
      sine = std::sin(radians);
    }
    const double cx = (xtl.value + xbr.value) / 2.0;
    const double cy = (ytl.value + ybr.value) / 2.0;
    const double xs[4] = {xtl.value, xbr.value, xbr.value, xtl.value};
    const double ys[4] = {ytl.value, ytl.value, ybr.value, ybr.value};
    for (std::size_t k = 0; k < 4; ++k) {
      const double dx = xs[k] - cx;
      const double dy = ys[k] - cy;
      const std::optional<int32_t> x = roundDoubleToInt32(cx + dx * cosine - dy * sine);
      const std::optional<int32_t> y = roundDoubleToInt32(cy + dx * sine + dy * cosine);
      if (!x || !y) return outOfRange();
      record.corners[2 * k] = *x;
      record.corners[2 * k + 1] = *y;
    }
  }
  return maker_.add(record);
}

}  // namespace

bool readCvat(RecordMaker& maker) {
  std::string bytes;
  if (!maker.readWhole(bytes)) return false;
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
  LineCounter lines(bytes);
  const auto lineAt = [&](std::ptrdiff_t offset) {
    return lines.lineAt(static_cast<std::size_t>(std::max<std::ptrdiff_t>(offset, 0)));
  };
  if (!parsed) {
    return maker.fail(lineAt(parsed.offset),
                      std::string("not well-formed XML: ") + parsed.description());
  }
  const pugi::xml_node root = document.document_element();
  if (!root) return maker.fail(0, "holds no XML element: not CVAT for video 1.1");
  if (std::string_view(root.name()) != "annotations") {
    return maker.fail(lineAt(root.offset_debug()),
                      "the document is <" + std::string(root.name()) +
                          ">, not the <annotations> of CVAT for video 1.1");
  }
  return CvatReader(maker, bytes).read(root);
}

}  // namespace formats
