#include "talmira/writers/sweep_report.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

namespace {

// Writes the `count` digits of `value` (leading zeros included) at `out`.
char* writeDigits(uint64_t value, int count, char* out) {
  for (int at = count - 1; at >= 0; --at) {
    out[at] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + count;
}

// round(mantissa * 10^power / 2^shift) to the nearest, ties to even: the
// rounding printf gives the exact binary value. `mantissa * 10^power` must
// be below 2^100.
uint64_t roundedScaled(uint64_t mantissa, int power, int shift) {
  unsigned __int128 scaled = mantissa;
  for (int k = 0; k < power; ++k) scaled *= 10;
  if (shift == 0) return static_cast<uint64_t>(scaled);
  if (shift > 100) return 0;  // below a half
  const unsigned __int128 one = 1;
  auto quotient = static_cast<uint64_t>(scaled >> shift);
  const unsigned __int128 rest = scaled & ((one << shift) - 1);
  const unsigned __int128 half = one << (shift - 1);
  if (rest > half || (rest == half && (quotient & 1) != 0)) ++quotient;
  return quotient;
}

char* generalNine(float threshold, char* first, char* last) {
  return std::to_chars(first, last, static_cast<double>(threshold), std::chars_format::general, 9)
      .ptr;
}

}  // namespace

char* thresholdChars(float threshold, char* first, char* last) {
  if (threshold == 1.0f) {
    *first = '1';
    return first + 1;
  }
  uint32_t bits = 0;
  std::memcpy(&bits, &threshold, sizeof bits);
  if (bits == 0) {  // +0 (-0 prints its sign)
    *first = '0';
    return first + 1;
  }
  // %.9g of a value in [0.0001, 1) whose nine digits stay below 1: "0.",
  // the zeros after the point, then the nine digits without their trailing
  // zeros. The float is mantissa / 2^shift exactly.
  if (!(threshold >= 0.0001f && threshold < 1.0f)) return generalNine(threshold, first, last);
  const uint64_t mantissa = (bits & 0x7fffffu) | 0x800000u;
  const int shift = 150 - static_cast<int>(bits >> 23);
  // The power of ten that brings the value into [10^8, 10^9), nine digits
  // before the point: 9 from 0.1 up, 12 from 0.0001 up (the float nearest
  // 0.0001 lies below it, and is written with an exponent).
  int power = 9;
  for (unsigned __int128 scaled = mantissa * uint64_t{1000000000};
       (scaled >> shift) < 100000000u && power <= 12; ++power) {
    scaled *= 10;
  }
  uint64_t digits = roundedScaled(mantissa, power, shift);
  // Rounding up into ten digits would move the exponent: leave that to the
  // general writer (no float between 0.0001 and 1 does it).
  if (power > 12 || digits >= 1000000000u) return generalNine(threshold, first, last);
  int count = 9;
  while (digits % 10 == 0) {
    digits /= 10;
    --count;
  }
  char* out = first;
  *out++ = '0';
  *out++ = '.';
  for (int zeros = power - 9; zeros > 0; --zeros) *out++ = '0';
  return writeDigits(digits, count, out);
}

char* fixedSixChars(double value, char* first, char* last) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  // Below 2^32 in size (infinities and NaN are not): mantissa / 2^shift.
  if (biased >= 1023 + 32) {
    return std::to_chars(first, last, value, std::chars_format::fixed, 6).ptr;
  }
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  const uint64_t mantissa = biased == 0 ? fraction : fraction | (uint64_t{1} << 52);
  const int shift = biased == 0 ? 1074 : 1075 - biased;  // at least 52 - 31 = 21
  // value * 10^6 rounded is below 2^32 * 10^6 + 1, within 64 bits.
  const uint64_t millionths = roundedScaled(mantissa, 6, shift);
  char* out = first;
  if ((bits >> 63) != 0) *out++ = '-';  // printf keeps the sign of -0 and of a tiny negative
  out = std::to_chars(out, last, millionths / 1000000).ptr;
  *out++ = '.';
  return writeDigits(millionths % 1000000, 6, out);
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
      text.append(field, thresholdChars(p.threshold, field, end));
      for (const int64_t count : {p.gt, p.det, p.fn, p.fp}) {
        text += ',';
        add(std::to_chars(field, end, count));
      }
      text += ',';
      text.append(field, fixedSixChars(static_cast<double>(p.nmodta()), field, end));
      text += ',';
      text.append(field, fixedSixChars(precisionOf(p), field, end));
      text += ',';
      if (const std::optional<double> recall = recallOf(p)) {
        text.append(field, fixedSixChars(*recall, field, end));
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
