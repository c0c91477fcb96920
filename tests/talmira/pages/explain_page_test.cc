#include "talmira/pages/explain_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "scoring/analysis/sequence_explanation.h"
#include "talmira/cli_common.h"
#include "tests/test_support.h"

namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// The text of the first element that starts with `start`, up to its `end`.
std::string elementOf(const std::string& html, const std::string& start, const std::string& end) {
  const std::size_t at = html.find(start);
  if (at == std::string::npos) return "";
  return html.substr(at, html.find(end, at) - at);
}

// A timeline of `n` frames with errors in random places, most frames clean.
std::vector<FrameSummary> randomTimeline(std::size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<FrameSummary> frames(n);
  for (std::size_t i = 0; i < n; ++i) {
    FrameSummary& f = frames[i];
    f.frame = static_cast<uint32_t>(i * 2 + 1);
    f.line = i * 7 + 2;
    f.gt = 5;
    if (random() % 8 == 0) f.fn = random() % 4;
    if (random() % 8 == 0) f.fp = random() % 3;
    f.det = f.gt - f.fn + f.fp;
  }
  return frames;
}

// Every frame in exactly one column, columns in order and as even as can be,
// each column's sums those of its frames (by prefix sums, not by a loop like
// the binning's own).
void expectExactBinning(const std::vector<FrameSummary>& frames, std::size_t maxColumns) {
  const std::vector<talmira::TimelineColumn> columns = talmira::binTimeline(frames, maxColumns);
  const std::size_t n = frames.size();
  SCOPED_TRACE(std::to_string(n) + " frames, at most " + std::to_string(maxColumns) + " columns");
  ASSERT_EQ(columns.size(), std::min(n, maxColumns));
  if (n == 0 || maxColumns == 0) return;
  std::vector<int64_t> fnBefore(n + 1, 0), fpBefore(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    fnBefore[i + 1] = fnBefore[i] + frames[i].fn;
    fpBefore[i + 1] = fpBefore[i] + frames[i].fp;
  }
  EXPECT_EQ(columns.front().first, 0u);
  EXPECT_EQ(columns.back().last, n - 1);
  std::size_t shortest = n, longest = 0;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const talmira::TimelineColumn& c = columns[k];
    ASSERT_LE(c.first, c.last) << "column " << k;
    if (k > 0) {
      ASSERT_EQ(c.first, columns[k - 1].last + 1) << "column " << k;
    }
    EXPECT_EQ(c.fn, fnBefore[c.last + 1] - fnBefore[c.first]) << "column " << k;
    EXPECT_EQ(c.fp, fpBefore[c.last + 1] - fpBefore[c.first]) << "column " << k;
    shortest = std::min(shortest, c.last - c.first + 1);
    longest = std::max(longest, c.last - c.first + 1);
  }
  EXPECT_LE(longest - shortest, 1u);
}

TEST(ExplainPageTest, TimelineBinsCountEveryFrameOnceInAtMostTheColumnsAllowed) {
  for (const std::size_t n : {0, 1, 2, 7, 1999, 2000, 2001, 3999, 4001, 123457}) {
    const std::vector<FrameSummary> frames = randomTimeline(n, static_cast<uint32_t>(n) + 5);
    expectExactBinning(frames, talmira::kTimelineColumns);
    expectExactBinning(frames, 1);
    expectExactBinning(frames, 3);
  }
  expectExactBinning(randomTimeline(5, 1), 0);
  // A single frame is a single column.
  const auto one = talmira::binTimeline(randomTimeline(1, 2));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].first, 0u);
  EXPECT_EQ(one[0].last, 0u);
}

// An explanation as a long video gives it: a million frames, the example's
// class counts.
talmira::ExplainReport longReport(std::size_t frames) {
  talmira::ExplainReport report;
  report.groundTruth = "gt.csv";
  report.system = "sys.csv";
  Explanation& x = report.explanation;
  x.timeline = randomTimeline(frames, 77);
  x.frames = static_cast<int64_t>(frames);
  ClassExplanation& all = x.classes[0];
  for (const FrameSummary& f : x.timeline) {
    all.gt += f.gt;
    all.det += f.det;
    all.fn += f.fn;
    all.fp += f.fp;
  }
  all.misses[static_cast<std::size_t>(MissCause::kMissed)] = all.fn;
  all.falseAlarms[static_cast<std::size_t>(FalseAlarmCause::kBackground)] = all.fp;
  return report;
}

TEST(ExplainPageTest, AMillionFramesMakeASmallPageWhoseStripHoldsEveryError) {
  const std::size_t n = 1'000'000;
  const talmira::ExplainReport report = longReport(n);
  const std::string html = talmira::renderExplainPage(report, "talmira explain gt.csv sys.csv");
  // 2,000 columns of a few hundred bytes at most, whatever the length of the video.
  EXPECT_LT(html.size(), 900'000u);
  const std::string strip =
      elementOf(html, "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"timeline\"", "</svg>");
  ASSERT_NE(strip, "");
  EXPECT_NE(strip.find("data-frames=\"1000000\" data-columns=\"2000\""), std::string::npos);
  EXPECT_NE(html.find("the 1000000 frames are summed into 2000 columns of 500 consecutive frames"),
            std::string::npos);
  // The columns drawn carry every miss and false alarm of All.
  static const std::regex column(
      "<g class=\"column\" id=\"column-([0-9]+)\" data-fn=\"([0-9]+)\" "
      "data-fp=\"([0-9]+)\"><title>Frames ([0-9]+) to ([0-9]+) ");
  int64_t fn = 0, fp = 0;
  std::size_t drawn = 0;
  for (auto it = std::sregex_iterator(strip.begin(), strip.end(), column);
       it != std::sregex_iterator(); ++it) {
    const std::size_t k = std::stoul((*it)[1]);
    ASSERT_LT(k, 2000u);
    // Column k holds frames 500 k to 500 k + 499, numbered 2 i + 1.
    EXPECT_EQ(std::stoul((*it)[4]), 1000 * k + 1);
    EXPECT_EQ(std::stoul((*it)[5]), 1000 * k + 999);
    fn += std::stoll((*it)[2]);
    fp += std::stoll((*it)[3]);
    ++drawn;
  }
  EXPECT_GT(drawn, 0u);
  EXPECT_LE(drawn, 2000u);
  EXPECT_EQ(fn, report.explanation.classes[0].fn);
  EXPECT_EQ(fp, report.explanation.classes[0].fp);
  // The ten worst frames are marked, each with its rank and frame number.
  const std::vector<FrameSummary> worst = worstFrames(report.explanation.timeline, 10);
  ASSERT_EQ(worst.size(), 10u);
  for (std::size_t r = 0; r < worst.size(); ++r) {
    EXPECT_NE(strip.find("<g class=\"worst\" data-rank=\"" + std::to_string(r + 1) +
                         "\" data-frame=\"" + std::to_string(worst[r].frame) + "\">"),
              std::string::npos)
        << "rank " << r + 1;
  }
}

TEST(ExplainPageTest, NoFramesAndNoClassesSaySoWithoutAnEmptyPicture) {
  talmira::ExplainReport report;
  report.groundTruth = "empty.csv";
  report.system = "none.csv";
  const std::string html = talmira::renderExplainPage(report, "");
  EXPECT_NE(html.find("id=\"no-classes\""), std::string::npos);
  EXPECT_NE(html.find("id=\"no-frames\""), std::string::npos);
  EXPECT_NE(html.find("id=\"no-worst-frames\""), std::string::npos);
  EXPECT_NE(html.find("id=\"confusion-empty\""), std::string::npos);
  EXPECT_NE(html.find("id=\"no-pairs\""), std::string::npos);
  EXPECT_EQ(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);  // nothing for it to work on

  // One frame: one column, the whole strip.
  report = longReport(1);
  report.explanation.timeline[0].fn = 2;
  report.explanation.timeline[0].fp = 0;
  report.explanation.classes[0].fn = 2;
  const std::string one = talmira::renderExplainPage(report, "");
  EXPECT_NE(one.find("data-frames=\"1\" data-columns=\"1\""), std::string::npos);
  EXPECT_NE(one.find("<g class=\"column\" id=\"column-0\" data-fn=\"2\" data-fp=\"0\"><title>Frame "
                     "1 (line 2): 2 misses, 0 false alarms</title>"),
            std::string::npos);
}

// The explanation of a random pair made for the scorer's corner cases.
Explanation explainRandomPair(uint32_t seed, float confidence) {
  const talmira_test::FilePair files = talmira_test::randomFilePair(seed, 16, 14);
  QuorSequence groundTruth, system;
  EXPECT_EQ(talmira_test::readAnnotationText(files.groundTruth, groundTruth), 0);
  EXPECT_EQ(talmira_test::readAnnotationText(files.system, system), 0);
  ExplainOptions options;
  options.confidence = confidence;
  return explainSequences(groundTruth, system, options);
}

// A bar's segments, as the page draws them.
struct Segment {
  std::string side, cause;
  int64_t count;
  double cost, width;
};
std::vector<Segment> segmentsOf(const std::string& bar) {
  static const std::regex segment(
      "<rect class=\"segment\" data-side=\"([a-z_]+)\" data-cause=\"([a-z_]+)\" "
      "data-count=\"([0-9]+)\" data-cost=\"([0-9.]+)\" x=\"[0-9.]+\" y=\"[0-9.]+\" "
      "width=\"([0-9.]+)\"");
  std::vector<Segment> segments;
  for (auto it = std::sregex_iterator(bar.begin(), bar.end(), segment);
       it != std::sregex_iterator(); ++it) {
    segments.push_back(
        {(*it)[1], (*it)[2], std::stoll((*it)[3]), std::stod((*it)[4]), std::stod((*it)[5])});
  }
  return segments;
}

// The bars say what the scorer says: a class's segments add up to its FN and
// FP, their costs to 1 - NMODTA, their widths to the same on the drawn scale.
TEST(ExplainPageTest, EachBarsSegmentsAddUpToThePointsItsClassLost) {
  std::size_t barsChecked = 0, splitBars = 0;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    const float confidence = seed % 3 == 0 ? 0.5f : 0.0f;
    talmira::ExplainReport report;
    report.groundTruth = "gt.csv";
    report.system = "sys.csv";
    report.confidence = confidence;
    report.explanation = explainRandomPair(seed, confidence);
    const std::string html = talmira::renderExplainPage(report, "");
    const std::string bars =
        elementOf(html, "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"cost-bars\"", "</svg>");
    std::smatch unit;
    ASSERT_TRUE(std::regex_search(bars, unit, std::regex("data-unit=\"([0-9.]+)\"")));
    const double pixelsPerPoint = std::stod(unit[1]);
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      const ClassExplanation& c = report.explanation.classes[slot];
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << evaluationClasses[slot]);
      const std::string bar = elementOf(
          bars, std::string("<g class=\"bar\" data-class=\"") + evaluationClasses[slot] + "\"",
          "</g>");
      if (c.gt == 0 && c.fp == 0) {
        EXPECT_EQ(bar, "");
        continue;
      }
      ASSERT_NE(bar, "");
      const std::vector<Segment> segments = segmentsOf(bar);
      if (c.gt == 0) {
        EXPECT_TRUE(segments.empty());  // no objects: nothing to weigh the errors by
        EXPECT_NE(bar.find("no objects: " + std::to_string(c.fp)), std::string::npos);
        continue;
      }
      int64_t misses = 0, falseAlarms = 0;
      double cost = 0, width = 0;
      bool sawFalseAlarm = false;
      for (const Segment& s : segments) {
        EXPECT_GT(s.count, 0);
        (s.side == "miss" ? misses : falseAlarms) += s.count;
        // Misses first, then false alarms.
        if (s.side == "miss") {
          EXPECT_FALSE(sawFalseAlarm);
        }
        sawFalseAlarm = sawFalseAlarm || s.side == "false_alarm";
        cost += s.cost;
        width += s.width;
      }
      EXPECT_EQ(misses, c.fn);
      EXPECT_EQ(falseAlarms, c.fp);
      const double lost = 1.0 - static_cast<double>(c.nmodta());
      // Costs are printed with six decimals, NMODTA is single precision.
      EXPECT_NEAR(cost, lost,
                  1e-6 * static_cast<double>(segments.size() + 1) + 1e-6 * std::fabs(lost));
      EXPECT_NEAR(width, lost * pixelsPerPoint,
                  0.006 * static_cast<double>(segments.size()) + 1e-4 * lost * pixelsPerPoint);
      ++barsChecked;
      if (c.fn > 0 && c.fp > 0) ++splitBars;
    }
  }
  // The pairs are rich enough that the check means something.
  EXPECT_GT(barsChecked, 100u);
  EXPECT_GT(splitBars, 20u);
}

TEST(ExplainPageTest, FalseAlarmsBeyondAllThePointsWidenTheScaleNotTheBars) {
  talmira::ExplainReport report;
  report.groundTruth = "gt.csv";
  report.system = "sys.csv";
  ClassExplanation& car = report.explanation.classes[1];
  car.gt = 3;
  car.fn = 1;
  car.det = 1002;
  car.fp = 1000;
  car.misses[static_cast<std::size_t>(MissCause::kMissed)] = 1;
  car.falseAlarms[static_cast<std::size_t>(FalseAlarmCause::kBackground)] = 1000;
  report.explanation.classes[0] = car;
  const std::string html = talmira::renderExplainPage(report, "");
  std::smatch scale;
  ASSERT_TRUE(std::regex_search(html, scale, std::regex("data-scale=\"([0-9.]+)\"")));
  EXPECT_GE(std::stod(scale[1]), 1001.0 / 3.0);
  EXPECT_LE(std::stod(scale[1]), 1001.0 / 3.0 * 2);
  // A few ticks, and the bars inside the picture.
  EXPECT_LE(occurrences(elementOf(html, "<g class=\"axes\">", "</g>"), "<text"), 12u);
  for (const Segment& s : segmentsOf(html)) EXPECT_LE(s.width, 680.01);
  EXPECT_NE(html.find("Losing 1 point leaves NMODTA at 0"), std::string::npos);
}

TEST(ExplainPageTest, EscapesHostilePathsAndKeepsItsOneScript) {
  const std::string hostile = "<script>alert(1)</script>&amp \"q\" 'a' <b>\x01\xff";
  const std::string escaped =
      "&lt;script&gt;alert(1)&lt;/script&gt;&amp;amp &quot;q&quot; &#39;a&#39; &lt;b&gt;"
      "\xEF\xBF\xBD\xEF\xBF\xBD";
  talmira::ExplainReport report = longReport(50);
  report.groundTruth = "gt/" + hostile + ".csv";
  report.system = "sys/" + hostile + ".csv";
  const std::string html = talmira::renderExplainPage(report, "talmira explain " + hostile);
  EXPECT_EQ(occurrences(html, "<script"), 1u);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("\xff"), std::string::npos);
  // The title (both paths), the facts (both), the produced-by line and the footer.
  EXPECT_EQ(occurrences(html, escaped), 6u);
  EXPECT_EQ(html.find("alert(1)</script>"), std::string::npos);
}

}  // namespace
