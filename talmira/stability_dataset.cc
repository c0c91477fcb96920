#include "talmira/stability_dataset.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <new>
#include <set>
#include <thread>

#include "annotation/scoring_rules.h"
#include "annotation/track_reader.h"
#include "talmira/dataset.h"
#include "talmira/dataset_list.h"
#include "talmira/stability_files.h"
#include "talmira/track_files.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/compare_report.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

using tracking::StabilitySummary;
using tracking::StabilitySums;

constexpr const char* kPartKind = "talmira batch stability partial";
constexpr int kPartVersion = 1;
// Units below this many give intervals too narrow to trust, as compare says
// of its counts.
constexpr std::size_t kFewUnits = 10;

[[noreturn]] void usage(const std::string& command, const std::string& what) {
  throw CommandError{kExitUsage, "talmira " + command + ": " + what};
}

bool isMotLayout(const std::string& format) { return format.rfind("mot", 0) == 0; }

// Refuses once, before any sequence is read, what `talmira stability`
// would refuse of every pair: the options that mean nothing on the road
// taken, and formats it cannot read (status 2).
void checkSettings(const StabilitySettings& s, const std::string& command) {
  const FormatOptionsGiven& f = s.formats;
  if (s.clear) {
    if (f.rules.valueGiven()) {
      usage(command,
            "--rules mot with --stability pairs boxes as CLEAR does, at IoU 0.5: its values are "
            "not to be changed (--overlap, --min-overlap, --region-cover, --min-side)");
    }
    for (const auto& [given, name] :
         {std::pair{!f.classes.empty(), "--classes"}, std::pair{f.unknown != "error", "--unknown"},
          std::pair{!f.imageSize.empty(), "--image-size"}, std::pair{!f.names.empty(), "--names"},
          std::pair{!f.ignore.empty(), "--ignore"},
          std::pair{!f.imagesFrom.empty(), "--images-from"}}) {
      if (given) {
        usage(command, std::string(name) +
                           " has no meaning with --rules mot (CLEAR matches at IoU 0.5, as "
                           "talmira track)");
      }
    }
    if (!isTrackFormat(s.systemFormat) || (s.systemFormat == "talmira" && s.ids != "text")) {
      usage(command,
            "--rules mot: CLEAR follows the tracker's identities too, which " + s.systemFormat +
                " files do not name" +
                (s.systemFormat == "talmira" ? std::string(" without --ids text") : std::string()));
    }
    return;
  }
  for (const std::string* format : {&s.groundTruthFormat, &s.systemFormat}) {
    if (!formatNamed(*format)) {
      usage(command, *format +
                         " names a track layout, which only CLEAR's matching reads: add --rules "
                         "mot, or give mot");
    }
  }
  if (s.systemFormat != "talmira" && !isTrackFormat(s.systemFormat)) {
    usage(command, s.systemFormat +
                       " boxes are read to whole pixels here, and stability needs the file's "
                       "own: give the detections in this format or one of the MOT family's");
  }
}

// What a sequence keeps of `talmira stability`'s report: "All" and every
// class with a track, each as its sums.
std::vector<StabilityClassSums> classSumsOf(const StabilityReport& report) {
  std::vector<StabilityClassSums> classes;
  for (const StabilityClassRow& row : report.classes) {
    if (row.name != "All" && row.tracks.empty()) continue;
    std::vector<tracking::TrackStability> tracks;
    tracks.reserve(row.tracks.size());
    for (const StabilityTrackRow& t : row.tracks) tracks.push_back(t.stability);
    classes.push_back({row.name, tracking::stabilitySums(tracks), row.tracks.empty() ? 0u : 1u});
  }
  return classes;
}

// Evaluates `s` as `talmira stability` evaluates its pair; throws what
// stabilityOfFiles() throws.
void evaluateOrThrow(StabilitySequence& s, const StabilitySettings& settings,
                     const DatasetReading& reading) {
  StabilityRequest request;
  request.groundTruth = s.groundTruth;
  request.system = s.system;
  request.groundTruthFormat =
      s.groundTruthFormat.empty() ? settings.groundTruthFormat : s.groundTruthFormat;
  request.systemFormat = s.systemFormat.empty() ? settings.systemFormat : s.systemFormat;
  request.ids = settings.ids;
  request.clear = settings.clear;
  request.confidence = settings.confidence;
  request.confidenceGiven = settings.confidenceGiven;
  if (!settings.clear)
    request.formats = reading.of(s.groundTruth, s.groundTruthFormat, s.systemFormat);
  const StabilityReport report = stabilityOfFiles(request, &s.warnings);
  s.trackRules = report.trackRules;
  s.classes = classSumsOf(report);
}

void evaluateCaught(StabilitySequence& s, const StabilitySettings& settings,
                    const DatasetReading& reading) {
  if (s.failed()) return;  // nothing to read (a file without its partner)
  try {
    evaluateOrThrow(s, settings, reading);
  } catch (const CommandError& e) {
    s.error = e.message;
  } catch (const std::bad_alloc&) {
    s.error = s.groundTruth + ": out of memory while following its tracks in " + s.system;
  } catch (const std::exception& e) {
    s.error = s.groundTruth + ": " + e.what();
  }
}

// Runs `work(k)` for k below `count` on `jobs` threads, each taking the
// next k not yet taken; every result goes to its own slot, so the order the
// threads finish in does not show.
template <typename Work>
void onThreads(std::size_t count, unsigned jobs, bool progressShown, Work work) {
  Progress progress(progressShown, count);
  std::atomic<std::size_t> next{0}, done{0};
  const auto run = [&] {
    for (std::size_t k; (k = next.fetch_add(1)) < count;) {
      work(k);
      progress.finished(done.fetch_add(1) + 1);
    }
  };
  std::vector<std::jthread> threads;
  const std::size_t workers = std::min<std::size_t>(std::max(1u, jobs), count);
  for (std::size_t t = 1; t < workers; ++t) {
    try {
      threads.emplace_back(run);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: those running share the work
    }
  }
  run();
}

DatasetReading readingOf(const StabilitySettings& settings, bool formatsPerSequence) {
  return settings.clear ? DatasetReading{} : datasetReading(settings.formats, formatsPerSequence);
}

// The line under the tables: which matching made the pairs.
std::string matchingLine(const StabilitySettings& s) {
  std::string line = s.clear
                         ? std::string("Matching: CLEAR at IoU 0.5, as talmira track")
                         : "Matching: talmira score's (" + rulesText(s.formats.rules.rules()) + ")";
  if (s.confidenceGiven || (!s.clear && s.confidence != 0.0f)) {
    line += ", boxes below " + shortestText(s.confidence) + " left out";
  }
  return line + "\n";
}

ScoringRules rulesOf(const StabilitySettings& s) {
  return s.clear ? *namedRules("mot") : s.formats.rules.rules();
}

Json confidenceJson(const StabilitySettings& s) {
  return s.confidenceGiven || (!s.clear && s.confidence != 0.0f) ? jsonNumber(s.confidence)
                                                                 : Json(nullptr);
}

std::string fullPrecision(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string oneLine(std::string text) {
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
  return text;
}

// The four errors of a summary for a table: six decimals, "-" without a
// track used.
std::vector<std::string> errorCells(const StabilitySummary& s) {
  if (s.tracks == 0) return {"-", "-", "-", "-"};
  return {fixedSix(s.fragmentError), fixedSix(s.centreError), fixedSix(s.scaleRatioError),
          fixedSix(s.total())};
}

Json summaryJson(const std::string& name, const StabilitySummary& s) {
  Json row{{"class", name}, {"tracks", s.tracks}, {"left_out", s.leftOut}};
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
  return row;
}

std::string sourceText(const StabilityDatasetResult& r) {
  return r.list.empty() ? r.groundTruthDir + " against " + r.systemDir : r.list;
}

void parseShard(const std::string& text, std::size_t& index, std::size_t& count) {
  unsigned long long k = 0;
  unsigned long long n = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%llu/%llu%c", &k, &n, &end) != 2 ||
      text.find('-') != std::string::npos || k < 1 || n < 1 || k > n) {
    usage("batch", "--shard " + text + ": expected K/N with 1 <= K <= N, e.g. 2/8");
  }
  index = k;
  count = n;
}

// --- parts ------------------------------------------------------------------

[[noreturn]] void notAPart(const std::string& path, const std::string& why) {
  throw CommandError{kExitInputOrOutput, path + ": not a partial batch result: " + why};
}

// What the parts of one run share, and what the merge prints of it.
Json settingsJson(const StabilitySettings& s, const std::string& reading) {
  return Json{{"gt_format", s.groundTruthFormat},
              {"sys_format", s.systemFormat},
              {"ids", s.ids},
              {"matching", s.clear ? "clear" : "detection"},
              {"confidence", confidenceJson(s)},
              {"reading", reading},
              {"rules", rulesJson(rulesOf(s))},
              {"matching_line", matchingLine(s)}};
}

Json sumsJson(const StabilityClassSums& c) {
  return Json{{"class", c.name},
              {"tracks", c.sums.tracks},
              {"left_out", c.sums.leftOut},
              {"fragment_sum", c.sums.fragment},
              {"centre_sum", c.sums.centre},
              {"scale_ratio_sum", c.sums.scaleRatio}};
}

int64_t countOf(const Json& value, const std::string& path, const std::string& what) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0) {
    notAPart(path, what + " is not a count: " + value.dump());
  }
  return value.get<int64_t>();
}

double sumOf(const Json& value, const std::string& path, const std::string& what) {
  if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0) {
    notAPart(path, what + " is not a sum of errors: " + value.dump());
  }
  return value.get<double>();
}

StabilityClassSums sumsFromJson(const Json& json, const std::string& path) {
  StabilityClassSums c;
  c.name = json.at("class").get<std::string>();
  const std::string what = "class " + c.name;
  c.sums.tracks = countOf(json.at("tracks"), path, what + ", tracks");
  c.sums.leftOut = countOf(json.at("left_out"), path, what + ", left_out");
  c.sums.fragment = sumOf(json.at("fragment_sum"), path, what + ", fragment_sum");
  c.sums.centre = sumOf(json.at("centre_sum"), path, what + ", centre_sum");
  c.sums.scaleRatio = sumOf(json.at("scale_ratio_sum"), path, what + ", scale_ratio_sum");
  c.sequences = c.sums.tracks + c.sums.leftOut > 0 ? 1 : 0;
  return c;
}

Json sourceJson(const StabilityDatasetResult& r) {
  Json json = Json::object();
  if (!r.list.empty()) {
    json["list"] = r.list;
  } else {
    json["groundtruth_dir"] = r.groundTruthDir;
    json["system_dir"] = r.systemDir;
  }
  return json;
}

std::string renderPart(const StabilityDatasetResult& r, const std::string& reading,
                       std::size_t shardIndex, std::size_t shardCount,
                       const std::vector<const StabilitySequence*>& mine) {
  Json json{{"kind", kPartKind}, {"version", kPartVersion}, {"partial", true}};
  json["source"] = sourceJson(r);
  json["list_digest"] = r.listDigest;
  json["sequence_count"] = r.sequenceCount;
  json["shard"] = std::to_string(shardIndex) + "/" + std::to_string(shardCount);
  json["settings"] = settingsJson(r.settings, reading);
  Json sequences = Json::array();
  for (const StabilitySequence* s : mine) {
    Json entry{{"position", s->position},
               {"sequence", s->name},
               {"groundtruth", s->groundTruth},
               {"system", s->system}};
    if (s->failed()) {
      entry["error"] = s->error;
    } else {
      Json classes = Json::array();
      for (const StabilityClassSums& c : s->classes) classes.push_back(sumsJson(c));
      entry["classes"] = std::move(classes);
      entry["track_rules"] = s->trackRules;
      entry["warnings"] = s->warnings;
    }
    sequences.push_back(std::move(entry));
  }
  json["sequences"] = std::move(sequences);
  return jsonText(json);
}

}  // namespace

// ---------------------------------------------------------------------------
// A dataset's sequences

std::vector<StabilityClassSums> pooledStability(const std::vector<StabilitySequence>& sequences) {
  std::vector<StabilityClassSums> pooled;
  std::map<std::string, std::size_t> at;
  for (const StabilitySequence& s : sequences) {
    if (s.failed()) continue;
    for (const StabilityClassSums& c : s.classes) {
      const auto [found, inserted] = at.emplace(c.name, pooled.size());
      if (inserted) pooled.push_back({c.name, {}, 0});
      StabilityClassSums& into = pooled[found->second];
      into.sums.add(c.sums);
      if (c.sums.tracks + c.sums.leftOut > 0) ++into.sequences;
    }
  }
  return pooled;
}

std::string renderStabilityDatasetText(const StabilityDatasetResult& r) {
  std::size_t failed = 0;
  for (const StabilitySequence& s : r.sequences) failed += s.failed() ? 1 : 0;
  std::string text = "Dataset " + sourceText(r) +
                     ", stability (E_F, E_C, E_R over each "
                     "ground-truth track): " +
                     std::to_string(r.sequences.size()) + " sequences";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed (left out of the pooled)";
  text += "\n\nPooled over " + std::to_string(r.sequences.size() - failed) +
          " sequences, each error the mean over every track used of every sequence:\n";
  std::vector<std::vector<std::string>> pooled = {
      {"Class", "Sequences", "Tracks", "LeftOut", "E_F", "E_C", "E_R", "Sum"}};
  for (const StabilityClassSums& c : r.pooled) {
    const StabilitySummary s = c.sums.summary();
    pooled.push_back(
        {c.name, std::to_string(c.sequences), std::to_string(s.tracks), std::to_string(s.leftOut)});
    for (std::string& cell : errorCells(s)) pooled.back().push_back(std::move(cell));
  }
  text += renderTable(pooled);
  text += "\nEach sequence:\n";
  std::vector<std::vector<std::string>> rows = {{"Sequence", "Class"}};
  if (r.settings.clear) rows[0].push_back("Rules");
  for (const char* column : {"Tracks", "LeftOut", "E_F", "E_C", "E_R", "Sum"}) {
    rows[0].push_back(column);
  }
  std::string failures;
  for (const StabilitySequence& s : r.sequences) {
    if (s.failed()) {
      rows.push_back({s.name, "failed"});
      failures += s.name + ": " + oneLine(s.error) + "\n";
      continue;
    }
    for (const StabilityClassSums& c : s.classes) {
      const StabilitySummary summary = c.sums.summary();
      rows.push_back({s.name, c.name});
      if (r.settings.clear) rows.back().push_back(s.trackRules);
      rows.back().push_back(std::to_string(summary.tracks));
      rows.back().push_back(std::to_string(summary.leftOut));
      for (std::string& cell : errorCells(summary)) rows.back().push_back(std::move(cell));
    }
  }
  text += renderTable(rows, r.settings.clear ? 3 : 2);
  text += r.matchingLine;
  if (!failures.empty()) text += "\nFailed:\n" + failures;
  return text;
}

std::string renderStabilityDatasetCsv(const StabilityDatasetResult& r) {
  std::string text =
      "sequence,class,tracks,left_out,fragment_error,centre_error,scale_ratio_error,sum\n";
  const auto row = [&text](const std::string& sequence, const StabilityClassSums& c) {
    const StabilitySummary s = c.sums.summary();
    text += sequence + "," + csvField(c.name) + "," + std::to_string(s.tracks) + "," +
            std::to_string(s.leftOut);
    if (s.tracks > 0) {
      for (const double value : {s.fragmentError, s.centreError, s.scaleRatioError, s.total()}) {
        text += "," + fullPrecision(value);
      }
    } else {
      text += ",,,,";
    }
    text += "\n";
  };
  for (const StabilitySequence& s : r.sequences) {
    if (s.failed()) continue;
    for (const StabilityClassSums& c : s.classes) row(csvField(s.name), c);
  }
  for (const StabilityClassSums& c : r.pooled) row("(all)", c);
  return text;
}

Json stabilityDatasetJson(const StabilityDatasetResult& r) {
  Json json = sourceJson(r);
  json["matching"] = r.settings.clear ? "clear" : "detection";
  json["confidence"] = confidenceJson(r.settings);
  Json sequences = Json::array();
  std::size_t failed = 0;
  for (const StabilitySequence& s : r.sequences) {
    Json entry{{"sequence", s.name}, {"groundtruth", s.groundTruth}, {"system", s.system}};
    if (s.failed()) {
      entry["error"] = s.error;
      ++failed;
    } else {
      if (r.settings.clear) entry["track_rules"] = s.trackRules;
      Json classes = Json::array();
      for (const StabilityClassSums& c : s.classes) {
        classes.push_back(summaryJson(c.name, c.sums.summary()));
      }
      entry["classes"] = std::move(classes);
      entry["warnings"] = s.warnings;
    }
    sequences.push_back(std::move(entry));
  }
  json["sequences"] = std::move(sequences);
  Json classes = Json::array();
  for (const StabilityClassSums& c : r.pooled) {
    Json row = summaryJson(c.name, c.sums.summary());
    row["sequences"] = c.sequences;
    classes.push_back(std::move(row));
  }
  json["total"] = Json{{"sequences", r.sequences.size() - failed},
                       {"failed", failed},
                       {"classes", std::move(classes)}};
  json["rules"] = r.rules;
  return json;
}

namespace {

std::string renderDataset(const StabilityDatasetResult& r, Format format) {
  switch (format) {
    case Format::kText:
      return renderStabilityDatasetText(r);
    case Format::kCsv:
      return renderStabilityDatasetCsv(r);
    case Format::kJson:
      break;
  }
  return jsonText(stabilityDatasetJson(r));
}

std::size_t reportFailures(const std::vector<const StabilitySequence*>& sequences) {
  std::size_t failed = 0;
  for (const StabilitySequence* s : sequences) {
    for (const std::string& warning : s->warnings) {
      std::fprintf(stderr, "warning: %s: %s\n", s->name.c_str(), warning.c_str());
    }
    if (!s->failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s->error.c_str());
  }
  return failed;
}

}  // namespace

void runStabilityBatch(const StabilityBatchRun& run) {
  if (!run.refused.empty()) {
    usage("batch", run.refused.front() + " with --stability is not available");
  }
  const bool fromList = !run.list.empty();
  if (!fromList && (run.groundTruthDir.empty() || run.systemDir.empty())) {
    usage("batch", "give a LIST, or both --gt-dir and --sys-dir");
  }
  const StabilitySettings& settings = run.settings;
  checkSettings(settings, "batch");
  std::size_t shardIndex = 1;
  std::size_t shardCount = 1;
  const bool sharded = !run.shard.empty();
  if (sharded) {
    parseShard(run.shard, shardIndex, shardCount);
    if (run.formatGiven) {
      usage("batch",
            "--shard writes a partial result (JSON) for `talmira merge`; give --format to "
            "merge instead");
    }
  }

  // The LIST's formats are checked as the road reads them; the folders of a
  // MOT ground truth are MOTChallenge's, as with --track.
  BatchSource source;
  source.track = fromList ? settings.clear : isMotLayout(settings.groundTruthFormat);
  const std::vector<BatchSequence> listed =
      fromList ? readList(run.list, source)
               : pairFolders(run.groundTruthDir, run.systemDir, source,
                             source.track ? InputFormats{}
                                          : inputFormatsWith(settings.formats, nullptr, ""));
  StabilityDatasetResult result;
  result.list = run.list;
  result.groundTruthDir = run.groundTruthDir;
  result.systemDir = run.systemDir;
  result.listDigest = source.listDigest;
  result.sequenceCount = listed.size();
  result.settings = settings;
  result.matchingLine = matchingLine(settings);
  result.rules = rulesJson(rulesOf(settings));
  for (const BatchSequence& b : listed) {
    StabilitySequence s;
    s.position = b.position;
    s.name = b.name;
    s.groundTruth = b.groundTruth;
    s.system = b.system;
    s.groundTruthFormat = b.groundTruthFormat;
    s.systemFormat = b.systemFormat;
    s.error = b.error;
    result.sequences.push_back(std::move(s));
  }
  const DatasetReading reading =
      settings.clear ? DatasetReading{} : datasetReading(settings.formats, listed);

  std::vector<std::string> inputs = auxiliaryInputs(settings.formats);
  if (fromList) inputs.push_back(run.list);
  for (const StabilitySequence& s : result.sequences) {
    inputs.push_back(s.groundTruth);
    inputs.push_back(s.system);
  }
  refuseOutputNamingInput(run.output, inputs);

  std::vector<StabilitySequence*> mine;
  for (StabilitySequence& s : result.sequences) {
    if (s.position % shardCount == shardIndex - 1) mine.push_back(&s);
  }
  onThreads(mine.size(), run.jobs, run.progress,
            [&](std::size_t k) { evaluateCaught(*mine[k], settings, reading); });
  const std::vector<const StabilitySequence*> held(mine.begin(), mine.end());
  const std::size_t failed = reportFailures(held);
  if (sharded) {
    writeOutput(run.output,
                renderPart(result, readingWords(reading), shardIndex, shardCount, held));
  } else {
    result.pooled = pooledStability(result.sequences);
    writeOutput(run.output, renderDataset(result, run.format));
  }
  if (failed > 0) throw sequencesFailed("talmira batch", failed, mine.size());
}

bool isStabilityPart(const std::string& text) {
  // The kind is among the first keys written; a part of another kind is
  // parsed, and refused, by the batch parts' reader.
  if (text.find(kPartKind) == std::string::npos) return false;
  try {
    const Json json = Json::parse(text);
    return json.is_object() && json.value("kind", "") == kPartKind;
  } catch (const Json::exception&) {
    return false;
  }
}

void mergeStabilityParts(const std::vector<std::string>& texts,
                         const std::vector<std::string>& paths, Format format,
                         const std::string& output) {
  StabilityDatasetResult result;
  Json firstSettings;
  Json firstSource;
  std::size_t shardCount = 0;
  std::map<std::size_t, StabilitySequence> byPosition;
  std::map<std::size_t, std::string> heldBy;
  std::string matching;
  for (std::size_t p = 0; p < texts.size(); ++p) {
    const std::string& path = paths[p];
    Json json;
    try {
      json = Json::parse(texts[p]);
    } catch (const Json::parse_error& e) {
      notAPart(path, e.what());
    }
    try {
      if (!json.is_object() || json.value("kind", "") != kPartKind) {
        throw CommandError{kExitInputOrOutput, "talmira merge: " + path +
                                                   " is no part of a `batch --stability` run, "
                                                   "as " +
                                                   paths[0] + " is"};
      }
      if (json.at("version").get<int>() != kPartVersion) {
        notAPart(path, "written by another version (" + json.at("version").dump() + ")");
      }
      std::size_t index = 0;
      std::size_t count = 0;
      parseShard(json.at("shard").get<std::string>(), index, count);
      const auto other = [&](const std::string& what) {
        throw CommandError{kExitInputOrOutput, "talmira merge: " + path +
                                                   " is a part of another "
                                                   "run than " +
                                                   paths[0] + ": " + what + " differ"};
      };
      if (p == 0) {
        firstSettings = json.at("settings");
        firstSource = json.at("source");
        shardCount = count;
        result.listDigest = json.at("list_digest").get<std::string>();
        result.sequenceCount = json.at("sequence_count").get<std::size_t>();
        if (firstSource.contains("list")) {
          result.list = firstSource.at("list").get<std::string>();
        } else {
          result.groundTruthDir = firstSource.at("groundtruth_dir").get<std::string>();
          result.systemDir = firstSource.at("system_dir").get<std::string>();
        }
      } else {
        if (json.at("source") != firstSource ||
            json.at("list_digest").get<std::string>() != result.listDigest ||
            json.at("sequence_count").get<std::size_t>() != result.sequenceCount) {
          other("their lists");
        }
        if (json.at("settings") != firstSettings) other("their settings");
        if (count != shardCount) other("their numbers of shards");
      }
      for (const Json& entry : json.at("sequences")) {
        StabilitySequence s;
        s.position = entry.at("position").get<std::size_t>();
        s.name = entry.at("sequence").get<std::string>();
        s.groundTruth = entry.at("groundtruth").get<std::string>();
        s.system = entry.at("system").get<std::string>();
        if (s.position >= result.sequenceCount) {
          notAPart(path, "position " + std::to_string(s.position) + " is past the list's " +
                             std::to_string(result.sequenceCount) + " sequences");
        }
        if (entry.contains("error")) {
          s.error = entry.at("error").get<std::string>();
        } else {
          for (const Json& c : entry.at("classes")) s.classes.push_back(sumsFromJson(c, path));
          s.trackRules = entry.at("track_rules").get<std::string>();
          s.warnings = entry.at("warnings").get<std::vector<std::string>>();
        }
        if (const auto [at, inserted] = heldBy.emplace(s.position, path); !inserted) {
          throw CommandError{kExitInputOrOutput, "talmira merge: " + at->second + " and " + path +
                                                     " both hold position " +
                                                     std::to_string(s.position)};
        }
        byPosition.emplace(s.position, std::move(s));
      }
    } catch (const Json::exception& e) {
      notAPart(path, e.what());
    }
  }
  for (std::size_t position = 0; position < result.sequenceCount; ++position) {
    if (!byPosition.contains(position)) {
      throw CommandError{kExitInputOrOutput, "talmira merge: no part holds position " +
                                                 std::to_string(position) + " of " +
                                                 std::to_string(result.sequenceCount) +
                                                 " (give every shard's part)"};
    }
  }
  for (auto& [position, s] : byPosition) result.sequences.push_back(std::move(s));
  // The settings as the run printed them: the matching, the confidence and
  // the rules are all the outputs say of them.
  StabilitySettings& settings = result.settings;
  settings.clear = firstSettings.at("matching") == "clear";
  settings.groundTruthFormat = firstSettings.at("gt_format").get<std::string>();
  settings.systemFormat = firstSettings.at("sys_format").get<std::string>();
  settings.ids = firstSettings.at("ids").get<std::string>();
  const Json& confidence = firstSettings.at("confidence");
  if (!confidence.is_null()) {
    settings.confidenceGiven = true;
    settings.confidence = static_cast<float>(confidence.get<double>());
  }
  // The rules and the matching line as the run gave them, which the
  // settings carried whole.
  result.matchingLine = firstSettings.at("matching_line").get<std::string>();
  result.rules = firstSettings.at("rules");
  result.pooled = pooledStability(result.sequences);
  std::size_t failed = 0;
  for (const StabilitySequence& s : result.sequences) {
    if (!s.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s.error.c_str());
  }
  writeOutput(output, renderDataset(result, format));
  if (failed > 0) throw sequencesFailed("talmira merge", failed, result.sequences.size());
}

// ---------------------------------------------------------------------------
// Two detectors compared

namespace {

struct ErrorRow {
  const char* name;
  double a, b;
  const ClassBootstrap* interval;
};

std::vector<ErrorRow> errorRowsOf(const StabilityCompareClass& c) {
  const StabilitySummary a = c.a.summary();
  const StabilitySummary b = c.b.summary();
  return {{"E_F", a.fragmentError, b.fragmentError, &c.intervals.fragment},
          {"E_C", a.centreError, b.centreError, &c.intervals.centre},
          {"E_R", a.scaleRatioError, b.scaleRatioError, &c.intervals.scaleRatio},
          {"Sum", a.total(), b.total(), &c.intervals.total}};
}

// 1 when the interval shows B steadier (it lies below 0: B's errors lower),
// -1 for A (above 0), 0 when it holds 0 or there is but one unit.
int steadierOf(const ClassBootstrap& interval, std::size_t units) {
  if (units < 2) return 0;
  if (interval.high < 0.0) return 1;
  if (interval.low > 0.0) return -1;
  return 0;
}

std::string steadierSentence(const std::string& name, double difference, const ClassBootstrap& i,
                             std::size_t units, double levelValue) {
  const std::string level = levelText(levelValue);
  const std::string delta = fixedSix(difference);
  if (units < 2) {
    return name + ": the data cannot tell which detector is steadier: B's minus A's is " + delta +
           ", but with " + (units == 0 ? "no unit" : "one unit") +
           " there is nothing to resample.\n";
  }
  switch (steadierOf(i, units)) {
    case 1:
      return name + ": B is steadier. B's minus A's is " + delta + ", and its " + level +
             " interval " + intervalText(i) + " lies below 0: B's error was lower in " +
             percentText(i.bBetter) + " of the resamples.\n";
    case -1:
      return name + ": A is steadier. B's minus A's is " + delta + ", and its " + level +
             " interval " + intervalText(i) + " lies above 0: A's error was lower in " +
             percentText(i.aBetter) + " of the resamples.\n";
    default:
      return name + ": the data cannot tell which detector is steadier. B's minus A's is " + delta +
             ", but its " + level + " interval " + intervalText(i) +
             " holds 0: B's error was lower in " + percentText(i.bBetter) +
             " of the resamples, A's in " + percentText(i.aBetter) + ".\n";
  }
}

// The classes of the evaluated sequences, "All" first and then in list
// order of first appearance (A's, then B's), each with both detectors' sums
// on every evaluated sequence and the bootstrap of their differences.
void compareClasses(StabilityCompareResult& result) {
  std::vector<std::string> names;
  std::map<std::string, std::pair<std::vector<StabilitySums>, std::vector<StabilitySums>>> sums;
  std::size_t units = 0;
  for (const auto& [a, b] : result.sequences) {
    if (a.failed()) continue;
    ++units;
    for (const StabilitySequence* side : {&a, &b}) {
      for (const StabilityClassSums& c : side->classes) {
        if (sums.emplace(c.name,
                         std::pair{std::vector<StabilitySums>{}, std::vector<StabilitySums>{}})
                .second) {
          names.push_back(c.name);
        }
      }
    }
  }
  for (auto& [name, both] : sums) {
    both.first.resize(units);
    both.second.resize(units);
  }
  std::size_t unit = 0;
  for (const auto& [a, b] : result.sequences) {
    if (a.failed()) continue;
    for (const StabilityClassSums& c : a.classes) sums[c.name].first[unit] = c.sums;
    for (const StabilityClassSums& c : b.classes) sums[c.name].second[unit] = c.sums;
    ++unit;
  }
  result.units = units;
  for (const std::string& name : names) {
    const auto& [a, b] = sums[name];
    StabilityCompareClass c;
    c.name = name;
    for (std::size_t k = 0; k < units; ++k) {
      c.a.add(a[k]);
      c.b.add(b[k]);
    }
    c.intervals = tracking::stabilityBootstrap(a, b, result.run.bootstrap);
    result.classes.push_back(std::move(c));
  }
}

}  // namespace

StabilityCompareResult compareStability(const StabilityCompareRun& run) {
  StabilityCompareResult result;
  result.run = run;
  result.run.bootstrap.threads = std::max(1u, run.jobs);
  const StabilitySettings& settings = run.settings;
  if (!result.dataset()) {
    // One sequence, one unit: its errors are `talmira stability`'s, and a
    // pair it refuses is refused with its status.
    const DatasetReading reading = readingOf(settings, false);
    StabilitySequence a, b;
    a.groundTruth = b.groundTruth = run.groundTruth;
    a.system = run.systemA;
    b.system = run.systemB;
    evaluateOrThrow(a, settings, reading);
    evaluateOrThrow(b, settings, reading);
    result.sequences.emplace_back(std::move(a), std::move(b));
    compareClasses(result);
    return result;
  }
  std::string bytes;
  for (ListedSequence& listed :
       readSequenceList(run.dataset, {"sequence", "groundtruth", "system_a", "system_b"}, bytes,
                        kFormatColumns)) {
    checkListedFormats(listed, run.dataset, settings.clear);
    StabilitySequence a;
    a.position = result.sequences.size();
    a.name = std::move(listed.name);
    a.groundTruth = std::move(listed.paths[0]);
    a.system = std::move(listed.paths[1]);
    if (!listed.optional.empty()) {
      a.groundTruthFormat = std::move(listed.optional[0]);
      a.systemFormat = std::move(listed.optional[1]);
    }
    StabilitySequence b = a;
    b.system = std::move(listed.paths[2]);
    result.sequences.emplace_back(std::move(a), std::move(b));
  }
  const bool perSequence =
      std::any_of(result.sequences.begin(), result.sequences.end(), [](const auto& both) {
        return !both.first.groundTruthFormat.empty() || !both.first.systemFormat.empty();
      });
  const DatasetReading reading = readingOf(settings, perSequence);
  onThreads(result.sequences.size(), run.jobs, run.progress, [&](std::size_t k) {
    auto& [a, b] = result.sequences[k];
    evaluateCaught(a, settings, reading);
    evaluateCaught(b, settings, reading);
    // A sequence counts only when both detectors were evaluated on it; every
    // message is kept (the ground truth's once when both fail on it).
    if (b.failed() && b.error != a.error) a.error += (a.error.empty() ? "" : "\n") + b.error;
  });
  compareClasses(result);
  return result;
}

std::string renderStabilityCompareText(const StabilityCompareResult& r) {
  std::string text;
  if (r.dataset()) {
    text +=
        "Comparing two detectors' stability (E_F, E_C, E_R over each ground-truth track) on "
        "the dataset " +
        r.run.dataset + " (A: its system_a, B: its system_b)\n";
  } else {
    text += "Comparing two detectors' stability (E_F, E_C, E_R over each ground-truth track) on " +
            r.run.groundTruth + "\n  A: " + r.run.systemA + "\n  B: " + r.run.systemB + "\n";
  }
  const BootstrapOptions& bootstrap = r.run.bootstrap;
  const std::string level = levelText(bootstrap.level);
  text += "Units: " + std::to_string(r.units) + (r.units == 1 ? " sequence" : " sequences") + "; " +
          std::to_string(bootstrap.resamples) + " resamples, seed " +
          std::to_string(bootstrap.seed) + ", " + level + " intervals.\n\n";
  std::vector<std::vector<std::string>> rows = {{"Class", "Error", "Tracks A", "Tracks B", "A", "B",
                                                 "Delta", level + " interval", "B better",
                                                 "A better", "Verdict"}};
  for (const StabilityCompareClass& c : r.classes) {
    for (const ErrorRow& e : errorRowsOf(c)) {
      const bool first = e.name == std::string("E_F");
      rows.push_back({first ? c.name : "", e.name, first ? std::to_string(c.a.tracks) : "",
                      first ? std::to_string(c.b.tracks) : "", fixedSix(e.a), fixedSix(e.b),
                      fixedSix(e.b - e.a), intervalText(*e.interval),
                      fixedFour(e.interval->bBetter), fixedFour(e.interval->aBetter),
                      verdictWords(steadierOf(*e.interval, r.units))});
    }
  }
  text += renderTable(rows, 2);
  text += std::string(
      "Each detector's errors are the means over every track used of the sequences "
      "(not of the sequences' means); lower is steadier. Delta: B's minus A's. Each "
      "resample draws the sequences with replacement and pools the drawn sequences' "
      "sums again (a sequence drawn twice counts twice); B better, A better: the share "
      "of resamples in which each one's error was lower.\n\n");
  for (const StabilityCompareClass& c : r.classes) {
    for (const ErrorRow& e : errorRowsOf(c)) {
      const std::string name = r.classes.size() > 1 ? c.name + " " + e.name : e.name;
      text += steadierSentence(name, e.b - e.a, *e.interval, r.units, bootstrap.level);
    }
  }
  if (r.units >= 2 && r.units < kFewUnits) {
    text += "Only " + std::to_string(r.units) +
            " sequences: the resamples can mix only so few, and the intervals are too narrow to "
            "trust.\n";
  }
  if (r.dataset()) {
    std::vector<std::vector<std::string>> each = {
        {"Sequence", "Class", "Tracks A", "Sum A", "Tracks B", "Sum B"}};
    std::string failures;
    for (const auto& [a, b] : r.sequences) {
      if (a.failed()) {
        each.push_back({a.name, "failed"});
        failures += a.name + ": " + oneLine(a.error) + "\n";
        continue;
      }
      std::vector<std::string> names;
      for (const StabilitySequence* side : {&a, &b}) {
        for (const StabilityClassSums& c : side->classes) {
          if (std::find(names.begin(), names.end(), c.name) == names.end()) {
            names.push_back(c.name);
          }
        }
      }
      for (const std::string& name : names) {
        std::vector<std::string> row = {a.name, name};
        for (const StabilitySequence* side : {&a, &b}) {
          StabilitySums sums;
          for (const StabilityClassSums& c : side->classes) {
            if (c.name == name) sums = c.sums;
          }
          const StabilitySummary s = sums.summary();
          row.push_back(std::to_string(s.tracks));
          row.push_back(s.tracks > 0 ? fixedSix(s.total()) : "-");
        }
        each.push_back(std::move(row));
      }
    }
    text += "\nEach sequence (Sum: E_F + E_C + E_R of its tracks):\n" + renderTable(each, 2);
    if (!failures.empty()) text += "\nFailed:\n" + failures;
  }
  return text + matchingLine(r.run.settings);
}

std::string renderStabilityCompareCsv(const StabilityCompareResult& r) {
  std::string text = "class,error,tracks_a,tracks_b,a,b,delta,low,high,b_better,a_better\n";
  for (const StabilityCompareClass& c : r.classes) {
    for (const ErrorRow& e : errorRowsOf(c)) {
      text += csvField(c.name) + "," + e.name + "," + std::to_string(c.a.tracks) + "," +
              std::to_string(c.b.tracks) + "," + shortestDouble(e.a) + "," + shortestDouble(e.b) +
              "," + shortestDouble(e.b - e.a) + "," + shortestDouble(e.interval->low) + "," +
              shortestDouble(e.interval->high) + "," + shortestDouble(e.interval->bBetter) + "," +
              shortestDouble(e.interval->aBetter) + "\n";
    }
  }
  return text;
}

Json stabilityCompareJson(const StabilityCompareResult& r) {
  Json json;
  if (r.dataset()) {
    json["list"] = r.run.dataset;
  } else {
    json["groundtruth"] = r.run.groundTruth;
    json["system_a"] = r.run.systemA;
    json["system_b"] = r.run.systemB;
  }
  json["matching"] = r.run.settings.clear ? "clear" : "detection";
  json["confidence"] = confidenceJson(r.run.settings);
  json["unit"] = "sequence";
  json["units"] = r.units;
  json["resamples"] = r.run.bootstrap.resamples;
  json["seed"] = r.run.bootstrap.seed;
  json["level"] = r.run.bootstrap.level;
  json["better"] = "lower";
  Json classes = Json::array();
  for (const StabilityCompareClass& c : r.classes) {
    Json errors = Json::array();
    for (const ErrorRow& e : errorRowsOf(c)) {
      errors.push_back(Json{{"error", e.name},
                            {"a", e.a},
                            {"b", e.b},
                            {"delta", e.b - e.a},
                            {"low", e.interval->low},
                            {"high", e.interval->high},
                            {"b_better", e.interval->bBetter},
                            {"a_better", e.interval->aBetter},
                            {"verdict", verdictWords(steadierOf(*e.interval, r.units))}});
    }
    classes.push_back(Json{{"class", c.name},
                           {"tracks_a", c.a.tracks},
                           {"left_out_a", c.a.leftOut},
                           {"tracks_b", c.b.tracks},
                           {"left_out_b", c.b.leftOut},
                           {"errors", std::move(errors)}});
  }
  json["classes"] = std::move(classes);
  Json sequences = Json::array();
  std::size_t failed = 0;
  std::vector<std::string> warnings;
  for (const auto& [a, b] : r.sequences) {
    const std::string lead = a.name.empty() ? "" : a.name + ": ";
    for (const std::string& w : a.warnings) warnings.push_back("A: " + lead + w);
    for (const std::string& w : b.warnings) warnings.push_back("B: " + lead + w);
    if (!r.dataset()) continue;
    Json s{{"sequence", a.name},
           {"groundtruth", a.groundTruth},
           {"system_a", a.system},
           {"system_b", b.system}};
    if (a.failed()) {
      s["error"] = a.error;
      ++failed;
    } else {
      Json sides = Json::object();
      for (const auto& [key, side] : {std::pair{"a", &a}, std::pair{"b", &b}}) {
        Json rows = Json::array();
        for (const StabilityClassSums& c : side->classes) {
          rows.push_back(summaryJson(c.name, c.sums.summary()));
        }
        sides[key] = std::move(rows);
      }
      s["classes"] = std::move(sides);
    }
    sequences.push_back(std::move(s));
  }
  if (r.dataset()) {
    json["sequences"] = std::move(sequences);
    json["failed"] = failed;
  }
  stateRules(json, rulesOf(r.run.settings));
  json["warnings"] = warnings;
  return json;
}

void runStabilityCompare(const StabilityCompareRun& run) {
  checkSettings(run.settings, "compare");
  std::vector<std::string> inputs = auxiliaryInputs(run.settings.formats);
  if (run.dataset.empty()) {
    inputs.insert(inputs.end(), {run.groundTruth, run.systemA, run.systemB});
  } else {
    inputs.push_back(run.dataset);
  }
  refuseOutputNamingInput(run.output, inputs);
  const StabilityCompareResult result = compareStability(run);
  // Nothing is written before this: the listed files are refused as outputs too.
  inputs.clear();
  for (const auto& [a, b] : result.sequences) {
    inputs.insert(inputs.end(), {a.groundTruth, a.system, b.system});
  }
  refuseOutputNamingInput(run.output, inputs);
  std::size_t failed = 0;
  for (const auto& [a, b] : result.sequences) {
    for (const auto& [lead, side] : {std::pair{"A: ", &a}, std::pair{"B: ", &b}}) {
      for (const std::string& w : side->warnings) {
        std::fprintf(stderr, "warning: %s%s%s\n", lead,
                     side->name.empty() ? "" : (side->name + ": ").c_str(), w.c_str());
      }
    }
    if (!a.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", a.error.c_str());
  }
  switch (run.format) {
    case Format::kText:
      writeOutput(run.output, renderStabilityCompareText(result));
      break;
    case Format::kCsv:
      writeOutput(run.output, renderStabilityCompareCsv(result));
      break;
    case Format::kJson:
      writeOutput(run.output, jsonText(stabilityCompareJson(result)));
      break;
  }
  if (failed > 0) throw sequencesFailed("talmira compare", failed, result.sequences.size());
}

}  // namespace talmira
