#include "talmira/pages/compare_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "talmira/pages/markup.h"
#include "talmira/pages/page_frame.h"
#include "talmira/pages/sweep_plot.h"

namespace talmira {

namespace {

constexpr const char* kFont =
    "system-ui, -apple-system, 'Segoe UI', 'Liberation Sans', 'DejaVu Sans', Arial, sans-serif";
// Which detector a mark favours; apart in print and for the commonest
// colour-vision deficiencies.
constexpr const char* kBColour = "#2f6db5";
constexpr const char* kAColour = "#c4661f";
constexpr const char* kNeitherColour = "#6b6b6b";

// The table of classes has ten columns of wide numbers: closer cells keep it
// within the page's width.
constexpr std::string_view kCompareStyle = "#classes th, #classes td { padding: 4px 8px; }\n";

std::string e(std::string_view text) { return escapeMarkup(text); }

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string out = text;
  if (out.size() > 2 && out.compare(out.size() - 2, 2, ".0") == 0) out.resize(out.size() - 2);
  if (out == "-0") out = "0";
  return out;
}

// A typographic minus for labels.
std::string withMinus(std::string text) {
  if (!text.empty() && text.front() == '-') text.replace(0, 1, "\xE2\x88\x92");
  return text;
}

const char* colourOf(int verdict) {
  return verdict > 0 ? kBColour : verdict < 0 ? kAColour : kNeitherColour;
}

// A value axis of round ticks: a step of 1, 2, 2.5 or 5 times a power of ten
// giving about `ticks` intervals over [low, high].
struct Axis {
  double low = -1, high = 1, step = 0.5;
  int decimals = 1;
};

Axis niceAxis(double low, double high, int ticks) {
  Axis axis;
  if (!(high > low)) {
    low -= 0.05;
    high += 0.05;
  }
  const double raw = (high - low) / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10 * power;
  for (const double m : {1.0, 2.0, 2.5, 5.0}) {
    if (m * power >= raw * (1 - 1e-9)) {
      step = m * power;
      break;
    }
  }
  axis.step = step;
  axis.low = std::floor(low / step + 1e-9) * step;
  axis.high = std::ceil(high / step - 1e-9) * step;
  int decimals = 0;
  while (decimals < 9 && std::fabs(step * std::pow(10.0, decimals) -
                                   std::round(step * std::pow(10.0, decimals))) > 1e-6) {
    ++decimals;
  }
  axis.decimals = decimals;
  return axis;
}

std::string tickLabel(const Axis& axis, double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", axis.decimals, value);
  std::string out = text;
  if (out.find_first_not_of("-0.") == std::string::npos) out = "0";
  return withMinus(out);
}

std::string svgStart(double width, double height, const std::string& cls,
                     const std::string& label) {
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"" + cls + "\" width=\"" +
         number(width) + "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(width) +
         " " + number(height) + "\" font-family=\"" + e(kFont) + "\" role=\"img\" aria-label=\"" +
         e(label) + "\">\n<title>" + e(label) + "</title>\n" +
         "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
}

std::string text(double x, double y, const std::string& words, const char* anchor = "start",
                 const char* size = "12", const char* colour = "#333") {
  return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" font-size=\"" + size +
         "\" text-anchor=\"" + anchor + "\" fill=\"" + colour + "\">" + words + "</text>\n";
}

std::string line(double x1, double y1, double x2, double y2, const char* colour,
                 const char* width = "1", const char* dash = nullptr) {
  return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) +
         "\" y2=\"" + number(y2) + "\" stroke=\"" + colour + "\" stroke-width=\"" + width +
         (dash != nullptr ? std::string("\" stroke-dasharray=\"") + dash : std::string()) +
         "\"/>\n";
}

// The classes a page shows: All, and each class with objects or false alarms.
std::vector<std::size_t> shownClasses(const CompareResult& r) {
  std::vector<std::size_t> shown;
  for (std::size_t slot = 0; slot < r.classSet->rows(); ++slot) {
    const PairedClassCounts& c = r.totals[slot];
    if (slot == 0 || c.gtA > 0 || c.gtB > 0 || c.fpA > 0 || c.fpB > 0) shown.push_back(slot);
  }
  return shown;
}

// Each class's difference and interval on one axis: a row per class, the
// interval a bar, the difference a dot, 0 a line.
std::string forestPlot(const CompareResult& r, const std::vector<std::size_t>& shown) {
  constexpr double kWidth = 760, kPlotLeft = 130, kPlotRight = 730, kTop = 36, kRow = 30;
  const double height = kTop + kRow * static_cast<double>(shown.size()) + 58;
  double low = 0, high = 0;
  for (const std::size_t slot : shown) {
    const ClassBootstrap& i = r.intervals[slot];
    const double delta = deltaOf(r.totals[slot]);
    low = std::min({low, i.low, delta});
    high = std::max({high, i.high, delta});
  }
  const Axis axis = niceAxis(low, high, 6);
  const auto xOf = [&](double value) {
    return kPlotLeft + (std::clamp(value, axis.low, axis.high) - axis.low) /
                           (axis.high - axis.low) * (kPlotRight - kPlotLeft);
  };
  const double bottom = kTop + kRow * static_cast<double>(shown.size());
  const std::string level = levelText(r.settings.bootstrap.level);
  std::string svg = svgStart(kWidth, height, "forest-plot",
                             "NMODTA of B minus that of A, by class, with " + level + " intervals");
  svg += text(kPlotLeft, 20, "NMODTA of B minus that of A, with " + e(level) + " intervals",
              "start", "14", "#222");
  svg += "<g class=\"axes\">\n";
  const long steps = std::lround((axis.high - axis.low) / axis.step);
  for (long k = 0; k <= steps; ++k) {
    const double value = axis.low + axis.step * static_cast<double>(k);
    const double x = xOf(value);
    const bool zero = std::fabs(value) < axis.step * 1e-6;
    svg += line(x, kTop, x, bottom, zero ? "#7a7a7a" : "#e4e4e4", zero ? "1.5" : "1");
    svg += text(x, bottom + 16, tickLabel(axis, value), "middle", "11", "#444");
  }
  svg += text(kPlotLeft, bottom + 40, "\xE2\x86\x90 A better", "start", "12", kAColour);
  svg += text(kPlotRight, bottom + 40, "B better \xE2\x86\x92", "end", "12", kBColour);
  svg += "</g>\n";
  for (std::size_t row = 0; row < shown.size(); ++row) {
    const std::size_t slot = shown[row];
    const std::string name(r.classSet->row(slot));
    const ClassBootstrap& i = r.intervals[slot];
    const double delta = deltaOf(r.totals[slot]);
    const int verdict = verdictOf(i, r.units);
    const double y = kTop + kRow * (static_cast<double>(row) + 0.5);
    const std::string title =
        name + ": difference " + fixedSix(delta) + ", " + level + " interval [" + fixedSix(i.low) +
        ", " + fixedSix(i.high) + "]; B scored higher in " + fixedFour(i.bBetter) +
        " of the resamples, A in " + fixedFour(i.aBetter) + " (" + verdictWords(verdict) + ")";
    svg += text(kPlotLeft - 12, y + 4, e(name), "end", "12", "#222");
    svg += "<g class=\"series\" data-series=\"delta\" data-class=\"" + e(name) + "\" data-low=\"" +
           fixedSix(i.low) + "\" data-high=\"" + fixedSix(i.high) + "\" data-delta=\"" +
           fixedSix(delta) + "\">\n<title>" + e(title) + "</title>\n";
    // An interval of zero width still shows as a short bar.
    const double x1 = xOf(i.low), x2 = std::max(xOf(i.high), x1 + 1);
    svg += "<path d=\"M" + number(x1) + " " + number(y) + "H" + number(x2) + "\" stroke=\"" +
           colourOf(verdict) + "\" stroke-width=\"" + (slot == 0 ? "4" : "3") +
           "\" stroke-linecap=\"round\" fill=\"none\"/>\n";
    svg += "<circle cx=\"" + number(xOf(delta)) + "\" cy=\"" + number(y) + "\" r=\"" +
           (slot == 0 ? "5.5" : "4.5") + "\" fill=\"#ffffff\" stroke=\"" + colourOf(verdict) +
           "\" stroke-width=\"2\"/>\n</g>\n";
  }
  return svg + "</svg>\n";
}

// Every sequence's difference on All as a bar, smallest first.
std::string sequenceBars(const std::vector<const CompareSequence*>& sorted) {
  constexpr double kWidth = 760, kHeight = 280, kPlotLeft = 70, kPlotRight = 740, kTop = 36,
                   kBottom = 236;
  double low = 0, high = 0;
  for (const CompareSequence* s : sorted) {
    low = std::min(low, deltaOf(s->counts.at(0)));
    high = std::max(high, deltaOf(s->counts.at(0)));
  }
  const Axis axis = niceAxis(low, high, 5);
  const auto yOf = [&](double value) {
    return kBottom - (std::clamp(value, axis.low, axis.high) - axis.low) / (axis.high - axis.low) *
                         (kBottom - kTop);
  };
  std::string svg = svgStart(kWidth, kHeight, "sequence-plot",
                             "Difference of All for each sequence, smallest first");
  svg += text(kPlotLeft, 20, "NMODTA of B minus that of A on All, each sequence, smallest first",
              "start", "14", "#222");
  svg += "<g class=\"axes\">\n";
  const long steps = std::lround((axis.high - axis.low) / axis.step);
  for (long k = 0; k <= steps; ++k) {
    const double value = axis.low + axis.step * static_cast<double>(k);
    const bool zero = std::fabs(value) < axis.step * 1e-6;
    svg += line(kPlotLeft, yOf(value), kPlotRight, yOf(value), zero ? "#7a7a7a" : "#e4e4e4",
                zero ? "1.5" : "1");
    svg += text(kPlotLeft - 6, yOf(value) + 4, tickLabel(axis, value), "end", "11", "#444");
  }
  svg += text(kPlotLeft, kBottom + 24, std::to_string(sorted.size()) + " sequences", "start", "12");
  svg += "</g>\n";
  const double slotWidth = (kPlotRight - kPlotLeft) / static_cast<double>(sorted.size());
  const double gap = slotWidth > 4 ? std::min(4.0, slotWidth * 0.2) : 0;
  std::string upward, downward;
  for (std::size_t k = 0; k < sorted.size(); ++k) {
    const double delta = deltaOf(sorted[k]->counts.at(0));
    const double x1 = kPlotLeft + slotWidth * static_cast<double>(k) + gap / 2;
    const double x2 = std::max(x1 + slotWidth - gap, x1 + 0.5);
    // A difference of 0 still shows as a sliver on the line.
    const double y = delta == 0 ? yOf(0) - 1 : yOf(delta);
    (delta >= 0 ? upward : downward) += "M" + number(x1) + " " + number(yOf(0)) + "V" + number(y) +
                                        "H" + number(x2) + "V" + number(yOf(0)) + "Z";
  }
  svg +=
      "<g class=\"series\" data-series=\"sequence-delta\" data-class=\"All\">\n<title>Difference "
      "of All for each of " +
      std::to_string(sorted.size()) + " sequences, smallest first (see the table)</title>\n";
  svg += "<path d=\"" + (upward.empty() ? std::string("M0 0") : upward) + "\" fill=\"" + kBColour +
         "\"/>\n";
  if (!downward.empty()) svg += "<path d=\"" + downward + "\" fill=\"" + kAColour + "\"/>\n";
  return svg + "</g>\n</svg>\n";
}

// Both detectors' NMODTA of All against the threshold, their best points
// marked: what --best chose from.
std::string curvesPlot(const CompareResult& r) {
  constexpr double kWidth = 820, kHeight = 380, kPlotLeft = 72, kPlotRight = 692, kTop = 40,
                   kBottom = 320;
  constexpr int kColumns = 620;
  struct Series {
    const ClassCurve* curve;
    const char* key;
    const char* name;
    const char* colour;
    float chosen;
  };
  const std::array<Series, 2> series = {
      Series{&r.curveA, "nmodta-a", "A", kAColour, r.settings.confidenceA},
      Series{&r.curveB, "nmodta-b", "B", kBColour, r.settings.confidenceB}};
  // NMODTA falls without bound as false alarms grow: below -1 the scale
  // keeps both best points in view and pins lower values to the edge.
  double lowest = 0, lowestBest = 0;
  for (const Series& s : series) {
    for (const CurvePoint& p : s.curve->points) lowest = std::min<double>(lowest, p.nmodta());
    if (!s.curve->points.empty()) {
      lowestBest = std::min<double>(lowestBest, bestPoint(*s.curve).nmodta());
    }
  }
  const Axis axis = niceAxis(lowest < -1 ? std::min(-1.0, lowestBest) : lowest, 1.0, 6);
  const auto xOf = [&](double t) {
    return kPlotLeft + std::clamp(t, 0.0, 1.0) * (kPlotRight - kPlotLeft);
  };
  const auto yOf = [&](double value) {
    return kBottom - (std::clamp(value, axis.low, axis.high) - axis.low) / (axis.high - axis.low) *
                         (kBottom - kTop);
  };
  std::string svg =
      svgStart(kWidth, kHeight, "curves-plot", "NMODTA of All against the threshold, A and B");
  svg +=
      text(kPlotLeft, 22, "NMODTA of All against the confidence threshold", "start", "14", "#222");
  svg += "<g class=\"axes\">\n";
  for (int k = 0; k <= 10; ++k) {
    const double x = xOf(k / 10.0);
    svg += line(x, kTop, x, kBottom, "#e4e4e4");
    char label[8];
    std::snprintf(label, sizeof label, "%.1f", k / 10.0);
    svg += text(x, kBottom + 16, k == 0 ? "0" : k == 10 ? "1" : label, "middle", "11", "#444");
  }
  svg += text((kPlotLeft + kPlotRight) / 2, kBottom + 36, "Confidence threshold", "middle");
  const long steps = std::lround((axis.high - axis.low) / axis.step);
  for (long k = 0; k <= steps; ++k) {
    const double value = axis.low + axis.step * static_cast<double>(k);
    svg += line(kPlotLeft, yOf(value), kPlotRight, yOf(value), "#e4e4e4");
    svg += text(kPlotLeft - 6, yOf(value) + 4, tickLabel(axis, value), "end", "11", "#444");
  }
  svg += "</g>\n";
  double legendY = kTop + 10;
  for (const Series& s : series) {
    const std::vector<CurvePoint>& points = s.curve->points;
    if (points.empty()) continue;
    std::vector<double> values;
    for (const CurvePoint& p : points) values.push_back(p.nmodta());
    const CurvePoint best = bestPoint(*s.curve);
    std::optional<std::size_t> bestAt;
    for (std::size_t k = 0; k < points.size(); ++k) {
      if (points[k] == best) bestAt = k;
    }
    const std::vector<std::size_t> kept = pointsToDraw(points, values, kColumns, bestAt);
    // A step line: the value of point k holds from the next point's
    // threshold up to its own, drawn from threshold 0 upwards.
    std::string path =
        "M" + number(xOf(points[kept.back()].threshold)) + " " + number(yOf(values[kept.back()]));
    for (std::size_t k = kept.size() - 1; k-- > 0;) {
      path += "V" + number(yOf(values[kept[k]])) + "H" + number(xOf(points[kept[k]].threshold));
    }
    svg += std::string("<g class=\"series\" data-series=\"") + s.key +
           "\" data-class=\"All\" data-threshold=\"" + shortestText(s.chosen) + "\">\n<title>" +
           s.name + ": NMODTA of All against the threshold; best " + fixedSix(best.nmodta()) +
           " at " + shortestText(best.threshold) + "</title>\n";
    svg += "<path d=\"" + path + "\" fill=\"none\" stroke=\"" + s.colour +
           "\" stroke-width=\"2.4\" stroke-linejoin=\"round\"/>\n";
    svg += "<circle cx=\"" + number(xOf(best.threshold)) + "\" cy=\"" + number(yOf(best.nmodta())) +
           "\" r=\"5\" fill=\"" + s.colour + "\" stroke=\"#ffffff\" stroke-width=\"1.5\"/>\n</g>\n";
    svg += line(kPlotRight + 14, legendY - 4, kPlotRight + 34, legendY - 4, s.colour, "2.4");
    svg += text(kPlotRight + 40, legendY, s.name, "start", "12", "#222");
    svg += text(kPlotRight + 40, legendY + 14, withMinus(fixedSix(best.nmodta())), "start", "11",
                "#555");
    svg += text(kPlotRight + 40, legendY + 27, "at " + shortestText(best.threshold), "start", "11",
                "#555");
    legendY += 48;
  }
  return svg + "</svg>\n";
}

std::string cell(const std::string& content) { return "<td>" + e(content) + "</td>"; }

}  // namespace

std::string renderComparePage(const CompareResult& r, const std::string& producedBy) {
  const CompareSettings& s = r.settings;
  const std::string level = levelText(s.bootstrap.level);
  std::string html =
      pageStart("Is B better than A? " + (r.dataset() ? s.list : s.systemB + " vs " + s.systemA),
                kCompareStyle);
  html += "<h1>Is B better than A?</h1>\n";
  html +=
      "<p class=\"lead\">Two detectors on the same ground truth: the difference of their NMODTA, "
      "with paired-bootstrap intervals.</p>\n";
  html += "<dl class=\"facts\" id=\"inputs\">\n";
  if (r.dataset()) {
    html += "<dt>Dataset</dt><dd><code>" + e(s.list) + "</code></dd>\n";
    html += "<dt>Detector A</dt><dd>each sequence's <code>system_a</code></dd>\n";
    html += "<dt>Detector B</dt><dd>each sequence's <code>system_b</code></dd>\n";
  } else {
    html += "<dt>Ground truth</dt><dd><code>" + e(s.groundTruth) + "</code></dd>\n";
    html += "<dt>Detector A</dt><dd><code>" + e(s.systemA) + "</code></dd>\n";
    html += "<dt>Detector B</dt><dd><code>" + e(s.systemB) + "</code></dd>\n";
  }
  html += "<dt>Thresholds</dt><dd id=\"thresholds\">A " + e(shortestText(s.confidenceA)) + ", B " +
          e(shortestText(s.confidenceB)) +
          (s.best ? " (each detector's best threshold of All)" : "") + "</dd>\n";
  std::string units = std::to_string(r.units);
  if (r.dataset()) {
    units += r.units == 1 ? " sequence" : " sequences";
  } else {
    units += (r.units == 1 ? " block of " : " blocks of ") + std::to_string(s.block) +
             (s.block == 1 ? " frame" : " frames") + " (" + std::to_string(s.frames) + " frames)";
  }
  html += "<dt>Units</dt><dd id=\"units\">" + e(units) + "</dd>\n";
  html += "<dt>Resamples</dt><dd>" + std::to_string(s.bootstrap.resamples) + ", seed " +
          std::to_string(s.bootstrap.seed) + ", " + e(level) + " intervals</dd>\n";
  html += "</dl>\n";
  const int verdict = verdictOf(r.intervals[0], r.units);
  html += std::string("<p class=\"") + (verdict == 0 ? "note" : "ok") + "\" id=\"verdict\">" +
          e(verdictOnAll(r)) + "</p>\n";
  if (s.best) {
    html +=
        "<p class=\"alert\">The thresholds were chosen on the data compared: each detector's "
        "score at its own best threshold flatters it, and the difference carries that "
        "choice.</p>\n";
  }

  const std::vector<std::size_t> shown = shownClasses(r);
  html += "<h2>Difference by class</h2>\n";
  html += "<figure>\n" + forestPlot(r, shown) +
          "<figcaption>Dots: the difference on all units; bars: the " + e(level) +
          " interval of the resamples. A bar clear of 0 says which detector is better; hover a "
          "row for its figures.</figcaption>\n</figure>\n";
  html +=
      "<table id=\"classes\">\n<thead><tr><th class=\"text\">Class</th><th>GT</th>"
      "<th>NMODTA A</th><th>NMODTA B</th><th>Delta</th><th>Low</th><th>High</th>"
      "<th>B better</th><th>A better</th><th class=\"text\">Verdict</th></tr></thead>\n"
      "<tbody>\n";
  for (const std::size_t slot : shown) {
    const PairedClassCounts& c = r.totals[slot];
    const ClassBootstrap& i = r.intervals[slot];
    const std::string name = e(r.classSet->row(slot));
    html += "<tr data-class=\"" + name + "\"" + (slot == 0 ? " class=\"all\"" : "") +
            "><td class=\"text\">" + name + "</td>" + cell(std::to_string(c.gtA)) +
            cell(fixedSix(reportedNmodta(c.gtA, c.fnA, c.fpA))) +
            cell(fixedSix(reportedNmodta(c.gtB, c.fnB, c.fpB))) + cell(fixedSix(deltaOf(c))) +
            cell(fixedSix(i.low)) + cell(fixedSix(i.high)) + cell(fixedFour(i.bBetter)) +
            cell(fixedFour(i.aBetter)) + "<td class=\"text\">" +
            verdictWords(verdictOf(i, r.units)) + "</td></tr>\n";
  }
  html += "</tbody>\n</table>\n";
  html +=
      "<p class=\"note\">Delta: NMODTA of B minus that of A; Low, High: its interval. B better, "
      "A better: the share of resamples in which each scored higher. Classes without objects or "
      "false alarms are left out; the misses and false alarms are in the text, CSV and JSON "
      "outputs.</p>\n";

  html += "<h2>Objects found by one detector only</h2>\n";
  html +=
      "<table id=\"objects\">\n<thead><tr><th class=\"text\">Class</th><th>Both</th>"
      "<th>A only</th><th>B only</th><th>Neither</th></tr></thead>\n<tbody>\n";
  for (const std::size_t slot : shown) {
    const ObjectAgreement& o = r.objects[slot];
    const std::string name = e(r.classSet->row(slot));
    html += "<tr data-class=\"" + name + "\"" + (slot == 0 ? " class=\"all\"" : "") +
            "><td class=\"text\">" + name + "</td>" + cell(std::to_string(o.both)) +
            cell(std::to_string(o.aOnly)) + cell(std::to_string(o.bOnly)) +
            cell(std::to_string(o.neither)) + "</tr>\n";
  }
  html += "</tbody>\n</table>\n";
  html +=
      "<p class=\"note\">Ground-truth objects by the detectors that found them: paired with one "
      "of the detector's boxes in the class's matching.</p>\n";

  if (r.dataset()) {
    std::vector<const CompareSequence*> sorted;
    for (const CompareSequence& q : r.sequences) {
      if (!q.failed()) sorted.push_back(&q);
    }
    // Smallest difference first; equal ones in list order.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const CompareSequence* x, const CompareSequence* y) {
                       return deltaOf(x->counts.at(0)) < deltaOf(y->counts.at(0));
                     });
    html += "<h2>Each sequence</h2>\n";
    if (!sorted.empty()) html += "<figure>\n" + sequenceBars(sorted) + "</figure>\n";
    html +=
        "<table id=\"sequences\">\n<thead><tr><th class=\"text\">Sequence</th><th>GT</th>"
        "<th>NMODTA A</th><th>NMODTA B</th><th>Delta</th></tr></thead>\n<tbody>\n";
    for (const CompareSequence* q : sorted) {
      const PairedClassCounts all = q->counts.at(0);
      html += "<tr><td class=\"text\" title=\"" +
              e(q->groundTruth + ": " + q->systemA + " vs " + q->systemB) + "\">" + e(q->name) +
              "</td>" + cell(std::to_string(all.gtA)) +
              cell(fixedSix(reportedNmodta(all.gtA, all.fnA, all.fpA))) +
              cell(fixedSix(reportedNmodta(all.gtB, all.fnB, all.fpB))) +
              cell(fixedSix(deltaOf(all))) + "</tr>\n";
    }
    if (sorted.empty()) {
      html += "<tr><td colspan=\"5\" class=\"text\">No sequence was counted.</td></tr>\n";
    }
    html += "</tbody>\n</table>\n";
    html +=
        "<p class=\"note\">Class All, smallest difference first; hover a name for its "
        "files.</p>\n";
    const bool anyFailed = std::any_of(r.sequences.begin(), r.sequences.end(),
                                       [](const CompareSequence& q) { return q.failed(); });
    if (anyFailed) {
      html += "<h2 id=\"failed-sequences\">Failed sequences</h2>\n";
      html +=
          "<p class=\"alert\">These could not be read and are left out of both detectors' "
          "counts.</p>\n";
      html +=
          "<table id=\"failed\">\n<thead><tr><th class=\"text\">Sequence</th>"
          "<th class=\"text\">Message</th></tr></thead>\n<tbody>\n";
      for (const CompareSequence& q : r.sequences) {
        if (!q.failed()) continue;
        html += "<tr><td class=\"text\">" + e(q.name) + "</td><td class=\"message\">" + e(q.error) +
                "</td></tr>\n";
      }
      html += "</tbody>\n</table>\n";
    }
  }

  if (s.best) {
    html += "<h2>Thresholds</h2>\n";
    html += "<figure>\n" + curvesPlot(r) +
            "<figcaption>Each detector's NMODTA of All at every threshold" +
            (r.dataset() ? std::string(", pooled over the dataset") : std::string()) +
            "; the dots are the best points, the thresholds compared.</figcaption>\n</figure>\n";
  }
  return html + pageEnd(producedBy);
}

}  // namespace talmira
