// `talmira batch --ap` and `talmira merge` of its parts, end to end: each
// sequence as `talmira ap` gives it, the dataset as `talmira ap` gives one
// pair of files holding every sequence's images, the parts merged into the
// single run's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/talmira/commands/precision_files.h"
#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;

Json jsonOf(const ToolResult& run, int status = 0) {
  EXPECT_EQ(run.status, status) << run.errors;
  return Json::parse(run.output);
}

// Each category's figures of a JSON output by name: the twelve where
// `batch` gives them, the seven `ap` gives where it does.
std::map<std::string, std::vector<double>> figuresByName(const Json& categories) {
  static const char* const kKeys[] = {"ap",        "ap50",     "ap75", "ap_small",
                                      "ap_medium", "ap_large", "ar100"};
  std::map<std::string, std::vector<double>> out;
  for (const Json& c : categories) {
    std::vector<double>& figures = out[c["name"].get<std::string>()];
    for (const char* key : kKeys) figures.push_back(c[key].get<double>());
    figures.push_back(c["ground_truth"].get<double>());
    figures.push_back(c["detections"].get<double>());
  }
  return out;
}

struct Dataset {
  TempDir dir;
  std::vector<CocoSequence> sequences;
  std::vector<std::pair<std::string, std::string>> files;  // per sequence
  std::string list;
};

// COCO sequences of overlapping categories (two names shared, the others
// their own, at ids of their own), or all of the same categories.
void makeDataset(Dataset& d, uint32_t seed, std::size_t count, bool sameCategories) {
  std::string list = "sequence,groundtruth,system\n";
  for (std::size_t k = 0; k < count; ++k) {
    const uint32_t s = sameCategories ? seed : seed + static_cast<uint32_t>(k);
    CocoSequence q = cocoSequence(s, 3 + (sameCategories ? 2 : k), 4 + 3 * k, {"car", "person"});
    if (sameCategories) {
      // The same categories (ids and names), other boxes.
      const CocoSequence other =
          cocoSequence(seed + 100 + static_cast<uint32_t>(k), 5, 4 + 3 * k, {"car", "person"});
      q.pair.truth = other.pair.truth;
      q.pair.system = other.pair.system;
      q.pair.frames = other.pair.frames;
    }
    d.sequences.push_back(std::move(q));
  }
  for (std::size_t k = 0; k < count; ++k) {
    const CocoPairText text = cocoText({&d.sequences[k]}, true);
    const std::string name = "s" + std::to_string(k);
    d.files.emplace_back(d.dir.write(name + "_gt.json", text.groundTruth),
                         d.dir.write(name + "_res.json", text.results));
    list += name + "," + d.files.back().first + "," + d.files.back().second + "\n";
  }
  d.list = d.dir.write("list.csv", list);
}

// Every sequence's figures are `talmira ap`'s of its pair; the pooled ones
// (the twelve and each category's) are `talmira ap`'s of one pair of files
// holding every sequence's images in list order: detections pooled, not
// figures averaged.
TEST(BatchApTest, SequencesAsApAndTheDatasetAsOnePairOfAllItsImages) {
  for (const bool same : {false, true}) {
    SCOPED_TRACE(same ? "same categories" : "categories of their own");
    Dataset d;
    makeDataset(d, same ? 40 : 20, 4, same);
    const Json batch = jsonOf(runTalmira({"batch", d.list, "--ap", "--format", "json"}));
    ASSERT_EQ(batch["sequences"].size(), 4u);
    double average = 0.0;
    for (std::size_t k = 0; k < d.files.size(); ++k) {
      SCOPED_TRACE(k);
      const Json alone =
          jsonOf(runTalmira({"ap", d.files[k].first, d.files[k].second, "--format", "json"}));
      const Json& s = batch["sequences"][k];
      EXPECT_EQ(s["stats"], alone["stats"]);
      EXPECT_EQ(figuresByName(s["categories"]), figuresByName(alone["categories"]));
      average += alone["stats"][0].get<double>() / 4;
    }
    std::vector<const CocoSequence*> all;
    for (const CocoSequence& q : d.sequences) all.push_back(&q);
    const CocoPairText joined = cocoText(all, false);
    const Json whole =
        jsonOf(runTalmira({"ap", d.dir.write("all_gt.json", joined.groundTruth),
                           d.dir.write("all_res.json", joined.results), "--format", "json"}));
    const Json& total = batch["total"];
    EXPECT_EQ(total["stats"], whole["stats"]);
    EXPECT_EQ(figuresByName(total["categories"]), figuresByName(whole["categories"]));
    EXPECT_EQ(total["images"], 4 + 7 + 10 + 13);
    EXPECT_NE(total["stats"][0].get<double>(), average);  // pooled, not averaged
    // The categories: every sequence's by name, in order of first appearance;
    // the sequences' own ids when they all have the same.
    std::vector<std::string> names;
    for (const Json& c : whole["categories"]) names.push_back(c["name"]);
    std::vector<std::string> pooledNames;
    for (const Json& c : total["categories"]) pooledNames.push_back(c["name"]);
    EXPECT_EQ(pooledNames, names);
    if (same) {
      EXPECT_EQ(total["categories"][0]["id"], batch["sequences"][0]["categories"][0]["id"]);
    }
    // The same pairs as two folders, paired by name: the same figures.
    std::filesystem::create_directories(d.dir.path() / "truth");
    std::filesystem::create_directories(d.dir.path() / "detections");
    for (std::size_t k = 0; k < d.files.size(); ++k) {
      const std::string name = "s" + std::to_string(k) + ".json";
      std::filesystem::copy_file(d.files[k].first, d.dir.path() / "truth" / name);
      std::filesystem::copy_file(d.files[k].second, d.dir.path() / "detections" / name);
    }
    const Json folders = jsonOf(runTalmira({"batch", "--gt-dir", d.dir.file("truth"), "--sys-dir",
                                            d.dir.file("detections"), "--ap", "--format", "json"}));
    EXPECT_EQ(folders["total"], total);
    for (std::size_t k = 0; k < d.files.size(); ++k) {
      EXPECT_EQ(folders["sequences"][k]["stats"], batch["sequences"][k]["stats"]);
    }
  }
}

// Shards, merged in any order, give the single run's bytes in every format,
// whatever -j, with a sequence of this format's files and one that fails;
// parts of another run are refused.
TEST(BatchApTest, ShardsMergeIntoTheSingleRun) {
  Dataset d;
  makeDataset(d, 60, 3, false);
  const std::string examples = TALMIRA_FORMATS_DATA "/../../../examples/";
  std::string list = readFile(d.list);
  list += "street," + examples + "groundtruth.csv," + examples + "systemoutput.csv\n";
  list += "broken," + d.dir.write("bad.json", "{") + "," + d.files[0].second + "\n";
  const std::string listPath = d.dir.write("mixed.csv", list);
  const std::vector<std::string> parameters = {"--iou-thresholds", "0.3:0.9:7", "--max-dets",
                                               "1,5,100",          "-c",        "0.15"};
  const auto withParameters = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), parameters.begin(), parameters.end());
    return arguments;
  };
  std::vector<std::string> parts;
  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    parts.push_back(d.dir.file(std::string("part") + shard[0] + ".json"));
    const ToolResult r = runTalmira(
        withParameters({"batch", listPath, "--ap", "--shard", shard, "-o", parts.back()}));
    // Position 4 (the broken one) is in shard 2/3.
    EXPECT_EQ(r.status, shard[0] == '2' ? 1 : 0) << r.errors;
  }
  for (const char* format : {"text", "csv", "json"}) {
    SCOPED_TRACE(format);
    const ToolResult single =
        runTalmira(withParameters({"batch", listPath, "--ap", "--format", format, "-j", "1"}));
    EXPECT_EQ(single.status, 1);
    EXPECT_NE(single.errors.find("1 of 5 sequences failed"), std::string::npos) << single.errors;
    const ToolResult threaded =
        runTalmira(withParameters({"batch", listPath, "--ap", "--format", format, "-j", "3"}));
    EXPECT_EQ(threaded.output, single.output);
    const ToolResult merged =
        runTalmira({"merge", parts[2], parts[0], parts[1], "--format", format});
    EXPECT_EQ(merged.status, 1);
    EXPECT_EQ(merged.output, single.output);
    EXPECT_FALSE(single.output.empty());
  }
  // This format's sequence as `talmira ap` gives it, at the same parameters.
  const Json batch = Json::parse(
      runTalmira(withParameters({"batch", listPath, "--ap", "--format", "json"})).output);
  const Json street = jsonOf(runTalmira(withParameters(
      {"ap", examples + "groundtruth.csv", examples + "systemoutput.csv", "--format", "json"})));
  EXPECT_EQ(batch["sequences"][3]["stats"], street["stats"]);
  EXPECT_TRUE(batch["sequences"][4].contains("error"));

  // No dataset page of average precision yet.
  const ToolResult page =
      runTalmira({"merge", parts[0], parts[1], parts[2], "--report", d.dir.file("page.html")});
  EXPECT_EQ(page.status, 1);
  EXPECT_NE(page.errors.find("--report with --ap is not available"), std::string::npos);
  EXPECT_TRUE(readFile(d.dir.file("page.html")).empty());

  // A part of a run without --ap, or of other parameters, is refused.
  const std::string plain = d.dir.file("plain.json");
  runTalmira({"batch", listPath, "--shard", "1/3", "-o", plain, "-c", "0.15"});
  const std::string other = d.dir.file("other.json");
  runTalmira({"batch", listPath, "--ap", "--shard", "1/3", "-o", other, "-c", "0.15"});
  for (const std::string& stranger : {plain, other}) {
    const ToolResult r = runTalmira({"merge", stranger, parts[1], parts[2]});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("is a part of another run"), std::string::npos) << r.errors;
  }
}

// A damaged part is refused with the reason, not read past its lists.
TEST(BatchApTest, DamagedPartsAreRefused) {
  Dataset d;
  makeDataset(d, 80, 2, false);
  const std::string part = d.dir.file("part.json");
  ASSERT_EQ(runTalmira({"batch", d.list, "--ap", "--shard", "1/1", "-o", part}).status, 0);
  const Json good = Json::parse(readFile(part));
  int made = 0;
  const auto damaged = [&](const std::string& field, const Json& value) {
    Json bad = good;
    bad["sequences"][0]["precision"][field] = value;
    return d.dir.write("bad" + std::to_string(made++) + ".json", bad.dump());
  };
  const std::string cells = good["sequences"][0]["precision"]["cells"];
  const std::string scores = good["sequences"][0]["precision"]["scores"];
  for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
           {damaged("cells", cells + " 0"), "the images or cells are not whole"},
           {damaged("cells",
                    "99 0 1 " + cells.substr(
                                    cells.find(' ', cells.find(' ', cells.find(' ') + 1) + 1) + 1)),
            "is out of place"},
           {damaged("scores", scores + " 0.5"), "do not agree with its cells"},
           {damaged("scores", "x" + scores), "not a number"},
           {damaged("matched", "1"), "do not agree with its cells"},
           {damaged("images", 0), "is out of place"}}) {
    const ToolResult r = runTalmira({"merge", path});
    EXPECT_EQ(r.status, 1) << why;
    EXPECT_NE(r.errors.find(why), std::string::npos) << r.errors;
    EXPECT_TRUE(r.output.empty());
  }
}

// The corpus's COCO pair cut into four sequences of 25 images (in id order,
// every category in each): the dataset's twelve figures and each category's
// AP and AP50 are pycocotools' figures of the whole pair, and so are those
// of the shards merged.
TEST(BatchApTest, CorpusPairCutIntoSequencesPoolsToTheEvaluatorsFigures) {
  const char* given = std::getenv("TALMIRA_CONFORMANCE_DIR");
  const std::string corpus =
      given != nullptr ? given : TALMIRA_FORMATS_DATA "/../../../../shared/conformance";
  const std::string truthPath = corpus + "/coco/instances_val2014_100.json";
  const std::string resultsPath = corpus + "/coco/instances_val2014_fakebbox100_results.json";
  if (readFile(truthPath).empty()) {
    if (std::getenv("CI") != nullptr) FAIL() << "the conformance corpus is missing: " << corpus;
    GTEST_SKIP() << "no conformance corpus at " << corpus;
  }
  const Json truth = Json::parse(readFile(truthPath));
  const Json results = Json::parse(readFile(resultsPath));
  const Json expected = Json::parse(readFile(corpus + "/expected/coco.json"))
      ["cases"]["instances_val2014_100.json instances_val2014_fakebbox100_results.json"];
  std::vector<int64_t> ids;
  for (const Json& image : truth["images"]) ids.push_back(image["id"].get<int64_t>());
  std::sort(ids.begin(), ids.end());
  ASSERT_EQ(ids.size(), 100u);
  TempDir dir;
  std::string list = "sequence,groundtruth,system\n";
  for (std::size_t s = 0; s < 4; ++s) {
    const int64_t low = ids[25 * s], high = ids[25 * s + 24];
    const auto inside = [&](const Json& item) {
      const int64_t id =
          item.contains("image_id") ? item["image_id"].get<int64_t>() : item["id"].get<int64_t>();
      return id >= low && id <= high;
    };
    Json part{{"images", Json::array()},
              {"annotations", Json::array()},
              {"categories", truth["categories"]}};
    for (const Json& image : truth["images"]) {
      if (inside(image)) part["images"].push_back(image);
    }
    for (const Json& a : truth["annotations"]) {
      if (inside(a)) part["annotations"].push_back(a);
    }
    Json detections = Json::array();
    for (const Json& d : results) {
      if (inside(d)) detections.push_back(d);
    }
    const std::string name = "part" + std::to_string(s);
    list += name + "," + dir.write(name + "_gt.json", part.dump()) + "," +
            dir.write(name + "_res.json", detections.dump()) + "\n";
  }
  const std::string listPath = dir.write("list.csv", list);
  const Json batch = jsonOf(runTalmira({"batch", listPath, "--ap", "--format", "json", "-j", "2"}));
  const Json& total = batch["total"];
  EXPECT_EQ(total["stats"], expected["stats"]);
  EXPECT_EQ(total["images"], 100);
  ASSERT_EQ(total["categories"].size(), 80u);
  for (const Json& c : total["categories"]) {
    const Json& want = expected["per_category"][c["name"].get<std::string>()];
    EXPECT_EQ(c["ap"], want["ap"]) << c["name"];
    EXPECT_EQ(c["ap50"], want["ap50"]) << c["name"];
  }
  std::vector<std::string> merge = {"merge", "--format", "json"};
  for (const char* shard : {"1/2", "2/2"}) {
    merge.push_back(dir.file(std::string("shard") + shard[0] + ".json"));
    ASSERT_EQ(runTalmira({"batch", listPath, "--ap", "--shard", shard, "-o", merge.back()}).status,
              0);
  }
  EXPECT_EQ(Json::parse(runTalmira(merge).output), batch);
}

TEST(BatchApTest, OptionsThatDoNotGoWithAp) {
  Dataset d;
  makeDataset(d, 90, 1, false);
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"batch", d.list, "--ap", "--sweep"},
           {"batch", d.list, "--ap", "--explain"},
           {"batch", d.list, "--iou-thresholds", "0.5"},
           {"batch", d.list, "--ap", "--report", d.dir.file("r.html")},
           {"batch", d.list, "--ap", "--view", d.dir.file("views")},
           {"batch", d.list, "--ap", "--rules", "mot"},
           {"batch", d.list, "--ap", "--iou-thresholds", "0.5:1.2:3"},
           {"batch", d.list, "--ap", "--shard", "1/2", "--format", "csv"}}) {
    const ToolResult r = runTalmira(arguments);
    EXPECT_EQ(r.status, 2) << arguments.back() << ": " << r.errors;
    EXPECT_TRUE(r.output.empty());
  }
}

}  // namespace
}  // namespace talmira_test
