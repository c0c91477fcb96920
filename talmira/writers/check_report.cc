// The check report as JSON: one object per file, the pairing, the warnings.
#include "talmira/writers/check_report.h"

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

Json fileJson(const std::string& path, const FileCheck& check, bool groundTruth) {
  Json json;
  json["file"] = printable(path);
  json["records"] = check.records;
  json["frames"] = check.frames;
  json["boxes"] = check.boxes;
  Json perClass = Json::object();
  for (std::size_t k = 0; k < knownClasses.size(); ++k) {
    perClass[std::string(knownClasses[k])] = check.boxesPerClass[k];
  }
  json["boxes_per_class"] = perClass;
  json["dont_care_regions"] = check.regions;
  json["dcf_records"] = check.dcfRecords;
  json["flagged_boxes"] = check.flaggedBoxes;
  json["dropped_by_size"] = check.droppedBySize;
  Json unknown = Json::array();
  for (const ReadDetails::UnknownType& type : check.unknownTypes) {
    unknown.push_back(
        {{"type", printable(type.name)}, {"count", type.count}, {"first_line", type.firstLine}});
  }
  json["unknown_types"] = unknown;
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
