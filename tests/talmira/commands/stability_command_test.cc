// talmira stability run as the real executable: hand-made tracks whose
// errors are worked out beside them, in this format and in MOT's (whose
// decimals must be kept, not rounded), CLEAR's matching under --rules mot,
// the refusals with their statuses, and the page.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
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

std::string record(int frame, int x, int y, int w, int h, const std::string& identity,
                   const std::string& type = "Person", const std::string& flag = "FALSE") {
  std::ostringstream out;
  out << frame << "," << x << "," << y << "," << x + w << "," << y << "," << x + w << "," << y + h
      << "," << x << "," << y + h << "," << type << "," << flag << ",FALSE,1.0," << identity
      << ",0\n";
  return out.str();
}

// Four people over six frames, 40 x 80 each:
// - shift: walks right 10 a frame; the box trails it by 4 throughout
//   (e_x = -0.1 every frame: no spread);
// - jitter: stands still; the box is 4 right, then 4 left (e_x = +-0.1:
//   sd 0.1, E_C 0.1);
// - blink: found in frames 1, 3, 5 only (5 changes over 6 - 1 steps: E_F 1);
// - lost: never found (left out).
// Means over the three used: E_F = 1/3, E_C = 0.1/3, E_R = 0.
struct Tracks {
  std::string truth = kHeader;
  std::string detections = kHeader;
};
Tracks handMade() {
  Tracks t;
  for (int f = 1; f <= 6; ++f) {
    t.truth += record(f, 100 + 10 * f, 100, 40, 80, "shift");
    t.truth += record(f, 400, 100, 40, 80, "jitter");
    t.truth += record(f, 700, 100, 40, 80, "blink");
    t.truth += record(f, 1000, 100, 40, 80, "lost");
    t.detections += record(f, 96 + 10 * f, 100, 40, 80, "");
    t.detections += record(f, f % 2 == 1 ? 404 : 396, 100, 40, 80, "");
    if (f % 2 == 1) t.detections += record(f, 700, 100, 40, 80, "");
  }
  return t;
}

using Row = std::map<std::string, std::string>;

std::vector<Row> csvRows(const std::string& text) {
  std::vector<Row> rows;
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> header;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream parts(line);
    while (std::getline(parts, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    if (header.empty()) {
      header = fields;
      continue;
    }
    EXPECT_EQ(fields.size(), header.size()) << line;
    Row row;
    for (std::size_t k = 0; k < header.size() && k < fields.size(); ++k) row[header[k]] = fields[k];
    rows.push_back(std::move(row));
  }
  return rows;
}

double value(const Row& row, const std::string& key) { return std::stod(row.at(key)); }

const nlohmann::json& classNamed(const nlohmann::json& json, const std::string& name) {
  for (const nlohmann::json& row : json["classes"]) {
    if (row["class"] == name) return row;
  }
  static const nlohmann::json none;
  ADD_FAILURE() << "no class " << name;
  return none;
}

TEST(StabilityCommandTest, HandMadeTracksGiveTheirWorkedErrors) {
  TempDir dir;
  const Tracks t = handMade();
  const std::string gt = dir.write("gt.csv", t.truth);
  const std::string det = dir.write("det.csv", t.detections);

  const auto csv =
      runTalmira({"stability", gt, det, "--ids", "text", "--format", "csv", "--class", "Person"});
  ASSERT_EQ(csv.status, 0) << csv.errors;
  EXPECT_EQ(csv.output.substr(0, csv.output.find('\n') + 1),
            "class,identity,frames,matched,fragment_error,centre_error,sd_x,sd_y,"
            "scale_ratio_error,sd_ratio,sd_scale,sum,worst_frames\n");
  std::map<std::string, Row> byId;
  for (const Row& row : csvRows(csv.output)) {
    EXPECT_EQ(row.at("class"), "Person");
    byId[row.at("identity")] = row;
  }
  ASSERT_EQ(byId.size(), 4u);
  EXPECT_NEAR(value(byId["shift"], "centre_error"), 0.0, 1e-12);
  EXPECT_EQ(value(byId["shift"], "fragment_error"), 0.0);
  EXPECT_NEAR(value(byId["jitter"], "sd_x"), 0.1, 1e-12);
  EXPECT_EQ(value(byId["jitter"], "sd_y"), 0.0);
  EXPECT_EQ(value(byId["jitter"], "scale_ratio_error"), 0.0);
  EXPECT_EQ(byId["jitter"].at("worst_frames"), "1 2 3");  // all alike: the earliest
  EXPECT_EQ(value(byId["blink"], "fragment_error"), 1.0);
  EXPECT_EQ(byId["blink"].at("matched"), "3");
  EXPECT_EQ(byId["lost"].at("matched"), "0");
  EXPECT_EQ(byId["lost"].at("fragment_error"), "");  // never matched: no errors
  EXPECT_EQ(byId["lost"].at("worst_frames"), "");

  const auto json = runTalmira({"stability", gt, det, "--ids", "text", "--format", "json"});
  ASSERT_EQ(json.status, 0) << json.errors;
  const nlohmann::json doc = nlohmann::json::parse(json.output);
  EXPECT_EQ(doc["matching"], "detection");
  EXPECT_EQ(doc["rules"]["overlap"], "enclosing");
  for (const char* name : {"All", "Person"}) {
    const nlohmann::json& row = classNamed(doc, name);
    EXPECT_EQ(row["tracks"], 3) << name;
    EXPECT_EQ(row["left_out"], 1) << name;
    EXPECT_NEAR(row["fragment_error"].get<double>(), 1.0 / 3, 1e-12);
    EXPECT_NEAR(row["centre_error"].get<double>(), 0.1 / 3, 1e-12);
    EXPECT_NEAR(row["scale_ratio_error"].get<double>(), 0.0, 1e-12);
    EXPECT_NEAR(row["sum"].get<double>(), 1.0 / 3 + 0.1 / 3, 1e-12);
  }
  const nlohmann::json& car = classNamed(doc, "Car");
  EXPECT_EQ(car["tracks"], 0);
  EXPECT_TRUE(car["fragment_error"].is_null());
  const nlohmann::json& jitter = classNamed(doc, "Person")["per_track"][1];
  ASSERT_EQ(jitter["identity"], "jitter");
  ASSERT_EQ(jitter["worst_frames"].size(), 3u);
  EXPECT_NEAR(jitter["worst_frames"][0]["e_x"].get<double>(), 0.1, 1e-12);
  EXPECT_NEAR(jitter["worst_frames"][0]["magnitude"].get<double>(), 0.1, 1e-12);

  const auto text = runTalmira({"stability", gt, det, "--ids", "text", "--class", "Person"});
  ASSERT_EQ(text.status, 0) << text.errors;
  EXPECT_EQ(text.output,
            "Class   Tracks  LeftOut       E_F       E_C       E_R       Sum\n"
            "Person       3        1  0.333333  0.033333  0.000000  0.366667\n"
            "Matching: talmira score's (overlap enclosing, min overlap 0.2, region cover 0.33, "
            "min side 30)\n");
}

// The same people in MOT's files, at decimals the detection matching
// rounds away: the jitter's box is 0.4 right, then 0.4 left (both round to
// the truth's 400), which must still give sd 0.4 / 40 = 0.01.
TEST(StabilityCommandTest, MotFilesKeepTheirDecimals) {
  TempDir dir;
  std::string truth, detections;
  for (int f = 1; f <= 6; ++f) {
    truth += std::to_string(f) + ",7,400,100,40,80,1,1,1\n";
    detections +=
        std::to_string(f) + ",3," + (f % 2 == 1 ? "400.4" : "399.6") + ",100,40,80,0.9,-1,-1,-1\n";
  }
  const std::string gt = dir.write("gt.txt", truth);
  const std::string det = dir.write("det.txt", detections);
  for (const std::vector<std::string>& rules :
       {std::vector<std::string>{}, std::vector<std::string>{"--rules", "mot"}}) {
    std::vector<std::string> arguments{"stability",    gt,    det,        "--gt-format", "mot",
                                       "--sys-format", "mot", "--format", "csv",         "--class",
                                       "pedestrian"};
    arguments.insert(arguments.end(), rules.begin(), rules.end());
    const auto run = runTalmira(arguments);
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::vector<Row> rows = csvRows(run.output);
    ASSERT_EQ(rows.size(), 1u) << run.output;
    EXPECT_EQ(rows[0].at("identity"), "7");
    EXPECT_EQ(rows[0].at("matched"), "6");
    EXPECT_NEAR(value(rows[0], "sd_x"), 0.01, 1e-12);
  }
}

// A box that overlaps its truth enough for this format's matching (the
// intersection over the enclosing rectangle, from 0.2) but not for CLEAR's
// (IoU from 0.5): half of it off to the side, IoU 1/3, enclosing 1/3.
TEST(StabilityCommandTest, RulesMotMatchAsClearDoes) {
  TempDir dir;
  std::string truth, detections;
  for (int f = 1; f <= 4; ++f) {
    truth += std::to_string(f) + ",1,100,100,40,80,1,1,1\n";
    detections += std::to_string(f) + ",9," + (f == 2 ? "120" : "100") + ",100,40,80,1\n";
  }
  const std::string gt = dir.write("gt.txt", truth);
  const std::string det = dir.write("det.txt", detections);
  const std::vector<std::string> base{"stability",    gt,    det,        "--gt-format", "mot",
                                      "--sys-format", "mot", "--format", "json"};
  const auto detection = runTalmira(base);
  ASSERT_EQ(detection.status, 0) << detection.errors;
  std::vector<std::string> clear = base;
  clear.insert(clear.end(), {"--rules", "mot"});
  const auto clearRun = runTalmira(clear);
  ASSERT_EQ(clearRun.status, 0) << clearRun.errors;
  const nlohmann::json a = nlohmann::json::parse(detection.output);
  const nlohmann::json b = nlohmann::json::parse(clearRun.output);
  EXPECT_EQ(b["matching"], "clear");
  EXPECT_EQ(b["track_rules"], "mot");
  // Detection road: matched throughout, e_x = 0.5 in frame 2 and 0 else.
  const nlohmann::json& all = classNamed(a, "All")["per_track"][0];
  EXPECT_EQ(all["matched"], 4);
  EXPECT_EQ(all["fragment_error"], 0.0);
  EXPECT_NEAR(all["sd_x"].get<double>(), std::sqrt(3.0) / 8, 1e-12);  // sd of 0.5, 0, 0, 0
  EXPECT_EQ(all["worst_frames"][0]["frame"], 2);
  // CLEAR: frame 2 missed, 2 changes over 3 steps, no spread.
  const nlohmann::json& pedestrian = classNamed(b, "pedestrian")["per_track"][0];
  EXPECT_EQ(pedestrian["matched"], 3);
  EXPECT_NEAR(pedestrian["fragment_error"].get<double>(), 2.0 / 3, 1e-12);
  EXPECT_EQ(pedestrian["sd_x"], 0.0);
}

TEST(StabilityCommandTest, RefusalsSayWhyWithTheirStatus) {
  TempDir dir;
  const Tracks t = handMade();
  const std::string gt = dir.write("gt.csv", t.truth);
  const std::string det = dir.write("det.csv", t.detections);

  // No identities: this format without --ids text, and a format that has none.
  const auto plain = runTalmira({"stability", gt, det});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.output, "");
  EXPECT_EQ(plain.errors,
            gt + ": the ground truth has no identities: stability follows each ground-truth "
                 "track, so its file must name them (MOT, VisDrone, UAVDT or KITTI files, or "
                 "this format's with --ids text and column 14 naming each box's track)\n");
  const std::string coco = TALMIRA_FORMATS_DATA "/coco/gt.json";
  const auto cocoRun =
      runTalmira({"stability", coco, coco, "--gt-format", "coco", "--sys-format", "coco"});
  EXPECT_EQ(cocoRun.status, 1);
  EXPECT_NE(cocoRun.errors.find("the ground truth has no identities"), std::string::npos);

  // One identity twice in a frame: which box would the track follow?
  const std::string twice = dir.write(
      "twice.csv", kHeader + record(1, 0, 0, 40, 40, "a") + record(1, 90, 0, 40, 40, "a"));
  const auto repeated = runTalmira({"stability", twice, det, "--ids", "text"});
  EXPECT_EQ(repeated.status, 1);
  EXPECT_EQ(repeated.errors, twice + ":3: identity a is given twice in frame 1 (also on line 2)\n");

  // Usage errors.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"stability", gt, det, "--ids", "text", "--class", "Nope"},
        std::vector<std::string>{"stability", gt, det, "--ids", "text", "--view", "v.html"},
        std::vector<std::string>{"stability", gt, det, "--ids", "text", "--rules", "mot",
                                 "--min-overlap", "0.3"},
        std::vector<std::string>{"stability", gt, det, "--ids", "text", "--gt-format", "mot17"},
        std::vector<std::string>{"stability", gt, det, "--ids", "text", "-o", gt}}) {
    const auto run = runTalmira(arguments);
    EXPECT_EQ(run.status, 2) << arguments.back() << ": " << run.errors;
    EXPECT_EQ(run.output, "");
  }
  EXPECT_EQ(readFile(gt), t.truth);  // untouched
}

TEST(StabilityCommandTest, ThePageDrawsTheWorstTracksAndLinksTheirFramesToTheView) {
  TempDir dir;
  const Tracks t = handMade();
  const std::string gt = dir.write("gt.csv", t.truth);
  const std::string det = dir.write("det.csv", t.detections);
  const std::string page = dir.file("stability.html");
  const auto run =
      runTalmira({"stability", gt, det, "--ids", "text", "--report", page, "--view", "view.html"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::string html = readFile(page);
  ASSERT_FALSE(html.empty());
  EXPECT_NE(html.find("default-src 'none'"), std::string::npos);  // nothing fetched
  for (const char* track : {"Track blink", "Track jitter", "Track shift"}) {
    EXPECT_NE(html.find(track), std::string::npos) << track;
  }
  EXPECT_EQ(html.find("Track lost"), std::string::npos);  // never matched: nothing to draw
  // The jitter's worst frames, each linked to the view at that frame.
  for (const char* link : {"view.html#frame=1", "view.html#frame=2", "view.html#frame=3"}) {
    EXPECT_NE(html.find(link), std::string::npos) << link;
  }
  // The blink's strip, in All's section and in Person's: three runs
  // matched, three missed, each time.
  std::size_t missed = 0;
  for (std::size_t at = html.find(": missed</title>"); at != std::string::npos;
       at = html.find(": missed</title>", at + 1)) {
    ++missed;
  }
  EXPECT_EQ(missed, 6u);
}

}  // namespace
