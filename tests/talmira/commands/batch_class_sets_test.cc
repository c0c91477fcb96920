// talmira batch and merge over sequences of different class sets: each
// sequence as score gives it, the totals in every sequence's classes by name.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/class_set_files.h"
#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;

Json jsonOf(const ToolResult& run) {
  EXPECT_EQ(run.status, 0) << run.errors;
  return Json::parse(run.output);
}

// Sequences of COCO pairs whose class sets overlap in part (a few names
// shared, the others their own), one failing: every sequence's rows equal
// `talmira score` of its pair; the pooled rows are every class met, in list
// order, each summing the sequences' counts of that name, the frames of
// every sequence; the sweep's pool the same by name; shards merged give the
// single run's bytes in every format.
TEST(BatchClassSetsTest, SequencesKeepTheirClassesAndTheTotalsSumThemByName) {
  TempDir dir;
  std::string list = "sequence,groundtruth,system\n";
  std::vector<std::pair<std::string, std::string>> pairs;
  for (uint32_t k = 0; k < 5; ++k) {
    GeneratedPair pair = generatePair(100 + k, 3 + 7 * k, 6 + k, k % 2 == 0, 0);
    // Two names every sequence shares, so that the totals add across them.
    pair.truthNames[0] = "shared, one";
    pair.truthNames[1] = "zwei Straße";
    pair.systemNames = pair.truthNames;
    const CocoFiles files = cocoFiles(pair, 7 + k);
    const std::string gt = dir.write("gt" + std::to_string(k) + ".json", files.groundTruth);
    const std::string res = dir.write("res" + std::to_string(k) + ".json", files.results);
    pairs.emplace_back(gt, res);
    list += "s" + std::to_string(k) + "," + gt + "," + res + "\n";
  }
  list += "broken," + dir.write("bad.json", "{") + "," + pairs[0].second + "\n";
  const std::string listPath = dir.write("list.csv", list);
  const std::vector<std::string> formats = {"--gt-format", "coco", "--sys-format",
                                            "coco",        "-c",   "0.3"};
  const auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), formats.begin(), formats.end());
    return runTalmira(arguments);
  };
  const ToolResult single = run({"batch", listPath, "--format", "json"});
  EXPECT_EQ(single.status, 1);  // a sequence failed
  const Json batch = Json::parse(single.output);

  std::vector<std::string> order;  // every class met, in list order
  std::map<std::string, std::array<int64_t, 4>> sums;
  int64_t frames = 0;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    SCOPED_TRACE(k);
    Json alone = jsonOf(run({"score", pairs[k].first, pairs[k].second, "--images-from",
                             pairs[k].first, "--format", "json"}));
    EXPECT_EQ(batch["sequences"][k]["classes"], alone["classes"]);
    frames += alone["classes"][0]["frames"].get<int64_t>();
    for (const Json& row : alone["classes"]) {
      const std::string name = row["class"];
      if (!sums.contains(name)) order.push_back(name);
      auto& sum = sums[name];
      sum[0] += row["gt"].get<int64_t>();
      sum[1] += row["det"].get<int64_t>();
      sum[2] += row["fn"].get<int64_t>();
      sum[3] += row["fp"].get<int64_t>();
    }
  }
  EXPECT_TRUE(batch["sequences"][5].contains("error"));
  const Json& pooled = batch["total"]["classes"];
  ASSERT_EQ(pooled.size(), order.size());
  for (std::size_t row = 0; row < order.size(); ++row) {
    SCOPED_TRACE(order[row]);
    EXPECT_EQ(pooled[row]["class"], order[row]);
    const auto& sum = sums[order[row]];
    EXPECT_EQ(pooled[row]["gt"], sum[0]);
    EXPECT_EQ(pooled[row]["det"], sum[1]);
    EXPECT_EQ(pooled[row]["fn"], sum[2]);
    EXPECT_EQ(pooled[row]["fp"], sum[3]);
    EXPECT_EQ(pooled[row]["frames"], frames);
  }

  // Shards, merged, give the single run: plain, swept and explained.
  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{}, std::vector<std::string>{"--sweep", "--grid", "10"},
        std::vector<std::string>{"--explain"}}) {
    SCOPED_TRACE(mode.empty() ? "plain" : mode[0]);
    std::vector<std::string> parts;
    for (const char* shard : {"1/3", "2/3", "3/3"}) {
      parts.push_back(dir.file(std::string("part") + shard[0] + ".json"));
      std::vector<std::string> arguments = {"batch", listPath, "--shard",
                                            shard,   "-o",     parts.back()};
      arguments.insert(arguments.end(), mode.begin(), mode.end());
      // Only the shard of the broken sequence (position 5) fails.
      EXPECT_EQ(run(arguments).status, shard[0] == '3' ? 1 : 0) << shard;
    }
    for (const char* format : {"text", "csv", "json"}) {
      std::vector<std::string> whole = {"batch", listPath, "--format", format};
      whole.insert(whole.end(), mode.begin(), mode.end());
      std::vector<std::string> merge = {"merge", "--format", format};
      merge.insert(merge.end(), parts.begin(), parts.end());
      const ToolResult a = run(whole);
      const ToolResult b = runTalmira(merge);
      EXPECT_EQ(b.output, a.output) << format;
      EXPECT_FALSE(a.output.empty());
    }
    if (mode.size() > 1) {
      // The sweep's pooled rows at the run's threshold, read off the curves,
      // are the totals above.
      const ToolResult merged =
          runTalmira({"merge", "--format", "json", parts[0], parts[1], parts[2]});
      EXPECT_EQ(merged.status, 1);
      const Json swept = Json::parse(merged.output);
      ASSERT_EQ(swept["total"]["classes"].size(), order.size());
      for (std::size_t row = 0; row < order.size(); ++row) {
        EXPECT_EQ(swept["total"]["classes"][row]["class"], order[row]);
        EXPECT_EQ(swept["total"]["classes"][row]["frames"], frames);
      }
    }
  }
}

}  // namespace
}  // namespace talmira_test
