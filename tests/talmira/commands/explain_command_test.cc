// End-to-end runs of `talmira explain --report`: the page beside the output.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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
