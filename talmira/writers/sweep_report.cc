#include "talmira/writers/sweep_report.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "talmira/writers/score_report.h"

namespace talmira {

SweepReport makeSweepReport(std::string groundTruthPath, std::string systemPath,
                            ClassSetPtr classSet, SweepCurves exact, int gridSteps) {
  SweepReport report;
  report.groundTruth = std::move(groundTruthPath);
  report.system = std::move(systemPath);
  report.classSet = std::move(classSet);
  report.exact = std::move(exact);
  const std::vector<float> grid = gridSteps > 0 ? gridThresholds(gridSteps) : std::vector<float>{};
  report.listExact = gridSteps <= 0;
  const std::size_t classes = report.exact.size();
  report.best.resize(classes);
  if (!report.listExact) report.sampled.resize(classes);
  for (std::size_t slot = 0; slot < classes; ++slot) {
    report.best[slot] = ::bestPoint(report.exact[slot]);
    if (!report.listExact) report.sampled[slot] = sampleCurve(report.exact[slot], grid);
  }
  return report;
}

std::string thresholdText(float threshold) {
  // printf("%.9g"), digit for digit, without printf's cost (see fixedSix).
  char text[64];
  const std::to_chars_result result = std::to_chars(
      text, text + sizeof text, static_cast<double>(threshold), std::chars_format::general, 9);
  return std::string(text, result.ptr);
}

std::string renderSweepText(const SweepReport& report) {
  std::vector<std::vector<std::string>> rows = {
      {"Class", "Best threshold", "GT", "Det", "FN", "FP", "Frames", "NMODTA", "AP"}};
  for (std::size_t slot = 0; slot < report.exact.size(); ++slot) {
    const CurvePoint& p = report.best[slot];
    const std::optional<double> ap = averagePrecision(report.exact[slot]);
    rows.push_back({std::string(report.classSet->row(slot)), shortestText(p.threshold),
                    std::to_string(p.gt), std::to_string(p.det), std::to_string(p.fn),
                    std::to_string(p.fp), std::to_string(report.exact[slot].frames),
                    fixedSix(p.nmodta()), ap ? fixedSix(*ap) : "-"});
  }
  return renderTable(rows);
}

namespace {

// Past this many rows a curve's CSV is written in two halves at once.
constexpr std::size_t kRowsWrittenInTwo = 8192;
// About the length of a row, for reserving the text.
constexpr std::size_t kRowBytes = 72;

// Appends rows [first, last) of the report, counted over its classes in
// order, each straight into the text with no string made per field.
void appendCsvRows(const SweepReport& report, std::size_t first, std::size_t last,
                   std::string& text) {
  char field[512];
  const auto add = [&](std::to_chars_result written) { text.append(field, written.ptr); };
  const auto end = field + sizeof field;
  std::size_t row = 0;  // of the first point of the class
  for (std::size_t slot = 0; slot < report.rows().size() && row < last; ++slot) {
    const std::vector<CurvePoint>& points = report.rows()[slot].points;
    const std::size_t from = first > row ? std::min(first - row, points.size()) : 0;
    const std::size_t to = std::min(last - row, points.size());
    const std::string className = csvField(report.classSet->row(slot));
    for (std::size_t at = from; at < to; ++at) {
      const CurvePoint& p = points[at];
      text += className;
      text += ',';
      add(std::to_chars(field, end, static_cast<double>(p.threshold), std::chars_format::general,
                        9));
      for (const int64_t count : {p.gt, p.det, p.fn, p.fp}) {
        text += ',';
        add(std::to_chars(field, end, count));
      }
      text += ',';
      add(std::to_chars(field, end, static_cast<double>(p.nmodta()), std::chars_format::fixed, 6));
      text += ',';
      add(std::to_chars(field, end, precisionOf(p), std::chars_format::fixed, 6));
      text += ',';
      if (const std::optional<double> recall = recallOf(p)) {
        add(std::to_chars(field, end, *recall, std::chars_format::fixed, 6));
      }
      text += '\n';
    }
    row += points.size();
  }
}

}  // namespace

std::string renderSweepCsv(const SweepReport& report) {
  // A whole curve is tens of thousands of rows, and formatting its numbers is
  // most of what is left to do once the files are read: with a second core,
  // the second half of the rows is written beside the first.
  std::string text = "class,threshold,gt,det,fn,fp,nmodta,precision,recall\n";
  std::size_t rowCount = 0;
  for (const ClassCurve& curve : report.rows()) rowCount += curve.points.size();
  text.reserve(text.size() + rowCount * kRowBytes);
  if (rowCount < kRowsWrittenInTwo || std::thread::hardware_concurrency() < 2) {
    appendCsvRows(report, 0, rowCount, text);
    return text;
  }
  const std::size_t half = rowCount / 2;
  std::string second;
  second.reserve((rowCount - half) * kRowBytes);
  {
    const std::jthread writer([&] { appendCsvRows(report, half, rowCount, second); });
    appendCsvRows(report, 0, half, text);
  }
  text += second;
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
  for (std::size_t slot = 0; slot < report.exact.size(); ++slot) {
    Json curve = Json::array();
    for (const CurvePoint& p : report.rows()[slot].points) curve.push_back(curvePointJson(p));
    classes.push_back(Json{{"class", report.classSet->row(slot)},
                           {"frames", report.exact[slot].frames},
                           {"curve", std::move(curve)},
                           {"best", curvePointJson(report.best[slot])},
                           {"ap", optionalJson(averagePrecision(report.exact[slot]))}});
  }
  return Json{{"groundtruth", report.groundTruth},
              {"system", report.system},
              {"classes", std::move(classes)}};
}

std::vector<ClassCounts> countsAt(const SweepCurves& exact, float confidence) {
  std::vector<ClassCounts> counts(exact.size());
  for (std::size_t slot = 0; slot < exact.size(); ++slot) {
    const CurvePoint p = sampleCurve(exact[slot], {confidence}).points.front();
    counts[slot] = {p.gt, p.det, p.fn, p.fp, exact[slot].frames};
  }
  return counts;
}

}  // namespace talmira
