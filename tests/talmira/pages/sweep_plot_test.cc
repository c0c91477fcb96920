#include "talmira/pages/sweep_plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "talmira/cli_common.h"
#include "talmira/pages/markup.h"

namespace {

// A small well-formedness check of XML as the picture uses it: elements
// nest and close, attribute values are quoted and hold no '<', and every
// '&' starts one of the five named references or a numeric one. Returns
// the first fault, or "" when there is none.
std::string xmlFault(const std::string& xml) {
  std::vector<std::string> open;
  const auto referenceAt = [&](std::size_t at) {
    static const std::regex reference("^&(amp|lt|gt|quot|apos|#[0-9]+|#x[0-9a-fA-F]+);");
    return std::regex_search(xml.substr(at, 12), reference);
  };
  std::size_t i = 0;
  bool rootSeen = false;
  while (i < xml.size()) {
    if (xml[i] == '&') {
      if (!referenceAt(i)) return "bad reference at " + std::to_string(i);
      ++i;
      continue;
    }
    if (xml[i] != '<') {
      if (open.empty() && !std::isspace(static_cast<unsigned char>(xml[i]))) {
        return "text outside the root at " + std::to_string(i);
      }
      ++i;
      continue;
    }
    const bool closing = i + 1 < xml.size() && xml[i + 1] == '/';
    std::size_t j = i + (closing ? 2 : 1);
    const std::size_t nameStart = j;
    while (j < xml.size() && (std::isalnum(static_cast<unsigned char>(xml[j])) || xml[j] == '-' ||
                              xml[j] == ':' || xml[j] == '_')) {
      ++j;
    }
    const std::string name = xml.substr(nameStart, j - nameStart);
    if (name.empty()) return "bad tag at " + std::to_string(i);
    if (closing) {
      if (open.empty() || open.back() != name) return "unmatched </" + name + ">";
      open.pop_back();
      if (j >= xml.size() || xml[j] != '>') return "bad closing tag " + name;
      i = j + 1;
      continue;
    }
    if (open.empty() && rootSeen) return "second root element " + name;
    // Attributes: name="value" or name='value'.
    while (true) {
      while (j < xml.size() && std::isspace(static_cast<unsigned char>(xml[j]))) ++j;
      if (j >= xml.size()) return "unterminated tag " + name;
      if (xml[j] == '>' || (xml[j] == '/' && j + 1 < xml.size() && xml[j + 1] == '>')) break;
      const std::size_t attributeStart = j;
      while (j < xml.size() && xml[j] != '=' && !std::isspace(static_cast<unsigned char>(xml[j])))
        ++j;
      if (j == attributeStart || j >= xml.size() || xml[j] != '=')
        return "bad attribute in " + name;
      ++j;
      if (j >= xml.size() || (xml[j] != '"' && xml[j] != '\'')) return "unquoted value in " + name;
      const char quote = xml[j++];
      const std::size_t end = xml.find(quote, j);
      if (end == std::string::npos) return "unterminated value in " + name;
      for (std::size_t k = j; k < end; ++k) {
        if (xml[k] == '<') return "'<' in a value of " + name;
        if (xml[k] == '&' && !referenceAt(k)) return "bad reference in a value of " + name;
      }
      j = end + 1;
    }
    rootSeen = true;
    if (xml[j] == '/') {
      i = j + 2;
    } else {
      open.push_back(name);
      i = j + 1;
    }
  }
  if (!open.empty()) return "unclosed <" + open.back() + ">";
  return rootSeen ? "" : "no element";
}

TEST(XmlFaultTest, FindsTheFaultsItIsMeantFor) {
  EXPECT_EQ(xmlFault("<svg a=\"1\"><g><title>x &amp; y</title></g><path d='M0 0'/></svg>"), "");
  EXPECT_NE(xmlFault("<svg><g></svg>"), "");
  EXPECT_NE(xmlFault("<svg a=1></svg>"), "");
  EXPECT_NE(xmlFault("<svg><title>a & b</title></svg>"), "");
  EXPECT_NE(xmlFault("<svg a=\"<\"></svg>"), "");
  EXPECT_NE(xmlFault("<svg></svg><svg></svg>"), "");
}

CurvePoint point(float threshold, int64_t gt, int64_t det, int64_t fn, int64_t fp) {
  return CurvePoint{threshold, gt, det, fn, fp};
}

// A curve by hand: 10 objects; NMODTA 1 - (FN + FP) / 10 is 0 at 1, 0.7 at
// 0.8 and at 0.6 (a tie: the higher threshold is the best), 0.5 at 0.3 and
// 0.1 at 0.
ClassCurve handCurve() {
  ClassCurve curve;
  curve.frames = 5;
  curve.points = {point(1.0f, 10, 0, 10, 0), point(0.8f, 10, 9, 2, 1), point(0.6f, 10, 11, 1, 2),
                  point(0.3f, 10, 15, 0, 5), point(0.0f, 10, 19, 0, 9)};
  return curve;
}

// The text of the <g class="series"> element of one series.
std::string seriesOf(const std::string& svg, const std::string& series, const std::string& name) {
  const std::string start =
      "<g class=\"series\" data-series=\"" + series + "\" data-class=\"" + name + "\"";
  const std::size_t at = svg.find(start);
  if (at == std::string::npos) return "";
  return svg.substr(at, svg.find("</g>", at) - at);
}

TEST(SweepPlotTest, BestPointIsTheHighestNmodtaAndTiesGoToTheHigherThreshold) {
  const ClassCurve curve = handCurve();
  const CurvePoint best = ::bestPoint(curve);
  EXPECT_EQ(best.threshold, 0.8f);
  EXPECT_EQ(best.fn, 2);
  EXPECT_FLOAT_EQ(best.nmodta(), 0.7f);

  SweepCurves curves(kClassCount);
  curves[0] = curve;  // All
  curves[1] = curve;  // Car
  const std::string svg = talmira::renderSweepSvg(curves, "hand");
  for (const char* name : {"All", "Car"}) {
    const std::string series = seriesOf(svg, "nmodta", name);
    ASSERT_NE(series, "") << name;
    EXPECT_NE(series.find("class=\"best\""), std::string::npos) << name;
    EXPECT_NE(series.find("data-threshold=\"0.8\" data-nmodta=\"0.700000\""), std::string::npos)
        << name << ": " << series;
  }
  EXPECT_NE(svg.find("<g class=\"best-guide\" data-threshold=\"0.8\">"), std::string::npos);
}

TEST(SweepPlotTest, OnlyClassesWithObjectsAreDrawnAndTheOthersAreNamed) {
  SweepCurves curves(kClassCount);
  curves[0] = handCurve();
  curves[1] = handCurve();
  // Boats: false alarms only, no object at any threshold.
  curves[6].points = {point(1.0f, 0, 0, 0, 0), point(0.4f, 0, 3, 0, 3), point(0.0f, 0, 3, 0, 3)};
  // Buses: an object only below 0.5 (a ground-truth box of low confidence).
  curves[4].points = {point(1.0f, 0, 0, 0, 0), point(0.5f, 1, 1, 0, 0), point(0.0f, 1, 1, 0, 0)};
  const std::string svg = talmira::renderSweepSvg(curves, "classes");
  EXPECT_EQ(xmlFault(svg), "");
  EXPECT_NE(seriesOf(svg, "nmodta", "All"), "");
  EXPECT_NE(seriesOf(svg, "nmodta", "Car"), "");
  EXPECT_NE(seriesOf(svg, "nmodta", "Bus"), "");
  for (std::size_t slot = 2; slot < kClassCount; ++slot) {
    if (slot == 4) continue;
    EXPECT_EQ(seriesOf(svg, "nmodta", evaluationClasses[slot]), "") << evaluationClasses[slot];
  }
  EXPECT_NE(seriesOf(svg, "fn", "All"), "");
  EXPECT_NE(seriesOf(svg, "fp", "All"), "");
  EXPECT_NE(svg.find("Not drawn, no objects:"), std::string::npos);
  EXPECT_NE(svg.find("Boat,"), std::string::npos);

  // Nothing at all: still a picture, and it says why it is empty.
  const std::string empty = talmira::renderSweepSvg(SweepCurves{}, "nothing");
  EXPECT_EQ(xmlFault(empty), "");
  EXPECT_EQ(empty.find("class=\"series\" data-series=\"nmodta\""), std::string::npos);
  EXPECT_NE(empty.find("No class has objects."), std::string::npos);
}

TEST(SweepPlotTest, HostileCaptionsAreEscapedAndThePictureStaysWellFormed) {
  const std::string hostile =
      "<script>alert(\"x\")</script> & 'q' \x01\xff\xc0\xaf caf\xc3\xa9 </svg><svg>";
  SweepCurves curves(kClassCount);
  curves[0] = handCurve();
  const std::string svg = talmira::renderSweepSvg(curves, hostile);
  EXPECT_EQ(xmlFault(svg), "") << svg.substr(0, 2000);
  EXPECT_EQ(svg.find("<script"), std::string::npos);
  EXPECT_NE(svg.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;q&#39; "
                     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD caf\xc3\xa9"),
            std::string::npos);

  // A long caption is shortened in the middle, not in a character.
  const std::string longCaption = std::string(200, 'a') + "\xc3\xa9" + std::string(200, 'b');
  const std::string shortened = talmira::renderSweepSvg(curves, longCaption);
  EXPECT_EQ(xmlFault(shortened), "");
  EXPECT_NE(shortened.find(std::string(60, 'a') + "\xE2\x80\xA6" + std::string(60, 'b') + "<"),
            std::string::npos);
}

TEST(MarkupTest, EscapesMarkupAndReplacesWhatXmlCannotHold) {
  using talmira::escapeMarkup;
  EXPECT_EQ(escapeMarkup("a<b>&\"c'd"), "a&lt;b&gt;&amp;&quot;c&#39;d");
  EXPECT_EQ(escapeMarkup("tab\tline\nok"), "tab\tline\nok");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(escapeMarkup(std::string("a\0b", 3)), "a" + replacement + "b");
  EXPECT_EQ(escapeMarkup("\x01\x7f"), replacement + replacement);
  EXPECT_EQ(escapeMarkup("\xff"), replacement);
  EXPECT_EQ(escapeMarkup("\xc0\xaf"), replacement + replacement);                    // overlong '/'
  EXPECT_EQ(escapeMarkup("\xed\xa0\x80"), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(escapeMarkup("\xc3"), replacement);                                      // cut short
  EXPECT_EQ(escapeMarkup("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
}

// A long curve: thresholds evenly from 1 to 0, counts in random walks.
std::vector<CurvePoint> randomCurve(std::size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<CurvePoint> points(n);
  const int64_t gt = 400000;
  int64_t fn = gt, fp = 0;
  for (std::size_t i = 0; i < n; ++i) {
    // Lowering the threshold takes more boxes: misses fall, false alarms rise.
    if (i > 0) {
      const uint32_t r = random() % 4;
      if (r == 0 && fn > 0) --fn;
      if (r == 1) ++fp;
      if (r == 2 && fn > 0) {
        --fn;
        ++fp;
      }
    }
    const float t = i + 1 == n ? 0.0f : static_cast<float>(1.0 - static_cast<double>(i) / (n - 1));
    points[i] = CurvePoint{t, gt, gt - fn + fp, fn, fp};
  }
  return points;
}

TEST(SweepPlotTest, ThinningKeepsWhatThePictureShowsOnAMillionPoints) {
  const uint32_t seed = 20261207;
  const std::size_t n = 1'000'000;
  const std::vector<CurvePoint> points = randomCurve(n, seed);
  std::vector<double> values;
  for (const CurvePoint& p : points) values.push_back(p.nmodta());
  std::size_t best = 0;
  for (std::size_t i = 1; i < n; ++i) {
    if (values[i] > values[best]) best = i;
  }
  const int columns = 620;
  const auto kept = talmira::pointsToDraw(points, values, columns, best);
  SCOPED_TRACE("seed " + std::to_string(seed));
  ASSERT_FALSE(kept.empty());
  EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
  EXPECT_EQ(kept.front(), 0u);
  EXPECT_EQ(kept.back(), n - 1);
  EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), best));
  EXPECT_LE(kept.size(), 4u * columns + 3);

  // Per pixel column: the same first and last point and the same lowest and
  // highest value as the whole curve, so the line covers the same pixels.
  struct Column {
    std::size_t first = SIZE_MAX, last = 0;
    double low = INFINITY, high = -INFINITY;
  };
  const auto columnsOf = [&](const std::vector<std::size_t>& indices) {
    std::vector<Column> result(columns);
    for (std::size_t i : indices) {
      const int c = std::min(static_cast<int>(static_cast<double>(points[i].threshold) * columns),
                             columns - 1);
      Column& column = result[c];
      column.first = std::min(column.first, i);
      column.last = std::max(column.last, i);
      column.low = std::min(column.low, values[i]);
      column.high = std::max(column.high, values[i]);
    }
    return result;
  };
  std::vector<std::size_t> everything(n);
  for (std::size_t i = 0; i < n; ++i) everything[i] = i;
  const auto whole = columnsOf(everything);
  const auto thinned = columnsOf(kept);
  for (int c = 0; c < columns; ++c) {
    EXPECT_EQ(thinned[c].first, whole[c].first) << "column " << c;
    EXPECT_EQ(thinned[c].last, whole[c].last) << "column " << c;
    EXPECT_EQ(thinned[c].low, whole[c].low) << "column " << c;
    EXPECT_EQ(thinned[c].high, whole[c].high) << "column " << c;
  }

  // The whole picture of two such curves stays small and well-formed, and
  // marks the best point it was given.
  SweepCurves curves(kClassCount);
  curves[0].points = points;
  curves[1].points = randomCurve(n, seed + 1);
  const std::string svg = talmira::renderSweepSvg(curves, "a million points");
  EXPECT_LT(svg.size(), 200'000u);
  EXPECT_EQ(xmlFault(svg), "");
  const std::string all = seriesOf(svg, "nmodta", "All");
  EXPECT_NE(all.find("data-points=\"1000000\""), std::string::npos);
  char bestText[64];
  std::snprintf(bestText, sizeof bestText, "data-threshold=\"%s\"",
                talmira::shortestText(points[best].threshold).c_str());
  EXPECT_NE(all.find(bestText), std::string::npos) << bestText;
}

}  // namespace

namespace {

// The polygon a path of M, H, V and Z commands (absolute) encloses, by the
// shoelace formula.
double enclosedArea(const std::string& path) {
  std::vector<std::pair<double, double>> corners;
  double x = 0, y = 0;
  static const std::regex command("([MHVZ])([-0-9. ]*)");
  for (auto it = std::sregex_iterator(path.begin(), path.end(), command);
       it != std::sregex_iterator(); ++it) {
    const std::string op = (*it)[1];
    std::istringstream numbers((*it)[2].str());
    if (op == "M") {
      numbers >> x >> y;
    } else if (op == "H") {
      numbers >> x;
    } else if (op == "V") {
      numbers >> y;
    } else {
      continue;
    }
    corners.emplace_back(x, y);
  }
  double twice = 0;
  for (std::size_t i = 0; i < corners.size(); ++i) {
    const auto& [x0, y0] = corners[i];
    const auto& [x1, y1] = corners[(i + 1) % corners.size()];
    twice += x0 * y1 - x1 * y0;
  }
  return std::fabs(twice) / 2;
}

std::string elementOf(const std::string& svg, const std::string& start, const std::string& end) {
  const std::size_t at = svg.find(start);
  if (at == std::string::npos) return "";
  return svg.substr(at, svg.find(end, at) + end.size() - at);
}

std::string attributeOf(const std::string& element, const std::string& name) {
  const std::size_t at = element.find(" " + name + "=\"");
  if (at == std::string::npos) return "";
  const std::size_t start = at + name.size() + 3;
  return element.substr(start, element.find('"', start) - start);
}

// Random exact-looking curves: thresholds falling, true detections and false
// alarms entering, objects sometimes entering too (ground truth below 1).
ClassCurve randomPrCurve(std::mt19937& random, std::size_t n) {
  ClassCurve curve;
  int64_t gt = 1 + random() % 20, found = 0, fp = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      switch (random() % 4) {
        case 0:
          if (found < gt) ++found;
          break;
        case 1:
          ++fp;
          break;
        case 2:
          ++gt;
          break;
        default:
          if (found < gt) ++found;
          ++fp;
      }
    }
    const float t = i + 1 == n ? 0.0f : 1.0f - static_cast<float>(i) / static_cast<float>(n);
    curve.points.push_back(CurvePoint{t, gt, found + fp, gt - found, fp});
  }
  return curve;
}

// The shaded area under All's envelope is its AP on the picture's own
// scale, and every class with objects has its line, its envelope and its AP.
TEST(PrecisionRecallPlotTest, TheShadedAreaIsTheAveragePrecisionOfAll) {
  const uint32_t seed = 6021;
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (int round = 0; round < 30; ++round) {
    SweepCurves curves(kClassCount);
    curves[0] = randomPrCurve(random, 2 + random() % 40);
    curves[3] = randomPrCurve(random, 2 + random() % 10);
    // Boats: false alarms only; drawn nowhere.
    curves[6].points = {point(1.0f, 0, 0, 0, 0), point(0.0f, 0, 2, 0, 2)};
    const std::string svg = talmira::renderPrecisionRecallSvg(curves, "round");
    ASSERT_EQ(xmlFault(svg), "") << "round " << round;
    const double ap = *averagePrecision(curves[0]);
    const std::string area = elementOf(svg, "<path class=\"ap-area\"", "/>");
    ASSERT_NE(area, "") << "round " << round;
    // The panel is 420 pixels of recall by 412 of precision; coordinates
    // are rounded to a tenth of a pixel.
    EXPECT_NEAR(enclosedArea(attributeOf(area, "d")) / (420.0 * 412.0), ap, 2e-3)
        << "round " << round;
    for (const char* name : {"All", "Tractor-Trailor"}) {
      const std::string series = seriesOf(svg, "pr", name);
      ASSERT_NE(series, "") << name;
      const std::size_t slot = std::string(name) == "All" ? 0 : 3;
      EXPECT_EQ(attributeOf(series, "data-ap"), talmira::fixedSix(*averagePrecision(curves[slot])));
      EXPECT_NE(series.find("<path class=\"curve\""), std::string::npos);
      EXPECT_EQ(series.find("<path class=\"envelope\"") != std::string::npos,
                !precisionEnvelope(curves[slot]).empty());
    }
    EXPECT_EQ(seriesOf(svg, "pr", "Boat"), "");
    EXPECT_NE(svg.find("Not drawn, no objects:"), std::string::npos);
  }
}

TEST(PrecisionRecallPlotTest, LongCurvesAreThinnedToWhatThePanelShows) {
  const uint32_t seed = 515;
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  SweepCurves curves(kClassCount);
  curves[0] = randomPrCurve(random, 400'000);
  curves[1] = randomPrCurve(random, 100'000);
  const std::string svg = talmira::renderPrecisionRecallSvg(curves, "long curves");
  EXPECT_EQ(xmlFault(svg), "");
  EXPECT_LT(svg.size(), 250'000u);
  const std::string all = seriesOf(svg, "pr", "All");
  EXPECT_EQ(attributeOf(all, "data-points"), "400000");
  EXPECT_LE(std::stoul(attributeOf(all, "data-drawn")), 200'000u);

  // The thinning keeps, in every run of points in one pixel column, its
  // first and last point and its lowest and highest value.
  std::vector<double> xs, ys;
  for (const CurvePoint& p : curves[0].points) {
    xs.push_back(*recallOf(p));
    ys.push_back(precisionOf(p));
  }
  const int columns = 420;
  const std::vector<std::size_t> kept = talmira::polylineToDraw(xs, ys, columns);
  ASSERT_TRUE(std::is_sorted(kept.begin(), kept.end()));
  ASSERT_EQ(std::adjacent_find(kept.begin(), kept.end()), kept.end());
  const auto columnOf = [&](std::size_t i) {
    return std::min(static_cast<int>(std::floor(xs[i] * columns)), columns - 1);
  };
  std::size_t k = 0;
  for (std::size_t first = 0; first < xs.size();) {
    std::size_t last = first;
    double low = ys[first], high = ys[first];
    while (last + 1 < xs.size() && columnOf(last + 1) == columnOf(first)) {
      ++last;
      low = std::min(low, ys[last]);
      high = std::max(high, ys[last]);
    }
    // The kept points of this run.
    ASSERT_LT(k, kept.size());
    ASSERT_EQ(kept[k], first) << "run from " << first;
    double keptLow = ys[first], keptHigh = ys[first];
    std::size_t keptLast = first;
    for (; k < kept.size() && kept[k] <= last; ++k) {
      keptLow = std::min(keptLow, ys[kept[k]]);
      keptHigh = std::max(keptHigh, ys[kept[k]]);
      keptLast = kept[k];
    }
    EXPECT_EQ(keptLast, last);
    EXPECT_EQ(keptLow, low);
    EXPECT_EQ(keptHigh, high);
    first = last + 1;
  }
  EXPECT_EQ(k, kept.size());
}

}  // namespace
