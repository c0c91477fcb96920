// End-to-end runs of `talmira track`: the same tracks give the same figures
// whatever format carries them, confidences filter as documented, and what
// the benchmark refuses is refused with the file and line.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

struct Box {
  int frame;
  int id;
  int left, top, width, height;
  double confidence;
};

// Random tracks on a coarse grid (so that IoUs land on 0.5 and ties are
// common): identities that come and go, and a tracker that follows them
// with offsets, swaps and gaps.
std::pair<std::vector<Box>, std::vector<Box>> randomTracks(uint32_t seed, int frames) {
  std::mt19937 random(seed);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  std::vector<Box> truth;
  std::vector<Box> tracker;
  const int people = pick(1, 6);
  for (int person = 1; person <= people; ++person) {
    const int start = pick(1, frames);
    const int end = std::min(frames, start + pick(0, frames));
    int x = pick(0, 10) * 10;
    const int y = pick(0, 4) * 10;
    int followedBy = person;
    for (int f = start; f <= end; ++f) {
      x += pick(-1, 1) * 10;
      truth.push_back({f, person, x, y, 40, 80, 1.0});
      if (pick(0, 9) == 0) followedBy = 100 + pick(0, 5);  // a switch, maybe to a used id
      if (pick(0, 3) == 0) continue;                       // missed
      tracker.push_back({f, followedBy, x + pick(-2, 2) * 10, y, 40, 80, pick(0, 10) / 10.0});
    }
  }
  for (int k = 0; k < 3; ++k) tracker.push_back({pick(1, frames), 500 + k, 300, 300, 40, 80, 0.5});
  // A tracker identity may not repeat within a frame.
  std::vector<Box> unique;
  for (const Box& b : tracker) {
    bool seen = false;
    for (const Box& u : unique) seen = seen || (u.frame == b.frame && u.id == b.id);
    if (!seen) unique.push_back(b);
  }
  return {truth, unique};
}

std::string motText(const std::vector<Box>& boxes, bool truth) {
  std::string text;
  for (const Box& b : boxes) {
    text += std::to_string(b.frame) + "," + std::to_string(b.id) + "," + std::to_string(b.left) +
            "," + std::to_string(b.top) + "," + std::to_string(b.width) + "," +
            std::to_string(b.height) + "," +
            (truth ? std::string("1,1,1") : std::to_string(b.confidence) + ",-1,-1,-1") + "\n";
  }
  return text;
}

// This format's records, column 14 the identity's text (zero-padded, so
// the texts sort as the numbers do).
std::string ownText(const std::vector<Box>& boxes) {
  std::string text = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  for (const Box& b : boxes) {
    const std::string l = std::to_string(b.left), t = std::to_string(b.top);
    const std::string r = std::to_string(b.left + b.width), d = std::to_string(b.top + b.height);
    char id[16];
    std::snprintf(id, sizeof id, "p%05d", b.id);
    text += std::to_string(b.frame) + "," + l + "," + t + "," + r + "," + t + "," + r + "," + d +
            "," + l + "," + d + ",Person,FALSE,FALSE," + std::to_string(b.confidence) + "," + id +
            ",0\n";
  }
  return text;
}

nlohmann::json measuresOf(const ToolResult& run) {
  EXPECT_EQ(run.status, 0) << run.errors;
  const nlohmann::json json = nlohmann::json::parse(run.output);
  EXPECT_EQ(json["classes"].size(), 1u);
  return json["classes"][0]["measures"];
}

TEST(TrackCommand, TheSameTracksGiveTheSameFiguresInEveryFormat) {
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const int frames = 12;
    const auto [truth, tracker] = randomTracks(seed, frames);
    TempDir dir;
    const std::string length = std::to_string(frames);
    const nlohmann::json mot = measuresOf(runTalmira(
        {"track", dir.write("gt.txt", motText(truth, true)),
         dir.write("sys.txt", motText(tracker, false)), "--length", length, "--format", "json"}));
    const nlohmann::json own = measuresOf(runTalmira(
        {"track", dir.write("gt.csv", ownText(truth)), dir.write("sys.csv", ownText(tracker)),
         "--gt-format", "talmira", "--sys-format", "talmira", "--ids", "text", "--length", length,
         "--format", "json"}));
    EXPECT_EQ(own, mot);
    // Confidences play no part without -c; with -c 0 none is left out.
    const nlohmann::json zero =
        measuresOf(runTalmira({"track", dir.file("gt.txt"), dir.file("sys.txt"), "--length", length,
                               "-c", "0", "--format", "json"}));
    EXPECT_EQ(zero, mot);
  }
}

TEST(TrackCommand, ConfidenceLeavesOutLowBoxesButKeepsThoseWithout) {
  const auto [truth, tracker] = randomTracks(7, 15);
  std::vector<Box> marked = tracker;
  std::vector<Box> kept;
  for (std::size_t k = 0; k < marked.size(); ++k) {
    if (k % 3 == 0) marked[k].confidence = -1.0;  // none given: always taken
    if (marked[k].confidence == -1.0 || marked[k].confidence >= 0.5) kept.push_back(marked[k]);
  }
  ASSERT_LT(kept.size(), marked.size());
  TempDir dir;
  const std::string gt = dir.write("gt.txt", motText(truth, true));
  const nlohmann::json filtered =
      measuresOf(runTalmira({"track", gt, dir.write("sys.txt", motText(marked, false)), "--length",
                             "15", "-c", "0.5", "--format", "json"}));
  const nlohmann::json byHand =
      measuresOf(runTalmira({"track", gt, dir.write("kept.txt", motText(kept, false)), "--length",
                             "15", "--format", "json"}));
  EXPECT_EQ(filtered, byHand);
}

TEST(TrackCommand, RefusesWhatTheBenchmarkRefusesWithTheFileAndLine) {
  TempDir dir;
  const std::string good = dir.write("good.txt", "1,1,10,10,20,40,1,1,1\n2,1,12,10,20,40,1,1,1\n");
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"track", dir.write("twice.txt", "1,1,10,10,20,40,1,1,1\n1,1,50,10,20,40,1,1,1\n"), good},
       1,
       "twice.txt:2: identity 1 is given twice in frame 1 (also on line 1)"},
      {{"track", good, good, "--length", "1"}, 1, "good.txt:2: frame 2 is outside"},
      {{"track", dir.write("class.txt", "1,1,10,10,20,40,1,14,1\n"), good},
       1,
       "class.txt:1: class 14 is not a MOTChallenge class"},
      {{"track", good, dir.write("car.txt", "1,1,10,10,20,40,1,3\n")}, 1, "car.txt:1: class 3"},
      {{"track", good, dir.write("id.txt", "1,3.5,10,10,20,40,1\n")}, 1, "id.txt:1:"},
      {{"track", good, dir.file("missing.txt")}, 1, "missing.txt"},
      {{"track", dir.write("own.csv", ownText({{1, 1, 0, 0, 40, 80, 1.0}})), good, "--gt-format",
        "talmira"},
       2,
       "--ids text"},
      {{"track", good, good, "--rules", "nonesuch"}, 2, "nonesuch"},
  };
  for (const Case& c : cases) {
    const ToolResult run = runTalmira(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.message << "\n" << run.errors;
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    EXPECT_EQ(run.output, "");
  }
  // An empty identity in this format's column 14 names its line.
  std::string own = ownText({{1, 1, 0, 0, 40, 80, 1.0}});
  own.replace(own.find("p00001"), 6, "");
  const ToolResult empty =
      runTalmira({"track", dir.write("empty.csv", own), dir.file("empty.csv"), "--gt-format",
                  "talmira", "--sys-format", "talmira", "--ids", "text"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.errors.find("empty.csv:2:"), std::string::npos) << empty.errors;
}

TEST(TrackCommand, AnOutputFileIsWrittenWholeOrLeftAlone) {
  TempDir dir;
  const std::string gt = dir.write("gt.txt", "1,1,10,10,20,40,1,1,1\n");
  const std::string out = dir.write("out.json", "before");
  EXPECT_EQ(runTalmira({"track", gt, dir.write("bad.txt", "1,1,x,10,20,40,1\n"), "-o", out}).status,
            1);
  EXPECT_EQ(readFile(out), "before");
  const ToolResult run = runTalmira({"track", gt, gt, "--format", "json", "-o", out});
  ASSERT_EQ(run.status, 0) << run.errors;
  const nlohmann::json json = nlohmann::json::parse(readFile(out));
  EXPECT_EQ(json["classes"][0]["measures"]["MOTA"], 1.0);
  EXPECT_EQ(json["classes"][0]["measures"]["HOTA"], 1.0);
  EXPECT_EQ(json["length_from"], "the last frame of either file");
}

// A sequence's memory follows its records, not its length: frames 3 and
// 2,000,000,000 with nothing between (no seqinfo.ini, so the length is the
// last frame) are evaluated within 400 MB of address space, where a table
// of every frame would take 16 GB. The figures, worked out by hand: the
// track is matched by identity 5 at frame 3 and by 6 at the last frame, the
// frames with both sides next to each other for CLEAR (frame 1000, a false
// alarm alone, is none): a switch, no fragmentation; Identity pairs the
// track with one of the two.
TEST(TrackCommand, AFrameOfBillionsCostsWhatItsRecordsCost) {
  TempDir dir;
  const std::string gt =
      dir.write("gt.txt", "3,1,10,10,20,20,1,1,1\n2000000000,1,10,10,20,20,1,1,1\n");
  const std::string sys = dir.write(
      "sys.txt", "3,5,11,10,20,20,0.9\n1000,9,500,500,20,20,0.9\n2000000000,6,11,10,20,20,0.9\n");
  constexpr uint64_t kLimit = 400'000'000;
  const ToolResult run = runTalmiraWithin(kLimit, {"track", gt, sys, "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const nlohmann::json json = nlohmann::json::parse(run.output);
  EXPECT_EQ(json["length_from"], "the last frame of either file");
  const nlohmann::json& m = json["classes"][0]["measures"];
  EXPECT_EQ(m["CLR_Frames"], 2000000000);
  EXPECT_EQ(m["CLR_TP"], 2);
  EXPECT_EQ(m["CLR_FN"], 0);
  EXPECT_EQ(m["CLR_FP"], 1);
  EXPECT_EQ(m["IDSW"], 1);
  EXPECT_EQ(m["Frag"], 0);
  EXPECT_EQ(m["MT"], 1);
  EXPECT_EQ(m["MOTA"], 0.0);
  EXPECT_EQ(m["FP_per_frame"], 1.0 / 2e9);
  EXPECT_EQ(m["IDTP"], 1);
  EXPECT_EQ(m["IDF1"], 1.0 / 2.5);
  // The same bound on the road of events: the switch at the last frame.
  const ToolResult events = runTalmiraWithin(kLimit, {"events", "--track", gt, sys});
  ASSERT_EQ(events.status, 0) << events.errors;
  bool switched = false;
  for (const std::string& line : splitLines(events.output)) {
    switched |= line.starts_with(",2000000000,") && line.find(",switch,") != std::string::npos;
  }
  EXPECT_TRUE(switched) << events.output;
  // A page draws a timeline place for every frame: refused, with the length.
  const ToolResult view =
      runTalmiraWithin(kLimit, {"view", "--track", gt, sys, "-o", dir.file("view.html")});
  EXPECT_EQ(view.status, 1);
  EXPECT_NE(view.errors.find("2000000000 frames"), std::string::npos) << view.errors;
  EXPECT_FALSE(std::filesystem::exists(dir.file("view.html")));
}

}  // namespace
}  // namespace talmira_test
