#include "talmira/pages/precision_page.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "talmira/pages/markup.h"
#include "talmira/pages/page_frame.h"
#include "talmira/writers/ap_report.h"

namespace talmira {

namespace {

constexpr double kWidth = 760, kHeight = 460;
constexpr double kLeft = 60, kTop = 50, kSize = 340;  // the square plot
constexpr double kLegendLeft = kLeft + kSize + 40;
constexpr std::size_t kMostDrawn = 24;
constexpr std::array<const char*, 10> kColours = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2",
                                                  "#59a14f", "#b8a22a", "#b07aa1", "#ff9da7",
                                                  "#9c755f", "#8f8f8f"};

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string out = text;
  if (out.size() > 2 && out.compare(out.size() - 2, 2, ".0") == 0) out.resize(out.size() - 2);
  return out == "-0" ? "0" : out;
}

std::string fixed(double value, const char* format = "%.3f") {
  if (value <= -1) return "-";
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

double x(double recall) { return kLeft + recall * kSize; }
double y(double precision) { return kTop + (1 - precision) * kSize; }

}  // namespace

std::optional<std::size_t> thresholdIndex(const precision::CocoResult& result, double iou) {
  const std::vector<double>& t = result.parameters.iouThresholds;
  const auto found = std::find(t.begin(), t.end(), iou);
  if (found == t.end()) return std::nullopt;
  return static_cast<std::size_t>(found - t.begin());
}

std::string renderCocoCurvesSvg(const precision::CocoResult& result,
                                const std::vector<std::string>& names, std::size_t threshold,
                                const std::string& caption) {
  const precision::CocoParameters& p = result.parameters;
  std::size_t area = 0;
  for (std::size_t a = 0; a < p.areaRanges.size(); ++a) {
    if (p.areaRanges[a].label == "all") area = a;
  }
  const std::size_t m = p.maxDetections.size() - 1;
  const double iou = p.iouThresholds[threshold];
  // Categories with ground truth, by their AP at this threshold, highest first.
  std::vector<std::pair<double, std::size_t>> ranked;
  for (std::size_t k = 0; k < result.categories; ++k) {
    if (result.precisionAt(threshold, 0, k, area, m) <= -1) continue;
    double sum = 0;
    for (std::size_t r = 0; r < p.recallThresholds.size(); ++r) {
      sum += result.precisionAt(threshold, r, k, area, m);
    }
    ranked.emplace_back(sum / static_cast<double>(p.recallThresholds.size()), k);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  const std::string title =
      "Precision against recall at IoU " + fixed(iou, "%.2f") + ": " + caption;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"coco-pr\" width=\"" +
                    number(kWidth) + "\" height=\"" + number(kHeight) + "\" viewBox=\"0 0 " +
                    number(kWidth) + " " + number(kHeight) +
                    "\" font-family=\"system-ui, 'DejaVu Sans', Arial, sans-serif\" role=\"img\" "
                    "aria-label=\"" +
                    escapeMarkup(title) + "\">\n<title>" + escapeMarkup(title) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg += "<text x=\"" + number(kLeft) + "\" y=\"28\" font-size=\"14\" font-weight=\"600\" " +
         "fill=\"#222\">" +
         escapeMarkup("IoU " + fixed(iou, "%.2f") + ", area all, " +
                      std::to_string(p.maxDetections[m]) + " detections per image") +
         "</text>\n";
  // Frame, grid and ticks.
  svg += "<rect x=\"" + number(kLeft) + "\" y=\"" + number(kTop) + "\" width=\"" + number(kSize) +
         "\" height=\"" + number(kSize) + "\" fill=\"none\" stroke=\"#888\"/>\n";
  for (int tick = 0; tick <= 10; tick += 2) {
    const double v = tick / 10.0;
    svg += "<line x1=\"" + number(x(v)) + "\" y1=\"" + number(kTop) + "\" x2=\"" + number(x(v)) +
           "\" y2=\"" + number(kTop + kSize) + "\" stroke=\"#eee\"/>\n";
    svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + number(y(v)) + "\" x2=\"" +
           number(kLeft + kSize) + "\" y2=\"" + number(y(v)) + "\" stroke=\"#eee\"/>\n";
    svg += "<text x=\"" + number(x(v)) + "\" y=\"" + number(kTop + kSize + 16) +
           "\" font-size=\"11\" text-anchor=\"middle\" fill=\"#444\">" + fixed(v, "%.1f") +
           "</text>\n";
    svg += "<text x=\"" + number(kLeft - 6) + "\" y=\"" + number(y(v) + 4) +
           "\" font-size=\"11\" text-anchor=\"end\" fill=\"#444\">" + fixed(v, "%.1f") +
           "</text>\n";
  }
  svg += "<text x=\"" + number(kLeft + kSize / 2) + "\" y=\"" + number(kTop + kSize + 34) +
         "\" font-size=\"12\" text-anchor=\"middle\" fill=\"#222\">recall</text>\n";
  svg += "<text x=\"16\" y=\"" + number(kTop + kSize / 2) +
         "\" font-size=\"12\" text-anchor=\"middle\" fill=\"#222\" transform=\"rotate(-90 16 " +
         number(kTop + kSize / 2) + ")\">precision</text>\n";
  const std::size_t drawn = std::min(ranked.size(), kMostDrawn);
  double legendY = kTop + 8;
  for (std::size_t n = 0; n < drawn; ++n) {
    const auto& [ap, k] = ranked[n];
    const char* colour = kColours[n % kColours.size()];
    std::string path;
    for (std::size_t r = 0; r < p.recallThresholds.size(); ++r) {
      const double px = x(p.recallThresholds[r]);
      const double py = y(result.precisionAt(threshold, r, k, area, m));
      path += (r == 0 ? "M" : " H") + number(px) + (r == 0 ? " " + number(py) : " V" + number(py));
    }
    svg += "<g class=\"series\" data-category=\"" + escapeMarkup(names[k]) + "\" data-ap=\"" +
           fixed(ap, "%.6f") + "\">\n<title>" +
           escapeMarkup(names[k] + ": AP " + fixed(ap) + " at IoU " + fixed(iou, "%.2f")) +
           "</title>\n<path d=\"" + path + "\" fill=\"none\" stroke=\"" + colour +
           "\" stroke-width=\"1.5\"/>\n</g>\n";
    svg += "<line x1=\"" + number(kLegendLeft) + "\" y1=\"" + number(legendY - 4) + "\" x2=\"" +
           number(kLegendLeft + 18) + "\" y2=\"" + number(legendY - 4) + "\" stroke=\"" + colour +
           "\" stroke-width=\"2\"/>\n<text x=\"" + number(kLegendLeft + 24) + "\" y=\"" +
           number(legendY) + "\" font-size=\"11\" fill=\"#222\">" + escapeMarkup(names[k]) +
           "</text>\n<text x=\"" + number(kLegendLeft + 230) + "\" y=\"" + number(legendY) +
           "\" font-size=\"11\" text-anchor=\"end\" fill=\"#222\">" + fixed(ap) + "</text>\n";
    legendY += 15;
  }
  if (ranked.size() > drawn) {
    svg += "<text x=\"" + number(kLegendLeft) + "\" y=\"" + number(legendY + 4) +
           "\" font-size=\"11\" fill=\"#555\">" + std::to_string(ranked.size() - drawn) +
           " more categories not drawn</text>\n";
  }
  if (ranked.empty()) {
    svg += "<text x=\"" + number(kLeft + 20) + "\" y=\"" + number(kTop + 30) +
           "\" font-size=\"12\" fill=\"#555\">No category has ground truth.</text>\n";
  }
  return svg + "</svg>\n";
}

std::string cocoCurvesFigures(const precision::CocoResult& result,
                              const std::vector<std::string>& names, const std::string& caption) {
  std::string html;
  for (const double iou : {0.5, 0.75}) {
    const std::optional<std::size_t> t = thresholdIndex(result, iou);
    if (!t) continue;
    html += "<figure>\n" + renderCocoCurvesSvg(result, names, *t, caption) +
            "<figcaption>Each category's precision at the 101 recall points where COCO's "
            "evaluator reads it (the best precision at that recall or above; 0 past the "
            "recall reached); the legend gives the AP at this IoU, the mean of those "
            "points.</figcaption>\n</figure>\n";
  }
  return html;
}

std::string renderApReport(const ApPageInput& input) {
  const precision::CocoResult& result = *input.result;
  const precision::ImageSet& set = *input.set;
  const std::string caption = input.groundTruth + " vs " + input.system;
  std::string html = pageStart("Average precision: " + caption);
  html += "<h1>Average precision</h1>\n";
  html +=
      "<p class=\"lead\">COCO's figures, computed by its evaluator's rules (bbox), and every "
      "category's precision against recall.</p>\n";
  html += "<dl class=\"facts\" id=\"inputs\">\n";
  html += "<dt>Ground truth</dt><dd><code>" + escapeMarkup(input.groundTruth) + "</code></dd>\n";
  html += "<dt>Detections</dt><dd><code>" + escapeMarkup(input.system) + "</code></dd>\n";
  html += "<dt>Images</dt><dd>" + std::to_string(set.imageIds.size()) + "</dd>\n";
  html += "<dt>Categories</dt><dd>" + std::to_string(set.categoryIds.size()) + "</dd>\n";
  html += "</dl>\n<h2>Warnings</h2>\n";
  if (input.warnings.empty()) {
    html += "<p class=\"ok\" id=\"no-warnings\">The inputs raised no warnings.</p>\n";
  } else {
    html += "<ul class=\"warnings\" id=\"warnings\">\n";
    for (const std::string& w : input.warnings) html += "<li>" + escapeMarkup(w) + "</li>\n";
    html += "</ul>\n";
  }
  html += "<h2>Summary</h2>\n<pre id=\"summary\">" +
          escapeMarkup(precision::cocoSummaryText(result)) + "</pre>\n";
  html +=
      "<h2>Categories</h2>\n<table id=\"categories\">\n<thead><tr><th class=\"text\">"
      "Category</th><th>AP</th><th>AP50</th><th>AP75</th><th>APs</th><th>APm</th><th>APl"
      "</th><th>AR100</th><th>GT</th><th>Det</th></tr></thead>\n<tbody>\n";
  for (std::size_t k = 0; k < result.categories; ++k) {
    const CategoryPrecision c = categoryPrecision(result, k);
    html += "<tr><td class=\"text\">" + escapeMarkup(set.categoryNames[k]) + "</td>";
    for (const double v : {c.ap, c.ap50, c.ap75, c.apSmall, c.apMedium, c.apLarge, c.ar100}) {
      html += "<td>" + fixed(v) + "</td>";
    }
    html += "<td>" + std::to_string(result.truthCount[k]) + "</td><td>" +
            std::to_string(result.detectionCount[k]) + "</td></tr>\n";
  }
  html += "</tbody>\n</table>\n<h2>Precision and recall</h2>\n";
  html += cocoCurvesFigures(result, set.categoryNames, caption);
  return html + pageEnd(input.producedBy);
}

}  // namespace talmira
