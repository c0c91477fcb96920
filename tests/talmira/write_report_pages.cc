// Writes the sweep and dataset pages from a real pair of annotation files,
// with curves from the brute-force oracle, for the browser check and for a
// person to look at. Also writes what the pages must show (expected.json),
// computed by scoring, not by the page code.
//
//   talmira_report_pages OUTPUT_FOLDER GROUNDTRUTH SYSTEM [SYSTEM_B]
//
// With SYSTEM_B also the page of `talmira compare`.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "scoring/paired_bootstrap.h"
#include "scoring/paired_counts.h"
#include "talmira/cli_common.h"
#include "talmira/pages/compare_page.h"
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

Json countsRows(const std::array<ClassCounts, kClassCount>& classes) {
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
  }
  return cells;
}

Json seriesOf(const SweepCurves& curves, bool present) {
  Json series = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    bool objects = false;
    for (const CurvePoint& p : curves[slot].points) objects = objects || p.gt > 0;
    if (objects == present) series.push_back(std::string("nmodta:") + evaluationClasses[slot]);
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
      s.counts[slot] = PairedClassCounts{ca.gt, ca.fn, ca.fp, cb.gt, cb.fn, cb.fp};
    }
    s.objects = countPaired(*truthPart, a, b,
                            {settings.confidenceA, settings.confidenceB,
                             std::max<std::size_t>(1, truthPart->frames.size()), 1})
                    .objects;
    for (std::size_t slot = 0; slot < kClassCount; ++slot) result.objects[slot] += s.objects[slot];
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
  result.totals = sumUnits(units);
  result.intervals = pairedBootstrap(units, settings.bootstrap);
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
    const PairedClassCounts& c = s->counts[0];
    return nmodtaOf(c.gtB, c.fnB, c.fpB) - nmodtaOf(c.gtA, c.fnA, c.fpA);
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](auto* x, auto* y) { return deltaAll(x) < deltaAll(y); });
  Json sequences = Json::array();
  for (const talmira::CompareSequence* s : order) {
    const PairedClassCounts& c = s->counts[0];
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
    SweepCurves dense;
    dense[0] = denseCurve(1'000'000, 600'000, 1);
    dense[1] = denseCurve(1'000'000, 450'000, 2);
    dense[9] = denseCurve(200'000, 20'000, 3);
    write(folder + "/sweep_dense.svg", talmira::renderSweepSvg(dense, "a million thresholds"));
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
