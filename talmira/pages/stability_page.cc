#include "talmira/pages/stability_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

#include "talmira/pages/markup.h"
#include "talmira/pages/page_frame.h"
#include "talmira/stability_files.h"

namespace talmira {

namespace {

constexpr const char* kFont =
    "system-ui, -apple-system, 'Segoe UI', 'Liberation Sans', 'DejaVu Sans', Arial, sans-serif";
// One colour per error and per offset, apart in print and for the commonest
// colour-vision deficiencies.
constexpr const char* kFragmentColour = "#6b6b6b";
constexpr const char* kCentreColour = "#2f6db5";
constexpr const char* kScaleColour = "#c4661f";
constexpr const char* kMatchedColour = "#3a8a3e";
constexpr const char* kMissedColour = "#c62828";
// A long track is drawn with at most this many points a line.
constexpr std::size_t kMostPoints = 1600;

constexpr std::string_view kStabilityStyle =
    ".track { margin: 18px 0 0; }\n.track h3 { font-size: 15px; margin: 0 0 4px; font-weight: "
    "620; }\n";

std::string e(std::string_view text) { return escapeMarkup(text); }

std::string fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string coordinate(double value) { return fixed(value, 1); }

std::string label(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  std::string out = text;
  if (out == "-0") out = "0";
  if (!out.empty() && out.front() == '-') out.replace(0, 1, "\xE2\x88\x92");
  return out;
}

std::string frameLink(const std::string& viewPage, uint32_t frame) {
  return viewPage + "#frame=" + std::to_string(frame);
}

// The three errors of each class with tracks, as grouped bars.
std::string barsSvg(const StabilityReport& report) {
  std::vector<const StabilityClassRow*> rows;
  double top = 0.0;
  for (const StabilityClassRow& c : report.classes) {
    if (c.summary.tracks == 0) continue;
    rows.push_back(&c);
    top =
        std::max({top, c.summary.fragmentError, c.summary.centreError, c.summary.scaleRatioError});
  }
  if (rows.empty()) return "<p class=\"note\">No track was matched in any frame.</p>\n";
  if (top <= 0.0) top = 1.0;
  const double left = 60, bottom = 30, plotHeight = 200, group = 90;
  const double width = left + group * static_cast<double>(rows.size()) + 20;
  const double height = plotHeight + bottom + 30;
  std::string svg = "<figure><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    coordinate(width) + "\" height=\"" + coordinate(height) + "\" viewBox=\"0 0 " +
                    coordinate(width) + " " + coordinate(height) + "\" font-family=\"" + kFont +
                    "\" font-size=\"12\" role=\"img\" aria-label=\"errors per class\">\n";
  const auto y = [&](double value) { return 10 + plotHeight * (1 - value / top); };
  for (int k = 0; k <= 4; ++k) {
    const double value = top * k / 4;
    svg += "<line x1=\"" + coordinate(left) + "\" x2=\"" + coordinate(width - 10) + "\" y1=\"" +
           coordinate(y(value)) + "\" y2=\"" + coordinate(y(value)) +
           "\" stroke=\"#e6e6e6\"/><text x=\"" + coordinate(left - 6) + "\" y=\"" +
           coordinate(y(value) + 4) + "\" text-anchor=\"end\">" + label(value) + "</text>\n";
  }
  const struct {
    const char* name;
    const char* colour;
    double tracking::StabilitySummary::*value;
  } errors[] = {{"E_F", kFragmentColour, &tracking::StabilitySummary::fragmentError},
                {"E_C", kCentreColour, &tracking::StabilitySummary::centreError},
                {"E_R", kScaleColour, &tracking::StabilitySummary::scaleRatioError}};
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double x0 = left + group * static_cast<double>(r) + 12;
    for (std::size_t k = 0; k < 3; ++k) {
      const double value = rows[r]->summary.*errors[k].value;
      svg += "<g><title>" + e(rows[r]->name) + " " + errors[k].name + " " + fixed(value, 6) +
             "</title><rect x=\"" + coordinate(x0 + 22 * static_cast<double>(k)) + "\" y=\"" +
             coordinate(y(value)) + "\" width=\"20\" height=\"" +
             coordinate(plotHeight + 10 - y(value)) + "\" fill=\"" + errors[k].colour +
             "\"/></g>\n";
    }
    svg += "<text x=\"" + coordinate(x0 + 32) + "\" y=\"" + coordinate(plotHeight + 26) +
           "\" text-anchor=\"middle\">" + e(rows[r]->name) + "</text>\n";
  }
  svg += "<line x1=\"" + coordinate(left) + "\" x2=\"" + coordinate(width - 10) + "\" y1=\"" +
         coordinate(y(0)) + "\" y2=\"" + coordinate(y(0)) + "\" stroke=\"#1b1b1b\"/>\n";
  double legendX = left;
  for (const auto& error : errors) {
    svg += "<rect x=\"" + coordinate(legendX) + "\" y=\"" + coordinate(height - 14) +
           "\" width=\"12\" height=\"10\" fill=\"" + error.colour + "\"/><text x=\"" +
           coordinate(legendX + 16) + "\" y=\"" + coordinate(height - 5) + "\">" + error.name +
           "</text>\n";
    legendX += 60;
  }
  svg +=
      "</svg><figcaption>Each class's mean fragment error (E_F), centre error (E_C) and "
      "scale and ratio error (E_R) over its tracks; lower is steadier.</figcaption></figure>\n";
  return svg;
}

// One track: its strip of matched and missed frames, and its offsets over
// time, over the same frame axis.
std::string trackSvg(const StabilityTrackRow& row, const std::string& viewPage) {
  const std::vector<tracking::StabilityFrame>& series = row.stability.series;
  if (series.empty()) return {};
  const double left = 60, right = 20, plotWidth = 820, stripHeight = 14, plotHeight = 150;
  const double width = left + plotWidth + right;
  const double plotTop = stripHeight + 22;
  const double height = plotTop + plotHeight + 46;
  const double first = series.front().frame;
  const double last = std::max(first + 1, static_cast<double>(series.back().frame));
  const auto x = [&](double frame) { return left + plotWidth * (frame - first) / (last - first); };
  double low = 0.0, high = 0.0;
  for (const tracking::StabilityFrame& f : series) {
    if (!f.matched) continue;
    low = std::min({low, f.offsets.x, f.offsets.y, f.offsets.ratio, f.offsets.scale});
    high = std::max({high, f.offsets.x, f.offsets.y, f.offsets.ratio, f.offsets.scale});
  }
  if (high - low <= 0.0) {
    low -= 0.05;
    high += 0.05;
  }
  const auto y = [&](double value) {
    return plotTop + plotHeight * (1 - (value - low) / (high - low));
  };
  std::string svg = "<figure><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                    coordinate(width) + "\" height=\"" + coordinate(height) + "\" viewBox=\"0 0 " +
                    coordinate(width) + " " + coordinate(height) + "\" font-family=\"" + kFont +
                    "\" font-size=\"12\" role=\"img\" aria-label=\"track " + e(row.identity) +
                    "\">\n";
  // The strip: runs of matched and missed frames.
  svg += "<text x=\"" + coordinate(left - 6) + "\" y=\"" + coordinate(stripHeight) +
         "\" text-anchor=\"end\">frames</text>\n";
  std::size_t start = 0;
  for (std::size_t k = 1; k <= series.size(); ++k) {
    if (k < series.size() && series[k].matched == series[start].matched) continue;
    const double x0 = x(series[start].frame);
    const double x1 = std::max(x0 + 1.0, x(series[k - 1].frame) + plotWidth / (last - first + 1));
    const bool matched = series[start].matched;
    svg += "<g><title>frames " + std::to_string(series[start].frame) + " to " +
           std::to_string(series[k - 1].frame) + ": " + (matched ? "matched" : "missed") +
           "</title><rect x=\"" + coordinate(x0) + "\" y=\"4\" width=\"" +
           coordinate(std::min(x1, left + plotWidth) - x0) + "\" height=\"" +
           coordinate(stripHeight) + "\" fill=\"" + (matched ? kMatchedColour : kMissedColour) +
           "\"/></g>\n";
    start = k;
  }
  // Axes.
  for (int k = 0; k <= 4; ++k) {
    const double value = low + (high - low) * k / 4;
    svg += "<line x1=\"" + coordinate(left) + "\" x2=\"" + coordinate(left + plotWidth) +
           "\" y1=\"" + coordinate(y(value)) + "\" y2=\"" + coordinate(y(value)) +
           "\" stroke=\"#e6e6e6\"/><text x=\"" + coordinate(left - 6) + "\" y=\"" +
           coordinate(y(value) + 4) + "\" text-anchor=\"end\">" + label(value) + "</text>\n";
  }
  if (low < 0 && high > 0) {
    svg += "<line x1=\"" + coordinate(left) + "\" x2=\"" + coordinate(left + plotWidth) +
           "\" y1=\"" + coordinate(y(0)) + "\" y2=\"" + coordinate(y(0)) +
           "\" stroke=\"#9e9e9e\"/>\n";
  }
  for (int k = 0; k <= 5; ++k) {
    const double frame = std::round(first + (last - first) * k / 5);
    svg += "<text x=\"" + coordinate(x(frame)) + "\" y=\"" + coordinate(plotTop + plotHeight + 16) +
           "\" text-anchor=\"middle\">" + std::to_string(static_cast<int64_t>(frame)) + "</text>\n";
  }
  svg += "<text x=\"" + coordinate(left + plotWidth / 2) + "\" y=\"" +
         coordinate(plotTop + plotHeight + 30) + "\" text-anchor=\"middle\">frame</text>\n";
  // The offsets, a line each, broken where the track was missed.
  const std::size_t stride = std::max<std::size_t>(1, series.size() / kMostPoints);
  const struct {
    const char* name;
    const char* colour;
    const char* dash;
    double tracking::StabilityOffsets::*value;
  } lines[] = {{"e_x", kCentreColour, "", &tracking::StabilityOffsets::x},
               {"e_y", kCentreColour, "4 3", &tracking::StabilityOffsets::y},
               {"e_r", kScaleColour, "", &tracking::StabilityOffsets::ratio},
               {"e_s", kScaleColour, "4 3", &tracking::StabilityOffsets::scale}};
  for (const auto& line : lines) {
    svg += "<g><title>" + std::string(line.name) + "</title>";
    std::string points;
    const auto flush = [&] {
      if (!points.empty()) {
        svg += "<polyline fill=\"none\" stroke=\"" + std::string(line.colour) +
               "\" stroke-width=\"1.3\"" +
               (line.dash[0] != '\0' ? " stroke-dasharray=\"" + std::string(line.dash) + "\""
                                     : std::string()) +
               " points=\"" + points + "\"/>";
      }
      points.clear();
    };
    for (std::size_t k = 0; k < series.size(); ++k) {
      const tracking::StabilityFrame& f = series[k];
      if (!f.matched) {
        flush();
        continue;
      }
      if (k % stride != 0 && k + 1 < series.size() && series[k + 1].matched) continue;
      points += coordinate(x(f.frame)) + "," + coordinate(y(f.offsets.*line.value)) + " ";
    }
    flush();
    svg += "</g>\n";
  }
  // The worst frames, marked and linked.
  for (const tracking::StabilityFrame& f : row.stability.worst) {
    const double value = std::max({f.offsets.x, f.offsets.y, f.offsets.ratio, f.offsets.scale},
                                  [](double a, double b) { return std::fabs(a) < std::fabs(b); });
    std::string mark = "<g><title>frame " + std::to_string(f.frame) + ": e_x " +
                       fixed(f.offsets.x, 4) + ", e_y " + fixed(f.offsets.y, 4) + ", e_r " +
                       fixed(f.offsets.ratio, 4) + ", e_s " + fixed(f.offsets.scale, 4) +
                       "</title><circle cx=\"" + coordinate(x(f.frame)) + "\" cy=\"" +
                       coordinate(y(value)) +
                       "\" r=\"5\" fill=\"none\" stroke=\"#1b1b1b\" stroke-width=\"1.5\"/></g>";
    if (!viewPage.empty())
      mark = "<a href=\"" + e(frameLink(viewPage, f.frame)) + "\">" + mark + "</a>";
    svg += mark + "\n";
  }
  double legendX = left;
  for (const auto& line : lines) {
    svg += "<line x1=\"" + coordinate(legendX) + "\" x2=\"" + coordinate(legendX + 22) +
           "\" y1=\"" + coordinate(height - 8) + "\" y2=\"" + coordinate(height - 8) +
           "\" stroke=\"" + line.colour + "\" stroke-width=\"2\"" +
           (line.dash[0] != '\0' ? " stroke-dasharray=\"" + std::string(line.dash) + "\""
                                 : std::string()) +
           "/><text x=\"" + coordinate(legendX + 26) + "\" y=\"" + coordinate(height - 4) + "\">" +
           line.name + "</text>\n";
    legendX += 70;
  }
  svg += "<rect x=\"" + coordinate(legendX) + "\" y=\"" + coordinate(height - 13) +
         "\" width=\"12\" height=\"10\" fill=\"" + kMatchedColour + "\"/><text x=\"" +
         coordinate(legendX + 16) + "\" y=\"" + coordinate(height - 4) +
         "\">matched</text><rect x=\"" + coordinate(legendX + 80) + "\" y=\"" +
         coordinate(height - 13) + "\" width=\"12\" height=\"10\" fill=\"" + kMissedColour +
         "\"/><text x=\"" + coordinate(legendX + 96) + "\" y=\"" + coordinate(height - 4) +
         "\">missed</text>\n";
  svg += "</svg></figure>\n";
  return svg;
}

std::string summaryCells(const tracking::StabilitySummary& s) {
  std::string cells =
      "<td>" + std::to_string(s.tracks) + "</td><td>" + std::to_string(s.leftOut) + "</td>";
  if (s.tracks == 0) return cells + "<td>-</td><td>-</td><td>-</td><td>-</td>";
  for (const double value : {s.fragmentError, s.centreError, s.scaleRatioError, s.total()}) {
    cells += "<td>" + fixed(value, 6) + "</td>";
  }
  return cells;
}

}  // namespace

std::string renderStabilityPage(const StabilityReport& report, std::size_t tracks,
                                const std::string& viewPage, const std::string& producedBy) {
  std::string html = pageStart("Stability: " + report.system, kStabilityStyle);
  html += "<h1>Stability of detections over each track</h1>\n";
  html +=
      "<p class=\"lead\">How steadily the detector follows each ground-truth track: whether "
      "it keeps finding the object (E_F), how much its box's centre wanders about the "
      "object's (E_C), and how much its shape and size waver (E_R).</p>\n";
  html += "<dl class=\"facts\"><dt>Ground truth</dt><dd><code>" + e(report.groundTruth) +
          "</code></dd><dt>Detections</dt><dd><code>" + e(report.system) +
          "</code></dd><dt>Matching</dt><dd>" +
          (report.matching == "clear"
               ? "CLEAR at IoU 0.5, as talmira track (" + e(report.trackRules) + ")"
               : "talmira score's (" + e(rulesText(report.rules)) + ")") +
          "</dd></dl>\n";
  html +=
      "<h2>Errors per class</h2>\n<table id=\"classes\"><thead><tr><th class=\"text\">Class"
      "</th><th>Tracks</th><th>Left out</th><th>E_F</th><th>E_C</th><th>E_R</th><th>Sum</th>"
      "</tr></thead><tbody>\n";
  for (const StabilityClassRow& c : report.classes) {
    html += std::string("<tr") + (c.name == "All" ? " class=\"all\"" : "") +
            "><td class=\"text\">" + e(c.name) + "</td>" + summaryCells(c.summary) + "</tr>\n";
  }
  html +=
      "</tbody></table>\n<p class=\"note\">Averages over the tracks matched in at least one "
      "frame; the tracks never matched are left out (counted apart).</p>\n";
  html += barsSvg(report);
  for (const StabilityClassRow& c : report.classes) {
    const std::vector<const StabilityTrackRow*> worst = worstStabilityTracks(c, tracks);
    if (worst.empty()) continue;
    html += "<h2>" + e(c.name) + ": the least steady tracks</h2>\n";
    for (const StabilityTrackRow* row : worst) {
      const tracking::TrackStability& t = row->stability;
      html += "<section class=\"track\"><h3>Track " + e(row->identity) + "</h3><p>" +
              std::to_string(t.frames) + " frames, " + std::to_string(t.matched) +
              " matched; E_F " + fixed(t.fragmentError, 4) + ", E_C " + fixed(t.centreError, 4) +
              " (sd x " + fixed(t.sdX, 4) + ", sd y " + fixed(t.sdY, 4) + "), E_R " +
              fixed(t.scaleRatioError, 4) + " (sd ratio " + fixed(t.sdRatio, 4) + ", sd scale " +
              fixed(t.sdScale, 4) + ")</p>\n";
      html += trackSvg(*row, viewPage);
      html += "<p class=\"note\">Worst frames (largest offsets):";
      for (const tracking::StabilityFrame& f : t.worst) {
        const std::string frame = std::to_string(f.frame);
        html += " " + (viewPage.empty() ? frame
                                        : "<a href=\"" + e(frameLink(viewPage, f.frame)) + "\">" +
                                              frame + "</a>");
      }
      html += "</p></section>\n";
    }
  }
  html += pageEnd(producedBy);
  return html;
}

}  // namespace talmira
