#include "talmira/track_compare.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <new>
#include <thread>

#include "talmira/track_files.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/batch_tracking.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

using tracking::TrackSums;

// Units below this many give intervals too narrow to trust, as compare says
// of its counts.
constexpr std::size_t kFewUnits = 10;

TrackRequest requestOf(const TrackingSettings& settings, const std::string& groundTruth,
                       const std::string& system, const std::string& groundTruthFormat,
                       const std::string& systemFormat) {
  TrackRequest request;
  request.groundTruth = groundTruth;
  request.system = system;
  request.groundTruthFormat =
      groundTruthFormat.empty() ? settings.groundTruthFormat : groundTruthFormat;
  request.systemFormat = systemFormat.empty() ? settings.systemFormat : systemFormat;
  request.ids = settings.ids;
  request.rules = settings.rules;
  request.confidence = settings.confidence;
  return request;
}

// Both trackers' pairs, each as `talmira track` evaluates it; every
// message is kept (the ground truth's once when both fail on it).
void evaluateBoth(TrackCompareSequence& s, const TrackingSettings& settings,
                  std::vector<std::string>& warnings) {
  std::string errors[2];
  TrackReport* const into[2] = {&s.a, &s.b};
  const std::string* const systems[2] = {&s.systemA, &s.systemB};
  for (int side = 0; side < 2; ++side) {
    std::vector<std::string> read;
    try {
      *into[side] = trackFiles(
          requestOf(settings, s.groundTruth, *systems[side], s.groundTruthFormat, s.systemFormat),
          &read);
    } catch (const CommandError& e) {
      errors[side] = e.message;
    }
    const std::string lead = (side == 0 ? "A: " : "B: ") + (s.name.empty() ? "" : s.name + ": ");
    for (const std::string& warning : read) warnings.push_back(lead + warning);
  }
  std::string messages = errors[0];
  if (!errors[1].empty() && errors[1] != errors[0]) {
    messages += (messages.empty() ? "" : "\n") + errors[1];
  }
  if (!messages.empty()) throw CommandError{kExitInputOrOutput, messages};
}

struct Figure {
  const char* name;  // as the text, CSV and JSON name it
  double a, b;
  const ClassBootstrap* interval;
};
std::vector<Figure> figuresOf(const TrackCompareClass& c) {
  return {{"HOTA", c.a.hota, c.b.hota, &c.intervals.hota},
          {"MOTA", c.a.mota, c.b.mota, &c.intervals.mota},
          {"IDF1", c.a.idf1, c.b.idf1, &c.intervals.idf1}};
}

// The classes of the evaluated sequences in list order of first
// appearance, each with both trackers' sums on every evaluated sequence
// (zero where its ground truth lacks the class, which adds nothing), the
// figures combined from them and the bootstrap of their differences.
void compareClasses(TrackCompareResult& result) {
  std::vector<std::string> names;
  std::map<std::string, std::pair<std::vector<TrackSums>, std::vector<TrackSums>>> sums;
  std::map<std::string, std::size_t> having;
  std::size_t units = 0;
  for (const TrackCompareSequence& s : result.sequences) {
    if (s.failed()) continue;
    ++units;
    for (const TrackReport* report : {&s.a, &s.b}) {
      for (const TrackClassResult& c : report->classes) {
        if (sums.emplace(c.name, std::pair{std::vector<TrackSums>{}, std::vector<TrackSums>{}})
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
  for (const TrackCompareSequence& s : result.sequences) {
    if (s.failed()) continue;
    for (const TrackClassResult& c : s.a.classes) sums[c.name].first[unit] = c.measures.sums;
    for (const TrackClassResult& c : s.b.classes) sums[c.name].second[unit] = c.measures.sums;
    for (const TrackClassResult& c : s.a.classes) ++having[c.name];
    ++unit;
  }
  result.units = units;
  const std::vector<uint32_t> once(units, 1);
  for (const std::string& name : names) {
    const auto& [a, b] = sums[name];
    TrackCompareClass c;
    c.name = name;
    c.sequences = having[name];
    c.a = tracking::combinedFigures(a, once);
    c.b = tracking::combinedFigures(b, once);
    c.intervals = tracking::trackBootstrap(a, b, result.bootstrap);
    result.classes.push_back(std::move(c));
  }
}

std::string settingsText(const TrackingSettings& settings) {
  std::string text;
  if (!settings.rules.empty()) text += ", rules " + settings.rules;
  if (settings.confidence) {
    text += ", tracker boxes below " + shortestText(*settings.confidence) + " left out";
  }
  return text;
}

}  // namespace

TrackCompareResult compareTrackFiles(const std::string& groundTruth, const std::string& a,
                                     const std::string& b, const TrackCompareRun& run) {
  TrackCompareResult result;
  result.groundTruth = groundTruth;
  result.systemA = a;
  result.systemB = b;
  result.settings = run.settings;
  result.bootstrap = run.bootstrap;
  result.bootstrap.threads = std::max(1u, run.jobs);
  TrackCompareSequence s;
  s.groundTruth = groundTruth;
  s.systemA = a;
  s.systemB = b;
  evaluateBoth(s, run.settings, result.warnings);
  result.sequences.push_back(std::move(s));
  compareClasses(result);
  // One sequence: its own figures, as `talmira track` gives them.
  const TrackCompareSequence& only = result.sequences.front();
  for (TrackCompareClass& c : result.classes) {
    for (const TrackClassResult& x : only.a.classes) {
      if (x.name == c.name) c.a = tracking::trackFigures(x.measures);
    }
    for (const TrackClassResult& x : only.b.classes) {
      if (x.name == c.name) c.b = tracking::trackFigures(x.measures);
    }
  }
  return result;
}

TrackCompareResult compareTrackDataset(const std::string& list,
                                       const std::vector<CompareSequence>& listed,
                                       const TrackCompareRun& run) {
  TrackCompareResult result;
  result.list = list;
  result.settings = run.settings;
  result.bootstrap = run.bootstrap;
  const unsigned jobs = std::max(1u, run.jobs);
  result.bootstrap.threads = jobs;
  for (const CompareSequence& s : listed) {
    TrackCompareSequence q;
    q.name = s.name;
    q.groundTruth = s.groundTruth;
    q.systemA = s.systemA;
    q.systemB = s.systemB;
    q.groundTruthFormat = s.groundTruthFormat;
    q.systemFormat = s.systemFormat;
    q.error = s.error;
    result.sequences.push_back(std::move(q));
  }
  // Each sequence's warnings in its own slot, so the order the threads
  // finish in does not show.
  std::vector<std::vector<std::string>> warnings(result.sequences.size());
  const std::size_t workers = std::min<std::size_t>(jobs, result.sequences.size());
  {
    Progress progress(run.progress, result.sequences.size());
    std::atomic<std::size_t> next{0}, done{0};
    const auto work = [&] {
      for (std::size_t i; (i = next.fetch_add(1)) < result.sequences.size();) {
        TrackCompareSequence& s = result.sequences[i];
        if (!s.failed()) {
          try {
            evaluateBoth(s, run.settings, warnings[i]);
          } catch (const CommandError& e) {
            s.error = e.message;
          } catch (const std::bad_alloc&) {
            s.error = s.groundTruth + ": out of memory while comparing " + s.systemA + " and " +
                      s.systemB + " on it";
          }
        }
        progress.finished(done.fetch_add(1) + 1);
      }
    };
    std::vector<std::jthread> threads;
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
    work();
  }
  for (const std::vector<std::string>& w : warnings) {
    result.warnings.insert(result.warnings.end(), w.begin(), w.end());
  }
  compareClasses(result);
  return result;
}

std::string renderTrackCompareText(const TrackCompareResult& r) {
  std::string text;
  if (r.dataset()) {
    text += "Comparing two trackers by HOTA, MOTA and IDF1 on the dataset " + r.list +
            " (A: its system_a, B: its system_b)" + settingsText(r.settings) + "\n";
  } else {
    text += "Comparing two trackers by HOTA, MOTA and IDF1 on " + r.groundTruth +
            settingsText(r.settings) + "\n";
    text += "  A: " + r.systemA + "\n  B: " + r.systemB + "\n";
  }
  const std::string level = levelText(r.bootstrap.level);
  text += "Units: " + std::to_string(r.units) + (r.units == 1 ? " sequence" : " sequences") + "; " +
          std::to_string(r.bootstrap.resamples) + " resamples, seed " +
          std::to_string(r.bootstrap.seed) + ", " + level + " intervals.\n\n";
  std::vector<std::vector<std::string>> rows = {{"Class", "Figure", "A", "B", "Delta",
                                                 level + " interval", "B better", "A better",
                                                 "Verdict"}};
  for (const TrackCompareClass& c : r.classes) {
    for (const Figure& f : figuresOf(c)) {
      rows.push_back({f.name == std::string("HOTA") ? c.name : "", f.name, fixedSix(f.a),
                      fixedSix(f.b), fixedSix(f.b - f.a), intervalText(*f.interval),
                      fixedFour(f.interval->bBetter), fixedFour(f.interval->aBetter),
                      verdictWords(verdictOf(*f.interval, r.units))});
    }
  }
  text += renderTable(rows);
  text += std::string(
              "HOTA: the mean over alphas 0.05 to 0.95; MOTA and IDF1 at IoU 0.5, as the "
              "tracking benchmarks' evaluator computes them") +
          (r.dataset() ? ", each tracker's sequences combined as it combines them" : "") +
          ". Delta: B's minus A's. Each resample draws the sequences with replacement and "
          "combines the drawn sequences' sums again (a sequence drawn twice counts twice); B "
          "better, A better: the share of resamples in which each scored higher.\n\n";
  for (const TrackCompareClass& c : r.classes) {
    for (const Figure& f : figuresOf(c)) {
      const std::string name = r.classes.size() > 1 ? c.name + " " + f.name : f.name;
      text += figureVerdictSentence(name, f.b - f.a, *f.interval, r.units, r.bootstrap.level,
                                    "tracker");
    }
  }
  if (r.units >= 2 && r.units < kFewUnits) {
    text += "Only " + std::to_string(r.units) +
            " sequences: the resamples can mix only so few, and the intervals are too narrow to "
            "trust.\n";
  }
  if (r.dataset()) {
    std::vector<std::vector<std::string>> each = {
        {"Sequence", "Class", "HOTA A", "HOTA B", "MOTA A", "MOTA B", "IDF1 A", "IDF1 B"}};
    std::string failures;
    for (const TrackCompareSequence& q : r.sequences) {
      if (q.failed()) {
        each.push_back({q.name, "failed"});
        std::string message = q.error;
        for (std::size_t at; (at = message.find('\n')) != std::string::npos;) {
          message.replace(at, 1, "; ");
        }
        failures += q.name + ": " + message + "\n";
        continue;
      }
      for (std::size_t k = 0; k < q.a.classes.size() && k < q.b.classes.size(); ++k) {
        const tracking::TrackFigures a = tracking::trackFigures(q.a.classes[k].measures);
        const tracking::TrackFigures b = tracking::trackFigures(q.b.classes[k].measures);
        each.push_back({q.name, q.a.classes[k].name, fixedSix(a.hota), fixedSix(b.hota),
                        fixedSix(a.mota), fixedSix(b.mota), fixedSix(a.idf1), fixedSix(b.idf1)});
      }
    }
    text += "\nEach sequence, as `talmira track` gives it:\n" + renderTable(each);
    if (!failures.empty()) text += "\nFailed:\n" + failures;
  }
  return text;
}

std::string renderTrackCompareCsv(const TrackCompareResult& r) {
  std::string text = "class,figure,a,b,delta,low,high,b_better,a_better\n";
  for (const TrackCompareClass& c : r.classes) {
    for (const Figure& f : figuresOf(c)) {
      text += csvField(c.name) + "," + f.name + "," + shortestDouble(f.a) + "," +
              shortestDouble(f.b) + "," + shortestDouble(f.b - f.a) + "," +
              shortestDouble(f.interval->low) + "," + shortestDouble(f.interval->high) + "," +
              shortestDouble(f.interval->bBetter) + "," + shortestDouble(f.interval->aBetter) +
              "\n";
    }
  }
  return text;
}

Json trackCompareJson(const TrackCompareResult& r) {
  Json json;
  if (r.dataset()) {
    json["list"] = r.list;
  } else {
    json["groundtruth"] = r.groundTruth;
    json["system_a"] = r.systemA;
    json["system_b"] = r.systemB;
  }
  json["track"] = trackingSettingsJson(r.settings);
  json["confidence"] = r.settings.confidence ? jsonNumber(*r.settings.confidence) : Json(nullptr);
  json["unit"] = "sequence";
  json["units"] = r.units;
  json["resamples"] = r.bootstrap.resamples;
  json["seed"] = r.bootstrap.seed;
  json["level"] = r.bootstrap.level;
  Json classes = Json::array();
  for (const TrackCompareClass& c : r.classes) {
    Json figures = Json::array();
    for (const Figure& f : figuresOf(c)) {
      figures.push_back(Json{{"figure", f.name},
                             {"a", f.a},
                             {"b", f.b},
                             {"delta", f.b - f.a},
                             {"low", f.interval->low},
                             {"high", f.interval->high},
                             {"b_better", f.interval->bBetter},
                             {"a_better", f.interval->aBetter},
                             {"verdict", verdictWords(verdictOf(*f.interval, r.units))}});
    }
    classes.push_back(
        Json{{"class", c.name}, {"sequences", c.sequences}, {"figures", std::move(figures)}});
  }
  json["classes"] = std::move(classes);
  if (r.dataset()) {
    Json sequences = Json::array();
    std::size_t failed = 0;
    for (const TrackCompareSequence& q : r.sequences) {
      Json s{{"sequence", q.name},
             {"groundtruth", q.groundTruth},
             {"system_a", q.systemA},
             {"system_b", q.systemB}};
      if (q.failed()) {
        s["error"] = q.error;
        ++failed;
      } else {
        Json each = Json::array();
        for (std::size_t k = 0; k < q.a.classes.size() && k < q.b.classes.size(); ++k) {
          const tracking::TrackFigures a = tracking::trackFigures(q.a.classes[k].measures);
          const tracking::TrackFigures b = tracking::trackFigures(q.b.classes[k].measures);
          each.push_back(Json{{"class", q.a.classes[k].name},
                              {"hota_a", a.hota},
                              {"hota_b", b.hota},
                              {"mota_a", a.mota},
                              {"mota_b", b.mota},
                              {"idf1_a", a.idf1},
                              {"idf1_b", b.idf1}});
        }
        s["classes"] = std::move(each);
      }
      sequences.push_back(std::move(s));
    }
    json["sequences"] = std::move(sequences);
    json["failed"] = failed;
  }
  json["warnings"] = r.warnings;
  return json;
}

}  // namespace talmira
