// `talmira track --rules kitti` end to end: where the sequence's length
// comes from (the seqmap beside the benchmark's files, --seqmap, --length,
// the last frame), what the benchmark's evaluator refuses and what it passes
// over unread, and `talmira batch --track --track-rules kitti` on the
// benchmark's layout, each sequence as `talmira track` gives it. The figures
// themselves are held to the model of the evaluator (CrossCheck.TrackingKitti),
// on a sequence worked out by hand and on random ones.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

// A KITTI line: frame, track id, type, truncated, occluded, alpha, the
// corners, seven 3D values; a tracker's adds its score.
std::string kitti(int frame, int id, const std::string& type, double left, double top, double right,
                  double bottom, const std::string& levels = "0 0", bool score = false) {
  return std::to_string(frame) + " " + std::to_string(id) + " " + type + " " + levels + " -10 " +
         std::to_string(left) + " " + std::to_string(top) + " " + std::to_string(right) + " " +
         std::to_string(bottom) + " 1.5 1.6 3.9 1.0 1.5 20.0 0.1" + (score ? " 0.9\n" : "\n");
}

Json jsonOf(const ToolResult& run) {
  EXPECT_EQ(run.status, 0) << run.errors;
  return run.status == 0 ? Json::parse(run.output) : Json();
}

// A car followed in frames 0 and 1, and a pedestrian in frame 1.
struct Benchmark {
  TempDir dir;
  std::string truth;
  std::string tracker;
  Benchmark() {
    fs::create_directories(dir.path() / "label_02");
    fs::create_directories(dir.path() / "data");
    truth = dir.write("label_02/0000.txt", kitti(0, 1, "Car", 0, 0, 100, 50) +
                                               kitti(1, 1, "Car", 0, 0, 100, 50) +
                                               kitti(1, 2, "Pedestrian", 0, 100, 40, 200));
    tracker =
        dir.write("data/0000.txt", kitti(0, 7, "Car", 0, 0, 100, 50, "0 0", true) +
                                       kitti(1, 7, "Car", 0, 0, 100, 50, "0 0", true) +
                                       kitti(1, 8, "Pedestrian", 0, 100, 40, 200, "0 0", true));
  }
};

TEST(TrackKitti, TheLengthIsTheSeqmapsOrGivenOrTheLastFrames) {
  Benchmark b;
  // No seqmap: the last frame of either file + 1 (frames count from 0).
  Json run =
      jsonOf(runTalmira({"track", b.truth, b.tracker, "--rules", "kitti", "--format", "json"}));
  EXPECT_EQ(run["rules"], "kitti");
  EXPECT_EQ(run["frames"], 2);
  EXPECT_EQ(run["length_from"], "the last frame of either file");
  ASSERT_EQ(run["classes"].size(), 2u);
  EXPECT_EQ(run["classes"][0]["class"], "car");
  EXPECT_EQ(run["classes"][1]["class"], "pedestrian");
  EXPECT_EQ(run["classes"][0]["measures"]["CLR_TP"], 2);
  EXPECT_EQ(run["classes"][1]["measures"]["CLR_TP"], 1);
  // CLEAR's frames count the sequence's length, so that shows which was read.
  EXPECT_EQ(run["classes"][0]["measures"]["CLR_Frames"], 2);

  // The training split's seqmap above label_02 is found; its line for 0000
  // gives 5 frames.
  const std::string seqmap = b.dir.write("evaluate_tracking.seqmap.training",
                                         "0001 empty 000000 000009\n0000 empty 000000 000005\n");
  run = jsonOf(runTalmira({"track", b.truth, b.tracker, "--rules", "kitti", "--format", "json"}));
  EXPECT_EQ(run["frames"], 5);
  EXPECT_EQ(run["length_from"], fs::path(seqmap).lexically_normal().string());
  EXPECT_EQ(run["classes"][0]["measures"]["CLR_Frames"], 5);
  // --length and --seqmap take its place.
  run = jsonOf(runTalmira(
      {"track", b.truth, b.tracker, "--rules", "kitti", "--length", "3", "--format", "json"}));
  EXPECT_EQ(run["frames"], 3);
  const std::string other = b.dir.write("other.seqmap", "0000,empty,000000,000004\n");
  run = jsonOf(runTalmira(
      {"track", b.truth, b.tracker, "--rules", "kitti", "--seqmap", other, "--format", "json"}));
  EXPECT_EQ(run["frames"], 4);
  EXPECT_EQ(run["length_from"], other);

  // A seqmap without the sequence, or with a length that is no number.
  const std::string without = b.dir.write("without.seqmap", "0003 empty 000000 000004\n");
  ToolResult refused =
      runTalmira({"track", b.truth, b.tracker, "--rules", "kitti", "--seqmap", without});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find("without.seqmap: no line for sequence 0000"), std::string::npos)
      << refused.errors;
  const std::string bad = b.dir.write("bad.seqmap", "\n0000 empty 000000 4.5\n");
  refused = runTalmira({"track", b.truth, b.tracker, "--rules", "kitti", "--seqmap", bad});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find("bad.seqmap:2: the length \"4.5\""), std::string::npos)
      << refused.errors;
  // A box beyond the seqmap's frames.
  refused = runTalmira({"track", b.truth, b.tracker, "--rules", "kitti", "--length", "1"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find("0000.txt:2: frame 2 is outside"), std::string::npos)
      << refused.errors;
}

TEST(TrackKitti, OptionsThatDoNotGoTogetherAreUsageErrors) {
  Benchmark b;
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--rules", "kitti", "--gt-format", "mot15"},
       "--rules kitti evaluates KITTI tracking files"},
      {{"--rules", "kitti", "--sys-format", "mot16"}, "not mot16 files"},
      {{"--gt-format", "kitti", "--seqmap", "x"}, "--seqmap gives a KITTI sequence's length"},
      {{"--rules", "kitti", "--seqmap", "x", "--length", "3"}, "give one"},
      {{"--rules", "kitty"}, "no track rules named kitty"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"track", b.truth, b.tracker};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ToolResult run = runTalmira(arguments);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
  }
}

TEST(TrackKitti, RefusesWhatItsEvaluatorRefusesAndPassesOverWhatItNeverReads) {
  TempDir dir;
  const std::string tracker =
      dir.write("tracker.txt", kitti(0, 7, "Car", 0, 0, 100, 50, "0 0", true));
  // A type the evaluator does not know (KITTI's own Person_sitting among
  // them), named with the file and line; on a box of negative track id it
  // is never looked up.
  const std::string sitting =
      dir.write("sitting.txt", kitti(0, -1, "Person_sitting", 0, 0, 10, 40) +
                                   kitti(0, 1, "Car", 0, 0, 100, 50) +
                                   kitti(0, 2, "Person_sitting", 200, 0, 240, 80));
  ToolResult run = runTalmira({"track", sitting, tracker, "--rules", "kitti"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("sitting.txt:3: type Person_sitting is not one the KITTI benchmark"),
            std::string::npos)
      << run.errors;

  // An identity twice in a frame is refused among the boxes kept of a class
  // only: a car and a pedestrian, or a car and a van, may share one; two
  // DontCare areas and boxes of negative track id too.
  const std::string shared =
      dir.write("shared.txt",
                kitti(0, 1, "Car", 0, 0, 100, 50) + kitti(0, 1, "Pedestrian", 0, 100, 40, 200) +
                    kitti(0, 1, "Van", 300, 0, 400, 50) + kitti(0, 3, "DontCare", 500, 0, 600, 50) +
                    kitti(0, 3, "DontCare", 700, 0, 800, 50) + kitti(0, -1, "Car", 0, 0, 9, 9) +
                    kitti(0, -1, "Car", 0, 0, 9, 9));
  const Json figures =
      jsonOf(runTalmira({"track", shared, tracker, "--rules", "kitti", "--format", "json"}));
  ASSERT_EQ(figures["classes"].size(), 2u);
  EXPECT_EQ(figures["classes"][0]["measures"]["CLR_TP"], 1);
  EXPECT_EQ(figures["classes"][1]["measures"]["CLR_FN"], 1);
  const std::string twice = dir.write(
      "twice.txt", kitti(0, 1, "Car", 0, 0, 100, 50) + kitti(0, 1, "car", 200, 0, 300, 50));
  run = runTalmira({"track", twice, tracker, "--rules", "kitti"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("twice.txt:2: identity 1 is given twice in frame 0 among the cars"),
            std::string::npos)
      << run.errors;
  // An occluded one is no kept box, so it may repeat the identity.
  const std::string occluded =
      dir.write("occluded.txt",
                kitti(0, 1, "Car", 0, 0, 100, 50) + kitti(0, 1, "Car", 200, 0, 300, 50, "0 3"));
  EXPECT_EQ(runTalmira({"track", occluded, tracker, "--rules", "kitti"}).status, 0);

  // What the evaluator drops unread may lie beyond the sequence: DontCare
  // areas and boxes of negative track id; any other box may not.
  const std::string beyond = dir.write("beyond.txt", kitti(0, 1, "Car", 0, 0, 100, 50) +
                                                         kitti(9, -1, "DontCare", 0, 0, 50, 50) +
                                                         kitti(9, -1, "Car", 0, 0, 50, 50));
  EXPECT_EQ(runTalmira({"track", beyond, tracker, "--rules", "kitti", "--length", "1"}).status, 0);
  const std::string late = dir.write(
      "late.txt", kitti(0, 1, "Car", 0, 0, 100, 50) + kitti(9, 4, "Cyclist", 0, 0, 50, 50));
  run = runTalmira({"track", late, tracker, "--rules", "kitti", "--length", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("late.txt:2: frame 10 is outside"), std::string::npos) << run.errors;
}

// events --track follows the boxes the rules keep: a tracker box taken out
// is set aside with what took it out (the van it matched, the DontCare area
// it lies in, itself when too short); the ground truth the rules do not
// keep is excluded.
TEST(TrackKitti, EventsSetAsideWhatTheRulesTakeOut) {
  TempDir dir;
  const std::string truth =
      dir.write("gt.txt", kitti(0, 1, "Car", 0, 0, 100, 50) + kitti(0, 2, "Van", 200, 0, 300, 50) +
                              kitti(0, -1, "DontCare", 600, 0, 700, 100) +
                              kitti(0, 3, "Car", 400, 0, 500, 50, "1 0"));
  const std::string tracker =
      dir.write("sys.txt", kitti(0, 7, "Car", 0, 0, 100, 50, "0 0", true) +
                               kitti(0, 8, "Car", 200, 0, 300, 50, "0 0", true) +
                               kitti(0, 9, "Car", 610, 10, 650, 60, "0 0", true) +
                               kitti(0, 10, "Car", 1000, 0, 1100, 25, "0 0", true) +
                               kitti(0, 11, "Car", 1000, 100, 1100, 126, "0 0", true));
  const ToolResult run =
      runTalmira({"events", "--track", "--track-rules", "kitti", truth, tracker, "--class", "car"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::vector<std::string> rows = splitLines(run.output);
  const auto has = [&](const std::string& start) {
    for (const std::string& row : rows) {
      if (row.rfind(start, 0) == 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(has(",1,gt,1,car,,match,1,")) << run.output;
  EXPECT_TRUE(has(",1,gt,2,car,,excluded,")) << run.output;  // the van
  EXPECT_TRUE(has(",1,gt,4,car,,excluded,")) << run.output;  // truncated
  EXPECT_TRUE(has(",1,sys,2,car,0.9,set_aside,2,")) << run.output;
  EXPECT_TRUE(has(",1,sys,3,car,0.9,set_aside,3,")) << run.output;
  EXPECT_TRUE(has(",1,sys,4,car,0.9,set_aside,4,")) << run.output;
  EXPECT_TRUE(has(",1,sys,5,car,0.9,false_alarm,")) << run.output;
  EXPECT_EQ(rows.size(), 9u) << run.output;  // the header and eight rows
}

TEST(TrackKitti, BatchReadsTheBenchmarksLayoutAsTrackDoes) {
  Benchmark b;
  b.dir.write("label_02/0001.txt",
              kitti(0, 4, "Pedestrian", 0, 0, 40, 90) + kitti(2, 4, "Pedestrian", 0, 0, 40, 90));
  b.dir.write("data/0001.txt", kitti(2, 9, "Pedestrian", 0, 0, 40, 90, "0 0", true) +
                                   kitti(2, 10, "Car", 500, 0, 600, 50, "0 0", true));
  b.dir.write("evaluate_tracking.seqmap.training",
              "0000 empty 000000 000002\n0001 empty 000000 000004\n");
  const Json batch = jsonOf(
      runTalmira({"batch", "--track", "--track-rules", "kitti", "--gt-dir", b.dir.file("label_02"),
                  "--sys-dir", b.dir.file("data"), "--format", "json", "-q"}));
  ASSERT_EQ(batch["sequences"].size(), 2u);
  int64_t carFp = 0;
  int64_t pedestrianTp = 0;
  for (const Json& s : batch["sequences"]) {
    EXPECT_EQ(s["rules"], "kitti");
    const Json alone = jsonOf(runTalmira(
        {"track", s["groundtruth"], s["system"], "--rules", "kitti", "--format", "json"}));
    EXPECT_EQ(s["classes"], alone["classes"]) << s["sequence"];
    EXPECT_EQ(s["frames"], alone["frames"]) << s["sequence"];
    carFp += s["classes"][0]["measures"]["CLR_FP"].get<int64_t>();
    pedestrianTp += s["classes"][1]["measures"]["CLR_TP"].get<int64_t>();
  }
  EXPECT_EQ(batch["sequences"][1]["frames"], 4);
  // The dataset's rows, class by class: its counts are the sequences' sums.
  ASSERT_EQ(batch["total"]["classes"].size(), 2u);
  EXPECT_EQ(batch["total"]["classes"][0]["class"], "car");
  EXPECT_EQ(batch["total"]["classes"][0]["measures"]["CLR_FP"], carFp);
  EXPECT_EQ(batch["total"]["classes"][1]["measures"]["CLR_TP"], pedestrianTp);
  EXPECT_EQ(carFp, 1);
  EXPECT_EQ(pedestrianTp, 2);
}

}  // namespace
}  // namespace talmira_test
