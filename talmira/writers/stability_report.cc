#include "talmira/writers/stability_report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <future>
#include <string_view>

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

namespace {

// What dump() writes of a string (ensure_ascii off, bad UTF-8 replaced):
// the text itself between quotes when nothing in it needs escaping.
void appendString(std::string& text, const std::string& value) {
  const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\';
  });
  if (!plain) {
    text += Json(value).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  text += '"';
  text += value;
  text += '"';
}

// What dump() writes of a double: its shortest digits by the library's own
// conversion, null for what JSON has no number for.
void appendNumber(std::string& text, double value) {
  if (!std::isfinite(value)) {
    text += "null";
    return;
  }
  std::array<char, 64> digits;
  const char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), value);
  text.append(digits.data(), static_cast<std::size_t>(end - digits.data()));
}

void appendMember(std::string& text, std::string_view indent, std::string_view key) {
  text += indent;
  text += '"';
  text += key;
  text += "\": ";
}

// trackJson(row) as dump(2) writes it an element of "per_track": its lines
// at depth 4 (8 spaces) and below.
void appendTrack(const StabilityTrackRow& row, std::string& text) {
  constexpr std::string_view kMember = "          ";
  constexpr std::string_view kOffsetMember = "              ";
  const tracking::TrackStability& t = row.stability;
  text += "        {\n";
  appendMember(text, kMember, "identity");
  appendString(text, row.identity);
  for (const auto& [key, value] : {std::pair<std::string_view, int64_t>{"frames", t.frames},
                                   {"matched", t.matched},
                                   {"changes", t.changes}}) {
    text += ",\n";
    appendMember(text, kMember, key);
    text += std::to_string(value);
  }
  const std::array<std::pair<std::string_view, double>, 8> errors = {{
      {"fragment_error", t.fragmentError},
      {"centre_error", t.centreError},
      {"sd_x", t.sdX},
      {"sd_y", t.sdY},
      {"scale_ratio_error", t.scaleRatioError},
      {"sd_ratio", t.sdRatio},
      {"sd_scale", t.sdScale},
      {"sum", t.total()},
  }};
  for (const auto& [key, value] : errors) {
    text += ",\n";
    appendMember(text, kMember, key);
    if (t.used()) {
      appendNumber(text, value);
    } else {
      text += "null";
    }
  }
  text += ",\n";
  appendMember(text, kMember, "worst_frames");
  if (!t.used() || t.worst.empty()) {
    text += "[]\n        }";
    return;
  }
  text += "[\n";
  for (std::size_t k = 0; k < t.worst.size(); ++k) {
    const tracking::StabilityFrame& frame = t.worst[k];
    text += "            {\n";
    appendMember(text, kOffsetMember, "frame");
    text += std::to_string(frame.frame);
    const std::array<std::pair<std::string_view, double>, 5> offsets = {{
        {"e_x", frame.offsets.x},
        {"e_y", frame.offsets.y},
        {"e_r", frame.offsets.ratio},
        {"e_s", frame.offsets.scale},
        {"magnitude", frame.offsets.magnitude()},
    }};
    for (const auto& [key, value] : offsets) {
      text += ",\n";
      appendMember(text, kOffsetMember, key);
      appendNumber(text, value);
    }
    text += k + 1 < t.worst.size() ? "\n            },\n" : "\n            }\n";
  }
  text += "          ]\n        }";
}

// Appends the text of tracks [from, to) of a class as elements of "per_track"
// in jsonText()'s document, a comma after each but the class's last.
void appendTracks(const std::vector<StabilityTrackRow>& tracks, std::size_t from, std::size_t to,
                  std::string& text) {
  for (std::size_t k = from; k < to; ++k) {
    appendTrack(tracks[k], text);
    if (k + 1 < tracks.size()) text += ",\n";
  }
}

// Tracks made into text at once.
constexpr std::size_t kTracksAtOnce = 2048;

// Hands `sink` a class's "per_track" array, a few thousand tracks at a
// time, the next ones made on a thread of their own while these are
// written.
void writePerTrack(const std::vector<StabilityTrackRow>& tracks, const OutputSink& sink) {
  if (tracks.empty()) {
    sink("[]");
    return;
  }
  const auto make = [&tracks](std::size_t from) {
    std::string text;
    appendTracks(tracks, from, std::min(tracks.size(), from + kTracksAtOnce), text);
    return text;
  };
  sink("[\n");
  std::future<std::string> next = std::async(std::launch::async, make, 0);
  for (std::size_t from = 0; from < tracks.size(); from += kTracksAtOnce) {
    const std::string text = next.get();
    if (from + kTracksAtOnce < tracks.size()) {
      next = std::async(std::launch::async, make, from + kTracksAtOnce);
    }
    sink(text);
  }
  sink("\n      ]");
}

}  // namespace

void writeStabilityJson(const StabilityReport& report, const OutputSink& sink) {
  // The document with a marker for each class's tracks, each marker then
  // replaced by the tracks' text.
  StabilityReport outline;
  outline.groundTruth = report.groundTruth;
  outline.system = report.system;
  outline.matching = report.matching;
  outline.trackRules = report.trackRules;
  outline.confidence = report.confidence;
  outline.rules = report.rules;
  for (const StabilityClassRow& c : report.classes) {
    StabilityClassRow row;
    row.name = c.name;
    row.summary = c.summary;
    outline.classes.push_back(std::move(row));
  }
  Json json = stabilityJson(outline);
  for (std::size_t k = 0; k < report.classes.size(); ++k) {
    json["classes"][k]["per_track"] = "\x01per_track " + std::to_string(k);
  }
  const std::string text = jsonText(json);
  // Where each marker is written; a name written as one (which only a name
  // with that control character in it could be) leaves it to the document.
  std::vector<std::size_t> places;
  std::vector<std::size_t> lengths;
  for (std::size_t k = 0; k < report.classes.size(); ++k) {
    const std::string written = "\"per_track\": \"\\u0001per_track " + std::to_string(k) + "\"";
    const std::size_t found = text.find(written, places.empty() ? 0 : places.back());
    if (found == std::string::npos || text.find(written, found + 1) != std::string::npos) {
      sink(jsonText(stabilityJson(report)));
      return;
    }
    places.push_back(found);
    lengths.push_back(written.size());
  }
  std::size_t at = 0;
  for (std::size_t k = 0; k < places.size(); ++k) {
    sink(std::string_view(text).substr(at, places[k] - at));
    sink("\"per_track\": ");
    writePerTrack(report.classes[k].tracks, sink);
    at = places[k] + lengths[k];
  }
  sink(std::string_view(text).substr(at));
}

std::string stabilityJsonText(const StabilityReport& report) {
  std::string text;
  writeStabilityJson(report, [&text](std::string_view piece) { text += piece; });
  return text;
}

}  // namespace talmira
