// CVAT for video's tracks read as tracks: `talmira track` takes a <track>'s
// id as its identity. A hand-made pair whose figures are worked out below,
// and random tracks written both as CVAT XML and in MOT15's layout, which
// must give the same output to the byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

// Two people, tracked by two identities that swap them in the second
// frame. Track 0 leaves the picture in the third frame (outside="1": no
// box); its second box is interpolated (keyframe="0") and track 1's second
// is occluded: both are boxes like the others. A car turned a quarter turn
// (40 x 20 about its centre (120, 110): 110,90 to 130,130) and a polygon
// track, passed over.
constexpr const char* kTruth = R"(<?xml version="1.0" encoding="utf-8"?>
<annotations>
  <version>1.1</version>
  <meta><task><labels>
    <label><name>person</name></label>
    <label><name>car</name></label>
  </labels></task></meta>
  <track id="0" label="person" source="manual">
    <box frame="0" outside="0" occluded="0" keyframe="1" xtl="0" ytl="0" xbr="10" ybr="10" z_order="0"/>
    <box frame="1" outside="0" occluded="0" keyframe="0" xtl="0" ytl="0" xbr="10" ybr="10" z_order="0"/>
    <box frame="2" outside="1" occluded="0" keyframe="1" xtl="0" ytl="0" xbr="10" ybr="10" z_order="0"/>
  </track>
  <track id="1" label="person" source="manual">
    <box frame="0" outside="0" occluded="0" keyframe="1" xtl="20" ytl="0" xbr="30" ybr="10" z_order="0"/>
    <box frame="1" outside="0" occluded="1" keyframe="1" xtl="20" ytl="0" xbr="30" ybr="10" z_order="0"/>
    <box frame="2" outside="0" occluded="0" keyframe="1" xtl="20" ytl="0" xbr="30" ybr="10" z_order="0"/>
  </track>
  <track id="2" label="car" source="manual">
    <box frame="0" outside="0" occluded="0" keyframe="1" xtl="100" ytl="100" xbr="140" ybr="120" rotation="90" z_order="0"/>
  </track>
  <track id="3" label="road" source="manual">
    <polygon frame="0" outside="0" occluded="0" keyframe="1" points="0,0;10,0;10,10" z_order="0"/>
  </track>
</annotations>
)";

constexpr const char* kTracker = R"(<?xml version="1.0" encoding="utf-8"?>
<annotations>
  <version>1.1</version>
  <track id="7" label="person" source="auto">
    <box frame="0" outside="0" occluded="0" keyframe="1" xtl="0" ytl="0" xbr="10" ybr="10" z_order="0"/>
    <box frame="1" outside="0" occluded="0" keyframe="1" xtl="20" ytl="0" xbr="30" ybr="10" z_order="0"/>
    <box frame="2" outside="0" occluded="0" keyframe="1" xtl="20" ytl="0" xbr="30" ybr="10" z_order="0"/>
  </track>
  <track id="8" label="person" source="auto">
    <box frame="0" outside="0" occluded="0" keyframe="1" xtl="20" ytl="0" xbr="30" ybr="10" z_order="0"/>
    <box frame="1" outside="0" occluded="0" keyframe="1" xtl="0" ytl="0" xbr="10" ybr="10" z_order="0"/>
    <box frame="2" outside="1" occluded="0" keyframe="1" xtl="0" ytl="0" xbr="10" ybr="10" z_order="0"/>
  </track>
  <track id="9" label="car" source="auto">
    <box frame="0" outside="0" occluded="0" keyframe="1" xtl="110" ytl="90" xbr="130" ybr="130" z_order="0"/>
  </track>
</annotations>
)";

// Worked out by hand. Person: frame 1 pairs (0, 7) and (1, 8), frame 2
// (0, 8) and (1, 7) at IoU 1 (the continuations overlap nothing): two
// switches; frame 3 (1, 7), continued. CLEAR: TP 5, FN 0, FP 0, IDSW 2,
// MOTA (5 - 2) / 5. Identity: (1, 7) overlap in 2 frames, (0, 8) in 1:
// IDTP 3 of 5 a side. HOTA: every IoU is 1, so DetA = 1 at every alpha;
// the pairs' matches 1, 1, 1, 2 with counts (gt, tracker) (2, 3), (3, 2),
// (2, 2), (3, 3): AssA = (1/4 + 1/4 + 1/3 + 2 * 2/4) / 5 = 11/30, AssRe =
// (1/2 + 1/3 + 1/2 + 4/3) / 5 = 8/15, AssPr likewise 8/15.
TEST(TrackCvat, TracksGiveTheirIdsAsIdentities) {
  TempDir dir;
  const std::string gt = dir.write("gt.xml", kTruth);
  const std::string sys = dir.write("sys.xml", kTracker);
  const ToolResult run = runTalmira(
      {"track", gt, sys, "--gt-format", "cvat", "--sys-format", "cvat", "--format", "json"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const nlohmann::json json = nlohmann::json::parse(run.output);
  EXPECT_EQ(json["rules"], "plain");
  EXPECT_EQ(json["frames"], 3);
  ASSERT_EQ(json["classes"].size(), 2u);  // the declared labels' order; no road
  EXPECT_EQ(json["classes"][0]["class"], "person");
  EXPECT_EQ(json["classes"][1]["class"], "car");
  const nlohmann::json& person = json["classes"][0]["measures"];
  EXPECT_EQ(person["CLR_TP"], 5);
  EXPECT_EQ(person["CLR_FN"], 0);
  EXPECT_EQ(person["CLR_FP"], 0);
  EXPECT_EQ(person["IDSW"], 2);
  EXPECT_EQ(person["Frag"], 0);
  EXPECT_EQ(person["MT"], 2);
  EXPECT_DOUBLE_EQ(person["MOTA"].get<double>(), 0.6);
  EXPECT_EQ(person["MOTP"], 1.0);
  EXPECT_EQ(person["IDTP"], 3);
  EXPECT_DOUBLE_EQ(person["IDF1"].get<double>(), 0.6);
  EXPECT_EQ(person["DetA"], 1.0);
  EXPECT_NEAR(person["AssA"].get<double>(), 11.0 / 30.0, 1e-15);
  EXPECT_NEAR(person["AssRe"].get<double>(), 8.0 / 15.0, 1e-15);
  EXPECT_NEAR(person["AssPr"].get<double>(), 8.0 / 15.0, 1e-15);
  EXPECT_NEAR(person["HOTA"].get<double>(), std::sqrt(11.0 / 30.0), 1e-15);
  // The turned car is the tracker's box exactly.
  const nlohmann::json& car = json["classes"][1]["measures"];
  EXPECT_EQ(car["CLR_TP"], 1);
  EXPECT_EQ(car["MOTP"], 1.0);

  // The same files on the road of events: the switches at the second
  // frame, the lines those of the <box> elements.
  const ToolResult events =
      runTalmira({"events", "--track", gt, sys, "--gt-format", "cvat", "--sys-format", "cvat"});
  ASSERT_EQ(events.status, 0) << events.errors;
  int switches = 0;
  for (const std::string& line : splitLines(events.output)) {
    switches += line.starts_with(",2,") && line.find(",switch,") != std::string::npos;
  }
  EXPECT_EQ(switches, 2) << events.output;

  // Refusals name the file and the element's line.
  const std::string noId =
      dir.write("no-id.xml",
                "<annotations>\n<track label=\"person\">\n<box frame=\"0\" xtl=\"0\" ytl=\"0\" "
                "xbr=\"1\" ybr=\"1\"/>\n</track>\n</annotations>\n");
  const ToolResult refused = runTalmira({"track", noId, sys, "--gt-format", "cvat"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find("no-id.xml:2: <track>: attribute \"id\" is missing"),
            std::string::npos)
      << refused.errors;
  const std::string twice = dir.write(
      "twice.xml",
      "<annotations>\n<track id=\"4\" label=\"person\">\n<box frame=\"0\" xtl=\"0\" ytl=\"0\" "
      "xbr=\"1\" ybr=\"1\"/>\n<box frame=\"0\" xtl=\"5\" ytl=\"0\" xbr=\"6\" ybr=\"1\"/>\n"
      "</track>\n</annotations>\n");
  const ToolResult repeated = runTalmira({"track", twice, sys, "--gt-format", "cvat"});
  EXPECT_EQ(repeated.status, 1);
  EXPECT_NE(repeated.errors.find("twice.xml:4: identity 4 is given twice in frame 1"),
            std::string::npos)
      << repeated.errors;
}

struct Box {
  uint32_t frame;  // from 1
  int id;
  double left, top, width, height;
};

// Quarters: every corner and every sum of them is exact, so that MOT's
// right = left + width is the very double CVAT's xbr is written as.
std::vector<Box> randomBoxes(std::mt19937& random, int identities, uint32_t frames) {
  auto quarters = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random) / 4.0;
  };
  std::vector<Box> boxes;
  for (int id = 1; id <= identities; ++id) {
    double x = quarters(0, 400);
    const double y = quarters(0, 200);
    for (uint32_t f = 1; f <= frames; ++f) {
      if (random() % 3 == 0) continue;
      x += quarters(-8, 8);
      boxes.push_back({f, id, x, y, quarters(-4, 160), quarters(20, 240)});
    }
  }
  return boxes;
}

std::string text(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  return buffer;
}

std::string motText(const std::vector<Box>& boxes, bool truth) {
  std::string out;
  for (const Box& b : boxes) {
    out += std::to_string(b.frame) + "," + std::to_string(b.id) + "," + text(b.left) + "," +
           text(b.top) + "," + text(b.width) + "," + text(b.height) +
           (truth ? ",1,-1,-1,-1\n" : ",-1,-1,-1,-1\n");
  }
  return out;
}

// Track after track, as CVAT writes them, frames from 0.
std::string cvatText(const std::vector<Box>& boxes) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n";
  int open = -1;
  for (const Box& b : boxes) {
    if (b.id != open) {
      if (open >= 0) out += "  </track>\n";
      out += "  <track id=\"" + std::to_string(b.id) + "\" label=\"person\" source=\"auto\">\n";
      open = b.id;
    }
    out += "    <box frame=\"" + std::to_string(b.frame - 1) +
           "\" outside=\"0\" occluded=\"0\" keyframe=\"1\" xtl=\"" + text(b.left) + "\" ytl=\"" +
           text(b.top) + "\" xbr=\"" + text(b.left + b.width) + "\" ybr=\"" +
           text(b.top + b.height) + "\" z_order=\"0\"/>\n";
  }
  if (open >= 0) out += "  </track>\n";
  return out + "</annotations>\n";
}

TEST(TrackCvat, TheSameTracksAsCvatAndAsMotGiveTheSameOutput) {
  std::mt19937 random(5);
  for (int round = 0; round < 12; ++round) {
    TempDir dir;
    const uint32_t frames = 2 + static_cast<uint32_t>(random() % 30);
    const std::vector<Box> truth = randomBoxes(random, 1 + static_cast<int>(random() % 5), frames);
    std::vector<Box> tracker = randomBoxes(random, 1 + static_cast<int>(random() % 6), frames);
    for (Box& b : tracker) b.id += 10;
    const std::string length = std::to_string(frames);
    for (const char* format : {"text", "json"}) {
      const ToolResult mot =
          runTalmira({"track", dir.write("gt.txt", motText(truth, true)),
                      dir.write("sys.txt", motText(tracker, false)), "--gt-format", "mot15",
                      "--rules", "mot15", "--length", length, "--format", format});
      const ToolResult cvat = runTalmira({"track", dir.write("gt.xml", cvatText(truth)),
                                          dir.write("sys.xml", cvatText(tracker)), "--gt-format",
                                          "cvat", "--sys-format", "cvat", "--rules", "mot15",
                                          "--length", length, "--format", format});
      ASSERT_EQ(mot.status, 0) << mot.errors;
      ASSERT_EQ(cvat.status, 0) << cvat.errors;
      if (std::string(format) == "text") {
        EXPECT_EQ(cvat.output, mot.output) << "round " << round;
      } else {
        // The files' names aside, every figure to the bit.
        EXPECT_EQ(nlohmann::json::parse(cvat.output)["classes"],
                  nlohmann::json::parse(mot.output)["classes"])
            << "round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace talmira_test
