// `talmira batch --track` and `talmira merge` of its parts, end to end:
// each sequence as `talmira track` gives it, the corpus' three MOT17
// sequences combined into the evaluator's COMBINED figures, the parts
// merged into the single run's bytes, and parts that do not belong
// together or are damaged refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

Json jsonOf(const ToolResult& run, int status = 0) {
  EXPECT_EQ(run.status, status) << run.errors;
  return run.output.empty() ? Json() : Json::parse(run.output);
}

const std::string kExamples = TALMIRA_FORMATS_DATA "/../../../examples/tracking-dataset/";

std::string corpusDir() {
  const char* given = std::getenv("TALMIRA_CONFORMANCE_DIR");
  return given != nullptr ? given : TALMIRA_FORMATS_DATA "/../../../../shared/conformance";
}

// Skips the test, or fails it in CI, when the corpus is not there.
#define REQUIRE_CORPUS_FILE(path)                                                                  \
  do {                                                                                             \
    if (!fs::exists(path)) {                                                                       \
      if (std::getenv("CI") != nullptr) FAIL() << "the conformance corpus is missing: " << (path); \
      GTEST_SKIP() << "no conformance corpus at " << corpusDir() << " (" << (path)                 \
                   << " is missing)";                                                              \
    }                                                                                              \
  } while (false)

const char* const kCorpusSequences[] = {"MOT17-02-FRCNN", "MOT17-05-FRCNN", "MOT17-09-FRCNN"};

// How `got` (talmira's JSON measures) agrees with `want` (the evaluator's):
// every figure, each per-alpha value on its own.
struct Agreement {
  int values = 0;
  int bitEqual = 0;
  double worst = 0.0;
};
Agreement agree(const Json& got, const Json& want, const std::string& where) {
  Agreement a;
  for (const auto& [key, expected] : want.items()) {
    SCOPED_TRACE(where + " " + key);
    if (!got.contains(key)) {
      ADD_FAILURE() << "no figure " << key;
      continue;
    }
    const Json& value = got[key];
    const Json wanted = expected.is_array() ? expected : Json::array({expected});
    const Json have = value.is_array() ? value : Json::array({value});
    if (have.size() != wanted.size()) {
      ADD_FAILURE() << "a list of " << have.size() << ", not " << wanted.size();
      continue;
    }
    for (std::size_t k = 0; k < wanted.size(); ++k) {
      const double w = wanted[k].get<double>();
      const double g = have[k].get<double>();
      ++a.values;
      a.bitEqual += g == w ? 1 : 0;
      a.worst = std::max(a.worst, std::fabs(g - w));
      if (have[k].is_number_integer()) {
        EXPECT_EQ(g, w) << "a count";
      } else {
        EXPECT_NEAR(g, w, 1e-12);
      }
    }
  }
  return a;
}

// The corpus' three MOT17 sequences: the combined figures are the
// evaluator's COMBINED row (every figure and per-alpha value, counts
// equal, ratios within 1e-12; the test says how many are bit-equal), each
// sequence's its row and `talmira track`'s, and two shards merged give the
// same bytes.
TEST(BatchTrackTest, CorpusSequencesCombineToTheEvaluatorsCombinedRow) {
  const std::string corpus = corpusDir();
  const std::string expectedPath = corpus + "/expected/tracking.json";
  REQUIRE_CORPUS_FILE(expectedPath);
  for (const char* name : kCorpusSequences) {
    REQUIRE_CORPUS_FILE(corpus + "/mot17/" + name + "/gt.txt");
  }
  const Json expected = Json::parse(readFile(expectedPath))["mot17"]["sequences"];
  TempDir dir;
  std::string list = "sequence,groundtruth,system\n";
  for (const char* name : kCorpusSequences) {
    const std::string folder = corpus + "/mot17/" + name + "/";
    list += std::string(name) + "," + folder + "gt.txt," + folder + "MPNTrack.txt\n";
  }
  const std::string listPath = dir.write("list.csv", list);
  const ToolResult single =
      runTalmira({"batch", listPath, "--track", "--format", "json", "-j", "2"});
  const Json batch = jsonOf(single);
  ASSERT_EQ(batch["total"]["classes"].size(), 1u);
  const Json& total = batch["total"]["classes"][0];
  EXPECT_EQ(total["class"], "pedestrian");
  EXPECT_EQ(total["sequences"], 3);
  const Agreement combined = agree(total["measures"], expected["COMBINED"], "COMBINED");
  EXPECT_EQ(combined.values, 271);
  std::cout << "COMBINED: " << combined.bitEqual << " of " << combined.values
            << " figures bit-equal to the evaluator's, the largest difference " << combined.worst
            << "\n";
  ASSERT_EQ(batch["sequences"].size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const Json& s = batch["sequences"][k];
    const std::string name = kCorpusSequences[k];
    EXPECT_EQ(s["sequence"], name);
    EXPECT_EQ(s["rules"], "mot");
    EXPECT_EQ(s["length_from"], "seqinfo.ini");
    const Agreement row = agree(s["classes"][0]["measures"], expected[name], name);
    std::cout << name << ": " << row.bitEqual << " of " << row.values << " bit-equal\n";
    const Json alone =
        jsonOf(runTalmira({"track", s["groundtruth"], s["system"], "--format", "json"}));
    EXPECT_EQ(s["classes"], alone["classes"]) << name;
    EXPECT_EQ(s["frames"], alone["frames"]) << name;
  }
  std::vector<std::string> merge = {"merge", "--format", "json"};
  for (const char* shard : {"1/2", "2/2"}) {
    merge.push_back(dir.file(std::string("part") + shard[0] + ".json"));
    ASSERT_EQ(
        runTalmira({"batch", listPath, "--track", "--shard", shard, "-o", merge.back()}).status, 0);
  }
  EXPECT_EQ(runTalmira(merge).output, single.output);
}

// A dataset beside the examples' six sequences: a tracker cut short, a
// tracker with no box at all (the evaluator's early return), a tracker
// file that is missing (the sequence fails), names to be quoted in CSV,
// the example files reached through the list's folder.
struct Dataset {
  TempDir dir;
  std::string list;
};
void makeDataset(Dataset& d) {
  std::string list = "sequence,groundtruth,system\n";
  for (int k = 1; k <= 6; ++k) {
    const std::string name = "SEQ-0" + std::to_string(k);
    list += name + "," + kExamples + "gt/" + name + "/gt/gt.txt," + kExamples + "trackers/a/" +
            name + ".txt\n";
  }
  const std::vector<std::string> lines = splitLines(readFile(kExamples + "trackers/a/SEQ-02.txt"));
  std::string shortTracker;
  for (std::size_t k = 0; k < lines.size() / 3; ++k) shortTracker += lines[k] + "\n";
  list += "\"cut, short\"," + kExamples + "gt/SEQ-02/gt/gt.txt," +
          d.dir.write("short.txt", shortTracker) + "\n";
  list +=
      "nothing found," + kExamples + "gt/SEQ-03/gt/gt.txt," + d.dir.write("none.txt", "") + "\n";
  list += "lost," + kExamples + "gt/SEQ-04/gt/gt.txt," + d.dir.file("nowhere.txt") + "\n";
  d.list = d.dir.write("list.csv", list);
}

// Shards in any number and order merge into the single run's bytes in every
// format, with a failed sequence (status 1 from both) and with -c; each
// sequence's figures are `talmira track`'s; the sequence without tracker
// boxes counts its ground truth as missed in the combined figures.
TEST(BatchTrackTest, ShardsMergeIntoTheSingleRunsBytes) {
  Dataset d;
  makeDataset(d);
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{},
        std::vector<std::string>{"-c", "0.5", "--track-rules", "mot"}}) {
    SCOPED_TRACE(extra.empty() ? "defaults" : "-c 0.5 --track-rules mot");
    std::vector<std::string> batch = {"batch", d.list, "--track", "-q"};
    batch.insert(batch.end(), extra.begin(), extra.end());
    for (const std::size_t shards : {std::size_t{1}, std::size_t{3}, std::size_t{4}}) {
      std::vector<std::string> merge = {"merge"};
      for (std::size_t k = shards; k >= 1; --k) {  // the parts in reverse order
        const std::string part = d.dir.file("part" + std::to_string(k) + ".json");
        std::vector<std::string> run = batch;
        run.insert(run.end(),
                   {"--shard", std::to_string(k) + "/" + std::to_string(shards), "-o", part});
        const ToolResult r = runTalmira(run);
        // The missing tracker file is at position 8.
        EXPECT_EQ(r.status, 8 % shards == k - 1 ? 1 : 0) << r.errors;
        merge.push_back(part);
      }
      for (const char* format : {"text", "csv", "json"}) {
        SCOPED_TRACE(std::to_string(shards) + " shards, " + format);
        std::vector<std::string> single = batch;
        single.insert(single.end(), {"--format", format, "-j", "2"});
        std::vector<std::string> merged = merge;
        merged.insert(merged.end(), {"--format", format});
        const ToolResult one = runTalmira(single);
        const ToolResult joined = runTalmira(merged);
        EXPECT_EQ(one.status, 1);
        EXPECT_EQ(joined.status, 1);
        EXPECT_EQ(joined.output, one.output);
        EXPECT_NE(joined.errors.find("1 of 9 sequences failed"), std::string::npos)
            << joined.errors;
      }
    }
    std::vector<std::string> asJson = batch;
    asJson.insert(asJson.end(), {"--format", "json"});
    const Json result = jsonOf(runTalmira(asJson), 1);
    ASSERT_EQ(result["sequences"].size(), 9u);
    EXPECT_TRUE(result["sequences"][8].contains("error"));
    if (extra.empty()) {
      EXPECT_TRUE(result["confidence"].is_null());
    } else {
      EXPECT_EQ(result["confidence"], 0.5);
    }
    int64_t missed = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      const Json& s = result["sequences"][k];
      std::vector<std::string> track = {"track", s["groundtruth"], s["system"], "--format", "json"};
      if (!extra.empty()) track.insert(track.end(), {"-c", "0.5", "--rules", "mot"});
      const Json alone = jsonOf(runTalmira(track));
      EXPECT_EQ(s["classes"], alone["classes"]) << s["sequence"];
      missed += s["classes"][0]["measures"]["CLR_FN"].get<int64_t>();
    }
    const Json& nothing = result["sequences"][7]["classes"][0]["measures"];
    EXPECT_EQ(nothing["CLR_TP"], 0);
    EXPECT_GT(nothing["CLR_FN"].get<int64_t>(), 0);
    EXPECT_EQ(result["total"]["sequences"], 8);
    EXPECT_EQ(result["total"]["failed"], 1);
    EXPECT_EQ(result["total"]["classes"][0]["measures"]["CLR_FN"], missed);
  }
}

// The MOTChallenge layout from two folders: a folder per sequence with
// gt/gt.txt beside seqinfo.ini, paired with the tracker folder's
// SEQUENCE.txt; the same figures as the list of the same files. A tracker
// file without its sequence fails; folders without gt/gt.txt are none.
TEST(BatchTrackTest, MotLayoutFoldersPairLikeTheList) {
  TempDir dir;
  const fs::path truth = dir.path() / "train";
  const fs::path trackers = dir.path() / "tracker";
  fs::create_directories(trackers);
  fs::create_directories(truth / "notes");
  std::string list = "sequence,groundtruth,system\n";
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "SEQ-0" + std::to_string(k);
    fs::copy(kExamples + "gt/" + name, truth / name, fs::copy_options::recursive);
    fs::copy_file(kExamples + "trackers/b/" + name + ".txt", trackers / (name + ".txt"));
    list += name + "," + (truth / name / "gt" / "gt.txt").string() + "," +
            (trackers / (name + ".txt")).string() + "\n";
  }
  const Json listed =
      jsonOf(runTalmira({"batch", dir.write("list.csv", list), "--track", "--format", "json"}));
  const Json paired = jsonOf(runTalmira({"batch", "--track", "--gt-dir", truth.string(),
                                         "--sys-dir", trackers.string(), "--format", "json"}));
  EXPECT_EQ(paired["total"], listed["total"]);
  ASSERT_EQ(paired["sequences"].size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(paired["sequences"][k]["sequence"], listed["sequences"][k]["sequence"]);
    EXPECT_EQ(paired["sequences"][k]["classes"], listed["sequences"][k]["classes"]);
    EXPECT_EQ(paired["sequences"][k]["length_from"], "seqinfo.ini");
  }
  fs::copy_file(kExamples + "trackers/b/SEQ-04.txt", trackers / "SEQ-04.txt");
  const ToolResult lonely =
      runTalmira({"batch", "--track", "--gt-dir", truth.string(), "--sys-dir", trackers.string()});
  EXPECT_EQ(lonely.status, 1);
  EXPECT_NE(lonely.errors.find("SEQ-04.txt: no ground truth of that name"), std::string::npos)
      << lonely.errors;
}

// Parts of runs with other settings, or damaged sums, are refused (status
// 1, naming the part); a LIST line's formats are track formats.
TEST(BatchTrackTest, RefusesPartsOfOtherRunsAndDamagedSums) {
  TempDir dir;
  std::string list = "sequence,groundtruth,system\n";
  for (int k = 1; k <= 2; ++k) {
    const std::string name = "SEQ-0" + std::to_string(k);
    list += name + "," + kExamples + "gt/" + name + "/gt/gt.txt," + kExamples + "trackers/a/" +
            name + ".txt\n";
  }
  const std::string listPath = dir.write("list.csv", list);
  const std::string one = dir.file("one.json"), two = dir.file("two.json");
  ASSERT_EQ(runTalmira({"batch", listPath, "--track", "--shard", "1/2", "-o", one}).status, 0);
  ASSERT_EQ(
      runTalmira({"batch", listPath, "--track", "-c", "0.5", "--shard", "2/2", "-o", two}).status,
      0);
  ToolResult r = runTalmira({"merge", one, two});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("is a part of another run"), std::string::npos) << r.errors;
  EXPECT_NE(r.errors.find("--track -c 0.5"), std::string::npos) << r.errors;
  // Without --track the MOT files are read as files of this format and fail.
  ASSERT_EQ(runTalmira({"batch", listPath, "--shard", "2/2", "-o", two}).status, 1);
  r = runTalmira({"merge", one, two});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("without --sweep or --explain"), std::string::npos) << r.errors;
  ASSERT_EQ(runTalmira({"batch", listPath, "--track", "--shard", "2/2", "-o", two}).status, 0);
  r = runTalmira({"merge", one, two, "--report", dir.file("page.html")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("--report with --track is not available"), std::string::npos) << r.errors;
  EXPECT_FALSE(fs::exists(dir.file("page.html")));

  const Json part = Json::parse(readFile(one));
  const auto damaged = [&](const std::string& key, const Json& value) {
    Json copy = part;
    copy["sequences"][0]["tracking"]["classes"][0]["sums"][key] = value;
    return dir.write("damaged_" + key + ".json", copy.dump());
  };
  Json tp = part["sequences"][0]["tracking"]["classes"][0]["sums"]["hota_tp"];
  tp[3] = 2.5;
  Json shortList = tp;
  shortList.erase(0);
  Json clear = part["sequences"][0]["tracking"]["classes"][0]["sums"]["clear"];
  clear[2] = -4;
  for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
           {damaged("hota_tp", tp), "not a count"},
           {damaged("hota_fn", shortList), "is not a list of 19 numbers"},
           {damaged("clear", clear), "is not a count"},
           {damaged("motp_sum", "x"), "is not a finite number"},
           {damaged("empty", 1), "empty is not true or false"}}) {
    r = runTalmira({"merge", path, two});
    EXPECT_EQ(r.status, 1) << why;
    EXPECT_NE(r.errors.find(why), std::string::npos) << r.errors;
    EXPECT_TRUE(r.output.empty());
  }

  const std::string formats = dir.write(
      "formats.csv", "sequence,groundtruth,system,gt_format,sys_format\nSEQ-01," + kExamples +
                         "gt/SEQ-01/gt/gt.txt," + kExamples + "trackers/a/SEQ-01.txt,mot16,\n");
  const Json withFormats = jsonOf(runTalmira({"batch", formats, "--track", "--format", "json"}));
  const Json plain = jsonOf(runTalmira({"track", kExamples + "gt/SEQ-01/gt/gt.txt",
                                        kExamples + "trackers/a/SEQ-01.txt", "--format", "json"}));
  EXPECT_EQ(withFormats["sequences"][0]["classes"], plain["classes"]);
  r = runTalmira({"batch",
                  dir.write("coco.csv",
                            "sequence,groundtruth,system,gt_format,sys_format\n"
                            "SEQ-01,a.txt,b.txt,coco,\n"),
                  "--track"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("\"coco\" is no track format"), std::string::npos) << r.errors;
}

// What --track does not go with, refused before anything is read (status 2).
TEST(BatchTrackTest, OptionsThatDoNotGoWithTrack) {
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--report", "page.html"},
                                             {"--view", "pages"},
                                             {"--rules", "mot"},
                                             {"--sys-format", "coco"},
                                             {"--classes", "map.csv"},
                                             {"--track-rules", "nothing"},
                                             {"--gt-format", "talmira"},
                                             {"--ap"},
                                             {"--sweep"}}) {
    std::vector<std::string> run = {"batch", kExamples + "dataset.csv", "--track"};
    run.insert(run.end(), arguments.begin(), arguments.end());
    const ToolResult r = runTalmira(run);
    EXPECT_EQ(r.status, 2) << arguments[0] << ": " << r.errors;
    EXPECT_TRUE(r.output.empty()) << arguments[0];
  }
  EXPECT_EQ(runTalmira({"batch", kExamples + "dataset.csv", "--track-rules", "mot"}).status, 2);
}

}  // namespace
}  // namespace talmira_test
