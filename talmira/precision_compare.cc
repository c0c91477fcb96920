#include "talmira/precision_compare.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <optional>
#include <thread>

#include "talmira/precision_options.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/compare_report.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

// Units below this many give intervals too narrow to trust, as compare says
// of its counts.
constexpr std::size_t kFewUnits = 10;

precision::PrecisionFigures figuresOf(const precision::MatchedImages& matched,
                                      const precision::CocoParameters& parameters,
                                      unsigned threads) {
  const precision::CocoResult result = precision::evaluateMatched(matched, parameters, threads);
  return {result.stats[0], result.stats[1]};
}

// Both detectors' pairs read as images, each with its own threshold; with
// more than one thread both at once. Every message is kept (the ground
// truth's once when both fail on it).
struct TwoSets {
  precision::ImageSet a, b;
};
TwoSets readTwo(const std::string& groundTruth, const std::string& a, const std::string& b,
                const InputFormats& formats, const PrecisionCompareRun& run, uint32_t sequence,
                unsigned threads) {
  TwoSets sets;
  std::string errors[2];
  const auto readOne = [&](int side) {
    try {
      (side == 0 ? sets.a : sets.b) =
          imagesOfPair(groundTruth, side == 0 ? a : b, formats,
                       side == 0 ? run.confidenceA : run.confidenceB, sequence, 1);
    } catch (const CommandError& e) {
      errors[side] = e.message;
    }
  };
  if (threads > 1) {
    std::jthread second(readOne, 1);
    readOne(0);
  } else {
    readOne(0);
    readOne(1);
  }
  std::string messages = errors[0];
  if (!errors[1].empty() && errors[1] != errors[0]) {
    messages += (messages.empty() ? "" : "\n") + errors[1];
  }
  if (!messages.empty()) throw CommandError{kExitInputOrOutput, messages};
  return sets;
}

void keepWarnings(const precision::ImageSet& set, const std::string& lead,
                  std::vector<std::string>& into) {
  for (const std::string& warning : set.warnings) into.push_back(lead + warning);
}

// A figure for people: six decimals, or "-" where no category has ground truth.
std::string figureText(double value) { return value <= -1 ? "-" : fixedSix(value); }

struct Figure {
  const char* name;  // as the text names it
  const char* key;   // as CSV and JSON name it
  double a, b;
  const ClassBootstrap* interval;
};
std::vector<Figure> figuresOf(const PrecisionCompareResult& r) {
  return {{"mAP", "map", r.a.map, r.b.map, &r.intervals.map},
          {"AP50", "ap50", r.a.ap50, r.b.ap50, &r.intervals.ap50}};
}

std::string thresholdsText(const PrecisionCompareResult& r) {
  if (r.confidenceA == r.confidenceB) return "both at confidence " + shortestText(r.confidenceA);
  return "A at confidence " + shortestText(r.confidenceA) + ", B at " + shortestText(r.confidenceB);
}

}  // namespace

PrecisionCompareResult comparePrecisionFiles(const std::string& groundTruth, const std::string& a,
                                             const std::string& b, const PrecisionCompareRun& run) {
  PrecisionCompareResult result;
  result.groundTruth = groundTruth;
  result.systemA = a;
  result.systemB = b;
  result.confidenceA = run.confidenceA;
  result.confidenceB = run.confidenceB;
  result.bootstrap = run.bootstrap;
  const unsigned jobs = std::max(1u, run.jobs);
  result.bootstrap.threads = jobs;
  const TwoSets sets = readTwo(groundTruth, a, b, run.reading.of(groundTruth), run, 0, jobs);
  keepWarnings(sets.a, "A: ", result.warnings);
  keepWarnings(sets.b, "B: ", result.warnings);
  const precision::MatchedImages matchedA = precision::matchImages(sets.a, run.parameters, jobs);
  const precision::MatchedImages matchedB = precision::matchImages(sets.b, run.parameters, jobs);
  result.a = figuresOf(matchedA, run.parameters, jobs);
  result.b = figuresOf(matchedB, run.parameters, jobs);
  // The units: every image of either pair, by id (other formats' pairs may
  // have frames the other detector's file lacks).
  std::vector<int64_t> images;
  std::set_union(sets.a.imageIds.begin(), sets.a.imageIds.end(), sets.b.imageIds.begin(),
                 sets.b.imageIds.end(), std::back_inserter(images));
  const auto unitsOf = [&](const precision::ImageSet& set) {
    std::vector<uint32_t> units;
    for (const int64_t id : set.imageIds) {
      units.push_back(static_cast<uint32_t>(std::lower_bound(images.begin(), images.end(), id) -
                                            images.begin()));
    }
    return units;
  };
  result.units = images.size();
  const precision::WeightedPrecision weightedA(matchedA, unitsOf(sets.a), images.size(),
                                               run.parameters);
  const precision::WeightedPrecision weightedB(matchedB, unitsOf(sets.b), images.size(),
                                               run.parameters);
  result.intervals = precision::precisionBootstrap(weightedA, weightedB, result.bootstrap);
  return result;
}

PrecisionCompareResult comparePrecisionDataset(const std::string& list,
                                               const std::vector<CompareSequence>& listed,
                                               const PrecisionCompareRun& run) {
  PrecisionCompareResult result;
  result.list = list;
  result.confidenceA = run.confidenceA;
  result.confidenceB = run.confidenceB;
  result.bootstrap = run.bootstrap;
  const unsigned jobs = std::max(1u, run.jobs);
  result.bootstrap.threads = jobs;
  for (const CompareSequence& s : listed) {
    PrecisionCompareSequence q;
    q.name = s.name;
    q.groundTruth = s.groundTruth;
    q.systemA = s.systemA;
    q.systemB = s.systemB;
    q.groundTruthFormat = s.groundTruthFormat;
    q.systemFormat = s.systemFormat;
    q.error = s.error;
    result.sequences.push_back(std::move(q));
  }
  // Each sequence's matches with both detectors, kept for the pooling; each
  // in its own slot, so the order the threads finish in does not show.
  struct Matched {
    precision::MatchedImages a, b;
    std::vector<std::string> warnings;
  };
  std::vector<std::optional<Matched>> matched(result.sequences.size());
  const std::size_t workers = std::min<std::size_t>(jobs, result.sequences.size());
  const unsigned perSequence =
      std::max(1u, jobs / static_cast<unsigned>(std::max<std::size_t>(1, workers)));
  {
    Progress progress(run.progress, result.sequences.size());
    std::atomic<std::size_t> next{0}, done{0};
    const auto work = [&] {
      for (std::size_t i; (i = next.fetch_add(1)) < result.sequences.size();) {
        PrecisionCompareSequence& s = result.sequences[i];
        if (!s.failed()) {
          try {
            const TwoSets sets =
                readTwo(s.groundTruth, s.systemA, s.systemB,
                        run.reading.of(s.groundTruth, s.groundTruthFormat, s.systemFormat), run,
                        static_cast<uint32_t>(i), 1);
            Matched m;
            keepWarnings(sets.a, "A: " + s.name + ": ", m.warnings);
            keepWarnings(sets.b, "B: " + s.name + ": ", m.warnings);
            m.a = precision::matchImages(sets.a, run.parameters, perSequence);
            m.b = precision::matchImages(sets.b, run.parameters, perSequence);
            s.images = std::max(m.a.images, m.b.images);
            s.a = figuresOf(m.a, run.parameters, 1);
            s.b = figuresOf(m.b, run.parameters, 1);
            matched[i] = std::move(m);
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
  std::vector<const precision::MatchedImages*> partsA, partsB;
  for (std::size_t i = 0; i < matched.size(); ++i) {
    if (!matched[i]) continue;
    partsA.push_back(&matched[i]->a);
    partsB.push_back(&matched[i]->b);
    result.warnings.insert(result.warnings.end(), matched[i]->warnings.begin(),
                           matched[i]->warnings.end());
  }
  result.units = partsA.size();
  const auto side = [&](const std::vector<const precision::MatchedImages*>& parts,
                        precision::PrecisionFigures& figures) {
    const precision::MatchedImages pooled = precision::poolMatches(parts);
    figures = figuresOf(pooled, run.parameters, jobs);
    const std::vector<std::size_t> offsets = precision::imageOffsets(parts);
    std::vector<uint32_t> units(pooled.images);
    for (std::size_t p = 0; p < parts.size(); ++p) {
      std::fill(units.begin() + static_cast<std::ptrdiff_t>(offsets[p]),
                units.begin() + static_cast<std::ptrdiff_t>(offsets[p + 1]),
                static_cast<uint32_t>(p));
    }
    return precision::WeightedPrecision(pooled, units, parts.size(), run.parameters);
  };
  const precision::WeightedPrecision weightedA = side(partsA, result.a);
  const precision::WeightedPrecision weightedB = side(partsB, result.b);
  result.intervals = precision::precisionBootstrap(weightedA, weightedB, result.bootstrap);
  return result;
}

std::string renderPrecisionCompareText(const PrecisionCompareResult& r) {
  std::string text;
  if (r.dataset()) {
    text += "Comparing two detectors by average precision (COCO) on the dataset " + r.list +
            " (A: its system_a, B: its system_b), " + thresholdsText(r) + "\n";
  } else {
    text += "Comparing two detectors by average precision (COCO) on " + r.groundTruth + ", " +
            thresholdsText(r) + "\n";
    text += "  A: " + r.systemA + "\n  B: " + r.systemB + "\n";
  }
  const std::string level = levelText(r.bootstrap.level);
  const std::string units =
      std::to_string(r.units) + (r.dataset() ? (r.units == 1 ? " sequence" : " sequences")
                                             : (r.units == 1 ? " image" : " images"));
  text += "Units: " + units + "; " + std::to_string(r.bootstrap.resamples) + " resamples, seed " +
          std::to_string(r.bootstrap.seed) + ", " + level + " intervals.\n\n";
  std::vector<std::vector<std::string>> rows = {
      {"Figure", "A", "B", "Delta", level + " interval", "B better", "A better", "Verdict"}};
  for (const Figure& f : figuresOf(r)) {
    rows.push_back({f.name, figureText(f.a), figureText(f.b), fixedSix(f.b - f.a),
                    intervalText(*f.interval), fixedFour(f.interval->bBetter),
                    fixedFour(f.interval->aBetter), verdictWords(verdictOf(*f.interval, r.units))});
  }
  text += renderTable(rows);
  text +=
      "mAP: AP over IoU 0.50:0.95, area all, 100 detections per image and category; AP50: at IoU "
      "0.50. Delta: B's minus A's. Each resample draws the units with replacement and computes "
      "both figures again from the drawn units' detections and ground truth; B better, A better: "
      "the share of resamples in which each scored higher.\n\n";
  for (const Figure& f : figuresOf(r)) {
    text += figureVerdictSentence(f.name, f.b - f.a, *f.interval, r.units, r.bootstrap.level,
                                  "detector");
  }
  if (r.units >= 2 && r.units < kFewUnits) {
    text += "Only " + std::to_string(r.units) +
            " units: the resamples can mix only so few, and the intervals are too narrow to "
            "trust.\n";
  }
  if (r.dataset()) {
    std::vector<std::vector<std::string>> each = {
        {"Sequence", "mAP A", "mAP B", "Delta", "AP50 A", "AP50 B", "Delta"}};
    std::string failures;
    for (const PrecisionCompareSequence& q : r.sequences) {
      if (q.failed()) {
        each.push_back({q.name, "failed"});
        std::string message = q.error;
        for (std::size_t at; (at = message.find('\n')) != std::string::npos;) {
          message.replace(at, 1, "; ");
        }
        failures += q.name + ": " + message + "\n";
        continue;
      }
      each.push_back({q.name, figureText(q.a.map), figureText(q.b.map), fixedSix(q.b.map - q.a.map),
                      figureText(q.a.ap50), figureText(q.b.ap50), fixedSix(q.b.ap50 - q.a.ap50)});
    }
    text += "\nEach sequence:\n" + renderTable(each) + failures;
  }
  return text;
}

std::string renderPrecisionCompareCsv(const PrecisionCompareResult& r) {
  std::string text = "figure,a,b,delta,low,high,b_better,a_better\n";
  for (const Figure& f : figuresOf(r)) {
    text += std::string(f.key) + "," + shortestDouble(f.a) + "," + shortestDouble(f.b) + "," +
            shortestDouble(f.b - f.a) + "," + shortestDouble(f.interval->low) + "," +
            shortestDouble(f.interval->high) + "," + shortestDouble(f.interval->bBetter) + "," +
            shortestDouble(f.interval->aBetter) + "\n";
  }
  return text;
}

Json precisionCompareJson(const PrecisionCompareResult& r) {
  Json json;
  if (r.dataset()) {
    json["list"] = r.list;
  } else {
    json["groundtruth"] = r.groundTruth;
    json["system_a"] = r.systemA;
    json["system_b"] = r.systemB;
  }
  json["protocol"] = "coco";
  json["unit"] = r.dataset() ? "sequence" : "image";
  json["units"] = r.units;
  json["resamples"] = r.bootstrap.resamples;
  json["seed"] = r.bootstrap.seed;
  json["level"] = r.bootstrap.level;
  json["confidence_a"] = jsonNumber(r.confidenceA);
  json["confidence_b"] = jsonNumber(r.confidenceB);
  Json figures = Json::array();
  for (const Figure& f : figuresOf(r)) {
    figures.push_back(Json{{"figure", f.key},
                           {"a", f.a},
                           {"b", f.b},
                           {"delta", f.b - f.a},
                           {"low", f.interval->low},
                           {"high", f.interval->high},
                           {"b_better", f.interval->bBetter},
                           {"a_better", f.interval->aBetter},
                           {"verdict", verdictWords(verdictOf(*f.interval, r.units))}});
  }
  json["figures"] = std::move(figures);
  if (r.dataset()) {
    Json sequences = Json::array();
    std::size_t failed = 0;
    for (const PrecisionCompareSequence& q : r.sequences) {
      Json s{{"sequence", q.name},
             {"groundtruth", q.groundTruth},
             {"system_a", q.systemA},
             {"system_b", q.systemB}};
      if (q.failed()) {
        s["error"] = q.error;
        ++failed;
      } else {
        s["images"] = q.images;
        s["map_a"] = q.a.map;
        s["map_b"] = q.b.map;
        s["ap50_a"] = q.a.ap50;
        s["ap50_b"] = q.b.ap50;
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
