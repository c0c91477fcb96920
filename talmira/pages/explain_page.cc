#include "talmira/pages/explain_page.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "talmira/cli_common.h"
#include "talmira/pages/markup.h"
#include "talmira/pages/page_frame.h"

namespace talmira {

namespace {

// The parts of this page the common style does not have.
constexpr std::string_view kExplainStyle = R"css(
figure.wide svg { width: 100%; }
h3 { font-size: 15.5px; margin: 22px 0 6px; font-weight: 620; }
.legend-note { color: #555; font-size: 13.5px; }
.matrix { display: flex; flex-wrap: wrap; gap: 10px 32px; align-items: flex-start; }
table.confusion th, table.confusion td { padding: 4px 9px; }
table.confusion td { text-align: center; min-width: 42px; }
table.confusion th.corner { font-weight: 500; color: #555; font-size: 12.5px; text-align: left; }
table.confusion th[scope="row"] { text-align: left; background: #f5f5f5; border-bottom: 1px solid #e6e6e6; }
table.confusion td.total, table.confusion tr.total td { color: #444; background: #fafafa; }
table.confusion td.void, table.confusion td.zero { color: #b0b0b0; }
dl.beside { display: grid; grid-template-columns: max-content auto; gap: 3px 14px; margin: 8px 0 0; }
dl.beside dt { color: #555; }
dl.beside dd { margin: 0; text-align: right; font-variant-numeric: tabular-nums; }
table.pairs th, table.pairs td { padding: 4px 6px; }
#timeline-readout { min-height: 1.5em; font-variant-numeric: tabular-nums; color: #333; }
)css";

// Shows what the pointer is over on the timeline strip, whose columns can be
// thinner than a pixel on a long video; without it each column's tooltip
// says the same.
constexpr std::string_view kTimelineScript = R"js(
(function () {
  'use strict';
  var strip = document.getElementById('timeline');
  var readout = document.getElementById('timeline-readout');
  var cursor = document.getElementById('timeline-cursor');
  if (!strip || !readout || !strip.getScreenCTM) return;
  var idle = readout.textContent;
  var left = +strip.getAttribute('data-left');
  var width = +strip.getAttribute('data-width');
  var columns = +strip.getAttribute('data-columns');
  function rest() {
    readout.textContent = idle;
    if (cursor) cursor.setAttribute('visibility', 'hidden');
  }
  strip.addEventListener('mousemove', function (event) {
    var matrix = strip.getScreenCTM();
    if (!matrix) return;
    var point = strip.createSVGPoint();
    point.x = event.clientX;
    point.y = event.clientY;
    var x = point.matrixTransform(matrix.inverse()).x;
    var column = Math.floor((x - left) / width * columns);
    if (!(column >= 0 && column < columns)) return rest();
    var group = document.getElementById('column-' + column);
    var title = group ? group.querySelector('title') : null;
    readout.textContent = title ? title.textContent
        : 'No misses or false alarms here (column ' + (column + 1) + ' of ' + columns + ').';
    if (cursor) {
      var at = left + (column + 0.5) * width / columns;
      cursor.setAttribute('x1', at);
      cursor.setAttribute('x2', at);
      cursor.setAttribute('visibility', 'visible');
    }
  });
  strip.addEventListener('mouseleave', rest);
})();
)js";

constexpr const char* kFont =
    "system-ui, -apple-system, 'Segoe UI', 'Liberation Sans', 'DejaVu Sans', Arial, sans-serif";

// Misses in warm colours, false alarms in cool ones, each cause its own,
// distinct in print and for the commonest colour-vision deficiencies.
constexpr std::array<const char*, kMissCauseCount> kMissColours = {"#5b2a0e", "#c2185b", "#e07b00",
                                                                   "#e8c12f", "#f08a7e", "#b71c1c"};
constexpr std::array<const char*, kFalseAlarmCauseCount> kFalseAlarmColours = {
    "#6a3d9a", "#1f5fa8", "#2a9d8f", "#8fb8de"};
constexpr std::array<const char*, kMissCauseCount> kMissMeanings = {
    "its frame has no system frame",
    "the All matching pairs it with a box of another class",
    "a box of the class that a don't-care region dropped matches it",
    "a box of the class below the threshold matches it",
    "a false alarm of the class is near it",
    "no box of the class matches it or is near it"};
constexpr std::array<const char*, kFalseAlarmCauseCount> kFalseAlarmMeanings = {
    "the All matching pairs it with an object of another class",
    "it matches an object of the class that another box is paired with",
    "it is near a missed object of the class", "it is near no object of the class"};
constexpr const char* kMissColour = "#c43c2f";
constexpr const char* kFalseAlarmColour = "#2f6db5";

std::string e(std::string_view text) { return escapeMarkup(text); }

// Coordinates with two decimals at most, so that widths add up closely.
std::string px(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.2f", value);
  std::string out = text;
  while (!out.empty() && out.back() == '0') out.pop_back();
  if (!out.empty() && out.back() == '.') out.pop_back();
  if (out == "-0") out = "0";
  return out;
}

std::string count(int64_t n) { return std::to_string(n); }

std::string plural(int64_t n, const char* one, const char* many) {
  return count(n) + " " + (n == 1 ? one : many);
}

// A count short enough to sit over a narrow bar; the tables give it whole.
std::string compactCount(int64_t n) {
  if (n < 10000) return count(n);
  if (n < 10000000) return count((n + 500) / 1000) + "k";
  return count((n + 500000) / 1000000) + "M";
}

std::string cell(const std::string& text) { return "<td>" + e(text) + "</td>"; }

const char* dash() { return "\xE2\x80\x94"; }

bool worthShowing(const ClassExplanation& c) { return c.gt > 0 || c.fp > 0; }

std::string costText(const ClassExplanation& c, int64_t errors) {
  const std::optional<double> cost = c.cost(errors);
  return cost ? fixedSix(*cost) : dash();
}

std::string meanText(double mean) { return std::isnan(mean) ? dash() : fixedSix(mean); }

// Tick spacing of 1, 2 or 5 times a power of ten giving about `ticks` steps.
double niceStep(double range, int ticks) {
  const double raw = range / ticks;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw * (1 - 1e-9)) return m * power;
  }
  return 10 * power;
}

std::string tickText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// --- Points lost, by cause ----------------------------------------------------

constexpr double kBarsWidth = 960;
constexpr double kBarLeft = 156;
constexpr double kBarWidth = 680;
constexpr double kBarTop = 44;
constexpr double kBarRow = 32;
constexpr double kBarHeight = 18;

void costSegment(std::string& svg, std::string_view className, const ClassExplanation& c, bool miss,
                 std::size_t cause, double& x, double y, double unit) {
  const int64_t n = miss ? c.misses[cause] : c.falseAlarms[cause];
  if (n == 0) return;
  const double cost = static_cast<double>(n) / static_cast<double>(c.gt);
  const double width = cost * unit;
  const char* name = miss ? missCauseNames[cause] : falseAlarmCauseNames[cause];
  const char* meaning = miss ? kMissMeanings[cause] : kFalseAlarmMeanings[cause];
  svg += "<rect class=\"segment\" data-side=\"" + std::string(miss ? "miss" : "false_alarm") +
         "\" data-cause=\"" + name + "\" data-count=\"" + count(n) + "\" data-cost=\"" +
         fixedSix(cost) + "\" x=\"" + px(x) + "\" y=\"" + px(y) + "\" width=\"" + px(width) +
         "\" height=\"" + px(kBarHeight) + "\" fill=\"" +
         (miss ? kMissColours[cause] : kFalseAlarmColours[cause]) + "\"><title>" +
         e(std::string(className) + ": " +
           plural(n, miss ? "miss" : "false alarm", miss ? "misses" : "false alarms") + ", " +
           name + " (" + meaning + "), cost " + fixedSix(cost)) +
         "</title></rect>\n";
  x += width;
}

std::string costBars(const Explanation& x, const std::vector<std::size_t>& shown) {
  double lost = 1.0;
  for (std::size_t slot : shown) {
    const ClassExplanation& c = x.classes[slot];
    if (c.gt > 0) {
      lost = std::max(lost, static_cast<double>(c.fn + c.fp) / static_cast<double>(c.gt));
    }
  }
  // The axis runs to 1 (every point) or, when false alarms cost a class more
  // than all its points, to a round value past the largest loss.
  const double step = lost <= 1.0 ? 0.2 : niceStep(lost, 5);
  const double scale = lost <= 1.0 ? 1.0 : std::ceil(lost / step - 1e-9) * step;
  const double unit = kBarWidth / scale;  // pixels per point of NMODTA
  const double rowsBottom = kBarTop + kBarRow * static_cast<double>(shown.size());
  const double height = rowsBottom + 86;

  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"cost-bars\" width=\"" +
                    px(kBarsWidth) + "\" height=\"" + px(height) + "\" viewBox=\"0 0 " +
                    px(kBarsWidth) + " " + px(height) + "\" font-family=\"" + e(kFont) +
                    "\" font-size=\"12\" role=\"img\" data-scale=\"" + tickText(scale) +
                    "\" data-unit=\"" + px(unit) +
                    "\" aria-label=\"Points of NMODTA each class lost, by cause\">\n";
  svg += "<title>Points of NMODTA each class lost, by cause</title>\n";
  svg += "<text x=\"" + px(kBarLeft) +
         "\" y=\"14\" fill=\"#333\">Points of NMODTA lost: each error costs 1 / GT</text>\n";
  svg += "<g class=\"axes\">\n";
  const long ticks = std::lround(scale / step);
  for (long k = 0; k <= ticks; ++k) {
    const double value = step * static_cast<double>(k);
    const std::string at = px(kBarLeft + value * unit);
    svg += "<line x1=\"" + at + "\" y1=\"" + px(kBarTop - 8) + "\" x2=\"" + at + "\" y2=\"" +
           px(rowsBottom - 6) + "\" stroke=\"#e4e4e4\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + at + "\" y=\"" + px(kBarTop - 12) +
           "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#555\">" + tickText(value) +
           "</text>\n";
  }
  if (scale > 1.0) {
    const std::string at = px(kBarLeft + unit);
    svg += "<line x1=\"" + at + "\" y1=\"" + px(kBarTop - 8) + "\" x2=\"" + at + "\" y2=\"" +
           px(rowsBottom - 6) +
           "\" stroke=\"#777\" stroke-width=\"1\" stroke-dasharray=\"4 3\"><title>Losing 1 point "
           "leaves NMODTA at 0</title></line>\n";
  }
  svg += "</g>\n";

  for (std::size_t row = 0; row < shown.size(); ++row) {
    const std::size_t slot = shown[row];
    const ClassExplanation& c = x.classes[slot];
    const std::string_view className = x.classSet->row(slot);
    const std::string name = e(className);
    const double y = kBarTop + kBarRow * static_cast<double>(row);
    const double middle = y + kBarHeight / 2 + 4;
    svg += "<g class=\"bar\" data-class=\"" + name + "\"";
    if (c.gt > 0) {
      svg += " data-lost=\"" + fixedSix(*c.cost(c.fn + c.fp)) + "\"";
    }
    svg += " data-nmodta=\"" + fixedSix(c.nmodta()) + "\">\n";
    svg += "<text x=\"" + px(kBarLeft - 8) + "\" y=\"" + px(middle) + "\" text-anchor=\"end\"" +
           (slot == 0 ? " font-weight=\"700\"" : "") + " fill=\"#222\">" + name + "</text>\n";
    if (c.gt == 0) {
      svg += "<text x=\"" + px(kBarLeft + 4) + "\" y=\"" + px(middle) + "\" fill=\"#666\">" +
             e("no objects: " + plural(c.fp, "false alarm", "false alarms") +
               ", which NMODTA cannot weigh per object") +
             "</text>\n</g>\n";
      continue;
    }
    // The whole of the class's points, under what it lost.
    svg += "<rect class=\"track\" x=\"" + px(kBarLeft) + "\" y=\"" + px(y) + "\" width=\"" +
           px(unit) + "\" height=\"" + px(kBarHeight) + "\" fill=\"#f0f0f0\"/>\n";
    double at = kBarLeft;
    for (std::size_t k = 0; k < kMissCauseCount; ++k)
      costSegment(svg, className, c, true, k, at, y, unit);
    const double boundary = at;
    for (std::size_t k = 0; k < kFalseAlarmCauseCount; ++k) {
      costSegment(svg, className, c, false, k, at, y, unit);
    }
    if (c.fn > 0 && c.fp > 0) {
      // Misses end and false alarms begin here.
      svg += "<line class=\"divide\" x1=\"" + px(boundary) + "\" y1=\"" + px(y - 3) + "\" x2=\"" +
             px(boundary) + "\" y2=\"" + px(y + kBarHeight + 3) +
             "\" stroke=\"#222\" stroke-width=\"1.2\"/>\n";
    }
    svg += "<text x=\"" + px(at + 6) + "\" y=\"" + px(middle) + "\" fill=\"#222\">" +
           fixedSix(*c.cost(c.fn + c.fp)) + "</text>\n";
    svg += "</g>\n";
  }

  // The legend: misses, then false alarms, each cause with its meaning.
  svg += "<g class=\"legend\" font-size=\"11.5\">\n";
  const auto legendRow = [&](double y, const char* label, bool miss) {
    svg += "<text x=\"12\" y=\"" + px(y + 10) + "\" font-weight=\"600\" fill=\"#222\">" +
           std::string(label) + "</text>\n";
    const std::size_t n = miss ? kMissCauseCount : kFalseAlarmCauseCount;
    for (std::size_t k = 0; k < n; ++k) {
      const double left = 100 + 140 * static_cast<double>(k);
      const char* name = miss ? missCauseNames[k] : falseAlarmCauseNames[k];
      svg += "<g class=\"key\" data-side=\"" + std::string(miss ? "miss" : "false_alarm") +
             "\" data-cause=\"" + name + "\"><title>" +
             e(std::string(name) + ": " + (miss ? kMissMeanings[k] : kFalseAlarmMeanings[k])) +
             "</title>";
      svg += "<rect x=\"" + px(left) + "\" y=\"" + px(y) + "\" width=\"12\" height=\"12\" fill=\"" +
             (miss ? kMissColours[k] : kFalseAlarmColours[k]) + "\"/>";
      svg += "<text x=\"" + px(left + 17) + "\" y=\"" + px(y + 10) + "\" fill=\"#333\">" + name +
             "</text></g>\n";
    }
  };
  legendRow(rowsBottom + 14, "Misses", true);
  legendRow(rowsBottom + 38, "False alarms", false);
  svg += "<text x=\"12\" y=\"" + px(rowsBottom + 74) +
         "\" fill=\"#666\">Misses first, then false alarms; the grey track is all of a class's "
         "points (NMODTA 1 to 0).</text>\n";
  svg += "</g>\n</svg>\n";
  return svg;
}

std::string countsTable(const Explanation& x, const std::vector<std::size_t>& shown) {
  std::string html =
      "<table id=\"counts\">\n<thead><tr><th class=\"text\">Class</th><th>GT</th><th>Det</th>"
      "<th>FN</th><th>FP</th><th>NMODTA</th><th>Lost</th><th>Pairs</th></tr></thead>\n<tbody>\n";
  for (std::size_t slot : shown) {
    const ClassExplanation& c = x.classes[slot];
    const std::string name = e(x.classSet->row(slot));
    html += "<tr data-class=\"" + name + "\"" + (slot == 0 ? " class=\"all\"" : "") +
            "><td class=\"text\">" + name + "</td>" + cell(count(c.gt)) + cell(count(c.det)) +
            cell(count(c.fn)) + cell(count(c.fp)) + cell(fixedSix(c.nmodta())) +
            cell(costText(c, c.fn + c.fp)) + cell(count(c.pairs.count)) + "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

std::string causesTable(const Explanation& x, const std::vector<std::size_t>& shown) {
  std::string html =
      "<table id=\"causes\">\n<thead><tr><th class=\"text\">Class</th><th class=\"text\">Error</th>"
      "<th class=\"text\">Cause</th><th>Count</th><th>Cost</th></tr></thead>\n<tbody>\n";
  bool any = false;
  for (std::size_t slot : shown) {
    const ClassExplanation& c = x.classes[slot];
    const std::string name = e(x.classSet->row(slot));
    const std::string row = "<tr data-class=\"" + name + "\"" +
                            (slot == 0 ? " class=\"all\"" : "") + "><td class=\"text\">" + name +
                            "</td>";
    for (std::size_t k = 0; k < kMissCauseCount; ++k) {
      if (c.misses[k] == 0) continue;
      html += row + "<td class=\"text\">miss</td><td class=\"text\" title=\"" +
              e(kMissMeanings[k]) + "\">" + missCauseNames[k] + "</td>" + cell(count(c.misses[k])) +
              cell(costText(c, c.misses[k])) + "</tr>\n";
      any = true;
    }
    for (std::size_t k = 0; k < kFalseAlarmCauseCount; ++k) {
      if (c.falseAlarms[k] == 0) continue;
      html += row + "<td class=\"text\">false alarm</td><td class=\"text\" title=\"" +
              e(kFalseAlarmMeanings[k]) + "\">" + falseAlarmCauseNames[k] + "</td>" +
              cell(count(c.falseAlarms[k])) + cell(costText(c, c.falseAlarms[k])) + "</tr>\n";
      any = true;
    }
  }
  if (!any)
    html += "<tr><td class=\"text\" colspan=\"5\">No misses and no false alarms.</td></tr>\n";
  return html + "</tbody>\n</table>\n";
}

// --- The confusion matrix -----------------------------------------------------

using Line = ConfusionView::Line;
using LineKind = ConfusionView::Kind;

// What a cell counts, in words.
std::string cellMeaning(const Line& row, const Line& column, int64_t n) {
  const auto things = [&](const Line& line, const char* one, const char* many) {
    if (line.kind == LineKind::kOthers) {
      return plural(n, one, many) + " of the other classes";
    }
    return plural(n, (line.label + " " + one).c_str(), (line.label + " " + many).c_str());
  };
  if (row.kind == LineKind::kNone) {
    return things(column, "box", "boxes") + " paired with no object: false alarms";
  }
  if (column.kind == LineKind::kNone) {
    return things(row, "object", "objects") + " paired with no box: misses";
  }
  const std::string partner =
      column.kind == LineKind::kOthers
          ? (n == 1 ? "a box of the other classes" : "boxes of the other classes")
          : (n == 1 ? "a " + column.label + " box" : column.label + " boxes");
  const bool others = row.kind == LineKind::kOthers && column.kind == LineKind::kOthers;
  const bool same = !others && row.slot == column.slot && row.kind == column.kind;
  return things(row, "object", "objects") + " paired with " + partner +
         (same     ? ""
          : others ? ": of the same class or of another"
                   : ": the detector took the class for another");
}

std::string confusionTable(const ConfusionView& view) {
  const std::vector<Line>& used = view.lines;
  if (used.empty()) {
    return "<p class=\"note\" id=\"confusion-empty\">No box of either file takes part in the "
           "All matching.</p>\n";
  }
  int64_t largest = 1;
  for (const std::vector<int64_t>& row : view.cells) {
    for (const int64_t n : row) largest = std::max(largest, n);
  }
  std::string html =
      "<table id=\"confusion\" class=\"confusion\">\n<thead><tr>"
      "<th class=\"corner\">Ground truth \xE2\x86\x93 / System output \xE2\x86\x92</th>";
  for (const Line& column : used) html += "<th>" + e(column.label) + "</th>";
  html += "<th>Total</th></tr></thead>\n<tbody>\n";
  std::vector<int64_t> columnTotals(used.size(), 0);
  for (std::size_t r = 0; r < used.size(); ++r) {
    const Line& row = used[r];
    html += "<tr><th scope=\"row\">" + e(row.label) + "</th>";
    int64_t rowTotal = 0;
    for (std::size_t k = 0; k < used.size(); ++k) {
      const Line& column = used[k];
      if (row.kind == LineKind::kNone && column.kind == LineKind::kNone) {
        html +=
            "<td class=\"void\" title=\"Nothing is counted here\">" + std::string(dash()) + "</td>";
        continue;
      }
      const int64_t n = view.cells[r][k];
      rowTotal += n;
      columnTotals[k] += n;
      std::string style = " class=\"zero\"";
      if (n > 0) {
        // Shade by the square root of the count, so that a few confusions
        // still show next to many pairs; pairs in blue, errors in red, and
        // grey where the other classes meet, which holds both.
        const double alpha =
            0.12 + 0.78 * std::sqrt(static_cast<double>(n) / static_cast<double>(largest));
        const bool others = row.kind == LineKind::kOthers && column.kind == LineKind::kOthers;
        char colour[96];
        std::snprintf(colour, sizeof colour, "background:rgba(%s,%.3f);%s",
                      others   ? "120,120,120"
                      : r == k ? "47,109,181"
                               : "196,60,47",
                      alpha, alpha > 0.6 ? "color:#fff" : "");
        style = " style=\"" + std::string(colour) + "\"";
      }
      html +=
          "<td" + style + " title=\"" + e(cellMeaning(row, column, n)) + "\">" + count(n) + "</td>";
    }
    html += "<td class=\"total\">" + count(rowTotal) + "</td></tr>\n";
  }
  html += "<tr class=\"total\"><th scope=\"row\">Total</th>";
  int64_t all = 0;
  for (int64_t total : columnTotals) {
    html += "<td>" + count(total) + "</td>";
    all += total;
  }
  html += "<td>" + count(all) + "</td></tr>\n</tbody>\n</table>\n";
  return html;
}

// --- The timeline ---------------------------------------------------------------

constexpr double kStripWidth = 960;
constexpr double kStripLeft = 70;
constexpr double kStripPlot = 860;
constexpr double kStripTop = 46;
constexpr double kStripHalf = 70;

std::string framesText(const std::vector<FrameSummary>& frames, const TimelineColumn& column) {
  const FrameSummary& first = frames[column.first];
  const FrameSummary& last = frames[column.last];
  if (column.first == column.last) {
    return "Frame " + std::to_string(first.frame) + " (line " + std::to_string(first.line) + ")";
  }
  return "Frames " + std::to_string(first.frame) + " to " + std::to_string(last.frame) + " (" +
         std::to_string(column.last - column.first + 1) + " frames, lines " +
         std::to_string(first.line) + " to " + std::to_string(last.line) + ")";
}

// The positions in `frames` of the worst frames, in their rank order.
std::vector<std::size_t> positionsOf(const std::vector<FrameSummary>& frames,
                                     const std::vector<FrameSummary>& worst) {
  std::vector<std::size_t> positions(worst.size(), frames.size());
  std::size_t left = worst.size();
  for (std::size_t i = 0; i < frames.size() && left > 0; ++i) {
    if (frames[i].errors() == 0) continue;
    // Equal summaries keep file order in the ranking: the first free rank
    // of an equal summary is this frame's.
    for (std::size_t r = 0; r < worst.size(); ++r) {
      if (positions[r] == frames.size() && worst[r] == frames[i]) {
        positions[r] = i;
        --left;
        break;
      }
    }
  }
  return positions;
}

std::string timelineSvg(const std::vector<FrameSummary>& frames,
                        const std::vector<FrameSummary>& worst) {
  const std::vector<TimelineColumn> columns = binTimeline(frames);
  const double n = static_cast<double>(columns.size());
  const double width = kStripPlot / n;
  int64_t largest = 1;
  for (const TimelineColumn& column : columns) largest = std::max({largest, column.fn, column.fp});
  const double middle = kStripTop + kStripHalf;
  const double bottom = middle + kStripHalf;
  const double height = bottom + 44;
  const auto barHeight = [&](int64_t value) {
    return static_cast<double>(value) / static_cast<double>(largest) * (kStripHalf - 2);
  };

  std::string svg;
  svg.reserve(200 * 1024);
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"timeline\" width=\"" + px(kStripWidth) +
         "\" height=\"" + px(height) + "\" viewBox=\"0 0 " + px(kStripWidth) + " " + px(height) +
         "\" font-family=\"" + e(kFont) +
         "\" font-size=\"11\" role=\"img\" aria-label=\"Misses and false alarms of All along the "
         "video\" data-frames=\"" +
         std::to_string(frames.size()) + "\" data-columns=\"" + std::to_string(columns.size()) +
         "\" data-left=\"" + px(kStripLeft) + "\" data-width=\"" + px(kStripPlot) + "\">\n";
  svg += "<title>Misses (up) and false alarms (down) of All along the video</title>\n";
  // Axes: the zero line, the largest count up and down, frame numbers below.
  svg += "<g class=\"axes\">\n";
  svg += "<rect x=\"" + px(kStripLeft) + "\" y=\"" + px(kStripTop) + "\" width=\"" +
         px(kStripPlot) + "\" height=\"" + px(2 * kStripHalf) +
         "\" fill=\"#fbfbfb\" stroke=\"#ccc\" stroke-width=\"1\"/>\n";
  svg += "<line x1=\"" + px(kStripLeft) + "\" y1=\"" + px(middle) + "\" x2=\"" +
         px(kStripLeft + kStripPlot) + "\" y2=\"" + px(middle) +
         "\" stroke=\"#888\" stroke-width=\"1\"/>\n";
  svg += "<text x=\"" + px(kStripLeft - 6) + "\" y=\"" + px(kStripTop + 9) +
         "\" text-anchor=\"end\" fill=\"#444\">" + count(largest) + "</text>\n";
  svg += "<text x=\"" + px(kStripLeft - 6) + "\" y=\"" + px(middle + 4) +
         "\" text-anchor=\"end\" fill=\"#444\">0</text>\n";
  svg += "<text x=\"" + px(kStripLeft - 6) + "\" y=\"" + px(bottom - 2) +
         "\" text-anchor=\"end\" fill=\"#444\">" + count(largest) + "</text>\n";
  svg += "<text x=\"" + px(kStripLeft) + "\" y=\"" + px(bottom + 34) + "\" fill=\"" + kMissColour +
         "\" font-size=\"12\" font-weight=\"600\">\xE2\x96\xB2 misses (FN)</text>\n";
  svg += "<text x=\"" + px(kStripLeft + 110) + "\" y=\"" + px(bottom + 34) + "\" fill=\"" +
         kFalseAlarmColour +
         "\" font-size=\"12\" font-weight=\"600\">\xE2\x96\xBC false alarms (FP)</text>\n";
  const std::size_t tickCount = std::min<std::size_t>(columns.size(), 9);
  for (std::size_t t = 0; t < tickCount; ++t) {
    const std::size_t k = tickCount == 1 ? 0 : t * (columns.size() - 1) / (tickCount - 1);
    const std::string at = px(kStripLeft + (static_cast<double>(k) + 0.5) * width);
    svg += "<line x1=\"" + at + "\" y1=\"" + px(bottom) + "\" x2=\"" + at + "\" y2=\"" +
           px(bottom + 4) + "\" stroke=\"#888\" stroke-width=\"1\"/>\n";
    svg += "<text x=\"" + at + "\" y=\"" + px(bottom + 16) +
           "\" text-anchor=\"middle\" fill=\"#444\">" +
           std::to_string(frames[columns[k].first].frame) + "</text>\n";
  }
  svg += "<text x=\"" + px(kStripLeft + kStripPlot) + "\" y=\"" + px(bottom + 34) +
         "\" text-anchor=\"end\" font-size=\"12\" fill=\"#333\">Ground-truth frames in file "
         "order (frame numbers)</text>\n";
  svg += "</g>\n";

  // Only columns with errors are drawn; at least a pixel wide, so that a
  // single error in a long video shows.
  const double drawnWidth = std::max(width, 1.0);
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const TimelineColumn& column = columns[k];
    if (column.fn == 0 && column.fp == 0) continue;
    const std::string x = px(kStripLeft + static_cast<double>(k) * width);
    svg += "<g class=\"column\" id=\"column-" + std::to_string(k) + "\" data-fn=\"" +
           count(column.fn) + "\" data-fp=\"" + count(column.fp) + "\"><title>" +
           framesText(frames, column) + ": " + plural(column.fn, "miss", "misses") + ", " +
           plural(column.fp, "false alarm", "false alarms") + "</title>";
    if (column.fn > 0) {
      const double h = barHeight(column.fn);
      svg += "<rect x=\"" + x + "\" y=\"" + px(middle - h) + "\" width=\"" + px(drawnWidth) +
             "\" height=\"" + px(h) + "\" fill=\"" + kMissColour + "\"/>";
    }
    if (column.fp > 0) {
      svg += "<rect x=\"" + x + "\" y=\"" + px(middle) + "\" width=\"" + px(drawnWidth) +
             "\" height=\"" + px(barHeight(column.fp)) + "\" fill=\"" + kFalseAlarmColour + "\"/>";
    }
    svg += "</g>\n";
  }

  // The worst frames, numbered as in their table. Marks closer than a label
  // share one label, so that frames bunched together stay readable.
  const std::vector<std::size_t> positions = positionsOf(frames, worst);
  std::vector<std::pair<double, std::size_t>> marks;  // x, rank index
  for (std::size_t r = 0; r < worst.size(); ++r) {
    if (positions[r] >= frames.size()) continue;
    // The column of a position: the last whose first frame is at or before it.
    const auto after = std::upper_bound(
        columns.begin(), columns.end(), positions[r],
        [](std::size_t position, const TimelineColumn& c) { return position < c.first; });
    const std::size_t k = static_cast<std::size_t>(after - columns.begin()) - 1;
    const double x = kStripLeft + (static_cast<double>(k) + 0.5) * width;
    marks.emplace_back(x, r);
    const FrameSummary& f = worst[r];
    svg += "<g class=\"worst\" data-rank=\"" + std::to_string(r + 1) + "\" data-frame=\"" +
           std::to_string(f.frame) + "\"><title>Worst frame " + std::to_string(r + 1) + ": frame " +
           std::to_string(f.frame) + " (line " + std::to_string(f.line) + "), " +
           plural(f.fn, "miss", "misses") + ", " + plural(f.fp, "false alarm", "false alarms") +
           "</title>";
    svg += "<path d=\"M" + px(x - 4) + " " + px(kStripTop - 9) + "H" + px(x + 4) + "L" + px(x) +
           " " + px(kStripTop - 2) + "Z\" fill=\"#333\"/></g>\n";
  }
  std::stable_sort(marks.begin(), marks.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t first = 0; first < marks.size();) {
    std::size_t end = first + 1;
    while (end < marks.size() && marks[end].first - marks[first].first < 16) ++end;
    std::vector<std::size_t> ranks;
    for (std::size_t m = first; m < end; ++m) ranks.push_back(marks[m].second + 1);
    std::sort(ranks.begin(), ranks.end());
    std::string label = std::to_string(ranks[0]);
    for (std::size_t m = 1; m < ranks.size() && m < 2; ++m) label += "," + std::to_string(ranks[m]);
    if (ranks.size() > 2) label += " +" + std::to_string(ranks.size() - 2);
    const double x = (marks[first].first + marks[end - 1].first) / 2;
    svg += "<text class=\"worst-label\" x=\"" + px(x) + "\" y=\"" + px(kStripTop - 12) +
           "\" text-anchor=\"middle\" font-size=\"10\" fill=\"#333\">" + label + "</text>\n";
    first = end;
  }
  svg += "<line id=\"timeline-cursor\" x1=\"0\" y1=\"" + px(kStripTop) + "\" x2=\"0\" y2=\"" +
         px(bottom) +
         "\" stroke=\"#222\" stroke-width=\"1\" stroke-opacity=\"0.5\" visibility=\"hidden\" "
         "pointer-events=\"none\"/>\n";
  svg += "</svg>\n";
  return svg;
}

std::string worstTable(const std::vector<FrameSummary>& worst) {
  std::string html =
      "<table id=\"worst-frames\">\n<thead><tr><th>Rank</th><th>Frame</th><th>Line</th>"
      "<th>GT</th><th>Det</th><th>FN</th><th>FP</th></tr></thead>\n<tbody>\n";
  for (std::size_t r = 0; r < worst.size(); ++r) {
    const FrameSummary& f = worst[r];
    html += "<tr>" + cell(std::to_string(r + 1)) + cell(std::to_string(f.frame)) +
            cell(std::to_string(f.line)) + cell(count(f.gt)) + cell(count(f.det)) +
            cell(count(f.fn)) + cell(count(f.fp)) + "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

// --- The overlaps of the pairs ----------------------------------------------------

constexpr std::array<const char*, kOverlapBins + 1> kBinEdges = {"0.2", "0.3", "0.4", "0.5", "0.6",
                                                                 "0.7", "0.8", "0.9", "1"};

std::string binLabel(std::size_t bin) {
  return std::string("[") + kBinEdges[bin] + ", " + kBinEdges[bin + 1] +
         (bin + 1 == kOverlapBins ? "]" : ")");
}

// Short enough for the pairs table to fit the page.
std::string binHeading(std::size_t bin) {
  return std::string(kBinEdges[bin]) + "\xE2\x80\x93" + kBinEdges[bin + 1];
}

std::string pairsTable(const Explanation& x, const std::vector<std::size_t>& withPairs) {
  std::string html =
      "<table id=\"pairs\" class=\"pairs\">\n<thead><tr><th class=\"text\">Class</th><th>Pairs</th>"
      "<th>Mean overlap</th><th>Mean IoU</th>";
  for (std::size_t bin = 0; bin < kOverlapBins; ++bin) {
    html += "<th title=\"Pairs of overlap in " + binLabel(bin) + "\">" + binHeading(bin) + "</th>";
  }
  html += "</tr></thead>\n<tbody>\n";
  for (std::size_t slot : withPairs) {
    const PairStats& p = x.classes[slot].pairs;
    const std::string name = e(x.classSet->row(slot));
    html += "<tr data-class=\"" + name + "\"" + (slot == 0 ? " class=\"all\"" : "") +
            "><td class=\"text\">" + name + "</td>" + cell(count(p.count)) +
            cell(meanText(p.meanOverlap())) + cell(meanText(p.meanIou()));
    for (int64_t n : p.histogram) html += cell(count(n));
    html += "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

std::string histogramsSvg(const Explanation& x, const std::vector<std::size_t>& withPairs) {
  constexpr std::size_t kPerRow = 4;
  constexpr double kCellWidth = 240;
  constexpr double kCellHeight = 168;
  constexpr double kChartLeft = 16;
  constexpr double kChartWidth = 200;
  constexpr double kChartTop = 44;
  constexpr double kChartHeight = 84;
  const std::size_t rows = (withPairs.size() + kPerRow - 1) / kPerRow;
  const double height = kCellHeight * static_cast<double>(rows) + 8;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"overlap-histograms\" width=\"" +
                    px(kCellWidth * kPerRow) + "\" height=\"" + px(height) + "\" viewBox=\"0 0 " +
                    px(kCellWidth * kPerRow) + " " + px(height) + "\" font-family=\"" + e(kFont) +
                    "\" font-size=\"11\" role=\"img\" aria-label=\"Overlap of the pairs, by "
                    "class\">\n<title>Overlap of the pairs, by class</title>\n";
  for (std::size_t i = 0; i < withPairs.size(); ++i) {
    const std::size_t slot = withPairs[i];
    const PairStats& p = x.classes[slot].pairs;
    const double left = kCellWidth * static_cast<double>(i % kPerRow) + kChartLeft;
    const double top = kCellHeight * static_cast<double>(i / kPerRow) + kChartTop;
    const double base = top + kChartHeight;
    const int64_t largest =
        std::max<int64_t>(1, *std::max_element(p.histogram.begin(), p.histogram.end()));
    const std::string_view className = x.classSet->row(slot);
    const std::string name = e(className);
    svg += "<g class=\"histogram\" data-class=\"" + name + "\" data-pairs=\"" + count(p.count) +
           "\">\n";
    svg += "<text x=\"" + px(left) + "\" y=\"" + px(top - 26) + "\" font-size=\"12.5\"" +
           (slot == 0 ? " font-weight=\"700\"" : " font-weight=\"600\"") + " fill=\"#222\">" +
           name + ": " + plural(p.count, "pair", "pairs") + "</text>\n";
    svg += "<text x=\"" + px(left) + "\" y=\"" + px(top - 11) + "\" fill=\"#555\">mean overlap " +
           meanText(p.meanOverlap()) + ", IoU " + meanText(p.meanIou()) + "</text>\n";
    const double binWidth = kChartWidth / kOverlapBins;
    for (std::size_t bin = 0; bin < kOverlapBins; ++bin) {
      const int64_t n = p.histogram[bin];
      const double h = static_cast<double>(n) / static_cast<double>(largest) * (kChartHeight - 12);
      svg += "<rect class=\"bin\" data-bin=\"" + std::to_string(bin) + "\" data-count=\"" +
             count(n) + "\" x=\"" + px(left + binWidth * static_cast<double>(bin) + 1) + "\" y=\"" +
             px(base - h) + "\" width=\"" + px(binWidth - 2) + "\" height=\"" + px(h) +
             "\" fill=\"#4e79a7\"><title>" +
             e(std::string(className) + ": " + plural(n, "pair", "pairs") + " of overlap in " +
               binLabel(bin)) +
             "</title></rect>\n";
      if (n > 0) {
        svg += "<text x=\"" + px(left + binWidth * (static_cast<double>(bin) + 0.5)) + "\" y=\"" +
               px(base - h - 3) + "\" text-anchor=\"middle\" font-size=\"9.5\" fill=\"#333\">" +
               compactCount(n) + "</text>\n";
      }
    }
    // The overlap axis, 0.2 to 1, and the mean overlap on it.
    svg += "<line x1=\"" + px(left) + "\" y1=\"" + px(base) + "\" x2=\"" + px(left + kChartWidth) +
           "\" y2=\"" + px(base) + "\" stroke=\"#888\" stroke-width=\"1\"/>\n";
    for (std::size_t edge : {std::size_t{0}, std::size_t{4}, kOverlapBins}) {
      svg += "<text x=\"" + px(left + binWidth * static_cast<double>(edge)) + "\" y=\"" +
             px(base + 13) + "\" text-anchor=\"middle\" fill=\"#555\">" + kBinEdges[edge] +
             "</text>\n";
    }
    const double mean = p.meanOverlap();
    if (!std::isnan(mean)) {
      const double at = left + (std::clamp(mean, 0.2, 1.0) - 0.2) / 0.8 * kChartWidth;
      svg += "<line class=\"mean\" x1=\"" + px(at) + "\" y1=\"" + px(top) + "\" x2=\"" + px(at) +
             "\" y2=\"" + px(base + 3) +
             "\" stroke=\"#c43c2f\" stroke-width=\"1.4\" stroke-dasharray=\"3 2\"><title>Mean "
             "overlap " +
             fixedSix(mean) + "</title></line>\n";
    }
    svg += "</g>\n";
  }
  svg += "</svg>\n";
  return svg;
}

// Names in a sentence: a large set's first ones, and how many more.
std::string namesOf(const std::vector<std::string_view>& names) {
  constexpr std::size_t kListed = 40;
  const std::size_t listed = std::min(names.size(), kListed);
  std::string text;
  for (std::size_t k = 0; k < listed; ++k) {
    if (k > 0) text += ", ";
    text += e(names[k]);
  }
  if (names.size() > listed) text += " and " + std::to_string(names.size() - listed) + " more";
  return text;
}

}  // namespace

std::string renderExplainPage(const ExplainReport& report, const std::string& producedBy) {
  const Explanation& x = report.explanation;
  const ClassSet& classes = *x.classSet;
  std::vector<std::size_t> shown, withPairs;
  std::vector<std::string_view> hidden;
  for (std::size_t slot = 0; slot < x.classes.size(); ++slot) {
    if (worthShowing(x.classes[slot])) {
      shown.push_back(slot);
    } else {
      hidden.push_back(classes.row(slot));
    }
    if (x.classes[slot].pairs.count > 0) withPairs.push_back(slot);
  }

  std::string html = pageStart(
      "Why points were lost: " + report.groundTruth + " vs " + report.system, kExplainStyle);
  html += "<h1>Why points were lost</h1>\n";
  html +=
      "<p class=\"lead\">Every miss and false alarm of each class with the first cause that "
      "applies, what the All matching paired with what, and where along the video the errors "
      "lie.</p>\n";
  html += "<dl class=\"facts\" id=\"inputs\">\n";
  html += "<dt>Ground truth</dt><dd><code>" + e(report.groundTruth) + "</code></dd>\n";
  html += "<dt>System output</dt><dd><code>" + e(report.system) + "</code></dd>\n";
  html += "<dt>Confidence threshold</dt><dd>" + shortestText(report.confidence) + "</dd>\n";
  html += "<dt>Near</dt><dd>an overlap of at least " + shortestText(report.near) +
          " (a match: at least " + shortestText(report.rules.minOverlap) + ")</dd>\n";
  html += "<dt>Frames</dt><dd>" + plural(x.frames, "ground-truth frame", "ground-truth frames") +
          "</dd>\n";
  html += "<dt>Produced by</dt><dd><code>" + e(producedBy.empty() ? "talmira" : producedBy) +
          "</code></dd>\n";
  html += "</dl>\n";

  html += "<h2>Points lost, by cause</h2>\n";
  if (shown.empty()) {
    html += "<p class=\"note\" id=\"no-classes\">No class has objects or false alarms.</p>\n";
  } else {
    html +=
        "<p class=\"note\">Each miss and each false alarm costs its class 1 / GT of NMODTA, so a "
        "bar's segments add up to the points the class lost, 1 \xE2\x88\x92 NMODTA, and each "
        "segment is what fixing those errors would give back. A miss takes the first cause that "
        "applies in the legend's order, and so does a false alarm; hover a segment for its "
        "count and cost.</p>\n";
    html += "<figure class=\"wide\">\n" + costBars(x, shown) + "</figure>\n";
    html += countsTable(x, shown);
    if (!hidden.empty()) {
      html +=
          "<p class=\"note\" id=\"classes-left-out\">Left out, without objects or false "
          "alarms: " +
          namesOf(hidden) + ".</p>\n";
    }
    html += "<h3>Misses and false alarms by cause</h3>\n";
    html += causesTable(x, shown);
  }

  html += "<h2>Confusion matrix of All</h2>\n";
  html +=
      "<p class=\"note\">Read it from the ground truth to the system output: rows are the "
      "objects' classes, columns the classes of the boxes they were paired with; row Car, column "
      "Truck counts the cars the detector called trucks. The diagonal holds the pairs of the "
      "right class; column <em>none</em> the objects no box was paired with (misses), row "
      "<em>none</em> the boxes paired with no object (false alarms). The shade grows with the "
      "count; hover a cell for what it counts.</p>\n";
  const ConfusionView view = viewConfusion(classes, x.confusion);
  html += "<div class=\"matrix\">\n<div>\n" + confusionTable(view) + "</div>\n";
  html +=
      "<div>\n<p class=\"note\">Not in the matrix:</p>\n<dl class=\"beside\" "
      "id=\"not-in-matrix\">\n";
  html +=
      "<dt>Set aside (matched a flagged object)</dt><dd>" + count(x.confusion.setAside) + "</dd>\n";
  html += "<dt>Excluded (flagged objects)</dt><dd>" + count(x.confusion.excluded) + "</dd>\n";
  html += "<dt>Dropped in a don't-care region</dt><dd>" + count(x.confusion.droppedInRegion) +
          "</dd>\n";
  html += "</dl>\n</div>\n</div>\n";
  if (view.others > 0) {
    const std::size_t classesShown = view.classLines();
    html += "<p class=\"note\" id=\"confusion-others\">The matrix shows the " +
            std::to_string(classesShown) +
            " classes with the most objects and boxes in it; the other " +
            std::to_string(view.others) +
            " classes that appear in it are summed in the row and column <em>" +
            e(view.lines[classesShown].label) + "</em>.</p>\n";
  }
  if (!view.unused.empty() && view.unused.size() < x.confusion.size()) {
    std::vector<std::string_view> names;
    for (const std::size_t slot : view.unused) names.push_back(confusionLabel(classes, slot));
    html +=
        "<p class=\"note\" id=\"confusion-left-out\">Left out, in no pair, miss or false "
        "alarm: " +
        namesOf(names) + ".</p>\n";
  }

  const std::vector<FrameSummary> worst = worstFrames(x.timeline, kWorstFrameCount);
  html += "<h2>Errors along the video</h2>\n";
  if (x.timeline.empty()) {
    html += "<p class=\"note\" id=\"no-frames\">The ground truth has no frames.</p>\n";
  } else {
    const std::size_t columns = std::min(x.timeline.size(), kTimelineColumns);
    html +=
        "<p class=\"note\">Misses (up) and false alarms (down) of All in every ground-truth "
        "frame, in file order";
    if (columns < x.timeline.size()) {
      html += "; the " + std::to_string(x.timeline.size()) + " frames are summed into " +
              std::to_string(columns) + " columns of " +
              std::to_string(x.timeline.size() / columns) +
              (x.timeline.size() % columns == 0
                   ? ""
                   : " or " + std::to_string(x.timeline.size() / columns + 1)) +
              " consecutive frames";
    }
    html += ". The numbered marks are the worst frames, listed below.</p>\n";
    html += "<figure class=\"wide\">\n" + timelineSvg(x.timeline, worst) + "</figure>\n";
    html +=
        "<p id=\"timeline-readout\" class=\"hint\">Point at the strip to read its "
        "columns.</p>\n";
  }

  html += "<h2>Worst frames</h2>\n";
  if (worst.empty()) {
    html += "<p class=\"ok\" id=\"no-worst-frames\">No frame has a miss or a false alarm.</p>\n";
  } else {
    html +=
        "<p class=\"note\">The frames with the most misses and false alarms of All (ties in "
        "file order); the line is that of the frame's first record in the ground truth.</p>\n";
    html += worstTable(worst);
  }

  html += "<h2>Overlap of the pairs</h2>\n";
  if (withPairs.empty()) {
    html += "<p class=\"note\" id=\"no-pairs\">No pairs.</p>\n";
  } else {
    html +=
        report.rules.isDefault()
            ? std::string(
                  "<p class=\"note\">The matching's overlap (the intersection of the rectangles "
                  "over the smallest rectangle enclosing both) of every pair, in bins of 0.1 from "
                  "the match threshold 0.2; the dashed line is the mean. IoU is the intersection "
                  "over the union of the rectangles.</p>\n")
            : "<p class=\"note\">The matching's overlap (measure: " +
                  std::string(overlapMeasureName(report.rules.overlap)) +
                  ") of every pair, in bins of 0.1 from 0.2; a pair matches from " +
                  shortestText(report.rules.minOverlap) +
                  ". The dashed line is the mean. IoU is the intersection over the union of the "
                  "rectangles.</p>\n";
    html += pairsTable(x, withPairs);
    html += "<figure class=\"wide\">\n" + histogramsSvg(x, withPairs) + "</figure>\n";
  }
  return html + pageEnd(producedBy, x.timeline.empty() ? std::string_view{} : kTimelineScript);
}

}  // namespace talmira
