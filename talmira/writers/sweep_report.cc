#include "talmira/writers/sweep_report.h"

#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "talmira/writers/score_report.h"

namespace talmira {

SweepReport makeSweepReport(std::string groundTruthPath, std::string systemPath, SweepCurves exact,
                            int gridSteps) {
  SweepReport report;
  report.groundTruth = std::move(groundTruthPath);
  report.system = std::move(systemPath);
  report.exact = std::move(exact);
  const std::vector<float> grid = gridSteps > 0 ? gridThresholds(gridSteps) : std::vector<float>{};
  report.listExact = gridSteps <= 0;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    report.best[slot] = ::bestPoint(report.exact[slot]);
    if (!report.listExact) report.sampled[slot] = sampleCurve(report.exact[slot], grid);
  }
  return report;
}

std::string thresholdText(float threshold) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.9g", static_cast<double>(threshold));
  return std::string(text, length < 0 ? 0 : static_cast<std::size_t>(length));
}

std::string renderSweepText(const SweepReport& report) {
  std::vector<std::vector<std::string>> rows = {
      {"Class", "Best threshold", "GT", "Det", "FN", "FP", "Frames", "NMODTA", "AP"}};
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const CurvePoint& p = report.best[slot];
    const std::optional<double> ap = averagePrecision(report.exact[slot]);
    rows.push_back({evaluationClasses[slot], shortestText(p.threshold), std::to_string(p.gt),
                    std::to_string(p.det), std::to_string(p.fn), std::to_string(p.fp),
                    std::to_string(report.exact[slot].frames), fixedSix(p.nmodta()),
                    ap ? fixedSix(*ap) : "-"});
  }
  return renderTable(rows);
}

std::string renderSweepCsv(const SweepReport& report) {
  std::string text = "class,threshold,gt,det,fn,fp,nmodta,precision,recall\n";
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const std::string className = evaluationClasses[slot];
    for (const CurvePoint& p : report.rows()[slot].points) {
      const std::optional<double> recall = recallOf(p);
      text += className + "," + thresholdText(p.threshold) + "," + std::to_string(p.gt) + "," +
              std::to_string(p.det) + "," + std::to_string(p.fn) + "," + std::to_string(p.fp) +
              "," + fixedSix(p.nmodta()) + "," + fixedSix(precisionOf(p)) + "," +
              (recall ? fixedSix(*recall) : "") + "\n";
    }
  }
  return text;
}

Json curvePointJson(const CurvePoint& point) {
  const std::optional<double> recall = recallOf(point);
  return Json{{"threshold", jsonNumber(point.threshold)},
              {"gt", point.gt},
              {"det", point.det},
              {"fn", point.fn},
              {"fp", point.fp},
              {"nmodta", jsonNumber(point.nmodta())},
              {"precision", precisionOf(point)},
              {"recall", recall ? Json(*recall) : Json(nullptr)}};
}

Json sweepJson(const SweepReport& report) {
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    Json curve = Json::array();
    for (const CurvePoint& p : report.rows()[slot].points) curve.push_back(curvePointJson(p));
    classes.push_back(Json{{"class", evaluationClasses[slot]},
                           {"frames", report.exact[slot].frames},
                           {"curve", std::move(curve)},
                           {"best", curvePointJson(report.best[slot])},
                           {"ap", optionalJson(averagePrecision(report.exact[slot]))}});
  }
  return Json{{"groundtruth", report.groundTruth},
              {"system", report.system},
              {"classes", std::move(classes)}};
}

std::array<ClassCounts, kClassCount> countsAt(const SweepCurves& exact, float confidence) {
  std::array<ClassCounts, kClassCount> counts;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const CurvePoint p = sampleCurve(exact[slot], {confidence}).points.front();
    counts[slot] = {p.gt, p.det, p.fn, p.fp, exact[slot].frames};
  }
  return counts;
}

}  // namespace talmira
