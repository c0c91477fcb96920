#include "talmira/pages/html_report.h"

#include <gtest/gtest.h>

#include <string>

#include "talmira/cli_common.h"
#include "tests/talmira/curve_oracle.h"
#include "tests/test_support.h"

namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

const std::string kHostile = "<script>alert(1)</script>&amp \"q\" 'a' <b>";
const std::string kHostileEscaped =
    "&lt;script&gt;alert(1)&lt;/script&gt;&amp;amp &quot;q&quot; &#39;a&#39; &lt;b&gt;";

TEST(HtmlReportTest, SweepPageEscapesEverythingUsersGive) {
  SweepCurves curves(kClassCount);
  curves[0].points = {CurvePoint{1.0f, 2, 0, 2, 0}, CurvePoint{0.0f, 2, 2, 0, 0}};
  talmira::SweepReportInput input;
  input.groundTruth = "gt/" + kHostile + ".csv";
  input.system = "sys/" + kHostile + ".csv";
  input.warnings = {"warning " + kHostile};
  input.exact = &curves;
  input.producedBy = "talmira sweep " + kHostile;
  const std::string html = talmira::renderSweepReport(input);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  // Ground truth and system in the title, the facts, the figure (caption and
  // title); the warning; the footer.
  EXPECT_GE(occurrences(html, kHostileEscaped), 7u);
  // Nothing on the page may be fetched; the SVG namespace is a name, not an address.
  std::string addresses = html;
  const std::string svgNamespace = "xmlns=\"http://www.w3.org/2000/svg\"";
  for (std::size_t at; (at = addresses.find(svgNamespace)) != std::string::npos;) {
    addresses.erase(at, svgNamespace.size());
  }
  EXPECT_EQ(addresses.find("http:"), std::string::npos);
  EXPECT_EQ(addresses.find("https:"), std::string::npos);
  EXPECT_EQ(addresses.find("//"), std::string::npos);
  EXPECT_EQ(addresses.find("src="), std::string::npos);
  EXPECT_EQ(addresses.find("url("), std::string::npos);
}

TEST(HtmlReportTest, DatasetPageKeepsFailedSequencesOutOfTheTableAndEscapesThem) {
  talmira::DatasetReportInput input;
  input.list = "lists/" + kHostile + ".csv";
  input.confidence = 0.25f;
  talmira::DatasetSequenceRow good;
  good.name = "good " + kHostile;
  good.groundTruth = "gt.csv";
  good.system = "sys.csv";
  good.classes[0] = ClassCounts{4, 3, 1, 0, 2};
  talmira::DatasetSequenceRow bad;
  bad.name = "bad";
  bad.error = "gt.csv:3: " + kHostile;
  input.sequences = {good, bad, good};
  input.pooled[0] = ClassCounts{8, 6, 2, 0, 4};
  const std::string html = talmira::renderDatasetReport(input);
  // Our sorting script is the only script.
  EXPECT_EQ(occurrences(html, "<script"), 1u);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_NE(html.find("3 listed, 2 scored, 1 failed"), std::string::npos);
  EXPECT_NE(html.find("<td class=\"message\">gt.csv:3: " + kHostileEscaped + "</td>"),
            std::string::npos);
  // The scored sequences keep their LIST positions, 1 and 3.
  EXPECT_NE(html.find("<tr data-index=\"1\">"), std::string::npos);
  EXPECT_NE(html.find("<tr data-index=\"3\">"), std::string::npos);
  const std::size_t table = html.find("<table id=\"sequences\">");
  const std::size_t tableEnd = html.find("</table>", table);
  ASSERT_NE(table, std::string::npos);
  EXPECT_EQ(html.find("<tr data-index=\"2\">", table),
            html.find("<tr data-index=\"2\">", tableEnd));
  // NMODTA of each good sequence: 1 - (1 + 0) / 4.
  EXPECT_EQ(occurrences(html.substr(table, tableEnd - table), "data-sort=\"0.750000\">0.750000<"),
            2u);
  // No curves, no curve sections.
  EXPECT_EQ(html.find("<svg"), std::string::npos);
  EXPECT_EQ(html.find("Best threshold"), std::string::npos);
}

TEST(HtmlReportTest, DatasetPageWithSweepShowsEachSequencesBestPointAndThePooledCurves) {
  talmira_test::TempDir dir;
  // One car and a close detection at 0.6 plus a false alarm at 0.3: the best
  // point of All is at 0.6 (NMODTA 1), not at 0.3 (1 - 1/1 = 0).
  const std::string header =
      "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  const std::string gt =
      dir.write("gt.csv", header + "1,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1.0,,0.0\n");
  const std::string sys =
      dir.write("sys.csv", header +
                               "1,1,1,41,1,41,41,1,41,Car,FALSE,FALSE,0.6,,0.0\n"
                               "1,200,200,240,200,240,240,200,240,Car,FALSE,FALSE,0.3,,0.0\n");
  const auto groundTruth = talmira::readInput(gt);
  const auto system = talmira::readInput(sys);
  const SweepCurves curves = talmira_test::bruteForceCurves(*groundTruth, *system);
  ASSERT_EQ(curves[0].points.size(), 4u);  // 1, 0.6, 0.3, 0

  talmira::DatasetReportInput input;
  input.list = "list.csv";
  talmira::DatasetSequenceRow row;
  row.name = "only";
  row.classes = scoreClasses(*groundTruth, *system, 0.0f);
  row.bestAll = curves[0].points[1];
  input.sequences = {row};
  input.pooled = row.classes;
  input.pooledCurves = &curves;
  const std::string html = talmira::renderDatasetReport(input);
  EXPECT_NE(html.find("<td data-sort=\"0.6\">0.6</td><td data-sort=\"1.000000\">1.000000</td>"),
            std::string::npos);
  // The curves, and precision against recall.
  EXPECT_EQ(occurrences(html, "<svg"), 2u);
  EXPECT_EQ(occurrences(html, "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"pr-plot\""), 1u);
  // The pooled best point of All, then of Car, at 0.6 with NMODTA 1; AP 1
  // (the false alarm at 0.3 comes after the car is found); NMODTA 0 at 0.
  EXPECT_EQ(occurrences(html,
                        "<td>0.6</td><td>1</td><td>1</td><td>0</td><td>0</td><td>1.000000</td>"
                        "<td>1.000000</td><td>0.000000</td>"),
            2u);
  // A class without objects has no recall, so no AP.
  EXPECT_NE(html.find("<td title=\"No objects: no recall\">\xE2\x80\x94</td>"), std::string::npos);
}

}  // namespace
