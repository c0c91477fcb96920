// End-to-end runs of `talmira explain` and `talmira view` on one thread and
// on two: with frame numbers that only grow, two threads explain and draw
// the frames while the files are read (the view looking at the files a
// second time for the frames it holds), one thread reads them whole. Every
// byte of every output must be the same either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

// The records of an annotation text put in order of frame number (stably),
// so that its numbers only grow; its header kept first.
std::string inFrameOrder(const std::string& text) {
  const std::vector<std::string> lines = splitLines(text);
  if (lines.empty()) return text;
  std::vector<std::pair<unsigned long, std::string>> records;
  for (std::size_t at = 1; at < lines.size(); ++at) {
    std::string line = lines[at];
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    records.emplace_back(std::strtoul(line.c_str(), nullptr, 10), line);
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string ordered = lines.front() + "\n";
  for (const auto& record : records) ordered += record.second + "\n";
  return ordered;
}

struct OrderedFiles {
  std::string groundTruth;
  std::string system;
};

OrderedFiles writeOrderedPair(const TempDir& dir, uint32_t seed) {
  const FilePair pair = randomFilePair(seed, 20, 14);
  return {dir.write("gt.csv", inFrameOrder(pair.groundTruth)),
          dir.write("sys.csv", inFrameOrder(pair.system))};
}

TEST(ExplainCommandTest, OneThreadAndTwoExplainAlikeInEveryFormat) {
  TempDir dir;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const OrderedFiles files = writeOrderedPair(dir, seed);
    for (const std::string format : {"text", "csv", "json"}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << format);
      std::vector<std::string> outputs;
      std::vector<std::string> pages;
      for (const std::string jobs : {"1", "2"}) {
        const std::string page = dir.file("why" + jobs + ".html");
        const ToolResult run = runTalmira({"explain", files.groundTruth, files.system, "-c", "0.4",
                                           "--format", format, "-j", jobs, "--report", page});
        ASSERT_EQ(run.status, 0) << run.errors;
        outputs.push_back(run.output);
        pages.push_back(readFile(page));
      }
      EXPECT_FALSE(outputs[0].empty());
      EXPECT_EQ(outputs[0], outputs[1]);
      EXPECT_NE(pages[0].find("<html"), std::string::npos);
      EXPECT_EQ(pages[0], pages[1]);
    }
  }
}

TEST(ViewCommand, OneThreadAndTwoDrawTheSamePage) {
  TempDir dir;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const OrderedFiles files = writeOrderedPair(dir, seed);
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {"--frames", "errors"},
             {"--frames", "all"},
             {"--frames", "worst:3", "-c", "0.5"},
             {"--frames", "4-11", "--class", "Car"},
             {"--frames", "errors", "--class", "Person", "-c", "0.3"}}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << options[1] << ", "
                                      << options.size() << " options");
      std::vector<std::string> pages;
      for (const std::string jobs : {"1", "2"}) {
        const std::string page = dir.file("view" + jobs + ".html");
        std::vector<std::string> arguments = {
            "view", files.groundTruth, files.system, "-o", page, "-j", jobs};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ToolResult run = runTalmira(arguments);
        ASSERT_EQ(run.status, 0) << run.errors;
        pages.push_back(readFile(page));
      }
      EXPECT_NE(pages[0].find("<template class=\"frame\""), std::string::npos);
      EXPECT_EQ(pages[0], pages[1]);
    }
  }
}

}  // namespace
}  // namespace talmira_test
