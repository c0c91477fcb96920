// `talmira compare --ap`, end to end: each detector's figures as `talmira
// ap` (or `batch --ap` of a dataset) gives them, and every resample against
// a model made here: the draws (SplitMix64, as compare documents them), the
// drawn images (or sequences) really copied into files that `talmira ap`
// (or `batch --ap`) scores, the interval's ends and shares taken from those.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/talmira/commands/bootstrap_draws.h"
#include "tests/talmira/commands/precision_files.h"
#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;

Json jsonOf(const ToolResult& run, int status = 0) {
  EXPECT_EQ(run.status, status) << run.errors;
  return run.output.empty() ? Json() : Json::parse(run.output);
}

// The interval of `differences` at rank k and the shares above and below 0,
// against compare's JSON figure.
void expectInterval(std::vector<double> differences, std::size_t k, const Json& figure) {
  std::sort(differences.begin(), differences.end());
  const double n = static_cast<double>(differences.size());
  EXPECT_EQ(figure["low"].get<double>(), differences[k]);
  EXPECT_EQ(figure["high"].get<double>(), differences[differences.size() - 1 - k]);
  EXPECT_EQ(
      figure["b_better"].get<double>(),
      std::count_if(differences.begin(), differences.end(), [](double d) { return d > 0; }) / n);
  EXPECT_EQ(
      figure["a_better"].get<double>(),
      std::count_if(differences.begin(), differences.end(), [](double d) { return d < 0; }) / n);
}

// B: A's boxes with other scores (ties kept: a few values) and some moved.
CocoSequence otherDetector(const CocoSequence& a, uint32_t seed) {
  CocoSequence b = a;
  std::mt19937 random(seed);
  for (GeneratedBox& box : b.pair.system) {
    box.score = std::uniform_int_distribution<int>(0, 9)(random) / 10.0;
    if (std::uniform_int_distribution<int>(0, 4)(random) == 0) box.x += 6;
  }
  return b;
}

struct Pair {
  std::string groundTruth, a, b;
};
Pair writePair(const TempDir& dir, const std::string& name, const CocoSequence& a,
               const CocoSequence& b, const std::vector<uint32_t>* copies = nullptr) {
  const CocoPairText ta = cocoText({&a}, true, copies);
  const CocoPairText tb = cocoText({&b}, true, copies);
  return {dir.write(name + "_gt.json", ta.groundTruth), dir.write(name + "_a.json", ta.results),
          dir.write(name + "_b.json", tb.results)};
}

std::pair<double, double> apFigures(const std::string& gt, const std::string& results) {
  const Json ap = jsonOf(runTalmira({"ap", gt, results, "--format", "json"}));
  return {ap["stats"][0].get<double>(), ap["stats"][1].get<double>()};
}

// One pair, images as units: the figures are talmira ap's; each resample's
// difference is that of talmira ap on files where each drawn image is there
// as many times as drawn, each copy right after it (score ties within an
// image included); so are the interval's ends and the shares. The same
// bytes on any number of threads.
TEST(CompareApTest, ImagesResampledAsTalmiraApScoresTheirCopies) {
  TempDir dir;
  const CocoSequence a = cocoSequence(5, 4, 8);
  const CocoSequence b = otherDetector(a, 6);
  const Pair files = writePair(dir, "pair", a, b);
  const std::size_t resamples = 9;
  const std::vector<std::string> arguments = {
      "compare", files.groundTruth, files.a, files.b,    "--ap", "--resamples", "9", "--seed",
      "5",       "--level",         "0.5",   "--format", "json"};
  std::vector<std::string> threaded = arguments;
  threaded.insert(threaded.end(), {"-j", "3"});
  const ToolResult single = runTalmira(arguments);
  const Json result = jsonOf(single);
  EXPECT_EQ(runTalmira(threaded).output, single.output);
  EXPECT_EQ(result["units"], 8);
  EXPECT_EQ(result["unit"], "image");
  const auto [mapA, ap50A] = apFigures(files.groundTruth, files.a);
  const auto [mapB, ap50B] = apFigures(files.groundTruth, files.b);
  const Json& map = result["figures"][0];
  const Json& ap50 = result["figures"][1];
  EXPECT_EQ(map["a"].get<double>(), mapA);
  EXPECT_EQ(map["b"].get<double>(), mapB);
  EXPECT_EQ(map["delta"].get<double>(), mapB - mapA);
  EXPECT_EQ(ap50["a"].get<double>(), ap50A);
  EXPECT_EQ(ap50["delta"].get<double>(), ap50B - ap50A);
  std::vector<double> maps, ap50s;
  for (const std::vector<uint32_t>& w : bootstrapDraws(5, 8, resamples)) {
    const Pair copied = writePair(dir, "copied", a, b, &w);
    const auto fa = apFigures(copied.groundTruth, copied.a);
    const auto fb = apFigures(copied.groundTruth, copied.b);
    maps.push_back(fb.first - fa.first);
    ap50s.push_back(fb.second - fa.second);
  }
  // k = floor(9 * (1 - 0.5) / 2) = 2.
  expectInterval(maps, 2, map);
  expectInterval(ap50s, 2, ap50);
  EXPECT_NE(*std::min_element(maps.begin(), maps.end()),
            *std::max_element(maps.begin(), maps.end()));
}

// A dataset, sequences as units: the figures are batch --ap's of each
// detector's list; each resample's difference that of batch --ap on lists
// holding each drawn sequence as many times as drawn, in a row.
TEST(CompareApTest, SequencesResampledAsBatchApScoresTheRepeatedLists) {
  TempDir dir;
  std::vector<Pair> sequences;
  std::string list = "sequence,groundtruth,system_a,system_b\n";
  for (uint32_t k = 0; k < 3; ++k) {
    // The same categories in every sequence, other boxes.
    CocoSequence a = cocoSequence(30, 4, 4 + k);
    const CocoSequence boxes = cocoSequence(31 + k, 4, 4 + k);
    a.pair.truth = boxes.pair.truth;
    a.pair.system = boxes.pair.system;
    const CocoSequence b = otherDetector(a, 40 + k);
    sequences.push_back(writePair(dir, "s" + std::to_string(k), a, b));
    list += "s" + std::to_string(k) + "," + sequences.back().groundTruth + "," +
            sequences.back().a + "," + sequences.back().b + "\n";
  }
  const std::string listPath = dir.write("compare.csv", list);
  const auto batchFigures = [&](const std::vector<uint32_t>& times, bool sideB) {
    std::string batchList = "sequence,groundtruth,system\n";
    for (std::size_t k = 0; k < sequences.size(); ++k) {
      for (uint32_t c = 0; c < times[k]; ++c) {
        batchList += "s" + std::to_string(k) + "_" + std::to_string(c) + "," +
                     sequences[k].groundTruth + "," + (sideB ? sequences[k].b : sequences[k].a) +
                     "\n";
      }
    }
    const Json batch = jsonOf(
        runTalmira({"batch", dir.write("batch.csv", batchList), "--ap", "--format", "json", "-q"}));
    return std::pair{batch["total"]["stats"][0].get<double>(),
                     batch["total"]["stats"][1].get<double>()};
  };
  const std::vector<std::string> arguments = {"compare",     "--dataset", listPath,  "--ap",
                                              "--resamples", "7",         "--level", "0.6",
                                              "--format",    "json",      "-q"};
  const ToolResult single = runTalmira(arguments);
  std::vector<std::string> threaded = arguments;
  threaded.insert(threaded.end(), {"-j", "3"});
  EXPECT_EQ(runTalmira(threaded).output, single.output);
  const Json result = jsonOf(single);
  EXPECT_EQ(result["units"], 3);
  EXPECT_EQ(result["unit"], "sequence");
  const std::vector<uint32_t> once = {1, 1, 1};
  const auto fa = batchFigures(once, false);
  const auto fb = batchFigures(once, true);
  EXPECT_EQ(result["figures"][0]["a"].get<double>(), fa.first);
  EXPECT_EQ(result["figures"][0]["b"].get<double>(), fb.first);
  EXPECT_EQ(result["figures"][1]["delta"].get<double>(), fb.second - fa.second);
  for (std::size_t k = 0; k < 3; ++k) {
    const auto alone = apFigures(sequences[k].groundTruth, sequences[k].a);
    EXPECT_EQ(result["sequences"][k]["map_a"].get<double>(), alone.first);
  }
  std::vector<double> maps, ap50s;
  for (const std::vector<uint32_t>& w : bootstrapDraws(1, 3, 7)) {
    const auto ra = batchFigures(w, false);
    const auto rb = batchFigures(w, true);
    maps.push_back(rb.first - ra.first);
    ap50s.push_back(rb.second - ra.second);
  }
  // k = floor(7 * 0.4 / 2) = 1.
  expectInterval(maps, 1, result["figures"][0]);
  expectInterval(ap50s, 1, result["figures"][1]);
}

// Without resampling variance: a detector against itself differs by 0 in
// every resample; one image is drawn every time, so every difference is
// the point's. This format's files are read as talmira ap reads them.
TEST(CompareApTest, CasesWithoutVariance) {
  TempDir dir;
  const std::string examples = TALMIRA_FORMATS_DATA "/../../../examples/";
  const std::string gt = examples + "groundtruth.csv";
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"compare", gt, examples + "systemoutput.csv", examples + "systemoutput.csv", "--ap"},
           {"compare", "--dataset", examples + "compare.csv", "--ap", "--c-a", "0.3", "--c-b",
            "0.3"}}) {
    std::vector<std::string> json = arguments;
    json.insert(json.end(), {"--format", "json", "--resamples", "200"});
    const Json result = jsonOf(runTalmira(json));
    if (arguments[1] == gt) {
      for (const Json& figure : result["figures"]) {
        EXPECT_EQ(figure["delta"], 0.0);
        EXPECT_EQ(figure["low"], 0.0);
        EXPECT_EQ(figure["high"], 0.0);
        EXPECT_EQ(figure["verdict"], "cannot tell");
      }
      const auto alone = apFigures(gt, examples + "systemoutput.csv");
      EXPECT_EQ(result["figures"][0]["a"].get<double>(), alone.first);
      EXPECT_EQ(result["units"], 6);  // the frames of the three files
    } else {
      // One sequence: every resample is the dataset itself.
      EXPECT_EQ(result["units"], 1);
      const Json ap = jsonOf(
          runTalmira({"ap", gt, examples + "systemoutput_b.csv", "-c", "0.3", "--format", "json"}));
      const Json& map = result["figures"][0];
      EXPECT_EQ(map["b"], ap["stats"][0]);
      EXPECT_EQ(map["low"], map["delta"]);
      EXPECT_EQ(map["high"], map["delta"]);
      EXPECT_NE(map["delta"], 0.0);
    }
  }
  // The default resamples of --ap, and --resamples.
  const Json defaults =
      jsonOf(runTalmira({"compare", gt, examples + "systemoutput.csv",
                         examples + "systemoutput_b.csv", "--ap", "--format", "json"}));
  EXPECT_EQ(defaults["resamples"], 1000);
}

TEST(CompareApTest, OptionsThatDoNotGoWithAp) {
  const std::string examples = TALMIRA_FORMATS_DATA "/../../../examples/";
  const std::vector<std::string> files = {
      examples + "groundtruth.csv", examples + "systemoutput.csv", examples + "systemoutput_b.csv"};
  TempDir dir;
  for (const std::vector<std::string>& extra :
       std::vector<std::vector<std::string>>{{"--ap", "--best"},
                                             {"--ap", "--block", "2"},
                                             {"--ap", "--report", dir.file("page.html")},
                                             {"--ap", "--rules", "kitti"},
                                             {"--iou-thresholds", "0.5"},
                                             {"--ap", "--max-dets", "1,10"},
                                             {"--ap", "--area-ranges", "small=0:1024"}}) {
    std::vector<std::string> arguments = {"compare"};
    arguments.insert(arguments.end(), files.begin(), files.end());
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const ToolResult r = runTalmira(arguments);
    EXPECT_EQ(r.status, 2) << extra.back() << ": " << r.errors;
    EXPECT_TRUE(r.output.empty());
  }
}

}  // namespace
}  // namespace talmira_test
