#include "talmira/writers/stability_report.h"

#include <algorithm>
#include <cstdio>

namespace talmira {

namespace {

std::string fullPrecision(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string sixDecimals(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.6f", value);
  return text;
}

std::string padded(const std::string& text, std::size_t width, bool left) {
  if (text.size() >= width) return text;
  const std::string pad(width - text.size(), ' ');
  return left ? text + pad : pad + text;
}

// The line under the table: which matching made the pairs.
std::string matchingLine(const StabilityReport& report) {
  std::string line;
  if (report.matching == "clear") {
    line = "Matching: CLEAR at IoU 0.5, as talmira track (" + report.trackRules + ")";
  } else {
    line = "Matching: talmira score's (" + rulesText(report.rules) + ")";
  }
  if (report.confidence) line += ", boxes below " + shortestText(*report.confidence) + " left out";
  return line + "\n";
}

Json offsetsJson(const tracking::StabilityFrame& frame) {
  return Json{{"frame", frame.frame},       {"e_x", frame.offsets.x},
              {"e_y", frame.offsets.y},     {"e_r", frame.offsets.ratio},
              {"e_s", frame.offsets.scale}, {"magnitude", frame.offsets.magnitude()}};
}

Json trackJson(const StabilityTrackRow& row) {
  const tracking::TrackStability& t = row.stability;
  Json json{{"identity", row.identity},
            {"frames", t.frames},
            {"matched", t.matched},
            {"changes", t.changes}};
  if (!t.used()) {
    for (const char* key : {"fragment_error", "centre_error", "sd_x", "sd_y", "scale_ratio_error",
                            "sd_ratio", "sd_scale", "sum"}) {
      json[key] = nullptr;
    }
    json["worst_frames"] = Json::array();
    return json;
  }
  json["fragment_error"] = t.fragmentError;
  json["centre_error"] = t.centreError;
  json["sd_x"] = t.sdX;
  json["sd_y"] = t.sdY;
  json["scale_ratio_error"] = t.scaleRatioError;
  json["sd_ratio"] = t.sdRatio;
  json["sd_scale"] = t.sdScale;
  json["sum"] = t.total();
  Json worst = Json::array();
  for (const tracking::StabilityFrame& frame : t.worst) worst.push_back(offsetsJson(frame));
  json["worst_frames"] = std::move(worst);
  return json;
}

}  // namespace

std::string renderStabilityText(const StabilityReport& report) {
  std::size_t nameWidth = 5;
  for (const StabilityClassRow& c : report.classes) nameWidth = std::max(nameWidth, c.name.size());
  std::string text = padded("Class", nameWidth, true) +
                     "  Tracks  LeftOut       E_F       E_C       E_R       Sum\n";
  for (const StabilityClassRow& c : report.classes) {
    const tracking::StabilitySummary& s = c.summary;
    text += padded(c.name, nameWidth, true) + padded(std::to_string(s.tracks), 8, false) +
            padded(std::to_string(s.leftOut), 9, false);
    if (s.tracks == 0) {
      for (int k = 0; k < 4; ++k) text += padded("-", 10, false);
    } else {
      for (const double value : {s.fragmentError, s.centreError, s.scaleRatioError, s.total()}) {
        text += padded(sixDecimals(value), 10, false);
      }
    }
    text += "\n";
  }
  return text + matchingLine(report);
}

std::string renderStabilityCsv(const StabilityReport& report) {
  std::string csv = kStabilityCsvHeader;
  for (const StabilityClassRow& c : report.classes) {
    for (const StabilityTrackRow& row : c.tracks) {
      const tracking::TrackStability& t = row.stability;
      csv += csvField(c.name) + "," + csvField(row.identity) + "," + std::to_string(t.frames) +
             "," + std::to_string(t.matched);
      if (t.used()) {
        for (const double value : {t.fragmentError, t.centreError, t.sdX, t.sdY, t.scaleRatioError,
                                   t.sdRatio, t.sdScale, t.total()}) {
          csv += "," + fullPrecision(value);
        }
      } else {
        csv += ",,,,,,,,";
      }
      csv += ",";
      for (std::size_t k = 0; k < t.worst.size(); ++k) {
        if (k > 0) csv += " ";
        csv += std::to_string(t.worst[k].frame);
      }
      csv += "\n";
    }
  }
  return csv;
}

Json stabilityJson(const StabilityReport& report) {
  Json classes = Json::array();
  for (const StabilityClassRow& c : report.classes) {
    const tracking::StabilitySummary& s = c.summary;
    Json row{{"class", c.name}, {"tracks", s.tracks}, {"left_out", s.leftOut}};
    if (s.tracks > 0) {
      row["fragment_error"] = s.fragmentError;
      row["centre_error"] = s.centreError;
      row["scale_ratio_error"] = s.scaleRatioError;
      row["sum"] = s.total();
    } else {
      for (const char* key : {"fragment_error", "centre_error", "scale_ratio_error", "sum"}) {
        row[key] = nullptr;
      }
    }
    Json tracks = Json::array();
    for (const StabilityTrackRow& t : c.tracks) tracks.push_back(trackJson(t));
    row["per_track"] = std::move(tracks);
    classes.push_back(std::move(row));
  }
  Json json{{"groundtruth", report.groundTruth},
            {"system", report.system},
            {"matching", report.matching}};
  if (report.matching == "clear") json["track_rules"] = report.trackRules;
  json["confidence"] = report.confidence ? jsonNumber(*report.confidence) : Json(nullptr);
  json["worst_frames_rank"] = "sqrt(e_x^2 + e_y^2 + e_r^2 + e_s^2), largest first";
  json["classes"] = std::move(classes);
  stateRules(json, report.rules);
  return json;
}

}  // namespace talmira
