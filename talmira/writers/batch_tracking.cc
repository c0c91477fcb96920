#include "talmira/writers/batch_tracking.h"

#include <cmath>
#include <limits>
#include <map>

#include "scoring/tracking/track_preparation.h"
#include "talmira/track_files.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

using tracking::AlphaValues;
using tracking::kAlphaCount;
using tracking::TrackSums;

std::size_t failedOf(const BatchResult& result) {
  std::size_t failed = 0;
  for (const BatchSequence& s : result.sequences) failed += s.failed() ? 1 : 0;
  return failed;
}

std::string sourceText(const BatchSource& source) {
  return source.list.empty() ? source.groundTruthDir + " against " + source.systemDir : source.list;
}

// Messages on one line, for the text summary.
std::string oneLine(std::string text) {
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
  return text;
}

[[noreturn]] void notAPart(const std::string& path, const std::string& why) {
  throw CommandError{kExitInputOrOutput, path + ": not a partial batch result: " + why};
}

Json classesJson(const std::vector<TrackClassResult>& classes) {
  Json array = Json::array();
  for (const TrackClassResult& c : classes) {
    array.push_back(Json{{"class", c.name}, {"measures", trackMeasuresJson(c.measures)}});
  }
  return array;
}

// The figures of the table of sequences, by the evaluator's names.
const std::vector<std::string> kSequenceColumns = {"HOTA", "DetA", "AssA", "MOTA",
                                                   "MOTP", "IDF1", "IDSW", "Frag"};

int64_t countOf(const Json& value, const std::string& path, const std::string& what) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0) {
    notAPart(path, what + " is not a count: " + value.dump());
  }
  return value.get<int64_t>();
}

double doubleOf(const Json& value, const std::string& path, const std::string& what) {
  if (!value.is_number() || !std::isfinite(value.get<double>())) {
    notAPart(path, what + " is not a finite number: " + value.dump());
  }
  return value.get<double>();
}

const Json& arrayOf(const Json& json, const char* key, std::size_t size, const std::string& path,
                    const std::string& what) {
  const Json& array = json.at(key);
  if (!array.is_array() || array.size() != size) {
    notAPart(path, what + ", " + key + " is not a list of " + std::to_string(size) + " numbers");
  }
  return array;
}

AlphaValues alphasOf(const Json& json, const char* key, bool counts, const std::string& path,
                     const std::string& what) {
  const Json& array = arrayOf(json, key, kAlphaCount, path, what);
  AlphaValues values{};
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    values[a] = doubleOf(array[a], path, what + ", " + key);
    if (counts && !(values[a] >= 0 && values[a] == std::floor(values[a]))) {
      notAPart(path, what + ", " + key + " holds " + array[a].dump() + ", not a count");
    }
  }
  return values;
}

Json alphasJson(const AlphaValues& values) {
  Json array = Json::array();
  for (const double value : values) array.push_back(value);
  return array;
}

}  // namespace

void settleTracking(BatchResult& result) {
  if (!result.source.track) return;
  std::vector<std::string> names;
  std::map<std::string, std::vector<TrackSums>> sums;
  for (const BatchSequence& s : result.sequences) {
    if (s.failed() || s.tracking == nullptr) continue;
    for (const TrackClassResult& c : s.tracking->report.classes) {
      std::vector<TrackSums>& of = sums[c.name];
      if (of.empty()) names.push_back(c.name);
      of.push_back(c.measures.sums);
    }
  }
  auto combined = std::make_shared<BatchResult::CombinedTracking>();
  for (const std::string& name : names) {
    const std::vector<TrackSums>& of = sums[name];
    combined->classes.push_back({name, tracking::trackMeasures(tracking::combineTracks(of))});
    combined->sequences.push_back(of.size());
  }
  result.combinedTracking = std::move(combined);
}

std::string renderTrackingText(const BatchResult& result) {
  const BatchResult::CombinedTracking& combined = *result.combinedTracking;
  const TrackingSettings& settings = result.source.tracking;
  const std::size_t failed = failedOf(result);
  const std::size_t scored = result.sequences.size() - failed;
  std::string text = "Dataset " + sourceText(result.source) + ", tracking (HOTA, CLEAR, Identity";
  if (!settings.rules.empty()) text += ", rules " + settings.rules;
  if (settings.confidence) {
    text += ", tracker boxes below " + shortestText(*settings.confidence) + " left out";
  }
  text += "): " + std::to_string(result.sequences.size()) + " sequences";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed (left out of the combined)";
  text += "\n\nCombined over " + std::to_string(scored) +
          " sequences, counts summed and the association and localisation weighted by HOTA's "
          "true positives, as the evaluator combines them:\n";
  text += renderTrackTables(combined.classes);
  text += "\nEach sequence (%, the HOTA family the mean over alphas):\n";
  std::vector<std::vector<std::string>> rows = {{"Sequence", "Class", "Rules", "Frames"}};
  rows[0].insert(rows[0].end(), kSequenceColumns.begin(), kSequenceColumns.end());
  std::string failures;
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      rows.push_back({s.name, "-", "-", "-", "failed"});
      failures += s.name + ": " + oneLine(s.error) + "\n";
      continue;
    }
    const TrackReport& report = s.tracking->report;
    if (report.classes.empty()) {
      rows.push_back({s.name, "-", report.rules, std::to_string(report.frames), "no classes"});
    }
    for (const TrackClassResult& c : report.classes) {
      rows.push_back({s.name, c.name, report.rules, std::to_string(report.frames)});
      for (const std::string& column : kSequenceColumns) {
        rows.back().push_back(trackTextCell(c.measures, column));
      }
    }
  }
  text += renderTable(rows);
  if (!failures.empty()) text += "\nFailed:\n" + failures;
  return text;
}

std::string renderTrackingCsv(const BatchResult& result) {
  std::string text = "sequence,class" + trackCsvHeader() + "\n";
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) continue;
    for (const TrackClassResult& c : s.tracking->report.classes) {
      text += csvField(s.name) + "," + csvField(c.name) + trackCsvFigures(c.measures) + "\n";
    }
  }
  for (const TrackClassResult& c : result.combinedTracking->classes) {
    text += "(all)," + csvField(c.name) + trackCsvFigures(c.measures) + "\n";
  }
  return text;
}

Json trackingJson(const BatchResult& result) {
  Json sequences = Json::array();
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      sequences.push_back(Json{{"sequence", s.name}, {"error", s.error}});
      continue;
    }
    const TrackReport& report = s.tracking->report;
    sequences.push_back(Json{{"sequence", s.name},
                             {"groundtruth", s.groundTruth},
                             {"system", s.system},
                             {"rules", report.rules},
                             {"frames", report.frames},
                             {"length_from", report.lengthFrom},
                             {"classes", classesJson(report.classes)},
                             {"warnings", s.tracking->warnings}});
  }
  const BatchResult::CombinedTracking& combined = *result.combinedTracking;
  Json classes = Json::array();
  for (std::size_t k = 0; k < combined.classes.size(); ++k) {
    classes.push_back(Json{{"class", combined.classes[k].name},
                           {"sequences", combined.sequences[k]},
                           {"measures", trackMeasuresJson(combined.classes[k].measures)}});
  }
  const std::size_t failed = failedOf(result);
  Json total{{"sequences", result.sequences.size() - failed},
             {"failed", failed},
             {"classes", std::move(classes)}};
  return Json{{"alphas", tracking::hotaAlphas()},
              {"sequences", std::move(sequences)},
              {"total", std::move(total)}};
}

Json trackingSettingsJson(const TrackingSettings& settings) {
  const auto orNull = [](const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
  };
  return Json{{"gt_format", settings.groundTruthFormat},
              {"sys_format", settings.systemFormat},
              {"ids", orNull(settings.ids)},
              {"rules", orNull(settings.rules)}};
}

TrackingSettings trackingSettingsFromJson(const Json& json, const std::string& path) {
  TrackingSettings settings;
  try {
    settings.groundTruthFormat = json.at("gt_format").get<std::string>();
    settings.systemFormat = json.at("sys_format").get<std::string>();
    if (!json.at("ids").is_null()) settings.ids = json.at("ids").get<std::string>();
    if (!json.at("rules").is_null()) settings.rules = json.at("rules").get<std::string>();
  } catch (const Json::exception& e) {
    notAPart(path, std::string("its tracking settings: ") + e.what());
  }
  if (!isTrackFormat(settings.groundTruthFormat) || !isTrackFormat(settings.systemFormat) ||
      !(settings.ids.empty() || settings.ids == "text") ||
      !(settings.rules.empty() || tracking::benchmarkNamed(settings.rules))) {
    notAPart(path, "its tracking settings " + json.dump() + " are not those --track takes");
  }
  return settings;
}

std::string trackingWords(const TrackingSettings& settings) {
  std::string words = "--track";
  if (settings.groundTruthFormat != "mot") words += " --gt-format " + settings.groundTruthFormat;
  if (settings.systemFormat != "mot") words += " --sys-format " + settings.systemFormat;
  if (!settings.ids.empty()) words += " --ids " + settings.ids;
  if (!settings.rules.empty()) words += " --track-rules " + settings.rules;
  if (settings.confidence) words += " -c " + shortestText(*settings.confidence);
  return words;
}

Json trackSumsJson(const TrackSums& s) {
  return Json{{"clear", Json::array({s.clearTp, s.clearFn, s.clearFp, s.idSwitches, s.mostlyTracked,
                                     s.partlyTracked, s.mostlyLost, s.fragmentations, s.frames})},
              {"motp_sum", s.motpSum},
              {"identity", Json::array({s.idTp, s.idFn, s.idFp})},
              {"hota_tp", alphasJson(s.hotaTp)},
              {"hota_fn", alphasJson(s.hotaFn)},
              {"hota_fp", alphasJson(s.hotaFp)},
              {"ass_a", alphasJson(s.assA)},
              {"ass_re", alphasJson(s.assRe)},
              {"ass_pr", alphasJson(s.assPr)},
              {"loc_a", alphasJson(s.locA)},
              {"empty", s.empty}};
}

TrackSums trackSumsFromJson(const Json& json, const std::string& path, const std::string& what) {
  TrackSums s;
  try {
    const Json& clear = arrayOf(json, "clear", 9, path, what);
    int64_t* const clearCounts[] = {&s.clearTp,    &s.clearFn,        &s.clearFp,
                                    &s.idSwitches, &s.mostlyTracked,  &s.partlyTracked,
                                    &s.mostlyLost, &s.fragmentations, &s.frames};
    for (std::size_t k = 0; k < 9; ++k) *clearCounts[k] = countOf(clear[k], path, what + ", clear");
    s.motpSum = doubleOf(json.at("motp_sum"), path, what + ", motp_sum");
    const Json& identity = arrayOf(json, "identity", 3, path, what);
    s.idTp = countOf(identity[0], path, what + ", identity");
    s.idFn = countOf(identity[1], path, what + ", identity");
    s.idFp = countOf(identity[2], path, what + ", identity");
    s.hotaTp = alphasOf(json, "hota_tp", true, path, what);
    s.hotaFn = alphasOf(json, "hota_fn", true, path, what);
    s.hotaFp = alphasOf(json, "hota_fp", true, path, what);
    s.assA = alphasOf(json, "ass_a", false, path, what);
    s.assRe = alphasOf(json, "ass_re", false, path, what);
    s.assPr = alphasOf(json, "ass_pr", false, path, what);
    s.locA = alphasOf(json, "loc_a", false, path, what);
    if (!json.at("empty").is_boolean()) notAPart(path, what + ", empty is not true or false");
    s.empty = json.at("empty").get<bool>();
  } catch (const Json::exception& e) {
    notAPart(path, what + ": " + e.what());
  }
  return s;
}

Json trackingPartJson(const SequenceTracking& t) {
  Json classes = Json::array();
  for (const TrackClassResult& c : t.report.classes) {
    classes.push_back(Json{{"class", c.name}, {"sums", trackSumsJson(c.measures.sums)}});
  }
  return Json{{"rules", t.report.rules},
              {"frames", t.report.frames},
              {"length_from", t.report.lengthFrom},
              {"warnings", t.warnings},
              {"classes", std::move(classes)}};
}

std::shared_ptr<const SequenceTracking> parseTrackingPart(const Json& json,
                                                          const BatchSequence& sequence,
                                                          const TrackingSettings& settings,
                                                          const std::string& path) {
  const std::string of = "the tracking of " + sequence.name;
  auto out = std::make_shared<SequenceTracking>();
  TrackReport& report = out->report;
  report.groundTruth = sequence.groundTruth;
  report.system = sequence.system;
  report.confidence = settings.confidence;
  try {
    report.rules = json.at("rules").get<std::string>();
    if (!tracking::benchmarkNamed(report.rules)) notAPart(path, of + ": no rules " + report.rules);
    const int64_t frames = countOf(json.at("frames"), path, of + ", frames");
    if (frames > std::numeric_limits<uint32_t>::max()) notAPart(path, of + ": too many frames");
    report.frames = static_cast<uint32_t>(frames);
    report.lengthFrom = json.at("length_from").get<std::string>();
    out->warnings = json.at("warnings").get<std::vector<std::string>>();
    for (const Json& c : json.at("classes")) {
      const std::string name = c.at("class").get<std::string>();
      for (const TrackClassResult& held : report.classes) {
        if (held.name == name) notAPart(path, of + " holds the class " + name + " twice");
      }
      report.classes.push_back(
          {name, tracking::trackMeasures(trackSumsFromJson(c.at("sums"), path, of + ", " + name))});
    }
  } catch (const Json::exception& e) {
    notAPart(path, of + ": " + e.what());
  }
  return out;
}

}  // namespace talmira
