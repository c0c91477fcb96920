// batch --stability and compare --stability run as the real executable on a
// hand-made dataset of two sequences whose errors, per sequence and pooled
// over the dataset's tracks, are worked out beside them; the shards merged;
// the refusals with their statuses.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

using talmira_test::readFile;
using talmira_test::runTalmira;
using talmira_test::TempDir;

namespace {

const std::string kHeader =
    "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";

std::string record(int frame, int x, int y, int w, int h, const std::string& identity) {
  std::ostringstream out;
  out << frame << "," << x << "," << y << "," << x + w << "," << y << "," << x + w << "," << y + h
      << "," << x << "," << y + h << ",Person,FALSE,FALSE,1.0," << identity << ",0\n";
  return out.str();
}

// Sequence one, six frames, people 40 x 80:
// - shift: the box trails it by 4 throughout (no spread: 0, 0, 0);
// - jitter: the box 4 right, then 4 left (e_x = +-0.1: E_C 0.1);
// - blink: found in frames 1, 3, 5 (5 changes over 5 steps: E_F 1);
// - lost: never found (left out).
// Used 3: sums E_F 1, E_C 0.1, E_R 0.
//
// Sequence two:
// - still and still2: found exactly in all six frames (0, 0, 0);
// - half: found exactly in frames 1 to 3, not after (1 change over 5: E_F 0.2);
// - grow: four frames, the box exact in two and 44 x 88 about the same
//   centre in two (e_s 0, 0, 0.1, 0.1: sd 0.05, E_R 0.05).
// Used 4: sums E_F 0.2, E_C 0, E_R 0.05.
//
// Pooled over the 7 tracks used: E_F 1.2/7, E_C 0.1/7, E_R 0.05/7, sum 1.35/7
// (the mean of the sequences' means would give E_F (1/3 + 0.05) / 2).
struct Dataset {
  std::string list;
  std::string compareList;
  std::string firstTruth;
};

Dataset handMade(const TempDir& dir, bool identities = true) {
  std::string gt1 = kHeader, det1 = kHeader, gt2 = kHeader, det2 = kHeader;
  std::string perfect1 = kHeader, perfect2 = kHeader;
  const auto id = [identities](const std::string& name) { return identities ? name : ""; };
  for (int f = 1; f <= 6; ++f) {
    gt1 += record(f, 100 + 10 * f, 100, 40, 80, id("shift"));
    gt1 += record(f, 400, 100, 40, 80, id("jitter"));
    gt1 += record(f, 700, 100, 40, 80, id("blink"));
    gt1 += record(f, 1000, 100, 40, 80, id("lost"));
    det1 += record(f, 96 + 10 * f, 100, 40, 80, "");
    det1 += record(f, f % 2 == 1 ? 404 : 396, 100, 40, 80, "");
    if (f % 2 == 1) det1 += record(f, 700, 100, 40, 80, "");
    for (const int x : {100 + 10 * f, 400, 700, 1000}) perfect1 += record(f, x, 100, 40, 80, "");

    gt2 += record(f, 100, 300, 40, 80, id("still"));
    gt2 += record(f, 400, 300, 40, 80, id("still2"));
    gt2 += record(f, 700, 300, 40, 80, id("half"));
    det2 += record(f, 100, 300, 40, 80, "");
    det2 += record(f, 400, 300, 40, 80, "");
    if (f <= 3) det2 += record(f, 700, 300, 40, 80, "");
    perfect2 += record(f, 100, 300, 40, 80, "") + record(f, 400, 300, 40, 80, "") +
                record(f, 700, 300, 40, 80, "");
    if (f <= 4) {
      gt2 += record(f, 1000, 300, 40, 80, id("grow"));
      det2 += f <= 2 ? record(f, 1000, 300, 40, 80, "") : record(f, 998, 296, 44, 88, "");
      perfect2 += record(f, 1000, 300, 40, 80, "");
    }
  }
  Dataset d;
  d.firstTruth = dir.write("gt1.csv", gt1);
  dir.write("det1.csv", det1);
  dir.write("gt2.csv", gt2);
  dir.write("det2.csv", det2);
  dir.write("perfect1.csv", perfect1);
  dir.write("perfect2.csv", perfect2);
  d.list = dir.write("dataset.csv",
                     "sequence,groundtruth,system\none,gt1.csv,det1.csv\ntwo,gt2.csv,det2.csv\n");
  d.compareList = dir.write("compare.csv",
                            "sequence,groundtruth,system_a,system_b\n"
                            "one,gt1.csv,det1.csv,perfect1.csv\n"
                            "two,gt2.csv,det2.csv,perfect2.csv\n");
  return d;
}

const nlohmann::json& named(const nlohmann::json& rows, const std::string& name) {
  for (const nlohmann::json& row : rows) {
    if (row["class"] == name) return row;
  }
  static const nlohmann::json none;
  ADD_FAILURE() << "no class " << name << " in " << rows.dump();
  return none;
}

void expectErrors(const nlohmann::json& row, int tracks, int leftOut, double fragment,
                  double centre, double scaleRatio) {
  EXPECT_EQ(row["tracks"], tracks) << row.dump();
  EXPECT_EQ(row["left_out"], leftOut) << row.dump();
  EXPECT_NEAR(row["fragment_error"].get<double>(), fragment, 1e-12) << row.dump();
  EXPECT_NEAR(row["centre_error"].get<double>(), centre, 1e-12) << row.dump();
  EXPECT_NEAR(row["scale_ratio_error"].get<double>(), scaleRatio, 1e-12) << row.dump();
  EXPECT_NEAR(row["sum"].get<double>(), fragment + centre + scaleRatio, 1e-12) << row.dump();
}

TEST(StabilityDatasetTest, BatchPoolsOverEveryTrackOfTheDataset) {
  TempDir dir;
  const Dataset d = handMade(dir);
  const auto run =
      runTalmira({"batch", d.list, "--stability", "--ids", "text", "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const nlohmann::json json = nlohmann::json::parse(run.output);
  ASSERT_EQ(json["sequences"].size(), 2u);
  expectErrors(named(json["sequences"][0]["classes"], "All"), 3, 1, 1.0 / 3, 0.1 / 3, 0.0);
  expectErrors(named(json["sequences"][1]["classes"], "Person"), 4, 0, 0.05, 0.0, 0.0125);
  const nlohmann::json& pooled = named(json["total"]["classes"], "All");
  expectErrors(pooled, 7, 1, 1.2 / 7, 0.1 / 7, 0.05 / 7);
  EXPECT_EQ(pooled["sequences"], 2);
  // The pool is no mean of the sequences' means.
  EXPECT_GT(std::abs(pooled["fragment_error"].get<double>() - (1.0 / 3 + 0.05) / 2), 0.01);
  EXPECT_EQ(json["matching"], "detection");

  // The text: the pooled table and each sequence.
  const auto text = runTalmira({"batch", d.list, "--stability", "--ids", "text"});
  ASSERT_EQ(text.status, 0) << text.errors;
  EXPECT_NE(text.output.find("0.171429  0.014286  0.007143  0.192857"), std::string::npos)
      << text.output;
  EXPECT_NE(text.output.find("Matching: talmira score's"), std::string::npos) << text.output;
}

TEST(StabilityDatasetTest, ShardsMergeToTheBytesOfOneRun) {
  TempDir dir;
  const Dataset d = handMade(dir);
  for (const std::string format : {"text", "csv", "json"}) {
    const auto whole =
        runTalmira({"batch", d.list, "--stability", "--ids", "text", "--format", format});
    ASSERT_EQ(whole.status, 0) << whole.errors;
    std::vector<std::string> parts;
    for (const std::string shard : {"1/2", "2/2"}) {
      const std::string part = dir.file("part" + shard.substr(0, 1) + ".json");
      const auto run = runTalmira(
          {"batch", d.list, "--stability", "--ids", "text", "--shard", shard, "-o", part});
      ASSERT_EQ(run.status, 0) << run.errors;
      parts.push_back(part);
    }
    const auto merged = runTalmira({"merge", parts[1], parts[0], "--format", format});
    ASSERT_EQ(merged.status, 0) << merged.errors;
    EXPECT_EQ(merged.output, whole.output) << format;
    // A part missing is refused, and the output is left untouched.
    const std::string out = dir.file("merged.txt");
    const auto missing = runTalmira({"merge", parts[0], "-o", out});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.errors.find("no part holds position 1"), std::string::npos) << missing.errors;
    EXPECT_EQ(readFile(out), "");
  }
  // A part of the counts' batch and one of --stability's are not one run.
  const std::string counts = dir.file("counts.json");
  ASSERT_EQ(runTalmira({"batch", d.list, "--shard", "2/2", "-o", counts}).status, 0);
  const auto mixed = runTalmira({"merge", dir.file("part1.json"), counts});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.errors.find("no part of a `batch --stability` run"), std::string::npos)
      << mixed.errors;
}

TEST(StabilityDatasetTest, SequencesWithoutIdentitiesFailAsStabilityFails) {
  TempDir dir;
  const Dataset d = handMade(dir);
  const std::string out = dir.file("out.csv");
  // Without --ids text this format names no tracks.
  const auto batch = runTalmira({"batch", d.list, "--stability", "-o", out});
  EXPECT_EQ(batch.status, 1);
  EXPECT_NE(batch.errors.find(d.firstTruth + ": the ground truth has no identities"),
            std::string::npos)
      << batch.errors;
  const auto single = runTalmira({"stability", d.firstTruth, dir.file("det1.csv")});
  EXPECT_EQ(single.status, 1);
  EXPECT_NE(batch.errors.find(single.errors.substr(0, single.errors.find('\n'))), std::string::npos)
      << single.errors;
  const auto compare = runTalmira(
      {"compare", d.firstTruth, dir.file("det1.csv"), dir.file("perfect1.csv"), "--stability"});
  EXPECT_EQ(compare.status, 1);
  EXPECT_NE(compare.errors.find("the ground truth has no identities"), std::string::npos)
      << compare.errors;
}

TEST(StabilityDatasetTest, CompareResamplesTheSequencesSums) {
  TempDir dir;
  const Dataset d = handMade(dir);
  const auto run = runTalmira({"compare", "--dataset", d.compareList, "--stability", "--ids",
                               "text", "--resamples", "200", "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const nlohmann::json json = nlohmann::json::parse(run.output);
  EXPECT_EQ(json["units"], 2);
  const nlohmann::json& all = named(json["classes"], "All");
  EXPECT_EQ(all["tracks_a"], 7);
  EXPECT_EQ(all["tracks_b"], 8);  // B finds the lost one too
  // B is perfect: every difference is minus A's error. A resample of two
  // sequences holds sequence one twice, each once, or two twice: A's E_F
  // 1/3, 1.2/7 or 0.05; with 200 resamples each outcome is drawn far more
  // than the 5 the 95% interval leaves out at either end.
  const nlohmann::json& fragment = all["errors"][0];
  EXPECT_EQ(fragment["error"], "E_F");
  EXPECT_NEAR(fragment["a"].get<double>(), 1.2 / 7, 1e-12);
  EXPECT_EQ(fragment["b"].get<double>(), 0.0);
  EXPECT_NEAR(fragment["low"].get<double>(), -1.0 / 3, 1e-12);
  EXPECT_NEAR(fragment["high"].get<double>(), -0.05, 1e-12);
  EXPECT_EQ(fragment["b_better"].get<double>(), 1.0);
  EXPECT_EQ(fragment["a_better"].get<double>(), 0.0);
  EXPECT_EQ(fragment["verdict"], "B better");
  // E_R: 0 on sequence one, 0.05 over 4 on two: -0.05/4 down to 0 (sequence
  // one drawn twice), which the interval reaches.
  const nlohmann::json& scale = all["errors"][2];
  EXPECT_NEAR(scale["a"].get<double>(), 0.05 / 7, 1e-12);
  EXPECT_NEAR(scale["low"].get<double>(), -0.0125, 1e-12);
  EXPECT_EQ(scale["high"].get<double>(), 0.0);
  EXPECT_EQ(scale["verdict"], "cannot tell");

  // The seed decides the draws, the threads do not.
  const auto again = runTalmira({"compare", "--dataset", d.compareList, "--stability", "--ids",
                                 "text", "--resamples", "200", "--format", "json", "-j", "2"});
  EXPECT_EQ(again.output, run.output);

  // One sequence is one unit: nothing to resample.
  const auto one = runTalmira({"compare", d.firstTruth, dir.file("det1.csv"),
                               dir.file("perfect1.csv"), "--stability", "--ids", "text"});
  ASSERT_EQ(one.status, 0) << one.errors;
  EXPECT_NE(one.output.find("with one unit there is nothing to resample"), std::string::npos)
      << one.output;
}

TEST(StabilityDatasetTest, RefusesWhatStabilityCannotTake) {
  TempDir dir;
  const Dataset d = handMade(dir);
  const std::vector<std::vector<std::string>> usages = {
      {"batch", d.list, "--stability", "--ids", "text", "--report", dir.file("r.html")},
      {"batch", d.list, "--stability", "--track"},
      {"batch", d.list, "--ids", "text"},
      {"batch", d.list, "--stability", "--ids", "text", "--shard", "1/2", "--format", "csv"},
      {"batch", d.list, "--stability", "--sys-format", "coco"},
      {"compare", "--dataset", d.compareList, "--stability", "--best"},
      {"compare", "--dataset", d.compareList, "--stability", "--rules", "mot", "--overlap", "iou"},
  };
  for (const std::vector<std::string>& arguments : usages) {
    const auto run = runTalmira(arguments);
    EXPECT_EQ(run.status, 2) << arguments[2] << " " << arguments.back() << ": " << run.errors;
  }
}

}  // namespace
