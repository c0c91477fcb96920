// End-to-end runs of `talmira explain`: the page beside the output, and
// other datasets' files in their own classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/formats.h"
#include "scoring/analysis/error_causes.h"
#include "scoring/counts/class_scores.h"
#include "tests/class_set_files.h"
#include "tests/test_support.h"

using talmira_test::readFile;
using talmira_test::runTalmira;
using talmira_test::TempDir;

namespace {

const char kHeader[] = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";

// A pair whose frame numbers only grow, so that with -j above 1 it is
// explained while read: system boxes near, on or away from the objects,
// some of another class, confidences spread over 0 to 1.
talmira_test::FilePair orderedPair(uint32_t seed, int frames) {
  std::mt19937 random(seed);
  const auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  const char* names[] = {"Car", "Truck", "Person"};
  const auto record = [](int frame, int x, int y, int w, int h, const char* type,
                         const std::string& confidence) {
    std::ostringstream line;
    line << frame << ',' << x << ',' << y << ',' << x + w << ',' << y << ',' << x + w << ','
         << y + h << ',' << x << ',' << y + h << ',' << type << ",FALSE,FALSE," << confidence
         << ",,0.0\n";
    return line.str();
  };
  talmira_test::FilePair pair{kHeader, kHeader};
  for (int frame = 1; frame <= frames; ++frame) {
    for (int n = pick(0, 5); n > 0; --n) {
      const int x = pick(0, 20) * 40, y = pick(0, 12) * 40, w = pick(2, 6) * 10,
                h = pick(2, 6) * 10;
      const char* type = names[pick(0, 2)];
      pair.groundTruth += record(frame, x, y, w, h, type, "1");
      const int shift = pick(0, 3) * 6;
      if (pick(0, 5) > 0) {
        pair.system += record(frame, x + shift, y, w, h, pick(0, 6) == 0 ? names[pick(0, 2)] : type,
                              "0." + std::to_string(pick(1, 99)));
      }
    }
    if (pick(0, 3) == 0) {
      pair.system += record(frame, pick(0, 20) * 40, 600, 30, 30, names[pick(0, 2)],
                            "0." + std::to_string(pick(1, 99)));
    }
  }
  return pair;
}

std::string fixed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// What the page must show, read off the command's own JSON.
void expectPageShows(const std::string& page, const nlohmann::json& why) {
  for (const auto& c : why["classes"]) {
    const std::string name = c["class"];
    if (c["gt"] == 0 && c["fp"] == 0) {
      EXPECT_EQ(page.find("<tr data-class=\"" + name + "\""), std::string::npos) << name;
      continue;
    }
    // The counts row, NMODTA as the text output gives it.
    const std::string row = "<td class=\"text\">" + name + "</td><td>" + c["gt"].dump() +
                            "</td><td>" + c["det"].dump() + "</td><td>" + c["fn"].dump() +
                            "</td><td>" + c["fp"].dump() + "</td><td>" +
                            fixed(c["nmodta"].get<float>()) + "</td>";
    EXPECT_NE(page.find(row), std::string::npos) << row;
  }
  // Every frame on the strip, every error in its columns.
  const auto& frames = why["frames"];
  EXPECT_NE(page.find("data-frames=\"" + std::to_string(frames.size()) + "\""), std::string::npos);
  int64_t fn = 0, fp = 0;
  static const std::regex column(
      "<g class=\"column\" id=\"column-[0-9]+\" data-fn=\"([0-9]+)\" "
      "data-fp=\"([0-9]+)\">");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), column);
       it != std::sregex_iterator(); ++it) {
    fn += std::stoll((*it)[1]);
    fp += std::stoll((*it)[2]);
  }
  EXPECT_EQ(fn, why["classes"][0]["fn"].get<int64_t>());
  EXPECT_EQ(fp, why["classes"][0]["fp"].get<int64_t>());
  // The confusion matrix, row by row, for the labels that appear.
  const auto& labels = why["confusion"]["labels"];
  const auto& matrix = why["confusion"]["matrix"];
  for (std::size_t r = 0; r < labels.size(); ++r) {
    int64_t total = 0;
    bool used = false;
    for (std::size_t k = 0; k < labels.size(); ++k) {
      total += matrix[r][k].get<int64_t>();
      used = used || matrix[r][k] != 0 || matrix[k][r] != 0;
    }
    const std::string head = "<tr><th scope=\"row\">" + labels[r].get<std::string>() + "</th>";
    const std::size_t at = page.find(head);
    ASSERT_EQ(at != std::string::npos, used) << labels[r];
    if (!used) continue;
    const std::string shown = page.substr(at, page.find("</tr>", at) - at);
    static const std::regex number(">([0-9]+)</td>");
    std::vector<int64_t> cells;
    for (auto it = std::sregex_iterator(shown.begin(), shown.end(), number);
         it != std::sregex_iterator(); ++it) {
      cells.push_back(std::stoll((*it)[1]));
    }
    std::vector<int64_t> expected;
    for (std::size_t k = 0; k < labels.size(); ++k) {
      bool columnUsed = false;
      for (std::size_t o = 0; o < labels.size(); ++o) {
        columnUsed = columnUsed || matrix[k][o] != 0 || matrix[o][k] != 0;
      }
      // (none, none) is shown as a dash, not a number.
      if (columnUsed && !(r + 1 == labels.size() && k + 1 == labels.size())) {
        expected.push_back(matrix[r][k].get<int64_t>());
      }
    }
    expected.push_back(total);
    EXPECT_EQ(cells, expected) << labels[r];
  }
}

TEST(ExplainCommandTest, ReportPageIsWrittenBesideTheOutputAndAgreesWithTheJson) {
  TempDir dir;
  for (const uint32_t seed : {3u, 8u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    // One pair explained while read, one read whole (its frame numbers come back).
    const talmira_test::FilePair ordered = orderedPair(seed, 400);
    const talmira_test::FilePair shuffled = talmira_test::randomFilePair(seed);
    for (const auto* pair : {&ordered, &shuffled}) {
      const std::string gt = dir.write("gt.csv", pair->groundTruth);
      const std::string sys = dir.write("sys.csv", pair->system);
      const std::string page = dir.file("why.html");
      const auto text = runTalmira({"explain", gt, sys, "-c", "0.25"});
      ASSERT_EQ(text.status, 0) << text.errors;
      std::remove(page.c_str());
      const auto withPage =
          runTalmira({"explain", gt, sys, "-c", "0.25", "--report", page, "-j", "2"});
      ASSERT_EQ(withPage.status, 0) << withPage.errors;
      EXPECT_EQ(withPage.output, text.output);  // the page changes nothing of the text
      EXPECT_EQ(withPage.errors, "");
      const std::string html = readFile(page);
      ASSERT_EQ(html.rfind("<!DOCTYPE html>\n", 0), 0u);
      ASSERT_GE(html.size(), 8u);
      EXPECT_EQ(html.substr(html.size() - 8), "</html>\n");
      EXPECT_NE(html.find("explain " + gt + " " + sys + " -c 0.25 --near 0.1"), std::string::npos);

      const auto json = runTalmira({"explain", gt, sys, "-c", "0.25", "--format", "json"});
      ASSERT_EQ(json.status, 0) << json.errors;
      expectPageShows(html, nlohmann::json::parse(json.output));

      // The same page whether the files were explained while read or read whole,
      // and beside CSV to a file.
      const std::string csv = dir.file("why.csv");
      const auto oneThread =
          runTalmira({"explain", gt, sys, "-c", "0.25", "--report", dir.file("again.html"), "-j",
                      "1", "--format", "csv", "-o", csv});
      ASSERT_EQ(oneThread.status, 0) << oneThread.errors;
      EXPECT_EQ(oneThread.output, "");
      EXPECT_EQ(readFile(csv).rfind("class,side,cause,count,cost\n", 0), 0u);
      EXPECT_EQ(readFile(dir.file("again.html")), html);
    }
  }
}

// A CSV text read by RFC 4180's rules: fields quoted when they hold a
// comma, a quote (doubled) or a line end.
std::vector<std::vector<std::string>> readCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row;
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.push_back(std::move(field));
      field.clear();
    } else if (c == '\n') {
      row.push_back(std::move(field));
      field.clear();
      rows.push_back(std::move(row));
      row.clear();
    } else {
      field += c;
    }
  }
  EXPECT_FALSE(quoted) << "a quoted field is not closed";
  EXPECT_TRUE(field.empty() && row.empty()) << "the last line has no line end";
  return rows;
}

// Text as HTML must show it.
std::string html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The confusion matrix of the JSON, whole or as its cells, as a square.
std::vector<std::vector<int64_t>> squareOf(const nlohmann::json& confusion) {
  const std::size_t n = confusion["labels"].size();
  std::vector<std::vector<int64_t>> square(n, std::vector<int64_t>(n, 0));
  if (confusion.contains("matrix")) {
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t k = 0; k < n; ++k) square[r][k] = confusion["matrix"][r][k];
    }
  } else {
    for (const auto& cell : confusion["cells"]) {
      EXPECT_GT(cell[2].get<int64_t>(), 0);
      square[cell[0].get<std::size_t>()][cell[1].get<std::size_t>()] += cell[2].get<int64_t>();
    }
  }
  return square;
}

// The rows the page's confusion table must have, by the rule it states:
// the classes with any cell, at most 40 (most objects and boxes first,
// ties to the earlier), then the rest summed, then none; each row its cells
// (none's own cell a dash) and its total.
std::vector<std::pair<std::string, std::vector<std::string>>> expectedConfusionRows(
    const std::vector<std::string>& labels, const std::vector<std::vector<int64_t>>& square,
    std::size_t& othersOut) {
  const std::size_t n = labels.size();
  std::vector<int64_t> weight(n, 0);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t k = 0; k < n; ++k) {
      weight[r] += square[r][k];
      weight[k] += square[r][k];
    }
  }
  std::vector<std::size_t> used;
  for (std::size_t slot = 0; slot + 1 < n; ++slot) {
    bool any = false;
    for (std::size_t o = 0; o < n; ++o) any = any || square[slot][o] != 0 || square[o][slot] != 0;
    if (any) used.push_back(slot);
  }
  std::vector<std::size_t> shown = used;
  std::stable_sort(shown.begin(), shown.end(),
                   [&](std::size_t a, std::size_t b) { return weight[a] > weight[b]; });
  if (shown.size() > 40) shown.resize(40);
  std::sort(shown.begin(), shown.end());
  othersOut = used.size() - shown.size();
  // Each line's slots.
  std::vector<std::vector<std::size_t>> lines;
  std::vector<std::string> names;
  for (const std::size_t slot : shown) {
    lines.push_back({slot});
    names.push_back(labels[slot]);
  }
  if (othersOut > 0) {
    lines.emplace_back();
    for (const std::size_t slot : used) {
      if (!std::binary_search(shown.begin(), shown.end(), slot)) lines.back().push_back(slot);
    }
    names.push_back(std::to_string(othersOut) + " others");
  }
  bool noneUsed = false;
  for (std::size_t o = 0; o < n; ++o)
    noneUsed = noneUsed || square[n - 1][o] != 0 || square[o][n - 1] != 0;
  if (noneUsed) {
    lines.push_back({n - 1});
    names.push_back("none");
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> rows;
  for (std::size_t r = 0; r < lines.size(); ++r) {
    std::vector<std::string> cells;
    int64_t total = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (noneUsed && r + 1 == lines.size() && k + 1 == lines.size()) {
        cells.push_back("\xE2\x80\x94");
        continue;
      }
      int64_t sum = 0;
      for (const std::size_t a : lines[r]) {
        for (const std::size_t b : lines[k]) sum += square[a][b];
      }
      cells.push_back(std::to_string(sum));
      total += sum;
    }
    cells.push_back(std::to_string(total));
    rows.emplace_back(names[r], std::move(cells));
  }
  return rows;
}

// The rows of the page's confusion table: each row's label and cells.
std::vector<std::pair<std::string, std::vector<std::string>>> pageConfusionRows(
    const std::string& page) {
  std::vector<std::pair<std::string, std::vector<std::string>>> rows;
  const std::size_t start = page.find("<table id=\"confusion\"");
  if (start == std::string::npos) return rows;
  const std::string table = page.substr(start, page.find("</table>", start) - start);
  static const std::regex row("<tr><th scope=\"row\">([^<]*)</th>(.*?)</tr>");
  static const std::regex cell("<td[^>]*>([^<]*)</td>");
  for (auto it = std::sregex_iterator(table.begin(), table.end(), row);
       it != std::sregex_iterator(); ++it) {
    const std::string cells = (*it)[2];
    std::vector<std::string> values;
    for (auto c = std::sregex_iterator(cells.begin(), cells.end(), cell);
         c != std::sregex_iterator(); ++c) {
      values.push_back((*c)[1]);
    }
    rows.emplace_back((*it)[1], std::move(values));
  }
  return rows;
}

// Other datasets' files (COCO with scores and crowds; CVAT whose system
// names classes the ground truth lacks), with 7 to 260 classes named with
// commas, quotes, markup characters and other scripts: every output is in
// the pair's own classes, their counts the scoring's class by class, the
// CSV parses back to the JSON's causes, and the page shows the classes and
// the matrix as it says it does.
TEST(ExplainCommandTest, OtherDatasetsAreExplainedInTheirOwnClasses) {
  TempDir dir;
  struct Case {
    bool coco;
    std::size_t classes, extra;
    uint32_t seed;
  };
  std::size_t summedMatrices = 0, sparseMatrices = 0;
  for (const Case& k : {Case{true, 7, 0, 11}, Case{true, 90, 0, 12}, Case{false, 260, 6, 13},
                        Case{false, 33, 4, 14}}) {
    SCOPED_TRACE(testing::Message() << (k.coco ? "coco, " : "cvat, ") << k.classes << " classes");
    const talmira_test::GeneratedPair pair =
        talmira_test::generatePair(k.seed, k.classes, 150, k.coco, k.extra);
    std::string gt, sys;
    std::vector<std::string> arguments;
    if (k.coco) {
      const talmira_test::CocoFiles files = talmira_test::cocoFiles(pair, k.seed);
      gt = dir.write("gt.json", files.groundTruth);
      sys = dir.write("results.json", files.results);
      arguments = {"explain", gt, sys, "--gt-format", "coco", "--sys-format", "coco", "-c", "0.3"};
    } else {
      gt = dir.write("gt.xml", talmira_test::cvatFile(pair.truthNames, pair.truth, pair.frames));
      sys =
          dir.write("sys.xml", talmira_test::cvatFile(pair.systemNames, pair.system, pair.frames));
      arguments = {"explain", gt, sys, "--gt-format", "cvat", "--sys-format", "cvat"};
    }
    const float confidence = k.coco ? 0.3f : 0.0f;
    const auto run = [&](std::vector<std::string> more) {
      std::vector<std::string> all = arguments;
      all.insert(all.end(), more.begin(), more.end());
      talmira_test::ToolResult result = runTalmira(all);
      EXPECT_EQ(result.status, 0) << result.errors;
      return result;
    };
    const std::string page = dir.file("why.html");
    const nlohmann::json why =
        nlohmann::json::parse(run({"--format", "json", "-j", "2", "--report", page}).output);
    const std::string csv = run({"--format", "csv"}).output;
    const std::string text = run({}).output;
    const std::string report = readFile(page);

    // The scoring's own counts of the pair, in the pair's classes.
    AnnotationReadOptions options;
    options.format = k.coco ? AnnotationFormat::kCoco : AnnotationFormat::kCvat;
    options.ownClasses = true;
    QuorSequence truth, system;
    AnnotationReadFailure failure;
    ASSERT_TRUE(readAnnotation(gt, options, truth, failure)) << failure.message;
    if (k.coco) options.imagesFrom = gt;
    ASSERT_TRUE(readAnnotation(sys, options, system, failure)) << failure.message;
    const ClassSetPtr set = pairClasses(truth, system);
    ASSERT_EQ(set->names().size(), k.classes + k.extra);
    const std::vector<ClassCounts> scores = scoreClasses(truth, system, *set, confidence);

    const auto& classes = why["classes"];
    ASSERT_EQ(classes.size(), set->rows());
    std::size_t shown = 0;
    for (std::size_t slot = 0; slot < set->rows(); ++slot) {
      const auto& c = classes[slot];
      const std::string name = c["class"];
      SCOPED_TRACE(name);
      EXPECT_EQ(name, set->row(slot));
      EXPECT_EQ(c["gt"], scores[slot].gt);
      EXPECT_EQ(c["det"], scores[slot].det);
      EXPECT_EQ(c["fn"], scores[slot].fn);
      EXPECT_EQ(c["fp"], scores[slot].fp);
      int64_t misses = 0, falseAlarms = 0;
      for (const char* cause : missCauseNames) misses += c["misses"][cause].get<int64_t>();
      for (const char* cause : falseAlarmCauseNames) {
        falseAlarms += c["false_alarms"][cause].get<int64_t>();
      }
      EXPECT_EQ(misses, scores[slot].fn);
      EXPECT_EQ(falseAlarms, scores[slot].fp);
      EXPECT_EQ(c["pairs"]["count"], scores[slot].gt - scores[slot].fn);
      if (c["gt"] == 0 && c["fp"] == 0) continue;
      ++shown;
      // In the page's counts table, and in the text's.
      const std::string row = "<td class=\"text\">" + html(name) + "</td><td>" + c["gt"].dump() +
                              "</td><td>" + c["det"].dump() + "</td><td>" + c["fn"].dump() +
                              "</td><td>" + c["fp"].dump() + "</td>";
      EXPECT_NE(report.find(row), std::string::npos) << row;
      bool inText = false;
      for (const std::string& line : talmira_test::splitLines(text)) {
        if (line.rfind(name + " ", 0) != 0) continue;
        std::istringstream numbers(line.substr(name.size()));
        int64_t g = -1, d = -1, n = -1, p = -1;
        numbers >> g >> d >> n >> p;
        inText = inText || (g == c["gt"] && d == c["det"] && n == c["fn"] && p == c["fp"]);
      }
      EXPECT_TRUE(inText);
    }
    EXPECT_GT(shown, 3u);

    // The CSV: every class's ten causes in order, each the JSON's count.
    const std::vector<std::vector<std::string>> rows = readCsv(csv);
    ASSERT_EQ(rows.size(), 1 + set->rows() * (kMissCauseCount + kFalseAlarmCauseCount));
    EXPECT_EQ(rows[0], (std::vector<std::string>{"class", "side", "cause", "count", "cost"}));
    std::size_t at = 1;
    for (const auto& c : classes) {
      for (const bool miss : {true, false}) {
        const std::size_t causes = miss ? kMissCauseCount : kFalseAlarmCauseCount;
        for (std::size_t cause = 0; cause < causes; ++cause, ++at) {
          const char* causeName = miss ? missCauseNames[cause] : falseAlarmCauseNames[cause];
          ASSERT_EQ(rows[at].size(), 5u) << at;
          EXPECT_EQ(rows[at][0], c["class"].get<std::string>());
          EXPECT_EQ(rows[at][1], miss ? "miss" : "false_alarm");
          EXPECT_EQ(rows[at][2], causeName);
          EXPECT_EQ(rows[at][3], c[miss ? "misses" : "false_alarms"][causeName].dump());
        }
      }
    }

    // The matrix: over the pair's classes and none, its rows the objects of
    // each class, none's column All's misses and none's row its false alarms.
    const auto& confusion = why["confusion"];
    ASSERT_EQ(confusion["labels"].size(), set->rows());
    std::vector<std::string> labels;
    for (std::size_t slot = 1; slot < set->rows(); ++slot) {
      EXPECT_EQ(confusion["labels"][slot - 1], set->row(slot));
      labels.push_back(std::string(set->row(slot)));
    }
    EXPECT_EQ(confusion["labels"].back(), "none");
    labels.push_back("none");
    EXPECT_EQ(confusion.contains("cells"), set->names().size() > 64);
    sparseMatrices += confusion.contains("cells") ? 1 : 0;
    const std::vector<std::vector<int64_t>> square = squareOf(confusion);
    const std::size_t none = labels.size() - 1;
    int64_t missed = 0, falseAlarms = 0;
    for (std::size_t r = 0; r < none; ++r) {
      int64_t objects = 0;
      for (const int64_t n : square[r]) objects += n;
      EXPECT_EQ(objects, scores[r + 1].gt) << labels[r];
      missed += square[r][none];
    }
    for (const int64_t n : square[none]) falseAlarms += n;
    EXPECT_EQ(missed, scores[0].fn);
    EXPECT_EQ(falseAlarms, scores[0].fp);

    std::size_t others = 0;
    std::vector<std::pair<std::string, std::vector<std::string>>> expected =
        expectedConfusionRows(labels, square, others);
    for (auto& [label, cells] : expected) label = html(label);
    EXPECT_EQ(pageConfusionRows(report), expected);
    if (others > 0) {
      ++summedMatrices;
      EXPECT_NE(report.find("the other " + std::to_string(others) + " classes that appear in it"),
                std::string::npos);
      EXPECT_NE(text.find("the other " + std::to_string(others) + " that appear in it are summed"),
                std::string::npos);
    }
  }
  // Both ways of holding a matrix, and a matrix too large to show whole.
  EXPECT_EQ(sparseMatrices, 2u);
  EXPECT_GE(summedMatrices, 1u);
}

TEST(ExplainCommandTest, AReportThatCannotBeWrittenIsRefusedBeforeAnythingIs) {
  TempDir dir;
  const talmira_test::FilePair pair = orderedPair(5, 20);
  const std::string gt = dir.write("gt.csv", pair.groundTruth);
  const std::string sys = dir.write("sys.csv", pair.system);
  // Over an input: a usage error, the input as it was.
  const auto overInput = runTalmira({"explain", gt, sys, "--report", sys});
  EXPECT_EQ(overInput.status, 2);
  EXPECT_EQ(overInput.output, "");
  EXPECT_EQ(readFile(sys), pair.system);
  // Into a folder that is not there: status 1, and no output either.
  const std::string out = dir.file("why.txt");
  const auto nowhere =
      runTalmira({"explain", gt, sys, "-o", out, "--report", dir.file("missing/why.html")});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_NE(nowhere.errors.find("missing/why.html"), std::string::npos) << nowhere.errors;
  EXPECT_EQ(readFile(out), "");
  // The option is in the help, with an example.
  const auto help = runTalmira({"explain", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("--report FILE.html"), std::string::npos);
  EXPECT_NE(help.output.find("talmira explain groundtruth.csv systemoutput.csv --report why.html"),
            std::string::npos);
}

}  // namespace
