// Writes the sweep, dataset and explain pages from a real pair of annotation
// files, with curves from the brute-force oracle, for the browser check and
// for a person to look at. Also writes what the pages must show
// (expected.json), computed by scoring, not by the page code.
//
//   talmira_report_pages OUTPUT_FOLDER GROUNDTRUTH SYSTEM [SYSTEM_B]
//
// With SYSTEM_B also the page of `talmira compare`.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/analysis/paired_counts.h"
#include "scoring/analysis/sequence_explanation.h"
#include "talmira/cli_common.h"
#include "talmira/pages/compare_page.h"
#include "talmira/pages/explain_page.h"
#include "talmira/pages/html_report.h"
#include "talmira/pages/sweep_plot.h"
#include "tests/talmira/curve_oracle.h"

namespace {

using talmira::Json;

// One sequence of the dataset page: every `parts`-th frame of the pair.
std::unique_ptr<QuorSequence> framesOf(const QuorSequence& source, std::size_t part,
                                       std::size_t parts) {
  auto sequence = std::make_unique<QuorSequence>();
  for (std::size_t i = part; i < source.frames.size(); i += parts) {
    sequence->frames.push_back(source.frames[i]);
  }
  return sequence;
}

Json countsRows(std::span<const ClassCounts> classes) {
  Json rows = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const ClassCounts& c = classes[slot];
    rows.push_back({evaluationClasses[slot], std::to_string(c.gt), std::to_string(c.det),
                    std::to_string(c.fn), std::to_string(c.fp), std::to_string(c.frames),
                    talmira::fixedSix(c.nmodta())});
  }
  return rows;
}

// Best point by a scan written here, so that the pages' choice is checked.
const CurvePoint* bestOf(const ClassCurve& curve) {
  const CurvePoint* best = nullptr;
  for (const CurvePoint& p : curve.points) {
    if (best == nullptr || p.nmodta() > best->nmodta()) best = &p;  // descending: first wins ties
  }
  return best;
}

// Average precision read straight off its definition: for each distinct
// recall above 0, the step up to it times the best precision at that recall
// or above.
std::optional<double> apByDefinition(const ClassCurve& curve) {
  std::vector<std::pair<double, double>> points;  // recall, precision
  for (const CurvePoint& p : curve.points) {
    if (p.gt == 0) continue;
    points.emplace_back(static_cast<double>(p.gt - p.fn) / static_cast<double>(p.gt),
                        p.det == 0 ? 1.0 : static_cast<double>(p.det - p.fp) / p.det);
  }
  if (points.empty()) return std::nullopt;
  std::vector<double> recalls;
  for (const auto& point : points) {
    if (point.first > 0) recalls.push_back(point.first);
  }
  std::sort(recalls.begin(), recalls.end());
  recalls.erase(std::unique(recalls.begin(), recalls.end()), recalls.end());
  double area = 0, previous = 0;
  for (const double recall : recalls) {
    double best = 0;
    for (const auto& point : points) {
      if (point.first >= recall) best = std::max(best, point.second);
    }
    area += (recall - previous) * best;
    previous = recall;
  }
  return area;
}

Json bestCells(const SweepCurves& curves) {
  Json cells = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const CurvePoint* best = bestOf(curves[slot]);
    if (best == nullptr) continue;
    cells.push_back({{"table", "best-points"},
                     {"row", evaluationClasses[slot]},
                     {"column", "Threshold"},
                     {"value", talmira::shortestText(best->threshold)}});
    cells.push_back({{"table", "best-points"},
                     {"row", evaluationClasses[slot]},
                     {"column", "NMODTA"},
                     {"value", talmira::fixedSix(best->nmodta())}});
    const std::optional<double> ap = apByDefinition(curves[slot]);
    cells.push_back({{"table", "best-points"},
                     {"row", evaluationClasses[slot]},
                     {"column", "AP"},
                     {"value", ap ? talmira::fixedSix(*ap) : "\xE2\x80\x94"}});
  }
  return cells;
}

Json seriesOf(const SweepCurves& curves, bool present) {
  Json series = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    bool objects = false;
    for (const CurvePoint& p : curves[slot].points) objects = objects || p.gt > 0;
    if (objects == present) {
      series.push_back(std::string("nmodta:") + evaluationClasses[slot]);
      series.push_back(std::string("pr:") + evaluationClasses[slot]);
    }
  }
  if (present) {
    series.push_back("fn:All");
    series.push_back("fp:All");
  }
  return series;
}

// A dense curve as a long video gives: a million thresholds, misses falling
// and false alarms rising, the false alarms at last far above the objects.
ClassCurve denseCurve(std::size_t n, int64_t objects, uint32_t seed) {
  std::mt19937 random(seed);
  ClassCurve curve;
  curve.frames = 100000;
  int64_t fn = objects, fp = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = 1.0 - static_cast<double>(i) / static_cast<double>(n - 1);
    if (i > 0) {
      // Near 1 mostly true detections enter; near 0 mostly false alarms.
      if (fn > 0 && std::uniform_real_distribution<double>(0, 1)(random) < t)
        --fn;
      else
        fp += 1 + static_cast<int64_t>(random() % 3);
    }
    curve.points.push_back(
        CurvePoint{i + 1 == n ? 0.0f : static_cast<float>(t), objects, objects - fn + fp, fn, fp});
  }
  return curve;
}

// --- The explain page -----------------------------------------------------

const char* dash() { return "\xE2\x80\x94"; }

std::string fixedOrDash(double value) {
  return std::isnan(value) ? dash() : talmira::fixedSix(value);
}

// The classes the page shows: those with objects or false alarms.
std::vector<std::size_t> shownClasses(const Explanation& x) {
  std::vector<std::size_t> shown;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    if (x.classes[slot].gt > 0 || x.classes[slot].fp > 0) shown.push_back(slot);
  }
  return shown;
}

Json explainCountsRows(const Explanation& x) {
  Json rows = Json::array();
  for (std::size_t slot : shownClasses(x)) {
    const ClassExplanation& c = x.classes[slot];
    rows.push_back({evaluationClasses[slot], std::to_string(c.gt), std::to_string(c.det),
                    std::to_string(c.fn), std::to_string(c.fp), talmira::fixedSix(c.nmodta()),
                    c.gt == 0 ? std::string(dash())
                              : talmira::fixedSix(static_cast<double>(c.fn + c.fp) /
                                                  static_cast<double>(c.gt)),
                    std::to_string(c.pairs.count)});
  }
  return rows;
}

// The matrix as the JSON gives it, on the labels that appear, with totals.
Json confusionRows(const ClassSet& classes, const Confusion& confusion) {
  const Json matrix = talmira::confusionJson(classes, confusion);
  const std::size_t n = matrix["labels"].size();
  std::vector<std::size_t> used;
  for (std::size_t i = 0; i < n; ++i) {
    bool any = false;
    for (std::size_t j = 0; j < n; ++j) {
      any = any || matrix["matrix"][i][j] != 0 || matrix["matrix"][j][i] != 0;
    }
    if (any) used.push_back(i);
  }
  Json rows = Json::array();
  std::vector<int64_t> columnTotals(used.size(), 0);
  for (std::size_t i : used) {
    Json row = Json::array({matrix["labels"][i]});
    int64_t total = 0;
    for (std::size_t k = 0; k < used.size(); ++k) {
      if (i == n - 1 && used[k] == n - 1) {
        row.push_back(dash());
        continue;
      }
      const int64_t cell = matrix["matrix"][i][used[k]].get<int64_t>();
      row.push_back(std::to_string(cell));
      total += cell;
      columnTotals[k] += cell;
    }
    row.push_back(std::to_string(total));
    rows.push_back(row);
  }
  Json totals = Json::array({"Total"});
  int64_t all = 0;
  for (int64_t t : columnTotals) {
    totals.push_back(std::to_string(t));
    all += t;
  }
  totals.push_back(std::to_string(all));
  rows.push_back(totals);
  return rows;
}

// The worst frames by a stable sort of every frame with an error.
std::vector<FrameSummary> worstByErrors(const std::vector<FrameSummary>& frames) {
  std::vector<FrameSummary> worst;
  for (const FrameSummary& f : frames) {
    if (f.fn + f.fp > 0) worst.push_back(f);
  }
  std::stable_sort(worst.begin(), worst.end(), [](const FrameSummary& a, const FrameSummary& b) {
    return a.fn + a.fp > b.fn + b.fp;
  });
  if (worst.size() > 10) worst.resize(10);
  return worst;
}

Json worstRows(const std::vector<FrameSummary>& worst) {
  Json rows = Json::array();
  for (std::size_t r = 0; r < worst.size(); ++r) {
    const FrameSummary& f = worst[r];
    rows.push_back({std::to_string(r + 1), std::to_string(f.frame), std::to_string(f.line),
                    std::to_string(f.gt), std::to_string(f.det), std::to_string(f.fn),
                    std::to_string(f.fp)});
  }
  return rows;
}

Json pairsRows(const Explanation& x) {
  Json rows = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const PairStats& p = x.classes[slot].pairs;
    if (p.count == 0) continue;
    Json row = {evaluationClasses[slot], std::to_string(p.count), fixedOrDash(p.meanOverlap()),
                fixedOrDash(p.meanIou())};
    for (int64_t n : p.histogram) row.push_back(std::to_string(n));
    rows.push_back(row);
  }
  return rows;
}

// How many columns of the strip have an error: frame i of n lies in the
// column k of c whose frames start at floor(k n / c).
std::size_t columnsWithErrors(const std::vector<FrameSummary>& frames) {
  const std::size_t n = frames.size();
  const std::size_t c = std::min<std::size_t>(n, 2000);
  std::vector<bool> errors(c, false);
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    while (k + 1 < c && (k + 1) * n / c <= i) ++k;
    if (frames[i].fn + frames[i].fp > 0) errors[k] = true;
  }
  return static_cast<std::size_t>(std::count(errors.begin(), errors.end(), true));
}

// Everything the explain page of `report` must show.
Json explainExpected(const talmira::ExplainReport& report) {
  const Explanation& x = report.explanation;
  std::size_t segments = 0, causes = 0, bars = 0, histograms = 0;
  for (std::size_t slot : shownClasses(x)) {
    const ClassExplanation& c = x.classes[slot];
    ++bars;
    for (int64_t n : c.misses) causes += n > 0 ? 1 : 0;
    for (int64_t n : c.falseAlarms) causes += n > 0 ? 1 : 0;
    if (c.gt > 0) {
      for (int64_t n : c.misses) segments += n > 0 ? 1 : 0;
      for (int64_t n : c.falseAlarms) segments += n > 0 ? 1 : 0;
    }
  }
  for (const ClassExplanation& c : x.classes) histograms += c.pairs.count > 0 ? 1 : 0;
  const std::vector<FrameSummary> worst = worstByErrors(x.timeline);
  return {{"title", "Why points were lost"},
          {"tables",
           {{"counts", explainCountsRows(x)},
            {"confusion", confusionRows(*x.classSet, x.confusion)},
            {"worst-frames", worstRows(worst)},
            {"pairs", pairsRows(x)}}},
          {"rows", {{"causes", causes}}},
          {"elements",
           {{"#cost-bars g.bar", bars},
            {"#cost-bars rect.segment", segments},
            {"#timeline g.column", columnsWithErrors(x.timeline)},
            {"#timeline g.worst", worst.size()},
            {"#overlap-histograms g.histogram", histograms},
            {"#overlap-histograms rect.bin", histograms * kOverlapBins}}},
          {"text",
           {"row Car, column Truck counts the cars the detector called trucks", report.groundTruth,
            report.system}}};
}

void write(const std::string& path, const std::string& contents) {
  talmira::writeOutput(path, contents);
  std::printf("wrote %s (%zu bytes)\n", path.c_str(), contents.size());
}

// --- The compare page -------------------------------------------------------

double nmodtaOf(int64_t gt, int64_t fn, int64_t fp) {
  if (gt == 0) return fp == 0 ? 1.0 : -100000.0;
  return std::max(-100000.0, 1.0 - static_cast<double>(fn + fp) / static_cast<double>(gt));
}

// The compare page of a dataset cut out of the pair and a second detector
// (its frames dealt into four sequences, a failed one among them), each
// detector at its best threshold, with hostile names; and what it must show.
void writeComparePage(const std::string& folder, const QuorSequence& groundTruth,
                      const QuorSequence& a, const QuorSequence& b) {
  const std::vector<std::string> names = {"day-01", "night & fog <b>", "rain-03", "dusk-04"};
  talmira::CompareResult result;
  talmira::CompareSettings& settings = result.settings;
  settings.list = "dataset/compare.csv";
  settings.best = true;
  settings.bootstrap = {2000, 7, 0.95, 1};
  // The parts' frames are the pair's, so the whole pair's curves are theirs pooled.
  SweepCurves curvesA = talmira_test::bruteForceCurves(groundTruth, a);
  SweepCurves curvesB = talmira_test::bruteForceCurves(groundTruth, b);
  result.curveA = curvesA[0];
  result.curveB = curvesB[0];
  settings.confidenceA = bestOf(result.curveA)->threshold;
  settings.confidenceB = bestOf(result.curveB)->threshold;
  std::vector<UnitCounts> units;
  for (std::size_t part = 0; part < names.size(); ++part) {
    const auto truthPart = framesOf(groundTruth, part, names.size());
    talmira::CompareSequence s;
    s.name = names[part];
    s.groundTruth = "gt/" + names[part] + ".csv";
    s.systemA = "a/" + names[part] + ".csv";
    s.systemB = "b/" + names[part] + ".csv";
    const auto alone = std::pair{scoreClasses(*truthPart, a, settings.confidenceA),
                                 scoreClasses(*truthPart, b, settings.confidenceB)};
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      const ClassCounts& ca = alone.first[slot];
      const ClassCounts& cb = alone.second[slot];
      s.counts.append(slot, PairedClassCounts{ca.gt, ca.fn, ca.fp, cb.gt, cb.fn, cb.fp});
    }
    s.objects = SparseRows<ObjectAgreement>::of(
        countPaired(*truthPart, a, b,
                    {settings.confidenceA, settings.confidenceB,
                     std::max<std::size_t>(1, truthPart->frames.size()), 1})
            .objects);
    s.objects.addInto(result.objects);
    units.push_back(s.counts);
    result.sequences.push_back(s);
    if (part == 2) {
      talmira::CompareSequence failed;
      failed.name = "<img src=x onerror=alert(1)>";
      failed.groundTruth = "gt/bad.csv";
      failed.systemA = "a/bad & \"quoted\".csv";
      failed.systemB = "b/bad.csv";
      failed.error = "a/bad.csv:3: expected 15 fields, found 4 <in \"Frame\" & 'X1'>";
      result.sequences.push_back(failed);
    }
  }
  result.units = units.size();
  result.totals = sumUnits(units, kClassCount);
  result.intervals = pairedBootstrap(units, kClassCount, settings.bootstrap);
  write(folder + "/compare_report.html",
        talmira::renderComparePage(result, "talmira_report_pages (test pages)"));

  // What it must show, worked out here from the counts.
  Json classes = Json::array(), objects = Json::array(), series = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const PairedClassCounts& c = result.totals[slot];
    if (slot > 0 && c.gtA == 0 && c.gtB == 0 && c.fpA == 0 && c.fpB == 0) continue;
    const ClassBootstrap& i = result.intervals[slot];
    const double delta = nmodtaOf(c.gtB, c.fnB, c.fpB) - nmodtaOf(c.gtA, c.fnA, c.fpA);
    char shares[2][32];
    std::snprintf(shares[0], sizeof shares[0], "%.4f", i.bBetter);
    std::snprintf(shares[1], sizeof shares[1], "%.4f", i.aBetter);
    // Only four units here: no class is told apart unless its interval clears 0.
    const std::string verdict = i.low > 0 ? "B better" : i.high < 0 ? "A better" : "cannot tell";
    classes.push_back({evaluationClasses[slot], std::to_string(c.gtA),
                       talmira::fixedSix(reportedNmodta(c.gtA, c.fnA, c.fpA)),
                       talmira::fixedSix(reportedNmodta(c.gtB, c.fnB, c.fpB)),
                       talmira::fixedSix(delta), talmira::fixedSix(i.low),
                       talmira::fixedSix(i.high), shares[0], shares[1], verdict});
    const ObjectAgreement& o = result.objects[slot];
    objects.push_back({evaluationClasses[slot], std::to_string(o.both), std::to_string(o.aOnly),
                       std::to_string(o.bOnly), std::to_string(o.neither)});
    series.push_back(std::string("delta:") + evaluationClasses[slot]);
  }
  series.push_back("sequence-delta:All");
  series.push_back("nmodta-a:All");
  series.push_back("nmodta-b:All");
  // The sequences by their difference on All, smallest first, ties in list order.
  std::vector<const talmira::CompareSequence*> order;
  for (const talmira::CompareSequence& s : result.sequences) {
    if (s.error.empty()) order.push_back(&s);
  }
  const auto deltaAll = [](const talmira::CompareSequence* s) {
    const PairedClassCounts c = s->counts.at(0);
    return nmodtaOf(c.gtB, c.fnB, c.fpB) - nmodtaOf(c.gtA, c.fnA, c.fpA);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](auto* x, auto* y) { return deltaAll(x) < deltaAll(y); });
  Json sequences = Json::array();
  for (const talmira::CompareSequence* s : order) {
    const PairedClassCounts c = s->counts.at(0);
    sequences.push_back(
        {s->name, std::to_string(c.gtA), talmira::fixedSix(reportedNmodta(c.gtA, c.fnA, c.fpA)),
         talmira::fixedSix(reportedNmodta(c.gtB, c.fnB, c.fpB)), talmira::fixedSix(deltaAll(s))});
  }
  Json expected = {
      {"title", "Is B better than A?"},
      {"tables", {{"classes", classes}, {"objects", objects}, {"sequences", sequences}}},
      {"rows", {{"failed", 1}}},
      {"series", series},
      {"absent_series", {"delta:Plane", "delta:Container"}},
      {"text",
       {"<img src=x onerror=alert(1)>", "night & fog <b>",
        "a/bad.csv:3: expected 15 fields, found 4 <in \"Frame\" & 'X1'>",
        "A " + talmira::shortestText(settings.confidenceA) + ", B " +
            talmira::shortestText(settings.confidenceB) +
            " (each detector's best threshold of All)",
        "4 sequences", "2000, seed 7, 95% intervals", "flatters it"}}};
  write(folder + "/compare_report.expected.json", expected.dump(1) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER GROUNDTRUTH SYSTEM [SYSTEM_B]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  try {
    std::filesystem::create_directories(folder);
    const auto groundTruth = talmira::readInput(argv[2]);
    const auto system = talmira::readInput(argv[3]);
    const float confidence = 0.5f;
    const SweepCurves curves = talmira_test::bruteForceCurves(*groundTruth, *system);

    // The sweep page, with hostile text where users supply it.
    talmira::SweepReportInput sweep;
    sweep.groundTruth = argv[2];
    sweep.system = argv[3];
    sweep.warnings = {
        "Frame 7 of the system output has a box of an unknown type \"<Van>\" & it "
        "is ignored.",
        "<script>alert('warning')</script> is not run."};
    sweep.exact = &curves;
    sweep.confidence = confidence;
    sweep.atConfidence = scoreClasses(*groundTruth, *system, confidence);
    sweep.producedBy = "talmira_report_pages (test pages)";
    write(folder + "/sweep_report.html", talmira::renderSweepReport(sweep));
    write(folder + "/sweep.svg",
          talmira::renderSweepSvg(curves, sweep.groundTruth + " vs " + sweep.system));
    // A caption with everything XML cannot take as it is, for an XML parser to read.
    write(folder + "/sweep_hostile_caption.svg",
          talmira::renderSweepSvg(curves,
                                  "<script>alert(1)</script> & \"q\" 'a' \x01\xff\xc0 ]]> <!--"));
    // A dense picture, for the size and the look of thinned curves.
    SweepCurves dense(kClassCount);
    dense[0] = denseCurve(1'000'000, 600'000, 1);
    dense[1] = denseCurve(1'000'000, 450'000, 2);
    dense[9] = denseCurve(200'000, 20'000, 3);
    write(folder + "/sweep_dense.svg", talmira::renderSweepSvg(dense, "a million thresholds"));
    write(folder + "/precision_recall.svg",
          talmira::renderPrecisionRecallSvg(curves, "<precision> & \"recall\" \x01\xff"));
    write(folder + "/precision_recall_dense.svg",
          talmira::renderPrecisionRecallSvg(dense, "a million thresholds"));
    Json sweepExpected = {
        {"title", "Confidence sweep"},
        {"tables", {{"at-confidence", countsRows(sweep.atConfidence)}}},
        {"rows", {{"best-points", kClassCount}, {"at-confidence", kClassCount}, {"warnings", 2}}},
        {"cells", bestCells(curves)},
        {"series", seriesOf(curves, true)},
        {"absent_series", seriesOf(curves, false)},
        {"text", {"<script>alert('warning')</script> is not run.", "\"<Van>\" & it"}}};
    write(folder + "/sweep_report.expected.json", sweepExpected.dump(1) + "\n");

    // The dataset page: the pair cut into four sequences by frame, one more
    // that failed, hostile names and messages.
    const std::vector<std::string> names = {"day-01", "night & fog <b>", "rain-03", "dusk-04"};
    talmira::DatasetReportInput dataset;
    dataset.list = "dataset/list.csv";
    dataset.confidence = confidence;
    dataset.producedBy = "talmira_report_pages (test pages)";
    Json order = Json::array();
    for (std::size_t part = 0; part < names.size(); ++part) {
      const auto gtPart = framesOf(*groundTruth, part, names.size());
      const auto sysPart = framesOf(*system, part, names.size());
      talmira::DatasetSequenceRow row;
      row.name = names[part];
      row.groundTruth = "gt/" + names[part] + ".csv";
      row.system = "sys/" + names[part] + ".csv";
      row.classes = scoreClasses(*gtPart, *sysPart, confidence);
      const SweepCurves partCurves = talmira_test::bruteForceCurves(*gtPart, *sysPart);
      row.bestAll = *bestOf(partCurves[0]);
      for (std::size_t slot = 0; slot < kClassCount; ++slot)
        dataset.pooled[slot] += row.classes[slot];
      dataset.sequences.push_back(row);
      if (part == 1) {
        talmira::DatasetSequenceRow failed;
        failed.name = "<img src=x onerror=alert(1)>";
        failed.groundTruth = "gt/bad.csv";
        failed.system = "sys/bad & \"quoted\".csv";
        failed.error = "gt/bad.csv:3: expected 15 fields, found 4 <in \"Frame\" & 'X1'>";
        dataset.sequences.push_back(failed);
      }
    }
    // Frames are scored independently, so the whole pair's curves are the
    // sums of its parts' curves.
    dataset.pooledCurves = &curves;
    write(folder + "/dataset_report.html", talmira::renderDatasetReport(dataset));

    // The order sorting by NMODTA must give, worked out here: ascending, ties by position.
    std::vector<std::size_t> scored;
    for (std::size_t i = 0; i < dataset.sequences.size(); ++i) {
      if (dataset.sequences[i].error.empty()) scored.push_back(i);
    }
    std::stable_sort(scored.begin(), scored.end(), [&](std::size_t a, std::size_t b) {
      return dataset.sequences[a].classes[0].nmodta() < dataset.sequences[b].classes[0].nmodta();
    });
    for (std::size_t i : scored) order.push_back(dataset.sequences[i].name);
    std::stable_sort(scored.begin(), scored.end(), [&](std::size_t a, std::size_t b) {
      return dataset.sequences[a].classes[0].nmodta() > dataset.sequences[b].classes[0].nmodta();
    });
    Json reversedOrder = Json::array();
    for (std::size_t i : scored) reversedOrder.push_back(dataset.sequences[i].name);
    Json datasetExpected = {{"title", "Dataset results"},
                            {"tables", {{"pooled", countsRows(dataset.pooled)}}},
                            {"rows",
                             {{"pooled", kClassCount},
                              {"sequences", names.size()},
                              {"failed", 1},
                              {"best-points", kClassCount}}},
                            {"cells", bestCells(curves)},
                            {"series", seriesOf(curves, true)},
                            {"absent_series", seriesOf(curves, false)},
                            {"text",
                             {"<img src=x onerror=alert(1)>", "night & fog <b>",
                              "gt/bad.csv:3: expected 15 fields, found 4 <in \"Frame\" & 'X1'>"}},
                            {"sort",
                             {{"table", "sequences"},
                              {"column", "NMODTA"},
                              {"name_column", "Sequence"},
                              {"ascending", order},
                              {"descending", reversedOrder}}}};
    write(folder + "/dataset_report.expected.json", datasetExpected.dump(1) + "\n");

    // The explain page of the pair, every frame kept as --report keeps them.
    ExplainOptions explainOptions;
    explainOptions.everyFrame = true;
    talmira::ExplainReport explained{argv[2],
                                     argv[3],
                                     0.0f,
                                     kDefaultNearThreshold,
                                     talmira::explainFiles(argv[2], argv[3], explainOptions),
                                     {}};
    write(folder + "/explain_report.html",
          talmira::renderExplainPage(explained, "talmira_report_pages (test pages)"));
    Json explainExpect = explainExpected(explained);
    // Pointing at the worst frame's column shows its counts.
    const std::vector<FrameSummary>& timeline = explained.explanation.timeline;
    const FrameSummary worstFrame = worstByErrors(timeline).at(0);
    const std::size_t at = static_cast<std::size_t>(
        std::find(timeline.begin(), timeline.end(), worstFrame) - timeline.begin());
    const auto plural = [](int64_t n, const char* one, const char* many) {
      return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    explainExpect["hover"] =
        Json::array({{{"element", "#column-" + std::to_string(at)},
                      {"readout", "#timeline-readout"},
                      {"text", "Frame " + std::to_string(worstFrame.frame) + " (line " +
                                   std::to_string(worstFrame.line) +
                                   "): " + plural(worstFrame.fn, "miss", "misses") + ", " +
                                   plural(worstFrame.fp, "false alarm", "false alarms")}}});
    write(folder + "/explain_report.expected.json", explainExpect.dump(1) + "\n");

    // The same pair as a long video with hostile names: its frames over and
    // over, 300,000 of them, every count scaled alike.
    talmira::ExplainReport longVideo;
    longVideo.groundTruth = "gt/<script>alert('gt')</script> & \"quoted\".csv";
    longVideo.system = "sys/<img src=x onerror=alert(1)> 'x'.csv";
    longVideo.confidence = 0.25f;
    Explanation& video = longVideo.explanation;
    const std::size_t copies = 300000 / timeline.size() + 1;
    for (std::size_t copy = 0; copy < copies; ++copy) {
      for (std::size_t slot = 0; slot < kClassCount; ++slot) {
        video.classes[slot] += explained.explanation.classes[slot];
      }
      video.confusion += explained.explanation.confusion;
      for (FrameSummary f : timeline) {
        f.frame += static_cast<uint32_t>(copy * 100);
        f.line += copy * 100;
        video.timeline.push_back(f);
      }
    }
    video.frames = static_cast<int64_t>(video.timeline.size());
    write(folder + "/explain_report_long.html",
          talmira::renderExplainPage(longVideo, "talmira explain <b>" + longVideo.groundTruth));
    write(folder + "/explain_report_long.expected.json", explainExpected(longVideo).dump(1) + "\n");

    if (argc == 5) writeComparePage(folder, *groundTruth, *system, *talmira::readInput(argv[4]));
  } catch (const talmira::CommandError& error) {
    std::fprintf(stderr, "%s\n", error.message.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
