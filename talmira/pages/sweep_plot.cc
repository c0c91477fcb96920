#include "talmira/pages/sweep_plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "talmira/cli_common.h"
#include "talmira/pages/markup.h"

namespace talmira {

namespace {

// Where the library's best point lies in the curve, so that it is marked
// where every other output reports it.
std::optional<std::size_t> bestIndex(const ClassCurve& curve) {
  if (curve.points.empty()) return std::nullopt;
  const CurvePoint best = ::bestPoint(curve);
  for (std::size_t i = 0; i < curve.points.size(); ++i) {
    if (curve.points[i] == best) return i;
  }
  return std::nullopt;
}

}  // namespace

bool hasObjects(const ClassCurve& curve) {
  return std::any_of(curve.points.begin(), curve.points.end(),
                     [](const CurvePoint& p) { return p.gt > 0; });
}

namespace {

double clampUnit(double t) { return std::isnan(t) ? 0.0 : std::clamp(t, 0.0, 1.0); }

int columnOf(float threshold, int columns) {
  const double column = std::floor(clampUnit(threshold) * columns);
  return std::min(static_cast<int>(column), columns - 1);
}

}  // namespace

std::vector<std::size_t> pointsToDraw(const std::vector<CurvePoint>& points,
                                      const std::vector<double>& values, int columns,
                                      std::optional<std::size_t> keep) {
  const std::size_t n = std::min(points.size(), values.size());
  std::vector<std::size_t> kept;
  if (n == 0) return kept;
  columns = std::max(columns, 1);
  for (std::size_t first = 0; first < n;) {
    const int column = columnOf(points[first].threshold, columns);
    std::size_t lowest = first, highest = first, last = first;
    for (std::size_t i = first + 1; i < n && columnOf(points[i].threshold, columns) == column;
         ++i) {
      if (values[i] < values[lowest]) lowest = i;
      if (values[i] > values[highest]) highest = i;
      last = i;
    }
    kept.insert(kept.end(), {first, lowest, highest, last});
    first = last + 1;
  }
  if (keep && *keep < n) kept.push_back(*keep);
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  return kept;
}

namespace {

// The picture's layout, in SVG user units (pixels at 100 %).
constexpr double kWidth = 960;
constexpr double kHeight = 650;
constexpr double kPlotLeft = 72;
constexpr int kPlotWidth = 620;
constexpr double kPlotRight = kPlotLeft + kPlotWidth;
constexpr double kLegendLeft = 716;
constexpr double kTopPanelTop = 62;
constexpr double kTopPanelHeight = 300;
constexpr double kBottomPanelTop = 440;
constexpr double kBottomPanelHeight = 160;

constexpr const char* kFont =
    "system-ui, -apple-system, 'Segoe UI', 'Liberation Sans', 'DejaVu Sans', Arial, sans-serif";
// "All" is drawn strongest; the classes take distinct colours that stay
// apart in print and for the commonest colour-vision deficiencies.
constexpr const char* kAllColour = "#111111";
// A set of more classes than colours takes them again in turn.
constexpr std::array<const char*, 10> kClassColours = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2",
                                                       "#59a14f", "#b8a22a", "#b07aa1", "#ff9da7",
                                                       "#9c755f", "#8f8f8f"};
constexpr const char* kMissColour = "#c43c2f";
constexpr const char* kFalseAlarmColour = "#2f6db5";

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

struct Axis {
  double low = 0, high = 1, step = 0.25;
  int decimals = 2;
  double unit = 1;          // labels are divided by this ...
  const char* suffix = "";  // ... and followed by this
};

// Round bounds and a step of 1, 2, 2.5 or 5 times a power of ten that give
// about `ticks` intervals.
Axis niceAxis(double low, double high, int ticks, bool counts) {
  Axis axis;
  if (!(high > low)) high = low + 1;
  const double raw = (high - low) / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = 10 * power;
  for (double m : {1.0, 2.0, 2.5, 5.0}) {
    if (m * power >= raw * (1 - 1e-9)) {
      step = m * power;
      break;
    }
  }
  if (counts) step = std::max(step, 1.0);
  axis.step = step;
  axis.low = std::floor(low / step + 1e-9) * step;
  axis.high = std::ceil(high / step - 1e-9) * step;
  if (counts && axis.high >= 1e6) {
    axis.unit = 1e6;
    axis.suffix = "M";
  } else if (counts && axis.high >= 1e4) {
    axis.unit = 1e3;
    axis.suffix = "k";
  }
  const double scaled = step / axis.unit;
  int decimals = 0;
  while (decimals < 9 && std::fabs(scaled * std::pow(10.0, decimals) -
                                   std::round(scaled * std::pow(10.0, decimals))) > 1e-6) {
    ++decimals;
  }
  axis.decimals = decimals;
  return axis;
}

std::string tickLabel(const Axis& axis, double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", axis.decimals, value / axis.unit);
  std::string out = text;
  if (out.find_first_not_of("-0.") == std::string::npos) out = "0";
  return withMinus(out + (out == "0" ? "" : axis.suffix));
}

struct Panel {
  double top, height;
  Axis y;
  // A little room above and below the axis range, so that a line at the
  // range's end (NMODTA 1, no false alarms) does not vanish into the frame.
  double yOf(double value) const {
    const double room = 0.04 * (y.high - y.low);
    const double v = std::clamp(value, y.low, y.high);
    return top + (y.high + room - v) / (y.high - y.low + 2 * room) * height;
  }
};

double xOf(float threshold) { return kPlotLeft + clampUnit(threshold) * kPlotWidth; }

// A step line: the value of point i holds from the next point's threshold
// (excluded) up to point i's threshold, so the path runs from threshold 0
// upwards, rising or falling at each point's threshold.
std::string stepPath(const std::vector<CurvePoint>& points, const std::vector<double>& values,
                     const std::vector<std::size_t>& kept, const Panel& panel) {
  if (kept.empty()) return {};
  std::string path;
  std::size_t last = kept.back();
  std::string x = number(xOf(points[last].threshold));
  std::string y = number(panel.yOf(values[last]));
  path = "M" + x + " " + y;
  for (std::size_t k = kept.size() - 1; k-- > 0;) {
    const std::size_t i = kept[k];
    const std::string nextY = number(panel.yOf(values[i]));
    const std::string nextX = number(xOf(points[i].threshold));
    if (nextY != y) path += "V" + nextY;
    if (nextX != x) path += "H" + nextX;
    x = nextX;
    y = nextY;
  }
  return path;
}

void drawFrame(std::string& svg, const Panel& panel, const std::string& title,
               const std::string& yTitle, bool counts) {
  const double bottom = panel.top + panel.height;
  svg += "<g class=\"axes\">\n";
  svg += "<text x=\"" + number(kPlotLeft) + "\" y=\"" + number(panel.top - 12) +
         "\" font-size=\"14\" font-weight=\"600\" fill=\"#222\">" + escapeMarkup(title) +
         "</text>\n";
  // Grid and tick labels of the threshold axis.
  for (int k = 0; k <= 10; ++k) {
    const double x = kPlotLeft + kPlotWidth * k / 10.0;
    svg += "<line x1=\"" + number(x) + "\" y1=\"" + number(panel.top) + "\" x2=\"" + number(x) +
           "\" y2=\"" + number(bottom) + "\" stroke=\"#e4e4e4\" stroke-width=\"1\"/>\n";
    char label[8];
    std::snprintf(label, sizeof label, "%.1f", k / 10.0);
    svg += "<text x=\"" + number(x) + "\" y=\"" + number(bottom + 16) +
           "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#444\">" +
           (k == 0    ? std::string("0")
            : k == 10 ? std::string("1")
                      : std::string(label)) +
           "</text>\n";
  }
  svg += "<text x=\"" + number(kPlotLeft + kPlotWidth / 2.0) + "\" y=\"" + number(bottom + 34) +
         "\" font-size=\"12\" text-anchor=\"middle\" fill=\"#333\">Confidence threshold</text>\n";
  // Grid and tick labels of the value axis.
  const Axis& axis = panel.y;
  const long steps = std::lround((axis.high - axis.low) / axis.step);
  for (long k = 0; k <= steps; ++k) {
    const double value = axis.low + axis.step * static_cast<double>(k);
    const double y = panel.yOf(value);
    const bool zero = std::fabs(value) < axis.step * 1e-6;
    svg += "<line x1=\"" + number(kPlotLeft) + "\" y1=\"" + number(y) + "\" x2=\"" +
           number(kPlotRight) + "\" y2=\"" + number(y) + "\" stroke=\"" +
           (zero && !counts ? "#9a9a9a" : "#e4e4e4") + "\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + number(kPlotLeft - 6) + "\" y=\"" + number(y + 4) +
           "\" font-size=\"11\" text-anchor=\"end\" fill=\"#444\">" + tickLabel(axis, value) +
           "</text>\n";
  }
  const double middle = panel.top + panel.height / 2;
  svg += "<text transform=\"translate(" + number(kPlotLeft - 48) + " " + number(middle) +
         ") rotate(-90)\" font-size=\"12\" text-anchor=\"middle\" fill=\"#333\">" +
         escapeMarkup(yTitle) + "</text>\n";
  svg += "<rect x=\"" + number(kPlotLeft) + "\" y=\"" + number(panel.top) + "\" width=\"" +
         number(kPlotWidth) + "\" height=\"" + number(panel.height) +
         "\" fill=\"none\" stroke=\"#888\" stroke-width=\"1\"/>\n";
  svg += "</g>\n";
}

// Long captions (paths) are shortened in the middle, on character boundaries.
std::string shortened(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  const auto boundary = [&](std::size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
      --at;
    }
    return at;
  };
  const std::size_t head = boundary(limit / 2);
  const std::size_t tail = boundary(text.size() - limit / 2);
  return text.substr(0, head) + "\xE2\x80\xA6" + text.substr(tail);
}

std::vector<double> valuesOf(const std::vector<CurvePoint>& points, int64_t CurvePoint::*count) {
  std::vector<double> values;
  values.reserve(points.size());
  for (const CurvePoint& p : points) values.push_back(static_cast<double>(p.*count));
  return values;
}

std::vector<double> nmodtaValues(const std::vector<CurvePoint>& points) {
  std::vector<double> values;
  values.reserve(points.size());
  for (const CurvePoint& p : points) values.push_back(p.nmodta());
  return values;
}

const char* colourOf(std::size_t slot) {
  return slot == 0 ? kAllColour : kClassColours[(slot - 1) % kClassColours.size()];
}

}  // namespace

std::string renderSweepSvg(const SweepCurves& exact, const std::string& caption,
                           const ClassSet& classes) {
  // No curves at all: the picture of an empty "All".
  if (exact.empty()) return renderSweepSvg(SweepCurves(1), caption, classes);
  std::vector<std::size_t> drawn;  // classes with objects, "All" first
  std::vector<std::size_t> empty;
  for (std::size_t slot = 0; slot < exact.size(); ++slot) {
    (hasObjects(exact[slot]) ? drawn : empty).push_back(slot);
  }
  std::vector<std::vector<double>> nmodta(exact.size());
  std::vector<std::optional<std::size_t>> best(exact.size());
  double lowest = 0, lowestBest = 0;
  for (std::size_t slot : drawn) {
    const auto& points = exact[slot].points;
    nmodta[slot] = nmodtaValues(points);
    best[slot] = bestIndex(exact[slot]);
    for (double v : nmodta[slot]) lowest = std::min(lowest, v);
    if (best[slot]) lowestBest = std::min(lowestBest, nmodta[slot][*best[slot]]);
  }
  // NMODTA falls without bound as false alarms grow: below -1 the scale
  // keeps every best point in view and pins lower values to the edge.
  double low = lowest;
  bool clipped = false;
  if (low < -1) {
    low = std::min(-1.0, lowestBest);
    clipped = lowest < low;
  }
  Panel top{kTopPanelTop, kTopPanelHeight, niceAxis(low, 1.0, 6, false)};
  if (top.y.high < 1) top.y.high = 1;

  const auto& all = exact[0].points;
  const std::vector<double> misses = valuesOf(all, &CurvePoint::fn);
  const std::vector<double> falseAlarms = valuesOf(all, &CurvePoint::fp);
  double highestCount = 1;
  for (double v : misses) highestCount = std::max(highestCount, v);
  for (double v : falseAlarms) highestCount = std::max(highestCount, v);
  Panel bottom{kBottomPanelTop, kBottomPanelHeight, niceAxis(0, highestCount, 4, true)};

  std::string svg;
  svg.reserve(64 * 1024);
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"sweep-plot\" width=\"" +
         number(kWidth) + "\" height=\"" + number(kHeight) + "\" viewBox=\"0 0 " + number(kWidth) +
         " " + number(kHeight) + "\" font-family=\"" + escapeMarkup(kFont) +
         "\" role=\"img\" aria-label=\"" + escapeMarkup("Confidence sweep: " + caption) + "\">\n";
  svg += "<title>" + escapeMarkup("Confidence sweep: " + caption) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg += "<text x=\"" + number(kPlotLeft) + "\" y=\"24\" font-size=\"15\" fill=\"#111\">" +
         escapeMarkup(shortened(caption, 120)) + "</text>\n";

  drawFrame(svg, top, "NMODTA by class", "NMODTA", false);
  drawFrame(svg, bottom, "Misses and false alarms, all classes", "Boxes", true);

  // The best threshold of "All", across both panels.
  if (!drawn.empty() && drawn.front() == 0 && best[0]) {
    const CurvePoint& point = all[*best[0]];
    const std::string x = number(xOf(point.threshold));
    svg += "<g class=\"best-guide\" data-threshold=\"" + shortestText(point.threshold) + "\">\n";
    svg += "<title>Best threshold of All: " + shortestText(point.threshold) + "</title>\n";
    for (const Panel* panel : {&top, &bottom}) {
      svg += "<line x1=\"" + x + "\" y1=\"" + number(panel->top) + "\" x2=\"" + x + "\" y2=\"" +
             number(panel->top + panel->height) +
             "\" stroke=\"#555\" stroke-width=\"1\" stroke-dasharray=\"4 3\"/>\n";
    }
    svg += "</g>\n";
  }

  // The classes first, "All" last so that it lies on top.
  std::vector<std::size_t> order(drawn.begin(), drawn.end());
  std::rotate(order.begin(), order.begin() + (order.empty() || order.front() != 0 ? 0 : 1),
              order.end());
  for (std::size_t slot : order) {
    const auto& points = exact[slot].points;
    const std::string name = escapeMarkup(classes.row(slot));
    const bool strongest = slot == 0;
    std::string title = std::string(classes.row(slot)) + ": NMODTA against the threshold";
    if (best[slot]) {
      const CurvePoint& b = points[*best[slot]];
      title += "; best " + fixedSix(b.nmodta()) + " at " + shortestText(b.threshold) + " (GT " +
               std::to_string(b.gt) + ", Det " + std::to_string(b.det) + ", FN " +
               std::to_string(b.fn) + ", FP " + std::to_string(b.fp) + ")";
    }
    const auto kept = pointsToDraw(points, nmodta[slot], kPlotWidth, best[slot]);
    svg += "<g class=\"series\" data-series=\"nmodta\" data-class=\"" + name + "\" data-points=\"" +
           std::to_string(points.size()) + "\" data-drawn=\"" + std::to_string(kept.size()) +
           "\">\n<title>" + escapeMarkup(title) + "</title>\n";
    svg += "<path d=\"" + stepPath(points, nmodta[slot], kept, top) + "\" fill=\"none\" stroke=\"" +
           colourOf(slot) + "\" stroke-width=\"" + (strongest ? "2.6" : "1.5") +
           "\" stroke-linejoin=\"round\"/>\n";
    if (best[slot]) {
      const CurvePoint& b = points[*best[slot]];
      svg += "<circle class=\"best\" cx=\"" + number(xOf(b.threshold)) + "\" cy=\"" +
             number(top.yOf(b.nmodta())) + "\" r=\"" + (strongest ? "5" : "3.8") + "\" fill=\"" +
             colourOf(slot) + "\" stroke=\"#ffffff\" stroke-width=\"1.5\" data-threshold=\"" +
             shortestText(b.threshold) + "\" data-nmodta=\"" + fixedSix(b.nmodta()) + "\"/>\n";
    }
    svg += "</g>\n";
  }

  // Misses and false alarms of "All".
  struct CountSeries {
    const char* key;
    const char* label;
    const char* colour;
    const std::vector<double>* values;
  };
  const std::array<CountSeries, 2> counts = {
      CountSeries{"fn", "Misses (FN)", kMissColour, &misses},
      CountSeries{"fp", "False alarms (FP)", kFalseAlarmColour, &falseAlarms}};
  for (const CountSeries& series : counts) {
    const auto kept = pointsToDraw(all, *series.values, kPlotWidth, best[0]);
    svg += std::string("<g class=\"series\" data-series=\"") + series.key +
           "\" data-class=\"All\" data-points=\"" + std::to_string(all.size()) +
           "\" data-drawn=\"" + std::to_string(kept.size()) + "\">\n<title>" + series.label +
           " of All against the threshold</title>\n";
    svg += "<path d=\"" + stepPath(all, *series.values, kept, bottom) +
           "\" fill=\"none\" stroke=\"" + series.colour +
           "\" stroke-width=\"2\" stroke-linejoin=\"round\"/>\n</g>\n";
  }

  // Legends.
  svg += "<g class=\"legend\" font-size=\"12\">\n";
  svg += "<text x=\"" + number(kLegendLeft + 26) + "\" y=\"" + number(kTopPanelTop - 12) +
         "\" font-size=\"11\" fill=\"#555\">best NMODTA at threshold</text>\n";
  double y = kTopPanelTop + 8;
  // Two lines a class: the exact best point can take thirty characters.
  for (std::size_t slot : drawn) {
    const std::string colour = colourOf(slot);
    svg += "<line x1=\"" + number(kLegendLeft) + "\" y1=\"" + number(y - 4) + "\" x2=\"" +
           number(kLegendLeft + 20) + "\" y2=\"" + number(y - 4) + "\" stroke=\"" + colour +
           "\" stroke-width=\"" + (slot == 0 ? "2.6" : "1.5") + "\"/>\n";
    svg += "<text x=\"" + number(kLegendLeft + 26) + "\" y=\"" + number(y) + "\" fill=\"#222\"" +
           (slot == 0 ? " font-weight=\"700\"" : "") + ">" + escapeMarkup(classes.row(slot)) +
           "</text>\n";
    if (best[slot]) {
      const CurvePoint& b = exact[slot].points[*best[slot]];
      svg += "<text x=\"" + number(kLegendLeft + 26) + "\" y=\"" + number(y + 13) +
             "\" fill=\"#555\" font-size=\"11\">" + withMinus(fixedSix(b.nmodta())) + " at " +
             shortestText(b.threshold) + "</text>\n";
    }
    y += 28;
  }
  if (!empty.empty()) {
    y += 2;
    svg += "<text x=\"" + number(kLegendLeft) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#666\">Not drawn, no objects:</text>\n";
    std::string line;
    for (std::size_t k = 0; k < empty.size(); ++k) {
      const std::string name =
          escapeMarkup(classes.row(empty[k])) + (k + 1 < empty.size() ? "," : "");
      if (!line.empty() && line.size() + 1 + name.size() > 34) {
        y += 15;
        svg += "<text x=\"" + number(kLegendLeft) + "\" y=\"" + number(y) +
               "\" font-size=\"11\" fill=\"#666\">" + line + "</text>\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + name;
    }
    y += 15;
    svg += "<text x=\"" + number(kLegendLeft) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#666\">" + line + "</text>\n";
  }
  if (clipped) {
    y += 22;
    svg += "<text class=\"clip-note\" x=\"" + number(kLegendLeft) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#666\">Values below " + tickLabel(top.y, top.y.low) +
           " are drawn</text>\n";
    svg += "<text x=\"" + number(kLegendLeft) + "\" y=\"" + number(y + 14) +
           "\" font-size=\"11\" fill=\"#666\">at the panel's lower edge.</text>\n";
  }
  double countY = kBottomPanelTop + 10;
  for (const CountSeries& series : counts) {
    svg += "<line x1=\"" + number(kLegendLeft) + "\" y1=\"" + number(countY - 4) + "\" x2=\"" +
           number(kLegendLeft + 20) + "\" y2=\"" + number(countY - 4) + "\" stroke=\"" +
           series.colour + "\" stroke-width=\"2\"/>\n";
    svg += "<text x=\"" + number(kLegendLeft + 26) + "\" y=\"" + number(countY) +
           "\" fill=\"#222\">" + series.label + "</text>\n";
    countY += 20;
  }
  if (best[0]) {
    svg += "<line x1=\"" + number(kLegendLeft) + "\" y1=\"" + number(countY - 4) + "\" x2=\"" +
           number(kLegendLeft + 20) + "\" y2=\"" + number(countY - 4) +
           "\" stroke=\"#555\" stroke-width=\"1\" stroke-dasharray=\"4 3\"/>\n";
    svg += "<text x=\"" + number(kLegendLeft + 26) + "\" y=\"" + number(countY) +
           "\" fill=\"#222\">Best threshold of All</text>\n";
  }
  svg += "</g>\n";
  if (drawn.empty()) {
    svg +=
        "<text x=\"" + number(kPlotLeft + kPlotWidth / 2.0) + "\" y=\"" +
        number(kTopPanelTop + kTopPanelHeight / 2) +
        "\" font-size=\"14\" text-anchor=\"middle\" fill=\"#666\">No class has objects.</text>\n";
  }
  svg += "</svg>\n";
  return svg;
}

std::vector<std::size_t> polylineToDraw(const std::vector<double>& xs,
                                        const std::vector<double>& ys, int columns) {
  const std::size_t n = std::min(xs.size(), ys.size());
  std::vector<std::size_t> kept;
  columns = std::max(columns, 1);
  const auto columnOfX = [columns](double x) {
    return std::min(static_cast<int>(std::floor(clampUnit(x) * columns)), columns - 1);
  };
  for (std::size_t first = 0; first < n;) {
    const int column = columnOfX(xs[first]);
    std::size_t lowest = first, highest = first, last = first;
    for (std::size_t i = first + 1; i < n && columnOfX(xs[i]) == column; ++i) {
      if (ys[i] < ys[lowest]) lowest = i;
      if (ys[i] > ys[highest]) highest = i;
      last = i;
    }
    // In the order the line passes them.
    std::array<std::size_t, 4> run = {first, lowest, highest, last};
    std::sort(run.begin(), run.end());
    for (std::size_t i : run) {
      if (kept.empty() || kept.back() != i) kept.push_back(i);
    }
    first = last + 1;
  }
  return kept;
}

namespace {

// The precision-recall picture: a square panel, the legend to its right.
constexpr double kPrWidth = 960;
constexpr double kPrHeight = 540;
constexpr double kPrLeft = 72;
constexpr double kPrTop = 62;
constexpr int kPrSize = 420;
constexpr double kPrLegendLeft = 560;

double prX(double recall) { return kPrLeft + clampUnit(recall) * kPrSize; }
double prY(double precision) {
  // A little room above 1, so that a line at precision 1 stays visible.
  return kPrTop + 8 + (1 - clampUnit(precision)) * (kPrSize - 8);
}

void drawPrFrame(std::string& svg) {
  const double bottom = kPrTop + kPrSize;
  svg += "<g class=\"axes\">\n";
  for (int k = 0; k <= 10; ++k) {
    char label[8];
    std::snprintf(label, sizeof label, "%.1f", k / 10.0);
    const std::string text = k == 0 ? "0" : k == 10 ? "1" : label;
    const std::string x = number(prX(k / 10.0));
    const std::string y = number(prY(k / 10.0));
    svg += "<line x1=\"" + x + "\" y1=\"" + number(kPrTop) + "\" x2=\"" + x + "\" y2=\"" +
           number(bottom) + "\" stroke=\"#e4e4e4\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + x + "\" y=\"" + number(bottom + 16) +
           "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#444\">" + text + "</text>\n";
    svg += "<line x1=\"" + number(kPrLeft) + "\" y1=\"" + y + "\" x2=\"" +
           number(kPrLeft + kPrSize) + "\" y2=\"" + y +
           "\" stroke=\"#e4e4e4\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + number(kPrLeft - 6) + "\" y=\"" + number(prY(k / 10.0) + 4) +
           "\" font-size=\"11\" text-anchor=\"end\" fill=\"#444\">" + text + "</text>\n";
  }
  svg += "<text x=\"" + number(kPrLeft + kPrSize / 2.0) + "\" y=\"" + number(bottom + 34) +
         "\" font-size=\"12\" text-anchor=\"middle\" fill=\"#333\">Recall (GT \xE2\x88\x92 FN) / "
         "GT</text>\n";
  svg += "<text transform=\"translate(" + number(kPrLeft - 44) + " " +
         number(kPrTop + kPrSize / 2.0) +
         ") rotate(-90)\" font-size=\"12\" text-anchor=\"middle\" fill=\"#333\">Precision (Det "
         "\xE2\x88\x92 FP) / Det</text>\n";
  svg += "<rect x=\"" + number(kPrLeft) + "\" y=\"" + number(kPrTop) + "\" width=\"" +
         number(kPrSize) + "\" height=\"" + number(kPrSize) +
         "\" fill=\"none\" stroke=\"#888\" stroke-width=\"1\"/>\n";
  svg += "</g>\n";
}

struct PrLine {
  std::vector<double> recall, precision;
};

// The curve's points with objects, in threshold order.
PrLine prPoints(const ClassCurve& curve, std::vector<std::size_t>* indices = nullptr) {
  PrLine line;
  for (std::size_t i = 0; i < curve.points.size(); ++i) {
    const std::optional<double> recall = recallOf(curve.points[i]);
    if (!recall) continue;
    line.recall.push_back(*recall);
    line.precision.push_back(precisionOf(curve.points[i]));
    if (indices) indices->push_back(i);
  }
  return line;
}

// A step line: from each point across to the next one's recall, then up or
// down to its precision.
std::string prStepPath(const PrLine& line, const std::vector<std::size_t>& kept) {
  if (kept.empty()) return {};
  std::string x = number(prX(line.recall[kept.front()]));
  std::string y = number(prY(line.precision[kept.front()]));
  std::string path = "M" + x + " " + y;
  for (std::size_t k = 1; k < kept.size(); ++k) {
    const std::string nextX = number(prX(line.recall[kept[k]]));
    const std::string nextY = number(prY(line.precision[kept[k]]));
    if (nextX != x) path += "H" + nextX;
    if (nextY != y) path += "V" + nextY;
    x = nextX;
    y = nextY;
  }
  return path;
}

// The envelope as averagePrecision() integrates it: each step stands at its
// precision from the recall of the step before up to its own.
std::string envelopePath(const std::vector<PrecisionStep>& steps, bool closed) {
  if (steps.empty()) return {};
  std::vector<double> xs, ys;
  xs.reserve(steps.size());
  ys.reserve(steps.size());
  for (const PrecisionStep& step : steps) {
    xs.push_back(step.recall);
    ys.push_back(step.precision);
  }
  const std::vector<std::size_t> kept = polylineToDraw(xs, ys, kPrSize);
  std::string y = number(prY(ys[kept.front()]));
  std::string path = "M" + number(prX(0)) + " " + y;
  std::string x;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const std::string nextY = number(prY(ys[kept[k]]));
    if (nextY != y) path += "V" + nextY;
    const std::string nextX = number(prX(xs[kept[k]]));
    if (nextX != x) path += "H" + nextX;
    x = nextX;
    y = nextY;
  }
  if (closed) path += "V" + number(prY(0)) + "H" + number(prX(0)) + "Z";
  return path;
}

}  // namespace

std::string renderPrecisionRecallSvg(const SweepCurves& exact, const std::string& caption,
                                     const ClassSet& classes) {
  std::vector<std::size_t> drawn;
  std::vector<std::size_t> empty;
  for (std::size_t slot = 0; slot < exact.size(); ++slot) {
    (hasObjects(exact[slot]) ? drawn : empty).push_back(slot);
  }
  const std::string title = "Precision against recall: " + caption;
  std::string svg;
  svg.reserve(64 * 1024);
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"pr-plot\" width=\"" + number(kPrWidth) +
         "\" height=\"" + number(kPrHeight) + "\" viewBox=\"0 0 " + number(kPrWidth) + " " +
         number(kPrHeight) + "\" font-family=\"" + escapeMarkup(kFont) +
         "\" role=\"img\" aria-label=\"" + escapeMarkup(title) + "\">\n";
  svg += "<title>" + escapeMarkup(title) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg += "<text x=\"" + number(kPrLeft) + "\" y=\"24\" font-size=\"15\" fill=\"#111\">" +
         escapeMarkup(shortened(caption, 120)) + "</text>\n";
  svg += "<text x=\"" + number(kPrLeft) + "\" y=\"" + number(kPrTop - 12) +
         "\" font-size=\"14\" font-weight=\"600\" fill=\"#222\">Precision and recall by "
         "class</text>\n";
  drawPrFrame(svg);

  // What AP measures, under the strongest line.
  if (!drawn.empty() && drawn.front() == 0) {
    const std::string area = envelopePath(precisionEnvelope(exact[0]), true);
    if (!area.empty()) {
      svg += "<path class=\"ap-area\" d=\"" + area +
             "\" fill=\"#111111\" fill-opacity=\"0.07\" stroke=\"none\"/>\n";
    }
  }

  std::vector<std::optional<double>> ap(exact.size());
  for (std::size_t slot : drawn) ap[slot] = averagePrecision(exact[slot]);
  // "All" last, so that it lies on top.
  std::vector<std::size_t> order(drawn.begin(), drawn.end());
  std::rotate(order.begin(), order.begin() + (order.empty() || order.front() != 0 ? 0 : 1),
              order.end());
  for (std::size_t slot : order) {
    const ClassCurve& curve = exact[slot];
    const std::string name = escapeMarkup(classes.row(slot));
    const bool strongest = slot == 0;
    std::vector<std::size_t> indices;
    const PrLine line = prPoints(curve, &indices);
    const std::vector<std::size_t> kept = polylineToDraw(line.recall, line.precision, kPrSize);
    const std::string apText = ap[slot] ? fixedSix(*ap[slot]) : "-";
    svg += "<g class=\"series\" data-series=\"pr\" data-class=\"" + name + "\" data-ap=\"" +
           apText + "\" data-points=\"" + std::to_string(line.recall.size()) + "\" data-drawn=\"" +
           std::to_string(kept.size()) + "\">\n<title>" +
           escapeMarkup(std::string(classes.row(slot)) +
                        ": precision against recall over every threshold; AP " + apText +
                        " (the area under the dashed envelope)") +
           "</title>\n";
    svg += "<path class=\"curve\" d=\"" + prStepPath(line, kept) + "\" fill=\"none\" stroke=\"" +
           colourOf(slot) + "\" stroke-width=\"" + (strongest ? "2.4" : "1.4") +
           "\" stroke-linejoin=\"round\"/>\n";
    const std::string envelope = envelopePath(precisionEnvelope(curve), false);
    if (!envelope.empty()) {
      svg += "<path class=\"envelope\" d=\"" + envelope + "\" fill=\"none\" stroke=\"" +
             colourOf(slot) + "\" stroke-width=\"" + (strongest ? "1.6" : "1") +
             "\" stroke-dasharray=\"5 3\" stroke-opacity=\"0.85\"/>\n";
    }
    // Where the best NMODTA threshold puts the class.
    if (const std::optional<std::size_t> best = bestIndex(curve)) {
      const CurvePoint& b = curve.points[*best];
      if (const std::optional<double> recall = recallOf(b)) {
        svg += "<circle class=\"best\" cx=\"" + number(prX(*recall)) + "\" cy=\"" +
               number(prY(precisionOf(b))) + "\" r=\"" + (strongest ? "4.5" : "3.4") +
               "\" fill=\"" + colourOf(slot) +
               "\" stroke=\"#ffffff\" stroke-width=\"1.5\" data-threshold=\"" +
               shortestText(b.threshold) + "\"/>\n";
      }
    }
    svg += "</g>\n";
  }

  svg += "<g class=\"legend\" font-size=\"12\">\n";
  svg += "<text x=\"" + number(kPrLegendLeft + 26) + "\" y=\"" + number(kPrTop - 12) +
         "\" font-size=\"11\" fill=\"#555\">average precision (AP)</text>\n";
  double y = kPrTop + 8;
  for (std::size_t slot : drawn) {
    svg += "<line x1=\"" + number(kPrLegendLeft) + "\" y1=\"" + number(y - 4) + "\" x2=\"" +
           number(kPrLegendLeft + 20) + "\" y2=\"" + number(y - 4) + "\" stroke=\"" +
           colourOf(slot) + "\" stroke-width=\"" + (slot == 0 ? "2.4" : "1.4") + "\"/>\n";
    svg += "<text x=\"" + number(kPrLegendLeft + 26) + "\" y=\"" + number(y) + "\" fill=\"#222\"" +
           (slot == 0 ? " font-weight=\"700\"" : "") + ">" + escapeMarkup(classes.row(slot)) +
           "</text>\n";
    svg += "<text class=\"ap\" data-class=\"" + escapeMarkup(classes.row(slot)) + "\" x=\"" +
           number(kPrLegendLeft + 150) + "\" y=\"" + number(y) + "\" fill=\"#222\"" +
           (slot == 0 ? " font-weight=\"700\"" : "") + ">" +
           (ap[slot] ? fixedSix(*ap[slot]) : "-") + "</text>\n";
    y += 20;
  }
  y += 10;
  const auto note = [&](const std::string& text) {
    svg += "<text x=\"" + number(kPrLegendLeft) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#555\">" + text + "</text>\n";
    y += 15;
  };
  if (!drawn.empty()) {
    svg += "<line x1=\"" + number(kPrLegendLeft) + "\" y1=\"" + number(y - 4) + "\" x2=\"" +
           number(kPrLegendLeft + 20) + "\" y2=\"" + number(y - 4) +
           "\" stroke=\"#555\" stroke-width=\"1.2\" stroke-dasharray=\"5 3\"/>\n";
    svg += "<text x=\"" + number(kPrLegendLeft + 26) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#555\">envelope: the best precision at that recall or "
           "above;</text>\n";
    y += 15;
    svg += "<text x=\"" + number(kPrLegendLeft + 26) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#555\">AP is the area under it (shaded for All)</text>\n";
    y += 19;
    svg += "<circle cx=\"" + number(kPrLegendLeft + 10) + "\" cy=\"" + number(y - 4) +
           "\" r=\"3.4\" fill=\"#555\"/>\n";
    svg += "<text x=\"" + number(kPrLegendLeft + 26) + "\" y=\"" + number(y) +
           "\" font-size=\"11\" fill=\"#555\">the best NMODTA threshold</text>\n";
    y += 22;
  }
  if (!empty.empty()) {
    note("Not drawn, no objects:");
    std::string names;
    for (std::size_t k = 0; k < empty.size(); ++k) {
      const std::string name =
          escapeMarkup(classes.row(empty[k])) + (k + 1 < empty.size() ? "," : "");
      if (!names.empty() && names.size() + 1 + name.size() > 48) {
        note(names);
        names.clear();
      }
      names += (names.empty() ? "" : " ") + name;
    }
    note(names);
  }
  svg += "</g>\n";
  if (drawn.empty()) {
    svg += "<text x=\"" + number(kPrLeft + kPrSize / 2.0) + "\" y=\"" +
           number(kPrTop + kPrSize / 2.0) +
           "\" font-size=\"14\" text-anchor=\"middle\" fill=\"#666\">No class has "
           "objects.</text>\n";
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace talmira
