#include "talmira/writers/track_report.h"

#include <cstdio>
#include <functional>

#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

using tracking::AlphaValues;
using tracking::TrackMeasures;

// The figures in the order the evaluator lists them, each once: the HOTA
// family (per alpha, headline the mean), then single values.
struct AlphaField {
  const char* name;
  const AlphaValues TrackMeasures::*values;
  bool counts;  // each alpha's value a whole number
};
constexpr AlphaField kAlphaFields[] = {
    {"HOTA", &TrackMeasures::hota, false},     {"DetA", &TrackMeasures::detA, false},
    {"AssA", &TrackMeasures::assA, false},     {"DetRe", &TrackMeasures::detRe, false},
    {"DetPr", &TrackMeasures::detPr, false},   {"AssRe", &TrackMeasures::assRe, false},
    {"AssPr", &TrackMeasures::assPr, false},   {"LocA", &TrackMeasures::locA, false},
    {"OWTA", &TrackMeasures::owta, false},     {"HOTA_TP", &TrackMeasures::hotaTp, true},
    {"HOTA_FN", &TrackMeasures::hotaFn, true}, {"HOTA_FP", &TrackMeasures::hotaFp, true},
};

struct ValueField {
  const char* name;
  bool whole;  // a count
  std::function<double(const TrackMeasures&)> value;
};

const std::vector<ValueField>& valueFields() {
  static const std::vector<ValueField> fields = {
      {"HOTA(0)", false, [](const TrackMeasures& m) { return m.hotaZero; }},
      {"LocA(0)", false, [](const TrackMeasures& m) { return m.locAZero; }},
      {"HOTALocA(0)", false, [](const TrackMeasures& m) { return m.hotaLocAZero; }},
      {"MOTA", false, [](const TrackMeasures& m) { return m.mota; }},
      {"MOTP", false, [](const TrackMeasures& m) { return m.motp; }},
      {"MODA", false, [](const TrackMeasures& m) { return m.moda; }},
      {"CLR_Re", false, [](const TrackMeasures& m) { return m.clearRecall; }},
      {"CLR_Pr", false, [](const TrackMeasures& m) { return m.clearPrecision; }},
      {"MTR", false, [](const TrackMeasures& m) { return m.mtRatio; }},
      {"PTR", false, [](const TrackMeasures& m) { return m.ptRatio; }},
      {"MLR", false, [](const TrackMeasures& m) { return m.mlRatio; }},
      {"sMOTA", false, [](const TrackMeasures& m) { return m.smota; }},
      {"CLR_F1", false, [](const TrackMeasures& m) { return m.clearF1; }},
      {"FP_per_frame", false, [](const TrackMeasures& m) { return m.fpPerFrame; }},
      {"MOTAL", false, [](const TrackMeasures& m) { return m.motal; }},
      {"MOTP_sum", false, [](const TrackMeasures& m) { return m.sums.motpSum; }},
      {"CLR_TP", true, [](const TrackMeasures& m) { return double(m.sums.clearTp); }},
      {"CLR_FN", true, [](const TrackMeasures& m) { return double(m.sums.clearFn); }},
      {"CLR_FP", true, [](const TrackMeasures& m) { return double(m.sums.clearFp); }},
      {"IDSW", true, [](const TrackMeasures& m) { return double(m.sums.idSwitches); }},
      {"MT", true, [](const TrackMeasures& m) { return double(m.sums.mostlyTracked); }},
      {"PT", true, [](const TrackMeasures& m) { return double(m.sums.partlyTracked); }},
      {"ML", true, [](const TrackMeasures& m) { return double(m.sums.mostlyLost); }},
      {"Frag", true, [](const TrackMeasures& m) { return double(m.sums.fragmentations); }},
      {"CLR_Frames", true, [](const TrackMeasures& m) { return double(m.sums.frames); }},
      {"IDF1", false, [](const TrackMeasures& m) { return m.idf1; }},
      {"IDR", false, [](const TrackMeasures& m) { return m.idRecall; }},
      {"IDP", false, [](const TrackMeasures& m) { return m.idPrecision; }},
      {"IDTP", true, [](const TrackMeasures& m) { return double(m.sums.idTp); }},
      {"IDFN", true, [](const TrackMeasures& m) { return double(m.sums.idFn); }},
      {"IDFP", true, [](const TrackMeasures& m) { return double(m.sums.idFp); }},
  };
  return fields;
}

std::string fullPrecision(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string percent(double ratio) {
  char text[40];
  std::snprintf(text, sizeof text, "%.3f", 100.0 * ratio);
  return text;
}

const ValueField& fieldNamed(const std::string& name) {
  for (const ValueField& field : valueFields()) {
    if (name == field.name) return field;
  }
  throw std::logic_error("no track figure " + name);
}

}  // namespace

std::string trackTextCell(const TrackMeasures& m, const std::string& name) {
  for (const AlphaField& field : kAlphaFields) {
    if (name == field.name) return percent(tracking::alphaMean(m.*field.values));
  }
  const ValueField& field = fieldNamed(name);
  const double value = field.value(m);
  if (field.whole) return std::to_string(static_cast<int64_t>(value));
  if (name == "FP_per_frame" || name == "MOTP_sum") return fixedSix(value);
  return percent(value);
}

namespace {

std::string table(const std::vector<TrackClassResult>& classes,
                  const std::vector<std::string>& columns) {
  std::vector<std::vector<std::string>> rows;
  rows.emplace_back(1, "Class");
  rows.back().insert(rows.back().end(), columns.begin(), columns.end());
  for (const TrackClassResult& c : classes) {
    rows.emplace_back(1, c.name);
    for (const std::string& column : columns)
      rows.back().push_back(trackTextCell(c.measures, column));
  }
  return renderTable(rows);
}

}  // namespace

std::vector<TrackFigure> trackFigures() {
  std::vector<TrackFigure> figures;
  for (const AlphaField& field : kAlphaFields) figures.push_back({field.name, true, field.counts});
  for (const ValueField& field : valueFields()) figures.push_back({field.name, false, field.whole});
  return figures;
}

std::string renderTrackTables(const std::vector<TrackClassResult>& classes) {
  std::string text = "HOTA (%, the mean over alphas 0.05 to 0.95)\n";
  text += table(classes, {"HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr", "LocA",
                          "OWTA", "HOTA(0)", "LocA(0)", "HOTALocA(0)"});
  text += "\nCLEAR (%, at IoU 0.5)\n";
  text += table(classes, {"MOTA", "MOTP", "MODA", "CLR_Re", "CLR_Pr", "MTR", "PTR", "MLR", "sMOTA",
                          "CLR_F1", "FP_per_frame", "MOTAL"});
  text += "\nCLEAR counts\n";
  text += table(classes,
                {"CLR_TP", "CLR_FN", "CLR_FP", "IDSW", "MT", "PT", "ML", "Frag", "CLR_Frames"});
  text += "\nIdentity (%, at IoU 0.5)\n";
  text += table(classes, {"IDF1", "IDR", "IDP", "IDTP", "IDFN", "IDFP"});
  return text;
}

std::string renderTrackText(const TrackReport& report) {
  std::string text = "Rules: " + report.rules + ", " + std::to_string(report.frames) + " frames (" +
                     report.lengthFrom + ")";
  if (report.confidence) text += ", boxes below " + shortestText(*report.confidence) + " left out";
  text += "\n\n";
  return text + renderTrackTables(report.classes);
}

std::string trackCsvHeader() {
  std::string text;
  for (const TrackFigure& figure : trackFigures()) text += "," + figure.name;
  return text;
}

std::string trackCsvFigures(const TrackMeasures& m) {
  std::string text;
  for (const AlphaField& field : kAlphaFields) {
    text += "," + fullPrecision(tracking::alphaMean(m.*field.values));
  }
  for (const ValueField& field : valueFields()) {
    const double value = field.value(m);
    text +=
        "," + (field.whole ? std::to_string(static_cast<int64_t>(value)) : fullPrecision(value));
  }
  return text;
}

std::string renderTrackCsv(const TrackReport& report) {
  std::string text = "class" + trackCsvHeader() + "\n";
  for (const TrackClassResult& c : report.classes) {
    text += csvField(c.name) + trackCsvFigures(c.measures) + "\n";
  }
  return text;
}

Json trackMeasuresJson(const TrackMeasures& m) {
  Json json = Json::object();
  for (const AlphaField& field : kAlphaFields) {
    json[field.name] = tracking::alphaMean(m.*field.values);
    Json perAlpha = Json::array();
    for (const double value : m.*field.values) perAlpha.push_back(value);
    json[std::string(field.name) + "_per_alpha"] = std::move(perAlpha);
  }
  for (const ValueField& field : valueFields()) {
    const double value = field.value(m);
    if (field.whole) {
      json[field.name] = static_cast<int64_t>(value);
    } else {
      json[field.name] = value;
    }
  }
  return json;
}

Json trackJson(const TrackReport& report) {
  Json classes = Json::array();
  for (const TrackClassResult& c : report.classes) {
    classes.push_back(Json{{"class", c.name}, {"measures", trackMeasuresJson(c.measures)}});
  }
  Json json{{"groundtruth", report.groundTruth},
            {"system", report.system},
            {"rules", report.rules},
            {"frames", report.frames},
            {"length_from", report.lengthFrom}};
  json["confidence"] = report.confidence ? jsonNumber(*report.confidence) : Json(nullptr);
  json["alphas"] = tracking::hotaAlphas();
  json["classes"] = std::move(classes);
  return json;
}

}  // namespace talmira
