// The check report as JSON: one object per file, the pairing, the warnings.
#include "talmira/writers/check_report.h"

#include <cstdint>
#include <cstdio>

namespace talmira {

std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7e || c == '\\') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

// The length of the UTF-8 sequence at the start of `text` when it encodes a
// character that is no control character (C0, DEL or C1), otherwise 0.
std::size_t printableSequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return lead >= 0x20 && lead != 0x7f ? 1 : 0;
  std::size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3Fu);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool control = code <= 0x9F;
  return overlong || surrogate || control || code > 0x10FFFF ? 0 : length;
}

}  // namespace

std::string printableName(std::string_view name) {
  std::string out;
  while (!name.empty()) {
    const std::size_t length = name.front() == '\\' ? 0 : printableSequenceLength(name);
    if (length == 0) {
      out += printable(name.substr(0, 1));
      name.remove_prefix(1);
    } else {
      out.append(name.substr(0, length));
      name.remove_prefix(length);
    }
  }
  return out;
}

namespace {

// A class name as a JSON key: as the dataset gives it when that is UTF-8
// (JSON escapes what needs it) with no C1 control in it, otherwise as
// printableName() shows it.
std::string nameKey(std::string_view name) {
  for (std::string_view rest = name; !rest.empty();) {
    const auto lead = static_cast<unsigned char>(rest.front());
    const std::size_t length = lead < 0x80 ? 1 : printableSequenceLength(rest);
    if (length == 0) return printableName(name);
    rest.remove_prefix(length);
  }
  return std::string(name);
}

Json fileJson(const std::string& path, const FileCheck& check, bool groundTruth) {
  Json json;
  json["file"] = printable(path);
  json["records"] = check.records;
  json["frames"] = check.frames;
  json["boxes"] = check.boxes;
  Json perClass = Json::object();
  const std::vector<std::string>& names = check.classes->names();
  for (std::size_t k = 0; k < names.size(); ++k) {
    perClass[nameKey(names[k])] = check.boxesPerClass[k];
  }
  json["boxes_per_class"] = perClass;
  json["dont_care_regions"] = check.regions;
  json["dcf_records"] = check.dcfRecords;
  json["flagged_boxes"] = check.flaggedBoxes;
  json["dropped_by_size"] = check.droppedBySize;
  json["negative_extent_lines"] = check.negativeExtentLines;
  Json unknown = Json::array();
  for (const ReadDetails::UnknownType& type : check.unknownTypes) {
    unknown.push_back(
        {{"type", printable(type.name)}, {"count", type.count}, {"first_line", type.firstLine}});
  }
  json["unknown_types"] = unknown;
  if (check.scoresMayBeAbsent) json["boxes_without_score"] = check.boxesWithoutScore;
  json["confidence_min"] = check.confidenceMin ? jsonNumber(*check.confidenceMin) : Json(nullptr);
  json["confidence_max"] = check.confidenceMax ? jsonNumber(*check.confidenceMax) : Json(nullptr);
  json["confidences_outside_0_to_1"] = check.confidencesOutside01;
  Json repeated = Json::array();
  for (const RepeatedFrameNumber& frame : check.repeatedFrameNumbers) {
    repeated.push_back({{"frame", frame.frame},
                        {"runs", frame.runs},
                        {"first_line", frame.firstLine},
                        {"second_line", frame.secondLine}});
  }
  json["repeated_frame_numbers"] = repeated;
  json["header_reads_as_a_record"] = check.headerReadsAsRecord;
  if (groundTruth) json["boxes_below_confidence_1"] = check.boxesBelowFullConfidence;
  return json;
}

}  // namespace

Json checkReportJson(const std::string& groundTruthName, const std::string& systemName,
                     const CheckReport& report) {
  Json json;
  json["groundtruth"] = fileJson(groundTruthName, report.groundTruth, true);
  if (report.system) json["system"] = fileJson(systemName, *report.system, false);
  if (report.pairing) {
    const PairingCheck& pairing = *report.pairing;
    json["groundtruth_frames_without_system"] = pairing.groundTruthFramesWithoutSystem;
    json["unpaired_system_frames"] = pairing.unpairedSystemFrames;
    json["unpaired_system_boxes"] = pairing.unpairedSystemBoxes;
    json["frame_offset_hint"] =
        pairing.frameOffsetHint == 0 ? Json(nullptr) : Json(pairing.frameOffsetHint);
  }
  Json warnings = Json::array();
  for (const std::string& warning : report.warnings) warnings.push_back(printable(warning));
  json["warnings"] = warnings;
  return json;
}

}  // namespace talmira
