#include "talmira/writers/compare_report.h"

#include <cmath>
#include <cstdio>

#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

// Units below this many give intervals too narrow to trust: the resamples
// can only mix a handful of values.
constexpr std::size_t kFewUnits = 10;

float nmodtaA(const PairedClassCounts& c) { return reportedNmodta(c.gtA, c.fnA, c.fpA); }
float nmodtaB(const PairedClassCounts& c) { return reportedNmodta(c.gtB, c.fnB, c.fpB); }

// A class says something when either detector has objects or false alarms.
bool worthShowing(const PairedClassCounts& c) {
  return c.gtA > 0 || c.gtB > 0 || c.fpA > 0 || c.fpB > 0;
}

std::string thresholdsText(const CompareSettings& s) {
  if (s.best) {
    return "each at its own best threshold of All (A " + shortestText(s.confidenceA) + ", B " +
           shortestText(s.confidenceB) + ")";
  }
  if (s.confidenceA == s.confidenceB) return "both at confidence " + shortestText(s.confidenceA);
  return "A at confidence " + shortestText(s.confidenceA) + ", B at " + shortestText(s.confidenceB);
}

std::string unitsText(const CompareResult& r) {
  const std::string count = std::to_string(r.units);
  if (r.dataset()) return count + (r.units == 1 ? " sequence" : " sequences");
  return count + (r.units == 1 ? " block" : " blocks") + " of " + std::to_string(r.settings.block) +
         (r.settings.block == 1 ? " frame" : " frames") + " (" + std::to_string(r.settings.frames) +
         " frames)";
}

std::string verdictSentence(const CompareResult& r) {
  const PairedClassCounts& all = r.totals[0];
  const ClassBootstrap& i = r.intervals[0];
  const std::string level = levelText(r.settings.bootstrap.level);
  const std::string delta = fixedSix(deltaOf(all));
  if (r.units < 2) {
    return "All: the data cannot tell which detector is better: NMODTA of B minus that of A is " +
           delta + ", but with " + (r.units == 0 ? "no unit" : "one unit") +
           " there is nothing to resample.\n";
  }
  switch (verdictOf(i, r.units)) {
    case 1:
      return "All: B is better. NMODTA of B minus that of A is " + delta + ", and its " + level +
             " interval " + intervalText(i) + " lies above 0: B scored higher in " +
             percentText(i.bBetter) + " of the resamples.\n";
    case -1:
      return "All: A is better. NMODTA of B minus that of A is " + delta + ", and its " + level +
             " interval " + intervalText(i) + " lies below 0: A scored higher in " +
             percentText(i.aBetter) + " of the resamples.\n";
    default:
      return "All: the data cannot tell which detector is better. NMODTA of B minus that of A "
             "is " +
             delta + ", but its " + level + " interval " + intervalText(i) +
             " holds 0: B scored higher in " + percentText(i.bBetter) + " of the resamples, A in " +
             percentText(i.aBetter) + ".\n";
  }
}

}  // namespace

std::string intervalText(const ClassBootstrap& i) {
  return "[" + fixedSix(i.low) + ", " + fixedSix(i.high) + "]";
}

std::string verdictWords(int verdict) {
  return verdict > 0 ? "B better" : verdict < 0 ? "A better" : "cannot tell";
}

std::string percentText(double share) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f%%", share * 100.0);
  return text;
}

std::string fixedFour(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

std::string verdictOnAll(const CompareResult& r) {
  std::string words = verdictSentence(r);
  if (r.units >= 2 && r.units < kFewUnits) {
    words += "Only " + std::to_string(r.units) +
             " units: the resamples can mix only so few, and the interval is too narrow to "
             "trust; " +
             (r.dataset()            ? std::string("more sequences give a better one.\n")
              : r.settings.block > 1 ? std::string("a smaller --block, or more frames, give a "
                                                   "better one.\n")
                                     : std::string("more frames give a better one.\n"));
  }
  return words;
}

namespace {

Json sequenceJson(const CompareSequence& s) {
  Json json{{"sequence", s.name},
            {"groundtruth", s.groundTruth},
            {"system_a", s.systemA},
            {"system_b", s.systemB}};
  if (s.failed()) {
    json["error"] = s.error;
    return json;
  }
  const PairedClassCounts all = s.counts.at(0);
  json["gt"] = all.gtA;
  json["fn_a"] = all.fnA;
  json["fp_a"] = all.fpA;
  json["nmodta_a"] = jsonNumber(nmodtaA(all));
  json["fn_b"] = all.fnB;
  json["fp_b"] = all.fpB;
  json["nmodta_b"] = jsonNumber(nmodtaB(all));
  json["delta"] = deltaOf(all);
  return json;
}

}  // namespace

double deltaOf(const PairedClassCounts& c) {
  return nmodtaDouble(c.gtB, c.fnB, c.fpB) - nmodtaDouble(c.gtA, c.fnA, c.fpA);
}

std::string figureVerdictSentence(const std::string& name, double difference,
                                  const ClassBootstrap& i, std::size_t units, double levelValue,
                                  const std::string& what) {
  const std::string level = levelText(levelValue);
  const std::string delta = fixedSix(difference);
  if (units < 2) {
    return name + ": the data cannot tell which " + what + " is better: B's minus A's is " + delta +
           ", but with " + (units == 0 ? "no unit" : "one unit") +
           " there is nothing to resample.\n";
  }
  switch (verdictOf(i, units)) {
    case 1:
      return name + ": B is better. B's minus A's is " + delta + ", and its " + level +
             " interval " + intervalText(i) + " lies above 0: B scored higher in " +
             percentText(i.bBetter) + " of the resamples.\n";
    case -1:
      return name + ": A is better. B's minus A's is " + delta + ", and its " + level +
             " interval " + intervalText(i) + " lies below 0: A scored higher in " +
             percentText(i.aBetter) + " of the resamples.\n";
    default:
      return name + ": the data cannot tell which " + what + " is better. B's minus A's is " +
             delta + ", but its " + level + " interval " + intervalText(i) +
             " holds 0: B scored higher in " + percentText(i.bBetter) + " of the resamples, A in " +
             percentText(i.aBetter) + ".\n";
  }
}

int verdictOf(const ClassBootstrap& interval, std::size_t units) {
  if (units < 2) return 0;
  if (interval.low > 0.0) return 1;
  if (interval.high < 0.0) return -1;
  return 0;
}

std::string levelText(double level) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g%%", level * 100.0);
  return text;
}

std::string renderCompareText(const CompareResult& r) {
  const CompareSettings& s = r.settings;
  std::string text;
  if (r.dataset()) {
    text += "Comparing two detectors on the dataset " + s.list + " (A: its system_a, B: its " +
            "system_b), " + thresholdsText(s) + "\n";
  } else {
    text += "Comparing two detectors on " + s.groundTruth + ", " + thresholdsText(s) + "\n";
    text += "  A: " + s.systemA + "\n  B: " + s.systemB + "\n";
  }
  const std::string level = levelText(s.bootstrap.level);
  text += "Units: " + unitsText(r) + "; " + std::to_string(s.bootstrap.resamples) +
          " resamples, seed " + std::to_string(s.bootstrap.seed) + ", " + level + " intervals.\n\n";

  std::vector<std::vector<std::string>> rows = {{"Class", "GT", "FN A", "FP A", "NMODTA A", "FN B",
                                                 "FP B", "NMODTA B", "Delta", level + " interval",
                                                 "B better", "A better", "Verdict"}};
  std::vector<std::vector<std::string>> objects = {
      {"Class", "Both", "A only", "B only", "Neither"}};
  bool gtDiffers = false;
  for (std::size_t slot = 0; slot < r.classSet->rows(); ++slot) {
    const PairedClassCounts& c = r.totals[slot];
    if (slot > 0 && !worthShowing(c)) continue;
    gtDiffers = gtDiffers || c.gtA != c.gtB;
    const ClassBootstrap& i = r.intervals[slot];
    const std::string name(r.classSet->row(slot));
    rows.push_back({name, std::to_string(c.gtA), std::to_string(c.fnA), std::to_string(c.fpA),
                    fixedSix(nmodtaA(c)), std::to_string(c.fnB), std::to_string(c.fpB),
                    fixedSix(nmodtaB(c)), fixedSix(deltaOf(c)), intervalText(i),
                    fixedFour(i.bBetter), fixedFour(i.aBetter),
                    verdictWords(verdictOf(i, r.units))});
    const ObjectAgreement& o = r.objects[slot];
    objects.push_back({name, std::to_string(o.both), std::to_string(o.aOnly),
                       std::to_string(o.bOnly), std::to_string(o.neither)});
  }
  text += renderTable(rows);
  text +=
      "Delta: NMODTA of B minus that of A. B better, A better: the share of resamples in which "
      "each scored higher.\n";
  if (gtDiffers) {
    text +=
        "The two thresholds take different ground-truth boxes (the ground truth has "
        "confidences between them): GT is A's, and each detector is scored on its own.\n";
  }
  text += "\nObjects by the detectors that found them:\n";
  text += renderTable(objects);
  text += "\n" + verdictOnAll(r);

  if (r.dataset()) {
    std::vector<std::vector<std::string>> each = {
        {"Sequence", "GT", "NMODTA A", "NMODTA B", "Delta"}};
    std::vector<const CompareSequence*> failed;
    for (const CompareSequence& q : r.sequences) {
      if (q.failed()) {
        each.push_back({q.name, "failed"});
        failed.push_back(&q);
        continue;
      }
      const PairedClassCounts all = q.counts.at(0);
      each.push_back({q.name, std::to_string(all.gtA), fixedSix(nmodtaA(all)),
                      fixedSix(nmodtaB(all)), fixedSix(deltaOf(all))});
    }
    text += "\nEach sequence (class All):\n" + renderTable(each);
    for (const CompareSequence* q : failed) {
      std::string message = q->error;
      for (std::size_t at; (at = message.find('\n')) != std::string::npos;) {
        message.replace(at, 1, "; ");
      }
      text += q->name + ": " + message + "\n";
    }
  }
  return text;
}

std::string renderCompareCsv(const CompareResult& r) {
  std::string text =
      "class,gt,fn_a,fp_a,nmodta_a,fn_b,fp_b,nmodta_b,delta,low,high,b_better,a_better,"
      "found_both,found_a_only,found_b_only,found_neither\n";
  for (std::size_t slot = 0; slot < r.classSet->rows(); ++slot) {
    const PairedClassCounts& c = r.totals[slot];
    const ClassBootstrap& i = r.intervals[slot];
    const ObjectAgreement& o = r.objects[slot];
    text += csvField(r.classSet->row(slot)) + "," + std::to_string(c.gtA) + "," +
            std::to_string(c.fnA) + "," + std::to_string(c.fpA) + "," + fixedSix(nmodtaA(c)) + "," +
            std::to_string(c.fnB) + "," + std::to_string(c.fpB) + "," + fixedSix(nmodtaB(c)) + "," +
            fixedSix(deltaOf(c)) + "," + fixedSix(i.low) + "," + fixedSix(i.high) + "," +
            fixedFour(i.bBetter) + "," + fixedFour(i.aBetter) + "," + std::to_string(o.both) + "," +
            std::to_string(o.aOnly) + "," + std::to_string(o.bOnly) + "," +
            std::to_string(o.neither) + "\n";
  }
  return text;
}

Json compareJson(const CompareResult& r) {
  const CompareSettings& s = r.settings;
  Json json;
  if (r.dataset()) {
    json["list"] = s.list;
  } else {
    json["groundtruth"] = s.groundTruth;
    json["system_a"] = s.systemA;
    json["system_b"] = s.systemB;
  }
  json["unit"] = r.dataset() ? "sequence" : "frames";
  json["block"] = r.dataset() ? Json(nullptr) : Json(s.block);
  if (!r.dataset()) json["frames"] = s.frames;
  json["units"] = r.units;
  json["resamples"] = s.bootstrap.resamples;
  json["seed"] = s.bootstrap.seed;
  json["level"] = s.bootstrap.level;
  json["best"] = s.best;
  json["confidence_a"] = jsonNumber(s.confidenceA);
  json["confidence_b"] = jsonNumber(s.confidenceB);
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < r.classSet->rows(); ++slot) {
    const PairedClassCounts& c = r.totals[slot];
    const ClassBootstrap& i = r.intervals[slot];
    const ObjectAgreement& o = r.objects[slot];
    classes.push_back(Json{{"class", std::string(r.classSet->row(slot))},
                           {"gt", c.gtA},
                           {"fn_a", c.fnA},
                           {"fp_a", c.fpA},
                           {"nmodta_a", jsonNumber(nmodtaA(c))},
                           {"gt_b", c.gtB},
                           {"fn_b", c.fnB},
                           {"fp_b", c.fpB},
                           {"nmodta_b", jsonNumber(nmodtaB(c))},
                           {"delta", deltaOf(c)},
                           {"low", i.low},
                           {"high", i.high},
                           {"b_better", i.bBetter},
                           {"a_better", i.aBetter},
                           {"found_both", o.both},
                           {"found_a_only", o.aOnly},
                           {"found_b_only", o.bOnly},
                           {"found_neither", o.neither}});
  }
  json["classes"] = std::move(classes);
  if (r.dataset()) {
    Json sequences = Json::array();
    std::size_t failed = 0;
    for (const CompareSequence& q : r.sequences) {
      sequences.push_back(sequenceJson(q));
      failed += q.failed() ? 1 : 0;
    }
    json["sequences"] = std::move(sequences);
    json["failed"] = failed;
  }
  return json;
}

}  // namespace talmira
